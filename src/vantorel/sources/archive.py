"""Installing a bundle from an archive the user has on disk, trusting nothing inside it.

The archive is unpacked into a staged directory inside the bundle path, and its layout
directories are swapped in only when every member has been written (see ``staging``), so a
refused, corrupt or interrupted archive leaves the bundle path exactly as it was. What else
the bundle path holds (``quarantine``, the user's files) is never touched.

Every member is checked before anything of it is written:

- its name is relative, holds no ".." part, no NUL, no drive letter, and stays inside the
  staged directory once joined to it (tar and zip names both treat "\\" as a separator);
- it is a regular file or a directory: symbolic links, hard links, devices, fifos, sockets
  and anything else are refused, whatever they point at;
- no name appears twice (a later member would silently replace an earlier one);
- the archive holds at most ``max_members`` members, unpacks to at most ``max_total_bytes``,
  and, once past ``ratio_floor`` bytes, to at most ``max_ratio`` times its own size on disk.
  The sizes are those the members declare, and each file's bytes are counted while they are
  copied, so a member that unpacks to more than it declared is refused too. A tar is also
  decompressed by this module rather than by tarfile, and every byte tarfile reads (headers
  and padding included) counts against the same two caps;
- an extended tar header (long name, long link, pax records), which tarfile reads whole into
  memory, may declare at most ``MAX_HEADER`` bytes, at most ``MAX_HEADER_CHAIN`` of them may
  precede one member, and pax records are checked by a linear reader of our own before
  tarfile's parser (which slows down quadratically on some malformed records) sees them.

An archive counts as complete only when its reader reached the end: for a tar, the two zero
blocks of the end-of-archive marker, with nothing but zeros after them (tarfile itself stops
quietly at a header it cannot read, which would install a cut-short archive as whole); for a
zip, the central directory and every member's CRC. Every member's bytes must be there in full.

The bundle inside is found by its layout: the one directory, at the top or under wrapping
directories ("tar czf b.tar.gz -C ~/.vantorel bundle" wraps the bundle path in "bundle/"),
that holds ``bundle/instruments.h5``, ``bundle/trading_dates.h5``, ``bundle/daybar/*.h5`` or
``minbar/<category>/*.h5`` / ``tick/<category>/*.h5``. Two such directories are ambiguous and
refused. Before anything is swapped in, every ".h5" file of its layout directories must open as
a bundle file of the kind its place says; a file of any other kind, or at a place the layout
does not have, is refused by name.
"""
import contextlib
import errno
import os
import re
import stat
from typing import NamedTuple

import click

from vantorel.bundle import locks, staging
from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import storage
from vantorel.ombrel.sdk.const import TAG_MAP
from vantorel.progress import progress
from vantorel.sources import csv_import

_GIB = 1 << 30
_MIB = 1 << 20

# Big archives get a progress bar on a terminal; small ones unpack before one would be seen.
PROGRESS_FLOOR = 16 * _MIB
_CHUNK = 1 * _MIB
_MAX_NAME = 4096
_MAX_DEPTH = 16
# Real extended headers hold a path, a link target, times and a few attributes: a few KiB at most.
MAX_HEADER = 64 * 1024
MAX_HEADER_CHAIN = 4
# A run of digits longer than this in pax records serves no real header and makes tarfile slow.
_MAX_DIGIT_RUN = 64
# How deep wrapping directories may put the bundle inside an archive.
_MAX_WRAP = 3
# The staged directory the archive is unpacked into, before its bundle is lifted to the top.
_UNPACKED = "unpacked"


class ArchiveLimits(NamedTuple):
    max_members: int = 200_000
    max_total_bytes: int = 64 * _GIB
    # HDF5 bars compress about 3 to 10 times; a ratio above this is a bomb, not market data.
    max_ratio: float = 200.0
    # Small archives of empty or zero-filled files compress far better than real data does.
    ratio_floor: int = 256 * _MIB
    # A bundle has a few dozen directories; each one a member name implies costs as much as a file.
    max_directories: int = 2_000


DEFAULT_LIMITS = ArchiveLimits()


class InstallResult(NamedTuple):
    files: int
    directories: int
    bytes: int
    unwrapped: str  # the top-level directory that was unwrapped, or ""


class _Refused(Exception):
    """A member (None: the archive as a whole) that the archive must not be installed with;
    turned into a VantorelError once."""

    def __init__(self, member, reason):
        super().__init__(reason)
        self.member = member
        self.reason = reason


class _Corrupt(Exception):
    pass


_DRIVE = re.compile(r"^[A-Za-z]:")


def member_parts(name, directory=False):
    """The path parts of a member name, or _Refused when the name could point anywhere else.

    A directory member naming the root itself ("./", as "tar -C dir ." writes) gives ().
    """
    if not name or "\x00" in name:
        raise _Refused(name, "名称为空或含有空字符")
    if len(name) > _MAX_NAME:
        raise _Refused(name[:80] + "...", "名称过长")
    if name.startswith(("/", "\\")) or _DRIVE.match(name):
        raise _Refused(name, "是绝对路径")
    parts = [part for part in re.split(r"[\\/]+", name) if part not in ("", ".")]
    if ".." in parts:
        raise _Refused(name, "含有“..”，会写到 bundle 目录之外")
    if os.name == "nt" and any(":" in part for part in parts):
        raise _Refused(name, "含有“:”")
    if not parts:
        if directory:
            return ()
        raise _Refused(name, "不指向任何文件")
    if len(parts) > _MAX_DEPTH:
        raise _Refused(name, "目录层级过深")
    return tuple(parts)


def detect_format(path):
    """"gz", "bz2", "xz", "tar" or "zip" by the file's first bytes; None when none of them."""
    with open(path, "rb") as f:
        head = f.read(512)
    if head.startswith(b"\x1f\x8b"):
        return "gz"
    if head.startswith(b"BZh"):
        return "bz2"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    if head[:4] in (b"PK\x03\x04", b"PK\x05\x06", b"PK\x07\x08"):
        return "zip"
    if head[257:262] == b"ustar":
        return "tar"
    return None


class _Writer:
    """Writes checked members under root and keeps the running counts the caps apply to."""

    def __init__(self, root, limits, archive_size, tick):
        self.root = os.path.realpath(root)
        self.limits = limits
        self.archive_size = archive_size
        self.tick = tick
        self.members = 0
        self.files = 0
        self.directories = 0
        self.total = 0
        self.streamed = 0
        self.seen = set()
        self.implied = set()  # every directory the names admitted so far make

    def stream(self, size):
        """Count bytes the archive decompressed to, whatever they hold, against the caps."""
        self.streamed += size
        limits = self.limits
        if self.streamed > limits.max_total_bytes:
            raise _Refused(None, "解压后的数据超过上限 {}".format(_human(limits.max_total_bytes)))
        if self.streamed > limits.ratio_floor and self.streamed > limits.max_ratio * max(self.archive_size, 1):
            raise _Refused(None, "解压后的数据超过压缩包的 {:g} 倍（疑似压缩炸弹）".format(limits.max_ratio))

    def admit(self, name, declared_size=0, directory=False):
        """Count a member against the caps before a byte of it is written; its path parts."""
        parts = member_parts(name, directory)
        self.members += 1
        limits = self.limits
        if self.members > limits.max_members:
            raise _Refused(name, "之后成员数超过上限 {}".format(limits.max_members))
        self.total += max(declared_size, 0)
        if self.total > limits.max_total_bytes:
            raise _Refused(name, "之后解压总大小超过上限 {}".format(_human(limits.max_total_bytes)))
        if self.total > limits.ratio_floor and self.total > limits.max_ratio * max(self.archive_size, 1):
            raise _Refused(name, "之后解压大小超过压缩包的 {:g} 倍（疑似压缩炸弹）".format(limits.max_ratio))
        key = tuple(part.casefold() for part in parts)  # case-blind file systems collide too
        for depth in range(1, len(key) + (1 if directory else 0)):
            self.implied.add(key[:depth])
        if len(self.implied) > limits.max_directories:
            raise _Refused(name, "之后目录数超过上限 {}".format(limits.max_directories))
        if not key:
            return parts
        if key in self.seen:
            raise _Refused(name, "重复出现")
        self.seen.add(key)
        return parts

    def _target(self, name, parts):
        target = os.path.join(self.root, *parts)
        # No link is ever created, so this holds by construction; it is kept as the last word.
        if os.path.commonpath([self.root, os.path.realpath(target)]) != self.root:
            raise _Refused(name, "会写到 bundle 目录之外")
        return target

    def directory(self, name, parts):
        target = self._target(name, parts)
        try:
            os.makedirs(target, exist_ok=True)
        except FileExistsError:
            raise _Refused(name, "与同名文件冲突") from None
        except OSError as exc:
            raise _write_error(exc, target) from None
        self.directories += 1

    def file(self, name, parts, source, declared_size):
        target = self._target(name, parts)
        try:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            out = open(target, "xb")
        except FileExistsError:
            raise _Refused(name, "与同名文件或目录冲突") from None
        except NotADirectoryError:
            raise _Refused(name, "所在目录与同名文件冲突") from None
        except OSError as exc:
            raise _write_error(exc, target) from None
        written = 0
        with out:
            while True:
                chunk = source.read(_CHUNK)
                if not chunk:
                    break
                written += len(chunk)
                if written > declared_size:
                    # Declared sizes are what the caps were checked against; never trust more.
                    raise _Refused(name, "解压出的数据多于它声明的大小")
                try:
                    out.write(chunk)
                except OSError as exc:
                    raise _write_error(exc, target) from None
                self.tick()
        if written != declared_size:
            raise _Corrupt("成员 {!r} 的数据不完整".format(name))
        self.files += 1


def _human(n):
    if n < 1024:
        return "{} B".format(n)
    for unit in ("KiB", "MiB", "GiB", "TiB"):
        n /= 1024
        if n < 1024 or unit == "TiB":
            return "{:.1f} {}".format(n, unit)


def _write_error(exc, target):
    if exc.errno == errno.ENOSPC:
        return VantorelError("磁盘空间不足，无法解压到 {}；原 bundle 未作任何改动".format(os.path.dirname(target)))
    return VantorelError("写入 {} 失败：{}；原 bundle 未作任何改动".format(target, exc.strerror or exc))


class _Counted:
    """The decompressed archive as tarfile reads it, each byte counted before tarfile gets it."""

    def __init__(self, source, writer):
        self.source = source
        self.writer = writer

    def read(self, size=-1):
        data = self.source.read(size)
        self.writer.stream(len(data))
        return data


def check_pax_records(data):
    """Refuse pax records that are not all well formed ("<length> <keyword>=<value>\n"), in one
    linear pass; tarfile's own parser is quadratic on some malformed input."""
    if re.search(rb"\d{%d}" % (_MAX_DIGIT_RUN + 1), data):
        raise _Corrupt("扩展头中有过长的数字串")
    pos, end = 0, len(data)
    while pos < end:
        space = data.find(b" ", pos, pos + 21)
        digits = data[pos:space]
        if space < 0 or not digits.isdigit():
            raise _Corrupt("扩展头记录的长度无效")
        length = int(digits)
        record = data[pos:pos + length]
        if length <= space - pos + 1 or pos + length > end or not record.endswith(b"\n") or \
                b"=" not in record[space - pos + 2:]:
            raise _Corrupt("扩展头记录格式无效")
        pos += length


class _TarState:
    """What the header reader saw: whether it reached the end-of-archive marker."""

    def __init__(self):
        self.end_marker = False
        self.chain = 0


def _checked_tarinfo(state):
    import tarfile

    extended = (tarfile.GNUTYPE_LONGNAME, tarfile.GNUTYPE_LONGLINK, tarfile.XHDTYPE, tarfile.XGLTYPE,
                tarfile.SOLARIS_XHDTYPE)

    class CheckedTarInfo(tarfile.TarInfo):
        @classmethod
        def frombuf(cls, buf, encoding, errors):
            try:
                info = super().frombuf(buf, encoding, errors)
            except tarfile.EOFHeaderError:
                state.end_marker = True
                raise
            except tarfile.HeaderError as exc:
                # tarfile takes a bad or cut-short header after the first for the end.
                raise _Corrupt("头部损坏或不完整（{}）".format(exc)) from None
            if info.type in extended:
                # tarfile reads such a header's data in one piece, sized by the header itself.
                if info.size > MAX_HEADER:
                    raise _Refused(None, "含有 {} 的扩展头，超过上限 {}".format(_human(info.size), _human(MAX_HEADER)))
                state.chain += 1
                if state.chain > MAX_HEADER_CHAIN:
                    raise _Refused(None, "一个成员前有超过 {} 个扩展头".format(MAX_HEADER_CHAIN))
            else:
                state.chain = 0
            return info

        def _proc_pax(self, tf):
            # Read the records first and check them; tarfile then parses them from a replay.
            source = tf.fileobj
            data = source.read(self._block(self.size))
            if len(data) < self.size:
                raise _Corrupt("扩展头不完整")
            check_pax_records(data[:self.size])
            tf.fileobj = _Replay(data, source)
            try:
                return super()._proc_pax(tf)
            finally:
                tf.fileobj = source

    return CheckedTarInfo


class _Replay:
    """The archive stream with a block already read put back in front of it."""

    def __init__(self, data, source):
        self.data = data
        self.source = source

    def read(self, size=-1):
        if self.data is not None:
            data, self.data = self.data, None
            if size == len(data):
                return data
            raise _Corrupt("扩展头读取异常")
        return self.source.read(size)

    def tell(self):
        return self.source.tell()

    def seek(self, position):
        return self.source.seek(position)


def _check_end(tf):
    """The second zero block of the end-of-archive marker, and only zeros after it."""
    import tarfile

    if tf.fileobj.read(tarfile.BLOCKSIZE) != tarfile.NUL * tarfile.BLOCKSIZE:
        raise _Corrupt("缺少结束标记，压缩包可能被截断")
    while True:
        chunk = tf.fileobj.read(_CHUNK)
        if not chunk:
            return
        if chunk.count(0) != len(chunk):
            raise _Corrupt("结束标记之后还有数据")


def _decompressed(raw, compression):
    if compression == "gz":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")
    if compression == "bz2":
        import bz2

        return _Streams(raw, bz2.BZ2Decompressor)
    if compression == "xz":
        import lzma

        return _Streams(raw, lzma.LZMADecompressor)
    return raw


class _Streams:
    """A bz2 or xz file read as one or more whole streams. BZ2File and LZMAFile ignore bytes after
    the last stream; here bytes that start no new stream are an error like any other damage."""

    def __init__(self, raw, new_decompressor):
        self.raw = raw
        self.new_decompressor = new_decompressor
        self.decompressor = new_decompressor()
        self.buffer = bytearray()
        self.finished = False

    def _fill(self):
        if self.decompressor.eof:
            rest = self.decompressor.unused_data or self.raw.read(_CHUNK)
            if not rest:
                self.finished = True
                return
            self.decompressor = self.new_decompressor()  # the next stream, or garbage it refuses
            self.buffer += self.decompressor.decompress(rest, _CHUNK)
            return
        data = b""
        if self.decompressor.needs_input:
            data = self.raw.read(_CHUNK)
            if not data:
                raise EOFError("压缩数据在流结束之前就结束了")
        self.buffer += self.decompressor.decompress(data, _CHUNK)

    def read(self, size=-1):
        while (size is None or size < 0 or len(self.buffer) < size) and not self.finished:
            self._fill()
        size = len(self.buffer) if size is None or size < 0 else size
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data


def _unpack_tar(raw, compression, writer):
    import tarfile

    # Stream mode: members are read strictly in order, so the caps hold as they are passed
    # and a bomb is stopped after at most one cap's worth of decompression.
    source = _Counted(_decompressed(raw, compression), writer)
    state = _TarState()
    with tarfile.open(fileobj=source, mode="r|", tarinfo=_checked_tarinfo(state)) as tf:
        for member in tf:
            if member.issym() or member.islnk():
                raise _Refused(member.name, "是链接（指向 {!r}）".format(member.linkname))
            if member.ischr() or member.isblk():
                raise _Refused(member.name, "是设备文件")
            if member.isfifo():
                raise _Refused(member.name, "是 FIFO 管道")
            if member.issparse():
                raise _Refused(member.name, "是稀疏文件")
            if member.isdir():
                parts = writer.admit(member.name, directory=True)
                if parts:
                    writer.directory(member.name, parts)
            elif member.isreg():
                parts = writer.admit(member.name, member.size)
                writer.file(member.name, parts, tf.extractfile(member), member.size)
            else:
                raise _Refused(member.name, "是不支持的成员类型")
            writer.tick()
        if not state.end_marker:
            raise _Corrupt("缺少结束标记，压缩包可能被截断")
        _check_end(tf)


def _check_zip_end(raw):
    """A zip must end with its end-of-central-directory record (and the comment it declares):
    zipfile reads one that bytes were appended after, or that was cut from a longer archive."""
    size = raw.seek(0, os.SEEK_END)
    raw.seek(max(size - (1 << 16) - 22, 0))
    tail = raw.read()
    at = tail.rfind(b"PK\x05\x06")
    if at < 0 or at + 22 > len(tail) or at + 22 + int.from_bytes(tail[at + 20:at + 22], "little") != len(tail):
        raise _Corrupt("中央目录之后还有数据，或中央目录不完整")
    raw.seek(0)


def _unpack_zip(raw, writer):
    import zipfile

    _check_zip_end(raw)
    with zipfile.ZipFile(raw) as zf:
        infos = zf.infolist()
        # The central directory declares everything up front: refuse a bomb before unpacking.
        admitted = []
        for info in infos:
            parts = writer.admit(info.filename, 0 if info.is_dir() else info.file_size, info.is_dir())
            kind = stat.S_IFMT(info.external_attr >> 16) if info.create_system == 3 else 0
            if kind == stat.S_IFLNK:
                raise _Refused(info.filename, "是符号链接")
            if kind in (stat.S_IFCHR, stat.S_IFBLK):
                raise _Refused(info.filename, "是设备文件")
            if kind == stat.S_IFIFO:
                raise _Refused(info.filename, "是 FIFO 管道")
            if kind not in (0, stat.S_IFREG, stat.S_IFDIR):
                raise _Refused(info.filename, "是不支持的成员类型")
            if info.flag_bits & 0x1:
                raise _Refused(info.filename, "已加密")
            admitted.append((info, parts))
        for info, parts in admitted:
            if info.is_dir():
                if parts:
                    writer.directory(info.filename, parts)
            else:
                with zf.open(info) as source:
                    writer.file(info.filename, parts, source, info.file_size)
            writer.tick()


def _is_read_error(exc):
    import lzma
    import struct
    import tarfile
    import zipfile
    import zlib

    # OSError covers gzip's BadGzipFile and bz2's "Invalid data stream"; failed writes never
    # get here, the writer turns them into their own message where they happen. The rest is what
    # the readers raise on malformed input (a bad number in a header, a name that is no UTF-8,
    # headers nested without end) instead of a format error of their own.
    return isinstance(exc, (
        tarfile.TarError, zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, lzma.LZMAError, EOFError, OSError,
        NotImplementedError, ValueError, RuntimeError, OverflowError, struct.error, IndexError, KeyError,
    ))


def _is_bundle_root(directory):
    """Whether a directory holds bundle data at the places the layout gives it."""
    base = os.path.join(directory, storage.BUNDLE_DIR_NAME)
    if any(os.path.isfile(os.path.join(base, name)) for name in (storage.INSTRUMENTS_FILE, storage.TRADING_DATES_FILE)):
        return True
    if next(storage.iter_daybar_files(base), None) is not None:
        return True
    return any(next(files, None) is not None
               for files in (storage.iter_minbar_files(directory), storage.iter_tick_files(directory)))


def _find_bundle_root(top):
    """The one directory under ``top`` that holds a bundle; _Refused when there are several."""
    roots = []

    def visit(directory, depth):
        if _is_bundle_root(directory):
            roots.append(directory)
            return
        if depth < _MAX_WRAP:
            for name in sorted(os.listdir(directory)):
                path = os.path.join(directory, name)
                if os.path.isdir(path):
                    visit(path, depth + 1)

    visit(top, 0)
    if len(roots) > 1:
        found = "、".join(os.path.relpath(root, top).replace(os.sep, "/") + "/" for root in roots[:5])
        raise _Refused(None, "含有多份 bundle 数据（{}），无法确定安装哪一份".format(found))
    return roots[0] if roots else None


def _layout_places(root):
    """(member name, kind) of every entry of the layout directories under ``root``; kind is None
    for a place the layout does not have. Directories give kind "directory"."""
    for name in staging.LAYOUT:
        top = os.path.join(root, name)
        for dirpath, dirnames, filenames in os.walk(top):
            for entry in sorted(dirnames) + sorted(filenames):
                parts = os.path.relpath(os.path.join(dirpath, entry), root).split(os.sep)
                directory = entry in dirnames
                yield "/".join(parts), _kind_of_place(parts, directory)


def _kind_of_place(parts, directory):
    categories = set(TAG_MAP)
    if parts[0] == storage.BUNDLE_DIR_NAME:
        if directory:
            return "directory" if parts[1:] == [storage.DAYBAR_DIR_NAME] else None
        if parts[1:] == [storage.INSTRUMENTS_FILE]:
            return "instruments"
        if parts[1:] == [storage.TRADING_DATES_FILE]:
            return "trading_dates"
        if parts[1:] in (["ex_factors.h5"], ["suspended.h5"]):
            return parts[1][:-3]
        if len(parts) == 3 and parts[1] == storage.DAYBAR_DIR_NAME and parts[2][:-3] in categories and \
                parts[2].endswith(".h5"):
            return "daybar"
        return None
    if directory:
        return "directory" if len(parts) == 2 and parts[1] in categories else None
    if len(parts) == 3 and parts[2].endswith(".h5") and len(parts[2]) > 3:
        return parts[0]  # minbar or tick
    return None


def _validate_layout(root):
    """Refuse, by name, anything in the layout directories that is not a bundle file of the kind
    its place says: a file that is no bundle file, or any entry at a place the layout lacks."""
    for name, kind in _layout_places(root):
        if kind is None:
            raise _Refused(name, "不在 bundle 布局中的任何位置（应为 bundle/instruments.h5、bundle/daybar/<类别>.h5、"
                                 "minbar/<类别>/<代码>.h5 等，<类别> 为 {}）".format("、".join(TAG_MAP)))
        if kind == "directory":
            continue
        parts = name.split("/")
        category, code = (parts[1], parts[2][:-3]) if kind in ("minbar", "tick") else (None, None)
        reason = storage.validate_file(os.path.join(root, *parts), kind, category, code)
        if reason is not None:
            raise _Refused(name, "不是有效的 bundle 数据文件（{}）".format(reason))


def _lift_bundle(unpacked, root, stage):
    """Move the layout directories of ``root`` to the top of ``stage``; what else the archive held
    is dropped with ``unpacked``. Returns (files installed, bytes installed, files dropped, a few
    of their names)."""
    for name in staging.LAYOUT:
        path = os.path.join(root, name)
        if os.path.isdir(path):
            os.rename(path, os.path.join(stage, name))
    files = size = 0
    for name in staging.LAYOUT:
        for dirpath, _dirnames, filenames in os.walk(os.path.join(stage, name)):
            files += len(filenames)
            size += sum(os.path.getsize(os.path.join(dirpath, f)) for f in filenames)
    dropped = []
    for dirpath, _dirnames, filenames in os.walk(unpacked):
        # The kit's own files (a bundle path's lock, say) come along with any packed bundle path.
        dropped += [os.path.relpath(os.path.join(dirpath, f), unpacked).replace(os.sep, "/")
                    for f in filenames if f != locks.LOCK_NAME]
    staging.remove_tree(unpacked)
    return files, size, len(dropped), sorted(dropped)[:3]


@contextlib.contextmanager
def _progress(raw, length, label):
    """A tick() that moves a bar by how far into the archive file the reader has got."""
    with progress(label, length=length, floor=PROGRESS_FLOOR) as bar:
        shown = [0]

        def tick():
            position = raw.tell()
            if position > shown[0]:
                bar.update(position - shown[0])
                shown[0] = position

        yield tick


def _check_source(file_path):
    if not isinstance(file_path, (str, os.PathLike)) or not os.fspath(file_path):
        raise VantorelError("未指定压缩文件")
    path = os.fspath(file_path)
    if not os.path.exists(path):
        raise VantorelError("压缩文件 {} 不存在".format(path))
    if os.path.isdir(path):
        if not os.access(path, os.R_OK | os.X_OK):
            # Unreadable, it would look like a folder without instruments.csv.
            raise VantorelError("无法读取目录 {}：没有权限；请检查它的权限后重试，原 bundle 未作任何改动".format(path))
        if csv_import.is_csv_layout(path):
            return path, "csv"
        raise VantorelError("{} 是目录，其中也没有 instruments.csv：既不是压缩文件，也不是 CSV 数据目录；"
                            "原 bundle 未作任何改动".format(path))
    if not os.path.isfile(path):
        raise VantorelError("{} 不是普通文件".format(path))
    try:
        kind = detect_format(path)
    except OSError as exc:
        raise VantorelError("无法读取压缩文件 {}：{}".format(path, exc.strerror or exc)) from None
    if kind is None:
        raise VantorelError("无法识别 {} 的压缩格式（支持 tar.gz、tar.bz2、tar.xz、tar 与 zip）；原 bundle 未作任何改动".format(path))
    return path, kind


def install_archive(file_path, data_bundle_path, limits=DEFAULT_LIMITS):
    """Replace the layout directories of the bundle path with those of a local archive; see the
    module text.

    Raises VantorelError, leaving the bundle path untouched, when the archive is missing,
    unreadable, of an unknown format, corrupt, or holds a member that is refused, and when the
    bundle path holds files but no bundle.
    """
    path, kind = _check_source(file_path)
    bundle = locks.resolve(data_bundle_path)
    for name in staging.LAYOUT + (staging.PREVIOUS,):
        replaced = os.path.join(bundle, name)
        if os.path.commonpath([replaced, os.path.realpath(path)]) == replaced:
            # The swap removes the old directory, and the archive with it.
            raise VantorelError("压缩文件 {} 位于将被替换的目录 {} 之中，请先把它移到别处".format(path, replaced))
    if kind == "csv":
        return _install_csv(path, bundle)
    size = os.path.getsize(path)
    label = "解压 {}".format(os.path.basename(path))
    converted = None
    try:
        with staging.staged_bundle(bundle) as swap, open(path, "rb") as raw, _progress(raw, size, label) as tick:
            unpacked = os.path.join(swap.path, _UNPACKED)
            os.mkdir(unpacked)
            writer = _Writer(unpacked, limits, size, tick)
            try:
                if kind == "zip":
                    _unpack_zip(raw, writer)
                else:
                    _unpack_tar(raw, "" if kind == "tar" else kind, writer)
            except (_Refused, _Corrupt, VantorelError):
                raise
            except Exception as exc:
                if _is_read_error(exc):
                    raise _Corrupt(getattr(exc, "strerror", None) or str(exc) or type(exc).__name__) from None
                raise
            if writer.files == 0:
                raise _Corrupt("压缩包中没有任何文件")
            root = _find_bundle_root(unpacked)
            csv_root = _find_csv_root(unpacked) if root is None else None
            if root is None and csv_root is None:
                # Installing it would throw the user's bundle away for something that is none.
                raise VantorelError(
                    "压缩文件 {} 中没有 bundle 数据（应有 bundle/instruments.h5，或 minbar/<类别>/、tick/<类别>/ "
                    "下的 .h5 文件），也没有 CSV 数据（instruments.csv）；原 bundle 未作任何改动".format(path)
                )
            if csv_root is not None:
                converted = _convert(csv_root, swap.path, unpacked, path)
                staging.remove_tree(unpacked)
                _validate_layout(swap.path)
            else:
                _validate_layout(root)
                unwrapped = os.path.relpath(root, unpacked).replace(os.sep, "/")
                unwrapped = "" if unwrapped == "." else unwrapped
                files, size, dropped, examples = _lift_bundle(unpacked, root, swap.path)
    except _Refused as refused:
        what = refused.reason if refused.member is None else "成员 {!r} {}".format(refused.member, refused.reason)
        raise VantorelError("已拒绝压缩文件 {}：{}；原 bundle 未作任何改动".format(path, what)) from None
    except _Corrupt as corrupt:
        raise VantorelError("压缩文件 {} 已损坏或不完整（{}）；原 bundle 未作任何改动".format(path, corrupt)) from None
    if converted is not None:
        click.echo(_converted_text(path, bundle, converted, swap))
        return converted
    result = InstallResult(files, writer.directories, size, unwrapped)
    note = swap.note()
    if dropped:
        note += "；压缩包中另有 {} 个文件不属于 bundle，未安装（如 {}）".format(dropped, "、".join(examples))
    click.echo("已将 {} 解压到 {}：{} 个文件，共 {}{}".format(path, bundle, result.files, _human(result.bytes), note))
    return result


def _find_csv_root(top):
    """The directory under ``top`` (at most a few wrapping directories down) holding a CSV layout."""
    for dirpath, dirnames, _files in os.walk(top):
        if csv_import.is_csv_layout(dirpath):
            return dirpath
        if os.path.relpath(dirpath, top).count(os.sep) >= _MAX_WRAP:
            dirnames[:] = []
    return None


def _convert(source, target, unpacked=None, archive=None):
    try:
        return csv_import.Converted(*csv_import.convert(source, target, lambda text: click.echo(text, err=True)))
    except csv_import.CsvError as exc:
        message = exc.format_message()
        if unpacked is not None:
            # The staging copy is gone when the user reads this: name the member of the archive.
            message = message.replace(unpacked + os.sep, "{} 中的 ".format(archive))
        raise VantorelError(f"{message}；原 bundle 未作任何改动") from None


def _converted_text(source, bundle, counts, swap):
    instruments, daily, minutes = counts
    return "已将 CSV 数据 {} 转换为 bundle，保存到 {}：{} 个合约，日线 {} 条，分钟线 {} 条{}".format(
        source, bundle, instruments, daily, minutes, swap.note())


def _install_csv(source, bundle):
    """A folder of CSV files converted into a bundle, staged, validated and swapped in as any bundle is."""
    with staging.staged_bundle(bundle) as swap:
        counts = _convert(source, swap.path)
        try:
            _validate_layout(swap.path)
        except _Refused as refused:
            raise VantorelError("转换 {} 得到的数据无效：{} {}；原 bundle 未作任何改动".format(
                source, refused.member, refused.reason)) from None
    click.echo(_converted_text(source, bundle, counts, swap))
    return counts
