#!/usr/bin/env python3
"""Line coverage of each layer from the gcov counts of a coverage build.

Usage: coverage_by_layer.py BUILD_DIR [SOURCE_DIR]

Runs gcovr once over BUILD_DIR (counts of every suite that ran since the
counts were cleared), keeps the engine's own sources (src/quor/<layer>/ and
python/), and prints lines covered / lines with code per layer, then the
files of each layer below 80 %, least covered first. The full per-file
table is left in BUILD_DIR/coverage.json.
"""
import json
import os
import subprocess
import sys
from collections import defaultdict


def layer_of(path):
    # Headers reached through a layer's include root in the build directory
    # are named by that path: <build>/layer_include/<layer>/quor/<layer>/...
    if "layer_include/" in path:
        rest = path.split("layer_include/", 1)[1].split("/")
        # (the private root of <layer> is layer_include/<layer>.internal).
        return rest[0].split(".")[0] if len(rest) > 3 else None
    parts = path.split("/")
    if parts[:2] == ["src", "quor"] and len(parts) > 3:
        return parts[2]
    if parts[0] == "python":
        return "python"
    return None


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    build = os.path.abspath(sys.argv[1])
    root = os.path.abspath(sys.argv[2] if len(sys.argv) > 2 else os.path.join(os.path.dirname(__file__), ".."))
    out = os.path.join(build, "coverage.json")
    subprocess.run(
        ["gcovr", "--root", root, "--object-directory", build, "--filter", r"(src/quor|python)/",
         "--gcov-ignore-parse-errors", "-j", str(os.cpu_count() or 1), "--json-summary", out,
         "--json-summary-pretty"],
        check=True, cwd=root, stdout=subprocess.DEVNULL,
        stderr=open(os.path.join(build, "coverage-gcovr.log"), "w"))
    with open(out) as f:
        files = json.load(f)["files"]
    per_layer = defaultdict(lambda: [0, 0])
    low = defaultdict(list)
    for entry in files:
        layer = layer_of(entry["filename"])
        if layer is None:
            continue
        per_layer[layer][0] += entry["line_covered"]
        per_layer[layer][1] += entry["line_total"]
        if entry["line_total"] and entry["line_covered"] < 0.8 * entry["line_total"]:
            low[layer].append((entry["line_covered"] / entry["line_total"], entry["filename"],
                               entry["line_covered"], entry["line_total"]))
    order = ["util", "model", "math", "store", "ingest", "analytics", "sql", "python"]
    print(f"{'layer':<10} {'lines':>7} {'covered':>8} {'percent':>8}")
    all_covered = all_total = 0
    for layer in order + sorted(set(per_layer) - set(order)):
        if layer not in per_layer:
            continue
        covered, total = per_layer[layer]
        all_covered += covered
        all_total += total
        print(f"{layer:<10} {total:>7} {covered:>8} {100.0 * covered / max(total, 1):>7.1f}%")
    print(f"{'all':<10} {all_total:>7} {all_covered:>8} {100.0 * all_covered / max(all_total, 1):>7.1f}%")
    for layer in order:
        for share, name, covered, total in sorted(low.get(layer, [])):
            print(f"  below 80%: {name} {covered}/{total} ({100.0 * share:.1f}%)")


if __name__ == "__main__":
    main()
