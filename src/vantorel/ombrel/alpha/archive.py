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
  memory, may declare at most ``MAX_HEADER`` bytes.

An archive whose members all sit under one top-level directory is taken to be a packed bundle
path ("tar czf sample.tar.gz sample/"): that directory is unwrapped, unless its name is one
the bundle layout itself uses at the top (such as "bundle"), in which case the archive is
already a bundle path and is installed as it is. What ends up at the top must then hold at least
one of the layout's directories ("bundle", "minbar", "tick") as a directory, with at least one
".h5" file in them; anything else is refused rather than put in the place of the user's bundle.
"""
import contextlib
import errno
import os
import re
import stat
import sys
from typing import NamedTuple

import click

from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import staging, storage

_GIB = 1 << 30
_MIB = 1 << 20

# Big archives get a progress bar on a terminal; small ones unpack before one would be seen.
PROGRESS_FLOOR = 16 * _MIB
_CHUNK = 1 * _MIB
_MAX_NAME = 4096
_MAX_DEPTH = 64
MAX_HEADER = 1 * _MIB


class ArchiveLimits(NamedTuple):
    max_members: int = 200_000
    max_total_bytes: int = 64 * _GIB
    # HDF5 bars compress about 3 to 10 times; a ratio above this is a bomb, not market data.
    max_ratio: float = 200.0
    # Small archives of empty or zero-filled files compress far better than real data does.
    ratio_floor: int = 256 * _MIB


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


def _checked_tarinfo():
    import tarfile

    extended = (tarfile.GNUTYPE_LONGNAME, tarfile.GNUTYPE_LONGLINK, tarfile.XHDTYPE, tarfile.XGLTYPE,
                tarfile.SOLARIS_XHDTYPE)

    class CheckedTarInfo(tarfile.TarInfo):
        @classmethod
        def frombuf(cls, buf, encoding, errors):
            info = super().frombuf(buf, encoding, errors)
            # tarfile reads such a header's data in one piece, sized by the header itself.
            if info.type in extended and info.size > MAX_HEADER:
                raise _Refused(None, "含有 {} 的扩展头，超过上限 {}".format(_human(info.size), _human(MAX_HEADER)))
            return info

    return CheckedTarInfo


def _decompressed(raw, compression):
    if compression == "gz":
        import gzip

        return gzip.GzipFile(fileobj=raw, mode="rb")
    if compression == "bz2":
        import bz2

        return bz2.BZ2File(raw, "rb")
    if compression == "xz":
        import lzma

        return lzma.LZMAFile(raw, "rb")
    return raw


def _unpack_tar(raw, compression, writer):
    import tarfile

    # Stream mode: members are read strictly in order, so the caps hold as they are passed
    # and a bomb is stopped after at most one cap's worth of decompression.
    source = _Counted(_decompressed(raw, compression), writer)
    with tarfile.open(fileobj=source, mode="r|", tarinfo=_checked_tarinfo()) as tf:
        for member in tf:
            if member.issym() or member.islnk():
                raise _Refused(member.name, "是链接（指向 {!r}）".format(member.linkname))
            if member.ischr() or member.isblk():
                raise _Refused(member.name, "是设备文件")
            if member.isfifo():
                raise _Refused(member.name, "是 FIFO 管道")
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


def _unpack_zip(raw, writer):
    import zipfile

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
    import tarfile
    import zipfile
    import zlib

    # OSError covers gzip's BadGzipFile and bz2's "Invalid data stream"; failed writes never
    # get here, the writer turns them into their own message where they happen.
    return isinstance(
        exc,
        (tarfile.TarError, zipfile.BadZipFile, zlib.error, lzma.LZMAError, EOFError, OSError, NotImplementedError),
    )


def _layout_top_names():
    """Names that the bundle layout puts at the top of a bundle path."""
    return frozenset(
        (storage.BUNDLE_DIR_NAME, storage.MINBAR_DIR_NAME, storage.TICK_DIR_NAME, storage.QUARANTINE_DIR_NAME)
    )


def _unwrap_single_directory(stage):
    entries = os.listdir(stage)
    if len(entries) != 1:
        return ""
    (name,) = entries
    top = os.path.join(stage, name)
    if not os.path.isdir(top) or os.path.islink(top) or name in _layout_top_names():
        return ""
    # Rename first: the directory may hold an entry with its own name.
    hold = os.path.join(stage, ".unwrap-" + os.urandom(4).hex())
    os.rename(top, hold)
    for child in os.listdir(hold):
        os.rename(os.path.join(hold, child), os.path.join(stage, child))
    os.rmdir(hold)
    return name


def _holds_bundle(stage):
    # quarantine/ does not count: it holds only what a check set aside.
    for name in staging.LAYOUT:
        top = os.path.join(stage, name)
        if os.path.isdir(top) and not os.path.islink(top):
            if any(f.endswith(".h5") for _dirpath, _dirnames, files in os.walk(top) for f in files):
                return True
    return False


@contextlib.contextmanager
def _progress(raw, length, label):
    """A tick() that moves a bar by how far into the archive file the reader has got."""
    stream = sys.stderr
    if length < PROGRESS_FLOOR or not getattr(stream, "isatty", lambda: False)():
        yield lambda: None
        return
    with click.progressbar(length=length, label=label, file=stream) as bar:
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
        raise VantorelError("{} 是目录，不是压缩文件".format(path))
    if not os.path.isfile(path):
        raise VantorelError("{} 不是普通文件".format(path))
    try:
        kind = detect_format(path)
    except OSError as exc:
        raise VantorelError("无法读取压缩文件 {}：{}".format(path, exc.strerror or exc)) from None
    if kind is None:
        raise VantorelError("无法识别 {} 的压缩格式（支持 tar.gz、tar.bz2、tar.xz、tar 与 zip）".format(path))
    return path, kind


def install_archive(file_path, data_bundle_path, limits=DEFAULT_LIMITS):
    """Replace the layout directories of the bundle path with those of a local archive; see the
    module text.

    Raises VantorelError, leaving the bundle path untouched, when the archive is missing,
    unreadable, of an unknown format, corrupt, or holds a member that is refused, and when the
    bundle path holds files but no bundle.
    """
    path, kind = _check_source(file_path)
    bundle = os.path.realpath(os.path.abspath(os.fspath(data_bundle_path)))
    for name in staging.LAYOUT:
        replaced = os.path.join(bundle, name)
        if os.path.commonpath([replaced, os.path.realpath(path)]) == replaced:
            # The swap removes the old directory, and the archive with it.
            raise VantorelError("压缩文件 {} 位于将被替换的目录 {} 之中，请先把它移到别处".format(path, replaced))
    size = os.path.getsize(path)
    label = "解压 {}".format(os.path.basename(path))
    try:
        with staging.staged_bundle(bundle) as swap, open(path, "rb") as raw, _progress(raw, size, label) as tick:
            stage = swap.path
            writer = _Writer(stage, limits, size, tick)
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
            unwrapped = _unwrap_single_directory(stage)
            if not _holds_bundle(stage):
                # Installing it would throw the user's bundle away for something that is none.
                expected = "、".join(n + "/" for n in staging.LAYOUT)
                raise VantorelError(
                    "压缩文件 {} 中没有 bundle 数据（顶层应有 {} 目录，其中至少有一个 .h5 文件）；"
                    "原 bundle 未作任何改动".format(path, expected)
                )
    except _Refused as refused:
        what = refused.reason if refused.member is None else "成员 {!r} {}".format(refused.member, refused.reason)
        raise VantorelError("已拒绝压缩文件 {}：{}；原 bundle 未作任何改动".format(path, what)) from None
    except _Corrupt as corrupt:
        raise VantorelError("压缩文件 {} 已损坏或不完整（{}）；原 bundle 未作任何改动".format(path, corrupt)) from None
    result = InstallResult(writer.files, writer.directories, writer.total, unwrapped)
    note = swap.note()
    if swap.dropped:
        note += "；压缩包顶层的 {} 不属于 bundle，未安装".format("、".join(swap.dropped))
    click.echo("已将 {} 解压到 {}：{} 个文件，共 {}{}".format(path, bundle, result.files, _human(result.bytes), note))
    return result
