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
