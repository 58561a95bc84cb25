import datetime as dt
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import vantorel
from vantorel import tovi
from vantorel.sources import service, simulated
from vantorel.market.calendar import trading_dates
from vantorel.market.sessions import minute_labels
from vantorel.ombrel.sdk.const import TAG_MAP

NOW = dt.datetime(2026, 12, 8, 16, 0)
LATEST = 20261208


@pytest.fixture
def svc():
    return service.EmbeddedService(clock=lambda: NOW)


def one_per_category(svc):
    picked = {}
    for inst in svc.instruments():
        if inst.listed_date <= 20261120 and (not inst.de_listed_date or inst.de_listed_date >= LATEST):
            picked.setdefault((inst.category, inst.trading_hours), inst)
    return sorted(picked.values(), key=lambda i: i.order_book_id)


@pytest.mark.parametrize("now, latest", [
    (dt.datetime(2026, 12, 8, 16, 0), 20261208),
    (dt.datetime(2026, 12, 8, 10, 0), 20261207),  # not published before the close
    (dt.datetime(2026, 12, 6, 12, 0), 20261204),  # Sunday
    (dt.datetime(2026, 10, 5, 18, 0), 20260930),  # national holiday
])
def test_latest_day_moves_with_the_clock(now, latest):
    assert service.EmbeddedService(clock=lambda: now).latest_trading_date() == latest


def test_clock_from_environment(monkeypatch):
    monkeypatch.setenv(service.ENV_NOW, "2026-12-09")
    assert service.EmbeddedService().latest_trading_date() == 20261209


def test_latency_is_paid_once_per_request(monkeypatch):
    slept = []
    monkeypatch.setenv(service.ENV_LATENCY_MS, "20")
    monkeypatch.setattr(service.time, "sleep", slept.append)
    client = service.EmbeddedClient(service.EmbeddedService(clock=lambda: NOW), require_login=False)
    client.instruments()
    client.daily_bars("000001.XSHE", 20261201, 20261204)
    assert slept == [0.02, 0.02]


@pytest.mark.parametrize("name, value", [
    (service.ENV_NOW, "yesterday"), (service.ENV_NOW, "2004-06-01"), (service.ENV_NOW, "9999-12-31"),
    (service.ENV_DAILY_DAYS, "100000000"), (service.ENV_SCALE, "1000000000"), (service.ENV_SCALE, "0"),
    (service.ENV_MINBAR_DAYS, "-1"), (service.ENV_TICK_DAYS, "2.5"), (service.ENV_SCALE, "1_0"),
    (service.ENV_SCALE, "\uff11"), (service.ENV_DAILY_DAYS, " 5"), (service.ENV_NOW, "2026-12-08T16:00+08:00"),
    (service.ENV_LATENCY_MS, "20ms"),
])
def test_settings_outside_their_range_are_one_line_naming_them(monkeypatch, name, value):
    monkeypatch.setenv(name, value)
    with pytest.raises(service.ServiceError) as caught:
        service.EmbeddedService()
    message = caught.value.message
    assert name in message and repr(value) in message and "\n" not in message


@pytest.mark.parametrize("now", [str(low) for low in service.CLOCK_RANGE])
def test_clock_at_the_ends_of_its_range_serves_a_whole_universe(monkeypatch, now):
    monkeypatch.setenv(service.ENV_NOW, now)
    svc = service.EmbeddedService()
    latest = svc.latest_trading_date()
    instruments = svc.instruments()
    assert {i.category for i in instruments} == set(TAG_MAP)
    assert all(i.de_listed_date == 0 or i.de_listed_date >= i.listed_date for i in instruments)
    assert len(svc.daily_bars(instruments[0].order_book_id, svc.history_start("daybar", latest), latest))


def test_universe_covers_every_category(svc):
    instruments = svc.instruments()
    assert {i.category for i in instruments} == set(TAG_MAP)
    assert all(i.type == TAG_MAP[i.category] for i in instruments)
    codes = {i.order_book_id for i in instruments}
    assert "000001.XSHE" in codes and "M2701" in codes and "JD2701" in codes
    for opt in (i for i in instruments if i.category == "option"):
        assert opt.underlying_order_book_id in codes
        assert opt.option_type in ("C", "P") and opt.strike_price > 0


def test_scale_setting_grows_the_universe(monkeypatch):
    small = [i for i in service.EmbeddedService(clock=lambda: NOW).instruments() if i.category == "stock"]
    monkeypatch.setenv(service.ENV_SCALE, "3")
    large = [i for i in service.EmbeddedService(clock=lambda: NOW).instruments() if i.category == "stock"]
    assert len(large) == 3 * len(small)


@pytest.mark.parametrize("method", ["daily_bars", "minute_bars", "ticks"])
def test_same_instrument_and_day_give_same_data_whatever_the_range(svc, method):
    other = service.EmbeddedService(clock=lambda: NOW)
    for inst in one_per_category(svc):
        code = inst.order_book_id
        wide = getattr(svc, method)(code, 20261120, LATEST)
        narrow = getattr(other, method)(code, 20261203, 20261204)
        days = wide["datetime"] if method == "daily_bars" else wide["trading_date"]
        if method == "daily_bars":
            days = days // 1000000
        part = wide[(days >= 20261203) & (days <= 20261204)]
        assert len(narrow) > 0
        np.testing.assert_array_equal(part, narrow)


def test_data_does_not_depend_on_the_process():
    # A hash seeded per process (Python's hash of text) would give each run other bars.
    script = ("import datetime as dt, hashlib; from vantorel.sources import service as s;"
              "v = s.EmbeddedService(clock=lambda: dt.datetime(2026, 12, 8, 16));"
              "print(hashlib.sha256(v.minute_bars('M2701', 20261201, 20261208).tobytes()"
              " + v.ticks('000001.XSHE', 20261208, 20261208).tobytes()).hexdigest())")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(vantorel.__file__)))
    digests = {subprocess.run([sys.executable, "-c", script], env=dict(env, PYTHONHASHSEED=seed),
                              capture_output=True, text=True, check=True).stdout for seed in ("1", "2")}
    assert len(digests) == 1


def test_bars_are_consistent(svc):
    start = 20261124
    for inst in one_per_category(svc):
        code = inst.order_book_id
        daily = svc.daily_bars(code, start, LATEST)
        minutes = svc.minute_bars(code, start, LATEST)
        ticks = svc.ticks(code, start, LATEST)
        for arr in (daily, minutes):
            assert np.all(arr["high"] >= np.maximum(arr["open"], arr["close"])), code
            assert np.all(arr["low"] <= np.minimum(arr["open"], arr["close"])), code
            assert np.all(arr["low"] > 0) and np.all(arr["volume"] >= 0), code
            assert np.all(np.diff(arr["datetime"]) > 0), code
        assert np.all(np.diff(ticks["datetime"]) > 0) and np.all(ticks["last"] > 0)
        for bar in daily:
            day = int(bar["datetime"] // 1000000)
            m = minutes[minutes["trading_date"] == day]
            t = ticks[ticks["trading_date"] == day]
            np.testing.assert_array_equal(m["datetime"], minute_labels(inst.trading_hours, day))
            assert (m["open"][0], m["high"].max(), m["low"].min(), m["close"][-1], m["volume"].sum()) == (
                bar["open"], bar["high"], bar["low"], bar["close"], bar["volume"]), (code, day)
            assert (t["last"][0], t["high"][-1], t["low"][-1], t["last"][-1], t["volume"][-1]) == (
                bar["open"], bar["high"], bar["low"], bar["close"], bar["volume"]), (code, day)
            assert np.all(np.diff(t["volume"]) >= 0)
        np.testing.assert_array_equal(daily["prev_close"][1:], daily["close"][:-1])


def test_no_data_after_the_latest_day_or_outside_the_listing(svc):
    assert svc.daily_bars("000001.XSHE", LATEST, 20261231)["datetime"].max() == LATEST * 1000000
    expired = next(i for i in svc.instruments() if i.de_listed_date and i.de_listed_date < LATEST)
    bars = svc.daily_bars(expired.order_book_id, expired.listed_date, LATEST)
    assert bars["datetime"].max() // 1000000 == expired.de_listed_date
    assert bars["datetime"].min() // 1000000 >= expired.listed_date
    with pytest.raises(service.ServiceError, match="X9999"):
        svc.minute_bars("X9999", LATEST, LATEST)


def test_client_needs_a_sign_in():
    tovi.sign_out()
    with pytest.raises(tovi.NotSignedInError):
        service.open_client(2)
    assert service.open_client(2, require_login=False).connections == 2
    tovi.init("demo", "demo")
    try:
        assert service.open_client(2).connections == 2
    finally:
        tovi.sign_out()


@pytest.mark.parametrize("connections", [0, service.MAX_CONNECTIONS + 1, "3"])
def test_client_refuses_a_bad_connection_count(connections):
    with pytest.raises(service.ServiceError, match="并行连接数"):
        service.open_client(connections, require_login=False)


def test_client_runs_at_most_its_connections_at_once(svc, monkeypatch):
    running, peak, lock = [0], [0], threading.Lock()
    real = svc.daily_bars

    def slow(code, start, end):
        with lock:
            running[0] += 1
            peak[0] = max(peak[0], running[0])
        time.sleep(0.02)
        with lock:
            running[0] -= 1
        return real(code, start, end)

    monkeypatch.setattr(svc, "daily_bars", slow)
    client = service.EmbeddedClient(svc, connections=2, require_login=False)
    threads = [threading.Thread(target=client.daily_bars, args=("000001.XSHE", LATEST, LATEST)) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert peak[0] == 2


def test_sample_universe_is_small_and_mixed(svc):
    sample = service.EmbeddedService(clock=lambda: NOW, universe="sample").instruments()
    assert {i.category for i in sample} == set(TAG_MAP)
    assert len(sample) < len(svc.instruments()) / 5
    codes = {i.order_book_id for i in sample}
    assert all(i.underlying_order_book_id in codes for i in sample if i.category == "option")


@pytest.mark.parametrize("now, published_to", [
    (dt.datetime(2022, 3, 1, 16, 0), 20220301),  # inside a suspension: its days so far
    (dt.datetime(2022, 3, 1, 10, 0), 20220228),  # the day is not published before the close
    (dt.datetime(2022, 3, 10, 16, 0), 20220310),
])
def test_a_suspended_stock_has_no_rows_on_its_suspended_days(now, published_to):
    svc = service.EmbeddedService(clock=lambda: now)
    stock = next(i for i in svc.instruments() if i.order_book_id == "000005.XSHE")
    window = trading_dates(20220210, 20220310)
    off = [d for d in simulated.suspensions(stock) if window[0] <= d <= window[-1]]
    assert len(off) >= 5  # a span of its inside the window

    published = svc.suspended()
    assert published.tolist() == sorted(published.tolist())
    ours = published[published["order_book_id"] == b"000005.XSHE"]["date"]
    assert ours.tolist() == [d for d in simulated.suspensions(stock) if d <= published_to]

    traded = [int(d) for d in window if d not in off and d <= published_to]
    daily = svc.daily_bars(stock.order_book_id, window[0], window[-1])
    assert (daily["datetime"] // 1000000).tolist() == traded
    # The day trading resumes opens from the last close traded (no ex-date lies in the window).
    np.testing.assert_array_equal(daily["prev_close"][1:], daily["close"][:-1])
    for method in ("minute_bars", "ticks"):
        rows = getattr(svc, method)(stock.order_book_id, window[0], window[-1])
        assert np.unique(rows["trading_date"]).tolist() == traded, method
    # A range starting after the suspension gives the same bars as a wide one.
    after = [d for d in traded if d > off[-1]]
    if after:
        narrow = svc.daily_bars(stock.order_book_id, after[0], after[-1])
        np.testing.assert_array_equal(narrow, daily[-len(after):])


@pytest.mark.parametrize("kind, method", [("minbar", "minute_bars"), ("tick", "ticks")])
@pytest.mark.parametrize("days", [1, 3])
def test_a_history_fetched_in_pieces_is_the_history_fetched_whole(svc, monkeypatch, kind, method, days):
    from vantorel.update import run

    start = 20261026
    # M2705 trades at night, its rows there carrying the next trading day, and is listed on 20261102,
    # inside the second piece when a piece holds three days.
    chosen = one_per_category(svc) + [i for i in svc.instruments() if i.order_book_id == "M2705"]
    assert chosen[-1].listed_date == 20261102 and "21:01" in chosen[-1].trading_hours
    for inst in chosen:
        monkeypatch.setattr(run, "PIECE_ROWS", days * run._rows_a_day(kind, inst))
        windows = run.windows(kind, inst, start, LATEST)
        assert len(windows) == -(-len(trading_dates(start, LATEST)) // days)
        pieces = [getattr(svc, method)(inst.order_book_id, first, last) for first, last in windows]
        np.testing.assert_array_equal(np.concatenate(pieces), getattr(svc, method)(inst.order_book_id, start, LATEST))
