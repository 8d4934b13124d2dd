#!/usr/bin/env python3
"""Randomized kill -9 loop over the flush of an ingest.

Builds a database of about --distributions marginal distributions (variables
"amount" and "plan" over the dimensions "region" and "shop", raw log on), then
for each trial copies it, lets a child process open the copy, ingest records
that update some keys and add new ones (the ingest ends with a flush) and
close it, and kills the child with SIGKILL at a random moment of that flush.
The moment is drawn uniformly over the flush as timed by calibration runs:
from the first temporary file the flush creates to the last one seen, +10 %.

After each kill the copy must:
  - open read-write and read-only;
  - count in STATS either the distributions before the ingest or those after;
  - find, by variable and dimension key (SHOW), every new distribution when it
    counts them, and a sample of the old ones;
  - take the same ingest again without a second distribution for any key.
A trial that breaks any of these counts as one inconsistency.

Run from the work tree after building the module:
    PYTHONPATH=build/python $(cat build/python/interpreter.txt) tests/crash/kill_loop.py --trials 100
"""

import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import quor_engine
from quor_engine import QuorDB

VARIABLES = ("amount", "plan")
PLANS = ("free", "pro", "team")


def combos(regions, shops):
    return [(r, s) for r in regions for s in range(shops)]


def record(region, shop, salt):
    return {
        "region": f"r{region}",
        "shop": f"s{shop}",
        "amount": float((region * 7 + shop * 3 + salt * 11) % 100),
        "plan": PLANS[(region + shop + salt) % 3],
    }


def layout(distributions):
    """Regions x shops so that 2 variables x combinations ~ distributions."""
    shops = 200
    regions = max(60, distributions // (2 * shops))
    return regions, shops


def trial_records(regions, shops, new_regions):
    """Half updates of existing keys, half new keys (new_regions more regions)."""
    rng = random.Random(7)
    old = [(rng.randrange(regions), rng.randrange(shops)) for _ in range(new_regions * shops)]
    new = combos(range(regions, regions + new_regions), shops)
    return [record(r, s, 1) for r, s in old + new], new


def build_base(path, regions, shops):
    pairs = combos(range(regions), shops)
    random.Random(1).shuffle(pairs)  # both dimensions vary within the inference sample
    csv = os.path.join(os.path.dirname(path), "base.csv")
    with open(csv, "w", encoding="utf-8") as out:
        out.write("region,shop,amount,plan\n")
        for r, s in pairs:
            rec = record(r, s, 0)
            out.write(f"{rec['region']},{rec['shop']},{rec['amount']},{rec['plan']}\n")
    db = QuorDB.create(path)
    db.ingest(csv, max_categories=20)
    schema = db.schema()
    dims = sorted(d["name"] for d in schema["dimensions"])
    names = sorted(v["name"] for v in schema["variables"])
    if dims != ["region", "shop"] or names != sorted(VARIABLES):
        sys.exit(f"unexpected schema: dimensions {dims}, variables {names}")
    count = db.stats().distributions
    db.close()
    os.remove(csv)
    return count


CHILD = r"""
import sys
sys.path.insert(0, sys.argv[4])
import kill_loop
from quor_engine import QuorDB
regions, shops, new_regions = map(int, sys.argv[1:4])
records, _ = kill_loop.trial_records(regions, shops, new_regions)
db = QuorDB.open(sys.argv[5])
db.ingest_records(records)
db.close()
"""


def start_child(path, regions, shops, new_regions):
    here = os.path.dirname(os.path.abspath(__file__))
    args = [sys.executable, "-c", CHILD, str(regions), str(shops), str(new_regions), here, path]
    return subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def flush_started(path):
    return any(".tmp-" in name for name in os.listdir(path))


def wait_for_flush(child, path):
    """Polls until the flush creates its first temporary file; False if the
    child ended first."""
    while not flush_started(path):
        if child.poll() is not None:
            return False
        time.sleep(0.0002)
    return True


def show_finds(db, variable, region, shop):
    try:
        db.query(f"SHOW {variable} AT region:r{region} WHERE shop:s{shop}")
        return True
    except quor_engine.QuorError as e:
        if "distribution not found" in str(e):
            return False
        raise


def check(path, before, after, new_keys, regions, shops, new_regions, rng):
    """Returns the list of problems found in the killed copy at `path`."""
    problems = []
    try:
        ro = QuorDB.open(path, "read_only")
        ro_count = ro.stats().distributions
        ro.close()
    except Exception as e:  # noqa: BLE001 - any failure is a finding
        return [f"read-only open failed: {e}"]
    try:
        db = QuorDB.open(path)
    except Exception as e:  # noqa: BLE001
        return [f"read-write open failed: {e}"]
    try:
        count = db.stats().distributions
        if count != ro_count:
            problems.append(f"read-write counts {count}, read-only {ro_count}")
        if count not in (before, after):
            problems.append(f"STATS counts {count}, neither {before} nor {after}")
        keys = [(r, s) for r, s in rng.sample(combos(range(regions), shops), 500)]
        if count == after:
            keys += new_keys
        missing = [(v, r, s) for r, s in keys for v in VARIABLES if not show_finds(db, v, r, s)]
        if missing:
            problems.append(f"{len(missing)} counted distributions not found, e.g. {missing[0]}")
        records, _ = trial_records(regions, shops, new_regions)
        db.ingest_records(records)
        again = db.stats().distributions
        if again != after:
            problems.append(f"the same ingest again gives {again} distributions, not {after}")
    finally:
        db.close()
    return problems


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--trials", type=int, default=20)
    ap.add_argument("--distributions", type=int, default=100_000)
    ap.add_argument("--new-regions", type=int, default=10, help="new regions per trial ingest")
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--workdir", default=None, help="where to build (default: a fresh temp dir)")
    ap.add_argument("--verbose", action="store_true")
    args = ap.parse_args()

    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    work = args.workdir or tempfile.mkdtemp(prefix="quor_kill_loop_")
    os.makedirs(work, exist_ok=True)
    base = os.path.join(work, "base")
    shutil.rmtree(base, ignore_errors=True)
    regions, shops = layout(args.distributions)

    t0 = time.monotonic()
    before = build_base(base, regions, shops)
    _, new_keys = trial_records(regions, shops, args.new_regions)
    after = before + len(VARIABLES) * len(new_keys)
    print(f"base: {before} distributions ({regions} regions x {shops} shops), built in "
          f"{time.monotonic() - t0:.1f}s; each trial ingests {len(new_keys)} new and "
          f"{len(new_keys)} existing keys -> {after}; seed {seed}", flush=True)

    # Calibration: how long the flush writes, from the first temporary file
    # it creates to the last moment one is seen (its last rename).
    trial = os.path.join(work, "trial")
    spans = []
    for _ in range(5):
        shutil.rmtree(trial, ignore_errors=True)
        shutil.copytree(base, trial)
        child = start_child(trial, regions, shops, args.new_regions)
        if not wait_for_flush(child, trial):
            sys.exit("calibration: the child ended without flushing: " + child.stderr.read().decode())
        started = last = time.monotonic()
        while child.poll() is None:
            if flush_started(trial):
                last = time.monotonic()
            time.sleep(0.0002)
        if child.returncode != 0:
            sys.exit("calibration child failed: " + child.stderr.read().decode())
        spans.append(last - started)
    span = sorted(spans)[2] * 1.1
    print(f"flush span (median of 5, +10%): {span * 1000:.0f} ms", flush=True)

    killed = mid_flush = completed = inconsistent = 0
    for i in range(args.trials):
        shutil.rmtree(trial, ignore_errors=True)
        shutil.copytree(base, trial)
        child = start_child(trial, regions, shops, args.new_regions)
        if not wait_for_flush(child, trial):
            sys.exit("the child ended without flushing: " + child.stderr.read().decode())
        delay = rng.uniform(0.0, span)
        time.sleep(delay)
        if child.poll() is None:
            # Temporary files present: the kill lands between the flush's
            # first create and its last rename.
            mid = flush_started(trial)
            child.send_signal(signal.SIGKILL)
            killed += 1
            mid_flush += mid
            how = "killed mid-flush" if mid else "killed"
        else:
            completed += 1
            how = "completed"
        child.wait()
        child.stderr.close()
        problems = check(trial, before, after, new_keys, regions, shops, args.new_regions, rng)
        if problems:
            inconsistent += 1
        if problems or args.verbose:
            print(f"trial {i + 1}: {how} after {delay * 1000:.0f} ms: "
                  + ("; ".join(problems) if problems else "ok"), flush=True)

    shutil.rmtree(trial, ignore_errors=True)
    if not args.workdir:
        shutil.rmtree(work, ignore_errors=True)
    print(f"trials: {args.trials}, killed: {killed} (with temporary files present: {mid_flush}), "
          f"finished before the kill: {completed}, inconsistent: {inconsistent}")
    return 1 if inconsistent else 0


if __name__ == "__main__":
    sys.exit(main())
