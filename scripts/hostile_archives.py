"""Build a corpus of hostile archives and install each over a real bundle: every one must be refused
with a message, in under five seconds, leaving the bundle byte for byte as it was and nothing
written outside it. Then a cut-short study: a valid tar cut at every header boundary and at random
offsets must never install.

    python scripts/hostile_archives.py [--keep DIR] [--cuts N] [--time-limit SECONDS]

Exits 1 and names the archive when any of that does not hold.
"""
import argparse
import gzip
import io
import os
import random
import shutil
import stat
import sys
import tarfile
import tempfile
import time
import zipfile

from vantorel.errors import VantorelError
from vantorel.update import engine
from vantorel.sources.archive import install_archive

TIME_LIMIT = 5.0


def tree(root):
    found = {}
    for dirpath, _dirnames, filenames in os.walk(root):
        for name in filenames:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, root)] = f.read()
    return found


def tar_of(members, mode="w", format=tarfile.PAX_FORMAT):
    out = io.BytesIO()
    with tarfile.open(fileobj=out, mode=mode, format=format) as tf:
        for member, data in members:
            info = member if isinstance(member, tarfile.TarInfo) else tarfile.TarInfo(member)
            if info.isreg():
                info.size = len(data)
            tf.addfile(info, io.BytesIO(data) if data else None)
    return out.getvalue()


def zip_of(members):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zf:
        for member, data in members:
            zf.writestr(member, data)
    return out.getvalue()


def info(name, type_, linkname="", size=0, pax=None):
    item = tarfile.TarInfo(name)
    item.type, item.linkname, item.size, item.pax_headers = type_, linkname, size, pax or {}
    return item


def zip_mode(name, mode):
    item = zipfile.ZipInfo(name)
    item.create_system = 3
    item.external_attr = mode << 16
    return item


def extended(type_, payload, then):
    head = info("././@PaxHeader" if type_ in (tarfile.XHDTYPE, tarfile.XGLTYPE) else "././@LongLink", type_,
                size=len(payload))
    return head.tobuf(format=tarfile.USTAR_FORMAT) + payload.ljust(-(-len(payload) // 512) * 512, b"\0") + then


def minute_file(trouble, fifo):
    """A minute-bar file with the right attributes whose rows are read from elsewhere, through a
    plugin, or swell far past what the file holds."""
    import h5py
    import numpy as np

    from vantorel.bundle import places
    from vantorel.market import schemas

    dtype = schemas.minbar_dtype()
    image = io.BytesIO()
    with h5py.File(image, "w", libver=("earliest", "latest")) as f:
        f.attrs.update(schema_version=1 if trouble == "zero" else places.SCHEMA_VERSION, kind="minbar",
                       order_book_id="A", category="stock", rows=0, first_trading_date=0, last_trading_date=0)
        if trouble in ("zero", "fifo"):
            f.create_dataset("bars", shape=(1000,), dtype=dtype,
                             external=[("/dev/zero" if trouble == "zero" else fifo, 0, h5py.h5f.UNLIMITED)])
        elif trouble == "virtual":  # unlimited: HDF5 opens the source to find the extent
            unlimited = h5py.h5s.UNLIMITED
            dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
            mapped, source = (h5py.h5s.create_simple((0,), (unlimited,)) for _ in range(2))
            for space in (mapped, source):
                space.select_hyperslab((0,), (unlimited,), (1,), (1,))
            dcpl.set_virtual(mapped, fifo.encode(), b"bars", source)
            h5py.h5d.create(f.id, b"bars", h5py.h5t.py_create(dtype, logical=True),
                            h5py.h5s.create_simple((0,), (unlimited,)), dcpl=dcpl)
        elif trouble == "link":
            f["bars"] = h5py.ExternalLink(fifo, "/bars")
        elif trouble == "plugin":
            dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
            dcpl.set_chunk((256,))
            dcpl.set_filter(30001, h5py.h5z.FLAG_OPTIONAL)
            h5py.h5d.create(f.id, b"bars", h5py.h5t.py_create(dtype, logical=True),
                            h5py.h5s.create_simple((10,), (h5py.h5s.UNLIMITED,)), dcpl=dcpl)
        elif trouble == "declared":
            f.create_dataset("bars", shape=(60_000_000,), maxshape=(None,), dtype=dtype, chunks=(256,),
                             compression="gzip")
        else:  # one chunk of a million rows, a few hundred kilobytes packed
            f.create_dataset("bars", data=np.zeros(1_000_000, dtype), maxshape=(None,), chunks=(1_000_000,),
                             compression="gzip")
    return image.getvalue()


def corpus(good, h5, fifo):
    """(name, archive bytes) of every hostile archive; ``fifo`` is a pipe nobody writes to."""
    for trouble in ("zero", "fifo", "virtual", "link", "plugin", "declared", "chunk"):
        yield f"h5 {trouble}", tar_of([good[0], ("minbar/stock/A.h5", minute_file(trouble, fifo))], mode="w:gz")
    plain = tar_of(good)
    second = plain.index(good[1][0].encode()) // 512 * 512
    end = len(plain.rstrip(b"\0"))
    yield "cut inside a later header", plain[:second + 77]
    yield "cut at a later header", plain[:second]
    yield "no end marker", plain[:-(-end // 512) * 512]
    yield "one zero block only", plain[:-(-end // 512) * 512 + 512]
    yield "bad checksum later", plain[:second + 3] + b"#" + plain[second + 4:]
    yield "garbage after the end", plain + b"x" * 512
    lying = tarfile.TarInfo(good[1][0])
    lying.pax_headers = {"size": "10"}
    yield "pax size that lies", tar_of([good[0], (lying, good[1][1])])
    yield "pax size huge", tar_of([good[0], (info(good[1][0], tarfile.REGTYPE, pax={"size": "99999999999"}), b"x")])
    yield "pax number not a number", extended(tarfile.XHDTYPE, b"30 mtime=not-a-number-at-all\n", plain)
    yield "pax digits (quadratic)", extended(tarfile.XHDTYPE, b"9" * 60_000, plain)
    yield "pax record without =", extended(tarfile.XHDTYPE, b"12 abcdefgh\n", plain)
    yield "pax length too long", extended(tarfile.XHDTYPE, b"999 path=x\n", plain)
    yield "pax length zero", extended(tarfile.XHDTYPE, b"0 path=x\n", plain)
    yield "pax over the cap", extended(tarfile.XHDTYPE, b"70016 comment=" + b"y" * 70000 + b"\n", plain)
    yield "global pax digits", extended(tarfile.XGLTYPE, b"7" * 30_000, plain)
    yield "long name over the cap", extended(tarfile.GNUTYPE_LONGNAME, b"n" * (1 << 20), plain)
    chain = plain
    for _ in range(50):
        chain = extended(tarfile.GNUTYPE_LONGNAME, b"a" * 300 + b"\0", chain)
    yield "chain of long names", chain
    yield "sparse member", info("minbar/stock/S.h5", tarfile.GNUTYPE_SPARSE).tobuf(format=tarfile.GNU_FORMAT) + plain
    yield "symlink out", tar_of(good + [(info("bundle/evil", tarfile.SYMTYPE, "/etc/passwd"), b"")])
    yield "hard link", tar_of(good + [(info("bundle/evil", tarfile.LNKTYPE, "/etc/passwd"), b"")])
    yield "symlink then file through it", tar_of([(info("bundle", tarfile.SYMTYPE, "/tmp"), b""), good[0]])
    yield "device", tar_of(good + [(info("bundle/tty", tarfile.CHRTYPE), b"")])
    yield "block device", tar_of(good + [(info("bundle/sda", tarfile.BLKTYPE), b"")])
    yield "fifo", tar_of(good + [(info("bundle/fifo", tarfile.FIFOTYPE), b"")])
    yield "dot-dot", tar_of(good + [("../../evil.h5", b"x")])
    yield "absolute", tar_of(good + [("/tmp/evil.h5", b"x")])
    yield "duplicate", tar_of(good + [good[0]])
    yield "case duplicate", tar_of(good + [(good[0][0].upper(), good[0][1])])
    yield "garbage h5", tar_of([good[0], ("minbar/stock/G.h5", os.urandom(115))], mode="w:gz")
    yield "only garbage h5", tar_of([("bundle/instruments.h5", os.urandom(60)), ("minbar/stock/G.h5", os.urandom(55))])
    yield "wrong kind at place", tar_of([("bundle/instruments.h5", h5["minbar"])])
    yield "h5 off the layout", tar_of(good + [("bundle/bundle/instruments.h5", h5["instruments"])])
    yield "two bundles", tar_of([("a/" + good[0][0], good[0][1]), ("b/" + good[1][0], good[1][1])])
    yield "no bundle", tar_of([("notes.txt", b"hello")])
    yield "empty tar", tar_of([])
    import bz2
    import lzma

    yield "bz2 with garbage after it", bz2.compress(plain) + b"GARBAGE-TRAILING-JUNK"
    yield "xz with garbage after it", lzma.compress(plain) + b"GARBAGE-TRAILING-JUNK-HELLO"
    yield "bz2 cut short", bz2.compress(plain)[:-20]
    many = "".join(f"w{i}/" + "d/" * 12 + "f\n" for i in range(2000))
    yield "directories without end", tar_of([(line, b"") for line in many.split()], mode="w:gz")
    gz = gzip.compress(plain)
    yield "gzip cut short", gz[: len(gz) // 2]
    yield "gzip bad crc", gz[:-8] + bytes(8)
    zipped = zip_of(good)
    yield "zip cut short", zipped[: len(zipped) - 30]
    yield "zip without central directory", zipped[: zipped.rindex(b"PK\x01\x02")]
    crc = bytearray(zipped)
    at = crc.index(b"PK\x01\x02") + 16
    crc[at:at + 4] = b"\0\0\0\0"
    local = crc.index(b"PK\x03\x04") + 14
    crc[local:local + 4] = b"\0\0\0\0"
    yield "zip bad crc", bytes(crc)
    yield "zip bad utf-8 name", zip_of(good + [("minbar/stock/\u00e9.h5", b"x")]).replace("\u00e9".encode(), b"\xff\xfe")
    yield "zip symlink", zip_of(good + [(zip_mode("bundle/link", stat.S_IFLNK | 0o777), b"/etc/passwd")])
    yield "zip fifo", zip_of(good + [(zip_mode("bundle/fifo", stat.S_IFIFO | 0o644), b"")])
    yield "zip dot-dot", zip_of(good + [("../evil.h5", b"x")])
    yield "zip backslash dot-dot", zip_of(good + [("bundle\\..\\..\\evil.h5", b"x")])
    yield "zip drive", zip_of(good + [("C:/evil.h5", b"x")])
    encrypted = bytearray(zip_of(good))
    for marker in (b"PK\x03\x04", b"PK\x01\x02"):
        at = encrypted.index(marker) + (6 if marker == b"PK\x03\x04" else 8)
        encrypted[at] |= 1
    yield "zip encrypted flag", bytes(encrypted)
    yield "zip garbage h5", zip_of([good[0], ("tick/stock/G.h5", os.urandom(200))])


def run(keep=None, cuts=200, time_limit=TIME_LIMIT):
    work = keep or tempfile.mkdtemp(prefix="hostile-")
    os.makedirs(work, exist_ok=True)
    bundle_path = os.path.join(work, "outside", "bundle")
    engine.build_bundle(bundle_path, sample=True)
    h5 = {
        "instruments": open(os.path.join(bundle_path, "bundle", "instruments.h5"), "rb").read(),
        "minbar": next(open(os.path.join(d, f), "rb").read()
                       for d, _n, fs in os.walk(os.path.join(bundle_path, "minbar")) for f in fs),
    }
    good = [("bundle/instruments.h5", h5["instruments"]), ("minbar/stock/A.h5", h5["minbar"])]
    outside = os.path.dirname(bundle_path)
    before = tree(outside)
    failures, slowest, count = [], 0.0, 0
    fifo = os.path.join(work, "fifo")
    if not os.path.exists(fifo):
        os.mkfifo(fifo)
    for name, data in corpus(good, h5, fifo):
        count += 1
        path = os.path.join(work, "archive")
        with open(path, "wb") as f:
            f.write(data)
        started = time.monotonic()
        try:
            install_archive(path, bundle_path)
            failures.append(f"{name}: installed")
        except VantorelError as exc:
            print(f"{name:32} {exc.message.replace(work, '…')}")
            if "未作任何改动" not in exc.message:
                failures.append(f"{name}: message does not say the bundle is unchanged: {exc.message}")
        except Exception as exc:  # a traceback where a message belongs
            failures.append(f"{name}: {type(exc).__name__}: {exc}")
        took = time.monotonic() - started
        slowest = max(slowest, took)
        if took > time_limit:
            failures.append(f"{name}: took {took:.1f} s")
        if tree(outside) != before:
            failures.append(f"{name}: something under {outside} changed")
            before = tree(outside)
    print(f"{count} hostile archives, slowest {slowest:.2f} s, {len(failures)} failures")

    # The cut-short study: a valid tar of the whole sample bundle.
    whole = io.BytesIO()
    with tarfile.open(fileobj=whole, mode="w") as tf:
        for top in ("bundle", "minbar", "tick"):
            tf.add(os.path.join(bundle_path, top), arcname=top)
    data = whole.getvalue()
    end = len(data.rstrip(b"\0"))
    offsets = set()
    position = 0
    while position < end:  # every header boundary
        header = tarfile.TarInfo.frombuf(data[position:position + 512], "utf-8", "surrogateescape")
        offsets.add(position)
        position += 512 + -(-header.size // 512) * 512
    rng = random.Random(7)
    offsets |= {rng.randrange(1, end + 1024) for _ in range(cuts)}
    installed = 0
    path = os.path.join(work, "cut.tar")
    for cut in sorted(offsets):
        with open(path, "wb") as f:
            f.write(data[:cut])
        try:
            install_archive(path, bundle_path)
            installed += 1
            failures.append(f"cut at {cut} of {len(data)}: installed")
        except VantorelError:
            pass
    if tree(outside) != before:
        failures.append("cut-short study: the bundle changed")
    print(f"cut-short study: {len(offsets)} cuts of a {len(data)}-byte tar, {installed} installed")
    for failure in failures:
        print("FAIL", failure)
    if keep is None:
        shutil.rmtree(work)
    return not failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keep", help="work in this directory and keep it")
    parser.add_argument("--cuts", type=int, default=200, help="random cut offsets besides the header boundaries")
    parser.add_argument("--time-limit", type=float, default=TIME_LIMIT, help="seconds an archive may take")
    args = parser.parse_args()
    sys.exit(0 if run(args.keep, args.cuts, args.time_limit) else 1)


if __name__ == "__main__":
    main()
