"""What a one-day update costs against the history it updates, and what a full update and the
fetch side reach, each beside a baseline measured in the same run.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_incremental.py [--stocks 200] [--histories 5 250 1250]

1. One-day incremental update (``update-data --minbar stock -c 1`` of ``--stocks`` stocks) on
   bundles holding 5, 250 and 1,250 days of minute bars, run in turns (A, B, C, A, B, C, ...),
   each round appending the next trading day; every run is a process of its own that reports its
   wall time, the bytes it wrote (``/proc/self/io`` ``wchar``: every byte handed to ``write``,
   journal included) and its peak RSS; the benchmark also reads the disk's sectors written
   (``/proc/diskstats``, the whole machine's) around each run. ``write_bytes`` of ``/proc/self/io``
   is not used: kernels with large page-cache folios charge a whole folio (up to 2 MiB) to a
   process that changes two bytes of it, while the disk is sent only the 4 KiB blocks that changed.
2. A full first update of the same stocks over ``--full-days`` days, beside plain h5py writing the
   same arrays to the same number of files.
3. With ``--latency`` ms per request, the one-day update at ``-c 1`` and at ``-c 4``, in turns, with
   the embedded service's answers made when asked and made beforehand.

The histories are written straight with the kit's storage functions (the service would take
minutes to generate 1,250 days); the days the updates append come from the embedded service.
"""
import argparse
import datetime
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
sys.path.insert(0, SRC)

import numpy as np  # noqa: E402

from vantorel.bundle import writing  # noqa: E402
from vantorel.market import schemas  # noqa: E402
from vantorel.sources import service  # noqa: E402
from vantorel.update import engine  # noqa: E402
from vantorel.market.calendar import is_trading_day, previous_trading_date, to_date, to_int  # noqa: E402
from vantorel.market.sessions import minute_labels  # noqa: E402

FIRST_NEW_DAY = 20261201
UPDATE = """
import json, os, sys, time
from vantorel import tovi
from vantorel.ombrel.alpha import bundle
tovi.init("demo", "demo")
started = time.perf_counter()
ok = bundle.update_bundle_from_corvane(int(sys.argv[2]), sys.argv[1], False, ("stock",), (), False)
seconds = time.perf_counter() - started
io = dict(line.split(": ") for line in open("/proc/self/io").read().splitlines())
peak = [line for line in open("/proc/self/status") if line.startswith("VmHWM")][0].split()[1]
print(json.dumps({"ok": ok, "seconds": seconds, "wchar": int(io["wchar"]), "peak_kib": int(peak)}))
"""


def at_close(day):
    return lambda: datetime.datetime.combine(to_date(day), datetime.time(16))


def stocks_of(count):
    svc = service.EmbeddedService(scale=max(1, -(-count // 10)), clock=at_close(FIRST_NEW_DAY))
    return [i for i in svc.instruments() if i.category == "stock"][:count], svc.scale


def history(days_back, hours="09:31-11:30,13:01-15:00"):
    """Minute-bar stamps of the ``days_back`` trading days before FIRST_NEW_DAY."""
    days = []
    day = FIRST_NEW_DAY
    while len(days) < days_back:
        day = previous_trading_date(day)
        days.append(day)
    days.reverse()
    stamps = np.concatenate([minute_labels(hours, d, previous_trading_date(d)) for d in days])
    trading = np.repeat(days, len(stamps) // len(days))
    return stamps, trading


def write_history(root, stocks, days_back):
    stamps, trading = history(days_back)
    arr = np.zeros(len(stamps), schemas.minbar_dtype())
    arr["datetime"], arr["trading_date"] = stamps, trading
    for field in ("open", "high", "low", "close"):
        arr[field] = 10.0
    for inst in stocks:
        writing.write_minbar(root, "stock", inst.order_book_id, arr)
    return arr.nbytes * len(stocks)


def disk_sectors_written():
    try:
        with open("/proc/diskstats") as f:
            return sum(int(fields[9]) for fields in map(str.split, f) if re.fullmatch(r"(sd|vd|xvd)[a-z]+|nvme\d+n\d+", fields[2]))
    except OSError:
        return 0


def run_update(root, now, concurrency, scale, latency_ms=0):
    env = dict(os.environ, PYTHONPATH=SRC, **{service.ENV_NOW: now, service.ENV_LATENCY_MS: str(latency_ms),
                                               service.ENV_SCALE: str(scale)})
    os.sync()
    before = disk_sectors_written()
    out = subprocess.run([sys.executable, "-c", UPDATE, root, str(concurrency)], env=env, capture_output=True,
                         text=True, check=True)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    os.sync()
    result["disk_bytes"] = (disk_sectors_written() - before) * 512
    if not result["ok"]:
        raise SystemExit(f"update failed: {out.stderr}")
    return result


def next_days(count):
    days, day = [], FIRST_NEW_DAY
    while len(days) < count:
        if is_trading_day(day):
            days.append(day)
        day = to_int(to_date(day) + datetime.timedelta(days=1))
    return days


def incremental(args, stocks, scale, work):
    roots = {}
    for days_back in args.histories:
        roots[days_back] = os.path.join(work, f"history-{days_back}")
        started = time.perf_counter()
        size = write_history(roots[days_back], stocks, days_back)
        os.sync()  # so that no update is charged for writing the history back
        print(f"history of {days_back} days: {size / 1e6:.0f} MB in {len(stocks)} files "
              f"({time.perf_counter() - started:.0f} s to write)", flush=True)
    new_bytes = 240 * schemas.minbar_dtype().itemsize * len(stocks)
    results = {d: [] for d in args.histories}
    for day in next_days(args.rounds):
        now = f"{to_date(day).isoformat()}T16:00"
        for days_back in args.histories:
            results[days_back].append(run_update(roots[days_back], now, 1, scale))
    print(f"one-day update of {len(stocks)} stocks, -c 1, {args.rounds} rounds alternated, medians; "
          f"new data {new_bytes / 1e6:.2f} MB")
    base = None
    for days_back in args.histories:
        runs = results[days_back]
        seconds = statistics.median(r["seconds"] for r in runs)
        wchar = statistics.median(r["wchar"] for r in runs)
        disk = statistics.median(r["disk_bytes"] for r in runs)
        peak = statistics.median(r["peak_kib"] for r in runs) / 1024
        base = base or (seconds, peak)
        print(f"  {days_back:5d} days stored: {seconds:.2f} s (x{seconds / base[0]:.2f}), written {wchar / 1e6:.2f} MB "
              f"(x{wchar / new_bytes:.2f} the new data; the disk was sent {disk / 1e6:.2f} MB), "
              f"peak RSS {peak:.0f} MiB (x{peak / base[1]:.2f})")


def full_update(args, stocks, scale, work):
    import h5py

    svc = service.EmbeddedService(scale=scale, minbar_days=args.full_days,
                                  clock=at_close(FIRST_NEW_DAY))
    codes = {i.order_book_id for i in stocks}
    latest = svc.latest_trading_date()
    start = svc.history_start("minbar", latest)
    arrays = [svc.minute_bars(code, start, latest) for code in sorted(codes)]
    rows = sum(len(a) for a in arrays)
    by_code = dict(zip(sorted(codes), arrays))

    class Prefetched(service.EmbeddedClient):
        # The bars are made once, before the clock starts: what is timed is the kit's own work.
        def minute_bars(self, code, start, end):
            return by_code[code]

    kit, plain = [], []
    for _ in range(args.runs):
        client = Prefetched(svc, 1, require_login=False)
        target = tempfile.mkdtemp(dir=work)
        os.sync()  # neither side is charged for writing back what the other left in the page cache
        started = time.perf_counter()
        report = engine.update(client, target, False, {"minbar": sorted(codes)}, concurrency=1)
        kit.append(time.perf_counter() - started)
        assert report.ok and report.rows["minbar"] == rows
        shutil.rmtree(target)
        target = tempfile.mkdtemp(dir=work)
        os.sync()
        started = time.perf_counter()
        for code, arr in zip(sorted(codes), arrays):
            with h5py.File(os.path.join(target, code + ".h5"), "w") as f:
                f.create_dataset("bars", data=arr)
        plain.append(time.perf_counter() - started)
        shutil.rmtree(target)
    k, p = statistics.median(kit), statistics.median(plain)
    print(f"full first update, {len(codes)} stocks x {args.full_days} days ({rows} bars), {args.runs} runs alternated: "
          f"kit {rows / k / 1e6:.2f} M bars/s, plain h5py {rows / p / 1e6:.2f} M bars/s "
          f"(x{p / k:.2f})")


class Answered(service.EmbeddedClient):
    """The embedded client with each minute-bar answer made before the clock starts, the latency
    still paid per request: the service's own work is done elsewhere, as a remote service does it."""

    def __init__(self, svc, connections, answers):
        super().__init__(svc, connections, require_login=False)
        self.answers = answers

    def minute_bars(self, code, start, end):
        return self._call(self.answers.__getitem__, code)


def fetch_concurrency(args, stocks, scale, work):
    """The one-day update at -c 1 and -c 4 with the latency, in this process, two ways: with the
    embedded service making each answer when asked (on this machine's CPU, which no number of
    connections shortens), and with the answers made before the clock starts. Either way, building
    the instrument list (the embedded service's own work, which a remote service does on its own)
    is not timed; everything the update does after it is."""
    root = os.path.join(work, "latency")
    write_history(root, stocks, 5)
    os.environ[service.ENV_LATENCY_MS] = str(args.latency)
    ways = {"made when asked": False, "made beforehand": True}
    timings = {(way, c): [] for way in ways for c in (1, 4)}
    try:
        for day in next_days(args.rounds):
            for way, beforehand in ways.items():
                for concurrency in (1, 4):
                    # Each way and concurrency appends the same day to a bundle of its own.
                    target = f"{root}-{beforehand}-{concurrency}"
                    if not os.path.exists(target):
                        shutil.copytree(root, target)
                    svc = service.EmbeddedService(scale=scale, clock=at_close(day))
                    if beforehand:
                        answers = {i.order_book_id: svc.minute_bars(i.order_book_id, day, day) for i in stocks}
                        client = Answered(svc, concurrency, answers)
                    else:
                        client = service.EmbeddedClient(svc, concurrency, require_login=False)
                    svc.instruments()
                    started = time.perf_counter()
                    report = engine.update(client, target, False, {"minbar": ("stock",)}, concurrency=concurrency)
                    timings[(way, concurrency)].append(time.perf_counter() - started)
                    assert report.ok and report.instruments["minbar"] == len(stocks), report.summary()
    finally:
        del os.environ[service.ENV_LATENCY_MS]
    for way in ways:
        one, four = statistics.median(timings[(way, 1)]), statistics.median(timings[(way, 4)])
        print(f"one-day update of {len(stocks)} stocks with {args.latency} ms per request, answers {way}, "
              f"{args.rounds} rounds alternated: -c 1 {one:.2f} s, -c 4 {four:.2f} s (x{one / four:.2f} faster)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stocks", type=int, default=200)
    parser.add_argument("--histories", type=int, nargs="+", default=[5, 250, 1250])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--full-days", type=int, default=20)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--latency", type=int, default=20)
    parser.add_argument("--dir", default=None)
    parser.add_argument("--only", choices=["incremental", "full", "latency"], nargs="+",
                        default=["incremental", "full", "latency"])
    args = parser.parse_args()
    print(f"cpus {os.cpu_count()}, load {os.getloadavg()[0]:.1f} at start", flush=True)
    stocks, scale = stocks_of(args.stocks)
    work = tempfile.mkdtemp(prefix="bench-incremental-", dir=args.dir)
    try:
        if "incremental" in args.only:
            incremental(args, stocks, scale, work)
        if "full" in args.only:
            full_update(args, stocks, scale, work)
        if "latency" in args.only:
            fetch_concurrency(args, stocks, scale, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(f"load {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
