"""The findings of a ``check-data`` run as a file a program can read.

Each run of the minute-bar check and of the daily-bar check writes one JSON Lines file::

    <bundle path>/reports/check-<YYYYmmdd-HHMMSS>-minbar.jsonl
    <bundle path>/reports/check-<YYYYmmdd-HHMMSS>-daybar.jsonl

(a second run within the same second gets ``-1``, ``-2``... before the extension). The file has one
line per row of the printed table, a JSON object with the keys

- ``file``: the file concerned, relative to the bundle path, "/"-separated, or null when the
  finding is of the whole bundle (a day most series lack);
- ``instrument``: its market code, or null when the whole file is concerned;
- ``kind``: what was found, a key of ``vantorel.checks.KINDS`` (e.g. "jump", "missing_days");
- ``description``: the same in the table's words;
- ``count``: how many rows, days, sessions or columns are concerned;
- ``examples``: a few of them, each an object with ``detail`` (the example's text without its
  time) and ``date`` ("YYYY-MM-DD") or ``datetime`` ("YYYY-MM-DDTHH:MM:SS") when it has one.

A run that finds nothing writes an empty file, so the newest report always belongs to the newest
run. The file is written under a temporary name and renamed, so a reader never sees half of it;
the newest ``KEEP`` reports of each check are kept and older ones removed. Nothing is written when
there was no data to check. The reports directory is no part of the bundle: updates, archives and
swaps leave it alone.

On a bundle path shared with other users, only its owner makes ``reports/``; another user writes
there when the owner let them (its group or other mode), else under their own kit home
(``own_reports_dir``). The printed path always says where the report went.
"""
import contextlib
import datetime
import json
import os
import re
import time

from vantorel.bundle import durable, places
from vantorel.checks.findings import Example

KEEP = 20
_PREFIX = "check-"
_TEMP_PREFIX = ".check-"
_STALE_TEMP_SECONDS = 3600
_REPORT_NAME = re.compile(re.escape(_PREFIX) + r"(?P<stamp>\d{8}-\d{6})(?:-(?P<seq>\d+))?-(?P<check>[a-z]+)\.jsonl")


def reports_dir(bundle_path):
    return os.path.join(bundle_path, places.REPORTS_DIR_NAME)


def own_reports_dir(bundle_path):
    """Where the running user's reports of ``bundle_path`` go when its reports/ is not theirs to
    write: under their own kit home, one directory per bundle path."""
    from urllib.parse import quote

    from vantorel.ombrel.sdk.const import kit_home

    return os.path.join(kit_home(), places.REPORTS_DIR_NAME, quote(os.path.abspath(bundle_path), safe=""))


def report_dir_for(bundle_path):
    """The reports directory this user writes: the bundle path's reports/ when it belongs to the
    bundle path's owner and this user may write it (only the owner makes it, so the first user to
    run a check does not take it from them; a team may share it by its group mode), else the
    user's own (``own_reports_dir``)."""
    shared = reports_dir(bundle_path)
    if not hasattr(os, "geteuid"):
        return shared
    try:
        owner = os.stat(bundle_path).st_uid
        info = os.lstat(shared)
    except FileNotFoundError:
        return shared if os.geteuid() == owner else own_reports_dir(bundle_path)
    except OSError:
        return own_reports_dir(bundle_path)
    if info.st_uid == owner and (os.geteuid() == owner or os.access(shared, os.W_OK | os.X_OK)):
        return shared  # the owner's: a link or a file there is refused by the write, not gone round
    return own_reports_dir(bundle_path)


def example_record(example):
    """An example as {"detail": ..., and "date" or "datetime" when it is of one}."""
    if not isinstance(example, Example):
        return {"detail": str(example)}
    record = {"detail": example.detail}
    if example.datetime:
        record["datetime"] = example.datetime
    elif example.date:
        record["date"] = example.date
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
    directory = report_dir_for(bundle_path)
    if directory != reports_dir(bundle_path):
        os.makedirs(os.path.dirname(directory), exist_ok=True)
    lines = "".join(
        json.dumps(anomaly_record(a, kinds), ensure_ascii=False) + "\n"
        for a in sorted(found, key=lambda a: (a.file, a.code, a.kind))
    )
    stamp = (now or datetime.datetime.now()).strftime("%Y%m%d-%H%M%S")
    temp_name = "{}{}-{}.{}".format(_TEMP_PREFIX, stamp, check, os.getpid())
    from vantorel.bundle import nofollow

    # Whose reports/ may take the report: the bundle path's owner's, this user's (their own).
    users = nofollow.owners_at(bundle_path)
    with _opened_directory(directory, users) as at:
        try:
            # O_EXCL and no link followed: a name planted in a shared reports/ cannot make the
            # report overwrite a file elsewhere.
            fd = os.open(at.path(temp_name), os.O_WRONLY | os.O_CREAT | os.O_EXCL | _NOFOLLOW, 0o644, **at.dir_kw)
            with open(fd, "w", encoding="utf-8") as out:
                out.write(lines)
                out.flush()
                os.fsync(out.fileno())
            name = _free_name(at, stamp, check)
            os.replace(at.path(temp_name), at.path(name), **at.replace_kw)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(at.path(temp_name), **at.dir_kw)
            raise
        at.fsync()
        _prune(at, check, name)
    return os.path.join(directory, name)


_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)
_BY_DIR_FD = (_NOFOLLOW and hasattr(os, "O_DIRECTORY") and os.open in os.supports_dir_fd
              and os.unlink in os.supports_dir_fd and os.rename in os.supports_dir_fd)  # os.replace takes what os.rename does


class _Directory:
    """reports/ opened once, its names then reached through the open directory where the system
    allows it, so that swapping reports/ for a link halfway through redirects nothing."""

    def __init__(self, directory, fd):
        self.directory, self.fd = directory, fd
        self.dir_kw = {"dir_fd": fd} if fd is not None else {}
        self.replace_kw = {"src_dir_fd": fd, "dst_dir_fd": fd} if fd is not None else {}

    def path(self, name):
        return name if self.fd is not None else os.path.join(self.directory, name)

    def names(self):
        return os.listdir(self.fd if self.fd is not None else self.directory)

    def lstat(self, name):
        return os.stat(self.path(name), follow_symlinks=False, **self.dir_kw)

    def fsync(self):
        if self.fd is not None:
            os.fsync(self.fd)
        else:
            durable.fsync_directory(self.directory)


@contextlib.contextmanager
def _opened_directory(directory, users):
    """``directory`` opened, refused when it is a link, no directory, or of none of ``users``."""
    import errno

    with contextlib.suppress(FileExistsError):
        os.mkdir(directory)
    if os.path.islink(directory):
        # Like the account store: reports/ is the kit's, and a link would send the report, and the
        # pruning of old ones, to wherever it points.
        raise OSError(errno.ELOOP, "是符号链接，不写入；请删除它", directory)
    if not _BY_DIR_FD:
        if not os.path.isdir(directory):
            raise OSError(errno.ENOTDIR, "不是目录", directory)
        _refuse_foreign(os.stat(directory), users, directory)
        yield _Directory(directory, None)
        return
    try:
        fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY | _NOFOLLOW)
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise OSError(errno.ELOOP, "是符号链接，不写入；请删除它", directory) from None
        if exc.errno == errno.ENOTDIR:
            raise OSError(errno.ENOTDIR, "不是目录", directory) from None
        raise
    try:
        # Judged as opened: reports/ may be swapped for another user's directory after the look
        # of ``report_dir_for``, and the report is not written into their tree.
        _refuse_foreign(os.fstat(fd), users, directory)
        yield _Directory(directory, fd)
    finally:
        os.close(fd)


def _refuse_foreign(info, users, directory):
    import errno

    from vantorel.bundle import nofollow

    if not nofollow.trusted(info, users):
        raise OSError(errno.EPERM, f"属于用户 {nofollow.owner_name(info.st_uid)}，不写入；请确认后把它移走", directory)


def _order(match):
    return match.group("stamp"), int(match.group("seq") or 0)


def _free_name(at, stamp, check):
    """A name after every report of this second, even one pruned since: names order the reports."""
    taken = [_order(m) for m in map(_REPORT_NAME.fullmatch, at.names()) if m and m.group("stamp") == stamp]
    if not taken:
        return "{}{}-{}.jsonl".format(_PREFIX, stamp, check)
    return "{}{}-{}-{}.jsonl".format(_PREFIX, stamp, max(taken)[1] + 1, check)


def _prune(at, check, written):
    """Keep the newest KEEP reports of a check that this user wrote; clear temporary files a killed
    run left (only old ones: another check-data may be writing its own right now, holding the same
    shared lock). In a reports/ the team shares, another user's names (dated in the future, say)
    neither count nor make this user's new report go; the one just written always stays."""
    reports, now = [], time.time()
    mine = os.geteuid() if hasattr(os, "geteuid") else None
    for name in at.names():
        match = _REPORT_NAME.fullmatch(name)
        if match and match.group("check") == check and name != written:
            with contextlib.suppress(OSError):
                if mine is None or at.lstat(name).st_uid == mine:
                    reports.append((_order(match), name))
        elif name.startswith(_TEMP_PREFIX):
            with contextlib.suppress(OSError):
                if now - at.lstat(name).st_mtime > _STALE_TEMP_SECONDS:
                    os.unlink(at.path(name), **at.dir_kw)
    reports.sort()
    for _order_key, name in reports[:max(len(reports) - (KEEP - 1), 0)]:
        with contextlib.suppress(OSError):
            os.unlink(at.path(name), **at.dir_kw)
    reports.sort()
    for _order_key, name in reports[:-KEEP]:
        with contextlib.suppress(OSError):
            os.unlink(at.path(name), **at.dir_kw)
