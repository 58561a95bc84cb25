"""The bundle path's layout: where each kind of file lives, the names the kit reserves, whose files
the kit may touch, and setting a file aside in quarantine."""
import contextlib
import contextvars
import errno
import os
import re
import stat

from vantorel.errors import VantorelError

SCHEMA_VERSION = 2


# Schema 1 files are read as they are and converted when an update appends to them.
READABLE_SCHEMAS = (1, 2)


LIBVER = ("earliest", "v110")


# Rows a chunk holds. HDF5 reads and rewrites the last, partly filled chunk when rows are appended
# (the journal then keeps only the bytes that changed), so a chunk is a few days of minute bars
# or a quarter of daily bars: an update reads a chunk per series, not the history. Minute bars
# and ticks are compressed (``hdf5.SERIES_FILTER``), which costs a little for every chunk read:
# at 1,024 rows a whole history reads about as fast as uncompressed rows (at 256, a third slower),
# and an append rewrites some 20 KB of it (benchmarks/compression.py). Series keep the chunks they were made with.
CHUNK_ROWS = {"minbar": 1024, "tick": 1024, "daybar": 64}


BUNDLE_DIR_NAME = "bundle"


MINBAR_DIR_NAME = "minbar"


TICK_DIR_NAME = "tick"


QUARANTINE_DIR_NAME = "quarantine"


REPORTS_DIR_NAME = "reports"


DAYBAR_DIR_NAME = "daybar"


INSTRUMENTS_FILE = "instruments.h5"


TRADING_DATES_FILE = "trading_dates.h5"


TEMP_MARK = ".tmp-"


# The whole name a new file gets while it is written (``writing``): "." + file name + TEMP_MARK + "<pid>-<8 hex>".
TEMP_NAME = re.compile(r"\..+\.h5" + re.escape(TEMP_MARK) + r"[0-9]+-[0-9a-f]{8}")


DATASET = {"minbar": "bars", "tick": "ticks"}


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
    for category in _names_in(root):
        cat_dir = os.path.join(root, category)
        for name in _names_in(cat_dir, tolerate=True):
            if not name.startswith(".") and name.endswith(".h5"):
                yield category, name[:-3], os.path.join(cat_dir, name)


def _names_in(path, tolerate=False):
    """Sorted names in the layout directory ``path``, reached as ``_walk`` says; none when it is
    missing. Anything else at its name is refused (StorageError): "no data" would be a wrong
    answer for a pipe or a file where minbar/ should be. With ``tolerate``, such a thing (a stray
    file among the categories) holds nothing, as the layout has no place for it."""
    try:
        directory = reach_directory(path, os.path.join(path, "-"))
    except FileNotFoundError:
        return []
    except NotADirectoryError as exc:
        if tolerate:
            return []
        where = exc.filename or path  # the level that is none: minbar/ or the bundle/ above daybar/
        mode = 0
        with contextlib.suppress(OSError):
            mode = os.lstat(where).st_mode
        kind = "管道" if stat.S_ISFIFO(mode) else "链接" if stat.S_ISLNK(mode) else "文件"
        reason = f"{where} 是{kind}，不是目录"
        raise StorageError(f"{reason}；未读取它，请确认后把它移走", reason, damaged=False) from None
    with directory:
        return sorted(directory.names())


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
    for name in _names_in(root):
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


# Rule 8 of ``access``: nothing of another user is read, written or swapped.
def refuse_foreign(info, path, data_file=None, users=None):
    """Refuse (StorageError) a file or directory, as opened (``info`` from fstat), that belongs
    to a user outside ``nofollow.owners`` of its bundle path (``users``, when the caller has judged
    them from the bundle path as opened): on a bundle path others may write, a name can lead into
    another user's tree, and the kit neither reads nor writes there."""
    from vantorel.bundle import nofollow

    if users is None:
        users = nofollow.owners_at(_bundle_path_holding(data_file or path))
    if nofollow.trusted(info, users):
        return
    owner = nofollow.owner_name(info.st_uid)
    what = "数据文件" if data_file is None else "目录"
    reason = f"{what} {path} 属于用户 {owner}，不是本用户、该 bundle 路径的属主或其团队成员"
    raise StorageError(f"{reason}；为免读写别人的数据，未使用它。请确认该路径下的目录没有被别人替换或移动后重新运行"
                       "（团队共用一个 bundle 路径时，把它设为团队的组目录：chgrp 团队组、chmod 2775，组员的文件即被信任）",
                       reason, damaged=False)


_OPEN_FLAGS = (getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0) | getattr(os, "O_CLOEXEC", 0)
               | getattr(os, "O_BINARY", 0))
_READ_FLAGS = os.O_RDONLY | _OPEN_FLAGS
READ_WRITE_FLAGS = os.O_RDWR | _OPEN_FLAGS


# On Linux, opening /proc/self/fd/<n> opens the very file of descriptor n, whatever its name
# leads to by then.
_REOPEN_BY_DESCRIPTOR = os.path.isdir("/proc/self/fd")


def _walk(directory_path, data_file, create):
    """(the directory ``directory_path`` as opened, the users ``nofollow.owners`` trusts there),
    reached level by level from the bundle path holding ``data_file`` by descriptor: on a bundle
    path others may rename in, a level named by path may be a link to their tree by the next call,
    and what the kit reads or makes through it would be theirs. A link is followed only when it is
    of a user the kit trusts (the user keeps minbar/ or a category on another disk); every level
    reached must be of such a user. With ``create``, missing levels are made."""
    from vantorel.bundle import nofollow

    top = _bundle_path_holding(data_file)
    if not nofollow.FD_CALLS:
        if create:
            os.makedirs(directory_path, exist_ok=True)
        directory = nofollow.Dir.at(directory_path, follow=True)
        refuse_foreign(directory.stat(), directory_path, data_file)
        return directory, nofollow.owners_at(top)
    try:
        directory = nofollow.Dir.at(top, follow=True)  # the path the user named
    except FileNotFoundError:
        if not create:
            raise
        os.makedirs(top, exist_ok=True)
        directory = nofollow.Dir.at(top, follow=True)
    try:
        users = nofollow.owners(directory)  # judged once, from the bundle path as opened
        relative = os.path.relpath(directory_path, top)
        for part in [] if relative == os.curdir else relative.split(os.sep):
            info = directory.lstat(part)
            if info is None and create:
                with contextlib.suppress(FileExistsError):
                    directory.mkdir(part)
                info = directory.lstat(part)
            if info is None:
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), directory.join(part))
            level = _enter(directory, part, info, users, data_file)
            directory.close()
            directory = level
            refuse_foreign(directory.stat(), directory.path, data_file, users)
    except BaseException:
        directory.close()
        raise
    return directory, users


def _enter(directory, name, info, users, data_file, flags=None):
    """Open the entry ``name`` of ``directory`` (a sub-directory, or the file with ``flags``),
    following it only when it is a link of a trusted user: whose choice the link is decides."""
    from vantorel.bundle import nofollow

    if stat.S_ISLNK(info.st_mode):
        refuse_foreign(info, directory.join(name), data_file, users)  # the link itself: whose choice it is
        try:
            fd = os.open(name, nofollow.FOLLOWING_DIR_FLAGS if flags is None else flags, dir_fd=directory.fd)
        except OSError as exc:
            raise nofollow.naming(exc, directory.join(name)) from None
        return nofollow.Dir(directory.join(name), fd) if flags is None else fd
    if flags is None:
        return directory.sub(name)
    return directory.open(name, flags)


def reach_directory(directory_path, data_file, create=False):
    """The directory ``directory_path`` that ``data_file`` is (or goes) in, opened as ``_walk``
    says; a ``nofollow.Dir`` to close."""
    return _walk(directory_path, data_file, create)[0]


# {directory path: (the directory as ``_walk`` opened it, its users)} within ``walks_kept``: a
# context variable, so that a check run in one thread does not close what one in another uses.
_KEPT_WALKS = contextvars.ContextVar("vantorel_kept_walks", default=None)


@contextlib.contextmanager
def walks_kept():
    """Within: each directory files are opened from is walked to once and kept open, and its files
    are opened from it. The walk is a dozen system calls, and a check or an update opens every file
    of a category; the caller holds the layout lock (a check) or the writer lock and swaps nothing
    (an update's tasks), so no swap can put another tree where the walk went, and where others may
    rename, writers refuse to work (rule 9 of ``access``). Each file is still judged as it is
    opened. The update's fetch threads open files too: a directory two of them walk to at once is
    kept once (they run in ``contextvars.copy_context()`` of the caller, which shares the kept
    directories, and are done before it leaves)."""
    if _KEPT_WALKS.get() is not None:
        yield
        return
    kept = {}
    token = _KEPT_WALKS.set(kept)
    try:
        yield
    finally:
        _KEPT_WALKS.reset(token)
        for directory, _users in kept.values():
            directory.close()


# Rule 8 of ``access``: reached from the bundle path by descriptor, every level judged.
def open_in_bundle(path, flags=_READ_FLAGS):
    """A descriptor of the bundle file at ``path``, opened with ``flags`` (by default for reading,
    without waiting: a pipe planted under a file's name would otherwise block the open for ever,
    the bundle's lock held), reached as ``_walk`` says and refused (StorageError, the descriptor
    closed) unless it is a regular file of a user the kit trusts. FileNotFoundError when there is none."""
    from vantorel.bundle import nofollow

    users = None
    if not (hasattr(os, "geteuid") and nofollow.FD_CALLS):  # Windows: no owners, no descriptor-relative opens
        fd = os.open(path, flags)
    else:
        where = os.path.dirname(os.path.abspath(path))
        kept = _KEPT_WALKS.get()
        if kept is not None and where in kept:
            directory, users = kept[where]
        else:
            directory, users = _walk(where, path, create=False)
            if kept is not None:
                walked = directory, users
                if kept.setdefault(where, walked) is not walked:
                    directory.close()
                    directory, users = kept[where]
        with contextlib.nullcontext() if kept is not None else directory:
            name = os.path.basename(path)
            info = directory.lstat(name)
            if info is None:
                raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
            fd = _enter(directory, name, info, users, path, flags)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            reason = f"数据文件 {path} 不是普通文件（可能是管道或设备）"
            raise StorageError(f"{reason}；未使用它，请确认后把它移走", reason, damaged=False)
        if hasattr(os, "geteuid"):
            refuse_foreign(info, path, users=users)
    except BaseException:
        os.close(fd)
        raise
    return fd


def name_of_opened(fd, path):
    """A name by which another open (HDF5's) reaches the file of ``fd`` itself; elsewhere than on
    Linux, ``path``, and the caller judges again what that open found."""
    return f"/proc/self/fd/{fd}" if _REOPEN_BY_DESCRIPTOR else path
