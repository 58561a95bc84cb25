import inspect
import types

import click
import pytest

from click_runner import CLICK_VERSION
from hostile import UNPACK_FAILURES, BadBool, BadEq, Boom, unpack_error

LICENSE_HELP = (
    "Usage: cli license [OPTIONS]\n"
    "\n"
    "  配置 vantorel 用户名和密码到环境变量\n"
    "\n"
    "  vantorel license 进入交互模式 vantorel license -u [USERNAME] -p [PASSWORD] -k\n"
    "  [APP_KEY] 配置当前环境的用户名和密码或app_key vantorel license --show 显示配置的用户名和密码或app_key\n"
    "  vantorel license --env 配置vantorel使用环境，互联网环境无需配置 例如: vantorel license -u [user]\n"
    "  -p [password]\n"
    "\n"
    "Options:\n"
    "  -u, --username TEXT  用户名\n"
    "  -p, --password TEXT  密码\n"
    "  -k TEXT\n"
    "  --env TEXT           环境\n"
    "  --show\n"
    "  --help               Show this message and exit.\n"
)

DOC = [
    "配置 vantorel 用户名和密码到环境变量",
    "",
    "vantorel license 进入交互模式",
    "vantorel license -u [USERNAME] -p [PASSWORD] -k [APP_KEY] 配置当前环境的用户名和密码或app_key",
    "vantorel license --show 显示配置的用户名和密码或app_key",
    "vantorel license --env 配置vantorel使用环境，互联网环境无需配置",
    "例如: vantorel license -u [user] -p [password]",
]

USER_PROMPT = "请输入用户名: "
CHOICE_PROMPT = "请选择要输入的内容 (password, app-key) [password]: "
PASSWORD_PROMPT = "请输入密码: "
APPKEY_PROMPT = "请输入app-key: "

APPKEY = "VANTOREL_APPKEY_LICENSE"
BOTH_READS = [((), {}), ((APPKEY,), {})]


def test_help(cmds, runner):
    result = runner.invoke(cmds.cli, ["license", "--help"])
    assert (result.exit_code, result.output) == (0, LICENSE_HELP)
    assert inspect.cleandoc(cmds.license.callback.__doc__).split("\n") == DOC


def test_options(cmds):
    described = [(p.name, p.opts, p.secondary_opts, p.help, p.is_flag, p.multiple, p.prompt, p.hide_input,
                  p.required) for p in cmds.license.params]
    assert described == [
        ("username", ["--username", "-u"], [], "用户名", False, False, None, False, False),
        ("password", ["--password", "-p"], [], "密码", False, False, None, True, False),
        ("app_key", ["-k"], [], None, False, False, None, False, False),
        ("env", ["--env"], [], "环境", False, False, None, False, False),
        ("show", ["--show"], [], None, True, False, None, False, False),
    ]
    assert [p.type for p in cmds.license.params[:4]] == [click.STRING] * 4


# Show mode -----------------------------------------------------------------------------------------

@pytest.mark.parametrize("password_pair, appkey_pair, env, expected", [
    ((None, None), (None, None), None, ""),
    (("alice", "pw"), ("bob", "KEY"), "uat",
     "用户名: alice\n密码: pw\n用户名: bob\napp_key: KEY\n当前环境: uat\n"),
    (("alice", "pw"), (None, None), None, "用户名: alice\n密码: pw\n"),
    ((None, None), ("bob", "KEY"), None, "用户名: bob\napp_key: KEY\n"),
    (("alice", ""), ("bob", "KEY"), None, "用户名: bob\napp_key: KEY\n"),
    (("", "pw"), ("bob", ""), None, ""),
    (("alice", None), (None, "KEY"), "test", "当前环境: test\n"),
    (("a:b", "c:d"), ("x y", " k "), None, "用户名: a:b\n密码: c:d\n用户名: x y\napp_key:  k \n"),
    ((12345, 678), (None, None), None, "用户名: 12345\n密码: 678\n"),
    (["alice", "pw"], iter(["bob", "KEY"]), None, "用户名: alice\n密码: pw\n用户名: bob\napp_key: KEY\n"),
] + [((None, None), (None, None), env, f"当前环境: {env}\n") for env in ["test", "inner", "dev", "uat", "wm"]]
  + [((None, None), (None, None), env, "") for env in ["wmout", "UAT", "prod", "", " uat"]])
def test_show(cmds, runner, store, monkeypatch, password_pair, appkey_pair, env, expected):
    store.pairs = {"VANTOREL_LICENSE": password_pair, APPKEY: appkey_pair}
    if env is not None:
        monkeypatch.setenv("vantorelsdk_env", env)
    result = runner.invoke(cmds.cli, ["license", "--show"])
    assert (result.exit_code, result.output) == (0, expected)
    assert store.reads == BOTH_READS
    assert store.writes == []


@pytest.mark.parametrize("extra", [
    ["-u", "alice"], ["-p", "pw"], ["-k", "KEY"], ["--env", "uat"],
    ["-u", "alice", "-p", "pw", "-k", "KEY", "--env", "dev"], ["--username", "", "--password", ""],
])
def test_show_ignores_the_other_options(cmds, runner, store, extra):
    store.pairs = {"VANTOREL_LICENSE": ("stored", "secret")}
    result = runner.invoke(cmds.cli, ["license", *extra, "--show"], input="never read\n")
    assert (result.exit_code, result.output) == (0, "用户名: stored\n密码: secret\n")
    assert store.reads == BOTH_READS
    assert store.writes == []


def test_show_reads_the_environment_through_the_module_os(cmds, runner, store, monkeypatch):
    asked = []

    def getenv(*args):
        asked.append(args)
        return "inner"

    monkeypatch.setattr(cmds, "os", types.SimpleNamespace(getenv=getenv))
    result = runner.invoke(cmds.cli, ["license", "--show"])
    assert (result.exit_code, result.output) == (0, "当前环境: inner\n")
    assert asked == [("vantorelsdk_env",)]


@pytest.mark.parametrize("which", ["VANTOREL_LICENSE", APPKEY])
@pytest.mark.parametrize("make", UNPACK_FAILURES)
def test_show_unpacking_errors_are_pythons(cmds, runner, store, which, make):
    store.pairs = {which: make}
    result = runner.invoke(cmds.cli, ["license", "--show"])
    expected = unpack_error(make)
    assert type(result.exception) is type(expected)
    assert str(result.exception) == str(expected)
    assert type(result.exception.__context__) is type(expected.__context__)
    assert result.exit_code == 1


@pytest.mark.parametrize("pair", [(BadBool(), "pw"), ("alice", BadBool())])
def test_show_truth_test_errors_pass_out(cmds, runner, store, pair):
    store.pairs = {"VANTOREL_LICENSE": pair}
    with pytest.raises(Boom):
        runner.invoke(cmds.cli, ["license", "--show"], catch_exceptions=False)


def test_show_store_errors_pass_out(cmds, runner, monkeypatch):
    def broken(*args):
        raise Boom("store")

    monkeypatch.setattr(cmds, "get_license_info", broken)
    with pytest.raises(Boom, match="store"):
        runner.invoke(cmds.cli, ["license", "--show"], catch_exceptions=False)


# Storing from the options --------------------------------------------------------------------------

@pytest.mark.parametrize("args, writes", [
    (["-u", "alice", "-p", "pw"], [("VANTOREL_LICENSE", "alice:pw")]),
    (["--username", "alice", "--password", "pw"], [("VANTOREL_LICENSE", "alice:pw")]),
    (["-u", "alice", "-p", "pw", "-k", "KEY"], [("VANTOREL_LICENSE", "alice:pw")]),
    (["-u", "alice", "-k", "KEY"], [(APPKEY, "alice:KEY")]),
    (["-u", "", "-p", "pw"], [("VANTOREL_LICENSE", ":pw")]),
    (["-u", "alice", "-p", "c:d:"], [("VANTOREL_LICENSE", "alice:c:d:")]),
    (["-u", " 张三 ", "-k", " k "], [(APPKEY, " 张三 : k ")]),
    (["-u", "alice", "-p", ""], []),
    (["-u", "alice", "-k", ""], []),
    (["-u", "alice", "-p", "", "-k", "KEY"], [(APPKEY, "alice:KEY")]),
    (["-u", "alice", "-p", "", "--env", "dev"], [("vantorelsdk_env", "dev")]),
    (["-u", "alice", "-p", "pw", "--env", "uat"], [("VANTOREL_LICENSE", "alice:pw"), ("vantorelsdk_env", "uat")]),
    (["-u", "alice", "-k", "K", "--env", "wmout"], [(APPKEY, "alice:K"), ("vantorelsdk_env", "wmout")]),
] + [(["-u", "a", "-p", "p", "--env", env], [("VANTOREL_LICENSE", "a:p"), ("vantorelsdk_env", env)])
     for env in ["test", "inner", "dev", "uat", "wm", "wmout"]]
  + [(["-u", "a", "-p", "p", "--env", env], [("VANTOREL_LICENSE", "a:p")])
     for env in ["UAT", "Test", "prod", "", "wmo", "uat "]])
def test_store_from_options(cmds, runner, store, args, writes):
    result = runner.invoke(cmds.cli, ["license", *args], input="never read\n")
    assert (result.exit_code, result.output) == (0, "")
    assert store.writes == writes
    assert store.reads == []


def test_store_errors_pass_out(cmds, runner, monkeypatch):
    def broken(*args):
        raise Boom("disk full")

    monkeypatch.setattr(cmds, "set_to_environ", broken)
    with pytest.raises(Boom, match="disk full"):
        runner.invoke(cmds.cli, ["license", "-u", "a", "-p", "p"], catch_exceptions=False)


# The store splits "user:secret" at the first colon, so a user name holding one would come back as
# another account: such a name is refused before anything is asked or stored.
@pytest.mark.parametrize("args, typed, output", [
    (["-u", "a:b", "-p", "pw", "--env", "uat"], "", "用户名不能包含冒号\n"),
    (["-u", ":", "-k", "KEY"], "", "用户名不能包含冒号\n"),
    (["--env", "dev"], "a:b\n", USER_PROMPT + "a:b\n用户名不能包含冒号\n"),
    (["-u", "x:"], "", "用户名不能包含冒号\n"),
])
def test_user_name_with_colon_is_refused(cmds, runner, store, args, typed, output):
    result = runner.invoke(cmds.cli, ["license", *args], input=typed)
    assert (result.exit_code, result.output) == (0, output)
    assert store.writes == []


# Storing through the prompts -----------------------------------------------------------------------

@pytest.mark.parametrize("args, typed, output, writes", [
    ([], "alice\n\nsecret\n",
     USER_PROMPT + "alice\n" + CHOICE_PROMPT + "\n" + PASSWORD_PROMPT + "\n",
     [("VANTOREL_LICENSE", "alice:secret")]),
    ([], "alice\npassword\nsecret\n",
     USER_PROMPT + "alice\n" + CHOICE_PROMPT + "password\n" + PASSWORD_PROMPT + "\n",
     [("VANTOREL_LICENSE", "alice:secret")]),
    ([], "alice\napp-key\nKEY\n",
     USER_PROMPT + "alice\n" + CHOICE_PROMPT + "app-key\n" + APPKEY_PROMPT + "KEY\n",
     [(APPKEY, "alice:KEY")]),
    ([], "alice\nfoo\nPassword\napp_key\napp-key\nKEY\n",
     USER_PROMPT + "alice\n"
     + CHOICE_PROMPT + "foo\nError: 'foo' is not one of 'password', 'app-key'.\n"
     + CHOICE_PROMPT + "Password\nError: 'Password' is not one of 'password', 'app-key'.\n"
     + CHOICE_PROMPT + "app_key\nError: 'app_key' is not one of 'password', 'app-key'.\n"
     + CHOICE_PROMPT + "app-key\n" + APPKEY_PROMPT + "KEY\n",
     [(APPKEY, "alice:KEY")]),
    (["-u", "bob"], "\n\n\nsec\n",
     CHOICE_PROMPT + "\n" + PASSWORD_PROMPT + "\n" + PASSWORD_PROMPT + "\n" + PASSWORD_PROMPT + "\n",
     [("VANTOREL_LICENSE", "bob:sec")]),
    (["-p", "x"], "bob\n", USER_PROMPT + "bob\n", [("VANTOREL_LICENSE", "bob:x")]),
    (["-k", "K"], "bob\n", USER_PROMPT + "bob\n", [(APPKEY, "bob:K")]),
    (["-p", ""], "bob\n", USER_PROMPT + "bob\n", []),
    (["--env", "uat"], "alice\n\npw\n",
     USER_PROMPT + "alice\n" + CHOICE_PROMPT + "\n" + PASSWORD_PROMPT + "\n",
     [("VANTOREL_LICENSE", "alice:pw"), ("vantorelsdk_env", "uat")]),
    (["-u", "bob", "--env", "nowhere"], "app-key\nK\n",
     CHOICE_PROMPT + "app-key\n" + APPKEY_PROMPT + "K\n", [(APPKEY, "bob:K")]),
])
def test_store_through_prompts(cmds, runner, store, args, typed, output, writes):
    result = runner.invoke(cmds.cli, ["license", *args], input=typed)
    assert (result.exit_code, result.output) == (0, output)
    assert store.writes == writes
    assert store.reads == []


@pytest.mark.parametrize("args, typed", [([], ""), ([], "alice\n"), (["-u", "a"], "app-key\n"), (["-u", "a"], "")])
@pytest.mark.skipif(CLICK_VERSION < (8, 2, 1), reason="CliRunner before click 8.2.1 answers a prompt past the end "
                    "of its input with empty lines forever; test_terminal.py aborts at each prompt on a pty instead")
def test_aborted_input_stores_nothing(cmds, runner, store, args, typed):
    result = runner.invoke(cmds.cli, ["license", *args, "--env", "uat"], input=typed)
    assert result.exit_code == 1
    assert result.stderr == "Aborted!\n"
    assert store.writes == []


class ScriptedClick:
    """Stands in for the click module the callback looks up: answers prompts from a script."""

    Choice = click.Choice

    def __init__(self, answers):
        self.answers = list(answers)
        self.prompts = []
        self.echoed = []

    def prompt(self, *args, **kwargs):
        self.prompts.append((args, kwargs))
        return self.answers.pop(0)

    def echo(self, *args, **kwargs):
        self.echoed.append((args, kwargs))


@pytest.mark.parametrize("args, answers, prompts, message, writes", [
    ([], [None], ["user"], "用户名不能为空", []),
    ([], ["alice", "password", None], ["user", "choice", "password"], "密码不能为空", []),
    ([], ["alice", "app-key", None], ["user", "choice", "app-key"], "app_key不能为空", []),
    ([], ["alice", "neither"], ["user", "choice"], "密码或app-key不能同时为空", []),
    (["-u", "alice"], [None], ["choice"], "密码或app-key不能同时为空", []),
    (["-u", "alice"], ["password", ""], ["choice", "password"], None, [("vantorelsdk_env", "uat")]),
    (["-u", "alice"], ["app-key", 0], ["choice", "app-key"], None, [("vantorelsdk_env", "uat")]),
    ([], ["", "password", "pw"], ["user", "choice", "password"], None,
     [("VANTOREL_LICENSE", ":pw"), ("vantorelsdk_env", "uat")]),
    (["-p", "pw"], [None], ["user"], "用户名不能为空", []),
])
def test_prompt_answers(cmds, runner, store, monkeypatch, args, answers, prompts, message, writes):
    fake = ScriptedClick(answers)
    monkeypatch.setattr(cmds, "click", fake)
    result = runner.invoke(cmds.cli, ["license", *args, "--env", "uat"])
    assert (result.exit_code, result.output) == (0, "")
    assert fake.answers == []
    assert fake.echoed == ([] if message is None else [((message,), {})])
    assert store.writes == writes

    texts = {"user": "请输入用户名", "choice": "请选择要输入的内容", "password": "请输入密码", "app-key": "请输入app-key"}
    assert [args[0] for args, _ in fake.prompts] == [texts[p] for p in prompts]
    for (args, kwargs), kind in zip(fake.prompts, prompts):
        assert len(args) == 1
        assert bool(kwargs.get("hide_input", False)) == (kind == "password")
        if kind == "choice":
            assert isinstance(kwargs["type"], click.Choice)
            assert list(kwargs["type"].choices) == ["password", "app-key"]
            assert kwargs["default"] == "password"
        else:
            assert kwargs.get("default") is None
            assert not isinstance(kwargs.get("type"), click.Choice)


def test_choice_answer_compared_as_python_does(cmds, runner, store, monkeypatch):
    monkeypatch.setattr(cmds, "click", ScriptedClick(["alice", BadEq()]))
    with pytest.raises(Boom):
        runner.invoke(cmds.cli, ["license"], catch_exceptions=False)
    assert store.writes == []


@pytest.mark.parametrize("kwargs", [
    dict(username="u", password="p", app_key=None, show=BadBool(), env=None),
    dict(username="u", password=BadBool(), app_key=None, show=False, env=None),
    dict(username="u", password="", app_key=BadBool(), show=False, env=None),
    dict(username="u", password="p", app_key=None, show=False, env=BadEq()),
])
def test_hostile_values_in_a_direct_call(cmds, store, kwargs):
    with pytest.raises(Boom):
        cmds.license.callback(**kwargs)


def test_direct_call_returns_none(cmds, store):
    assert cmds.license.callback(username="u", password="p", app_key=None, show=False, env="dev") is None
    assert cmds.license.callback(username="u", password=None, app_key=None, show=True, env=None) is None
    assert store.writes == [("VANTOREL_LICENSE", "u:p"), ("vantorelsdk_env", "dev")]


@pytest.mark.parametrize("name, args", [
    ("set_to_environ", ["-u", "a", "-p", "p"]),
    ("get_license_info", ["--show"]),
    ("os", ["--show"]),
    ("click", ["-p", "p"]),
])
def test_deleted_module_name_is_a_name_error(cmds, runner, store, monkeypatch, name, args):
    monkeypatch.delattr(cmds, name)
    result = runner.invoke(cmds.cli, ["license", *args], input="alice\n")
    assert type(result.exception) is NameError
    assert str(result.exception) == f"name '{name}' is not defined"
    assert result.exception.name == name


def test_click_functions_looked_up_at_run_time(cmds, runner, store, monkeypatch):
    echoed = []
    monkeypatch.setattr(click, "prompt", lambda *a, **k: None)
    monkeypatch.setattr(click, "echo", lambda *a, **k: echoed.append(a))
    result = runner.invoke(cmds.cli, ["license", "-p", "pw"])
    assert result.exit_code == 0
    assert echoed == [("用户名不能为空",)]
    assert store.writes == []


class Reordered(tuple):
    """A tuple subclass whose iteration differs from its items: Python unpacks it by iterating."""

    def __iter__(self):
        return iter(("iterated", "value"))


def test_pairs_are_unpacked_by_iteration(cmds, runner, store):
    store.pairs = {"VANTOREL_LICENSE": Reordered(("item", "item")), APPKEY: Reordered(("a", "b", "c"))}
    result = runner.invoke(cmds.cli, ["license", "--show"])
    assert (result.exit_code, result.output) == (0, "用户名: iterated\n密码: value\n用户名: iterated\napp_key: value\n")


class Traced(str):
    """A text whose formatting is recorded, to see it against the lookups around it."""

    def __new__(cls, log, text):
        traced = super().__new__(cls, text)
        traced.log = log
        return traced

    def __format__(self, spec):
        self.log.append("format " + str(self))
        return str(self)


def test_called_functions_are_read_before_their_arguments_are_made(cmds, monkeypatch):
    # Python reads click.echo (or set_to_environ) before it formats the argument.
    log = []

    class Click:
        def __getattr__(self, name):
            log.append(f"click.{name}")
            return lambda *args, **kwargs: log.append(f"call {name}")

    def set_to_environ(*args):
        log.append("call set_to_environ")

    monkeypatch.setattr(cmds, "click", Click())
    monkeypatch.setattr(cmds, "get_license_info", lambda *args: (Traced(log, "u"), Traced(log, "p")))
    monkeypatch.setattr(cmds, "set_to_environ", set_to_environ)
    monkeypatch.setattr(cmds.os, "getenv", lambda name: None)
    cmds.license.callback(username=None, password=None, app_key=None, show=True, env=None)
    assert log == ["click.echo", "format u", "call echo", "click.echo", "format p", "call echo",
                   "click.echo", "format u", "call echo", "click.echo", "format p", "call echo"]

    log.clear()
    cmds.license.callback(username=Traced(log, "u"), password="p", app_key=None, show=False, env=None)
    assert log == ["format u", "call set_to_environ"]
