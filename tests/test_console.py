"""The installed console command, run as the user runs it."""
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import click
import pytest

from help_texts import UPDATE_DESCRIPTION, group_help
from vantorel.console import AGENT_TIMEOUT_HINT

AGENT_ON_WINDOWS = ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", "& varnix.exe"]

VANTOREL = Path(sys.executable).with_name("vantorel.exe" if sys.platform.startswith("win") else "vantorel")

GROUP_HELP = group_help("vantorel")

UPDATE_HELP = (
    "Usage: vantorel update-data [OPTIONS]\n"
    "\n"
    + UPDATE_DESCRIPTION +
    "\n"
    "Options:\n"
    "  -d, --data-bundle-path DIRECTORY\n"
    "                                  bundle 目录，默认为 {home}/bundle\n"
    "  --base                          更新基础数据及日线，注意：任何回测都需要依赖基础数据\n"
    "  --minbar TEXT                   更新分钟线数据，可选的参数值有 [stock, futures, fund,\n"
    "                                  index, option, convertible] 或\n"
    "                                  underlying_symbol 或 market_code\n"
    "  --tick TEXT                     更新tick数据，可选的参数值有 [stock, futures, fund,\n"
    "                                  index, option, convertible] 或\n"
    "                                  underlying_symbol 或 market_code\n"
    "  --with-derivatives              更新分钟线和 tick 时同时更新选择的合约的衍生品数据\n"
    "  -c, --concurrency INTEGER       并行的线程数量，需要低于 corvane 的最大可用连接数\n"
    "  --smart                         检索本地已经存在的分钟线和 tick 数据，增量更新对应品种的数据和日线数据\n"
    "  --rebuild                       将指定的合约 h5 文件从头进行更新，仅对--minbar、--tick生效\n"
    "  --help                          Show this message and exit.\n"
)


@pytest.fixture
def home():
    # Short on purpose: the default bundle path appears in help texts, which wrap at 78 columns.
    with tempfile.TemporaryDirectory(prefix="vh", dir="/tmp" if os.path.isdir("/tmp") else None) as path:
        yield path


# The two ways a user starts the front end.
CONSOLE_SCRIPT = [str(VANTOREL)]
PYTHON_M = [sys.executable, "-m", "vantorel"]


def vantorel(home, *args, input=None, command=CONSOLE_SCRIPT, **extra_env):
    env = {k: v for k, v in os.environ.items()
           if k not in ("VANTOREL_LICENSE", "VANTOREL_APPKEY_LICENSE", "vantorelsdk_env", "VANTOREL_AGENT",
                        "VANTOREL_DEBUG")}
    env.update(VANTOREL_HOME=home, COLUMNS="80", PYTHONIOENCODING="utf-8", **extra_env)
    return subprocess.run([*command, *args], capture_output=True, input=input, text=True, encoding="utf-8",
                          env=env, timeout=60)


@pytest.mark.parametrize("args", [["--help"], ["-h"]])
def test_group_help(home, args):
    proc = vantorel(home, *args)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, GROUP_HELP, "")


def test_no_command_behaves_as_a_plain_click_group(home):
    import click
    from click_runner import cli_runner

    @click.group()
    def plain():
        pass

    expected = cli_runner().invoke(plain, [])
    proc = vantorel(home)
    assert proc.returncode == expected.exit_code
    assert (proc.stdout, proc.stderr) == ((GROUP_HELP, "") if expected.stdout else ("", GROUP_HELP))


def test_update_data_help_shows_the_default_bundle_path(home):
    proc = vantorel(home, "update-data", "--help")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, UPDATE_HELP.format(home=home), "")


@pytest.mark.parametrize("args", [["update-data", "-h"], ["license", "-h"]])
def test_short_help_is_a_usage_error_after_a_command(home, args):
    proc = vantorel(home, *args)
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr.endswith(f"Error: {click.exceptions.NoSuchOption('-h').format_message()}\n")


def test_license_round_trip_through_the_account_store(home):
    assert vantorel(home, "license", "--show").stdout == ""

    stored = vantorel(home, "license", "-u", "alice", "-p", "s3:cr et")
    assert (stored.returncode, stored.stdout, stored.stderr) == (0, "", "")
    shown = vantorel(home, "license", "--show")
    assert (shown.returncode, shown.stdout) == (0, "用户名: alice\n密码: s3:cr et\n")

    # An app-key account and an environment later leave the password account in place.
    assert vantorel(home, "license", "-u", "bob", "-k", "KEY", "--env", "uat").returncode == 0
    shown = vantorel(home, "license", "--show")
    assert shown.stdout == "用户名: alice\n密码: s3:cr et\n用户名: bob\napp_key: KEY\n当前环境: uat\n"

    assert vantorel(home, "license", "-u", "bob", "-k", "KEY2", "--env", "wmout").returncode == 0
    shown = vantorel(home, "license", "--show")
    assert shown.stdout == "用户名: alice\n密码: s3:cr et\n用户名: bob\napp_key: KEY2\n"


def test_license_interactive(home):
    proc = vantorel(home, "license", input="carol\napp-key\nK-1\n")
    assert proc.returncode == 0
    assert proc.stdout == "请输入用户名: 请选择要输入的内容 (password, app-key) [password]: 请输入app-key: "
    assert vantorel(home, "license", "--show").stdout == "用户名: carol\napp_key: K-1\n"


def test_update_data_without_options_signs_in_and_prints_its_help(home):
    assert vantorel(home, "license", "-u", "alice", "-p", "pw").returncode == 0
    proc = vantorel(home, "update-data", "-c", "2")
    expected = UPDATE_HELP.format(home=home).replace("Usage: vantorel update-data [OPTIONS]", "Usage:  [OPTIONS]")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, expected, "")


@pytest.mark.parametrize("command", [CONSOLE_SCRIPT, PYTHON_M], ids=["console-script", "python-m"])
@pytest.mark.parametrize("debug", [None, "0", "1"])
def test_exception_escaping_a_command(home, tmp_path, command, debug):
    # The agent is selected but the tool is not on PATH: the shell complains on stderr, stdout is empty,
    # and decoding the empty answer raises out of update-data.
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    extra = {} if debug is None else {"VANTOREL_DEBUG": debug}
    proc = vantorel(home, "update-data", command=command, VANTOREL_AGENT="app_key_tovi", PATH=str(empty), **extra)
    assert (proc.returncode, proc.stdout) == (1, "")
    if debug == "1":
        assert proc.stderr.startswith("Traceback (most recent call last):\n")
        assert proc.stderr.splitlines()[-1].startswith("json.decoder.JSONDecodeError: Expecting value: line 1 column 1")
    else:
        assert proc.stderr == "错误：Expecting value: line 1 column 1 (char 0)\n"


def test_python_m_runs_the_same_group(home):
    proc = vantorel(home, "--help", command=PYTHON_M)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, group_help("python -m vantorel"), "")
    assert vantorel(home, "license", "-u", "dora", "-p", "pw", command=PYTHON_M).returncode == 0
    assert vantorel(home, "license", "--show").stdout == "用户名: dora\n密码: pw\n"
    # click's own errors keep click's wording and status.
    proc = vantorel(home, "license", "-h", command=PYTHON_M)
    assert proc.returncode == 2
    assert proc.stderr.endswith(f"Error: {click.exceptions.NoSuchOption('-h').format_message()}\n")


@pytest.mark.parametrize("raised, status, stderr", [
    (RuntimeError("boom"), 1, "错误：boom\n"),
    (RuntimeError(), 1, "错误：RuntimeError\n"),
    (OSError("first line\n  second line\n"), 1, "错误：first line second line\n"),
    (subprocess.TimeoutExpired(AGENT_ON_WINDOWS, 2.5), 1,
     f"错误：本地代理工具 varnix 在 2.5 秒内没有结束（或它启动的进程仍占着它的输出），未登录；{AGENT_TIMEOUT_HINT}\n"),
    (subprocess.TimeoutExpired("curl", 30), 1, "错误：Command 'curl' timed out after 30 seconds\n"),
    # A name that would drive the terminal is shown, not obeyed.
    (RuntimeError("at a\x1b[2Jb"), 1, "错误：at a\\x1b[2Jb\n"),
    (click.ClickException("clean"), 1, "Error: clean\n"),
    (click.Abort(), 1, "Aborted!\n"),
    (click.exceptions.Exit(3), 3, ""),
])
def test_main_turns_only_non_click_exceptions_into_one_line(monkeypatch, capsys, raised, status, stderr):
    from vantorel import console
    from vantorel.ombrel.sdk import cmds

    @click.group()
    def cli():
        pass

    @cli.command()
    def fail():
        raise raised

    monkeypatch.setattr(cmds, "cli", cli)
    monkeypatch.setattr(sys, "argv", ["vantorel", "fail"])
    with pytest.raises(SystemExit) as exit_info:
        console.main()
    assert (exit_info.value.code, capsys.readouterr()) == (status, ("", stderr))


def help_examples(home):
    """The example command lines of update-data's own help page, as a new user would copy them."""
    page = vantorel(home, "update-data", "--help").stdout
    return [line.split("：", 1)[1].split() for line in page.splitlines() if "： vantorel update-data" in line]


def test_every_example_of_the_help_page_works_on_a_fresh_kit_home(home):
    examples = help_examples(home)
    assert len(examples) == 5
    assert vantorel(home, "license", "-u", "demo", "-p", "demo").returncode == 0
    for example in examples:
        assert example[:2] == ["vantorel", "update-data"]
        proc = vantorel(home, *example[1:], VANTOREL_SERVICE_NOW="2026-12-08T16:00")
        assert (proc.returncode, proc.stderr) == (0, ""), (example, proc.stderr)
        assert "更新完成" in proc.stdout, example


@pytest.mark.parametrize("args, extra_env, says", [
    (["download-data", "-f", "{home}/no-such.tar.gz"], {}, "压缩文件 "),  # an archive that is not there
    (["download-data", "-f", "{home}/plain.txt"], {}, "无法识别"),  # a file that is no archive
    (["download-data", "--sample", "-d", "{home}"], {}, "不是空目录"),  # a folder that holds no bundle
    (["download-data", "--sample", "-d", "{home}/b"], {"VANTOREL_SERVICE_NOW": "tomorrow"}, "VANTOREL_SERVICE_NOW"),
    (["update-data", "--minbar", "stok", "-d", "{home}/b"], {}, "是否想用 stock"),  # a typo
    (["update-data", "--tick", "M1095", "-d", "{home}/b"], {}, "是否想用 M1905"),  # two digits swapped
    (["update-data", "--base", "-c", "99", "-d", "{home}/b"], {}, "并行线程数"),
])
def test_kit_errors_speak_with_one_prefix_on_standard_error(home, args, extra_env, says):
    with open(os.path.join(home, "plain.txt"), "w") as f:
        f.write("not an archive" * 40)
    assert vantorel(home, "license", "-u", "demo", "-p", "demo").returncode == 0
    proc = vantorel(home, *[a.format(home=home) for a in args], **extra_env)
    assert proc.returncode == 1 and proc.stdout == ""
    (line,) = proc.stderr.splitlines()
    assert line.startswith("错误：") and says in line
