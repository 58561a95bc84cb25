"""What each HDF5 filter and chunk size costs and saves, per kind of row, on the rows of ``market_rows``.

    PYTHONPATH=src .venv/bin/python benchmarks/compression.py [--rounds 3] [--kinds daybar minbar tick]

For every (filters, chunk rows) candidate and kind: bytes a row on disk; writing the files whole;
appending one more day to each file (open, grow, write, close); reading each file whole. The
candidates take turns within each round; medians are printed, with times as ratios to the first
candidate (the layout the kit wrote before). The ``hdf5plugin`` codecs are measured when it is installed.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import h5py  # noqa: E402
import market_rows  # noqa: E402

SIZES = {"daybar": (200, 1250), "minbar": (40, 60), "tick": (10, 10)}  # (stocks, days)


def candidates():
    found = [("none", {}, None),
             ("shuffle+deflate1", {"shuffle": True, "compression": "gzip", "compression_opts": 1}, None),
             ("shuffle+deflate4", {"shuffle": True, "compression": "gzip", "compression_opts": 4}, None),
             ("shuffle+deflate6", {"shuffle": True, "compression": "gzip", "compression_opts": 6}, None),
             ("deflate4", {"compression": "gzip", "compression_opts": 4}, None)]
    try:
        import hdf5plugin
    except ImportError:
        return found
    found += [("blosc2-lz4+shuffle", dict(hdf5plugin.Blosc2(cname="lz4", clevel=5, filters=hdf5plugin.Blosc2.SHUFFLE)), None),
              ("blosc2-zstd+shuffle", dict(hdf5plugin.Blosc2(cname="zstd", clevel=5, filters=hdf5plugin.Blosc2.SHUFFLE)), None),
              ("blosc-zstd+shuffle", dict(hdf5plugin.Blosc(cname="zstd", clevel=5, shuffle=hdf5plugin.Blosc.SHUFFLE)), None),
              ("shuffle+zstd3", dict(hdf5plugin.Zstd(clevel=3), shuffle=True), None),
              ("shuffle+lz4", dict(hdf5plugin.LZ4(), shuffle=True), None),
              ("bitshuffle-lz4", dict(hdf5plugin.Bitshuffle(cname="lz4")), None)]
    return found


def rows_of(kind, stock, days):
    if kind == "daybar":
        return market_rows.daily_rows(stock, days)
    return market_rows.stock_history(stock, days, kind)


def one_round(kind, work, options, chunk, data, new):
    target = tempfile.mkdtemp(dir=work)
    paths = [os.path.join(target, f"{i}.h5") for i in range(len(data))]
    os.sync()
    started = time.perf_counter()
    for path, rows in zip(paths, data):
        with h5py.File(path, "w", libver=("earliest", "v110")) as f:
            f.create_dataset("rows", data=rows, chunks=(chunk,), maxshape=(None,), **options)
    write = time.perf_counter() - started
    size = sum(os.path.getsize(p) for p in paths)
    started = time.perf_counter()
    for path, rows in zip(paths, new):
        with h5py.File(path, "a") as f:
            ds = f["rows"]
            n = ds.shape[0]
            ds.resize((n + len(rows),))
            ds[n:] = rows
    append = time.perf_counter() - started
    started = time.perf_counter()
    for path in paths:
        with h5py.File(path, "r") as f:
            f["rows"][:]
    read = time.perf_counter() - started
    shutil.rmtree(target)
    return {"write": write, "append": append, "read": read, "size": size}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--kinds", nargs="+", default=list(SIZES))
    parser.add_argument("--chunks", type=int, nargs="+", default=None, help="chunk rows to try (default: the kit's, x4)")
    args = parser.parse_args()
    from vantorel.bundle.places import CHUNK_ROWS

    work = tempfile.mkdtemp(prefix="codecs-")
    print(f"load {open('/proc/loadavg').read().split()[:3]}")
    try:
        for kind in args.kinds:
            stocks, count = SIZES[kind]
            days = market_rows.trading_days(count + 1)
            if kind == "daybar":
                whole = [rows_of(kind, s, days) for s in range(stocks)]
                data, new = [w[:-1] for w in whole], [w[-1:] for w in whole]
            else:
                data = [rows_of(kind, s, days[:-1]) for s in range(stocks)]
                new = [rows_of(kind, s, days[-1:]) for s in range(stocks)]
            rows = sum(len(d) for d in data)
            chunks = args.chunks or [CHUNK_ROWS[kind], CHUNK_ROWS[kind] * 4]
            runs = {}
            for _ in range(args.rounds):
                for name, options, _unused in candidates():
                    for chunk in chunks:
                        runs.setdefault((name, chunk), []).append(one_round(kind, work, options, chunk, data, new))
            print(f"\n{kind}: {stocks} files, {rows} rows, {data[0].dtype.itemsize} bytes a row in memory")
            base = None
            for (name, chunk), results in runs.items():
                med = {key: statistics.median(r[key] for r in results) for key in results[0]}
                base = base or med
                print(f"  {name:22s} chunk {chunk:5d}: {med['size'] / rows:6.1f} B/row; write x{med['write'] / base['write']:.2f}, "
                      f"append x{med['append'] / base['append']:.2f}, read x{med['read'] / base['read']:.2f} "
                      f"({med['write']:.3f} / {med['append']:.3f} / {med['read']:.3f} s)", flush=True)
        print(f"load at the end {open('/proc/loadavg').read().split()[:3]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
