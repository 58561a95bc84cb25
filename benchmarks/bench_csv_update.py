"""What `update-data --smart` costs on a bundle converted from a CSV folder, when the vendor adds one
day, against the history the folder holds.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_csv_update.py [--stocks 200] [--days 1250]
                                                                   [--minute-days 250] [--rounds 3]

Two folders of ``--stocks`` stocks, one a file a code under daybar/ and minbar/: a long one
(``--days`` days of daily bars, the last ``--minute-days`` of them with minute bars too) and a short
one (5 days of both). Each is converted into a bundle of its own; then, in turns (long, short,
long, ...), a new day is added to a folder, both ways a vendor delivers one (rows appended to every
per-code file; one new file a day, daybar/<YYYYMMDD>.csv and minbar/<YYYYMMDD>.csv, holding every
code), and the bundle is updated by ``update-data --smart`` in a process of its own. Each run reports
its wall time and, from ``/proc/self/io`` around the update alone (the modules imported before),
``rchar`` (every byte ``read`` returned: the CSV tails, the checks of what was taken, the HDF5
files an append reads and compares) and ``wchar`` (every byte handed to ``write``, journals
included), and the bytes read from the folder's files alone. The ratios asked of it: time long
over short <= 1.3, bytes read from the folder <= 3x the new CSV bytes, bytes written <= 3x the new
data (the new rows as stored).
"""
import argparse
import datetime
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SRC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
sys.path.insert(0, SRC)

from vantorel.market import schemas  # noqa: E402

UPDATE = """
import io, json, sys, time
import h5py, numpy
from vantorel import tovi
from vantorel.ombrel.alpha import bundle
from vantorel.sources import csv_import, csv_update, provenance
from vantorel.update import engine

folder_read = [0]


class Counted(io.RawIOBase):
    # The bytes taken from the folder's files, read-ahead included.
    def __init__(self, raw):
        self.raw = raw
    def readable(self):
        return True
    def seekable(self):
        return True
    def seek(self, offset, whence=0):
        return self.raw.seek(offset, whence)
    def tell(self):
        return self.raw.tell()
    def fileno(self):
        return self.raw.fileno()
    def readinto(self, buffer):
        n = self.raw.readinto(buffer)
        folder_read[0] += n or 0
        return n
    def close(self):
        self.raw.close()
        super().close()


opened = csv_import._open_regular
csv_import._open_regular = lambda path: io.BufferedReader(Counted(opened(path).detach()))
positioned = csv_update.os.pread


def counted_pread(fd, size, offset):
    data = positioned(fd, size, offset)
    folder_read[0] += len(data)
    return data


csv_update.os.pread = counted_pread  # the checks of what was taken, and the tails


def io_counts():
    return {k: int(v) for k, v in (line.split(": ") for line in open("/proc/self/io").read().splitlines())}
before = io_counts()
started = time.perf_counter()
ok = bundle.update_bundle_from_exist_file(1, sys.argv[1])
seconds = time.perf_counter() - started
after = io_counts()
print(json.dumps({"ok": ok, "seconds": seconds, "rchar": after["rchar"] - before["rchar"],
                  "wchar": after["wchar"] - before["wchar"], "folder_read": folder_read[0]}))
"""
HOURS = ((9, 31, 11, 30), (13, 1, 15, 0))


def stocks_of(count):
    return [f"{600000 + i:06d}.XSHG" for i in range(count)]


def weekdays(count, last=datetime.date(2026, 11, 30)):
    days, day = [], last
    while len(days) < count:
        if day.weekday() < 5:
            days.append(day)
        day -= datetime.timedelta(days=1)
    return days[::-1]


def clocks():
    out = []
    for h1, m1, h2, m2 in HOURS:
        t = datetime.datetime(2026, 1, 1, h1, m1)
        while (t.hour, t.minute) <= (h2, m2):
            out.append(t.strftime("%H:%M"))
            t += datetime.timedelta(minutes=1)
    return out


CLOCKS = clocks()


def day_lines(day, i, lead="", with_minutes=True):
    """(minute lines, daily line) of stock ``i`` on ``day``: a price that walks with the day."""
    price = 10 + i % 50 + (day.toordinal() % 17) * 0.01
    iso = day.isoformat()
    bar = f",{price:.2f},{price + 0.02:.2f},{price - 0.02:.2f},{price:.2f},100\n"
    minutes = "".join(f"{lead}{iso} {clock}{bar}" for clock in CLOCKS) if with_minutes else ""
    daily = f"{lead}{'' if lead else iso + ','}{price:.2f},{price + 0.02:.2f},{price - 0.02:.2f},{price:.2f},24000\n"
    return minutes, daily


def make_folder(folder, stocks, days, minute_days):
    os.makedirs(os.path.join(folder, "daybar"))
    os.makedirs(os.path.join(folder, "minbar"))
    with open(os.path.join(folder, "instruments.csv"), "w") as f:
        f.write("order_book_id,symbol,category,exchange,listed_date,tick_size,trading_hours\n")
        f.writelines(f'{code},S{code[:6]},stock,XSHG,2000-01-04,0.01,"09:31-11:30,13:01-15:00"\n' for code in stocks)
    for i, code in enumerate(stocks):
        with open(os.path.join(folder, "daybar", code + ".csv"), "w") as d, \
                open(os.path.join(folder, "minbar", code + ".csv"), "w") as m:
            d.write("date,open,high,low,close,volume\n")
            m.write("datetime,open,high,low,close,volume\n")
            for n, day in enumerate(days):
                minutes, daily = day_lines(day, i, with_minutes=n >= len(days) - minute_days)
                d.write(daily)
                m.write(minutes)


def add_day(folder, stocks, day, per_day_file):
    """The day added to the folder; returns the CSV bytes it added."""
    added = 0
    if per_day_file:
        name = day.strftime("%Y%m%d") + ".csv"
        with open(os.path.join(folder, "daybar", name), "w") as d, open(os.path.join(folder, "minbar", name), "w") as m:
            d.write("order_book_id,open,high,low,close,volume\n")
            m.write("order_book_id,datetime,open,high,low,close,volume\n")
            for i, code in enumerate(stocks):
                minutes, daily = day_lines(day, i, code + ",")
                m.write(minutes)
                d.write(daily)
        return os.path.getsize(os.path.join(folder, "daybar", name)) + os.path.getsize(os.path.join(folder, "minbar", name))
    for i, code in enumerate(stocks):
        minutes, daily = day_lines(day, i)
        for kind, text in (("daybar", daily), ("minbar", minutes)):
            with open(os.path.join(folder, kind, code + ".csv"), "a") as f:
                f.write(text)
            added += len(text)
    return added


def run_update(bundle_path):
    env = dict(os.environ, PYTHONPATH=SRC)
    out = subprocess.run([sys.executable, "-c", UPDATE, bundle_path], env=env, capture_output=True, text=True,
                         check=True)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    assert result["ok"], out.stderr
    return result


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stocks", type=int, default=200)
    parser.add_argument("--days", type=int, default=1250)
    parser.add_argument("--minute-days", type=int, default=250)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    stocks = stocks_of(args.stocks)
    print(f"cpus {os.cpu_count()}, load {os.getloadavg()[0]:.1f} at start", flush=True)
    new_rows_bytes = args.stocks * (len(clocks()) * schemas.minbar_dtype().itemsize + schemas.daybar_dtype().itemsize)
    with tempfile.TemporaryDirectory() as work:
        os.environ["VANTOREL_HOME"] = os.path.join(work, "home")
        arms = {}
        for name, days, minute_days in (("long", args.days, args.minute_days), ("short", 5, 5)):
            folder, bundle_path = os.path.join(work, name), os.path.join(work, name + "-bundle")
            started = time.perf_counter()
            make_folder(folder, stocks, weekdays(days), minute_days)
            made = time.perf_counter() - started
            size = sum(os.path.getsize(os.path.join(d, f)) for d, _s, fs in os.walk(folder) for f in fs)
            subprocess.run([os.path.join(os.path.dirname(sys.executable), "vantorel"), "download-data", "-f", folder,
                            "-d", bundle_path], check=True, capture_output=True)
            print(f"{name}: {days} days of daily bars, {minute_days} of minute bars, {size / 2**20:.0f} MiB of CSV "
                  f"(made in {made:.0f} s, converted in {time.perf_counter() - started - made:.0f} s)", flush=True)
            arms[name] = (folder, bundle_path)
        runs = {(name, way): [] for name in arms for way in ("appended", "per-day file")}
        day = datetime.date(2026, 12, 1)
        for _round in range(args.rounds):
            for way in ("appended", "per-day file"):
                while day.weekday() >= 5:
                    day += datetime.timedelta(days=1)
                for name, (folder, bundle_path) in arms.items():
                    added = add_day(folder, stocks, day, way == "per-day file")
                    result = run_update(bundle_path)
                    result["csv_bytes"] = added
                    runs[name, way].append(result)
                day += datetime.timedelta(days=1)
        for way in ("appended", "per-day file"):
            long, short = runs["long", way], runs["short", way]
            seconds = {n: statistics.median(r["seconds"] for r in runs[n, way]) for n in arms}
            read = statistics.median(r["folder_read"] / r["csv_bytes"] for r in long)
            read_all = statistics.median(r["rchar"] / r["csv_bytes"] for r in long)
            written = statistics.median(r["wchar"] / new_rows_bytes for r in long)
            print(f"{way}: {args.rounds} rounds alternated, medians: long {seconds['long']:.2f} s, short "
                  f"{seconds['short']:.2f} s, ratio {seconds['long'] / seconds['short']:.2f} (goal <= 1.3); "
                  f"read from the folder {read:.2f}x the new CSV bytes "
                  f"({statistics.median(r['csv_bytes'] for r in long) / 2**20:.1f} MiB; goal <= 3), "
                  f"from every file {read_all:.2f}x; written {written:.2f}x the new rows as stored ({new_rows_bytes / 2**20:.1f} MiB; "
                  f"goal <= 3)", flush=True)
            del short
        shutil.rmtree(os.environ["VANTOREL_HOME"], ignore_errors=True)
    print(f"load {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    sys.exit(main())
