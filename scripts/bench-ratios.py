#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Runs ks_bench once (JSON output) and prints the performance goal ratios.

Usage: scripts/bench-ratios.py [path/to/ks_bench] [--min-time SECONDS] [--repetitions N] [--all]
                               [--json FILE]   (read a saved run instead of running)

Each row is measured with N repetitions inside the one run, interleaved in
random order; the ratios use the lowest CPU time of each row (load from other
processes only ever adds time to a repetition). Goals:
  1. key stored last of 2000 / key stored first of 2000      <= 1.1
  2. HMAC with 2000 keys stored (key last) / OpenSSL pad-state floor <= 2
  3. AES-128 one block, 2000 keys (key last) / OpenSSL ECB context keyed once <= 4
A row whose benchmark is not in the binary is shown as missing.
"""
import argparse
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# Only the rows the table needs: the floors and the 2000-key rows.
ROWS = "Floor|/2000/"


def run(bench, min_time, reps, rows):
    # Repetitions interleaved in random order, so a change of machine load
    # during the run falls on every row alike.
    cmd = [bench, "--benchmark_format=json", f"--benchmark_min_time={min_time}",
           f"--benchmark_repetitions={reps}",
           "--benchmark_enable_random_interleaving=true", f"--benchmark_filter={rows}"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out)


def best_times(data):
    """The lowest CPU time of each row over its repetitions: other processes on
    the machine can only add time to a repetition, never take it away."""
    times = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        t = convert(b)
        times[name] = min(t, times.get(name, t))
    return times


def convert(b):
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    return b["cpu_time"] * scale


GOALS = [
    # (goal, label, numerator row, denominator row, limit)
    ("-", "ks_sym_key_find last/first of 2000", "BM_KeyFind/2000/1", "BM_KeyFind/2000/0", 1.1),
    (1, "ks_hmac_sha1 last/first of 2000", "BM_HmacSha1/2000/1", "BM_HmacSha1/2000/0", 1.1),
    (1, "ks_aes_encrypt last/first of 2000", "BM_AesEncrypt/2000/1", "BM_AesEncrypt/2000/0", 1.1),
    (1, "ks_GenerateNTResponse last/first of 2000", "BM_GenerateNTResponse/2000/1",
     "BM_GenerateNTResponse/2000/0", 1.1),
    (1, "ks_pac_key_t_prf (miss) last/first of 2000", "BM_PacKeyTPrfMiss/2000/1",
     "BM_PacKeyTPrfMiss/2000/0", 1.1),
    (2, "ks_hmac_sha1 (2000 keys) / floor", "BM_HmacSha1/2000/1", "BM_Floor_HmacSha1_PadStates", 2.0),
    (2, "ks_hmac_md5 (2000 keys) / floor", "BM_HmacMd5/2000/1", "BM_Floor_HmacMd5_PadStates", 2.0),
    (3, "ks_aes_encrypt (2000 keys) / floor", "BM_AesEncrypt/2000/1", "BM_Floor_Aes128Ecb_KeyedOnce", 4.0),
]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("bench", nargs="?", default=os.path.join(ROOT, "build/default/bench/ks_bench"))
    ap.add_argument("--min-time", default="0.5")
    ap.add_argument("--repetitions", type=int, default=9)
    ap.add_argument("--json", help="read this saved JSON run instead of running the binary")
    ap.add_argument("--all", action="store_true", help="run every row, not only those the table needs")
    args = ap.parse_args()
    if args.json:
        with open(args.json) as f:
            data = json.load(f)
    else:
        data = run(args.bench, args.min_time, args.repetitions, "." if args.all else ROWS)
    t = best_times(data)

    print(f"| goal | ratio | numerator (ns) | denominator (ns) | value | limit | met |")
    print(f"|---|---|---:|---:|---:|---:|---|")
    failed = 0
    for goal, label, num, den, limit in GOALS:
        if num not in t or den not in t:
            print(f"| {goal} | {label} | {t.get(num, float('nan')):.1f} | {t.get(den, float('nan')):.1f} "
                  f"| missing | {limit} | - |")
            continue
        ratio = t[num] / t[den]
        ok = ratio <= limit
        failed += not ok
        print(f"| {goal} | {label} | {t[num]:.1f} | {t[den]:.1f} | {ratio:.2f} | {limit} | "
              f"{'yes' if ok else 'NO'} |")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
