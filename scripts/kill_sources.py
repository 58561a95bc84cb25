"""Kill `update-data --smart` on a bundle holding a CSV folder's series and the data service's, at
random moments, and check what every kill leaves.

    PYTHONPATH=src .venv/bin/python scripts/kill_sources.py [--rounds 200] [--seed 1]

The bundle: a CSV folder of three stocks (two of them codes the service offers too) imported, then
one stock of the service's added. Between the old and the new state the folder gains a day (rows
appended to each per-code file, and a file of the next day holding every code) and the service's
clock moves on. After each kill every series must be its old rows or its new ones (so no series
holds rows of both sources), check-data must find nothing the uninterrupted update's bundle does
not but the one finding naming the unfinished update, and a rerun must give the new bundle.
"""
import argparse
import contextlib
import datetime
import io
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
sys.path.insert(0, SRC)

from vantorel import tovi  # noqa: E402
from vantorel.bundle import places, reading  # noqa: E402
from vantorel.checks import check_daily_bar_data, check_min_bar_data  # noqa: E402
from vantorel.ombrel.alpha import bundle  # noqa: E402
from vantorel.sources import service  # noqa: E402

CODES = {"600000.XSHG": 10.0, "000001.XSHE": 12.0, "VNDR.XSHG": 5.0}
SERVED = "000002.XSHE"
SMART = ("import sys; from vantorel import tovi; from vantorel.ombrel.alpha import bundle;"
         "tovi.init('demo', 'demo'); sys.exit(0 if bundle.update_bundle_from_exist_file(2, sys.argv[1]) else 1)")
OLD_NOW, NEW_NOW = "2026-12-04T16:00", "2026-12-08T16:00"


def day_rows(day, price, code=None):
    """(minute lines, daily line) of one day of a stock, the code leading each line when given."""
    lead = f"{code}," if code else ""
    iso = f"{day[:4]}-{day[4:6]}-{day[6:]}"
    minutes = []
    for start, end in (((9, 31), (11, 30)), ((13, 1), (15, 0))):
        t = datetime.datetime(2026, 1, 1, *start)
        while (t.hour, t.minute) <= end:
            wiggle = 0.01 * (t.minute % 3)
            minutes.append(f"{lead}{iso} {t:%H:%M},{price},{price + 0.02},{price - 0.02},{price + wiggle},100\n")
            t += datetime.timedelta(minutes=1)
    close = price + 0.01 * (end[1] % 3)
    daily = f"{lead}{'' if code else iso + ','}{price},{price + 0.02},{price - 0.02},{close},{100 * len(minutes)}\n"
    return minutes, daily


def make_folder(folder, days):
    os.makedirs(os.path.join(folder, "daybar"))
    os.makedirs(os.path.join(folder, "minbar"))
    with open(os.path.join(folder, "instruments.csv"), "w") as f:
        f.write("order_book_id,symbol,category,exchange,listed_date,tick_size,trading_hours\n")
        for code in CODES:
            f.write(f'{code},{code},stock,{code[-4:]},2026-11-02,0.01,"09:31-11:30,13:01-15:00"\n')
    for code, price in CODES.items():
        with open(os.path.join(folder, "daybar", code + ".csv"), "w") as d, \
                open(os.path.join(folder, "minbar", code + ".csv"), "w") as m:
            d.write("date,open,high,low,close,volume\n")
            m.write("datetime,open,high,low,close,volume\n")
            for day in days:
                minutes, daily = day_rows(day, price)
                m.writelines(minutes)
                d.write(daily)


def add_days(folder, appended, per_day):
    for code, price in CODES.items():
        minutes, daily = day_rows(appended, price)
        with open(os.path.join(folder, "minbar", code + ".csv"), "a") as m:
            m.writelines(minutes)
        with open(os.path.join(folder, "daybar", code + ".csv"), "a") as d:
            d.write(daily)
    with open(os.path.join(folder, "daybar", per_day + ".csv"), "w") as d, \
            open(os.path.join(folder, "minbar", per_day + ".csv"), "w") as m:
        d.write("order_book_id,open,high,low,close,volume\n")
        m.write("order_book_id,datetime,open,high,low,close,volume\n")
        for code, price in CODES.items():
            minutes, daily = day_rows(per_day, price, code)
            m.writelines(minutes)
            d.write(daily)


def snapshot(path):
    data = {("daybar", code): rows for _c, code, rows in reading.iter_daily(places.bundle_dir(path))}
    data.update({("minbar", code): reading.read_data_file(p, "minbar") for _c, code, p in places.iter_minbar_files(path)})
    return data


def same(a, b):
    # Bytes, not values: a daily bar without prev_close holds NaN, which equals nothing.
    return a.dtype == b.dtype and a.tobytes() == b.tobytes()


def findings(path):
    with contextlib.redirect_stdout(io.StringIO()):
        found = check_daily_bar_data(places.bundle_dir(path)) + check_min_bar_data(path)
    return {(a.kind, a.code) for a in found}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--max-delay", type=float, default=1.5)
    args = parser.parse_args()
    rng = random.Random(args.seed)
    tovi.init("demo", "demo")
    with tempfile.TemporaryDirectory() as tmp:
        folder = os.path.join(tmp, "vendor")
        make_folder(folder, ["20261201", "20261202", "20261203"])
        old = os.path.join(tmp, "old")
        os.environ[service.ENV_NOW] = OLD_NOW
        with contextlib.redirect_stdout(io.StringIO()):
            bundle.download_simple_bundle(old, file_path=folder)
            assert bundle.update_bundle_from_corvane(2, old, True, (SERVED,), (), False)
            assert bundle.update_bundle_from_exist_file(2, old)
        before = snapshot(old)
        add_days(folder, "20261204", "20261207")
        os.environ[service.ENV_NOW] = NEW_NOW
        reference = os.path.join(tmp, "reference")
        shutil.copytree(old, reference, symlinks=True)
        with contextlib.redirect_stdout(io.StringIO()):
            assert bundle.update_bundle_from_exist_file(2, reference)
        # A kill leaves each series old or new: what either state shows is no finding of the kill.
        after, expected_findings = snapshot(reference), findings(reference) | findings(old)
        changed = sorted(key for key in after if key not in before or not same(before[key], after[key]))
        assert changed, "the new state changes nothing"
        env = dict(os.environ, PYTHONPATH=SRC)
        path = os.path.join(tmp, "killed")
        kills = failures = 0
        for n in range(1, args.rounds + 1):
            shutil.copytree(old, path, symlinks=True)
            proc = subprocess.Popen([sys.executable, "-c", SMART, path], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.0, args.max_delay))
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
                kills += 1
            proc.wait()
            with contextlib.redirect_stdout(io.StringIO()):
                now = snapshot(path)  # a reader first: it plays back what the kill left
            mixed = [key for key, rows in now.items()
                     if not any(key in state and same(rows, state[key]) for state in (before, after))]
            extra = findings(path) - expected_findings - {("unfinished_update", "")}
            with contextlib.redirect_stdout(io.StringIO()):
                finished = bundle.update_bundle_from_exist_file(2, path)
            rerun = snapshot(path)
            if mixed or extra or not finished or sorted(rerun) != sorted(after) or any(
                    not same(rerun[key], after[key]) for key in after):
                failures += 1
                print(f"round {n}: series neither old nor new {mixed[:3]}, findings {sorted(extra)[:3]}, "
                      f"rerun {'finished' if finished else 'failed'}")
            shutil.rmtree(path)
        print(f"{args.rounds} rounds, {kills} kills, {len(changed)} series changed by the update, {failures} failures")
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
