#!/usr/bin/env python3
"""Randomized kill -9 loop over raw-log appends: no record id is logged twice.

Each trial lets a child process open one database (raw log on) and ingest
batches of records without end, flushing after some of them, and kills it
with SIGKILL at a random moment. Half of the trials then also cut the
segment at a random byte of its last lines, as a power loss may leave it
(often just after a payload whose member "record_id" holds a number). The
next read-write open and ingest must continue after the last whole line:
over the whole run, every whole line of the segment carries its own id.

The deterministic counterparts are RawLogIdsTest and FileFaultsTest in cpp/.

Run from the work tree after building the module:
    PYTHONPATH=build/python $(cat build/python/interpreter.txt) tests/crash/raw_log_kill_loop.py --trials 50
"""

import argparse
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from quor_engine import QuorDB

CHILD = r"""
import sys
from quor_engine import QuorDB
path, salt = sys.argv[1], int(sys.argv[2])
db = QuorDB.open(path)
n = 0
while True:
    records = [{"region": f"r{(i + salt) % 5}", "amount": float(i % 50),
                "record_id": (i * 7 + salt) % 1000} for i in range(200)]
    db.ingest_records(records)
    n += 1
    if n % 3 == 0:
        db.flush()
"""

WHOLE = re.compile(r'^\{"payload":.*\},"record_id":(\d+)\}$')


def whole_ids(segment):
    with open(segment, "rb") as f:
        lines = f.read().decode("utf-8", "replace").split("\n")
    ids = []
    for line in lines:
        # A line cut short (and perhaps ended by a later line feed) does
        # not end in "},"record_id":N}".
        m = WHOLE.match(line)
        if m:
            ids.append(int(m.group(1)))
    return ids


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--trials", type=int, default=20)
    ap.add_argument("--seed", type=int, default=None)
    ap.add_argument("--workdir", default=None)
    args = ap.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 30)
    rng = random.Random(seed)
    work = args.workdir or tempfile.mkdtemp(prefix="quor_raw_kill_")
    path = os.path.join(work, "db")
    shutil.rmtree(path, ignore_errors=True)
    # The schema comes from a file: dimension region, continuous amount and
    # record_id (the children then log them as JSON numbers).
    csv = os.path.join(work, "seed.csv")
    with open(csv, "w", encoding="utf-8") as out:
        out.write("region,amount,record_id\n")
        for i in range(100):
            out.write(f"r{i % 5},{i % 50}.5,{i}\n")
    db = QuorDB.create(path)
    db.ingest(csv, max_categories=2)
    names = sorted(v["name"] for v in db.schema()["variables"])
    db.close()
    if names != ["amount", "record_id"]:
        sys.exit(f"unexpected variables {names}")
    segment = os.path.join(path, "raw", "log_000001.raw")
    print(f"seed {seed}, database {path}", flush=True)

    cuts = 0
    for t in range(args.trials):
        child = subprocess.Popen([sys.executable, "-c", CHILD, path, str(t)],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        time.sleep(rng.uniform(0.05, 0.6))
        child.send_signal(signal.SIGKILL)
        child.wait()
        size = os.path.getsize(segment)
        if size and rng.random() < 0.5:
            with open(segment, "rb") as f:
                f.seek(max(0, size - 400))
                tail = f.read()
            # Cut just after a payload half of the time, else anywhere.
            ends = [m.end() for m in re.finditer(rb'"record_id":\d+\}', tail)]
            at = rng.choice(ends) if ends and rng.random() < 0.5 else rng.randrange(len(tail) + 1)
            os.truncate(segment, size - len(tail) + at)
            cuts += 1
    ids = whole_ids(segment)
    dupes = len(ids) - len(set(ids))
    print(f"{args.trials} kills, {cuts} cuts, {len(ids)} whole lines, {dupes} ids logged twice")
    if not args.workdir and not dupes:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if dupes else 0


if __name__ == "__main__":
    sys.exit(main())
