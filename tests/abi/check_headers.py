#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Compiles every public header alone, as C99 (-pedantic) and as C++20, with
warnings as errors: each one is self-contained and C-clean. As the library's
own sources see them (KEYSTORE_BUILDING), no header but ks_epa.h (its
contract is OpenSSL's AES_KEY) and keystore.h, which includes them all, brings
in an OpenSSL header.
usage: check_headers.py CC CXX INCLUDE_DIR REPO [EXTRA_FLAGS]"""
import glob
import os
import subprocess
import sys

cc, cxx, include_dir, repo = sys.argv[1:5]
extra = sys.argv[5].split() if len(sys.argv) > 5 else []  # the build's own flags (a cross sysroot's -I)
headers = sorted(glob.glob(os.path.join(include_dir, "keystore", "*.h")) + glob.glob(os.path.join(include_dir, "keystore", "platform", "*.h"))
                 + glob.glob(os.path.join(repo, "host", "include", "keystore_host", "*.h")))
incs = ["-I", include_dir, "-I", os.path.join(repo, "host", "include"), *extra]
failed = 0
for h in headers:
    for lang, tool, flags in (("c", cc, ["-std=c99", "-pedantic"]), ("c++", cxx, ["-std=c++20"])):
        r = subprocess.run([tool, *flags, "-Wall", "-Wextra", "-Werror", "-fsyntax-only", *incs, "-x", lang, "-"],
                           input=f'#include "{h}"\nint ks_header_check;\n', capture_output=True, text=True)
        if r.returncode != 0:
            failed += 1
            print(f"FAIL {lang}: {os.path.relpath(h, repo)}\n{r.stderr}")
    if os.path.basename(h) in ("ks_epa.h", "keystore.h"):
        continue
    r = subprocess.run([cxx, "-std=c++20", "-DKEYSTORE_BUILDING", "-E", *incs, "-x", "c++", "-"],
                       input=f'#include "{h}"\n', capture_output=True, text=True)
    if r.returncode != 0 or "openssl/" in r.stdout:
        failed += 1
        print(f"FAIL: {os.path.relpath(h, repo)} brings in an OpenSSL header for the library's sources")
print(f"{len(headers)} headers checked as C99 and C++: {failed} failures")
sys.exit(1 if failed or not headers else 0)
