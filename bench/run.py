#!/usr/bin/env python3
"""Runs orq's end-to-end measurements, prints them as a table and writes them as JSON.

    bench/run.py --build build-bench [--quick] [--micro] [--soak MINUTES] [--only a,b]
                 [--json FILE]

scripts/bench builds the benchmark build and calls this; the smoke test calls it with --quick on
the test build. Each measurement is a module bench/measure_<name>.py with a function
run(ctx) that returns rows (benchlib.row); a measurement that fails is reported as such and the
others still run."""

import argparse
import datetime
import importlib
import json
import os
import platform
import subprocess
import sys
import tempfile
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib  # noqa: E402

# In the order they run: the line (ingest, command and event latency), HTTP (against nginx,
# TLS isolation), then scale and memory, the stored network and the event stream.
MEASUREMENTS = ["line", "http", "scale", "store", "events"]


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release()}


def fmt(value):
    if value is None:
        return "-"
    if isinstance(value, float):
        if value == 0:
            return "0"
        if abs(value) >= 100:
            return "%.0f" % value
        if abs(value) >= 1:
            return "%.2f" % value
        return "%.3g" % value
    return str(value)


def table(rows):
    head = ["measurement", "value", "unit", "reference", "ratio", "target", "met"]
    lines = []
    for r in rows:
        met = {True: "yes", False: "NO", None: ""}[r["met"]]
        lines.append([r["group"] + ": " + r["name"], fmt(r["value"]), r["unit"],
                      fmt(r["reference"]), fmt(r["ratio"]), r["target"] or "", met])
    widths = [max(len(x[i]) for x in [head] + lines) for i in range(len(head))]
    out = ["  ".join(h.ljust(w) for h, w in zip(head, widths))]
    out.append("  ".join("-" * w for w in widths))
    for x, r in zip(lines, rows):
        out.append("  ".join(c.ljust(w) for c, w in zip(x, widths)).rstrip())
        if r["note"]:
            out.append("    " + r["note"])
    return "\n".join(out)


def micro(build_dir, quick):
    """Runs the Google Benchmark programs of the build; their JSON reports, by program."""
    results = {}
    bench_dir = os.path.join(build_dir, "bench")
    names = sorted(n for n in os.listdir(bench_dir) if n.endswith("_micro")) \
        if os.path.isdir(bench_dir) else []
    for name in names:
        benchlib.Context.log("micro-benchmark " + name)
        args = [os.path.join(bench_dir, name), "--benchmark_format=json"]
        if quick:
            args.append("--benchmark_min_time=0.01")
        done = subprocess.run(args, capture_output=True, text=True)
        if done.returncode != 0:
            results[name] = {"error": done.stderr[-2000:]}
            continue
        results[name] = json.loads(done.stdout)
        for b in results[name].get("benchmarks", []):
            print("  %-50s %12.1f %s" % (b["name"], b["real_time"], b["time_unit"]))
    return results


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build-bench", help="the build to measure")
    ap.add_argument("--quick", action="store_true", help="small counts: a check that it runs")
    ap.add_argument("--micro", action="store_true", help="also the micro-benchmarks")
    ap.add_argument("--soak", type=float, default=0, metavar="MINUTES",
                    help="memory soak of mixed requests for that long (off by default)")
    ap.add_argument("--only", default="", help="comma-separated measurements: " +
                    ",".join(MEASUREMENTS))
    ap.add_argument("--json", help="where the JSON goes (default BUILD/bench.json)")
    args = ap.parse_args()

    benchlib.use_build(args.build)
    chosen = [m for m in args.only.split(",") if m] or MEASUREMENTS
    unknown = [m for m in chosen if m not in MEASUREMENTS]
    if unknown:
        ap.error("unknown measurement: " + ",".join(unknown))

    rows = []
    failures = []
    with tempfile.TemporaryDirectory(prefix="orq-bench-") as workdir:
        ctx = benchlib.Context(args.build, quick=args.quick, soak_minutes=args.soak,
                               workdir=workdir)
        for name in chosen:
            ctx.log("measuring " + name)
            try:
                rows += importlib.import_module("measure_" + name).run(ctx)
            except Exception:
                failures.append({"measurement": name, "error": traceback.format_exc()})
                print(traceback.format_exc(), file=sys.stderr)
    micro_results = micro(args.build, args.quick) if args.micro else None

    print(table(rows))
    result = {
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": machine(),
        "build": os.path.abspath(args.build),
        "quick": args.quick,
        "results": rows,
        "failures": failures,
    }
    if micro_results is not None:
        result["micro"] = micro_results
    path = args.json or os.path.join(args.build, "bench.json")
    with open(path, "w") as f:
        json.dump(result, f, indent=2)
    print("bench: figures written to " + path)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
