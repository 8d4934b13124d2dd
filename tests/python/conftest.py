"""Shared fixtures for the quor_engine suite.

`quor_engine` is the module as installed. `_quor_engine_testing` is the same
code built with a few extra functions that hand-build engine values (an
in-memory database, result objects) and reach states the public surface
cannot make on demand (a held borrow, an engine assertion).
"""

import pytest

import quor_engine
import _quor_engine_testing


@pytest.fixture
def qe():
    return quor_engine


@pytest.fixture
def qt():
    return _quor_engine_testing


@pytest.fixture
def mem_db(qt, tmp_path):
    """A read-only in-memory database: flush and close never write."""
    return qt.memory_db(str(tmp_path), writable=False, populated=True)
