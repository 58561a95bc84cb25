"""scripts/leak_check.py, scaled down: every entry point and error path, a few thousand times."""
import ctypes
import importlib.util
import pathlib
import sys

import pytest

SCRIPT = pathlib.Path(__file__).resolve().parents[2] / "scripts" / "leak_check.py"


def load_script():
    spec = importlib.util.spec_from_file_location("leak_check", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


leak_check = load_script()


def rss_limit():
    # Under AddressSanitizer freed memory sits in quarantine, so the resident set says nothing.
    with open("/proc/self/maps") as maps:
        return float("inf") if "libasan" in maps.read() else 1 << 20


def test_entry_points_keep_nothing(tmp_path):
    figures = leak_check.measure(600, windows=3, warmup=100, bundle_path=str(tmp_path))
    assert leak_check.verdict(figures, rss_limit()) == []
    # Every entry point ran, through click and directly.
    assert set(figures["runs"]) == {"cli", "license", "shell", "update_data", "check_data", "download_data",
                                    "init_tovi"}
    assert min(figures["runs"].values()) >= 600


def keep_reference(args):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(args[0]))


def keep_new_object(args):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(object()))


@pytest.mark.parametrize("keep, problem", [
    (keep_reference, "reference counts changed"),
    (keep_new_object, "allocated blocks grew"),
])
def test_a_leak_is_reported(monkeypatch, tmp_path, keep, problem):
    """What a native reference leak would look like, made by the sign-in double."""
    if keep is keep_new_object and sys.getallocatedblocks() == 0:
        pytest.skip("the interpreter counts no blocks when PYTHONMALLOC=malloc")
    make_double = leak_check.Kit.double

    def leaky_double(self, name):
        double = make_double(self, name)
        if name != "tovi.init":
            return double

        def leaking(*args, **kwargs):
            keep(args)
            return double(*args, **kwargs)

        return leaking

    monkeypatch.setattr(leak_check.Kit, "double", leaky_double)
    figures = leak_check.measure(120, windows=3, warmup=10, bundle_path=str(tmp_path))
    problems = leak_check.verdict(figures, float("inf"))
    assert [p for p in problems if p.startswith(problem)], problems
