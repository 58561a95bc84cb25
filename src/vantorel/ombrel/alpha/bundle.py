"""Filling and updating the local data bundle (the layout is described in ``storage``).

The command line imports this module on every run of a data command, so it imports only light
modules at the top; numpy and h5py come in with the first function that touches data.

An update works like this:

- it holds the bundle path's lock exclusively (``locks``): a second update of the same bundle, or
  a check running on it, finds the lock taken, says so and stops at once;
- it asks the data client for the instruments and the latest published trading day, and turns the
  selection (data categories of ``TAG_MAP``, futures underlying symbols such as ``JD``, market codes
  such as ``M1905`` or ``000001.XSHE``) into instruments; unknown names stop it before any download;
- for each instrument it fetches only the trading days after the last one stored (or, for an
  instrument not stored yet or with ``rebuild``, the service's default history), with ``concurrency``
  fetch threads, while the calling thread is the only one that writes HDF5;
- every minute-bar and tick file is committed atomically as soon as its instrument is done, and the
  daily bars of a category as soon as the whole category is; a killed update loses at most the
  files in flight, and running it again fetches what is still missing.

``download_simple_bundle`` without an archive builds a bundle from the embedded service:
``sample=True`` gives the small sample (three stocks, one index, the 50 ETF and its nearest
options, one convertible, the two nearest contracts of M and JD with the options on them: base data,
daily bars, minute bars, and ticks of the stocks and futures); ``sample=False`` gives the whole
default universe (base data, daily bars and minute bars of every instrument, no ticks). Either is
built in a staged directory, and the layout directories it brings replace the old ones only when
it is complete (see ``staging``); the rest of the bundle path, ticks the full build does not bring
included, stays as it was. Its failures raise ``VantorelError`` (the command returns the result to
click, which would not turn a false value into a failing exit status).
"""
import contextlib
import errno
import os
import time
from typing import NamedTuple

import click

from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import journal, locks, service, storage
from vantorel.progress import progress
from vantorel.market.calendar import CALENDAR_START, next_trading_date, to_date
from vantorel.ombrel.sdk.const import TAG_MAP

KINDS = ("minbar", "tick")
KIND_LABELS = {"daybar": "日线", "minbar": "分钟线", "tick": "tick"}

# The sample bundle carries ticks of these categories only; the rest would only make it big.
SAMPLE_TICK_CATEGORIES = ("stock", "futures")


BusyError = locks.BusyError


class _Stop(Exception):
    """A write failed in a way that would fail for every other file too (disk full, no permission)."""


@contextlib.contextmanager
def update_lock(bundle_path):
    """Hold the bundle path's lock for writing, or raise BusyError at once when another process has
    it; the journal directory an update leaves empty is removed when it is released."""
    with locks.bundle_lock(bundle_path, exclusive=True, create=True) as path:
        try:
            yield path
        finally:
            journal.tidy(path)


# ---- what to fetch ------------------------------------------------------------------------------

class Task:
    __slots__ = ("kind", "inst", "start", "end", "merge", "stored_last")

    def __init__(self, kind, inst, start, end, merge):
        self.kind, self.inst, self.start, self.end, self.merge = kind, inst, start, end, merge
        self.stored_last = None  # the datetime of the last stored row, when it was read


class Report:
    """What one update did: counts per kind, failures, instruments skipped."""

    def __init__(self):
        self.instruments = {"daybar": 0, "minbar": 0, "tick": 0}
        self.rows = {"daybar": 0, "minbar": 0, "tick": 0}
        self.up_to_date = 0
        self.failed = []  # (kind, code, message)
        self.skipped = []  # (kind, code, message): stored data the service no longer offers
        self.stopped = None  # message of an error that ended the update early
        self.seconds = 0.0

    @property
    def ok(self):
        return not self.failed and self.stopped is None

    def summary(self, what="更新"):
        parts = []
        for kind in ("daybar", "minbar", "tick"):
            if self.instruments[kind]:
                parts.append(f"{KIND_LABELS[kind]} {self.instruments[kind]} 个合约 {self.rows[kind]} 条")
        if self.up_to_date:
            parts.append(f"{self.up_to_date} 个已是最新")
        if self.ok:
            return f"{what}完成：{'，'.join(parts) or '没有需要下载的新数据'}，用时 {self.seconds:.1f} 秒"
        # A run that stopped early did not find that there was nothing new: it says what it did, if anything.
        done = "，".join(parts) or "未下载任何数据"
        failed = "、".join(f"{code}（{KIND_LABELS[kind]}）" for kind, code, _msg in self.failed[:10])
        if len(self.failed) > 10:
            failed += f" 等 {len(self.failed)} 个"
        text = f"{what}未全部完成：{done}"
        if self.failed:
            text += f"；失败：{failed}，请重新运行以补齐"
        if self.stopped:
            text += f"；已中止：{self.stopped}"
        return text + f"，用时 {self.seconds:.1f} 秒"


def _category_key(name):
    low = name.strip().lower()
    if low in TAG_MAP:
        return low
    for key, value in TAG_MAP.items():
        if value.lower() == low:
            return key
    return None


def resolve_selection(instruments, names, with_derivatives, stored_codes, start, latest):
    """Instruments chosen by ``names`` (categories, underlying symbols, market codes).

    A category or an underlying symbol stands for its instruments that trade between ``start`` and
    ``latest`` or that are already stored (``stored_codes``), so an update also finishes contracts
    that expired since the last one. Returns (instruments in a stable order, unknown names).
    """
    by_code = {inst.order_book_id: inst for inst in instruments}
    underlyings = {inst.underlying_symbol for inst in instruments if inst.category == "futures"}

    def wanted(inst):
        return inst.active_between(start, latest) or inst.order_book_id in stored_codes

    chosen, unknown = {}, []
    for name in names:
        text = str(name).strip()
        category = _category_key(text) if text else None
        if category is not None:
            matched = [i for i in instruments if i.category == category and wanted(i)]
        elif text.upper() in underlyings:
            matched = [i for i in instruments
                       if i.category == "futures" and i.underlying_symbol == text.upper() and wanted(i)]
        elif text in by_code or text.upper() in by_code:
            matched = [by_code.get(text) or by_code[text.upper()]]
        else:
            unknown.append(str(name))
            continue
        if with_derivatives:
            codes = {i.order_book_id for i in matched}
            # A contract named by its code brings all its options, expired ones too: its history is
            # what was asked for. A category or symbol brings those of the window, like itself.
            named = category is None and text.upper() not in underlyings
            matched += [i for i in instruments if i.category == "option" and i.underlying_order_book_id in codes
                        and (named or wanted(i))]
        for inst in matched:
            chosen.setdefault(inst.order_book_id, inst)
    return sorted(chosen.values(), key=lambda i: (i.category, i.order_book_id)), unknown


def _unknown_message(unknown, instruments):
    """What to say of names that are no category, underlying symbol or market code: the closest
    known names, as a spelling checker would offer them."""
    import difflib

    known = sorted(set(TAG_MAP) | {i.underlying_symbol for i in instruments if i.underlying_symbol} |
                   {i.order_book_id for i in instruments})
    by_upper = {k.upper(): k for k in known}
    hints = []
    for name in unknown:
        typed = str(name).strip().upper()
        # Two letters swapped (M1095 for M1905) first: the commonest slip, and one a plain
        # similarity ranks below other codes that share more of their letters.
        swapped = [k for k in by_upper if len(k) == len(typed) and sorted(k) == sorted(typed)
                   and sum(a != b for a, b in zip(k, typed)) == 2]
        close = swapped + [k for k in difflib.get_close_matches(typed, list(by_upper), n=3, cutoff=0.6)
                           if k not in swapped]
        close = close[:3]
        if close:
            hints.append("{}（是否想用 {}？）".format(name, "、".join(by_upper[c] for c in close)))
        else:
            hints.append(str(name))
    return ("未知的数据类别、品种或合约：{}；请用数据类别（{}）、underlying_symbol（如 M、JD）"
            "或 market_code（如 000001.XSHE、M1905）".format("，".join(hints), ", ".join(TAG_MAP)))


def _end_of(inst, latest):
    return min(latest, inst.de_listed_date) if inst.de_listed_date else latest


def _default_start(client, kind, inst, end):
    return max(inst.listed_date, client.history_start(kind, end))


def _stored_state(path, kind):
    """What resuming a minute-bar or tick file needs (``storage.stored_state``), from one open:
    {} when missing; StorageError when it cannot be read."""
    if not os.path.exists(path):
        return {}
    try:
        reason, state = storage.stored_state(path, kind)
    except FileNotFoundError:
        return {}
    except OSError as exc:
        raise storage.StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
    if reason is not None:
        raise storage.StorageError(f"无法读取数据文件 {path}：{reason}", reason)
    state["last_trading_date"] = storage.last_trading_date(path, kind, state)
    return state


class _Resumer:
    """Finds where a minute-bar or tick task starts, from the stored file's attributes and last rows.

    It runs on the fetch threads, just before each fetch, so that reading the tails of thousands of
    files overlaps with the waits on the data service instead of coming before them. h5py serialises
    its calls, so the files are still read one at a time.
    """

    def __init__(self, client, bundle_path, latest, rebuild):
        self.client, self.bundle_path, self.latest, self.rebuild = client, bundle_path, latest, rebuild
        self.notes = []  # list.append is atomic: the threads share these
        self.converted = []

    def __call__(self, task):
        """Fill in the task's start; False when the stored file is up to date."""
        kind, inst = task.kind, task.inst
        path = storage.data_path(self.bundle_path, kind, inst.category, inst.order_book_id)
        try:
            state = {} if self.rebuild else _stored_state(path, kind)
        except storage.StorageError as exc:
            # Fetching the default history would write over the file: what it holds is kept aside
            # when it is damaged, and left alone, the instrument failed, when it may be sound.
            if not exc.damaged:
                raise VantorelError(f"{exc.format_message()}；该文件未作改动") from None
            try:
                target = storage.set_aside(self.bundle_path, kind, inst.category, inst.order_book_id)
            except OSError as move:
                raise VantorelError(f"{path} 无法读取（{exc.reason}），也无法移走：{move.strerror or move}") from None
            self.notes.append(f"{path} 无法读取（{exc.reason}），已移至 {target}，将重新下载该合约的{KIND_LABELS[kind]}")
            state = {}
        last = state.get("last_trading_date", 0)
        task.start = next_trading_date(last) if last else _default_start(self.client, kind, inst, task.end)
        if task.start > task.end:
            return False
        if last and state["schema_version"] < storage.SCHEMA_VERSION:
            storage.migrate(path, kind)  # once: the converted file has the current schema
            self.converted.append(path)
        task.merge = bool(last)
        task.stored_last = state.get("last_datetime")
        return True


def data_tasks(kind, chosen, latest):
    """Minute-bar or tick tasks of the chosen instruments; each is resumed just before its fetch."""
    return [Task(kind, inst, None, _end_of(inst, latest), None) for inst in chosen]


def plan_daybar_tasks(client, bundle_path, instruments, latest, notes, report):
    """Daily-bar tasks, and the last stored daily bar per category: {category: {code: datetime}}.

    A category file that cannot be opened for now (no permission, locked) is left as it is and the
    category fails: writing it from what could be read would drop its history. One that is
    damaged is moved to quarantine/ and its category fetched again from the start.
    """
    bundle_directory = storage.bundle_dir(bundle_path)
    stored, blocked = {}, set()
    for category, path in storage.iter_daybar_files(bundle_directory):
        try:
            stored[category] = storage.daybar_tails(path)
        except (storage.StorageError, OSError) as exc:
            if not isinstance(exc, storage.StorageError) or not exc.damaged:
                reason = exc.reason if isinstance(exc, storage.StorageError) else (exc.strerror or str(exc))
                report.failed.append(("daybar", category, f"{path} 暂时无法读取（{reason}），该文件未作改动"))
                blocked.add(category)
                continue
            try:
                target = storage.set_aside_daybar(bundle_path, category)
            except OSError as move:
                report.failed.append(("daybar", category,
                                      f"{path} 无法读取（{exc.reason}），也无法移走：{move.strerror or move}"))
                blocked.add(category)
                continue
            notes.append(f"{path} 无法读取（{exc.reason}），已移至 {target}，将重新下载该类别的日线")
    tasks, up_to_date = [], 0
    window = client.history_start("daybar", latest)
    for inst in instruments:
        if inst.category in blocked:
            continue
        if inst.de_listed_date and inst.de_listed_date < window and inst.order_book_id not in stored.get(
                inst.category, {}):
            continue  # expired before the history a new bundle starts with: not the base data's to fetch
        end = _end_of(inst, latest)
        last = stored.get(inst.category, {}).get(inst.order_book_id)
        if last:
            start = next_trading_date(last // 1000000)
        else:
            start = max(inst.listed_date, window)
        if start > end:
            up_to_date += 1
            continue
        tasks.append(Task("daybar", inst, start, end, merge=bool(last)))
    return tasks, stored, up_to_date


def migrate_daybar_files(bundle_path):
    """Convert, once, the daily-bar files an older release wrote; returns how many were converted.
    A file that cannot be converted fails its category later."""
    converted = 0
    for _c, path in storage.iter_daybar_files(storage.bundle_dir(bundle_path)):
        try:
            if storage.schema_of(path) < storage.SCHEMA_VERSION:
                storage.migrate(path, "daybar")
                converted += 1
        except (OSError, storage.StorageError):
            continue
    return converted


# ---- running the tasks --------------------------------------------------------------------------

_UP_TO_DATE = object()


def _fetch(client, task, resume):
    if task.start is None and not resume(task):
        return _UP_TO_DATE
    if task.kind == "daybar":
        return client.daily_bars(task.inst.order_book_id, task.start, task.end)
    if task.kind == "minbar":
        return client.minute_bars(task.inst.order_book_id, task.start, task.end)
    return client.ticks(task.inst.order_book_id, task.start, task.end)


def _write_data(bundle_path, task, rows, committer, written):
    inst = task.inst
    if not len(rows):
        return  # a stock suspended on every day asked for: its file, if any, stays as it is
    if task.merge:
        storage.append_series(bundle_path, task.kind, inst.category, inst.order_book_id, rows, committer,
                              task.stored_last, written)
    else:
        path = storage.data_path(bundle_path, task.kind, inst.category, inst.order_book_id)
        storage.write_data_file(path, task.kind, inst.category, inst.order_book_id, rows, committer, written)


def _io_message(exc):
    """What a failed read or write of a file means, in the kit's words, and what to do about it."""
    where = getattr(exc, "filename", None) or ""
    errno_ = getattr(exc, "errno", None)
    if storage.disk_full(exc):
        return f"磁盘空间不足：无法写入 {where}，请腾出空间后重新运行" if where else "磁盘空间不足，请腾出空间后重新运行"
    if errno_ in (errno.EACCES, errno.EPERM):
        return f"没有权限写入 {where}，请检查它及所在目录的权限后重新运行"
    if errno_ == errno.EROFS:
        return f"{where} 所在的文件系统是只读的，无法写入"
    if errno_ == errno.EFBIG:
        return f"文件大小超过了系统的限制（ulimit -f）：无法写入 {where}"
    return f"{where} {exc.strerror or exc}".strip()


def _stops_everything(exc):
    # A full disk or a read-only file system fails every other file too; a file that may not be
    # written fails only its own instrument.
    return storage.disk_full(exc) or getattr(exc, "errno", None) in (errno.EROFS, errno.EFBIG)


def _write_failed(exc):
    return _io_message(exc) if storage.disk_full(exc) else f"写入失败：{_io_message(exc)}"


class Written(NamedTuple):
    """What one write counts as in the report, handed back with the write if its commit fails."""
    kind: str
    what: str  # the code, or the category of a daily-bar file
    instruments: int
    rows: int


class _TaskRun:
    """One run of the tasks: fetched on worker threads, written from the calling thread, each file
    committed when it is done. Daily bars wait for the last task of their category: one file holds
    them all."""

    def __init__(self, client, bundle_path, tasks, daybars_stored, report, resume):
        self.client, self.bundle_path, self.report, self.resume = client, bundle_path, report, resume
        self.daybars_stored = daybars_stored
        self.committer = storage.Committer()
        self.daily_left = {}  # category -> daily-bar tasks not finished yet
        self.daily_new = {}  # category -> {code: rows} fetched so far
        for task in tasks:
            if task.kind == "daybar":
                self.daily_left[task.inst.category] = self.daily_left.get(task.inst.category, 0) + 1

    def count(self, written, sign=1):
        self.report.instruments[written.kind] += sign * written.instruments
        self.report.rows[written.kind] += sign * written.rows

    def commit(self, task, rows):
        if rows is _UP_TO_DATE:
            self.report.up_to_date += 1
        elif task.kind == "daybar":
            self._finish_daily(task, rows)  # counted when the category is written
        elif rows is not None:
            written = Written(task.kind, task.inst.order_book_id, 1, len(rows))
            _write_data(self.bundle_path, task, rows, self.committer, written)
            self.count(written)

    def _finish_daily(self, task, rows):
        category = task.inst.category
        if rows is not None and len(rows):
            self.daily_new.setdefault(category, {})[task.inst.order_book_id] = rows
        self.daily_left[category] -= 1
        if self.daily_left[category] == 0 and self.daily_new.get(category):
            new = self.daily_new.pop(category)
            written = Written("daybar", category, len(new), sum(len(r) for r in new.values()))
            if category in self.daybars_stored:
                storage.append_daybars(self.bundle_path, category, new, self.committer, written)
            else:
                storage.write_daybars(storage.bundle_dir(self.bundle_path), category, new, self.committer, written)
            self.count(written)

    def failed(self, written, exc):
        """A write that failed: take back what it was counted as, and stop when all would fail."""
        if written is not None:
            self.count(written, -1)
            label = f"{written.what} 类别" if written.kind == "daybar" else written.what
            self.report.failed.append((written.kind, label, _io_message(exc) if isinstance(exc, OSError)
                                       else exc.format_message() if isinstance(exc, click.ClickException)
                                       else str(exc)))
        if isinstance(exc, OSError) and (written is None or _stops_everything(exc)):
            raise _Stop(_write_failed(exc))

    def settle(self, wait=False):
        for written, exc in self.committer.failures(wait=wait):
            self.failed(written, exc)

    def take(self, task, future):
        """The result of one fetch, written; a failure costs only its own instrument."""
        try:
            rows = future.result()
        except Exception as exc:
            message = exc.format_message() if isinstance(exc, click.ClickException) else repr(exc)
            self.report.failed.append((task.kind, task.inst.order_book_id, message))
            rows = None
        try:
            self.commit(task, rows)
        except (OSError, storage.StorageError) as exc:
            what = task.inst.category if task.kind == "daybar" else task.inst.order_book_id
            self.failed(Written(task.kind, what, 0, 0), exc)
        self.settle()

    def close(self):
        for written, _exc in self.committer.failures(wait=True):  # what was in flight when the run stopped
            if written is not None:
                self.count(written, -1)
        self.committer.close()


def run_tasks(client, bundle_path, tasks, daybars_stored, concurrency, report, label, resume):
    """Fetch with ``concurrency`` threads (resuming each minute-bar or tick task there first), write
    from this thread, commit each file when done."""
    from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

    run = _TaskRun(client, bundle_path, tasks, daybars_stored, report, resume)
    # One thread more than there are connections: while each connection waits on a request, the
    # spare thread reads where its next task resumes, so no connection waits on the disk.
    threads = concurrency + 1
    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="vantorel-fetch")
    queue = iter(tasks)
    in_flight = {}

    def top_up():
        # Two tasks a thread: each finds its next one queued, and this thread finds results
        # waiting instead of handing the GIL over for every one.
        while len(in_flight) < 2 * threads:
            task = next(queue, None)
            if task is None:
                return
            in_flight[pool.submit(_fetch, client, task, resume)] = task

    try:
        with progress(label, length=len(tasks), show_pos=True) as bar:
            top_up()
            while in_flight:
                done, _ = wait(list(in_flight), return_when=FIRST_COMPLETED)
                for future in done:
                    run.take(in_flight.pop(future), future)
                    bar.update(1)
                top_up()
            run.settle(wait=True)
    except _Stop as stop:
        report.stopped = str(stop)
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        run.close()


def _still_stored(bundle_path, offered, dtype):
    """Rows of the stored instrument table whose code the service no longer offers but that still
    have data in the bundle: an expired contract keeps its listing, sessions and tick size."""
    directory = storage.bundle_dir(bundle_path)
    try:
        table = storage.read_instruments(directory).astype(dtype)
    except (FileNotFoundError, storage.StorageError, OSError, ValueError, TypeError):
        return None  # nothing usable to keep
    with_data = _stored_codes(bundle_path, "minbar") | _stored_codes(bundle_path, "tick") | storage.daybar_codes(directory)
    codes = [code.decode() for code in table["order_book_id"]]
    return table[[i for i, code in enumerate(codes) if code not in offered and code in with_data]]


def _base_tables(client, latest, concurrency):
    """(trading dates, ex-factors, suspensions) from the service, asked for together over up to
    ``concurrency`` connections: each is a round trip before any bar can be fetched."""
    from concurrent.futures import ThreadPoolExecutor

    last_year = to_date(latest).year + 1
    with ThreadPoolExecutor(max_workers=min(3, concurrency), thread_name_prefix="vantorel-fetch") as pool:
        asked = [pool.submit(client.trading_dates, CALENDAR_START, f"{last_year}-12-31"),
                 pool.submit(client.ex_factors), pool.submit(client.suspended)]
        return [answer.result() for answer in asked]


def _write_base(client, bundle_path, instruments, latest, concurrency):
    import numpy as np

    dtype = storage.instrument_dtype()
    arr = np.array([inst.record() for inst in instruments], dtype=dtype)
    kept = _still_stored(bundle_path, {inst.order_book_id for inst in instruments}, dtype)
    if kept is not None and len(kept):
        arr = np.concatenate([arr, kept])
    bundle_directory = storage.bundle_dir(bundle_path)
    dates, ex_factors, suspended = _base_tables(client, latest, concurrency)
    # Rewritten only when they changed: most days they did not, and an update should cost what is new.
    if not _same_as_stored(storage.read_instruments, bundle_directory, arr):
        storage.write_instruments(bundle_directory, arr)
    # Instruments the service does not offer (a CSV import's, say) keep what the bundle knew of them:
    # their exchanges' calendars, their suspensions and ex-factors. Without them the checks would
    # hold them against the service's holidays, and their adjusted prices would lose their splits.
    kept_codes = set() if kept is None else {code.decode() for code in kept["order_book_id"]}
    served = {inst.exchange for inst in instruments}
    kept_exchanges = set() if kept is None else {e.decode() for e in kept["exchange"]} - served - {""}
    exchanges = _kept_calendars(bundle_directory, kept_exchanges)
    if not _same_calendars(bundle_directory, dates, exchanges):
        storage.write_trading_dates(bundle_directory, dates, None, exchanges)
    for name, table in (("ex_factors", ex_factors), ("suspended", suspended)):
        table = _with_kept_rows(bundle_directory, name, table, kept_codes)
        if not _same_as_stored(lambda d: storage.read_table(d, name), bundle_directory, table):
            storage.write_table(bundle_directory, name, table)


def _kept_calendars(bundle_directory, names):
    """{exchange: (days, early closes)} of the stored calendars of ``names``: each exchange's own,
    else the bundle-wide one its instruments were held against (a CSV import of one market)."""
    if not names:
        return {}
    try:
        stored = storage.read_calendars(bundle_directory)
    except (OSError, storage.StorageError):
        return {}  # nothing readable to keep; the checks report the file as it was
    kept = {}
    for name in sorted(names):
        calendar = stored.get(name) or stored.get(None)
        if calendar is not None and len(calendar[0]):
            kept[name] = calendar
    return kept


def _same_calendars(bundle_directory, dates, exchanges):
    import numpy as np

    try:
        stored = storage.read_calendars(bundle_directory)
    except (OSError, storage.StorageError):
        return False
    wanted = {None: (dates, np.zeros(0, storage.EARLY_CLOSE_FIELDS)), **exchanges}
    return stored.keys() == wanted.keys() and all(
        np.array_equal(np.asarray(stored[k][0], "i8"), np.asarray(wanted[k][0], "i8"))
        and np.array_equal(stored[k][1], np.asarray(wanted[k][1]).astype(storage.EARLY_CLOSE_FIELDS))
        for k in wanted)


def _with_kept_rows(bundle_directory, name, table, codes):
    """The service's table with the stored rows of ``codes`` added, ordered by code and date."""
    import numpy as np

    if not codes:
        return table
    try:
        stored = storage.read_table(bundle_directory, name)
    except (OSError, storage.StorageError):
        return table
    if stored is None or not len(stored):
        return table
    mine = stored[np.isin(stored["order_book_id"], [code.encode() for code in sorted(codes)])]
    if not len(mine):
        return table
    merged = np.concatenate([table, mine.astype(table.dtype)])
    return np.sort(merged, order=list(table.dtype.names[:2]))


def _same_as_stored(read, bundle_directory, arr):
    import numpy as np

    try:
        stored = read(bundle_directory)
    except (OSError, storage.StorageError):
        return False
    return stored is not None and stored.dtype == arr.dtype and np.array_equal(stored, arr)


def _stored_codes(bundle_path, kind):
    files = storage.iter_minbar_files(bundle_path) if kind == "minbar" else storage.iter_tick_files(bundle_path)
    return {code for _cat, code, _path in files}


def update(client, bundle_path, base, selections, with_derivatives=False, rebuild=False,
           concurrency=1, label="更新数据", explicit=None):
    """Run one update under the caller's lock; returns a Report.

    ``selections`` maps "minbar"/"tick" to names to resolve; ``explicit`` maps them to market codes
    of stored files instead (the smart update), which are skipped when the service lost them.
    """
    started = time.monotonic()
    report = Report()
    notes = []
    storage.remove_stray_temp_files(bundle_path)
    # Said once, before anything is fetched, rather than by every file that cannot be appended to.
    problem = journal.update_problem(bundle_path)
    if problem:
        raise VantorelError(problem)
    latest = client.latest_trading_date()
    instruments = client.instruments()
    by_code = {inst.order_book_id: inst for inst in instruments}

    chosen = {}
    unknown = []
    for kind in KINDS:
        names = list(selections.get(kind) or ())
        if names:
            stored = _stored_codes(bundle_path, kind)
            picked, missing = resolve_selection(instruments, names, with_derivatives, stored,
                                                client.history_start(kind, latest), latest)
            chosen[kind] = picked
            unknown += [n for n in missing if n not in unknown]
        for code in (explicit or {}).get(kind, ()):
            inst = by_code.get(code)
            if inst is None:
                report.skipped.append((kind, code, "数据服务中已没有该合约"))
            else:
                chosen.setdefault(kind, []).append(inst)
    if unknown:
        raise VantorelError(_unknown_message(unknown, instruments))

    tasks = []
    daybars_stored = {}
    if base:
        day_tasks, daybars_stored, fresh = plan_daybar_tasks(client, bundle_path, instruments, latest, notes, report)
        tasks += day_tasks
        report.up_to_date += fresh
    for kind in KINDS:
        tasks += data_tasks(kind, chosen.get(kind, []), latest)
    converted = migrate_daybar_files(bundle_path) if base else 0
    for note in notes:
        click.echo(note, err=True)
    resume = _Resumer(client, bundle_path, latest, rebuild)
    try:
        _write_base(client, bundle_path, instruments, latest, concurrency)
    except OSError as exc:
        report.stopped = _write_failed(exc)
    else:
        run_tasks(client, bundle_path, tasks, daybars_stored, concurrency, report, label, resume)
    for note in resume.notes:
        click.echo(note, err=True)
    converted += len(resume.converted)
    if converted:
        click.echo(f"已将 {converted} 个旧版本的数据文件转换为新的存储格式（只需转换一次）", err=True)
    report.seconds = time.monotonic() - started
    return report


# ---- the kit functions --------------------------------------------------------------------------

def _check_concurrency(concurrency):
    if isinstance(concurrency, bool) or not isinstance(concurrency, int) or not (
            1 <= concurrency <= service.MAX_CONNECTIONS):
        raise VantorelError(f"并行线程数应在 1 到 {service.MAX_CONNECTIONS} 之间，当前为 {concurrency!r}")


def _run_update(concurrency, data_bundle_path, base, selections, with_derivatives, rebuild, explicit_from_disk):
    try:
        _check_concurrency(concurrency)
        client = service.open_client(concurrency)
        with update_lock(data_bundle_path) as path:
            from vantorel.ombrel.alpha import staging

            staging.recover(path)
            staging.check_bundle_path(path)
            explicit = None
            if explicit_from_disk:
                # What an unreadable file was set aside for is fetched again, not forgotten.
                explicit = {kind: sorted(_stored_codes(path, kind) | storage.set_aside_codes(path, kind))
                            for kind in KINDS}
                if not any(explicit.values()):
                    click.echo(f"{path} 中没有已下载的分钟线或 tick 数据，只更新基础数据和日线")
            with client:
                report = update(client, path, base, selections, with_derivatives, rebuild, concurrency,
                                explicit=explicit)
    except VantorelError as exc:
        exc.show()
        return False
    except OSError as exc:
        click.echo(f"错误：{_io_message(exc)}", err=True)
        return False
    for line in counted_notices(report.failed, "{code}（{kind}）未能更新：{message}",
                                "{count} 个合约的{kind}未能更新：{message}（如 {examples}）"):
        click.echo(line, err=True)
    for line in counted_notices(report.skipped, "跳过 {code}（{kind}）：{message}",
                                "跳过 {count} 个合约的{kind}：{message}（如 {examples}）"):
        click.echo(line, err=True)
    click.echo(report.summary())
    return report.ok


def counted_notices(items, one, many, examples=3):
    """Lines for (kind, code, message) notices: one a notice, but notices of one kind and cause
    that come more than ``examples`` times make one line with the count and a few codes."""
    groups = {}
    for kind, code, message in items:
        groups.setdefault((kind, message), []).append(code)
    lines = []
    for (kind, message), codes in groups.items():
        if len(codes) > examples:
            lines.append(many.format(count=len(codes), kind=KIND_LABELS[kind], message=message,
                                     examples="、".join(codes[:examples])))
        else:
            lines += [one.format(code=code, kind=KIND_LABELS[kind], message=message) for code in codes]
    return lines


def update_bundle_from_corvane(concurrency, data_bundle_path, base, minbar, tick, with_derivatives, rebuild=False):
    """Update base data and daily bars (``base``) and the minute bars and ticks of the selected
    categories, underlying symbols or market codes; true when everything asked for is stored."""
    minbar, tick = tuple(minbar or ()), tuple(tick or ())
    if not (base or minbar or tick):
        return True
    return _run_update(concurrency, data_bundle_path, base, {"minbar": minbar, "tick": tick},
                       with_derivatives, rebuild, explicit_from_disk=False)


def update_bundle_from_exist_file(concurrency, data_bundle_path):
    """Update the instruments whose minute bars or ticks are stored, and the base data and daily bars."""
    return _run_update(concurrency, data_bundle_path, True, {}, False, False, explicit_from_disk=True)


def build_bundle(bundle_path, sample=True, concurrency=2, client=None):
    """Build a bundle from the embedded service at ``bundle_path`` (no sign-in); returns a Report."""
    client = client or service.open_client(concurrency, require_login=False,
                                           universe="sample" if sample else "default")
    latest = client.latest_trading_date()
    instruments = client.instruments()
    minbar = [i.order_book_id for i in instruments if i.active_between(client.history_start("minbar", latest), latest)]
    tick = []
    if sample:
        tick = [i.order_book_id for i in instruments
                if i.category in SAMPLE_TICK_CATEGORIES and i.active_between(client.history_start("tick", latest), latest)]
    label = "生成样例数据" if sample else "生成数据"
    with client:
        return update(client, bundle_path, True, {"minbar": minbar, "tick": tick}, concurrency=concurrency,
                      label=label)


def download_simple_bundle(data_bundle_path, sample=True, file_path=None):
    """Install a bundle: from the local archive ``file_path`` when given, else built from the embedded
    service (see the module documentation for what ``sample`` selects). True on success; failures
    raise VantorelError and leave the old bundle in place."""
    with update_lock(data_bundle_path) as path:
        if file_path:
            from vantorel.ombrel.alpha.archive import install_archive

            install_archive(file_path, path)
            return True
        from vantorel.ombrel.alpha.staging import staged_bundle

        with staged_bundle(path) as swap:
            report = build_bundle(swap.path, sample=sample)
            if not report.ok:
                for line in counted_notices(report.failed, "{code}（{kind}）生成失败：{message}",
                                            "{count} 个合约的{kind}生成失败：{message}（如 {examples}）"):
                    click.echo(line, err=True)
                raise VantorelError(report.summary("生成数据") + f"；{path} 保持不变")
        click.echo(report.summary("样例数据生成" if sample else "数据生成") + f"，已保存到 {path}{swap.note()}")
        return True


def check_min_bar_data(data_bundle_path):
    """Check the stored minute bars for anomalies (see ``vantorel.ombrel.alpha.checks``)."""
    from vantorel.ombrel.alpha.checks import check_min_bar_data as check

    return check(data_bundle_path)
