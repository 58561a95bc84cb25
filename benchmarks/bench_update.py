"""Rows written per second by a first update of an empty bundle, at several fetch concurrencies;
with ``--append-histories``, the one-day update of stored minute bars instead.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_update.py [--scale 40] [--days 20] [--runs 3]
    PYTHONPATH=src .venv/bin/python benchmarks/bench_update.py --append-histories 5 250 [--stocks 200]
        [--runs 5] [--before SRC]

The embedded service is enlarged (``--scale`` times the default stocks, ``--days`` trading days of
minute bars); each run updates a fresh bundle with minute bars of every stock, then (smaller) ticks,
and reports the median over the runs. Building the instrument list is not timed; everything the
update does after that (fetching, merging, HDF5 writing, fsync and rename) is.

The one-day update: a bundle of ``--stocks`` stocks holding each history is written once; each run
updates a copy of it by one trading day (``-c 1``) in a process of its own, which reports the
update's seconds; the service's answers are made before the clock starts (the embedded service's
own work, which a remote service does elsewhere, would otherwise take half the time). ``--before`` runs the kit of another source tree too (e.g. one made with
``git archive main src | tar -x -C DIR``), the two taking turns on the same copies.
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from vantorel.sources import service  # noqa: E402
from vantorel.update import engine  # noqa: E402

NOW = "2026-12-08T16:00"


def one_run(kind, concurrency, scale, days, where):
    days_arg = {"minbar_days": days} if kind == "minbar" else {"tick_days": days}
    svc = service.EmbeddedService(scale=scale, **days_arg)
    client = service.EmbeddedClient(svc, concurrency, require_login=False)
    client.instruments()
    target = tempfile.mkdtemp(prefix="bench-", dir=where)
    try:
        started = time.perf_counter()
        report = engine.update(client, target, False, {kind: ("stock",)}, concurrency=concurrency)
        seconds = time.perf_counter() - started
        if not report.ok:
            raise SystemExit(f"update failed: {report.summary()}")
        return report.rows[kind], report.instruments[kind], seconds
    finally:
        shutil.rmtree(target, ignore_errors=True)


APPEND = """
import json, os, sys, time
sys.meta_path = [f for f in sys.meta_path if "editable" not in type(f).__module__]
sys.path.insert(0, sys.argv[1])
from vantorel.bundle import access
from vantorel.sources import service
from vantorel.update import engine
svc = service.EmbeddedService(scale=int(sys.argv[3]))
day = svc.latest_trading_date()
answers = {i.order_book_id: svc.minute_bars(i.order_book_id, day, day) for i in svc.instruments()
           if i.category == "stock"}

class Answered(service.EmbeddedClient):
    def minute_bars(self, code, start, end):
        assert start == end == day, (start, end)
        return self._call(answers.__getitem__, code)

client = Answered(svc, 1, require_login=False)
client.instruments()
started = time.perf_counter()
with access.updating(sys.argv[2]):
    report = engine.update(client, sys.argv[2], False, {"minbar": ("stock",)}, concurrency=1)
seconds = time.perf_counter() - started
print(json.dumps({"ok": report.ok, "rows": report.rows["minbar"], "files": report.instruments["minbar"],
                  "seconds": seconds}))
"""


def one_day_updates(args):
    import bench_incremental

    sides = {"kit": os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")}
    if args.before:
        sides["kit-before"] = os.path.abspath(args.before)
    stocks, scale = bench_incremental.stocks_of(args.stocks)
    now = bench_incremental.next_days(1)[0]
    env = dict(os.environ, **{service.ENV_NOW: f"{bench_incremental.to_date(now).isoformat()}T16:00"})
    work = tempfile.mkdtemp(prefix="bench-", dir=args.dir)
    print(f"cpus {os.cpu_count()}, load {open('/proc/loadavg').read().split()[:3]}; one-day update of "
          f"{len(stocks)} stocks, -c 1, {args.runs} runs a side in turns (medians)", flush=True)
    try:
        for days in args.append_histories:
            stored = os.path.join(work, f"history-{days}")
            bench_incremental.write_history(stored, stocks, days)
            seconds = {side: [] for side in sides}
            for _ in range(args.runs):
                for side, src in sides.items():
                    target = os.path.join(work, "run")
                    shutil.copytree(stored, target, symlinks=True)
                    os.sync()  # no side is charged for writing back the copy
                    out = subprocess.run([sys.executable, "-c", APPEND, src, target, str(scale)], env=env,
                                         capture_output=True, text=True, check=True)
                    result = json.loads(out.stdout.strip().splitlines()[-1])
                    if not result["ok"] or result["files"] != len(stocks):
                        raise SystemExit(f"{side}: update failed: {out.stdout}{out.stderr}")
                    seconds[side].append(result["seconds"])
                    shutil.rmtree(target)
            first = statistics.median(seconds["kit"])
            for side, runs in seconds.items():
                median = statistics.median(runs)
                print(f"  {days:5d} days stored, {side:10s}: {median:.3f} s, {median / len(stocks) * 1e3:.2f} ms a file "
                      f"(x{median / first:.2f} kit; runs {', '.join(f'{r:.3f}' for r in runs)})", flush=True)
            shutil.rmtree(stored)
        print(f"load at the end {open('/proc/loadavg').read().split()[:3]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=40, help="stocks = 10 x scale (default 40)")
    parser.add_argument("--days", type=int, default=20, help="trading days of minute bars (default 20)")
    parser.add_argument("--tick-scale", type=int, default=10)
    parser.add_argument("--tick-days", type=int, default=5)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--concurrency", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--dir", default=None, help="where to build the bundles (default: the temp dir)")
    parser.add_argument("--append-histories", type=int, nargs="+", metavar="DAYS",
                        help="measure the one-day update of bundles holding these many days instead")
    parser.add_argument("--stocks", type=int, default=200, help="stocks of the one-day update (default 200)")
    parser.add_argument("--before", metavar="SRC", help="also run the one-day update with this source tree's kit")
    args = parser.parse_args()
    if args.append_histories:
        one_day_updates(args)
        return
    os.environ[service.ENV_NOW] = NOW

    print(f"cpus {os.cpu_count()}, load {os.getloadavg()[0]:.1f}, runs {args.runs} (median)")
    for kind, scale, days in (("minbar", args.scale, args.days), ("tick", args.tick_scale, args.tick_days)):
        for concurrency in args.concurrency:
            results = [one_run(kind, concurrency, scale, days, args.dir) for _ in range(args.runs)]
            rows, files, _ = results[0]
            seconds = statistics.median(r[2] for r in results)
            rates = sorted(r[0] / r[2] for r in results)
            print(f"{kind:6s} concurrency {concurrency}: {rows} rows in {files} files, median {seconds:.2f} s, "
                  f"{rows / seconds / 1e6:.2f} M rows/s (runs {', '.join(f'{r / 1e6:.2f}' for r in rates)})")


if __name__ == "__main__":
    main()
