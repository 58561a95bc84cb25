"""An update under way, as the bundle path records it until the update has ended whole.

An update stopped part way (Ctrl-C, a kill, a failure) leaves the calendar moved on and some series
not yet: the checks would call each of those a series that stopped. The record, a small file at the
bundle path's top written whole before the first change and removed when everything asked for is
stored, lets them tell that apart from a fault in the data: what the unfinished update explains is
set aside behind one finding that names it, and the next update finishes it.
"""
import contextlib
import datetime
import json
import os
import re

from vantorel.bundle import places, reading, staging, writing

MARK = staging.UNFINISHED_UPDATE
# What an update stopped part way leaves in data that is sound: series behind the calendar.
EXPLAINED = ("stopped",)
_DAY = re.compile(r"\b(\d{4})-(\d{2})-(\d{2})\b")


def read(bundle_path):
    """The record of an unfinished update, or None."""
    try:
        # Only a regular file of a user the kit trusts, never waited on: on a shared bundle path
        # another user's record (or a pipe) would forge findings or hang the checks.
        with open(places.open_in_bundle(os.path.join(bundle_path, MARK)), "rb") as f:
            record = json.loads(f.read(1 << 16))
    except (OSError, ValueError, places.StorageError):
        return None
    return record if isinstance(record, dict) else None


def begin(bundle_path, command):
    """Record that ``command`` starts changing the bundle; an earlier update that did not finish
    keeps its record (where the series stood before it)."""
    if read(bundle_path) is not None:
        return
    record = {"command": command, "started": datetime.datetime.now().isoformat(timespec="seconds"),
              "data_end": _data_end(bundle_path)}
    # Only a help to the checks: a disk too full for it fails the update's own writes, which say so.
    with contextlib.suppress(OSError):
        writing.write_bytes(os.path.join(bundle_path, MARK), json.dumps(record, ensure_ascii=False).encode())


def _data_end(bundle_path):
    """The last day of any stored daily bar: where the series stood before the update (a calendar
    may run on into days not yet traded)."""
    last = 0
    for _category, path in places.iter_daybar_files(places.bundle_dir(bundle_path)):
        try:
            last = max([last, *(stamp // 1000000 for stamp in reading.daybar_tails(path).values())])
        except (OSError, places.StorageError):
            continue
    return last


def end(bundle_path, command):
    """``command`` has ended whole: the record goes when it is the update that was stopped, or a
    smart update, which brings every stored series up to date; another, narrower one leaves it."""
    record = read(bundle_path)
    if record is not None and record.get("command") != command and "--smart" not in command.split():
        return
    with contextlib.suppress(FileNotFoundError):
        os.unlink(os.path.join(bundle_path, MARK))


def _explained(anomaly, data_end):
    if anomaly.kind not in EXPLAINED:
        return False
    days = [int("".join(day)) for example in anomaly.examples for day in _DAY.findall(str(example))]
    # A series that stood behind the others before the update began is a fault of its own.
    return bool(days) and min(days) >= data_end


def account(bundle_path, found):
    """``found`` with the findings an unfinished update explains replaced by one naming it."""
    from vantorel.checks.findings import Anomaly

    record = read(bundle_path)
    if record is None:
        return found
    data_end = int(record.get("data_end") or 0)
    kept = [a for a in found if not _explained(a, data_end)]
    set_aside = len(found) - len(kept)
    from vantorel.bundle import locks

    command, started = record.get("command", "update-data"), record.get("started", "?")
    caused = f"，由此引起的 {set_aside} 项未列出" if set_aside else ""
    if locks.writer_active(bundle_path):  # still at work: nothing to run again, only to wait for
        text = f"{command}（{started} 开始）正在进行；它结束后再检查即可{caused}"
    else:
        text = f"{command}（{started} 开始）没有完成；重新运行 vantorel {command} 即可完成它{caused}"
    return kept + [Anomaly("", "", "unfinished_update", 1, (text,))]
