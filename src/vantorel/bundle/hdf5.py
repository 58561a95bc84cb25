"""Opening a bundle file with h5py's low-level calls, and what a file may declare: every HDF5 idiom
the readers, writers and validators share, and the refusals of what would read outside the file
or swell in memory."""
import itertools
import os
import weakref

from vantorel.bundle.places import (
    CHUNK_ROWS,
    READABLE_SCHEMAS,
    StorageError,
    name_of_opened,
    open_in_bundle,
    refuse_foreign,
)
from vantorel.market.schemas import daybar_dtype, minbar_dtype, tick_dtype


# New minute-bar and tick series are stored bit-shuffled and LZ4-compressed: on market rows that
# keeps about 21 bytes of a 68-byte minute bar and 25 of a 108-byte tick, and reads back nearly as
# fast as the raw rows, where deflate is three to eight times slower to read (benchmarks/compression.py).
# Daily bars stay plain: a code's series is read whole in chunks of a quarter, where the codec's
# cost for each chunk would double the read. The codec comes from
# hdf5plugin (``load_codec``); files written without it read as before.
SERIES_FILTER = 32008
_SERIES_FILTER_OPTIONS = (0, 2)  # the block size left to the filter; 2 is LZ4
COMPRESSED_KINDS = ("minbar", "tick")


def load_codec():
    """Register SERIES_FILTER with the HDF5 h5py runs on. hdf5plugin registers all its filters as
    it is imported, which takes tens of milliseconds: paid only by a process that writes a series
    or meets a compressed one (``series_problem`` judges every series before it is read)."""
    import hdf5plugin  # noqa: F401


class DriverFile:
    """What h5py's file-object driver needs of a file the kit lays between HDF5 and the disk: a
    position and a length over ``_read_at`` (and ``write``) of the subclass."""

    position = 0
    length = 0

    def seek(self, offset, whence=0):
        self.position = offset if whence == 0 else self.position + offset if whence == 1 else self.length + offset
        return self.position

    def tell(self):
        return self.position

    def read(self, size=-1):
        size = max(self.length - self.position, 0) if size is None or size < 0 else size
        data = self._read_at(self.position, size)
        self.position += len(data)
        return data

    def readinto(self, buffer):
        view = memoryview(buffer).cast("B")
        data = self._read_at(self.position, len(view))
        view[:len(data)] = data
        self.position += len(data)
        return len(data)

    def truncate(self, size=None):
        self.length = self.position if size is None else size
        return self.length

    def flush(self):
        pass

    def _read_at(self, offset, size):
        raise NotImplementedError

    def read_stored(self, offset, size):
        """The bytes HDF5 would read at ``offset``, for the checks that read them without it."""
        return self._read_at(offset, size)


class _ImageParts:
    """Property lists and types every file and series is made with."""

    def __init__(self):
        import h5py
        import numpy as np
        from h5py import h5p, h5s, h5t, h5z

        self.series_dcpl = {}
        for kind, rows in CHUNK_ROWS.items():
            dcpl = h5p.create(h5p.DATASET_CREATE)
            dcpl.set_chunk((rows,))
            if kind in COMPRESSED_KINDS:
                # Optional, as h5py sets its filters: a chunk the filter cannot shrink is stored as it is.
                dcpl.set_filter(SERIES_FILTER, h5z.FLAG_OPTIONAL, _SERIES_FILTER_OPTIONS)
            dcpl.set_obj_track_times(False)  # as h5py does: the same rows make the same bytes
            self.series_dcpl[kind] = dcpl
        self.read_fapl = h5p.create(h5p.FILE_ACCESS)
        # No chunk cache for reading: a series is read whole, or a day of it (a chunk or two),
        # once; caching each decoded chunk cost a quarter of a whole read of a long history.
        self.read_fapl.set_cache(0, 0, 0, 0.75)
        self.scalar = h5s.create(h5s.SCALAR)
        text = h5py.string_dtype()
        integer = h5t.py_create(np.dtype("i8"))
        # (type in the file, type of the value in memory, dtype of the value): h5py writes a text
        # from memory as a Python object, which only its own memory type for that dtype converts.
        self.attr_types = {str: (h5t.py_create(text, logical=True), h5t.py_create(text), text),
                           int: (integer, integer, "i8")}
        self._types = {}

    def series_type(self, dtype):
        import h5py

        tid = self._types.get(dtype)
        if tid is None:
            tid = self._types[dtype] = h5py.h5t.py_create(dtype, logical=True)
        return tid


_IMAGE_PARTS = None


IMAGE_NAMES = itertools.count()
_DRIVEN = weakref.WeakValueDictionary()  # HDF5's name of a file opened through a DriverFile -> it


def driven_name(prefix, driver):
    """A name for HDF5 to give a file it reaches through ``driver``, by which the checks find the
    driver and read a chunk's head from it, as they read it from a file's descriptor, rather than
    read the whole chunk through HDF5 (``_codec_problem``)."""
    name = f"{prefix}-{next(IMAGE_NAMES)}"
    _DRIVEN[name] = driver
    return name.encode()


def image_parts():
    global _IMAGE_PARTS
    if _IMAGE_PARTS is None:
        _IMAGE_PARTS = _ImageParts()
    return _IMAGE_PARTS


# Opens of a file that updates keep replacing whole before a reader gives up on it.
_OPENS = 3


def open_file(path, kind, with_version=False):
    """Open a bundle file for reading, checking that it is one of ours and of a schema this kit
    reads; with ``with_version``, (the file, its schema version)."""
    import h5py

    from vantorel.bundle import journal

    kept = journal.held_reason(path)
    if kept:
        # A journal of it waits to be played back: it may be half written (or out of reach).
        raise StorageError(f"无法读取数据文件 {path}：{kept}", kept, damaged=False)
    for attempt in range(_OPENS):
        try:
            # Judged by the file opened, not by its name: on a bundle path others may write, the name
            # can lead into another user's tree (or to a pipe) between any look and the open.
            fd = open_in_bundle(path)
        except FileNotFoundError:
            raise
        except OSError as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}", damaged=False) from exc
        try:
            hold_for_reading(fd, path)
            # The low-level open with one property list: h5py's File(path) makes three lists a call,
            # and an update or a check opens every file of the bundle.
            opened = name_of_opened(fd, path)
            f = _held_file(h5py.h5f.open(os.fsencode(opened), h5py.h5f.ACC_RDONLY, image_parts().read_fapl))
            break
        except (OSError, ValueError) as exc:
            # An update that replaced the whole file after it was opened: HDF5 resolves the name
            # of the descriptor, which now leads nowhere. The name holds the new file: read that.
            replaced = os.fstat(fd).st_nlink == 0
            os.close(fd)
            if replaced and attempt + 1 < _OPENS:
                continue
            # h5py gives an errno for what the system refused (permission, I/O, the lock of another
            # process), and none for a file that is not HDF5 or is cut short.
            damaged = getattr(exc, "errno", None) is None
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}", damaged) from exc
        except BaseException:
            os.close(fd)
            raise
    f.hold(fd)
    try:
        if opened == path and hasattr(os, "geteuid"):  # HDF5 opened the name again: judge what it found
            refuse_foreign(os.fstat(f.id.get_vfd_handle()), path)
        version = declared_schema(f, path, kind)
    except BaseException:
        f.close()
        raise
    return (f, version) if with_version else f


def declared_schema(f, path, kind):
    """The schema version an open file declares, when it is one this kit reads and the file is of
    ``kind``; StorageError otherwise."""
    version = root_attr(f, "schema_version")
    file_kind = root_attr(f, "kind")
    try:
        if isinstance(file_kind, bytes):
            file_kind = file_kind.decode()
        if version is not None and attr_int(version) in READABLE_SCHEMAS and bool(file_kind == kind):
            return attr_int(version)
    except (TypeError, ValueError):
        pass  # a damaged attribute (text, an array, bytes that are no UTF-8) is a file not of ours
    detail = f"schema_version={version}，kind={file_kind}"
    raise StorageError(f"数据文件 {path} 的格式不受支持（{detail}）", f"格式不受支持（{detail}）")


def hold_for_reading(fd, path):
    """Take the file's shared lock, waiting out a change in place being committed (``overlay``),
    and refuse a file a killed writer left half changed since the read began."""
    from vantorel.bundle import journal, locks

    try:
        import fcntl  # noqa: F401
    except ImportError:
        return  # Windows: readers and writers exclude each other by the layout lock
    try:
        locks.flock_within(fd, False, locks.swap_wait(), None)
    except BlockingIOError:
        raise StorageError(f"无法读取数据文件 {path}：它正被改写，等了 {locks.swap_wait():g} 秒仍未写完；请稍后再试",
                           "正被改写", damaged=False) from None
    orphan = journal.orphaned(path, fd)
    if orphan:
        raise StorageError(f"无法读取数据文件 {path}：{orphan}", orphan, damaged=False)


def _held_file_class():
    import h5py

    class HeldFile(h5py.File):
        """A file open for reading, with the descriptor whose shared lock keeps a change in place
        out of it until it is closed."""

        def hold(self, fd):
            self._release = weakref.finalize(self, os.close, fd)

        def close(self):
            try:
                super().close()
            finally:
                release = getattr(self, "_release", None)
                if release is not None:
                    release()

    return HeldFile


_HELD_FILE = []


def _held_file(fid):
    if not _HELD_FILE:
        _HELD_FILE.append(_held_file_class())
    return _HELD_FILE[0](fid)


def attr_int(value):
    """An integer attribute as an int; ValueError for text, arrays, fractions and anything else."""
    import numpy as np

    if isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_)):
        return int(value)
    raise ValueError(f"不是整数：{value!r}")


def root_attr(f, name):
    """A root attribute as ``f.attrs.get(name)`` gives it; the scalar numbers and texts the kit
    writes are read with the low-level calls, at a fraction of the cost (texts come as bytes).
    A check reads five of them from every file, an update three."""
    import h5py
    import numpy as np

    try:
        attr = h5py.h5a.open(f.id, name.encode())
    except KeyError:
        return None
    except (TypeError, ValueError, OSError):
        return f.attrs.get(name)
    try:
        if attr.get_space().get_simple_extent_type() == h5py.h5s.SCALAR:
            stored = attr.get_type()
            # The types the kit writes are read without making their dtypes first.
            for tid, mtype, dtype in image_parts().attr_types.values():
                if stored.equal(tid):
                    value = np.empty((), dtype)
                    attr.read(value, mtype=mtype)
                    return value[()]
            if attr.dtype.kind in "iuO":
                value = np.empty((), attr.dtype)
                attr.read(value)
                return value[()]
    except (TypeError, ValueError, OSError, KeyError):
        pass  # whatever it is, h5py says it as it always does
    return f.attrs.get(name)


# Filters that shrink what is stored, so that the stored size says little of the rows declared.
_COMPRESSING_FILTERS = (1, 4, 5, 6, 32000, SERIES_FILTER)  # deflate, szip, n-bit, scale-offset, lzf


# The filters HDF5 has built in, the lzf h5py registers itself and the kit's own codec; HDF5 looks
# any other up in its plugin directories and loads it, and hdf5plugin has registered many more,
# none of which a file from somebody else may make the kit run.
_KNOWN_FILTERS = (1, 2, 3, 4, 5, 6, 32000, SERIES_FILTER)


# Market data compresses three- to fivefold (measured on minute and daily bars and ticks with
# shuffle and deflate, and with SERIES_FILTER); a file that declares a hundred times what it holds is made to swell when it is read.
MAX_COMPRESSION = 100


# HDF5 decodes a compressed chunk whole to read a single row of it, and an update reads the last
# chunk of every series: the kit's chunks are a few tens of kilobytes, h5py's own at most 1 MiB.
MAX_CHUNK_BYTES = 4 << 20


def series_problem(ds, dtype=None, deep=False):
    """Why a dataset cannot be a series (no table of rows, data kept outside its file, or more
    rows declared than the file holds bytes for: reading it would fill gigabytes from a few
    kilobytes), or None. ``dtype`` is the dataset's, when the caller has made it (h5py makes it
    anew at every access). Reads only the dataset's header, chunk index and, for the kit's codec,
    the head of each chunk; ``deep`` (a file from somebody else, before it is installed) reads every
    compressed chunk's block lengths too."""
    import h5py

    if not isinstance(ds, h5py.Dataset):
        return "不是数据集"
    dataset = ds.id  # h5py's properties make a property list at every access; one will do
    dcpl = dataset.get_create_plist()
    # Before the extent: that of a virtual dataset is found by opening the files it names.
    layout = dcpl.get_layout()
    if layout == h5py.h5d.VIRTUAL:
        return "数据集是虚拟数据集，数据取自别的文件"
    if dcpl.get_external_count():
        return "数据集的数据存放在别的文件中（外部存储）"
    filters = [dcpl.get_filter(i)[0] for i in range(dcpl.get_nfilters())]
    unknown = [number for number in filters if number not in _KNOWN_FILTERS]
    if unknown:
        return f"数据集使用了本套件不认识的过滤器（编号 {unknown[0]}）"
    if SERIES_FILTER in filters:
        load_codec()
    shape = dataset.shape
    if shape is None:
        return "数据集没有形状（空数据空间），不是一列数据"
    if len(shape) != 1:
        return f"数据集的维数为 {len(shape)}，应为 1"
    itemsize = (dtype or dataset.dtype).itemsize
    chunk = dcpl.get_chunk()[0] * itemsize if layout == h5py.h5d.CHUNKED else 0
    if chunk > MAX_CHUNK_BYTES:
        return f"数据集的数据块有 {chunk} 字节，超过上限 {MAX_CHUNK_BYTES} 字节"
    # A chunk index may name one chunk many times and HDF5 counts it each time: what a dataset
    # holds is never more than its whole file.
    held = min(dataset.get_storage_size(), h5py.h5i.get_file_id(dataset).get_filesize())
    if any(number in _COMPRESSING_FILTERS for number in filters):
        held *= MAX_COMPRESSION
    if shape[0] * itemsize > held:
        return f"数据集声明了 {shape[0]} 行，文件中却没有这么多数据"
    if SERIES_FILTER in filters:
        return _codec_problem(dataset, dcpl, itemsize, deep)
    return None


def _codec_problem(dataset, dcpl, itemsize, deep):
    """Why the chunks SERIES_FILTER keeps are not as the kit writes them, or None. The codec takes a
    chunk's own header for the size it decodes to, and each block's own length for where the next
    begins: a header that says more than the chunk holds writes past the buffer HDF5 gave it, one
    that says less hands the reader memory it never wrote, a block length past the chunk reads
    beyond it. So the pipeline (the codec alone, with the kit's options), every chunk's header and,
    with ``deep``, every block's length are checked against the dataset before any is decoded."""
    import struct

    import h5py

    pipeline = [dcpl.get_filter(i) for i in range(dcpl.get_nfilters())]
    if len(pipeline) != 1:
        return "数据集的过滤器不只本套件的压缩一个"
    values = pipeline[0][2]
    if len(values) < 3 or values[-3] != itemsize or tuple(values[-2:]) != _SERIES_FILTER_OPTIONS:
        return f"数据集的压缩参数 {tuple(values)} 不是本套件所写的"
    expected = dcpl.get_chunk()[0] * itemsize
    try:
        fd = h5py.h5i.get_file_id(dataset).get_vfd_handle()
    except (TypeError, ValueError, RuntimeError):
        fd = None  # reached through a file object: read each chunk through it, or through HDF5
    driver = None if isinstance(fd, int) else _DRIVEN.get(os.fsdecode(h5py.h5i.get_file_id(dataset).name))

    def stored(chunk, size):
        if isinstance(fd, int):
            return os.pread(fd, size, chunk.byte_offset)
        if driver is not None:
            return driver.read_stored(chunk.byte_offset, size)
        return dataset.read_direct_chunk(chunk.chunk_offset)[1][:size]

    for chunk in _chunks(dataset):
        if chunk.filter_mask & 1:
            if chunk.size != expected:  # kept as it is (the codec could not shrink it): whole
                return f"未压缩的数据块有 {chunk.size} 字节，应为 {expected} 字节"
            continue
        head = stored(chunk, chunk.size if deep else 12)
        total, block = struct.unpack(">QI", head[:12]) if len(head) >= 12 else (None, 0)
        if total != expected or block <= 0 or block % (8 * itemsize):
            return f"数据块的压缩头声明了 {total} 字节，与数据集的数据块（{expected} 字节）不符"
        if deep and not _blocks_fit(head, expected, block, itemsize):
            return "数据块中各段的长度与数据块不符"
    return None


def _blocks_fit(chunk, total, block, itemsize):
    """Whether the blocks of a codec chunk, each a 4-byte length and that many bytes, with the
    last bytes that fill no block of 8 rows kept as they are, end exactly where the chunk does."""
    import struct

    whole, left = divmod(total, block)
    rest = left - left % (8 * itemsize)
    at = 12
    for _block in range(whole + (1 if rest else 0)):
        if at + 4 > len(chunk):
            return False
        (length,) = struct.unpack_from(">I", chunk, at)
        at += 4 + length
        if length == 0 or at > len(chunk):
            return False
    return at + left % (8 * itemsize) == len(chunk)


def swelling_problem(f, datasets):
    """Why the series of one file, together, declare more rows than the file holds bytes for, or
    None. Each is judged alone by series_problem; but the chunk indexes of many may name the same
    chunks, so what they hold is counted here once for each place in the file."""
    import h5py

    held = {}  # {address in the file: bytes stored there}
    declared = 0
    compressed = False
    for ds in datasets:
        dataset = ds.id
        declared += dataset.shape[0] * dataset.get_type().get_size()
        dcpl = dataset.get_create_plist()
        compressed = compressed or any(dcpl.get_filter(i)[0] in _COMPRESSING_FILTERS
                                       for i in range(dcpl.get_nfilters()))
        layout = dcpl.get_layout()
        if layout == h5py.h5d.CHUNKED:
            for chunk in _chunks(dataset):
                held[chunk.byte_offset] = chunk.size
        elif layout == h5py.h5d.CONTIGUOUS:
            held[dataset.get_offset()] = dataset.get_storage_size()
        else:  # compact: kept in the dataset's own header
            held[("compact", ds.name)] = dataset.get_storage_size()
    stored = min(sum(held.values()), f.id.get_filesize())
    if declared > (MAX_COMPRESSION if compressed else 1) * stored:
        return f"数据集共声明了 {declared} 字节，文件中却没有这么多数据"
    return None


def _chunks(dataset):
    """The stored chunks of a chunked low-level dataset, from one walk of its index where h5py can."""
    if hasattr(dataset, "chunk_iter"):
        chunks = []
        dataset.chunk_iter(chunks.append)
        return chunks
    return [dataset.get_chunk_info(i) for i in range(dataset.get_num_chunks())]


def linked_member(f, path, name):
    """The object root link ``name`` of an open bundle file leads to, or None when there is none.
    A link to somewhere else (another file, another path) is refused, not followed: it would read
    any file the user can read, and wait forever on a pipe. So is a dataset reached by several
    names: read under each, one dataset would count as many."""
    import h5py

    links = f.id.links
    key = name.encode()
    if "/" in name or name in ("", ".") or not links.exists(key):
        return None
    if links.get_info(key).type != h5py.h5l.TYPE_HARD:
        raise StorageError(f"数据文件 {path} 无法使用：{name} 是指向别处的链接", f"{name} 是指向别处的链接")
    try:
        member = f[name]
        shared = isinstance(member, h5py.Dataset) and h5py.h5o.get_info(member.id).rc > 1
    except (KeyError, OSError, ValueError) as exc:
        # h5py says KeyError for an object that is there but cannot be opened: damage, not absence.
        detail = exc.args[0] if isinstance(exc, KeyError) and exc.args else exc
        raise StorageError(f"无法读取数据文件 {path}：{name}：{detail}", f"无法读取：{detail}") from None
    if shared:
        reason = f"{name} 与文件中别的名称指向同一个数据集"
        raise StorageError(f"数据文件 {path} 无法使用：{reason}", reason)
    return member


_SERIES_DTYPES = {"minbar": minbar_dtype, "tick": tick_dtype, "daybar": daybar_dtype}


SERIES_KINDS = tuple(_SERIES_DTYPES)


def series_dtype(dataset, kind):
    """A low-level dataset's dtype; h5py builds a compound one field by field at every access, so
    that of the kit's own series is known by comparing types instead."""
    ours = _SERIES_DTYPES[kind]()
    return ours if dataset.get_type().equal(image_parts().series_type(ours)) else dataset.dtype


def read_row(dataset, index, dtype):
    """One row of a low-level dataset (a fifth of what ``ds[index]`` costs)."""
    import h5py
    import numpy as np

    row = np.empty(1, dtype)
    space = dataset.get_space()
    space.select_hyperslab((index,), (1,))
    dataset.read(h5py.h5s.create_simple((1,)), space, row, mtype=image_parts().series_type(dtype))
    return row[0]
