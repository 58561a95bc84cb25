"""The file HDF5 writes to while an update changes a stored file in place: every write kept in memory
and laid over the bytes on disk until ``commit`` journals the old bytes and applies the new ones (the
order of those steps, and what recovery does after a crash, are in ``vantorel.bundle.journal``)."""
import bisect
import contextlib
import hashlib
import json
import errno
import os
import secrets
import time

from vantorel.bundle import journal, nofollow, places
from vantorel.bundle.durable import pwrite_all
from vantorel.bundle.hdf5 import DriverFile

_PAGE = 4096
_PAGES_KEPT = 256  # a megabyte an open file at most


class Overlay(DriverFile):
    """A file as HDF5 sees it while an update changes it: the bytes on disk with the writes made so
    far laid over them, none of which reach the disk before ``commit``."""

    def __init__(self, path):
        self.path = path
        # Without waiting on a pipe, and only a regular file of a user the kit trusts (rule 8).
        # Opened for writing now when it may be written: the commit writes through the descriptor
        # the reads came from, so it changes the very file the changes were made against, and the
        # bundle path is walked once. One that may not be written is refused by the commit, as before.
        try:
            self.fd = places.open_in_bundle(path, places.READ_WRITE_FLAGS)
            self.writable = True
        except OSError as exc:
            if exc.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
                raise
            self.fd = places.open_in_bundle(path)
            self.writable = False
        self.read_from = os.fstat(self.fd)
        self.old_length = self.read_from.st_size
        self.length = self.old_length
        self.position = 0
        self._pages = {}  # page number -> the old bytes of the page
        self._starts = []  # sorted starts of non-overlapping written segments
        self._segments = {}  # start -> bytearray
        self.committed_bytes = 0  # what the commit wrote, journal included
        self.waited = 0.0  # seconds the commit waited for readers to let go of the file

    # -- the file object h5py's driver uses --------------------------------------------------------

    def write(self, data):
        data = bytes(memoryview(data).cast("B"))
        self._write_at(self.position, data)
        self.position += len(data)
        self.length = max(self.length, self.position)
        return len(data)

    # -- the overlay ---------------------------------------------------------------------------------

    def _read_at(self, offset, size):
        end = min(offset + size, self.length)
        if end <= offset:
            return b""
        if not self._starts and end <= self.old_length:
            return self._old_bytes(offset, end - offset)  # nothing written yet: the resume's reads
        out = bytearray(self._old_bytes(offset, end - offset))
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

    def read_stored(self, offset, size):
        if not self._starts and offset + size <= self.old_length:
            return os.pread(self.fd, size, offset)  # nothing written: what the checks read of every chunk
        return self._read_at(offset, size)

    def _old_bytes(self, offset, size):
        """The file's bytes in [offset, offset + size) as they were when it was opened, cut at its old
        end. HDF5 reads its metadata a few bytes at a time, mostly within the same pages, and each
        read is a call into Python: those are served from whole pages read once (a bounded number
        of them, not the file); a read of a page or more goes to the file in one call."""
        end = min(offset + size, self.old_length)
        if end <= offset:
            return b""
        if end - offset >= _PAGE:
            return os.pread(self.fd, end - offset, offset)
        first, last = offset // _PAGE, (end - 1) // _PAGE
        base = first * _PAGE
        if first == last:
            page = self._pages.get(first)
            if page is None:
                page = self._load(first, first)
            return page[offset - base:end - base]
        if first not in self._pages or last not in self._pages:
            self._load(first, last)
        return (self._pages[first] + self._pages[last])[offset - base:end - base]

    def _load(self, first, last):
        if len(self._pages) >= _PAGES_KEPT:
            self._pages.clear()
        data = os.pread(self.fd, (last + 1 - first) * _PAGE, first * _PAGE)
        for page in range(first, last + 1):
            self._pages[page] = data[(page - first) * _PAGE:(page + 1 - first) * _PAGE]
        return self._pages[first]

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
            old = self._old_bytes(start, overlap) if overlap > 0 else b""
            # Most of what HDF5 writes back over the old bytes is metadata it did not change.
            if old and memoryview(segment)[:overlap] != old:
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

    # Rule 1 of ``access``: the journal is durable before the file changes.
    def commit(self, bundle_path):
        """Apply the writes to the file as the module text says; on an exception the file is the
        old one (or the journal left behind makes it so at the next recovery)."""
        for _overlay, exc in commit_together(bundle_path, [self]):
            raise exc

    def _prepare(self, wait, set_aside):
        """(descriptor to write through, writes, ranges to journal), or None when nothing changed
        (then closed). Takes the file from its readers, waiting ``wait`` seconds at most for one
        still reading: then ``_ReadersStay`` when ``set_aside``, else the refusal."""
        writes, ranges = self._changes()
        if not writes and self.length == self.old_length:
            self.close()
            return None
        try:
            target = self._target()
        except BaseException as exc:
            self.close()
            raise nofollow.naming(exc, self.path) from None
        started = time.monotonic()
        try:
            _exclude_readers(target, self.path, wait, set_aside)
        finally:
            self.waited = time.monotonic() - started
        return target, writes, ranges

    def _apply(self, target, writes, directory, name):
        """Step 2: the writes, the length, the fsync; a write the system refused (a full disk) puts
        the old bytes back now rather than leave a half-changed file to the next recovery."""
        try:
            for offset, data in writes:
                pwrite_all(target, data, offset)
            os.ftruncate(target, self.length)
            os.fsync(target)
        except BaseException as exc:
            with contextlib.suppress(OSError):
                parsed = journal.parse(journal.read_all(directory, name))
                if parsed.why is None:
                    journal.restore(target, parsed.header, parsed.saved)
                    directory.unlink(name)
            raise nofollow.naming(exc, self.path) from None

    def _target(self):
        """The descriptor the commit writes through: the one read, or for a file opened only for
        reading, the file opened again (and read through from then on) before there is a journal, so that one that may not be
        written (its mode, another owner) is refused with nothing begun rather than with a journal
        nobody can play back. Reached from the bundle path level by level (rule 8 of ``access``)."""
        if self.writable:
            try:
                self._same_file(os.stat(self.path))
            except FileNotFoundError:
                self._same_file(None)
            return self.fd
        target = places.open_in_bundle(self.path, places.READ_WRITE_FLAGS)
        try:
            self._same_file(os.fstat(target))
        except BaseException:
            os.close(target)
            raise
        # The same file: read on through the new descriptor, and let go of the old one's shared
        # lock, which would keep the change out for ever.
        os.close(self.fd)
        self.fd, self.writable = target, True
        return target

    def _same_file(self, now):
        """Refuse the change when the name leads to another file (``now``, its stat) than the one
        read: the changes were made against that one, and on a bundle path others may write, the
        name may have been given to another user's file, which the update would then leave as it is."""
        if now is None or (now.st_dev, now.st_ino) != (self.read_from.st_dev, self.read_from.st_ino):
            from vantorel.errors import VantorelError

            raise VantorelError(f"数据文件 {self.path} 在更新期间被换成了另一个文件，未写入；"
                                "请确认 bundle 路径中的目录没有被别人移动后重新运行")

    def _write_journal(self, bundle_path, directory, place, ranges):
        """Step 1: the journal of the old bytes, written and fsynced in ``directory`` (whose own fsync
        is the caller's); (its name, its size). Nothing is left behind when it fails."""
        name = secrets.token_hex(8) + ".journal"
        rel = os.path.relpath(self.path, bundle_path)
        # The identities of the file and of the bundle path: a rollback writes only into the file
        # the journal was made of, and through a link only in the bundle path it was written under,
        # not in a copy of it whose link leads to the original's file.
        info = self.read_from
        head = json.dumps({"path": rel, "old_length": self.old_length, "ranges": ranges,
                           "device": info.st_dev, "inode": info.st_ino,
                           "bundle": {"device": place.st_dev, "inode": place.st_ino}}).encode()
        content = b"".join([journal.MAGIC, head, b"\n", *(self._old_bytes(offset, length) for offset, length in ranges)])
        content += hashlib.sha256(content).digest()
        try:
            fd = directory.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL)
            try:
                pwrite_all(fd, content, 0)
                os.fsync(fd)
            finally:
                os.close(fd)
        except BaseException as exc:
            with contextlib.suppress(OSError):
                directory.unlink(name)  # the file is untouched
            raise nofollow.naming(exc, self.path) from None
        return name, len(content)

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None


class _ReadersStay(Exception):
    """A reader holds the file: it is committed after the others."""


# How long the journals of one batch may take to write, and how many bytes its files' writes may
# come to: every file of a batch is kept from its readers until the batch ends, and a reader waits
# for it (``locks.swap_wait``). On a disk whose fsync or writes take long, a batch is one file, as a
# commit was before batches.
_BATCH_SECONDS = 0.05
_BATCH_BYTES = 1 << 20


def commit_together(bundle_path, overlays):
    """Commit the changes of several files of one bundle path, each as ``commit`` says, in batches
    that share the opening of the journal directory and its fsyncs: every journal of a batch is
    durable before any of its files changes, every file before any of its journals goes. A file a
    reader holds is set aside and committed after the others, all of them waiting for their
    readers together, so that a reader holding one file while it waits for another is not kept
    waiting on both. [(overlay, exception)] for the files not changed; each is closed."""
    from vantorel.bundle import locks

    failed, held = [], []
    try:
        wait = locks.swap_wait()
        left = list(overlays)
        alone = len(left) == 1
        while left:
            left = _commit_batch(bundle_path, left, failed, held, wait if alone else 0, not alone)
        # The reader's wait is shared by the files set aside, counting only the time spent waiting.
        for overlay in held:
            _commit_batch(bundle_path, [overlay], failed, [], wait, False)
            wait = max(wait - overlay.waited, 0)
    except BaseException:
        for overlay in overlays:
            overlay.close()
        raise
    return failed


def _commit_batch(bundle_path, overlays, failed, held, wait, set_aside):
    """Steps 1 to 3 of the module text for the first of ``overlays``, as many as fit in a batch;
    the failures go to ``failed``, files readers hold (when ``set_aside``) to ``held``; returns the
    overlays not reached."""
    left = list(overlays)
    ready, directory = [], None
    started, size = time.monotonic(), 0
    try:
        while left and (not ready or (time.monotonic() - started < _BATCH_SECONDS and size < _BATCH_BYTES)):
            overlay = left.pop(0)
            try:
                change = overlay._prepare(wait, set_aside)
                if change is None:
                    continue
                if directory is None:
                    try:
                        directory, place = _journal_directory(bundle_path)
                    except OSError as exc:
                        raise nofollow.naming(exc, overlay.path) from None
                target, writes, ranges = change
                name, journal_size = overlay._write_journal(bundle_path, directory, place, ranges)
            except _ReadersStay:
                held.append(overlay)
                continue
            except Exception as exc:
                overlay.close()
                failed.append((overlay, exc))
                continue
            written = sum(len(data) for _offset, data in writes)
            ready.append((overlay, target, writes, name, written + journal_size))
            size += written
        if ready:
            failed += _apply_batch(directory, ready)
    finally:
        for overlay, *_change in ready:
            overlay.close()  # and with the descriptor, the file's lock
        if directory is not None:
            directory.close()
    return left


def _journal_directory(bundle_path):
    """(the journal directory, made if missing, open; the bundle path's stat)."""
    with nofollow.Dir.at(bundle_path) as top:
        return journal.writable_directory(bundle_path, top), top.stat()


def _apply_batch(directory, ready):
    """Steps 2 and 3 for the files whose journals are written (overlay, target, writes, journal
    name, bytes the commit writes, journal included); [(overlay, exception)] for those not changed."""
    failed = []
    try:
        directory.fsync()
    except OSError as exc:
        for _overlay, _target, _writes, name, _size in ready:  # no file touched yet
            with contextlib.suppress(OSError):
                directory.unlink(name)
        return [(overlay, nofollow.naming(exc, overlay.path)) for overlay, *_rest in ready]
    changed = []
    for overlay, target, writes, name, size in ready:
        try:
            overlay._apply(target, writes, directory, name)
        except Exception as exc:
            failed.append((overlay, exc))
            continue
        try:
            directory.unlink(name)
        except OSError as exc:
            failed.append((overlay, nofollow.naming(exc, overlay.path)))
            continue
        changed.append(overlay)
        overlay.committed_bytes = size
    try:
        directory.fsync()
    except OSError as exc:
        return failed + [(overlay, nofollow.naming(exc, overlay.path)) for overlay in changed]
    for overlay in changed:
        overlay._starts, overlay._segments = [], {}
    return failed


def _exclude_readers(target, path, wait, set_aside):
    """The file's lock, held until it is closed, after the journal is gone: a reader (who holds it
    shared while the file is open) gets the file before this change or after it. A reader still
    there after ``wait`` seconds: ``_ReadersStay`` when ``set_aside``, else the refusal."""
    from vantorel.bundle import locks

    try:
        import fcntl  # noqa: F401
    except ImportError:
        return  # Windows: no reader works beside a writer there
    try:
        locks.flock_within(target, True, wait, None)
    except BlockingIOError:
        if set_aside:
            raise _ReadersStay() from None
        from vantorel.errors import VantorelError

        raise VantorelError(f"数据文件 {path} 正被读取，等了 {locks.swap_wait():g} 秒仍未读完，未写入；"
                            "请等读取结束后重新运行") from None


def _runs(indices, gap=64):
    """[start, end) runs covering sorted byte indices, runs closer than ``gap`` joined."""
    if not len(indices):
        return []
    import numpy as np

    breaks = np.flatnonzero(np.diff(indices) > gap)
    starts = np.concatenate((indices[:1], indices[breaks + 1]))
    ends = np.concatenate((indices[breaks], indices[-1:])) + 1
    return list(zip(starts.tolist(), ends.tolist()))

