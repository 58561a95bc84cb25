import importlib
import json
import os
import stat
import subprocess
import sys
import time
import types

import pytest

from hostile import UNPACK_FAILURES, BadBool, BadEq, Boom, python_error, unpack_error

APPKEY = "VANTOREL_APPKEY_LICENSE"
POSIX_CALL = (("varnix",), {"shell": True, "capture_output": True, "text": True, "encoding": "utf-8", "timeout": 60.0})
WINDOWS_ARGV = ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", "& varnix.exe"]


class EqualsAnything:
    """`==` answers with a truthy non-bool, as Python allows."""

    def __eq__(self, other):
        return "yes"

    __hash__ = object.__hash__


class EqBadBool:
    def __eq__(self, other):
        return BadBool()

    __hash__ = object.__hash__


@pytest.fixture
def login():
    return importlib.import_module("vantorel.ombrel.utils.login")


@pytest.fixture
def signed(login, monkeypatch):
    """Every tovi.init call, as (args, kwargs)."""
    calls = []

    def init(*args, **kwargs):
        calls.append((args, kwargs))
        return "session"

    monkeypatch.setattr(login, "tovi", types.SimpleNamespace(init=init))
    return calls


class Store:
    def __init__(self):
        self.pairs = {}
        self.reads = []

    def get_license_info(self, *args, **kwargs):
        self.reads.append((args, kwargs))
        pair = self.pairs.get(args[0] if args else "VANTOREL_LICENSE", (None, None))
        return pair() if callable(pair) else pair


@pytest.fixture
def store(login, monkeypatch):
    fake = Store()
    monkeypatch.setattr(login, "get_license_info", fake.get_license_info)
    return fake


class Agent:
    """Replaces subprocess.run: records each call and answers with a finished process."""

    def __init__(self):
        self.stdout = ""
        self.calls = []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return subprocess.CompletedProcess(args[0] if args else None, 3, stdout=self.stdout, stderr="complaint")


@pytest.fixture
def agent(login, signed, monkeypatch):
    fake = Agent()
    monkeypatch.setattr(login.subprocess, "run", fake.run)
    monkeypatch.setenv("VANTOREL_AGENT", "app_key_tovi")
    return fake


def answer(code=0, entries=None, **extra):
    body = dict(extra)
    if code is not ...:
        body["Code"] = code
    if entries is not ...:
        body["Result"] = entries
    return json.dumps(body)


def account(value):
    return {"Key": "TELMARQ_ACCOUNT", "Value": value}


def app_key(value):
    return {"Key": "TELMARQ_CUSTOM_APP_KEY", "Value": value}


STORED = {"VANTOREL_LICENSE": ("stored", "pw")}
FROM_STORE = [(("stored", "pw"), {})]


def test_module_names_in_order(login):
    from vantorel import tovi
    from vantorel.ombrel.sdk import license_helper

    names = ["tovi", "get_license_info", "os", "sys", "subprocess", "json", "init_tovi"]
    # In a fresh process: tests here delete and restore names, which moves them to the end.
    proc = subprocess.run([sys.executable, "-c", "import vantorel.ombrel.utils.login as m; "
                           f"print([n for n in vars(m) if n in {names!r}])"], capture_output=True, text=True)
    assert (proc.stdout, proc.stderr) == (f"{names!r}\n", "")
    assert (login.tovi, login.get_license_info) == (tovi, license_helper.get_license_info)
    assert (login.os, login.sys, login.subprocess, login.json) == (os, sys, subprocess, json)


@pytest.mark.parametrize("value", [None, "", "APP_KEY_TOVI", "App_Key_Tovi", "app_key_tovi ", " app_key_tovi",
                                   "app_key", "1"])
def test_agent_not_selected(login, signed, store, monkeypatch, value):
    ran = []
    monkeypatch.setattr(login.subprocess, "run", lambda *a, **k: ran.append(a))
    if value is not None:
        monkeypatch.setenv("VANTOREL_AGENT", value)
    store.pairs = STORED
    assert login.init_tovi() is None
    assert ran == []
    assert signed == FROM_STORE


@pytest.mark.parametrize("reply, expected", [
    (answer(0, [account("acct"), app_key("key")]), [(("acct",), {"app_key": "key"})]),
    (answer(0, [app_key("key"), account("acct")]), [(("acct",), {"app_key": "key"})]),
    (answer(0.0, [account("acct"), app_key("key")]), [(("acct",), {"app_key": "key"})]),
    (answer(False, [account("acct"), app_key("key")]), [(("acct",), {"app_key": "key"})]),
    (answer(-0.0, [account("acct"), app_key("key")]), [(("acct",), {"app_key": "key"})]),
    (answer(0, [account("a1"), app_key("k1"), account("a2"), app_key("k2")]), [(("a2",), {"app_key": "k2"})]),
    (answer(0, [{"Value": "x"}, {"Key": None, "Value": "y"}, {"Key": "OTHER", "Value": "z"}, account("acct"),
                {"Key": "telmarq_account", "Value": "lower"}, app_key("key")]), [(("acct",), {"app_key": "key"})]),
    (answer(0, [account(" 张三 "), app_key(" k:ey ")]), [((" 张三 ",), {"app_key": " k:ey "})]),
    (answer(0, [account(10086), app_key(["k"])]), [((10086,), {"app_key": ["k"]})]),
    (answer(0, [account("acct"), app_key("key")], Message="ok"), [(("acct",), {"app_key": "key"})]),
    # Falls back to the stored accounts:
    (answer(2, [account("acct"), app_key("key")]), FROM_STORE),
    (answer(1, [account("acct"), app_key("key")]), FROM_STORE),
    (answer(..., [account("acct"), app_key("key")]), FROM_STORE),
    (answer(None, [account("acct"), app_key("key")]), FROM_STORE),
    (answer("0", [account("acct"), app_key("key")]), FROM_STORE),
    (answer(0.5, [account("acct"), app_key("key")]), FROM_STORE),
    (answer(0, ...), FROM_STORE),
    (answer(0, None), FROM_STORE),
    (answer(0, []), FROM_STORE),
    (answer(0, {}), FROM_STORE),
    (answer(0, [account("acct")]), FROM_STORE),
    (answer(0, [app_key("key")]), FROM_STORE),
    (answer(0, [account(""), app_key("key")]), FROM_STORE),
    (answer(0, [account("acct"), app_key(0)]), FROM_STORE),
    (answer(0, [account("acct"), app_key(None)]), FROM_STORE),
    (answer(0, [account("acct"), {"Key": "TELMARQ_CUSTOM_APP_KEY"}]), FROM_STORE),
    (answer(0, [account("acct"), app_key("key"), {"Key": "TELMARQ_ACCOUNT"}]), FROM_STORE),
    (answer(0, [account("acct"), app_key("key"), app_key("")]), FROM_STORE),
    (answer(0, [{"Key": "TELMARQ_ACCOUNT", "Value": "a", "Key2": "TELMARQ_CUSTOM_APP_KEY"}]), FROM_STORE),
])
def test_agent_answers(login, signed, store, agent, reply, expected):
    agent.stdout = reply
    store.pairs = STORED
    assert login.init_tovi() is None
    assert signed == expected
    assert store.reads == ([] if expected != FROM_STORE else [((), {})])
    assert agent.calls == [POSIX_CALL]


@pytest.mark.parametrize("stdout", ["", "   \n", "not json", "{\"Code\": 0", "Code=0", "\ufeff{}"])
def test_unreadable_answer_raises_and_tries_no_stored_account(login, signed, store, agent, stdout):
    agent.stdout = stdout
    store.pairs = STORED
    with pytest.raises(json.JSONDecodeError) as caught:
        login.init_tovi()
    try:
        json.loads(stdout)
    except json.JSONDecodeError as expected:
        assert (caught.value.msg, caught.value.pos) == (expected.msg, expected.pos)
    assert (signed, store.reads) == ([], [])


@pytest.mark.parametrize("stdout, python", [
    ("[0]", lambda: [0].get("Code", 1)),
    ("null", lambda: None.get("Code", 1)),
    ("0", lambda: (0).get("Code", 1)),
    ("\"text\"", lambda: "text".get("Code", 1)),
    (answer(0, [7]), lambda: (7).get("Key")),
    (answer(0, ["entry"]), lambda: "entry".get("Key")),
    (answer(0, 5), lambda: [x for x in 5]),
    (answer(0, True), lambda: [x for x in True]),
])
def test_malformed_answer_gives_pythons_error(login, signed, store, agent, stdout, python):
    agent.stdout = stdout
    expected = python_error(python)
    with pytest.raises(type(expected)) as caught:
        login.init_tovi()
    assert str(caught.value) == str(expected)
    assert signed == []


def test_missing_standard_output_gives_pythons_error(login, signed, store, agent):
    agent.stdout = None
    expected = python_error(lambda: json.loads(None))
    with pytest.raises(TypeError) as caught:
        login.init_tovi()
    assert str(caught.value) == str(expected)


def test_answer_text_entries_are_visited_per_character(login, signed, store, agent):
    # A truthy "Result" that is a string iterates its characters, each of which lacks get.
    agent.stdout = answer(0, "ab")
    with pytest.raises(AttributeError, match="'str' object has no attribute 'get'"):
        login.init_tovi()


@pytest.mark.parametrize("platform, windows", [
    ("win32", True), ("win", True), ("windows-anything", True),
    ("linux", False), ("darwin", False), ("cygwin", False), ("Win32", False), ("", False),
])
def test_call_form_by_platform(login, signed, store, agent, monkeypatch, platform, windows):
    monkeypatch.setattr(login, "sys", types.SimpleNamespace(platform=platform))
    agent.stdout = answer(0, [account("acct"), app_key("key")])
    login.init_tovi()
    assert len(agent.calls) == 1
    args, kwargs = agent.calls[0]
    if windows:
        assert args == (WINDOWS_ARGV,)
        assert type(args[0]) is list
        assert list(kwargs) == ["env", "capture_output", "text", "encoding", "timeout"]
        assert (kwargs["capture_output"], kwargs["text"], kwargs["encoding"]) == (True, True, "utf-8")
        assert kwargs["env"] == dict(os.environ)
        assert type(kwargs["env"]) is dict
    else:
        assert (args, kwargs) == POSIX_CALL
    assert signed == [(("acct",), {"app_key": "key"})]


def test_windows_environment_is_a_copy_from_the_module_os(login, signed, store, agent, monkeypatch):
    copy = {"ONLY": "this"}
    asked = []

    class Environ:
        def copy(self):
            asked.append("copy")
            return copy

    fake_os = types.SimpleNamespace(getenv=lambda name, *d: asked.append(name) or "app_key_tovi", environ=Environ())
    monkeypatch.setattr(login, "os", fake_os)
    monkeypatch.setattr(login, "sys", types.SimpleNamespace(platform="win32"))
    monkeypatch.delenv("VANTOREL_AGENT")
    agent.stdout = answer(0, [account("acct"), app_key("key")])
    login.init_tovi()
    assert asked == ["VANTOREL_AGENT", "copy"]
    assert agent.calls[0][1]["env"] is copy


def test_module_tovi_and_json_are_looked_up_per_call(login, signed, store, monkeypatch):
    monkeypatch.setenv("VANTOREL_AGENT", "app_key_tovi")
    marker = object()
    loaded = []
    ran = []

    def run(*args, **kwargs):
        ran.append((args, kwargs))
        return types.SimpleNamespace(stdout=marker, returncode=9)

    def loads(text):
        loaded.append(text)
        return {"Code": 0, "Result": [account("from-fake"), app_key("k")]}

    monkeypatch.setattr(login.subprocess, "run", run)
    monkeypatch.setattr(login, "json", types.SimpleNamespace(loads=loads))
    login.init_tovi()
    assert ran == [POSIX_CALL]
    assert loaded[0] is marker and len(loaded) == 1
    assert signed == [(("from-fake",), {"app_key": "k"})]


class OnlyGet:
    """An answer object that offers nothing but get."""

    def __init__(self, data):
        self.data = data

    def get(self, key, default=None):
        return self.data.get(key, default)


def test_answer_needs_only_get(login, signed, store, monkeypatch):
    monkeypatch.setenv("VANTOREL_AGENT", "app_key_tovi")
    monkeypatch.setattr(login.subprocess, "run", lambda *a, **k: types.SimpleNamespace(stdout="{}"))
    entries = (OnlyGet(account("acct")), OnlyGet(app_key("key")))
    monkeypatch.setattr(login, "json", types.SimpleNamespace(
        loads=lambda text: OnlyGet({"Code": 0, "Result": iter(entries)})))
    login.init_tovi()
    assert signed == [(("acct",), {"app_key": "key"})]


@pytest.mark.parametrize("data, outcome", [
    ({"Code": BadEq(), "Result": [account("a"), app_key("k")]}, Boom),
    ({"Code": EqBadBool(), "Result": [account("a"), app_key("k")]}, Boom),
    ({"Code": EqualsAnything(), "Result": [account("a"), app_key("k")]}, [(("a",), {"app_key": "k"})]),
    ({"Code": 0, "Result": BadBool()}, Boom),
    ({"Code": 0, "Result": [{"Key": BadEq(), "Value": "a"}]}, Boom),
    ({"Code": 0, "Result": [{"Key": EqualsAnything(), "Value": "a"}, app_key("k")]}, [(("a",), {"app_key": "k"})]),
    # An entry that matches the account name is not also taken as the app key.
    ({"Code": 0, "Result": [{"Key": EqualsAnything(), "Value": "a"}]}, FROM_STORE),
    ({"Code": 0, "Result": [account(BadBool()), app_key("k")]}, Boom),
    ({"Code": 0, "Result": [account("a"), app_key(BadBool())]}, Boom),
    ({"Code": 0, "Result": [account(""), app_key(BadBool())]}, FROM_STORE),
])
def test_hostile_answer_values(login, signed, store, monkeypatch, data, outcome):
    monkeypatch.setenv("VANTOREL_AGENT", "app_key_tovi")
    monkeypatch.setattr(login.subprocess, "run", lambda *a, **k: types.SimpleNamespace(stdout="{}"))
    monkeypatch.setattr(login, "json", types.SimpleNamespace(loads=lambda text: data))
    store.pairs = STORED
    if outcome is Boom:
        with pytest.raises(Boom):
            login.init_tovi()
        assert signed == []
    else:
        login.init_tovi()
        assert signed == outcome


@pytest.mark.parametrize("agent_value, outcome", [(BadEq(), Boom), (EqBadBool(), Boom), (EqualsAnything(), "ran")])
def test_agent_variable_compared_as_python_does(login, signed, store, monkeypatch, agent_value, outcome):
    ran = []
    monkeypatch.setattr(login, "os", types.SimpleNamespace(getenv=lambda *a: agent_value, environ=os.environ))
    monkeypatch.setattr(login.subprocess, "run", lambda *a, **k: ran.append(a) or types.SimpleNamespace(stdout="{}"))
    if outcome is Boom:
        with pytest.raises(Boom):
            login.init_tovi()
        assert ran == []
    else:
        login.init_tovi()
        assert ran == [("varnix",)]


@pytest.mark.parametrize("password_pair, appkey_pair, expected, reads", [
    (("u", "p"), ("k", "K"), [(("u", "p"), {})], [()]),
    (("u", "p"), (None, None), [(("u", "p"), {})], [()]),
    (("u", ""), ("k", "K"), [(("k",), {"app_key": "K"})], [(), (APPKEY,)]),
    (("", "p"), ("k", "K"), [(("k",), {"app_key": "K"})], [(), (APPKEY,)]),
    ((None, "p"), ("k", "K"), [(("k",), {"app_key": "K"})], [(), (APPKEY,)]),
    ((0, "p"), ("k", "K"), [(("k",), {"app_key": "K"})], [(), (APPKEY,)]),
    ((None, None), (None, None), [], [(), (APPKEY,)]),
    (("u", None), (None, "K"), [], [(), (APPKEY,)]),
    ((None, None), ("k", ""), [], [(), (APPKEY,)]),
    (("u", "p:with:colons"), (None, None), [(("u", "p:with:colons"), {})], [()]),
    (["u", "p"], ("k", "K"), [(("u", "p"), {})], [()]),
    (iter(["u", "p"]), ("k", "K"), [(("u", "p"), {})], [()]),
    ((None, None), iter(["k", "K"]), [(("k",), {"app_key": "K"})], [(), (APPKEY,)]),
    ((7, 8), (None, None), [((7, 8), {})], [()]),
])
def test_stored_accounts(login, signed, store, password_pair, appkey_pair, expected, reads):
    store.pairs = {"VANTOREL_LICENSE": password_pair, APPKEY: appkey_pair}
    assert login.init_tovi() is None
    assert signed == expected
    assert store.reads == [(args, {}) for args in reads]


@pytest.mark.parametrize("which", ["VANTOREL_LICENSE", APPKEY])
@pytest.mark.parametrize("make", UNPACK_FAILURES)
def test_unpacking_errors_are_pythons(login, signed, store, which, make):
    store.pairs = {which: make}
    expected = unpack_error(make)
    with pytest.raises(type(expected)) as caught:
        login.init_tovi()
    assert type(caught.value) is type(expected)
    assert str(caught.value) == str(expected)
    assert type(caught.value.__context__) is type(expected.__context__)
    assert signed == []


def failing_iterator():
    yield "a"
    raise Boom("mid-iteration")


@pytest.mark.parametrize("pair", [(BadBool(), "p"), ("u", BadBool()), failing_iterator])
def test_hostile_stored_values_pass_out(login, signed, store, pair):
    store.pairs = {"VANTOREL_LICENSE": pair}
    with pytest.raises(Boom):
        login.init_tovi()
    assert signed == []


def test_short_circuit_truth_tests(login, signed, store):
    # `user and pw` never asks pw when user is falsy.
    store.pairs = {"VANTOREL_LICENSE": ("", BadBool()), APPKEY: (None, BadBool())}
    assert login.init_tovi() is None
    assert signed == []


@pytest.mark.parametrize("failing", ["store", "tovi"])
def test_errors_pass_out_unchanged(login, store, monkeypatch, failing):
    error = Boom(failing)

    def raising(*args, **kwargs):
        raise error

    if failing == "store":
        monkeypatch.setattr(login, "get_license_info", raising)
    else:
        store.pairs = STORED
        monkeypatch.setattr(login, "tovi", types.SimpleNamespace(init=raising))
    with pytest.raises(Boom) as caught:
        login.init_tovi()
    assert caught.value is error


def test_every_call_starts_over(login, signed, store, agent):
    agent.stdout = answer(0, [account("acct"), app_key("key")])
    login.init_tovi()
    agent.stdout = answer(2)
    store.pairs = STORED
    login.init_tovi()
    assert signed == [(("acct",), {"app_key": "key"}), (("stored", "pw"), {})]
    assert agent.calls == [POSIX_CALL, POSIX_CALL]


def test_call_binding(login):
    with pytest.raises(TypeError, match=r"^init_tovi\(\) takes 0 positional arguments but 1 was given$"):
        login.init_tovi(1)
    with pytest.raises(TypeError, match=r"^init_tovi\(\) got an unexpected keyword argument 'x'$"):
        login.init_tovi(x=1)


# The agent tool for real, through the system shell -----------------------------------------------

@pytest.fixture
def tool_dir(tmp_path, monkeypatch):
    """A PATH holding only a directory for the agent tool and the basic system tools."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}/usr/bin{os.pathsep}/bin")
    monkeypatch.setenv("VANTOREL_AGENT", "app_key_tovi")
    return bin_dir


def install_tool(bin_dir, script):
    tool = bin_dir / "varnix"
    tool.write_bytes(b"#!/bin/sh\n" + script)
    tool.chmod(tool.stat().st_mode | stat.S_IXUSR)


@pytest.mark.skipif(sys.platform.startswith("win"), reason="the system shell form")
@pytest.mark.parametrize("script, expected", [
    (b"printf '%s' '" + answer(0, [account("张三"), app_key("key")]).encode() + b"'\n",
     [(("张三",), {"app_key": "key"})]),
    (b"echo complaint >&2\nprintf '%s' '" + answer(0, [account("a"), app_key("k")]).encode() + b"'\nexit 7\n",
     [(("a",), {"app_key": "k"})]),
    (b"printf '%s' '" + answer(3).encode() + b"'\n", FROM_STORE),
])
def test_real_agent_tool(login, signed, store, tool_dir, script, expected):
    install_tool(tool_dir, script)
    store.pairs = STORED
    login.init_tovi()
    assert signed == expected


@pytest.mark.skipif(sys.platform.startswith("win"), reason="the system shell form")
@pytest.mark.parametrize("script, error", [
    (None, json.JSONDecodeError),
    (b"echo broken >&2\nexit 1\n", json.JSONDecodeError),
    (b"printf '\\377\\376{}'\n", UnicodeDecodeError),
])
def test_real_agent_tool_failures(login, signed, store, tool_dir, script, error):
    if script is not None:
        install_tool(tool_dir, script)
    store.pairs = STORED
    with pytest.raises(error):
        login.init_tovi()
    assert (signed, store.reads) == ([], [])


@pytest.mark.parametrize("name", ["tovi", "get_license_info", "os"])
def test_deleted_module_name_is_a_name_error(login, monkeypatch, name):
    monkeypatch.setattr(login, "get_license_info", lambda *a: ("u", "p"))
    monkeypatch.delattr(login, name)
    with pytest.raises(NameError) as caught:
        login.init_tovi()
    assert str(caught.value) == f"name '{name}' is not defined"


@pytest.mark.parametrize("name", ["sys", "json"])
def test_deleted_agent_name_is_a_name_error(login, signed, store, agent, monkeypatch, name):
    agent.stdout = answer(0, [account("a"), app_key("k")])
    monkeypatch.delattr(login, name)
    with pytest.raises(NameError) as caught:
        login.init_tovi()
    assert str(caught.value) == f"name '{name}' is not defined"


@pytest.mark.parametrize("verdict, windows", [(True, True), ("non-empty", True), (0, False), ([], False)])
def test_platform_asked_through_its_startswith(login, signed, store, agent, monkeypatch, verdict, windows):
    asked = []

    class Platform:
        def startswith(self, *args):
            asked.append(args)
            return verdict

    monkeypatch.setattr(login, "sys", types.SimpleNamespace(platform=Platform()))
    agent.stdout = answer(0, [account("a"), app_key("k")])
    login.init_tovi()
    assert asked == [("win",)]
    assert agent.calls[0][0] == ((WINDOWS_ARGV,) if windows else ("varnix",))


class Reordered(tuple):
    def __iter__(self):
        return iter(("iterated", "value"))


def test_stored_pairs_are_unpacked_by_iteration(login, signed, store):
    store.pairs = {"VANTOREL_LICENSE": Reordered(("one",))}
    login.init_tovi()
    assert signed == [(("iterated", "value"), {})]


class Answer(dict):
    """A dict whose get answers differently from its items: Python calls get."""

    def get(self, key, default=None):
        return {"Code": 0, "Result": [Entry(Key="TELMARQ_ACCOUNT", Value="via-get"),
                                      Entry(Key="TELMARQ_CUSTOM_APP_KEY", Value="k")]}.get(key, default)


class Entry(dict):
    def get(self, key, default=None):
        return dict.get(self, key, default) if key == "Key" else "entry-" + dict.get(self, key, default)


def test_answer_read_through_get_even_on_dict_subclasses(login, signed, store, agent, monkeypatch):
    monkeypatch.setattr(json, "loads", lambda text: Answer(Code=5, Result=[]))
    login.init_tovi()
    assert signed == [(("entry-via-get",), {"app_key": "entry-k"})]


def test_kit_and_standard_functions_looked_up_at_run_time(login, store, monkeypatch):
    from vantorel import tovi

    calls = []
    monkeypatch.setattr(tovi, "init", lambda *a, **k: calls.append((a, k)))
    monkeypatch.setattr(os, "getenv", lambda name, *d: "app_key_tovi" if name == "VANTOREL_AGENT" else None)
    monkeypatch.setattr(subprocess, "run", lambda *a, **k: types.SimpleNamespace(stdout="answer"))
    monkeypatch.setattr(json, "loads", lambda text: {"Code": 0, "Result": [account(text), app_key("k")]})
    login.init_tovi()
    assert calls == [(("answer",), {"app_key": "k"})]


# The agent tool that does not finish -----------------------------------------------------------------

CONSOLE = os.path.join(os.path.dirname(sys.executable), "vantorel")
SLEEPER_PID = "pid"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="the system shell form")
@pytest.mark.parametrize("script", [
    b"echo $$ > " + SLEEPER_PID.encode() + b"\nexec sleep 60\n",
    # Answers and ends, but leaves a process holding its output: subprocess.run waits for that too.
    b"sh -c 'echo $$ > " + SLEEPER_PID.encode() + b"; exec sleep 60' &\nprintf '{}'\n",
])
def test_agent_that_does_not_finish_ends_the_command_within_the_bound(tool_dir, tmp_path, monkeypatch, script):
    install_tool(tool_dir, script)
    monkeypatch.chdir(tmp_path)
    env = dict(os.environ, VANTOREL_AGENT_TIMEOUT="1", PYTHONIOENCODING="utf-8")
    started = time.monotonic()
    try:
        proc = subprocess.run([CONSOLE, "update-data", "--base"], capture_output=True, text=True,
                              encoding="utf-8", env=env, timeout=30)
    finally:
        if (tmp_path / SLEEPER_PID).exists():  # what the bound does not cover: a process the tool left
            subprocess.run(["kill", (tmp_path / SLEEPER_PID).read_text().strip()], capture_output=True)
    assert time.monotonic() - started < 10
    assert (proc.returncode, proc.stdout) == (1, "")
    assert proc.stderr.startswith("错误：本地代理工具 varnix 在 1 秒内没有结束（") and proc.stderr.count("\n") == 1
    assert "VANTOREL_AGENT_TIMEOUT" in proc.stderr


@pytest.mark.parametrize("value", ["0", "0.5", "3601", "-1", "abc", "nan", "inf", "1e9"])
def test_invalid_agent_timeout_names_the_setting_and_starts_nothing(login, signed, store, tool_dir, tmp_path,
                                                                     monkeypatch, value):
    install_tool(tool_dir, b"touch started\nprintf '{}'\n")
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("VANTOREL_AGENT_TIMEOUT", value)
    with pytest.raises(ValueError, match=r"^VANTOREL_AGENT_TIMEOUT 无效：.*1 到 3600") as caught:
        login.init_tovi()
    assert "\n" not in str(caught.value)
    assert not (tmp_path / "started").exists()
    assert (signed, store.reads) == ([], [])


@pytest.mark.parametrize("value", ["", " 2.5 ", "3600"])
def test_valid_agent_timeout_lets_the_tool_answer(login, signed, store, tool_dir, monkeypatch, value):
    install_tool(tool_dir, b"printf '%s' '" + answer(0, [account("a"), app_key("k")]).encode() + b"'\n")
    monkeypatch.setenv("VANTOREL_AGENT_TIMEOUT", value)
    login.init_tovi()
    assert signed == [(("a",), {"app_key": "k"})]
