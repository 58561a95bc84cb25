"""The one lock of a bundle path: shared for readers, exclusive for writers.

Every process that changes a bundle path (an update, a swap, moving a file to quarantine) holds
the lock exclusively for as long as it works; every process that reads one (the checks, the
reading functions) holds it shared. So a reader never sees a half-swapped or half-written
bundle, and two writers never meet. Nobody waits: a process that finds the lock taken the other
way says so and stops, because an update can run for an hour and a check that hangs behind it
would look frozen.

The lock is ``flock(2)`` on the file ``LOCK_NAME`` inside the bundle path. The system drops it
when the process dies, however it dies, so there is nothing stale to clean up. (Where flock is
missing, on Windows, every holder is exclusive.)

Within one process the lock is re-entrant: an update that installs an archive, or a swap that
recovers first, takes it again without waiting on itself. A process that holds it exclusively
may also read; one that holds it shared must not start writing.
"""
import contextlib
import os
import threading

from vantorel.errors import VantorelError

LOCK_NAME = ".vantorel.lock"
# A bundle path whose data a swap moved there holds its lock even without current data.
_PREVIOUS = "previous"


class BusyError(VantorelError):
    """Another process holds the bundle path's lock in a way that excludes this one."""


_held = {}  # bundle path -> [fd or FileLock, exclusive, depth]
_guard = threading.RLock()


def lock_path(bundle_path):
    return os.path.join(bundle_path, LOCK_NAME)


def _resolve(bundle_path):
    return os.path.realpath(os.path.abspath(os.fspath(bundle_path)))


def busy(path, exclusive):
    """The error of a process that wanted the lock of ``path`` (to write when ``exclusive``)."""
    if exclusive:
        return BusyError(f"另一个进程正在使用 {path}；请等它结束后再试")
    return BusyError(f"另一个进程正在写入 {path}；请等它结束后再试")


def _acquire(path, exclusive):
    """(handle, whether this call made the lock file)."""
    try:
        import fcntl
    except ImportError:  # Windows
        from filelock import FileLock, Timeout

        made = not os.path.exists(lock_path(path))
        lock = FileLock(lock_path(path), timeout=0)
        try:
            lock.acquire()
        except Timeout:
            raise busy(path, exclusive) from None
        return lock, made
    flags = os.O_RDWR | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
    try:
        fd, made = os.open(lock_path(path), flags | os.O_CREAT | os.O_EXCL, 0o644), True
    except FileExistsError:
        fd, made = os.open(lock_path(path), flags), False
    try:
        fcntl.flock(fd, (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise busy(path, exclusive) from None
    except BaseException:
        os.close(fd)
        raise
    return fd, made


def _release(handle):
    if isinstance(handle, int):
        os.close(handle)  # closing the last descriptor drops the flock
    else:
        handle.release()


@contextlib.contextmanager
def bundle_lock(bundle_path, exclusive, create=False):
    """Hold the lock of ``bundle_path``; yields the resolved path.

    With ``create`` a missing bundle path is made (a writer is about to fill it); without, a
    missing one yields without locking (there is nothing to read). Raises BusyError at once when
    another process holds the lock the other way, VantorelError when the lock file cannot be made.
    """
    path = _resolve(bundle_path)
    if os.path.lexists(path) and not os.path.isdir(path):
        raise VantorelError(f"{path} 已存在且不是目录；请用 -d 指定一个目录")
    made = False
    if not os.path.isdir(path):
        if not create:
            yield path
            return
        try:
            os.makedirs(path)
            made = True
        except FileExistsError:
            pass
        except OSError as exc:
            raise VantorelError(f"无法创建目录 {path}：{exc.strerror or exc}") from None
    with _guard:
        entry = _held.get(path)
        if entry is not None:
            if exclusive and not entry[1]:
                raise VantorelError(f"内部错误：在只读期间写入 {path}")
            entry[2] += 1
        else:
            try:
                handle, made_lock = _acquire(path, exclusive)
            except OSError as exc:
                raise VantorelError(f"无法在 {path} 中创建锁文件 {LOCK_NAME}：{exc.strerror or exc}") from None
            entry = _held[path] = [handle, exclusive, 1, made_lock]
    try:
        yield path
    finally:
        with _guard:
            entry[2] -= 1
            if entry[2] == 0:
                del _held[path]
                if entry[3]:
                    _remove_if_unused(path, made)
                _release(entry[0])


def _remove_if_unused(path, made_directory):
    """Leave no lock file in a directory that did not become a bundle path: one the user named by
    mistake (a project folder, say), or one made here for a writer that failed before writing."""
    # Unlinking a lock file another process has just opened would give it a lock nobody else
    # sees; a process that comes to a directory without bundle data is refused right after.
    from vantorel.ombrel.alpha import storage

    with contextlib.suppress(OSError):
        if not storage.holds_bundle_data(path) and not os.path.lexists(os.path.join(path, _PREVIOUS)):
            os.unlink(lock_path(path))
            if made_directory:
                os.rmdir(path)
