import gc
import importlib
import inspect
import pickle
import pydoc
import types

import pytest

CMDS = "vantorel.ombrel.sdk.cmds"
LOGIN = "vantorel.ombrel.utils.login"

# The same parameters written as Python functions: the callbacks must bind arguments as these do.
REFERENCE_SOURCE = """
def cli(): pass
def license(username, password, app_key, show, env): pass
def shell(): pass
def update_data(data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild): pass
def check_data(data_bundle_path, minbar, daybar): pass
def download_data(data_bundle_path, sample=True, file_path=None): pass
def init_tovi(): pass
"""
REFERENCE = {}
exec(REFERENCE_SOURCE, REFERENCE)

CALLBACKS = {
    "cli": (CMDS, "cli"), "license": (CMDS, "license"), "shell": (CMDS, "shell"),
    "update_data": (CMDS, "update_data"), "check_data": (CMDS, "check_data"),
    "download_data": (CMDS, "download_data"), "init_tovi": (LOGIN, None),
}

SIGNATURES = {
    "cli": "()", "license": "(username, password, app_key, show, env)", "shell": "()",
    "update_data": "(data_bundle_path, base, minbar, tick, with_derivatives, concurrency, smart, rebuild)",
    "check_data": "(data_bundle_path, minbar, daybar)",
    "download_data": "(data_bundle_path, sample=True, file_path=None)", "init_tovi": "()",
}


def callback(name):
    module_name, command = CALLBACKS[name]
    module = importlib.import_module(module_name)
    return module.init_tovi if command is None else getattr(module, command).callback


def binding_error(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except TypeError as exc:
        return exc
    return None


def patterns(name):
    params = list(inspect.signature(REFERENCE[name]).parameters)
    first = params[0] if params else "x"
    last = params[-1] if params else "x"
    many = tuple(range(len(params) + 1))
    candidates = [
        ((), {}), ((1,), {}), ((1, 2), {}), ((1, 2, 3), {}), (many, {}), (many + (0,), {}),
        ((), {"bogus": 1}), ((1,), {"bogus": 1}), (many, {"bogus": 1}),
        ((1,), {first: 2}), ((1, 2), {first: 1, last: 2}), ((), {last: 1}), ((), {first: 1, "bogus": 2}),
        ((), {1: 2}), ((), {first: 1, 2: 3}), (many, {1: 2}), ((1,), {first: 1, 5: 5}),
        ((), {"Data_bundle_path": 1}), ((), {"": 1}), ((), {"ü": 1}),
    ]
    # Only calls that the Python function refuses: the others would run the command.
    return [(args, kwargs) for args, kwargs in candidates if binding_error(REFERENCE[name], args, kwargs)]


CASES = [(name, args, kwargs) for name in CALLBACKS for args, kwargs in patterns(name)]


@pytest.mark.parametrize("name, args, kwargs", CASES,
                         ids=[f"{n}-{len(a)}pos-{','.join(map(repr, k))}" for n, a, k in CASES])
def test_binding_errors_match_a_python_def(name, args, kwargs):
    expected = binding_error(REFERENCE[name], args, kwargs)
    with pytest.raises(TypeError) as caught:
        callback(name)(*args, **kwargs)
    assert type(caught.value) is TypeError
    assert str(caught.value) == str(expected)


@pytest.mark.parametrize("name", CALLBACKS)
def test_function_attributes(name):
    fn = callback(name)
    module_name = CALLBACKS[name][0]
    assert callable(fn)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, module_name)
    if name != "init_tovi":
        assert fn.__doc__ == getattr(importlib.import_module(module_name), CALLBACKS[name][1]).help
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    params = inspect.signature(fn).parameters.values()
    assert {p.kind for p in params} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}


@pytest.mark.parametrize("name", CALLBACKS)
def test_writable_dict(name):
    fn = callback(name)
    assert isinstance(fn.__dict__, dict)
    assert "__click_params__" not in fn.__dict__
    fn.mark = ["set by a caller"]
    try:
        assert fn.mark == ["set by a caller"]
        assert vars(fn)["mark"] is fn.mark
        fn.__dict__["other"] = 1
        assert fn.other == 1
    finally:
        del fn.mark
        del fn.__dict__["other"]
    assert not hasattr(fn, "mark")
    with pytest.raises(AttributeError):
        del fn.mark


@pytest.mark.parametrize("name", CALLBACKS)
def test_dict_may_hold_a_cycle(name):
    fn = callback(name)
    fn.me = fn
    try:
        assert fn.me is fn
        gc.collect()
    finally:
        del fn.me


def test_click_can_decorate_a_callback():
    # click attaches __click_params__ to the function while options are stacked.
    import click

    fn = callback("check_data")
    command = click.command()(click.option("--extra")(fn))
    assert [p.name for p in command.params] == ["extra"]
    assert "__click_params__" not in fn.__dict__


def test_signature_defaults():
    params = inspect.signature(callback("download_data")).parameters
    assert [(p.name, p.default) for p in params.values()] == [
        ("data_bundle_path", inspect.Parameter.empty), ("sample", True), ("file_path", None)]
    assert params["sample"].default is True


class Str(str):
    pass


@pytest.mark.parametrize("make_name", [
    lambda name: "".join(list(name)),  # equal text, not the interned object
    lambda name: Str(name),
], ids=["not-interned", "str-subclass"])
def test_keywords_match_by_value(make_name, monkeypatch):
    import sys
    import types

    calls = []
    module = types.ModuleType("vantorel.ombrel.alpha.bundle")
    module.download_simple_bundle = lambda *a, **k: calls.append((a, k))
    monkeypatch.setitem(sys.modules, module.__name__, module)
    fn = callback("download_data")
    fn(**{make_name("data_bundle_path"): "P", make_name("file_path"): "F"})
    assert calls == [(("P",), {"sample": True, "file_path": "F"})]
    with pytest.raises(TypeError) as caught:
        fn("P", **{make_name("data_bundle_path"): "Q"})
    assert str(caught.value) == "download_data() got multiple values for argument 'data_bundle_path'"


def test_no_references_leak(monkeypatch):
    import sys
    import types

    result, path = object(), "P" + "x" * 5
    module = types.ModuleType("vantorel.ombrel.alpha.bundle")
    module.download_simple_bundle = lambda *a, **k: result
    monkeypatch.setitem(sys.modules, module.__name__, module)
    fn = callback("download_data")
    for _ in range(3):
        fn(path, sample=path)
    before = [sys.getrefcount(o) for o in (result, path)]
    for _ in range(200):
        assert fn(path, sample=path, file_path=path) is result
        with pytest.raises(TypeError):
            fn(path, path, path, path)
        with pytest.raises(TypeError):
            fn(path, data_bundle_path=path)
    def failing(*args, **kwargs):
        raise KeyError("kit")

    module.download_simple_bundle = failing
    for _ in range(200):
        with pytest.raises(KeyError):
            fn(path)
    module.download_simple_bundle = lambda *a, **k: result
    assert [sys.getrefcount(o) for o in (result, path)] == before


def test_login_leaks_no_references(monkeypatch):
    import sys
    import types

    login = importlib.import_module(LOGIN)
    user, secret, extra = "u" + "1" * 5, "p" + "2" * 5, "e" + "3" * 5
    pairs = {}
    answer = {"Code": 0, "Result": [{"Key": "TELMARQ_ACCOUNT", "Value": user},
                                    {"Key": "TELMARQ_CUSTOM_APP_KEY", "Value": secret}]}
    stdout = "not read"
    monkeypatch.setattr(login, "tovi", types.SimpleNamespace(init=lambda *a, **k: None))
    monkeypatch.setattr(login, "subprocess", types.SimpleNamespace(run=lambda *a, **k: types.SimpleNamespace(stdout=stdout)))
    monkeypatch.setattr(login, "get_license_info", lambda *a: pairs[a])
    monkeypatch.setattr(login, "json", types.SimpleNamespace(loads=lambda text: answer))

    def run_all():
        monkeypatch.delenv("VANTOREL_AGENT", raising=False)
        pairs.update({(): (user, secret)})
        login.init_tovi()
        pairs.update({(): (user, None), ("VANTOREL_APPKEY_LICENSE",): (user, secret)})
        login.init_tovi()
        pairs.update({(): (user, secret, extra)})
        with pytest.raises(ValueError):
            login.init_tovi()
        pairs.update({(): (user,)})
        with pytest.raises(ValueError):
            login.init_tovi()
        monkeypatch.setenv("VANTOREL_AGENT", "app_key_tovi")
        login.init_tovi()

    run_all()
    watched = (user, secret, extra, answer, stdout)
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(100):
        run_all()
    assert [sys.getrefcount(o) for o in watched] == before


@pytest.mark.parametrize("name", CALLBACKS)
def test_weak_references_and_copies_as_for_functions(name):
    # Python functions can be weakly referenced and copy as themselves; so does a command holding one.
    import copy
    import weakref

    fn = callback(name)
    assert weakref.ref(fn)() is fn
    assert copy.copy(fn) is fn
    assert copy.deepcopy(fn) is fn


@pytest.mark.parametrize("name", CALLBACKS)
def test_pickles_binds_and_documents_as_a_def(name, monkeypatch):
    fn = callback(name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn

    holder = type("Holder", (), {"method": fn})
    assert holder.method is fn
    assert holder().method.__func__ is fn

    # pydoc lays out the signature and text as it does for the def (its first line names the module).
    reference = types.FunctionType(REFERENCE[name].__code__, {}, name, REFERENCE[name].__defaults__)
    reference.__doc__ = fn.__doc__
    assert inspect.isroutine(fn)
    assert (pydoc.render_doc(fn, renderer=pydoc.plaintext).splitlines()[1:]
            == pydoc.render_doc(reference, renderer=pydoc.plaintext).splitlines()[1:])

    # Once its module holds something else under the name, pickle refuses it as it refuses such a def.
    module_name, command_name = CALLBACKS[name]
    monkeypatch.setattr(importlib.import_module(module_name), command_name or name, object())
    with pytest.raises(pickle.PicklingError, match="not the same object"):
        pickle.dumps(fn)


def test_reentrant_and_threaded_calls(monkeypatch):
    import sys
    import threading
    import types

    fn = callback("download_data")
    module = types.ModuleType("vantorel.ombrel.alpha.bundle")

    def download_simple_bundle(path, sample, file_path):
        gc.collect()
        if len(path) < 4:
            return fn(path + "x", sample=sample, file_path=file_path) + [path]
        return [path]

    module.download_simple_bundle = download_simple_bundle
    monkeypatch.setitem(sys.modules, module.__name__, module)
    assert fn("P") == ["Pxxx", "Pxx", "Px", "P"]

    module.download_simple_bundle = lambda path, sample, file_path: (path, sample, file_path)
    failures = []

    def worker(tag):
        for i in range(300):
            got = fn(f"{tag}-{i}", file_path=tag)
            if got != (f"{tag}-{i}", True, tag):
                failures.append(got)

    threads = [threading.Thread(target=worker, args=(f"t{n}",)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_unbounded_reentry_is_a_recursion_error():
    import subprocess
    import sys

    code = (
        "import sys, types\n"
        "import vantorel.ombrel.sdk.cmds as cmds\n"
        "m = types.ModuleType('vantorel.ombrel.alpha.bundle')\n"
        "m.download_simple_bundle = lambda p, **k: cmds.download_data.callback(p)\n"
        "sys.modules[m.__name__] = m\n"
        "try:\n"
        "    cmds.download_data.callback('P')\n"
        "except RecursionError as exc:\n"
        "    print('RecursionError')\n"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert (proc.returncode, proc.stdout) == (0, "RecursionError\n"), proc.stderr[-2000:]
