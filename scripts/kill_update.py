"""Kill updates with SIGKILL at random moments, many times, and check that a rerun always ends
with the same complete bundle as an update that was never interrupted.

    PYTHONPATH=src .venv/bin/python scripts/kill_update.py [--rounds 50] [--seed 1]

Each round starts on the bundle the previous round left (so kills pile up) and checks that every
committed file is whole; every --rerun-every rounds a rerun must complete the bundle, which is then
compared with the reference and thrown away, so the next rounds start from nothing again.
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
from vantorel.sources import service  # noqa: E402

SELECTION = dict(base=True, minbar=("stock", "futures", "option"), tick=("stock", "JD"), with_derivatives=False)
UPDATE = ("import sys; from vantorel import tovi; from vantorel.ombrel.alpha import bundle;"
          "tovi.init('demo', 'demo');"
          f"sys.exit(0 if bundle.update_bundle_from_corvane(2, sys.argv[1], {SELECTION['base']}, "
          f"{SELECTION['minbar']!r}, {SELECTION['tick']!r}, False) else 1)")


def files(path):
    for kind, found in (("minbar", places.iter_minbar_files(path)), ("tick", places.iter_tick_files(path))):
        for cat, code, p in found:
            yield kind, cat, code, p


def snapshot(path):
    data = {("daybar", c, code): a for c, code, a in reading.iter_daily(places.bundle_dir(path))}
    data.update({(k, c, code): reading.read_data_file(p, k) for k, c, code, p in files(path)})
    return data


def same(a, b):
    return sorted(a) == sorted(b) and all(np.array_equal(a[k], b[k]) for k in a)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--rerun-every", type=int, default=10)
    parser.add_argument("--max-delay", type=float, default=2.0)
    args = parser.parse_args()
    os.environ.setdefault(service.ENV_NOW, "2026-12-08T16:00")
    env = dict(os.environ, PYTHONPATH=SRC)
    rng = random.Random(args.seed)
    tovi.init("demo", "demo")
    with tempfile.TemporaryDirectory() as tmp:
        reference = os.path.join(tmp, "reference")
        assert bundle.update_bundle_from_corvane(2, reference, **{k: v for k, v in SELECTION.items()})
        expected = snapshot(reference)
        path = os.path.join(tmp, "killed")
        kills = failures = 0
        for n in range(1, args.rounds + 1):
            proc = subprocess.Popen([sys.executable, "-c", UPDATE, path], env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.05, args.max_delay))
            if proc.poll() is None:
                proc.send_signal(signal.SIGKILL)
                kills += 1
            proc.wait()
            broken = [p for k, _c, _code, p in files(path) if validation.inspect_data_file(p, k) is not None]
            if broken:
                failures += 1
                print(f"round {n}: damaged files after a kill: {broken}")
            if n % args.rerun_every == 0 or n == args.rounds:
                ok = bundle.update_bundle_from_corvane(2, path, **SELECTION)
                if not ok or not same(snapshot(path), expected):
                    failures += 1
                    print(f"round {n}: rerun did not give the complete bundle")
                shutil.rmtree(path)
        print(f"{args.rounds} rounds, {kills} kills, {failures} failures")
        return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
