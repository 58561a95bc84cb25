import inspect
import os
import sys
import types

import click
import pytest

from hostile import BadBool, Boom

from .doubles import no_such_option, BUNDLE, CMDS_BUNDLE, HELP_ROW, options_section, path_row, python_import_error


def help_page(cmds, usage, width=80):
    rows = [path_row(cmds.DEFAULT_BUNDLE_PATH), ("--minbar", "检查分钟数据是否异常"),
            ("--daybar", "检查日线数据是否异常"), HELP_ROW]
    return f"Usage: {usage}\n\n  检查bundle中的数据是否正确\n\n{options_section(rows, width)}"


def minute(path):
    return ("check_min_bar_data", (path,), {})


def daily(path):
    return ("check_bundle_data", (os.path.join(path, "bundle"),), {})


@pytest.mark.parametrize("width", [80, 200])
def test_help(cmds, runner, width):
    result = runner.invoke(cmds.cli, ["check-data", "--help"], terminal_width=width, max_content_width=width)
    assert (result.exit_code, result.output) == (0, help_page(cmds, "cli check-data [OPTIONS]", width))
    assert inspect.cleandoc(cmds.check_data.callback.__doc__) == "检查bundle中的数据是否正确"


def test_options(cmds):
    described = [(p.name, p.opts, p.secondary_opts, p.is_flag, p.multiple, p.required) for p in cmds.check_data.params]
    assert described == [
        ("data_bundle_path", ["-d", "--data-bundle-path"], [], False, False, False),
        ("minbar", ["--minbar"], [], True, False, False),
        ("daybar", ["--daybar"], [], True, False, False),
    ]
    assert cmds.check_data.params[0].default == cmds.DEFAULT_BUNDLE_PATH
    assert cmds.check_data.params[0].type.to_info_dict() == click.Path(file_okay=False).to_info_dict()


@pytest.mark.parametrize("found", [False, None, 0, "anomalies", ["bad bar"]])
def test_results_do_not_change_the_status(cmds, runner, fake_kit, found):
    fake_kit.results.update(check_min_bar_data=found, check_bundle_data=found)
    result = runner.invoke(cmds.cli, ["check-data", "-d", "P"], standalone_mode=False)
    assert (result.exit_code, result.output, result.return_value) == (0, "", None)


@pytest.mark.parametrize("minbar, daybar, names", [
    (0, [], ["check_min_bar_data", "check_bundle_data"]),
    (None, "", ["check_min_bar_data", "check_bundle_data"]),
    ("yes", 0, ["check_min_bar_data"]),
    (0, [1], ["check_bundle_data"]),
])
def test_direct_call_uses_truth_tests(cmds, fake_kit, minbar, daybar, names):
    assert cmds.check_data.callback(data_bundle_path="P", minbar=minbar, daybar=daybar) is None
    assert fake_kit.names() == names


@pytest.mark.parametrize("minbar, daybar", [(BadBool(), False), (False, BadBool())])
def test_truth_test_errors_pass_out(cmds, fake_kit, minbar, daybar):
    with pytest.raises(Boom):
        cmds.check_data.callback("P", minbar, daybar)
    assert fake_kit.calls == []


def test_daily_path_through_the_module_os(cmds, runner, fake_kit, monkeypatch):
    joined = []

    def join(*parts):
        joined.append(parts)
        return "JOINED"

    monkeypatch.setattr(cmds, "os", types.SimpleNamespace(path=types.SimpleNamespace(join=join)))
    result = runner.invoke(cmds.cli, ["check-data", "-d", "P"])
    assert result.exit_code == 0
    assert joined == [("P", "bundle")]
    assert fake_kit.calls == [minute("P"), ("check_bundle_data", ("JOINED",), {})]


@pytest.mark.parametrize("blocked", [BUNDLE, CMDS_BUNDLE])
@pytest.mark.parametrize("flags", [["--minbar"], ["--daybar"], []])
def test_both_imports_come_before_either_check(cmds, runner, fake_kit, monkeypatch, blocked, flags):
    monkeypatch.setitem(sys.modules, blocked, None)
    result = runner.invoke(cmds.cli, ["check-data", "-d", "P", *flags])
    assert type(result.exception) is ModuleNotFoundError
    assert (result.exit_code, result.output) == (1, "")
    assert fake_kit.calls == []


@pytest.mark.parametrize("module, name", [(BUNDLE, "check_min_bar_data"), (CMDS_BUNDLE, "check_bundle_data")])
def test_missing_name_gives_pythons_import_error(cmds, runner, fake_kit, module, name):
    delattr(fake_kit.modules[module], name)
    expected = python_import_error(module, [name])
    result = runner.invoke(cmds.cli, ["check-data", "-d", "P"])
    assert type(result.exception) is type(expected)
    assert (str(result.exception), result.exception.name, result.exception.path) == (
        str(expected), expected.name, expected.path)
    assert (result.exception.__context__, result.exception.__cause__) == (None, None)
    assert fake_kit.calls == []


def test_import_call_forms(cmds, runner, fake_kit, imports):
    runner.invoke(cmds.cli, ["check-data", "-d", "P", "--minbar"])
    runner.invoke(cmds.cli, ["check-data", "-d", "P", "--daybar"])
    ours = [(name, locals_, fromlist, level) for name, globals_, locals_, fromlist, level in imports
            if globals_ is vars(cmds)]
    assert ours == [
        (BUNDLE, None, ("check_min_bar_data",), 0), (CMDS_BUNDLE, None, ("check_bundle_data",), 0),
    ] * 2


@pytest.mark.parametrize("failing, names", [
    ("check_min_bar_data", ["check_min_bar_data"]),
    ("check_bundle_data", ["check_min_bar_data", "check_bundle_data"]),
])
def test_check_errors_pass_out(cmds, runner, fake_kit, failing, names):
    error = Boom(failing)
    fake_kit.results[failing] = error
    result = runner.invoke(cmds.cli, ["check-data", "-d", "P"])
    assert result.exception is error
    assert fake_kit.names() == names


@pytest.mark.parametrize("args, error", [
    (["--minbar", "stock"], "Error: Got unexpected extra argument (stock)\n"),
    (["--tick"], no_such_option("--tick")),
])
def test_usage_errors(cmds, runner, fake_kit, args, error):
    result = runner.invoke(cmds.cli, ["check-data", *args])
    assert result.exit_code == 2
    assert result.stderr.endswith(error)
    assert fake_kit.calls == []


def test_results_are_not_tested(cmds, runner, fake_kit):
    fake_kit.results.update(check_min_bar_data=BadBool(), check_bundle_data=BadBool())
    result = runner.invoke(cmds.cli, ["check-data", "-d", "P"])
    assert (result.exit_code, result.exception) == (0, None)


def test_deleted_os_is_a_name_error(cmds, runner, fake_kit, monkeypatch):
    monkeypatch.delattr(cmds, "os")
    result = runner.invoke(cmds.cli, ["check-data", "-d", "P"])
    assert (type(result.exception), str(result.exception)) == (NameError, "name 'os' is not defined")
    assert fake_kit.names() == ["check_min_bar_data"]
