"""The findings of a ``check-data`` run as a file a program can read.

Each run of the minute-bar check and of the daily-bar check writes one JSON Lines file::

    <bundle path>/reports/check-<YYYYmmdd-HHMMSS>-minbar.jsonl
    <bundle path>/reports/check-<YYYYmmdd-HHMMSS>-daybar.jsonl

(a second run within the same second gets ``-1``, ``-2``... before the extension). The file has one
line per row of the printed table, a JSON object with the keys

- ``file``: the file concerned, relative to the bundle path, "/"-separated, or null when the
  finding is of the whole bundle (a day most series lack);
- ``instrument``: its market code, or null when the whole file is concerned;
- ``kind``: what was found, a key of ``checks.KINDS`` (e.g. "jump", "missing_days");
- ``description``: the same in the table's words;
- ``count``: how many rows, days, sessions or columns are concerned;
- ``examples``: a few of them, each an object with ``detail`` (the example's text without its
  time) and ``date`` ("YYYY-MM-DD") or ``datetime`` ("YYYY-MM-DDTHH:MM:SS") when it has one.

A run that finds nothing writes an empty file, so the newest report always belongs to the newest
run. The file is written under a temporary name and renamed, so a reader never sees half of it;
the newest ``KEEP`` reports of each check are kept and older ones removed. Nothing is written when
there was no data to check. The reports directory is no part of the bundle: updates, archives and
swaps leave it alone.
"""
import contextlib
import datetime
import json
import os
import re
import time

from vantorel.ombrel.alpha import journal, storage

KEEP = 20
_PREFIX = "check-"
_TEMP_PREFIX = ".check-"
_STALE_TEMP_SECONDS = 3600
_REPORT_NAME = re.compile(re.escape(_PREFIX) + r"(?P<stamp>\d{8}-\d{6})(?:-(?P<seq>\d+))?-(?P<check>[a-z]+)\.jsonl")
# The forms checks.py gives a time at the start of an example: "2024-02-01 09:31" or "2024-02-01",
# then a space, or a full-width colon where the rest is a sentence about the day.
_STAMP = re.compile(r"(?P<date>\d{4}-\d{2}-\d{2})(?: (?P<clock>\d{2}:\d{2}(?::\d{2})?))?(?:\s+|：|$)")


def reports_dir(bundle_path):
    return os.path.join(bundle_path, storage.REPORTS_DIR_NAME)


def example_record(text):
    """An example text as {"detail": ..., and "date" or "datetime" when it starts with one}."""
    match = _STAMP.match(text)
    if not match:
        return {"detail": text}
    record = {"detail": text[match.end():]}
    if match.group("clock"):
        clock = match.group("clock")
        record["datetime"] = "{}T{}".format(match.group("date"), clock if clock.count(":") == 2 else clock + ":00")
    else:
        record["date"] = match.group("date")
    return record


def anomaly_record(anomaly, kinds):
    return {
        "file": anomaly.file or None,  # a finding of the whole bundle, as a day most series lack
        "instrument": anomaly.code or None,
        "kind": anomaly.kind,
        "description": kinds.get(anomaly.kind, anomaly.kind),
        "count": anomaly.count,
        "examples": [example_record(text) for text in anomaly.examples],
    }


def write_report(bundle_path, check, found, kinds, now=None):
    """Write the anomalies ``found`` by ``check`` ("minbar" or "daybar") as a new report; returns its path.
    Raises OSError when it cannot be written, leaving no part of it behind."""
    directory = reports_dir(bundle_path)
    os.makedirs(directory, exist_ok=True)
    lines = "".join(
        json.dumps(anomaly_record(a, kinds), ensure_ascii=False) + "\n"
        for a in sorted(found, key=lambda a: (a.file, a.code, a.kind))
    )
    stamp = (now or datetime.datetime.now()).strftime("%Y%m%d-%H%M%S")
    temp = os.path.join(directory, "{}{}-{}.{}".format(_TEMP_PREFIX, stamp, check, os.getpid()))
    try:
        with open(temp, "w", encoding="utf-8") as out:
            out.write(lines)
            out.flush()
            os.fsync(out.fileno())
        path = _free_name(directory, stamp, check)
        os.replace(temp, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temp)
        raise
    journal.fsync_path(directory)
    _prune(directory, check)
    return path


def _order(match):
    return match.group("stamp"), int(match.group("seq") or 0)


def _free_name(directory, stamp, check):
    """A name after every report of this second, even one pruned since: names order the reports."""
    taken = [_order(m) for m in map(_REPORT_NAME.fullmatch, os.listdir(directory)) if m and m.group("stamp") == stamp]
    if not taken:
        return os.path.join(directory, "{}{}-{}.jsonl".format(_PREFIX, stamp, check))
    return os.path.join(directory, "{}{}-{}-{}.jsonl".format(_PREFIX, stamp, max(taken)[1] + 1, check))


def _prune(directory, check):
    """Keep the newest KEEP reports of a check; clear temporary files a killed run left (only old
    ones: another check-data may be writing its own right now, holding the same shared lock)."""
    reports, now = [], time.time()
    for name in os.listdir(directory):
        path = os.path.join(directory, name)
        match = _REPORT_NAME.fullmatch(name)
        if match and match.group("check") == check:
            reports.append((_order(match), path))
        elif name.startswith(_TEMP_PREFIX):
            with contextlib.suppress(OSError):
                if now - os.lstat(path).st_mtime > _STALE_TEMP_SECONDS:
                    os.unlink(path)
    reports.sort()
    for _order_key, path in reports[:-KEEP]:
        with contextlib.suppress(OSError):
            os.unlink(path)
