#!/usr/bin/env python3
"""The counting an ingest of the reference CSV does, written with pandas.

Reads the file, buckets the date by month, groups by (month, region), and per
group builds a 20-bin histogram of each numeric column (range: min to max plus
0.1 % of the span, as inference sets it) and the value counts of each
categorical column. Prints the wall-clock time and rows per second.

    /usr/bin/python3 bench/pandas_baseline.py [/tmp/quor_reference.csv]
"""
import sys
import time

import numpy as np
import pandas as pd

NUMERIC = ["price", "quantity", "discount"]
CATEGORICAL = ["channel", "segment", "status"]
BINS = 20


def main() -> None:
    path = sys.argv[1] if len(sys.argv) > 1 else "/tmp/quor_reference.csv"
    start = time.perf_counter()
    df = pd.read_csv(path)
    df["month"] = df["date"].str.slice(0, 7)
    keys = ["month", "region"]
    group_ids = df.groupby(keys, sort=False).ngroup().to_numpy()
    ngroups = int(group_ids.max()) + 1
    histograms = {}
    for col in NUMERIC:
        values = df[col].to_numpy(dtype=np.float64)
        lo, hi = values.min(), values.max()
        hi = hi + (1.0 if hi - lo < np.finfo(float).eps else 0.001 * (hi - lo))
        width = (hi - lo) / BINS
        bins = np.clip(np.floor((values - lo) / width), 0, BINS - 1).astype(np.int64)
        histograms[col] = np.bincount(group_ids * BINS + bins, minlength=ngroups * BINS).reshape(
            ngroups, BINS)
    counts = {col: df.groupby(keys + [col], sort=False).size() for col in CATEGORICAL}
    elapsed = time.perf_counter() - start
    rows = len(df)
    print(f"pandas {pd.__version__}: {rows} rows, {ngroups} groups, "
          f"{sum(len(c) for c in counts.values())} category cells, "
          f"{elapsed * 1000:.0f} ms, {rows / elapsed / 1e6:.2f} M rows/s")


if __name__ == "__main__":
    main()
