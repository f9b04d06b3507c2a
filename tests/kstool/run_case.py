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
  #! mode: terminal    type the case into a terminal (kstool's standard input and
                       controlling terminal), each line after a prompt; a line
                       ending in ^C is typed up to there, then Ctrl-C is pressed
  #! argv: WORDS       run kstool with these words as its command line instead

The output compared is standard output and standard error together, against
CASE.out beside the case. KSTOOL_UPDATE=1 rewrites CASE.out instead.
"""
import difflib
import fcntl
import os
import select
import shlex
import subprocess
import sys
import termios
import time


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


def type_case(cmd, case, env, cwd):
    """Types the case into kstool's terminal and returns (exit code, output)."""
    typed, term = os.openpty()
    proc = subprocess.Popen(cmd, stdin=term, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, cwd=cwd,
                            start_new_session=True, preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    os.close(term)
    out, deadline = b"", time.monotonic() + 120

    def read_until(done):
        nonlocal out
        while not done(out) and select.select([proc.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
            chunk = os.read(proc.stdout.fileno(), 4096)
            if not chunk:
                break
            out += chunk
        return done(out)

    def type_after(text, done):
        seen = len(out)
        os.write(typed, text)
        return read_until(lambda o: len(o) > seen and done(o))

    prompted = lambda o: o.endswith((b"kstool> ", b"value: "))
    lines = [line for line in open(case, "rb").read().splitlines() if not line.startswith(b"#!")]
    ok = read_until(prompted)
    for line in lines + [b"\x04"]:  # Ctrl-D at the end
        if ok and line.endswith(b"^C") and not out.endswith(b"value: "):
            # The line editor echoes what it has read before Ctrl-C comes.
            ok = type_after(line[:-2], lambda o: o.endswith(line[:-2])) and type_after(b"\x03", prompted)
        elif ok:
            ok = type_after(line[:-2] + b"\x03" if line.endswith(b"^C") else line + b"\n", prompted)
    read_until(lambda o: False)
    try:
        code = proc.wait(timeout=max(1, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        proc.kill()
        code = proc.wait()
    os.close(typed)
    return code, out


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
    cwd = os.path.dirname(os.path.abspath(case))
    if d["mode"] == "terminal":
        code, raw = type_case(cmd, case, env | {"TERM": "dumb"}, cwd)
    else:
        proc = subprocess.run(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env, cwd=cwd,
                              timeout=120)
        code, raw = proc.returncode, proc.stdout
    output = raw.decode("utf-8", errors="replace")
    failures = [f"exit code {code}, expected {d['exit']}"] if code != int(d["exit"]) else []
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
