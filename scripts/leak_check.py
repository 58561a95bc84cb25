"""Calls every entry point of the native modules many times in one process and checks that nothing leaks.

Each scenario is one run of an entry point: a command through ``cli.main`` (click parses the
arguments and calls the native callback), a callback or ``init_tovi`` called directly, a binding
error of a callback object, and every error path the callbacks have (hostile unpack values, import
failures, a deleted global, exceptions from the kit, prompts and truth tests). The kit is replaced by
in-process doubles, so no file, network or child process is touched.

The scenarios run in rounds until the least used entry point has run ``--calls`` times after a
warm-up. The check passes when the resident set grows by less than ``--rss-limit`` bytes, the
interpreter's count of allocated blocks does not grow in every measuring window (a leak grows in
each, noise does not), and every object handed to the entry points keeps its reference count.

    python scripts/leak_check.py                # every entry point a million times
    python scripts/leak_check.py --calls 20000  # a quick look
"""
import argparse
import builtins
import collections
import gc
import io
import json
import os
import sys
import tempfile
import time
import types

import click
import click.termui

CMDS = "vantorel.ombrel.sdk.cmds"
LOGIN = "vantorel.ombrel.utils.login"
BUNDLE = "vantorel.ombrel.alpha.bundle"
SCRIPTS = "vantorel.ombrel.alpha.utils.scripts"
CMDS_BUNDLE = "vantorel.ombrel.cmds.bundle"
APPKEY = "VANTOREL_APPKEY_LICENSE"


def fresh(text):
    """A text object of its own (not interned), so its reference count is ours to watch."""
    return text[:1] + text[1:]


class Boom(Exception):
    pass


class Halt(BaseException):
    pass


class BadBool:
    def __bool__(self):
        raise Boom("truth test")


class BadFormat:
    def __format__(self, spec):
        raise Boom("format")

    def __bool__(self):
        return True


class BadIter:
    def __iter__(self):
        raise Boom("iter")


class BadContains(str):
    def __contains__(self, item):
        raise Boom("contains")


class NamelessModule:
    """What sys.modules may hold: its __name__ cannot be read."""

    def __getattr__(self, name):
        if name == "__name__":
            raise Boom("no name")
        raise AttributeError(name)


class Unshowable(str):
    def __str__(self):
        return None


class Sink(io.StringIO):
    """Standard output and error while the scenarios run: accepts text, keeps nothing."""

    encoding = "utf-8"

    def write(self, s):
        if not isinstance(s, str):
            raise TypeError("text only")
        return len(s)


class Kit:
    """The doubles behind the entry points. A behaviour is a callable run in place of the double."""

    def __init__(self, bundle_path):
        self.bundle_path = bundle_path
        self.calls = 0
        self.behaviour = {}
        self.answers = collections.deque()
        # Objects handed to the entry points; their reference counts must come back unchanged.
        self.user, self.pw, self.app_key = fresh("leak-user"), fresh("leak-password"), fresh("leak-key")
        self.password_pair = (self.user, self.pw)
        self.app_key_pair = (self.user, self.app_key)
        self.non_iterable = object()
        self.triple = (self.user, self.pw, self.app_key)
        self.single = (self.user,)
        self.bad_bool_pair = (BadBool(), self.pw)
        self.bad_format_pair = (BadFormat(), self.pw)
        self.bad_iter = BadIter()
        self.namespace = types.SimpleNamespace()  # a built-in type, named "types.SimpleNamespace" in errors
        self.colon_user = fresh("with:colon")
        self.bad_contains = BadContains("user")
        self.answer_ok = fresh('{"Code": 0, "Result": [{"Key": "TELMARQ_ACCOUNT", "Value": "agent"}, '
                               '{"Key": "TELMARQ_CUSTOM_APP_KEY", "Value": "agent-key"}]}')
        self.answer_code = fresh('{"Code": 2}')
        self.answer_list = fresh("[1, 2]")
        self.answer_entries = fresh('{"Code": 0, "Result": [1]}')
        self.answer_garbage = fresh("not json")
        self.ipython = types.ModuleType("IPython")
        self.ipython.embed = self.double("embed")
        self.ipython_without_embed = types.ModuleType("IPython")
        self.ipython_starting = types.ModuleType("IPython")  # mid-import: the circular-import wording
        self.ipython_starting.__file__ = "/kit/IPython/__init__.py"
        self.ipython_starting.__spec__ = types.SimpleNamespace(_initializing=True)
        self.ipython_nameless = NamelessModule()
        self.ipython_unshowable = types.ModuleType("IPython")
        self.ipython_unshowable.__file__ = Unshowable("/kit/IPython/__init__.py")
        self.modules = {
            BUNDLE: self.module(BUNDLE, "update_bundle_from_corvane", "update_bundle_from_exist_file",
                                "check_min_bar_data", "download_simple_bundle"),
            SCRIPTS: self.module(SCRIPTS, "check_tick"),
            CMDS_BUNDLE: self.module(CMDS_BUNDLE, "check_bundle_data"),
            "IPython": self.ipython,
        }
        self.tovi = types.SimpleNamespace(init=self.double("tovi.init"))
        self.subprocess = types.SimpleNamespace(run=self.double("subprocess.run"))

    def double(self, name):
        def double(*args, **kwargs):
            self.calls += 1
            behaviour = self.behaviour.get(name)
            return None if behaviour is None else behaviour(*args, **kwargs)

        double.__name__ = name
        return double

    def module(self, name, *functions):
        module = types.ModuleType(name)
        for function in functions:
            setattr(module, function, self.double(function))
        return module

    def answer(self, prompt):
        answer = self.answers.popleft()
        if isinstance(answer, type) and issubclass(answer, BaseException):
            raise answer()
        return answer

    def tracked(self):
        """Everything passed in whose reference count the check compares."""
        return [value for value in vars(self).values() if not isinstance(value, (int, dict, collections.deque))]


def returns(value):
    return lambda *args, **kwargs: value


def raises(error, *args):
    def behaviour(*_, **__):
        raise error(*args)

    return behaviour


def store(pairs):
    """get_license_info answering from `pairs`, keyed by the variable asked for."""
    return lambda name="VANTOREL_LICENSE": pairs.get(name, (None, None))


def agent_answer(text):
    return lambda *args, **kwargs: types.SimpleNamespace(stdout=text, returncode=0)


def expect(error, run, *args, **kwargs):
    try:
        run(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{getattr(run, '__name__', run)} did not raise {error.__name__}")


class Scenarios:
    """The scenarios, each one run of an entry point with what it must come to."""

    def __init__(self, kit, cmds, login):
        self.kit, self.cmds, self.login = kit, cmds, login
        self.runs = collections.Counter()  # calls of each native entry point

    def entry(self, name):
        """The native callable `name` (a command's callback, or init_tovi), counted at each call."""
        target = self.login.init_tovi if name == "init_tovi" else getattr(self.cmds, name).callback
        runs = self.runs

        def counted(*args, **kwargs):
            runs[name] += 1
            return target(*args, **kwargs)

        return counted

    def all(self):
        return [(name[2:], getattr(self, name)) for name in sorted(vars(type(self))) if name.startswith("s_")]

    def main(self, command, *args):
        self.runs["cli"] += 1
        self.runs[command.replace("-", "_")] += 1
        return self.cmds.cli.main([command, *args], prog_name="vantorel", standalone_mode=False)

    def set(self, **behaviour):
        self.kit.behaviour = {name.replace("__", "."): value for name, value in behaviour.items()}

    def reset(self):
        """What every scenario starts from: an empty store, doubles that return None, no answers."""
        kit = self.kit
        kit.behaviour = {}
        kit.answers.clear()
        self.cmds.get_license_info = store({})
        self.cmds.set_to_environ = kit.double("set_to_environ")
        self.login.get_license_info = store({})

    # -- license
    def s_license_show(self):
        kit = self.kit
        self.cmds.get_license_info = store({"VANTOREL_LICENSE": kit.password_pair, APPKEY: kit.app_key_pair})
        os.environ["vantorelsdk_env"] = "uat"
        try:
            assert self.main("license", "--show") is None
        finally:
            del os.environ["vantorelsdk_env"]

    def s_license_show_nothing(self):
        self.cmds.get_license_info = store({})
        assert self.main("license", "--show") is None

    def s_license_show_hostile_pairs(self):
        kit = self.kit
        for pair, error in ((kit.non_iterable, TypeError), (kit.triple, ValueError), (kit.single, ValueError),
                            (kit.bad_bool_pair, Boom), (kit.bad_format_pair, Boom), (kit.bad_iter, Boom),
                            (kit.namespace, TypeError)):
            self.cmds.get_license_info = store({"VANTOREL_LICENSE": pair})
            expect(error, self.main, "license", "--show")

    def s_license_show_store_fails(self):
        self.cmds.get_license_info = raises(Boom, "store")
        expect(Boom, self.main, "license", "--show")

    def s_license_direct(self):
        kit = self.kit
        self.cmds.set_to_environ = kit.double("set_to_environ")
        assert self.main("license", "-u", kit.user, "-p", kit.pw, "--env", "uat") is None
        assert self.main("license", "-u", kit.user, "-k", kit.app_key, "--env", "elsewhere") is None
        assert self.main("license", "-u", kit.colon_user, "-p", kit.pw) is None
        assert self.main("license", "-u", kit.user, "-p", "") is None

    def s_license_interactive(self):
        kit = self.kit
        self.cmds.set_to_environ = kit.double("set_to_environ")
        kit.answers.extend([kit.user, "", kit.pw])
        assert self.main("license") is None
        kit.answers.extend([kit.user, "app-key", kit.app_key])
        assert self.main("license") is None
        kit.answers.extend(["nonsense", "password", kit.pw])
        assert self.main("license", "-u", kit.user) is None

    def s_license_prompt_aborted(self):
        kit = self.kit
        for answers in ([KeyboardInterrupt], [kit.user, EOFError], [kit.user, "password", KeyboardInterrupt]):
            kit.answers.extend(answers)
            expect(click.Abort, self.main, "license")
            kit.answers.clear()

    def s_license_store_fails(self):
        self.cmds.set_to_environ = raises(Boom, "write")
        expect(Boom, self.main, "license", "-u", self.kit.user, "-p", self.kit.pw)

    def s_license_hostile_direct(self):
        kit, callback = self.kit, self.entry("license")
        expect(Boom, callback, kit.bad_contains, None, None, False, None)
        expect(Boom, callback, kit.user, BadBool(), None, False, None)
        expect(TypeError, callback, 5, kit.pw, None, False, None)
        expect(Boom, callback, kit.user, BadFormat(), None, False, None)
        expect(Boom, callback, kit.user, kit.pw, None, BadBool(), None)

    def s_license_deleted_global(self):
        saved = self.cmds.set_to_environ
        del self.cmds.set_to_environ
        try:
            expect(NameError, self.main, "license", "-u", self.kit.user, "-p", self.kit.pw)
        finally:
            self.cmds.set_to_environ = saved

    # -- shell
    def s_shell(self):
        assert self.main("shell") is None
        self.set(embed=raises(Boom, "embed"))
        expect(Boom, self.main, "shell")

    def s_shell_without_ipython(self):
        kit, modules = self.kit, sys.modules
        for stand_in in (None, kit.ipython_without_embed, kit.ipython_starting):
            modules["IPython"] = stand_in
            try:
                assert self.main("shell") is None
            finally:
                modules["IPython"] = kit.ipython
        # 3.13 lets the error from __name__ through; before, the name just counts as unknown.
        for stand_in, error in ((kit.ipython_unshowable, TypeError),  # the interpreter's "expected a message argument"
                                (kit.ipython_nameless, Boom if sys.version_info >= (3, 13) else None)):
            modules["IPython"] = stand_in
            try:
                if error is None:
                    assert self.main("shell") is None
                else:
                    expect(error, self.main, "shell")
            finally:
                modules["IPython"] = kit.ipython

    def s_shell_hint_fails(self):
        # The install hint is echoed while the ImportError is being handled.
        cmds, shell = self.cmds, self.entry("shell")
        saved = cmds.click
        sys.modules["IPython"] = None
        try:
            cmds.click = types.SimpleNamespace(echo=raises(Boom, "echo"))
            expect(Boom, shell)
            del cmds.click
            expect(NameError, shell)
        finally:
            cmds.click = saved
            sys.modules["IPython"] = self.kit.ipython

    def s_shell_import_raises(self):
        saved = builtins.__import__

        def failing(name, *args, **kwargs):
            if name == "IPython":
                raise Boom("import")
            return saved(name, *args, **kwargs)

        builtins.__import__ = failing
        try:
            expect(Boom, self.main, "shell")
        finally:
            builtins.__import__ = saved

    # -- update-data
    def s_update_help(self):
        self.login.get_license_info = store({})
        assert self.main("update-data", "-d", self.kit.bundle_path) == 1

    def s_update(self):
        kit = self.kit
        self.login.get_license_info = store({"VANTOREL_LICENSE": kit.password_pair})
        self.set(update_bundle_from_corvane=returns(True), update_bundle_from_exist_file=returns(True))
        assert self.main("update-data", "-d", kit.bundle_path, "--base", "--minbar", "stock", "--tick", "JD",
                         "--smart", "--rebuild", "-c", "5") is None

    def s_update_fails(self):
        self.login.get_license_info = store({})
        self.set(update_bundle_from_corvane=returns(True), update_bundle_from_exist_file=returns(0))
        expect(SystemExit, self.main, "update-data", "-d", self.kit.bundle_path, "--smart")
        self.set(update_bundle_from_corvane=returns(BadBool()))
        expect(Boom, self.main, "update-data", "-d", self.kit.bundle_path, "--base")
        self.set(check_tick=raises(Halt))
        expect(Halt, self.main, "update-data", "-d", self.kit.bundle_path, "--base")

    def s_update_import_failures(self):
        self.login.get_license_info = store({})
        modules = sys.modules
        for name, stand_in in ((BUNDLE, types.ModuleType(BUNDLE)), (SCRIPTS, None), (LOGIN, None)):
            saved = modules[name]
            modules[name] = stand_in
            try:
                expect(ImportError, self.main, "update-data", "-d", self.kit.bundle_path, "--base")
            finally:
                modules[name] = saved

    def s_update_login_fails(self):
        self.login.get_license_info = returns(self.kit.non_iterable)
        expect(TypeError, self.main, "update-data", "-d", self.kit.bundle_path)

    # -- check-data
    def s_check(self):
        for flags in ((), ("--minbar",), ("--daybar",), ("--minbar", "--daybar")):
            assert self.main("check-data", "-d", self.kit.bundle_path, *flags) is None

    def s_check_fails(self):
        self.set(check_bundle_data=raises(Boom, "check"))
        expect(Boom, self.main, "check-data", "-d", self.kit.bundle_path)
        saved = sys.modules[CMDS_BUNDLE]
        sys.modules[CMDS_BUNDLE] = None
        try:
            expect(ImportError, self.main, "check-data")
        finally:
            sys.modules[CMDS_BUNDLE] = saved

    def s_check_deleted_global(self):
        saved = self.cmds.os
        del self.cmds.os
        try:
            expect(NameError, self.main, "check-data", "--daybar")
        finally:
            self.cmds.os = saved

    # -- download-data
    def s_download(self):
        kit = self.kit
        self.set(download_simple_bundle=returns(kit.user))
        assert self.main("download-data", "-d", kit.bundle_path, "--sample", "-f", kit.app_key) is kit.user
        assert self.entry("download_data")(kit.bundle_path) is kit.user
        self.set(download_simple_bundle=raises(KeyboardInterrupt))
        expect(click.Abort, self.main, "download-data")

    # -- init_tovi
    def s_login_store(self):
        kit, init_tovi = self.kit, self.entry("init_tovi")
        for pairs in ({"VANTOREL_LICENSE": kit.password_pair}, {APPKEY: kit.app_key_pair},
                      {"VANTOREL_LICENSE": (kit.user, ""), APPKEY: kit.app_key_pair}, {}):
            self.login.get_license_info = store(pairs)
            assert init_tovi() is None

    def s_login_store_hostile(self):
        kit, init_tovi = self.kit, self.entry("init_tovi")
        for pair, error in ((kit.non_iterable, TypeError), (kit.triple, ValueError), (kit.single, ValueError),
                            (kit.bad_bool_pair, Boom), (kit.bad_iter, Boom), (kit.namespace, TypeError)):
            self.login.get_license_info = store({"VANTOREL_LICENSE": pair})
            expect(error, init_tovi)
        self.login.get_license_info = store({"VANTOREL_LICENSE": kit.password_pair})
        self.set(tovi__init=raises(Boom, "refused"))
        expect(Boom, init_tovi)

    def s_login_agent(self):
        kit, init_tovi = self.kit, self.entry("init_tovi")
        self.login.get_license_info = store({})
        os.environ["VANTOREL_AGENT"] = "app_key_tovi"
        try:
            for answer in (kit.answer_ok, kit.answer_code):
                self.set(subprocess__run=agent_answer(answer))
                assert init_tovi() is None
            for answer, error in ((kit.answer_list, AttributeError), (kit.answer_entries, AttributeError),
                                  (kit.answer_garbage, json.JSONDecodeError)):
                self.set(subprocess__run=agent_answer(answer))
                expect(error, init_tovi)
            self.set(subprocess__run=raises(FileNotFoundError, 2, "no such file"))
            expect(FileNotFoundError, init_tovi)
        finally:
            del os.environ["VANTOREL_AGENT"]

    def s_login_deleted_global(self):
        saved = self.login.tovi
        del self.login.tovi
        self.login.get_license_info = store({"VANTOREL_LICENSE": self.kit.password_pair})
        try:
            expect(NameError, self.entry("init_tovi"))
        finally:
            self.login.tovi = saved

    # -- the callback objects themselves
    def s_binding_errors(self):
        entry = self.entry
        expect(TypeError, entry("license"))
        expect(TypeError, entry("check_data"), 1, 2, 3, 4)
        expect(TypeError, entry("update_data"), bogus=1)
        expect(TypeError, entry("download_data"), "p", data_bundle_path="p")
        expect(TypeError, entry("shell"), 1)
        expect(TypeError, entry("init_tovi"), x=1)
        cli = entry("cli")
        expect(TypeError, lambda: cli(**{1: 2}))
        assert cli() is None

    def s_function_attributes(self):
        callback = self.cmds.download_data.callback
        assert str(callback.__signature__) == "(data_bundle_path, sample=True, file_path=None)"
        assert callback.__defaults__ == (True, None)
        assert repr(callback).startswith("<function download_data at ")
        expect(TypeError, setattr, callback, "__name__", 1)
        callback.__dict__["extra"] = self.kit.user
        del callback.__dict__["extra"]


class Isolation:
    """Installs the kit doubles and a silent terminal; restores everything on exit."""

    def __init__(self, kit, cmds, login):
        self.kit, self.cmds, self.login = kit, cmds, login
        self.saved_modules = {}
        self.saved_attributes = []

    def patch(self, target, name, value):
        self.saved_attributes.append((target, name, getattr(target, name)))
        setattr(target, name, value)

    def __enter__(self):
        for name, module in self.kit.modules.items():
            self.saved_modules[name] = sys.modules.get(name)
            sys.modules[name] = module
        kit = self.kit
        self.patch(self.cmds, "get_license_info", None)
        self.patch(self.cmds, "set_to_environ", None)
        self.patch(self.login, "get_license_info", None)
        self.patch(self.login, "tovi", kit.tovi)
        self.patch(self.login, "subprocess", kit.subprocess)
        self.patch(click.termui, "visible_prompt_func", kit.answer)
        self.patch(click.termui, "hidden_prompt_func", kit.answer)
        self.patch(sys, "stdout", Sink())
        self.patch(sys, "stderr", Sink())
        self.saved_environ = {name: os.environ.pop(name, None) for name in ("VANTOREL_AGENT", "vantorelsdk_env")}
        return self

    def __exit__(self, *exc):
        for target, name, value in reversed(self.saved_attributes):
            setattr(target, name, value)
        for name, module in self.saved_modules.items():
            if module is None:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = module
        for name, value in self.saved_environ.items():
            if value is not None:
                os.environ[name] = value


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def refcounts(objects):
    return [sys.getrefcount(value) for value in objects]


def settle():
    """Drops what the interpreter keeps only for speed, so that what is left is what the runs kept.

    Besides the cycles, that is the type attribute cache: it holds on to the name objects of recent
    lookups, and the native code makes a new one for each lookup by name.
    """
    gc.collect()
    sys._clear_type_cache()


def run_rounds(scenarios, rounds):
    reset = scenarios.reset
    runs = scenarios.all()
    for _ in range(rounds):
        for _, scenario in runs:
            reset()
            scenario()


def measure(calls, windows=4, warmup=None, bundle_path=None):
    """Runs the check and returns its figures as a dict.

    `calls` is how often the least used entry point runs in the measured part; the rounds are split
    into `windows`, and the interpreter's allocated blocks are counted around each window: noise comes
    and goes, a leak grows in every one.
    """
    import importlib

    cmds = importlib.import_module(CMDS)
    login = importlib.import_module(LOGIN)
    with tempfile.TemporaryDirectory() as scratch:
        path = bundle_path or scratch
        os.makedirs(os.path.join(path, "bundle"), exist_ok=True)
        kit = Kit(path)
        with Isolation(kit, cmds, login):
            scenarios = Scenarios(kit, cmds, login)
            run_rounds(scenarios, 1)
            per_round = dict(scenarios.runs)
            window = max(1, -(-calls // (min(per_round.values()) * windows)))
            warmup = max(100, window) if warmup is None else warmup
            run_rounds(scenarios, warmup)
            tracked = kit.tracked()
            settle()
            counts_before = refcounts(tracked)
            rss_before = rss_bytes()
            scenarios.runs.clear()
            block_growth = []
            started = time.perf_counter()
            for _ in range(windows):
                settle()
                blocks = sys.getallocatedblocks()
                run_rounds(scenarios, window)
                settle()
                block_growth.append(sys.getallocatedblocks() - blocks)
            elapsed = time.perf_counter() - started
            rss_after = rss_bytes()
            counts_after = refcounts(tracked)
            runs = dict(scenarios.runs)
    changed = [(type(value).__name__, before, after)
               for value, before, after in zip(tracked, counts_before, counts_after) if before != after]
    return {
        "scenarios": len(scenarios.all()),
        "rounds": window * windows,
        "window": window,
        "warmup": warmup,
        "runs": runs,
        "kit calls": kit.calls,
        "seconds": elapsed,
        "rss growth": rss_after - rss_before,
        "block growth": block_growth,
        "tracked objects": len(tracked),
        "refcount changes": changed,
    }


def verdict(figures, rss_limit=1 << 20):
    """The reasons the figures fail the check; empty when they pass."""
    problems = []
    if figures["rss growth"] >= rss_limit:
        problems.append(f"RSS grew by {figures['rss growth']} bytes")
    # One block kept by one scenario adds one block per round, in every window.
    if min(figures["block growth"]) >= figures["window"] / 2:
        problems.append(f"allocated blocks grew in every window of {figures['window']} rounds: "
                        f"{figures['block growth']}")
    if figures["refcount changes"]:
        problems.append(f"reference counts changed: {figures['refcount changes']}")
    return problems


def report(figures):
    runs = figures["runs"]
    total = sum(runs.values())
    lines = [
        f"scenarios: {figures['scenarios']}, rounds: {figures['rounds']} after {figures['warmup']} warm-up",
        "entry-point calls: " + ", ".join(f"{name} {count}" for name, count in sorted(runs.items())),
        f"{total} calls, {figures['kit calls']} kit double calls, {figures['seconds']:.1f} s "
        f"({figures['seconds'] / total * 1e6:.1f} us per call)",
        f"RSS growth: {figures['rss growth'] / 1024:.1f} KiB",
        f"allocated blocks growth per window of {figures['window']} rounds: {figures['block growth']}",
        f"reference counts: {figures['tracked objects']} objects passed in, "
        f"{len(figures['refcount changes'])} changed",
    ]
    return "\n".join(lines)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000,
                        help="calls of the least used entry point (default 1 000 000)")
    parser.add_argument("--windows", type=int, default=4, help="measuring windows (default 4)")
    parser.add_argument("--warmup", type=int, help="rounds before measuring (default one window, at least 100)")
    parser.add_argument("--rss-limit", type=int, default=1 << 20, help="bytes of RSS growth allowed (default 1 MiB)")
    args = parser.parse_args(argv)
    with tempfile.TemporaryDirectory() as home:
        os.environ["VANTOREL_HOME"] = home  # the account store imported with cmds looks only here
        figures = measure(args.calls, args.windows, args.warmup)
    print(report(figures))
    problems = verdict(figures, args.rss_limit)
    for problem in problems:
        print("FAIL:", problem)
    print("leak check:", "failed" if problems else "passed")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
