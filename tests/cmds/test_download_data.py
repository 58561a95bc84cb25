import inspect
import sys

import click
import pytest

from hostile import Boom

from .doubles import BUNDLE, HELP_ROW, options_section, path_row, python_import_error


def help_page(cmds, width=80):
    rows = [path_row(cmds.DEFAULT_BUNDLE_PATH), ("--sample", "下载数据样例"), ("-f, --file-path TEXT", "指定的压缩文件包"),
            HELP_ROW]
    return ("Usage: cli download-data [OPTIONS]\n\n  下载样例回测数据。 下载样例数据不使用vantorel流量。\n\n"
            + options_section(rows, width))


def download(path, sample=False, file_path=None):
    return ("download_simple_bundle", (path,), {"sample": sample, "file_path": file_path})


@pytest.mark.parametrize("width", [80, 200])
def test_help(cmds, runner, width):
    result = runner.invoke(cmds.cli, ["download-data", "--help"], terminal_width=width, max_content_width=width)
    assert (result.exit_code, result.output) == (0, help_page(cmds, width))
    assert inspect.cleandoc(cmds.download_data.callback.__doc__) == "下载样例回测数据。\n下载样例数据不使用vantorel流量。"


def test_options(cmds):
    described = [(p.name, p.opts, p.secondary_opts, p.is_flag, p.multiple, p.required, p.prompt, p.hidden)
                 for p in cmds.download_data.params]
    assert described == [
        ("data_bundle_path", ["-d", "--data-bundle-path"], [], False, False, False, None, False),
        ("sample", ["--sample"], [], True, False, False, None, False),
        ("file_path", ["-f", "--file-path"], [], False, False, False, None, False),
    ]
    assert cmds.download_data.params[0].default == cmds.DEFAULT_BUNDLE_PATH
    assert cmds.download_data.params[0].type.to_info_dict() == click.Path(file_okay=False).to_info_dict()
    assert cmds.download_data.params[2].type == click.STRING


def test_result_is_handed_back(cmds, runner, fake_kit):
    marker = object()
    fake_kit.results["download_simple_bundle"] = marker
    result = runner.invoke(cmds.cli, ["download-data"], standalone_mode=False)
    assert result.return_value is marker


@pytest.mark.parametrize("args, kwargs, call", [
    (("P",), {}, download("P", True)),
    (("P", False), {}, download("P", False)),
    (("P", 0, "F"), {}, download("P", 0, "F")),
    ((), {"data_bundle_path": "P", "file_path": "F"}, download("P", True, "F")),
    (("P",), {"sample": None}, download("P", None)),
])
def test_direct_call(cmds, fake_kit, args, kwargs, call):
    marker = object()
    fake_kit.results["download_simple_bundle"] = marker
    assert cmds.download_data.callback(*args, **kwargs) is marker
    assert fake_kit.calls == [call]


def test_imported_on_every_call(cmds, fake_kit, monkeypatch, imports):
    cmds.download_data.callback("P")
    monkeypatch.setitem(sys.modules, BUNDLE, None)
    with pytest.raises(ModuleNotFoundError):
        cmds.download_data.callback("P")
    ours = [(name, locals_, fromlist, level) for name, globals_, locals_, fromlist, level in imports
            if globals_ is vars(cmds)]
    assert ours == [(BUNDLE, None, ("download_simple_bundle",), 0)] * 2
    assert fake_kit.names() == ["download_simple_bundle"]


def test_missing_name_gives_pythons_import_error(cmds, runner, fake_kit):
    del fake_kit.modules[BUNDLE].download_simple_bundle
    expected = python_import_error(BUNDLE, ["download_simple_bundle"])
    result = runner.invoke(cmds.cli, ["download-data"])
    assert type(result.exception) is type(expected)
    assert (str(result.exception), result.exception.name, result.exception.path) == (
        str(expected), expected.name, expected.path)
    assert (result.exception.__context__, result.exception.__cause__) == (None, None)


def test_kit_errors_pass_out(cmds, runner, fake_kit):
    fake_kit.results["download_simple_bundle"] = Boom("unreachable")
    with pytest.raises(Boom, match="unreachable"):
        runner.invoke(cmds.cli, ["download-data"], catch_exceptions=False)


def test_existing_directory_is_accepted(cmds, runner, fake_kit, tmp_path):
    result = runner.invoke(cmds.cli, ["download-data", "-d", str(tmp_path)])
    assert result.exit_code == 0
    assert fake_kit.calls == [download(str(tmp_path))]
