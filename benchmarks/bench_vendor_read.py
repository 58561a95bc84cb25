#!/usr/bin/env python
"""What reading a CSV file through the encoding choice costs (CPU time of the process), against reading it as UTF-8 alone.

One minute-bar file of ``--rows`` bars is parsed by the CSV import three ways, alternating in one
session: as UTF-8 with the encoding choice taken out (the floor), the same ASCII file through it,
and the file with a GBK header (Chinese column names, so read as GB18030). Medians and the ratios
to the floor are printed with the load.

    .venv/bin/python benchmarks/bench_vendor_read.py [--rows 300000] [--rounds 7]
"""
import argparse
import datetime
import io
import os
import tempfile
import time
from statistics import median

import numpy as np

from vantorel.sources import csv_import, vendor


def write(path, header, rows, encoding):
    start = datetime.datetime(2000, 1, 3, 9, 31)
    body = "".join(f"{start + datetime.timedelta(minutes=i):%Y-%m-%d %H:%M},10.01,10.02,9.99,10.00,{i % 997}\n"
                   for i in range(rows))
    with open(path, "wb") as f:
        f.write((header + "\n").encode(encoding) + body.encode())


def passing_through(binary, path):
    return binary


def timed(path, floor):
    real = vendor.Transcoded
    if floor:
        csv_import.vendor.Transcoded = passing_through
    try:
        start = time.process_time()
        csv_import._minutes(path, np.array([20261201], "i4"), False)
        return time.process_time() - start
    finally:
        vendor.Transcoded = real


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=300000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as scratch:
        ascii_file, gbk_file = os.path.join(scratch, "a.csv"), os.path.join(scratch, "g.csv")
        write(ascii_file, "datetime,open,high,low,close,volume", args.rows, "utf-8")
        write(gbk_file, "时间,开盘,最高,最低,收盘,成交量", args.rows, "gbk")
        runs = {"floor": [], "ascii": [], "gbk": []}
        for _ in range(args.rounds):
            runs["floor"].append(timed(ascii_file, True))
            runs["ascii"].append(timed(ascii_file, False))
            with vendor.reading(lambda text: None):
                runs["gbk"].append(timed(gbk_file, False))
        floor = median(runs["floor"])
        with open("/proc/loadavg") if os.path.exists("/proc/loadavg") else io.StringIO("?") as f:
            load = f.read().split()[0]
        print(f"{args.rows} bars, {args.rounds} rounds, load {load}")
        for name, times in runs.items():
            print(f"{name:6} median {median(times):.3f} s  ratio to floor {median(times) / floor:.3f}")


if __name__ == "__main__":
    main()
