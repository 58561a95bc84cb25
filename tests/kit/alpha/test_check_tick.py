import os
import subprocess
import sys

import h5py
import numpy as np
import pytest

import vantorel
from vantorel import tovi
from vantorel.ombrel.alpha import bundle
from vantorel.bundle import places, reading, validation
from vantorel.sources import service
from vantorel.ombrel.alpha.utils.scripts import check_tick

SRC = os.path.dirname(os.path.dirname(vantorel.__file__))


@pytest.fixture
def path(tmp_path, monkeypatch):
    monkeypatch.setenv(service.ENV_NOW, "2026-12-08T16:00")
    tovi.init("demo", "demo")
    path = str(tmp_path / "data")
    assert bundle.update_bundle_from_corvane(2, path, False, (), ("000001.XSHE", "000002.XSHE", "JD2701", "M2701"),
                                             False)
    yield path
    tovi.sign_out()


def tick_files(path):
    return {code: p for _c, code, p in places.iter_tick_files(path)}


def half(p):
    with open(p, "r+b") as f:
        f.truncate(os.path.getsize(p) // 2)


def garbage(p):
    with open(p, "wb") as f:
        f.write(b"\0" * 100)


def minbar_inside(p):
    with h5py.File(p, "w") as f:
        f.attrs["schema_version"] = places.SCHEMA_VERSION
        f.attrs["kind"] = "minbar"


def short_rows(p):
    with h5py.File(p, "r+") as f:
        data = f["ticks"][()]
        del f["ticks"]
        f.create_dataset("ticks", data=data[: len(data) // 2])


@pytest.mark.parametrize("damage", [half, garbage, minbar_inside, short_rows])
def test_damaged_tick_files_are_moved_aside_and_fetched_again(path, damage, capsys):
    files = tick_files(path)
    good = {code: reading.read_tick(p) for code, p in files.items()}
    damage(files["JD2701"])
    moved = check_tick(places.bundle_dir(path))
    assert [(src, reason is not None) for src, _dst, reason in moved] == [(files["JD2701"], True)]
    target = moved[0][1]
    assert target.startswith(os.path.join(path, "quarantine", "tick", "futures", "JD2701.h5."))
    assert os.path.exists(target) and not os.path.exists(files["JD2701"])
    assert "JD2701.h5 已损坏" in capsys.readouterr().err
    assert set(tick_files(path)) == set(good) - {"JD2701"}

    assert bundle.update_bundle_from_corvane(2, path, False, (), ("JD2701",), False)
    np.testing.assert_array_equal(reading.read_tick(tick_files(path)["JD2701"]), good["JD2701"])
    assert check_tick(places.bundle_dir(path)) == []


def test_sound_bundle_is_left_alone(path, capsys):
    before = {code: os.stat(p).st_mtime_ns for code, p in tick_files(path).items()}
    assert check_tick(places.bundle_dir(path)) == []
    assert capsys.readouterr().err == ""
    assert {code: os.stat(p).st_mtime_ns for code, p in tick_files(path).items()} == before


def test_two_damaged_copies_of_one_file_are_both_kept(path):
    p = tick_files(path)["M2701"]
    garbage(p)
    first = check_tick(places.bundle_dir(path))[0][1]
    garbage(p)
    second = check_tick(places.bundle_dir(path))[0][1]
    assert first != second and os.path.exists(first) and os.path.exists(second)


def test_bundle_being_updated_is_not_checked(path, capsys):
    p = tick_files(path)["JD2701"]
    garbage(p)
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys\nfrom vantorel.bundle import access\n"
         "with access.updating(sys.argv[1]):\n    print('held', flush=True)\n    sys.stdin.read()\n", path],
        env=dict(os.environ, PYTHONPATH=SRC), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        assert check_tick(places.bundle_dir(path)) == []
    finally:
        holder.communicate("")
    assert "未检查 tick 文件：另一个进程正在使用" in capsys.readouterr().err
    assert os.path.exists(p) and not os.path.exists(os.path.join(path, "quarantine"))
    assert [src for src, _dst, _reason in check_tick(places.bundle_dir(path))] == [p]


@pytest.mark.parametrize("error", [PermissionError(13, "Permission denied"),
                                   BlockingIOError(11, "Unable to synchronously open file (unable to lock file)")])
def test_file_that_cannot_be_opened_now_is_left_in_place(path, monkeypatch, capsys, refuse_open, error):
    p = tick_files(path)["JD2701"]
    refuse_open(p, error)
    assert check_tick(places.bundle_dir(path)) == []
    assert f"未检查 tick 文件 {p}" in capsys.readouterr().err
    monkeypatch.undo()
    assert validation.inspect_data_file(p, "tick") is None
