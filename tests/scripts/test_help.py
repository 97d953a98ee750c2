#!/usr/bin/python3
"""Every executable script of the repository answers -h and --help with its
usage on standard output and exit status 0, doing nothing else, and refuses an
unknown option with exit status 2 and its usage on standard error.

    tests/scripts/test_help.py [-h] [SCRIPT...]

The scripts are found, not listed: every file git tracks with the executable
bit (the end-to-end suites under tests/e2e/ excepted: ctest runs them). A
script that handles no --help at all (in it neither the text "--help", nor
scripts/cli.sh, nor Python's argparse or unittest) fails without being run:
it would do its work. Each other runs in an empty working directory with an
empty TMPDIR, and must leave no process behind (this test is their
subreaper), no file of the work tree changed, nothing in either folder, and
dpkg's database (installed packages, architectures) as it was.
"""

import argparse
import ctypes
import hashlib
import os
import signal
import subprocess
import sys
import tempfile
import time

REPO = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
EXCLUDED = ("tests/e2e/",)
DPKG_FILES = ("/var/lib/dpkg/status", "/var/lib/dpkg/arch")
UNKNOWN = "--no-such-option"
TIMEOUT_S = 60
PR_SET_CHILD_SUBREAPER = 36


def scripts():
    listing = subprocess.run(["git", "-C", REPO, "ls-files", "-s"], check=True, capture_output=True,
                             text=True).stdout
    found = []
    for line in listing.splitlines():
        mode, _, _, path = line.split(None, 3)
        if mode == "100755" and not path.startswith(EXCLUDED):
            found.append(path)
    return found


def tree_state():
    """Every file of the work tree (build folders included) but .git and
    what is mounted in it (the booted-system test's chroot): its size,
    modification time and mode."""
    state = {}
    for root, dirs, files in os.walk(REPO):
        dirs[:] = [d for d in dirs
                   if not (root == REPO and d == ".git") and not os.path.ismount(os.path.join(root, d))]
        for name in files + [d for d in dirs if os.path.islink(os.path.join(root, d))]:
            path = os.path.join(root, name)
            try:
                st = os.lstat(path)
            except FileNotFoundError:
                continue
            state[os.path.relpath(path, REPO)] = (st.st_size, st.st_mtime_ns, st.st_mode)
    return state


def dpkg_state():
    digests = {}
    for path in DPKG_FILES:
        try:
            with open(path, "rb") as f:
                digests[path] = hashlib.sha256(f.read()).hexdigest()
        except FileNotFoundError:
            digests[path] = None
    return digests


def leftovers():
    """Processes whose parent is this one: whatever a script left running
    comes to us, its subreaper."""
    me, found = os.getpid(), []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace").strip()
        except (FileNotFoundError, ProcessLookupError, IndexError):
            continue
        if int(fields[1]) == me and fields[0] != "Z":
            found.append((int(pid), cmdline))
    return found


def reap():
    while True:
        try:
            if os.waitpid(-1, os.WNOHANG)[0] == 0:
                return
        except ChildProcessError:
            return


def stop_leftovers():
    """Kills what a script left running, the children of its children too
    (they come to us as their parents die); returns what there was."""
    found = []
    for _ in range(50):
        time.sleep(0.1)
        reap()
        left = leftovers()
        if not left:
            break
        found += left
        for pid, _ in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    return found


def run(script, arg):
    """Runs SCRIPT ARG; returns (exit status, stdout, stderr, side effects)."""
    tree, dpkg = tree_state(), dpkg_state()
    with tempfile.TemporaryDirectory(prefix="help-cwd-") as cwd, \
            tempfile.TemporaryDirectory(prefix="help-tmp-") as tmp:
        env = dict(os.environ, TMPDIR=tmp)
        child = subprocess.Popen([os.path.join(REPO, script), arg], cwd=cwd, env=env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 text=True, start_new_session=True)
        try:
            out, err = child.communicate(timeout=TIMEOUT_S)
            status = child.returncode
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            out, err = child.communicate()
            status = f"none: still running after {TIMEOUT_S} s"
        effects = [f"left process {pid} running: {cmdline}" for pid, cmdline in stop_leftovers()]
        for where, folder in (("working directory", cwd), ("TMPDIR", tmp)):
            if os.listdir(folder):
                effects.append(f"wrote into its {where}: {sorted(os.listdir(folder))}")
    after = tree_state()
    changed = sorted(p for p in set(tree) | set(after) if tree.get(p) != after.get(p))
    if changed:
        effects.append(f"changed {len(changed)} files of the work tree, e.g. {changed[:5]}")
    if dpkg_state() != dpkg:
        effects.append("changed dpkg's database (installed packages or architectures)")
    return status, out, err, effects


def handles_help(script):
    with open(os.path.join(REPO, script), "rb") as f:
        text = f.read()
    return any(word in text for word in (b"--help", b"argparse", b"unittest", b"cli.sh"))


def check(script):
    """The faults of one script, as lines."""
    if not handles_help(script):
        return ["handles no --help (not run: it would do its work)"]
    faults = []
    outputs = {}
    for arg in ("--help", "-h"):
        status, out, err, effects = run(script, arg)
        outputs[arg] = out
        if status != 0:
            faults.append(f"{arg}: exit status {status}, not 0")
        if not out.lower().startswith("usage:"):
            faults.append(f"{arg}: standard output does not start with 'usage:': {out[:200]!r}")
        if err:
            faults.append(f"{arg}: wrote to standard error: {err[:200]!r}")
        faults += [f"{arg}: {e}" for e in effects]
    if outputs["-h"] != outputs["--help"]:
        faults.append("-h and --help print different texts")
    status, out, err, effects = run(script, UNKNOWN)
    if status != 2:
        faults.append(f"{UNKNOWN}: exit status {status}, not 2")
    if out:
        faults.append(f"{UNKNOWN}: wrote to standard output: {out[:200]!r}")
    if "usage:" not in err.lower() or len(err.splitlines()) < 2:
        faults.append(f"{UNKNOWN}: standard error lacks an error line and the usage: {err[:200]!r}")
    faults += [f"{UNKNOWN}: {e}" for e in effects]
    return faults


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("scripts", nargs="*", metavar="SCRIPT", help="these (paths in the repository) only")
    args = parser.parse_args()
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    found = args.scripts or scripts()
    bad = 0
    for script in found:
        faults = check(script)
        print(f"{'FAILED' if faults else 'ok'}: {script}")
        for fault in faults:
            print(f"  {fault}")
        bad += bool(faults)
    print(f"{len(found)} scripts checked, {bad} failed")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
