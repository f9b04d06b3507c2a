#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Counts memcheck's reports in the XML files of a constant-time check run.

usage: ct-count.py SOURCE_DIR XML...

Every error memcheck reported is counted once per occurrence (a report that
repeats is one entry of its XML with a count) and put under the code that
made the decision: the first frame of its stack outside the C library, the
dynamic loader, valgrind's own replacements and system headers (a memcmp
called on a secret is the caller's decision). That frame is the library's
when its source file is under SOURCE_DIR/keystore, libcrypto's when it is in
libcrypto, and the tests' or the tools' otherwise.

Prints each report (kind, owner, count, its frames, and where the secret
was marked when memcheck tracked origins) and a table of counts by
kind and owner, and exits 1 when there is any report at all: with every
secret marked and every result declassified, the run has none. Exits 2 when a
file is missing or is not memcheck's XML.
"""
import os
import sys
import xml.etree.ElementTree as ET

# The two reports of a decision on a secret; any other kind is listed too.
SECRET_KINDS = {"UninitCondition": "Conditional jump or move depends on uninitialised value(s)",
                "UninitValue": "Use of uninitialised value"}
SKIPPED_OBJECTS = ("/libc.so", "/libc-", "/ld-linux", "/vgpreload_", "/libstdc++.so", "/libm.so")


def frame_text(f):
    where = f.findtext("file")
    where = f"{f.findtext('dir', '')}/{where}:{f.findtext('line', '?')}" if where else f.findtext("obj", "?")
    return f"{f.findtext('fn', '?')} ({where})"


def owner(frames, source_dir):
    keystore = os.path.join(os.path.realpath(source_dir), "keystore") + os.sep
    for f in frames:
        obj, src_dir = f.findtext("obj", ""), f.findtext("dir", "")
        if any(s in obj for s in SKIPPED_OBJECTS) or src_dir.startswith("/usr/include"):
            continue
        if src_dir and os.path.realpath(src_dir).startswith(keystore):
            return "library"
        return "libcrypto" if "/libcrypto.so" in obj else "tests and tools"
    return "tests and tools"


def main():
    if len(sys.argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    source_dir, files = sys.argv[1], sys.argv[2:]
    counts, shown = {}, 0
    for path in files:
        try:
            root = ET.parse(path).getroot()
        except (OSError, ET.ParseError) as e:
            print(f"ct-count: {path}: {e}", file=sys.stderr)
            return 2
        if root.tag != "valgrindoutput" or root.findtext("tool") != "memcheck":
            print(f"ct-count: {path}: not memcheck's XML output", file=sys.stderr)
            return 2
        times = {p.findtext("unique"): int(p.findtext("count")) for p in root.iter("pair")}
        command = " ".join(a.text or "" for a in root.iterfind("args/argv/*"))
        for error in root.iterfind("error"):
            kind = error.findtext("kind")
            stacks = error.findall("stack")
            frames = stacks[0].findall("frame") if stacks else []
            who = owner(frames, source_dir)
            n = times.get(error.findtext("unique"), 1)
            counts[(kind, who)] = counts.get((kind, who), 0) + n
            shown += 1
            what = error.findtext("what") or error.findtext("xwhat/text") or kind
            print(f"report {shown}: {what} [{who}, {n} time(s)]\n  in: {command}")
            for f in frames[:12]:
                print(f"    {frame_text(f)}")
            # With --track-origins, where the secret was marked.
            if len(stacks) > 1:
                print(f"  {error.findtext('auxwhat', 'origin')}:")
                for f in stacks[1].findall("frame")[:4]:
                    print(f"    {frame_text(f)}")
    total = sum(counts.values())
    print(f"\nct-count: {len(files)} valgrind run(s), {total} report(s)")
    print("| kind | owner | reports |\n|---|---|---:|")
    for kind in SECRET_KINDS:
        for who in ("library", "libcrypto", "tests and tools"):
            print(f"| {kind} | {who} | {counts.get((kind, who), 0)} |")
    for (kind, who), n in sorted(counts.items()):
        if kind not in SECRET_KINDS:
            print(f"| {kind} | {who} | {n} |")
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
