"""QuorDB.ingest and QuorDB.ingest_records: arguments, conversions, reports."""

import json
import math
import threading

import pytest

import quor_engine
from quor_engine import QuorDB, QuorError


@pytest.fixture
def db(tmp_path):
    d = QuorDB.create(str(tmp_path / "db"))
    yield d
    d.close()


def write(path, text):
    path.write_text(text, encoding="utf-8")
    return str(path)


CSV = "day,region,amount,plan\n" + "".join(
    f"2024-0{1 + i % 3}-1{i % 9},{'EU' if i % 2 else 'US'},{i * 1.5},{'pro' if i % 3 else 'free'}\n"
    for i in range(30)
)


def raw_lines(tmp_path):
    return (tmp_path / "db" / "raw" / "log_000001.raw").read_text().splitlines()


def test_ingest_csv_with_defaults(db, tmp_path):
    report = db.ingest(write(tmp_path / "in.csv", CSV))
    assert isinstance(report, quor_engine.IngestReport)
    assert (report.total_rows, report.processed_rows, report.skipped_rows) == (30, 30, 0)
    assert report.distributions_updated > 0
    assert isinstance(report.elapsed_ms, int) and report.elapsed_ms >= 0
    schema = db.schema()
    names = [v["name"] for v in schema["variables"]]
    assert "amount" in names and "plan" in names
    # The default granularity is yearly: the date column buckets to 2024.
    day = [d for d in schema["dimensions"] if d["source_column"] == "day"]
    assert day and day[0]["granularity"] == "yearly"
    assert db.query("DIMENSIONS day").rows == [["2024"]]
    assert len(raw_lines(tmp_path)) == 30
    assert db.stats().total_samples == report.processed_rows * len(names)


def test_ingest_default_max_categories_is_50(db, tmp_path):
    rows = "".join(f"k{i % 50},c{i},{i}\n" for i in range(51))
    db.ingest(write(tmp_path / "in.csv", "fifty,fifty_one,v\n" + rows))
    schema = db.schema()
    assert [v["name"] for v in schema["variables"] if v["name"] != "v"] == ["fifty"]
    assert [d["source_column"] for d in schema["dimensions"]] == ["fifty_one"]


def test_ingest_options(db, tmp_path):
    report = db.ingest(write(tmp_path / "in.csv", CSV), max_categories=1,
                       date_columns=("day",), date_granularity="monthly")
    assert report.processed_rows == 30
    assert sorted(r[0] for r in db.query("DIMENSIONS day").rows) == ["2024-01", "2024-02", "2024-03"]


def test_ingest_jsonl_and_flush_persists(tmp_path):
    path = write(tmp_path / "in.jsonl",
                 "".join(json.dumps({"region": r, "score": s}) + "\n"
                         for r, s in [("EU", 0.5), ("US", 0.25), ("EU", 1.0)]))
    with QuorDB.create(str(tmp_path / "db")) as d:
        assert d.ingest(path).total_rows == 3
    with QuorDB.open(str(tmp_path / "db"), "ro") as d:
        assert d.stats().total_samples == 6  # two variables, three records


@pytest.mark.parametrize("kwargs, exc, text", [
    ({"path": 3}, TypeError, "argument 'path': 'int' object is not an instance of 'str'"),
    ({"path": "x.csv", "max_categories": 2.5}, TypeError,
     "argument 'max_categories': 'float' object cannot be interpreted as an integer"),
    ({"path": "x.csv", "date_columns": "day"}, TypeError,
     "argument 'date_columns': Can't extract `str` to `Vec`"),
    ({"path": "x.csv", "date_columns": 5}, TypeError,
     "argument 'date_columns': 'int' object is not an instance of 'Sequence'"),
    ({"path": "x.csv", "date_columns": ["a", 1]}, TypeError,
     "argument 'date_columns': 'int' object is not an instance of 'str'"),
    ({"path": "x.csv", "date_granularity": 7}, TypeError,
     "argument 'date_granularity': 'int' object is not an instance of 'str'"),
])
def test_ingest_argument_errors(db, kwargs, exc, text):
    with pytest.raises(exc) as info:
        db.ingest(**kwargs)
    assert str(info.value) == text
    assert type(info.value.__cause__) is TypeError


def test_ingest_wraps_a_conversion_type_error_with_any_text(db):
    class Odd:
        def __index__(self):
            raise TypeError("bad \ud800")

    with pytest.raises(TypeError) as info:
        db.ingest("x.csv", max_categories=Odd())
    assert str(info.value) == "argument 'max_categories': bad \ud800"
    assert str(info.value.__cause__) == "bad \ud800"


class FailingColumns(list):
    """A list of date columns whose iteration yields one and then raises."""

    def __init__(self, error):
        super().__init__(["day"])
        self.error = error

    def __iter__(self):
        yield "day"
        raise self.error


def test_ingest_date_columns_iteration_errors(db):
    # An exception raised while the columns are read reaches the caller: a
    # TypeError wrapped like every argument error, any other one unchanged.
    with pytest.raises(ValueError, match="^no more columns$"):
        db.ingest("x.csv", date_columns=FailingColumns(ValueError("no more columns")))
    with pytest.raises(TypeError) as info:
        db.ingest("x.csv", date_columns=FailingColumns(TypeError("odd column")))
    assert str(info.value) == "argument 'date_columns': odd column"
    assert str(info.value.__cause__) == "odd column"


@pytest.mark.parametrize("value", [-1, 2**64])
def test_ingest_max_categories_overflow_is_the_hosts(db, value):
    with pytest.raises(OverflowError):
        db.ingest("x.csv", max_categories=value)


def test_ingest_argument_errors_come_before_closed(db, tmp_path):
    db.close()
    with pytest.raises(TypeError, match="^argument 'path'"):
        db.ingest(b"x.csv")
    with pytest.raises(RuntimeError, match="^database is closed$"):
        db.ingest(str(tmp_path / "x.csv"))
    with pytest.raises(TypeError, match="^argument 'records'"):
        db.ingest_records(({"a": 1},))
    with pytest.raises(RuntimeError, match="^database is closed$"):
        db.ingest_records([])


@pytest.mark.parametrize("name, text", [
    ("data.parquet", "parquet ingestion requires enabling the 'parquet' feature"),
    ("data.txt", "unsupported ingestion format 'txt'; expected csv/json/parquet"),
])
def test_ingest_format_refusals(db, tmp_path, name, text):
    with pytest.raises(QuorError) as info:
        db.ingest(str(tmp_path / name))
    assert str(info.value) == text


@pytest.mark.parametrize("ext, reader", [("csv", "csv"), ("jsonl", "json")])
def test_ingest_path_with_nul_byte_is_refused(db, tmp_path, ext, reader):
    # The bytes before the NUL name a real file that must not be read.
    short = write(tmp_path / "short", "region,v\nEU,1\n")
    path = short + "\0." + ext
    with pytest.raises(QuorError) as info:
        db.ingest(path)
    assert str(info.value) == (
        f"open {reader} file {path}: file name contained an unexpected NUL byte")
    assert db.stats().variables == 0


def test_ingest_csv_with_byte_order_mark(db, tmp_path):
    # A spreadsheet export's mark neither renames the first column nor
    # poisons the ingests that follow.
    bom = tmp_path / "bom.csv"
    bom.write_bytes(b"\xef\xbb\xbf" + CSV.encode())
    assert db.ingest(str(bom)).processed_rows == 30
    assert db.ingest(write(tmp_path / "plain.csv", CSV)).processed_rows == 30
    day = [d for d in db.schema()["dimensions"] if d["name"] == "day"]
    assert day and day[0]["source_column"] == "day"
    assert all("\ufeff" not in d["name"] for d in db.schema()["dimensions"])
    assert db.stats().total_samples == 60 * len(db.schema()["variables"])
    assert len(raw_lines(tmp_path)) == 60


def test_ingest_read_only_is_refused(tmp_path):
    QuorDB.create(str(tmp_path / "db")).close()
    path = write(tmp_path / "in.csv", CSV)
    with QuorDB.open(str(tmp_path / "db"), "ro") as d:
        with pytest.raises(QuorError, match="database opened in read-only mode"):
            d.ingest(path)


def test_ingest_records_empty_list(db):
    r = db.ingest_records([])
    assert (r.total_rows, r.processed_rows, r.skipped_rows, r.distributions_updated,
            r.elapsed_ms) == (0, 0, 0, 0, 0)


def test_ingest_records_use_the_stored_schema(db, tmp_path):
    db.ingest(write(tmp_path / "in.csv", CSV))
    before = db.stats().total_samples
    r = db.ingest_records([
        {"day": "2024-05-01", "region": "EU", "amount": 3.0, "plan": "pro", "extra": 1},
        {"region": "EU", "amount": 3.0},  # lacks the day dimension: dropped
        {"day": "2024-05-01", "region": "US", "amount": "7", "plan": None},
    ])
    assert (r.total_rows, r.processed_rows, r.skipped_rows, r.elapsed_ms) == (3, 2, 0, 0)
    assert db.stats().total_samples > before


def test_ingest_records_without_matching_keys(db, tmp_path):
    db.ingest(write(tmp_path / "in.csv", CSV))
    r = db.ingest_records([{"nothing": 1}, {"else": 2}])
    assert (r.total_rows, r.processed_rows, r.skipped_rows) == (2, 0, 0)


def shared_source_db(path):
    """A database whose stored schema has two dimensions reading one column."""
    QuorDB.create(str(path)).close()
    meta = {
        "schema": {
            "variables": [
                {"name": "amount", "var_type": {"Continuous": {"bins": 4, "range": [0.0, 4.0]}}},
                {"name": "kind",
                 "var_type": {"Categorical": {"categories": ["a", "b"], "allow_unknown": True}}},
            ],
            "dimensions": [
                {"name": "region", "source_column": "region", "granularity": None},
                {"name": "alias", "source_column": "region", "granularity": "monthly"},
            ],
            "joints": [],
        },
        "next_distribution_id": 1, "next_joint_id": 1, "next_raw_record_id": 1,
        "format_version": 3, "raw_log_enabled": True, "high_water_mark": 0,
    }
    (path / "meta.edb").write_text(json.dumps(meta), encoding="utf-8")
    return QuorDB.open(str(path))


@pytest.mark.parametrize("rows", [1, 9, 25, 10001])
@pytest.mark.parametrize("road", ["ingest", "ingest_records"])
def test_every_record_skipped_by_a_shared_source_column(tmp_path, rows, road):
    records = [{"region": f"r{i % 13}", "amount": str(i % 5), "kind": "ab"[i % 2]}
               for i in range(rows)]
    with shared_source_db(tmp_path / "db") as d:
        if road == "ingest":
            csv = "region,amount,kind\n" + "".join(
                f"{r['region']},{r['amount']},{r['kind']}\n" for r in records)
            report = d.ingest(write(tmp_path / "in.csv", csv))
        else:
            report = d.ingest_records(records)
        assert (report.total_rows, report.processed_rows, report.skipped_rows,
                report.distributions_updated) == (rows, 0, rows, 0)
        assert d.stats().distributions == 0
    assert raw_lines(tmp_path) == []
    with QuorDB.open(str(tmp_path / "db"), "ro") as d:
        assert d.stats().distributions == 0


def test_ingest_records_item_and_key_errors_apply_nothing(db, tmp_path):
    db.ingest(write(tmp_path / "in.csv", CSV))
    before = db.stats().total_samples
    good = {"day": "2024-05-01", "region": "EU", "amount": 3.0, "plan": "pro"}
    with pytest.raises(TypeError) as info:
        db.ingest_records([good, ("not", "a dict")])
    assert str(info.value) == "'tuple' object is not an instance of 'dict'"
    with pytest.raises(TypeError) as info:
        db.ingest_records([good, {1: "x"}])
    assert str(info.value) == "'int' object is not an instance of 'str'"

    class Bad:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        db.ingest_records([good, {"plan": Bad()}])
    assert db.stats().total_samples == before


def payload_of_single_record(tmp_path, value):
    """Ingests one record with a region dimension and a value column and
    returns the raw-log payload the engine wrote for it."""
    path = tmp_path / "p"
    with QuorDB.create(str(path)) as d:
        d.ingest(write(tmp_path / "seed.csv", "region,v\nEU,1\nUS,2\n"))
        d.ingest_records([{"region": "EU", "v": value}])
    last = (path / "raw" / "log_000001.raw").read_text().splitlines()[-1]
    return json.loads(last)["payload"]


@pytest.mark.parametrize("value, expected", [
    (True, True),
    (3, 3),
    (3.0, 3.0),
    (2**63, 9223372036854775808.0),
    (float("inf"), None),
    (float("nan"), None),
    (None, None),
    ("3", "3"),
    (10**400, str(10**400)),
    ([1, 2], "[1, 2]"),
])
def test_value_conversion(tmp_path, value, expected):
    payload = payload_of_single_record(tmp_path, value)
    got = payload.get("v")
    if isinstance(expected, float):
        assert isinstance(got, float) and got == expected
    else:
        assert got == expected and type(got) is type(expected)


def test_numpy_bool_values_are_booleans(db, tmp_path):
    # A value of a class named numpy.bool_ is its truth; a failing __bool__
    # fails the call and applies nothing.
    def truth(self):
        return self.value

    NumpyBool = type("numpy.bool_", (), {"__init__": lambda self, v: setattr(self, "value", v),
                                         "__bool__": truth})
    (tmp_path / "one").mkdir()
    assert payload_of_single_record(tmp_path / "one", NumpyBool(False)).get("v") is False

    def broken(self):
        raise ZeroDivisionError("no truth")

    Broken = type("numpy.bool_", (), {"__bool__": broken})
    db.ingest(write(tmp_path / "seed.csv", "region,v\nEU,1\nUS,2\n"))
    before = db.stats().total_samples
    with pytest.raises(ZeroDivisionError, match="^no truth$"):
        db.ingest_records([{"region": "EU", "v": Broken()}])
    assert db.stats().total_samples == before


class FloatText(str):
    def __float__(self):
        return 1.5


class ShownText(str):
    def __str__(self):
        return "shown"


@pytest.mark.parametrize("value, expected", [
    (FloatText("abc"), 1.5),           # the float rule comes before the str rule
    (ShownText("plain"), "plain"),     # a readable str keeps its own text
    (ShownText("a\ud800"), "shown"),  # an unreadable one falls through to str()
])
def test_str_subclass_conversion(tmp_path, value, expected):
    got = payload_of_single_record(tmp_path, value)["v"]
    assert got == expected and type(got) is type(expected)


def test_lone_surrogate_value_becomes_replacement_characters(tmp_path):
    payload = payload_of_single_record(tmp_path, "a\ud800b")
    assert payload["v"] == "a\ufffd\ufffd\ufffdb"


def test_lone_surrogate_key_fails(db):
    with pytest.raises(UnicodeEncodeError):
        db.ingest_records([{"\ud800": 1}])


def test_int_and_float_dimension_values_differ(db, tmp_path):
    db.ingest(write(tmp_path / "seed.csv", "year,v\n2020,1\n2021,2\n"))
    db.ingest_records([{"year": 2020, "v": 1.0}, {"year": 2020.0, "v": 2.0}])
    assert "2020.0" in [r[0] for r in db.query("DIMENSIONS year").rows]


def test_ingest_records_mutating_list_during_conversion(db, tmp_path):
    db.ingest(write(tmp_path / "seed.csv", "region,v\nEU,1\nUS,2\n"))
    records = []

    class Shrinker:
        def __str__(self):
            records.clear()
            return "x"

    records.extend([{"region": "EU", "v": Shrinker()}, {"region": "US", "v": 1}])
    r = db.ingest_records(records)
    assert r.total_rows == 1

    # Items appended during the walk are not read: it stops at the length it
    # started with.
    class Grower:
        def __str__(self):
            records.append({"region": "EU", "v": Grower()})
            return "x"

    records[:] = [{"region": "EU", "v": Grower()}, {"region": "US", "v": 1}]
    r = db.ingest_records(records)
    assert (r.total_rows, len(records)) == (2, 3)


def test_ingest_is_exclusive(db, tmp_path):
    db.ingest(write(tmp_path / "seed.csv", "region,v\nEU,1\nUS,2\n"))

    class Reenter:
        def __str__(self):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                db.stats()
            return "x"

    db.ingest_records([{"region": "EU", "v": Reenter()}])


def test_ingest_argument_conversion_runs_under_the_borrow(db):
    # The borrow is taken before the arguments are converted, and the
    # RuntimeError leaves the conversion unwrapped.
    class Reenter:
        def __index__(self):
            db.ingest_records([])
            return 3

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        db.ingest("x.csv", max_categories=Reenter())


def test_text_signatures():
    assert QuorDB.ingest.__text_signature__ == (
        "($self, path, max_categories=None, date_columns=None, date_granularity=None)")
    assert QuorDB.ingest_records.__text_signature__ == "($self, records)"
