import datetime
import os
import subprocess
import sys

import numpy as np
import pytest
from test_checks import END, START, Bundle

from vantorel import data
from vantorel.errors import VantorelError
from vantorel.bundle import appending, places, reading, writing
from vantorel.market import schemas
from vantorel.bundle import locks
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


def test_a_span_is_found_reading_a_handful_of_rows(bundle, monkeypatch):
    looked_up = []
    original = appending.StoredColumn.__getitem__
    monkeypatch.setattr(appending.StoredColumn, "__getitem__", lambda self, i: looked_up.append(i) or original(self, i))
    rows = data.minute_bars("M2405", 20240205, 20240205, bundle_path=bundle.path)
    assert len(rows) and len(looked_up) <= 2 * int(np.log2(len(bundle.minutes["M2405"]))) + 2


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


def test_instruments_decoded_and_reading_waits_for_no_writer(bundle):
    table = data.instruments(bundle_path=bundle.path)
    assert table["symbol"][0] == "平安银行" and table["order_book_id"].tolist() == ["000001.XSHE", "600000.XSHG", "M2405"]
    calendar = trading_dates(20240101, END)
    assert data.trading_dates(20240208, 20240219, bundle_path=bundle.path).tolist() == [
        d for d in calendar if 20240208 <= d <= 20240219]
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys\nfrom vantorel.bundle import locks\n"
         "with locks.bundle_lock(sys.argv[1], exclusive=True):\n print('held', flush=True); sys.stdin.read()", bundle.path],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        with pytest.raises(locks.BusyError):
            data.instruments(bundle_path=bundle.path)
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
