"""A notebook reading in a loop while ``--updates`` one-day updates run in another process.

Fills a bundle path from the embedded service (``--minbar stock``) as of the day before the first
update, then runs the updates, one trading day each, while this process reads in a loop: one
stock's minute bars, and a daily close panel of every stock with minute bars. Counts the reads, the
refusals (any error), and checks that every read is the final series cut at the end of a trading
day (old or new, never a mix).

    PYTHONPATH=src .venv/bin/python benchmarks/bench_read_during_updates.py --updates 50
"""
import argparse
import os
import subprocess
import sys
import tempfile
import textwrap
import time

import numpy as np

import vantorel
from vantorel import data, tovi
from vantorel.errors import VantorelError
from vantorel.market.calendar import trading_dates
from vantorel.ombrel.alpha import bundle
from vantorel.sources import service

UPDATES = """
    import os
    import sys
    from vantorel import tovi
    from vantorel.ombrel.alpha import bundle
    tovi.init("demo", "demo")
    for day in sys.argv[2:]:
        os.environ["VANTOREL_SERVICE_NOW"] = day + "T16:00"
        if not bundle.update_bundle_from_corvane(2, sys.argv[1], True, ("stock",), (), False):
            sys.exit(1)
"""


def iso(day):
    return f"{day // 10000}-{day // 100 % 100:02d}-{day % 100:02d}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--updates", type=int, default=50)
    args = parser.parse_args()
    days = [int(d) for d in trading_dates(20260101, 20261208)][-(args.updates + 1):]
    with tempfile.TemporaryDirectory() as root:
        path = os.path.join(root, "bundle-path")
        os.environ[service.ENV_NOW] = iso(days[0]) + "T16:00"
        tovi.init("demo", "demo")
        assert bundle.update_bundle_from_corvane(2, path, True, ("stock",), (), False)
        tovi.sign_out()
        opened = data.open(path)
        codes = sorted(os.path.splitext(name)[0] for name in os.listdir(os.path.join(path, "minbar", "stock")))
        src = os.path.dirname(os.path.dirname(vantorel.__file__))
        started = time.perf_counter()
        updater = subprocess.Popen([sys.executable, "-c", textwrap.dedent(UPDATES), path, *map(iso, days[1:])],
                                   env=dict(os.environ, PYTHONPATH=src), stdout=subprocess.DEVNULL)
        minute_reads, daily_reads, refusals = [], [], []
        while updater.poll() is None:
            code = codes[len(minute_reads) % len(codes)]
            try:
                minute_reads.append((code, data.minute_bars(code, bundle_path=path)))
                daily_reads.append(opened.get(codes, "close", form="numpy"))
            except VantorelError as exc:
                refusals.append(str(exc))
        elapsed = time.perf_counter() - started
        assert updater.returncode == 0, "an update failed"
        mixed = 0
        ends = {0, *days}
        for code, rows in minute_reads:
            final = data.minute_bars(code, bundle_path=path)
            whole = np.array_equal(rows, final[:len(rows)])
            mixed += not whole or (int(rows["trading_date"][-1]) if len(rows) else 0) not in ends
        final = opened.get(codes, "close", form="numpy")
        mixed += sum(not np.array_equal(read[code], final[code][:len(read[code])]) for read in daily_reads for code in codes)
        print(f"{args.updates} updates in {elapsed:.1f} s; {len(minute_reads)} minute-bar reads and "
              f"{len(daily_reads)} panel reads; {len(refusals)} refused; {mixed} neither old nor new; "
              f"load {open('/proc/loadavg').read().split()[:3]}")
        for said in refusals[:3]:
            print("refused:", said)


if __name__ == "__main__":
    main()
