#!/usr/bin/env python3
"""Pair statements timed end to end from Python, and the memory NEAREST holds.

Cases (each in a child process of its own, on a database built from a
generated CSV):

  across    COMPARE income ACROSS region, 200 region values (19 900 pairs,
            20-bin histograms): the first statement, then the median of the
            repeats (the cache holds 10 000 results, so a repeat of 19 900
            pairs still misses); then reading the result's rows into Python.
  pairwise  PAIRWISE region ON income over the same 200 values (cold cache,
            then repeats answered from it).
  nearest   NEAREST variable:income ON region with 2 000 regions of 10 shops
            each: the reference sums all 20 000 distributions. Prints the
            resident set held after the statement (until close) and how far
            the statement raised the process's peak above the peak so far
            (that of the ingest that built the database).

    PYTHONPATH=build/python python3 bench/python_across.py [case ...] [--runs N]
"""
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time


def rss_mb() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 1e6


def peak_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def write_csv(path: str, regions: int, shops: int, rows_per_key: int) -> None:
    # Keys interleaved, so that the rows inference inspects see more than
    # 50 distinct values of each key column and make it a dimension; shop
    # names are unique per region (a region sums its shops).
    rng = random.Random(7)
    centres = [rng.uniform(20, 80) for _ in range(regions)]
    with open(path, "w") as f:
        f.write("region,shop,income\n" if shops > 1 else "region,income\n")
        for _ in range(rows_per_key):
            for r in range(regions):
                for s in range(shops):
                    shop = f"r{r:04d}s{s:02d}," if shops > 1 else ""
                    f.write(f"r{r:04d},{shop}{rng.gauss(centres[r], 15):.3f}\n")


def build_db(tmp: str, regions: int, shops: int, rows_per_key: int):
    import quor_engine

    csv = os.path.join(tmp, "data.csv")
    write_csv(csv, regions, shops, rows_per_key)
    db = quor_engine.QuorDB.create(os.path.join(tmp, "db"))
    db.ingest(csv)
    return db


def timed(db, sql: str) -> float:
    start = time.perf_counter()
    result = db.query(sql)
    elapsed = (time.perf_counter() - start) * 1e3
    assert len(result) > 0
    return elapsed


def case_across(runs: int) -> None:
    with tempfile.TemporaryDirectory(prefix="quor-bench-") as tmp:
        db = build_db(tmp, 200, 1, 200)
        sql = "COMPARE income ACROSS region"
        first = timed(db, sql)
        rest = [timed(db, sql) for _ in range(runs)]
        print(f"across   200 values, 19900 pairs: first {first:.1f} ms, "
              f"repeat median {statistics.median(rest):.1f} ms (min {min(rest):.1f}, {runs} runs)")
        # The rows as Python lists of str (a new list each time they are read).
        result = db.query(sql)
        convert = []
        for _ in range(runs):
            start = time.perf_counter()
            rows = result.rows
            convert.append((time.perf_counter() - start) * 1e3)
            del rows
        print(f"across   .rows of that result (19900 lists of 6 str): median "
              f"{statistics.median(convert):.1f} ms (min {min(convert):.1f}, {runs} runs)")
        db.close()


def case_pairwise(runs: int) -> None:
    with tempfile.TemporaryDirectory(prefix="quor-bench-") as tmp:
        db = build_db(tmp, 200, 1, 200)
        sql = "PAIRWISE region ON income"
        first = timed(db, sql)
        rest = [timed(db, sql) for _ in range(runs)]
        print(f"pairwise 200 values, 19900 pairs: first {first:.1f} ms, "
              f"repeat median {statistics.median(rest):.1f} ms ({runs} runs; 19 900 pairs exceed the cache, so repeats compute again)")
        db.close()


def case_nearest(runs: int) -> None:
    with tempfile.TemporaryDirectory(prefix="quor-bench-") as tmp:
        db = build_db(tmp, 2000, 10, 3)
        before = rss_mb()
        peak_before = peak_mb()
        sql = "NEAREST variable:income ON region LIMIT 5"
        elapsed = timed(db, sql)
        held = rss_mb() - before
        peak = peak_mb() - peak_before
        again = timed(db, sql)
        held_again = rss_mb() - before
        print(f"nearest  20000-member reference, 2000 candidates: {elapsed:.0f} ms, "
              f"held after {held:+.1f} MB (after a repeat {held_again:+.1f} MB, {again:.0f} ms), "
              f"peak raised {peak:+.1f} MB")
        db.close()


CASES = {"across": case_across, "pairwise": case_pairwise, "nearest": case_nearest}


def main() -> None:
    args = sys.argv[1:]
    runs = 7
    if "--runs" in args:
        i = args.index("--runs")
        runs = int(args[i + 1])
        del args[i:i + 2]
    if args and args[0] == "--child":
        CASES[args[1]](runs)
        return
    for name in args or list(CASES):
        subprocess.run([sys.executable, __file__, "--child", name, "--runs", str(runs)], check=True)


if __name__ == "__main__":
    main()
