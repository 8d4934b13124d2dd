#!/usr/bin/env python3
"""Open and flush of a large database from Python, several builds interleaved.

Each build (label=dir of the module) first makes its own database from a
flights-shaped CSV with daily buckets (about 1.1 M distributions from 3 M
rows), so that every build reads files it wrote. Then, per run and build, a
child process with RAYON_NUM_THREADS set times:
  open     QuorDB.open read-write
  after    the first flush after that open, nothing changed
  full     a flush after every data file was replaced by a copy of itself
           (a new file, so the flush cannot rely on any: all four written)

    build/gen_reference_csv --flights /tmp/quor_flights_3m.csv 3000000
    python3 bench/python_flush_open.py /tmp/quor_flights_3m.csv --runs 5 \\
        --quor new=build/python --quor base=/tmp/base/build/python
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

from _bench_util import interpreter_of

DATA_FILES = ["meta.edb", "distributions.edb", "dist_index.edb", "snapshots.edb"]


def make(path: str, db_dir: str) -> None:
    import quor_engine

    db = quor_engine.QuorDB.create(db_dir)
    report = db.ingest(path, date_granularity="daily")
    db.close()
    print(report.distributions_updated)


def measure(db_dir: str) -> None:
    import quor_engine

    start = time.perf_counter()
    db = quor_engine.QuorDB.open(db_dir)
    opened = time.perf_counter()
    db.flush()
    after = time.perf_counter()
    for name in DATA_FILES:
        f = os.path.join(db_dir, name)
        shutil.copyfile(f, f + ".copy")
        os.replace(f + ".copy", f)
    begin_full = time.perf_counter()
    db.flush()
    full = time.perf_counter()
    db.close()
    print(f"{opened - start:.4f} {after - opened:.4f} {full - begin_full:.4f}")


def child(module_dir: str, threads: int, *args: str) -> str:
    env = dict(os.environ, PYTHONPATH=module_dir, RAYON_NUM_THREADS=str(threads))
    return subprocess.run([interpreter_of(module_dir), __file__, *args], env=env, check=True,
                          capture_output=True, text=True).stdout


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--make":
        return make(sys.argv[2], sys.argv[3])
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        return measure(sys.argv[2])
    ap = argparse.ArgumentParser()
    ap.add_argument("csv")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--quor", action="append", required=True, help="label=module dir")
    args = ap.parse_args()
    builds = [q.split("=", 1) for q in args.quor]
    with tempfile.TemporaryDirectory(prefix="quor-flush-bench-") as tmp:
        dirs = {}
        for label, module_dir in builds:
            dirs[label] = os.path.join(tmp, label)
            n = child(module_dir, args.threads, "--make", args.csv, dirs[label]).strip()
            size = os.path.getsize(os.path.join(dirs[label], "distributions.edb"))
            print(f"{label}: {n} distributions, distributions.edb {size / 1e6:.1f} MB", flush=True)
        times = {label: [] for label, _ in builds}
        for _ in range(args.runs):
            for label, module_dir in builds:
                out = child(module_dir, args.threads, "--measure", dirs[label]).split()
                times[label].append([float(x) for x in out])
        print(f"load average {os.getloadavg()[0]:.2f} {os.getloadavg()[1]:.2f}")
        for label, _ in builds:
            rows = times[label]
            for i, what in enumerate(["open", "flush after open", "full flush"]):
                v = sorted(r[i] * 1000 for r in rows)
                print(f"{label:6} {what:17} {v[0]:8.1f} - {v[-1]:8.1f} ms (median {v[len(v) // 2]:.1f})")


if __name__ == "__main__":
    main()
