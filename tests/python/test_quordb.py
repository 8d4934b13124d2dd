import fcntl
import gc
import json
import os
import subprocess
import sys
import threading
import time
import traceback

import pytest

import quor_engine
from quor_engine import QuorDB, QuorError

UNSENDABLE = "quor_engine::QuorDB is unsendable, but sent to another thread"
DROPPED = "quor_engine::QuorDB is unsendable, but is being dropped on another thread"


def run_in_thread(fn):
    """Runs fn on a new thread; returns what it returned or raised."""
    box = {}

    def body():
        try:
            box["value"] = fn()
        except BaseException as err:  # PanicException is not an Exception
            box["error"] = err

    t = threading.Thread(target=body)
    t.start()
    t.join()
    return box


# ---- open / create arguments ------------------------------------------------------


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda: QuorDB.open(), "QuorDB.open() missing 1 required positional argument: 'path'"),
        (lambda: QuorDB.open("a", "rw", 3),
         "QuorDB.open() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: QuorDB.open("a", mood="rw"), "QuorDB.open() got an unexpected keyword argument 'mood'"),
        (lambda: QuorDB.open("a", path="b"), "QuorDB.open() got multiple values for argument 'path'"),
        (lambda: QuorDB.create(), "QuorDB.create() missing 1 required positional argument: 'path'"),
        (lambda: QuorDB.create("a", "b"), "QuorDB.create() takes 1 positional arguments but 2 were given"),
    ],
)
def test_open_create_argument_binding(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("make", [lambda p: p, lambda p: os.fsencode(p), lambda p: 3])
@pytest.mark.parametrize("method", ["open", "create"])
def test_path_must_be_str(tmp_path, make, method):
    value = make(tmp_path / "db")
    with pytest.raises(TypeError) as info:
        getattr(QuorDB, method)(value)
    name = type(value).__name__
    assert str(info.value) == f"argument 'path': '{name}' object is not an instance of 'str'"
    assert isinstance(info.value.__cause__, TypeError)
    assert str(info.value.__cause__) == f"'{name}' object is not an instance of 'str'"


@pytest.mark.parametrize("mode", ["RW", "Read_Write", "READ_ONLY", "", "read-only", " rw"])
def test_unknown_modes(tmp_path, mode):
    with pytest.raises(ValueError) as info:
        QuorDB.open(str(tmp_path), mode)
    assert str(info.value) == f"unknown mode '{mode}'; use 'read_only' or 'read_write'"


def test_mode_must_be_str_and_is_checked_after_path(tmp_path):
    with pytest.raises(TypeError, match=r"^argument 'mode': 'int' object is not an instance of 'str'$"):
        QuorDB.open(str(tmp_path), 1)
    with pytest.raises(TypeError, match=r"^argument 'path'"):
        QuorDB.open(1, "bogus")


def test_lone_surrogate_path_keeps_host_error():
    with pytest.raises(UnicodeEncodeError):
        QuorDB.open("\udcff")


def test_open_missing_directory(tmp_path):
    missing = tmp_path / "nope"
    with pytest.raises(QuorError) as info:
        QuorDB.open(str(missing))
    assert str(info.value) == f"database path does not exist: {missing}"


def test_path_with_nul_byte_reaches_no_other_directory(tmp_path):
    # The text after the NUL must not be cut off: "db\0junk" is not "db".
    bad = str(tmp_path / "db") + "\0junk"
    with pytest.raises(QuorError) as info:
        QuorDB.create(bad)
    assert str(info.value) == f"create db dir {bad}: file name contained an unexpected NUL byte"
    assert list(tmp_path.iterdir()) == []
    QuorDB.create(str(tmp_path / "db")).close()
    for mode in ("rw", "ro"):
        with pytest.raises(QuorError) as info:
            QuorDB.open(bad, mode)
        assert str(info.value) == f"database path does not exist: {bad}"


@pytest.mark.parametrize("mode", [None, "read_write", "rw", "read_only", "ro"])
def test_accepted_modes(tmp_path, mode):
    path = str(tmp_path / "db")
    QuorDB.create(path).close()
    db = QuorDB.open(path, mode) if mode is not None else QuorDB.open(path)
    assert db.stats().distributions == 0
    db.close()


# ---- the prologue order -----------------------------------------------------------


def test_binding_precedes_receiver_check(mem_db):
    with pytest.raises(TypeError) as info:
        QuorDB.query(5)
    assert str(info.value) == "QuorDB.query() missing 1 required positional argument: 'sql_str'"
    with pytest.raises(TypeError) as info:
        QuorDB.stats(5, 6)
    assert str(info.value) == "QuorDB.stats() takes no arguments (1 given)"
    with pytest.raises(TypeError) as info:
        mem_db.query("x", sql="y")
    assert str(info.value) == "QuorDB.query() got an unexpected keyword argument 'sql'"
    with pytest.raises(TypeError) as info:
        mem_db.flush(verbose=True)
    assert str(info.value) == "QuorDB.flush() takes no keyword arguments"
    with pytest.raises(TypeError) as info:
        QuorDB.close()
    assert str(info.value) == "unbound method QuorDB.close() needs an argument"


@pytest.mark.parametrize("method,args", [("stats", ()), ("query", ("STATS",)), ("close", ()),
                                         ("__enter__", ()), ("__exit__", (None, None, None))])
@pytest.mark.parametrize("receiver,text", [(5, "'int' object is not an instance of 'QuorDB'"),
                                           (None, "'None' is not an instance of 'QuorDB'")])
def test_receiver_check(method, args, receiver, text):
    with pytest.raises(TypeError) as info:
        getattr(QuorDB, method)(receiver, *args)
    assert str(info.value) == text


def test_receiver_precedes_owner_thread():
    box = run_in_thread(lambda: QuorDB.stats("not a db"))
    assert type(box["error"]) is TypeError


def test_owner_thread_check(qt, mem_db):
    panic = qt.panic_exception()
    for call in (mem_db.stats, mem_db.flush, mem_db.close, mem_db.__enter__,
                 lambda: mem_db.query("STATS"), lambda: mem_db.__exit__(None, None, None)):
        box = run_in_thread(call)
        err = box["error"]
        assert isinstance(err, panic) and not isinstance(err, Exception)
        lines = str(err).split("\n")
        assert lines[0] == f"assertion `left == right` failed: {UNSENDABLE}"
        assert lines[1].startswith("  left: ThreadId(") and lines[2].startswith(" right: ThreadId(")
        assert lines[1].split(":")[1] != lines[2].split(":")[1]
    # The owner can still use it, and it is still open.
    assert mem_db.stats().distributions == 3


def test_owner_thread_precedes_borrow(qt, mem_db):
    panic = qt.panic_exception()
    box = {}
    qt.hold_borrow(mem_db, True, lambda: box.update(run_in_thread(mem_db.stats)))
    assert isinstance(box["error"], panic)


@pytest.mark.parametrize("exclusive,calls,message", [
    (True, ["flush", "stats", "schema", "__enter__", "query"], "Already mutably borrowed"),
    (True, ["close", "__exit__"], "Already borrowed"),
    (False, ["close", "__exit__"], "Already borrowed"),
])
def test_borrow_conflicts(qt, mem_db, exclusive, calls, message):
    for name in calls:
        args = ("STATS",) if name == "query" else ()
        with pytest.raises(RuntimeError) as info:
            qt.hold_borrow(mem_db, exclusive, lambda: getattr(mem_db, name)(*args))
        assert str(info.value) == message
    # Every borrow was given back.
    assert mem_db.stats().variables == 2
    qt.hold_borrow(mem_db, True, lambda: None)


def test_shared_borrows_coexist(qt, mem_db):
    got = qt.hold_borrow(mem_db, False, lambda: mem_db.stats())
    assert got.dimensions == 1
    assert qt.hold_borrow(mem_db, False, mem_db.__enter__) is mem_db


def test_borrow_precedes_argument_conversion(qt, mem_db):
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        qt.hold_borrow(mem_db, True, lambda: mem_db.query(5))


def test_argument_conversion_precedes_closed_check(mem_db):
    mem_db.close()
    with pytest.raises(TypeError) as info:
        mem_db.query(b"STATS")
    assert str(info.value) == "argument 'sql_str': 'bytes' object is not an instance of 'str'"
    with pytest.raises(RuntimeError, match="^database is closed$"):
        mem_db.query("STATS")


# ---- closed objects and `with` ----------------------------------------------------


def test_closed_object(mem_db):
    assert mem_db.close() is None
    for call in (mem_db.flush, mem_db.stats, mem_db.schema, lambda: mem_db.query(""),
                 lambda: mem_db.query("anything at all")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "database is closed"
    assert mem_db.close() is None
    with mem_db as entered:
        assert entered is mem_db
    assert mem_db.__exit__(None, None, None) is False


def test_with_binds_same_object_and_closes(mem_db):
    with mem_db as db:
        assert db is mem_db
        assert db.stats().total_samples == 10
    with pytest.raises(RuntimeError, match="database is closed"):
        mem_db.stats()


def test_with_propagates_block_exception_and_closes(mem_db):
    with pytest.raises(KeyError):
        with mem_db:
            raise KeyError("boom")
    with pytest.raises(RuntimeError, match="database is closed"):
        mem_db.stats()


def test_exit_accepts_any_arguments(mem_db):
    assert mem_db.__exit__(1, _exc_tb=object(), _exc_val="x") is False
    with pytest.raises(TypeError, match=r"takes from 0 to 3 positional arguments but 4 were given"):
        mem_db.__exit__(1, 2, 3, 4)


def test_failed_flush_on_close_still_closes(qt, tmp_path):
    # A writable database whose directory is gone: the flush fails.
    db = qt.memory_db(str(tmp_path / "gone" / "deeper"), writable=True)
    with pytest.raises(qt.QuorError):
        db.close()
    with pytest.raises(RuntimeError, match="database is closed"):
        db.flush()
    assert db.close() is None


def test_failed_flush_in_exit_replaces_block_exception(qt, tmp_path):
    db = qt.memory_db(str(tmp_path / "gone" / "deeper"), writable=True)
    with pytest.raises(qt.QuorError) as info:
        with db:
            raise KeyError("inner")
    assert isinstance(info.value.__context__, KeyError)


def test_read_only_flush_writes_nothing(mem_db, tmp_path):
    assert mem_db.flush() is None
    assert list(tmp_path.iterdir()) == []


def test_stats_counts(mem_db):
    s = mem_db.stats()
    assert (s.distributions, s.total_samples, s.variables, s.dimensions) == (3, 10, 2, 1)


# ---- destruction ----------------------------------------------------------------


def test_drop_on_foreign_thread_is_reported_and_handed_back(qt, tmp_path, monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    before = qt.handed_back()
    holder = [qt.memory_db(str(tmp_path), writable=False)]
    run_in_thread(holder.clear)
    assert len(seen) == 1
    assert type(seen[0]) is RuntimeError and str(seen[0]) == DROPPED
    assert qt.handed_back() == before + 1
    # The owner's next call releases it.
    other = qt.memory_db(str(tmp_path), writable=False)
    other.stats()
    assert qt.handed_back() == before


def test_state_handed_back_to_ended_owner_thread_is_released(qt, tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda u: None)
    before = qt.handed_back()
    made = threading.Event()
    dropped = threading.Event()
    holder = []

    def owner():
        holder.append(qt.memory_db(str(tmp_path), writable=False))
        made.set()
        dropped.wait()

    t = threading.Thread(target=owner)
    t.start()
    made.wait()
    holder.pop()  # dropped here, on the main thread
    assert qt.handed_back() == before + 1
    dropped.set()
    t.join()
    # The state goes as the thread's C++ storage is destroyed, which the OS
    # thread does after join() has already returned: wait for it.
    deadline = time.monotonic() + 10
    while qt.handed_back() != before and time.monotonic() < deadline:
        time.sleep(0.001)
    assert qt.handed_back() == before


def test_close_releases_lock(tmp_path):
    path = str(tmp_path / "db")
    db = QuorDB.create(path)
    db.close()
    QuorDB.open(path).close()


def test_with_releases_lock(tmp_path):
    path = str(tmp_path / "db")
    with QuorDB.create(path):
        pass
    with QuorDB.open(path, "rw") as again:
        assert again.stats().variables == 0


def test_destruction_releases_lock(tmp_path):
    path = str(tmp_path / "db")
    db = QuorDB.create(path)
    del db
    QuorDB.open(path).close()


def test_second_read_write_open_in_this_process_is_refused_through_either_module(qt, tmp_path):
    # quor_engine and _quor_engine_testing each keep their own record of the
    # directories they hold; the lock itself tells the other one.
    path = str(tmp_path / "db")
    refusal = f"database {path} is already open read-write in this process"
    for first, second in [(quor_engine, qt), (qt, quor_engine), (quor_engine, quor_engine)]:
        with first.QuorDB.create(path):
            with pytest.raises(second.QuorError) as info:
                second.QuorDB.open(path, "rw")
            assert str(info.value) == refusal
            second.QuorDB.open(path, "read_only").close()
        with second.QuorDB.open(path, "rw"):
            pass


def test_lock_is_released_for_other_processes(tmp_path):
    path = str(tmp_path / "db")
    db = QuorDB.create(path)
    db.close()
    code = f"import quor_engine; quor_engine.QuorDB.open({path!r}).close(); print('ok')"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.strip() == "ok", out.stderr


def lock_is_held(db_path):
    """True when the database's lock is taken: flock locks belong to open file
    descriptions, so a fresh descriptor of this process meets it as any other
    process would."""
    fd = os.open(os.path.join(db_path, "lock.edb"), os.O_RDWR)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    finally:
        os.close(fd)
    return False


def data_files(db_path):
    names = ["meta.edb", "distributions.edb", "dist_index.edb", "snapshots.edb",
             os.path.join("raw", "log_000001.raw")]
    return {n: open(os.path.join(db_path, n), "rb").read() for n in names}


def seeded_db(tmp_path):
    """A read-write database with one distribution: score by region."""
    (tmp_path / "in.csv").write_text("region,score\nEU,0.5\n")
    db = QuorDB.create(str(tmp_path / "db"))
    db.ingest(str(tmp_path / "in.csv"), max_categories=0)  # region: a dimension
    return db


def run_forked(child):
    """Runs child() in a forked process and returns its exit code: 0 when it
    returned, 1 when it raised (the traceback goes to stderr)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            child()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def close_copy(holder):
    holder[0].close()


def exit_copy(holder):
    with holder[0]:
        pass


def drop_copy(holder):
    holder.clear()  # the only reference: destroyed here
    gc.collect()


def flush_copy(holder, owner):
    with pytest.raises(QuorError) as info:
        holder[0].flush()
    assert str(info.value) == (f"database was opened read-write by process {owner}; "
                               "a forked copy cannot write it")
    holder[0].close()


def ingest_in_copy(holder, owner):
    db = holder[0]
    with pytest.raises(QuorError, match=f"by process {owner}; a forked copy cannot write it"):
        db.ingest_records([{"region": "EU", "score": 9.0}])
    with pytest.raises(QuorError, match="a forked copy cannot write it"):
        db.ingest(os.devnull + ".csv")
    # Reading the copy is fine.
    assert db.stats().distributions == 1
    assert db.query("STATS").rows


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded")
@pytest.mark.parametrize("action", [close_copy, exit_copy, drop_copy, flush_copy, ingest_in_copy])
def test_forked_copy_neither_unlocks_nor_writes(tmp_path, action):
    path = str(tmp_path / "db")
    holder = [seeded_db(tmp_path)]
    before = data_files(path)
    owner = os.getpid()
    args = (holder,) if action in (close_copy, exit_copy, drop_copy) else (holder, owner)
    assert run_forked(lambda: action(*args)) == 0
    # The parent still holds the lock and its files are as it left them.
    assert lock_is_held(path)
    assert data_files(path) == before
    db = holder[0]
    db.ingest_records([{"region": "US", "score": 0.25}])
    db.close()
    assert not lock_is_held(path)
    with QuorDB.open(path, "ro") as again:
        assert (again.stats().distributions, again.stats().total_samples) == (2, 2)


def test_forked_child_that_just_exits_keeps_the_parents_lock(tmp_path):
    # The child ends through the interpreter's own shutdown, which destroys
    # its copy of the object; the lock stays taken and a third process must
    # still wait for the parent.
    path, csv = str(tmp_path / "db"), str(tmp_path / "in.csv")
    code = f"""
import fcntl, os, subprocess, sys, warnings
warnings.simplefilter("ignore", DeprecationWarning)
import quor_engine
open({csv!r}, "w").write("region,score\\nEU,0.5\\n")
db = quor_engine.QuorDB.create({path!r})
db.ingest({csv!r}, max_categories=0)
pid = os.fork()
if pid == 0:
    sys.exit(0)
os.waitpid(pid, 0)
fd = os.open(os.path.join({path!r}, "lock.edb"), os.O_RDWR)
try:
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    print("free")
except BlockingIOError:
    print("held")
os.close(fd)
try:
    subprocess.run([sys.executable, "-c",
                    "import quor_engine; quor_engine.QuorDB.open({path!r}).close()"],
                   timeout=1.5, capture_output=True)
    print("third process got in")
except subprocess.TimeoutExpired:
    print("third process waits")
db.ingest_records([{{"region": "US", "score": 0.25}}])
db.close()
with quor_engine.QuorDB.open({path!r}, "ro") as again:
    print(again.stats().total_samples)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.split() == ["held", "third", "process", "waits", "2"], out.stderr


def test_lock_descriptor_is_not_inherited_by_exec(tmp_path):
    path = str(tmp_path / "db")
    with QuorDB.create(path):
        lock = os.path.realpath(os.path.join(path, "lock.edb"))
        fds = [int(fd) for fd in os.listdir("/proc/self/fd")
               if os.path.realpath(f"/proc/self/fd/{fd}") == lock]
        assert len(fds) == 1
        assert fcntl.fcntl(fds[0], fcntl.F_GETFD) & fcntl.FD_CLOEXEC
        listing = subprocess.run(["ls", "-l", "/proc/self/fd"], close_fds=False,
                                 capture_output=True, text=True).stdout
        assert "lock.edb" not in listing


def test_create_reopens_existing_database(tmp_path):
    path = tmp_path / "db"
    QuorDB.create(str(path)).close()
    files = {p.name: p.read_bytes() for p in path.iterdir() if p.is_file()}
    QuorDB.create(str(path)).close()
    assert {p.name: p.read_bytes() for p in path.iterdir() if p.is_file()} == files


def test_schema_dict(mem_db):
    schema = mem_db.schema()
    assert schema == {
        "variables": [
            {"name": "x", "var_type": {"Continuous": {"bins": 4, "range": [0.0, 1.0]}}},
            {"name": "c", "var_type": {"Categorical": {"categories": ["a", "b"],
                                                       "allow_unknown": False}}},
        ],
        "dimensions": [{"name": "region", "source_column": "region", "granularity": None}],
        "joints": [],
    }
    assert list(schema) == ["variables", "dimensions", "joints"]
    assert type(schema["variables"][0]["var_type"]["Continuous"]["range"][1]) is float
    assert mem_db.schema() is not schema


def test_schema_calls_json_loads_under_shared_borrow(mem_db, monkeypatch):
    real = json.loads

    def spy(text):
        assert isinstance(text, str)
        assert mem_db.stats().variables == 2  # shared borrows coexist
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            mem_db.close()
        return real(text)

    monkeypatch.setattr(json, "loads", spy)
    assert mem_db.schema()["joints"] == []


def test_schema_passes_json_errors_through(mem_db, monkeypatch):
    def broken(text):
        raise ValueError("no json today")

    monkeypatch.setattr(json, "loads", broken)
    with pytest.raises(ValueError, match="no json today"):
        mem_db.schema()


def test_schema_of_new_database(tmp_path):
    with QuorDB.create(str(tmp_path / "db")) as db:
        assert db.schema() == {"variables": [], "dimensions": [], "joints": []}


def test_query_runs_against_the_database(mem_db):
    r = mem_db.query("STATS")
    assert type(r).__name__ == "QueryResult" and len(r) == 4
    assert r.to_dicts()[0] == {"Stat": "Distributions", "Value": "3"}
    assert mem_db.query(sql_str="DIMENSIONS region").to_dicts() == [{"region": "north"},
                                                                      {"region": "south"}]


@pytest.mark.parametrize("text,message", [
    ("", "parse error: empty query"),
    ("   ", "parse error: empty query"),
])
def test_parse_errors_are_quor_errors(qt, mem_db, text, message):
    with pytest.raises(qt.QuorError) as info:
        mem_db.query(text)
    assert str(info.value) == message
    assert info.value.args == (message,)
    # The object is unchanged by the failure.
    assert len(mem_db.query("STATS")) == 4
