"""A bundle's series kept with their sources: a CSV folder updated in place, the service kept out of
it, and an update stopped part way told apart from a fault in the data."""
import datetime
import gzip
import os
import shutil

import pytest

from vantorel import tovi
from vantorel.bundle import access, places, reading
from vantorel.checks import check_daily_bar_data
from vantorel.ombrel.alpha import bundle
from vantorel.sources import provenance, service
from vantorel.update import run, unfinished

CODES = {"600000.XSHG": 10.0, "000001.XSHE": 12.0}
DAYS = ["20261201", "20261202", "20261203"]


def day_rows(day, price, lead=""):
    iso = f"{day[:4]}-{day[4:6]}-{day[6:]}"
    minutes = []
    for start, end in (((9, 31), (11, 30)), ((13, 1), (15, 0))):
        t = datetime.datetime(2026, 1, 1, *start)
        while (t.hour, t.minute) <= end:
            minutes.append(f"{lead}{iso} {t:%H:%M},{price},{price + 0.02},{price - 0.02},{price + 0.01 * (t.minute % 3)},100\n")
            t += datetime.timedelta(minutes=1)
    daily = f"{lead}{'' if lead else iso + ','}{price},{price + 0.02},{price - 0.02},{price},{100 * len(minutes)}\n"
    return minutes, daily


def make_folder(folder, days=DAYS):
    for kind in ("daybar", "minbar"):
        os.makedirs(os.path.join(folder, kind), exist_ok=True)
    with open(os.path.join(folder, "instruments.csv"), "w") as f:
        f.write("order_book_id,symbol,category,exchange,listed_date,tick_size,trading_hours\n")
        f.writelines(f'{code},{code},stock,{code[-4:]},2026-11-02,0.01,"09:31-11:30,13:01-15:00"\n' for code in CODES)
    for code, price in CODES.items():
        with open(os.path.join(folder, "daybar", code + ".csv"), "w") as d, \
                open(os.path.join(folder, "minbar", code + ".csv"), "w") as m:
            d.write("date,open,high,low,close,volume\n")
            m.write("datetime,open,high,low,close,volume\n")
            for day in days:
                minutes, daily = day_rows(day, price)
                m.writelines(minutes)
                d.write(daily)
    return folder


def append_day(folder, day):
    for code, price in CODES.items():
        minutes, daily = day_rows(day, price)
        with open(os.path.join(folder, "minbar", code + ".csv"), "a") as m:
            m.writelines(minutes)
        with open(os.path.join(folder, "daybar", code + ".csv"), "a") as d:
            d.write(daily)


def day_file(folder, day):
    with open(os.path.join(folder, "daybar", day + ".csv"), "w") as d, \
            open(os.path.join(folder, "minbar", day + ".csv"), "w") as m:
        d.write("order_book_id,open,high,low,close,volume\n")
        m.write("order_book_id,datetime,open,high,low,close,volume\n")
        for code, price in CODES.items():
            minutes, daily = day_rows(day, price, code + ",")
            m.writelines(minutes)
            d.write(daily)


def day_directory(folder, day):
    os.makedirs(os.path.join(folder, "minbar", day))
    for code, price in CODES.items():
        minutes, daily = day_rows(day, price)
        with open(os.path.join(folder, "minbar", day, code + ".csv"), "w") as m:
            m.write("datetime,open,high,low,close,volume\n")
            m.writelines(minutes)
        with open(os.path.join(folder, "daybar", code + ".csv"), "a") as d:
            d.write(daily)


def gzipped(folder, day=None):
    """The minute bars of 600000.XSHG as a .csv.gz, written anew (with ``day`` added) as gzip must be."""
    plain = os.path.join(folder, "minbar", "600000.XSHG.csv")
    packed = plain + ".gz"
    if os.path.exists(plain):
        with open(plain, "rb") as f, gzip.open(packed, "wb") as out:
            out.write(f.read())
        os.unlink(plain)
    if day is not None:
        with gzip.open(packed, "rt") as f:
            text = f.read()
        with gzip.open(packed, "wt") as out:
            out.write(text + "".join(day_rows(day, CODES["600000.XSHG"])[0]))


def correct(folder, line):
    """A vendor's correction of one taken minute bar (the file's ``line``-th), its length kept."""
    path = os.path.join(folder, "minbar", "600000.XSHG.csv")
    with open(path) as f:
        lines = f.readlines()
    lines[line] = lines[line].replace(",10.0,", ",10.1,", 1)
    with open(path, "w") as f:
        f.writelines(lines)


def series(path):
    """Every series of the bundle as bytes (a daily bar without prev_close holds NaN)."""
    found = {("daybar", code): rows.tobytes() for _c, code, rows in reading.iter_daily(places.bundle_dir(path))}
    found.update({("minbar", code): reading.read_data_file(p, "minbar").tobytes()
                  for _c, code, p in places.iter_minbar_files(path)})
    return found


@pytest.fixture
def imported(tmp_path, monkeypatch):
    """(folder, bundle path) of a CSV import; the data service is never to be asked."""
    folder = make_folder(str(tmp_path / "vendor"))
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=folder)

    def no_service(*_args, **_kwargs):
        raise AssertionError("the data service was asked for a CSV folder's series")

    monkeypatch.setattr(service, "open_client", no_service)
    return folder, path


@pytest.mark.parametrize("drops, converted_again", [
    ([lambda folder: append_day(folder, "20261204")], False),
    ([lambda folder: day_file(folder, "20261204")], False),
    ([lambda folder: day_directory(folder, "20261204")], False),
    ([lambda folder: append_day(folder, "20261204"), lambda folder: day_file(folder, "20261207")], False),
    ([lambda folder: correct(folder, -1)], True),  # the last bar taken
    ([lambda folder: correct(folder, 1)], True),  # the first
    ([lambda folder: day_file(folder, "20261207"), lambda folder: append_day(folder, "20261204")], True),  # late
    ([gzipped, lambda folder: day_file(folder, "20261204"), lambda folder: gzipped(folder, "20261207")], False),
], ids=["appended", "day-file", "day-directory", "appended-then-day-file", "last-corrected", "first-corrected",
        "late-day", "gzip-rewritten-longer"])
def test_a_vendor_drop_updates_the_bundle_as_a_fresh_conversion_would(imported, tmp_path, capsys, drops,
                                                                       converted_again):
    """Each drop is followed by an update; the last update converts a series again or appends in place."""
    folder, path = imported
    minute_file = places.minbar_path(path, "stock", "600000.XSHG")
    for drop in drops:
        inode = os.stat(minute_file).st_ino
        drop(folder)
        capsys.readouterr()
        assert bundle.update_bundle_from_exist_file(2, path)
    err = capsys.readouterr().err
    fresh = str(tmp_path / "fresh")
    assert bundle.download_simple_bundle(fresh, sample=False, file_path=folder)
    assert series(path) == series(fresh)
    assert err.count("已重新转换") == converted_again
    if not converted_again:
        assert os.stat(minute_file).st_ino == inode  # appended in place, not written anew
    assert provenance.source_of("600000.XSHG", path) == provenance.csv_folder(folder)
    capsys.readouterr()
    assert bundle.update_bundle_from_exist_file(2, path)
    assert "没有新数据" in capsys.readouterr().out


def test_a_folder_that_moved_is_named_and_nothing_is_removed(imported, capsys):
    folder, path = imported
    before = series(path)
    shutil.move(folder, folder + "-moved")
    assert not bundle.update_bundle_from_exist_file(2, path)
    assert f"CSV 目录 {folder} 已不存在" in capsys.readouterr().err
    assert series(path) == before


def test_the_service_never_adds_its_rows_to_a_csv_series(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv(service.ENV_NOW, "2026-12-08T16:00")
    folder = make_folder(str(tmp_path / "vendor"))
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=folder)
    users = series(path)
    tovi.init("demo", "demo")
    try:
        # Both codes are the service's too; one more is asked of it.
        assert bundle.update_bundle_from_corvane(2, path, True, ("600000.XSHG", "000002.XSHE"), (), False)
        assert "保持原来源，未从数据服务更新" in capsys.readouterr().err
        assert bundle.update_bundle_from_exist_file(2, path)
    finally:
        tovi.sign_out()
    after = series(path)
    assert {key: after[key] for key in users} == users
    assert ("minbar", "000002.XSHE") in after
    assert provenance.source_of("000002.XSHE", path)["kind"] == "service"
    assert provenance.source_of("000001.XSHE", path) == provenance.csv_folder(folder)


def test_an_interrupted_update_is_one_finding_and_the_next_update_finishes_it(tmp_path, monkeypatch, capsys):
    monkeypatch.setenv(service.ENV_NOW, "2026-12-01T16:00")
    path = str(tmp_path / "data")
    tovi.init("demo", "demo")
    try:
        assert bundle.update_bundle_from_corvane(2, path, True, (), (), False)
        monkeypatch.setenv(service.ENV_NOW, "2026-12-30T16:00")
        real = run._TaskRun.commit
        done = []

        def interrupted(self, task, rows):
            if len(done) == 40:
                raise KeyboardInterrupt
            done.append(task)
            return real(self, task, rows)

        monkeypatch.setattr(run._TaskRun, "commit", interrupted)
        capsys.readouterr()
        with pytest.raises(KeyboardInterrupt):
            bundle.update_bundle_from_corvane(2, path, True, (), (), False)
        assert "再次运行 vantorel update-data --base -c 2" in capsys.readouterr().err
        found = check_daily_bar_data(places.bundle_dir(path))
        assert [a.kind for a in found] == ["unfinished_update"]
        assert "没有完成；重新运行 vantorel update-data --base -c 2" in found[0].examples[0]
        with access.updating(path):  # the same record while an update is at work: only to wait for
            (at_work,) = check_daily_bar_data(places.bundle_dir(path))
        assert "正在进行；它结束后再检查即可" in at_work.examples[0]
        mark = os.path.join(path, unfinished.MARK)
        os.rename(mark, mark + ".aside")  # without the record, what it stood for shows
        assert "stopped" in {a.kind for a in check_daily_bar_data(places.bundle_dir(path))}
        os.rename(mark + ".aside", mark)
        monkeypatch.setattr(run._TaskRun, "commit", real)
        assert bundle.update_bundle_from_corvane(2, path, False, ("000001.XSHE",), (), False)  # a narrower one
        assert "unfinished_update" in {a.kind for a in check_daily_bar_data(places.bundle_dir(path))}
        assert bundle.update_bundle_from_corvane(2, path, True, (), (), False)
    finally:
        tovi.sign_out()
    assert check_daily_bar_data(places.bundle_dir(path)) == []
    assert not os.path.exists(os.path.join(path, unfinished.MARK))


def test_a_file_grown_past_what_an_update_reads_at_once_is_converted_again(imported, tmp_path, monkeypatch, capsys):
    from vantorel.sources import csv_update

    folder, path = imported
    monkeypatch.setattr(csv_update, "TAIL_LIMIT", 1024)  # a day of minutes is more
    append_day(folder, "20261204")
    capsys.readouterr()
    assert bundle.update_bundle_from_exist_file(2, path)
    assert "超过只读新增部分的上限" in capsys.readouterr().err
    fresh = str(tmp_path / "fresh")
    assert bundle.download_simple_bundle(fresh, sample=False, file_path=folder)
    assert series(path) == series(fresh)
