#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Fails when the library's internal includes run against its layers.

A unit is a source's base name (ks_x.h and ks_x.cc are one unit). Two rules
over the `#include "..."` lines of keystore/src:
  - no cycle among units (a unit's header including a header whose unit
    includes, directly or not, the first one back);
  - no internal header includes one of a layer above its own. The layers,
    from the bottom: the crypto backend (ks_crypto*), the shared helpers
    (cleansing, owner tags, traces, hashing, seams, DES keys, MS-CHAP core,
    the registry's internals), the software keystore (ks_sw_*), and the
    front operations with the PAC layer (everything else).
Prints the units and layers it checked; exit status 1 on a breach.
"""
import pathlib
import re
import sys

SRC = pathlib.Path(__file__).resolve().parent.parent / "keystore" / "src"
HELPERS = ("ks_cleanse", "ks_owner_tags", "ks_trace", "ks_hash", "ks_seams", "ks_des_key", "ks_mschap_core",
           "ks_registry_internal")
NAMES = ["crypto backend", "shared helpers", "software keystore", "front operations"]


def layer(unit):
    if unit.startswith("ks_crypto"):
        return 0
    if unit.startswith(HELPERS):
        return 1
    if unit.startswith("ks_sw_"):
        return 2
    return 3


def main():
    include = re.compile(r'^\s*#\s*include\s+"([^"/]+)"', re.M)
    edges, breaches = {}, []
    for f in sorted(SRC.glob("*.[ch]*")):
        unit = f.stem
        for inc in include.findall(f.read_text()):
            target = pathlib.Path(inc).stem
            if not (SRC / inc).exists() or target == unit:
                continue  # generated headers, a unit's own header
            edges.setdefault(unit, set()).add(target)
            if f.suffix == ".h" and layer(target) > layer(unit):
                breaches.append(f"{f.name} ({NAMES[layer(unit)]}) includes {inc} ({NAMES[layer(target)]})")
    # Depth-first search for a back edge.
    state, stack = {}, []

    def visit(u):
        state[u] = 1
        stack.append(u)
        for v in sorted(edges.get(u, ())):
            if state.get(v) == 1:
                breaches.append("include cycle: " + " -> ".join(stack[stack.index(v):] + [v]))
            elif v not in state:
                visit(v)
        stack.pop()
        state[u] = 2

    for u in sorted(edges):
        if u not in state:
            visit(u)
    for b in breaches:
        print(b, file=sys.stderr)
    units = {f.stem for f in SRC.glob("*.[ch]*")}
    print(f"includes: {len(units)} units of keystore/src, {sum(map(len, edges.values()))} unit includes, "
          f"no cycle, none up a layer" if not breaches else f"includes: {len(breaches)} breaches")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
