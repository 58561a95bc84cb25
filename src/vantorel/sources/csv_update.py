"""Bringing the series a bundle holds of a CSV folder up to date with what is new in the folder.

What the series have taken of each file is recorded (``provenance``): for a file of one code, the
bytes up to the end of the last line read, how many lines, and digests of its first KiB and of the
last KiB taken (of a .csv.gz, of the text it inflates to, with the file's size and time); for a file
of one day, its size, time and a digest of all of it; for a directory of one day, how many files it
held. An update reads of a file of one code only what follows the part taken, after reading its head
and the last KiB taken to see they are unchanged (a .csv.gz whole, when its size or time changed);
a file of one day only when it is new or its size or time changed. Rows that are new are appended in
place through the journal; a file whose part taken changed, or new rows that come before what a
series holds, has that series converted again whole, and the output says so once.
"""
import io
import os
from typing import NamedTuple

from vantorel.bundle import appending, places, reading, writing
from vantorel.progress import progress
from vantorel.sources import csv_import, provenance, vendor
from vantorel.sources.csv_import import Tap, digest


class Result(NamedTuple):
    ok: bool
    lines: list  # what to tell the user, once each
    summary: str
    took: bool = False  # whether anything new was read


class _Plan:
    """What one kind of series (daybar, minbar) takes from the folder in this update."""

    def __init__(self, kind):
        self.kind = kind
        self.new = {}  # code -> [rows]
        self.redo = {}  # code -> why its series is converted again
        self.took = {}  # file name -> its record, once its rows are stored


def update(bundle_path, sources, echo):
    """``_update``, with the folder read as its vendor writes it (encodings, code forms)."""
    said = []
    with vendor.reading(said.append):
        result = _update(bundle_path, sources)
    if result.took:  # how the vendor's files were read, said when something was read from them
        for line in said:
            echo(line)
    return result


def _update(bundle_path, sources):
    """Update the series of the bundle's CSV folder; returns a Result. Raises CsvError on bad input
    (nothing is changed then) and OSError or StorageError when a write fails (what was committed
    stays, and the next update takes the rest)."""
    origin = sources.folder()
    folder = origin["folder"]
    directory = places.bundle_dir(bundle_path)
    stored_table = reading.read_instruments(directory)
    stored_codes = [code.decode() for code in stored_table["order_book_id"]]
    if not os.path.isdir(folder):
        held = len(sources.codes_of(origin, stored_codes))
        return Result(False, [], f"CSV 目录 {folder} 已不存在（被移动或删除）：它的 {held} 个品种未更新，"
                                 "bundle 中的数据保持不变；目录移到别处后，可用 download-data -f <新位置> 重新导入")
    manifest = csv_import._manifest(folder)
    table = csv_import._instruments(folder)
    category = {c.decode(): k.decode() for c, k in zip(table["order_book_id"], table["category"])}
    exchange_of = {c.decode(): e.decode() for c, e in zip(table["order_book_id"], table["exchange"])}
    others = {code for code in stored_codes if not provenance.same(sources.of(code), origin)}
    lines = []
    elsewhere = sorted(others & set(category))
    if elsewhere:
        lines.append("{}{} 个品种在 bundle 中来自 {}，保持原来源，未从 CSV 更新".format(
            "、".join(elsewhere[:3]) + (" 等 " if len(elsewhere) > 3 else " 共 "), len(elsewhere), provenance.describe(sources.of(elsewhere[0]))))
    mine = {code: cat for code, cat in category.items() if code not in others}

    daily = _plan(folder, "daybar", mine, sources.taken, lambda code, path, numbered, day: csv_import._daily(
        path, lines.append, numbered, day), _stored_daily(directory), lines, bundle_path)
    calendars = _calendars(folder, directory, exchange_of, daily)
    label_start = manifest.get("minute_label") == "start"

    own_days = {name: days for name, (days, _early) in calendars[2].items()}

    def minutes(code, path, numbered, _day):
        # The interval matters only to bars labelled by their start, which are moved to their end.
        minutes = vendor.bar_minutes(manifest, path, lambda: csv_import._first_moments(path)) if label_start else 1
        return csv_import._minutes(path, own_days.get(exchange_of[code], calendars[0]), label_start, lines.append,
                                   minutes, numbered)

    minute = _plan(folder, "minbar", mine, sources.taken, minutes, _stored_minutes(bundle_path, mine), lines,
                   bundle_path)
    events = csv_import._events(folder, category)

    sources.assign([code for code in mine if code not in stored_codes], origin)
    merged = _merged_table(stored_table, table, others)
    # The sources first: a kill before the rows leaves files that read as not yet taken.
    writing.write_instruments(directory, merged, {provenance.ATTRIBUTE: sources.text()})
    _write_calendars(directory, calendars)
    _write_events(directory, events, others)
    counts = {"daybar": _write_daily(bundle_path, daily, mine), "minbar": _write_minutes(bundle_path, minute, mine)}
    sources.taken.update(daily.took)
    sources.taken.update(minute.took)
    writing.write_instruments(directory, merged, {provenance.ATTRIBUTE: sources.text()})

    redone = {**daily.redo, **minute.redo}
    if redone:
        lines.append("已重新转换 {} 个品种：{}".format(len(redone), "；".join(
            f"{code}（{why}）" for code, why in sorted(redone.items())[:5]) + (" 等" if len(redone) > 5 else "")))
    parts = [f"{label} {n} 个合约 {rows} 条" for label, (n, rows) in (("日线", counts["daybar"]),
                                                                  ("分钟线", counts["minbar"])) if n]
    summary = "已从 CSV 目录 {} 更新：{}".format(folder, "，".join(parts) or "没有新数据")
    return Result(True, lines, summary, bool(parts or redone))


def _plan(folder, kind, mine, taken, parse, stored_last, lines, bundle_path):
    """What ``kind`` takes from the folder: new rows by code, series to convert again, new records."""
    import numpy as np

    plan = _Plan(kind)
    files = csv_import.series_files(folder, kind, mine, lambda text: lines.append(text))
    label = "读取 {} 中的新数据".format(os.path.join(folder, kind))
    with progress(label, items=sorted(files.per_code.items()), floor=21) as per_code:
        for code, path in per_code:
            name = csv_import.relative(folder, path)
            outcome = _per_code(path, kind, taken.get(name), code in stored_last)
            if outcome is None:
                continue
            if isinstance(outcome, str):
                plan.redo[code] = outcome
            else:
                numbered, record = outcome
                with _closing(numbered):
                    plan.new.setdefault(code, []).append(parse(code, path, numbered, None))
                plan.took[name] = record or numbered.tap.taken()
    for day, path in files.per_day.items():
        name = csv_import.relative(folder, path)
        record = taken.get(name)
        if record is not None and _same_stat(path, record):
            continue
        numbered, tap = csv_import.read_tapped(path, kind + "_day", whole=True)
        with _closing(numbered):
            by_code = csv_import.split_by_code(path, numbered, mine)
        if record is not None and record.get("sha") == tap.taken()["sha"]:
            plan.took[name] = tap.taken()  # touched, not changed
            continue
        for code, rows in by_code.items():
            if record is not None:
                plan.redo[code] = f"{name} 有改动"
            else:
                plan.new.setdefault(code, []).append(parse(code, path, rows, day))
        if record is None:
            plan.took[name] = tap.taken()
    for day, inner in files.day_dirs.items():
        name = f"{kind}/{day}/"
        record = taken.get(name)
        if record is not None and record.get("files") == len(inner):
            continue
        for code, path in inner.items():
            if record is not None:
                plan.redo[code] = f"{name} 中的文件有增减"
            else:
                plan.new.setdefault(code, []).append(parse(code, path, None, day))
        plan.took[name] = {"files": len(inner)}
    gone = sorted(name for name in taken if name.startswith(kind + "/") and not os.path.lexists(
        os.path.join(folder, name.rstrip("/"))))
    if gone:
        lines.append("{} 已不在 CSV 目录中（如 {}）：bundle 中已有的数据保持不变".format(
            f"{len(gone)} 个已读取过的文件" if len(gone) > 1 else "已读取过的文件", "、".join(gone[:3])))
    for code in list(plan.new):
        arrays = [a for a in plan.new[code] if len(a)]
        if not arrays:
            del plan.new[code]
            continue
        rows = arrays[0] if len(arrays) == 1 else csv_import._sorted(np.concatenate(arrays), f"{kind}/ 中合约 {code} 的文件", csv_import._pieces_in_any_order)
        last = stored_last.get(code)
        first = int(rows["datetime"][0])
        if last is not None and first <= last and not np.isin(
                _stored_times_from(bundle_path, kind, mine[code], code, first), rows["datetime"]).all():
            # Appending replaces every stored row from its first time on: only rows taken again
            # (after a kill, before what was taken was recorded) may be replaced so.
            plan.redo.setdefault(code, "新的行早于已存的最后一根")
        plan.new[code] = rows
    for code in plan.redo:
        plan.new.pop(code, None)
    if plan.redo:
        whole = csv_import.read_all(folder, kind, _files_of(files, plan.redo), mine, parse, plan.took)
        for code in plan.redo:
            plan.new[code] = whole.get(code, np.zeros(0, _dtype(kind)))
    return plan


def _per_code(path, kind, record, stored):
    """For a file of one code: None when nothing is new, a text when its series is to be converted
    again (why), else (numbered new rows, the new record)."""
    if record is None:
        if stored:
            return "此前的转换没有记录读到了哪里"
        numbered, tap = csv_import.read_tapped(path, kind)
        return _Taken(numbered, tap), None
    if not all(name in record for name in ("size", "lines", "head", "last")):
        return "此前的转换没有记录读到了哪里"
    if csv_import.is_gzip(path):
        return _gzip_tail(path, kind, record)
    with csv_import._open_regular(path) as f:
        # Positioned reads of just what is checked and what is new: a buffered reader would fetch
        # a whole buffer around each.
        fd = f.fileno()
        size = os.fstat(fd).st_size
        taken = record["size"]
        if size < taken:
            return f"{os.path.basename(path)} 变短了"
        head = os.pread(fd, min(Tap.HEAD, taken), 0)
        last = os.pread(fd, min(Tap.LAST, taken), taken - min(Tap.LAST, taken))
        if digest(head) != record["head"] or digest(last) != record["last"]:
            return f"{os.path.basename(path)} 中已读取的行有改动"
        if size == taken:
            return None
        if size - taken > TAIL_LIMIT:
            return _too_long(path, size - taken)
        tail = os.pread(fd, size - taken, taken)
        header = head[:head.find(b"\n") + 1]
        if not header:
            f.seek(0)
            header = f.readline(csv_import.LINE_LIMIT + 1)
    complete = tail[:tail.rfind(b"\n") + 1]
    if not complete:
        return None  # a line still being written: taken when its end comes
    new_record = _extended(record, head, last, complete)
    numbered = csv_import._rows(path, kind, raw=io.BytesIO(header + complete), first_number=record["lines"] + 1)
    return numbered, new_record


def _gzip_tail(path, kind, record):
    """``_per_code`` of a .csv.gz: unchanged by its size and time, else inflated whole (gzip cannot
    be read from the middle) and, when the text taken is still its beginning, its new lines taken."""
    if "packed" not in record:
        return "此前的转换没有记录读到了哪里"
    try:
        info = os.stat(path)
    except OSError:
        info = None
    if info is not None and (info.st_size, info.st_mtime_ns) == (record["packed"], record["mtime_ns"]):
        return None
    taken = record["size"]
    with Tap(csv_import.inflated(path)) as tap:
        while tap.size < taken and tap.read(min(1 << 20, taken - tap.size)):
            pass
        if tap.size < taken:
            return f"{os.path.basename(path)} 变短了"
        prefix = tap.taken()
        if (prefix["head"], prefix["last"]) != (record["head"], record["last"]):
            return f"{os.path.basename(path)} 中已读取的行有改动"
        head, last = bytes(tap.head), tap.last
        tail = tap.raw.read(TAIL_LIMIT + 1)
        if len(tail) > TAIL_LIMIT:
            return _too_long(path, len(tail))
    complete = tail[:tail.rfind(b"\n") + 1]
    new_record = dict(_extended(record, head, last, complete), packed=prefix["packed"], mtime_ns=prefix["mtime_ns"])
    header = head[:head.find(b"\n") + 1]
    if not header:
        return f"{os.path.basename(path)} 的列名行超过 {Tap.HEAD} 字节"
    numbered = csv_import._rows(path, kind, raw=io.BytesIO(header + complete), first_number=record["lines"] + 1,
                                inflated=True)
    return numbered, new_record


# What an update reads of a file's new part at once: years of one code's minutes. More (a file
# grown by gigabytes, or by no lines at all) is read as a new file is, line by line, with its limits.
TAIL_LIMIT = 64 << 20


def _too_long(path, grown):
    return f"{os.path.basename(path)} 新增了 {grown} 字节以上，超过只读新增部分的上限 {TAIL_LIMIT >> 20} MiB"


def _extended(record, head, last, complete):
    """The record of a file's taken text after ``complete`` more lines of it are taken."""
    return {"size": record["size"] + len(complete), "lines": record["lines"] + complete.count(b"\n"),
            "head": digest((head + complete)[:Tap.HEAD]), "last": digest((last + complete)[-Tap.LAST:])}


class _Taken:
    """The rows of a whole file read for the first time; its record is known once they are read."""

    def __init__(self, numbered, tap):
        self.numbered, self.tap = numbered, tap

    def __iter__(self):
        return iter(self.numbered)

    def close(self):
        self.numbered.close()


def _closing(numbered):
    import contextlib

    return contextlib.closing(numbered)


def _same_stat(path, record):
    try:
        info = os.stat(path)
    except OSError:
        return False
    return info.st_size == record.get("size") and info.st_mtime_ns == record.get("mtime_ns")


def _files_of(files, codes):
    """The files that hold rows of ``codes``: their own, and every file of one day."""
    return csv_import.Files({code: path for code, path in files.per_code.items() if code in codes},
                            files.per_day,
                            {day: {c: p for c, p in inner.items() if c in codes} for day, inner in files.day_dirs.items()})


def _dtype(kind):
    from vantorel.market import schemas

    return schemas.daybar_dtype() if kind == "daybar" else schemas.minbar_dtype()


def _stored_times_from(bundle_path, kind, category, code, first):
    """The ``datetime`` of the stored rows of a series from ``first`` on (a few: the tail)."""
    import bisect

    from vantorel.bundle.hdf5 import linked_member, open_file

    if kind == "daybar":
        path, name = places.daybar_path(places.bundle_dir(bundle_path), category), code
    else:
        path, name = places.minbar_path(bundle_path, category, code), places.DATASET[kind]
    f = open_file(path, kind)
    try:
        dataset = linked_member(f, path, name)
        start = bisect.bisect_left(appending.StoredColumn(dataset, "datetime"), first)
        return dataset[start:]["datetime"]
    finally:
        f.close()


def _stored_daily(directory):
    """{code: datetime of its last daily bar} over every category file."""
    last = {}
    for _category, path in places.iter_daybar_files(directory):
        last.update(reading.daybar_tails(path))
    return last


def _stored_minutes(bundle_path, mine):
    """{code: the last trading day its stored minute bars hold, as YYYYMMDD000000} of ``mine``: from
    the file's attributes alone, so that only new rows of a later day are appended unchecked."""
    from vantorel.bundle.hdf5 import open_file, root_attr

    last = {}
    for _category, code, path in places.iter_minbar_files(bundle_path):
        if code not in mine:
            continue
        f = open_file(path, "minbar")
        try:
            day = root_attr(f, "last_trading_date")
        finally:
            f.close()
        if day:
            last[code] = int(reading.plain(day)) * 1000000 + 235959
    return last


def _union(a, b):
    import numpy as np

    return np.union1d(np.asarray(a, "i8"), np.asarray(b, "i8")).astype("i4")


def _calendars(folder, directory, exchange_of, daily):
    """(days, early closes, {exchange: (days, early closes)}) after the update: calendar.csv as it is
    now, else the stored calendars with the days of the new daily bars added."""
    import numpy as np

    if csv_import.find(folder, "calendar") is not None:
        return csv_import._calendars(folder, exchange_of, {}, lambda text: None)
    stored = reading.read_calendars(directory)
    days, early = stored.get(None, (np.zeros(0, "i4"), csv_import._no_early_closes()))
    exchanges = {name: calendar for name, calendar in stored.items() if name is not None}
    for code, rows in daily.new.items():
        new = rows["datetime"] // 1000000
        days = _union(days, new)
        name = exchange_of.get(code, "")
        if exchanges and name:
            own, own_early = exchanges.get(name, (np.zeros(0, "i4"), csv_import._no_early_closes()))
            exchanges[name] = (_union(own, new), own_early)
    return days, early, exchanges


def _write_calendars(directory, calendars):
    import numpy as np

    from vantorel.market.schemas import EARLY_CLOSE_FIELDS

    days, early, exchanges = calendars
    wanted = {None: (days, early), **exchanges}
    try:
        stored = reading.read_calendars(directory)
    except (OSError, places.StorageError):
        stored = {}
    if stored.keys() == wanted.keys() and all(
            np.array_equal(np.asarray(stored[k][0], "i8"), np.asarray(wanted[k][0], "i8"))
            and np.array_equal(np.asarray(stored[k][1]).astype(EARLY_CLOSE_FIELDS),
                               np.asarray(wanted[k][1]).astype(EARLY_CLOSE_FIELDS)) for k in wanted):
        return
    writing.write_trading_dates(directory, days, early, exchanges)


def _merged_table(stored, table, others):
    """The folder's instruments, then the stored rows it does not give: those of other sources, and
    codes the folder dropped (their rows stay, as their series do)."""
    import numpy as np

    given = {code.decode() for code in table["order_book_id"]}
    own = table[[code.decode() not in others for code in table["order_book_id"]]]
    kept = stored[[code.decode() not in given or code.decode() in others for code in stored["order_book_id"]]]
    return np.concatenate([own, kept.astype(table.dtype)]) if len(kept) else own


def _write_events(directory, events, others):
    """The folder's ex-factor and suspension tables with the stored rows of other sources' codes;
    a table the folder no longer has is left as stored."""
    import numpy as np

    for name, table in zip(("ex_factors", "suspended"), events):
        if table is None:
            continue
        try:
            stored = reading.read_table(directory, name)
        except (OSError, places.StorageError):
            stored = None
        if stored is not None and len(stored) and others:
            theirs = stored[np.isin(stored["order_book_id"], [code.encode() for code in sorted(others)])]
            table = np.sort(np.concatenate([table, theirs.astype(table.dtype)]), order=list(table.dtype.names[:2]))
        if stored is not None and stored.dtype == table.dtype and np.array_equal(stored, table):
            continue
        writing.write_table(directory, name, table)


def _write_daily(bundle_path, plan, mine):
    """Appends the new daily bars by category; a category with a series converted again is written
    whole. Returns (instruments, rows)."""
    directory = places.bundle_dir(bundle_path)
    by_category = {}
    for code, rows in plan.new.items():
        if len(rows):
            by_category.setdefault(mine[code], {})[code] = rows
    for category, new in sorted(by_category.items()):
        path = places.daybar_path(directory, category)
        if not os.path.exists(path):
            writing.write_daybars(directory, category, new)
        elif plan.redo.keys() & new.keys():
            whole = reading.read_daybar_file(path)
            whole.update(new)
            writing.write_daybars(directory, category, whole)
        else:
            appending.append_daybars(bundle_path, category, new)
    return sum(map(len, by_category.values())), sum(len(r) for new in by_category.values() for r in new.values())


def _write_minutes(bundle_path, plan, mine):
    """Appends each code's new minute bars in place, or writes its file whole when it is new or
    converted again. Returns (instruments, rows)."""
    written = rows_written = 0
    with progress("更新分钟线", items=sorted(plan.new), floor=21) as codes:
        for code in codes:
            rows = plan.new[code]
            if not len(rows):
                continue
            path = places.minbar_path(bundle_path, mine[code], code)
            if code in plan.redo or not os.path.exists(path):
                writing.write_data_file(path, "minbar", mine[code], code, rows)
            else:
                appending.append_series(bundle_path, "minbar", mine[code], code, rows)
            written += 1
            rows_written += len(rows)
    return written, rows_written
