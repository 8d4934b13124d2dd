#!/usr/bin/env python3
"""Pair statements timed end to end from Python, and the memory NEAREST holds.

Cases (each in a child process of its own, on a database built from a
generated CSV):

  across    COMPARE income ACROSS region, 200 region values (19 900 pairs,
            20-bin histograms): the first statement, then the median of the
            repeats (the cache holds 10 000 results, so a repeat of 19 900
            pairs still misses); then reading the result's rows into Python.
            Then, interleaved run by run (after two untimed runs), the
            statement on a freshly opened database (empty cache) against the
            same loop written with scipy over the same histograms: per pair
            JSD (scipy's jensenshannon, squared, base 2), Hellinger and PSI
            (smoothed KL both ways, as the engine does, with
            scipy.special.rel_entr), the six cells of the row as text, then
            the rows sorted by JSD, descending. Both read each side's shares
            computed once beforehand. scipy runs in this process when it
            imports here, otherwise in a helper process of the first
            interpreter that has it (/usr/bin/python3: Debian's
            python3-scipy). Prints both ranges and the ratio of the medians,
            then the same for a lighter loop, scipy's jensenshannon alone per
            pair, and each fresh run's time and page faults.
  pairwise  PAIRWISE region ON income over the same 200 values (cold cache,
            then repeats answered from it).
  nearest   NEAREST variable:income ON region with 2 000 regions of 10 shops
            each: the reference sums all 20 000 distributions. Prints the
            resident set held after the statement (until close) and how far
            the statement raised the process's peak above the peak so far
            (that of the ingest that built the database).

    PYTHONPATH=build/python python3 bench/python_across.py [case ...] [--runs N]
"""
import json
import math
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


def first_and_repeats(db, sql: str, runs: int, note: str = "") -> str:
    """Runs `sql` once and then `runs` times more; the times as printed."""
    first = timed(db, sql)
    rest = [timed(db, sql) for _ in range(runs)]
    return (f"first {first:.1f} ms, repeat median {statistics.median(rest):.1f} ms "
            f"(min {min(rest):.1f}, {runs} runs{note})")


# ---- the scipy peer ---------------------------------------------------------

SCIPY_PYTHONS = ["/usr/bin/python3"]


def histograms_of(csv: str, low: float, high: float, bins: int):
    """Per region (in name order) the bin counts of its income values, binned
    as the engine bins them (floor of the offset over the width, clamped)."""
    width = (high - low) / bins
    counts = {}
    with open(csv) as f:
        next(f)
        for line in f:
            region, value = line.rstrip("\n").split(",")
            b = int(math.floor((float(value) - low) / width))
            row = counts.setdefault(region, [0] * bins)
            row[min(max(b, 0), bins - 1)] += 1
    return [(name, counts[name]) for name in sorted(counts)]


class ScipyLoop:
    """The ACROSS loop in scipy over fixed histograms; run() returns ms."""

    def __init__(self, histograms):
        import numpy as np

        self.names = [name for name, _ in histograms]
        self.totals = [sum(c) for _, c in histograms]
        counts = [np.asarray(c, dtype=np.float64) for _, c in histograms]
        k = len(counts[0])
        self.shares = [c / c.sum() for c in counts]
        self.roots = [np.sqrt(p) for p in self.shares]
        self.smoothed = [(c + 1e-10) / (c.sum() + k * 1e-10) for c in counts]

    def run(self) -> float:
        import numpy as np
        from scipy.spatial.distance import jensenshannon
        from scipy.special import rel_entr

        ln2 = math.log(2.0)
        names, totals = self.names, self.totals
        shares, roots, smoothed = self.shares, self.roots, self.smoothed
        n = len(names)
        start = time.perf_counter()
        rows = []
        for i in range(n):
            for j in range(i + 1, n):
                p, q = shares[i], shares[j]
                jsd = jensenshannon(p, q, base=2) ** 2
                hellinger = math.sqrt(0.5 * float(np.sum((roots[i] - roots[j]) ** 2)))
                psi = (float(np.sum(rel_entr(p, smoothed[j]))) +
                       float(np.sum(rel_entr(q, smoothed[i])))) / ln2
                rows.append((names[i], names[j], f"{jsd:.6f}", f"{hellinger:.6f}", f"{psi:.6f}",
                             f"{totals[i]} vs {totals[j]}"))
        rows.sort(key=lambda r: float(r[2]), reverse=True)  # stable: ties keep pair order
        elapsed = (time.perf_counter() - start) * 1e3
        assert len(rows) == n * (n - 1) // 2
        return elapsed

    def run_jsd_only(self) -> float:
        """The JSD alone (scipy's jensenshannon, squared), no rows: the
        lighter loop of earlier figures."""
        from scipy.spatial.distance import jensenshannon

        shares = self.shares
        n = len(shares)
        start = time.perf_counter()
        out = []
        for i in range(n):
            for j in range(i + 1, n):
                out.append(jensenshannon(shares[i], shares[j], base=2) ** 2)
        return (time.perf_counter() - start) * 1e3


def scipy_helper() -> None:
    """Reads the histograms as one JSON line, then answers each line on
    standard input with the time of one run of the loop."""
    loop = ScipyLoop(json.loads(sys.stdin.readline()))
    for line in sys.stdin:
        ms = loop.run_jsd_only() if line.strip() == "jsd" else loop.run()
        print(f"{ms:.3f}", flush=True)


def scipy_runner(histograms):
    """A function that runs the loop once and returns its ms, or None when no
    interpreter at hand has scipy."""
    try:
        import scipy  # noqa: F401

        loop = ScipyLoop(histograms)
        return (lambda jsd_only=False: loop.run_jsd_only() if jsd_only else loop.run()), \
            "scipy in this process"
    except ImportError:
        pass
    for exe in SCIPY_PYTHONS:
        if not os.path.exists(exe) or subprocess.run(
                [exe, "-c", "import scipy"], capture_output=True).returncode != 0:
            continue
        child = subprocess.Popen([exe, __file__, "--scipy-helper"], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        child.stdin.write(json.dumps(histograms) + "\n")
        child.stdin.flush()

        def run(jsd_only: bool = False) -> float:
            child.stdin.write("jsd\n" if jsd_only else "run\n")
            child.stdin.flush()
            return float(child.stdout.readline())

        version = subprocess.run([exe, "-c", "import scipy, sys; print(scipy.__version__, "
                                  "sys.version.split()[0])"], capture_output=True,
                                 text=True).stdout.split()
        return run, f"scipy {version[0]} on Python {version[1]} ({exe}, helper process)"
    return None, None


def fresh_against_scipy(tmp: str, db, runs: int) -> None:
    """The statement on a freshly opened database, interleaved with the scipy
    loop, `runs` times each."""
    import quor_engine

    var = db.schema()["variables"][0]["var_type"]["Continuous"]
    low, high = var["range"]
    histograms = histograms_of(os.path.join(tmp, "data.csv"), low, high, var["bins"])
    db.close()
    run_scipy, where = scipy_runner(histograms)
    if run_scipy is None:
        print("across   scipy peer: no interpreter with scipy found (apt-get install python3-scipy)")
        return
    path = os.path.join(tmp, "db")
    quor_ms, scipy_ms = [], []
    for _ in range(2):  # untimed: the process's heap grows to the statement's size
        fresh = quor_engine.QuorDB.open(path)
        timed(fresh, "COMPARE income ACROSS region")
        fresh.close()
    faults = []
    jsd_ms = []
    for _ in range(runs):
        fresh = quor_engine.QuorDB.open(path)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
        quor_ms.append(timed(fresh, "COMPARE income ACROSS region"))
        faults.append(resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before)
        fresh.close()
        scipy_ms.append(run_scipy())
        jsd_ms.append(run_scipy(jsd_only=True))
    ratio = statistics.median(scipy_ms) / statistics.median(quor_ms)
    jsd_ratio = statistics.median(jsd_ms) / statistics.median(quor_ms)
    print(f"across   fresh database, 19900 pairs: {min(quor_ms):.1f}-{max(quor_ms):.1f} ms "
          f"(median {statistics.median(quor_ms):.1f}); {where}: {min(scipy_ms):.0f}-"
          f"{max(scipy_ms):.0f} ms (median {statistics.median(scipy_ms):.0f}); "
          f"ratio of medians {ratio:.1f}x, per run "
          f"{min(s / q for s, q in zip(scipy_ms, quor_ms)):.1f}-"
          f"{max(s / q for s, q in zip(scipy_ms, quor_ms)):.1f}x ({runs} runs, interleaved)")
    print(f"across   scipy's jensenshannon alone over the pairs: {min(jsd_ms):.0f}-{max(jsd_ms):.0f} ms "
          f"(median {statistics.median(jsd_ms):.0f}); ratio of medians {jsd_ratio:.1f}x, per run "
          f"{min(s / q for s, q in zip(jsd_ms, quor_ms)):.1f}-"
          f"{max(s / q for s, q in zip(jsd_ms, quor_ms)):.1f}x")
    print(f"across   per run: ms {' '.join(f'{q:.1f}' for q in quor_ms)}; "
          f"page faults {' '.join(str(f) for f in faults)}")


def case_across(runs: int) -> None:
    with tempfile.TemporaryDirectory(prefix="quor-bench-") as tmp:
        db = build_db(tmp, 200, 1, 200)
        sql = "COMPARE income ACROSS region"
        print(f"across   200 values, 19900 pairs: {first_and_repeats(db, sql, runs)}")
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
        del result
        fresh_against_scipy(tmp, db, runs)


def case_pairwise(runs: int) -> None:
    with tempfile.TemporaryDirectory(prefix="quor-bench-") as tmp:
        db = build_db(tmp, 200, 1, 200)
        sql = "PAIRWISE region ON income"
        note = "; 19 900 pairs exceed the cache, so repeats compute again"
        print(f"pairwise 200 values, 19900 pairs: {first_and_repeats(db, sql, runs, note)}")
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
    if args and args[0] == "--scipy-helper":
        scipy_helper()
        return
    if args and args[0] == "--child":
        CASES[args[1]](runs)
        return
    for name in args or list(CASES):
        subprocess.run([sys.executable, __file__, "--child", name, "--runs", str(runs)], check=True)


if __name__ == "__main__":
    main()
