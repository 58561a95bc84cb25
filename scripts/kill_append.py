"""Kill one-day incremental updates, and the conversions of an older release's bundle, with SIGKILL
at random moments, many times. After each kill the bundle is recovered the way any reader
recovers it, and every file must hold the data it held before the update or the data the update
gives it, never anything else; every few rounds a rerun must complete the bundle and check clean.

    PYTHONPATH=src .venv/bin/python scripts/kill_append.py [--kills 200] [--stocks 40] [--seed 1]

Half the rounds start from a bundle of the current format (in-place appends under the journal),
half from one of the older format (each file converted once, then appended to).
"""
import argparse
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

import numpy as np  # noqa: E402

from vantorel import tovi  # noqa: E402
from vantorel.ombrel.alpha import bundle  # noqa: E402
from vantorel.bundle import places, reading, validation  # noqa: E402
from vantorel.bundle import access  # noqa: E402

DAY_ONE, DAY_TWO = "2026-12-07T16:00", "2026-12-08T16:00"
UPDATE = """
import sys
from vantorel import tovi
from vantorel.ombrel.alpha import bundle
tovi.init("demo", "demo")
print("ready", flush=True)
codes = tuple(sys.argv[2].split(","))
sys.exit(0 if bundle.update_bundle_from_corvane(1, sys.argv[1], True, codes, codes[:3], False) else 1)
"""


def contents(path):
    """{(kind, code): data} of every series of the bundle path, read whole."""
    found = {("daybar", code): arr for _c, code, arr in reading.iter_daily(places.bundle_dir(path))}
    for kind, files in (("minbar", places.iter_minbar_files(path)), ("tick", places.iter_tick_files(path))):
        for _c, code, p in files:
            found[(kind, code)] = reading.read_data_file(p, kind)
    return found


def make_older(path):
    """Rewrite every series file as the older release wrote it: contiguous datasets, schema 1."""
    import h5py

    paths = [(k, p) for k, files in (("minbar", places.iter_minbar_files(path)), ("tick", places.iter_tick_files(path)))
             for _c, _code, p in files]
    paths += [("daybar", p) for _c, p in places.iter_daybar_files(places.bundle_dir(path))]
    for kind, p in paths:
        attrs = reading.read_file_attrs(p, kind)
        data = reading.read_daybar_file(p) if kind == "daybar" else {
            {"minbar": "bars", "tick": "ticks"}[kind]: reading.read_data_file(p, kind)}
        with h5py.File(p, "w", libver="latest") as f:
            for key, value in attrs.items():
                f.attrs[key] = value
            f.attrs["schema_version"] = 1
            for name, arr in data.items():
                f.create_dataset(name, data=arr)


def same(a, b):
    return a.dtype == b.dtype and np.array_equal(a, b)


def judge(path, before, after):
    """(old, new, damaged) counts of the series after a kill and recovery."""
    counts = [0, 0, 0]
    with access.reading(path):
        for kind, files in (("minbar", places.iter_minbar_files(path)), ("tick", places.iter_tick_files(path))):
            for _c, _code, p in files:
                if validation.inspect_data_file(p, kind) is not None:
                    counts[2] += 1
        now = contents(path)
    for key in set(before) | set(after):
        got = now.get(key)
        if got is None:
            counts[0 if key not in before else 2] += 1
        elif key in before and same(got, before[key]):
            counts[0] += 1
        elif key in after and same(got, after[key]):
            counts[1] += 1
        else:
            counts[2] += 1
    return counts


def run(kills, stocks, seed, rerun_every=10, quiet=False):
    rng = random.Random(seed)
    tovi.init("demo", "demo")
    totals, failures, rounds = [0, 0, 0], [], 0
    with tempfile.TemporaryDirectory() as tmp:
        sources = {}
        os.environ[storage_now_variable()] = DAY_ONE
        current = os.path.join(tmp, "current")
        from vantorel.sources import service

        codes = [i.order_book_id for i in service.EmbeddedService().instruments() if i.category == "stock"][:stocks]
        assert bundle.update_bundle_from_corvane(1, current, True, tuple(codes), tuple(codes[:3]), False)
        older = os.path.join(tmp, "older")
        shutil.copytree(current, older)
        make_older(older)
        sources = {"append": current, "migrate": older}
        before = contents(current)
        os.environ[storage_now_variable()] = DAY_TWO
        env = dict(os.environ, PYTHONPATH=SRC)
        reference = os.path.join(tmp, "reference")
        shutil.copytree(older, reference)
        # How long the update runs in a process of its own, from its first step: kills fall in there.
        proc = subprocess.Popen([sys.executable, "-c", UPDATE, reference, ",".join(codes)], env=env,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        proc.stdout.readline()
        started = time.monotonic()
        assert proc.wait() == 0
        span = time.monotonic() - started
        after = contents(reference)
        work = os.path.join(tmp, "work")
        while rounds < kills:
            mode = "append" if rounds % 2 == 0 else "migrate"
            shutil.rmtree(work, ignore_errors=True)
            shutil.copytree(sources[mode], work)
            proc = subprocess.Popen([sys.executable, "-c", UPDATE, work, ",".join(codes)], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            proc.stdout.readline()
            time.sleep(rng.uniform(0, span))
            if proc.poll() is not None:
                proc.wait()
                continue  # finished before the kill: not a round
            proc.send_signal(signal.SIGKILL)
            proc.wait()
            rounds += 1
            old, new, damaged = judge(work, before, after)
            totals = [totals[0] + old, totals[1] + new, totals[2] + damaged]
            if damaged:
                failures.append(f"round {rounds} ({mode}): {damaged} damaged series")
            if rounds % rerun_every == 0:
                ok = bundle.update_bundle_from_corvane(1, work, True, tuple(codes), tuple(codes[:3]), False)
                from vantorel import checks

                clean = not checks.check_min_bar_data(work) and not checks.check_daily_bar_data(
                    places.bundle_dir(work))
                if not ok or not clean or judge(work, {}, after)[2]:
                    failures.append(f"round {rounds} ({mode}): the rerun did not complete the bundle cleanly")
            if not quiet:
                print(f"round {rounds} ({mode}): {old} old, {new} new, {damaged} damaged", flush=True)
    tovi.sign_out()
    print(f"{rounds} kills: {totals[0]} series old, {totals[1]} new, {totals[2]} damaged; {len(failures)} failures")
    for failure in failures:
        print("FAIL", failure)
    return not failures


def storage_now_variable():
    from vantorel.sources import service

    return service.ENV_NOW


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kills", type=int, default=200)
    parser.add_argument("--stocks", type=int, default=40)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rerun-every", type=int, default=10)
    parser.add_argument("--quiet", action="store_true")
    args = parser.parse_args()
    sys.exit(0 if run(args.kills, args.stocks, args.seed, args.rerun_every, args.quiet) else 1)


if __name__ == "__main__":
    main()
