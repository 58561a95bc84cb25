"""Bars scanned per second by the bundle checks (check-data's minute-bar and daily-bar checks).

Builds one bundle in a temporary directory (or --keep DIR), with the kit's storage functions:
``--stocks`` stocks and ``--futures`` futures (with night sessions) over ``--days`` trading
days of minute bars, daily bars aggregated from them. Then times each check ``--repeat`` times
(the page cache warm after the first run) and prints the medians.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_check.py
    PYTHONPATH=src .venv/bin/python benchmarks/bench_check.py --stocks 400 --days 250
"""
import argparse
import contextlib
import io
import os
import statistics
import sys
import tempfile
import time

import numpy as np

from vantorel.bundle import places, writing
from vantorel.bundle.places import READABLE_SCHEMAS
from vantorel.market import schemas
from vantorel.market.calendar import last_trading_date_on_or_before, previous_trading_date, trading_dates
from vantorel.market.sessions import NIGHT_SESSION_FROM, has_night_session, minute_labels, parse_trading_hours
from vantorel.checks import check_daily_bar_data, check_min_bar_data

STOCK_HOURS = "09:31-11:30,13:01-15:00"
FUTURE_HOURS = "21:01-23:00,09:01-10:15,10:31-11:30,13:31-15:00"


def day_labels(hours, days):
    prev = np.r_[previous_trading_date(int(days[0])), days[:-1]]
    stamps = [minute_labels(hours, int(d), int(p)) for d, p in zip(days, prev)]
    trading = np.repeat(days, [len(s) for s in stamps])
    return np.concatenate(stamps), trading


def bars_for(code, stamps, trading, tick, rng):
    n = len(stamps)
    bars = np.zeros(n, dtype=schemas.minbar_dtype())
    bars["datetime"] = stamps
    bars["trading_date"] = trading
    close = np.round(100 * np.exp(np.cumsum(rng.normal(0, 0.0005, n))) / tick) * tick
    opens = np.r_[close[0], close[:-1]]
    spread = np.round(rng.uniform(0, 3, n)) * tick
    bars["open"], bars["close"] = opens, close
    bars["high"] = np.maximum(opens, close) + spread
    bars["low"] = np.minimum(opens, close) - spread
    bars["volume"] = rng.integers(1, 5000, n)
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
    daily["volume"] = np.add.reduceat(minutes["volume"], starts)
    return daily


def build(path, stocks, futures, n_days):
    end = last_trading_date_on_or_before(20250630)
    calendar = trading_dates(20100101, end)
    days = calendar[-n_days:]
    bundle_directory = places.bundle_dir(path)
    universe = [("{:06d}.XSHE".format(i + 1), "stock", STOCK_HOURS, 0.01) for i in range(stocks)]
    universe += [("M{:04d}".format(2001 + i), "futures", FUTURE_HOURS, 1.0) for i in range(futures)]
    table = np.zeros(len(universe), dtype=schemas.instrument_dtype())
    for row, (code, category, hours, tick) in zip(table, universe):
        row["order_book_id"], row["category"] = code.encode(), category.encode()
        row["trading_hours"], row["tick_size"] = hours.encode(), tick
    writing.write_instruments(bundle_directory, table)
    writing.write_trading_dates(bundle_directory, calendar)
    labels = {hours: day_labels(hours, days) for hours in (STOCK_HOURS, FUTURE_HOURS)}
    rng = np.random.default_rng(7)
    daily = {"stock": {}, "futures": {}}
    minute_bars = 0
    for code, category, hours, tick in universe:
        bars = bars_for(code, *labels[hours], tick, rng)
        writing.write_minbar(path, category, code, bars)
        daily[category][code] = daily_from(bars)
        minute_bars += len(bars)
    for category, by_code in daily.items():
        if by_code:
            writing.write_daybars(bundle_directory, category, by_code)
    return minute_bars, sum(len(d) for by_code in daily.values() for d in by_code.values())


ATTRIBUTES = ("schema_version", "kind", "rows", "first_trading_date", "last_trading_date", "order_book_id",
              "category", "bar_minutes")


def plain_scan(path):
    """The floor a scan can reach: each minute-bar file opened with h5py and read whole, and the
    minute-bar check's comparisons made on it with numpy: the attributes the check compares, the
    bar rules (order, finite, positive, OHLC, volume, jumps, zero-volume moves, frozen runs), the
    calendar (days on it, none missing, within the listing) and the sessions, these last as one
    comparison with the stamps a sound series has. What a clean file needs and nothing a faulty
    one would (the bundle is clean), with what the check reads once a run read once here too.
    Returns the first file found wanting, as the check returns its findings."""
    import h5py
    import hdf5plugin  # noqa: F401  (the codec of the bundle's minute bars, for plain h5py too)

    from vantorel.checks.settings import settings_from_env
    from vantorel.market import china

    settings = settings_from_env()
    directory = places.bundle_dir(path)
    with h5py.File(os.path.join(directory, places.TRADING_DATES_FILE), "r") as f:
        calendar = f["trading_dates"][()].astype("i8")
    with h5py.File(os.path.join(directory, places.INSTRUMENTS_FILE), "r") as f:
        table = f["instruments"][()]
    night_before = np.r_[False, [has_night_session(int(d), int(p)) for p, d in zip(calendar[:-1], calendar[1:])]]
    instruments = {row["order_book_id"].decode(): row for row in table}
    templates = {}
    for category, code, file in places.iter_minbar_files(path):
        info = instruments[code]
        with h5py.File(file, "r") as f:
            attrs = dict.fromkeys(ATTRIBUTES)
            for name in ATTRIBUTES:  # h5py's low-level read, a third of what f.attrs costs
                if h5py.h5a.exists(f.id, name.encode()):
                    attr = h5py.h5a.open(f.id, name.encode())
                    value = np.empty((), attr.dtype)
                    attr.read(value)
                    attrs[name] = value[()]
            dataset = f["bars"]
            # read_direct into an array made for it: f["bars"][()] took 10-25 % longer on these files.
            bars = np.empty(dataset.shape, dataset.dtype)
            dataset.read_direct(bars)
        # Contiguous columns: numpy is several times faster over them than over the packed rows.
        stamps, day, o, h, l, c, volume = (np.ascontiguousarray(bars[name]) for name in (
            "datetime", "trading_date", "open", "high", "low", "close", "volume"))
        day = day.astype("i8")
        hours = info["trading_hours"].decode()
        if hours not in templates:
            sessions = sorted(parse_trading_hours(hours), key=lambda s: (s[0] < NIGHT_SESSION_FROM, s))
            labels = [np.arange(a, b + 1) for a, b in sessions]
            night = np.concatenate([np.full(len(m), a >= NIGHT_SESSION_FROM) for m, (a, _b) in zip(labels, sessions)])
            minutes = np.concatenate(labels)
            templates[hours] = (minutes // 60 * 10000 + minutes % 60 * 100, night)
        template, night = templates[hours]
        limit = settings.jump_limit(category, minute=True)
        board = china.board_of(code, info["exchange"].decode()) if category == "stock" else None
        if board is not None:
            limit = max(limit, china.WIDEST[board] + 0.01)
        bad = (attrs["schema_version"] not in READABLE_SCHEMAS or attrs["kind"] != b"minbar"
               or attrs["order_book_id"] != code.encode() or attrs["category"] != category.encode()
               or not 1 <= (attrs["bar_minutes"] or 1) <= 240 or attrs["rows"] != len(bars)
               or attrs["first_trading_date"] != day[0] or attrs["last_trading_date"] != day[-1])
        bad = bad or not (np.diff(stamps) > 0).all()
        bad = bad or not np.isfinite(o + h + l + c).all()
        bad = bad or not (np.minimum(np.minimum(o, h), np.minimum(l, c)) > 0).all()
        bad = bad or not ((h >= np.maximum(np.maximum(o, c), l)).all() and (l <= np.minimum(o, c)).all())
        bad = bad or not (volume >= 0).all()
        bad = bad or not (np.abs(c[1:] / c[:-1] - 1.0) <= limit).all()
        zero = np.flatnonzero(volume[1:] == 0) + 1
        bad = bad or bool((np.abs(c[zero] - c[zero - 1]) > np.maximum(info["tick_size"] / 2, 1e-9 * c[zero - 1])).any())
        flat = np.flatnonzero((h == l) & (c == h) & (volume > 0))
        if len(flat) >= settings.frozen_minutes:
            breaks = np.flatnonzero((np.diff(flat) != 1) | (c[flat[1:]] != c[flat[:-1]]) | (day[flat[1:]] != day[flat[:-1]]))
            bad = bad or int(np.diff(np.r_[-1, breaks, len(flat) - 1]).max()) >= settings.frozen_minutes
        days = day[np.r_[True, day[1:] != day[:-1]]]
        first = np.searchsorted(calendar, days[0])
        bad = bad or not np.array_equal(calendar[first:first + len(days)], days)
        bad = bad or days[0] < info["listed_date"] or (info["de_listed_date"] and days[-1] > info["de_listed_date"])
        if not bad:
            # Each day's bars: its night session on the evening of the trading day before, when
            # there is one, then its day sessions.
            on = np.where(night, calendar[first - 1:first - 1 + len(days), None], days[:, None])
            expected = on * 1000000 + template
            kept = ~night | night_before[first:first + len(days), None]
            bad = not (np.array_equal(stamps, expected[kept]) and np.array_equal(day, np.broadcast_to(days[:, None], kept.shape)[kept]))
        if bad:
            return [file]
    return []


def timed(fn, arg, repeat):
    runs = []
    for _ in range(repeat):
        sink = io.StringIO()
        start = time.perf_counter()
        with contextlib.redirect_stdout(sink):
            found = fn(arg)
        runs.append(time.perf_counter() - start)
        if found:
            sys.exit("the benchmark bundle should be clean, the check found:\n" + sink.getvalue())
    return statistics.median(runs), runs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=200)
    parser.add_argument("--futures", type=int, default=20)
    parser.add_argument("--days", type=int, default=120)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--keep", help="build the bundle here and leave it")
    args = parser.parse_args()

    print("cpus {}, load {:.1f} at start".format(os.cpu_count(), os.getloadavg()[0]), flush=True)
    with contextlib.ExitStack() as stack:
        path = args.keep or stack.enter_context(tempfile.TemporaryDirectory(prefix="bench-check-"))
        start = time.perf_counter()
        minute_bars, daily_bars = build(path, args.stocks, args.futures, args.days)
        files = args.stocks + args.futures
        print("bundle: {} instruments, {} days, {:,} minute bars, {:,} daily bars (built in {:.1f} s)".format(
            files, args.days, minute_bars, daily_bars, time.perf_counter() - start))

        # The check and the plain scan in turns, so that both meet the same machine.
        checks, plains = [], []
        for _ in range(args.repeat):
            checks.append(timed(check_min_bar_data, path, 1)[0])
            plains.append(timed(plain_scan, path, 1)[0])
        minute, minute_runs, plain = statistics.median(checks), checks, statistics.median(plains)
        paired = statistics.median(p / c for p, c in zip(plains, checks))
        print("minute-bar check: median {:.3f} s over {} runs -> {:,.0f} bars/s, {:.1f} files/s; best run {:,.0f} bars/s".format(
            minute, args.repeat, minute_bars / minute, files / minute, minute_bars / min(minute_runs)))
        print("plain h5py read + the same comparisons in numpy, of the same files: median {:.3f} s -> {:,.0f} bars/s; "
              "the check scans at x{:.2f} of that (median of the rounds' own ratios x{:.2f})".format(
                  plain, minute_bars / plain, plain / minute, paired))
        daily, daily_runs = timed(check_daily_bar_data, places.bundle_dir(path), args.repeat)
        # The daily check reads every instrument's minute bars for the cross-check as well.
        print("daily-bar check (with minute cross-check): median {:.3f} s -> {:,.0f} daily bars/s, "
              "{:,.0f} minute bars aggregated/s; best run {:.3f} s".format(
                  daily, daily_bars / daily, minute_bars / daily, min(daily_runs)))
        total = minute + daily
        print("check-data (both checks): {:.3f} s -> {:,.0f} bars/s".format(total, (minute_bars + daily_bars) / total))
        if args.keep:
            print("bundle kept in", os.path.abspath(path))
    print("load {:.1f} at the end".format(os.getloadavg()[0]))


if __name__ == "__main__":
    main()
