#!/usr/bin/python3
"""What an agent binary holds: its settings, and whether it is another's code.

    agent_binary.py compare TESTED PACKAGED [--host H] [--client-id C] [--token T] [--ca-file F]

Every board's agent is the same code linked with its own settings
(src/device.cpp: the broker's URI, the client id and the access token, and
with TLS the CA file, in fixed-size fields of the section agent_settings). compare strips both
binaries as CPack strips them, leaves out their build IDs (a hash of the
whole file, so it differs whenever one byte does) and checks that they
differ in the settings' bytes alone, that PACKAGED does not reach TESTED's
broker and that PACKAGED's settings are those given. Exit status 0 when all
holds.
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

TOOLS = "arm-linux-gnueabihf-"  # the board's binutils
SECTION = "agent_settings"


class Mismatch(Exception):
    pass


class Code:
    """A binary stripped as packaged, without its build ID, and where its
    settings lie in it."""

    def __init__(self, path, work, tools=TOOLS):
        out = os.path.join(work, "code")
        subprocess.run([tools + "strip", "-o", out, path], check=True)
        subprocess.run([tools + "objcopy", "--remove-section", ".note.gnu.build-id", out], check=True)
        headers = subprocess.run([tools + "readelf", "-S", "-W", out], check=True, capture_output=True,
                                 text=True).stdout
        with open(out, "rb") as f:
            self.data = f.read()
        os.unlink(out)
        m = re.search(rf"\]\s+{SECTION}\s+PROGBITS\s+[0-9a-f]+\s+([0-9a-f]+)\s+([0-9a-f]+)\s", headers)
        if not m:
            raise Mismatch(f"{path}: no {SECTION} section")
        self.start = int(m.group(1), 16)
        self.end = self.start + int(m.group(2), 16)
        # Zero-padded texts, in the order of struct DeviceSettings; the fourth
        # (the CA file) in TLS builds only.
        fields = [f for f in self.data[self.start:self.end].split(b"\0") if f]
        if len(fields) not in (3, 4):
            raise Mismatch(f"{path}: {SECTION} holds {len(fields)} texts, not 3 or 4")
        texts = [f.decode("ascii", "replace") for f in fields]
        self.uri, self.client_id, self.token = texts[:3]
        self.ca_file = texts[3] if len(texts) == 4 else None
        self.host = re.sub(r"^[a-z]+://|:[0-9]+$", "", self.uri)

    def outside_settings(self):
        return self.data[:self.start] + self.data[self.end:]


def masked(token):
    return f"{token[:4]}... ({len(token)} characters)"


def code(path, tools=TOOLS):
    with tempfile.TemporaryDirectory() as work:
        return Code(path, work, tools)


def compare(tested, packaged_path, expected, tools=TOOLS):
    """Raises Mismatch unless packaged is the code of tested (a path or a
    Code) with the expected settings ({"host"|"client_id"|"token": value});
    returns a summary."""
    if not isinstance(tested, Code):
        tested = code(tested, tools)
    packaged = code(packaged_path, tools)
    summary = (f"packaged: {packaged.uri}, client id {packaged.client_id}, token {masked(packaged.token)};"
               f" tested: {tested.uri}")
    if packaged.uri == tested.uri:
        raise Mismatch(f"{summary}: the packaged agent reaches the test build's broker")
    if packaged.ca_file is not None and packaged.ca_file == tested.ca_file:
        raise Mismatch(f"{summary}: the packaged agent trusts the test build's CA file")
    for key, value in expected.items():
        if getattr(packaged, key) != value:
            raise Mismatch(f"{summary}: {key} is {getattr(packaged, key)!r}, not {value!r}")
    if (tested.start, tested.end, len(tested.data)) != (packaged.start, packaged.end, len(packaged.data)):
        raise Mismatch(f"{summary}: the binaries are laid out differently")
    a, b = tested.outside_settings(), packaged.outside_settings()
    differing = sum(x != y for x, y in zip(a, b))
    if differing:
        raise Mismatch(f"{summary}: {differing} bytes outside the settings differ from the tested agent's")
    return (f"{summary}\n  {len(packaged.data)} bytes; outside the settings ({packaged.end - packaged.start}"
            f" bytes at 0x{packaged.start:x}) none differs from the tested agent's")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    c = sub.add_parser("compare")
    c.add_argument("tested")
    c.add_argument("packaged")
    c.add_argument("--host")
    c.add_argument("--client-id", dest="client_id")
    c.add_argument("--token")
    c.add_argument("--ca-file", dest="ca_file")
    args = parser.parse_args()
    expected = {k: v for k, v in vars(args).items()
                if k in ("host", "client_id", "token", "ca_file") and v is not None}
    try:
        print("  " + compare(args.tested, args.packaged, expected))
    except Mismatch as e:
        print(f"  {e}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
