#!/usr/bin/env python3
"""Checks the dynamic symbols of libkeystore.so: the defined exports are exactly
the names of exports/*.txt (one a line, # comments), no C++ symbol among them;
every platform service is an undefined reference, resolved at load time.
usage: check_exports.py NM LIBRARY EXPORTS_DIR"""
import glob
import os
import subprocess
import sys

PLATFORM = set("""tagged_calloc tagged_realloc tagged_free trace_emit trace_module_ids trace_record_reserve
trace_record_commit sys_message_emit platform_assert fifo_enqueue fifo_dequeue fifo_unlink subsystem_register
service_registry_init service_registry_release_list list_service_ops platform_random_fill ha_core_is_active
notify_pac_added notify_pac_deleted hw_model_query hw_board_subtype showmsg_get_message showmsg_set_use_sw_ks
showmsg_set_is_hw_ks showmsg_set_is_empty showmsg_elem_create showmsg_elem_set_index showmsg_elem_get_value
showmsg_elem_set_valid showmsg_elem_set_type showmsg_list_append showmsg_elem_destroy vstring_assign""".split())

nm, lib, listdir = sys.argv[1:4]
expected = {line.split("#", 1)[0].strip() for path in glob.glob(os.path.join(listdir, "*.txt")) for line in open(path)} - {""}
defined, undefined = set(), set()
for parts in (line.split() for line in subprocess.run([nm, "-D", lib], check=True, capture_output=True, text=True).stdout.splitlines()):
    name = parts[-1].split("@")[0]
    if len(parts) == 3 and not name.startswith("__odr_asan"):  # AddressSanitizer's ODR indicators
        defined.add(name)
    elif len(parts) == 2 and parts[0] in ("U", "w"):
        undefined.add(name)
faults = [f"missing export: {n}" for n in sorted(expected - defined)] + [f"unexpected export: {n}" for n in sorted(defined - expected)]
faults += [f"platform service defined inside the library: {n}" for n in sorted(PLATFORM & defined)]
faults += [f"platform service not referenced: {n}" for n in sorted(PLATFORM - undefined)]
print("\n".join(faults + [f"{len(defined)} exports checked; {len(PLATFORM & undefined)} platform services referenced"]))
sys.exit(1 if faults else 0)
