"""A typed tour of the module, for `mypy --strict` and for running.

Uses every class, method and attribute of quor_engine with annotations, so a
stub that drifts from the module (a missing method, a wrong type) fails the
type check: `mypy --strict examples/typed_usage.py` (the installed package
carries the stubs; in a checkout, MYPYPATH=python). Run it like the quick
start: it ingests examples/sales.csv into a temporary database.
"""

import pathlib
import tempfile

import quor_engine
from quor_engine import DatabaseStats, IngestReport, QueryResult, QuorDB, QuorError

HERE = pathlib.Path(__file__).resolve().parent


def report_line(report: IngestReport) -> str:
    counts: list[int] = [report.total_rows, report.processed_rows, report.skipped_rows,
                         report.distributions_updated, report.elapsed_ms]
    return f"{report!r} total={counts[0]}"


def stats_line(stats: DatabaseStats) -> str:
    values: tuple[int, int, int, int] = (stats.distributions, stats.total_samples,
                                         stats.variables, stats.dimensions)
    return f"{stats!r} sum={sum(values)}"


def table(result: QueryResult) -> list[dict[str, str]]:
    header: list[str] = result.header
    rows: list[list[str]] = result.rows
    assert len(result) == len(rows) and all(len(r) == len(header) for r in rows)
    csv_text: str = result.to_csv()
    json_text: str = result.to_json()
    assert csv_text.startswith(",".join(header)) and json_text.startswith("[")
    return result.to_dicts()


def main() -> None:
    assert quor_engine.__all__ == ["QuorDB", "QueryResult", "DatabaseStats", "IngestReport",
                                   "QuorError"]
    with tempfile.TemporaryDirectory(prefix="quor-typed-") as tmp:
        path = str(pathlib.Path(tmp) / "sales.db")
        with QuorDB.create(path) as db:
            report = db.ingest(str(HERE / "sales.csv"), max_categories=5,
                               date_columns=("time",), date_granularity="monthly")
            print(report_line(report))
            extra = db.ingest_records([{"time": "2025-12-31", "region": "coast",
                                        "channel": "web", "plan": "pro",
                                        "basket_value": 61.5, "delivery_days": 2}])
            print(report_line(extra))
            print(stats_line(db.stats()))
            schema = db.schema()
            names = [v["name"] for v in schema["variables"]]
            print("variables:", ", ".join(names))
            for row in table(db.query("COMPARE basket_value BETWEEN region:north AND region:coast")):
                print(row["Metric"], row["Value"])
            try:
                db.query("COMPARE basket_value BETWEEN region:nowhere AND region:coast")
            except QuorError as error:
                print("QuorError:", error)
            db.flush()
        db.close()
        reader = QuorDB.open(path, mode="read_only")
        print(str(reader.query("DIMENSIONS")), end="")
        leaving: bool = reader.__exit__(None, None, None)
        assert leaving is False


if __name__ == "__main__":
    main()
