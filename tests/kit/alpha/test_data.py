import datetime
import os
import subprocess
import sys

import numpy as np
import pytest
from test_checks import END, START, Bundle

from vantorel import data
from vantorel.errors import VantorelError
from vantorel.bundle import places, reading, writing
from vantorel.market import schemas
from vantorel.market.calendar import trading_dates


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    made = Bundle(tmp_path_factory.mktemp("data") / "bundle-path")
    table = reading.read_instruments(made.dir)
    table["symbol"][0] = "平安银行".encode()
    writing.write_instruments(made.dir, table)
    # Ticks from the futures' minute bars, stamped with milliseconds.
    bars = made.minutes["M2405"]
    ticks = np.zeros(len(bars), dtype=schemas.tick_dtype())
    ticks["datetime"] = bars["datetime"] * 1000 + 500
    ticks["trading_date"] = bars["trading_date"]
    ticks["last"] = bars["close"]
    writing.write_tick(made.path, "futures", "M2405", ticks)
    made.ticks = ticks
    return made


def stored(bundle, which, code):
    if which == "daily_bars":
        rows = bundle.daily[code]
        return rows, rows["datetime"] // 1000000
    rows = bundle.minutes[code] if which == "minute_bars" else bundle.ticks
    return rows, rows["trading_date"]


# The night session before 20240130 runs on the evening of 20240129; the spring festival
# holiday lies within 20240209-20240219; the series run from START to END.
SPANS = [
    (START, START), (20240130, 20240130), (20240101, START), (END, 20241231), (20240210, 20240217),
    (20240209, 20240219), (None, 20240131), (20240222, None), (None, None), (20240301, 20240331),
]


@pytest.mark.parametrize("which, code", [
    ("daily_bars", "000001.XSHE"), ("minute_bars", "000001.XSHE"), ("minute_bars", "M2405"), ("ticks", "M2405"),
])
@pytest.mark.parametrize("start, end", SPANS)
def test_a_span_holds_exactly_the_rows_of_its_trading_days(bundle, which, code, start, end):
    rows, days = stored(bundle, which, code)
    want = rows[(days >= (start or 0)) & (days <= (end or 99991231))]
    got = getattr(data, which)(code, start, end, bundle_path=bundle.path)
    np.testing.assert_array_equal(got, want.astype(got.dtype))


@pytest.mark.parametrize("day", [20240201, np.int64(20240201), "20240201", " 2024-02-01 ", datetime.date(2024, 2, 1),
                                 datetime.datetime(2024, 2, 1, 15, 0)])
def test_dates_in_every_accepted_form(bundle, day):
    assert data.daily_bars("600000.XSHG", day, day, bundle_path=bundle.path)["datetime"].tolist() == [20240201000000]


def test_a_long_series_is_searched_reading_a_handful_of_rows(bundle, monkeypatch):
    looked_up = []
    original = reading.read_row
    monkeypatch.setattr(reading, "_READ_WHOLE_ROWS", 0)
    monkeypatch.setattr(reading, "read_row", lambda *a: looked_up.append(a[1]) or original(*a))
    rows = data.minute_bars("M2405", 20240205, 20240205, bundle_path=bundle.path)
    assert len(rows) and 0 < len(looked_up) <= 2 * int(np.log2(len(bundle.minutes["M2405"]))) + 2


# The same half hour in every form a user may give it; minute bars are labelled by the end of
# their minute, so the bar labelled 10:00 (09:59-10:00) is not in it.
HALF_HOUR = [("2024-02-01 10:00", "2024-02-01 10:30"), ("2024/02/01 10:00:00", "20240201 1030"),
             (datetime.datetime(2024, 2, 1, 10), np.datetime64("2024-02-01T10:30")),
             (np.datetime64("2024-02-01T10:00:00.000000000"), datetime.datetime(2024, 2, 1, 10, 30))]


@pytest.mark.parametrize("start, end", HALF_HOUR)
@pytest.mark.parametrize("reader", ["minute_bars", "ticks", "get"])
def test_a_span_with_a_time_of_day_holds_that_time_only(bundle, reader, start, end):
    if reader == "ticks":  # stamped to the millisecond, both ends included
        got = data.ticks("m2405", start, end, bundle_path=bundle.path)
        stamps = bundle.ticks["datetime"]
        np.testing.assert_array_equal(got, bundle.ticks[(stamps >= 20240201100000000) & (stamps <= 20240201103000000)])
        return
    if reader == "get":
        pytest.importorskip("pandas")
        got = data.open(bundle.path).get("000001.xshe", "close", start, end, frequency="1m")
        stamps = got.index.get_level_values("datetime").strftime("%H:%M").tolist()
    else:
        got = data.minute_bars("000001.XSHE", start, end, bundle_path=bundle.path)
        stamps = [f"{s // 10000 % 100:02d}:{s // 100 % 100:02d}" for s in got["datetime"].tolist()]
    assert stamps == [f"10:{m:02d}" for m in range(1, 31)]


@pytest.mark.parametrize("frequency, which, code", [
    ("1d", "daily_bars", "000001.XSHE"), ("1m", "minute_bars", "M2405"), ("tick", "ticks", "M2405")])
@pytest.mark.parametrize("adjust", [None, "pre", "post"])
@pytest.mark.parametrize("form", ["long", "wide", "numpy"])
def test_a_panel_holds_the_numbers_of_the_single_code_reads(tmp_path, frequency, which, code, adjust, form):
    pandas = pytest.importorskip("pandas")
    made = Bundle(tmp_path / "bundle-path")
    writing.write_table(made.dir, "ex_factors", np.array(
        [(b"000001.XSHE", 20240205, 1.5), (b"M2405", 20240207, 2.0), (b"000001.XSHE", 20240215, 3.0)],
        dtype=schemas.EX_FACTOR_FIELDS))
    codes = ["000001.XSHE", "600000.XSHG", "M2405"] if frequency != "tick" else ["M2405"]
    if frequency == "tick":
        ticks = np.zeros(len(made.minutes[code]), dtype=schemas.tick_dtype())
        for name in ("datetime", "trading_date"):
            ticks[name] = made.minutes[code][name] * (1000 if name == "datetime" else 1)
        ticks["last"] = made.minutes[code]["close"]
        writing.write_tick(made.path, "futures", code, ticks)
    panel = data.open(made.path).get([c.lower() for c in codes], ["close" if frequency != "tick" else "last", "volume"],
                                     20240201, "2024-02-20", frequency=frequency, adjust=adjust, form=form)
    field = "close" if frequency != "tick" else "last"
    for each in codes:
        kwargs = {"adjust": adjust} if which == "daily_bars" else {}
        if adjust and which != "daily_bars":
            continue  # the single-code readers of minute bars and ticks give them as traded
        single = getattr(data, which)(each, 20240201, 20240220, bundle_path=made.path, as_frame=True, **kwargs)
        if form == "long":
            got = panel.xs(each, level="order_book_id")[field]
        elif form == "wide":
            got = panel[field][each].dropna()
        else:
            got = pandas.Series(panel[each][field], index=pandas.DatetimeIndex(panel[each]["datetime"]))
        assert got.to_numpy().tolist() == single[field].tolist() and len(single)
        assert (got.index.to_numpy() == single.index.to_numpy()).all()
    if adjust and frequency != "1d":
        raw = data.open(made.path).get("M2405", field, 20240201, 20240220, frequency=frequency, form="numpy")["M2405"]
        adjusted = panel["M2405"] if form == "numpy" else None
        if adjusted is not None:
            factor = np.where(raw["datetime"] >= np.datetime64("2024-02-06T21:00"), 2.0, 1.0)  # night session
            np.testing.assert_allclose(adjusted[field] / raw[field], factor / (2.0 if adjust == "pre" else 1.0))


def test_codes_in_any_case_and_the_closest_offered(bundle):
    pytest.importorskip("pandas")
    opened = data.open(bundle.path)
    assert opened.get(["m2405", "000001.xshe"], "close", 20240201, 20240201).index.get_level_values(0).unique(
        ).tolist() == ["M2405", "000001.XSHE"]
    assert opened.get(["sz000001", "000001.SZ"], "close", 20240201, 20240201).index.get_level_values(0).unique(
        ).tolist() == ["000001.XSHE"]  # as Chinese vendors write it
    with pytest.raises(VantorelError, match=r"没有代码 000001（是否想用 000001\.XSHE？）"):
        opened.get("000001", "close")
    with pytest.raises(VantorelError, match="字段 closing 不在日线中"):
        opened.get("000001.XSHE", "closing")


def test_tables_as_frames_and_an_update_noticed(tmp_path):
    pytest.importorskip("pandas")
    made = Bundle(tmp_path / "bundle-path")
    opened = data.open(made.path)
    table = opened.instruments()
    assert table["de_listed_date"].isna().all() and str(table["listed_date"].dtype) == "datetime64[ns]"
    writing.write_table(made.dir, "suspended", np.array([(b"600000.XSHG", 20240205)], schemas.SUSPENDED_FIELDS))
    renamed = reading.read_instruments(made.dir)
    renamed["symbol"][0] = "平安银行".encode()
    writing.write_instruments(made.dir, renamed)
    assert opened.instruments().loc["000001.XSHE", "symbol"] == "平安银行"
    assert opened.suspensions("600000.xshg")["date"].dt.strftime("%Y%m%d").tolist() == ["20240205"]
    assert opened.trading_dates(20240208, 20240219).strftime("%Y%m%d").tolist() == [
        str(d) for d in data.trading_dates(20240208, 20240219, bundle_path=made.path)]
    days = trading_dates(20240101, END)
    early = np.array([(20240208, 1130)], schemas.EARLY_CLOSE_FIELDS)
    writing.write_trading_dates(made.dir, days, early, {"XSHG": (days[days != 20240207], early)})
    calendars = opened.calendars(20240206, 20240208)
    assert [(e, str(d.date()), str(c)) for (e, d), c in calendars["early_close"].items()] == [
        ("", "2024-02-06", "NaT"), ("", "2024-02-07", "NaT"), ("", "2024-02-08", "0 days 11:30:00"),
        ("XSHG", "2024-02-06", "NaT"), ("XSHG", "2024-02-08", "0 days 11:30:00")]
    assert opened.trading_dates(20240206, 20240208, exchange="xshg").strftime("%d").tolist() == ["06", "08"]


@pytest.mark.parametrize("call, message", [
    (lambda p: data.daily_bars("000002.XSHE", bundle_path=p), "没有代码 000002.XSHE"),
    (lambda p: data.minute_bars("M2405", "2024-02-05", 20240201, bundle_path=p), "晚于"),
    (lambda p: data.ticks("M2405", "2024-02-30", bundle_path=p), "无法识别的日期"),
    (lambda p: data.daily_bars("M2405", 20240201, True, bundle_path=p), "无法识别的日期"),
    (lambda p: data.daily_bars("M2405", adjust="both", bundle_path=p), "adjust 应为"),
    (lambda p: data.trading_dates(bundle_path=p + "-missing"), "没有 bundle 数据"),
    # A mistyped exchange would otherwise read as the bundle-wide calendar.
    (lambda p: data.early_closes(bundle_path=p, exchange="XNYS"), "没有交易所 XNYS 的合约或交易日历"),
])
def test_refusals_say_why(bundle, call, message):
    with pytest.raises(VantorelError, match=message):
        call(bundle.path)


def test_instruments_decoded_and_read_while_an_update_holds_the_bundle_path(bundle):
    table = data.instruments(bundle_path=bundle.path)
    assert table["symbol"][0] == "平安银行" and table["order_book_id"].tolist() == ["000001.XSHE", "600000.XSHG", "M2405"]
    calendar = trading_dates(20240101, END)
    assert data.trading_dates(20240208, 20240219, bundle_path=bundle.path).tolist() == [
        d for d in calendar if 20240208 <= d <= 20240219]
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys\nfrom vantorel.bundle import access\n"
         "with access.updating(sys.argv[1]):\n print('held', flush=True); sys.stdin.read()", bundle.path],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        assert data.instruments(bundle_path=bundle.path)["order_book_id"].tolist() == table["order_book_id"].tolist()
    finally:
        holder.communicate("")


def test_frames_are_indexed_by_time(bundle):
    pytest.importorskip("pandas")
    frame = data.ticks("M2405", 20240130, 20240130, bundle_path=bundle.path, as_frame=True)
    assert str(frame.index[0]) == "2024-01-29 21:01:00.500000" and "datetime" not in frame.columns
    daily = data.daily_bars("000001.XSHE", 20240201, 20240202, bundle_path=bundle.path, as_frame=True)
    assert [str(d.date()) for d in daily.index] == ["2024-02-01", "2024-02-02"]


def _table(name, rows, dtype):
    return lambda b: writing.write_table(b.dir, name, np.array(rows, dtype=dtype))


def _category(b):
    table = reading.read_instruments(b.dir)
    table["category"][0] = b"../../x"  # names the daily-bar file to read
    writing.write_instruments(b.dir, table)


@pytest.mark.parametrize("damage, call, message", [
    (lambda b: os.unlink(os.path.join(b.dir, places.TRADING_DATES_FILE)), lambda p: data.trading_dates(bundle_path=p),
     "没有交易日历"),
    (lambda b: writing.write_instruments(b.dir, np.arange(3)), lambda p: data.daily_bars("000001.XSHE", bundle_path=p),
     "不是合约表"),
    (_category, lambda p: data.daily_bars("000001.XSHE", bundle_path=p), "类别 '../../x' 无效"),
    # Prices times zero (or NaN, or either of two factors for one day) would come back without a word.
    (_table("ex_factors", [(b"000001.XSHE", 20240205, 0.0)], schemas.EX_FACTOR_FIELDS),
     lambda p: data.daily_bars("000001.XSHE", adjust="pre", bundle_path=p), "除权因子无效"),
    (_table("ex_factors", [(b"000001.XSHE", 20240205, 2.0), (b"000001.XSHE", 20240205, 4.0)], schemas.EX_FACTOR_FIELDS),
     lambda p: data.daily_bars("000001.XSHE", adjust="post", bundle_path=p), "除权因子无效"),
    (_table("ex_factors", [(1, 2)], [("a", "i4"), ("b", "i4")]),
     lambda p: data.daily_bars("000001.XSHE", adjust="post", bundle_path=p), "ex_factors 缺少字段 order_book_id"),
    (lambda b: None, lambda p: data.minute_bars("000001.XSHE\0", bundle_path=p), "代码应为文本"),
])
def test_a_damaged_table_or_odd_code_is_refused_in_one_message(tmp_path, damage, call, message):
    damaged = Bundle(tmp_path / "bundle-path")
    damage(damaged)
    with pytest.raises(VantorelError, match=message):
        call(damaged.path)
