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

Recovery (``recover``), run before anything reads or writes the bundle: a journal whose checksum
holds is played back (the old bytes written back, the old length restored, the file fsynced) and
removed; a journal whose checksum does not hold was cut short before step 2 began, so the file is
untouched and the journal is simply removed. Either way every file is back to old or new.

Journals live in one directory of the bundle path, ``JOURNAL_DIR``, so that finding them costs one
directory listing. Each names the file it belongs to by its path relative to the bundle path.
"""
import bisect
import contextlib
import errno
import hashlib
import json
import os
import secrets
import shutil
import stat

JOURNAL_DIR = ".vantorel.journal"
_MAGIC = b"vantorel rollback journal 1\n"
_DIGEST = 32


def journal_dir(bundle_path):
    return os.path.join(bundle_path, JOURNAL_DIR)


def pending(bundle_path):
    """Whether a killed writer left journals to play back (or a journal directory that is not
    this user's holds some: recovery then refuses, rather than readers meet a half-changed file)."""
    directory = journal_dir(bundle_path)
    state = _directory_state(directory)
    if state == "absent" or state == "not a directory":
        return False
    try:
        names = os.listdir(directory)
    except PermissionError:
        return True  # another user's, unreadable: it may hold journals
    return bool(names) if state == "own" else any(name.endswith(".journal") for name in names)


def _directory_state(directory):
    """"absent"; "own": a directory of this user's (made private if it was not); "not a directory"
    (a link, a file) or "foreign" (another user's directory). Journals are only written to, and
    played back from, an own one: whoever else could write there could plant a journal that makes
    a rollback write any file, and a link could make the clean-up remove another directory."""
    try:
        info = os.lstat(directory)
    except (FileNotFoundError, NotADirectoryError):
        return "absent"
    if not stat.S_ISDIR(info.st_mode):
        return "not a directory"
    if hasattr(os, "geteuid") and info.st_uid != os.geteuid():
        return "foreign"
    if info.st_mode & 0o077 and os.name != "nt":
        # Made by an older release with the umask's mode. On a read-only medium it stays as it is:
        # only journal files of this user's are played back anyway.
        with contextlib.suppress(OSError):
            os.chmod(directory, 0o700)
    return "own"


def directory_problem(bundle_path):
    """Why no file of the bundle path can be changed in place, in the user's words, or None."""
    directory = journal_dir(bundle_path)
    if _directory_state(directory) in ("absent", "own"):
        return None
    return (f"{directory} 不是本用户的日志目录（是链接、文件或其他用户的目录），无法安全地原地更新数据文件；"
            f"如果它是你以其他身份（如 sudo）运行时留下的，请以该身份运行一次 vantorel check-data，"
            f"再把它的属主改回你自己")


class Overlay:
    """A file as HDF5 sees it while an update changes it: the bytes on disk with the writes made so
    far laid over them, none of which reach the disk before ``commit``."""

    def __init__(self, path):
        self.path = path
        self.raw = open(path, "rb")
        self.old_length = os.fstat(self.raw.fileno()).st_size
        self.length = self.old_length
        self.position = 0
        self._starts = []  # sorted starts of non-overlapping written segments
        self._segments = {}  # start -> bytearray
        self.committed_bytes = 0  # what the commit wrote, journal included

    # -- the file object h5py's driver uses --------------------------------------------------------

    def seek(self, offset, whence=0):
        if whence == 0:
            self.position = offset
        elif whence == 1:
            self.position += offset
        else:
            self.position = self.length + offset
        return self.position

    def tell(self):
        return self.position

    def read(self, size=-1):
        if size is None or size < 0:
            size = max(self.length - self.position, 0)
        data = self._read_at(self.position, size)
        self.position += len(data)
        return data

    def readinto(self, buffer):
        view = memoryview(buffer).cast("B")
        data = self._read_at(self.position, len(view))
        view[:len(data)] = data
        self.position += len(data)
        return len(data)

    def write(self, data):
        data = bytes(memoryview(data).cast("B"))
        self._write_at(self.position, data)
        self.position += len(data)
        self.length = max(self.length, self.position)
        return len(data)

    def truncate(self, size=None):
        size = self.position if size is None else size
        self.length = size
        return size

    def flush(self):
        pass

    # -- the overlay ---------------------------------------------------------------------------------

    def _read_at(self, offset, size):
        end = min(offset + size, self.length)
        if end <= offset:
            return b""
        self.raw.seek(offset)
        out = bytearray(self.raw.read(max(min(end, self.old_length) - offset, 0)))
        out.extend(bytes(end - offset - len(out)))  # past the old end: zeros until written
        index = max(bisect.bisect_right(self._starts, offset) - 1, 0)
        while index < len(self._starts) and self._starts[index] < end:
            start = self._starts[index]
            segment = self._segments[start]
            lo, hi = max(start, offset), min(start + len(segment), end)
            if lo < hi:
                out[lo - offset:hi - offset] = segment[lo - start:hi - start]
            index += 1
        return bytes(out)

    def _write_at(self, offset, data):
        end = offset + len(data)
        first = max(bisect.bisect_right(self._starts, offset) - 1, 0)
        last = first
        while last < len(self._starts) and self._starts[last] < end:
            last += 1
        touching = [s for s in self._starts[first:last] if s + len(self._segments[s]) > offset]
        if not touching:
            bisect.insort(self._starts, offset)
            self._segments[offset] = bytearray(data)
            return
        start = min(touching[0], offset)
        stop = max(max(s + len(self._segments[s]) for s in touching), end)
        merged = bytearray(stop - start)
        for s in touching:
            segment = self._segments.pop(s)
            merged[s - start:s - start + len(segment)] = segment
            self._starts.remove(s)
        merged[offset - start:end - start] = data
        bisect.insort(self._starts, start)
        self._segments[start] = merged

    def written(self):
        """Bytes the writes laid over the file, before the commit leaves out those that match it."""
        return sum(len(segment) for segment in self._segments.values())

    def _changes(self):
        """(writes, saved): the runs of bytes that differ from the file or lie past its old end, and
        the old bytes those runs and a shortening overwrite. HDF5 rewrites whole chunks and index
        nodes; only what really changed goes to the journal and the disk."""
        import numpy as np

        writes, saved = [], []
        for start in self._starts:
            segment = self._segments[start]
            end = start + len(segment)
            overlap = min(end, self.old_length) - start
            if overlap > 0:
                self.raw.seek(start)
                old = self.raw.read(overlap)
                differ = np.flatnonzero(np.frombuffer(old, np.uint8) != np.frombuffer(segment, np.uint8, overlap))
                for lo, hi in _runs(differ):
                    writes.append((start + lo, segment[lo:hi]))
                    saved.append((start + lo, hi - lo))
            beyond = max(start, self.old_length)
            if end > beyond:
                writes.append((beyond, segment[beyond - start:]))
        if self.length < self.old_length:
            saved.append((self.length, self.old_length - self.length))
        return writes, saved

    def commit(self, bundle_path):
        """Apply the writes to the file as the module text says; on an exception the file is the
        old one (or the journal left behind makes it so at the next recovery)."""
        writes, ranges = self._changes()
        if not writes and self.length == self.old_length:
            self.close()
            return
        try:
            # Opened before there is a journal: a file that may not be written (its mode, another
            # owner) is refused with nothing begun, rather than with a journal nobody can play back.
            # Unbuffered: a buffer still holding new bytes when a write fails would be written
            # out when the file is closed, over the old bytes the rollback has just put back.
            target = open(self.path, "r+b", buffering=0)
        except BaseException as exc:
            self.close()
            _raise_naming(exc, self.path)
        with target:
            journal, journal_size = self._write_journal(bundle_path, ranges)
            try:
                for offset, data in writes:
                    target.seek(offset)
                    _write_all(target, data)
                target.truncate(self.length)
                os.fsync(target.fileno())
            except BaseException as exc:
                # A write the system refused (a full disk): put the old bytes back now rather than
                # leave a half-changed file to the next recovery.
                with contextlib.suppress(OSError):
                    _play_back(bundle_path, journal)
                _raise_naming(exc, self.path)
        os.unlink(journal)
        fsync_path(journal_dir(bundle_path))
        self.committed_bytes = sum(len(data) for _offset, data in writes) + journal_size
        self._starts, self._segments = [], {}

    def _write_journal(self, bundle_path, ranges):
        """Step 1: the durable journal of the old bytes; (its path, its size). The raw file is
        closed afterwards, whatever happens."""
        directory = journal_dir(bundle_path)
        journal = os.path.join(directory, secrets.token_hex(8) + ".journal")
        digest = hashlib.sha256()
        try:
            with contextlib.suppress(FileExistsError):
                os.mkdir(directory, 0o700)
            problem = directory_problem(bundle_path)
            if problem:
                raise OSError(errno.EPERM, problem)
            with open(journal, "xb") as out:
                def put(data):
                    digest.update(data)
                    out.write(data)

                put(_MAGIC)
                rel = os.path.relpath(self.path, bundle_path)
                # The file's identity: a rollback writes only into the file the journal was made of,
                # not whatever a link swapped in since leads to.
                info = os.fstat(self.raw.fileno())
                put(json.dumps({"path": rel, "old_length": self.old_length, "ranges": ranges,
                                "device": info.st_dev, "inode": info.st_ino}).encode() + b"\n")
                for offset, length in ranges:
                    self.raw.seek(offset)
                    put(self.raw.read(length))
                out.write(digest.digest())
                out.flush()
                os.fsync(out.fileno())
                size = out.tell()
            fsync_path(directory)
        except BaseException as exc:
            with contextlib.suppress(OSError):
                os.unlink(journal)  # the file is untouched
            _raise_naming(exc, self.path)
        finally:
            self.close()
        return journal, size

    def close(self):
        self.raw.close()


def _runs(indices, gap=64):
    """[start, end) runs covering sorted byte indices, runs closer than ``gap`` joined."""
    if not len(indices):
        return []
    import numpy as np

    breaks = np.flatnonzero(np.diff(indices) > gap)
    starts = np.r_[indices[0], indices[breaks + 1]]
    ends = np.r_[indices[breaks], indices[-1]] + 1
    return list(zip(starts.tolist(), ends.tolist()))


def _raise_naming(exc, path):
    # The message should name the data file, not the journal or nothing at all.
    if isinstance(exc, OSError) and exc.errno is not None:
        raise OSError(exc.errno, exc.strerror, path) from None
    raise exc


def fsync_path(path):
    """Make a file's bytes, or the names in a directory (renames, creations, removals), durable."""
    if os.name == "nt" and os.path.isdir(path):  # directories cannot be opened for fsync there
        return
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _play_back(bundle_path, journal):
    """Roll a file back from a complete journal; drop an incomplete one, or one that is not what
    this module writes (it could name any file). Returns the file's path when it was rolled back."""
    header, body, start = _read_journal(bundle_path, journal)
    if header is None:
        os.unlink(journal)  # cut short before the file was touched, or not ours
        return None
    path = os.path.join(bundle_path, os.path.normpath(header["path"]))
    with open(path, "r+b", buffering=0) as target:
        info = os.fstat(target.fileno())
        moved = (header.get("device", info.st_dev), header.get("inode", info.st_ino)) != (info.st_dev, info.st_ino)
        real = os.path.realpath(bundle_path)
        if moved and os.path.commonpath([os.path.realpath(path), real]) != real:
            # Another file, outside the bundle, is at its place now (through a link swapped in,
            # say): left alone, the journal kept. A bundle copied or restored whole rolls back.
            raise OSError(errno.EPERM, f"它已不是写入日志时的那个文件（经由链接指向了数据包之外），未回滚；日志保留在 {journal}",
                          path)
        position = start
        for offset, length in header["ranges"]:
            target.seek(offset)
            _write_all(target, memoryview(body)[position:position + length])
            position += length
        target.truncate(header["old_length"])
        os.fsync(target.fileno())
    os.unlink(journal)
    return path


def _write_all(raw, data):
    view = memoryview(data)
    while view:
        view = view[raw.write(view):]


# Journals only ever name files of these directories of the bundle path.
_JOURNALED = ("bundle", "minbar", "tick")


def _read_journal(bundle_path, journal):
    """(header, body, where the saved bytes start) of a complete journal of a file of the bundle
    path, or (None, None, None)."""
    info = os.lstat(journal)
    if not stat.S_ISREG(info.st_mode) or (hasattr(os, "geteuid") and info.st_uid != os.geteuid()):
        return None, None, None  # only a file this user wrote is played back
    with open(journal, "rb") as f:
        data = f.read()
    body, digest = data[:-_DIGEST], data[-_DIGEST:]
    if len(data) <= len(_MAGIC) + _DIGEST or not body.startswith(_MAGIC) or hashlib.sha256(body).digest() != digest:
        return None, None, None
    try:
        newline = body.index(b"\n", len(_MAGIC))
        header = json.loads(body[len(_MAGIC):newline])
        rel, old_length, ranges = header["path"], int(header["old_length"]), header["ranges"]
        parts = os.path.normpath(rel).split(os.sep)
        path = os.path.join(bundle_path, os.path.normpath(rel))
        # Judged by its name, not where links lead: a user may keep minbar/, tick/ or a file on
        # another disk through a link, and the update that wrote the journal wrote through it too.
        # Only this user can have written the journal (see _directory_state), and _play_back
        # writes only into the file it was made of.
        inside = parts[0] in _JOURNALED and ".." not in parts and not os.path.isabs(rel) and os.path.isfile(path)
        sizes = sum(int(length) for _offset, length in ranges)
        sound = all(0 <= int(offset) and int(offset) + int(length) <= old_length for offset, length in ranges)
    except (ValueError, KeyError, TypeError, AttributeError):
        return None, None, None
    if not inside or not sound or newline + 1 + sizes != len(body):
        return None, None, None
    return header, body, newline + 1


def recover(bundle_path):
    """Play back or drop every journal of the bundle path; returns the paths rolled back.
    The caller holds the bundle path's lock exclusively."""
    directory = journal_dir(bundle_path)
    state = _directory_state(directory)
    if state != "own":
        if pending(bundle_path):  # another user's journals: neither played back nor ignored
            raise OSError(errno.EPERM, directory_problem(bundle_path), directory)
        return []  # what it holds or leads to is left alone
    names = sorted(os.listdir(directory))
    rolled = []
    for name in names:
        path = os.path.join(directory, name)
        info = os.lstat(path)
        if stat.S_ISREG(info.st_mode) and hasattr(os, "geteuid") and info.st_uid != os.geteuid():
            # Another user's (a killed run under sudo, say): neither played back nor dropped.
            raise OSError(errno.EPERM, "是其他用户写下的日志（如以 sudo 运行时被中断），未回滚也未删除；"
                                       "请以该用户运行一次 vantorel check-data", path)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)  # never ours: journals are files
        elif name.endswith(".journal"):
            restored = _play_back(bundle_path, path)
            if restored:
                rolled.append(restored)
        else:
            os.unlink(path)
    fsync_path(directory)
    return rolled
