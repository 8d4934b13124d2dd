"""quor_engine quick start: ingest a year of orders and ask a few questions.

Creates a database in a fresh temporary directory, ingests examples/sales.csv
(daily orders in six regions, with a drift on the coast from the autumn on)
with monthly date buckets, and prints the answers as aligned tables.

Inference makes a text column with more distinct values than max_categories
a dimension: with max_categories=5 the six regions split the counts, while
channel and plan (four values each) are counted as categorical variables.
"""

import pathlib
import tempfile

import quor_engine

HERE = pathlib.Path(__file__).resolve().parent

QUESTIONS = [
    "STATS",
    "SCHEMA",
    "COMPARE basket_value BETWEEN region:north AND region:coast",
    "EXPLAIN time:2025-02 VS time:2025-11",
    "COMPARE channel ACROSS region WHERE time:2025-12",
    "TRACK channel FROM region:coast",
    "SHOW channel AT region:coast WHERE time:2025-12",
]


def main():
    with tempfile.TemporaryDirectory(prefix="quor-demo-") as tmp:
        with quor_engine.QuorDB.create(str(pathlib.Path(tmp) / "sales.db")) as db:
            report = db.ingest(str(HERE / "sales.csv"), max_categories=5,
                               date_granularity="monthly")
            print(report)
            print(db.stats())
            for question in QUESTIONS:
                print()
                print(f">>> {question}")
                print(db.query(question), end="")


if __name__ == "__main__":
    main()
