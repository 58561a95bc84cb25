"""The native callbacks against their Python equivalents, on the same hostile kit values.

Each native source file opens with the Python it is equivalent to. That Python is read from there,
its functions are rebuilt over the native module's own globals, and native and Python run in turn
against doubles built afresh from one drawn description: kit functions that return anything or raise
anything, values whose truth test, ``==``, iteration, formatting or attributes misbehave, broken
imports and deleted globals. What each returns or raises, and every call it makes to the doubles
(dunder methods of the values included), must be the same.
"""
import ast
import builtins
import contextlib
import importlib
import os
import pathlib
import re
import sys
import textwrap
import types

import click
import pytest
from hypothesis import HealthCheck, Phase, example, given, settings
from hypothesis import strategies as st

NATIVE = pathlib.Path(__file__).resolve().parents[2] / "native"
CMDS = "vantorel.ombrel.sdk.cmds"
LOGIN = "vantorel.ombrel.utils.login"
BUNDLE = "vantorel.ombrel.alpha.bundle"
SCRIPTS = "vantorel.ombrel.alpha.utils.scripts"
CMDS_BUNDLE = "vantorel.ombrel.cmds.bundle"

# More with VANTOREL_HOSTILE_EXAMPLES=2000 for a thorough run.
EXAMPLES = int(os.environ.get("VANTOREL_HOSTILE_EXAMPLES", "60"))
# No explain phase: its tracing gives the Python functions a locals dict that they lack otherwise.
SETTINGS = settings(max_examples=EXAMPLES, deadline=None, database=None,
                    phases=[Phase.explicit, Phase.generate, Phase.shrink],
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.large_base_example, HealthCheck.filter_too_much])


# ---------------------------------------------------------------- the Python equivalents

def equivalent_python(path):
    """The code of the "Equivalent Python" comment that opens a native source file."""
    lines = path.read_text(encoding="utf-8").splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("// Equivalent Python")) + 1
    code = []
    for line in lines[start:]:
        if not line.startswith("//"):
            break
        body = line[2:]
        if body.strip() and not body.startswith("    "):  # the prose that follows the code
            break
        code.append(body)
    return textwrap.dedent("\n".join(code))


def python_twins(module, *sources):
    """The functions of the equivalents, undecorated, running over `module`'s own globals."""
    namespace = {}
    for source in sources:
        tree = ast.parse(equivalent_python(NATIVE / source))
        functions = [node for node in tree.body if isinstance(node, ast.FunctionDef)]
        for node in functions:
            node.decorator_list = []
        exec(compile(ast.Module(body=functions, type_ignores=[]), str(NATIVE / source), "exec"), namespace)
    return {name: types.FunctionType(f.__code__, vars(module), name, f.__defaults__)
            for name, f in namespace.items() if isinstance(f, types.FunctionType)}


@pytest.fixture(scope="module")
def cmds():
    return importlib.import_module(CMDS)


@pytest.fixture(scope="module")
def login():
    return importlib.import_module(LOGIN)


@pytest.fixture(scope="module")
def twins(cmds, login):
    found = python_twins(cmds, "cmds/module.cpp", "cmds/license.cpp", "cmds/shell.cpp", "cmds/update_data.cpp",
                         "cmds/check_data.cpp", "cmds/download_data.cpp")
    found.update(python_twins(login, "login/module.cpp"))
    return found


def test_every_equivalent_is_read(twins):
    assert sorted(twins) == ["check_data", "cli", "download_data", "init_tovi", "license", "shell", "update_data"]


# ---------------------------------------------------------------- what the doubles can do

class KitError(Exception):
    pass


class KitInterrupt(BaseException):
    pass


EXCEPTIONS = [ValueError, TypeError, KeyError, AttributeError, ImportError, ModuleNotFoundError, StopIteration,
              RuntimeError, OSError, NameError, RecursionError, SystemExit, KeyboardInterrupt, GeneratorExit,
              KitError, KitInterrupt, click.Abort, click.ClickException]

# Texts the code compares with, so that draws reach every branch.
KIT_TEXTS = ["password", "app-key", "test", "uat", "wm", "wmout", "UAT", "app_key_tovi", "TELMARQ_ACCOUNT",
             "TELMARQ_CUSTOM_APP_KEY", "Code", "Result", "win32", "linux", "user", "a:b", ":", ""]

METHODS = ["__bool__", "__len__", "__eq__", "__iter__", "__getitem__", "__contains__", "__format__", "__str__",
           "get", "startswith", "copy"]
# What __getattr__ may be asked for, by the code or by the import system; any other name is missing.
ATTRIBUTES = ["__spec__", "__path__", "__name__", "__file__", "_initializing", "embed", "init_tovi", "check_tick",
              "download_simple_bundle", "get", "stdout", "copy"]

exceptions = st.tuples(st.sampled_from(range(len(EXCEPTIONS))), st.sampled_from(["", "kit says no", "x" * 300]))

plain = st.one_of(
    st.none(), st.booleans(), st.integers(-2, 2), st.sampled_from([2 ** 70, -(2 ** 70)]), st.floats(),
    st.sampled_from(KIT_TEXTS), st.text(max_size=8), st.binary(max_size=3),
).map(lambda value: ("plain", value))

leaves = st.one_of(
    plain, plain, plain,
    st.sampled_from([10 ** 5, 10 ** 6]).map(lambda n: ("huge", n)),
    st.sampled_from(["namespace", "object"]).map(lambda kind: ("static", kind)),
)


def actions(values):
    """What a double or a method does at its 1st, 2nd, ... call (the last one repeats)."""
    one = st.one_of(
        st.tuples(st.just("return"), values), st.tuples(st.just("return"), values),
        st.tuples(st.just("raise"), exceptions),
        st.tuples(st.just("iterate"), st.lists(values, max_size=3), st.none() | exceptions),
    )
    return st.lists(one, max_size=3)


def hostile(values):
    base = st.one_of(
        st.tuples(st.just("object"), st.none()), st.tuples(st.just("str"), st.sampled_from(KIT_TEXTS)),
        st.tuples(st.just("int"), st.integers(0, 1)), st.tuples(st.just("tuple"), st.lists(values, max_size=3)),
    )
    return st.tuples(st.just("hostile"), base, st.sampled_from(["Hostile", "V" * 300]),
                     st.dictionaries(st.sampled_from(METHODS), actions(values), max_size=4),
                     st.dictionaries(st.sampled_from(ATTRIBUTES), actions(values), max_size=3))


values = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.tuples(st.sampled_from(["tuple", "list"]), st.lists(children, max_size=3)),
        st.tuples(st.just("dict"), st.lists(st.tuples(st.sampled_from(KIT_TEXTS[8:11] + ["Key", "Value"]), children),
                                            max_size=3)),
        st.tuples(st.just("attrs"), st.dictionaries(st.sampled_from(["stdout", "_initializing"]), children,
                                                    min_size=1, max_size=2)),
        hostile(children),
    ),
    max_leaves=6,
)

text_pairs = st.tuples(st.just("tuple"), st.lists(st.sampled_from(KIT_TEXTS).map(lambda t: ("plain", t)),
                                                  min_size=2, max_size=2))
value_pairs = st.tuples(st.just("tuple"), st.lists(values, min_size=2, max_size=2))
flags = st.booleans().map(lambda value: ("plain", value))
results = actions(values | text_pairs | flags)
pairs = actions(text_pairs | value_pairs | values)


def module_entry(names):
    """What sys.modules holds for a kit module: a module with all or some of its functions, None, or anything."""
    functions = st.dictionaries(st.sampled_from(names), results, max_size=len(names))
    # __file__ and __spec__ shape the ImportError for a missing name.
    extras = st.dictionaries(st.sampled_from(["__file__", "__spec__", "__name__"]),
                             st.sampled_from(["/kit/module.py", "长" * 300]).map(lambda t: ("plain", t)) | values,
                             max_size=2)
    return st.one_of(
        st.tuples(st.just("module"), st.fixed_dictionaries({name: results for name in names}), st.just({})),
        st.tuples(st.just("module"), functions, extras),
        st.tuples(st.just("none")),
        st.tuples(st.just("value"), values),
    )


# An import that fails: the n-th call of builtins.__import__ raises.
import_failures = st.none() | st.tuples(st.integers(0, 3), exceptions)


# ---------------------------------------------------------------- building the doubles

class World:
    """One run's doubles, built from a drawn description; every call to them is logged."""

    def __init__(self, module):
        self.module = module
        self.log = []
        self.count = 0

    # values
    def build(self, drawn):
        kind = drawn[0]
        if kind == "plain":
            return drawn[1]
        if kind == "huge":
            return "长" * drawn[1]
        if kind == "static":
            return types.SimpleNamespace() if drawn[1] == "namespace" else object()
        if kind == "tuple":
            return tuple(self.build(item) for item in drawn[1])
        if kind == "list":
            return [self.build(item) for item in drawn[1]]
        if kind == "dict":
            return {key: self.build(item) for key, item in drawn[1]}
        if kind == "attrs":
            return types.SimpleNamespace(**{key: self.build(item) for key, item in drawn[1].items()})
        if kind == "hostile":
            return self.hostile(*drawn[1:])
        raise AssertionError(drawn)

    def hostile(self, base, name, methods, attributes):
        tag = f"h{self.count}"
        self.count += 1
        base_type = {"object": object, "str": str, "int": int, "tuple": tuple}[base[0]]
        namespace = {"_tag": tag, "__hash__": base_type.__hash__}
        for method, steps in methods.items():
            namespace[method] = self.method(tag, method, steps)
        if attributes:
            namespace["__getattr__"] = self.getattr_method(tag, attributes)
        cls = type(name, (base_type,), namespace)
        if base[0] == "object":
            return cls()
        if base[0] == "tuple":
            return cls(self.build(item) for item in base[1])
        return cls(base[1])

    def method(self, tag, name, steps):
        world = self

        def method(this, *args):
            if name == "__getitem__" and type(args[0]) is int and args[0] >= 3:
                raise IndexError(args[0])  # else iterating over it would never end
            return world.perform((tag, name), steps, args, {})

        return method

    def getattr_method(self, tag, attributes):
        world = self

        def __getattr__(this, name):
            if name not in attributes:
                raise AttributeError(name)
            return world.perform((tag, "__getattr__", name), attributes[name], (), {})

        return __getattr__

    def perform(self, who, steps, args, kwargs, default=None):
        if len(self.log) > 2000:
            raise Runaway  # the same for both runs, and it ends a loop the values might have made
        calls = sum(1 for entry in self.log if entry[0] == who)
        self.log.append((who, self.normal(args), self.normal(kwargs)))
        if not steps:
            return default(*args, **kwargs) if default else None
        step = steps[min(calls, len(steps) - 1)]
        if step[0] == "return":
            return self.build(step[1])
        if step[0] == "raise":
            raise self.exception(step[1])
        return Script(self, who, [self.build(item) for item in step[1]], step[2])

    def exception(self, drawn):
        return EXCEPTIONS[drawn[0]](drawn[1])

    def double(self, name, steps, default=None):
        world = self

        def double(*args, **kwargs):
            return world.perform(name, steps, args, kwargs, default)

        double.__name__ = name
        return double

    def kit_module(self, name, drawn):
        if drawn[0] == "none":
            return None
        if drawn[0] == "value":
            return self.build(drawn[1])
        module = types.ModuleType(name)
        for function, steps in drawn[1].items():
            setattr(module, function, self.double(function, steps))
        for attribute, value in drawn[2].items():
            setattr(module, attribute, self.build(value))
        return module

    def normal(self, value, depth=0):
        """A description of a value that compares by value, and by tag for the doubles' own objects."""
        tag = type(value).__dict__.get("_tag")
        if tag is not None:
            return tag
        if value is vars(self.module):
            return "<module globals>"
        if type(value) is str:
            return re.sub(r"0x[0-9a-f]+", "0x?", value)  # default reprs name the object's address
        if type(value) in (type(None), bool, int, bytes):
            return value
        if type(value) is float:
            return repr(value)
        if depth < 4 and type(value) in (tuple, list):
            return (type(value).__name__, [self.normal(item, depth + 1) for item in value])
        if depth < 4 and type(value) is dict:
            return ("dict", [(self.normal(k, depth + 1), self.normal(v, depth + 1)) for k, v in value.items()])
        return ("object", type(value).__name__)

    def outcome(self, run):
        try:
            result = run()
        except BaseException as error:  # noqa: B902 -- the run may raise anything, SystemExit included
            return ("raise", self.describe(error))
        return ("return", self.normal(result))

    def describe(self, error, depth=0):
        described = [type(error).__name__, self.normal(str(error)), self.normal(error.args)]
        if isinstance(error, ImportError):
            described += [self.normal(error.name), self.normal(error.path),
                          self.normal(getattr(error, "name_from", None))]
        if depth < 3:
            for linked in (error.__cause__, error.__context__):
                described.append(None if linked is None else self.describe(linked, depth + 1))
        return described


class Runaway(BaseException):
    pass


class Script:
    """The iterator an `iterate` step returns: its items, then StopIteration or the exception drawn."""

    def __init__(self, world, who, items, end):
        self.world, self.who, self.items, self.end = world, who, items, end

    def __iter__(self):
        return self

    def __next__(self):
        self.world.log.append(((self.who, "next"), (), {}))
        if self.items:
            return self.items.pop(0)
        if self.end is not None:
            raise self.world.exception(self.end)
        raise StopIteration


@contextlib.contextmanager
def patched(world, names, modules=None, deleted=None, import_failure=None):
    """Module globals, sys.modules entries and builtins.__import__ for one run, restored afterwards."""
    module_dict = vars(world.module)
    saved_names = {name: module_dict.get(name, KeyError) for name in list(names) + ([deleted] if deleted else [])}
    saved_modules = {name: sys.modules.get(name, KeyError) for name in (modules or {})}
    real_import = builtins.__import__
    imports = [0]

    def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
        # Only the code under test: the Python function's frame, or (native code has none) invoke's.
        # What click or importlib import on the way is their business.
        caller = sys._getframe(1)
        if caller.f_code is not invoke.__code__ and caller.f_globals is not module_dict:
            return real_import(name, globals, locals, fromlist, level)
        world.log.append(("__import__", name, world.normal(globals), world.normal(locals),
                          world.normal(fromlist), level))
        imports[0] += 1
        if import_failure is not None and imports[0] - 1 == import_failure[0]:
            raise world.exception(import_failure[1])
        return real_import(name, globals, locals, fromlist, level)

    try:
        module_dict.update(names)
        for name, value in (modules or {}).items():
            sys.modules[name] = value
        if deleted:
            del module_dict[deleted]
        builtins.__import__ = recording_import
        yield
    finally:
        builtins.__import__ = real_import
        for name, value in saved_names.items():
            if value is KeyError:
                module_dict.pop(name, None)
            else:
                module_dict[name] = value
        for name, value in saved_modules.items():
            if value is KeyError:
                sys.modules.pop(name, None)
            else:
                sys.modules[name] = value


def invoke(function, args, kwargs):
    return function(*args, **kwargs)


def compare(module, native, python, setup):
    """Runs native and Python on worlds built alike by `setup(world)`, which returns the call to make."""
    seen = []
    for function in (native, python):
        world = World(module)
        names, modules, deleted, import_failure, args, kwargs = setup(world)
        with patched(world, names, modules, deleted, import_failure):
            result = world.outcome(lambda: invoke(function, args, kwargs))
        seen.append((result, world.log))
    (native_result, native_log), (python_result, python_log) = seen
    assert native_result == python_result
    assert native_log == python_log


def exit_default(*args, **kwargs):
    raise SystemExit(*args)


# ---------------------------------------------------------------- the properties

# The examples are faults the property found once, kept so that every run tries them.
NO_ARGS = {"username": None, "password": None, "app_key": None, "env": None}
SHOWN_USER = ("hostile", ("object", None), "Hostile", {"__format__": [("return", ("plain", "u"))]}, {})


@SETTINGS
@example(  # a global missing from the module is not looked up by importing builtins
    args={**NO_ARGS, "show": ("plain", True)}, store=[], write=[], getenv=[], prompt=[], choice=[], echo=[],
    deleted="get_license_info", import_failure=(0, (0, "")))
@example(  # click.echo is read before the message is formatted
    args={**NO_ARGS, "show": ("plain", True)}, store=[("return", ("tuple", [SHOWN_USER, ("plain", "pw")]))],
    write=[], getenv=[], prompt=[], choice=[], echo=[], deleted="click", import_failure=None)
@given(
    args=st.fixed_dictionaries({
        "username": st.none() | values, "password": st.none() | values, "app_key": st.none() | values,
        "show": flags | values, "env": st.none() | values}),
    store=pairs, write=results, getenv=results, prompt=results, choice=results, echo=results,
    deleted=st.sampled_from([None, None, "click", "os", "get_license_info", "set_to_environ"]),
    import_failure=import_failures,
)
def test_license(cmds, twins, args, store, write, getenv, prompt, choice, echo, deleted, import_failure):
    def setup(world):
        names = {
            "click": types.SimpleNamespace(prompt=world.double("prompt", prompt), echo=world.double("echo", echo),
                                           Choice=world.double("Choice", choice)),
            "os": types.SimpleNamespace(getenv=world.double("getenv", getenv)),
            "get_license_info": world.double("get_license_info", store),
            "set_to_environ": world.double("set_to_environ", write),
        }
        built = {name: world.build(drawn) if drawn is not None else None for name, drawn in args.items()}
        return names, None, deleted, import_failure, (), built

    compare(cmds, cmds.license.callback, twins["license"], setup)


@SETTINGS
@example(ipython=("none",), echo=[], deleted="click", import_failure=None)  # the ImportError is the context
@example(  # an unreadable __name__ makes the ImportError for a missing name, not an error of its own
    ipython=("value", ("hostile", ("object", None), "Hostile", {}, {"__name__": [("raise", (0, "no name"))]})),
    echo=[], deleted=None, import_failure=None)
@given(ipython=module_entry(["embed"]), echo=results, deleted=st.sampled_from([None, None, "click"]),
       import_failure=import_failures)
def test_shell(cmds, twins, ipython, echo, deleted, import_failure):
    def setup(world):
        names = {"click": types.SimpleNamespace(echo=world.double("echo", echo))}
        modules = {"IPython": world.kit_module("IPython", ipython)}
        return names, modules, deleted, import_failure, (), {}

    compare(cmds, cmds.shell.callback, twins["shell"], setup)


@SETTINGS
@given(
    args=st.fixed_dictionaries({
        "data_bundle_path": st.sampled_from(KIT_TEXTS).map(lambda t: ("plain", t)) | values,
        "base": flags | values, "minbar": st.lists(plain, max_size=2).map(lambda v: ("tuple", v)) | values,
        "tick": st.lists(plain, max_size=2).map(lambda v: ("tuple", v)) | values, "with_derivatives": flags,
        "concurrency": st.integers(0, 3).map(lambda n: ("plain", n)), "smart": flags | values, "rebuild": flags}),
    login_module=module_entry(["init_tovi"]),
    bundle=module_entry(["update_bundle_from_corvane", "update_bundle_from_exist_file"]),
    scripts=module_entry(["check_tick"]), join=results, exists=results, exit=results, echo=results,
    deleted=st.sampled_from([None, None, None, "click", "os", "sys", "update_data"]),
    import_failure=import_failures,
)
def test_update_data(cmds, twins, args, login_module, bundle, scripts, join, exists, exit, echo, deleted,
                     import_failure):
    def setup(world):
        names = {
            "click": types.SimpleNamespace(echo=world.double("echo", echo)),
            "os": types.SimpleNamespace(path=types.SimpleNamespace(join=world.double("join", join),
                                                                   exists=world.double("exists", exists))),
            "sys": types.SimpleNamespace(exit=world.double("exit", exit, exit_default)),
        }
        modules = {LOGIN: world.kit_module(LOGIN, login_module), BUNDLE: world.kit_module(BUNDLE, bundle),
                   SCRIPTS: world.kit_module(SCRIPTS, scripts)}
        built = {name: world.build(drawn) for name, drawn in args.items()}
        return names, modules, deleted, import_failure, (), built

    compare(cmds, cmds.update_data.callback, twins["update_data"], setup)


@SETTINGS
@given(
    args=st.tuples(values, flags | values, flags | values), any_=st.none() | results,
    bundle=module_entry(["check_min_bar_data"]), cmds_bundle=module_entry(["check_bundle_data"]), join=results,
    deleted=st.sampled_from([None, None, "os"]), import_failure=import_failures,
)
def test_check_data(cmds, twins, args, any_, bundle, cmds_bundle, join, deleted, import_failure):
    def setup(world):
        names = {"os": types.SimpleNamespace(path=types.SimpleNamespace(join=world.double("join", join)))}
        if any_ is not None:  # a global `any` hides the builtin for both
            names["any"] = world.double("any", any_)
        modules = {BUNDLE: world.kit_module(BUNDLE, bundle), CMDS_BUNDLE: world.kit_module(CMDS_BUNDLE, cmds_bundle)}
        return names, modules, deleted, import_failure, tuple(world.build(drawn) for drawn in args), {}

    compare(cmds, cmds.check_data.callback, twins["check_data"], setup)


@SETTINGS
@example(  # a missing name of a module still starting up: the circular-import wording
    args=[("plain", "bundle")], import_failure=None,
    bundle=("module", {}, {"__file__": ("plain", "/kit/module.py"),
                           "__spec__": ("attrs", {"_initializing": ("plain", True)})}))
@example(  # a __file__ that cannot be shown: the interpreter's "expected a message argument"
    args=[("plain", "bundle")], import_failure=None,
    bundle=("module", {}, {"__file__": ("hostile", ("str", "/kit/module.py"), "Hostile",
                                        {"__str__": [("return", ("plain", None))]}, {})}))
@given(args=st.lists(values, min_size=1, max_size=3), bundle=module_entry(["download_simple_bundle"]),
       import_failure=import_failures)
def test_download_data(cmds, twins, args, bundle, import_failure):
    def setup(world):
        modules = {BUNDLE: world.kit_module(BUNDLE, bundle)}
        return {}, modules, None, import_failure, tuple(world.build(drawn) for drawn in args), {}

    compare(cmds, cmds.download_data.callback, twins["download_data"], setup)


agent_entries = st.lists(st.tuples(st.just("dict"), st.lists(
    st.tuples(st.sampled_from(["Key", "Value"]), st.sampled_from(KIT_TEXTS[8:10] + ["other", ""]).map(
        lambda t: ("plain", t)) | values), max_size=2)), max_size=3).map(lambda entries: ("list", entries))
agent_answers = st.tuples(st.just("dict"), st.lists(st.one_of(
    st.tuples(st.just("Code"), st.sampled_from([0, 0, 1, 2]).map(lambda n: ("plain", n)) | values),
    st.tuples(st.just("Result"), agent_entries | values)), max_size=2))


@SETTINGS
@example(  # the unpacking message names a built-in type as the interpreter does: types.SimpleNamespace
    agent=[], platform=("plain", "linux"), run=[], environ=[], answer=[], sign_in=[], deleted=None,
    store=[("return", ("static", "namespace"))])
@given(
    agent=actions(st.sampled_from(["app_key_tovi", "APP_KEY_TOVI", ""]).map(lambda t: ("plain", t)) | values),
    platform=st.sampled_from(["linux", "win32"]).map(lambda t: ("plain", t)) | values,
    run=results, environ=results, answer=actions(agent_answers | values), store=pairs,
    sign_in=results,
    deleted=st.sampled_from([None, None, None, "os", "sys", "subprocess", "json", "get_license_info", "tovi"]),
)
def test_init_tovi(login, twins, agent, platform, run, environ, answer, store, sign_in, deleted):
    def setup(world):
        names = {
            "os": types.SimpleNamespace(getenv=world.double("getenv", agent),
                                        environ=types.SimpleNamespace(copy=world.double("copy", environ))),
            "sys": types.SimpleNamespace(platform=world.build(platform)),
            "subprocess": types.SimpleNamespace(run=world.double("run", run)),
            # The equivalent's stand-in for the bound the native code reads from the C environment.
            "AGENT_TIMEOUT": 60.0,
            "json": types.SimpleNamespace(loads=world.double("loads", answer)),
            "get_license_info": world.double("get_license_info", store),
            "tovi": types.SimpleNamespace(init=world.double("init", sign_in)),
        }
        return names, None, deleted, None, (), {}

    compare(login, login.init_tovi, twins["init_tovi"], setup)
