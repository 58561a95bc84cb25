import datetime
import json
import os

import pytest
from test_checks import Bundle, _set, spoil_minutes

from vantorel.errors import VantorelError
from vantorel.checks import findings, report_file
from vantorel.bundle import staging
from vantorel.checks import KINDS, Anomaly, check_daily_bar_data, check_min_bar_data

KEYS = {"file", "instrument", "kind", "description", "count", "examples"}


@pytest.fixture
def bundle(tmp_path):
    return Bundle(tmp_path / "bundle-path")


def read_report(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f]


@pytest.mark.parametrize("which", ["minbar", "daybar"])
def test_report_holds_one_line_per_finding_and_its_path_is_printed_last(bundle, capsys, which):
    spoil_minutes(bundle, "000001.XSHE", _set("high", 30, 1.0))
    spoil_minutes(bundle, "M2405", _set("volume", 43, -1))
    bundle.daily["600000.XSHG"]["close"][5] *= 1.5
    bundle.write_daily()
    capsys.readouterr()
    found = check_min_bar_data(bundle.path) if which == "minbar" else check_daily_bar_data(bundle.dir)
    path = capsys.readouterr().out.splitlines()[-1]
    assert os.path.dirname(path) == os.path.join(bundle.path, "reports")
    assert path.endswith("-{}.jsonl".format(which))
    records = read_report(path)
    assert found and len(records) == len(found)
    assert all(set(r) == KEYS for r in records)
    assert sorted((r["file"], r["instrument"], r["kind"], r["count"]) for r in records) == sorted(
        (a.file, a.code, a.kind, a.count) for a in found)
    stamp = "datetime" if which == "minbar" else "date"
    assert all(stamp in e for r in records if r["kind"] in ("ohlc", "jump", "negative_volume") for e in r["examples"])


@pytest.mark.parametrize("example, text, record", [
    (findings.minute_example(20240201093100).then("O1 H2 L0.5 C1"), "2024-02-01 09:31 O1 H2 L0.5 C1",
     {"datetime": "2024-02-01T09:31:00", "detail": "O1 H2 L0.5 C1"}),
    (findings.minute_example(20240201093100), "2024-02-01 09:31", {"datetime": "2024-02-01T09:31:00", "detail": ""}),
    (findings.day_example(20240201).then("+30.0%"), "2024-02-01 +30.0%", {"date": "2024-02-01", "detail": "+30.0%"}),
    # A session's span after its day is no time of the finding.
    (findings.day_example(20240201).then("09:31-11:30 119/120"), "2024-02-01 09:31-11:30 119/120",
     {"date": "2024-02-01", "detail": "09:31-11:30 119/120"}),
    ("rows=5，数据为 6", "rows=5，数据为 6", {"detail": "rows=5，数据为 6"}),
    # A day most series lack: the day is the whole point of the finding.
    (findings.day_example(20240201).then("6 个合约都没有数据", sep="："), "2024-02-01：6 个合约都没有数据",
     {"date": "2024-02-01", "detail": "6 个合约都没有数据"}),
    # A text that only looks like a time is not read as one.
    ("2024-02-01 written by hand", "2024-02-01 written by hand", {"detail": "2024-02-01 written by hand"}),
])
def test_examples_carry_their_time_from_the_check_to_the_report(example, text, record):
    assert (example, report_file.example_record(example)) == (text, record)


def test_a_clean_run_writes_an_empty_report_and_old_ones_are_pruned(tmp_path):
    now = datetime.datetime(2026, 12, 8, 16, 0, 0)
    paths = [report_file.write_report(str(tmp_path), "minbar", [], KINDS, now) for _ in range(report_file.KEEP + 2)]
    # Same second: later runs get their own names rather than overwriting.
    assert len(set(paths)) == len(paths)
    kept = sorted(os.listdir(report_file.reports_dir(str(tmp_path))))
    assert len(kept) == report_file.KEEP and os.path.basename(paths[-1]) in kept
    assert os.path.basename(paths[0]) not in kept
    assert read_report(paths[-1]) == []
    daybar = report_file.write_report(str(tmp_path), "daybar", [Anomaly("f.h5", "", "calendar", 1, ())], KINDS, now)
    assert read_report(daybar)[0]["instrument"] is None
    gap = report_file.write_report(str(tmp_path), "daybar", [Anomaly("", "", "market_gap", 6, ())], KINDS, now)
    assert read_report(gap)[0]["file"] is None
    assert len(os.listdir(report_file.reports_dir(str(tmp_path)))) == report_file.KEEP + 2


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a file to another user")
def test_another_user_s_reports_dated_ahead_neither_count_nor_prune_the_new_one(tmp_path):
    directory = report_file.reports_dir(str(tmp_path))
    os.makedirs(directory)
    theirs = [f"check-29991231-000000-{n}-minbar.jsonl" for n in range(1, report_file.KEEP + 1)]
    for name in theirs:
        with open(os.path.join(directory, name), "w") as f:
            f.write("")
        os.chown(os.path.join(directory, name), 4321, 4321)
    now = datetime.datetime(2026, 12, 8, 16, 0, 0)
    paths = [report_file.write_report(str(tmp_path), "minbar", [], KINDS, now) for _ in range(report_file.KEEP + 1)]
    kept = set(os.listdir(directory))
    assert set(theirs) <= kept and os.path.basename(paths[-1]) in kept and os.path.basename(paths[0]) not in kept


def test_a_failed_write_leaves_nothing_and_the_check_still_returns(bundle, capsys, monkeypatch):
    def refuse(*_args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(report_file.os, "fsync", refuse)
    assert check_min_bar_data(bundle.path) == []
    assert "未能写入检查报告" in capsys.readouterr().out
    assert os.listdir(report_file.reports_dir(bundle.path)) == []


def test_a_path_holding_only_reports_takes_a_bundle(tmp_path):
    report_file.write_report(str(tmp_path), "minbar", [], KINDS)
    staging.check_bundle_path(str(tmp_path))
    (tmp_path / "notes.txt").write_text("mine")
    with pytest.raises(VantorelError):
        staging.check_bundle_path(str(tmp_path))


@pytest.mark.skipif(not hasattr(os, "symlink") or os.name == "nt", reason="POSIX links")
@pytest.mark.parametrize("planted", ["reports", "temp", "another user's reports"])
def test_a_planted_link_sends_no_report_elsewhere(bundle, tmp_path, monkeypatch, capsys, planted):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    victim = elsewhere / "victim"
    victim.write_text("mine")
    now = datetime.datetime(2024, 3, 1, 9, 30)
    directory = report_file.reports_dir(bundle.path)
    if planted == "reports":
        os.symlink(elsewhere, directory)
    elif planted == "another user's reports":  # swapped in after the look
        if not hasattr(os, "geteuid") or os.geteuid() != 0:
            pytest.skip("giving a directory to another user")
        os.mkdir(directory, 0o777)
        os.chown(directory, 4321, 4321)
        monkeypatch.setattr(report_file, "report_dir_for", report_file.reports_dir)
    else:  # the temporary name a run will use, pointing at a file of the user's
        os.mkdir(directory)
        os.symlink(victim, os.path.join(directory, ".check-20240301-093000-minbar.{}".format(os.getpid())))
    with pytest.raises(OSError):
        report_file.write_report(bundle.path, "minbar", [Anomaly("f.h5", "", "calendar", 1, ())], KINDS, now)
    assert sorted(os.listdir(elsewhere)) == ["victim"] and victim.read_text() == "mine"
    assert planted != "another user's reports" or os.listdir(directory) == []


@pytest.mark.skipif(not hasattr(os, "fork") or not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="becoming another user")
@pytest.mark.parametrize("reports_mode, made_by, writer, where", [
    (None, None, "owner", "shared"),
    (0o755, 65534, "owner", "own"),  # a member ran an older release first: the owner still gets a report
    (None, None, "member", "own"),  # and does not take reports/ from the owner
    (0o755, 0, "member", "own"),
    (0o777, 0, "member", "shared"),  # the owner lets the team write there
])
def test_reports_go_to_the_owner_s_reports_dir_or_the_writer_s_own(monkeypatch, reports_mode, made_by, writer, where):
    import ast
    import tempfile

    from test_journal import _as_another_user

    base = tempfile.mkdtemp(prefix="vantorel-reports-")
    try:
        os.chmod(base, 0o755)
        path, home = os.path.join(base, "data"), os.path.join(base, "home")
        os.mkdir(path)
        os.mkdir(home, 0o777)
        os.chmod(home, 0o777)
        monkeypatch.setenv("VANTOREL_HOME", home)
        if reports_mode is not None:
            os.mkdir(report_file.reports_dir(path))
            os.chmod(report_file.reports_dir(path), reports_mode)
            os.chown(report_file.reports_dir(path), made_by, made_by)
        write = lambda: report_file.write_report(path, "minbar", [], KINDS)  # noqa: E731
        written = write() if writer == "owner" else _as_another_user(write)
        if writer == "member":
            assert not written.startswith("raised"), written
            written = ast.literal_eval(written)
        expected = report_file.reports_dir(path) if where == "shared" else report_file.own_reports_dir(path)
        assert os.path.dirname(written) == expected and os.path.isfile(written)
        assert os.path.isdir(report_file.reports_dir(path)) == (reports_mode is not None or writer == "owner")
    finally:
        import shutil

        shutil.rmtree(base)
