#!/usr/bin/python3
"""Device lists: one agent per device, each with its own identity.

    devices.py resolve DEVICES.csv OUT_DIR [--default-host HOST] [--refuse-test-settings]
    devices.py test-settings --host HOST --token TOKEN [--maintainer MAINTAINER]
    devices.py closest WORD CANDIDATE...
    devices.py fleet N OUT.csv

resolve checks DEVICES.csv and writes, in OUT_DIR:
  devices.cmake  one agent_device(WHERE NAME TOKEN CLIENT_ID HOST) call per
                 device, for the build (CMakeLists.txt) or for
                 cmake/check-devices.cmake, which check the settings' values;
  devices.csv    every device with its settings resolved, then the list's
                 columns of its own;
  tokens         the devices' access tokens, one a line: the local broker's
                 token registry (broker/run-broker.sh --tokens).

DEVICES.csv: a header line naming the columns name and token and, if wanted,
client_id and host, in any order, and columns of its own (an inventory's
export: kept in devices.csv and the manifest, ignored by the build); then one
line per device. A device without a client id gets one derived from its name;
one without a host gets HOST (none given: an empty host, which devices.cmake
takes for the build's own). Refused, with one line "FILE:LINE: why" per
fault, all of them, in line order, and exit status 1: a missing column, a
column without a name, named twice, named like one of the manifest's or like
a known one misspelt (client-id, Token, hots), a line with another number of
fields, a bad or duplicate name, a missing or duplicate token, a duplicate
client id (as the line gives it, or derived, naming the name it comes from);
with --refuse-test-settings (lists for real boards) also the demo access
token the build defaults to, a loopback broker host (localhost, 127.0.0.0/8,
::1: the board itself) and lines that name no host when there is no HOST. A
refused list leaves devices.csv and tokens unwritten, but devices.cmake lists
the devices whose lines could be read, so that check-devices.cmake reports
their values' faults in the same run. The files are written readable by their
owner alone: they hold the tokens.

test-settings prints why a board's agent with this broker host and token (and
its package with this maintainer) is a test build (one line per reason: the
demo token, a loopback host, the test build's maintainer), nothing if it is
not.

closest prints the CANDIDATE that WORD is most likely a misspelling of (an
edit distance of 1, or 2 for longer words; case and the separators - _ and
space aside), nothing if none.

fleet writes a device list of N simulated boards, board-001 to board-N, each
with its own token, for scripts/fleet.sh and the tests.
"""

import argparse
import csv
import hashlib
import io
import ipaddress
import os
import re
import sys

REQUIRED = ("name", "token")
OPTIONAL = ("client_id", "host")
KNOWN = REQUIRED + OPTIONAL
# The manifest's own columns (device_packages.py): a device list's columns of
# its own come after them and may not take their names.
MANIFEST = ("name", "client_id", "host", "port", "tls", "store", "package", "sha256",
            "source_commit", "source_changed")
# A name becomes a file name (the board's package) and a build target.
NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]{0,63}")
CLIENT_ID_MAX = 23
# A derived client id that must be made unique: the name's first letters and
# digits, then a hash of the whole name.
HASHED_PREFIX = 15
HASH_DIGITS = CLIENT_ID_MAX - HASHED_PREFIX
TOP_CMAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")
CPACK_CMAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "deploy", "cpack.cmake")


def demo_token():
    """The access token a build has when given none (CMakeLists.txt)."""
    with open(TOP_CMAKE) as f:
        return re.search(r'set\(AGENT_ACCESS_TOKEN "([^"]*)" CACHE', f.read()).group(1)


def test_maintainer():
    """The Maintainer a package has when given none (deploy/cpack.cmake)."""
    with open(CPACK_CMAKE) as f:
        return re.search(r'set\(AGENT_PACKAGE_MAINTAINER "([^"]*)"', f.read()).group(1)


def is_loopback(host):
    """Whether an agent that connects to host reaches the machine it runs on."""
    name = host.strip("[]").rstrip(".").lower()
    if name == "localhost" or name.endswith(".localhost"):
        return True
    try:
        address = ipaddress.ip_address(name)
    except ValueError:
        return False
    return address.is_loopback or address.is_unspecified


def test_settings(host, token, host_note="", maintainer=None):
    """Why an agent with these settings is a test build, not a board's."""
    reasons = []
    if maintainer is not None and maintainer == test_maintainer():
        reasons.append(f"maintainer is {maintainer!r}, a test build's: name whoever makes and ships"
                       " the packages (provision.sh --maintainer, or -DAGENT_PACKAGE_MAINTAINER)")
    if token == demo_token():
        reasons.append("token is the demo access token, the build's default: give the device its own")
    if is_loopback(host):
        reasons.append(f"host {host!r}{host_note} is a loopback address: the agent would look for"
                       " the broker on the board itself")
    return reasons


def plural(count, word):
    return f"{count} {word if count == 1 else word + 's'}"


def edit_distance(a, b):
    """Optimal string alignment distance: insertions, deletions,
    substitutions and transpositions of two neighbours each count 1."""
    d = [[i + j if not i or not j else 0 for j in range(len(b) + 1)] for i in range(len(a) + 1)]
    for i in range(1, len(a) + 1):
        for j in range(1, len(b) + 1):
            d[i][j] = min(d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1]))
            if i > 1 and j > 1 and a[i - 1] == b[j - 2] and a[i - 2] == b[j - 1]:
                d[i][j] = min(d[i][j], d[i - 2][j - 2] + 1)
    return d[-1][-1]


def closest(word, candidates):
    """The candidate word most likely stands for, misspelt, or None: within
    an edit distance of 1 (2 from candidates of more than 5 letters) once
    case and the separators - _ and space are set aside."""
    def plain(w):
        return re.sub(r"[-_ ]", "", w.lower())
    best = None
    for candidate in candidates:
        distance = edit_distance(plain(word), plain(candidate))
        if distance <= (2 if len(plain(candidate)) > 5 else 1) and (best is None or distance < best[0]):
            best = (distance, candidate)
    return best[1] if best else None


def line_list(lines, shown=10):
    """ "lines 2, 3 and 7", at most shown of them named."""
    named = [str(n) for n in lines[:shown]]
    if len(lines) > shown:
        named.append(f"{len(lines) - shown} more")
    text = named[0] if len(named) == 1 else ", ".join(named[:-1]) + " and " + named[-1]
    return f"{'line' if len(lines) == 1 else 'lines'} {text}"


class Refused(Exception):
    def __init__(self, problems):
        super().__init__("\n".join(problems))
        self.problems = problems


def plain_client_id(name):
    return re.sub(r"[^0-9A-Za-z]", "", name)


def hashed_client_id(name):
    digest = hashlib.sha256(name.encode()).hexdigest()[:HASH_DIGITS]
    return plain_client_id(name)[:HASHED_PREFIX] + digest


def duplicates(path, values, what):
    """Problems for the values ([(line, value)]) seen on an earlier line;
    what(line, value) names the column in the message (None: the line's
    fault is told otherwise). Empty values do not count."""
    first, problems = {}, []
    for line, value in values:
        if value and first.setdefault(value, line) != line and what(line, value):
            problems.append(f"{path}:{line}: duplicate {what(line, value)} (also on line {first[value]})")
    return problems


def read_rows(path, problems):
    """[(line, {column: value})] of the lines of a device list that can be
    read; appends to problems the faults of the others. Raises Refused when
    there is nothing to read."""
    try:
        with open(path, encoding="utf-8-sig", newline="") as f:
            reader = csv.reader(f)
            records = [(reader.line_num, row) for row in reader]
    except (OSError, UnicodeDecodeError, csv.Error) as e:
        raise Refused([f"{path}: {e}"])
    records = [(line, [v.strip() for v in row]) for line, row in records if any(v.strip() for v in row)]
    if not records:
        raise Refused([f"{path}: empty: a header line (name,token[,client_id][,host]) comes first"])
    header_line, header = records[0]
    at_header = f"{path}:{header_line}"
    # Columns of the list's own are kept; one that looks like a known column
    # misspelt would leave that setting out unseen.
    for number, column in enumerate(header, 1):
        if column in KNOWN:
            continue
        if not column:
            problems.append(f"{at_header}: column {number} has no name")
        elif closest(column, KNOWN):
            problems.append(f"{at_header}: column {column!r} looks like {closest(column, KNOWN)!r} misspelt:"
                            f" name it so, or give a column of your own a name further from it"
                            f" (columns: name, token, client_id, host)")
        elif column in MANIFEST:
            problems.append(f"{at_header}: column {column!r} is one of the manifest's own"
                            f" ({', '.join(MANIFEST)}): rename it")
    for column in sorted(set(header), key=header.index):
        if column and header.count(column) > 1:
            problems.append(f"{at_header}: column {column!r} appears {header.count(column)} times")
    for column in REQUIRED:
        if column not in header:
            problems.append(f"{at_header}: missing column {column!r}")
    if problems:
        raise Refused(problems)
    rows = []
    for line, values in records[1:]:
        if any(ch < " " or ch == "\x7f" for v in values for ch in v):
            problems.append(f"{path}:{line}: a field holds a control character or a line break")
            continue
        # A line of too few or too many fields is refused, and its fields
        # are checked all the same, so that one run names all its faults.
        if len(values) != len(header):
            problems.append(f"{path}:{line}: {plural(len(values), 'field')} where the header has {len(header)}")
        rows.append((line, dict(zip(header, values + [""] * (len(header) - len(values))))))
    if not rows and not problems:
        raise Refused([f"{path}: no devices after the header line"])
    return rows


def resolve(path, default_host, refuse_test_settings=False):
    """([(where, name, token, client_id, host)], problems, own): each
    device's settings, those of every line that could be read, every fault
    found, and the list's columns of its own ([column], [[value] per
    device]). The values' syntax is the build's to check (cmake)."""
    problems = []
    rows = read_rows(path, problems)
    own_columns = [c for c in rows[0][1] if c not in KNOWN] if rows else []
    own = (own_columns, [[row[c] for c in own_columns] for _, row in rows])
    for line, row in rows:
        if not NAME.fullmatch(row["name"]):
            problems.append(f"{path}:{line}: name {row['name']!r} is not a device name: 1 to 64 of"
                            " A-Z a-z 0-9 . _ -, starting with a letter or a digit")
        if not row["token"]:
            problems.append(f"{path}:{line}: no token")
    for column in ("name", "token"):
        problems += duplicates(path, [(line, row[column]) for line, row in rows], lambda line, value, c=column: c)

    # Client ids: given, else the name's letters and digits, made unique with
    # a hash of the name where that is too long or taken by another device.
    given = {row["client_id"] for _, row in rows if row.get("client_id")}
    plain = [plain_client_id(row["name"]) for _, row in rows if not row.get("client_id")]
    ids = {}
    for line, row in rows:
        if row.get("client_id"):
            ids[line] = row["client_id"]
        else:
            candidate = plain_client_id(row["name"])
            taken = candidate in given or plain.count(candidate) > 1
            ids[line] = hashed_client_id(row["name"]) if taken or len(candidate) > CLIENT_ID_MAX else candidate
    # A derived id is told with the name it comes from; one derived from a
    # name that is itself a duplicate needs no line of its own.
    by_line = dict(rows)
    names_seen = {}
    for line, row in rows:
        names_seen.setdefault(row["name"], line)

    def client_id_fault(line, value):
        row = by_line[line]
        if row.get("client_id"):
            return f"client id {value!r}"
        if names_seen[row["name"]] != line:
            return None
        return f"client id {value!r}, derived from the name {row['name']!r}"
    problems += duplicates(path, [(line, ids[line]) for line, _ in rows], client_id_fault)
    devices = [(f"{path}:{line}", row["name"], row["token"], ids[line], row.get("host") or default_host)
               for line, row in rows]
    if refuse_test_settings:
        hostless = [line for line, row in rows if not row.get("host")]
        if hostless and not default_host:
            problems.append(f"{path}: {line_list(hostless)} {'names' if len(hostless) == 1 else 'name'}"
                            " no broker host, and no --host gives one"
                            f" (the build's default, localhost, is the board itself)")
        for (where, _, token, _, host), (_, row) in zip(devices, rows):
            note = "" if row.get("host") else " (the default: the line names no host)"
            problems += [f"{where}: {reason}" for reason in test_settings(host, token, note)]
    problems.sort(key=line_of)
    return devices, problems, own


def line_of(problem):
    """A fault's line number, for reporting them in order (0: the file's)."""
    m = re.search(r":(\d+): ", problem)
    return int(m.group(1)) if m else 0


def cmake_string(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"').replace("$", "\\$") + '"'


def write(path, text):
    """Writes path whole, readable by its owner alone (a token may be in it)."""
    tmp = path + ".tmp"
    if os.path.exists(tmp):
        os.unlink(tmp)
    with os.fdopen(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as f:
        f.write(text)
    os.chmod(tmp, 0o600)
    os.replace(tmp, path)


def write_calls(devices, out_dir):
    os.makedirs(out_dir, mode=0o700, exist_ok=True)
    calls = ["agent_device(" + " ".join(map(cmake_string, d)) + ")\n" for d in devices]
    write(os.path.join(out_dir, "devices.cmake"),
          "# Written by scripts/devices.py: one agent per device.\n" + "".join(calls))


def write_resolved(devices, own, out_dir):
    write_calls(devices, out_dir)
    text = io.StringIO()
    writer = csv.writer(text, lineterminator="\n")
    writer.writerow(list(KNOWN) + own[0])
    writer.writerows(list(d[1:]) + values for d, values in zip(devices, own[1]))
    write(os.path.join(out_dir, "devices.csv"), text.getvalue())
    write(os.path.join(out_dir, "tokens"), "".join(d[2] + "\n" for d in devices))


def fleet(count):
    """The device list of count simulated boards."""
    width = max(3, len(str(count)))
    lines = ["name,token\n"]
    for i in range(1, count + 1):
        name = f"board-{i:0{width}d}"
        lines.append(f"{name},{hashlib.sha256(f'fleet {name}'.encode()).hexdigest()[:20]}\n")
    return "".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    r = sub.add_parser("resolve")
    r.add_argument("devices")
    r.add_argument("out_dir")
    r.add_argument("--default-host", default="")
    r.add_argument("--refuse-test-settings", action="store_true",
                   help="refuse the demo token and loopback hosts (a list for real boards)")
    t = sub.add_parser("test-settings")
    t.add_argument("--host", required=True)
    t.add_argument("--token", required=True)
    t.add_argument("--maintainer", help="the package's Maintainer field")
    c = sub.add_parser("closest")
    c.add_argument("word")
    c.add_argument("candidates", nargs="+")
    f = sub.add_parser("fleet")
    f.add_argument("count", type=int)
    f.add_argument("out")
    args = parser.parse_args()
    if args.command == "fleet":
        if not 1 <= args.count <= 9999:
            parser.error("a fleet has 1 to 9999 boards")
        write(args.out, fleet(args.count))
        return 0
    if args.command == "closest":
        found = closest(args.word, args.candidates)
        if found:
            print(found)
        return 0
    if args.command == "test-settings":
        for reason in test_settings(args.host, args.token, maintainer=args.maintainer):
            print(reason)
        return 0
    try:
        devices, problems, own = resolve(args.devices, args.default_host, args.refuse_test_settings)
    except Refused as e:
        print(e, file=sys.stderr)
        return 1
    if problems:
        print("\n".join(problems), file=sys.stderr)
        write_calls(devices, args.out_dir)
        return 1
    write_resolved(devices, own, args.out_dir)
    return 0


if __name__ == "__main__":
    sys.exit(main())
