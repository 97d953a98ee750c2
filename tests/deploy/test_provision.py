#!/usr/bin/python3
"""scripts/provision.sh: a fleet's board packages from one device list.

Needs the board's builds (scripts/build-armhf.sh, which provision.sh runs
again) and, for its tested agent's host, AGENT_TEST_NET as scripts/test.sh
sets it.
"""

import csv
import hashlib
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(REPO, "scripts"))
import agent_binary  # noqa: E402

PROVISION = os.path.join(REPO, "scripts", "provision.sh")
CHECK_DEPLOY = os.path.join(REPO, "tests", "deploy", "check-deploy.sh")
TESTED_AGENT = os.path.join(REPO, "build-armhf", "telemetry-agent")
DEB_BUILD = os.path.join(REPO, "build-armhf-deb")
DEB_CACHE = os.path.join(DEB_BUILD, "CMakeCache.txt")
CLIENT_ID = re.compile(r"[0-9A-Za-z]{1,23}")
VERSION = re.compile(r"1\.0\.0\+p(\d{14})")
ALLOW = "--allow-test-settings"
MAINTAINER = "Greenhouse Fleet Operations <fleet-ops@example.org>"


def provision(csv_text, out, *args):
    """Runs provision.sh with umask 022, as a shell's default would leave it."""
    csv_path = os.path.join(os.path.dirname(out), "devices.csv")
    with open(csv_path, "w") as f:
        f.write(csv_text)
    return subprocess.run([PROVISION, *args, csv_path, out], capture_output=True, text=True, timeout=600,
                          preexec_fn=lambda: os.umask(0o022))


def private(path):
    return stat.S_IMODE(os.stat(path).st_mode) & 0o077 == 0


def exposed_secrets(tree, secrets):
    """Files under tree that hold one of the secrets and that another user
    could read: the file, or a folder on the way to it, is open to others."""
    found = []
    for root, _, files in os.walk(tree):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                data = f.read()
            if any(s in data for s in secrets):
                folders = [root]
                while folders[-1] != tree:
                    folders.append(os.path.dirname(folders[-1]))
                if not all(private(p) for p in [path] + folders):
                    found.append(os.path.relpath(path, tree))
    return found


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
        # board-01 has the demo token: a test system's list.
        done = provision(devices, self.out, "--host", "broker.example.org", "--maintainer", MAINTAINER, ALLOW)
        self.assertEqual(done.returncode, 0, done.stderr)
        names = ["board-01", "board_01", "greenhouse-north-wall-sensor-7", "gateway", "cellar"]
        version = re.search(r"packages of version (\S+) in", done.stdout).group(1)
        self.assertRegex(version, VERSION)
        debs = {n: f"{n}_{version}_armhf.deb" for n in names}
        self.assertEqual(sorted(os.listdir(self.out)), sorted(list(debs.values()) + ["notes.txt", "manifest.csv"]))
        self.assertEqual([f for f in os.listdir(self.dir) if f.startswith(".provision")], [])

        # The tokens are their owner's alone, whatever the umask: the
        # packages, the manifest's folder and every file of the build.
        self.assertEqual(stat.S_IMODE(os.stat(self.out).st_mode), 0o700)
        for deb in list(debs.values()) + ["manifest.csv"]:
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.out, deb)).st_mode), 0o600, deb)
        secrets = [t.encode() for t in ("a1b2c3d4e5f6a7b8c9d0", "x.y~z+w/v=u-t_s", "k" + "9" * 254)]
        self.assertEqual(exposed_secrets(DEB_BUILD, secrets), [])

        found = {}
        with open(os.path.join(self.out, "manifest.csv"), newline="") as f:
            manifest = {row["name"]: row for row in csv.DictReader(f)}
        for name in names:
            deb = os.path.join(self.out, debs[name])
            agent, code = packaged_agent(deb, self.dir)
            found[name] = (code.host, code.client_id, code.token)
            # The tested agent's code but for the settings.
            agent_binary.compare(TESTED_AGENT, agent, {})
            fields = subprocess.run(["dpkg-deb", "-f", deb, "Package", "Version", "Maintainer", "Description"],
                                    check=True, capture_output=True, text=True).stdout
            self.assertRegex(fields, rf"^Package: telemetry-agent\nVersion: {re.escape(version)}\n"
                                     rf"Maintainer: {re.escape(MAINTAINER)}\n")
            self.assertIn(f"for the device {name}:", fields)
            with open(deb, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            self.assertEqual(manifest[name], {"name": name, "client_id": code.client_id, "host": code.host,
                                              "port": "1884", "tls": "no", "package": debs[name],
                                              "sha256": digest})
            self.assertIn(f"{name}: {debs[name]}, client id {code.client_id}, broker {code.host}:1884 plain TCP,"
                          f" sha256 {digest}\n", done.stdout)
            with open(os.path.join(self.out, "manifest.csv")) as f:
                self.assertNotIn(code.token, f.read() + done.stdout)
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
        done = subprocess.run([CHECK_DEPLOY, os.path.join(self.out, debs["board_01"]), host, client_id, token],
                              capture_output=True, text=True, timeout=300)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertRegex(done.stdout, r"\n\d+ passed, 0 failed\n$")

    def test_a_reprovisioned_package_upgrades_the_board(self):
        # What the booted-system test installs in its guest, one after the
        # other (tests/deploy/guest-upgrade.sh): the same device, a new token.
        done = subprocess.run([os.path.join(HERE, "upgrade-packages.sh"), self.out], capture_output=True,
                              text=True, timeout=600, preexec_fn=lambda: os.umask(0o022))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        versions = []
        for which in ("first", "second"):
            with open(os.path.join(self.out, which + ".version")) as f:
                versions.append(f.read().strip())
            self.assertRegex(versions[-1], VERSION)
            deb = os.path.join(self.out, which + ".deb")
            self.assertTrue(private(deb), deb)
            self.assertEqual(subprocess.run(["dpkg-deb", "-f", deb, "Version"], capture_output=True, text=True,
                                            check=True).stdout.strip(), versions[-1])
            _, code = packaged_agent(deb, self.dir)
            self.assertEqual((code.host, code.client_id), ("127.0.0.1", "upgradeBoard"))
            with open(os.path.join(self.out, "tokens")) as f:
                self.assertEqual(code.token, f.read().split()[0 if which == "first" else 1])
        # dpkg's own order: installing the second upgrades the first.
        self.assertEqual(subprocess.run(["dpkg", "--compare-versions", versions[1], "gt", versions[0]]).returncode,
                         0, versions)
        self.assertEqual(subprocess.run(["dpkg", "--compare-versions", versions[0], "gt", "1.0.0"]).returncode,
                         0, versions)

    def test_faulty_lists_are_refused_before_anything_is_built(self):
        header = "name,token,client_id,host\n"
        cases = [
            ("name,client_id\nb1,id1\n", [], r"devices.csv:1: missing column 'token'"),
            ("name,token,clientid\nb1,t1,x\n", [], r"devices.csv:1: unknown column 'clientid'"),
            (header + "b1,t1,,\nb2,t2,\n", [], r"devices.csv:3: 3 fields where the header has 4"),
            # A line short of fields hides none of its other faults.
            (header + "b1,t1,,b.example\nb2,to ken,a-b\n", ["--host", "b.example"],
             r"(?s)(?=.*devices.csv:3: 3 fields where the header has 4\n)"
             r"(?=.*devices.csv:3: token 'to ken' holds characters)"
             r"(?=.*devices.csv:3: client_id 'a-b' is not an MQTT client identifier)"),
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
            # A test system's settings on a board: its broker is not there.
            (header + "b1,Tz8LwQ3nVb6RkY1mHc5J,,b.example\n", [], r"devices.csv:2: token is the demo access token"),
            (header + "b1,t1,,b.example\nb2,t2,,LocalHost\n", [], r"devices.csv:3: host 'LocalHost' is a loopback"),
            (header + "b1,t1,,127.1.2.3\n", [], r"devices.csv:2: host '127.1.2.3' is a loopback"),
            (header + "b1,t1,,[::1]\n", ["--host", "b.example"], r"devices.csv:2: host '\[::1\]' is a loopback"),
            (header + "b1,t1,,\n", [], r"devices.csv:2: host 'localhost' \(the default: the line names no host\)"),
            # Whoever ships the packages is named, and named well.
            (header + "b1,t1,,b.example\n", [], r"no --maintainer: the packages would name a test build's"),
            (header + "b1,t1,,b.example\n", ["--maintainer", "ops@example.org"],
             r"--maintainer 'ops@example.org' is not a name and a mail address"),
            # Every fault of a list in one run, each with its line, and what a
            # refused value may hold.
            (header + "b1,t1\n"
             "b2,t2,a-b,\n"
             "b3,to ken,,\n"
             "b2,t4,,bad/host\n"
             "b5,Tz8LwQ3nVb6RkY1mHc5J,,127.9.9.9\n", ["--host", "b.example"],
             r"(?s)devices.csv:2: 2 fields where the header has 4\n"
             r".*devices.csv:5: duplicate name \(also on line 3\)\n"
             r".*devices.csv:6: token is the demo access token.*\n"
             r".*devices.csv:6: host '127.9.9.9' is a loopback.*\n"
             r".*devices.csv:3: client_id 'a-b' is not an MQTT client identifier: 1 to 23 of 0-9, a-z, A-Z\n"
             r".*devices.csv:4: token 'to ken' holds characters a token does not have: A-Z a-z 0-9 \. _ ~ \+ / = -\n"
             r".*devices.csv:5: host 'bad/host' is not a host name or address: A-Z a-z 0-9 \. -"),
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
