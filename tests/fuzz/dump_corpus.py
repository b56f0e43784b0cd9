#!/usr/bin/env python3
"""Text dumps of the binary seeds in corpus/, so that a change to a seed shows in a diff.

    dump_corpus.py           rewrites dumps/<target>/<seed>.txt for every binary seed
    dump_corpus.py --check   fails when a dump is missing, stale or has no seed

A dump lists 16 bytes a line (offset, hex, printable characters); runs of all-zero lines
are shown once and followed by "*", and the last line gives the seed's length.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")
DUMPS = os.path.join(HERE, "dumps")
TEXT = set(b"\t\n\r") | set(range(0x20, 0x7F))


def is_binary(data):
    return any(b not in TEXT for b in data)


def dump(data):
    lines = []
    previous_zero = False
    for offset in range(0, len(data), 16):
        chunk = data[offset:offset + 16]
        zero = len(chunk) == 16 and not any(chunk)
        if zero and previous_zero:
            if lines[-1] != "*":
                lines.append("*")
            continue
        previous_zero = zero
        hexes = " ".join(f"{b:02x}" for b in chunk)
        chars = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in chunk)
        lines.append(f"{offset:08x}: {hexes:<47}  {chars}")
    lines.append(f"{len(data):08x}: end, {len(data)} bytes")
    return "\n".join(lines) + "\n"


def expected():
    """Maps each dump's path below DUMPS to its text."""
    dumps = {}
    for target in sorted(os.listdir(CORPUS)):
        folder = os.path.join(CORPUS, target)
        for name in sorted(os.listdir(folder)):
            with open(os.path.join(folder, name), "rb") as f:
                data = f.read()
            if is_binary(data):
                dumps[os.path.join(target, name + ".txt")] = dump(data)
    return dumps


def present():
    found = set()
    if os.path.isdir(DUMPS):
        for root, _, names in os.walk(DUMPS):
            for name in names:
                found.add(os.path.relpath(os.path.join(root, name), DUMPS))
    return found


def main():
    wanted = expected()
    if sys.argv[1:] == ["--check"]:
        problems = []
        for path, text in wanted.items():
            try:
                with open(os.path.join(DUMPS, path)) as f:
                    if f.read() != text:
                        problems.append(f"stale: dumps/{path}")
            except FileNotFoundError:
                problems.append(f"missing: dumps/{path}")
        problems += [f"no seed: dumps/{path}" for path in sorted(present() - set(wanted))]
        for problem in problems:
            print(problem)
        if problems:
            print("run tests/fuzz/dump_corpus.py to rewrite the dumps")
            return 1
        return 0
    if sys.argv[1:]:
        print(__doc__.strip())
        return 2
    for path in present() - set(wanted):
        os.remove(os.path.join(DUMPS, path))
    for path, text in wanted.items():
        os.makedirs(os.path.dirname(os.path.join(DUMPS, path)), exist_ok=True)
        with open(os.path.join(DUMPS, path), "w") as f:
            f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
