#!/usr/bin/env python3
"""QuorDB.ingest of the reference CSV, timed end to end from Python.

Each run times one `ingest` call (reading, inference, the batches with raw
logging on, monthly date buckets and the flush) into a fresh database in a child process of its own, so that the
peak resident set it reports is that ingest's alone.

    build/gen_reference_csv            # writes /tmp/quor_reference.csv
    PYTHONPATH=build/python python3 bench/python_ingest.py [csv] [runs]
"""
import os
import resource
import subprocess
import sys
import tempfile
import time


def child(path: str) -> None:
    import quor_engine

    with tempfile.TemporaryDirectory(prefix="quor-bench-") as tmp:
        with quor_engine.QuorDB.create(os.path.join(tmp, "db")) as db:
            start = time.perf_counter()
            report = db.ingest(path, date_granularity="monthly")
            elapsed = time.perf_counter() - start
    rss_mb = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{report.total_rows} {elapsed:.4f} {rss_mb:.1f}")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2])
        return
    path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/quor_reference.csv"
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    size_mb = os.path.getsize(path) / 1e6
    for _ in range(runs):
        out = subprocess.run([sys.executable, __file__, "--child", path], check=True,
                             capture_output=True, text=True).stdout.split()
        rows, elapsed, rss = int(out[0]), float(out[1]), float(out[2])
        print(f"QuorDB.ingest: {rows} rows in {elapsed * 1000:.0f} ms = "
              f"{rows / elapsed / 1e6:.2f} M rows/s, peak RSS {rss:.0f} MB "
              f"({rss / size_mb:.2f}x the {size_mb:.0f} MB file)")


if __name__ == "__main__":
    main()
