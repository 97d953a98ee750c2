#!/usr/bin/python3
"""One Debian package per device, made from the shared package.

    device_packages.py SHARED.deb DEVICE_BUILD TESTED_AGENT OUT_DIR

DEVICE_BUILD is the package's build folder configured with a device list
(AGENT_DEVICES): DEVICE_BUILD/devices/devices.csv names every device and its
settings, DEVICE_BUILD/devices/NAME/telemetry-agent is its agent. For each
device, OUT_DIR/NAME.deb is SHARED.deb with that agent, stripped as CPack
strips, in place of the shared one, and the md5sums line that goes with it.
Everything else, Installed-Size included, stays: an agent with other
settings has the same size (the settings have fixed sizes), which is checked,
together with agent_binary.py's comparison with TESTED_AGENT (the same code
but for the settings' bytes, and the device's own settings).
"""

import concurrent.futures
import csv
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

import agent_binary

AGENT_PATH = "usr/bin/telemetry-agent"


def md5(path):
    with open(path, "rb") as f:
        return hashlib.md5(f.read()).hexdigest()


def package(template, device, agent, tested, out_dir, work):
    """Makes out_dir/NAME.deb."""
    name = device["name"]
    agent_binary.compare(tested, agent, {k: device[k] for k in ("host", "client_id", "token")})
    tree = os.path.join(work, name)
    shutil.copytree(template, tree, symlinks=True)
    target = os.path.join(tree, AGENT_PATH)
    size = os.path.getsize(target)
    subprocess.run([agent_binary.TOOLS + "strip", "-o", target, agent], check=True)
    if os.path.getsize(target) != size:
        raise agent_binary.Mismatch(f"{name}: the agent has {os.path.getsize(target)} bytes, the shared one {size}")
    sums = os.path.join(tree, "DEBIAN", "md5sums")
    with open(sums) as f:
        lines = f.read().splitlines()
    lines = [f"{md5(target)}  {AGENT_PATH}" if line.endswith("  " + AGENT_PATH) else line for line in lines]
    with open(sums, "w") as f:
        f.write("\n".join(lines) + "\n")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-Zxz", "--build", tree,
                    os.path.join(out_dir, name + ".deb")], check=True, stdout=subprocess.DEVNULL)
    shutil.rmtree(tree)


def main():
    if len(sys.argv) != 5:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    shared, build, tested, out_dir = sys.argv[1:]
    with open(os.path.join(build, "devices", "devices.csv"), newline="") as f:
        devices = list(csv.DictReader(f))
    with tempfile.TemporaryDirectory() as work:
        template = os.path.join(work, "template")
        subprocess.run(["dpkg-deb", "--raw-extract", shared, template], check=True)
        tested = agent_binary.code(tested)
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count()) as pool:
            jobs = {d["name"]: pool.submit(package, template, d,
                                           os.path.join(build, "devices", d["name"], "telemetry-agent"),
                                           tested, out_dir, work)
                    for d in devices}
            failed = 0
            for name, job in jobs.items():
                try:
                    job.result()
                except (agent_binary.Mismatch, subprocess.CalledProcessError, OSError) as e:
                    print(f"{name}: {e}", file=sys.stderr)
                    failed += 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
