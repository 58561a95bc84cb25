import inspect
import os
import subprocess
import sys
import textwrap

import click
import pytest

from click_runner import cli_runner
from help_texts import group_help

from .doubles import no_such_option

GROUP_HELP = group_help("cli")

COMMANDS = ["license", "shell", "update-data", "check-data", "download-data"]

MODULE_NAMES = [
    "importlib", "os", "warnings", "sys", "click", "DEFAULT_BUNDLE_PATH", "TAG_MAP", "CONCERNED_PACKAGES",
    "get_license_info", "set_to_environ", "cli", "license", "shell", "update_data", "check_data",
    "download_data",
]

HEAVY = ["IPython", "numpy", "h5py", "vantorel.ombrel.utils.login", "vantorel.ombrel.alpha.bundle",
         "vantorel.ombrel.cmds.bundle", "vantorel.ombrel.alpha.utils.scripts"]


def fresh_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          encoding="utf-8", env=dict(os.environ, PYTHONIOENCODING="utf-8"))


@pytest.mark.parametrize("args", [["-h"], ["--help"], ["-h", "license"], ["--help", "update-data"]])
def test_group_help(cmds, runner, args):
    result = runner.invoke(cmds.cli, args)
    assert (result.exit_code, result.output) == (0, GROUP_HELP)


def test_no_command_prints_group_help_as_click_does_for_a_group(cmds, runner):
    @click.group()
    def plain():
        pass

    expected_status = cli_runner().invoke(plain, []).exit_code
    result = runner.invoke(cmds.cli, [])
    assert (result.exit_code, result.output) == (expected_status, GROUP_HELP)


@pytest.mark.parametrize("command", COMMANDS)
def test_short_help_option_belongs_to_the_group_only(cmds, runner, fake_kit, command):
    result = runner.invoke(cmds.cli, [command, "-h"])
    assert result.exit_code == 2
    assert (result.stdout, result.stderr) == ("", f"Usage: cli {command} [OPTIONS]\n"
                                                  f"Try 'cli {command} --help' for help.\n"
                                                  "\n"
                                                  + no_such_option("-h"))
    assert fake_kit.calls == []


@pytest.mark.parametrize("command", COMMANDS)
def test_long_help_option_on_every_command(cmds, runner, fake_kit, command):
    result = runner.invoke(cmds.cli, [command, "--help"])
    assert result.exit_code == 0
    assert result.output.startswith(f"Usage: cli {command} [OPTIONS]\n\n")
    assert result.output.splitlines()[-1].split() == ["--help", "Show", "this", "message", "and", "exit."]
    assert fake_kit.calls == []


@pytest.mark.parametrize("args", [
    ["check-data", "--data-bundle-path", "{file}"],
    ["download-data", "-d", "{file}"],
    ["update-data", "-d", "{file}", "--base"],
], ids=["check-data", "download-data", "update-data"])
def test_bundle_path_must_not_be_a_file(cmds, runner, fake_kit, tmp_path, args):
    existing = tmp_path / "a-file"
    existing.write_text("")
    result = runner.invoke(cmds.cli, [arg.format(file=existing) for arg in args])
    assert result.exit_code == 2
    assert result.stderr.endswith(
        f"Error: Invalid value for '-d' / '--data-bundle-path': Directory '{existing}' is a file.\n")
    assert fake_kit.calls == []


@pytest.mark.parametrize("typed", ["update_data", "check_data", "download_data", "Update-data", "lic"])
def test_only_hyphenated_names_are_commands(cmds, runner, fake_kit, typed):
    result = runner.invoke(cmds.cli, [typed])
    assert result.exit_code == 2
    assert f"Error: No such command '{typed}'." in result.stderr
    assert fake_kit.calls == []


def test_module_has_no_docstring(cmds):
    assert cmds.__doc__ is None


def test_names_are_bound_in_start_up_order():
    # In a fresh process: tests here delete and restore names, which moves them to the end.
    proc = fresh_python(f"""
        import vantorel.ombrel.sdk.cmds as cmds
        print([name for name in vars(cmds) if name in {MODULE_NAMES!r}])
    """)
    assert (proc.stdout, proc.stderr) == (f"{MODULE_NAMES!r}\n", "")


def test_bound_objects(cmds):
    import importlib
    import warnings
    from vantorel.ombrel.sdk import const, license_helper

    assert (cmds.importlib, cmds.os, cmds.warnings, cmds.sys, cmds.click) == (importlib, os, warnings, sys, click)
    assert cmds.DEFAULT_BUNDLE_PATH is const.DEFAULT_BUNDLE_PATH
    assert cmds.TAG_MAP is const.TAG_MAP
    assert cmds.CONCERNED_PACKAGES is const.CONCERNED_PACKAGES
    assert cmds.get_license_info is license_helper.get_license_info
    assert cmds.set_to_environ is license_helper.set_to_environ


def test_group_object(cmds):
    cli = cmds.cli
    assert type(cli) is click.Group
    assert cli.name == "cli"
    assert cli.context_settings == {}
    assert [(p.name, p.opts, p.secondary_opts, p.is_flag, p.expose_value, p.is_eager) for p in cli.params] == [
        ("help", ["-h", "--help"], [], True, False, True)]
    assert cli.callback.__name__ == "cli"
    assert cli.callback() is None
    assert inspect.cleandoc(cli.help) == "输入 vantorel [COMMAND] --help 查看命令详情\n例如：vantorel update-data --help"


def test_commands_registered_in_definition_order(cmds):
    assert list(cmds.cli.commands) == COMMANDS
    bound = [cmds.license, cmds.shell, cmds.update_data, cmds.check_data, cmds.download_data]
    assert [cmds.cli.commands[name] for name in COMMANDS] == bound
    for command, callback_name in zip(bound, ["license", "shell", "update_data", "check_data", "download_data"]):
        assert type(command) is click.Command
        assert command.callback is not command
        assert command.callback.__name__ == callback_name
        assert command.context_settings == {}
        assert command.help == command.callback.__doc__
        assert (command.short_help, command.epilog, command.hidden, command.deprecated) == (None, None, False, False)


# Flags whose table gives false declare it; --sample and --show leave the default to click, which
# from 8.3 on reads as a sentinel rather than False.
DECLARED_FALSE = {"update_data": ["base", "with_derivatives", "smart", "rebuild"],
                  "check_data": ["minbar", "daybar"], "download_data": [], "license": []}


@pytest.mark.parametrize("command", sorted(DECLARED_FALSE))
def test_flag_defaults_as_declared(cmds, command):
    undeclared = click.Option(["--flag"], is_flag=True).default
    flags = {p.name: p.default for p in getattr(cmds, command).params if getattr(p, "is_flag", False)}
    expected = {name: False if name in DECLARED_FALSE[command] else undeclared for name in flags}
    assert set(DECLARED_FALSE[command]) <= set(flags)
    assert {name: (type(value), value) for name, value in flags.items()} == {
        name: (type(value), value) for name, value in expected.items()}


def test_start_up_imports_nothing_heavy():
    proc = fresh_python(f"""
        import sys
        import vantorel.ombrel.sdk.cmds
        print(sorted(m for m in {HEAVY!r} if m in sys.modules))
    """)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "[]\n", "")


def test_start_up_without_ipython():
    proc = fresh_python("""
        import sys
        sys.modules["IPython"] = None
        from click.testing import CliRunner
        import vantorel.ombrel.sdk.cmds as cmds
        result = CliRunner().invoke(cmds.cli, ["shell"])
        print(result.exit_code, result.stdout, end="")
    """)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "0 请安装ipython:pip install ipython\n", "")


@pytest.mark.parametrize("module, name", [
    ("vantorel.ombrel.sdk.const", "DEFAULT_BUNDLE_PATH"),
    ("vantorel.ombrel.sdk.const", "TAG_MAP"),
    ("vantorel.ombrel.sdk.const", "CONCERNED_PACKAGES"),
    ("vantorel.ombrel.sdk.license_helper", "get_license_info"),
    ("vantorel.ombrel.sdk.license_helper", "set_to_environ"),
])
def test_start_up_fails_when_a_kit_name_is_missing(module, name):
    proc = fresh_python(f"""
        import sys
        import {module} as kit
        del kit.{name}
        try:
            import vantorel.ombrel.sdk.cmds
        except ImportError as exc:
            print(type(exc).__name__, exc.name, exc.path == getattr(kit, "__file__", None))
            print(exc)
            print("vantorel.ombrel.sdk.cmds" in sys.modules)
    """)
    lines = proc.stdout.splitlines()
    assert proc.returncode == 0, proc.stderr
    assert lines[0] == f"ImportError {module} True"
    assert lines[1].startswith(f"cannot import name '{name}' from '{module}' (")
    assert lines[2] == "False"


def test_start_up_fails_when_the_account_store_is_missing():
    proc = fresh_python("""
        import sys
        sys.modules["vantorel.ombrel.sdk.license_helper"] = None
        try:
            import vantorel.ombrel.sdk.cmds
        except ImportError as exc:
            print(type(exc).__name__, exc)
        print("vantorel.ombrel.sdk.cmds" in sys.modules)
    """)
    assert proc.stdout == ("ModuleNotFoundError import of vantorel.ombrel.sdk.license_helper halted; "
                           "None in sys.modules\nFalse\n"), proc.stderr
