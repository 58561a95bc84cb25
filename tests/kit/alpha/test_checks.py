import json
import os
import unicodedata

import hostile_h5
import numpy as np
import pytest

from vantorel.errors import VantorelError
from vantorel.checks import daily as daily_check
from vantorel.checks import minute as minute_check
from vantorel.bundle import places, reading, writing
from vantorel.market import schemas
from vantorel.sources import simulated
from vantorel.market.calendar import next_trading_date, previous_trading_date, trading_dates
from vantorel.market.sessions import expected_minute_count, minute_labels
from vantorel.checks import CheckSettings, check_daily_bar_data, check_min_bar_data, settings_from_env
from vantorel.ombrel.cmds.bundle import check_bundle_data

STOCK_HOURS = "09:31-11:30,13:01-15:00"
FUTURE_HOURS = "21:01-23:00,09:01-10:15,10:31-11:30,13:31-15:00"
# Three weeks around the spring festival of 2024, so the night session is skipped once.
START, END = 20240129, 20240223

INSTRUMENTS = [
    ("000001.XSHE", "stock", STOCK_HOURS, 0.01),
    ("600000.XSHG", "stock", STOCK_HOURS, 0.01),
    ("M2405", "futures", FUTURE_HOURS, 1.0),
]


def instrument_table(listed=None):
    arr = np.zeros(len(INSTRUMENTS), dtype=schemas.instrument_dtype())
    for row, (code, category, hours, tick) in zip(arr, INSTRUMENTS):
        row["order_book_id"] = code.encode()
        row["symbol"] = code.encode()
        row["category"] = category.encode()
        row["trading_hours"] = hours.encode()
        row["tick_size"] = tick
        row["listed_date"], row["de_listed_date"] = (listed or {}).get(code, (20000101, 0))
        row["round_lot"] = 100
    return arr


def minute_bars(code, hours, tick):
    rng = np.random.default_rng(simulated.stable_hash(code) % (1 << 32))
    parts = []
    days = trading_dates(START, END)
    for day, prev in zip(days, np.r_[previous_trading_date(int(days[0])), days[:-1]]):
        stamps = minute_labels(hours, int(day), int(prev))
        arr = np.zeros(len(stamps), dtype=schemas.minbar_dtype())
        arr["datetime"] = stamps
        arr["trading_date"] = day
        parts.append(arr)
    bars = np.concatenate(parts)
    n = len(bars)
    close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.0005, n))) / tick) * tick
    opens = np.r_[close[0], close[:-1]]
    spread = np.round(rng.uniform(0, 3, n)) * tick
    bars["open"] = opens
    bars["close"] = close
    bars["high"] = np.maximum(opens, close) + spread
    bars["low"] = np.minimum(opens, close) - spread
    bars["volume"] = rng.integers(1, 5000, n)
    bars["total_turnover"] = bars["volume"] * close
    return bars


def daily_from(minutes):
    days, starts = np.unique(minutes["trading_date"], return_index=True)
    ends = np.r_[starts[1:], len(minutes)] - 1
    daily = np.zeros(len(days), dtype=schemas.daybar_dtype())
    daily["datetime"] = days.astype("i8") * 1000000
    daily["open"] = minutes["open"][starts]
    daily["high"] = np.maximum.reduceat(minutes["high"], starts)
    daily["low"] = np.minimum.reduceat(minutes["low"], starts)
    daily["close"] = minutes["close"][ends]
    daily["prev_close"] = np.r_[daily["open"][0], daily["close"][:-1]]
    daily["volume"] = np.add.reduceat(minutes["volume"], starts)
    return daily


class Bundle:
    """A small, clean bundle written with the storage functions; tests then spoil one thing."""

    def __init__(self, root):
        self.path = str(root)
        self.dir = places.bundle_dir(self.path)
        self.minutes = {code: minute_bars(code, hours, tick) for code, _c, hours, tick in INSTRUMENTS}
        self.daily = {code: daily_from(bars) for code, bars in self.minutes.items()}
        self.category = {code: category for code, category, _h, _t in INSTRUMENTS}
        writing.write_instruments(self.dir, instrument_table())
        writing.write_trading_dates(self.dir, trading_dates(20240101, END))
        for code in self.minutes:
            self.write_minutes(code)
        self.write_daily()

    def write_minutes(self, code, bars=None):
        bars = self.minutes[code] if bars is None else bars
        return writing.write_minbar(self.path, self.category[code], code, bars)

    def write_daily(self):
        for category in set(self.category.values()):
            writing.write_daybars(
                self.dir, category, {c: d for c, d in self.daily.items() if self.category[c] == category}
            )


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path / "bundle-path")


def display_width(text):
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def kinds(found, code=None):
    return {a.kind for a in found if code is None or a.code == code}


def test_clean_bundle_reports_no_anomalies(bundle, capsys):
    assert check_min_bar_data(bundle.path) == []
    assert check_bundle_data(bundle.dir) == []
    captured = capsys.readouterr()
    assert captured.out.count("未发现异常") == 2
    assert "3 个文件" in captured.out and "3 个品种" in captured.out
    assert captured.err == ""  # no progress bar when stderr is no terminal


@pytest.mark.parametrize("which", ["minute", "daily"])
def test_empty_or_missing_bundle_says_so(tmp_path, capsys, which):
    path = str(tmp_path / "nothing-here")
    found = check_min_bar_data(path) if which == "minute" else check_bundle_data(os.path.join(path, "bundle"))
    assert found == []
    out = capsys.readouterr().out
    assert ("没有分钟线数据" if which == "minute" else "没有日线数据") in out
    assert "未发现异常" not in out


def spoil_minutes(bundle, code, spoil):
    bars = bundle.minutes[code].copy()
    bars = spoil(bars)
    bundle.write_minutes(code, bars)


def _set(field, index, value):
    def spoil(bars):
        bars[field][index] = value
        return bars

    return spoil


def _drop_day(bars):
    days = np.unique(bars["trading_date"])
    return bars[bars["trading_date"] != days[5]]


def _drop_minutes(bars):
    return np.delete(bars, [100, 101])


def _swap_rows(bars):
    bars[[50, 51]] = bars[[51, 50]]
    return bars


def _duplicate_row(bars):
    return np.insert(bars, 60, bars[60])


def _weekend_day(bars):
    extra = bars[bars["trading_date"] == bars["trading_date"][-1]].copy()
    # 2024-02-24 is a Saturday, after the last stored day.
    extra["datetime"] = extra["datetime"] % 1000000 + 20240224 * 1000000
    extra["trading_date"] = 20240224
    return np.concatenate([bars, extra])


def _wrong_trading_date(bars):
    last = bars["trading_date"][-1]
    bars["trading_date"][bars["trading_date"] == bars["trading_date"][-300]] = bars["trading_date"][-300]
    bars["trading_date"][-1] = last - 1 if last % 100 > 1 else last
    return bars


def _night_after_break(bars):
    # The night session the exchange skips before the first day after the spring festival, stored.
    after = next_trading_date(20240209)
    evening = bars[(bars["datetime"] // 10000 % 100 >= 21) & (bars["trading_date"] == bars["trading_date"][0])].copy()
    evening["datetime"] = previous_trading_date(after) * 1000000 + evening["datetime"] % 1000000
    evening["trading_date"] = after
    return np.insert(bars, np.searchsorted(bars["trading_date"], after), evening)


def _off_session(bars):
    bars["datetime"][10] = bars["datetime"][10] // 1000000 * 1000000 + 121500  # 12:15, lunch break
    return bars


@pytest.mark.parametrize(
    "code, spoil, kind",
    [
        ("000001.XSHE", _set("high", 30, 1.0), "ohlc"),  # high below everything
        ("000001.XSHE", _set("low", 31, 1e6), "ohlc"),  # low above open and close
        ("600000.XSHG", _set("close", 40, np.nan), "nan"),
        ("600000.XSHG", _set("high", 40, np.inf), "nan"),
        ("600000.XSHG", _set("open", 41, 0.0), "non_positive"),
        ("600000.XSHG", _set("low", 42, -5.0), "non_positive"),
        ("M2405", _set("volume", 43, -1), "negative_volume"),
        ("000001.XSHE", _swap_rows, "not_increasing"),
        ("000001.XSHE", _duplicate_row, "duplicate"),
        ("M2405", _drop_day, "missing_days"),
        ("M2405", _drop_minutes, "session_count"),
        ("M2405", _night_after_break, "session_count"),
        ("000001.XSHE", _weekend_day, "non_trading_day"),
        ("000001.XSHE", _off_session, "off_session"),
        ("600000.XSHG", _set("close", 500, 300.0), "jump"),
    ],
)
def test_each_minute_anomaly_is_reported(bundle, capsys, code, spoil, kind):
    spoil_minutes(bundle, code, spoil)
    found = check_min_bar_data(bundle.path)
    assert kind in kinds(found, code)
    # Only the spoiled instrument is named.
    assert {a.code for a in found} == {code}
    out = capsys.readouterr().out
    assert "未发现异常" not in out and code in out


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="descriptors are counted in /proc")
def test_directories_kept_for_a_check_are_its_own(bundle):
    # A check opens each category's files from the directory it walked to once; the next check
    # walks again, and none of them leaves a descriptor open.
    before = sorted(os.listdir("/proc/self/fd"))
    assert check_min_bar_data(bundle.path) == []
    stock = os.path.join(bundle.path, places.MINBAR_DIR_NAME, "stock")
    os.rename(stock, os.path.join(bundle.path, "stock-before"))
    spoil_minutes(bundle, "000001.XSHE", _swap_rows)
    assert kinds(check_min_bar_data(bundle.path)) == {"not_increasing"}
    assert sorted(os.listdir("/proc/self/fd")) == before


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="descriptors are counted in /proc")
def test_directories_kept_in_one_thread_are_not_closed_under_another(bundle, monkeypatch):
    # Two checks in two threads of one process (threads of a cluster's worker): the one that ends
    # first closes what it kept, never what the other walks to or opens files from.
    import threading

    ours, theirs = {c: p for c, _code, p in places.iter_minbar_files(bundle.path)}.values()  # two directories
    descriptors = sorted(os.listdir("/proc/self/fd"))
    walking, go_on, errors = threading.Event(), threading.Event(), []
    real_walk = places._walk

    def paused_walk(*args, **kwargs):
        if threading.current_thread().name == "other":
            walking.set()
            go_on.wait()
        return real_walk(*args, **kwargs)

    def other():
        with places.walks_kept():
            try:
                os.close(places.open_in_bundle(theirs))
                os.close(places.open_in_bundle(ours))
            except Exception as exc:  # noqa: BLE001 - what the open raised is the finding
                errors.append(exc)

    monkeypatch.setattr(places, "_walk", paused_walk)
    thread = threading.Thread(target=other, name="other")
    with places.walks_kept():
        os.close(places.open_in_bundle(ours))
        thread.start()
        walking.wait(timeout=30)
    go_on.set()
    thread.join()
    assert errors == [] and sorted(os.listdir("/proc/self/fd")) == descriptors


@pytest.mark.parametrize("spelled", ["as made", "through a link", "relative"])
def test_a_journal_a_writer_left_while_the_check_ran_is_seen(bundle, monkeypatch, tmp_path, spelled):
    # A writer killed in the middle of a change, after the check began and before it opened the
    # file: the file is refused as half changed, whatever the check looked at before and however
    # the bundle path is spelled.
    from vantorel.bundle import journal

    files = list(places.iter_minbar_files(bundle.path))
    last = files[-1][2]
    check_file = minute_check._check_minute_file

    def then_a_killed_writer(base, bundle_path, category, code, path, settings):
        if os.path.basename(path) == os.path.basename(files[0][2]):
            info = os.stat(last)
            os.makedirs(journal.journal_dir(bundle.path), exist_ok=True)
            header = {"path": os.path.relpath(last, bundle.path), "old_length": info.st_size, "ranges": [[0, 8]],
                      "device": info.st_dev, "inode": info.st_ino}
            with open(os.path.join(journal.journal_dir(bundle.path), "0123456789abcdef.journal"), "wb") as out:
                out.write(journal.MAGIC + json.dumps(header).encode() + b"\n")
        return check_file(base, bundle_path, category, code, path, settings)

    monkeypatch.setattr(minute_check, "_check_minute_file", then_a_killed_writer)
    path = bundle.path
    if spelled == "through a link":
        path = str(tmp_path / "link")
        os.symlink(bundle.path, path)
    elif spelled == "relative":
        monkeypatch.chdir(os.path.dirname(bundle.path))
        path = os.path.basename(bundle.path)
    found = check_min_bar_data(path)
    assert [(a.code, a.kind) for a in found] == [(files[-1][1], "unreadable")]
    assert "被中断" in found[0].examples[0]


def test_night_session_date_must_be_previous_trading_day(bundle):
    bars = bundle.minutes["M2405"].copy()
    night = (bars["datetime"] // 10000 % 100) >= 21
    first_night = np.flatnonzero(night)[0]
    # Move one night-session bar onto its trading day's own date.
    stamp = bars["datetime"][first_night]
    bars["datetime"][first_night] = int(bars["trading_date"][first_night]) * 1000000 + stamp % 1000000
    bundle.write_minutes("M2405", np.sort(bars, order="datetime"))
    assert "trading_date" in kinds(check_min_bar_data(bundle.path), "M2405")


def test_skipped_night_session_is_expected(bundle):
    # The clean bundle spans the spring festival; the first day after it has no night session,
    # and the check must know that rather than report a short session.
    after = next_trading_date(20240209)
    bars = bundle.minutes["M2405"]
    day_bars = bars[bars["trading_date"] == after]
    assert len(day_bars) == expected_minute_count(FUTURE_HOURS, after) < 345
    assert check_min_bar_data(bundle.path) == []


@pytest.mark.parametrize("name, value, said", [
    ("last_trading_date", 20240301, "last_trading_date=20240301"), ("first_trading_date", 20240130, "=20240130"),
    ("rows", 7, "rows=7"), ("rows", [1, 2], "rows 不是整数"), ("last_trading_date", "2024\n0301", "不是整数"),
    # What a file names itself is shown escaped, on its one row.
    ("order_book_id", "000002.XSHE\n\x1b[31m", r"order_book_id=000002.XSHE\n\x1b[31m，文件位置为 000001.XSHE"),
    ("category", "future", "category=future，文件位置为 stock"),
])
def test_wrong_attribute_is_reported_on_its_row(bundle, capsys, name, value, said):
    path = places.minbar_path(bundle.path, "stock", "000001.XSHE")
    import h5py

    with h5py.File(path, "r+") as f:
        f.attrs[name] = value
    found = check_min_bar_data(bundle.path)
    assert kinds(found) == {"attrs"}
    row = [line for line in capsys.readouterr().out.splitlines() if "000001.XSHE" in line]
    assert len(row) == 1 and said in row[0]


def test_instrument_missing_from_table_is_reported(bundle):
    table = instrument_table()
    writing.write_instruments(bundle.dir, table[table["order_book_id"] != b"M2405"])
    assert {(a.code, a.kind) for a in check_min_bar_data(bundle.path)} == {("M2405", "unknown_instrument")}
    assert {(a.code, a.kind) for a in check_bundle_data(bundle.dir)} == {("M2405", "unknown_instrument")}


@pytest.mark.parametrize("listed", [(20240205, 0), (20000101, 20240215)])
def test_rows_outside_listing_are_reported(bundle, listed):
    writing.write_instruments(bundle.dir, instrument_table({"M2405": listed}))
    assert kinds(check_min_bar_data(bundle.path)) == {"outside_listing"}
    assert kinds(check_bundle_data(bundle.dir)) == {"outside_listing"}


@pytest.mark.parametrize("damage", ["garbage", "truncated", "columns", "text column", "schema", "external storage",
                                    "declares 60M compressed rows", "no shape", "larger than memory"])
def test_unreadable_or_foreign_minute_file(bundle, damage, monkeypatch):
    path = places.minbar_path(bundle.path, "stock", "600000.XSHG")
    if damage in hostile_h5.REFUSALS:
        hostile_h5.write(path, damage)
    elif damage == "larger than memory":
        # A sound file too large for the memory left: the check goes on to the next file.
        bundle.write_minutes("600000.XSHG", np.resize(bundle.minutes["600000.XSHG"], 200_000))
        real_empty = np.empty

        def empty(shape, *args, **kwargs):
            if np.prod(shape) >= 200_000:
                raise MemoryError("Unable to allocate")
            return real_empty(shape, *args, **kwargs)

        monkeypatch.setattr(np, "empty", empty)
    elif damage == "garbage":
        with open(path, "wb") as f:
            f.write(b"not hdf5 at all" * 100)
    elif damage == "truncated":
        size = os.path.getsize(path)
        with open(path, "r+b") as f:
            f.truncate(size // 3)
    elif damage == "columns":
        bars = bundle.minutes["600000.XSHG"]
        slim = np.zeros(len(bars), dtype=[("datetime", "i8"), ("trading_date", "i4"), ("close", "f8")])
        for name in slim.dtype.names:
            slim[name] = bars[name]
        bundle.write_minutes("600000.XSHG", slim)
    elif damage == "text column":
        bars = bundle.minutes["600000.XSHG"]
        fields = [(n, "S12" if n == "volume" else bars.dtype[n].str) for n in bars.dtype.names]
        bundle.write_minutes("600000.XSHG", bars.astype(fields))
    else:
        import h5py

        with h5py.File(path, "r+") as f:
            f.attrs["schema_version"] = 99
    found = check_min_bar_data(bundle.path)
    expected = "missing_columns" if "column" in damage else "unreadable"
    assert kinds(found, "600000.XSHG") == {expected}
    assert kinds(found) == {expected}


def test_a_series_too_large_to_check_is_one_finding_of_each_check(bundle, monkeypatch):
    def out_of_memory(real):
        def check(series, *args):
            if series.code == "600000.XSHG":
                raise MemoryError("Unable to allocate")
            return real(series, *args)
        return check

    # The last of the minute checks, the last of the daily.
    for module, name in ((minute_check, "_session_checks"), (daily_check, "_cross_check")):
        monkeypatch.setattr(module, name, out_of_memory(getattr(module, name)))
    found = check_min_bar_data(bundle.path) + check_bundle_data(bundle.dir)
    assert sorted((a.file.split("/")[0], a.code, a.kind) for a in found) == [
        ("bundle", "600000.XSHG", "unreadable"), ("minbar", "600000.XSHG", "unreadable")]


def spoil_daily(bundle, code, field, index, value):
    bundle.daily[code] = bundle.daily[code].copy()
    bundle.daily[code][field][index] = value
    bundle.write_daily()


@pytest.mark.parametrize(
    "code, field, index, value, expected",
    [
        ("000001.XSHE", "high", 3, 1.0, {"ohlc", "daily_vs_minute"}),
        ("000001.XSHE", "close", 4, np.nan, {"nan"}),
        ("600000.XSHG", "open", 5, -1.0, {"non_positive", "ohlc", "daily_vs_minute"}),
        ("M2405", "volume", 6, -10, {"negative_volume", "daily_vs_minute"}),
        # a close ten times too high: beyond the main board's limit in and out, off the minute bars' last close
        ("600000.XSHG", "close", 7, 1000.0, {"limit", "ohlc", "daily_vs_minute"}),
        # a slightly wrong but plausible volume is caught only by the minute bars
        ("M2405", "volume", 2, None, {"daily_vs_minute"}),
        ("000001.XSHE", "open", 8, None, {"daily_vs_minute"}),
    ],
)
def test_each_daily_anomaly_is_reported(bundle, code, field, index, value, expected):
    if value is None:
        original = bundle.daily[code][field][index]
        # beyond what two feeds of one market differ by (2% of volume, 0.2% of price)
        value = original * 1.05 if field == "volume" else original * 1.01
        if field == "open":
            bundle.daily[code]["high"][index] = max(bundle.daily[code]["high"][index], value)
    spoil_daily(bundle, code, field, index, value)
    found = check_bundle_data(bundle.dir)
    assert kinds(found, code) == expected
    assert {a.code for a in found} == {code}


def test_daily_within_tolerance_is_clean(bundle):
    # A daily bar from another feed: a close an auction print away (0.15%, many ticks of a
    # stock), a future's close one tick off, a volume with 1.5% more trades.
    for code, close_by in (("000001.XSHE", lambda c: c * 1.0015), ("M2405", lambda c: c + 1.0)):
        daily = bundle.daily[code]
        daily["close"][3] = close_by(daily["close"][3])
        daily["high"][3] = max(daily["high"][3], daily["close"][3])
        daily["volume"][3] = int(daily["volume"][3] * 1.015)
    bundle.write_daily()
    assert check_bundle_data(bundle.dir) == []


@pytest.mark.parametrize("spoil, kind", [("drop", "missing_days"), ("weekend", "non_trading_day"), ("swap", "not_increasing"), ("dup", "duplicate")])
def test_daily_calendar_and_order(bundle, spoil, kind):
    daily = bundle.daily["600000.XSHG"].copy()
    if spoil == "drop":
        daily = np.delete(daily, 4)
    elif spoil == "weekend":
        extra = daily[-1:].copy()
        extra["datetime"] = 20240224 * 1000000
        daily = np.concatenate([daily, extra])
    elif spoil == "swap":
        daily[[2, 3]] = daily[[3, 2]]
    else:
        daily = np.insert(daily, 2, daily[2])
    bundle.daily["600000.XSHG"] = daily
    bundle.write_daily()
    found = check_bundle_data(bundle.dir)
    assert kind in kinds(found, "600000.XSHG")
    if spoil == "drop":
        # The minute bars of the dropped day have no daily bar.
        assert "minute_without_daily" in kinds(found, "600000.XSHG")


def test_unreadable_daily_file_and_base_files(bundle):
    with open(places.daybar_path(bundle.dir, "futures"), "wb") as f:
        f.write(b"\0" * 100)
    os.unlink(os.path.join(bundle.dir, places.INSTRUMENTS_FILE))
    found = check_bundle_data(bundle.dir)
    assert {(a.file, a.kind) for a in found} == {
        ("bundle/daybar/futures.h5", "unreadable"),
        ("bundle/instruments.h5", "unreadable"),
    }


def _events(name, rows, fields=None):
    def damage(bundle):
        dtype = fields or {"ex_factors": schemas.EX_FACTOR_FIELDS, "suspended": schemas.SUSPENDED_FIELDS}[name]
        writing.write_table(bundle.dir, name, np.array(rows, dtype=dtype))
    return damage


def _calendar(days):
    return lambda bundle: writing.write_trading_dates(bundle.dir, np.asarray(days, dtype="i4"))


def _empty_series(bundle):
    bundle.daily["600000.XSHG"] = bundle.daily["600000.XSHG"][:0]
    bundle.write_daily()


def _emptied_minutes(bundle):
    import h5py

    path = bundle.write_minutes("000001.XSHE", bundle.minutes["000001.XSHE"][:0])
    with h5py.File(path, "r+") as f:
        f.attrs["rows"] = len(bundle.minutes["000001.XSHE"])  # what it held before it was cut to nothing


@pytest.mark.parametrize("damage, expected", [
    (lambda b: os.unlink(os.path.join(b.dir, places.TRADING_DATES_FILE)), {("bundle/trading_dates.h5", "calendar")}),
    (_emptied_minutes, {("minbar/stock/000001.XSHE.h5", "attrs")}),
    (_calendar([]), {("bundle/trading_dates.h5", "calendar")}),
    (lambda b: writing.write_trading_dates(b.dir, np.r_[0, 20240230, trading_dates(20240101, END)].astype("i4")),
     {("bundle/trading_dates.h5", "calendar")}),  # the real days still serve: nothing else is found
    # A factor that is no positive number would turn prices into nonsense, or hide a split.
    (_events("ex_factors", [(b"000001.XSHE", 20240205, np.nan)]), {("bundle/ex_factors.h5", "events")}),
    (_events("ex_factors", [(b"000001.XSHE", 20240205, 0.0)]), {("bundle/ex_factors.h5", "events")}),
    (_events("ex_factors", [(b"NOPE", 20240205, 2.0)]), {("bundle/ex_factors.h5", "events")}),
    (_events("suspended", [(b"000001.XSHE", -5)]), {("bundle/suspended.h5", "events")}),
    (_events("suspended", [(1, 2)], [("a", "i4"), ("b", "i4")]), {("bundle/suspended.h5", "unreadable")}),
    (_empty_series, {("bundle/daybar/stock.h5", "stopped")}),
])
def test_damaged_calendar_events_and_empty_series_are_found_without_a_crash(bundle, damage, expected):
    damage(bundle)
    found = check_min_bar_data(bundle.path) + check_bundle_data(bundle.dir)
    assert {(a.file, a.kind) for a in found} == expected, found


def _hand_made(directory, name, **datasets):
    import h5py

    with h5py.File(os.path.join(directory, name + ".h5"), "w") as f:
        f.attrs["schema_version"], f.attrs["kind"] = 2, name
        for key, data in datasets.items():
            f.create_dataset(key, data=data)


DAYS = trading_dates(20240101, END)
EXCHANGE_DAYS = np.array([(b"XSHE", d) for d in DAYS], schemas.EXCHANGE_DATE_FIELDS)


@pytest.mark.parametrize("name, datasets, kind, says", [
    # Tables not of the kit's making are one finding, not a check that stops half way.
    ("suspended", {"suspended": np.arange(3)}, "unreadable", "缺少字段 order_book_id"),
    ("suspended", {"suspended": np.array([(b"000001.XSHE", b"x")], [("order_book_id", "S32"), ("date", "S8")])},
     "unreadable", "字段 date 的类型为 |S8"),
    ("ex_factors", {"ex_factors": np.array([(b"000001.XSHE", np.nan, 2.0)],
                                           [("order_book_id", "S32"), ("ex_date", "f8"), ("ex_cum_factor", "f8")])},
     "unreadable", "字段 ex_date 的类型为 <f8"),
    ("trading_dates", {"trading_dates": DAYS, "exchange_trading_dates": np.array(
        [(b"XSHE", np.nan)], [("exchange", "S8"), ("date", "f8")])}, "unreadable", "字段 date 的类型为 <f8"),
    ("trading_dates", {"trading_dates": DAYS, "exchange_trading_dates": EXCHANGE_DAYS,
                       "exchange_early_closes": np.array([(b"XSHE", 20240201, -100)], schemas.EXCHANGE_EARLY_CLOSE_FIELDS)},
     "calendar", "XSHE 2024-02-01 的提前收盘时刻 -100 无效"),
    # An empty calendar checks nothing: a clean table would say otherwise.
    ("trading_dates", {"trading_dates": np.zeros(0, "i4")}, "calendar", "交易日历为空"),
])
def test_hand_made_base_tables_are_findings(bundle, name, datasets, kind, says):
    _hand_made(bundle.dir, name, **datasets)
    for found in (check_min_bar_data(bundle.path), check_daily_bar_data(bundle.dir)):
        assert [(a.file, a.kind) for a in found if says in " ".join(a.examples)] == [(f"bundle/{name}.h5", kind)]


def test_report_is_a_table(bundle, capsys):
    spoil_minutes(bundle, "000001.XSHE", _set("high", 30, 1.0))
    spoil_minutes(bundle, "M2405", _set("volume", 43, -1))
    capsys.readouterr()
    check_min_bar_data(bundle.path)
    lines = capsys.readouterr().out.splitlines()
    assert lines[1].split() == ["文件", "品种", "异常", "数量", "示例"]
    # The table, the summary, then the report's path under its label.
    assert [line.split()[:2] for line in lines[2:-3]] == [
        ["minbar/futures/M2405.h5", "M2405"],
        ["minbar/stock/000001.XSHE.h5", "000001.XSHE"],
    ]
    assert "成交量为负" in lines[2] and "OHLC 不一致" in lines[3]
    # Columns line up under the header on a terminal, wide characters taking two cells.
    header_at = display_width(lines[1][: lines[1].index("异常")])
    assert display_width(lines[2][: lines[2].index("成交量为负")]) == header_at
    assert display_width(lines[3][: lines[3].index("OHLC")]) == header_at
    assert "发现 2 项异常" in lines[-3]


def test_jump_threshold_from_environment(bundle, monkeypatch):
    bars = bundle.minutes["600000.XSHG"].copy()
    for field in ("open", "high", "low", "close"):
        bars[field][500:] *= 1.12
    bundle.write_minutes("600000.XSHG", bars)
    assert kinds(check_min_bar_data(bundle.path)) == set()
    monkeypatch.setenv("VANTOREL_CHECK_MINUTE_JUMP", "0.1")
    assert kinds(check_min_bar_data(bundle.path)) == {"jump"}
    assert CheckSettings().jump_limit("option", minute=True) == 5.0


@pytest.mark.parametrize("name, text, field, value", [
    ("VANTOREL_CHECK_DAILY_MINUTE_VOLUME", "0.5", "volume_rel", 0.5),
    ("VANTOREL_CHECK_STALE_DAYS", "3", "stale_days", 3),
    ("VANTOREL_CHECK_MARKET_GAP_SHARE", "1", "market_gap_share", 1.0),
    ("VANTOREL_CHECK_MINUTE_JUMP", "ten percent", None, None),
    ("VANTOREL_CHECK_SPIKE", "nan", None, None),
    ("VANTOREL_CHECK_DAILY_MINUTE_PRICE", "0", None, None),
    ("VANTOREL_CHECK_MARKET_GAP_SHARE", "1.5", None, None),
    ("VANTOREL_CHECK_STALE_DAYS", "1", None, None),  # one day alone is no run
    ("VANTOREL_CHECK_STOPPED_DAYS", "2.5", None, None),
])
def test_every_threshold_is_set_through_the_environment_or_refused(monkeypatch, name, text, field, value):
    monkeypatch.setenv(name, text)
    if field is None:
        with pytest.raises(VantorelError, match=name):
            settings_from_env()
    else:
        assert getattr(settings_from_env(), field) == value


@pytest.fixture(scope="module")
def updated_bundle(tmp_path_factory):
    """A sample bundle made by the kit's own update from the embedded service, over a holiday."""
    from vantorel.ombrel.alpha.bundle import download_simple_bundle

    path = str(tmp_path_factory.mktemp("updated") / "bundle-path")
    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("VANTOREL_SERVICE_NOW", "2024-10-15")
        mp.setenv("VANTOREL_SERVICE_MINBAR_DAYS", "12")
        download_simple_bundle(path, sample=True)
    return path


@pytest.fixture
def updated(updated_bundle, tmp_path):
    import shutil

    path = str(tmp_path / "copy")
    shutil.copytree(updated_bundle, path)
    return path


def test_bundle_from_the_update_is_clean(updated, capsys):
    assert any(True for _ in places.iter_minbar_files(updated))
    assert check_min_bar_data(updated) == []
    assert check_bundle_data(places.bundle_dir(updated)) == []
    assert capsys.readouterr().out.count("未发现异常") == 2


def test_anomalies_seeded_into_an_updated_bundle(updated):
    files = {code: (category, path) for category, code, path in places.iter_minbar_files(updated)}
    night_code = next(c for c, (cat, _p) in files.items() if cat == "futures" and c.startswith("M"))
    category, path = files[night_code]
    bars = reading.read_minbar(path)
    # One minute lost in a night session, and one day's volume doubled in the daily bars.
    night_rows = np.flatnonzero(bars["datetime"] // 10000 % 100 >= 21)
    # (One the next minute traded after: before a minute without trades, the lost one's price
    # change would show as that minute's too.)
    lost = next(i for i in night_rows[3:] if bars["volume"][i + 1] > 0)
    writing.write_minbar(updated, category, night_code, np.delete(bars, lost))
    bundle_directory = places.bundle_dir(updated)
    daily = reading.read_daybar_file(places.daybar_path(bundle_directory, category))
    daily[night_code]["volume"][-2] *= 2
    writing.write_daybars(bundle_directory, category, daily)

    assert kinds(check_min_bar_data(updated)) == {"session_count"}
    found = check_bundle_data(bundle_directory)
    assert {(a.code, a.kind) for a in found} == {(night_code, "daily_vs_minute")}
    # The removed minute spoils the aggregate of its own day too, whatever field it touches.
    assert 1 <= found[0].count <= 2
