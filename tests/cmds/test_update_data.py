import builtins
import importlib
import inspect
import os
import sys
import types

import click
import pytest

from help_texts import UPDATE_DESCRIPTION
from hostile import BadBool, Boom

from .doubles import no_such_option, BUNDLE, LOGIN, SCRIPTS, HELP_ROW, options_section, path_row, \
    python_import_error

DOC = [
    "更新运行回测所需的历史数据",
    "",
    "\b",
    "例如：",
    "* 更新日线数据： vantorel update-data --base",
    "* 更新股票、期权分钟数据： vantorel update-data --minbar stock --minbar option",
    "* 更新鸡蛋期货合约tick数据： vantorel update-data --tick JD",
    "* 更新豆粕1905及其合约的衍生品tick数据： vantorel update-data --tick M1905 --with-derivatives",
    "* 更新已下载的分钟线和tick数据： vantorel update-data --smart",
]



def option_rows(cmds):
    tags = ", ".join(cmds.TAG_MAP)
    return [
        path_row(cmds.DEFAULT_BUNDLE_PATH),
        ("--base", "更新基础数据及日线，注意：任何回测都需要依赖基础数据"),
        ("--minbar TEXT", f"更新分钟线数据，可选的参数值有 [{tags}] 或 underlying_symbol 或 market_code"),
        ("--tick TEXT", f"更新tick数据，可选的参数值有 [{tags}] 或 underlying_symbol 或 market_code"),
        ("--with-derivatives", "更新分钟线和 tick 时同时更新选择的合约的衍生品数据"),
        ("-c, --concurrency INTEGER", "并行的线程数量，需要低于 corvane 的最大可用连接数"),
        ("--smart", "检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据"),
        ("--rebuild", "将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效"),
        HELP_ROW,
    ]


def help_page(cmds, usage, width=80):
    return f"Usage: {usage}\n\n{UPDATE_DESCRIPTION}\n{options_section(option_rows(cmds), width)}"


def corvane(path, concurrency=3, base=False, minbar=(), tick=(), with_derivatives=False, rebuild=False):
    return ("update_bundle_from_corvane", (concurrency, path, base, minbar, tick, with_derivatives),
            {"rebuild": rebuild})


def exist_file(path, concurrency=3):
    return ("update_bundle_from_exist_file", (concurrency, path), {})


SIGN_IN = ("init_tovi", (), {})


@pytest.fixture
def bundle(tmp_path):
    """A bundle path whose "bundle" sub-directory does not exist."""
    return str(tmp_path / "data")


def test_help(cmds, runner):
    result = runner.invoke(cmds.cli, ["update-data", "--help"], terminal_width=200, max_content_width=200)
    assert (result.exit_code, result.output) == (0, help_page(cmds, "cli update-data [OPTIONS]", 200))
    assert inspect.cleandoc(cmds.update_data.callback.__doc__).split("\n") == DOC


def test_help_at_80_columns(cmds, runner):
    result = runner.invoke(cmds.cli, ["update-data", "--help"])
    assert (result.exit_code, result.output) == (0, help_page(cmds, "cli update-data [OPTIONS]"))


def test_options(cmds):
    described = [(p.name, p.opts, p.secondary_opts, p.is_flag, p.multiple, p.required)
                 for p in cmds.update_data.params]
    assert described == [
        ("data_bundle_path", ["-d", "--data-bundle-path"], [], False, False, False),
        ("base", ["--base"], [], True, False, False),
        ("minbar", ["--minbar"], [], False, True, False),
        ("tick", ["--tick"], [], False, True, False),
        ("with_derivatives", ["--with-derivatives"], [], True, False, False),
        ("concurrency", ["-c", "--concurrency"], [], False, False, False),
        ("smart", ["--smart"], [], True, False, False),
        ("rebuild", ["--rebuild"], [], True, False, False),
    ]
    assert cmds.update_data.params[0].default == cmds.DEFAULT_BUNDLE_PATH
    assert cmds.update_data.params[5].default == 3
    path_type = cmds.update_data.params[0].type
    assert path_type.to_info_dict() == click.Path(file_okay=False).to_info_dict()
    assert [cmds.update_data.params[i].type for i in (2, 3, 5)] == [click.STRING, click.STRING, click.INT]


@pytest.mark.parametrize("args", [
    [], ["-d", "somewhere"], ["-c", "7"], ["--with-derivatives"], ["--rebuild"],
    ["-d", "somewhere", "-c", "0", "--with-derivatives", "--rebuild"],
])
def test_nothing_to_do_signs_in_then_prints_the_help(cmds, runner, fake_kit, imports, args):
    result = runner.invoke(cmds.cli, ["update-data", *args])
    assert (result.exit_code, result.output) == (0, help_page(cmds, " [OPTIONS]"))
    assert fake_kit.calls == [SIGN_IN]
    imported = [name for name, *_ in imports if name.startswith("vantorel")]
    assert imported == [LOGIN]


@pytest.fixture
def real_login():
    return importlib.import_module(LOGIN)


@pytest.mark.parametrize("args, updates", [(["--base"], True), ([], False)])
def test_signs_in_through_the_login_first(real_login, fake_kit, cmds, runner, monkeypatch, bundle, args, updates):
    monkeypatch.setitem(sys.modules, LOGIN, real_login)
    monkeypatch.setattr(real_login, "tovi", types.SimpleNamespace(
        init=lambda *a, **k: fake_kit.calls.append(("tovi.init", a, k))))
    monkeypatch.setattr(real_login, "get_license_info", lambda *a: (None, None) if a else ("alice", "pw"))
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, *args])
    assert result.exit_code == 0
    assert fake_kit.calls == [("tovi.init", ("alice", "pw"), {})] + ([corvane(bundle, base=True)] if updates else [])


def test_nothing_to_do_returns_1(cmds, runner, fake_kit):
    result = runner.invoke(cmds.cli, ["update-data"], standalone_mode=False)
    assert (result.exit_code, result.return_value) == (0, 1)


def test_help_path_needs_no_bundle_modules(cmds, runner, fake_kit, monkeypatch):
    monkeypatch.setitem(sys.modules, BUNDLE, None)
    monkeypatch.setitem(sys.modules, SCRIPTS, None)
    result = runner.invoke(cmds.cli, ["update-data", "-c", "5"])
    assert (result.exit_code, result.exception) == (0, None)


def test_help_comes_from_the_module_update_data(cmds, runner, fake_kit, monkeypatch):
    monkeypatch.setattr(cmds, "update_data", click.Command("other", help="其他命令"))
    result = runner.invoke(cmds.cli, ["update-data"])
    assert (result.exit_code, result.output) == (
        0, "Usage:  [OPTIONS]\n\n  其他命令\n\nOptions:\n  --help  Show this message and exit.\n")


def test_help_is_echoed_through_the_module_click(cmds, runner, fake_kit, monkeypatch):
    echoed = []
    monkeypatch.setattr(cmds, "click", types.SimpleNamespace(echo=lambda *a, **k: echoed.append((a, k))))
    result = runner.invoke(cmds.cli, ["update-data"])
    assert (result.exit_code, result.output) == (0, "")
    assert echoed == [((help_page(cmds, " [OPTIONS]").rstrip("\n"),), {})]


def test_default_bundle_path(cmds, runner, fake_kit):
    runner.invoke(cmds.cli, ["update-data", "--base"])
    assert [args[1] for name, args, _ in fake_kit.calls if name == "update_bundle_from_corvane"] == [
        cmds.DEFAULT_BUNDLE_PATH]


@pytest.mark.parametrize("args", [["--base"], ["--smart"], ["--tick", "JD", "--rebuild"]])
@pytest.mark.parametrize("kind", ["directory", "file"])
def test_tick_check_runs_first_over_an_existing_bundle_directory(cmds, runner, fake_kit, tmp_path, args, kind):
    path = tmp_path / "data"
    path.mkdir()
    if kind == "directory":
        (path / "bundle").mkdir()
    else:
        (path / "bundle").write_text("")
    result = runner.invoke(cmds.cli, ["update-data", "-d", str(path), *args])
    assert result.exit_code == 0
    assert fake_kit.calls[:2] == [SIGN_IN, ("check_tick", (os.path.join(str(path), "bundle"),), {})]
    assert fake_kit.names()[2] == "update_bundle_from_corvane"


def test_bundle_directory_through_the_module_os(cmds, runner, fake_kit, monkeypatch):
    seen = []

    def join(*parts):
        seen.append(("join", parts))
        return "JOINED"

    def exists(path):
        seen.append(("exists", path))
        return True

    monkeypatch.setattr(cmds, "os", types.SimpleNamespace(path=types.SimpleNamespace(join=join, exists=exists)))
    result = runner.invoke(cmds.cli, ["update-data", "-d", "P", "--base"])
    assert result.exit_code == 0
    assert seen == [("join", ("P", "bundle")), ("exists", "JOINED")]
    assert fake_kit.calls[:2] == [SIGN_IN, ("check_tick", ("JOINED",), {})]


@pytest.mark.parametrize("args, first, second, status, names", [
    (["--base"], True, None, 0, ["update_bundle_from_corvane"]),
    (["--base"], "ok", None, 0, ["update_bundle_from_corvane"]),
    (["--base"], [0], None, 0, ["update_bundle_from_corvane"]),
    (["--base"], False, None, 1, ["update_bundle_from_corvane"]),
    (["--base"], None, None, 1, ["update_bundle_from_corvane"]),
    (["--minbar", "stock"], 0, None, 1, ["update_bundle_from_corvane"]),
    (["--tick", "JD"], "", None, 1, ["update_bundle_from_corvane"]),
    (["--base"], [], None, 1, ["update_bundle_from_corvane"]),
    (["--smart"], True, True, 0, ["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    (["--smart"], 1, "yes", 0, ["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    (["--smart"], False, True, 1, ["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    (["--smart"], True, False, 1, ["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    (["--smart"], False, False, 1, ["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    (["--smart", "--base"], True, 0, 1, ["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    (["--smart"], None, None, 1, ["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
])
def test_exit_status(cmds, runner, fake_kit, bundle, args, first, second, status, names):
    fake_kit.results.update(update_bundle_from_corvane=first, update_bundle_from_exist_file=second)
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, *args])
    assert (result.exit_code, result.output) == (status, "")
    assert fake_kit.names() == ["init_tovi", *names]
    assert result.exception is None if status == 0 else type(result.exception) is SystemExit


def test_failure_exits_through_the_module_sys(cmds, runner, fake_kit, bundle, monkeypatch):
    exits = []
    monkeypatch.setattr(cmds, "sys", types.SimpleNamespace(exit=lambda *a, **k: exits.append((a, k))))
    fake_kit.results["update_bundle_from_corvane"] = False
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--base"], standalone_mode=False)
    assert (result.exit_code, result.return_value) == (0, None)
    assert exits == [((1,), {})]


def kwargs_for(**changes):
    values = dict(data_bundle_path="P", base=False, minbar=(), tick=(), with_derivatives=False, concurrency=3,
                  smart=False, rebuild=False)
    values.update(changes)
    return values


@pytest.mark.parametrize("changes, calls", [
    (dict(base=0), [corvane("P", base=0)]),
    (dict(base=None), [corvane("P", base=None)]),
    (dict(smart=0), [corvane("P")]),
    (dict(smart=None, minbar=[]), [corvane("P", minbar=[])]),
    (dict(minbar=["stock"]), [corvane("P", minbar=["stock"])]),
    (dict(tick="JD"), [corvane("P", tick="JD")]),
    (dict(smart=1), [corvane("P"), exist_file("P")]),
    (dict(base=True, concurrency="many", with_derivatives=None, rebuild=None),
     [corvane("P", "many", base=True, with_derivatives=None, rebuild=None)]),
])
def test_direct_call_tests_the_flags_by_identity(cmds, fake_kit, changes, calls):
    assert cmds.update_data.callback(**kwargs_for(**changes)) is None
    assert fake_kit.calls == [SIGN_IN, *calls]


@pytest.mark.parametrize("changes", [dict(), dict(minbar=[], tick="", with_derivatives=True, rebuild=True)])
def test_direct_call_with_nothing_to_do(cmds, fake_kit, capsys, monkeypatch, changes):
    monkeypatch.setenv("COLUMNS", "80")
    assert cmds.update_data.callback(**kwargs_for(**changes)) == 1
    assert capsys.readouterr().out == help_page(cmds, " [OPTIONS]", 78)
    assert fake_kit.calls == [SIGN_IN]


def test_direct_call_failure_raises_system_exit_1(cmds, fake_kit):
    fake_kit.results["update_bundle_from_corvane"] = False
    with pytest.raises(SystemExit) as caught:
        cmds.update_data.callback(**kwargs_for(base=True))
    assert caught.value.code == 1 and type(caught.value.code) is int
    assert (caught.value.__context__, caught.value.__cause__) == (None, None)


@pytest.mark.parametrize("changes, names", [
    # `base is False and not minbar ...` stops at base, so a hostile minbar is never tested here.
    (dict(base=True, minbar=BadBool()), None),
    (dict(minbar=BadBool()), []),
    (dict(minbar=("stock",), tick=BadBool()), None),
    (dict(tick=BadBool()), []),
    (dict(base=True, smart=BadBool()), ["update_bundle_from_corvane"]),
])
def test_direct_call_truth_tests_short_circuit_as_python_does(cmds, fake_kit, changes, names):
    if names is None:
        assert cmds.update_data.callback(**kwargs_for(**changes)) is None
    else:
        with pytest.raises(Boom):
            cmds.update_data.callback(**kwargs_for(**changes))
        assert fake_kit.names() == ["init_tovi", *names]


@pytest.mark.parametrize("first, second, args", [
    (BadBool(), None, ["--base"]),
    (BadBool(), True, ["--smart"]),
    (True, BadBool(), ["--smart"]),
    (False, BadBool(), ["--smart"]),
])
def test_truth_test_errors_pass_out(cmds, runner, fake_kit, bundle, first, second, args):
    fake_kit.results.update(update_bundle_from_corvane=first, update_bundle_from_exist_file=second)
    with pytest.raises(Boom):
        runner.invoke(cmds.cli, ["update-data", "-d", bundle, *args], catch_exceptions=False)


@pytest.mark.parametrize("failing, args, names", [
    ("init_tovi", ["--base"], ["init_tovi"]),
    ("init_tovi", [], ["init_tovi"]),
    ("update_bundle_from_corvane", ["--smart"], ["init_tovi", "check_tick", "update_bundle_from_corvane"]),
    ("update_bundle_from_exist_file", ["--smart"],
     ["init_tovi", "check_tick", "update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    ("check_tick", ["--base"], ["init_tovi", "check_tick"]),
])
def test_errors_pass_out_unchanged(cmds, runner, fake_kit, tmp_path, failing, args, names):
    (tmp_path / "bundle").mkdir()
    error = Boom(failing)
    fake_kit.results[failing] = error
    result = runner.invoke(cmds.cli, ["update-data", "-d", str(tmp_path), *args])
    assert result.exception is error
    assert (result.exit_code, result.output) == (1, "")
    assert fake_kit.names() == names


@pytest.mark.parametrize("args", [["--base"], []])
def test_missing_login_module_fails_the_command(cmds, runner, fake_kit, monkeypatch, args):
    monkeypatch.setitem(sys.modules, LOGIN, None)
    result = runner.invoke(cmds.cli, ["update-data", *args])
    assert type(result.exception) is ModuleNotFoundError
    assert result.output == ""
    assert fake_kit.calls == []


@pytest.mark.parametrize("module, name, names", [
    (LOGIN, "init_tovi", []),
    (BUNDLE, "update_bundle_from_corvane", ["init_tovi"]),
    (BUNDLE, "update_bundle_from_exist_file", ["init_tovi"]),
    (SCRIPTS, "check_tick", ["init_tovi"]),
])
def test_missing_name_gives_pythons_import_error(cmds, runner, fake_kit, bundle, module, name, names):
    delattr(fake_kit.modules[module], name)
    fromlist = {LOGIN: ["init_tovi"], BUNDLE: ["update_bundle_from_corvane", "update_bundle_from_exist_file"],
                SCRIPTS: ["check_tick"]}[module]
    expected = python_import_error(module, fromlist)
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--base"])
    assert type(result.exception) is type(expected)
    assert (str(result.exception), result.exception.name, result.exception.path) == (
        str(expected), expected.name, expected.path)
    assert (result.exception.__context__, result.exception.__cause__) == (None, None)
    assert fake_kit.names() == names


def test_name_found_as_a_submodule(cmds, runner, fake_kit, bundle, monkeypatch):
    # Python's `from m import x` falls back to sys.modules["m.x"] when m has no attribute x.
    double = fake_kit.modules[SCRIPTS].check_tick
    del fake_kit.modules[SCRIPTS].check_tick
    monkeypatch.setitem(sys.modules, SCRIPTS + ".check_tick", double)
    os.makedirs(os.path.join(bundle, "bundle"))
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--base"])
    assert result.exit_code == 0
    assert fake_kit.names() == ["init_tovi", "check_tick", "update_bundle_from_corvane"]


def test_import_call_forms(cmds, runner, fake_kit, bundle, imports):
    runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--base"])
    runner.invoke(cmds.cli, ["update-data", "-d", bundle])
    ours = [call for call in imports if call[1] is vars(cmds)]
    assert [(name, locals_, fromlist, level) for name, _, locals_, fromlist, level in ours] == [
        (LOGIN, None, ("init_tovi",), 0),
        (BUNDLE, None, ("update_bundle_from_corvane", "update_bundle_from_exist_file"), 0),
        (SCRIPTS, None, ("check_tick",), 0),
        (LOGIN, None, ("init_tovi",), 0),
        ("click", None, ("Context",), 0),
    ]


def test_uses_what_the_import_returned(cmds, runner, fake_kit, bundle, monkeypatch):
    real = builtins.__import__
    used = []
    elsewhere = types.SimpleNamespace(update_bundle_from_corvane=lambda *a, **k: used.append("elsewhere") or True,
                                      update_bundle_from_exist_file=lambda *a: True)

    def importing(name, *args, **kwargs):
        return elsewhere if name == BUNDLE else real(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", importing)
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--base"])
    assert result.exit_code == 0
    assert (used, fake_kit.names()) == (["elsewhere"], ["init_tovi"])


def test_kit_modules_are_imported_on_every_run(cmds, runner, fake_kit, bundle, monkeypatch):
    runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--base"])
    replaced = types.ModuleType(BUNDLE)
    replaced.update_bundle_from_corvane = lambda *a, **k: False
    replaced.update_bundle_from_exist_file = lambda *a: True
    monkeypatch.setitem(sys.modules, BUNDLE, replaced)
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--base"])
    assert result.exit_code == 1
    assert fake_kit.names() == ["init_tovi", "update_bundle_from_corvane", "init_tovi"]


@pytest.mark.parametrize("args, error", [
    (["-c", "x"], "Error: Invalid value for '-c' / '--concurrency': 'x' is not a valid integer.\n"),
    (["--concurrency", "2.5"], "Error: Invalid value for '-c' / '--concurrency': '2.5' is not a valid integer.\n"),
    (["-h"], no_such_option("-h")),
    (["--base", "extra"], "Error: Got unexpected extra argument (extra)\n"),
])
def test_usage_errors(cmds, runner, fake_kit, args, error):
    result = runner.invoke(cmds.cli, ["update-data", *args])
    assert result.exit_code == 2
    assert result.stdout == ""
    assert result.stderr.startswith("Usage: cli update-data [OPTIONS]\nTry 'cli update-data --help' for help.\n\n")
    assert result.stderr.endswith(error)
    assert fake_kit.calls == []


@pytest.mark.parametrize("name, args, first", [
    ("os", ["--base"], True),
    ("sys", ["--base"], False),
    ("click", [], True),
    ("update_data", [], True),
])
def test_deleted_module_name_is_a_name_error(cmds, runner, fake_kit, monkeypatch, name, args, first):
    fake_kit.results["update_bundle_from_corvane"] = first
    monkeypatch.delattr(cmds, name)
    result = runner.invoke(cmds.cli, ["update-data", *args])
    assert type(result.exception) is NameError
    assert str(result.exception) == f"name '{name}' is not defined"


@pytest.mark.parametrize("ignored", ["init_tovi", "check_tick"])
def test_results_that_are_ignored_are_not_tested(cmds, runner, fake_kit, tmp_path, ignored):
    (tmp_path / "bundle").mkdir()
    fake_kit.results[ignored] = BadBool()
    result = runner.invoke(cmds.cli, ["update-data", "-d", str(tmp_path), "--base"])
    assert (result.exit_code, result.exception) == (0, None)


@pytest.mark.parametrize("raised, status, output", [
    (KeyboardInterrupt(), 1, "\nAborted!\n"),
    (SystemExit(3), 3, ""),
    (SystemExit("kit gave up"), 1, "kit gave up\n"),
])
def test_base_exceptions_from_the_kit_reach_click(cmds, runner, fake_kit, bundle, raised, status, output):
    fake_kit.results["update_bundle_from_corvane"] = raised
    result = runner.invoke(cmds.cli, ["update-data", "-d", bundle, "--smart"])
    assert result.exit_code == status
    assert result.stdout + result.stderr == output
    assert fake_kit.names() == ["init_tovi", "update_bundle_from_corvane"]


def test_help_context_and_text_come_from_lookups_at_run_time(cmds, runner, fake_kit, monkeypatch):
    built = []

    class Context(click.Context):
        def __init__(self, *args, **kwargs):
            built.append((args, kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(click, "Context", Context)
    monkeypatch.setattr(cmds.update_data, "get_help", lambda ctx: f"help for {type(ctx).__name__}")
    result = runner.invoke(cmds.cli, ["update-data"])
    assert (result.exit_code, result.output) == (0, "help for Context\n")
    assert built[-1] == ((cmds.update_data,), {})


def test_path_functions_looked_up_at_run_time(cmds, runner, fake_kit, monkeypatch):
    expected = os.path.join("P", "bundle")
    monkeypatch.setattr(os.path, "exists", lambda path: path == expected)
    result = runner.invoke(cmds.cli, ["update-data", "-d", "P", "--base"])
    assert result.exit_code == 0
    assert fake_kit.names() == ["init_tovi", "check_tick", "update_bundle_from_corvane"]
