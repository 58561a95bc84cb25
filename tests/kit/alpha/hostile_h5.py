"""Bundle files from somebody else: the right attributes and names, but data read from other files,
through a plugin, or swelling far past what the file holds when read."""
import os
import tempfile

import h5py
import numpy as np

from vantorel.bundle import hdf5, places
from vantorel.market import schemas

# kind: (dataset name, dtype, attributes beyond schema_version and kind)
KINDS = {
    "minbar": ("bars", schemas.minbar_dtype(), dict(order_book_id="A", category="stock", rows=0,
                                                    first_trading_date=0, last_trading_date=0)),
    "daybar": ("A", schemas.daybar_dtype(), dict(category="stock")),
    "instruments": ("instruments", schemas.instrument_dtype(), {}),
    "trading_dates": ("trading_dates", np.dtype("i4"), {}),
}

# What a hostile file does, and the words of its refusal.
REFUSALS = {
    "external storage": "外部存储",
    "virtual dataset": "虚拟数据集",
    "external link": "指向别处的链接",
    "plugin filter": "不认识的过滤器",
    "codec the kit does not use": "不认识的过滤器",
    "declares 200M rows": "没有这么多数据",
    "declares 60M compressed rows": "没有这么多数据",
    "one big compressed chunk": "数据块",
    "end moved before its data": "无法读取",
    "one chunk indexed 300 times": "没有这么多数据",
    "no shape": "没有形状",
    "linked under two names": "同一个数据集",
    "codec chunk declaring more": "压缩头",
    "codec chunk declaring less": "压缩头",
    "codec behind another filter": "不只本套件的压缩",
    "codec chunk kept short": "未压缩的数据块",
}


def outside_file(path, kind):
    """An HDF5 file beside the bundle holding ten rows of ``kind`` under the same name."""
    name, dtype, _attrs = KINDS[kind]
    with h5py.File(path, "w") as f:
        f.create_dataset(name, data=np.ones(10, dtype))
    return path


def write(path, what, kind="minbar", outside="/dev/zero", schema=places.SCHEMA_VERSION):
    """A file of ``kind`` at ``path`` whose dataset does ``what`` (a key of REFUSALS, or "repacked":
    sound rows stored with shuffle and deflate); ``outside`` is the file it reaches for."""
    name, dtype, attrs = KINDS[kind]
    if what == "end moved before its data":
        return _cut_before_data(path, kind, schema)
    if what == "one chunk indexed 300 times":
        return _one_chunk_indexed(path, kind, schema, 300)
    if what.startswith("codec chunk declaring"):
        return _codec_file(path, kind, schema, declared=2.0 if what.endswith("more") else 0.5)
    if what in ("codec behind another filter", "codec chunk kept short"):
        return _codec_file(path, kind, schema, shuffled=what.endswith("filter"), short=what.endswith("short"))
    with h5py.File(path, "w", libver=("earliest", "latest")) as f:
        f.attrs.update(schema_version=schema, kind=kind, **attrs)
        if what == "external storage":
            f.create_dataset(name, shape=(1000,), dtype=dtype, external=[(outside, 0, h5py.h5f.UNLIMITED)])
        elif what == "virtual dataset":
            layout = h5py.VirtualLayout(shape=(10,), dtype=dtype)
            layout[:] = h5py.VirtualSource(outside, name, shape=(10,))
            f.create_virtual_dataset(name, layout)
        elif what == "external link":
            f[name] = h5py.ExternalLink(outside, "/" + name)
        elif what == "plugin filter":
            dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
            dcpl.set_chunk((256,))
            dcpl.set_filter(30001, h5py.h5z.FLAG_OPTIONAL)  # no such filter here: written unfiltered
            space = h5py.h5s.create_simple((10,), (h5py.h5s.UNLIMITED,))
            dataset = h5py.h5d.create(f.id, name.encode(), h5py.h5t.py_create(dtype, logical=True), space, dcpl=dcpl)
            dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, np.ones(10, dtype))
        elif what == "codec the kit does not use":  # registered with HDF5 beside the kit's own
            import hdf5plugin

            f.create_dataset(name, data=np.ones(10, dtype), maxshape=(None,), chunks=(256,), **hdf5plugin.Zstd())
        elif what == "declares 200M rows":  # nothing written: HDF5 reads the fill value
            f.create_dataset(name, shape=(200_000_000,), maxshape=(None,), dtype=dtype, chunks=(64,))
        elif what == "declares 60M compressed rows":
            f.create_dataset(name, shape=(60_000_000,), maxshape=(None,), dtype=dtype, chunks=(256,),
                             compression="gzip")
        elif what == "one big compressed chunk":
            rows = hdf5.MAX_CHUNK_BYTES // dtype.itemsize + 1
            f.create_dataset(name, data=np.zeros(rows, dtype), maxshape=(None,), chunks=(rows,), compression="gzip")
        elif what == "no shape":
            f.create_dataset(name, data=h5py.Empty(dtype))
        elif what in ("linked under two names", "repacked"):
            rows = sound_rows(kind)
            if what == "repacked":
                f.create_dataset(name, data=rows, maxshape=(None,), chunks=(64,), compression="gzip", shuffle=True)
            else:
                f.create_dataset(name, data=rows, maxshape=(None,), chunks=(64,))
                f[name + "2"] = f[name]
            if "rows" in attrs:
                f.attrs.update(rows=len(rows), first_trading_date=rows["trading_date"][0],
                               last_trading_date=rows["trading_date"][-1])
        else:
            raise ValueError(what)
    return path


def _codec_file(path, kind, schema, shuffled=False, short=False, block_length=None, declared=None):
    """Sound rows under the kit's codec, with shuffle before it, or the first chunk stored as if the
    codec had been skipped but only 100 bytes long (HDF5 would hand out what follows in memory), or
    the first block's length set to ``block_length`` (past the chunk), or its header saying it
    decodes to ``declared`` times its size (the codec would write past HDF5's buffer, or leave part
    of it unwritten)."""
    import struct

    name, dtype, attrs = KINDS[kind]
    hdf5.load_codec()
    rows = sound_rows(kind)
    with h5py.File(path, "w", libver=("earliest", "latest")) as f:
        f.attrs.update(schema_version=schema, kind=kind, **attrs)
        dcpl = h5py.h5p.create(h5py.h5p.DATASET_CREATE)
        dcpl.set_chunk((64,))
        if shuffled:
            dcpl.set_shuffle()
        dcpl.set_filter(hdf5.SERIES_FILTER, h5py.h5z.FLAG_OPTIONAL, hdf5._SERIES_FILTER_OPTIONS)
        space = h5py.h5s.create_simple((len(rows),), (h5py.h5s.UNLIMITED,))
        dataset = h5py.h5d.create(f.id, name.encode(), h5py.h5t.py_create(dtype, logical=True), space, dcpl=dcpl)
        dataset.write(h5py.h5s.ALL, h5py.h5s.ALL, rows)
        if short:
            dataset.write_direct_chunk((0,), bytes(100), 1)
        at = dataset.get_chunk_info(0).byte_offset
    with open(path, "r+b") as raw:
        if block_length is not None:
            raw.seek(at + 12)
            raw.write(struct.pack(">I", block_length))
        if declared is not None:
            raw.seek(at)
            raw.write(struct.pack(">Q", int(64 * dtype.itemsize * declared)))
    return path


def _cut_before_data(path, kind, schema):
    """A file cut where its data begins, its superblock saying that is where it ends."""
    import struct

    name, dtype, attrs = KINDS[kind]
    with h5py.File(path, "w") as f:
        f.attrs.update(schema_version=schema, kind=kind, **attrs)
        end = f.create_dataset(name, data=np.zeros(100_000, dtype)).id.get_offset()
    with open(path, "r+b") as f:
        head = f.read(48)
        assert head[8] == 0, "superblock version 0 keeps the end of the file at byte 40"
        f.seek(40)
        f.write(struct.pack("<Q", end))
        f.truncate(end)
    return path


def _one_chunk_indexed(path, kind, schema, times):
    """A compressed dataset whose chunk index names the same chunk ``times`` times: HDF5 counts its
    size at each entry."""
    name, dtype, attrs = KINDS[kind]
    chunk = _incompressible_rows(dtype)
    rows = len(chunk)
    if "rows" in attrs:  # every chunk reads as the first: the attributes agree with the rows
        attrs = dict(attrs, rows=times * rows, first_trading_date=chunk["trading_date"][0],
                     last_trading_date=chunk["trading_date"][-1])
    with h5py.File(path, "w", libver="earliest") as f:
        f.attrs.update(schema_version=schema, kind=kind, **attrs)
        ds = f.create_dataset(name, shape=(times * rows,), maxshape=(None,), dtype=dtype, chunks=(rows,),
                              compression="gzip")
        entries = _stored_chunks(ds, chunk, times)
    _index_one_chunk(path, entries)
    return path


def daily_series_sharing_one_chunk(path, times):
    """A daily-bar file of ``times`` series, each holding one compressed chunk in its own index,
    every index naming the chunk of the first."""
    dtype = schemas.daybar_dtype()
    chunk = _incompressible_rows(dtype)
    with h5py.File(path, "w", libver="earliest") as f:
        f.attrs.update(schema_version=places.SCHEMA_VERSION, kind="daybar", category="stock")
        entries = []
        for i in range(times):
            ds = f.create_dataset("A%d" % i, shape=(len(chunk),), maxshape=(None,), dtype=dtype,
                                  chunks=(len(chunk),), compression="gzip")
            entries += _stored_chunks(ds, chunk, 1, first=i == 0)
    _index_one_chunk(path, entries)
    return path


def _incompressible_rows(dtype):
    return np.frombuffer(np.random.default_rng(0).bytes((16 << 10) // dtype.itemsize * dtype.itemsize), dtype)


def _stored_chunks(ds, chunk, times, first=True):
    """Write ``chunk`` compressed as the first of ``times`` chunks of ``ds`` (when ``first``) and a few
    bytes as each other; [(chunk info, row offset)] of each."""
    import zlib

    rows = len(chunk)
    for i in range(times):
        ds.id.write_direct_chunk((i * rows,), zlib.compress(chunk.tobytes() if first and i == 0 else b"%d" % i))
    return [(ds.id.get_chunk_info(i), i * rows) for i in range(times)]


def _index_one_chunk(path, entries):
    """Point every chunk index entry of ``entries`` at the chunk of the first. In a file of version 1
    B-trees (libver "earliest"), an entry is (size, filter mask, offsets, address)."""
    import struct

    (first, _), *others = entries
    with open(path, "r+b") as f:
        image = f.read()
        for entry, row in others:
            f.seek(image.index(struct.pack("<IIQQQ", entry.size, 0, row, 0, entry.byte_offset)))
            f.write(struct.pack("<IIQQQ", first.size, 0, row, 0, first.byte_offset))


def sound_rows(kind):
    """A thousand rows, ascending in each field, as a table of the kind might hold."""
    dtype = KINDS[kind][1]
    if dtype.names is None:
        return np.arange(20240101, 20241101, dtype=dtype)
    rows = np.zeros(1000, dtype)
    for name in dtype.names:
        if dtype[name].kind == "S":
            rows[name] = [b"%06d.XSHE" % i for i in range(1000)]
        else:
            rows[name] = np.arange(1000) + 20240101
    return rows


def image(what, kind="minbar", **options):
    """The bytes of ``write``'s file."""
    with tempfile.TemporaryDirectory() as directory:
        path = write(os.path.join(directory, "x.h5"), what, kind, **options)
        with open(path, "rb") as f:
            return f.read()
