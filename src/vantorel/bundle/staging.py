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
5. when ``.old`` holds anything, it becomes a generation: it is renamed
   ``previous-<YYYYMMDD-HHMMSS>`` (when it was replaced) in ``dest``; then, oldest first, the
   generations beyond the ones kept (``VANTOREL_GENERATIONS``, default 3, 0 keeps none) are
   renamed to a staging name and removed. A ``previous`` directory an older release left counts
   as the oldest generation. Only renames: keeping a generation costs no copy, only the disk the
   replaced data already held;
6. the ready tree, now empty, is removed.

A process killed anywhere leaves something :func:`recover` can finish from: before step 3 the
old directories are all in place and the staging directory is thrown away; from step 3 on the
new tree is complete, so recovery carries on with step 4 for the directories still in the ready
tree, then step 5 (a generation renamed away to be removed is a staging tree: recovery removes it
too). Every ``staged_bundle`` call recovers first, and every reader through
:func:`reading`, so nobody reads a bundle path while a swap is half done.

A ``dest`` that is not empty and holds no bundle data is refused before anything is written: what
it holds is the user's, and a bundle must not be put in its place.

All of this runs under the bundle path's exclusive lock (``locks``), so two processes never
stage the same directory at once, recovery never removes a directory someone is still filling,
and no reader is inside while directories move.

A bundle path may be shared with other local users who can write it (mode 0777, or 1777 like
/tmp). So recovery finishes, and removes, only staging and ready trees of the bundle path's owner,
of the running user or of root (``nofollow.owners``); it works in them through directory
descriptors opened without following links, never by a path another user could swap a link into;
and it names every other entry that looks like one of its own (another user's tree, a link) in one
message and leaves it alone.
"""
import contextlib
import errno
import os
import re
import secrets
import stat
import time

import click

from vantorel.bundle import journal, locks, nofollow, places
from vantorel.errors import VantorelError

LAYOUT = (places.BUNDLE_DIR_NAME, places.MINBAR_DIR_NAME, places.TICK_DIR_NAME)
PREVIOUS = "previous"
GENERATIONS_ENV = "VANTOREL_GENERATIONS"
DEFAULT_GENERATIONS = 3

_STAGING = ".vantorel.staging-"
_READY = ".vantorel.ready-"
_OLD_DIR = ".old"
_TOKEN_BYTES = 4
# Exactly the names _fresh_name makes: a user's ".vantorel.ready-copy" is none of ours.
_TREE = re.compile(r"(%s|%s)[0-9a-f]{%d}" % (re.escape(_STAGING), re.escape(_READY), 2 * _TOKEN_BYTES))


class Swap:
    """A staged bundle: fill ``path``; once the block is over, ``replaced`` and ``added`` name the
    layout directories swapped in and ``dropped`` what else the staged tree held."""

    def __init__(self, path, keep=DEFAULT_GENERATIONS):
        self.path = path
        self.keep = keep
        self.replaced = []
        self.added = []
        self.dropped = []
        self.previous = None  # where the replaced directories were kept
        self.generations = []  # every generation kept now, oldest first
        self.removed = []  # generations removed to keep no more than ``keep``
        self.disk = 0  # bytes the kept generations hold

    def note(self):
        """The part of a success message that says what was replaced, where it was kept and how to
        go back, or ""."""
        if not self.replaced:
            return ""
        names = "、".join(name + "/" for name in self.replaced)
        older = "" if not self.removed else "，更早的 {} 已删除".format("、".join(self.removed))
        if self.previous is None:
            return f"；原有的 {names} 已删除（{GENERATIONS_ENV}={self.keep}：不保留被替换的数据{older}）"
        top = os.path.dirname(self.previous)
        earlier = [os.path.basename(path) + "/" for path in self.generations if path != self.previous]
        earlier = "，更早的在 {}".format("、".join(reversed(earlier))) if earlier else ""
        return (f"；原有的 {names} 已保留在 {self.previous}（共保留 {len(self.generations)} 代旧数据{earlier}，"
                f"占用 {_size_text(self.disk)}{older}；如需换回，先把新的 {names} 移出 {top}，"
                f"再把 {os.path.basename(self.previous)}/ {'或更早一代' if earlier else ''}中的目录移回 {top}）")


def _size_text(n):
    from vantorel.sources.unpack import human_size

    return human_size(n)


class _Trees:
    """The trees a swap left in a bundle path: ``ready`` and ``staging`` names (newest first) of
    those the kit may finish or remove, ``others`` descriptions of entries so named that it may not."""

    def __init__(self, top):
        users = nofollow.owners(top)
        ready, staging, self.others = [], [], []
        for name in top.names():
            match = _TREE.fullmatch(name)
            info = top.lstat(name) if match else None
            if info is None:
                continue
            if not stat.S_ISDIR(info.st_mode) or not nofollow.trusted(info, users):
                what = "链接" if stat.S_ISLNK(info.st_mode) else (
                    f"用户 {nofollow.owner_name(info.st_uid)} 的" + ("目录" if stat.S_ISDIR(info.st_mode) else "文件"))
                self.others.append(f"{top.join(name)}（{what}）")
                continue
            (ready if match.group(1) == _READY else staging).append((info.st_mtime_ns, name))
        # With the lock there is at most one of each, but a tree copied in by hand could hold more,
        # and the most recent commit is the one to keep.
        self.ready = [name for _mtime, name in sorted(ready, reverse=True)]
        self.staging = [name for _mtime, name in sorted(staging, reverse=True)]


def _fresh_name(top, prefix):
    while True:
        name = prefix + secrets.token_hex(_TOKEN_BYTES)
        if top.lstat(name) is None:
            return name


def _set_aside_old(top, ready):
    """Move the directories a swap took out of the bundle path (``.old`` of a ready tree) beside it,
    under a name of their own, when they could not go back (their name was taken meanwhile, by
    another user say); returns [(name, where it went)]. Removing the ready tree must never take them."""
    info = ready.lstat(_OLD_DIR)
    if info is None or not stat.S_ISDIR(info.st_mode):
        return []
    with ready.sub(_OLD_DIR) as old:
        names = sorted(old.names())
    if not names:
        return []
    name = _fresh_name(top, PREVIOUS + "-")
    ready.rename(_OLD_DIR, top, name)
    top.fsync()
    return [(entry, os.path.join(top.join(name), entry)) for entry in names]


def _kept_note(top, kept):
    """What a failed swap says of the old directories it could not put back."""
    if not kept:
        return "；原有数据未作改动"
    said = []
    for name, where in kept:
        info = top.lstat(name)
        now = "" if info is None else "，而 {} 现在是{}".format(
            top.join(name), "链接" if stat.S_ISLNK(info.st_mode) else f"用户 {nofollow.owner_name(info.st_uid)} 的条目")
        said.append(f"原有的 {name}/ 已完整保留在 {where}{now}")
    return "；" + "；".join(said) + "：请确认后把它移走，再把保留的目录移回原处"


def _discard(top, name):
    """Remove a tree that must never be taken for a committed one, even if removing it fails half way.
    Directories it still keeps from the bundle path (``.old``) are set aside first, never removed."""
    if top.lstat(name) is not None:
        try:
            tree = top.sub(name)
        except OSError:
            tree = None  # no longer a directory: nothing of the bundle path's can be in it
        if tree is not None:
            with tree:
                try:
                    kept = _set_aside_old(top, tree)
                except OSError:
                    return  # left as it is: the next recovery finishes the swap, and nothing is lost
            if kept:
                tell([f"{top.path} 中上次被中断的替换未能把原有目录移回：" + _kept_note(top, kept).lstrip("；")])
        trash = _fresh_name(top, _STAGING)
        try:
            top.rename(name, top, trash)
        except OSError:
            trash = name
        nofollow.remove(top, trash, nofollow.owners(top))


def remove_tree(path):
    """Remove ``path`` and all it holds, links removed and never followed; what cannot go is left."""
    parent, name = os.path.split(os.path.abspath(path))
    with contextlib.suppress(OSError), nofollow.Dir.at(parent) as directory:
        nofollow.remove(directory, name)


_STAMP = "%Y%m%d-%H%M%S"
# What step 5 names a generation, and the ``previous`` of older releases; not ``previous-<hex>``,
# where a failed swap set the replaced directories aside: those wait for the user, never pruned.
_GENERATION = re.compile(r"%s(-[0-9]{8}-[0-9]{6}(-[0-9]+)?)?" % re.escape(PREVIOUS))


def generations_kept():
    """How many generations a swap keeps (``VANTOREL_GENERATIONS``)."""
    text = os.environ.get(GENERATIONS_ENV, "").strip()
    if not text:
        return DEFAULT_GENERATIONS
    if not text.isdigit() or int(text) > 1000:
        raise VantorelError(f"环境变量 {GENERATIONS_ENV} 应为 0 到 1000 之间的整数（替换 bundle 时保留的旧版本数，"
                            f"0 表示不保留），现为 {text!r}；请改正或删除它")
    return int(text)


def _generations(top):
    """Names of the kept generations in ``top``, oldest first: directories of the users of rule 5,
    never a link (a ``previous`` of an older release is older than any that is stamped)."""
    users = nofollow.owners(top)
    found = []
    for name in top.names():
        if _GENERATION.fullmatch(name):
            info = top.lstat(name)
            if info is not None and stat.S_ISDIR(info.st_mode) and nofollow.trusted(info, users):
                found.append(name)
    return sorted(found, key=_age)


def _age(name):
    """Sort key of a generation's name: the stamp, then the count of a second one in that second."""
    match = _GENERATION.fullmatch(name)
    if match.group(1) is None:
        return "", 0
    count = match.group(2)
    return match.group(1)[:16], int(count[1:]) if count else 1


def generations(dest):
    """Paths of the generations the swaps kept in the bundle path ``dest``, oldest first."""
    try:
        with nofollow.Dir.at(dest) as top:
            return [top.join(name) for name in _generations(top)]
    except OSError:
        return []


def _disk_held(top, names):
    """Bytes of disk the trees ``names`` of ``top`` hold, links not followed."""
    total = 0
    for name in names:
        with contextlib.suppress(OSError), top.sub(name) as tree:
            if tree.fd is None:
                walk = ((root, files) for root, _dirs, files in os.walk(tree.path))
                sizes = (os.lstat(os.path.join(root, f)) for root, files in walk for f in files)
            else:
                sizes = (os.stat(f, dir_fd=fd, follow_symlinks=False)
                         for _root, _dirs, files, fd in os.fwalk(".", dir_fd=tree.fd, follow_symlinks=False)
                         for f in files)
            total += sum(getattr(info, "st_blocks", 0) * 512 or info.st_size for info in sizes)
    return total


def _keep_previous(top, ready, keep):
    """Step 5: the directories a swap replaced become the newest generation, and the generations
    beyond ``keep`` are removed (also when a recovery finds the first part done); returns (the
    name the replaced ones got or None, the names removed)."""
    name = _newest_generation(top, ready)
    for emptied in _generations(top):
        # One whose directories the user moved back, as the swap's message tells: it holds nothing
        # and is no generation to keep, nor one that makes an older, whole one go.
        with contextlib.suppress(OSError):
            with top.sub(emptied) as generation:
                empty = not generation.names()
            if empty:
                top.rmdir(emptied)
    kept = _generations(top)
    dropped = kept[: max(len(kept) - keep, 0)]
    for old_name in dropped:
        # Renamed first, so that a kill half way through the removal leaves a staging tree, never
        # a generation with some of its files gone.
        trash = _fresh_name(top, _STAGING)
        top.rename(old_name, top, trash)
        top.fsync()
        nofollow.remove(top, trash, nofollow.owners(top))
    return name, dropped


def _newest_generation(top, ready):
    """The ``.old`` of a ready tree renamed to a generation of its own; its name, or None when it
    holds nothing (the swap added directories only) or is already gone."""
    info = ready.lstat(_OLD_DIR)
    if info is None or not stat.S_ISDIR(info.st_mode):
        return None
    with ready.sub(_OLD_DIR) as old:
        empty = not old.names()
    if empty:
        ready.rmdir(_OLD_DIR)
        return None
    # .old was last changed when the replaced directories went into it: when they were replaced,
    # also when a recovery finishes the swap later.
    stamp = time.strftime(_STAMP, time.localtime(info.st_mtime))
    # Counted on past every generation of the same second, so that the newest always sorts last
    # (a name an earlier generation of that second left free must not be taken again).
    n = max([_age(other)[1] for other in _generations(top) if _age(other)[0] == "-" + stamp], default=0)
    name = f"{PREVIOUS}-{stamp}" if n == 0 else f"{PREVIOUS}-{stamp}-{n + 1}"
    while top.lstat(name) is not None:
        n += 1
        name = f"{PREVIOUS}-{stamp}-{n + 1}"
    ready.rename(_OLD_DIR, top, name)
    top.fsync()
    return name


def _roll_forward(top, ready, moved):
    with contextlib.suppress(FileExistsError):
        ready.mkdir(_OLD_DIR)
    with ready.sub(_OLD_DIR) as old:
        for name in LAYOUT:
            info = ready.lstat(name)
            if info is None or not stat.S_ISDIR(info.st_mode):
                continue  # not brought, already in place, or not a directory the swap made
            if top.lstat(name) is not None:
                top.rename(name, old, name)
                # Looked at again where it went: another user may have swapped the name between
                # the look and the rename, and what is kept as the old data must be ours.
                _refuse_unreplaceable(top, name, old.lstat(name), nofollow.owners(top), OSError)
            ready.rename(name, top, name)
            moved.append(name)


def _refuse_unreplaceable(where, name, info, users, error=VantorelError):
    """Refuse to replace (and keep as the previous generation) an entry of a user other than the
    bundle path's owner, the running user or root: on a bundle path others may rename in, it may be
    their link or tree put there while the user's own directory was moved away."""
    if nofollow.trusted(info, users):
        return
    what = "链接" if stat.S_ISLNK(info.st_mode) else "目录" if stat.S_ISDIR(info.st_mode) else "文件"
    problem = f"{where.join(name)} 是用户 {nofollow.owner_name(info.st_uid)} 的{what}，不是本用户或该 bundle 路径属主的"
    if error is OSError:
        raise OSError(errno.EPERM, problem, where.join(name))
    raise VantorelError(f"{problem}；为免把它当作原有数据保留，未作任何改动。请确认后把它移走、找回自己的目录再更新")


def _roll_back(top, ready, moved):
    with ready.sub(_OLD_DIR) as old:
        for name in LAYOUT:
            if name in moved:
                top.rename(name, ready, name)
            if old.lstat(name) is not None and top.lstat(name) is None:
                old.rename(name, top, name)


def recover_locked(dest, writing=True):
    """Finish what a killed process left half done. A writer is refused while a journal is kept
    (its file cannot be played back into yet): writing that file would be undone later."""
    refuse_unsafe_place(dest)
    try:
        trees, found = _finish_half_done(dest)
    except OSError as exc:
        where = exc.filename or dest
        hint = "请检查该目录的权限后重试"
        if isinstance(exc, PermissionError):
            with contextlib.suppress(OSError):
                owner = os.stat(dest).st_uid
                if hasattr(os, "geteuid") and owner != os.geteuid():
                    hint = f"它多半是属主 {nofollow.owner_name(owner)} 被中断的写入留下的，请该用户运行一次 vantorel check-data"
        raise VantorelError(f"无法完成 {dest} 中上次被中断的写入（{where}：{exc.strerror or exc}）；"
                            f"{hint}，在此之前不会读写其中的数据") from None
    tell(found.notes)
    tell_others(dest, trees.others + found.others)
    journal.publish(dest, found.held)
    if writing and found.held:
        raise VantorelError(journal.update_problem(dest, found))
    if writing:
        foreign = foreign_layout(dest)
        if foreign:
            raise VantorelError(f"{dest} 中的以下目录不属于本用户或该 bundle 路径的属主：" + "；".join(foreign)
                                + "；为免把数据写进别人的目录，未作任何改动。请确认后把它们移走再更新")
    return found


# Rule 9 of ``access``: nothing is written or recovered where others may rename what is not theirs.
def refuse_unsafe_place(dest):
    unsafe = nofollow.unsafe_place(dest, kept=_kit_directory)
    if unsafe is None:
        return
    import shlex

    where, strangers = unsafe
    if strangers is nofollow.EVERYONE:
        who, fix = "人人可写却没有粘滞位", f"请执行 chmod +t {shlex.quote(where)}（像 /tmp 那样），或 chmod o-w {shlex.quote(where)}"
    else:
        names = "、".join(sorted(nofollow.owner_name(uid) for uid in strangers))
        who = f"可被用户 {names} 改名或替换其中的条目（他们不是本用户、该 bundle 路径的属主或其团队成员）"
        fix = f"请让 {where} 只由你信任的用户写入（属主、组与 ACL），或另选一个 bundle 路径"
    raise VantorelError(f"{where} {who}：他们可以随时把其中的目录换成自己的，在这里写入或恢复 {dest} "
                        f"都可能写进别人的目录或删掉你的数据，所以未作任何改动。{fix}后重试")


def _kit_directory(name):
    # reports/ is left out: the owner may open it to the team, and reports go in by descriptor.
    return name in LAYOUT + (places.QUARANTINE_DIR_NAME, journal.JOURNAL_DIR) or name.startswith(PREVIOUS)


# The directories of a bundle path the kit writes into. On a path others may write (1777), any of
# them not made yet can be made first by another user, who would then own what the kit writes there.
_WRITTEN_INTO = LAYOUT + (places.QUARANTINE_DIR_NAME,)


def foreign_layout(dest):
    """Descriptions of the directories (or links) of ``dest`` the kit writes into that belong to a
    user outside ``nofollow.owners``: a writer refuses them, a reader is told."""
    try:
        with nofollow.Dir.at(dest) as top:
            users = nofollow.owners(top)
            found = []
            for name in _WRITTEN_INTO:
                info = top.lstat(name)
                if info is not None and not nofollow.trusted(info, users):
                    what = "链接" if stat.S_ISLNK(info.st_mode) else "目录" if stat.S_ISDIR(info.st_mode) else "文件"
                    found.append(f"{top.join(name)}（用户 {nofollow.owner_name(info.st_uid)} 的{what}）")
            return found
    except OSError:
        return []


def _finish_half_done(dest):
    with _open(dest) as top:
        found = journal.recover(dest, top)
        trees = _Trees(top)
        if trees.ready:
            with top.sub(trees.ready[0]) as ready:
                # Checked again on what was opened: the name may lead elsewhere since the look.
                if nofollow.trusted(ready.stat(), nofollow.owners(top)):
                    _roll_forward(top, ready, [])
                    top.fsync()
                    _keep_previous(top, ready, generations_kept())
        for name in trees.ready:
            _discard(top, name)
        for name in trees.staging:
            nofollow.remove(top, name, nofollow.owners(top))
        top.fsync()
    return trees, found


def _open(dest):
    """The bundle path's directory: the one whose lock this process holds, else opened anew."""
    fd = locks.descriptor(dest)
    if fd is not None and nofollow.FD_CALLS:
        return nofollow.Dir(dest, os.dup(fd))
    return nofollow.Dir.at(dest)


told = set()


def tell(notes):
    for note in notes:
        click.echo(note, err=True)


def tell_others(dest, others):
    """Name, once in a process, the entries of other users (or links) that recovery left alone."""
    key = (dest, tuple(sorted(others)))
    if others and key not in told:
        told.add(key)
        click.echo(f"{dest} 中有不属于本用户、也不属于该目录属主的条目（或链接），vantorel 没有动它们：" + "；".join(others),
                   err=True)


def state(dest):
    """(whether a killed swap or in-place change left ``dest`` half done, what its journals hold).
    A staging tree left behind is not half done: it was never part of the bundle, and only a
    writer clears it away."""
    try:
        with nofollow.Dir.at(dest) as top:
            trees = _Trees(top)
            found = journal.scan(dest, top)
    except (FileNotFoundError, NotADirectoryError):
        return False, journal.Scan(), []
    return bool(trees.ready) or found.pending, found, trees.others + foreign_layout(dest)


def needs_recovery(dest):
    return state(dest)[0]


def half_swapped(dest):
    """Whether a swap's ready tree waits in ``dest`` (the layout is half renamed)."""
    try:
        with nofollow.Dir.at(dest) as top:
            return bool(_Trees(top).ready)
    except (FileNotFoundError, NotADirectoryError):
        return False


def recover(dest):
    """Finish or roll back a swap in ``dest`` that a killed process left half done, before a write.

    Returns False without touching anything when another writer is at work, or readers keep the
    layout lock longer than ``locks.swap_wait()``; raises
    VantorelError when it cannot be finished, or a journal must be kept for now.
    """
    dest = locks.resolve(dest)
    if not os.path.isdir(dest):
        return True
    try:
        with locks.writer_lock(dest):
            _recover_as_writer(dest)
    except locks.BusyError:
        return False
    return True


# The record of an update under way (``vantorel.update.unfinished``), the only file an update that
# was stopped before its first data file may have left.
UNFINISHED_UPDATE = ".vantorel.updating"


def _recover_as_writer(dest):
    """``recover_locked`` by the holder of the writer lock: what waits is a killed process's. Readers
    are kept out (waiting for it) only when a swap or a journal waits to be finished."""
    if needs_recovery(dest):
        with locks.bundle_lock(dest, exclusive=True, wait=True):
            return recover_locked(dest)
    return recover_locked(dest)


def check_bundle_path(dest):
    """Refuse a bundle path that holds files but no bundle: what it holds is the user's, and a
    bundle must not be written in its place."""
    # check-data's reports may be all a path holds once its data has been moved away: they are ours.
    names = [name for name in os.listdir(dest)
             if not name.startswith((_STAGING, _READY, PREVIOUS + "-", UNFINISHED_UPDATE, "." + UNFINISHED_UPDATE))
             and name not in (locks.LOCK_NAME, locks.WRITER_LOCK_NAME, PREVIOUS, journal.JOURNAL_DIR,
                              places.REPORTS_DIR_NAME)]
    if names and not places.holds_bundle_data(dest):
        inner = os.path.join(dest, places.BUNDLE_DIR_NAME)
        hint = "（它的 {} 子目录才是 bundle 目录，是否想用 -d {}？）".format(
            places.BUNDLE_DIR_NAME, inner) if places.holds_bundle_data(inner) else ""
        raise VantorelError(
            "{} 不是空目录，其中也没有 bundle 数据（如 {}/{}）{}；为免覆盖其中的文件，未作任何改动。"
            "请用 -d 指定一个新目录、空目录或已有的 bundle 目录".format(
                dest, places.BUNDLE_DIR_NAME, places.INSTRUMENTS_FILE, hint)
        )


def _make_staging(top):
    while True:
        name = _fresh_name(top, _STAGING)
        try:
            # A plain mkdir, so the new directories get the mode any new directory would (the
            # umask applies); a dest such as /tmp must not hand down its sticky, world-writable mode.
            top.mkdir(name)
            return top.join(name)
        except FileExistsError:
            continue
        except OSError as exc:
            raise VantorelError("无法在 {} 中创建临时目录：{}".format(top.path, exc.strerror or exc)) from None


# Rules 1 and 8 of ``access``: each layout directory is the old tree or the new one, never another user's.
def _swap_in(swap, top):
    """Steps 1 to 6 for the staged tree the writer filled (by its path: it is the writer's own)."""
    staging = os.path.basename(swap.path)
    with top.sub(staging) as staged:
        if hasattr(os, "geteuid") and staged.stat().st_uid != os.geteuid():
            raise VantorelError(f"{swap.path} 已不是本次写入建立的目录；未作任何改动")
        for name in LAYOUT:
            info = staged.lstat(name)
            if info is None or not stat.S_ISDIR(info.st_mode):
                continue
            target = top.lstat(name)
            (swap.replaced if target is not None else swap.added).append(name)
            if target is not None:
                _refuse_unreplaceable(top, name, target, nofollow.owners(top))
                # Replacing a directory keeps the permissions its owner gave it.
                if stat.S_ISDIR(target.st_mode):  # a link's mode is not the place's
                    with contextlib.suppress(OSError), staged.sub(name) as new:
                        new.chmod(target.st_mode & 0o7777)
        for name in sorted(staged.names()):
            if name not in swap.added and name not in swap.replaced:
                swap.dropped.append(name)
                nofollow.remove(staged, name)
        staged.mkdir(_OLD_DIR)
        nofollow.fsync_tree(staged)
    ready_name = _fresh_name(top, _READY)
    top.rename(staging, top, ready_name)
    top.fsync()
    moved = []
    with top.sub(ready_name) as ready:
        try:
            _roll_forward(top, ready, moved)
        except OSError as exc:
            reason = exc.strerror or exc
            try:
                # A rename that fails (rather than a process that dies) is reported as a failure, so
                # the old directories go back and the new ones must not be rolled forward later.
                _roll_back(top, ready, moved)
            except OSError:
                # Neither way round works: the new tree is complete, so recovery finishes it, and
                # nothing is lost either way.
                raise VantorelError("无法替换 {} 中的数据目录：{}；下次写入时将完成替换".format(top.path, reason)) from None
            try:
                kept = _set_aside_old(top, ready)
            except OSError:
                raise VantorelError("无法替换 {} 中的数据目录：{}；下次写入时将完成替换".format(top.path, reason)) from None
            ready.close()
            _discard(top, ready_name)
            raise VantorelError("无法替换 {} 中的数据目录：{}{}".format(top.path, reason, _kept_note(top, kept))) from None
        top.fsync()
        newest, removed = _keep_previous(top, ready, swap.keep)
        swap.previous = top.join(newest) if newest and newest not in removed else None
        swap.removed = [top.join(name) for name in removed if name != newest]
        kept = _generations(top)
        swap.generations = [top.join(name) for name in kept]
        swap.disk = _disk_held(top, kept)
    _discard(top, ready_name)


@contextlib.contextmanager
def staged_bundle(dest):
    """Yield a ``Swap`` whose empty directory ``path`` replaces the layout directories of ``dest``
    that it holds when the block ends cleanly; see the module text.

    On an exception (KeyboardInterrupt included) ``dest`` is left as it was and the staged
    directory is removed. ``dest`` need not exist yet; it and its parent are created if missing.
    """
    keep = generations_kept()
    # Readers go on while the new tree is filled; they wait only for the renames.
    with locks.writer_lock(dest) as dest:
        _recover_as_writer(dest)
        check_bundle_path(dest)
        with _open(dest) as top:
            swap = Swap(_make_staging(top), keep)
            try:
                yield swap
                with locks.bundle_lock(dest, exclusive=True, wait=True):
                    _swap_in(swap, top)
            except BaseException:
                nofollow.remove(top, os.path.basename(swap.path), nofollow.owners(top))
                raise
