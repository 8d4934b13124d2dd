import gc
import importlib
import inspect
import weakref

import pytest

import quor_engine

CLASSES = ["QuorDB", "QueryResult", "DatabaseStats", "IngestReport"]


def test_module_members_in_order():
    assert quor_engine.__all__ == CLASSES + ["QuorError"]
    assert quor_engine.__doc__ == ""
    public = [n for n in dir(quor_engine) if not n.startswith("__")]
    assert sorted(public) == sorted(quor_engine.__all__)


def test_reimport_gives_same_objects():
    again = importlib.import_module("quor_engine")
    assert again is quor_engine
    for name in quor_engine.__all__:
        assert getattr(again, name) is getattr(quor_engine, name)


@pytest.mark.parametrize("name", CLASSES)
def test_class_properties(name):
    cls = getattr(quor_engine, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__doc__ is None
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_quor_error_class():
    err = quor_engine.QuorError
    assert err.__module__ == "quor_engine"
    assert err.__name__ == "QuorError"
    assert err.__bases__ == (Exception,)
    assert err.__doc__ is None


SIGNATURES = {
    ("QuorDB", "open"): "(path, mode=None)",
    ("QuorDB", "create"): "(path)",
    ("QuorDB", "flush"): "()",
    ("QuorDB", "close"): "()",
    ("QuorDB", "__enter__"): "()",
    ("QuorDB", "__exit__"): "(_exc_type=None, _exc_val=None, _exc_tb=None)",
    ("QuorDB", "stats"): "()",
    ("QuorDB", "schema"): "()",
    ("QuorDB", "query"): "(sql_str)",
    ("QueryResult", "to_csv"): "()",
    ("QueryResult", "to_json"): "()",
    ("QueryResult", "to_dicts"): "()",
}


@pytest.mark.parametrize("cls,method", sorted(SIGNATURES))
def test_text_signatures(qt, tmp_path, cls, method):
    samples = {
        "QuorDB": qt.memory_db(str(tmp_path), writable=False),
        "QueryResult": qt.query_result(["a"], [["1"]]),
    }
    bound = getattr(samples[cls], method)
    assert str(inspect.signature(bound)) == SIGNATURES[(cls, method)]
    assert getattr(getattr(quor_engine, cls), method).__doc__ is None


def test_instances_have_no_dict_weakref_or_gc(qt, tmp_path):
    objects = [
        qt.memory_db(str(tmp_path), writable=False),
        qt.query_result([], []),
        qt.database_stats(0, 0, 0, 0),
        qt.ingest_report(0, 0, 0, 0, 0),
    ]
    for obj in objects:
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.extra = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)
        assert not gc.is_tracked(obj)


def test_import_touches_nothing(tmp_path):
    import subprocess
    import sys

    code = "import threading, quor_engine; print(threading.active_count())"
    out = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                         text=True, check=True)
    assert out.stdout.strip() == "1"
    assert list(tmp_path.iterdir()) == []
