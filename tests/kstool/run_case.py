#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs one kstool case end to end and compares its output with the expected file.

usage: run_case.py [--no-compare] CASE.ks -- [EMULATOR...] KSTOOL

Directives in the case file ("#!" lines, which kstool does not print):
  #! args: WORDS       extra kstool options (--continue, --trace)
  #! exit: N           expected exit code (default 0)
  #! env: NAME=VALUE   environment for the run (repeatable)
  #! secret: VALUE     a stored value that must appear nowhere in the output,
                       neither as text nor as hex (repeatable); "hex:..." names
                       a value by its bytes
  #! mode: stdin       feed the case on standard input instead of --script
  #! mode: terminal    type the case into a terminal (kstool's standard input)
  #! argv: WORDS       run kstool with these words as its command line instead

The output compared is standard output and standard error together, against
CASE.out beside the case. KSTOOL_UPDATE=1 rewrites CASE.out instead.
"""
import difflib
import os
import shlex
import subprocess
import sys


def directives(path):
    found = {"args": [], "exit": "0", "env": {}, "secret": [], "mode": "script", "argv": None}
    for line in open(path, encoding="utf-8"):
        key, _, value = line.strip()[2:].partition(":")
        key, value = key.strip(), value.strip()
        if not line.startswith("#!") or key not in found:
            continue
        if key in ("args", "argv"):
            found[key] = (found[key] or []) + shlex.split(value)
        elif key == "env":
            found["env"].update([value.split("=", 1)])
        elif key == "secret":
            found["secret"].append(value)
        else:
            found[key] = value
    return found


def forms(value):
    """The ways a stored value could show up in the output."""
    raw = bytes.fromhex(value[4:]) if value.startswith("hex:") else value.encode()
    return {raw.hex(), raw.hex().upper()} | ({raw.decode()} if all(0x20 <= b <= 0x7E for b in raw) else set())


def main():
    split = sys.argv.index("--")
    opts = sys.argv[1:split]
    # The case runs in its own directory: paths given relative to here are made absolute first.
    tool = [os.path.abspath(t) if os.path.exists(t) else t for t in sys.argv[split + 1:]]
    case = [a for a in opts if a != "--no-compare"][0]
    d = directives(case)
    env = {k: v for k, v in os.environ.items() if k != "KSH_TRACE"} | d["env"]
    stdin = open(case, "rb") if d["mode"] == "stdin" and d["argv"] is None else subprocess.DEVNULL
    cmd = tool + d["args"] + (d["argv"] if d["argv"] is not None else [] if d["mode"] in ("stdin", "terminal") else
                              ["--script", os.path.basename(case)])
    typed = None
    if d["mode"] == "terminal":
        # The pseudo-terminal buffers what is typed until kstool reads it.
        typed, stdin = os.openpty()
        env["TERM"] = "dumb"
        os.write(typed, open(case, "rb").read())
    proc = subprocess.run(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                          cwd=os.path.dirname(os.path.abspath(case)), timeout=120)
    if typed is not None:
        os.close(typed)
        os.close(stdin)
    output = proc.stdout.decode("utf-8", errors="replace")
    failures = [f"exit code {proc.returncode}, expected {d['exit']}"] if proc.returncode != int(d["exit"]) else []
    failures += [f"a stored value appears in the output: {f!r}" for v in d["secret"] for f in forms(v) if f in output]
    expected_path = os.path.splitext(case)[0] + ".out"
    if "--no-compare" not in opts and os.environ.get("KSTOOL_UPDATE") == "1":
        open(expected_path, "w", encoding="utf-8").write(output)
    elif "--no-compare" not in opts:
        expected = open(expected_path, encoding="utf-8").read()
        if output != expected:
            diff = difflib.unified_diff(expected.splitlines(True), output.splitlines(True), expected_path, "actual output")
            failures.append("output differs:\n" + "".join(diff))
    if failures and "--no-compare" in opts:
        sys.stdout.write(output)
    for f in failures:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
