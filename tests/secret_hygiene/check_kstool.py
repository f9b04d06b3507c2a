#!/usr/bin/env python3
"""Runs kstool with its traces on over a script of commands that use marked
secrets, and fails when the marker shows anywhere in what kstool printed: as
text, or as hex digits (upper or lower case) once everything that is not a
hex digit is dropped, which also catches a secret dumped byte by byte.

usage: check_kstool.py MARKER SCRIPT -- [EMULATOR...] KSTOOL
"""
import re
import subprocess
import sys


def main():
    argv = sys.argv[1:]
    split = argv.index("--")
    (marker, script), tool = argv[:split], argv[split + 1:]
    env = {"PATH": "/usr/bin:/bin"}
    proc = subprocess.run(tool + ["--trace", "--continue", "--script", script], stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, env=env, timeout=120)
    output = proc.stdout.decode("utf-8", errors="replace")
    digits = re.sub(r"[^0-9A-Fa-f]", "", output)
    raw = marker.encode()
    failures = []
    if marker in output:
        failures.append("the marker appears as text")
    for form in (raw.hex(), raw.hex().upper()):
        if form in digits:
            failures.append("the marker appears as hex digits")
    # The run itself must have worked: traces were printed and the commands ran.
    if "KEYSTORE" not in output and "KS-SW" not in output:
        failures.append("no trace was printed")
    if proc.returncode not in (0, 1):
        failures.append(f"kstool exited with {proc.returncode}")
    if failures:
        sys.stdout.write(output)
        for f in failures:
            print("FAIL:", f)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
