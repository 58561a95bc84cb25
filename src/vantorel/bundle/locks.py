"""The locks of a bundle path: one that keeps writers apart, one that keeps readers from a swap, and
one on each file that keeps a reader from a change in place.

- The writer lock (``writer_lock``): every process that changes a bundle path (an update, a swap,
  moving a file to quarantine) holds it for as long as it works, so two writers never meet. A
  second writer is refused at once, never made to wait: an update can run for an hour.
- The layout lock (``bundle_lock``): readers hold it shared for as long as they read; it is held
  exclusively only while the layout directories are swapped or a killed process's work is
  finished or rolled back. Those take moments, so a reader that meets one waits for it, up to
  ``VANTOREL_SWAP_WAIT`` seconds, and says that it waits.
- Each data file: a reader holds it shared while the file is open (``hdf5.open_file``), a change
  in place exclusively from its journal to its commit (``overlay``). A reader so waits for at
  most one file's commit, and gets the file as it was before it or after it.

So an update never refuses a reader, and a reader never sees half a swap or half an append.

The lock is ``flock(2)`` on the bundle path's directory itself: a reader needs no more than the
permission to read it, no lock file litters the directory, and the system drops the lock when
the process dies, however it dies. Swaps rename the directories inside the bundle path, never
the bundle path, so every process locks the same directory. (Windows cannot lock a directory:
there a file ``LOCK_NAME`` inside it is locked, and every holder is exclusive.)

Within one process the lock is re-entrant: an update that installs an archive, or a swap that
recovers first, takes it again without waiting on itself. A process that holds it exclusively
may also read; one that holds it shared must not start writing.
"""
import contextlib
import os
import stat
import threading
import time

from vantorel.errors import VantorelError

LOCK_NAME = ".vantorel.lock"  # Windows only
WRITER_LOCK_NAME = ".vantorel.writer"
SWAP_WAIT_SETTING = "VANTOREL_SWAP_WAIT"
_SWAP_WAIT = 60.0  # seconds a reader waits for a swap by default


class BusyError(VantorelError):
    """Another process holds the bundle path's lock in a way that excludes this one."""


_held = {}  # bundle path -> [fd or FileLock, exclusive, depth]
_guard = threading.RLock()


def resolve(bundle_path):
    """The bundle path as the lock and the swaps know it. A bundle path that is a symlink stays one:
    the tree it points at is the bundle."""
    return os.path.realpath(os.path.abspath(os.fspath(bundle_path)))


def busy(path, exclusive):
    """The error of a process that wanted the lock of ``path`` (to write when ``exclusive``)."""
    if exclusive:
        return BusyError(f"另一个进程正在使用 {path}；请等它结束后再试")
    return BusyError(f"另一个进程正在写入 {path}；请等它结束后再试")


def swap_wait():
    """How long a reader waits for a swap (and a swap for the readers), in seconds."""
    value = os.environ.get(SWAP_WAIT_SETTING, "").strip()
    if not value:
        return _SWAP_WAIT
    try:
        seconds = float(value)
    except ValueError:
        seconds = -1.0
    if not 0 <= seconds < float("inf"):
        raise VantorelError(f"{SWAP_WAIT_SETTING} 应为不小于 0 的秒数，现为 {value!r}")
    return seconds


def flock_within(fd, exclusive, wait, said):
    """Take ``flock`` on ``fd``, trying again for up to ``wait`` seconds; ``said`` is called once
    when the first try fails and a wait begins. BlockingIOError when it stays taken."""
    import fcntl

    mode = (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB
    deadline = time.monotonic() + wait
    pause = 0.005
    while True:
        try:
            fcntl.flock(fd, mode)
            return
        except BlockingIOError:
            if time.monotonic() >= deadline:
                raise
            if said is not None:
                said()
                said = None
            time.sleep(min(pause, max(deadline - time.monotonic(), 0)))
            pause = min(pause * 2, 0.2)


def _acquire(path, exclusive, wait):
    try:
        import fcntl  # noqa: F401
    except ImportError:  # Windows
        from filelock import FileLock, Timeout

        lock = FileLock(os.path.join(path, LOCK_NAME), timeout=0)
        try:
            lock.acquire()
        except Timeout:
            raise busy(path, exclusive) from None
        return lock
    # Not through a link: the path is resolved, so one there now was swapped in since.
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_NOFOLLOW", 0)
                 | getattr(os, "O_CLOEXEC", 0))
    try:
        flock_within(fd, exclusive, wait, _waiting(path, exclusive, wait) if wait else None)
    except BlockingIOError:
        os.close(fd)
        if not wait:
            raise busy(path, exclusive) from None
        if exclusive:
            raise BusyError(f"{path} 正被读取，等了 {wait:g} 秒仍未读完，未替换数据目录；请等读取结束后再试"
                            f"（{SWAP_WAIT_SETTING} 可设等待的秒数）") from None
        raise BusyError(f"{path} 的数据目录正在替换，等了 {wait:g} 秒仍未完成；请稍后再试"
                        f"（{SWAP_WAIT_SETTING} 可设等待的秒数）") from None
    except BaseException:
        os.close(fd)
        raise
    return fd


def _waiting(path, exclusive, wait):
    def say():
        import click

        what = "等待读取结束后替换数据目录" if exclusive else "等待数据目录替换完成"
        click.echo(f"{path}：{what}（最多 {wait:g} 秒）…", err=True)
    return say


def holding(bundle_path):
    """Whether this process holds the layout lock of ``bundle_path`` (either way)."""
    with _guard:
        return bundle_path in _held


def descriptor(bundle_path):
    """The descriptor of the bundle path's directory whose lock this process holds, or None (not
    held, or Windows): recovery works in the very directory it locked."""
    with _guard:
        entry = _held.get(bundle_path)
        return entry[0] if entry is not None and isinstance(entry[0], int) else None


def _release(handle):
    if isinstance(handle, int):
        os.close(handle)  # closing the last descriptor drops the flock
    else:
        handle.release()


@contextlib.contextmanager
# Rule 2 of ``access``: shared for readers, exclusive for writers, refused rather than awaited.
def bundle_lock(bundle_path, exclusive, create=False, wait=False):
    """Hold the layout lock of ``bundle_path``; yields the resolved path.

    With ``create`` a missing bundle path is made (a writer is about to fill it), and removed again
    if it is still empty when the lock is released; without, a missing one yields without locking
    (there is nothing to read). Raises BusyError when another process holds the lock the other way:
    at once, or with ``wait`` after ``swap_wait()`` seconds; VantorelError when the bundle path
    cannot be made or opened.
    """
    path = _directory(bundle_path)
    if not create and not os.path.isdir(path):
        yield path
        return
    made = _made(path)
    with _guard:
        entry = _held.get(path)
        if entry is not None:
            if exclusive and not entry[1]:
                raise VantorelError(f"内部错误：在只读期间写入 {path}")
            entry[2] += 1
        else:
            try:
                handle = _acquire(path, exclusive, swap_wait() if wait else 0)
            except OSError as exc:
                raise VantorelError(f"无法打开目录 {path}：{exc.strerror or exc}") from None
            entry = _held[path] = [handle, exclusive, 1]
    try:
        yield path
    finally:
        with _guard:
            entry[2] -= 1
            if entry[2] == 0:
                del _held[path]
                _release(entry[0])
                if made:
                    _unmake(path)


def _directory(bundle_path):
    """The resolved bundle path, refused when something else than a directory is there."""
    path = resolve(bundle_path)
    if os.path.lexists(path) and not os.path.isdir(path):
        raise VantorelError(f"{path} 已存在且不是目录；请用 -d 指定一个目录")
    return path


def _made(path):
    """Make the bundle path when it is missing; whether it was made here."""
    if os.path.isdir(path):
        return False
    try:
        os.makedirs(path)
        return True
    except FileExistsError:
        return False
    except OSError as exc:
        raise VantorelError(f"无法创建目录 {path}：{exc.strerror or exc}") from None


def _unmake(path):
    # A writer that made the bundle path and failed before writing leaves nothing.
    with contextlib.suppress(OSError):
        os.rmdir(path)


_writers = {}  # bundle path -> [descriptor, whether the bundle path was made for it, depth]


@contextlib.contextmanager
def writer_lock(bundle_path):
    """Hold the writer lock of ``bundle_path`` (re-entrant within a process); yields the resolved
    path. A missing bundle path is made, and removed again if it is still empty when
    the lock is released. Raises BusyError at once when another process holds it. On
    Windows this is the layout lock itself, held exclusively."""
    try:
        import fcntl
    except ImportError:
        with bundle_lock(bundle_path, exclusive=True, create=True) as path:
            yield path
        return
    path = _directory(bundle_path)
    with _guard:
        entry = _writers.get(path)
        if entry is None:
            entry = _writers[path] = [*_take_writer(path, fcntl), 0]
        entry[2] += 1
    try:
        yield path
    finally:
        with _guard:
            entry[2] -= 1
            if entry[2] == 0:
                del _writers[path]
                fd, made, _depth = entry
                _drop_writer(path, fd)
                if made:
                    _unmake(path)


def _drop_writer(path, fd):
    """Remove the lock file (while still holding it, so that no one who opened it since counts it
    as theirs: see ``_take_writer``), then release it."""
    name = os.path.join(path, WRITER_LOCK_NAME)
    try:
        held, there = os.fstat(fd), os.lstat(name)
        if (held.st_dev, held.st_ino) == (there.st_dev, there.st_ino):
            os.unlink(name)
    except OSError:
        pass
    finally:
        os.close(fd)


def _take_writer(path, fcntl):
    """(descriptor holding the writer lock, whether the bundle path was made for it)."""
    made = _made(path)
    name = os.path.join(path, WRITER_LOCK_NAME)
    for _attempt in range(3):
        try:
            # Made by the writer and removed when it is done, so nothing is left in the bundle path.
            fd = os.open(name, os.O_RDONLY | os.O_CREAT | _NO_WAIT, 0o644)
        except OSError as exc:
            raise VantorelError(f"无法在 {path} 中建立写入锁 {WRITER_LOCK_NAME}：{exc.strerror or exc}") from None
        try:
            _refuse_planted(fd, name, path)
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise busy(path, exclusive=True) from None
        except BaseException:
            os.close(fd)
            raise
        # Opened just before the writer before this one removed it: a lock on a file nobody looks at.
        with contextlib.suppress(FileNotFoundError):
            held, there = os.fstat(fd), os.lstat(name)
            if (held.st_dev, held.st_ino) == (there.st_dev, there.st_ino):
                return fd, made
        os.close(fd)
    raise busy(path, exclusive=True)


# Not through a link, and never waiting: another user who may write the bundle path could put a
# pipe at the lock's name, whose open would block for ever.
_NO_WAIT = (getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NONBLOCK", 0)
            | getattr(os, "O_NOCTTY", 0))


def _refuse_planted(fd, name, path):
    """Refuse a writer lock that is no regular file, or another user's: a lock they hold would keep
    every writer out, and a pipe or device is not ours to open."""
    from vantorel.bundle import nofollow

    info = os.fstat(fd)
    if stat.S_ISREG(info.st_mode) and nofollow.trusted(info, nofollow.owners_at(path)):
        return
    what = "不是普通文件" if not stat.S_ISREG(info.st_mode) else f"属于用户 {nofollow.owner_name(info.st_uid)}"
    raise VantorelError(f"写入锁 {name} {what}，不是 vantorel 建立的；未写入 {path}。请确认后把它移走再试")


def writer_active(bundle_path):
    """Whether a process (this one included) holds the writer lock of ``bundle_path`` now: then a
    journal there is that writer's change in progress, not a killed one's."""
    path = resolve(bundle_path)
    try:
        import fcntl
    except ImportError:
        return False  # readers and writers exclude each other there
    with _guard:
        if path in _writers:
            return True
    try:
        fd = os.open(os.path.join(path, WRITER_LOCK_NAME), os.O_RDONLY | _NO_WAIT)
    except OSError:
        return False  # no writer has ever made it: none is running (they make it before anything)
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
        return False
    except BlockingIOError:
        return True
    finally:
        os.close(fd)
