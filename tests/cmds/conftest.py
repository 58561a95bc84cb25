import builtins
import importlib
import sys

import pytest

from click_runner import cli_runner

from .doubles import Kit, Store


@pytest.fixture
def runner():
    return cli_runner()


@pytest.fixture
def cmds():
    return importlib.import_module("vantorel.ombrel.sdk.cmds")


@pytest.fixture
def fake_kit(monkeypatch):
    kit = Kit()
    for name, module in kit.modules.items():
        monkeypatch.setitem(sys.modules, name, module)
    return kit


@pytest.fixture
def store(cmds, monkeypatch):
    fake = Store()
    monkeypatch.setattr(cmds, "get_license_info", fake.get_license_info)
    monkeypatch.setattr(cmds, "set_to_environ", fake.set_to_environ)
    return fake


@pytest.fixture
def imports(monkeypatch):
    """Every call of builtins.__import__ while the test runs, as (name, globals, locals, fromlist, level)."""
    seen = []
    real = builtins.__import__

    def recording(name, globals=None, locals=None, fromlist=(), level=0):
        seen.append((name, globals, locals, fromlist, level))
        return real(name, globals, locals, fromlist, level)

    monkeypatch.setattr(builtins, "__import__", recording)
    return seen
