"""The bundle beside other ways of storing the same minute bars, on the same rows (``market_rows``).

    python benchmarks/peers.py [--stocks 200] [--histories 5 250] [--rounds 3] [--work DIR]
    python benchmarks/peers.py --histories 5 250 1250 --arcticdb-python OTHER_VENV/bin/python

(``python`` being one that has the kit installed, e.g. the dev venv's ``.venv/bin/python``.)

Stores: the kit (``write_data_file`` through a committer, ``append_series``, ``read_minbar``,
``read_span``); plain h5py, one file a stock, on the kit's chunked layout and filters, each file
fsynced (``h5py``) or not (``h5py-nosync``: what the page cache alone costs, no durability); and,
when pyarrow is installed, a Parquet dataset with one file a trading day, fsynced. ``--before``
adds the kit of another source tree (``kit-before``); ``--arcticdb-python`` an ArcticDB library on
LMDB, one symbol a stock, run by an interpreter that has it (a peer measured, never a dependency). Each
operation runs in a process of its own, which reports the seconds spent in the store's calls alone
(making the rows is not counted) and its peak RSS; the stores take turns (A, B, C, A, B, C, ...)
so that the machine's load falls on all of them alike. Ratios are to plain h5py.

Operations: the initial write of each history, stock by stock, both HDF5 stores taking each stock's
rows in the same pieces of ``market_rows.PIECE_DAYS`` days, made as they are written; one-day appends of every stock (``--rounds`` of
them, each appending the next trading day); reading one stock's whole history; reading one day of
every stock; the disk taken, in bytes a row.
"""
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import market_rows  # noqa: E402
import numpy as np  # noqa: E402

STORES = ["kit", "h5py", "h5py-nosync", "parquet"]
CATEGORY = "stock"


def _synced(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


class Clock:
    def __init__(self):
        self.seconds = 0.0

    def __enter__(self):
        self.started = time.perf_counter()

    def __exit__(self, *exc):
        self.seconds += time.perf_counter() - self.started

    def unclocked(self, pieces):
        """``pieces`` as a store consumes them inside the clock, with the time spent making them left out."""
        pieces = iter(pieces)
        while True:
            self.__exit__()
            piece = next(pieces, None)
            self.__enter__()
            if piece is None:
                return
            yield piece


# ---- the stores ---------------------------------------------------------------------------------

class Kit:
    """The kit's storage calls; ``whole``: one array a history, for a kit that takes no pieces."""

    def __init__(self, whole=False):
        self.whole = whole

    def path(self, root, stock):
        from vantorel.bundle import places

        return places.minbar_path(root, CATEGORY, market_rows.code_of(stock))

    def build(self, root, stocks, days, clock):
        from vantorel.bundle import access, writing

        with clock:
            committer = writing.Committer()
        with access.updating(root):
            for stock in range(stocks):
                if self.whole:
                    rows = market_rows.stock_history(stock, days)
                else:
                    rows = clock.unclocked(market_rows.history_pieces(stock, days))
                with clock:
                    writing.write_data_file(self.path(root, stock), "minbar", CATEGORY, market_rows.code_of(stock),
                                            rows, committer)
            with clock:
                assert not committer.failures(wait=True)
                committer.close()

    def append(self, root, stocks, day, clock):
        import contextlib

        from vantorel.bundle import access, appending, places, writing

        new = [market_rows.minute_rows(stock, day) for stock in range(stocks)]
        # As an update's tasks do: each directory walked to once (a kit before it walks every time).
        kept = getattr(places, "walks_kept", contextlib.nullcontext)
        with clock:
            committer = writing.Committer()
            with access.updating(root), kept():
                for stock, rows in enumerate(new):
                    appending.append_series(root, "minbar", CATEGORY, market_rows.code_of(stock), rows, committer)
                assert not committer.failures(wait=True)
            committer.close()

    def read_stock(self, root, stock):
        from vantorel.bundle import reading

        return len(reading.read_minbar(self.path(root, stock)))

    def read_day(self, root, stocks, day):
        from vantorel.bundle import validation

        return sum(len(validation.read_span(self.path(root, s), "minbar", "bars", "trading_date", day, day))
                   for s in range(stocks))


class PlainH5:
    """One file a stock; each file fsynced after it is written, as the kit's are, unless ``sync`` is off."""

    def __init__(self, sync=True):
        self.sync = sync

    def path(self, root, stock):
        return os.path.join(root, market_rows.code_of(stock) + ".h5")

    def _layout(self):
        from vantorel.bundle import places

        layout = {"chunks": (places.CHUNK_ROWS["minbar"],), "maxshape": (None,)}
        layout.update(series_filters())
        return layout

    def build(self, root, stocks, days, clock):
        import h5py

        os.makedirs(root, exist_ok=True)
        layout = self._layout()
        for stock in range(stocks):
            with clock:
                path = self.path(root, stock)
                with h5py.File(path, "w", libver=("earliest", "v110")) as f:
                    bars = f.create_dataset("bars", (0,), market_rows.schemas.minbar_dtype(), **layout)
                    for rows in clock.unclocked(market_rows.history_pieces(stock, days)):
                        bars.resize((len(bars) + len(rows),))
                        bars[-len(rows):] = rows
                if self.sync:
                    _synced(path)

    def append(self, root, stocks, day, clock):
        import h5py

        new = [market_rows.minute_rows(stock, day) for stock in range(stocks)]
        with clock:
            for stock, rows in enumerate(new):
                path = self.path(root, stock)
                with h5py.File(path, "a") as f:
                    ds = f["bars"]
                    n = ds.shape[0]
                    ds.resize((n + len(rows),))
                    ds[n:] = rows
                if self.sync:
                    _synced(path)

    def read_stock(self, root, stock):
        import h5py

        with h5py.File(self.path(root, stock), "r") as f:
            return len(f["bars"][:])

    def read_day(self, root, stocks, day):
        import bisect

        import h5py

        class Column:
            def __init__(self, ds):
                self.ds = ds

            def __len__(self):
                return self.ds.shape[0]

            def __getitem__(self, i):
                return int(self.ds[i]["trading_date"])

        count = 0
        for stock in range(stocks):
            with h5py.File(self.path(root, stock), "r") as f:
                column = Column(f["bars"])
                first = bisect.bisect_left(column, day)
                count += len(f["bars"][first:bisect.bisect_right(column, day, lo=first)])
        return count


class Parquet:
    def _table(self, rows, stocks):
        import pyarrow as pa

        table = pa.table({name: rows[name] for name in rows.dtype.names})
        codes = np.repeat([market_rows.code_of(s) for s in stocks], len(rows) // len(stocks))
        return table.append_column("order_book_id", pa.array(codes).dictionary_encode())

    def _day_table(self, stocks, day):
        rows = np.concatenate([market_rows.minute_rows(s, day) for s in range(stocks)])
        table = self._table(rows, range(stocks))
        return table

    def _put(self, root, day, table):
        import pyarrow.parquet as pq

        directory = os.path.join(root, f"trading_date={day}")
        os.makedirs(directory, exist_ok=True)
        path = os.path.join(directory, "part-0.parquet")
        pq.write_table(table.drop(["trading_date"]), path)
        _synced(path)

    def build(self, root, stocks, days, clock):
        for day in days:
            table = self._day_table(stocks, day)
            with clock:
                self._put(root, day, table)

    def append(self, root, stocks, day, clock):
        table = self._day_table(stocks, day)
        with clock:
            self._put(root, day, table)

    def read_stock(self, root, stock):
        import pyarrow.dataset as ds

        data = ds.dataset(root, format="parquet", partitioning="hive")
        return data.to_table(filter=ds.field("order_book_id") == market_rows.code_of(stock)).num_rows

    def read_day(self, root, stocks, day):
        import pyarrow.parquet as pq

        return pq.read_table(os.path.join(root, f"trading_date={day}", "part-0.parquet")).num_rows


class Arctic:
    """One symbol a stock in a library on LMDB, written and appended in batches (its fastest use);
    LMDB syncs each commit. Rows become a frame indexed by time outside the clock, as Parquet's
    tables are made outside it."""

    LIBRARY = "minbar"

    def _library(self, root):
        import arcticdb

        return arcticdb.Arctic(f"lmdb://{root}").get_library(self.LIBRARY, create_if_missing=True)

    @staticmethod
    def _frame(rows):
        import pandas as pd

        stamps = pd.to_datetime(rows["datetime"].astype(str), format="%Y%m%d%H%M%S")
        return pd.DataFrame({name: rows[name] for name in rows.dtype.names if name != "datetime"}, index=stamps)

    def build(self, root, stocks, days, clock):
        from arcticdb import WritePayload

        with clock:
            library = self._library(root)
        for stock in range(stocks):
            frame = self._frame(market_rows.stock_history(stock, days))
            with clock:
                library.write_batch([WritePayload(market_rows.code_of(stock), frame)])

    def append(self, root, stocks, day, clock):
        from arcticdb import WritePayload

        frames = [self._frame(market_rows.minute_rows(stock, day)) for stock in range(stocks)]
        with clock:
            library = self._library(root)
            library.append_batch([WritePayload(market_rows.code_of(s), f) for s, f in enumerate(frames)])

    def read_stock(self, root, stock):
        return len(self._library(root).read(market_rows.code_of(stock)).data)

    def read_day(self, root, stocks, day):
        import pandas as pd

        from arcticdb import ReadRequest

        start = pd.Timestamp(str(day))
        span = (start, start + pd.Timedelta(days=1))
        found = self._library(root).read_batch([ReadRequest(market_rows.code_of(s), date_range=span)
                                                for s in range(stocks)])
        return sum(len(item.data) for item in found)


def series_filters():
    """The filters the kit gives a new minute-bar series, as h5py's create_dataset takes them."""
    from vantorel.bundle import hdf5

    dcpl = hdf5.image_parts().series_dcpl["minbar"]
    filters = [dcpl.get_filter(i) for i in range(dcpl.get_nfilters())]
    return {"compression": filters[0][0], "compression_opts": filters[0][2]} if filters else {}


def store(name):
    if name == "h5py-nosync":
        return PlainH5(sync=False)
    if name == "kit-before":
        return Kit(whole=True)
    return {"kit": Kit, "h5py": PlainH5, "parquet": Parquet, "arcticdb": Arctic}[name]()


# ---- one operation in a process of its own --------------------------------------------------------

def child(op, name, root, stocks, days):
    clock = Clock()
    _import_before_the_clock(name)
    s = store(name)
    if op == "build":
        s.build(root, stocks, days, clock)
    elif op == "append":
        s.append(root, stocks, days[0], clock)
    elif op == "read_stock":
        with clock:
            assert s.read_stock(root, stocks // 2) > 0
    elif op == "read_day":
        with clock:
            assert s.read_day(root, stocks, days[0]) == 240 * stocks
    peak = [line for line in open("/proc/self/status") if line.startswith("VmHWM")][0].split()[1]
    print(json.dumps({"seconds": clock.seconds, "peak_kib": int(peak)}))


def _import_before_the_clock(name):
    import h5py  # noqa: F401
    # The kit's codec: registering it is paid once a process (docs/measurements.md), not a read.
    import hdf5plugin  # noqa: F401

    if name.startswith("kit"):
        from vantorel.bundle import access, appending, reading, validation, writing  # noqa: F401
    elif name == "parquet":
        import pyarrow.dataset  # noqa: F401
        import pyarrow.parquet  # noqa: F401
    elif name == "arcticdb":
        import arcticdb  # noqa: F401
        import pandas  # noqa: F401


BEFORE = {}  # "kit-before": the source tree given with --before
PYTHONS = {}  # store -> the interpreter its child runs in, when not this one


def run(op, name, root, stocks, days):
    os.sync()  # no store pays for writing back what another left in the page cache
    env = dict(os.environ, BENCH_KIT_SRC=BEFORE["src"]) if name == "kit-before" else None
    out = subprocess.run([PYTHONS.get(name, sys.executable), __file__, "--child", op, name, root, str(stocks), *map(str, days)],
                         capture_output=True, text=True, env=env)
    if out.returncode:
        raise SystemExit(f"{name} {op} failed:\n{out.stderr}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def disk(root):
    # Blocks taken, not sizes: LMDB's map is a sparse file as large as it may grow.
    return sum(min(st.st_size, st.st_blocks * 512) for st in (
        os.stat(os.path.join(d, f)) for d, _dirs, files in os.walk(root) for f in files))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--stocks", type=int, default=200)
    parser.add_argument("--histories", type=int, nargs="+", default=[5, 250])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--stores", nargs="+", default=None)
    parser.add_argument("--work", default=None, help="directory for the stores (default: a temporary one)")
    parser.add_argument("--before", metavar="SRC", help="also measure the kit of this source tree, as kit-before "
                        "(e.g. one made with: git archive COMMIT src | tar -x -C DIR)")
    parser.add_argument("--arcticdb-python", metavar="PYTHON", help="also measure an LMDB-backed ArcticDB library, "
                        "run by this interpreter (one with arcticdb and pandas installed); measurement only")
    args = parser.parse_args()
    stores = args.stores or [s for s in STORES if s != "parquet" or _has_pyarrow()]
    if args.arcticdb_python:
        PYTHONS["arcticdb"] = args.arcticdb_python
        stores.append("arcticdb")
    if args.before:
        BEFORE["src"] = os.path.abspath(os.path.join(args.before, "src") if os.path.isdir(
            os.path.join(args.before, "src")) else args.before)
        stores.insert(1, "kit-before")
    if args.work:
        os.makedirs(args.work, exist_ok=True)
    work = tempfile.mkdtemp(prefix="peers-", dir=args.work)
    print(f"load {open('/proc/loadavg').read().split()[:3]}; {args.stocks} stocks; stores {stores}", flush=True)
    try:
        for history in args.histories:
            days = market_rows.trading_days(history + args.rounds)
            past, new = days[:history], days[history:]
            rows = 240 * args.stocks * history
            roots = {name: os.path.join(work, f"{name}-{history}") for name in stores}
            result = {name: {} for name in stores}
            for name in stores:
                result[name]["build"] = run("build", name, roots[name], args.stocks, past)
                result[name]["bytes_per_row"] = disk(roots[name]) / rows
            for day in new:
                for name in stores:
                    result[name].setdefault("append", []).append(run("append", name, roots[name], args.stocks, [day]))
            for name in stores:
                result[name]["appended_bytes_per_row"] = disk(roots[name]) / (rows + 240 * args.stocks * len(new))
            for _ in range(args.rounds):
                for name in stores:
                    for op, on in (("read_stock", [new[-1]]), ("read_day", [past[len(past) // 2]])):
                        result[name].setdefault(op, []).append(run(op, name, roots[name], args.stocks, on))
            report(history, rows, result, stores)
            for name in stores:
                shutil.rmtree(roots[name])
        print(f"load at the end {open('/proc/loadavg').read().split()[:3]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report(history, rows, result, stores):
    print(f"\n{history} days, {rows / 1e6:.2f} M minute bars; seconds (x plain h5py), peak RSS MiB")
    base = result.get("h5py")

    def med(name, op, key="seconds"):
        runs = result[name][op]
        return statistics.median(r[key] for r in (runs if isinstance(runs, list) else [runs]))

    for name in stores:
        parts = []
        for op in ("build", "append", "read_stock", "read_day"):
            value = med(name, op)
            ratio = f" x{value / med('h5py', op):.2f}" if base else ""
            parts.append(f"{op} {value:.3f}s{ratio} {med(name, op, 'peak_kib') / 1024:.0f}MiB")
        parts.append(f"{result[name]['bytes_per_row']:.1f} B/row ({result[name]['appended_bytes_per_row']:.1f} "
                     "after the appends)")
        print(f"  {name:8s} " + "; ".join(parts), flush=True)


def _has_pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return False
    return True


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        op, name, root, stocks, *days = sys.argv[2:]
        child(op, name, root, int(stocks), [int(d) for d in days])
    else:
        main()
