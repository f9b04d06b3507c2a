#!/usr/bin/env python3
"""Compiles every public header alone, as C99 (-pedantic -Wall -Werror) and as
C++20, so each one is self-contained and C-clean."""
import glob
import os
import subprocess
import sys


def main():
    cc, cxx, include_dir, repo = sys.argv[1:5]
    extra = sys.argv[5].split() if len(sys.argv) > 5 else []  # the build's own flags (a cross sysroot's -I)
    headers = sorted(glob.glob(os.path.join(include_dir, "keystore", "*.h")))
    headers += sorted(glob.glob(os.path.join(repo, "keystore", "platform", "*.h")))
    headers += sorted(glob.glob(os.path.join(repo, "host", "include", "keystore_host", "*.h")))
    incs = ["-I", include_dir, "-I", repo, "-I", os.path.join(repo, "host", "include"), *extra]
    failed = 0
    for h in headers:
        for lang, tool, flags in (("c", cc, ["-std=c99", "-pedantic"]), ("c++", cxx, ["-std=c++20"])):
            cmd = [tool, *flags, "-Wall", "-Wextra", "-Werror", "-fsyntax-only", *incs, "-x", lang, "-"]
            source = f'#include "{h}"\nint ks_header_check_{lang.replace("+", "p")};\n'
            r = subprocess.run(cmd, input=source, capture_output=True, text=True)
            if r.returncode != 0:
                failed += 1
                print(f"FAIL {lang}: {os.path.relpath(h, repo)}\n{r.stderr}")
    print(f"{len(headers)} headers checked as C99 and C++: {failed} failures")
    return 1 if failed or not headers else 0


if __name__ == "__main__":
    sys.exit(main())
