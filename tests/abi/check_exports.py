#!/usr/bin/env python3
"""Checks the dynamic symbols of libkeystore.so.

- The defined exports are exactly the union of exports/*.txt (one name per
  line, # comments allowed): nothing missing, nothing extra, no C++ symbol.
- Every platform service is an undefined reference, resolved at load time.
"""
import glob
import os
import subprocess
import sys

PLATFORM = """tagged_calloc tagged_realloc tagged_free trace_emit trace_module_ids trace_record_reserve
trace_record_commit sys_message_emit platform_assert fifo_enqueue fifo_dequeue fifo_unlink subsystem_register
service_registry_init service_registry_release_list list_service_ops platform_random_fill ha_core_is_active
notify_pac_added notify_pac_deleted hw_model_query hw_board_subtype showmsg_get_message showmsg_set_use_sw_ks
showmsg_set_is_hw_ks showmsg_set_is_empty showmsg_elem_create showmsg_elem_set_index showmsg_elem_get_value
showmsg_elem_set_valid showmsg_elem_set_type showmsg_list_append showmsg_elem_destroy vstring_assign""".split()


def main():
    nm, lib, listdir = sys.argv[1:4]
    expected = set()
    for path in sorted(glob.glob(os.path.join(listdir, "*.txt"))):
        with open(path) as f:
            for line in f:
                name = line.split("#", 1)[0].strip()
                if name:
                    expected.add(name)
    out = subprocess.run([nm, "-D", lib], check=True, capture_output=True, text=True).stdout
    defined, undefined = set(), set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) == 3:
            name = parts[2].split("@")[0]
            if not name.startswith("__odr_asan"):  # AddressSanitizer's ODR indicators
                defined.add(name)
        elif len(parts) == 2 and parts[0] in ("U", "w"):
            undefined.add(parts[1].split("@")[0])
    ok = True
    for name in sorted(expected - defined):
        print(f"missing export: {name}")
        ok = False
    for name in sorted(defined - expected):
        print(f"unexpected export: {name}")
        ok = False
    platform_used = [p for p in PLATFORM if p in undefined]
    for p in PLATFORM:
        if p in defined:
            print(f"platform service defined inside the library: {p}")
            ok = False
    print(f"{len(defined)} exports checked; {len(platform_used)} platform services referenced, all undefined")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
