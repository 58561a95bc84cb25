"""The account store's stress checks, scaled down to seconds; scripts/stress_account_store.py runs them in full."""
import importlib.util
import os
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "stress_account_store.py"


@pytest.fixture(scope="module")
def stress():
    spec = importlib.util.spec_from_file_location("stress_account_store", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(autouse=True)
def umask_000():
    old = os.umask(0)
    yield
    os.umask(old)


def test_concurrent_writers_and_reader(stress):
    figures = stress.concurrent_writes(writers=8, writes=10)
    assert figures["violations"] == []
    assert figures["writes_found"] == figures["writes"] == 80
    assert figures["reads"] > 0


def test_killed_writers_leave_old_or_new_value(stress):
    figures = stress.killed_writes(kills=20, seed=20)
    assert figures["violations"] == []
    assert figures["kills"] == 20
