import collections
import errno
import os
import re
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import vantorel
from vantorel import tovi
from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import bundle
from vantorel.bundle import appending, hdf5, places, reading, staging, validation, writing
from vantorel.market import schemas
from vantorel.sources import service, simulated, universe
from vantorel.ombrel.sdk.const import TAG_MAP
from vantorel.update import engine
from vantorel.market.calendar import shift_trading_date

TODAY = "2026-12-08T16:00"
TOMORROW = "2026-12-09T16:00"
CODE = "000001.XSHE"
SRC = os.path.dirname(os.path.dirname(vantorel.__file__))


@pytest.fixture(autouse=True)
def clock(monkeypatch):
    monkeypatch.setenv(service.ENV_NOW, TODAY)


@pytest.fixture
def signed_in():
    tovi.init("demo", "demo")
    yield
    tovi.sign_out()


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "data")


@pytest.fixture
def calls(monkeypatch):
    """Every request that reaches the service: (method, code, start, end)."""
    seen = []
    for name in ("daily_bars", "minute_bars", "ticks"):
        real = getattr(service.EmbeddedService, name)

        def spy(self, code, start, end, _real=real, _name=name):
            seen.append((_name, code, start, end))
            return _real(self, code, start, end)

        monkeypatch.setattr(service.EmbeddedService, name, spy)
    return seen


def fail_minute_bars(monkeypatch, failing_code, message):
    """The service's minute bars of one instrument raise ServiceError(message) from now on; returns
    the real method, for the test to put back."""
    real = service.EmbeddedService.minute_bars

    def minute_bars(self, code, start, end):
        if code == failing_code:
            raise service.ServiceError(message)
        return real(self, code, start, end)

    monkeypatch.setattr(service.EmbeddedService, "minute_bars", minute_bars)
    return real


def stored(path, kind="minbar"):
    files = places.iter_minbar_files(path) if kind == "minbar" else places.iter_tick_files(path)
    return {code: reading.read_data_file(p, kind) for _c, code, p in files}


def test_first_update_stores_what_was_asked_and_returns_true(path, signed_in, capsys):
    assert bundle.update_bundle_from_corvane(2, path, True, ("stock",), ("JD",), False) is True
    out = capsys.readouterr().out
    assert out.startswith("更新完成：") and "分钟线 10 个合约" in out
    minbars = stored(path)
    assert len(minbars) == 10 and all(code.endswith((".XSHE", ".XSHG")) for code in minbars)
    first = shift_trading_date(20261208, 1 - service.DEFAULT_MINBAR_DAYS)
    assert all(a["trading_date"][0] == first and a["trading_date"][-1] == 20261208 for a in minbars.values())
    assert {code[:2] for code in stored(path, "tick")} == {"JD"}
    directory = places.bundle_dir(path)
    assert len(reading.read_trading_dates(directory)) > 4000
    assert {r["category"] for r in reading.instrument_records(reading.read_instruments(directory))} == set(
        TAG_MAP)
    assert len(reading.read_daily(directory, "000001.XSHE")) == service.DEFAULT_DAILY_DAYS


def test_a_day_later_only_the_new_day_is_fetched(path, signed_in, calls, monkeypatch):
    assert bundle.update_bundle_from_corvane(2, path, True, ("000001.XSHE", "M2701"), ("000001.XSHE",), False)
    before = stored(path)["M2701"]
    calls.clear()
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(2, path, True, ("000001.XSHE", "M2701"), ("000001.XSHE",), False)
    data_calls = [c for c in calls if c[0] != "daily_bars"]
    assert sorted(data_calls) == [("minute_bars", "000001.XSHE", 20261209, 20261209),
                                  ("minute_bars", "M2701", 20261209, 20261209),
                                  ("ticks", "000001.XSHE", 20261209, 20261209)]
    assert {c[2] for c in calls if c[0] == "daily_bars"} == {20261209}
    after = stored(path)["M2701"]
    np.testing.assert_array_equal(after[: len(before)], before)
    fresh = service.EmbeddedService().minute_bars("M2701", 20261209, 20261209)
    np.testing.assert_array_equal(after[len(before):], fresh)
    assert reading.read_daily(places.bundle_dir(path), "M2701")["datetime"][-1] == 20261209000000
    calls.clear()
    assert bundle.update_bundle_from_corvane(2, path, True, ("M2701",), (), False)
    assert calls == []


def test_rebuild_fetches_from_scratch(path, signed_in, calls, monkeypatch):
    assert bundle.update_bundle_from_corvane(1, path, False, ("M2701",), (), False)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    calls.clear()
    assert bundle.update_bundle_from_corvane(1, path, False, ("M2701",), (), False, rebuild=True)
    start = shift_trading_date(20261209, 1 - service.DEFAULT_MINBAR_DAYS)
    assert calls == [("minute_bars", "M2701", start, 20261209)]
    assert stored(path)["M2701"]["trading_date"][0] == start


@pytest.mark.parametrize("minbar, with_derivatives, expected", [
    (("M2701",), True, {"M2701", "M2701C3050", "M2701C3100", "M2701C3150", "M2701P3050", "M2701P3100",
                        "M2701P3150"}),
    (("m2701",), False, {"M2701"}),
    (("IF",), True, {"IF2612", "IF2701", "IF2702", "IF2703", "IF2704", "IF2705", "IF2706"}),
    (("index", "INDX"), False, {"000001.XSHG", "000300.XSHG", "399001.XSHE"}),
])
def test_selections(path, signed_in, minbar, with_derivatives, expected):
    assert bundle.update_bundle_from_corvane(2, path, False, minbar, (), with_derivatives)
    assert set(stored(path)) == expected


def test_unknown_selections_are_named_and_nothing_is_fetched(path, signed_in, calls, capsys):
    assert bundle.update_bundle_from_corvane(2, path, True, ("stock", "stok"), ("ZZ9",), False) is False
    err = capsys.readouterr().err
    assert "stok（是否想用 stock？），ZZ9；" in err and "stock, futures" in err
    assert calls == [] and stored(path) == {}


def test_without_sign_in_nothing_happens(path, capsys):
    assert bundle.update_bundle_from_corvane(2, path, True, (), (), False) is False
    assert "尚未登录" in capsys.readouterr().err
    assert not os.path.exists(path)
    assert bundle.update_bundle_from_exist_file(2, path) is False


def test_nothing_selected_is_a_success_without_work(path):
    assert bundle.update_bundle_from_corvane(3, path, False, (), (), False) is True
    assert not os.path.exists(path)


@pytest.mark.parametrize("concurrency", [0, -1, service.MAX_CONNECTIONS + 1, "2", True])
def test_bad_concurrency(path, signed_in, concurrency, capsys):
    assert bundle.update_bundle_from_corvane(concurrency, path, True, (), (), False) is False
    assert "并行线程数" in capsys.readouterr().err


def test_failed_instrument_makes_the_update_false_and_a_rerun_completes(path, signed_in, monkeypatch, capsys):
    real = fail_minute_bars(monkeypatch, "000002.XSHE", "连接中断")
    assert bundle.update_bundle_from_corvane(2, path, False, ("stock",), (), False) is False
    captured = capsys.readouterr()
    assert "000002.XSHE（分钟线）未能更新：连接中断" in captured.err and "未全部完成" in captured.out
    assert len(stored(path)) == 9
    monkeypatch.setattr(service.EmbeddedService, "minute_bars", real)
    assert bundle.update_bundle_from_corvane(2, path, False, ("stock",), (), False) is True
    assert len(stored(path)) == 10


# A file that may not be written when the resume opens it is opened again by the commit, which
# would wait for ever on the resume's own shared lock if that were not let go.
@pytest.mark.parametrize("writable_at_first, opens", [(True, 1), (False, 2)])
def test_a_one_day_update_opens_each_stored_file_once(path, signed_in, monkeypatch, writable_at_first, opens):
    assert bundle.update_bundle_from_corvane(2, path, False, ("stock",), (), False)
    files = {os.path.abspath(p) for _c, _code, p in places.iter_minbar_files(path)}
    opened = collections.Counter()
    for module in (places, hdf5, appending):  # every open of a bundle file goes through open_in_bundle
        def counting(file, *args, _real=module.open_in_bundle, **kwargs):
            file = os.path.abspath(file)
            if not writable_at_first and not opened[file] and args == (places.READ_WRITE_FLAGS,):
                raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), file)
            fd = _real(file, *args, **kwargs)
            opened[file] += 1
            return fd

        monkeypatch.setattr(module, "open_in_bundle", counting)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    descriptors = sorted(os.listdir("/proc/self/fd"))
    assert bundle.update_bundle_from_corvane(2, path, False, ("stock",), (), False)
    assert {file: opened[file] for file in files} == dict.fromkeys(files, opens)
    assert sorted(os.listdir("/proc/self/fd")) == descriptors  # the directories it kept walked to, too
    assert {reading.last_trading_date(file, "minbar") for file in files} == {20261209}


@pytest.mark.skipif(sys.platform == "win32", reason="flock")
@pytest.mark.parametrize("how", ["up to date", "fetch failed", "no new rows"])
def test_a_stored_file_the_update_does_not_append_to_is_left_as_it_was_and_unlocked(path, signed_in, monkeypatch,
                                                                                     how):
    import fcntl

    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False)
    file = places.data_path(path, "minbar", "stock", CODE)
    with open(file, "rb") as f:
        before = f.read()
    if how != "up to date":
        monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    if how == "fetch failed":
        fail_minute_bars(monkeypatch, CODE, "连接中断")
    elif how == "no new rows":  # suspended on the new day
        real = service.EmbeddedService.minute_bars
        monkeypatch.setattr(service.EmbeddedService, "minute_bars", lambda *args: real(*args)[:0])
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is (how != "fetch failed")
    with open(file, "rb") as f:
        assert f.read() == before
        fcntl.flock(f, fcntl.LOCK_EX | fcntl.LOCK_NB)  # no descriptor of the update still holds it


@pytest.mark.parametrize("stored_first", [False, True])
def test_an_instrument_the_service_has_no_rows_of_is_said_and_not_counted(path, signed_in, monkeypatch, capsys,
                                                                          stored_first):
    # Suspended on every day asked for: a stored file is up to date; a new one is not made, and
    # since --smart follows stored files only, the user is told how to fetch it later.
    if stored_first:
        assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False)
        monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    capsys.readouterr()
    real = service.EmbeddedService.minute_bars
    monkeypatch.setattr(service.EmbeddedService, "minute_bars", lambda *args: real(*args)[:0])
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is True
    out, err = capsys.readouterr()
    assert "分钟线" not in out and ("1 个已是最新" in out) is stored_first
    assert (f"跳过 {CODE}（分钟线）：所取的日期内没有数据（停牌），未建文件；复牌后运行 update-data --minbar" in err) is (
        not stored_first)
    assert os.path.exists(places.data_path(path, "minbar", "stock", CODE)) is stored_first


def test_write_failure_stops_and_keeps_what_was_stored(path, signed_in, monkeypatch, capsys):
    assert bundle.update_bundle_from_corvane(1, path, False, ("000001.XSHE",), (), False)
    before = stored(path)["000001.XSHE"]
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    from vantorel.bundle import overlay

    def no_space(*_args):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(writing, "write_all", no_space)  # whole new files
    monkeypatch.setattr(overlay, "pwrite_all", no_space)  # in-place appends
    assert bundle.update_bundle_from_corvane(1, path, False, ("stock",), (), False) is False
    out = capsys.readouterr().out
    assert "已中止：磁盘空间不足：无法写入 " in out and "请腾出空间后重新运行" in out
    monkeypatch.undo()
    np.testing.assert_array_equal(stored(path)["000001.XSHE"], before)
    assert [n for _r, _d, names in os.walk(path) for n in names if places.TEMP_MARK in n or "journal" in n] == []


@pytest.mark.parametrize("room", [0, 20], ids=["no room", "room for some files"])
def test_a_disk_that_fills_during_a_group_of_commits_is_counted_file_by_file(path, signed_in, monkeypatch, capsys, room):
    # The files of one update are committed in groups, which fail together: every file the update
    # says it wrote was changed, and every other one is named as failed.
    from vantorel.bundle import overlay

    assert bundle.update_bundle_from_corvane(1, path, False, ("stock",), (), False)
    before = stored(path)
    real, calls = overlay.pwrite_all, []

    def filling(fd, data, offset):  # room for ``room`` writes (journals and files), then none
        calls.append(offset)
        if len(calls) > room:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return real(fd, data, offset)

    monkeypatch.setattr(overlay, "pwrite_all", filling)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, ("stock",), (), False) is False
    out, err = capsys.readouterr()
    monkeypatch.undo()
    after = stored(path)
    changed = sorted(code for code in before if len(after[code]) != len(before[code]))
    said = re.search(r"分钟线 (\d+) 个合约", out.splitlines()[-1])
    assert (int(said.group(1)) if said else 0) == len(changed), out
    failed = re.findall(r"(\S+)（分钟线）未能更新：磁盘空间不足", err)
    assert sorted(failed + changed) == sorted(before) and "已中止：磁盘空间不足" in out


@pytest.mark.skipif(sys.platform == "win32", reason="RLIMIT_FSIZE")
def test_a_write_the_system_refuses_is_one_clean_message(tmp_path):
    # A file-size limit makes the system refuse writes as a full disk does, but in a child only.
    code = """
        import resource, signal, sys
        from vantorel.ombrel.alpha import bundle
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (64 << 10, resource.getrlimit(resource.RLIMIT_FSIZE)[1]))
        bundle.download_simple_bundle(sys.argv[1], sample=True)
    """
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(tmp_path / "data")],
                          env=dict(os.environ, PYTHONPATH=SRC, **{service.ENV_NOW: TODAY}),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 1
    lines = proc.stderr.strip().splitlines()
    assert lines[-1].startswith("vantorel.errors.VantorelError: 生成数据未全部完成") and "写入失败：" in lines[-1]
    assert "文件大小超过了系统的限制" in lines[-1] and "errno =" not in proc.stderr and "Exception ignored" not in proc.stderr
    assert not os.path.exists(tmp_path / "data" / "bundle")


def set_attr(name, value):
    def damage(file):
        import h5py

        with h5py.File(file, "r+") as f:
            f.attrs[name] = value

    damage.__name__ = f"{name}={value!r}"
    return damage


def garbage(file):
    with open(file, "wb") as f:
        f.write(b"\0" * 100)


@pytest.mark.parametrize("damage", [garbage, set_attr("schema_version", places.SCHEMA_VERSION + 1),
                                    set_attr("schema_version", np.array([1, 1])),
                                    set_attr("last_trading_date", 20251350)], ids=lambda d: d.__name__)
def test_unreadable_minute_file_is_set_aside_and_fetched_again(path, signed_in, capsys, damage):
    assert bundle.update_bundle_from_corvane(1, path, False, ("000001.XSHE",), (), False)
    (file,) = [p for _c, _code, p in places.iter_minbar_files(path)]
    good = reading.read_minbar(file)
    damage(file)
    with open(file, "rb") as f:
        damaged = f.read()
    capsys.readouterr()
    assert bundle.check_min_bar_data(path)
    assert "000001.XSHE" in capsys.readouterr().out
    assert bundle.update_bundle_from_corvane(1, path, False, ("000001.XSHE",), (), False) is True
    assert f"{file} 无法读取" in capsys.readouterr().err
    (aside,) = os.listdir(os.path.join(path, "quarantine", "minbar", "stock"))
    assert aside.startswith("000001.XSHE.h5.")
    with open(os.path.join(path, "quarantine", "minbar", "stock", aside), "rb") as f:
        assert f.read() == damaged
    np.testing.assert_array_equal(reading.read_minbar(file), good)


def test_minute_file_that_cannot_be_opened_now_is_left_and_the_instrument_fails(path, signed_in, monkeypatch, capsys,
                                                                              refuse_open):
    assert bundle.update_bundle_from_corvane(1, path, False, ("000001.XSHE", "000002.XSHE"), (), False)
    files = {code: p for _c, code, p in places.iter_minbar_files(path)}
    with open(files["000001.XSHE"], "rb") as f:
        before = f.read()
    refuse_open(files["000001.XSHE"], PermissionError(13, "Permission denied"))
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, ("000001.XSHE", "000002.XSHE"), (), False) is False
    err = capsys.readouterr().err
    assert "000001.XSHE（分钟线）" in err and "Permission denied" in err and "该文件未作改动" in err
    monkeypatch.undo()
    with open(files["000001.XSHE"], "rb") as f:
        assert f.read() == before
    assert not os.path.exists(os.path.join(path, "quarantine"))
    assert reading.last_trading_date(files["000002.XSHE"], "minbar") == 20261209


@pytest.mark.parametrize("state", ["locked", "damaged", "a group at a code"])
def test_daily_file_that_cannot_be_read_keeps_its_history(path, signed_in, monkeypatch, capsys, refuse_open, state):
    monkeypatch.setenv(service.ENV_DAILY_DAYS, "20")
    assert bundle.update_bundle_from_corvane(1, path, True, (), (), False)
    directory = places.bundle_dir(path)
    file = places.daybar_path(directory, "stock")
    with open(file, "rb") as f:
        before = f.read()
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    if state == "locked":
        reopen = refuse_open(file, BlockingIOError(11, "Unable to synchronously open file (unable to lock file)"))
        # The other categories are brought up to date; this one fails and is left as it was.
        assert bundle.update_bundle_from_corvane(1, path, True, (), (), False) is False
        assert "stock（日线）" in capsys.readouterr().err
        reopen()
        with open(file, "rb") as f:
            assert f.read() == before
        assert reading.read_daily(directory, "M2701")["datetime"][-1] == 20261209000000
    else:
        if state == "damaged":
            garbage(file)
        else:
            import h5py

            with h5py.File(file, "r+") as f:
                f.create_group("000000.XSHE")  # not a series: a group
        assert bundle.update_bundle_from_corvane(1, path, True, (), (), False) is True
        assert f"{file} 无法读取" in capsys.readouterr().err
        (aside,) = os.listdir(os.path.join(path, "quarantine", "daybar"))
        assert aside.startswith("stock.h5.")
        assert len(reading.read_daily(directory, "000001.XSHE")) == 20


def test_smart_update_fetches_again_what_the_tick_check_set_aside(path, signed_in, calls, monkeypatch, capsys):
    from vantorel.ombrel.alpha.utils.scripts import check_tick

    assert bundle.update_bundle_from_corvane(1, path, False, (), ("000001.XSHE", "JD2701"), False)
    (file,) = [p for _c, code, p in places.iter_tick_files(path) if code == "JD2701"]
    garbage(file)
    assert [src for src, _dst, _reason in check_tick(places.bundle_dir(path))] == [file]
    calls.clear()
    assert bundle.update_bundle_from_exist_file(1, path) is True
    assert ("ticks", "JD2701") in {c[:2] for c in calls}
    assert validation.inspect_data_file(file, "tick") is None


def test_expired_contract_with_data_stays_in_the_instrument_table(path, signed_in, monkeypatch, capsys):
    from vantorel import checks

    assert bundle.update_bundle_from_corvane(1, path, True, ("M2612",), ("M2612",), False)
    directory = places.bundle_dir(path)
    listed = {r["order_book_id"]: r for r in reading.instrument_records(reading.read_instruments(directory))}
    monkeypatch.setenv(service.ENV_NOW, "2026-12-28T16:00")
    # The embedded service keeps every contract; a real one may drop a code (a de-listed stock, say).
    real = service.EmbeddedService.instruments
    monkeypatch.setattr(service.EmbeddedService, "instruments",
                        lambda self, latest=None: [i for i in real(self, latest) if i.order_book_id != "M2612"])
    assert bundle.update_bundle_from_corvane(1, path, True, ("M2701",), (), False)
    now = {r["order_book_id"]: r for r in reading.instrument_records(reading.read_instruments(directory))}
    assert now["M2612"] == listed["M2612"] and "M2701" in now
    capsys.readouterr()
    found = checks.check_min_bar_data(path) + checks.check_daily_bar_data(directory)
    assert [a for a in found if a.kind == "unknown_instrument"] == []


def test_smart_update_follows_what_is_stored(path, signed_in, calls, monkeypatch, capsys):
    assert bundle.update_bundle_from_corvane(2, path, False, ("JD2701",), ("000001.XSHE",), False)
    # A stored contract the service no longer lists is left alone, not counted as a failure.
    writing.write_minbar(path, "futures", "JD0001", stored(path)["JD2701"][:10])
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    calls.clear()
    assert bundle.update_bundle_from_exist_file(2, path) is True
    assert sorted(c for c in calls if c[0] != "daily_bars") == [
        ("minute_bars", "JD2701", 20261209, 20261209), ("ticks", "000001.XSHE", 20261209, 20261209)]
    assert "跳过 JD0001" in capsys.readouterr().err
    assert reading.read_daily(places.bundle_dir(path), "000001.XSHE")["datetime"][-1] == 20261209000000


def run_python(code, env_extra=None, **kwargs):
    env = dict(os.environ, PYTHONPATH=SRC, **(env_extra or {}))
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], env=env, **kwargs)


def test_second_update_of_the_same_bundle_fails_at_once(path, signed_in, capsys):
    holder = run_python(f"""
        import sys
        from vantorel.bundle import access
        with access.updating({path!r}):
            print("held", flush=True)
            sys.stdin.read()
        """, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        started = time.monotonic()
        assert bundle.update_bundle_from_corvane(2, path, True, (), (), False) is False
        assert time.monotonic() - started < 5
        assert "另一个进程正在使用" in capsys.readouterr().err
        with pytest.raises(VantorelError, match="另一个进程正在使用"):
            bundle.download_simple_bundle(path, sample=True)
    finally:
        holder.communicate("")
    assert bundle.update_bundle_from_corvane(2, path, True, (), (), False) is True


# ---- kills ----------------------------------------------------------------------------------------

KILL_SELECTION = dict(base=True, minbar=("stock", "futures", "option"), tick=("stock", "JD"))

UPDATE_SCRIPT = """
    import sys
    from vantorel import tovi
    from vantorel.ombrel.alpha import bundle
    tovi.init("demo", "demo")
    ok = bundle.update_bundle_from_corvane(2, sys.argv[1], {base}, {minbar!r}, {tick!r}, False)
    sys.exit(0 if ok else 1)
""".format(**KILL_SELECTION)


def test_two_downloads_in_a_row_leave_the_first_bundle_where_the_output_says(tmp_path, capsys):
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=True)
    with open(os.path.join(places.bundle_dir(path), "built-over-weeks"), "w") as f:
        f.write("mine")
    built = snapshot(path)
    for _ in range(2):
        assert bundle.download_simple_bundle(path, sample=True)
    said = capsys.readouterr().out.splitlines()[-1]
    older = said.split("更早的在 ")[1].split("，")[0].split("、")
    # The way back the output gives: the new directories out, those of the generation in.
    os.mkdir(str(tmp_path / "aside"))
    for name in staging.LAYOUT:
        os.rename(os.path.join(path, name), str(tmp_path / "aside" / name))
    kept = os.path.join(path, older[0].rstrip("/"))
    for name in os.listdir(kept):
        os.rename(os.path.join(kept, name), os.path.join(path, name))
    assert os.listdir(places.bundle_dir(path)).count("built-over-weeks") == 1
    assert snapshot(path).keys() == built.keys()
    # The generation emptied by going back is none to keep at the next swap, nor one that makes a whole one go.
    before = staging.generations(path)
    assert bundle.download_simple_bundle(path, sample=True)
    assert not os.path.exists(kept) and len(staging.generations(path)) == len(before)
    assert all(os.listdir(generation) for generation in staging.generations(path))


def snapshot(path):
    directory = places.bundle_dir(path)
    data = {("daybar", cat, code): arr for cat, code, arr in reading.iter_daily(directory)}
    for kind in ("minbar", "tick"):
        files = places.iter_minbar_files(path) if kind == "minbar" else places.iter_tick_files(path)
        for cat, code, p in files:
            data[(kind, cat, code)] = reading.read_data_file(p, kind)
    return data


def kill_and_rerun(path, rounds, seed):
    """Kill an update at random moments, check that every committed file is whole, then rerun."""
    rng = random.Random(seed)
    kills = 0
    for _ in range(rounds):
        proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(UPDATE_SCRIPT), path],
                                env=dict(os.environ, PYTHONPATH=SRC), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        time.sleep(rng.uniform(0.2, 2.2))
        if proc.poll() is None:
            proc.send_signal(signal.SIGKILL)
            kills += 1
        proc.wait()
        for kind in ("minbar", "tick"):
            files = places.iter_minbar_files(path) if kind == "minbar" else places.iter_tick_files(path)
            for _c, _code, p in files:
                assert validation.inspect_data_file(p, kind) is None, p
    tovi.init("demo", "demo")
    try:
        assert bundle.update_bundle_from_corvane(2, path, **KILL_SELECTION, with_derivatives=False) is True
    finally:
        tovi.sign_out()
    return kills


def test_killed_updates_end_with_a_complete_bundle(tmp_path, signed_in, capsys):
    reference = str(tmp_path / "reference")
    assert bundle.update_bundle_from_corvane(2, reference, **KILL_SELECTION, with_derivatives=False)
    path = str(tmp_path / "killed")
    rounds = int(os.environ.get("VANTOREL_KILL_ROUNDS", "4"))
    assert kill_and_rerun(path, rounds, seed=rounds) >= 1
    expected, got = snapshot(reference), snapshot(path)
    assert sorted(got) == sorted(expected)
    for key, arr in expected.items():
        np.testing.assert_array_equal(got[key], arr, err_msg=str(key))
    leftovers = [n for _r, _d, names in os.walk(path) for n in names if places.TEMP_MARK in n]
    assert leftovers == []
    capsys.readouterr()
    bundle.check_min_bar_data(path)
    assert "未发现异常" in capsys.readouterr().out


# ---- the sample bundle ----------------------------------------------------------------------------

def test_sample_bundle_needs_no_sign_in_and_is_clean(path, capsys):
    assert bundle.download_simple_bundle(path, sample=True) is True
    assert "样例数据生成完成" in capsys.readouterr().out
    categories = {cat for cat, _code, _p in places.iter_minbar_files(path)}
    assert categories == set(TAG_MAP)
    assert {cat for cat, _code, _p in places.iter_tick_files(path)} == set(engine.SAMPLE_TICK_CATEGORIES)
    bundle.check_min_bar_data(path)
    assert "未发现异常" in capsys.readouterr().out


def test_full_download_replaces_the_bundle_only_when_complete(path, monkeypatch, capsys):
    assert bundle.download_simple_bundle(path, sample=True)
    before = snapshot(path)
    kept = {"quarantine/tick/stock/A.h5.20261208": b"set aside", "notes.txt": b"mine"}
    for rel, data in kept.items():
        os.makedirs(os.path.dirname(os.path.join(path, rel)), exist_ok=True)
        with open(os.path.join(path, rel), "wb") as f:
            f.write(data)
    real = fail_minute_bars(monkeypatch, "000003.XSHE", "中断")
    with pytest.raises(VantorelError, match="保持不变"):
        bundle.download_simple_bundle(path, sample=False)
    after = snapshot(path)
    assert sorted(after) == sorted(before)
    monkeypatch.setattr(service.EmbeddedService, "minute_bars", real)
    capsys.readouterr()
    assert bundle.download_simple_bundle(path, sample=False)
    assert "原有的 bundle/、minbar/ 已保留在 {}".format(staging.generations(path)[-1]) in capsys.readouterr().out
    full = snapshot(path)
    assert len({k for k in full if k[0] == "minbar"}) > 3 * len({k for k in before if k[0] == "minbar"})
    # The full build brings no ticks, so the sample's stay, and so does everything else.
    assert {k for k in full if k[0] == "tick"} == {k for k in before if k[0] == "tick"}
    for rel, data in kept.items():
        with open(os.path.join(path, rel), "rb") as f:
            assert f.read() == data


@pytest.mark.parametrize("command", ["download", "update"])
def test_a_directory_that_holds_no_bundle_is_refused(tmp_path, calls, signed_in, capsys, command):
    project = tmp_path / "project"
    (project / "src").mkdir(parents=True)
    (project / "src" / "main.py").write_text("print()")
    # A kit home given where its bundle path belongs: refused, with the path that was meant.
    home = tmp_path / "home"
    assert bundle.download_simple_bundle(str(home / "bundle"), sample=True)
    calls.clear()
    for target, hint in ((project, ""), (home, f"是否想用 -d {home / 'bundle'}")):
        before = sorted(os.listdir(target))
        if command == "download":
            with pytest.raises(VantorelError, match="不是空目录，其中也没有 bundle 数据") as caught:
                bundle.download_simple_bundle(str(target), sample=True)
            message = caught.value.message
        else:
            assert bundle.update_bundle_from_corvane(1, str(target), True, (), (), False) is False
            message = capsys.readouterr().err
            assert "不是空目录，其中也没有 bundle 数据" in message
        assert hint in message
        assert sorted(os.listdir(target)) == before  # not even a lock file
    assert (project / "src" / "main.py").read_text() == "print()"
    assert calls == []


def test_download_from_an_archive_delegates(path, monkeypatch):
    seen = []
    from vantorel.sources import archive

    monkeypatch.setattr(archive, "install_archive", lambda file_path, dest: seen.append((file_path, dest)))
    assert bundle.download_simple_bundle(path, sample=True, file_path="x.tar.gz") is True
    assert seen == [("x.tar.gz", os.path.realpath(path))]


def test_bundle_module_imports_without_numpy_or_h5py():
    code = ("import sys; import vantorel.ombrel.alpha.bundle;"
            "print(sorted(m for m in ('numpy', 'h5py') if m in sys.modules))")
    out = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=SRC),
                         capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"


# ---- a bundle written by the previous release, and kills of in-place updates ---------------------

def test_a_bundle_of_the_older_format_is_converted_once_and_says_so(path, signed_in, monkeypatch, capsys):
    import h5py

    assert bundle.update_bundle_from_corvane(1, path, True, ("000001.XSHE",), (), False)
    (file,) = [p for _c, _code, p in places.iter_minbar_files(path)]
    before, attrs = reading.read_minbar_with_attrs(file)
    daily_file = places.daybar_path(places.bundle_dir(path), "stock")
    daily = reading.read_daybar_file(daily_file)
    # What the previous release wrote: contiguous datasets, the newest format, schema 1.
    for target, datasets, kind in ((file, {"bars": before}, "minbar"), (daily_file, daily, "daybar")):
        kept = dict(attrs) if kind == "minbar" else {"category": "stock"}
        with h5py.File(target, "w", libver="latest") as f:
            f.attrs.update(kept, schema_version=1, kind=kind)
            for name, arr in datasets.items():
                f.create_dataset(name, data=arr)
    capsys.readouterr()
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, True, ("000001.XSHE",), (), False) is True
    assert "已将 2 个旧版本的数据文件转换为新的存储格式" in capsys.readouterr().err
    after = reading.read_minbar(file)
    np.testing.assert_array_equal(after[:len(before)], before)
    assert after["trading_date"][-1] == 20261209
    assert appending.schema_of(file) == appending.schema_of(daily_file) == places.SCHEMA_VERSION
    monkeypatch.setenv(service.ENV_NOW, "2026-12-10T16:00")
    assert bundle.update_bundle_from_corvane(1, path, True, ("000001.XSHE",), (), False) is True
    assert "旧版本" not in capsys.readouterr().err


def test_kills_of_in_place_updates_and_conversions_leave_every_series_old_or_new():
    # The kill script at a small scale: SIGKILLs at random moments of one-day updates and of
    # conversions of an older bundle, every series checked after recovery, reruns checked clean.
    script = os.path.join(os.path.dirname(__file__), "..", "..", "..", "scripts", "kill_append.py")
    proc = subprocess.run([sys.executable, script, "--kills", "4", "--stocks", "6", "--rerun-every", "2", "--quiet"],
                          env=dict(os.environ, PYTHONPATH=SRC), capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert "4 kills:" in proc.stdout and " 0 damaged; 0 failures" in proc.stdout


def test_a_file_that_may_not_be_written_fails_only_its_instrument(path, signed_in, monkeypatch, capsys):
    codes = ("000001.XSHE", "000002.XSHE", "000003.XSHE")
    assert bundle.update_bundle_from_corvane(1, path, False, codes, (), False)
    files = {code: p for _c, code, p in places.iter_minbar_files(path)}
    with open(files["000002.XSHE"], "rb") as f:
        before = f.read()
    real_open = places.open_in_bundle

    def refusing(file, flags=os.O_RDONLY):
        if file == files["000002.XSHE"] and flags & os.O_RDWR:
            raise PermissionError(errno.EACCES, "Permission denied", file)
        return real_open(file, flags) if flags != os.O_RDONLY else real_open(file)

    monkeypatch.setattr(places, "open_in_bundle", refusing)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    capsys.readouterr()
    assert bundle.update_bundle_from_corvane(2, path, False, codes, (), False) is False
    out, err = capsys.readouterr()
    assert f"000002.XSHE（分钟线）未能更新：没有权限写入 {files['000002.XSHE']}" in err
    assert "分钟线 2 个合约 480 条" in out and "已中止" not in out
    with open(files["000002.XSHE"], "rb") as f:
        assert f.read() == before
    assert not os.path.lexists(os.path.join(path, ".vantorel.journal"))  # the update leaves no journal, nor its directory
    assert [reading.last_trading_date(files[c], "minbar") for c in codes] == [20261209, 20261208, 20261209]


def test_a_stored_series_the_kit_cannot_append_to_is_set_aside_and_fetched_again(path, signed_in, monkeypatch, capsys):
    import h5py

    assert bundle.update_bundle_from_corvane(1, path, False, ("000001.XSHE",), (), False)
    (file,) = [p for _c, _code, p in places.iter_minbar_files(path)]
    bars, attrs = reading.read_minbar_with_attrs(file)
    swapped = [(n, t) for n, t in schemas.MINBAR_FIELDS]
    swapped[2], swapped[5] = swapped[5], swapped[2]  # close where open was: copied by position, wrong
    with h5py.File(file, "w") as f:
        f.attrs.update(attrs)
        f.create_dataset("bars", data=bars.astype(np.dtype(swapped)), chunks=(256,), maxshape=(None,))
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, ("000001.XSHE",), (), False) is True
    assert "字段的名称、顺序或类型" in capsys.readouterr().err
    got = reading.read_minbar(file)
    assert got.dtype == schemas.minbar_dtype() and got["trading_date"][-1] == 20261209


@pytest.mark.parametrize("kind, what", [("minbar", "named datatype"), ("tick", "named datatype"), ("minbar", "group")])
def test_a_series_that_is_no_dataset_is_set_aside_and_fetched_again(path, signed_in, monkeypatch, kind, what):
    import h5py

    names = {"minbar": ((CODE,), ()), "tick": ((), (CODE,))}[kind]
    assert bundle.update_bundle_from_corvane(1, path, False, *names, False)
    file = places.data_path(path, kind, "stock", CODE)
    name = {"minbar": "bars", "tick": "ticks"}[kind]
    with h5py.File(file, "r+") as f:
        dtype = f[name].dtype
        del f[name]
        if what == "named datatype":
            f[name] = dtype
        else:
            f.create_group(name)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, *names, False)
    assert os.listdir(os.path.join(path, "quarantine", kind, "stock"))
    assert validation.inspect_data_file(file, kind) is None


def test_a_split_in_the_market_is_stored_and_raises_no_alarm(path, signed_in, monkeypatch, capsys):
    from vantorel import checks

    # 000002.XSHE splits 2:1 on 2014-03-03 in the embedded market (and pays a yearly dividend).
    (stock,) = [i for i in universe.build_universe(20140101, 20140310) if i.order_book_id == "000002.XSHE"]
    assert (20140303, 2.0) in simulated.corporate_actions(stock)
    monkeypatch.setenv(service.ENV_NOW, "2014-03-10T16:00")
    monkeypatch.setenv(service.ENV_DAILY_DAYS, "20")
    monkeypatch.setenv(service.ENV_MINBAR_DAYS, "10")
    assert bundle.update_bundle_from_corvane(1, path, True, ("000002.XSHE",), (), False)
    directory = places.bundle_dir(path)
    daily = reading.read_daily(directory, "000002.XSHE")
    before, after = (daily["close"][daily["datetime"] // 1000000 == d][0] for d in (20140228, 20140303))
    assert 0.4 < after / before < 0.6  # the raw price halves
    factors = reading.read_table(directory, "ex_factors")
    split = factors[(factors["order_book_id"] == b"000002.XSHE") & (factors["ex_date"] == 20140303)]
    assert len(split) == 1
    capsys.readouterr()
    assert checks.check_min_bar_data(path) == [] and checks.check_daily_bar_data(directory) == []


@pytest.mark.parametrize("now, latest, last_traded", [
    ("2022-03-01T16:00", 20220301, 20220218),  # suspended through the end of the data
    ("2022-03-08T16:00", 20220308, 20220308),  # trading again
])
def test_a_suspension_is_stored_and_is_no_gap_while_a_lost_day_is_one(path, signed_in, monkeypatch, capsys,
                                                                    now, latest, last_traded):
    from vantorel import checks

    code, lost = "000005.XSHE", 20220217
    # 000005.XSHE is suspended from 2022-02-21 to 2022-03-02 in the embedded market.
    (stock,) = [i for i in universe.build_universe(20220101, 20220310) if i.order_book_id == code]
    span = [d for d in simulated.suspensions(stock) if 20220201 <= d <= 20220310]
    assert span[0] == 20220221 and span[-1] == 20220302
    monkeypatch.setenv(service.ENV_NOW, now)
    monkeypatch.setenv(service.ENV_DAILY_DAYS, "20")
    monkeypatch.setenv(service.ENV_MINBAR_DAYS, "15")
    assert bundle.update_bundle_from_corvane(1, path, True, (code, "000001.XSHE"), (), False)
    directory = places.bundle_dir(path)
    stored = reading.read_table(directory, "suspended")
    assert [d for c, d in stored.tolist() if c == code.encode() and d in span] == [d for d in span if d <= latest]
    assert int(reading.read_daily(directory, code)["datetime"][-1]) // 1000000 == last_traded
    capsys.readouterr()
    assert checks.check_min_bar_data(path) == [] and checks.check_daily_bar_data(directory) == []

    # A day lost from the stored bars of the same stock is still a gap.
    daybars = reading.read_daybar_file(places.daybar_path(directory, "stock"))
    daybars[code] = daybars[code][daybars[code]["datetime"] // 1000000 != lost]
    writing.write_daybars(directory, "stock", daybars)
    minutes = reading.read_minbar(places.minbar_path(path, "stock", code))
    writing.write_minbar(path, "stock", code, minutes[minutes["trading_date"] != lost])
    for found in (checks.check_min_bar_data(path), checks.check_daily_bar_data(directory)):
        assert [(a.code, a.kind, a.examples) for a in found] == [(code, "missing_days", ("2022-02-17",))]


# What a service may do to the pieces of a futures history (night sessions at every seam): fail
# one, reach back before its window, send other byte order, nothing at first, other fields or types.
@pytest.mark.parametrize("fault", [None, "fails", "reaches back", "big-endian", "empty first", "other fields",
                                   "float32 prices"])
def test_a_long_new_history_is_written_in_pieces_and_committed_after_the_last(path, signed_in, monkeypatch, capsys,
                                                                               fault):
    from vantorel.update import run

    monkeypatch.setattr(run, "PIECE_ROWS", 2000)  # a few days a piece
    monkeypatch.setenv(service.ENV_MINBAR_DAYS, "30")
    codes = {"000001.XSHE": "stock", "M2701": "futures"}
    real = service.EmbeddedService.minute_bars
    pieces = {code: 0 for code in codes}
    first_rows = {}
    counting = threading.Lock()  # the pieces are fetched on several threads

    def minute_bars(self, code, start, end):
        with counting:
            pieces[code] += 1
            piece = pieces[code]
        # While its pieces come, nothing of the instrument has reached its path.
        assert piece == 1 or not os.path.exists(places.minbar_path(path, codes[code], code))
        rows = real(self, code, start, end)
        if code != "M2701" or fault is None:
            return rows
        if piece == 1:
            first_rows[code] = len(rows)
            return np.zeros(0) if fault == "empty first" else rows
        if fault == "fails" and piece == 3:
            raise service.ServiceError("连接中断")
        if fault == "reaches back":
            return real(self, code, shift_trading_date(start, -1), end)
        if fault == "big-endian":
            return rows.astype(rows.dtype.newbyteorder(">"))
        if fault == "other fields":
            return rows[[name for name in rows.dtype.names if name != "volume"]]
        if fault == "float32 prices":
            return rows.astype([(name, "f4" if name == "close" else rows.dtype[name]) for name in rows.dtype.names])
        return rows

    monkeypatch.setattr(service.EmbeddedService, "minute_bars", minute_bars)
    refused = fault in ("fails", "other fields", "float32 prices")
    assert bundle.update_bundle_from_corvane(2, path, False, tuple(codes), (), False) is not refused
    captured = capsys.readouterr()
    assert all(count >= 3 for count in pieces.values())
    start = shift_trading_date(20261208, -29)
    expected = {code: real(service.EmbeddedService(), code, start, 20261208) for code in codes}
    if refused:
        del expected["M2701"]
    elif fault == "empty first":
        expected["M2701"] = expected["M2701"][first_rows["M2701"]:]
    assert stored(path).keys() == expected.keys()
    for code, rows in expected.items():
        np.testing.assert_array_equal(stored(path)[code], rows)
    assert f"分钟线 {len(expected)} 个合约" in captured.out
    assert ("M2701（分钟线）未能更新：" in captured.err) is refused
    assert [n for _r, _d, names in os.walk(path) for n in names if places.TEMP_MARK in n] == []
