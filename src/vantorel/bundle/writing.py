"""Writing whole files: built in a temporary file in their own directory, then fsynced and moved into
place, by the caller or by a committer thread."""
import contextlib
import errno
import itertools
import os
import secrets
import stat
import time

from vantorel.bundle import nofollow
from vantorel.bundle.durable import fsync_directory, write_all
from vantorel.bundle.hdf5 import COMPRESSED_KINDS, IMAGE_NAMES, DriverFile, image_parts, load_codec
from vantorel.bundle.places import (
    BUNDLE_DIR_NAME,
    DATASET,
    INSTRUMENTS_FILE,
    LIBVER,
    MINBAR_DIR_NAME,
    SCHEMA_VERSION,
    TEMP_MARK,
    TEMP_NAME,
    TICK_DIR_NAME,
    TRADING_DATES_FILE,
    StorageError,
    daybar_path,
    minbar_path,
    reach_directory,
    tick_path,
)
from vantorel.market.schemas import EARLY_CLOSE_FIELDS, EXCHANGE_DATE_FIELDS, EXCHANGE_EARLY_CLOSE_FIELDS


def disk_full(exc):
    """Whether an OSError is the disk, or the user's quota, running out of space."""
    return getattr(exc, "errno", None) in (errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC))


def _write_attrs(f, attrs):
    # The low-level calls take a third of the time of ``f.attrs[name] = value``, which a full
    # update pays seven times a file; texts and integers come out as h5py writes them.
    import h5py
    import numpy as np

    made = image_parts()
    for name, value in attrs.items():
        kind = str if isinstance(value, str) else int if isinstance(value, (int, np.integer)) and not isinstance(
            value, (bool, np.bool_)) else None
        if kind is None:
            f.attrs[name] = value
            continue
        tid, mtype, dtype = made.attr_types[kind]
        data = np.array(value.encode() if kind is str else value, dtype=dtype)
        # Given the memory type, h5py does not build it anew from the dtype on every write.
        h5py.h5a.create(f.id, name.encode(), tid, made.scalar).write(data, mtype=mtype)


class _TempFile(DriverFile):
    """The temporary file a new file is built in, as HDF5's file-object driver writes it: the
    file grows on disk as HDF5 writes, so building it holds no image of it in memory.

    HDF5 never meets a refused write (it cannot close a file it failed to write, and says so at
    length): from the first write the system refuses on, what HDF5 writes is kept in memory so
    that it can finish, and ``refused`` is raised once the file is closed. Consecutive writes are
    gathered into one system call."""

    GATHER = 1 << 20

    def __init__(self, fd):
        self.fd = fd
        self.position = 0
        self.length = 0
        self.refused = None
        self._pending_at = 0
        self._pending = bytearray()
        self._kept = []  # (offset, bytes) written after a refusal, later ones over earlier ones

    # -- the file object h5py's driver uses --------------------------------------------------------

    def write(self, data):
        data = memoryview(data).cast("B")
        if self.refused is not None:
            self._kept.append((self.position, bytes(data)))
        else:
            if self.position != self._pending_at + len(self._pending) or len(self._pending) >= self.GATHER:
                self._drain()
            if not self._pending:
                self._pending_at = self.position
            self._pending += data
        self.position += len(data)
        self.length = max(self.length, self.position)
        return len(data)

    # -- the file on disk ------------------------------------------------------------------------------

    def _drain(self):
        if not self._pending or self.refused is not None:
            return
        try:
            os.lseek(self.fd, self._pending_at, os.SEEK_SET)
            write_all(self.fd, self._pending)
        except OSError as exc:
            self.refused = exc
            self._kept.append((self._pending_at, bytes(self._pending)))
        self._pending = bytearray()

    def _read_at(self, offset, size):
        self._drain()
        end = min(offset + size, self.length)
        if end <= offset:
            return b""
        out = bytearray(os.pread(self.fd, end - offset, offset))
        out.extend(bytes(end - offset - len(out)))  # not written yet: zeros, as a hole reads
        for at, data in self._kept:
            lo, hi = max(at, offset), min(at + len(data), end)
            if lo < hi:
                out[lo - offset:hi - offset] = data[lo - at:hi - at]
        return bytes(out)

    def finish(self):
        """Write what is gathered and set the file's length; the refused write, if any, is raised."""
        self._drain()
        if self.refused is None:
            try:
                os.ftruncate(self.fd, self.length)
            except OSError as exc:
                self.refused = exc
        if self.refused is not None:
            raise self.refused


class Built:
    """A new file written and closed under its temporary name, waiting for ``finish`` to make it
    durable and move it into place."""

    def __init__(self, path, directory, fd, tmp):
        self.path, self.directory, self.fd, self.tmp = path, directory, fd, tmp

    # Rule 1 of ``access``: a whole file reaches its name complete or not at all.
    def finish(self, sync_directory=True):
        """fsync the temporary file and move it into place, through the directory it was made in: the
        file lands in the directory that was checked even if, on a bundle path others may write,
        its name leads elsewhere by now. A refusal raises a plain OSError naming the file."""
        directory, name = self.directory, os.path.basename(self.path)
        with directory:
            try:
                try:
                    os.fsync(self.fd)
                finally:
                    os.close(self.fd)
                if directory.fd is None:
                    os.replace(directory.join(self.tmp), self.path)
                else:
                    os.replace(self.tmp, name, src_dir_fd=directory.fd, dst_dir_fd=directory.fd)
            except BaseException as exc:
                _drop_temp(directory, self.tmp)
                raise nofollow.naming(exc, self.path) from None
            if sync_directory:
                with contextlib.suppress(OSError):  # the file is in place and whole; only the move's durability is unsure
                    directory.fsync()

    def discard(self):
        """Remove the temporary file: nothing reaches ``path``."""
        with self.directory:
            os.close(self.fd)
            _drop_temp(self.directory, self.tmp)


def build_file(path, fill, kind, attrs=None):
    """A new HDF5 file made through ``fill(h5file)`` in a temporary file beside ``path`` (a ``Built``).

    The directory is opened once and its owner checked on what was opened (a category directory
    the user keeps on another disk through a link is still theirs); the temporary file is made
    through that descriptor. A write the system refuses raises a plain OSError naming ``path``
    (ENOSPC when the disk is full), the temporary file removed."""
    import h5py

    directory, fd, tmp = _new_temp_file(path)
    try:
        target = _TempFile(fd)
        f = h5py.File(_create_through(target))
        try:
            _write_attrs(f, dict({"schema_version": SCHEMA_VERSION, "kind": kind}, **(attrs or {})))
            fill(f)
        finally:
            f.close()  # every identifier of it: one left open would keep ``target`` past the process's end
        target.finish()
    except BaseException as exc:
        os.close(fd)
        _drop_temp(directory, tmp)
        directory.close()
        if isinstance(exc, OSError):
            raise nofollow.naming(exc, path) from None
        raise
    return Built(path, directory, fd, tmp)


def _new_temp_file(path):
    """(the directory of ``path``, reached as ``reach_directory`` does; a new temporary file in it,
    open; its name)."""
    directory_path, name = os.path.split(path)
    tmp = "." + name + TEMP_MARK + f"{os.getpid()}-{secrets.token_hex(4)}"
    directory = reach_directory(directory_path or ".", path, create=True)
    try:
        return directory, directory.open(tmp, _NEW_FILE, 0o666), tmp
    except BaseException as exc:
        directory.close()
        raise nofollow.naming(exc, path) from None


def write_bytes(path, data):
    """A small file of the kit's that is no HDF5 file (a record), written whole under a temporary
    name and moved into place as ``Built.finish`` does."""
    directory, fd, tmp = _new_temp_file(path)
    try:
        write_all(fd, data)
    except BaseException as exc:
        os.close(fd)
        _drop_temp(directory, tmp)
        directory.close()
        raise nofollow.naming(exc, path) from None
    Built(path, directory, fd, tmp).finish()


def _create_through(target):
    """A new HDF5 file written through ``target``. The property list that holds ``target`` is
    dropped on return: one kept alive by a traceback would be freed by HDF5 as the process ends,
    after Python has gone, and crash it."""
    import h5py

    fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
    fapl.set_fileobj_driver(h5py.h5fd.fileobj_driver, target)
    fapl.set_libver_bounds(*(getattr(h5py.h5f, "LIBVER_" + bound.upper()) for bound in LIBVER))
    fapl.set_fclose_degree(h5py.h5f.CLOSE_STRONG)
    # The name only tells open files apart; HDF5 writes through ``target``.
    return h5py.h5f.create(f"new-{next(IMAGE_NAMES)}".encode(), h5py.h5f.ACC_TRUNC, fapl=fapl)


_NEW_FILE = os.O_RDWR | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)


def _drop_temp(directory, tmp):
    with contextlib.suppress(OSError):
        directory.unlink(tmp)


def atomic_h5(path, fill, kind, attrs=None, committer=None, owner=None):
    """Write an HDF5 file through ``fill(h5file)`` and swap it in atomically at ``path``; with a
    ``Committer`` the fsync and the swap happen on its threads."""
    _finish(build_file(path, fill, kind, attrs), committer, owner)


def _finish(built, committer, owner):
    """Swap a built file in now, or hand it to ``committer``'s threads."""
    if committer is None:
        built.finish()
    else:
        committer.finish(built, owner)


class Committer:
    """Finishes written files on a few threads: a temporary file's fsync and os.replace, or the
    journals, writes and fsyncs of changes in place, committed in groups that share the journal
    directory's fsyncs.

    fsync waits for the disk; the file system commits concurrent fsyncs together, so overlapping
    them costs little more than one. The HDF5 writing itself stays on the caller's thread. The moves
    of whole files are made durable once per directory, when the committer drains. Each commit
    carries an ``owner`` (what the caller counted it as); a commit that fails is handed back with
    it by ``failures``, so that the caller can take back what it counted and name the right file.
    """

    # Files waiting at most: each holds its new bytes and a descriptor, so the caller waits beyond this.
    BACKLOG = 64
    # Changes in place committed together, at most. Every system call of a commit lets the
    # committer's thread take the interpreter from the caller's; a group pays the journal
    # directory's once. A group is committed on one thread: as many files as take GROUP_SECONDS
    # at the last group's pace, so that on a disk whose commits are slow each goes alone, side by
    # side with others on the threads, as before groups.
    GROUP = 16
    GROUP_SECONDS = 0.5

    def __init__(self, threads=8):
        from concurrent.futures import ThreadPoolExecutor

        self._pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="vantorel-commit")
        self._pending = []  # (future of [(owner, exception)], files it holds)
        self._failed = []  # (owner, exception)
        self._directories = set()
        self._changes = {}  # bundle path -> [(overlay, owner)] not yet sent
        self._group = self.GROUP

    def run(self, function, *args, owner=None):
        self._send(self._pool.submit(_failures_of, function, args, owner), 1)

    def finish(self, built, owner=None):
        self._directories.add(os.path.dirname(built.path) or ".")
        self.run(built.finish, False, owner=owner)

    def change(self, overlay, bundle_path, owner=None):
        """Commit a change in place (``overlay``, its HDF5 file closed) with the next ones."""
        group = self._changes.setdefault(bundle_path, [])
        group.append((overlay, owner))
        if len(group) >= self._group:
            self._send_changes()

    def _send_changes(self):
        for bundle_path, group in self._changes.items():
            self._send(self._pool.submit(self._commit_group, bundle_path, group), len(group))
        self._changes = {}

    def _commit_group(self, bundle_path, group):
        from vantorel.bundle import overlay

        started = time.monotonic()
        owners = {id(changed): owner for changed, owner in group}
        try:
            failed = overlay.commit_together(bundle_path, [changed for changed, _owner in group])
        except Exception as exc:  # not one file's (a setting that cannot be read): every file's
            failed = [(changed, exc) for changed, _owner in group]
        took = max(time.monotonic() - started, 1e-6)
        self._group = max(1, min(self.GROUP, int(self.GROUP_SECONDS * len(group) / took)))
        return [(owners[id(changed)], exc) for changed, exc in failed]

    def _send(self, future, files):
        self._pending.append((future, files))
        self._collect(wait=False)
        while sum(files for _future, files in self._pending) > self.BACKLOG:
            self._failed += self._pending.pop(0)[0].result()

    def _collect(self, wait):
        still = []
        for future, files in self._pending:
            if wait or future.done():
                self._failed += future.result()
            else:
                still.append((future, files))
        self._pending = still

    def failures(self, wait=False):
        """[(owner, exception)] of the commits that failed since the last call; with ``wait``,
        after every commit has finished and the directories are durable."""
        if wait:
            self._send_changes()
        self._collect(wait)
        if wait:
            directories, self._directories = self._directories, set()
            for directory in sorted(directories):
                try:
                    fsync_directory(directory)
                except OSError as exc:
                    self._failed.append((None, exc))
        failed, self._failed = self._failed, []
        return failed

    def close(self):
        self._send_changes()
        self._pool.shutdown(wait=True)


def _failures_of(function, args, owner):
    try:
        function(*args)
    except Exception as exc:
        return [(owner, exc)]
    return []


def remove_stray_temp_files(bundle_path):
    """Remove temporary files that a killed writer left behind; returns how many.

    Only the directories this kit writes are searched, and only names it gives its temporary
    files are removed: a bundle path may be any directory the user names. The search goes by
    descriptor and never through a link, and removes only regular files of the users whose
    entries are the kit's (``nofollow.owners``): on a bundle path others may rename in, a name
    may lead out of the bundle by the next call."""
    if not nofollow.FD_CALLS:
        return _remove_stray_temp_files_by_path(bundle_path)
    removed = 0
    try:
        top = nofollow.Dir.at(bundle_path, follow=True)  # the path the user named
    except OSError:
        return 0
    with top:
        users = nofollow.owners(top)
        for name in (BUNDLE_DIR_NAME, MINBAR_DIR_NAME, TICK_DIR_NAME):
            try:
                tree = top.sub(name)
            except OSError:
                continue  # missing, or a link: not entered
            with tree:
                for _root, _dirs, files, fd in os.fwalk(".", dir_fd=tree.fd, follow_symlinks=False):
                    for file in files:
                        with contextlib.suppress(OSError):
                            info = os.stat(file, dir_fd=fd, follow_symlinks=False)
                            if (TEMP_NAME.fullmatch(file) and stat.S_ISREG(info.st_mode)
                                    and nofollow.trusted(info, users)):
                                os.unlink(file, dir_fd=fd)
                                removed += 1
    return removed


def _remove_stray_temp_files_by_path(bundle_path):
    removed = 0
    for top in (BUNDLE_DIR_NAME, MINBAR_DIR_NAME, TICK_DIR_NAME):
        for root, _dirs, files in os.walk(os.path.join(bundle_path, top)):
            for name in files:
                if TEMP_NAME.fullmatch(name):
                    try:
                        os.unlink(os.path.join(root, name))
                        removed += 1
                    except OSError:
                        pass
    return removed


def _trading_date_span(arr):
    if len(arr) == 0:
        return 0, 0
    return int(arr["trading_date"][0]), int(arr["trading_date"][-1])


def create_series(group, name, arr, kind):
    """A chunked dataset of ``arr`` that appends can grow (made as ``create_dataset`` would, with
    the property lists made once)."""
    import h5py
    import numpy as np

    if kind in COMPRESSED_KINDS:
        load_codec()  # the filter is optional: unregistered, HDF5 would store the rows uncompressed
    made = image_parts()
    arr = np.ascontiguousarray(arr)
    space = h5py.h5s.create_simple((len(arr),), (h5py.h5s.UNLIMITED,))
    tid = made.series_type(arr.dtype)
    dataset = h5py.h5d.create(group.id, name.encode(), tid, space, dcpl=made.series_dcpl[kind])
    if len(arr):
        dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, arr, mtype=tid)


def _span_attrs(arr):
    first, last = _trading_date_span(arr)
    return {"rows": len(arr), "first_trading_date": first, "last_trading_date": last}


STREAM_CHUNK_CACHE = 1 << 20  # a few chunks of the longest rows


def stream_series(group, name, pieces, kind, dtype):
    """A series as ``create_series`` makes it, grown by each array of ``pieces`` as it comes, so
    that no more than one piece is held; returns the span attributes of all the rows. The series
    takes the dtype of the first piece that has rows (``dtype`` when none has); a later piece of
    other fields or types is refused (StorageError), one of the same fields otherwise laid out is
    taken by its fields, and rows a piece repeats from before its seam (a window that reaches back) are
    left out: pieces meet as one fetch of the whole span would."""
    import h5py
    import numpy as np

    if kind in COMPRESSED_KINDS:
        load_codec()
    pieces = iter(pieces)
    head = next((piece for piece in pieces if len(piece)), None)
    if head is not None:
        dtype = np.asarray(head).dtype
    made = image_parts()
    tid = made.series_type(np.dtype(dtype))
    space = h5py.h5s.create_simple((0,), (h5py.h5s.UNLIMITED,))
    # Rows come in time order: only the chunk a piece ends in waits for the next. HDF5's own
    # cache (8 MiB since 2.0) would keep that much of every long history in memory till the close.
    dapl = h5py.h5p.create(h5py.h5p.DATASET_ACCESS)
    dapl.set_chunk_cache(521, STREAM_CHUNK_CACHE, 0.75)
    dataset = h5py.h5d.create(group.id, name.encode(), tid, space, dcpl=made.series_dcpl[kind], dapl=dapl)
    rows, first, last, last_stamp = 0, 0, 0, None
    for piece in [] if head is None else itertools.chain([head], pieces):
        if not len(piece):
            continue
        piece = _as_series_rows(np.asarray(piece), np.dtype(dtype), name)
        if last_stamp is not None:
            piece = piece[np.searchsorted(piece["datetime"], last_stamp, side="right"):]
        if not len(piece):
            continue
        dataset.set_extent((rows + len(piece),))
        into = dataset.get_space()
        into.select_hyperslab((rows,), (len(piece),))
        # Rows that do not end on a chunk leave it in HDF5's chunk cache, where the next piece finishes it.
        dataset.write(h5py.h5s.create_simple((len(piece),)), into, piece, mtype=tid)
        first = first or int(piece["trading_date"][0])
        last = int(piece["trading_date"][-1])
        last_stamp = piece["datetime"][-1]
        rows += len(piece)
    return {"rows": rows, "first_trading_date": first, "last_trading_date": last}


def _as_series_rows(piece, dtype, name):
    """``piece`` as contiguous rows of ``dtype``: by its fields when they are the same fields of the
    same types laid out otherwise, in another order or byte order (numpy's own cast of records goes
    by position); prices in float32 or volumes in floats would be changed, and are refused."""
    import numpy as np

    if piece.dtype == dtype:
        return np.ascontiguousarray(piece)
    if piece.dtype.names is None or sorted(piece.dtype.names) != sorted(dtype.names) or not all(
            np.can_cast(piece.dtype[field], dtype[field], "equiv") for field in dtype.names):
        reason = f"数据服务返回的分段数据字段不一致（{name}）"
        raise StorageError(f"{reason}，未写入该合约", reason, damaged=False)
    rows = np.empty(len(piece), dtype)
    for field in dtype.names:
        rows[field] = piece[field]
    return rows


def build_data_file(path, kind, category, code, pieces, attrs=None):
    """The minute-bar or tick file of one instrument built from its rows in pieces (arrays in time
    order, fetched or made as they are asked for), under a temporary name: (``Built``, rows).
    Nothing reaches ``path`` until the caller finishes it, and nothing is left if a piece fails."""
    from vantorel.market import schemas

    dtype = schemas.minbar_dtype() if kind == "minbar" else schemas.tick_dtype()
    span = {}

    def fill(f):
        span.update(stream_series(f, DATASET[kind], pieces, kind, dtype))
        # Written once the rows have passed: the span is known only then.
        _write_attrs(f, dict(span, **(attrs or {})))

    built = build_file(path, fill, kind, {"order_book_id": code, "category": category})
    return built, span["rows"]


def write_data_file(path, kind, category, code, arr, committer=None, owner=None, attrs=None):
    """Write the whole minute-bar or tick series of one instrument: one array, or its pieces in time
    order (any iterable of arrays), each written into the new file as it comes."""
    import numpy as np

    if not isinstance(arr, np.ndarray):
        _finish(build_data_file(path, kind, category, code, arr, attrs)[0], committer, owner)
        return

    def fill(f):
        create_series(f, DATASET[kind], arr, kind)

    atomic_h5(path, fill, kind, dict({"order_book_id": code, "category": category}, **_span_attrs(arr), **(attrs or {})),
              committer, owner)


def write_minbar(bundle_path, category, code, arr, bar_minutes=1):
    """Minute bars of one instrument; bars of several minutes say how many (``bar_minutes``)."""
    path = minbar_path(bundle_path, category, code)
    write_data_file(path, "minbar", category, code, arr, attrs={"bar_minutes": bar_minutes} if bar_minutes != 1 else None)
    return path


def write_tick(bundle_path, category, code, arr):
    path = tick_path(bundle_path, category, code)
    write_data_file(path, "tick", category, code, arr)
    return path


def write_instruments(bundle_directory, arr, attrs=None):
    atomic_h5(os.path.join(bundle_directory, INSTRUMENTS_FILE),
              lambda f: f.create_dataset("instruments", data=arr), "instruments", attrs)


def write_trading_dates(bundle_directory, dates, early_closes=None, exchanges=None):
    """The calendar, and the days it closes early (``EARLY_CLOSE_FIELDS``) when there are any.
    ``exchanges``, {exchange: (dates, early closes)}, are calendars of single exchanges, stored
    beside it where readers that know only the bundle-wide one do not look."""
    import numpy as np

    data = np.asarray(dates, dtype="i4")
    exchanges = sorted((exchanges or {}).items())

    def fill(f):
        f.create_dataset("trading_dates", data=data)
        if early_closes is not None and len(early_closes):
            f.create_dataset("early_closes", data=np.asarray(early_closes).astype(EARLY_CLOSE_FIELDS))
        if exchanges:
            f.create_dataset("exchange_trading_dates", data=np.array(
                [(name.encode(), day) for name, (days, _early) in exchanges for day in days], EXCHANGE_DATE_FIELDS))
            f.create_dataset("exchange_early_closes", data=np.array(
                [(name.encode(), *row) for name, (_days, early) in exchanges
                 for row in np.asarray(early).astype(EARLY_CLOSE_FIELDS).tolist()],
                EXCHANGE_EARLY_CLOSE_FIELDS))

    atomic_h5(os.path.join(bundle_directory, TRADING_DATES_FILE), fill, "trading_dates")


def write_table(bundle_directory, name, arr):
    """A table of its own, ``bundle/<name>.h5`` holding dataset ``name`` (the ex-factors, the suspensions)."""
    atomic_h5(os.path.join(bundle_directory, name + ".h5"), lambda f: f.create_dataset(name, data=arr), name)


def write_daybars(bundle_directory, category, bars_by_code, committer=None, owner=None):
    """Write the daily-bar file of one category: ``bars_by_code`` maps market code to array."""

    def fill(f):
        for code in sorted(bars_by_code):
            create_series(f, code, bars_by_code[code], "daybar")

    atomic_h5(daybar_path(bundle_directory, category), fill, "daybar", {"category": category}, committer, owner)
