"""The reading API against plain h5py doing the same reads, as ratios from one run.

Builds one bundle in a temporary directory (or --keep DIR) with the kit's storage functions:
``--stocks`` stocks of daily bars over ``--daily-days`` days; of them ``--minute-stocks`` with
minute bars over ``--minute-days`` days, and one (000001.XSHE) with ``--long-days`` days of them.
Each case runs ours and the plain loop alternately ``--repeat`` times and prints the medians,
their ratio and the load. With pyarrow installed, a Parquet dataset partitioned by trading day
is read beside the one-day case. check-data is timed with one worker process and with two.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_read.py
"""
import argparse
import bisect
import contextlib
import io
import os
import statistics
import sys
import tempfile
import time

import h5py
import numpy as np

sys.path.insert(0, os.path.dirname(__file__))
from bench_check import bars_for, daily_from, day_labels  # noqa: E402

from vantorel import data  # noqa: E402
from vantorel.bundle import places, writing  # noqa: E402
from vantorel.market import schemas  # noqa: E402
from vantorel.market.calendar import last_trading_date_on_or_before, trading_dates  # noqa: E402

HOURS = "09:31-11:30,13:01-15:00"


def build(path, stocks, minute_stocks, daily_days, minute_days, long_days):
    rng = np.random.default_rng(7)
    last = last_trading_date_on_or_before(20261204)
    every = trading_dates(20000101, last)
    codes = [f"{600000 + i:06d}.XSHG" for i in range(stocks - 1)] + ["000001.XSHE"]
    table = np.zeros(len(codes), dtype=schemas.instrument_dtype())
    table["order_book_id"] = [c.encode() for c in codes]
    table["symbol"] = table["order_book_id"]
    table["category"], table["type"] = b"stock", b"CS"
    table["exchange"] = [c.split(".")[1].encode() for c in codes]
    table["listed_date"], table["round_lot"], table["tick_size"] = 20000104, 100, 0.01
    table["trading_hours"] = HOURS.encode()
    directory = places.bundle_dir(path)
    writing.write_instruments(directory, table)
    writing.write_trading_dates(directory, every)
    stamps, trading = day_labels(HOURS, every[-daily_days:])
    daily = {code: daily_from(bars_for(code, stamps, trading, 0.01, rng)) for code in codes}
    writing.write_daybars(directory, "stock", daily)
    short = day_labels(HOURS, every[-minute_days:])
    for code in codes[-minute_stocks:]:
        if code == "000001.XSHE":
            writing.write_minbar(path, "stock", code, bars_for(code, *day_labels(HOURS, every[-long_days:]), 0.01, rng))
        else:
            writing.write_minbar(path, "stock", code, bars_for(code, *short, 0.01, rng))
    return codes, every


def plain_span(path, low, high):
    """What a plain h5py loop does for a span of trading days: open, search, read."""
    with h5py.File(path, "r") as f:
        ds = f["bars"]

        class Column:
            def __len__(self):
                return ds.shape[0]

            def __getitem__(self, i):
                return ds[i]["trading_date"]

        first = bisect.bisect_left(Column(), low)
        return ds[first:bisect.bisect_right(Column(), high, lo=first)]


def timed(call):
    started = time.perf_counter()
    call()
    return time.perf_counter() - started


def compare(name, ours, plain, repeat, note=""):
    ours(), plain()  # warm the page cache and the imports
    a, b = [], []
    for _ in range(repeat):
        a.append(timed(ours))
        b.append(timed(plain))
    mine, theirs = statistics.median(a), statistics.median(b)
    print(f"{name}: ours {mine * 1000:.1f} ms, plain {theirs * 1000:.1f} ms, ratio {mine / theirs:.2f}{note}")
    return mine / theirs


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=300)
    parser.add_argument("--minute-stocks", type=int, default=200)
    parser.add_argument("--daily-days", type=int, default=1000)
    parser.add_argument("--minute-days", type=int, default=40)
    parser.add_argument("--long-days", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--keep", metavar="DIR")
    args = parser.parse_args()
    import pandas as pd

    with contextlib.ExitStack() as stack:
        path = args.keep or stack.enter_context(tempfile.TemporaryDirectory())
        started = time.perf_counter()
        codes, every = build(path, args.stocks, args.minute_stocks, args.daily_days, args.minute_days, args.long_days)
        print(f"bundle built in {time.perf_counter() - started:.1f} s; load {open('/proc/loadavg').read().split()[:3]}")
        bundle = data.open(path)
        minute_codes = codes[-args.minute_stocks:]
        files = {code: places.data_path(path, "minbar", "stock", code) for code in minute_codes}
        daybar_file = places.daybar_path(places.bundle_dir(path), "stock")

        def plain_history():
            with h5py.File(files["000001.XSHE"], "r") as f:
                return pd.DataFrame(f["bars"][:])

        compare("one stock's full minute history as a DataFrame (long form)",
                lambda: bundle.get("000001.XSHE", frequency="1m"), plain_history, args.repeat)
        compare("the same with minute_bars(as_frame=True)",
                lambda: data.minute_bars("000001.XSHE", bundle_path=path, as_frame=True), plain_history, args.repeat)

        def plain_daily():
            with h5py.File(daybar_file, "r") as f:
                return {code: f[code][:]["close"] for code in codes}

        compare(f"{len(codes)}-stock daily close panel (wide)",
                lambda: bundle.get(codes, "close", frequency="1d", form="wide"), plain_daily, args.repeat)
        days = every[-20:]

        def plain_minutes(low, high):
            return lambda: {code: plain_span(files[code], low, high)[["close", "volume"]] for code in minute_codes}

        compare(f"{len(minute_codes)}-stock x 20-day minute panel (long)",
                lambda: bundle.get(minute_codes, ["close", "volume"], days[0], days[-1], frequency="1m"),
                plain_minutes(days[0], days[-1]), args.repeat)
        compare(f"{len(minute_codes)}-stock x 20-day minute panel (numpy)",
                lambda: bundle.get(minute_codes, ["close", "volume"], days[0], days[-1], frequency="1m", form="numpy"),
                plain_minutes(days[0], days[-1]), args.repeat)
        day = int(every[-5])
        note = ""
        with contextlib.suppress(ImportError):
            note = "; " + parquet_day(path, minute_codes, files, day, args.repeat)
        compare(f"one day across {len(minute_codes)} stocks (numpy)",
                lambda: bundle.get(minute_codes, None, day, day, frequency="1m", form="numpy"),
                lambda: {code: plain_span(files[code], day, day) for code in minute_codes}, args.repeat, note)
        check_cores(path, max(3, args.repeat // 3))
        print(f"load after: {open('/proc/loadavg').read().split()[:3]}")


def parquet_day(path, codes, files, day, repeat):
    import pyarrow as pa
    import pyarrow.parquet as pq

    root = os.path.join(path, "parquet")
    frames = []
    for code in codes:
        with h5py.File(files[code], "r") as f:
            table = pa.Table.from_pandas(__import__("pandas").DataFrame(f["bars"][:]), preserve_index=False)
        frames.append(table.append_column("order_book_id", pa.array([code] * len(table))))
    pq.write_to_dataset(pa.concat_tables(frames), root, partition_cols=["trading_date"])
    partition = os.path.join(root, f"trading_date={day}")
    times = []
    for _ in range(repeat):
        times.append(timed(lambda: pq.read_table(partition).to_pandas()))
    return f"a Parquet dataset partitioned by day reads it in {statistics.median(times) * 1000:.1f} ms"


def check_cores(path, repeat):
    from vantorel.checks import check_min_bar_data, dispatch

    def run(workers):
        os.environ[dispatch.WORKERS_SETTING] = str(workers)
        with contextlib.redirect_stdout(io.StringIO()):
            return timed(lambda: check_min_bar_data(path))

    one, two = [], []
    for _ in range(repeat):
        one.append(run(1))
        two.append(run(2))
    a, b = statistics.median(one), statistics.median(two)
    print(f"check-data minute bars: 1 worker {a:.2f} s, 2 workers {b:.2f} s, speed-up {a / b:.2f}")


if __name__ == "__main__":
    main()
