"""Unpacking an archive the user has on disk, trusting nothing inside it.

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
"""
import errno
import os
import re
import stat
from typing import NamedTuple

from vantorel.errors import VantorelError

_GIB = 1 << 30
_MIB = 1 << 20

_CHUNK = 1 * _MIB
_MAX_NAME = 4096
_MAX_DEPTH = 16
# Real extended headers hold a path, a link target, times and a few attributes: a few KiB at most.
MAX_HEADER = 64 * 1024
MAX_HEADER_CHAIN = 4
# A run of digits longer than this in pax records serves no real header and makes tarfile slow.
_MAX_DIGIT_RUN = 64


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


class Refused(Exception):
    """A member (None: the archive as a whole) that the archive must not be installed with;
    turned into a VantorelError once."""

    def __init__(self, member, reason):
        super().__init__(reason)
        self.member = member
        self.reason = reason


class Corrupt(Exception):
    pass


_DRIVE = re.compile(r"^[A-Za-z]:")


def member_parts(name, directory=False):
    """The path parts of a member name, or Refused when the name could point anywhere else.

    A directory member naming the root itself ("./", as "tar -C dir ." writes) gives ().
    """
    if not name or "\x00" in name:
        raise Refused(name, "名称为空或含有空字符")
    if len(name) > _MAX_NAME:
        raise Refused(name[:80] + "...", "名称过长")
    if name.startswith(("/", "\\")) or _DRIVE.match(name):
        raise Refused(name, "是绝对路径")
    parts = [part for part in re.split(r"[\\/]+", name) if part not in ("", ".")]
    if ".." in parts:
        raise Refused(name, "含有“..”，会写到 bundle 目录之外")
    if os.name == "nt" and any(":" in part for part in parts):
        raise Refused(name, "含有“:”")
    if not parts:
        if directory:
            return ()
        raise Refused(name, "不指向任何文件")
    if len(parts) > _MAX_DEPTH:
        raise Refused(name, "目录层级过深")
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


class Writer:
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
            raise Refused(None, "解压后的数据超过上限 {}".format(human_size(limits.max_total_bytes)))
        if self.streamed > limits.ratio_floor and self.streamed > limits.max_ratio * max(self.archive_size, 1):
            raise Refused(None, "解压后的数据超过压缩包的 {:g} 倍（疑似压缩炸弹）".format(limits.max_ratio))

    def admit(self, name, declared_size=0, directory=False):
        """Count a member against the caps before a byte of it is written; its path parts."""
        parts = member_parts(name, directory)
        self.members += 1
        limits = self.limits
        if self.members > limits.max_members:
            raise Refused(name, "之后成员数超过上限 {}".format(limits.max_members))
        self.total += max(declared_size, 0)
        if self.total > limits.max_total_bytes:
            raise Refused(name, "之后解压总大小超过上限 {}".format(human_size(limits.max_total_bytes)))
        if self.total > limits.ratio_floor and self.total > limits.max_ratio * max(self.archive_size, 1):
            raise Refused(name, "之后解压大小超过压缩包的 {:g} 倍（疑似压缩炸弹）".format(limits.max_ratio))
        key = tuple(part.casefold() for part in parts)  # case-blind file systems collide too
        for depth in range(1, len(key) + (1 if directory else 0)):
            self.implied.add(key[:depth])
        if len(self.implied) > limits.max_directories:
            raise Refused(name, "之后目录数超过上限 {}".format(limits.max_directories))
        if not key:
            return parts
        if key in self.seen:
            raise Refused(name, "重复出现")
        self.seen.add(key)
        return parts

    def _target(self, name, parts):
        target = os.path.join(self.root, *parts)
        # No link is ever created, so this holds by construction; it is kept as the last word.
        if os.path.commonpath([self.root, os.path.realpath(target)]) != self.root:
            raise Refused(name, "会写到 bundle 目录之外")
        return target

    def directory(self, name, parts):
        target = self._target(name, parts)
        try:
            os.makedirs(target, exist_ok=True)
        except FileExistsError:
            raise Refused(name, "与同名文件冲突") from None
        except OSError as exc:
            raise _write_error(exc, target) from None
        self.directories += 1

    def file(self, name, parts, source, declared_size):
        target = self._target(name, parts)
        try:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            out = open(target, "xb")
        except FileExistsError:
            raise Refused(name, "与同名文件或目录冲突") from None
        except NotADirectoryError:
            raise Refused(name, "所在目录与同名文件冲突") from None
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
                    raise Refused(name, "解压出的数据多于它声明的大小")
                try:
                    out.write(chunk)
                except OSError as exc:
                    raise _write_error(exc, target) from None
                self.tick()
        if written != declared_size:
            raise Corrupt("成员 {!r} 的数据不完整".format(name))
        self.files += 1


def human_size(n):
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
        raise Corrupt("扩展头中有过长的数字串")
    pos, end = 0, len(data)
    while pos < end:
        space = data.find(b" ", pos, pos + 21)
        digits = data[pos:space]
        if space < 0 or not digits.isdigit():
            raise Corrupt("扩展头记录的长度无效")
        length = int(digits)
        record = data[pos:pos + length]
        if length <= space - pos + 1 or pos + length > end or not record.endswith(b"\n") or \
                b"=" not in record[space - pos + 2:]:
            raise Corrupt("扩展头记录格式无效")
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
                raise Corrupt("头部损坏或不完整（{}）".format(exc)) from None
            if info.type in extended:
                # tarfile reads such a header's data in one piece, sized by the header itself.
                if info.size > MAX_HEADER:
                    raise Refused(None, "含有 {} 的扩展头，超过上限 {}".format(human_size(info.size), human_size(MAX_HEADER)))
                state.chain += 1
                if state.chain > MAX_HEADER_CHAIN:
                    raise Refused(None, "一个成员前有超过 {} 个扩展头".format(MAX_HEADER_CHAIN))
            else:
                state.chain = 0
            return info

        def _proc_pax(self, tf):
            # Read the records first and check them; tarfile then parses them from a replay.
            source = tf.fileobj
            data = source.read(self._block(self.size))
            if len(data) < self.size:
                raise Corrupt("扩展头不完整")
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
            raise Corrupt("扩展头读取异常")
        return self.source.read(size)

    def tell(self):
        return self.source.tell()

    def seek(self, position):
        return self.source.seek(position)


def _check_end(tf):
    """The second zero block of the end-of-archive marker, and only zeros after it."""
    import tarfile

    if tf.fileobj.read(tarfile.BLOCKSIZE) != tarfile.NUL * tarfile.BLOCKSIZE:
        raise Corrupt("缺少结束标记，压缩包可能被截断")
    while True:
        chunk = tf.fileobj.read(_CHUNK)
        if not chunk:
            return
        if chunk.count(0) != len(chunk):
            raise Corrupt("结束标记之后还有数据")


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


def unpack_tar(raw, compression, writer):
    import tarfile

    # Stream mode: members are read strictly in order, so the caps hold as they are passed
    # and a bomb is stopped after at most one cap's worth of decompression.
    source = _Counted(_decompressed(raw, compression), writer)
    state = _TarState()
    with tarfile.open(fileobj=source, mode="r|", tarinfo=_checked_tarinfo(state)) as tf:
        for member in tf:
            if member.issym() or member.islnk():
                raise Refused(member.name, "是链接（指向 {!r}）".format(member.linkname))
            if member.ischr() or member.isblk():
                raise Refused(member.name, "是设备文件")
            if member.isfifo():
                raise Refused(member.name, "是 FIFO 管道")
            if member.issparse():
                raise Refused(member.name, "是稀疏文件")
            if member.isdir():
                parts = writer.admit(member.name, directory=True)
                if parts:
                    writer.directory(member.name, parts)
            elif member.isreg():
                parts = writer.admit(member.name, member.size)
                writer.file(member.name, parts, tf.extractfile(member), member.size)
            else:
                raise Refused(member.name, "是不支持的成员类型")
            writer.tick()
        if not state.end_marker:
            raise Corrupt("缺少结束标记，压缩包可能被截断")
        _check_end(tf)


def _check_zip_end(raw):
    """A zip must end with its end-of-central-directory record (and the comment it declares):
    zipfile reads one that bytes were appended after, or that was cut from a longer archive."""
    size = raw.seek(0, os.SEEK_END)
    raw.seek(max(size - (1 << 16) - 22, 0))
    tail = raw.read()
    at = tail.rfind(b"PK\x05\x06")
    if at < 0 or at + 22 > len(tail) or at + 22 + int.from_bytes(tail[at + 20:at + 22], "little") != len(tail):
        raise Corrupt("中央目录之后还有数据，或中央目录不完整")
    raw.seek(0)


def unpack_zip(raw, writer):
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
                raise Refused(info.filename, "是符号链接")
            if kind in (stat.S_IFCHR, stat.S_IFBLK):
                raise Refused(info.filename, "是设备文件")
            if kind == stat.S_IFIFO:
                raise Refused(info.filename, "是 FIFO 管道")
            if kind not in (0, stat.S_IFREG, stat.S_IFDIR):
                raise Refused(info.filename, "是不支持的成员类型")
            if info.flag_bits & 0x1:
                raise Refused(info.filename, "已加密")
            admitted.append((info, parts))
        for info, parts in admitted:
            if info.is_dir():
                if parts:
                    writer.directory(info.filename, parts)
            else:
                with zf.open(info) as source:
                    writer.file(info.filename, parts, source, info.file_size)
            writer.tick()


def is_read_error(exc):
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
