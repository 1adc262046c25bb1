"""Reads a callgrind output file: total instructions, and how many times a
marker function was called, to print instructions per call of the marker."""
import re
import sys


def strip_args(fname):
    """The function's qualified name without its parameter list: an
    anonymous namespace is dropped first, since its parentheses would
    otherwise be taken for the start of the parameters."""
    fname = fname.replace("(anonymous namespace)::", "")
    return fname.split("(", 1)[0].strip()


def main():
    path, case, marker = sys.argv[1:4]
    names = {}  # compressed id -> function name
    total = None
    calls = 0
    pending = False  # the last cfn= line named the marker
    with open(path, errors="replace") as f:
        for line in f:
            if line.startswith("summary:") or line.startswith("totals:"):
                total = int(line.split()[1])
            elif line.startswith("cfn="):
                m = re.match(r"cfn=\((\d+)\)(?: (.*))?", line.strip())
                if m:
                    if m.group(2):
                        names[m.group(1)] = m.group(2)
                    fname = names.get(m.group(1), "")
                else:
                    fname = line[4:].strip()
                plain = strip_args(fname)
                pending = plain == marker or plain.endswith("::" + marker)
            elif line.startswith("fn="):
                m = re.match(r"fn=\((\d+)\)(?: (.*))?", line.strip())
                if m and m.group(2):
                    names[m.group(1)] = m.group(2)
                pending = False
            elif line.startswith("calls=") and pending:
                calls += int(line.split("=")[1].split()[0])
                pending = False
    if not total or not calls:
        sys.exit(f"{case}: nothing counted (marker {marker} called {calls} times)")
    print(f"{case:<30} {marker:<22} {total:>14} {calls:>10} {total / calls:>9.0f}")


main()
