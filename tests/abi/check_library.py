#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks libkeystore.so as a file.

- Its defined dynamic symbols are exactly the names of exports/*.txt (one a
  line, # comments), no C++ symbol among them; every platform service is an
  undefined reference (tests/data/platform_services.txt), resolved at load time.
- Each error-message definition (tests/data/messages.txt) is an exported
  object of the record's size in a read-only section.
- The trace catalogue holds every text of tests/data/trace_messages.txt behind
  one space each, in table and index order, as one bzip2 stream, in sections
  outside every loaded segment; no text is in a loaded segment.
usage: check_library.py NM READELF LIBRARY EXPORTS_DIR DATA_DIR"""
import bz2
import glob
import os
import re
import subprocess
import sys


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout.splitlines()


def rows(path):  # tokens of tests/data files; quoted tokens with their C escapes undone
    for line in open(path, encoding="utf-8"):
        if line.strip() and not line.startswith("#"):
            yield [re.sub(r'\\(.)', lambda m: "\n" if m[1] == "n" else m[1], t.replace('"', "")) if '"' in t else t
                   for t in re.findall(r'(?:[^\s"]|"(?:\\.|[^"\\])*")+', line)]


nm, readelf, lib, listdir, data = sys.argv[1:6]
PLATFORM = {r[0] for r in rows(os.path.join(data, "platform_services.txt"))}
expected = {line.split("#", 1)[0].strip() for path in glob.glob(os.path.join(listdir, "*.txt")) for line in open(path)} - {""}
defined, undefined = set(), set()
for parts in (line.split() for line in run(nm, "-D", lib)):
    name = parts[-1].split("@")[0]
    if len(parts) == 3 and not name.startswith("__odr_asan"):  # AddressSanitizer's ODR indicators
        defined.add(name)
    elif len(parts) == 2 and parts[0] in ("U", "w"):
        undefined.add(name)
faults = [f"missing export: {n}" for n in sorted(expected - defined)] + [f"unexpected export: {n}" for n in sorted(defined - expected)]
faults += [f"platform service defined inside the library: {n}" for n in sorted(PLATFORM & defined)]
faults += [f"platform service not referenced: {n}" for n in sorted(PLATFORM - undefined)]

image = open(lib, "rb").read()
record_size = 24 if image[4] == 1 else 48  # ELFCLASS32: four pointers and two words
sections = {int(m[1]): (m[2], int(m[3], 16), int(m[4], 16), "A" in m[5]) for m in
            (re.match(r"\s*\[\s*(\d+)\] (\S+)\s+\S+\s+\S+ (\S+) (\S+) \S+ +(\S*)", l) for l in run(readelf, "-SW", lib)) if m}
for mnemonic, _ in rows(os.path.join(data, "messages.txt")):
    sym = [l.split() for l in run(readelf, "--dyn-syms", "-W", lib) if l.endswith(f" msg_KEYSTORE_{mnemonic}")]
    if not sym or sym[0][2] != str(record_size) or sections.get(int(sym[0][6]), [""])[0] not in (".rodata", ".data.rel.ro"):
        faults.append(f"message definition msg_KEYSTORE_{mnemonic}: {sym}")

loads = [(int(p[1], 16), int(p[4], 16)) for p in (l.split() for l in run(readelf, "-lW", lib)) if p and p[0] == "LOAD"]
loaded = b"\0".join(image[off:off + size] for off, size in loads)
first = {}  # each (table, index) once, with its first row's text
for r in rows(os.path.join(data, "trace_messages.txt")):
    first.setdefault((r[0], r[1]), r[2])
texts = list(first.values())
named = {s[0]: s for s in sections.values()}
for name in (".ks_trace_catalog", ".ks_trace_shapes"):
    _, off, size, alloc = named.get(name, (name, 0, 0, True))
    if alloc or size == 0 or any(off < o + s and o < off + size for o, s in loads):
        faults.append(f"{name} missing, loaded or inside a loaded segment")
_, off, size, _ = named.get(".ks_trace_catalog", ("", 0, 0, True))
if size and bz2.decompress(image[off:off + size]).decode() != "".join(" " + t for t in texts):
    faults.append("the catalogue's texts differ from tests/data/trace_messages.txt")
faults += [f"a trace text in a loaded segment: {t!r}" for t in texts + ["Storing in sw keystore", "retreival from keystore failed"]
           if len(t) >= 10 and t.encode() in loaded]
print("\n".join(faults + [f"{len(defined)} exports, {len(PLATFORM & undefined)} platform services, {len(texts)} trace texts checked"]))
sys.exit(1 if faults else 0)
