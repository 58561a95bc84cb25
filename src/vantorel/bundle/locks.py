"""The one lock of a bundle path: shared for readers, exclusive for writers.

Every process that changes a bundle path (an update, a swap, moving a file to quarantine) holds
the lock exclusively for as long as it works; every process that reads one (the checks, the
reading functions) holds it shared. So a reader never sees a half-swapped or half-written
bundle, and two writers never meet. Nobody waits: a process that finds the lock taken the other
way says so and stops, because an update can run for an hour and a check that hangs behind it
would look frozen.

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
import threading

from vantorel.errors import VantorelError

LOCK_NAME = ".vantorel.lock"  # Windows only


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


def _acquire(path, exclusive):
    try:
        import fcntl
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
        fcntl.flock(fd, (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB)
    except BlockingIOError:
        os.close(fd)
        raise busy(path, exclusive) from None
    except BaseException:
        os.close(fd)
        raise
    return fd


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
def bundle_lock(bundle_path, exclusive, create=False):
    """Hold the lock of ``bundle_path``; yields the resolved path.

    With ``create`` a missing bundle path is made (a writer is about to fill it), and removed again
    if it is still empty when the lock is released; without, a missing one yields without locking
    (there is nothing to read). Raises BusyError at once when another process holds the lock the
    other way, VantorelError when the bundle path cannot be made or opened.
    """
    path = resolve(bundle_path)
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
                handle = _acquire(path, exclusive)
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
                    # A writer that made the bundle path and failed before writing leaves nothing.
                    with contextlib.suppress(OSError):
                        os.rmdir(path)
