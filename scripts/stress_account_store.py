"""Stress the kit's account store with real processes, under umask 000.

    .venv/bin/python scripts/stress_account_store.py [--writers 50] [--writes 40] [--kills 500]

1. Concurrent writers: every writer process stores distinct variables, so a write lost to a race
   stays missing at the end; meanwhile a reader parses the store without the lock, over and over,
   and must never find it unparseable, shrunk or readable by others.
2. Killed writers: a writer storing one variable over and over is SIGKILLed at a random moment;
   the store must then hold the old value or the new one, keep every other variable, and the next
   write must leave no temp file behind.
3. Modes: the store stays 0600 in a 0700 directory throughout.

The functions take counts so that the test suite runs the same checks scaled down. Each works on the
kit home that VANTOREL_HOME names at the time of the call and returns its figures with a list of
violations, empty when everything held.
"""
import argparse
import json
import os
import random
import signal
import stat
import subprocess
import sys
import tempfile
import time

try:
    import vantorel
except ImportError:  # run from a checkout before the package is installed
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src"))
    import vantorel

from vantorel.ombrel.sdk import license_helper

PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(vantorel.__file__)))
KILLED_NAME = "VANTOREL_STRESS_KILLED"
SENTINEL_NAME = "VANTOREL_STRESS_SENTINEL"


def _value(writer, index):
    # Awkward on purpose: colons, quotes, a newline, non-ASCII and a backslash all have to survive.
    return f'w{writer}:"{index}"\n$中\\'


def _spawn(*args):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE_ROOT, env.get("PYTHONPATH")]))
    return subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--worker", *args],
        env=env, stdout=subprocess.PIPE, text=True,
    )


def _mode_violations():
    path = license_helper.store_path()
    found = []
    for target, wanted in ((path, 0o600), (os.path.dirname(path), 0o700)):
        try:
            mode = stat.S_IMODE(os.stat(target).st_mode)
        except FileNotFoundError:
            continue
        if mode != wanted:
            found.append(f"{target} has mode {mode:o}, not {wanted:o}")
    return found


def _temps():
    directory = os.path.dirname(license_helper.store_path())
    return [name for name in os.listdir(directory) if name.endswith(license_helper.TEMP_SUFFIX)]


def _read_store():
    with open(license_helper.store_path(), "rb") as file:
        return json.loads(file.read().decode("utf-8"))


# Worker processes; each is this script run with "--worker".

def _write_worker(writer, writes, go_path):
    writer, writes = int(writer), int(writes)
    print("ready", flush=True)
    while not os.path.exists(go_path):
        time.sleep(0.001)
    for index in range(writes):
        license_helper.set_to_environ(f"VANTOREL_STRESS_{writer}_{index}", _value(writer, index))
    print("done", flush=True)


def _read_worker(stop_path):
    path = license_helper.store_path()
    reads = absent = 0
    seen = set()
    violations = []
    print("ready", flush=True)
    while True:
        stopping = os.path.exists(stop_path)
        try:
            with open(path, "rb") as file:
                raw = file.read()
        except FileNotFoundError:
            absent += 1
            if seen:
                violations.append("the store vanished after it had been written")
        else:
            reads += 1
            try:
                names = set(json.loads(raw.decode("utf-8")))
            except ValueError as error:
                violations.append(f"unparseable store ({len(raw)} bytes): {error}")
            else:
                if not seen <= names:
                    violations.append(f"variables disappeared: {sorted(seen - names)[:5]}")
                seen |= names
        violations.extend(_mode_violations())
        if stopping or len(violations) > 20:
            break
    print(json.dumps({"reads": reads, "absent": absent, "violations": violations}), flush=True)


def _killed_worker(first):
    # The store imports these on its first write; importing them first spreads the kills over the
    # file operations instead of spending most of them inside a one-off import.
    import filelock  # noqa: F401
    import tempfile  # noqa: F401

    index = int(first)
    print("ready", flush=True)
    while True:
        license_helper.set_to_environ(KILLED_NAME, str(index))
        print(index, flush=True)
        index += 1


# The checks.

def concurrent_writes(writers=50, writes=40):
    """Writers store distinct variables at the same time while a reader parses the store."""
    violations = []
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="stress-control-") as control:
        go_path, stop_path = os.path.join(control, "go"), os.path.join(control, "stop")
        reader = _spawn("read", stop_path)
        workers = [_spawn("write", str(writer), str(writes), go_path) for writer in range(writers)]
        for process in [reader, *workers]:
            process.stdout.readline()
        open(go_path, "w").close()
        for writer, process in enumerate(workers):
            output = process.communicate()[0]
            if output.strip() != "done" or process.returncode != 0:
                violations.append(f"writer {writer} failed with status {process.returncode}")
        open(stop_path, "w").close()
        reader_output = reader.communicate()[0].strip()
    elapsed = time.monotonic() - started
    figures = json.loads(reader_output) if reader_output else {"reads": 0, "absent": 0, "violations": ["reader died"]}
    violations.extend(figures.pop("violations"))
    stored = _read_store()
    expected = {f"VANTOREL_STRESS_{w}_{i}": _value(w, i) for w in range(writers) for i in range(writes)}
    lost = [name for name, value in expected.items() if stored.get(name) != value]
    if lost:
        violations.append(f"{len(lost)} writes lost or changed, e.g. {lost[:5]}")
    violations.extend(_mode_violations())
    return {
        "writers": writers,
        "writes": writers * writes,
        "writes_found": len(expected) - len(lost),
        "reads": figures["reads"],
        "reads_before_first_write": figures["absent"],
        "elapsed_s": round(elapsed, 2),
        "violations": violations,
    }


def killed_writes(kills=500, max_delay=0.03, seed=None):
    """SIGKILL a busy writer at random moments; the store must hold the old or the new value."""
    rng = random.Random(seed)
    violations = []
    mid_write = took_new = 0
    started = time.monotonic()
    stored_value = 0
    for round_number in range(kills):
        # The sentinel is written from this process, between kills: it must survive every kill, and
        # this write is the one that has to clear a temp file the killed writer left behind.
        license_helper.set_to_environ(SENTINEL_NAME, f"round {round_number}")
        os.environ.pop(SENTINEL_NAME, None)
        left = _temps()
        if left:
            violations.append(f"round {round_number}: temp files outlived a write: {left}")
        worker = _spawn("killed", str(stored_value + 1))
        worker.stdout.readline()
        time.sleep(rng.uniform(0, max_delay))
        worker.send_signal(signal.SIGKILL)
        reported = [int(line) for line in worker.communicate()[0].split()]
        old = reported[-1] if reported else stored_value
        if _temps():
            mid_write += 1
        try:
            stored = _read_store()
        except ValueError as error:
            violations.append(f"round {round_number}: unparseable store after a kill: {error}")
            break
        value = stored.get(KILLED_NAME)
        if value not in (str(old), str(old + 1)) and not (value is None and old == 0):
            violations.append(f"round {round_number}: stored {value!r}, expected {old} or {old + 1}")
        if value == str(old + 1):
            took_new += 1
        stored_value = int(value) if value and value.isdigit() else stored_value
        if stored.get(SENTINEL_NAME) != f"round {round_number}":
            violations.append(f"round {round_number}: the sentinel became {stored.get(SENTINEL_NAME)!r}")
        violations.extend(f"round {round_number}: {v}" for v in _mode_violations())
    license_helper.set_to_environ(SENTINEL_NAME, "done")
    os.environ.pop(SENTINEL_NAME, None)
    if _temps():
        violations.append(f"temp files outlived the last write: {_temps()}")
    return {
        "kills": kills,
        "kills_leaving_a_temp_file": mid_write,
        "kills_after_the_new_value_landed": took_new,
        "values_written_by_killed_writers": stored_value,
        "elapsed_s": round(time.monotonic() - started, 2),
        "violations": violations,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--writers", type=int, default=50)
    parser.add_argument("--writes", type=int, default=40, help="writes per writer")
    parser.add_argument("--kills", type=int, default=500)
    parser.add_argument("--max-delay", type=float, default=0.03, help="latest kill, seconds after the writer starts")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.worker:
        kind, *rest = args.worker
        {"write": _write_worker, "read": _read_worker, "killed": _killed_worker}[kind](*rest)
        return 0
    os.umask(0)
    print("umask 000; the store must stay 0600 and its directory 0700 at every read and after every kill")
    with tempfile.TemporaryDirectory(prefix="stress-account-store-") as home:
        os.environ["VANTOREL_HOME"] = home
        results = {
            "concurrent": concurrent_writes(args.writers, args.writes),
            "killed": killed_writes(args.kills, args.max_delay),
        }
    for phase, figures in results.items():
        violations = figures.pop("violations")
        print(f"{phase}: " + ", ".join(f"{k}={v}" for k, v in figures.items()) + f", violations={len(violations)}")
        for violation in violations[:10]:
            print(f"  {violation}")
        figures["violations"] = violations
    return 1 if any(figures["violations"] for figures in results.values()) else 0


if __name__ == "__main__":
    sys.exit(main())
