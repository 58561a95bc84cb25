"""Installing a bundle from an archive the user has on disk, trusting nothing inside it.

The archive is unpacked into a staged directory inside the bundle path, and its layout
directories are swapped in only when every member has been written (see ``staging``), so a
refused, corrupt or interrupted archive leaves the bundle path exactly as it was. What else
the bundle path holds (``quarantine``, the user's files) is never touched.

The archive is unpacked by ``vantorel.sources.unpack``, which checks every member before anything
of it is written.

The bundle inside is found by its layout: the one directory, at the top or under wrapping
directories ("tar czf b.tar.gz -C ~/.vantorel bundle" wraps the bundle path in "bundle/"),
that holds ``bundle/instruments.h5``, ``bundle/trading_dates.h5``, ``bundle/daybar/*.h5`` or
``minbar/<category>/*.h5`` / ``tick/<category>/*.h5``. Two such directories are ambiguous and
refused. Before anything is swapped in, every ".h5" file of its layout directories must open as
a bundle file of the kind its place says; a file of any other kind, or at a place the layout
does not have, is refused by name.
"""
import contextlib
import os
from typing import NamedTuple

import click

from vantorel.bundle import locks, places, staging, validation
from vantorel.errors import VantorelError
from vantorel.market import schemas
from vantorel.ombrel.sdk.const import TAG_MAP
from vantorel.progress import progress
from vantorel.sources import csv_import
from vantorel.sources.unpack import (
    DEFAULT_LIMITS,
    Corrupt,
    Refused,
    Writer,
    detect_format,
    human_size,
    is_read_error,
    unpack_tar,
    unpack_zip,
)


def _is_bundle_root(directory):
    """Whether a directory holds bundle data at the places the layout gives it."""
    try:
        return places.holds_bundle_data(directory)
    except places.StorageError:
        return False  # a file or pipe where the layout has a directory: no bundle there


# Big archives get a progress bar on a terminal; small ones unpack before one would be seen.
PROGRESS_FLOOR = 16 << 20
# How deep wrapping directories may put the bundle inside an archive.
_MAX_WRAP = 3
# The staged directory the archive is unpacked into, before its bundle is lifted to the top.
_UNPACKED = "unpacked"
class InstallResult(NamedTuple):
    files: int
    directories: int
    bytes: int
    unwrapped: str  # the top-level directory that was unwrapped, or ""


def _find_bundle_root(top):
    """The one directory under ``top`` that holds a bundle; Refused when there are several."""
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
        raise Refused(None, "含有多份 bundle 数据（{}），无法确定安装哪一份".format(found))
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
    if parts[0] == places.BUNDLE_DIR_NAME:
        if directory:
            return "directory" if parts[1:] == [places.DAYBAR_DIR_NAME] else None
        if parts[1:] == [places.INSTRUMENTS_FILE]:
            return "instruments"
        if parts[1:] == [places.TRADING_DATES_FILE]:
            return "trading_dates"
        if len(parts) == 2 and parts[1][:-3] in ("ex_factors", "suspended") + schemas.CHECK_TABLES and parts[1].endswith(".h5"):
            return parts[1][:-3]
        if len(parts) == 3 and parts[1] == places.DAYBAR_DIR_NAME and parts[2][:-3] in categories and \
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
            raise Refused(name, "不在 bundle 布局中的任何位置（应为 bundle/instruments.h5、bundle/daybar/<类别>.h5、"
                                 "minbar/<类别>/<代码>.h5 等，<类别> 为 {}）".format("、".join(TAG_MAP)))
        if kind == "directory":
            continue
        parts = name.split("/")
        category, code = (parts[1], parts[2][:-3]) if kind in ("minbar", "tick") else (None, None)
        reason = validation.validate_file(os.path.join(root, *parts), kind, category, code)
        if reason is not None:
            raise Refused(name, "不是有效的 bundle 数据文件（{}）".format(reason))


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
                    for f in filenames if f not in (locks.LOCK_NAME, locks.WRITER_LOCK_NAME)]
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
    for replaced in [os.path.join(bundle, name) for name in staging.LAYOUT] + staging.generations(bundle):
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
            writer = Writer(unpacked, limits, size, tick)
            try:
                if kind == "zip":
                    unpack_zip(raw, writer)
                else:
                    unpack_tar(raw, "" if kind == "tar" else kind, writer)
            except (Refused, Corrupt, VantorelError):
                raise
            except Exception as exc:
                if is_read_error(exc):
                    raise Corrupt(getattr(exc, "strerror", None) or str(exc) or type(exc).__name__) from None
                raise
            if writer.files == 0:
                raise Corrupt("压缩包中没有任何文件")
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
    except Refused as refused:
        what = refused.reason if refused.member is None else "成员 {!r} {}".format(refused.member, refused.reason)
        raise VantorelError("已拒绝压缩文件 {}：{}；原 bundle 未作任何改动".format(path, what)) from None
    except Corrupt as corrupt:
        raise VantorelError("压缩文件 {} 已损坏或不完整（{}）；原 bundle 未作任何改动".format(path, corrupt)) from None
    if converted is not None:
        click.echo(_converted_text(path, bundle, converted, swap))
        return converted
    result = InstallResult(files, writer.directories, size, unwrapped)
    note = swap.note()
    if dropped:
        note += "；压缩包中另有 {} 个文件不属于 bundle，未安装（如 {}）".format(dropped, "、".join(examples))
    click.echo("已将 {} 解压到 {}：{} 个文件，共 {}{}".format(path, bundle, result.files, human_size(result.bytes), note))
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
        # Rows unpacked from an archive have no folder to be updated from: the archive is their source.
        origin = None if archive is None else {"kind": "archive", "file": os.path.abspath(archive)}
        return csv_import.Converted(*csv_import.convert(source, target, lambda text: click.echo(text, err=True),
                                                        origin))
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
        except Refused as refused:
            raise VantorelError("转换 {} 得到的数据无效：{} {}；原 bundle 未作任何改动".format(
                source, refused.member, refused.reason)) from None
    click.echo(_converted_text(source, bundle, counts, swap))
    return counts
