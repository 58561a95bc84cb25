"""The data bundle on disk.

Layout under the bundle path (the directory given by ``-d``)::

    <bundle path>/
        bundle/                      the bundle directory: base data and daily bars
            instruments.h5           dataset "instruments": one row per instrument (INSTRUMENT_DTYPE)
            trading_dates.h5         dataset "trading_dates": int32 YYYYMMDD, ascending; "early_closes"
                                     (EARLY_CLOSE_FIELDS) when it has any; and, when exchanges keep
                                     calendars of their own, "exchange_trading_dates" and
                                     "exchange_early_closes" (the same rows led by the exchange), of
                                     which "trading_dates" is then the union
            daybar/<category>.h5     one dataset per instrument, named by its market code (DAYBAR_DTYPE)
        minbar/<category>/<code>.h5  dataset "bars": minute bars of one instrument (MINBAR_DTYPE)
        tick/<category>/<code>.h5    dataset "ticks": ticks of one instrument (TICK_DTYPE)
        quarantine/<kind>/<category>/<code>.h5.<stamp>
                                     minute-bar and tick files set aside as unreadable by the tick
                                     check or an update, never read again
        reports/check-<stamp>-<check>.jsonl
                                     what each check-data run found (``reports``); no bundle data

``<category>`` is a data category name of ``TAG_MAP`` ("stock", "futures", "fund", "index", "option",
"convertible"); ``<code>`` is the market code (order_book_id), e.g. ``000001.XSHE``, ``M1905``.

Every file carries the root attributes ``schema_version`` (SCHEMA_VERSION) and ``kind``
("instruments", "trading_dates", "daybar", "minbar", "tick"). Minute-bar and tick files also carry
``order_book_id``, ``category``, ``rows``, ``first_trading_date`` and ``last_trading_date`` (int
YYYYMMDD, 0 when empty), so that an update can find where to resume without reading the data, and
a damaged file can be told from a short one (``inspect_data_file``).

Time stamps are integers in local exchange time: ``datetime`` of daily and minute bars is
YYYYMMDDHHMMSS (a minute bar is labelled by the end of its minute, 09:31:00 covers 09:30-09:31;
daily bars use HHMMSS = 000000); ``datetime`` of ticks is YYYYMMDDHHMMSSmmm. ``trading_date`` is the
trading day a row belongs to: night-session rows of futures carry the next trading day's date.
Rows are sorted by ``datetime`` and hold no duplicates.

Series (minute bars, ticks, the daily bars of each market code) are chunked, resizable datasets of
``CHUNK_ROWS`` rows a chunk, so an update appends the new rows in place (``append_series``,
``append_daybars``) and writes what is new plus a chunk and a few index nodes, whatever the
history holds; ``journal`` makes each such change all-or-nothing. Rows that overlap the stored
ones (a corrected bar, a re-published day) replace the stored tail from the first overlapping
``datetime`` on. A file made whole (a new instrument, ``--rebuild``, the base files, a migration)
is written to a temporary file in its own directory (a name starting with "." and not ending in
".h5"), flushed, fsynced and moved into place with ``os.replace``; a killed writer leaves only a
stray temporary file that ``remove_stray_temp_files`` clears on the next update. Either way a
reader sees the old file or the new one.

Files are written with the oldest HDF5 format that holds what they use (``LIBVER``), so every h5py
the package accepts and the HDF5 command-line tools read them. Files of schema 1 (contiguous
datasets, the newest format) are still read; an update converts each one it appends to, once,
through a temporary file (``migrate``).

h5py and numpy are imported inside the functions: the command line imports the kit's bundle
functions on every run and should not pay for them when it only prints help.
"""
import contextlib
import errno
import itertools
import os
import re
import secrets

from vantorel.errors import VantorelError

SCHEMA_VERSION = 2
# Schema 1 files are read as they are and converted when an update appends to them.
READABLE_SCHEMAS = (1, 2)
LIBVER = ("earliest", "v110")
# Rows a chunk holds. HDF5 reads and rewrites the last, partly filled chunk when rows are appended
# (the journal then keeps only the bytes that changed), so a chunk is about a day of minute bars
# (240 rows) or a quarter of daily bars: an update reads a chunk per series, not the history.
CHUNK_ROWS = {"minbar": 256, "tick": 256, "daybar": 64}

BUNDLE_DIR_NAME = "bundle"
MINBAR_DIR_NAME = "minbar"
TICK_DIR_NAME = "tick"
QUARANTINE_DIR_NAME = "quarantine"
REPORTS_DIR_NAME = "reports"
DAYBAR_DIR_NAME = "daybar"
INSTRUMENTS_FILE = "instruments.h5"
TRADING_DATES_FILE = "trading_dates.h5"

TEMP_MARK = ".tmp-"
# The whole name write_image gives a temporary file: "." + file name + TEMP_MARK + "<pid>-<8 hex>".
_TEMP_NAME = re.compile(r"\..+\.h5" + re.escape(TEMP_MARK) + r"[0-9]+-[0-9a-f]{8}")

# Field lists, turned into numpy dtypes by the functions below (numpy is not imported here).
INSTRUMENT_FIELDS = [
    ("order_book_id", "S32"),
    ("symbol", "S64"),  # UTF-8
    ("category", "S16"),  # TAG_MAP key
    ("type", "S16"),  # TAG_MAP value
    ("exchange", "S8"),
    ("underlying_symbol", "S16"),  # futures and options: the commodity, e.g. M; else empty
    ("underlying_order_book_id", "S32"),  # options: the contract or fund they are written on
    ("listed_date", "i4"),
    ("de_listed_date", "i4"),  # 0 while listed
    ("round_lot", "i4"),
    ("tick_size", "f8"),
    ("contract_multiplier", "f8"),
    ("strike_price", "f8"),  # options only
    ("option_type", "S1"),  # "C" or "P" for options
    ("trading_hours", "S96"),  # e.g. "21:01-23:00,09:01-10:15,10:31-11:30,13:31-15:00"
]
DAYBAR_FIELDS = [
    ("datetime", "i8"),
    ("open", "f8"),
    ("high", "f8"),
    ("low", "f8"),
    ("close", "f8"),
    ("prev_close", "f8"),
    ("volume", "i8"),
    ("total_turnover", "f8"),
    ("open_interest", "i8"),
]
MINBAR_FIELDS = [
    ("datetime", "i8"),
    ("trading_date", "i4"),
    ("open", "f8"),
    ("high", "f8"),
    ("low", "f8"),
    ("close", "f8"),
    ("volume", "i8"),
    ("total_turnover", "f8"),
    ("open_interest", "i8"),
]
TICK_FIELDS = [
    ("datetime", "i8"),
    ("trading_date", "i4"),
    ("last", "f8"),
    ("open", "f8"),  # of the trading day so far
    ("high", "f8"),
    ("low", "f8"),
    ("prev_close", "f8"),
    ("volume", "i8"),  # cumulative over the trading day
    ("total_turnover", "f8"),  # cumulative over the trading day
    ("open_interest", "i8"),
    ("a1", "f8"),
    ("a1_v", "i8"),
    ("b1", "f8"),
    ("b1_v", "i8"),
]

# Corporate actions and suspensions, each a small table of its own under bundle/.
EX_FACTOR_FIELDS = [
    ("order_book_id", "S32"),
    ("ex_date", "i4"),  # YYYYMMDD: the cumulative price-adjustment factor holds from this day on
    ("ex_cum_factor", "f8"),
]
SUSPENDED_FIELDS = [
    ("order_book_id", "S32"),
    ("date", "i4"),  # a trading day on which the instrument did not trade
]
EARLY_CLOSE_FIELDS = [("date", "i4"), ("close_time", "i4")]  # HHMM
# Calendars of single exchanges, beside the bundle-wide one; the exchange as the instrument table has it.
EXCHANGE_DATE_FIELDS = [("exchange", "S8"), ("date", "i4")]
EXCHANGE_EARLY_CLOSE_FIELDS = [("exchange", "S8")] + EARLY_CLOSE_FIELDS

_DATASET = {"minbar": "bars", "tick": "ticks"}
_KIND_DIR = {"minbar": MINBAR_DIR_NAME, "tick": TICK_DIR_NAME}


class StorageError(VantorelError):
    """A bundle file cannot be read or does not have the layout this kit writes.

    ``damaged`` is false when the file itself may be sound and only opening it failed (no
    permission, an I/O error, HDF5's lock held by another process): such a file is left where it is.
    """

    def __init__(self, message, reason=None, damaged=True):
        super().__init__(message)
        self.reason = reason or message
        self.damaged = damaged


def _dtype(fields):
    import numpy as np

    return np.dtype(fields)


def instrument_dtype():
    return _dtype(INSTRUMENT_FIELDS)


def daybar_dtype():
    return _dtype(DAYBAR_FIELDS)


def minbar_dtype():
    return _dtype(MINBAR_FIELDS)


def tick_dtype():
    return _dtype(TICK_FIELDS)


# ---- paths -------------------------------------------------------------------------------------

def bundle_dir(bundle_path):
    """The bundle directory (base data and daily bars) of a bundle path."""
    return os.path.join(bundle_path, BUNDLE_DIR_NAME)


def bundle_path_of(bundle_directory):
    """The bundle path that holds a bundle directory (the inverse of ``bundle_dir``)."""
    return os.path.dirname(os.path.abspath(bundle_directory))


def daybar_path(bundle_directory, category):
    return os.path.join(bundle_directory, DAYBAR_DIR_NAME, category + ".h5")


def minbar_path(bundle_path, category, code):
    return os.path.join(bundle_path, MINBAR_DIR_NAME, category, code + ".h5")


def tick_path(bundle_path, category, code):
    return os.path.join(bundle_path, TICK_DIR_NAME, category, code + ".h5")


def data_path(bundle_path, kind, category, code):
    """Path of the minute-bar ("minbar") or tick ("tick") file of one instrument."""
    if kind == "minbar":
        return minbar_path(bundle_path, category, code)
    if kind == "tick":
        return tick_path(bundle_path, category, code)
    raise ValueError(kind)


def _iter_data_files(root):
    if not os.path.isdir(root):
        return
    for category in sorted(os.listdir(root)):
        cat_dir = os.path.join(root, category)
        if not os.path.isdir(cat_dir):
            continue
        for name in sorted(os.listdir(cat_dir)):
            if name.startswith(".") or not name.endswith(".h5"):
                continue
            yield category, name[:-3], os.path.join(cat_dir, name)


def set_aside_daybar(bundle_path, category):
    """Move the daily-bar file of a category to quarantine/daybar/; returns where it went."""
    return _move_aside(bundle_path, daybar_path(bundle_dir(bundle_path), category),
                       (QUARANTINE_DIR_NAME, DAYBAR_DIR_NAME, category + ".h5"))


def _move_aside(bundle_path, path, names):
    """Move ``path`` to ``quarantine/...`` (``names`` under the bundle path, a time stamp added).
    On a shared bundle path quarantine/ may be another user's, or a link to anywhere: each level is
    made and entered without following a link, and one of a user outside ``nofollow.owners`` is
    refused (OSError), so that nothing of the bundle is moved where another user chose; so is a file,
    or the directory it is in, of such a user, so that nothing of theirs is moved into ours."""
    import datetime
    import errno

    from vantorel.bundle import nofollow

    with contextlib.ExitStack() as opened:
        directory = opened.enter_context(nofollow.Dir.at(bundle_path))
        users = nofollow.owners(directory)
        # Taken from the directory as opened and checked, the file itself checked too: the name
        # could lead into another user's tree, and their file must not be moved into ours.
        source = opened.enter_context(nofollow.Dir.at(os.path.dirname(path)))
        for info, what in ((source.stat(), os.path.dirname(path)), (source.lstat(os.path.basename(path)), path)):
            if info is not None and not nofollow.trusted(info, users):
                raise OSError(errno.EPERM, f"它属于用户 {nofollow.owner_name(info.st_uid)}，不移走；请确认后把它移走", what)
        for level in names[:-1]:
            with contextlib.suppress(FileExistsError):
                directory.mkdir(level)
            directory = opened.enter_context(directory.sub(level))
            info = directory.stat()
            if not nofollow.trusted(info, users):
                raise OSError(errno.EPERM, f"它属于用户 {nofollow.owner_name(info.st_uid)}，不移入；请确认后把它移走",
                              directory.path)
        base = names[-1] + "." + datetime.datetime.now().strftime("%Y%m%d%H%M%S")
        name, n = base, 1
        while directory.lstat(name) is not None:
            name, n = f"{base}.{n}", n + 1
        if directory.fd is None:
            os.replace(path, directory.join(name))
        else:
            os.replace(os.path.basename(path), name, src_dir_fd=source.fd, dst_dir_fd=directory.fd)
        return directory.join(name)


def set_aside(bundle_path, kind, category, code):
    """Move the minute-bar or tick file of an instrument to quarantine/; returns where it went.
    Raises OSError when it cannot be moved, which leaves it where it was."""
    return _move_aside(bundle_path, data_path(bundle_path, kind, category, code),
                       (QUARANTINE_DIR_NAME, _KIND_DIR[kind], category, code + ".h5"))


def set_aside_codes(bundle_path, kind):
    """Market codes of minute-bar or tick files in quarantine/ that have no file in the bundle:
    set aside and not fetched again yet."""
    root = os.path.join(bundle_path, QUARANTINE_DIR_NAME, _KIND_DIR[kind])
    codes = set()
    if os.path.isdir(root):
        for category in os.listdir(root):
            directory = os.path.join(root, category)
            if not os.path.isdir(directory):
                continue
            for name in os.listdir(directory):
                code = name.split(".h5.", 1)[0]
                if code != name and not os.path.lexists(data_path(bundle_path, kind, category, code)):
                    codes.add(code)
    return codes


def iter_minbar_files(bundle_path):
    """(category, code, path) of every minute-bar file of the bundle, sorted."""
    return _iter_data_files(os.path.join(bundle_path, MINBAR_DIR_NAME))


def iter_tick_files(bundle_path):
    """(category, code, path) of every tick file of the bundle, sorted."""
    return _iter_data_files(os.path.join(bundle_path, TICK_DIR_NAME))


def iter_daybar_files(bundle_directory):
    """(category, path) of every daily-bar file of the bundle directory, sorted."""
    root = os.path.join(bundle_directory, DAYBAR_DIR_NAME)
    if not os.path.isdir(root):
        return
    for name in sorted(os.listdir(root)):
        if not name.startswith(".") and name.endswith(".h5"):
            yield name[:-3], os.path.join(root, name)


def holds_bundle_data(bundle_path):
    """Whether a directory holds data of a bundle: its base files, or a daily-bar, minute-bar or tick file."""
    directory = bundle_dir(bundle_path)
    if any(os.path.isfile(os.path.join(directory, name)) for name in (INSTRUMENTS_FILE, TRADING_DATES_FILE)):
        return True
    for files in (iter_daybar_files(directory), iter_minbar_files(bundle_path), iter_tick_files(bundle_path)):
        if next(files, None) is not None:
            return True
    return False


# ---- writing -------------------------------------------------------------------------------------

def disk_full(exc):
    """Whether an OSError is the disk, or the user's quota, running out of space."""
    return getattr(exc, "errno", None) in (errno.ENOSPC, getattr(errno, "EDQUOT", errno.ENOSPC))


def h5_image(fill, kind, attrs=None):
    """The bytes of an HDF5 file made through ``fill(h5file)``, built in memory.

    The kit writes the image out itself, in one piece: HDF5 never meets a refused write (it cannot
    close a file it failed to write, and says so at length), and the write can happen on another
    thread than the one HDF5 runs on.
    """
    import h5py

    # A full update makes one image a file: the low-level calls with property lists made once cost
    # two thirds of what ``h5py.File(..., driver="core")`` does, and make the same bytes.
    made = _image_parts()
    # The name only tells in-memory files apart; nothing is written under it.
    fid = h5py.h5f.create(f"image-{next(_IMAGE_NAMES)}".encode(), h5py.h5f.ACC_TRUNC, fapl=made.fapl)
    try:
        f = h5py.File(fid)
        _write_attrs(f, dict({"schema_version": SCHEMA_VERSION, "kind": kind}, **(attrs or {})))
        fill(f)
        h5py.h5f.flush(fid, h5py.h5f.SCOPE_LOCAL)
        return fid.get_file_image()
    finally:
        fid.close()


class _ImageParts:
    """Property lists and types every image and series is made with."""

    def __init__(self):
        import h5py
        import numpy as np
        from h5py import h5f, h5p, h5s, h5t

        low, high = (getattr(h5f, "LIBVER_" + bound.upper()) for bound in LIBVER)
        self.fapl = h5p.create(h5p.FILE_ACCESS)
        self.fapl.set_fapl_core(backing_store=False)
        self.fapl.set_libver_bounds(low, high)
        self.fapl.set_fclose_degree(h5f.CLOSE_STRONG)  # closing the file frees its memory at once
        self.series_dcpl = {}
        for kind, rows in CHUNK_ROWS.items():
            dcpl = h5p.create(h5p.DATASET_CREATE)
            dcpl.set_chunk((rows,))
            dcpl.set_obj_track_times(False)  # as h5py does: the same rows make the same bytes
            self.series_dcpl[kind] = dcpl
        self.read_fapl = h5p.create(h5p.FILE_ACCESS)
        self.scalar = h5s.create(h5s.SCALAR)
        text = h5py.string_dtype()
        integer = h5t.py_create(np.dtype("i8"))
        # (type in the file, type of the value in memory, dtype of the value): h5py writes a text
        # from memory as a Python object, which only its own memory type for that dtype converts.
        self.attr_types = {str: (h5t.py_create(text, logical=True), h5t.py_create(text), text),
                           int: (integer, integer, "i8")}
        self._types = {}

    def series_type(self, dtype):
        import h5py

        tid = self._types.get(dtype)
        if tid is None:
            tid = self._types[dtype] = h5py.h5t.py_create(dtype, logical=True)
        return tid


_IMAGE_PARTS = None
_IMAGE_NAMES = itertools.count()


def _image_parts():
    global _IMAGE_PARTS
    if _IMAGE_PARTS is None:
        _IMAGE_PARTS = _ImageParts()
    return _IMAGE_PARTS


def _write_attrs(f, attrs):
    # The low-level calls take a third of the time of ``f.attrs[name] = value``, which a full
    # update pays seven times a file; texts and integers come out as h5py writes them.
    import h5py
    import numpy as np

    made = _image_parts()
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


def write_image(path, image, sync_directory=True):
    """Write an image to a temporary file beside ``path``, make it durable and move it into place.

    The directory is opened once and its owner checked on what was opened (a category directory
    the user keeps on another disk through a link is still theirs): the temporary file is written
    and renamed through that descriptor, so the file lands in the directory that was checked even
    if, on a bundle path others may write, its name leads elsewhere by now. A write the system
    refuses raises a plain OSError naming ``path`` (ENOSPC when the disk is full)."""
    from vantorel.bundle import nofollow

    directory_path, name = os.path.split(path)
    directory_path = directory_path or "."
    tmp = "." + name + TEMP_MARK + f"{os.getpid()}-{secrets.token_hex(4)}"
    try:
        directory = nofollow.Dir.at(directory_path, follow=True)
    except FileNotFoundError:
        os.makedirs(directory_path, exist_ok=True)
        directory = nofollow.Dir.at(directory_path, follow=True)
    with directory:
        _refuse_foreign(directory.stat(), directory_path, path)
        # Plain descriptor calls, the fsync on the descriptor that wrote: a full update commits a
        # file per instrument on the committer threads, and each system call there hands the GIL
        # back and forth.
        try:
            fd = directory.open(tmp, _NEW_FILE, 0o666)
            try:
                _write_all(fd, image)
                os.fsync(fd)
            finally:
                os.close(fd)
            if directory.fd is None:
                os.replace(directory.join(tmp), path)
            else:
                os.replace(tmp, name, src_dir_fd=directory.fd, dst_dir_fd=directory.fd)
        except BaseException as exc:
            _drop_temp(directory, tmp)
            _raise_naming(exc, path)
        if sync_directory:
            with contextlib.suppress(OSError):  # the file is in place and whole; only the move's durability is unsure
                directory.fsync()


_NEW_FILE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0)


def _write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def _raise_naming(exc, path):
    # A failed write or fsync names no file, one by descriptor only the temporary file: the
    # message should say which data file.
    if isinstance(exc, OSError) and exc.errno is not None:
        raise OSError(exc.errno, exc.strerror, path) from None
    raise exc


def _drop_temp(directory, tmp):
    with contextlib.suppress(OSError):
        directory.unlink(tmp)


def _bundle_path_holding(path):
    """The bundle path a stored file lies in: the parent of its bundle/, minbar/ or tick/ (for a
    file outside that layout, its own directory)."""
    directory = os.path.dirname(os.path.abspath(path))
    here = directory
    while os.path.dirname(here) != here:
        if os.path.basename(here) in (BUNDLE_DIR_NAME, MINBAR_DIR_NAME, TICK_DIR_NAME):
            return os.path.dirname(here)
        here = os.path.dirname(here)
    return directory


def _refuse_foreign(info, path, data_file=None):
    """Refuse (StorageError) a file or directory, as opened (``info`` from fstat), that belongs
    to a user outside ``nofollow.owners`` of its bundle path: on a bundle path others may write,
    a name can lead into another user's tree, and the kit neither reads nor writes there."""
    from vantorel.bundle import nofollow

    users = nofollow.owners_at(_bundle_path_holding(data_file or path))
    if nofollow.trusted(info, users):
        return
    owner = nofollow.owner_name(info.st_uid)
    what = "数据文件" if data_file is None else "目录"
    reason = f"{what} {path} 属于用户 {owner}，不是本用户或该 bundle 路径的属主"
    raise StorageError(f"{reason}；为免读写别人的数据，未使用它。请确认该路径下的目录没有被别人替换或移动后重新运行",
                       reason, damaged=False)


def atomic_h5(path, fill, kind, attrs=None, committer=None, owner=None):
    """Write an HDF5 file through ``fill(h5file)`` and swap it in atomically at ``path``; with a
    ``Committer`` the writing out, the fsync and the swap happen on its threads."""
    image = h5_image(fill, kind, attrs)
    if committer is None:
        write_image(path, image)
    else:
        committer.write_image(path, image, owner)


class Committer:
    """Finishes written files on a few threads: a temporary file's fsync and os.replace, or an
    in-place change's journal, write and fsyncs.

    fsync waits for the disk; the file system commits concurrent fsyncs together, so overlapping
    them costs little more than one. The HDF5 writing itself stays on the caller's thread. The moves
    of whole files are made durable once per directory, when the committer drains. Each commit
    carries an ``owner`` (what the caller counted it as); a commit that fails is handed back with
    it by ``failures``, so that the caller can take back what it counted and name the right file.
    """

    # Commits waiting at most: each holds a file's new bytes, so the caller waits beyond this.
    BACKLOG = 64

    def __init__(self, threads=8):
        from concurrent.futures import ThreadPoolExecutor

        self._pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="vantorel-commit")
        self._pending = []  # (future, owner)
        self._failed = []  # (owner, exception)
        self._directories = set()

    def run(self, function, *args, owner=None):
        self._pending.append((self._pool.submit(function, *args), owner))
        self._collect(wait=False)
        while len(self._pending) > self.BACKLOG:
            self._settle(*self._pending.pop(0))

    def write_image(self, path, image, owner=None):
        self._directories.add(os.path.dirname(path) or ".")
        self.run(write_image, path, image, False, owner=owner)

    def _settle(self, future, owner):
        try:
            future.result()
        except Exception as exc:
            self._failed.append((owner, exc))

    def _collect(self, wait):
        still = []
        for future, owner in self._pending:
            if wait or future.done():
                self._settle(future, owner)
            else:
                still.append((future, owner))
        self._pending = still

    def failures(self, wait=False):
        """[(owner, exception)] of the commits that failed since the last call; with ``wait``,
        after every commit has finished and the directories are durable."""
        from vantorel.bundle.durable import fsync_path

        self._collect(wait)
        if wait:
            directories, self._directories = self._directories, set()
            for directory in sorted(directories):
                try:
                    fsync_path(directory)
                except OSError as exc:
                    self._failed.append((None, exc))
        failed, self._failed = self._failed, []
        return failed

    def close(self):
        self._pool.shutdown(wait=True)


def remove_stray_temp_files(bundle_path):
    """Remove temporary files that a killed writer left behind; returns how many.

    Only the directories this kit writes are searched, and only names it gives its temporary
    files are removed: a bundle path may be any directory the user names.
    """
    removed = 0
    for top in (BUNDLE_DIR_NAME, MINBAR_DIR_NAME, TICK_DIR_NAME):
        for root, _dirs, files in os.walk(os.path.join(bundle_path, top)):
            for name in files:
                if _TEMP_NAME.fullmatch(name):
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

    made = _image_parts()
    arr = np.ascontiguousarray(arr)
    space = h5py.h5s.create_simple((len(arr),), (h5py.h5s.UNLIMITED,))
    tid = made.series_type(arr.dtype)
    dataset = h5py.h5d.create(group.id, name.encode(), tid, space, dcpl=made.series_dcpl[kind])
    if len(arr):
        dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, arr, mtype=tid)


def _span_attrs(arr):
    first, last = _trading_date_span(arr)
    return {"rows": len(arr), "first_trading_date": first, "last_trading_date": last}


def write_data_file(path, kind, category, code, arr, committer=None, owner=None):
    """Write the whole minute-bar or tick array of one instrument."""

    def fill(f):
        create_series(f, _DATASET[kind], arr, kind)

    atomic_h5(path, fill, kind, dict({"order_book_id": code, "category": category}, **_span_attrs(arr)), committer,
              owner)


def write_minbar(bundle_path, category, code, arr):
    path = minbar_path(bundle_path, category, code)
    write_data_file(path, "minbar", category, code, arr)
    return path


def write_tick(bundle_path, category, code, arr):
    path = tick_path(bundle_path, category, code)
    write_data_file(path, "tick", category, code, arr)
    return path


def write_instruments(bundle_directory, arr):
    atomic_h5(os.path.join(bundle_directory, INSTRUMENTS_FILE),
              lambda f: f.create_dataset("instruments", data=arr), "instruments")


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


def read_table(bundle_directory, name):
    """A table written by ``write_table``, in the kit's fields; None when the bundle has none."""
    path = os.path.join(bundle_directory, name + ".h5")
    if not os.path.exists(path):
        return None
    rows = _read_dataset(path, name, name)
    fields = _TABLE_FIELDS.get(name)
    return rows if fields is None else _typed_fields(rows, fields, path, name)


_TABLE_FIELDS = {"ex_factors": EX_FACTOR_FIELDS, "suspended": SUSPENDED_FIELDS}
# What each type of field may be stored as: a text is bytes, a date or a time an integer (a
# float date cast to one would be some other day, or none at all).
_FIELD_KINDS = {"S": "S", "i": "iu", "f": "iuf"}


def _typed_fields(rows, fields, path, name):
    """``rows`` with just ``fields``, each in its type (a text as wide as stored); StorageError
    naming the field when one is missing or of another kind, so that a table not of ours is
    refused as a whole rather than read as other days or codes."""
    import numpy as np

    names = rows.dtype.names or ()
    wanted = []
    for field, kind in fields:
        kind = np.dtype(kind)
        if field not in names:
            raise StorageError(f"数据文件 {path} 的 {name} 缺少字段 {field}", f"缺少字段 {field}")
        stored = rows.dtype[field]
        if stored.kind not in _FIELD_KINDS[kind.kind]:
            wanted_kind = {"S": "文本", "i": "整数", "f": "数"}[kind.kind]
            raise StorageError(f"数据文件 {path} 的 {name} 字段 {field} 的类型为 {stored.str}，应为{wanted_kind}",
                               f"字段 {field} 的类型为 {stored.str}")
        wanted.append((field, stored if kind.kind == "S" and stored.itemsize > kind.itemsize else kind))
    return _fields(rows, wanted)


def write_daybars(bundle_directory, category, bars_by_code, committer=None, owner=None):
    """Write the daily-bar file of one category: ``bars_by_code`` maps market code to array."""

    def fill(f):
        for code in sorted(bars_by_code):
            create_series(f, code, bars_by_code[code], "daybar")

    atomic_h5(daybar_path(bundle_directory, category), fill, "daybar", {"category": category}, committer, owner)


# ---- appending in place --------------------------------------------------------------------------

class _StoredColumn:
    """One field of a stored series as a sequence ``bisect`` can search: each look-up reads one row."""

    def __init__(self, ds, field):
        self.ds = ds
        self.field = field

    def __len__(self):
        return self.ds.shape[0]

    def __getitem__(self, index):
        return int(self.ds[index][self.field])


def _overlap_start(dataset, first_new, stored_last=None):
    """The index of the first stored row whose ``datetime`` is not before ``first_new``: new rows
    replace the stored tail from there. Reads a handful of rows, not the series (none when the
    caller knows the last stored ``datetime``, ``stored_last``, and the new rows come after it)."""
    import bisect

    import h5py

    n = dataset.shape[0]
    if n == 0 or (stored_last is not None and stored_last < first_new):
        return n
    column = _StoredColumn(h5py.Dataset(dataset), "datetime")
    if stored_last is None and column[n - 1] < first_new:
        return n
    return bisect.bisect_left(column, first_new)


def _append(dataset, rows, stored_last=None):
    """Append ``rows`` to a series (a low-level dataset) in place, replacing any stored tail they
    overlap; returns the index the new rows start at."""
    import h5py
    import numpy as np

    if not len(rows):
        return dataset.shape[0]
    stored_type = dataset.dtype  # h5py makes it anew at every access
    # Rows of the stored type are taken as they are; others by their fields, padding left out.
    fields = rows.dtype if stored_type == rows.dtype else rows.dtype.descr
    problem = _appendable_problem(dataset, fields, stored_type)
    if problem:
        raise StorageError(f"数据集 {h5py.h5i.get_name(dataset).decode()} {problem}", problem)
    rows = np.ascontiguousarray(rows.astype(stored_type, copy=False))
    start = _overlap_start(dataset, int(rows["datetime"][0]), stored_last)
    dataset.set_extent((start + len(rows),))
    space = dataset.get_space()
    space.select_hyperslab((start,), (len(rows),))
    tid = _image_parts().series_type(stored_type)
    dataset.write(h5py.h5s.create_simple((len(rows),)), space, rows, mtype=tid)
    return start


def _set_counts(fid, counts):
    """Set integer root attributes as ``attrs[name] = value`` would leave them, rewriting a stored
    64-bit scalar in place: an append changes a few bytes of the header instead of moving it."""
    import h5py
    import numpy as np

    made = _image_parts()
    integer, _mtype, dtype = made.attr_types[int]
    for name, value in counts.items():
        key = name.encode()
        data = np.array(value, dtype)
        if h5py.h5a.exists(fid, key):
            attr = h5py.h5a.open(fid, key)
            if attr.shape == () and attr.dtype == data.dtype:
                attr.write(data, mtype=integer)
                continue
            del attr
            h5py.h5a.delete(fid, key)
        h5py.h5a.create(fid, key, integer, made.scalar).write(data, mtype=integer)


class _Edit:
    """A stored file opened for an in-place change through a journal overlay."""

    def __init__(self, bundle_path, path, kind):
        import h5py

        from vantorel.bundle import overlay

        self.bundle_path = bundle_path
        self.overlay = overlay.Overlay(path)
        try:
            _refuse_foreign(self.overlay.read_from, path)
            # Opened with the low-level calls: h5py's File(...) costs a quarter of a day's append.
            fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
            fapl.set_fileobj_driver(h5py.h5fd.fileobj_driver, self.overlay)
            fapl.set_libver_bounds(*(getattr(h5py.h5f, "LIBVER_" + bound.upper()) for bound in LIBVER))
            fapl.set_fclose_degree(h5py.h5f.CLOSE_STRONG)
            self.file = h5py.File(h5py.h5f.open(f"overlay-{next(_IMAGE_NAMES)}".encode(), h5py.h5f.ACC_RDWR, fapl))
        except BaseException:
            self.overlay.close()
            raise
        # The update judged the file when it planned (stored_state, daybar_tails), under the same lock.
        version = root_attr(self.file, "schema_version")
        file_kind = root_attr(self.file, "kind")
        if version is None or _attr_int(version) != SCHEMA_VERSION or _plain(file_kind) != kind:
            self.abandon()
            raise StorageError(f"数据文件 {path} 的格式不是 {SCHEMA_VERSION} 版，不能追加", damaged=False)

    def abandon(self):
        self.file.id.close()
        self.overlay.close()

    def commit(self, committer=None, owner=None):
        """Close the HDF5 file and apply the change (on the committer's threads when given)."""
        # Closing the file closes whatever is still open in it (CLOSE_STRONG) and flushes it.
        self.file.id.close()
        if committer is None:
            self.overlay.commit(self.bundle_path)
        else:
            committer.run(self.overlay.commit, self.bundle_path, owner=owner)
        return self.overlay


def append_series(bundle_path, kind, category, code, rows, committer=None, stored_last=None, owner=None):
    """Append minute bars or ticks to a stored file of schema SCHEMA_VERSION, in place;
    ``stored_last`` is the ``datetime`` of its last row when the caller has read it."""
    import h5py

    path = data_path(bundle_path, kind, category, code)
    edit = _Edit(bundle_path, path, kind)
    try:
        dataset = h5py.h5d.open(edit.file.id, _DATASET[kind].encode())
        start = _append(dataset, rows, stored_last)
        counts = {"rows": dataset.shape[0]}
        del dataset
        if len(rows):
            if start == 0:
                counts["first_trading_date"] = int(rows["trading_date"][0])
            counts["last_trading_date"] = int(rows["trading_date"][-1])
        _set_counts(edit.file.id, counts)
    except BaseException as exc:
        edit.abandon()
        _refuse_append(exc, path, "可用 update-data --rebuild 重新下载该合约")
    return edit.commit(committer, owner)


def append_daybars(bundle_path, category, rows_by_code, committer=None, owner=None):
    """Append daily bars to the stored category file, in place; a code not stored yet gets its series."""
    path = daybar_path(bundle_dir(bundle_path), category)
    edit = _Edit(bundle_path, path, "daybar")
    try:
        for code in sorted(rows_by_code):
            if code in edit.file:
                _append(edit.file[code].id, rows_by_code[code])
            else:
                create_series(edit.file, code, rows_by_code[code], "daybar")
    except BaseException as exc:
        edit.abandon()
        _refuse_append(exc, path, "可把它移走后重新运行 update-data --base")
    return edit.commit(committer, owner)


def _refuse_append(exc, path, what_to_do):
    # HDF5 refuses a layout it cannot grow, numpy a cast it cannot make: the file, not the update, is
    # at fault, so its instrument or category fails with a message that names it.
    if isinstance(exc, StorageError):
        raise StorageError(f"无法追加到数据文件 {path}：{exc.reason}；{what_to_do}", exc.reason, damaged=False) from None
    if isinstance(exc, (ValueError, TypeError, KeyError)):
        reason = " ".join(str(exc).split())
        raise StorageError(f"无法追加到数据文件 {path}：{reason}；{what_to_do}", reason, damaged=False) from None
    raise exc


def schema_of(path):
    """The schema version a stored file says it has (0 when it says none)."""
    import h5py

    with h5py.File(path, "r") as f:
        try:
            return _attr_int(f.attrs.get("schema_version", 0))
        except ValueError:
            return 0


def migrate(path, kind):
    """Rewrite a file of an older schema in the current one, through a temporary file, so that a
    kill leaves the old file or the converted one."""
    import numpy as np

    attrs = read_file_attrs(path, kind)
    if kind == "daybar":
        by_code = read_daybar_file(path)

        def fill(f):
            for code in sorted(by_code):
                create_series(f, code, by_code[code], "daybar")
    else:
        arr = read_data_file(path, kind)

        def fill(f):
            create_series(f, _DATASET[kind], np.asarray(arr), kind)

    keep = {k: v for k, v in attrs.items() if k not in ("schema_version", "kind")}
    atomic_h5(path, fill, kind, keep)


# ---- reading -------------------------------------------------------------------------------------

def _open(path, kind, with_version=False):
    """Open a bundle file for reading, checking that it is one of ours and of a schema this kit
    reads; with ``with_version``, (the file, its schema version)."""
    import h5py

    from vantorel.bundle import journal

    kept = journal.held_reason(path)
    if kept:
        # A journal of it waits to be played back: it may be half written (or out of reach).
        raise StorageError(f"无法读取数据文件 {path}：{kept}", kept, damaged=False)
    try:
        # The low-level open with one property list: h5py's File(path) makes three lists a call,
        # and an update or a check opens every file of the bundle.
        f = h5py.File(h5py.h5f.open(os.fsencode(path), h5py.h5f.ACC_RDONLY, _image_parts().read_fapl))
    except FileNotFoundError:
        raise
    except (OSError, ValueError) as exc:
        # h5py gives an errno for what the system refused (permission, I/O, the lock of another
        # process), and none for a file that is not HDF5 or is cut short.
        damaged = getattr(exc, "errno", None) is None
        raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}", damaged) from exc
    try:
        # Judged by the file HDF5 opened, not by its name: on a bundle path others may write, the
        # name can lead into another user's tree between any look and the open.
        if hasattr(os, "geteuid"):  # Windows has no owners to compare (nor a descriptor to give)
            _refuse_foreign(os.fstat(f.id.get_vfd_handle()), path)
        version = root_attr(f, "schema_version")
        file_kind = root_attr(f, "kind")
        try:
            if isinstance(file_kind, bytes):
                file_kind = file_kind.decode()
            supported = version is not None and _attr_int(version) in READABLE_SCHEMAS and bool(file_kind == kind)
        except (TypeError, ValueError):
            # A damaged attribute (text, an array, bytes that are no UTF-8) is a file not of ours.
            supported = False
        if not supported:
            detail = f"schema_version={version}，kind={file_kind}"
            raise StorageError(f"数据文件 {path} 的格式不受支持（{detail}）", f"格式不受支持（{detail}）")
    except BaseException:
        f.close()
        raise
    return (f, _attr_int(version)) if with_version else f


def _attr_int(value):
    """An integer attribute as an int; ValueError for text, arrays, fractions and anything else."""
    import numpy as np

    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return int(value)
    raise ValueError(f"不是整数：{value!r}")


def root_attr(f, name):
    """A root attribute as ``f.attrs.get(name)`` gives it; the scalar numbers and texts the kit
    writes are read with the low-level calls, at a fraction of the cost (texts come as bytes).
    A check reads five of them from every file, an update three."""
    import h5py
    import numpy as np

    try:
        attr = h5py.h5a.open(f.id, name.encode())
    except KeyError:
        return None
    except (TypeError, ValueError, OSError):
        return f.attrs.get(name)
    try:
        if attr.get_space().get_simple_extent_type() == h5py.h5s.SCALAR:
            stored = attr.get_type()
            # The types the kit writes are read without making their dtypes first.
            for tid, mtype, dtype in _image_parts().attr_types.values():
                if stored.equal(tid):
                    value = np.empty((), dtype)
                    attr.read(value, mtype=mtype)
                    return value[()]
            if attr.dtype.kind in "iuO":
                value = np.empty((), attr.dtype)
                attr.read(value)
                return value[()]
    except (TypeError, ValueError, OSError, KeyError):
        pass  # whatever it is, h5py says it as it always does
    return f.attrs.get(name)


# Filters that shrink what is stored, so that the stored size says little of the rows declared.
_COMPRESSING_FILTERS = (1, 4, 5, 6, 32000)  # deflate, szip, n-bit, scale-offset, lzf
# The filters HDF5 has built in, and the lzf h5py registers itself; HDF5 looks any other up in its
# plugin directories and loads it, which a file from somebody else must not make the kit do.
_KNOWN_FILTERS = (1, 2, 3, 4, 5, 6, 32000)
# Market data compresses three- or fourfold (measured on minute and daily bars with shuffle and
# deflate); a file that declares a hundred times what it holds is made to swell when it is read.
MAX_COMPRESSION = 100
# HDF5 decodes a compressed chunk whole to read a single row of it, and an update reads the last
# chunk of every series: the kit's chunks are a few tens of kilobytes, h5py's own at most 1 MiB.
MAX_CHUNK_BYTES = 4 << 20


def series_problem(ds, dtype=None):
    """Why a dataset cannot be a series (no table of rows, data kept outside its file, or more
    rows declared than the file holds bytes for: reading it would fill gigabytes from a few
    kilobytes), or None. ``dtype`` is the dataset's, when the caller has made it (h5py makes it
    anew at every access). Reads only the dataset's header and chunk index."""
    import h5py

    if not isinstance(ds, h5py.Dataset):
        return "不是数据集"
    dataset = ds.id  # h5py's properties make a property list at every access; one will do
    dcpl = dataset.get_create_plist()
    # Before the extent: that of a virtual dataset is found by opening the files it names.
    layout = dcpl.get_layout()
    if layout == h5py.h5d.VIRTUAL:
        return "数据集是虚拟数据集，数据取自别的文件"
    if dcpl.get_external_count():
        return "数据集的数据存放在别的文件中（外部存储）"
    filters = [dcpl.get_filter(i)[0] for i in range(dcpl.get_nfilters())]
    unknown = [number for number in filters if number not in _KNOWN_FILTERS]
    if unknown:
        return f"数据集使用了本套件不认识的过滤器（编号 {unknown[0]}）"
    shape = dataset.shape
    if shape is None:
        return "数据集没有形状（空数据空间），不是一列数据"
    if len(shape) != 1:
        return f"数据集的维数为 {len(shape)}，应为 1"
    itemsize = (dtype or dataset.dtype).itemsize
    chunk = dcpl.get_chunk()[0] * itemsize if layout == h5py.h5d.CHUNKED else 0
    if chunk > MAX_CHUNK_BYTES:
        return f"数据集的数据块有 {chunk} 字节，超过上限 {MAX_CHUNK_BYTES} 字节"
    # A chunk index may name one chunk many times and HDF5 counts it each time: what a dataset
    # holds is never more than its whole file.
    held = min(dataset.get_storage_size(), h5py.h5i.get_file_id(dataset).get_filesize())
    if any(number in _COMPRESSING_FILTERS for number in filters):
        held *= MAX_COMPRESSION
    if shape[0] * itemsize > held:
        return f"数据集声明了 {shape[0]} 行，文件中却没有这么多数据"
    return None


def _swelling_problem(f, datasets):
    """Why the series of one file, together, declare more rows than the file holds bytes for, or
    None. Each is judged alone by series_problem; but the chunk indexes of many may name the same
    chunks, so what they hold is counted here once for each place in the file."""
    import h5py

    held = {}  # {address in the file: bytes stored there}
    declared = 0
    compressed = False
    for ds in datasets:
        dataset = ds.id
        declared += dataset.shape[0] * dataset.get_type().get_size()
        dcpl = dataset.get_create_plist()
        compressed = compressed or any(dcpl.get_filter(i)[0] in _COMPRESSING_FILTERS
                                       for i in range(dcpl.get_nfilters()))
        layout = dcpl.get_layout()
        if layout == h5py.h5d.CHUNKED:
            for chunk in _chunks(dataset):
                held[chunk.byte_offset] = chunk.size
        elif layout == h5py.h5d.CONTIGUOUS:
            held[dataset.get_offset()] = dataset.get_storage_size()
        else:  # compact: kept in the dataset's own header
            held[("compact", ds.name)] = dataset.get_storage_size()
    stored = min(sum(held.values()), f.id.get_filesize())
    if declared > (MAX_COMPRESSION if compressed else 1) * stored:
        return f"数据集共声明了 {declared} 字节，文件中却没有这么多数据"
    return None


def _chunks(dataset):
    """The stored chunks of a chunked low-level dataset, from one walk of its index where h5py can."""
    if hasattr(dataset, "chunk_iter"):
        chunks = []
        dataset.chunk_iter(chunks.append)
        return chunks
    return [dataset.get_chunk_info(i) for i in range(dataset.get_num_chunks())]


def _member(f, path, name):
    """The object root link ``name`` of an open bundle file leads to, or None when there is none.
    A link to somewhere else (another file, another path) is refused, not followed: it would read
    any file the user can read, and wait forever on a pipe. So is a dataset reached by several
    names: read under each, one dataset would count as many."""
    import h5py

    links = f.id.links
    key = name.encode()
    if "/" in name or name in ("", ".") or not links.exists(key):
        return None
    if links.get_info(key).type != h5py.h5l.TYPE_HARD:
        raise StorageError(f"数据文件 {path} 无法使用：{name} 是指向别处的链接", f"{name} 是指向别处的链接")
    try:
        member = f[name]
        shared = isinstance(member, h5py.Dataset) and h5py.h5o.get_info(member.id).rc > 1
    except (KeyError, OSError, ValueError) as exc:
        # h5py says KeyError for an object that is there but cannot be opened: damage, not absence.
        detail = exc.args[0] if isinstance(exc, KeyError) and exc.args else exc
        raise StorageError(f"无法读取数据文件 {path}：{name}：{detail}", f"无法读取：{detail}") from None
    if shared:
        reason = f"{name} 与文件中别的名称指向同一个数据集"
        raise StorageError(f"数据文件 {path} 无法使用：{reason}", reason)
    return member


def _appendable_problem(dataset, fields, dtype=None):
    """Why an update cannot append to a series (a low-level dataset) of the current schema, or
    None: it must grow, and hold our fields, in our order and types (rows are copied field by
    field, by position). ``dtype`` is the dataset's, when the caller has made it."""
    import h5py
    import numpy as np

    if dataset.get_create_plist().get_layout() != h5py.h5d.CHUNKED or (
            dataset.get_space().get_simple_extent_dims(True) != (h5py.h5s.UNLIMITED,)):
        return "数据集不能扩展，无法追加"
    if (dtype or dataset.dtype) != np.dtype(fields):
        return "字段的名称、顺序或类型与本套件写入的不同"
    return None


def _whole(path, ds):
    """A dataset read whole, once it has been judged to be a series."""
    import h5py

    problem = series_problem(ds)
    if problem:
        raise StorageError(f"数据文件 {path} 无法使用：{ds.name.lstrip('/')} {problem}", problem)
    dataset = ds.id
    rows = _room_for(path, dataset.shape[0], dataset.dtype)
    if len(rows):
        dataset.read(h5py.h5s.ALL, h5py.h5s.ALL, rows)
    return rows


def _room_for(path, rows, dtype):
    """An empty array for ``rows`` rows; a StorageError that names the file when memory runs short
    (a sound file too large for this machine is not damaged)."""
    import numpy as np

    try:
        return np.empty(rows, dtype)
    except MemoryError:
        need = rows * dtype.itemsize / 2**30
        raise StorageError(f"无法读取数据文件 {path}：内存不足，{rows} 行需要 {need:.1f} GiB", "内存不足",
                           damaged=False) from None


def _read_dataset(path, kind, name):
    f = _open(path, kind)
    try:
        ds = _member(f, path, name)
        if ds is None:
            raise StorageError(f"数据文件 {path} 缺少数据集 {name}")
        try:
            return _whole(path, ds)
        except (OSError, ValueError, KeyError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}") from exc
    finally:
        f.close()


def _read_with_attrs(path, kind, name, names=None):
    f = _open(path, kind)
    try:
        if names is None:
            attrs = {k: _plain(v) for k, v in f.attrs.items()}
        else:  # each attribute read costs about what a row does
            attrs = {k: _plain(v) for k, v in ((k, root_attr(f, k)) for k in names) if v is not None}
        ds = _member(f, path, name)
        if ds is None:
            raise StorageError(f"数据文件 {path} 缺少数据集 {name}", f"缺少数据集 {name}")
        try:
            return _whole(path, ds), attrs
        except (OSError, ValueError, KeyError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
    finally:
        f.close()


def read_minbar_with_attrs(path, names=None):
    """(minute bars, root attributes, or only ``names`` of them) of one file, from a single open;
    errors as ``read_minbar``."""
    return _read_with_attrs(path, "minbar", "bars", names)


def read_tick_with_attrs(path):
    """(ticks, root attributes) of one file, from a single open; errors as ``read_tick``."""
    return _read_with_attrs(path, "tick", "ticks")


def read_minbar(path):
    """Minute bars of one file as a structured array (MINBAR_DTYPE fields)."""
    return _read_dataset(path, "minbar", "bars")


def read_tick(path):
    """Ticks of one file as a structured array (TICK_DTYPE fields)."""
    return _read_dataset(path, "tick", "ticks")


def read_data_file(path, kind):
    return read_minbar(path) if kind == "minbar" else read_tick(path)


def read_file_attrs(path, kind):
    """Root attributes of a bundle file as plain Python values."""
    f = _open(path, kind)
    try:
        return {k: _plain(v) for k, v in f.attrs.items()}
    finally:
        f.close()


def _plain(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if getattr(value, "ndim", 0):
        return value.tolist()
    if hasattr(value, "item"):
        return value.item()
    return value


def last_trading_date(path, kind, attrs=None):
    """The last trading date stored in a minute-bar or tick file (0 when empty), from its attributes
    (read now unless given); StorageError when the attribute is no date."""
    import datetime

    value = (read_file_attrs(path, kind) if attrs is None else attrs).get("last_trading_date", 0)
    try:
        day = _attr_int(value)
        if day:
            datetime.date(day // 10000, day // 100 % 100, day % 100)
    except (ValueError, OverflowError):
        raise StorageError(f"数据文件 {path} 的 last_trading_date 无效（{value!r}）",
                           f"last_trading_date 无效（{value!r}）") from None
    return day


def read_instruments(bundle_directory):
    """The instrument table as a structured array; see ``instrument_records`` for dicts."""
    return _read_dataset(os.path.join(bundle_directory, INSTRUMENTS_FILE), "instruments", "instruments")


def instrument_records(arr):
    """Rows of an instrument array as dicts with text values decoded."""
    names = arr.dtype.names
    return [{n: _plain(row[n]) for n in names} for row in arr]


def read_trading_dates(bundle_directory):
    """The stored trading calendar: int32 YYYYMMDD, ascending."""
    return _read_dataset(os.path.join(bundle_directory, TRADING_DATES_FILE), "trading_dates", "trading_dates")


def read_calendars(bundle_directory):
    """Every stored calendar as {exchange: (dates, early closes)}, the bundle-wide one under None:
    dates int32 YYYYMMDD, early closes ``EARLY_CLOSE_FIELDS`` rows (none in older bundles)."""
    import numpy as np

    path = os.path.join(bundle_directory, TRADING_DATES_FILE)
    f = _open(path, "trading_dates")
    try:
        members = {name: _member(f, path, name) for name in (
            "trading_dates", "early_closes", "exchange_trading_dates", "exchange_early_closes")}
        if members["trading_dates"] is None:
            raise StorageError(f"数据文件 {path} 缺少数据集 trading_dates")
        stored = {name: _whole(path, ds) for name, ds in members.items() if ds is not None}
        if stored["trading_dates"].dtype.kind not in "iu":
            raise StorageError(f"数据文件 {path} 的 trading_dates 类型为 {stored['trading_dates'].dtype.str}，应为整数")
        none = np.zeros(0, EARLY_CLOSE_FIELDS)
        calendars = {None: (stored["trading_dates"],
                            _typed_fields(stored.get("early_closes", none), EARLY_CLOSE_FIELDS, path, "early_closes"))}
        by_exchange = _typed_fields(stored.get("exchange_trading_dates", np.zeros(0, EXCHANGE_DATE_FIELDS)),
                                    EXCHANGE_DATE_FIELDS, path, "exchange_trading_dates")
        early = _typed_fields(stored.get("exchange_early_closes", np.zeros(0, EXCHANGE_EARLY_CLOSE_FIELDS)),
                              EXCHANGE_EARLY_CLOSE_FIELDS, path, "exchange_early_closes")
        for name in np.unique(by_exchange["exchange"]).tolist():
            calendars[name.decode("utf-8", "replace")] = (
                by_exchange["date"][by_exchange["exchange"] == name],
                _fields(early[early["exchange"] == name], EARLY_CLOSE_FIELDS))
        return calendars
    except (OSError, ValueError, KeyError, TypeError, IndexError) as exc:
        raise StorageError(f"无法读取数据文件 {path}：{exc}") from exc
    finally:
        f.close()


def _fields(arr, fields):
    """Rows with just the named fields, in their types; raises when the rows lack one."""
    import numpy as np

    out = np.empty(len(arr), fields)
    for name, _type in fields:
        out[name] = arr[name]
    return out


def read_daybar_file(path):
    """All daily bars of one category file: {market code: structured array}."""
    f = _open(path, "daybar")
    try:
        try:
            members = {code: _member(f, path, code) for code in f.keys()}
            # Each series judged alone first, as it is when read alone.
            problem = next((f"{code} {problem}" for code, problem in (
                (code, series_problem(ds)) for code, ds in members.items()) if problem), None)
            problem = problem or _swelling_problem(f, members.values())
            if problem:
                raise StorageError(f"数据文件 {path} 无法使用：{problem}", problem)
            return {code: _whole(path, ds) for code, ds in members.items()}
        except (OSError, ValueError, KeyError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}") from exc
    finally:
        f.close()


def daybar_tails(path):
    """{market code: datetime of its last stored daily bar} of one category file; reads one row a code."""
    import h5py

    f = _open(path, "daybar")
    try:
        try:
            tails = {}
            for code in f.keys():
                ds = _member(f, path, code)
                dtype = _series_dtype(ds.id, "daybar") if isinstance(ds, h5py.Dataset) else None
                problem = series_problem(ds, dtype)
                if not problem and "datetime" not in (dtype.names or ()):
                    problem = "不是日线"
                if problem:
                    raise StorageError(f"数据文件 {path} 无法使用：{code} {problem}", f"{code} {problem}")
                if ds.shape[0]:
                    tails[code] = int(_row(ds.id, ds.shape[0] - 1, dtype)["datetime"])
            return tails
        except (OSError, ValueError, KeyError, IndexError, TypeError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
    finally:
        f.close()


def read_daily(bundle_directory, code=None, category=None):
    """Daily bars: of one instrument (an array, or None when not stored), or, without ``code``,
    every stored instrument as {market code: array} (restricted to ``category`` when given)."""
    result = {}
    for cat, path in iter_daybar_files(bundle_directory):
        if category is not None and cat != category:
            continue
        if code is not None:
            f = _open(path, "daybar")
            try:
                ds = _member(f, path, code)
                if ds is not None:
                    return _whole(path, ds)
            finally:
                f.close()
            continue
        result.update(read_daybar_file(path))
    return None if code is not None else result


def daybar_codes(bundle_directory):
    """Market codes that have daily bars stored; files that cannot be read count for nothing."""
    codes = set()
    for _cat, path in iter_daybar_files(bundle_directory):
        try:
            f = _open(path, "daybar")
        except (StorageError, OSError):
            continue
        try:
            codes.update(f.keys())
        finally:
            f.close()
    return codes


def iter_daily(bundle_directory):
    """(category, code, array) of every stored daily-bar series."""
    for cat, path in iter_daybar_files(bundle_directory):
        for code, arr in sorted(read_daybar_file(path).items()):
            yield cat, code, arr


_BASE_DATASETS = {"instruments": ("instruments", "order_book_id"), "trading_dates": ("trading_dates", None),
                  "ex_factors": ("ex_factors", "order_book_id"), "suspended": ("suspended", "order_book_id")}


def validate_file(path, kind, category=None, code=None):
    """Why a file is not a sound bundle file of ``kind`` (for minute bars and ticks, of ``code`` in
    ``category`` when given), or None. Reads the attributes, the datasets' layout and, for minute
    bars and ticks, their first and last rows."""
    if kind in _DATASET:
        try:
            reason = inspect_data_file(path, kind)
        except StorageError as exc:
            return exc.reason
        if reason is not None:
            return reason
    try:
        f = _open(path, kind)
    except StorageError as exc:
        return exc.reason
    except OSError as exc:
        return str(exc)
    try:
        import h5py

        links = [name for name in f if not isinstance(f.get(name, getlink=True), h5py.HardLink)]
        if links:
            return f"含有指向别处的链接 {links[0]}"
        if kind in _DATASET:
            for attr, expected in (("order_book_id", code), ("category", category)):
                if expected is not None and _plain(f.attrs.get(attr)) != expected:
                    return f"属性 {attr} 为 {_plain(f.attrs.get(attr))!r}，与它的位置（{expected}）不符"
            return None
        if kind == "daybar":
            fields = [name for name, _type in DAYBAR_FIELDS]
            members = []
            for code_ in f.keys():
                ds = _member(f, path, code_)
                problem = series_problem(ds)
                if problem:
                    return f"{code_} {problem}"
                if any(name not in (ds.dtype.names or ()) for name in fields):
                    return f"数据集 {code_} 不是日线"
                members.append(ds)
            return _swelling_problem(f, members)
        name, field = _BASE_DATASETS[kind]
        ds = _member(f, path, name)
        if not isinstance(ds, h5py.Dataset):
            return f"缺少数据集 {name}"
        problem = series_problem(ds)
        if problem:
            return f"{name} {problem}"
        if field is not None and (ds.dtype.names is None or field not in ds.dtype.names):
            return f"数据集 {name} 缺少字段 {field}"
        if field is None and ds.dtype.kind not in "iu":
            return f"数据集 {name} 不是整数"
        return None
    except StorageError as exc:
        return exc.reason
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return f"读取失败：{exc}"
    finally:
        f.close()


def inspect_data_file(path, kind):
    """Why a minute-bar or tick file cannot be used (unreadable, truncated, not matching its own
    attributes), or None when it is sound. Reads only the first and the last row, so it is cheap
    enough to run over a whole bundle before every update. Raises StorageError when the file
    cannot be opened for now (``damaged`` false) and so cannot be judged."""
    return stored_state(path, kind, thorough=True)[0]


def stored_state(path, kind, thorough=False):
    """(why the file cannot be used or None, what resuming it needs) of a minute-bar or tick file,
    from one open: its schema version, rows, first and last trading date, and the ``datetime`` of
    its last row. Without ``thorough`` the first row is not read. Errors as ``inspect_data_file``."""
    try:
        f, version = _open(path, kind, with_version=True)
    except FileNotFoundError:
        return "文件不存在", {}
    except StorageError as exc:
        if not exc.damaged:
            raise
        return exc.reason, {}
    try:
        # Only what resuming needs: each attribute read costs as much as a row.
        state = {"schema_version": version}
        for name in ("rows", "first_trading_date", "last_trading_date"):
            value = root_attr(f, name)
            if value is not None:
                state[name] = _plain(value)
        return _series_file_problem(f, path, kind, state, thorough), state
    except StorageError as exc:  # a link out of the file
        if not exc.damaged:
            raise
        return exc.reason, {}
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return f"读取失败：{exc}", {}
    finally:
        f.close()


def _series_file_problem(f, path, kind, state, thorough):
    import h5py

    name = _DATASET[kind]
    ds = _member(f, path, name)
    # hasattr(ds, "dtype") would build a dataset's dtype only to find that it has one.
    if ds is None or not (isinstance(ds, h5py.Dataset) or hasattr(ds, "dtype")):
        return f"缺少数据集 {name}"
    # A named datatype has a dtype too; series_problem says it is no dataset.
    dtype = _series_dtype(ds.id, kind) if isinstance(ds, h5py.Dataset) else None
    problem = series_problem(ds, dtype)
    if problem:
        return problem
    fields = MINBAR_FIELDS if kind == "minbar" else TICK_FIELDS
    names = dtype.names or ()
    missing = [n for n, _t in fields if n not in names]
    if missing:
        return "缺少字段 " + ", ".join(missing)
    for attr in ("rows", "first_trading_date", "last_trading_date"):
        try:
            _attr_int(state.get(attr, 0))
        except ValueError:
            return f"属性 {attr} 不是整数"
    if state.get("schema_version") == SCHEMA_VERSION:
        problem = _appendable_problem(ds.id, fields, dtype)
        if problem:
            return problem
    n = ds.shape[0]
    rows = state.get("rows")
    if rows is not None and int(rows) != n:
        return f"数据行数 {n} 与记录的 {int(rows)} 不符"
    offset = ds.id.get_offset()
    if offset is not None and offset + ds.id.get_storage_size() > os.path.getsize(path):
        return "文件被截断"
    if n:
        last = _row(ds.id, n - 1, dtype)
        state["last_datetime"] = int(last["datetime"])
        if int(last["trading_date"]) != int(state.get("last_trading_date", last["trading_date"])):
            return "数据的交易日与记录不符"
        first = _row(ds.id, 0, dtype) if thorough else None
        if first is not None and int(first["trading_date"]) != int(state.get("first_trading_date", first["trading_date"])):
            return "数据的交易日与记录不符"
    return None


def _series_dtype(dataset, kind):
    """A low-level dataset's dtype; h5py builds a compound one field by field at every access, so
    that of the kit's own series is known by comparing types instead."""
    ours = {"minbar": minbar_dtype, "tick": tick_dtype, "daybar": daybar_dtype}[kind]()
    return ours if dataset.get_type().equal(_image_parts().series_type(ours)) else dataset.dtype


def _row(dataset, index, dtype):
    """One row of a low-level dataset (a fifth of what ``ds[index]`` costs)."""
    import h5py
    import numpy as np

    row = np.empty(1, dtype)
    space = dataset.get_space()
    space.select_hyperslab((index,), (1,))
    dataset.read(h5py.h5s.create_simple((1,)), space, row, mtype=_image_parts().series_type(dtype))
    return row[0]


def read_span(path, kind, name, field, low, high):
    """The rows of series ``name`` of a file whose ``field`` (one the rows are sorted by) lies in
    [low, high]; found by a binary search that reads a handful of rows, so only the span is read
    whole. KeyError when the file holds no such series; errors as ``read_minbar`` otherwise."""
    import bisect

    f = _open(path, kind)
    try:
        ds = _member(f, path, name)
        if ds is None:
            raise KeyError(name)
        problem = series_problem(ds)
        stored = ds.dtype
        if not problem and field not in (stored.names or ()):
            problem = f"缺少字段 {field}"  # the search reads it from each row it looks at
        if problem:
            raise StorageError(f"数据文件 {path} 无法使用：{name} {problem}", problem)
        try:
            column = _StoredColumn(ds, field)
            first = bisect.bisect_left(column, low)
            end = bisect.bisect_right(column, high, lo=first)
            rows = _room_for(path, end - first, stored)
            if len(rows):
                ds.read_direct(rows, slice(first, end))
            return rows
        except (OSError, ValueError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
    finally:
        f.close()
