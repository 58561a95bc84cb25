"""Appending to a stored series in place, through the journaled overlay, and converting files an
older release wrote."""
import os

from vantorel.bundle.hdf5 import attr_int, driven_name, hold_for_reading, image_parts, read_row, root_attr
from vantorel.bundle.places import (
    DATASET,
    LIBVER,
    SCHEMA_VERSION,
    StorageError,
    bundle_dir,
    data_path,
    daybar_path,
    name_of_opened,
    open_in_bundle,
)
from vantorel.bundle.reading import appendable_problem, plain, read_data_file, read_daybar_file, read_file_attrs
from vantorel.bundle.writing import atomic_h5, create_series


class StoredColumn:
    """One field of a stored series as a sequence ``bisect`` can search: each look-up reads one row."""

    def __init__(self, ds, field):
        self.ds = ds
        self.field = field

    def __len__(self):
        return self.ds.shape[0]

    def __getitem__(self, index):
        return int(self.ds[index][self.field])


def _overlap_start(dataset, first_new, stored_type, stored_last=None):
    """The index of the first stored row whose ``datetime`` is not before ``first_new``: new rows
    replace the stored tail from there. Reads a handful of rows, not the series (none when the
    caller knows the last stored ``datetime``, ``stored_last``, and the new rows come after it)."""
    import bisect

    import h5py

    n = dataset.shape[0]
    if n == 0:
        return n
    if stored_last is None:
        stored_last = int(read_row(dataset, n - 1, stored_type)["datetime"])
    if stored_last < first_new:
        return n
    return bisect.bisect_left(StoredColumn(h5py.Dataset(dataset), "datetime"), first_new)


def _append(dataset, rows, stored_last=None):
    """Append ``rows`` to a series (a low-level dataset) in place, replacing any stored tail they
    overlap; returns the index the new rows start at."""
    import h5py
    import numpy as np

    if not len(rows):
        return dataset.shape[0]
    stored_type = dataset.dtype  # h5py makes it anew at every access
    # Rows of the stored type are taken as they are; others by their fields, padding left out.
    fields = rows.dtype if stored_type == rows.dtype else rows.dtype.descr
    problem = appendable_problem(dataset, fields, stored_type)
    if problem:
        raise StorageError(f"数据集 {h5py.h5i.get_name(dataset).decode()} {problem}", problem)
    rows = np.ascontiguousarray(rows.astype(stored_type, copy=False))
    start = _overlap_start(dataset, int(rows["datetime"][0]), stored_type, stored_last)
    dataset.set_extent((start + len(rows),))
    space = dataset.get_space()
    space.select_hyperslab((start,), (len(rows),))
    tid = image_parts().series_type(stored_type)
    dataset.write(h5py.h5s.create_simple((len(rows),)), space, rows, mtype=tid)
    return start


def _set_counts(fid, counts):
    """Set integer root attributes as ``attrs[name] = value`` would leave them, rewriting a stored
    64-bit scalar in place: an append changes a few bytes of the header instead of moving it."""
    import h5py
    import numpy as np

    made = image_parts()
    integer, _mtype, dtype = made.attr_types[int]
    for name, value in counts.items():
        key = name.encode()
        data = np.array(value, dtype)
        if h5py.h5a.exists(fid, key):
            attr = h5py.h5a.open(fid, key)
            if attr.shape == () and attr.dtype == data.dtype:
                attr.write(data, mtype=integer)
                continue
            del attr
            h5py.h5a.delete(fid, key)
        h5py.h5a.create(fid, key, integer, made.scalar).write(data, mtype=integer)


class Edit:
    """A stored file opened for an in-place change through a journal overlay. Unless ``checked``
    (the caller judges the file's kind and schema itself), a file of another kind or schema is refused."""

    def __init__(self, bundle_path, path, kind, checked=False):
        import h5py

        from vantorel.bundle import overlay

        self.bundle_path = bundle_path
        self.overlay = overlay.Overlay(path)
        try:
            # Held shared, as a reader holds it, until the commit takes it whole: a change another
            # process is making to the file is waited out, or the file is refused untouched.
            hold_for_reading(self.overlay.fd, path)
            # Opened with the low-level calls: h5py's File(...) costs a quarter of a day's append.
            fapl = h5py.h5p.create(h5py.h5p.FILE_ACCESS)
            fapl.set_fileobj_driver(h5py.h5fd.fileobj_driver, self.overlay)
            fapl.set_libver_bounds(*(getattr(h5py.h5f, "LIBVER_" + bound.upper()) for bound in LIBVER))
            fapl.set_fclose_degree(h5py.h5f.CLOSE_STRONG)
            self.file = h5py.File(h5py.h5f.open(driven_name("overlay", self.overlay), h5py.h5f.ACC_RDWR, fapl))
        except BaseException:
            self.overlay.close()
            raise
        if checked:
            return
        version = root_attr(self.file, "schema_version")
        file_kind = root_attr(self.file, "kind")
        if version is None or attr_int(version) != SCHEMA_VERSION or plain(file_kind) != kind:
            self.abandon()
            raise StorageError(f"数据文件 {path} 的格式不是 {SCHEMA_VERSION} 版，不能追加", damaged=False)

    def abandon(self):
        self.file.id.close()
        self.overlay.close()

    def commit(self, committer=None, owner=None):
        """Close the HDF5 file and apply the change (on the committer's threads when given)."""
        # Closing the file closes whatever is still open in it (CLOSE_STRONG) and flushes it.
        try:
            self.file.id.close()
        except BaseException:
            self.overlay.close()
            raise
        if committer is None:
            self.overlay.commit(self.bundle_path)
        else:
            committer.change(self.overlay, self.bundle_path, owner)
        return self.overlay


def append_series(bundle_path, kind, category, code, rows, committer=None, stored_last=None, owner=None,
                  edit=None):
    """Append minute bars or ticks to a stored file of schema SCHEMA_VERSION, in place;
    ``stored_last`` is the ``datetime`` of its last row when the caller has read it, ``edit`` the
    file when the caller has opened it (and judged it) to read that; it is committed or abandoned."""
    import h5py

    path = data_path(bundle_path, kind, category, code)
    if edit is None:
        edit = Edit(bundle_path, path, kind)
    try:
        dataset = h5py.h5d.open(edit.file.id, DATASET[kind].encode())
        start = _append(dataset, rows, stored_last)
        counts = {"rows": dataset.shape[0]}
        del dataset
        if len(rows):
            if start == 0:
                counts["first_trading_date"] = int(rows["trading_date"][0])
            counts["last_trading_date"] = int(rows["trading_date"][-1])
        _set_counts(edit.file.id, counts)
    except BaseException as exc:
        edit.abandon()
        _refuse_append(exc, path, "可用 update-data --rebuild 重新下载该合约")
    return edit.commit(committer, owner)


def append_daybars(bundle_path, category, rows_by_code, committer=None, owner=None):
    """Append daily bars to the stored category file, in place; a code not stored yet gets its series."""
    path = daybar_path(bundle_dir(bundle_path), category)
    edit = Edit(bundle_path, path, "daybar")
    try:
        for code in sorted(rows_by_code):
            if code in edit.file:
                _append(edit.file[code].id, rows_by_code[code])
            else:
                create_series(edit.file, code, rows_by_code[code], "daybar")
    except BaseException as exc:
        edit.abandon()
        _refuse_append(exc, path, "可把它移走后重新运行 update-data --base")
    return edit.commit(committer, owner)


def _refuse_append(exc, path, what_to_do):
    # HDF5 refuses a layout it cannot grow, numpy a cast it cannot make: the file, not the update, is
    # at fault, so its instrument or category fails with a message that names it.
    if isinstance(exc, StorageError):
        raise StorageError(f"无法追加到数据文件 {path}：{exc.reason}；{what_to_do}", exc.reason, damaged=False) from None
    if isinstance(exc, (ValueError, TypeError, KeyError)):
        reason = " ".join(str(exc).split())
        raise StorageError(f"无法追加到数据文件 {path}：{reason}；{what_to_do}", reason, damaged=False) from None
    raise exc


def schema_of(path):
    """The schema version a stored file says it has (0 when it says none)."""
    import h5py

    fd = open_in_bundle(path)
    try:
        f = h5py.File(name_of_opened(fd, path), "r")
    finally:
        os.close(fd)
    with f:
        try:
            return attr_int(f.attrs.get("schema_version", 0))
        except ValueError:
            return 0


def migrate(path, kind):
    """Rewrite a file of an older schema in the current one, through a temporary file, so that a
    kill leaves the old file or the converted one."""
    import numpy as np

    attrs = read_file_attrs(path, kind)
    if kind == "daybar":
        by_code = read_daybar_file(path)

        def fill(f):
            for code in sorted(by_code):
                create_series(f, code, by_code[code], "daybar")
    else:
        arr = read_data_file(path, kind)

        def fill(f):
            create_series(f, DATASET[kind], np.asarray(arr), kind)

    keep = {k: v for k, v in attrs.items() if k not in ("schema_version", "kind")}
    atomic_h5(path, fill, kind, keep)
