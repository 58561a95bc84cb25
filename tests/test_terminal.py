"""The console command on a real pseudo-terminal: prompts, hidden input, aborts and the IPython shell.

CliRunner fakes the terminal; here the installed ``vantorel`` runs in a pty, so echo, getpass,
Ctrl-C/Ctrl-D and prompt_toolkit behave as they do for a user.
"""
import json
import os
import platform
import subprocess
import sys
import time

import click
import pytest

pexpect = pytest.importorskip("pexpect")

VANTOREL = os.path.join(os.path.dirname(sys.executable), "vantorel")
# Generous, since a loaded CI machine can be slow; a passing run never waits this long.
TIMEOUT = 30

USER_PROMPT = "请输入用户名: "
CHOICE_PROMPT = "请选择要输入的内容 (password, app-key) [password]: "
PASSWORD_PROMPT = "请输入密码: "
APPKEY_PROMPT = "请输入app-key: "
INSTALL_HINT = "请安装ipython:pip install ipython"
# The read(2) system call's number, as /proc/<pid>/syscall shows it.
READ_SYSCALL = {"x86_64": "0", "aarch64": "63"}.get(platform.machine())


def refusal(answer):
    """click's own words for a choice it refuses, as the choice prompt prints them."""
    try:
        click.Choice(["password", "app-key"]).convert(answer, None, None)
    except click.BadParameter as error:
        return f"Error: {error.message}"
    raise AssertionError(f"{answer!r} is a valid choice")


def terminal_env(**extra):
    env = dict(os.environ, TERM="xterm", **extra)
    env.pop("PYTHONSTARTUP", None)
    return env


def spawn(args, env=None):
    if not os.path.exists(VANTOREL):
        pytest.skip(f"console command not installed next to the interpreter: {VANTOREL}")
    return pexpect.spawn(VANTOREL, args, env=env or terminal_env(), encoding="utf-8",
                         timeout=TIMEOUT, dimensions=(24, 120))


def wait_until_reading(child):
    """Return once the child is blocked reading the terminal.

    CPython acts on a SIGINT that lands between writing the prompt and starting the read only at the
    next read, so a Ctrl-C sent in that window would look ignored; a user's key press never hits it.
    """
    deadline = time.monotonic() + TIMEOUT
    while READ_SYSCALL and time.monotonic() < deadline:
        try:
            with open(f"/proc/{child.pid}/syscall", encoding="ascii") as file:
                if file.read().split()[:1] == [READ_SYSCALL]:
                    return
        except OSError:
            break
        time.sleep(0.005)
    time.sleep(0.5)  # no way to look: give it time


def finish(child):
    """Everything printed after the last match, and the exit status; fails if killed by a signal."""
    child.expect(pexpect.EOF)
    rest = child.before
    child.close()
    assert child.signalstatus is None, f"killed by signal {child.signalstatus}: {rest!r}"
    return rest, child.exitstatus


def lines(output):
    return [line for line in output.replace("\r\n", "\n").split("\n") if line]


def stored(kit_home):
    """The variables in the store, without the key of its load marker."""
    path = kit_home / "accounts" / "accounts.json"
    variables = json.loads(path.read_text(encoding="utf-8")) if path.exists() else {}
    variables.pop("=marker_key", None)
    return variables


def show():
    result = subprocess.run([VANTOREL, "license", "--show"], env=terminal_env(), capture_output=True,
                            text=True, encoding="utf-8", timeout=TIMEOUT)
    assert result.returncode == 0, result.stderr
    return result.stdout


# license ------------------------------------------------------------------------------------------

@pytest.mark.parametrize("answer, secret_prompt, hidden, variable", [
    ("", PASSWORD_PROMPT, True, "VANTOREL_LICENSE"),
    ("password", PASSWORD_PROMPT, True, "VANTOREL_LICENSE"),
    ("app-key", APPKEY_PROMPT, False, "VANTOREL_APPKEY_LICENSE"),
])
def test_interactive_license(kit_home, answer, secret_prompt, hidden, variable):
    secret = "s3cret-Zq9"
    child = spawn(["license"])
    child.expect_exact(USER_PROMPT)
    child.sendline("alice")
    child.expect_exact(CHOICE_PROMPT)
    # The terminal echoes what is typed at a plain prompt, so a missing secret below means hidden input.
    assert "alice" in child.before
    child.sendline(answer)
    child.expect_exact(secret_prompt)
    child.sendline(secret)
    rest, status = finish(child)

    assert status == 0, rest
    assert lines(rest) == ([] if hidden else [secret])
    assert stored(kit_home) == {variable: f"alice:{secret}"}
    label = "密码" if hidden else "app_key"
    assert show() == f"用户名: alice\n{label}: {secret}\n"


def test_refused_choice_is_asked_again(kit_home):
    child = spawn(["license", "-u", "bob"])
    for answer in ["foo", "Password", "app_key"]:
        child.expect_exact(CHOICE_PROMPT)
        child.sendline(answer)
        child.expect_exact(refusal(answer))
    child.expect_exact(CHOICE_PROMPT)
    child.sendline("password")
    child.expect_exact(PASSWORD_PROMPT)
    child.sendline("pw")
    rest, status = finish(child)
    assert status == 0, rest
    assert stored(kit_home) == {"VANTOREL_LICENSE": "bob:pw"}


# Each prompt the run can be waiting at, with what has to be typed to get there.
ABORT_POINTS = {
    "user name": ([], [], USER_PROMPT),
    "choice": (["-u", "carol"], [], CHOICE_PROMPT),
    "password": (["-u", "carol"], [""], PASSWORD_PROMPT),
    "app key": (["-u", "carol"], ["app-key"], APPKEY_PROMPT),
    "choice after user name": ([], ["carol"], CHOICE_PROMPT),
}


@pytest.mark.parametrize("key", ["ctrl-c", "ctrl-d"])
@pytest.mark.parametrize("point", list(ABORT_POINTS))
def test_abort_stores_nothing(kit_home, point, key):
    args, answers, waiting_at = ABORT_POINTS[point]
    child = spawn(["license", "--env", "uat", *args])
    for answer in answers:
        child.expect_exact([USER_PROMPT, CHOICE_PROMPT, PASSWORD_PROMPT, APPKEY_PROMPT])
        child.sendline(answer)
    child.expect_exact(waiting_at)
    wait_until_reading(child)
    if key == "ctrl-c":
        child.sendintr()
    else:
        child.sendeof()
    child.expect_exact("Aborted!")
    rest, status = finish(child)

    assert status == 1
    assert "Traceback" not in child.before + rest
    assert not (kit_home / "accounts" / "accounts.json").exists()
    assert show() == ""


# shell --------------------------------------------------------------------------------------------

def test_shell_runs_ipython(tmp_path):
    pytest.importorskip("IPython")
    # No cursor-position query: pexpect never answers it and prompt_toolkit would wait for one.
    env = terminal_env(IPYTHONDIR=str(tmp_path / "ipython"), PROMPT_TOOLKIT_NO_CPR="1")
    child = spawn(["shell"], env=env)
    child.expect(r"In \[1\]:")
    child.sendline("6 * 7")
    child.expect(r"Out\[1\]:.*42")
    child.expect(r"In \[2\]:")
    child.sendline("exit")
    rest, status = finish(child)
    assert status == 0, rest
    assert "Traceback" not in rest


def test_shell_without_ipython(tmp_path):
    # A None entry in sys.modules makes every "import IPython" raise ImportError, as if it were absent.
    hide = tmp_path / "no-ipython"
    hide.mkdir()
    (hide / "sitecustomize.py").write_text('import sys\nsys.modules["IPython"] = None\n', encoding="utf-8")
    path = os.pathsep.join(filter(None, [str(hide), os.environ.get("PYTHONPATH")]))
    env = terminal_env(PYTHONPATH=path)
    probe = subprocess.run([sys.executable, "-c", "import IPython"], env=env, capture_output=True, timeout=TIMEOUT)
    assert probe.returncode != 0, "IPython still importable: the hiding sitecustomize was not loaded"

    child = spawn(["shell"], env=env)
    rest, status = finish(child)
    assert status == 0, rest
    assert lines(rest) == [INSTALL_HINT]
