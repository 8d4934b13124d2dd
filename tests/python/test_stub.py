"""The stub python/quor_engine.pyi against the module it describes.

The stub must name exactly what the module defines (module names, each
class's methods and properties, of the same kind and with the same
parameters), and a type checker must accept the typed example with it and
refuse a misuse, so that a stub fallen back to Any would fail too.
"""

import ast
import inspect
import os
import pathlib
import shutil
import subprocess

import pytest

import quor_engine

ROOT = pathlib.Path(__file__).resolve().parents[2]
STUB = ROOT / "python" / "quor_engine.pyi"
TYPED_EXAMPLE = ROOT / "examples" / "typed_usage.py"

# What the type machinery puts into every class's dict.
TYPE_MACHINERY = {"__doc__", "__module__", "__weakref__", "__dict__"}


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_all(tree):
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["__all__"]:
            return ast.literal_eval(node.value)
    return None


def stub_classes(tree):
    return {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def member_kind(fn):
    decorators = {d.id for d in fn.decorator_list if isinstance(d, ast.Name)}
    if "property" in decorators:
        return "property"
    if "staticmethod" in decorators:
        return "static"
    return "method"


def stub_members(cls_node):
    """name -> (kind, parameters after self as (name, default text or None))."""
    members = {}
    for fn in cls_node.body:
        if not isinstance(fn, ast.FunctionDef):
            continue
        kind = member_kind(fn)
        args = fn.args.posonlyargs + fn.args.args
        if kind != "static":
            assert args and args[0].arg == "self", fn.name
            args = args[1:]
        defaults = [None] * (len(args) - len(fn.args.defaults)) + [
            ast.unparse(d) for d in fn.args.defaults]
        members[fn.name] = (kind, [(a.arg, d) for a, d in zip(args, defaults)])
    return members


def runtime_members(cls):
    members = {}
    for name, raw in vars(cls).items():
        if name in TYPE_MACHINERY:
            continue
        if inspect.isdatadescriptor(raw) and not callable(raw):
            members[name] = ("property", [])
            continue
        kind = "static" if isinstance(raw, staticmethod) else "method"
        params = [
            (p.name, None if p.default is inspect.Parameter.empty else repr(p.default))
            for p in inspect.signature(getattr(cls, name)).parameters.values()
            if p.name != "self"
        ]
        members[name] = (kind, params)
    return members


def test_stub_names_the_module_members():
    tree = stub_tree()
    assert stub_all(tree) == quor_engine.__all__
    public = {n for n in dir(quor_engine) if not n.startswith("_")}
    assert set(stub_classes(tree)) == public


@pytest.mark.parametrize("name", quor_engine.__all__)
def test_stub_class_matches_the_module(name):
    node = stub_classes(stub_tree())[name]
    cls = getattr(quor_engine, name)
    assert ast.get_docstring(node), name
    assert stub_members(node) == runtime_members(cls)
    bases = [ast.unparse(b) for b in node.bases]
    assert bases == [b.__name__ for b in cls.__bases__ if b is not object]


def test_every_stub_member_has_a_docstring():
    for cls_name, node in stub_classes(stub_tree()).items():
        for fn in node.body:
            if isinstance(fn, ast.FunctionDef):
                assert ast.get_docstring(fn), f"{cls_name}.{fn.name}"


def run_mypy(tmp_path, target):
    mypy = shutil.which("mypy")
    if mypy is None:
        pytest.skip("mypy is not installed (Debian package mypy; make deps)")
    # mypy reads the stub, not the module: it runs without the suite's
    # module path and without the sanitizer runtime the asan suite preloads.
    env = dict(os.environ, MYPYPATH=str(STUB.parent))
    for name in ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env.pop(name, None)
    return subprocess.run(
        [mypy, "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "mypy-cache"),
         "--no-error-summary", str(target)],
        env=env, capture_output=True, text=True, cwd=tmp_path)


def test_mypy_strict_accepts_the_typed_example(tmp_path):
    done = run_mypy(tmp_path, TYPED_EXAMPLE)
    assert done.returncode == 0, done.stdout + done.stderr


MISUSES = {
    "query takes a str": 'db.query(5)',
    "query returns a QueryResult": 'n: int = db.query("STATS")',
    "cells are str": 'x: int = db.query("STATS").rows[0][0]',
    "report counts are int": 's: str = db.stats().distributions',
    "open is static and returns QuorDB": 'quor_engine.QuorDB.open("/x").nosuch()',
    "ingest_records takes a list": 'db.ingest_records({"a": 1})',
    "QuorError is an Exception": 'e: ValueError = quor_engine.QuorError("x")',
}


def test_mypy_strict_refuses_misuse(tmp_path):
    lines = ["import quor_engine", 'db = quor_engine.QuorDB.create("/tmp/x")']
    lines += [f"{code}  # {why}" for why, code in MISUSES.items()]
    source = tmp_path / "misuse.py"
    source.write_text("\n".join(lines) + "\n")
    done = run_mypy(tmp_path, source)
    flagged = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    missed = [why for i, why in enumerate(MISUSES, start=3) if i not in flagged]
    assert not missed, done.stdout
    assert flagged <= set(range(3, 3 + len(MISUSES))), done.stdout
