#!/usr/bin/env python3
"""QuorDB create + ingest + close of a flights-shaped CSV against DuckDB doing
the same counting, interleaved, with the ratio of their times.

Each quor run is a child process with RAYON_NUM_THREADS set; it creates a
database, ingests the file with monthly (or, with --granularity daily, daily)
buckets (time x origin x destination, delay and distance as histograms) and
closes it. Each DuckDB run is a node child (bench/duckdb_flights.mjs) with the
same thread count: read_csv into memory, then GROUP BY of the same months (or
days), airports and bins. Each side's peak resident memory is printed beside
its time, and each quor run's processor time and involuntary context
switches (of its whole process) below. Several quor builds may be given
(label=dir of the module) to compare them in one run.

    build/gen_reference_csv --flights /tmp/quor_flights.csv 3000000
    npm install --prefix bench/.peers @duckdb/node-api   # a benchmark tool only
    python3 bench/python_vs_duckdb.py /tmp/quor_flights.csv --threads 8 --runs 5 \\
        --quor new=build/python [--quor base=/tmp/base/build/python] \\
        [--peers bench/.peers/node_modules] [--granularity daily]
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

from _bench_util import interpreter_of

HERE = os.path.dirname(os.path.abspath(__file__))


def child(path: str, granularity: str) -> None:
    import quor_engine

    with tempfile.TemporaryDirectory(prefix="quor-bench-") as tmp:
        start = time.perf_counter()
        db = quor_engine.QuorDB.create(os.path.join(tmp, "db"))
        report = db.ingest(path, date_granularity=granularity)
        db.close()
        elapsed = time.perf_counter() - start
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(f"{elapsed:.4f} {usage.ru_maxrss} {report.total_rows} {report.distributions_updated} "
          f"{usage.ru_utime + usage.ru_stime:.4f} {usage.ru_nivcsw}")


def run_quor(module_dir: str, path: str, threads: int, granularity: str):
    """(seconds, peak resident MB, processor seconds, involuntary context
    switches) of one quor child; the last two are the whole process's,
    interpreter start included."""
    env = dict(os.environ, PYTHONPATH=module_dir, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([interpreter_of(module_dir), __file__, "--child", path, granularity], env=env,
                         check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), int(out[1]) / 1024, float(out[4]), int(out[5])


def run_duckdb(peers: str, path: str, threads: int, granularity: str):
    """(seconds, peak resident MB) of one DuckDB child."""
    env = dict(os.environ, NODE_PATH=peers)
    out = subprocess.run(["node", os.path.join(HERE, "duckdb_flights.mjs"), path, str(threads), granularity],
                         env=env, check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), int(out[1]) / 1024


def span(values):
    return f"{min(values):.3f}-{max(values):.3f} s (median {sorted(values)[len(values) // 2]:.3f})"


def mb_span(values):
    return f"peak {min(values):.0f}-{max(values):.0f} MB"


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
        return
    ap = argparse.ArgumentParser()
    ap.add_argument("csv")
    ap.add_argument("--threads", type=int, default=os.cpu_count())
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--quor", action="append", default=[],
                    help="label=directory holding the quor_engine module (repeatable)")
    ap.add_argument("--peers", default=os.path.join(HERE, ".peers", "node_modules"))
    ap.add_argument("--granularity", choices=["daily", "monthly"], default="monthly",
                    help="the time buckets of both sides")
    args = ap.parse_args()
    builds = [q.split("=", 1) for q in (args.quor or ["quor=" + os.path.join(HERE, "..", "build", "python")])]
    times = {label: [] for label, _ in builds}
    times["duckdb"] = []
    peaks = {label: [] for label in times}
    cpu = {label: [] for label, _ in builds}
    switches = {label: [] for label, _ in builds}
    for _ in range(args.runs):
        for label, module_dir in builds:
            t, mb, seconds, nivcsw = run_quor(module_dir, args.csv, args.threads, args.granularity)
            times[label].append(t)
            peaks[label].append(mb)
            cpu[label].append(seconds)
            switches[label].append(nivcsw)
        t, mb = run_duckdb(args.peers, args.csv, args.threads, args.granularity)
        times["duckdb"].append(t)
        peaks["duckdb"].append(mb)
    print(f"{args.csv}, {args.granularity}, {args.threads} threads, {args.runs} interleaved runs, "
          f"load average {os.getloadavg()[0]:.1f}")
    for label, values in times.items():
        line = f"  {label:8} {span(values)}, {mb_span(peaks[label])}"
        if label != "duckdb":
            ratios = [d / q for q, d in zip(values, times["duckdb"])]
            mem = [q / d for q, d in zip(peaks[label], peaks["duckdb"])]
            line += (f"; DuckDB time / quor time {min(ratios):.2f}-{max(ratios):.2f}x, "
                     f"quor peak / DuckDB peak {min(mem):.2f}-{max(mem):.2f}x")
        print(line)
        if label != "duckdb":
            n = switches[label]
            print(f"  {'':8} processor time {span(cpu[label])}, involuntary context switches "
                  f"{min(n)}-{max(n)} (median {sorted(n)[len(n) // 2]})")


if __name__ == "__main__":
    main()
