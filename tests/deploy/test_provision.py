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
import devices  # noqa: E402

PROVISION = os.path.join(REPO, "scripts", "provision.sh")
CHECK_DEPLOY = os.path.join(REPO, "tests", "deploy", "check-deploy.sh")
TESTED_AGENT = os.path.join(REPO, "build-armhf", "telemetry-agent")
DEB_BUILD = os.path.join(REPO, "build-armhf-deb")
DEB_CACHE = os.path.join(DEB_BUILD, "CMakeCache.txt")
CLIENT_ID = re.compile(r"[0-9A-Za-z]{1,23}")
VERSION = re.compile(r"1\.0\.0\+p(\d{14})")
ALLOW = "--allow-test-settings"
MAINTAINER = "Greenhouse Fleet Operations <fleet-ops@example.org>"


def start_provision(csv_text, out, *args, csv_name="devices.csv"):
    """Starts provision.sh with umask 022, as a shell's default would leave it."""
    csv_path = os.path.join(os.path.dirname(out), csv_name)
    with open(csv_path, "w") as f:
        f.write(csv_text)
    # Options before the list, "--" and the build's settings after OUT_DIR.
    split = args.index("--") if "--" in args else len(args)
    return subprocess.Popen([PROVISION, *args[:split], csv_path, out, *args[split:]],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=lambda: os.umask(0o022))


def provision(csv_text, out, *args, csv_name="devices.csv"):
    child = start_provision(csv_text, out, *args, csv_name=csv_name)
    stdout, stderr = child.communicate(timeout=600)
    return subprocess.CompletedProcess(child.args, child.returncode, stdout, stderr)


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


def source_state():
    """The commit of the work tree and whether its tracked files changed."""
    commit = subprocess.run(["git", "-C", REPO, "rev-parse", "HEAD"], check=True, capture_output=True,
                            text=True).stdout.strip()
    changes = subprocess.run(["git", "-C", REPO, "status", "--porcelain", "--untracked-files=no"], check=True,
                             capture_output=True, text=True).stdout
    return commit, bool(changes)


def manual_version(deb, work):
    """The version line (the .TH line's fourth field) of the package's manual page."""
    page = subprocess.run(f"dpkg-deb --fsys-tarfile '{deb}' | tar -xO ./usr/share/man/man8/telemetry-agent.8.gz"
                          " | zcat", shell=True, check=True, capture_output=True, text=True).stdout
    return re.match(r'\.TH \S+ 8 \S+ "([^"]*)"', page).group(1)


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
        # id, one that is a client id already; columns in another order, and
        # two of an inventory's own (kept in the manifest, CSV quoting and all).
        devices = ("host,token,location,name,client_id,note\n"
                   ',Tz8LwQ3nVb6RkY1mHc5J,"shed, north",board-01,,\n'
                   "broker-2.example.org,a1b2c3d4e5f6a7b8c9d0,lab,board_01,,\n"
                   ',x.y~z+w/v=u-t_s,"wall ""7""",greenhouse-north-wall-sensor-7,,\n'
                   "[fd00::17],k" + "9" * 254 + ",,gateway,,spare\n"
                   ",q1w2e3,cellar,cellar,cellarUnit1,\n")
        own = {"board-01": ("shed, north", ""), "board_01": ("lab", ""),
               "greenhouse-north-wall-sensor-7": ('wall "7"', ""), "gateway": ("", "spare"),
               "cellar": ("cellar", "")}
        commit, changed = source_state()
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
            # Where it comes from, in the package (description, manual page)
            # and the manifest: the commit, and a changed tree said plainly.
            changes = " with uncommitted changes: a changed tree, not that commit's code\n"
            self.assertIn(f"\n Source commit: {commit}\n" + (changes if changed else " .\n"), fields)
            self.assertEqual(manual_version(deb, self.dir),
                             f"telemetry-agent 1.0.0 (commit {commit}{' with uncommitted changes' if changed else ''})")
            with open(deb, "rb") as f:
                digest = hashlib.sha256(f.read()).hexdigest()
            self.assertEqual(manifest[name], {"name": name, "client_id": code.client_id, "host": code.host,
                                              "port": "1884", "tls": "no", "store": "0", "package": debs[name],
                                              "sha256": digest, "source_commit": commit,
                                              "source_changed": "yes" if changed else "no",
                                              "location": own[name][0], "note": own[name][1]})
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

    def test_runs_at_once_get_their_own_packages_and_a_later_run_supersedes(self):
        # Two fleets provisioned at the same moment from one checkout, with
        # other hosts, tokens, ports: each run gets exactly its own devices'
        # packages, with its own list's settings compiled in.
        fleets = {
            "a": ("name,token,client_id\nalpha-1,alphaToken1Aq9,\nalpha-2,alphaToken2Wm4,alphaTwo\n",
                  ["--host", "a.example.org"],
                  {"alpha-1": ("a.example.org", 1884, "alpha1", "alphaToken1Aq9"),
                   "alpha-2": ("a.example.org", 1884, "alphaTwo", "alphaToken2Wm4")}),
            "b": ("name,token,host\nbeta-1,betaToken1Zr7,\nbeta-2,betaToken2Kx3,beta-2.example.net\n"
                  "beta-3,betaToken3Po8,\n",
                  ["--host", "b.example.org", "--", "-DAGENT_BROKER_PORT=1999"],
                  {"beta-1": ("b.example.org", 1999, "beta1", "betaToken1Zr7"),
                   "beta-2": ("beta-2.example.net", 1999, "beta2", "betaToken2Kx3"),
                   "beta-3": ("b.example.org", 1999, "beta3", "betaToken3Po8")}),
        }
        runs = {key: start_provision(text, os.path.join(self.dir, key), "--maintainer", MAINTAINER,
                                     *args, csv_name=key + ".csv")
                for key, (text, args, _) in fleets.items()}
        done = {key: run.communicate(timeout=600) for key, run in runs.items()}
        for key, (_, _, expected) in fleets.items():
            out = os.path.join(self.dir, key)
            self.assertEqual(runs[key].returncode, 0, done[key])
            print(f"run {key}: {done[key][1]}{done[key][0]}", file=sys.stderr)
            self.assertEqual(self.packages_by_device(out), self.manifest_packages(out))
            found = {}
            for name, deb in self.packages_by_device(out).items():
                _, code = packaged_agent(os.path.join(out, deb), self.dir)
                found[name] = (code.host, int(code.uri.rsplit(":", 1)[1]), code.client_id, code.token)
            self.assertEqual(found, expected)

        # Provisioned again (alpha-1 with a new token, alpha-2 gone): OUT_DIR
        # holds this run's packages alone, and what it replaced is set aside,
        # private, with its manifest.
        out = os.path.join(self.dir, "a")
        before = self.packages_by_device(out)
        again = provision("name,token\nalpha-1,alphaToken1New5\n", out, "--host", "a.example.org",
                          "--maintainer", MAINTAINER)
        self.assertEqual(again.returncode, 0, again.stderr)
        now = self.packages_by_device(out)
        self.assertEqual(list(now), ["alpha-1"])
        self.assertEqual(now, self.manifest_packages(out))
        self.assertEqual(packaged_agent(os.path.join(out, now["alpha-1"]), self.dir)[1].token, "alphaToken1New5")
        superseded = os.path.join(out, "superseded")
        self.assertEqual(stat.S_IMODE(os.stat(superseded).st_mode), 0o700)
        old_manifest = [f for f in os.listdir(superseded) if f.endswith(".csv")]
        self.assertEqual(sorted(os.listdir(superseded)), sorted(list(before.values()) + old_manifest))
        self.assertEqual(len(old_manifest), 1)
        self.assertEqual(self.manifest_packages(superseded, old_manifest[0]), before)
        for f in os.listdir(superseded):
            self.assertEqual(stat.S_IMODE(os.stat(os.path.join(superseded, f)).st_mode), 0o600, f)
        self.assertIn(f"moved 2 packages of earlier runs into {out}/superseded/", again.stdout)

    def packages_by_device(self, out):
        """{device: package file} of the packages in out."""
        return {f.split("_", 1)[0]: f for f in sorted(os.listdir(out)) if f.endswith(".deb")}

    def manifest_packages(self, out, name="manifest.csv"):
        with open(os.path.join(out, name), newline="") as f:
            return {row["name"]: row["package"] for row in csv.DictReader(f)}

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
        m = ["--maintainer", MAINTAINER]
        derived = devices.hashed_client_id("greenhouse-1")
        # (list, arguments, what stderr says, what it must not say)
        cases = [
            ("name,client_id\nb1,id1\n", m, r"devices.csv:1: missing column 'token'", None),
            # An inventory's columns are kept; a known one misspelt is not.
            ("name,token,clientid,location,Hots\nb1,t1,x,here,h\n", m,
             r"devices.csv:1: column 'clientid' looks like 'client_id' misspelt: name it so.*\n"
             r"[^\n]*devices.csv:1: column 'Hots' looks like 'host' misspelt", "location"),
            ("name,token,sha256\nb1,t1,x\n", m, r"devices.csv:1: column 'sha256' is one of the manifest's own", None),
            (header + "b1,t1,,h\nb2,t2,\nb3\n", m,
             r"devices.csv:3: 3 fields where the header has 4\n[^\n]*devices.csv:4: 1 field where the header has 4\n",
             None),
            # A line short of fields hides none of its other faults.
            (header + "b1,t1,,b.example\nb2,to ken,a-b\n", ["--host", "b.example"] + m,
             r"devices.csv:3: 3 fields where the header has 4\n"
             r"[^\n]*devices.csv:3: token 'to ken' holds characters[^\n]*\n"
             r"[^\n]*devices.csv:3: client_id 'a-b' is not an MQTT client identifier", None),
            (header + "b1,t1,,h\nb1,t2,,h\n", m, r"devices.csv:3: duplicate name \(also on line 2\)", "client id"),
            (header + "b1,t1,,h\nb2,t1,,h\n", m, r"devices.csv:3: duplicate token \(also on line 2\)", None),
            # A duplicate client id as the line gives it, or derived, with its name.
            (header + "b1,t1,same,h\nb2,t2,same,h\n", m,
             r"devices.csv:3: duplicate client id 'same' \(also on line 2\)", None),
            (header + f"b1,t1,{derived},h\ngreenhouse-1,t2,,h\ngreenhouse_1,t3,,h\n", m,
             rf"devices.csv:3: duplicate client id '{derived}', derived from the name 'greenhouse-1'"
             r" \(also on line 2\)",
             None),
            (header + "b1,,,h\n", m, r"devices.csv:2: no token", None),
            (header + "../b1,t1,,h\n", m, r"devices.csv:2: name '../b1' is not a device name", None),
            (header + "b1,t1,,h\nb2,to ken,,h\n", m, r"devices.csv:3: token 'to ken' holds characters", None),
            (header + "b1,t" + "1" * 255 + ",,h\n", m, r"devices.csv:2: token 't1+' is longer than 255", None),
            (header + "b1,t1,a-b,h\n", m, r"devices.csv:2: client_id 'a-b' is not an MQTT client identifier", None),
            (header + "b1,t1," + "c" * 24 + ",h\n", m, r"devices.csv:2: client_id 'c{24}' is not an MQTT", None),
            (header + "b1,t1,,bad/host\n", m, r"devices.csv:2: host 'bad/host' is not a host name", None),
            # A bad default host is told once, not again for each line.
            (header + "b1,t1,,\nb2,t2,,\n", ["--host", "a b"] + m, r"--host 'a b' is not a host name", "csv:[23]"),
            (header, m, r"devices.csv: no devices", None),
            # A test system's settings on a board: its broker is not there.
            (header + "b1,Tz8LwQ3nVb6RkY1mHc5J,,b.example\n", m,
             r"devices.csv:2: token is the demo access token.*\n.*--allow-test-settings", None),
            (header + "b1,t1,,b.example\nb2,t2,,LocalHost\n", m, r"devices.csv:3: host 'LocalHost' is a loopback",
             None),
            (header + "b1,t1,,127.1.2.3\n", m, r"devices.csv:2: host '127.1.2.3' is a loopback", None),
            (header + "b1,t1,,[::1]\n", ["--host", "b.example"] + m, r"devices.csv:2: host '\[::1\]' is a loopback",
             None),
            (header + "b1,t1,,\n", ["--host", "127.0.0.1"] + m,
             r"devices.csv:2: host '127.0.0.1' \(the default: the line names no host\).*\n.*--allow-test-settings",
             None),
            # Lines without a host and no host given want the boards' broker.
            (header + "b1,t1,,\nb2,t2,,x.example\nb3,t3,,\n", m,
             r"devices.csv: lines 2 and 4 name no broker host, and no --host gives one.*\n"
             r"provision.sh: \(the boards' broker, for the lines that name none: --host HOST\)\n", "allow-test"),
            # Whoever ships the packages is named, and named well.
            (header + "b1,t1,,b.example\n", [], r"no --maintainer: the packages would name a test build's", None),
            (header + "b1,t1,,b.example\n", ["--maintainer", "ops@example.org"],
             r"--maintainer 'ops@example.org' is not a name and a mail address", None),
            # The build's settings, by name and by the build's rules; never
            # a token echoed.
            (header + "b1,t1,,b.example\n", m + ["--", "-DAGENT_BROKR_HOST=x", "-DAGENT_BROKER_PORT=0",
                                                 "-DAGENT_ACCESS_TOKEN=s3cretTok", "-DAGENT_CA_FILE=/x.pem",
                                                 "-DAGENT_STORE_SIZE=12k", "-DCMAKE_BUILD_TYPE=Debug"],
             r"provision.sh: -DAGENT_BROKR_HOST: not a setting of the boards' packages: AGENT_BROKER_HOST misspelt\?\n"
             r"provision.sh: -DAGENT_BROKER_PORT '0' is not a port number: 1 to 65535\n"
             r"provision.sh: -DAGENT_ACCESS_TOKEN: each device's own: the device list's token column\n"
             r"provision.sh: -DAGENT_CA_FILE: a TLS build's: give --tls, first after --\n"
             r"provision.sh: -DAGENT_STORE_SIZE '12k' is not a number of readings from 0 \(no store\) to 100000\n"
             r"provision.sh: -DCMAKE_BUILD_TYPE: not a setting of the boards' packages", "s3cretTok"),
            # Every fault of a list in one run, each with its line, in the
            # command line's order and the list's, whichever check finds
            # it; what a refused value may hold.
            (header + "b1,t1\n"
             "b2,t2,a-b,\n"
             "b3,to ken,,\n"
             "b2,t4,,bad/host\n"
             "b5,Tz8LwQ3nVb6RkY1mHc5J,,127.9.9.9\n", ["--host", "b.example", "--maintainer", "x", "--",
                                                       "-DAGENT_BROKER_PORT=x"],
             r"^provision.sh: --maintainer 'x' is not a name and a mail address: Name <address@domain>\n"
             r"\S*devices.csv:2: 2 fields where the header has 4\n"
             r"\S*devices.csv:3: client_id 'a-b' is not an MQTT client identifier: 1 to 23 of 0-9, a-z, A-Z\n"
             r"\S*devices.csv:4: token 'to ken' holds characters a token does not have: A-Z a-z 0-9 \. _ ~ \+ / = -\n"
             r"\S*devices.csv:5: duplicate name \(also on line 3\)\n"
             r"\S*devices.csv:5: host 'bad/host' is not a host name or address: A-Z a-z 0-9 \. - .*\n"
             r"\S*devices.csv:6: token is the demo access token.*\n"
             r"\S*devices.csv:6: host '127.9.9.9' is a loopback.*\n"
             r"provision.sh: -DAGENT_BROKER_PORT 'x' is not a port number: 1 to 65535\n"
             r"provision.sh: \(a test system's packages, for a broker on the board itself: --allow-test-settings\)\n"
             r"provision.sh: refused for 9 faults; nothing built, nothing written\n$", None),
        ]
        before = os.stat(DEB_CACHE).st_mtime_ns
        for text, args, message, absent in cases:
            with self.subTest(message=message):
                done = provision(text, self.out, *args)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stderr, message)
                if absent:
                    self.assertNotRegex(done.stderr, absent)
                self.assertRegex(done.stderr, r"\nprovision.sh: refused for (1 fault|[2-9]\d* faults); nothing built")
                self.assertFalse(os.path.exists(self.out))
                self.assertEqual(os.listdir(self.dir), ["devices.csv"])

        # OUT_DIR: a file, a folder on a read-only file system (which no
        # permission lets root write either); told with the list's faults.
        with open(os.path.join(self.dir, "afile"), "w"):
            pass
        readonly = os.path.join(self.dir, "readonly")
        os.mkdir(readonly)
        for out, wrapper, message in (
                (os.path.join(self.dir, "afile"), [], r"OUT_DIR \S*afile exists and is not a folder"),
                (os.path.join(readonly, "packages"), ["unshare", "--mount", "sh", "-c",
                                                       f"mount -t tmpfs -o ro none {readonly} && exec \"$@\"", "sh"],
                 r"OUT_DIR \S*readonly/packages: \S*readonly is not writable \(OUT_DIR would be made in it\)")):
            with self.subTest(out=out):
                with open(os.path.join(self.dir, "devices.csv"), "w") as f:
                    f.write(header + "b1,,,h\n")
                done = subprocess.run(wrapper + [PROVISION, *m, os.path.join(self.dir, "devices.csv"), out],
                                      capture_output=True, text=True, timeout=60)
                self.assertEqual(done.returncode, 1, done.stderr)
                self.assertRegex(done.stderr, r"devices.csv:2: no token\nprovision.sh: " + message + "\n")
                self.assertEqual(sorted(os.listdir(self.dir)), ["afile", "devices.csv", "readonly"])

        # An option that cannot be understood is a usage error; the list is
        # checked all the same.
        done = provision(header + "b1,,,h\n", self.out, "--frob", *m)
        self.assertEqual(done.returncode, 2, done.stderr)
        self.assertRegex(done.stderr, r"^provision.sh: unknown option '--frob'\n\S*devices.csv:2: no token\nusage: ")
        self.assertEqual(os.stat(DEB_CACHE).st_mtime_ns, before, "the package's build was configured again")


if __name__ == "__main__":
    unittest.main(verbosity=2)
