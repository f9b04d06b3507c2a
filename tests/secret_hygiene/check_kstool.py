#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs kstool with its traces on over a script of commands that use marked
secrets, and fails when the marker shows anywhere in what kstool printed: as
text, or as hex digits (upper or lower case) once everything that is not a
hex digit is dropped, which also catches a secret dumped byte by byte.

usage: check_kstool.py MARKER SCRIPT -- [EMULATOR...] KSTOOL
"""
import re
import subprocess
import sys

argv = sys.argv[1:]
(marker, script), tool = argv[:argv.index("--")], argv[argv.index("--") + 1:]
proc = subprocess.run(tool + ["--trace", "--continue", "--script", script], stdout=subprocess.PIPE,
                      stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env={"PATH": "/usr/bin:/bin"}, timeout=120)
output = proc.stdout.decode("utf-8", errors="replace")
digits = re.sub(r"[^0-9a-f]", "", output.lower())
failures = ["the marker appears as text"] * (marker in output)
failures += ["the marker appears as hex digits"] * (marker.encode().hex() in digits)
# The run itself must have worked: traces were printed and the commands ran.
failures += ["no trace was printed"] * ("KEYSTORE" not in output and "KS-SW" not in output)
failures += [f"kstool exited with {proc.returncode}"] * (proc.returncode not in (0, 1))
if failures:
    print(output + "".join("FAIL: " + f + "\n" for f in failures))
sys.exit(1 if failures else 0)
