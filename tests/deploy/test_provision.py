#!/usr/bin/python3
"""scripts/provision.sh: a fleet's board packages from one device list.

Needs the board's builds (scripts/build-armhf.sh, which provision.sh runs
again) and, for its tested agent's host, AGENT_TEST_NET as scripts/test.sh
sets it.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "scripts"))
import agent_binary  # noqa: E402

PROVISION = os.path.join(REPO, "scripts", "provision.sh")
CHECK_DEPLOY = os.path.join(REPO, "scripts", "check-deploy.sh")
TESTED_AGENT = os.path.join(REPO, "build-armhf", "telemetry-agent")
DEB_CACHE = os.path.join(REPO, "build-armhf-deb", "CMakeCache.txt")
CLIENT_ID = re.compile(r"[0-9A-Za-z]{1,23}")


def provision(csv_text, out, *args):
    csv_path = os.path.join(os.path.dirname(out), "devices.csv")
    with open(csv_path, "w") as f:
        f.write(csv_text)
    return subprocess.run([PROVISION, *args, csv_path, out], capture_output=True, text=True, timeout=600)


def packaged_agent(deb, work):
    root = os.path.join(work, os.path.basename(deb))
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    agent = os.path.join(root, "usr", "bin", "telemetry-agent")
    return agent, agent_binary.code(agent)


class Provision(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="provision-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.out = os.path.join(self.dir, "packages")

    def test_one_package_per_device_with_its_settings(self):
        os.makedirs(self.out)
        with open(os.path.join(self.out, "notes.txt"), "w") as f:
            f.write("not ours\n")
        # Names whose letters and digits collide, one too long for a client
        # id, one that is a client id already; columns in another order.
        devices = ("host,token,name,client_id\n"
                   ",Tz8LwQ3nVb6RkY1mHc5J,board-01,\n"
                   "broker-2.example.org,a1b2c3d4e5f6a7b8c9d0,board_01,\n"
                   ",x.y~z+w/v=u-t_s,greenhouse-north-wall-sensor-7,\n"
                   "[fd00::17],k" + "9" * 254 + ",gateway,\n"
                   ",q1w2e3,cellar,cellarUnit1\n")
        done = provision(devices, self.out, "--host", "broker.example.org")
        self.assertEqual(done.returncode, 0, done.stderr)
        names = ["board-01", "board_01", "greenhouse-north-wall-sensor-7", "gateway", "cellar"]
        self.assertEqual(sorted(os.listdir(self.out)), sorted([n + ".deb" for n in names] + ["notes.txt"]))
        self.assertEqual([f for f in os.listdir(self.dir) if f.startswith(".provision")], [])

        found = {}
        for name in names:
            agent, code = packaged_agent(os.path.join(self.out, name + ".deb"), self.dir)
            found[name] = (code.host, code.client_id, code.token)
            # The tested agent's code but for the settings.
            agent_binary.compare(TESTED_AGENT, agent, {})
        self.assertEqual({n: found[n][0] for n in names},
                         {"board-01": "broker.example.org", "board_01": "broker-2.example.org",
                          "greenhouse-north-wall-sensor-7": "broker.example.org",
                          "gateway": "[fd00::17]", "cellar": "broker.example.org"})
        self.assertEqual(found["gateway"][2], "k" + "9" * 254)
        ids = [found[n][1] for n in names]
        self.assertEqual(len(set(ids)), len(ids), ids)
        self.assertTrue(all(CLIENT_ID.fullmatch(i) for i in ids), ids)
        self.assertEqual((found["gateway"][1], found["cellar"][1]), ("gateway", "cellarUnit1"))

        # One package through every check of the shared one (lintian, the unit, ...).
        host, client_id, token = found["board_01"]
        done = subprocess.run([CHECK_DEPLOY, os.path.join(self.out, "board_01.deb"), host, client_id, token],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertRegex(done.stdout, r"\n\d+ passed, 0 failed\n$")

    def test_faulty_lists_are_refused_before_anything_is_built(self):
        header = "name,token,client_id,host\n"
        cases = [
            ("name,client_id\nb1,id1\n", [], r"devices.csv:1: missing column 'token'"),
            ("name,token,clientid\nb1,t1,x\n", [], r"devices.csv:1: unknown column 'clientid'"),
            (header + "b1,t1,,\nb2,t2,\n", [], r"devices.csv:3: 3 fields where the header has 4"),
            (header + "b1,t1,,\nb1,t2,,\n", [], r"devices.csv:3: duplicate name \(also on line 2\)"),
            (header + "b1,t1,,\nb2,t1,,\n", [], r"devices.csv:3: duplicate token \(also on line 2\)"),
            (header + "b1,t1,same,\nb2,t2,same,\n", [], r"devices.csv:3: duplicate client id 'same'"),
            (header + "b1,,,\n", [], r"devices.csv:2: no token"),
            (header + "../b1,t1,,\n", [], r"devices.csv:2: name '../b1' is not a device name"),
            (header + "b1,t1,,\nb2,to ken,,\n", [], r"devices.csv:3: token 'to ken' holds characters"),
            (header + "b1,t" + "1" * 255 + ",,\n", [], r"devices.csv:2: token 't1+' is longer than 255"),
            (header + "b1,t1,a-b,\n", [], r"devices.csv:2: client_id 'a-b' is not an MQTT client identifier"),
            (header + "b1,t1," + "c" * 24 + ",\n", [], r"devices.csv:2: client_id 'c{24}' is not an MQTT"),
            (header + "b1,t1,,bad/host\n", [], r"devices.csv:2: host 'bad/host' is not a host name"),
            (header + "b1,t1,,\n", ["--host", "a b"], r"--host 'a b' is not a host name"),
            (header, [], r"devices.csv: no devices"),
        ]
        before = os.stat(DEB_CACHE).st_mtime_ns
        for text, args, message in cases:
            with self.subTest(message=message):
                done = provision(text, self.out, *args)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stderr, message)
                self.assertIn("refused; nothing built", done.stderr)
                self.assertFalse(os.path.exists(self.out))
                self.assertEqual([f for f in os.listdir(self.dir) if f.startswith(".provision")], [])
        self.assertEqual(os.stat(DEB_CACHE).st_mtime_ns, before, "the package's build was configured again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
