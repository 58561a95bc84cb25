"""Running an update's tasks: fetched on worker threads, written from the calling thread, each file
committed as soon as it is complete."""
import errno
from typing import NamedTuple

import click

from vantorel.bundle import appending, places, writing
from vantorel.market.calendar import to_date, to_int, trading_dates
from vantorel.market.sessions import parse_trading_hours
from vantorel.progress import progress
from vantorel.update.plan import discard


class Stop(Exception):
    """A write failed in a way that would fail for every other file too (disk full, no permission)."""



_UP_TO_DATE = object()

# Rows one piece of a new file's history holds, about: a long history is fetched and written a
# piece at a time, so that an update's memory does not grow with the history it fetches.
PIECE_ROWS = 1 << 14
# Pieces of the file being written that are fetched ahead of it.
PIECES_AHEAD = 3



def _fetch_rows(client, kind, code, start, end):
    if kind == "daybar":
        return client.daily_bars(code, start, end)
    if kind == "minbar":
        return client.minute_bars(code, start, end)
    return client.ticks(code, start, end)



def _rows_a_day(kind, inst):
    minutes = sum((last - first) % 1440 + 1 for first, last in parse_trading_hours(inst.trading_hours))
    # A service that does not say how often it snapshots: every 3 seconds, as the exchanges publish.
    return minutes * (getattr(inst, "ticks_per_minute", 20) if kind == "tick" else 1)



def windows(kind, inst, start, end):
    """[(first, last)] trading days of the pieces a new file's history from ``start`` to ``end`` is
    fetched in, oldest first: about ``PIECE_ROWS`` rows each."""
    import datetime

    per = max(1, PIECE_ROWS // max(1, _rows_a_day(kind, inst)))
    starts = [int(day) for day in trading_dates(start, end)[per::per]]
    # The windows meet with no day between them: a day the service trades on that the calendar
    # does not know still falls in one.
    ends = [to_int(to_date(day) - datetime.timedelta(days=1)) for day in starts]
    return list(zip([start, *starts], [*ends, end]))



class _FetchFailed(Exception):
    """A piece of a file's history could not be fetched: its instrument fails, as a failed fetch does."""



class _Pieces:
    """A new file's history fetched in pieces: the first one, fetched with its task, and the windows
    of the rest, fetched on the pool a few ahead of the writer as it asks for them."""

    def __init__(self, first, rest):
        self.first, self.rest = first, rest

    def rows(self, pool, client, task):
        ahead = []
        rest = iter(self.rest)

        def top_up():
            while len(ahead) < PIECES_AHEAD:
                window = next(rest, None)
                if window is None:
                    return
                ahead.append(pool.submit(_fetch_rows, client, task.kind, task.inst.order_book_id, *window))

        try:
            top_up()
            yield self.first
            while ahead:
                try:
                    piece = ahead.pop(0).result()
                except Exception as exc:
                    raise _FetchFailed() from exc
                top_up()
                yield piece
        finally:
            for future in ahead:  # the file is given up: what it still waits for is not wanted
                future.cancel()



def _fetch(client, task, resume):
    try:
        if task.start is None and not resume(task):
            return _UP_TO_DATE
        if task.kind == "daybar" or task.merge:
            return _fetch_rows(client, task.kind, task.inst.order_book_id, task.start, task.end)
        (start, end), *rest = windows(task.kind, task.inst, task.start, task.end)
        first = _fetch_rows(client, task.kind, task.inst.order_book_id, start, end)
        return _Pieces(first, rest) if rest else first
    except BaseException:
        discard(task)
        raise



def _write_data(bundle_path, task, rows, committer, written):
    inst = task.inst
    if task.merge:
        edit, task.edit = task.edit, None
        appending.append_series(bundle_path, task.kind, inst.category, inst.order_book_id, rows, committer,
                                task.stored_last, written, edit)
    else:
        path = places.data_path(bundle_path, task.kind, inst.category, inst.order_book_id)
        writing.write_data_file(path, task.kind, inst.category, inst.order_book_id, rows, committer, written)



def io_message(exc):
    """What a failed read or write of a file means, in the kit's words, and what to do about it."""
    where = getattr(exc, "filename", None) or ""
    errno_ = getattr(exc, "errno", None)
    if writing.disk_full(exc):
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
    return writing.disk_full(exc) or getattr(exc, "errno", None) in (errno.EROFS, errno.EFBIG)



def write_failed(exc):
    return io_message(exc) if writing.disk_full(exc) else f"写入失败：{io_message(exc)}"



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

    def __init__(self, client, bundle_path, tasks, daybars_stored, report, resume, pool):
        self.client, self.bundle_path, self.report, self.resume = client, bundle_path, report, resume
        self.pool = pool  # fetches the pieces of a long new history ahead of its writing
        self.daybars_stored = daybars_stored
        self.committer = writing.Committer()
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
        elif isinstance(rows, _Pieces):
            self._write_pieces(task, rows)
        elif rows is not None and not len(rows):
            self.nothing_served(task)
        elif rows is not None:
            written = Written(task.kind, task.inst.order_book_id, 1, len(rows))
            _write_data(self.bundle_path, task, rows, self.committer, written)
            self.count(written)

    def _write_pieces(self, task, pieces):
        """A new file written piece by piece as the pieces come, committed after the last one; a
        piece that cannot be fetched fails the instrument and leaves no file."""
        inst = task.inst
        path = places.data_path(self.bundle_path, task.kind, inst.category, inst.order_book_id)
        rows = pieces.rows(self.pool, self.client, task)
        try:
            built, count = writing.build_data_file(path, task.kind, inst.category, inst.order_book_id, rows)
        except _FetchFailed as exc:
            self.fetch_failed(task, exc.__cause__)
            return
        finally:
            rows.close()
        if not count:
            built.discard()
            self.nothing_served(task)
            return
        written = Written(task.kind, inst.order_book_id, 1, count)
        self.committer.finish(built, written)
        self.count(written)

    def nothing_served(self, task):
        """No rows on the days asked for (suspended on all of them): a stored file is as new as the
        service has it; no file is made for a new one, and the user is told how to fetch it later,
        since an update of the stored files alone (--smart) would never reach it."""
        if task.merge:
            self.report.up_to_date += 1
        else:
            self.report.skipped.append((task.kind, task.inst.order_book_id,
                                        f"所取的日期内没有数据（停牌），未建文件；复牌后运行 update-data --{task.kind} "
                                        "加该代码即可取得"))

    def _finish_daily(self, task, rows):
        category = task.inst.category
        if rows is not None and len(rows):
            self.daily_new.setdefault(category, {})[task.inst.order_book_id] = rows
        self.daily_left[category] -= 1
        if self.daily_left[category] == 0 and self.daily_new.get(category):
            new = self.daily_new.pop(category)
            written = Written("daybar", category, len(new), sum(len(r) for r in new.values()))
            if category in self.daybars_stored:
                appending.append_daybars(self.bundle_path, category, new, self.committer, written)
            else:
                writing.write_daybars(places.bundle_dir(self.bundle_path), category, new, self.committer, written)
            self.count(written)

    def failed(self, written, exc):
        """A write that failed: take back what it was counted as, and stop when all would fail."""
        if written is not None:
            self.count(written, -1)
            label = f"{written.what} 类别" if written.kind == "daybar" else written.what
            self.report.failed.append((written.kind, label, io_message(exc) if isinstance(exc, OSError)
                                       else exc.format_message() if isinstance(exc, click.ClickException)
                                       else str(exc)))
        if isinstance(exc, OSError) and (written is None or _stops_everything(exc)):
            raise Stop(write_failed(exc))

    def settle(self, wait=False):
        # Every failure handed back is taken back and named before a full disk stops the run: a
        # group of commits fails together.
        stop = None
        for written, exc in self.committer.failures(wait=wait):
            try:
                self.failed(written, exc)
            except Stop as stopped:
                stop = stop or stopped
        if stop is not None:
            raise stop

    def fetch_failed(self, task, exc):
        message = exc.format_message() if isinstance(exc, click.ClickException) else repr(exc)
        self.report.failed.append((task.kind, task.inst.order_book_id, message))

    def take(self, task, future):
        """The result of one fetch, written; a failure costs only its own instrument."""
        try:
            rows = future.result()
        except Exception as exc:
            self.fetch_failed(task, exc)
            rows = None
        try:
            self.commit(task, rows)
        except (OSError, places.StorageError) as exc:
            what = task.inst.category if task.kind == "daybar" else task.inst.order_book_id
            self.failed(Written(task.kind, what, 0, 0), exc)
        finally:
            discard(task)  # nothing to append (no new rows, a failed fetch): the file stays as it is
        self.settle()

    def close(self):
        for written, _exc in self.committer.failures(wait=True):  # what was in flight when the run stopped
            if written is not None:
                self.count(written, -1)
        self.committer.close()



def run_tasks(client, bundle_path, tasks, daybars_stored, concurrency, report, label, resume):
    """Fetch with ``concurrency`` threads (resuming each minute-bar or tick task there first), write
    from this thread, commit each file when done."""
    import contextvars
    from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait

    # One thread more than there are connections: while each connection waits on a request, the
    # spare thread reads where its next task resumes, so no connection waits on the disk.
    threads = concurrency + 1
    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="vantorel-fetch")
    run = _TaskRun(client, bundle_path, tasks, daybars_stored, report, resume, pool)
    queue = iter(tasks)
    in_flight = {}

    def top_up():
        # Two tasks a thread: each finds its next one queued, and this thread finds results
        # waiting instead of handing the GIL over for every one.
        while len(in_flight) < 2 * threads:
            task = next(queue, None)
            if task is None:
                return
            # In this thread's context: the resume opens files from the directories kept walked to.
            in_flight[pool.submit(contextvars.copy_context().run, _fetch, client, task, resume)] = task

    # Kept until the fetch threads are done: they open the files they resume from.
    with places.walks_kept():
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
        except Stop as stop:
            report.stopped = str(stop)
        finally:
            pool.shutdown(wait=True, cancel_futures=True)
            for task in in_flight.values():  # fetched, never taken: the run stopped
                discard(task)
            run.close()
