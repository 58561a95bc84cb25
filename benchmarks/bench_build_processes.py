"""Whether first builds go faster spread over processes: ``--files`` minute-bar files of ``--days``
days each written through the kit (pieces, a committer, fsync) by one process, then by ``--processes``
processes sharing them out, taking turns ``--rounds`` times.

    PYTHONPATH=src .venv/bin/python benchmarks/bench_build_processes.py [--files 200] [--days 250] [--rounds 3]

h5py runs every HDF5 call under one lock, so threads of one process cannot compress or write two
files at once; processes each have their own. Every process writes the same history under other
names (made before the clock starts), so the comparison is of the writing alone. The time of a
build is that of its slowest process, all started together.
"""
import argparse
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


def worker(root, first, count, days):
    from vantorel.bundle import places, writing

    pieces = list(market_rows.history_pieces(0, market_rows.trading_days(days)))
    sys.stdin.readline()  # every process ready: go
    started = time.perf_counter()
    committer = writing.Committer()
    for stock in range(first, first + count):
        code = market_rows.code_of(stock)
        writing.write_data_file(places.minbar_path(root, "stock", code), "minbar", "stock", code, iter(pieces), committer)
    assert not committer.failures(wait=True)
    committer.close()
    print(time.perf_counter() - started)


def build(root, files, days, processes):
    os.sync()
    share = -(-files // processes)
    procs = [subprocess.Popen([sys.executable, __file__, "--worker", root, str(first), str(min(share, files - first)),
                               str(days)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
             for first in range(0, files, share)]
    time.sleep(2)  # imports and rows made
    for proc in procs:
        proc.stdin.write("go\n")
        proc.stdin.flush()
    seconds = [float(proc.communicate()[0]) for proc in procs]
    if any(proc.returncode for proc in procs):
        raise SystemExit("a worker failed")
    return max(seconds)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--files", type=int, default=200)
    parser.add_argument("--days", type=int, default=250)
    parser.add_argument("--processes", type=int, default=2)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="build-processes-")
    times = {1: [], args.processes: []}
    print(f"load {open('/proc/loadavg').read().split()[:3]}; {args.files} files of {args.days} days", flush=True)
    try:
        for _ in range(args.rounds):
            for processes in times:
                root = os.path.join(work, str(processes))
                times[processes].append(build(root, args.files, args.days, processes))
                shutil.rmtree(root)
                print(f"  {processes} process(es): {times[processes][-1]:.2f}s", flush=True)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    one = statistics.median(times[1])
    for processes, runs in times.items():
        print(f"{processes} process(es): median {statistics.median(runs):.2f}s, x{one / statistics.median(runs):.2f} "
              "the speed of one")
    print(f"load at the end {open('/proc/loadavg').read().split()[:3]}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        root, first, count, days = sys.argv[2:]
        worker(root, int(first), int(count), int(days))
    else:
        main()
