"""Replacing a whole directory so that it is always the old tree or the new one, never a mix.

``staged_directory(dest)`` hands out a fresh directory beside ``dest`` (so on the same file
system and renames are atomic) and, when the block ends cleanly, swaps it in:

1. every file and directory of the staged tree is fsynced;
2. the staged directory is renamed ``.NAME.ready-XXXX``: this is the commit point;
3. ``dest`` is renamed ``.NAME.old-XXXX`` (when it exists);
4. the ready directory is renamed ``dest``;
5. the old tree is removed.

A process killed anywhere leaves something :func:`recover` can finish from: before step 2 the
old tree is still ``dest`` and the staging directory is thrown away; from step 2 on the new
tree is complete, so recovery rolls forward to it, whichever rename was the last to happen.
Every ``staged_directory`` call recovers first, and a reader may call :func:`recover` itself.

All of this runs under a lock file ``.NAME.swap.lock`` beside ``dest``, so two processes never
stage the same directory at once and recovery never removes a directory someone is still
filling.
"""
import contextlib
import os
import re
import secrets
import shutil
import stat

from vantorel.errors import VantorelError

_STAGING = "staging"
_READY = "ready"
_OLD = "old"
_TOKEN_BYTES = 4


def _resolve(dest):
    # A bundle path that is a symlink stays one: the tree it points at is what gets replaced.
    return os.path.realpath(os.path.abspath(os.fspath(dest)))


def _prefix(dest, kind):
    return ".{}.{}-".format(os.path.basename(dest), kind)


def _lock_path(dest):
    return os.path.join(os.path.dirname(dest), ".{}.swap.lock".format(os.path.basename(dest)))


def _siblings(dest, kind):
    parent = os.path.dirname(dest)
    # Exactly the names _fresh_name makes: a user's ".bundle.ready-copy" is none of ours.
    ours = re.compile(re.escape(_prefix(dest, kind)) + "[0-9a-f]{%d}" % (2 * _TOKEN_BYTES))
    try:
        names = os.listdir(parent)
    except FileNotFoundError:
        return []
    found = [os.path.join(parent, name) for name in names if ours.fullmatch(name)]
    # Newest first: with the lock there is at most one of each, but a tree copied in by hand
    # could hold more, and the most recent commit is the one to keep.
    found.sort(key=lambda path: os.lstat(path).st_mtime_ns, reverse=True)
    return found


def _fresh_name(dest, kind):
    parent = os.path.dirname(dest)
    while True:
        path = os.path.join(parent, _prefix(dest, kind) + secrets.token_hex(_TOKEN_BYTES))
        if not os.path.lexists(path):
            return path


def _discard(path, dest):
    """Remove a tree that must never be taken for a committed one, even if removing it fails half way."""
    if os.path.lexists(path):
        trash = _fresh_name(dest, _STAGING)
        try:
            os.rename(path, trash)
        except OSError:
            trash = path
        _remove_tree(trash)


def _remove_tree(path):
    if os.path.isdir(path) and not os.path.islink(path):
        # Left behind on failure (a file held open on Windows, say); the next recovery retries.
        shutil.rmtree(path, ignore_errors=True)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def _fsync_dir(path):
    if os.name == "nt":  # directories cannot be opened for fsync there
        return
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _fsync_tree(root):
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            fd = os.open(path, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        _fsync_dir(dirpath)


def _recover_locked(dest):
    parent = os.path.dirname(dest)
    ready = _siblings(dest, _READY)
    if ready:
        if os.path.lexists(dest):
            os.rename(dest, _fresh_name(dest, _OLD))
        os.rename(ready[0], dest)
    elif not os.path.lexists(dest):
        old = _siblings(dest, _OLD)
        if old:
            os.rename(old[0], dest)
    for kind in (_READY, _OLD):
        for path in _siblings(dest, kind):
            _discard(path, dest)
    for path in _siblings(dest, _STAGING):
        _remove_tree(path)
    _fsync_dir(parent)


def _lock(dest):
    from filelock import FileLock, Timeout

    lock = FileLock(_lock_path(dest), timeout=0)
    try:
        lock.acquire()
    except Timeout:
        raise VantorelError("另一个进程正在写入 {}，请等它结束后再试".format(dest)) from None
    except OSError as exc:
        raise VantorelError("无法在 {} 中创建锁文件：{}".format(os.path.dirname(dest), exc.strerror or exc)) from None
    return lock


def recover(dest):
    """Finish or roll back a swap of ``dest`` that a killed process left half done.

    Returns False without touching anything when another process holds the directory.
    """
    dest = _resolve(dest)
    if not os.path.isdir(os.path.dirname(dest)):
        return True
    try:
        lock = _lock(dest)
    except VantorelError:
        return False
    try:
        _recover_locked(dest)
    finally:
        lock.release()
    return True


def _make_staging(dest):
    parent = os.path.dirname(dest)
    while True:
        staging = _fresh_name(dest, _STAGING)
        try:
            # A plain mkdir, so the new tree gets the mode any new directory would (the umask
            # applies); a parent such as /tmp must not hand down its sticky, world-writable mode.
            os.mkdir(staging)
            break
        except FileExistsError:
            continue
        except OSError as exc:
            raise VantorelError("无法在 {} 中创建临时目录：{}".format(parent, exc.strerror or exc)) from None
    if os.path.isdir(dest):
        # Replacing a tree keeps the permissions its owner gave it.
        with contextlib.suppress(OSError):
            os.chmod(staging, stat.S_IMODE(os.stat(dest).st_mode))
    return staging


def _swap_in(staging, dest):
    parent = os.path.dirname(dest)
    _fsync_tree(staging)
    ready = _fresh_name(dest, _READY)
    os.rename(staging, ready)
    _fsync_dir(parent)
    old = None
    try:
        if os.path.lexists(dest):
            old = _fresh_name(dest, _OLD)
            os.rename(dest, old)
        os.rename(ready, dest)
    except OSError as exc:
        # A rename that fails (rather than a process that dies) is reported as a failure, so
        # the old tree goes back and the new one must not be rolled forward later.
        if old is not None and not os.path.lexists(dest):
            os.rename(old, dest)
        # A ready name left half deleted would be rolled forward by the next recovery.
        _discard(ready, dest)
        raise VantorelError("无法替换目录 {}：{}".format(dest, exc.strerror or exc)) from None
    _fsync_dir(parent)
    if old is not None:
        _remove_tree(old)


@contextlib.contextmanager
def staged_directory(dest):
    """Yield an empty directory that replaces ``dest`` as a whole when the block ends cleanly.

    On an exception (KeyboardInterrupt included) ``dest`` is left as it was and the staged
    directory is removed. ``dest`` need not exist yet; its parent is created if missing.
    """
    dest = _resolve(dest)
    parent = os.path.dirname(dest)
    if os.path.lexists(dest) and not os.path.isdir(dest):
        raise VantorelError("{} 已存在且不是目录".format(dest))
    try:
        os.makedirs(parent, exist_ok=True)
    except OSError as exc:
        raise VantorelError("无法创建目录 {}：{}".format(parent, exc.strerror or exc)) from None
    lock = _lock(dest)
    try:
        _recover_locked(dest)
        staging = _make_staging(dest)
        try:
            yield staging
            _swap_in(staging, dest)
        except BaseException:
            if os.path.lexists(staging):
                _remove_tree(staging)
            raise
    finally:
        lock.release()
