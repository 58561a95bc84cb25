"""check-data (both checks) on one bundle, this tree's checks against those of an earlier revision,
or this tree's in one process against the same spread over ``--workers`` processes, in turns.

Builds a bundle of about ``--bars`` minute bars with bench_check's builder (stocks and futures,
daily bars aggregated from the minutes), exports the earlier revision's sources with ``git
archive``, then runs each tree's ``check_min_bar_data`` and ``check_daily_bar_data`` in a process of
its own, alternating (A, B, A, B, ...), and prints the medians and their ratio.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_check_revisions.py --before 72e9c4b --bars 12000000
    PYTHONPATH=src .venv/bin/python benchmarks/bench_check_revisions.py --workers 2 --bars 12000000
    PYTHONPATH=src .venv/bin/python benchmarks/bench_check_revisions.py --before 72e9c4b --floor --bars 3300000 --days 60
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "src"))
sys.path.insert(0, HERE)

import bench_check  # noqa: E402

RUN = """
import sys
# An editable install's finder answers for vantorel before PYTHONPATH is looked at: without it,
# every tree named would run the installed one.
sys.meta_path[:] = [f for f in sys.meta_path if f.__module__ in ("_frozen_importlib", "_frozen_importlib_external")]
import contextlib, io, os, time
import vantorel
if not vantorel.__file__.startswith(os.environ["PYTHONPATH"]):
    sys.exit("vantorel was imported from " + vantorel.__file__)
from vantorel.bundle import places
from vantorel.checks import check_daily_bar_data, check_min_bar_data
if sys.argv[2] == "floor":
    # The minute-bar check and its floor in turns, in this process: their times.
    sys.path.insert(0, sys.argv[3])
    import bench_check
    with contextlib.redirect_stdout(io.StringIO()):
        check_min_bar_data(sys.argv[1])
    started = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        found = check_min_bar_data(sys.argv[1])
    check = time.perf_counter() - started
    started = time.perf_counter()
    found += bench_check.plain_scan(sys.argv[1])
    print(check, time.perf_counter() - started, len(found))
    sys.exit()
started = time.perf_counter()
with contextlib.redirect_stdout(io.StringIO()):
    found = check_min_bar_data(sys.argv[1]) + check_daily_bar_data(places.bundle_dir(sys.argv[1]))
print(time.perf_counter() - started, len(found))
"""

BARS_PER_INSTRUMENT_DAY = 240  # a stock's day; the futures' night sessions make theirs longer


def timed_check(src, path, workers, floor=False):
    """Seconds both checks took (with ``floor``: the floor's over the minute-bar check's), and
    the anomalies found."""
    out = subprocess.run([sys.executable, "-c", RUN, path, "floor" if floor else "both", HERE],
                         env=dict(os.environ, PYTHONPATH=src, VANTOREL_CHECK_WORKERS=str(workers)),
                         capture_output=True, text=True, check=True)
    *seconds, found = out.stdout.split()
    return (float(seconds[1]) / float(seconds[0]) if floor else float(seconds[0])), int(found)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    which = parser.add_mutually_exclusive_group(required=True)
    which.add_argument("--before", help="the earlier revision (a git commit), checked in one process as this tree is")
    which.add_argument("--workers", type=int, help="processes this tree's check is spread over, against one")
    parser.add_argument("--bars", type=int, default=12_000_000)
    parser.add_argument("--days", type=int, default=120)
    parser.add_argument("--futures", type=int, default=20)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--floor", action="store_true",
                        help="each tree's minute-bar check against bench_check's floor, in the same process")
    args = parser.parse_args()
    print(f"cpus {os.cpu_count()}, load {os.getloadavg()[0]:.1f} at start", flush=True)
    with tempfile.TemporaryDirectory(prefix="bench-check-revisions-") as work:
        now = os.path.join(ROOT, "src")
        if args.before:
            before_src = os.path.join(work, "before")
            os.makedirs(before_src)
            archive = subprocess.run(["git", "-C", ROOT, "archive", args.before, "src"], capture_output=True, check=True)
            subprocess.run(["tar", "-x", "-C", before_src], input=archive.stdout, check=True)
            runs = {f"before ({args.before})": (os.path.join(before_src, "src"), 1), "now": (now, 1)}
        else:
            runs = {"one process": (now, 1), f"{args.workers} processes": (now, args.workers)}
        path = os.path.join(work, "bundle")
        stocks = max(1, args.bars // (BARS_PER_INSTRUMENT_DAY * args.days) - args.futures)
        started = time.perf_counter()
        minute_bars, daily_bars = bench_check.build(path, stocks, args.futures, args.days)
        print(f"bundle: {stocks + args.futures} instruments, {minute_bars:,} minute bars, {daily_bars:,} daily bars "
              f"(built in {time.perf_counter() - started:.0f} s)", flush=True)
        seconds = {name: [] for name in runs}
        for _ in range(args.rounds):
            for name, (src, workers) in runs.items():
                took, found = timed_check(src, path, workers, args.floor)
                if found:
                    sys.exit(f"the checks ({name}) found {found} anomalies in a clean bundle")
                seconds[name].append(took)
        if args.floor:
            print(f"the minute-bar check against its floor, {args.rounds} rounds alternated, medians of the rounds' "
                  "ratios (the floor's time over the check's): " + ", ".join(
                      f"{name} x{statistics.median(ratios):.2f} ({min(ratios):.2f}-{max(ratios):.2f})"
                      for name, ratios in seconds.items()))
            print(f"load {os.getloadavg()[0]:.1f} at the end")
            return
        (a, a_runs), (b, b_runs) = ((name, seconds[name]) for name in runs)
        # On a shared machine the load moves between rounds: each round's own ratio is steadier.
        paired = statistics.median(later / first for first, later in zip(a_runs, b_runs))
        print(f"check-data, both checks, {args.rounds} rounds alternated, medians: {a} {statistics.median(a_runs):.2f} s, "
              f"{b} {statistics.median(b_runs):.2f} s ({b} takes x{statistics.median(b_runs) / statistics.median(a_runs):.2f} "
              f"the time; median of the rounds' ratios x{paired:.2f})")
    print(f"load {os.getloadavg()[0]:.1f} at the end")


if __name__ == "__main__":
    main()
