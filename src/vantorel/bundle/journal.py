"""Changing a stored HDF5 file in place so that, after any crash, it is the old file or the new one.

The invariant: whenever no writer is running, every bundle file is byte for byte either what it
was before an update or what the update made of it; never a mix.

An update opens a file through ``Overlay``, a file object that HDF5 writes to through h5py's
file-object driver. The overlay keeps every write in memory and serves reads from it, so the file
on disk does not change while HDF5 works. ``commit`` then applies the writes in this order:

1. the rollback journal is written: the file's old length, and the old bytes of every range the
   writes will overwrite (or cut off), with a SHA-256 of all of it at the end; it is fsynced, and
   so is its directory;
2. the writes go to the file, its length is set, the file is fsynced;
3. the journal is removed (and its directory fsynced): this is the commit point.

The files an update changes are committed in batches (``overlay.commit_together``), each file with
its own journal: step 1 for every file of a batch, then step 2 for each, then step 3 for all, so
that the directory's fsyncs are paid once a batch. Every file of a batch is still old or new.

Recovery (``recover``), run before anything reads or writes the bundle: a journal whose checksum
holds is played back (the old bytes written back, the old length restored, the file fsynced) and
removed. A journal is dropped only when its own bytes show that it was cut short (too short, its
head half written, its checksum wrong): then step 2 never began, which recovery makes sure of
(the file still has the old length and the old bytes the journal got to save) before it says
what it dropped. Either way every file is back to old or new.

Journals live in one directory of the bundle path, ``JOURNAL_DIR``, so that finding them costs one
directory listing. Each names the file it belongs to by its path relative to the bundle path, and
records the identity (device and inode) of that file and of the bundle path's directory:

- in the bundle path it was written under, the file is reached as the writer reached it, links
  included (``minbar/`` or ``tick/`` kept on another disk), and only the file it was made of (the
  same device and inode) is written: any other file at its place (moved or restored there, or in a
  tree another user put where ``minbar/`` was) keeps the journal waiting;
- anywhere else (a copy or a restore of the bundle path, with the journal in it) only the copy's
  own file is played back into: one reached through a link would be the original's, so the
  journal is kept and readers of that file are told why;
- while its file cannot be reached (its disk not mounted), a journal is kept, and so are its
  reasons: readers of that file, and updates, say why (``held_reason``, ``update_problem``).

The journal directory is opened without following a link and worked in through its descriptor
(``nofollow``); only it and journals of the bundle path's owner, of the running user or of root are
played back or removed. Another user's are named (``Scan.others``) and left alone. It is made
readable to whoever can read the bundle path, writable by its owner only, and removed when an
update or a recovery leaves it empty, so that other users who only read the bundle can tell that
no journal is waiting.
"""
import contextlib
import errno
import hashlib
import json
import os
import stat

from vantorel.bundle import nofollow

JOURNAL_DIR = ".vantorel.journal"
MAGIC = b"vantorel rollback journal 1\n"
_DIGEST = 32
# Journals only ever name files of these directories of the bundle path.
_JOURNALED = ("bundle", "minbar", "tick")


def journal_dir(bundle_path):
    return os.path.join(bundle_path, JOURNAL_DIR)


# ---- the journal directory ---------------------------------------------------------------------

def _directory_mode(top):
    """The journal directory's mode: the owner's alone to write, readable by whoever may read the
    bundle path (a reader needs to see that no journal is waiting)."""
    return 0o700 | (top.stat().st_mode & 0o055)


def _tend(directory, top):
    """Give a journal directory of the running user's the mode it should have: an older release
    left it open to the group, or closed to readers. On a read-only medium it stays as it is."""
    info = directory.stat()
    if os.name != "nt" and info.st_uid == os.geteuid() and info.st_mode & 0o777 != _directory_mode(top):
        with contextlib.suppress(OSError):
            directory.chmod(_directory_mode(top))


def _foreign_directory(bundle_path, top):
    """Why the journal directory is not one to write journals in, or None (also when there is none)."""
    info = top.lstat(JOURNAL_DIR)
    if info is None:
        return None
    what = _describe(info)
    if what is None:
        return None
    return (f"{journal_dir(bundle_path)} 是{what}，不是本用户或该 bundle 路径属主的日志目录，"
            f"无法安全地原地更新数据文件；它不是 vantorel 为你建的，已原样保留：请确认后把它移走再更新")


def _who_may_move(top):
    """Who may move another user's journal directory out of the way. Whoever owns the bundle path
    may rename its entries even with the sticky bit set; other users may only without it."""
    said = "请该用户运行一次 vantorel check-data（回滚其中的日志）后把它移走"
    info = top.stat()
    if not hasattr(os, "geteuid"):
        return said
    if info.st_uid == os.geteuid():
        return said + "；你是该 bundle 路径的属主，也可以自己把它改名移开（先确认其中没有该用户尚未回滚的日志）"
    if info.st_mode & stat.S_ISVTX:
        return said + f"，或请该 bundle 路径的属主 {nofollow.owner_name(info.st_uid)} 把它改名移开"
    return said + "，或在确认其中没有该用户尚未回滚的日志后自己把它改名移开"


def _describe(info, users=None):
    """What an entry is when it is not the kit's to use ("链接", "文件", "用户 x 的目录"), or None."""
    if stat.S_ISLNK(info.st_mode):
        return "链接"
    if not stat.S_ISDIR(info.st_mode) and not stat.S_ISREG(info.st_mode):
        return "特殊文件"
    if users is not None and info.st_uid not in users:
        kind = "目录" if stat.S_ISDIR(info.st_mode) else "文件"
        return f"用户 {nofollow.owner_name(info.st_uid)} 的{kind}"
    if not stat.S_ISDIR(info.st_mode) and users is None:
        return "文件"
    return None


def writable_directory(bundle_path, top):
    """The journal directory, made if missing, open; OSError (EPERM, with the reason) when it is
    a link, a file or another user's."""
    try:
        top.mkdir(JOURNAL_DIR, 0o700)
    except FileExistsError:
        pass
    try:
        directory = top.sub(JOURNAL_DIR)
    except OSError as exc:
        if exc.errno in (errno.ELOOP, errno.ENOTDIR, errno.EMLINK):
            raise OSError(errno.EPERM, _foreign_directory(bundle_path, top) or str(exc)) from None
        raise
    info = directory.stat()
    users = nofollow.owners(top)
    if not nofollow.trusted(info, users):
        directory.close()
        raise OSError(errno.EPERM, (f"{journal_dir(bundle_path)} 是{_describe(info, users)}，无法安全地原地更新数据文件；"
                                    f"{_who_may_move(top)}"))
    _tend(directory, top)
    return directory


def tidy(bundle_path):
    """Remove the journal directory when an update or a recovery left it empty (the caller holds the
    lock exclusively): a reader of another user's then has no directory to look into."""
    with contextlib.suppress(OSError), nofollow.Dir.at(bundle_path) as top:
        info = top.lstat(JOURNAL_DIR)
        if info is not None and stat.S_ISDIR(info.st_mode) and nofollow.trusted(info, nofollow.owners(top)):
            top.rmdir(JOURNAL_DIR)  # refused while it holds anything


# ---- reading journals --------------------------------------------------------------------------

class _Parsed:
    """A journal's bytes read: ``why`` is None for a complete one, else why it was cut short;
    ``header`` (when it could be read) names the file, ``start`` is where the saved bytes start."""

    def __init__(self, why, header=None, start=None, saved=b""):
        self.why, self.header, self.start, self.saved = why, header, start, saved


def parse(data):
    if len(data) < len(MAGIC) or not data.startswith(MAGIC):
        return _Parsed("未写完：开头不完整")
    try:
        newline = data.index(b"\n", len(MAGIC))
        header = json.loads(data[len(MAGIC):newline])
        old_length, ranges = int(header["old_length"]), [(int(o), int(n)) for o, n in header["ranges"]]
        if not isinstance(header["path"], str):
            raise TypeError
    except (ValueError, KeyError, TypeError, AttributeError):
        return _Parsed("未写完：头部不完整")
    header["old_length"], header["ranges"] = old_length, ranges
    start = newline + 1
    expected = start + sum(length for _offset, length in ranges) + _DIGEST
    saved = memoryview(data)[start:min(len(data), expected - _DIGEST)]
    if len(data) < expected:
        return _Parsed(f"被截断：只有 {len(data)} 字节，应有 {expected} 字节", header, start, saved)
    if len(data) > expected or hashlib.sha256(memoryview(data)[:-_DIGEST]).digest() != data[-_DIGEST:]:
        return _Parsed("SHA-256 校验和不符", header, start, saved)
    if not all(0 <= offset and offset + length <= old_length for offset, length in ranges):
        return _Parsed("其中的范围超出了文件原来的长度", header, start, saved)
    return _Parsed(None, header, start, saved)


def read_all(directory, name):
    with os.fdopen(directory.open(name, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)), "rb") as f:
        return f.read()


def _inside(header):
    """The path a journal names, relative to the bundle path, when it is a file of one of the
    journaled directories; else None (a journal naming anything else is not the kit's)."""
    rel = header["path"]
    parts = os.path.normpath(rel).split(os.sep)
    if os.path.isabs(rel) or ".." in parts or parts[0] not in _JOURNALED or len(parts) < 2:
        return None
    return os.path.normpath(rel)


# Rule 6 of ``access``: the file a journal was made of, or none.
def _target(bundle_path, top, header, journal, flags, writer=None):
    """(descriptor of the file a journal belongs to, None), or (None, why it is kept). ``writer``:
    the user who wrote the journal, whose bytes it holds."""
    rel = _inside(header)
    path = os.path.join(bundle_path, rel)
    place = top.stat()
    mark = header.get("bundle") or {}
    flags |= getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0) | getattr(os, "O_NONBLOCK", 0)
    if (mark.get("device"), mark.get("inode")) == (place.st_dev, place.st_ino):
        # The bundle path it was written under: the file is reached as the writer reached it,
        # through the links the user keeps (tick/ on another disk).
        from vantorel.bundle import places

        try:
            # Level by level, links followed only when a trusted user made them (rule 8).
            fd = places.open_in_bundle(path, flags)
        except OSError as exc:
            _raise_when_not_ours_to_write(exc, flags)
            return None, _unreachable(path, exc, journal)
        except places.StorageError as exc:
            return None, f"{exc.reason}，未回滚；日志保留在 {journal}"
        info = os.fstat(fd)
        if (header.get("device", info.st_dev), header.get("inode", info.st_ino)) != (info.st_dev, info.st_ino):
            os.close(fd)
            # Another file is at its place now: one moved or restored there, or a tree another user
            # put where minbar/ was. The old bytes belong to the file the journal was made of only.
            return None, (f"{path} 已不是写入日志时的那个文件（它被替换或移动过），未回滚；日志保留在 {journal}。"
                          f"若原来的文件还在别处，请把它放回原处，下次读取或更新时会自动回滚")
    else:
        # A copy or a restore of the bundle path (or a journal of an older release): only a file
        # of this bundle path is written, reached without a link, which would lead to the
        # original's file and roll back data it has kept since.
        parts = rel.split(os.sep)
        opened = []
        try:
            directory = top
            for part in parts[:-1]:
                directory = directory.sub(part)
                opened.append(directory)
            fd = directory.open(parts[-1], flags)
        except OSError as exc:
            _raise_when_not_ours_to_write(exc, flags)
            failed = directory.lstat(parts[len(opened)]) if exc.errno in (errno.ELOOP, errno.ENOTDIR) else None
            if failed is None or not stat.S_ISLNK(failed.st_mode):
                return None, _unreachable(path, exc, journal)
            return None, (f"日志 {journal} 写于另一个 bundle 路径（这里是它的副本或还原），而 {path} "
                          f"要经由链接才能到达，那是原来那份数据的文件；未回滚，日志保留。"
                          f"若确要回滚这份副本，请先把链接换成所指目录或文件的副本")
        finally:
            for directory in opened:
                directory.close()
    info = os.fstat(fd)
    if not stat.S_ISREG(info.st_mode):
        os.close(fd)
        return None, f"{path} 不是普通文件，日志 {journal} 未回滚，已保留"
    if writer is not None and hasattr(os, "geteuid") and writer not in (info.st_uid, os.geteuid()):
        # Rule 6 of ``access``: a journal's bytes are its writer's to choose, so they go only into
        # the writer's own file, or back by the writer's own hand: never, through a link the
        # bundle path's owner made, into a file of the user who happens to read the bundle.
        os.close(fd)
        return None, (f"日志 {journal} 是用户 {nofollow.owner_name(writer)} 写的，而 {path} 属于用户 "
                      f"{nofollow.owner_name(info.st_uid)}，未回滚，日志保留；请用户 {nofollow.owner_name(writer)} "
                      f"运行一次 vantorel check-data")
    return fd, None


def _raise_when_not_ours_to_write(exc, flags):
    """A file this user may read but not write is no unreachable one: its journal waits for a user
    who may play it back, and the caller says whose it is (a reader would otherwise see it pending
    under the shared lock and held under the exclusive one, for ever)."""
    if isinstance(exc, PermissionError) and flags & (os.O_RDWR | os.O_WRONLY):
        raise exc


def _unreachable(path, exc, journal):
    return (f"{path} 现在无法访问（{exc.strerror or exc}），上次被中断的写入留下的日志 {journal} 尚未回滚，"
            f"已保留；在它回滚前不读取也不更新该文件。等文件能访问了（如其所在的磁盘已挂载），"
            f"下次读取或更新时会自动回滚")


def restore(fd, header, saved):
    """Write the saved old bytes back into the file and give it its old length; fsync."""
    position = 0
    for offset, length in header["ranges"]:
        view = memoryview(saved)[position:position + length]
        os.lseek(fd, offset, os.SEEK_SET)
        while view:
            view = view[os.write(fd, view):]
        position += length
    os.ftruncate(fd, header["old_length"])
    os.fsync(fd)


def _untouched(fd, header, saved):
    """Why the file is not what it was before the writes (its length, or bytes that differ from the
    old ones the journal got to save), or None."""
    size = os.fstat(fd).st_size
    if size != header["old_length"]:
        return f"它的长度是 {size} 字节，写入前是 {header['old_length']} 字节"
    position = 0
    for offset, length in header["ranges"]:
        if position + length > len(saved):
            break  # the journal was cut short before these bytes: the writes never began
        os.lseek(fd, offset, os.SEEK_SET)
        old = saved[position:position + length]
        now = b""
        while len(now) < length:
            chunk = os.read(fd, length - len(now))
            if not chunk:
                break
            now += chunk
        if now != old:
            return f"从第 {offset} 字节起与日志保存的原有字节不同"
        position += length
    return None


# ---- recovery ----------------------------------------------------------------------------------

class Scan:
    """What the journal directory of a bundle path holds.

    ``complete``: [(name, header, saved)] journals to play back; ``cut``: [(name, parsed)] journals
    cut short, to drop; ``held``: {file path: why} journals kept while their file cannot be played
    back into; ``others``: descriptions of entries that are not the kit's (another user's, a link),
    left alone; ``foreign``: why no journal can be written, when the directory itself is such an
    entry; ``blocked``: why the directory or a journal of its own cannot be read (nobody can tell
    then whether a file is half written). After ``recover``: ``rolled`` the files rolled back,
    ``notes`` what was dropped and why.
    """

    def __init__(self):
        self.complete, self.cut, self.junk = [], [], []
        self.held, self.others = {}, []
        self.foreign = self.blocked = None
        self.rolled, self.notes = [], []

    @property
    def pending(self):
        """Whether recovery has something to do (or to refuse) before anyone reads."""
        return bool(self.complete or self.cut or self.blocked)


def scan(bundle_path, top=None):
    """Look at the journals of a bundle path without changing anything (no lock needed: a journal a
    writer is still writing looks cut short, and recovery then waits for the lock)."""
    if top is None:
        try:
            with nofollow.Dir.at(bundle_path) as top:
                return scan(bundle_path, top)
        except (FileNotFoundError, NotADirectoryError):
            return Scan()
    found = Scan()
    users = nofollow.owners(top)
    info = top.lstat(JOURNAL_DIR)
    if info is None:
        return found
    where = journal_dir(bundle_path)
    if not stat.S_ISDIR(info.st_mode) or not nofollow.trusted(info, users):
        found.foreign = _foreign_directory(bundle_path, top) if not stat.S_ISDIR(info.st_mode) else (
            f"{where} 是{_describe(info, users)}，无法安全地原地更新数据文件；{_who_may_move(top)}")
        found.others.append(f"{where}（{_describe(info, users) or '文件'}）")
        return found
    try:
        directory = top.sub(JOURNAL_DIR)
    except FileNotFoundError:
        return found
    except PermissionError:
        found.blocked = _unreadable(where, info.st_uid)
        return found
    except OSError as exc:  # swapped for a link or a file since the look
        found.foreign = _foreign_directory(bundle_path, top) or f"{where}：{exc.strerror}"
        found.others.append(where)
        return found
    with directory:
        info = directory.stat()
        if not nofollow.trusted(info, users):
            found.foreign = f"{where} 是{_describe(info, users)}，无法安全地原地更新数据文件"
            found.others.append(f"{where}（{_describe(info, users)}）")
            return found
        _tend(directory, top)
        try:
            names = sorted(directory.names())
        except PermissionError:
            found.blocked = _unreadable(where, info.st_uid)
            return found
        for name in names:
            entry = directory.lstat(name)
            if entry is None:
                continue
            if stat.S_ISLNK(entry.st_mode) or not nofollow.trusted(entry, users):
                found.others.append(f"{directory.join(name)}（{_describe(entry, users) or '链接'}）")
                continue
            if not stat.S_ISREG(entry.st_mode) or not name.endswith(".journal"):
                found.junk.append(name)  # never the kit's: journals are files so named
                continue
            journal = directory.join(name)
            try:
                parsed = parse(read_all(directory, name))
            except FileNotFoundError:
                continue
            except PermissionError:
                found.blocked = (f"无法读取日志 {journal}（它属于用户 {nofollow.owner_name(entry.st_uid)}）："
                                 f"该用户的一次更新被中断了，在它回滚前数据文件可能是写了一半的；"
                                 f"请该用户运行一次 vantorel check-data")
                continue
            except OSError:  # swapped for a link since the look: not the kit's
                found.others.append(journal)
                continue
            if parsed.why is not None:
                found.cut.append((name, parsed))
                continue
            if _inside(parsed.header) is None:
                found.cut.append((name, _Parsed(f"它指向的 {parsed.header['path']} 不是 bundle 中的数据文件",
                                                start=parsed.start)))
                continue
            fd, why = _target(bundle_path, top, parsed.header, journal, os.O_RDONLY, entry.st_uid)
            if fd is None:
                found.held[os.path.join(bundle_path, _inside(parsed.header))] = why
            else:
                os.close(fd)
                found.complete.append((name, parsed.header, parsed.saved, entry.st_uid))
    return found


def _unreadable(where, owner):
    return (f"无法读取 {where}（它属于用户 {nofollow.owner_name(owner)}）：其中可能有该用户的一次更新被中断后"
            f"留下的回滚日志，在它们回滚前数据文件可能是写了一半的；请该用户运行一次 vantorel check-data"
            f"（会回滚日志，并让其他用户能读到这个目录）")


def recover(bundle_path, top=None):
    """Play back or drop every journal of the bundle path that is the kit's; returns the ``Scan``
    (``rolled``: the paths rolled back, ``notes``: what was dropped). The caller holds the bundle
    path's lock exclusively. Raises OSError when a journal cannot be played back (no permission)
    and VantorelError when the journal directory cannot be read."""
    if top is None:
        try:
            with nofollow.Dir.at(bundle_path) as top:
                return recover(bundle_path, top)
        except (FileNotFoundError, NotADirectoryError):
            return Scan()
    found = scan(bundle_path, top)
    if found.blocked:
        from vantorel.errors import VantorelError

        raise VantorelError(found.blocked)
    if found.foreign or top.lstat(JOURNAL_DIR) is None:
        return found
    with top.sub(JOURNAL_DIR) as directory:
        for name, header, saved, writer in found.complete:
            journal = directory.join(name)
            fd, why = _target(bundle_path, top, header, journal, os.O_RDWR, writer)
            if fd is None:
                found.held[os.path.join(bundle_path, _inside(header))] = why
                continue
            try:
                restore(fd, header, saved)
            except OSError as exc:
                raise OSError(exc.errno, exc.strerror, os.path.join(bundle_path, _inside(header))) from None
            finally:
                os.close(fd)
            directory.unlink(name)
            found.rolled.append(os.path.join(bundle_path, _inside(header)))
        for name, parsed in found.cut:
            found.notes.append(_dropped(bundle_path, top, directory.join(name), parsed))
            directory.unlink(name)
        for name in found.junk:
            nofollow.remove(directory, name, nofollow.owners(top))
        directory.fsync()
    with contextlib.suppress(OSError):
        top.rmdir(JOURNAL_DIR)  # refused while it holds anything
    return found


# Rule 7 of ``access``: dropped only when cut short and its file untouched.
def _dropped(bundle_path, top, journal, parsed):
    """What is said of a journal dropped, once its file is known to be whole."""
    if parsed.header is None and parsed.start is not None:  # complete, but naming no file of the bundle
        return f"已删除回滚日志 {journal}：{parsed.why}，未回滚任何文件"
    said = f"已删除不完整的回滚日志 {journal}（{parsed.why}）"
    if parsed.header is None or _inside(parsed.header) is None:
        return f"{said}：它在写下所属的数据文件之前就被中断，没有任何文件被改动"
    path = os.path.join(bundle_path, _inside(parsed.header))
    fd, why = _target(bundle_path, top, parsed.header, journal, os.O_RDONLY)
    if fd is None:
        return f"{said}；它所属的 {path} 现在无法访问，没能核对（写入要等日志写完才开始，按理它未被改动）"
    try:
        differs = _untouched(fd, parsed.header, parsed.saved)
    finally:
        os.close(fd)
    if differs is None:
        return f"{said}；写入在它之后才会开始，{path} 未被改动：长度和日志保存的原有字节都与写入前相同"
    return (f"{said}；但 {path} 与写入前不同（{differs}），日志又无法把它复原：它可能已损坏，"
            f"vantorel check-data 会检查它，update-data 会把无法读取的文件移到 quarantine/ 并重新下载")


# ---- what readers and updates are told --------------------------------------------------------

_HELD = {}  # bundle path -> {file path: why its journal is kept}


_READ = set()  # bundle paths this process reads, whose files ``orphaned`` looks for journals of


def publish(bundle_path, held):
    """Remember, for the readers of this process, which files of a bundle path wait for a journal."""
    _READ.add(bundle_path)
    if held:
        _HELD[bundle_path] = dict(held)
    else:
        _HELD.pop(bundle_path, None)


def _in_read_bundle(path):
    """(the bundle path of ``_READ`` that holds ``path``, or None; the file's path under it). Bundle
    paths are kept resolved: a file reached through a link to one, or to a directory above it, is
    found by its directory resolved."""
    path = os.path.abspath(path)
    if not _READ:  # a process that only updates: its recovery left no journal to look for
        return None, path
    holding = _holding(path)
    if holding is None:
        path = os.path.join(os.path.realpath(os.path.dirname(path)), os.path.basename(path))
        holding = _holding(path)
    return holding, path


def _holding(path):
    return next((p for p in _READ if path.startswith(p + os.sep)), None)


# Rule 4 of ``access``: a file whose journal waits is refused by name.
def held_reason(path):
    """Why a file cannot be read yet (a journal of it is kept), or None."""
    if not _HELD:
        return None
    _bundle_path, path = _in_read_bundle(path)
    for held in list(_HELD.values()):
        if path in held:
            return held[path]
    return None


# Far beyond the header of any change (a range is some twenty bytes of it), short of memory.
_MAX_HEADER = 256 << 20


# Rule 4 of ``access``, for a writer killed while the reader reads on.
def orphaned(path, fd):
    """Why the file open as ``fd`` at ``path`` is half changed, or None. The caller holds the
    file's shared lock, which a change in place holds exclusively from its journal's first byte to
    its removal: a journal of this very file (its device and inode) is then a killed writer's."""
    bundle_path, _path = _in_read_bundle(path)
    if bundle_path is None:
        return None
    where = journal_dir(bundle_path)
    try:
        names = os.listdir(where)
    except OSError:
        return None  # none, or unreadable: ``scan`` says so when the read begins
    info = None
    for name in names:
        if not name.endswith(".journal"):
            continue
        try:
            fd_journal = os.open(os.path.join(where, name), os.O_RDONLY | nofollow.NOFOLLOW | getattr(os, "O_NONBLOCK", 0))
            with open(fd_journal, "rb") as raw:
                # The whole header line, however many ranges it names (a file of many series
                # changes in many places): a part of it would read as a journal cut short.
                head = raw.read(len(MAGIC))
                line = raw.readline(_MAX_HEADER) if head == MAGIC else b""
        except OSError:
            continue
        try:
            header = json.loads(line) if line.endswith(b"\n") else None
        except ValueError:
            header = None
        if not isinstance(header, dict):
            continue  # cut short before it named its file: the file was not yet touched
        info = info or os.fstat(fd)
        if (header.get("device"), header.get("inode")) == (info.st_dev, info.st_ino):
            return "一次更新在改写它时被中断，尚未回滚；请再读一次（读取前会先回滚它）"
    return None


def update_problem(bundle_path, found=None):
    """Why no file of the bundle path can be changed in place now, in the user's words, or None."""
    found = found or scan(bundle_path)
    if found.blocked:
        return found.blocked
    if found.foreign:
        return found.foreign
    if found.others:
        return ("以下条目不属于本用户或该 bundle 路径的属主，已原样保留；为免与它们冲突，不原地更新数据文件："
                + "；".join(found.others))
    if found.held:
        return "以下数据文件有尚未回滚的日志，为免覆盖，不作更新：" + "；".join(found.held.values())
    return None
