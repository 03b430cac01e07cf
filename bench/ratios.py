#!/usr/bin/env python3
"""Runs the benchmark programs and prints, for each kernel, its speed-up over
the literal reference loop measured in the same run.

    python3 bench/ratios.py build/bench/bench [--repetitions N]

Each benchmark (the exported kernel, or one instruction-set loop run directly)
is compared with the reference run whose name differs only in naming
"reference" where it names the variant.
"""

import argparse
import json
import os
import platform
import subprocess
import sys


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def run(program, repetitions):
    cmd = [program, "--benchmark_format=json"]
    if repetitions > 1:
        cmd += [f"--benchmark_repetitions={repetitions}", "--benchmark_report_aggregates_only=true"]
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    # The JSON document comes first; a program may print its own summary after it.
    doc, _ = json.JSONDecoder().raw_decode(out.lstrip())
    rows = {}
    for b in doc["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"]).removesuffix("/manual_time")
        rows[name] = b
    return rows


def reference_of(name, rows):
    """The reference run a benchmark is compared with: its name with one run of
    components (the variant, e.g. "kernel" or "variant/avx2") replaced by
    "reference", as in phase_search/avx2 -> phase_search/reference or
    ibm2ieee/kernel/trace/4MiB -> ibm2ieee/reference/trace/4MiB."""
    parts = name.split("/")
    if "reference" in parts:
        return None
    for start in range(1, len(parts)):
        for stop in range(start + 1, len(parts) + 1):
            candidate = "/".join(parts[:start] + ["reference"] + parts[stop:])
            if candidate in rows:
                return rows[candidate]
    return None


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("bench_dir", help="folder holding bench_traveltime and bench_ibm2ieee")
    ap.add_argument("--repetitions", type=int, default=3)
    args = ap.parse_args()

    print(f"CPU: {cpu_model()}  ({os.cpu_count()} logical cores)")
    print(f"{'benchmark':40} {'time':>12} {'throughput':>16} {'vs reference':>13}")
    for name in ("bench_traveltime", "bench_ibm2ieee"):
        program = os.path.join(args.bench_dir, name)
        if not os.path.exists(program):
            print(f"(missing {program})", file=sys.stderr)
            continue
        rows = run(program, args.repetitions)
        for run_name, b in rows.items():
            ref = reference_of(run_name, rows)
            t = b["real_time"]
            unit = b["time_unit"]
            rate = ""
            if "bytes_per_second" in b:
                rate = f"{b['bytes_per_second'] / 2**30:.2f} GiB/s"
            elif "items_per_second" in b:
                rate = f"{b['items_per_second'] / 1e6:.1f} M/s"
            ratio = f"{ref['real_time'] / t:.2f}x" if ref is not None else ""
            print(f"{run_name:40} {t:10.3f}{unit:>2} {rate:>16} {ratio:>13}")


if __name__ == "__main__":
    main()
