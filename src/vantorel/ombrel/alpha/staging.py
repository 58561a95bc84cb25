"""Replacing the data directories of a bundle path so that each is always the old tree or the new one.

``staged_bundle(dest)`` hands out a fresh directory inside ``dest`` (so on the same file system
as what it replaces, and renames are atomic). When the block ends cleanly, each layout directory
(``bundle``, ``minbar``, ``tick``) that the staged tree holds replaces the one of that name in
``dest``. Nothing else in ``dest`` is touched: not ``quarantine``, not the user's own files, not a
layout directory the new tree does not bring.

1. anything else at the top of the staged tree is dropped, and an empty ``.old`` is made there;
2. every file and directory of the staged tree is fsynced;
3. the staged directory is renamed ``.vantorel.ready-XXXXXXXX``: this is the commit point;
4. for each layout directory in it, the one in ``dest`` (when there is one) is moved into its
   ``.old`` and the new one into ``dest``;
5. when ``.old`` holds anything, it becomes the previous generation: the ``previous`` directory
   of ``dest`` that an earlier swap left is renamed to a staging name, ``.old`` is renamed
   ``previous``, and the old previous generation is removed. Nothing a swap replaces is deleted
   by that swap: the user can move it back (one generation is kept, so it costs one copy of
   the data at most, and no copying, only renames);
6. the ready tree, now empty, is removed.

A process killed anywhere leaves something :func:`recover` can finish from: before step 3 the
old directories are all in place and the staging directory is thrown away; from step 3 on the
new tree is complete, so recovery carries on with step 4 for the directories still in the ready
tree, then step 5. Every ``staged_bundle`` call recovers first, and every reader through
:func:`reading`, so nobody reads a bundle path while a swap is half done.

A ``dest`` that is not empty and holds no bundle data is refused before anything is written: what
it holds is the user's, and a bundle must not be put in its place.

All of this runs under the bundle path's exclusive lock (``locks``), so two processes never
stage the same directory at once, recovery never removes a directory someone is still filling,
and no reader is inside while directories move.
"""
import contextlib
import os
import re
import secrets
import shutil

from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import journal, locks, storage

LAYOUT = (storage.BUNDLE_DIR_NAME, storage.MINBAR_DIR_NAME, storage.TICK_DIR_NAME)
PREVIOUS = "previous"

_STAGING = ".vantorel.staging-"
_READY = ".vantorel.ready-"
_OLD_DIR = ".old"
_TOKEN_BYTES = 4


class Swap:
    """A staged bundle: fill ``path``; once the block is over, ``replaced`` and ``added`` name the
    layout directories swapped in and ``dropped`` what else the staged tree held."""

    def __init__(self, path):
        self.path = path
        self.replaced = []
        self.added = []
        self.dropped = []
        self.previous = None  # where the replaced directories were kept

    def note(self):
        """The part of a success message that says what was replaced and where it was kept, or ""."""
        if not self.replaced:
            return ""
        names = "、".join(name + "/" for name in self.replaced)
        return "；原有的 {} 已保留在 {}（只保留上一代；如需换回，先把新的同名目录移出 {}，再把其中的目录移回）".format(
            names, self.previous, os.path.dirname(self.previous))


def _ours(dest, prefix):
    """Trees a swap left in ``dest`` under ``prefix``, newest first."""
    # Exactly the names _fresh_name makes: a user's ".vantorel.ready-copy" is none of ours.
    pattern = re.compile(re.escape(prefix) + "[0-9a-f]{%d}" % (2 * _TOKEN_BYTES))
    try:
        names = os.listdir(dest)
    except (FileNotFoundError, NotADirectoryError):
        return []
    found = [os.path.join(dest, name) for name in names if pattern.fullmatch(name)]
    # With the lock there is at most one of each, but a tree copied in by hand could hold more,
    # and the most recent commit is the one to keep.
    found.sort(key=lambda path: os.lstat(path).st_mtime_ns, reverse=True)
    return found


def _fresh_name(dest, prefix):
    while True:
        path = os.path.join(dest, prefix + secrets.token_hex(_TOKEN_BYTES))
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
        remove_tree(trash)


def remove_tree(path):
    if os.path.isdir(path) and not os.path.islink(path):
        # A directory the swap copied a read-only mode onto is made writable to be emptied; what
        # still cannot go (a file held open on Windows, say) is left, and the next recovery retries.
        def writable_and_again(function, failed, _exc_info):
            with contextlib.suppress(OSError):
                os.chmod(os.path.dirname(failed), 0o700)
                if os.path.isdir(failed) and not os.path.islink(failed):
                    os.chmod(failed, 0o700)
                function(failed)

        shutil.rmtree(path, onerror=writable_and_again)
    else:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)


def _fsync_tree(root):
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames:
            path = os.path.join(dirpath, name)
            if os.path.islink(path) or not os.path.isfile(path):
                continue
            journal.fsync_path(path)
        journal.fsync_path(dirpath)


def _keep_previous(dest, ready):
    """Step 5: the directories a swap replaced become the previous generation."""
    old = os.path.join(ready, _OLD_DIR)
    if not os.path.isdir(old):
        return
    if not os.listdir(old):
        os.rmdir(old)
        return
    previous = previous_path(dest)
    retired = None
    if os.path.isdir(previous) and not os.path.islink(previous):
        try:
            retired = _fresh_name(dest, _STAGING)
            os.rename(previous, retired)
        except OSError:
            retired = None
    if os.path.lexists(previous):
        # Not ours to remove (a file or link of that name, or one we may not rename): the
        # replaced directories go beside it instead, under a name of their own.
        previous = _fresh_name(dest, PREVIOUS + "-")
    os.rename(old, previous)
    journal.fsync_path(dest)
    if retired is not None:
        remove_tree(retired)
    return previous


def previous_path(dest):
    return os.path.join(dest, PREVIOUS)


def _roll_forward(dest, ready, moved):
    old = os.path.join(ready, _OLD_DIR)
    os.makedirs(old, exist_ok=True)
    for name in LAYOUT:
        new = os.path.join(ready, name)
        if not os.path.lexists(new):
            continue  # not brought, or already in place
        target = os.path.join(dest, name)
        if os.path.lexists(target):
            os.rename(target, os.path.join(old, name))
        os.rename(new, target)
        moved.append(name)


def _roll_back(dest, ready, moved):
    old = os.path.join(ready, _OLD_DIR)
    for name in LAYOUT:
        target = os.path.join(dest, name)
        if name in moved:
            os.rename(target, os.path.join(ready, name))
        if os.path.lexists(os.path.join(old, name)) and not os.path.lexists(target):
            os.rename(os.path.join(old, name), target)


def _recover_locked(dest):
    try:
        _finish_half_done(dest)
    except OSError as exc:
        where = exc.filename or dest
        raise VantorelError(f"无法完成 {dest} 中上次被中断的写入（{where}：{exc.strerror or exc}）；"
                            f"请检查该目录的权限后重试，在此之前不会读写其中的数据") from None


def _finish_half_done(dest):
    journal.recover(dest)
    ready = _ours(dest, _READY)
    if ready:
        _roll_forward(dest, ready[0], [])
        journal.fsync_path(dest)
        _keep_previous(dest, ready[0])
    for path in ready:
        _discard(path, dest)
    for path in _ours(dest, _STAGING):
        remove_tree(path)
    if os.path.isdir(dest):
        journal.fsync_path(dest)


def needs_recovery(dest):
    """Whether a killed swap or in-place change left ``dest`` half done. (A staging tree left
    behind is not: it was never part of the bundle, and only a writer clears it away.)"""
    return bool(_ours(dest, _READY)) or journal.pending(dest)


def recover(dest):
    """Finish or roll back a swap in ``dest`` that a killed process left half done.

    Returns False without touching anything when another process holds the directory.
    """
    dest = locks.resolve(dest)
    if not os.path.isdir(dest):
        return True
    try:
        with locks.bundle_lock(dest, exclusive=True):
            _recover_locked(dest)
    except locks.BusyError:
        return False
    return True


@contextlib.contextmanager
def reading(bundle_path):
    """Hold ``bundle_path`` for reading (the shared lock), after finishing a swap a killed
    process left half done; yields the resolved path. Raises BusyError when a writer is in."""
    path = locks.resolve(bundle_path)
    for _attempt in range(3):
        if needs_recovery(path):
            try:
                with locks.bundle_lock(path, exclusive=True):
                    _recover_locked(path)
            except locks.BusyError:
                raise locks.busy(path, exclusive=False) from None
        with locks.bundle_lock(path, exclusive=False) as held:
            # A swap that died between the two locks would leave its trees for the next round.
            if not needs_recovery(path):
                yield held
                return
    raise locks.BusyError(f"{path} 正被反复写入；请等写入结束后再试")


def check_bundle_path(dest):
    """Refuse a bundle path that holds files but no bundle: what it holds is the user's, and a
    bundle must not be written in its place."""
    # check-data's reports may be all a path holds once its data has been moved away: they are ours.
    names = [name for name in os.listdir(dest)
             if not name.startswith((_STAGING, _READY, PREVIOUS + "-"))
             and name not in (locks.LOCK_NAME, PREVIOUS, journal.JOURNAL_DIR, storage.REPORTS_DIR_NAME)]
    if names and not storage.holds_bundle_data(dest):
        inner = os.path.join(dest, storage.BUNDLE_DIR_NAME)
        hint = "（它的 {} 子目录才是 bundle 目录，是否想用 -d {}？）".format(
            storage.BUNDLE_DIR_NAME, inner) if storage.holds_bundle_data(inner) else ""
        raise VantorelError(
            "{} 不是空目录，其中也没有 bundle 数据（如 {}/{}）{}；为免覆盖其中的文件，未作任何改动。"
            "请用 -d 指定一个新目录、空目录或已有的 bundle 目录".format(
                dest, storage.BUNDLE_DIR_NAME, storage.INSTRUMENTS_FILE, hint)
        )


def _make_staging(dest):
    while True:
        staging = _fresh_name(dest, _STAGING)
        try:
            # A plain mkdir, so the new directories get the mode any new directory would (the
            # umask applies); a dest such as /tmp must not hand down its sticky, world-writable mode.
            os.mkdir(staging)
            return staging
        except FileExistsError:
            continue
        except OSError as exc:
            raise VantorelError("无法在 {} 中创建临时目录：{}".format(dest, exc.strerror or exc)) from None


def _swap_in(swap, dest):
    staging = swap.path
    for name in LAYOUT:
        path = os.path.join(staging, name)
        if not os.path.isdir(path) or os.path.islink(path):
            continue
        target = os.path.join(dest, name)
        (swap.replaced if os.path.lexists(target) else swap.added).append(name)
        if os.path.isdir(target):
            # Replacing a directory keeps the permissions its owner gave it.
            with contextlib.suppress(OSError):
                os.chmod(path, os.stat(target).st_mode & 0o7777)
    for name in sorted(os.listdir(staging)):
        if name not in swap.added and name not in swap.replaced:
            swap.dropped.append(name)
            remove_tree(os.path.join(staging, name))
    os.mkdir(os.path.join(staging, _OLD_DIR))
    _fsync_tree(staging)
    ready = _fresh_name(dest, _READY)
    os.rename(staging, ready)
    journal.fsync_path(dest)
    moved = []
    try:
        _roll_forward(dest, ready, moved)
    except OSError as exc:
        reason = exc.strerror or exc
        try:
            # A rename that fails (rather than a process that dies) is reported as a failure, so
            # the old directories go back and the new ones must not be rolled forward later.
            _roll_back(dest, ready, moved)
        except OSError:
            # Neither way round works: the new tree is complete, so recovery finishes it, and
            # nothing is lost either way.
            raise VantorelError("无法替换 {} 中的数据目录：{}；下次写入时将完成替换".format(dest, reason)) from None
        _discard(ready, dest)
        raise VantorelError("无法替换 {} 中的数据目录：{}".format(dest, reason)) from None
    journal.fsync_path(dest)
    swap.previous = _keep_previous(dest, ready)
    _discard(ready, dest)


@contextlib.contextmanager
def staged_bundle(dest):
    """Yield a ``Swap`` whose empty directory ``path`` replaces the layout directories of ``dest``
    that it holds when the block ends cleanly; see the module text.

    On an exception (KeyboardInterrupt included) ``dest`` is left as it was and the staged
    directory is removed. ``dest`` need not exist yet; it and its parent are created if missing.
    """
    with locks.bundle_lock(dest, exclusive=True, create=True) as dest:
        _recover_locked(dest)
        check_bundle_path(dest)
        swap = Swap(_make_staging(dest))
        try:
            yield swap
            _swap_in(swap, dest)
        except BaseException:
            if os.path.lexists(swap.path):
                remove_tree(swap.path)
            raise
