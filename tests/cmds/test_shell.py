import sys
import types

import pytest

from hostile import Boom

from .doubles import no_such_option

HINT = "请安装ipython:pip install ipython\n"

SHELL_HELP = (
    "Usage: cli shell [OPTIONS]\n"
    "\n"
    "  打开 ipython 并执行 tovi.init\n"
    "\n"
    "Options:\n"
    "  --help  Show this message and exit.\n"
)


@pytest.fixture
def ipython(monkeypatch):
    """A stand-in IPython whose embed records how it was called."""
    module = types.ModuleType("IPython")
    module.calls = []

    def embed(*args, **kwargs):
        module.calls.append((args, kwargs))

    module.embed = embed
    monkeypatch.setitem(sys.modules, "IPython", module)
    return module


def test_help(cmds, runner):
    result = runner.invoke(cmds.cli, ["shell", "--help"])
    assert (result.exit_code, result.output) == (0, SHELL_HELP)
    assert cmds.shell.callback.__doc__.strip() == "打开 ipython 并执行 tovi.init"
    assert cmds.shell.params == []


def test_runs_embed_with_no_arguments(cmds, runner, ipython, fake_kit):
    result = runner.invoke(cmds.cli, ["shell"])
    assert (result.exit_code, result.output) == (0, "")
    assert ipython.calls == [((), {})]
    assert fake_kit.calls == []


def test_embed_is_imported_on_every_run(cmds, runner, ipython, monkeypatch):
    runner.invoke(cmds.cli, ["shell"])
    other = types.ModuleType("IPython")
    other.embed = lambda: ipython.calls.append("second module")
    monkeypatch.setitem(sys.modules, "IPython", other)
    result = runner.invoke(cmds.cli, ["shell"])
    assert result.exit_code == 0
    assert ipython.calls == [((), {}), "second module"]


@pytest.mark.parametrize("how", ["blocked", "no embed"])
def test_missing_ipython_prints_the_install_hint(cmds, runner, monkeypatch, how):
    monkeypatch.setitem(sys.modules, "IPython", None if how == "blocked" else types.ModuleType("IPython"))
    result = runner.invoke(cmds.cli, ["shell"])
    assert (result.exit_code, result.output) == (0, HINT)


@pytest.mark.parametrize("error, caught", [
    (ImportError("no"), True),
    (ModuleNotFoundError("No module named 'IPython'", name="IPython"), True),
    (type("CustomImportError", (ImportError,), {})("x"), True),
    (Boom("broken install"), False),
    (SyntaxError("bad"), False),
])
def test_only_import_errors_are_caught(cmds, runner, monkeypatch, error, caught):
    import builtins
    real = builtins.__import__

    def importing(name, *args, **kwargs):
        if name == "IPython":
            raise error
        return real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", importing)
    result = runner.invoke(cmds.cli, ["shell"])
    if caught:
        assert (result.exit_code, result.output, result.exception) == (0, HINT, None)
    else:
        assert result.exception is error
        assert result.output == ""


def test_import_call_form(cmds, runner, ipython, imports):
    runner.invoke(cmds.cli, ["shell"])
    seen = [call for call in imports if call[0] == "IPython"]
    assert len(seen) == 1
    name, globals_, locals_, fromlist, level = seen[0]
    assert globals_ is vars(cmds)
    assert (locals_, fromlist, level) == (None, ("embed",), 0)


def test_uses_what_the_import_returned(cmds, runner, monkeypatch):
    import builtins
    real = builtins.__import__
    called = []
    returned = types.SimpleNamespace(embed=lambda: called.append("returned module"))

    def importing(name, *args, **kwargs):
        return returned if name == "IPython" else real(name, *args, **kwargs)

    monkeypatch.setitem(sys.modules, "IPython", None)
    monkeypatch.setattr(builtins, "__import__", importing)
    result = runner.invoke(cmds.cli, ["shell"])
    assert (result.exit_code, result.output, called) == (0, "", ["returned module"])


def test_embed_errors_pass_out(cmds, runner, ipython):
    def embed():
        raise Boom("shell crashed")

    ipython.embed = embed
    with pytest.raises(Boom, match="shell crashed"):
        runner.invoke(cmds.cli, ["shell"], catch_exceptions=False)


def test_hint_goes_through_the_module_click(cmds, runner, monkeypatch):
    echoed = []
    monkeypatch.setitem(sys.modules, "IPython", None)
    monkeypatch.setattr(cmds, "click", types.SimpleNamespace(echo=lambda *a, **k: echoed.append((a, k))))
    result = runner.invoke(cmds.cli, ["shell"])
    assert (result.exit_code, result.output) == (0, "")
    assert echoed == [(("请安装ipython:pip install ipython",), {})]


@pytest.mark.parametrize("args, error", [
    (["extra"], "Error: Got unexpected extra argument (extra)\n"),
    (["-h"], no_such_option("-h")),
    (["--yes"], no_such_option("--yes")),
])
def test_takes_no_options_or_arguments(cmds, runner, ipython, args, error):
    result = runner.invoke(cmds.cli, ["shell", *args])
    assert result.exit_code == 2
    assert result.stderr.endswith(error)
    assert ipython.calls == []


def test_direct_call_returns_none(cmds, ipython, monkeypatch):
    assert cmds.shell.callback() is None
    monkeypatch.setitem(sys.modules, "IPython", None)
    assert cmds.shell.callback() is None
