import io
import os
import stat
import subprocess
import sys
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

from vantorel.bundle import staging
from vantorel.errors import VantorelError
from vantorel.sources import unpack
from vantorel.sources.archive import install_archive
from vantorel.sources.unpack import ArchiveLimits

import hostile_h5
from trees import h5_bytes, snapshot

OLD = {"bundle/instruments.h5": h5_bytes("instruments", "old"),
       "minbar/stock/000001.XSHE.h5": h5_bytes("minbar", "old", "stock/000001.XSHE")}
NEW = {"bundle/instruments.h5": h5_bytes("instruments", "new"), "bundle/daybar/stock.h5": h5_bytes("daybar", "new"),
       "minbar/futures/M1905.h5": h5_bytes("minbar", "new", "futures/M1905")}


def files_under(root):
    """Files under root by relative path, the generations kept left out."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for name in filenames:
            path = os.path.join(dirpath, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            if rel.startswith("previous"):
                continue
            with open(path, "rb") as f:
                found[rel] = f.read()
    return found


def siblings(bundle):
    """What a swap left beside the bundle path or inside it."""
    parent, name = os.path.split(bundle)
    beside = [n for n in os.listdir(parent) if n.startswith("." + name + ".")]
    return sorted(beside + [n for n in os.listdir(bundle) if n.startswith(".vantorel.")])


@pytest.fixture
def bundle(tmp_path):
    root = tmp_path / "home" / "bundle"
    for rel, data in OLD.items():
        (root / rel).parent.mkdir(parents=True, exist_ok=True)
        (root / rel).write_bytes(data)
    return str(root)


@pytest.fixture
def build(tmp_path):
    """build(kind, members) writes an archive; a member is (name, bytes) or a ready TarInfo/ZipInfo tuple."""
    counter = [0]

    def make(kind, members, name=None):
        counter[0] += 1
        path = tmp_path / (name or "a{}.{}".format(counter[0], kind))
        if kind == "zip":
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
                for name_or_info, data in members:
                    zf.writestr(name_or_info, data)
        else:
            mode = {"tar.gz": "w:gz", "tar.bz2": "w:bz2", "tar.xz": "w:xz", "tar": "w"}[kind]
            with tarfile.open(path, mode) as tf:
                for member in members:
                    if isinstance(member[0], tarfile.TarInfo):
                        info, data = member
                        tf.addfile(info, io.BytesIO(data) if data else None)
                    else:
                        info = tarfile.TarInfo(member[0])
                        info.size = len(member[1])
                        tf.addfile(info, io.BytesIO(member[1]))
        return str(path)

    return make


FORMATS = ["tar.gz", "tar.bz2", "tar.xz", "tar", "zip"]


@pytest.mark.parametrize("kind", FORMATS)
def test_good_archive_replaces_bundle(build, bundle, kind):
    path = build(kind, sorted(NEW.items()))
    result = install_archive(path, bundle)
    assert files_under(bundle) == NEW
    assert (result.files, result.bytes, result.unwrapped) == (3, sum(map(len, NEW.values())), "")
    assert siblings(bundle) == []
    # Nothing replaced is deleted: the old directories are the newest generation.
    kept = staging.generations(bundle)
    assert len(kept) == 1 and files_under(kept[0]) == OLD


def test_archive_of_a_directory_with_dot_entries(build, bundle):
    # "tar czf x.tar.gz -C path ." names the root "./" and every member "./...".
    path = build("tar.gz", [(tar_info("./", tarfile.DIRTYPE), b"")] + [("./" + n, d) for n, d in sorted(NEW.items())])
    install_archive(path, bundle)
    assert files_under(bundle) == NEW


def test_format_is_read_from_content_not_name(build, bundle):
    path = build("tar.bz2", sorted(NEW.items()), name="looks-like.zip")
    install_archive(path, bundle)
    assert files_under(bundle) == NEW


@pytest.mark.parametrize(
    "names, expected_unwrapped",
    [
        (["sample/bundle/instruments.h5", "sample/minbar/futures/M1905.h5"], "sample"),
        (["bundle/instruments.h5", "bundle/daybar/stock.h5"], ""),  # already a bundle path: the top is layout
        (["x/x/a.txt", "x/bundle/instruments.h5"], "x"),  # an inner entry of the same name survives
        # "tar czf b.tar.gz -C $VANTOREL_HOME bundle": the bundle path wrapped in a directory named bundle
        (["bundle/bundle/instruments.h5", "bundle/minbar/stock/A.h5", "bundle/tick/stock/A.h5"], "bundle"),
        (["bundle/minbar/stock/A.h5"], "bundle"),
        (["a/b/bundle/trading_dates.h5", "a/b/notes.txt"], "a/b"),
    ],
)
def test_bundle_is_found_by_its_layout(build, bundle, names, expected_unwrapped):
    path = build("tar.gz", [(n, valid_for(n)) for n in names])
    result = install_archive(path, bundle)
    assert result.unwrapped == expected_unwrapped
    strip = len(expected_unwrapped) + 1 if expected_unwrapped else 0
    installed = {n[strip:]: valid_for(n) for n in names if n[strip:].startswith(("bundle/", "minbar/", "tick/"))}
    tops = {n.split("/")[0] for n in installed}
    kept = {n: data for n, data in OLD.items() if n.split("/")[0] not in tops}
    assert files_under(bundle) == dict(installed, **kept)


def valid_for(name):
    """The bytes of a sound bundle file of the kind the member's place says."""
    parts = name.split("/")
    if parts[-2:] == ["bundle", "instruments.h5"]:
        return h5_bytes("instruments", "new")
    if parts[-2:] == ["bundle", "trading_dates.h5"]:
        return h5_bytes("trading_dates", "new")
    if len(parts) >= 3 and parts[-3] in ("minbar", "tick"):
        return h5_bytes(parts[-3], "new", parts[-2] + "/" + parts[-1][:-3])
    if len(parts) >= 3 and parts[-2] == "daybar":
        return h5_bytes("daybar", "new")
    return name.encode()


def tar_info(name, type_, linkname="", size=0):
    info = tarfile.TarInfo(name)
    info.type = type_
    info.linkname = linkname
    info.size = size
    return info


def zip_link(name, target):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (stat.S_IFLNK | 0o777) << 16
    return (info, target)


def zip_special(name, kind):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = (kind | 0o644) << 16
    return (info, b"")


def crafted(what):
    """An HDF5 file that carries the right attributes and passes a first glance, but is no series."""
    import tempfile

    import h5py
    import numpy as np

    from vantorel.bundle import places
    from vantorel.market import schemas

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "x.h5")
        with h5py.File(path, "w") as f:
            f.attrs.update(schema_version=places.SCHEMA_VERSION, kind="daybar" if what == "external-link" else "minbar",
                           order_book_id="A", category="stock", rows=0, first_trading_date=0, last_trading_date=0)
            if what == "declares-rows":
                f.create_dataset("bars", shape=(200_000_000,), dtype=schemas.minbar_dtype(), chunks=(64,))
                f.attrs["rows"] = 200_000_000
            elif what == "scalar":
                f.create_dataset("bars", data=np.zeros((), schemas.minbar_dtype()))
            else:
                f["A"] = h5py.ExternalLink("/etc/elsewhere.h5", "/A")
        with open(path, "rb") as file:
            return file.read()


GOOD = ("bundle/instruments.h5", h5_bytes("instruments", "new"))

HOSTILE = [
    ("tar.gz", [GOOD, ("../evil.h5", b"x")], "..", "../evil.h5"),
    ("tar.gz", [GOOD, ("bundle/../../evil.h5", b"x")], "..", "bundle/../../evil.h5"),
    ("zip", [GOOD, ("../evil.h5", b"x")], "..", "../evil.h5"),
    ("zip", [GOOD, ("bundle\\..\\..\\evil.h5", b"x")], "..", "bundle\\..\\..\\evil.h5"),
    ("tar.gz", [GOOD, ("/tmp/evil.h5", b"x")], "绝对路径", "/tmp/evil.h5"),
    ("zip", [GOOD, ("C:/evil.h5", b"x")], "绝对路径", "C:/evil.h5"),
    ("tar.gz", [(tar_info("bundle/link", tarfile.SYMTYPE, "/etc"), b""), ("bundle/link/passwd", b"x")], "链接", None),
    ("tar.gz", [(tar_info("bundle/ok", tarfile.SYMTYPE, "instruments.h5"), b""), GOOD], "链接", None),
    ("tar.bz2", [GOOD, (tar_info("bundle/hard", tarfile.LNKTYPE, "/etc/passwd"), b"")], "链接", None),
    ("zip", [GOOD, zip_link("bundle/link", b"/etc/passwd")], "符号链接", None),
    ("tar.gz", [GOOD, (tar_info("bundle/tty", tarfile.CHRTYPE), b"")], "设备", None),
    ("tar.gz", [GOOD, (tar_info("bundle/disk", tarfile.BLKTYPE), b"")], "设备", None),
    ("tar.gz", [GOOD, (tar_info("bundle/pipe", tarfile.FIFOTYPE), b"")], "FIFO", None),
    ("zip", [GOOD, zip_special("bundle/pipe", stat.S_IFIFO)], "FIFO", None),
    ("zip", [GOOD, zip_special("bundle/tty", stat.S_IFCHR)], "设备", None),
    ("tar.gz", [GOOD, GOOD], "重复", None),
    ("zip", [GOOD, ("Bundle/Instruments.h5", b"y")], "重复", None),
    # Data that is none: garbage, a file of another kind than its place, a place the layout lacks.
    ("tar.gz", [GOOD, ("minbar/stock/A.h5", os.urandom(60))], "不是有效的 bundle 数据文件", "minbar/stock/A.h5"),
    ("zip", [("bundle/instruments.h5", h5_bytes("minbar", "new"))], "格式不受支持", "bundle/instruments.h5"),
    ("tar", [GOOD, ("tick/stock/A.h5", h5_bytes("minbar", "new"))], "格式不受支持", "tick/stock/A.h5"),
    ("zip", [GOOD, ("bundle/daybar/stock.h5", h5_bytes("instruments", "new"))], "不是有效", "bundle/daybar/stock.h5"),
    ("tar.gz", [GOOD, ("bundle/bundle/instruments.h5", GOOD[1])], "不在 bundle 布局", "bundle/bundle"),
    ("zip", [GOOD, ("minbar/crypto/A.h5", h5_bytes("minbar", "new", "crypto/A"))], "不在 bundle 布局", "minbar/crypto"),
    ("tar", [GOOD, ("bundle/run.sh", b"echo")], "不在 bundle 布局", "bundle/run.sh"),
    ("tar", [GOOD, (tar_info("minbar/stock/B.h5", tarfile.DIRTYPE), b"")], "不在 bundle 布局", "minbar/stock/B.h5"),
    ("zip", [GOOD, ("minbar/stock/B.h5", h5_bytes("minbar", "new", "stock/A"))], "order_book_id", "minbar/stock/B.h5"),
    # A few kilobytes that declare gigabytes, a dataset with no rows at all, a link out of the file.
    ("tar.gz", [GOOD, ("minbar/stock/A.h5", crafted("declares-rows"))], "没有这么多数据", "minbar/stock/A.h5"),
    ("tar.gz", [GOOD, ("minbar/stock/A.h5", crafted("scalar"))], "维数", "minbar/stock/A.h5"),
    ("tar.gz", [GOOD, ("bundle/daybar/stock.h5", crafted("external-link"))], "链接", "bundle/daybar/stock.h5"),
    # A kilobyte and a half whose rows are read from /dev/zero, in a format every reader accepts.
    ("tar.gz", [GOOD, ("minbar/stock/A.h5", hostile_h5.image("external storage", schema=1))], "外部存储",
     "minbar/stock/A.h5"),
    ("tar.gz", [GOOD, ("minbar/A.h5", h5_bytes("minbar", "new"))], "不在 bundle 布局", "minbar/A.h5"),
    # Two bundles side by side: which one is meant cannot be told.
    ("zip", [("a/bundle/instruments.h5", GOOD[1]), ("b/minbar/stock/A.h5", h5_bytes("minbar", "new"))], "多份", None),
]


@pytest.mark.parametrize("kind, members, reason, member", HOSTILE)
def test_hostile_archive_refused_and_bundle_unchanged(build, bundle, tmp_path, kind, members, reason, member):
    path = build(kind, members)
    before, inode = snapshot(bundle), os.stat(bundle).st_ino
    with pytest.raises(VantorelError) as caught:
        install_archive(path, bundle)
    message = caught.value.message
    assert reason in message and "未作任何改动" in message
    if member:
        assert repr(member) in message
    assert snapshot(bundle) == before and os.stat(bundle).st_ino == inode
    assert siblings(bundle) == []
    assert not (tmp_path / "evil.h5").exists() and not (tmp_path / "home" / "evil.h5").exists()


@pytest.mark.parametrize("kind", ["tar.gz", "zip"])
@pytest.mark.parametrize(
    "limits, members, reason",
    [
        # declares more than the size cap
        (ArchiveLimits(max_total_bytes=1 << 20), [GOOD, ("bundle/big.h5", b"\0" * (2 << 20))], "总大小超过上限"),
        # a megabyte of zeros squeezes far past a 50:1 ratio
        (ArchiveLimits(max_ratio=50, ratio_floor=64 << 10), [GOOD, ("bundle/z.h5", b"\0" * (1 << 20))], "压缩炸弹"),
        (ArchiveLimits(max_members=3), [("bundle/{}.h5".format(i), b"x") for i in range(5)], "成员数超过上限"),
    ],
)
def test_bombs_refused_and_bundle_unchanged(build, bundle, kind, limits, members, reason):
    path = build(kind, members)
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match=reason):
        install_archive(path, bundle, limits=limits)
    assert snapshot(bundle) == before
    assert siblings(bundle) == []


def long_header_archive(path, type_, declared):
    """A gzip tar whose first member is an extended header (long name, long link or pax records)
    declaring ``declared`` bytes, all of them present, then a good member."""
    import gzip

    info = tar_info("././@LongLink" if type_ != tarfile.XHDTYPE else "././@PaxHeader", type_, size=declared)
    with gzip.open(path, "wb", compresslevel=6) as out:
        out.write(info.tobuf(format=tarfile.GNU_FORMAT if type_ != tarfile.XHDTYPE else tarfile.PAX_FORMAT))
        chunk = b"a" * (1 << 20)
        for _ in range(declared // len(chunk)):
            out.write(chunk)
        good = tarfile.TarInfo(GOOD[0])
        good.size = len(GOOD[1])
        out.write(good.tobuf() + GOOD[1].ljust(512, b"\0") + b"\0" * 1024)
    return str(path)


@pytest.mark.parametrize("type_", [tarfile.GNUTYPE_LONGNAME, tarfile.GNUTYPE_LONGLINK, tarfile.XHDTYPE])
def test_huge_extended_header_is_refused_before_it_is_read(tmp_path, bundle, type_):
    import tracemalloc

    path = long_header_archive(tmp_path / "long.tar.gz", type_, 64 << 20)
    before = snapshot(bundle)
    tracemalloc.start()
    try:
        with pytest.raises(VantorelError, match="扩展头.*超过上限"):
            install_archive(path, bundle)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 8 << 20
    assert snapshot(bundle) == before and siblings(bundle) == []


@pytest.mark.parametrize("limits, reason", [
    (ArchiveLimits(max_total_bytes=4 << 20), "超过上限 4.0 MiB"),
    (ArchiveLimits(max_ratio=50, ratio_floor=1 << 20), "压缩炸弹"),
])
def test_bytes_outside_the_members_count_against_the_caps(build, bundle, limits, reason):
    # Pax records under the header cap: the members declare 1 byte each, the stream holds megabytes.
    members = []
    for i in range(80):
        info = tarfile.TarInfo("bundle/{}.h5".format(i))
        info.size = 1
        info.pax_headers = {"comment": "x" * 60_000}
        members.append((info, b"x"))
    path = build("tar.gz", members)
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match=reason):
        install_archive(path, bundle, limits=limits)
    assert snapshot(bundle) == before and siblings(bundle) == []


def test_same_data_under_the_caps_installs(build, bundle):
    # The ratio floor keeps small, highly compressible bundles installable.
    zeros = h5_bytes("minbar", "zeros", "stock/Z")
    assert len(zeros) > 1 << 20
    path = build("zip", [GOOD, ("minbar/stock/Z.h5", zeros)])
    install_archive(path, bundle, limits=ArchiveLimits(max_ratio=50, ratio_floor=4 << 20))
    assert files_under(bundle)["minbar/stock/Z.h5"] == zeros


def test_zip_member_larger_than_declared_is_refused(build, bundle):
    path = build("zip", [GOOD, ("bundle/liar.h5", b"A" * 4000)])
    data = bytearray(Path(path).read_bytes())
    # Shrink the uncompressed size the central directory declares for the second member.
    central = data.rindex(b"PK\x01\x02")
    data[central + 24 : central + 28] = (10).to_bytes(4, "little")
    Path(path).write_bytes(bytes(data))
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match="liar|损坏"):
        install_archive(path, bundle)
    assert snapshot(bundle) == before


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "不存在"),
        ("dir", "是目录"),
        (b"just some text, not an archive" * 30, "无法识别"),
        (b"", "无法识别"),
    ],
)
def test_unusable_source_gives_clear_error(tmp_path, bundle, content, message):
    path = tmp_path / "src.tar.gz"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match=message):
        install_archive(str(path), bundle)
    assert snapshot(bundle) == before


@pytest.mark.parametrize("kind", FORMATS)
def test_truncated_archive_is_corrupt_and_bundle_unchanged(build, bundle, kind):
    path = build(kind, [GOOD, ("bundle/day.h5", os.urandom(200_000))])
    data = Path(path).read_bytes()
    Path(path).write_bytes(data[: len(data) // 2])
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match="损坏或不完整"):
        install_archive(path, bundle)
    assert snapshot(bundle) == before
    assert siblings(bundle) == []


def test_archive_without_files_is_refused(build, bundle):
    path = build("tar.gz", [(tar_info("bundle", tarfile.DIRTYPE), b"")])
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match="没有任何文件"):
        install_archive(path, bundle)
    assert snapshot(bundle) == before


@pytest.mark.parametrize("names", [
    ["notes.txt"],
    ["backup/notes.txt", "backup/more/x.h5"],
    ["bundle"],  # a file, not a directory
    ["bundle", "notes.h5"],
    ["quarantine/tick/stock/A.h5.20261208"],  # what a check set aside is no bundle
    ["bundle/readme.txt", "minbar/stock/notes.txt"],  # no data file
])
def test_archive_that_is_no_bundle_is_refused(build, bundle, names):
    path = build("zip", [(n, b"12345") for n in names])
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match="没有 bundle 数据"):
        install_archive(path, bundle)
    assert snapshot(bundle) == before
    assert siblings(bundle) == []


@pytest.mark.parametrize("where, refused", [("bundle", True), ("minbar/stock", True), ("quarantine", False), (".", False)])
def test_archive_in_a_directory_it_replaces_is_refused(build, bundle, where, refused):
    path = build("tar.gz", sorted(NEW.items()))
    inside = os.path.join(bundle, where, "upload.tar.gz")
    os.makedirs(os.path.dirname(inside), exist_ok=True)
    os.rename(path, inside)
    if refused:
        with pytest.raises(VantorelError, match="请先把它移到别处"):
            install_archive(inside, bundle)
    else:
        install_archive(inside, bundle)
    assert os.path.exists(inside)


def test_only_the_layout_directories_are_replaced(build, bundle, capsys):
    kept = {"quarantine/tick/stock/A.h5.20261208": b"set aside", "notes.txt": b"mine", "tick/stock/A.h5": b"ticks"}
    for rel, data in kept.items():
        os.makedirs(os.path.dirname(os.path.join(bundle, rel)), exist_ok=True)
        Path(bundle, rel).write_bytes(data)
    path = build("tar.gz", sorted(NEW.items()) + [("README.txt", b"about"), ("quarantine/x.h5", b"x")])
    install_archive(path, bundle)
    assert files_under(bundle) == dict(NEW, **kept)
    out = capsys.readouterr().out
    assert "原有的 bundle/、minbar/ 已保留在 {}".format(staging.generations(bundle)[-1]) in out
    assert "另有 2 个文件不属于 bundle，未安装（如 README.txt、quarantine/x.h5）" in out


@pytest.mark.parametrize("content", [{"main.py": b"print()"}, {"accounts/accounts.json": b"{}", "bundle/bundle/instruments.h5": b""}])
def test_directory_that_holds_no_bundle_is_refused(build, tmp_path, content):
    target = tmp_path / "project"
    for rel, data in content.items():
        (target / rel).parent.mkdir(parents=True, exist_ok=True)
        (target / rel).write_bytes(data)
    before = snapshot(str(target))
    with pytest.raises(VantorelError, match="不是空目录，其中也没有 bundle 数据"):
        install_archive(build("zip", sorted(NEW.items())), str(target))
    assert snapshot(str(target)) == before


def test_interrupted_unpack_leaves_old_bundle(build, bundle, monkeypatch):
    path = build("tar.gz", sorted(NEW.items()))
    before = snapshot(bundle)
    real_file = unpack.Writer.file
    calls = []

    def interrupted(self, *args):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return real_file(self, *args)

    monkeypatch.setattr(unpack.Writer, "file", interrupted)
    with pytest.raises(KeyboardInterrupt):
        install_archive(path, bundle)
    assert snapshot(bundle) == before
    assert siblings(bundle) == []


KILLED = textwrap.dedent(
    """
    import os, signal, sys
    from vantorel.sources import archive, unpack
    real_file = unpack.Writer.file
    def file(self, *args):
        if self.files == 1:
            os.kill(os.getpid(), signal.SIGKILL)
        return real_file(self, *args)
    unpack.Writer.file = file
    archive.install_archive(sys.argv[1], sys.argv[2])
    """
)


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
def test_killed_unpack_leaves_old_bundle_and_next_install_cleans_up(build, bundle):
    path = build("zip", sorted(NEW.items()))
    before = snapshot(bundle)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", KILLED, path, bundle], env=env, timeout=60)
    assert proc.returncode == -9
    assert {rel: v for rel, v in snapshot(bundle).items() if ".staging-" not in rel} == before
    assert any(".staging-" in n for n in siblings(bundle))
    install_archive(path, bundle)
    assert files_under(bundle) == NEW
    assert siblings(bundle) == []


@pytest.mark.parametrize(
    "name, ok",
    [
        ("bundle/a.h5", ("bundle", "a.h5")),
        ("./bundle//a.h5", ("bundle", "a.h5")),
        ("bundle\\a.h5", ("bundle", "a.h5")),
        ("a..b.h5", ("a..b.h5",)),
        ("..", None),
        ("a/../../b", None),
        ("\\\\server\\share", None),
        ("D:evil", None),
        ("a\x00b", None),
        ("./", None),
    ],
)
def test_member_names(name, ok):
    if ok is None:
        with pytest.raises(unpack.Refused):
            unpack.member_parts(name)
    else:
        assert unpack.member_parts(name) == ok


# ---- archives that are damaged, cut short or built to trip the reader -----------------------------

def tar_bytes(members, format=tarfile.PAX_FORMAT):
    """A plain tar of (name or TarInfo, data) members, as bytes."""
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode="w", format=format) as tf:
        for name, data in members:
            info = name if isinstance(name, tarfile.TarInfo) else tarfile.TarInfo(name)
            info.size = len(data)
            tf.addfile(info, io.BytesIO(data))
    return out.getvalue()


TWO = [GOOD, ("minbar/stock/A.h5", h5_bytes("minbar", "new", "stock/A"))]


def second_header(data):
    return data.index(b"minbar/stock/A.h5") // 512 * 512


def pax_member(name, data, **records):
    info = tarfile.TarInfo(name)
    info.pax_headers = records
    return info, data


def raw_pax(records, then):
    """A pax header block holding ``records`` verbatim, followed by the tar ``then``."""
    info = tarfile.TarInfo("././@PaxHeader")
    info.type = tarfile.XHDTYPE
    info.size = len(records)
    return info.tobuf(format=tarfile.USTAR_FORMAT) + records.ljust(-(-len(records) // 512) * 512, b"\0") + then


def sparse_member(then):
    info = tarfile.TarInfo("minbar/stock/S.h5")
    info.type = tarfile.GNUTYPE_SPARSE
    return info.tobuf(format=tarfile.GNU_FORMAT) + then


def long_name_chain(count, then):
    block = b""
    for i in range(count):
        name = ("x" * 200 + str(i)).encode() + b"\0"
        info = tarfile.TarInfo("././@LongLink")
        info.type = tarfile.GNUTYPE_LONGNAME
        info.size = len(name)
        block += info.tobuf(format=tarfile.USTAR_FORMAT) + name.ljust(512, b"\0")
    return block + then


def zip_with_bad_utf8_name():
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w") as zf:
        zf.writestr(GOOD[0], GOOD[1])
        zf.writestr("minbar/stock/\u00e9.h5", b"x")
    data = out.getvalue()
    # Keep the UTF-8 flag but make the name bytes invalid UTF-8, in both headers.
    return data.replace("\u00e9".encode(), b"\xff\xfe")


GOOD_TAR = tar_bytes(TWO)
DAMAGED = {
    "cut inside the second header": GOOD_TAR[:second_header(GOOD_TAR) + 100],
    "cut at the second header": GOOD_TAR[:second_header(GOOD_TAR)],
    "no end-of-archive marker": GOOD_TAR.rstrip(b"\0").ljust(-(-len(GOOD_TAR.rstrip(b"\0")) // 512) * 512, b"\0"),
    "bad checksum in the second header": (lambda d, at: d[:at] + b"Z" + d[at + 1:])(GOOD_TAR, second_header(GOOD_TAR)),
    "pax size that lies": tar_bytes([GOOD, pax_member("minbar/stock/A.h5", TWO[1][1], size="10")]),
    "data after the end marker": GOOD_TAR + b"trailing garbage".ljust(512, b"\0"),
    "bad pax number": raw_pax(b"30 mtime=not-a-number-at-all\n", GOOD_TAR),
    "malformed pax record": raw_pax(b"9" * 60_000, GOOD_TAR),
    "pax length past its end": raw_pax(b"999 path=x\n", GOOD_TAR),
    "sparse member": sparse_member(GOOD_TAR),
    "chain of long-name headers": long_name_chain(12, GOOD_TAR),
}


@pytest.mark.parametrize("what", sorted(DAMAGED))
def test_damaged_tar_is_refused_and_bundle_unchanged(tmp_path, bundle, what):
    path = tmp_path / "damaged.tar"
    path.write_bytes(DAMAGED[what])
    before = snapshot(bundle)
    with pytest.raises(VantorelError) as caught:
        install_archive(str(path), bundle)
    assert "未作任何改动" in caught.value.message
    assert snapshot(bundle) == before and siblings(bundle) == []


@pytest.mark.parametrize("what", ["name that is no UTF-8", "bytes after the end"])
def test_damaged_zip_is_refused(tmp_path, bundle, build, what):
    path = tmp_path / "damaged.zip"
    if what == "name that is no UTF-8":
        path.write_bytes(zip_with_bad_utf8_name())
    else:
        path.write_bytes(Path(build("zip", sorted(NEW.items()))).read_bytes() + b"garbage\n")
    before = snapshot(bundle)
    with pytest.raises(VantorelError, match="已损坏或不完整"):
        install_archive(str(path), bundle)
    assert snapshot(bundle) == before


def test_tar_cut_anywhere_installs_nothing(tmp_path, bundle):
    # Every header boundary and a spread of offsets inside headers and data.
    data = tar_bytes(TWO + [("tick/stock/A.h5", h5_bytes("tick", "new", "stock/A"))])
    end = len(data.rstrip(b"\0"))
    cuts = sorted(set(range(0, end + 1024, 512)) | set(range(7, end, 997)))
    before = snapshot(bundle)
    path = tmp_path / "cut.tar"
    for cut in cuts:
        path.write_bytes(data[:cut])
        with pytest.raises(VantorelError):
            install_archive(str(path), bundle)
        assert snapshot(bundle) == before, cut
    path.write_bytes(data)
    install_archive(str(path), bundle)


def test_hostile_corpus_is_refused_within_its_limits(tmp_path):
    # The corpus script builds each kind of hostile archive over a real sample bundle; it fails,
    # naming the archive, on any install, traceback, slow refusal or change to the bundle.
    script = Path(__file__).parents[3] / "scripts" / "hostile_archives.py"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # The script's own limit (5 s an archive) is a benchmark figure; here a minute only tells a
    # hang (a quadratic parser took an hour) from a busy machine.
    proc = subprocess.run([sys.executable, str(script), "--keep", str(tmp_path / "work"), "--cuts", "20",
                           "--time-limit", "60"],
                          env=env, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert " 0 failures" in proc.stdout and ", 0 installed" in proc.stdout
