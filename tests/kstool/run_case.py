#!/usr/bin/env python3
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
import os
import shlex
import subprocess
import sys


def directives(path):
    found = {"args": [], "exit": 0, "env": {}, "secret": [], "mode": "script", "argv": None}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line.startswith("#!") or ":" not in line:
                continue
            key, _, value = line[2:].partition(":")
            key, value = key.strip(), value.strip()
            if key == "args":
                found["args"] += shlex.split(value)
            elif key == "exit":
                found["exit"] = int(value)
            elif key == "env":
                name, _, v = value.partition("=")
                found["env"][name] = v
            elif key == "secret":
                found["secret"].append(value)
            elif key == "mode":
                found["mode"] = value
            elif key == "argv":
                found["argv"] = shlex.split(value)
    return found


def forms(value):
    """The ways a stored value could show up in the output."""
    if value.startswith("hex:"):
        raw = bytes.fromhex(value[4:])
    else:
        raw = value.encode()
    out = {raw.hex(), raw.hex().upper()}
    if all(0x20 <= b <= 0x7E for b in raw):
        out.add(raw.decode())
    return out


def main():
    argv = sys.argv[1:]
    split = argv.index("--")
    opts, tool = argv[:split], argv[split + 1:]
    # The case runs in its own directory: paths given relative to here are
    # made absolute first.
    tool = [os.path.abspath(t) if os.path.exists(t) else t for t in tool]
    compare = "--no-compare" not in opts
    case = [a for a in opts if a != "--no-compare"][0]
    d = directives(case)
    env = dict(os.environ)
    env.pop("KSH_TRACE", None)
    env.update(d["env"])
    stdin = subprocess.DEVNULL
    typed = None
    if d["argv"] is not None:
        cmd = tool + d["args"] + d["argv"]
    elif d["mode"] == "stdin":
        cmd = tool + d["args"]
        stdin = open(case, "rb")
    elif d["mode"] == "terminal":
        # The pseudo-terminal buffers what is typed until kstool reads it.
        cmd = tool + d["args"]
        typed, stdin = os.openpty()
        env["TERM"] = "dumb"
        with open(case, "rb") as f:
            os.write(typed, f.read())
    else:
        cmd = tool + d["args"] + ["--script", os.path.basename(case)]
    proc = subprocess.run(cmd, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                          cwd=os.path.dirname(os.path.abspath(case)), timeout=120)
    if typed is not None:
        os.close(typed)
        os.close(stdin)
    output = proc.stdout.decode("utf-8", errors="replace")
    failures = []
    if proc.returncode != d["exit"]:
        failures.append(f"exit code {proc.returncode}, expected {d['exit']}")
    for value in d["secret"]:
        for form in forms(value):
            if form in output:
                failures.append(f"a stored value appears in the output: {form!r}")
    expected_path = os.path.splitext(case)[0] + ".out"
    if compare:
        if os.environ.get("KSTOOL_UPDATE") == "1":
            with open(expected_path, "w", encoding="utf-8") as f:
                f.write(output)
        else:
            with open(expected_path, encoding="utf-8") as f:
                expected = f.read()
            if output != expected:
                import difflib
                diff = difflib.unified_diff(expected.splitlines(True), output.splitlines(True),
                                            expected_path, "actual output")
                failures.append("output differs:\n" + "".join(diff))
    if failures:
        sys.stdout.write(output if not compare else "")
        for f in failures:
            print("FAIL:", f)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
