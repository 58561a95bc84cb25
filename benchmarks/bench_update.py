"""Rows written per second by a first update of an empty bundle, at several fetch concurrencies.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_update.py [--scale 40] [--days 20] [--runs 3]

The embedded service is enlarged (``--scale`` times the default stocks, ``--days`` trading days of
minute bars); each run updates a fresh bundle with minute bars of every stock, then (smaller) ticks,
and reports the median over the runs. Building the instrument list is not timed; everything the
update does after that (fetching, merging, HDF5 writing, fsync and rename) is.
"""
import argparse
import os
import shutil
import statistics
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=int, default=40, help="stocks = 10 x scale (default 40)")
    parser.add_argument("--days", type=int, default=20, help="trading days of minute bars (default 20)")
    parser.add_argument("--tick-scale", type=int, default=10)
    parser.add_argument("--tick-days", type=int, default=5)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--concurrency", type=int, nargs="+", default=[1, 2, 4])
    parser.add_argument("--dir", default=None, help="where to build the bundles (default: the temp dir)")
    args = parser.parse_args()
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
