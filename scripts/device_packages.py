#!/usr/bin/python3
"""One Debian package per device, made from the shared package.

    device_packages.py SHARED.deb DEVICE_BUILD TESTED_AGENT OUT_DIR --version VERSION

DEVICE_BUILD is the package's build folder configured with a device list
(AGENT_DEVICES): DEVICE_BUILD/devices/devices.csv names every device and its
settings, DEVICE_BUILD/devices/NAME/telemetry-agent is its agent. For each
device, OUT_DIR/NAME_VERSION_ARCH.deb is SHARED.deb with that agent, stripped
as CPack strips, in place of the shared one, the md5sums line that goes with
it, VERSION as its version and a description that names the device.
Everything else, Installed-Size included, stays: an agent with other
settings has the same size (the settings have fixed sizes), which is checked,
together with agent_binary.py's comparison with TESTED_AGENT (the same code
but for the settings' bytes, and the device's own settings).

OUT_DIR/manifest.csv then lists every device's package: name, client id,
broker host and port, TLS or not, the readings its store keeps (0: no
store), the package's file and its SHA-256, the
source commit its agent was built from and whether that tree had uncommitted
changes (as the package's description says), then the device list's columns
of its own (never the token); the same, a line per device, goes to standard
output. Every file written is readable by its owner alone.
"""

import argparse
import concurrent.futures
import csv
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

import agent_binary

AGENT_PATH = "usr/bin/telemetry-agent"
MANIFEST_COLUMNS = ("name", "client_id", "host", "port", "tls", "store", "package", "sha256",
                    "source_commit", "source_changed")
KNOWN_COLUMNS = ("name", "token", "client_id", "host")  # of the resolved device list
# The description's line (deploy/cpack.cmake) and what the manifest makes of it.
SOURCE = re.compile(r"^ Source commit: (?:none |([0-9a-f]{40})$)(\n with uncommitted changes)?", re.M)


def source(control_text):
    """(commit, changed) of the shared package's description: ("", "unknown")
    for sources that were no git work tree."""
    m = SOURCE.search(control_text)
    if not m:
        raise agent_binary.Mismatch("the shared package's description names no source commit")
    if not m.group(1):
        return "", "unknown"
    return m.group(1), "yes" if m.group(2) else "no"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def control(text, name, version):
    """The control file with this version and a description naming the device."""
    lines, out, in_description = text.splitlines(), [], False
    for line in lines:
        if in_description and not line.startswith(" "):
            out += [" .", f" This package is for the device {name}: its broker host, MQTT client id and",
                    " access token are compiled into the agent."]
            in_description = False
        if line.startswith("Version:"):
            line = f"Version: {version}"
        in_description = in_description or line.startswith("Description:")
        out.append(line)
    if in_description:
        raise agent_binary.Mismatch("the shared package's description is its last field")
    return "\n".join(out) + "\n"


def md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def store_size(build):
    """The readings the build's reading store keeps (AGENT_STORE_SIZE; 0: none)."""
    with open(os.path.join(build, "CMakeCache.txt")) as f:
        m = re.search(r"^AGENT_STORE_SIZE:\w+=(\d+)$", f.read(), re.M)
    return m.group(1) if m else "0"


def package(template, device, agent, tested, out_dir, work, version, store):
    """Makes out_dir/NAME_VERSION_ARCH.deb; returns its manifest row."""
    name = device["name"]
    agent_binary.compare(tested, agent, {k: device[k] for k in ("host", "client_id", "token")})
    packaged = agent_binary.code(agent)
    tree = os.path.join(work, name)
    shutil.copytree(template, tree, symlinks=True)
    target = os.path.join(tree, AGENT_PATH)
    size, mode = os.path.getsize(target), os.stat(target).st_mode
    subprocess.run([agent_binary.TOOLS + "strip", "-o", target, agent], check=True)
    os.chmod(target, mode)  # the shared package's, whatever the umask
    if os.path.getsize(target) != size:
        raise agent_binary.Mismatch(f"{name}: the agent has {os.path.getsize(target)} bytes, the shared one {size}")
    sums = os.path.join(tree, "DEBIAN", "md5sums")
    with open(sums) as f:
        lines = f.read().splitlines()
    lines = [f"{md5(target)}  {AGENT_PATH}" if line.endswith("  " + AGENT_PATH) else line for line in lines]
    with open(sums, "w") as f:
        f.write("\n".join(lines) + "\n")
    control_file = os.path.join(tree, "DEBIAN", "control")
    with open(control_file) as f:
        text = f.read()
    arch = re.search(r"^Architecture: (\S+)$", text, re.M).group(1)
    with open(control_file, "w") as f:
        f.write(control(text, name, version))
    deb = os.path.join(out_dir, f"{name}_{version}_{arch}.deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-Zxz", "--build", tree, deb],
                   check=True, stdout=subprocess.DEVNULL)
    os.chmod(deb, 0o600)
    shutil.rmtree(tree)
    scheme, host_port = packaged.uri.split("://", 1)
    commit, changed = source(text)
    row = {"name": name, "client_id": packaged.client_id, "host": packaged.host,
           "port": host_port.rsplit(":", 1)[1], "tls": "yes" if scheme == "ssl" else "no",
           "store": store, "package": os.path.basename(deb), "sha256": sha256(deb), "source_commit": commit,
           "source_changed": changed}
    row.update((k, v) for k, v in device.items() if k not in KNOWN_COLUMNS)
    return row


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog=__doc__.split("\n\n", 2)[2])
    for name in ("SHARED.deb", "DEVICE_BUILD", "TESTED_AGENT", "OUT_DIR"):
        parser.add_argument(name)
    parser.add_argument("--version", required=True, help="the packages' version")
    args = parser.parse_args()
    shared, build, tested, out_dir = (getattr(args, n) for n in ("SHARED.deb", "DEVICE_BUILD", "TESTED_AGENT", "OUT_DIR"))
    with open(os.path.join(build, "devices", "devices.csv"), newline="") as f:
        reader = csv.DictReader(f)
        devices = list(reader)
        own_columns = [c for c in reader.fieldnames if c not in KNOWN_COLUMNS]
    with tempfile.TemporaryDirectory() as work:
        template = os.path.join(work, "template")
        subprocess.run(["dpkg-deb", "--raw-extract", shared, template], check=True)
        tested = agent_binary.code(tested)
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            jobs = {d["name"]: pool.submit(package, template, d,
                                           os.path.join(build, "devices", d["name"], "telemetry-agent"),
                                           tested, out_dir, work, args.version, store_size(build))
                    for d in devices}
            failed, rows = 0, []
            for name, job in jobs.items():
                try:
                    rows.append(job.result())
                except (agent_binary.Mismatch, subprocess.CalledProcessError, OSError) as e:
                    print(f"{name}: {e}", file=sys.stderr)
                    failed += 1
    if failed:
        return 1
    manifest = os.path.join(out_dir, "manifest.csv")
    with os.fdopen(os.open(manifest, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w", newline="") as f:
        writer = csv.DictWriter(f, MANIFEST_COLUMNS + tuple(own_columns), lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
    os.chmod(manifest, 0o600)
    if rows and not rows[0]["source_commit"]:
        print("device_packages.py: warning: built from sources that are not a git work tree: no source commit",
              file=sys.stderr)
    elif rows and rows[0]["source_changed"] == "yes":
        print(f"device_packages.py: warning: built from a changed tree: commit {rows[0]['source_commit']}"
              " with uncommitted changes", file=sys.stderr)
    for row in rows:
        print(f"{row['name']}: {row['package']}, client id {row['client_id']},"
              f" broker {row['host']}:{row['port']} {'TLS' if row['tls'] == 'yes' else 'plain TCP'},"
              + (f" a store of {row['store']} readings," if row["store"] != "0" else "")
              + f" sha256 {row['sha256']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
