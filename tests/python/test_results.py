import pytest

import quor_engine
from quor_engine import QueryResult


def test_header_and_rows_are_fresh_lists(qt):
    r = qt.query_result(["a", "b"], [["1", "2"], ["3", "4"]])
    h1, h2 = r.header, r.header
    assert h1 == h2 == ["a", "b"] and h1 is not h2
    rows1, rows2 = r.rows, r.rows
    assert rows1 == rows2 == [["1", "2"], ["3", "4"]]
    assert rows1 is not rows2 and rows1[0] is not rows2[0]
    h1.append("c")
    rows1[0][0] = "changed"
    rows1.clear()
    assert r.header == ["a", "b"] and r.rows[0] == ["1", "2"]


def test_attributes_are_read_only(qt):
    r = qt.query_result(["a"], [])
    with pytest.raises(AttributeError):
        r.header = []
    s = qt.database_stats(1, 2, 3, 4)
    with pytest.raises(AttributeError):
        s.distributions = 5


@pytest.mark.parametrize("rows", [[], [["x"]], [["1"], ["2"], ["3"], ["4"]]])
def test_len_is_row_count(qt, rows):
    assert len(qt.query_result(["v"], rows)) == len(rows)


def test_to_dicts(qt):
    r = qt.query_result(["k", "v", "k"], [["a", "1", "b"], ["c", "2"], ["d", "3", "e", "extra"]])
    assert r.to_dicts() == [{"k": "b", "v": "1"}, {"k": "c", "v": "2"}, {"k": "e", "v": "3"}]
    one_column = qt.query_result(["region"], [["north"], ["south"]])
    assert one_column.to_dicts() == [{"region": "north"}, {"region": "south"}]
    assert qt.query_result([], [["orphan"]]).to_dicts() == [{}]


def test_unicode_cells_round_trip(qt):
    r = qt.query_result(["naïve"], [["Zürich — 東京"]])
    assert r.rows == [["Zürich — 東京"]] and r.to_dicts() == [{"naïve": "Zürich — 東京"}]


def test_large_tables_convert_cell_for_cell(qt):
    # Columns whose texts repeat (ASCII and not), never repeat, repeat only
    # after the first rows, are empty, or are missing from short rows.
    header = ["label", "unique", "late", "empty", "tail"]
    rows = []
    for i in range(500):
        row = [["north", "Zürich", "南"][i % 3], f"{i / 7:.6f}", "x" if i < 100 else "same", ""]
        if i % 5:
            row.append("→ tail" if i % 2 else str(i))
        if i % 11 == 0:
            row.append("extra")
        rows.append(row)
    r = qt.query_result(header, rows)
    assert r.rows == rows
    assert r.to_dicts() == [dict(zip(header, row)) for row in rows]
    assert r.rows == rows  # a second conversion starts afresh


def test_renderings(qt):
    empty = qt.query_result([], [])
    assert repr(empty) == "" and str(empty) == ""
    r = qt.query_result(["a", "b"], [["1", "x,y"]])
    assert r.to_csv() == 'a,b\n1,"x,y"\n'
    assert r.to_json() == '[\n  {"a": "1", "b": "x,y"}\n]'
    assert repr(r) == str(r) == "a  b  \n─  ───\n1  x,y\n"


def test_result_receiver_checks(qt):
    report = qt.ingest_report(1, 1, 0, 1, 0)
    for method in ("to_csv", "to_json", "to_dicts"):
        with pytest.raises(TypeError) as info:
            getattr(QueryResult, method)(report)
        assert str(info.value) == "'IngestReport' object is not an instance of 'QueryResult'"
    with pytest.raises(TypeError) as info:
        QueryResult.to_dicts(None)
    assert str(info.value) == "'None' is not an instance of 'QueryResult'"
    with pytest.raises(TypeError):
        QueryResult.header.__get__(report)
    with pytest.raises(TypeError):
        QueryResult.__len__(report)


def test_ingest_report(qt):
    r = qt.ingest_report(4, 3, 1, 7, 0)
    assert (r.total_rows, r.processed_rows, r.skipped_rows, r.distributions_updated,
            r.elapsed_ms) == (4, 3, 1, 7, 0)
    assert repr(r) == str(r) == "IngestReport(processed=3, skipped=1, distributions_updated=7, elapsed_ms=0)"


@pytest.mark.parametrize("elapsed", [2**64 - 1, 2**64, 2**100 + 12345, 2**128 - 1])
def test_elapsed_ms_is_exact_above_64_bits(qt, elapsed):
    r = qt.ingest_report(0, 0, 0, 0, elapsed)
    assert r.elapsed_ms == elapsed and type(r.elapsed_ms) is int
    assert repr(r).endswith(f"elapsed_ms={elapsed})")


def test_u64_fields_at_their_limit(qt):
    big = 2**64 - 1
    s = qt.database_stats(big, big, 0, 1)
    assert (s.distributions, s.total_samples, s.variables, s.dimensions) == (big, big, 0, 1)
    assert repr(s) == f"DatabaseStats(distributions={big}, total_samples={big}, variables=0, dimensions=1)"
    r = qt.ingest_report(big, big, big, big, 0)
    assert r.total_rows == big


def test_results_outlive_their_database_and_cross_threads(qt, tmp_path):
    import threading

    db = qt.memory_db(str(tmp_path), writable=False, populated=True)
    stats = db.stats()
    db.close()
    del db
    box = {}
    t = threading.Thread(target=lambda: box.update(v=(stats.total_samples, repr(stats))))
    t.start()
    t.join()
    assert box["v"] == (10, "DatabaseStats(distributions=3, total_samples=10, variables=2, dimensions=1)")


# ---- error mapping ----------------------------------------------------------------


def test_quor_error_carries_full_chain(qt):
    with pytest.raises(Exception) as info:
        qt.engine_error("No such file or directory (os error 2)",
                        ["read file /db/meta.edb", "load meta"])
    err = info.value
    assert type(err).__name__ == "QuorError" and type(err).__module__ == "quor_engine"
    text = "load meta: read file /db/meta.edb: No such file or directory (os error 2)"
    assert str(err) == text and err.args == (text,)


def test_quor_error_of_the_public_module(tmp_path):
    with pytest.raises(quor_engine.QuorError) as info:
        quor_engine.QuorDB.open(str(tmp_path / "missing"))
    assert str(info.value) == f"database path does not exist: {tmp_path / 'missing'}"
    assert info.value.args == (str(info.value),)
    assert isinstance(info.value, Exception)


def test_failed_read_names_the_file(tmp_path):
    path = tmp_path / "db"
    path.mkdir()
    with pytest.raises(quor_engine.QuorError) as info:
        quor_engine.QuorDB.open(str(path))
    assert str(info.value).startswith(f"read file {path / 'meta.edb'}")


@pytest.mark.parametrize("hook", ["panic", "throw_std"])
def test_aborts_become_panic_exception(qt, hook):
    panic = qt.panic_exception()
    assert issubclass(panic, BaseException) and not issubclass(panic, Exception)
    with pytest.raises(panic) as info:
        getattr(qt, hook)("vector lengths must match")
    assert str(info.value) == "vector lengths must match"
    # `except Exception` does not swallow it.
    with pytest.raises(panic):
        try:
            getattr(qt, hook)("again")
        except Exception:
            pass


def test_other_cxx_exceptions_at_the_boundary(qt):
    # A failed allocation is Python's MemoryError; an exception of no
    # standard type is an abort like any other.
    with pytest.raises(MemoryError):
        qt.throw_bad_alloc()
    with pytest.raises(qt.panic_exception(), match="^unknown C\\+\\+ exception$"):
        qt.throw_unknown()


def test_pair_statements_from_python(tmp_path):
    # 60 regions (a dimension: more than 50 values among the inspected rows)
    # with income histograms: ACROSS, PAIRWISE and NEAREST agree with one
    # another and with COMPARE ... BETWEEN, and a repeat gives the same rows.
    import random

    rng = random.Random(3)
    csv = tmp_path / "data.csv"
    lines = ["region,income"]
    for _ in range(40):
        for r in range(60):
            lines.append(f"r{r:02d},{rng.gauss(20 + r, 10):.2f}")
    csv.write_text("\n".join(lines) + "\n")
    with quor_engine.QuorDB.create(str(tmp_path / "db")) as db:
        db.ingest(str(csv))
        across = db.query("COMPARE income ACROSS region")
        assert len(across) == 60 * 59 // 2
        jsd = [float(row[2]) for row in across.rows]
        assert jsd == sorted(jsd, reverse=True)
        assert db.query("COMPARE income ACROSS region").rows == across.rows
        by_pair = {(row[0], row[1]): row for row in across.rows}
        between = db.query("COMPARE income BETWEEN region:r07 AND region:r42").rows
        assert by_pair[("r07", "r42")][2:5] == [between[0][1], between[2][1], between[1][1]]

        matrix = db.query("PAIRWISE region ON income")
        assert matrix.header[1:] == [f"r{r:02d}" for r in range(60)]
        for i in range(60):
            for j in range(60):
                if i != j:
                    assert matrix.rows[i][j + 1] == matrix.rows[j][i + 1]

        nearest = db.query("NEAREST region:r10 ON region LIMIT 100")
        assert len(nearest) == 59
        distances = [float(row[1]) for row in nearest.rows]
        assert distances == sorted(distances)
        for value, distance in nearest.rows:
            pair = ("r10", value) if "r10" < value else (value, "r10")
            assert by_pair[pair][2] == distance
