"""Readers in a loop while real updates append to the very files they read, in another process."""
import os
import subprocess
import sys
import textwrap

import numpy as np

import vantorel
from vantorel import data, tovi
from vantorel.checks import check_min_bar_data
from vantorel.market.calendar import trading_dates
from vantorel.ombrel.alpha import bundle
from vantorel.sources import service

SRC = os.path.dirname(os.path.dirname(vantorel.__file__))
FIRST, LAST = 20261130, 20261208
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


def test_readers_are_served_old_or_new_files_while_updates_commit(tmp_path, monkeypatch, capsys):
    days = [d for d in trading_dates(FIRST, LAST)]
    path = str(tmp_path / "bundle-path")
    monkeypatch.setenv(service.ENV_NOW, iso(days[0]) + "T16:00")
    tovi.init("demo", "demo")
    try:
        assert bundle.update_bundle_from_corvane(2, path, True, ("stock",), (), False)
    finally:
        tovi.sign_out()
    opened = data.open(path)
    codes = sorted(set(opened.instruments().query("category == 'stock'").index) & set(
        os.path.splitext(name)[0] for name in os.listdir(os.path.join(path, "minbar", "stock"))))
    said = tmp_path / "updates.err"
    with open(said, "w") as err:
        updater = subprocess.Popen([sys.executable, "-c", textwrap.dedent(UPDATES), path, *map(iso, days[1:])],
                                   env=dict(os.environ, PYTHONPATH=SRC), stdout=subprocess.DEVNULL, stderr=err)
    minute_reads, daily_reads = [], []
    try:
        while updater.poll() is None:
            code = codes[len(minute_reads) % len(codes)]
            minute_reads.append((code, data.minute_bars(code.lower(), bundle_path=path)))
            daily_reads.append(opened.get(codes, ["close", "volume"], form="numpy"))
            if len(minute_reads) % 25 == 0:
                check_min_bar_data(path)  # a check during an update runs too
    finally:
        updater.wait()
    assert updater.returncode == 0, said.read_text()
    capsys.readouterr()
    # Each read is some update's result: the final series cut at the end of a trading day, and
    # every day an update reached is seen at least by the readers as a whole.
    ends = {0, *days}
    for code, rows in minute_reads:
        final = data.minute_bars(code, bundle_path=path)
        np.testing.assert_array_equal(rows, final[:len(rows)], err_msg=code)
        assert (int(rows["trading_date"][-1]) if len(rows) else 0) in ends, code
    final = opened.get(codes, ["close", "volume"], form="numpy")
    for read in daily_reads:
        for code in codes:
            np.testing.assert_array_equal(read[code], final[code][:len(read[code])], err_msg=code)
    seen = {int(rows["trading_date"][-1]) for _code, rows in minute_reads if len(rows)}
    assert len(minute_reads) >= 20 and len(seen) >= 2


READER = """
    import sys
    from vantorel.bundle import access
    with access.reading(sys.argv[1]):
        print("read")
"""


def test_a_reader_goes_on_beside_an_update_that_is_committing_while_others_read(tmp_path, monkeypatch):
    # The update's journal is its change in progress, not a killed writer's to recover: a reader
    # does not wait for the layout lock alone, which this process's shared hold would keep from it.
    import threading

    from vantorel.bundle import access, appending, locks, overlay, reading, writing
    from vantorel.market import schemas

    path = str(tmp_path / "bundle-path")
    code = "000001.XSHE"
    rows = np.zeros(3, schemas.minbar_dtype())
    rows["datetime"], rows["trading_date"] = [20261208093100, 20261208093200, 20261208093300], 20261208
    writing.write_minbar(path, "stock", code, rows[:2])
    journaled, release = threading.Event(), threading.Event()
    real_write_all, writes = overlay.pwrite_all, []

    def held_write_all(fd, data, offset):
        writes.append(data)
        if len(writes) == 2:  # the journal is on disk; the file's bytes are next
            journaled.set()
            release.wait()
        return real_write_all(fd, data, offset)

    monkeypatch.setattr(overlay, "pwrite_all", held_write_all)

    def update():
        with access.updating(path):
            appending.append_series(path, "minbar", "stock", code, rows[2:])

    writer = threading.Thread(target=update)
    writer.start()
    try:
        assert journaled.wait(30)
        with locks.bundle_lock(path, exclusive=False):  # another reader at work
            read = subprocess.run([sys.executable, "-c", textwrap.dedent(READER), path], capture_output=True, text=True,
                                  env=dict(os.environ, PYTHONPATH=SRC, VANTOREL_SWAP_WAIT="2"), timeout=60)
    finally:
        release.set()
        writer.join()
    assert (read.returncode, read.stdout) == (0, "read\n"), read.stderr
    assert len(reading.read_minbar(writing.minbar_path(path, "stock", code))) == 3


def test_a_file_replaced_whole_between_its_open_and_hdf5_s_is_read_as_the_new_one(tmp_path, monkeypatch):
    # HDF5 resolves the name of the descriptor it is given, which leads nowhere once an update has
    # renamed a new file over the one opened: the reader reads the new one, not an error.
    from vantorel.bundle import hdf5, reading, writing
    from vantorel.market import schemas

    path = str(tmp_path / "bundle-path")
    rows = np.zeros(3, schemas.minbar_dtype())
    rows["datetime"], rows["trading_date"] = [20261208093100, 20261208093200, 20261208093300], 20261208
    file = writing.write_minbar(path, "stock", "000001.XSHE", rows[:2])
    real_hold = hdf5.hold_for_reading
    replaced = []

    def replaced_while_held(fd, name):
        if not replaced:
            replaced.append(writing.write_minbar(path, "stock", "000001.XSHE", rows))
        return real_hold(fd, name)

    monkeypatch.setattr(hdf5, "hold_for_reading", replaced_while_held)
    np.testing.assert_array_equal(reading.read_minbar(file), rows)
