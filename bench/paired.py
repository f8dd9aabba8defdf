#!/usr/bin/env python3
"""Measure the ratio of two benchmarks in paired, alternating runs.

This machine's speed drifts by up to 2x between runs, so timing A and B in
separate sessions compares the machine with itself as much as A with B.
Running them back to back, pair by pair, lets each pair share one machine
state; the per-pair ratios are then far steadier than the raw times.
See bench/README.md for usage.
"""
import argparse
import json
import shlex
import statistics
import subprocess
import sys
import time

TO_MS = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def fail(message):
    print(f"paired.py: {message}", file=sys.stderr)
    sys.exit(1)


def run_checked(argv, what, **kwargs):
    try:
        proc = subprocess.run(argv, stderr=subprocess.PIPE, text=True, **kwargs)
    except OSError as e:
        fail(f"cannot run {what}: {e}")
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr)
        fail(f"{what} exited with status {proc.returncode}")
    return proc


def time_benchmark(binary, regex, extra):
    argv = [binary, f"--benchmark_filter={regex}", "--benchmark_format=json",
            "--benchmark_repetitions=1", *extra]
    proc = run_checked(argv, f"{binary} (filter {regex!r})", stdout=subprocess.PIPE)
    try:
        # Benchmark code may print before the report, so start at the JSON.
        report = json.loads(proc.stdout[proc.stdout.index("{"):])
    except ValueError:
        fail(f"{binary} did not print a JSON report for filter {regex!r}")
    # Aggregates (mean, median...) would be counted as extra matches otherwise.
    runs = [b for b in report.get("benchmarks", []) if b.get("run_type") != "aggregate"]
    if len(runs) != 1:
        names = ", ".join(b.get("name", "?") for b in runs) or "none"
        fail(f"filter {regex!r} must match exactly one benchmark in {binary}, "
             f"matched {len(runs)}: {names}")
    run = runs[0]
    if run.get("error_occurred"):
        fail(f"{run['name']} reported an error: {run.get('error_message', '?')}")
    unit = run.get("time_unit", "ns")
    if unit not in TO_MS:
        fail(f"{run['name']} has unknown time_unit {unit!r}")
    return run["real_time"] * TO_MS[unit]


def time_command(cmd):
    start = time.perf_counter()
    run_checked(cmd, f"command {cmd!r}", shell=True, stdout=subprocess.DEVNULL)
    return (time.perf_counter() - start) * 1e3


def parse_args():
    p = argparse.ArgumentParser(
        description="Ratio A/B of two benchmarks from paired, alternating runs.")
    p.add_argument("--binary", help="Google Benchmark binary for side A (and B)")
    p.add_argument("--binary-b", help="binary for side B (default: --binary)")
    p.add_argument("--a", help="benchmark filter regex for side A")
    p.add_argument("--b", help="benchmark filter regex for side B")
    p.add_argument("--extra", action="append", default=[],
                   help="extra binary arguments, shell-split; write --extra='...'")
    p.add_argument("--cmd-a", help="shell command for side A")
    p.add_argument("--cmd-b", help="shell command for side B")
    p.add_argument("--pairs", type=int, default=5, help="number of A/B pairs (default 5)")
    p.add_argument("--swap", action="store_true",
                   help="run every other pair as B then A")
    p.add_argument("--label-a", help="name for side A")
    p.add_argument("--label-b", help="name for side B")
    p.add_argument("--json", action="store_true", help="print one JSON object")
    args = p.parse_args()

    if args.cmd_a or args.cmd_b:
        if any([args.binary, args.binary_b, args.a, args.b, args.extra]):
            p.error("use either --binary/--a/--b or --cmd-a/--cmd-b, not both")
        if not (args.cmd_a and args.cmd_b):
            p.error("--cmd-a and --cmd-b must be given together")
        sides = (lambda: time_command(args.cmd_a), lambda: time_command(args.cmd_b))
        labels = (args.cmd_a, args.cmd_b)
    elif args.binary:
        if not (args.a and args.b):
            p.error("--binary needs both --a and --b filters")
        extra = [word for chunk in args.extra for word in shlex.split(chunk)]
        binary_b = args.binary_b or args.binary
        sides = (lambda: time_benchmark(args.binary, args.a, extra),
                 lambda: time_benchmark(binary_b, args.b, extra))
        labels = (args.a, args.b)
    else:
        p.error("name the sides with --binary --a --b, or with --cmd-a --cmd-b")
    if args.pairs < 1:
        p.error("--pairs must be at least 1")
    return args, sides, (args.label_a or labels[0], args.label_b or labels[1])


def main():
    args, (run_a, run_b), (label_a, label_b) = parse_args()
    if not args.json:
        print(f"A = {label_a}\nB = {label_b}")
        print(f"{'pair':>4}  {'order':>5}  {'A ms':>10}  {'B ms':>10}  {'A/B':>6}")
    rows = []
    for i in range(1, args.pairs + 1):
        b_first = args.swap and i % 2 == 0
        if b_first:
            b_ms = run_b()
            a_ms = run_a()
        else:
            a_ms = run_a()
            b_ms = run_b()
        if b_ms <= 0:
            fail(f"side B took {b_ms} ms in pair {i}; cannot form a ratio")
        row = {"pair": i, "order": "BA" if b_first else "AB",
               "a_ms": a_ms, "b_ms": b_ms, "ratio": a_ms / b_ms}
        rows.append(row)
        if not args.json:  # print as we go; a full run can take minutes
            print(f"{i:>4}  {row['order']:>5}  {a_ms:>10.1f}  {b_ms:>10.1f}  "
                  f"{row['ratio']:>6.2f}", flush=True)

    ratios = [r["ratio"] for r in rows]
    summary = {
        "label_a": label_a, "label_b": label_b, "pairs": rows,
        "ratio_median": statistics.median(ratios),
        "ratio_min": min(ratios), "ratio_max": max(ratios),
        "a_median_ms": statistics.median([r["a_ms"] for r in rows]),
        "b_median_ms": statistics.median([r["b_ms"] for r in rows]),
    }
    if args.json:
        print(json.dumps(summary, indent=2))
    else:
        s = summary
        print(f"A/B: median {s['ratio_median']:.2f}, range {s['ratio_min']:.2f}"
              f"\u2013{s['ratio_max']:.2f} over {len(rows)} pairs "
              f"(A median {s['a_median_ms']:.1f} ms, B median {s['b_median_ms']:.1f} ms)")


if __name__ == "__main__":
    main()
