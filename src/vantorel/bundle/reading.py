"""Reading series and base tables from a bundle."""
import os

from vantorel.bundle.hdf5 import (
    SERIES_FILTER,
    SERIES_KINDS,
    image_parts,
    attr_int,
    linked_member,
    load_codec,
    open_file,
    read_row,
    root_attr,
    series_dtype,
    series_problem,
    swelling_problem,
)
from vantorel.bundle.places import INSTRUMENTS_FILE, TRADING_DATES_FILE, StorageError, iter_daybar_files
from vantorel.market.schemas import (
    EARLY_CLOSE_FIELDS,
    EX_FACTOR_FIELDS,
    EXCHANGE_DATE_FIELDS,
    EXCHANGE_EARLY_CLOSE_FIELDS,
    SUSPENDED_FIELDS,
)


def read_table(bundle_directory, name):
    """A table written by ``write_table``, in the kit's fields; None when the bundle has none."""
    path = os.path.join(bundle_directory, name + ".h5")
    if not os.path.exists(path):
        return None
    rows = read_dataset(path, name, name)
    fields = _TABLE_FIELDS.get(name)
    return rows if fields is None else typed_fields(rows, fields, path, name)


_TABLE_FIELDS = {"ex_factors": EX_FACTOR_FIELDS, "suspended": SUSPENDED_FIELDS}


# What each type of field may be stored as: a text is bytes, a date or a time an integer (a
# float date cast to one would be some other day, or none at all).
_FIELD_KINDS = {"S": "S", "i": "iu", "f": "iuf"}


def typed_fields(rows, fields, path, name):
    """``rows`` with just ``fields``, each in its type (a text as wide as stored); StorageError
    naming the field when one is missing or of another kind, so that a table not of ours is
    refused as a whole rather than read as other days or codes."""
    import numpy as np

    names = rows.dtype.names or ()
    wanted = []
    for field, kind in fields:
        kind = np.dtype(kind)
        if field not in names:
            raise StorageError(f"数据文件 {path} 的 {name} 缺少字段 {field}", f"缺少字段 {field}")
        stored = rows.dtype[field]
        if stored.kind not in _FIELD_KINDS[kind.kind]:
            wanted_kind = {"S": "文本", "i": "整数", "f": "数"}[kind.kind]
            raise StorageError(f"数据文件 {path} 的 {name} 字段 {field} 的类型为 {stored.str}，应为{wanted_kind}",
                               f"字段 {field} 的类型为 {stored.str}")
        wanted.append((field, stored if kind.kind == "S" and stored.itemsize > kind.itemsize else kind))
    return fields_of(rows, wanted)


def appendable_problem(dataset, fields, dtype=None):
    """Why an update cannot append to a series (a low-level dataset) of the current schema, or
    None: it must grow, and hold our fields, in our order and types (rows are copied field by
    field, by position). ``dtype`` is the dataset's, when the caller has made it."""
    import h5py
    import numpy as np

    dcpl = dataset.get_create_plist()
    if dcpl.get_layout() != h5py.h5d.CHUNKED or (
            dataset.get_space().get_simple_extent_dims(True) != (h5py.h5s.UNLIMITED,)):
        return "数据集不能扩展，无法追加"
    if any(dcpl.get_filter(i)[0] == SERIES_FILTER for i in range(dcpl.get_nfilters())):
        load_codec()  # the append reads the last chunk and writes it anew
    if (dtype or dataset.dtype) != np.dtype(fields):
        return "字段的名称、顺序或类型与本套件写入的不同"
    return None


def _whole(path, ds, kind=None):
    """A dataset read whole, once it has been judged to be a series (of ``kind``, when it is one)."""
    import h5py

    # h5py builds a compound dtype field by field at a dataset's first access, about as long as
    # judging the dataset takes: the kit's own series are known by their type instead.
    dtype = series_dtype(ds.id, kind) if kind in SERIES_KINDS and isinstance(ds, h5py.Dataset) else None
    problem = series_problem(ds, dtype)
    if problem:
        raise StorageError(f"数据文件 {path} 无法使用：{ds.name.lstrip('/')} {problem}", problem)
    dataset = ds.id
    rows = room_for(path, dataset.shape[0], dtype or dataset.dtype)
    if len(rows):
        dataset.read(h5py.h5s.ALL, h5py.h5s.ALL, rows, mtype=image_parts().series_type(dtype) if dtype else None)
    return rows


def room_for(path, rows, dtype):
    """An empty array for ``rows`` rows; a StorageError that names the file when memory runs short
    (a sound file too large for this machine is not damaged)."""
    import numpy as np

    try:
        return np.empty(rows, dtype)
    except MemoryError:
        need = rows * dtype.itemsize / 2**30
        raise StorageError(f"无法读取数据文件 {path}：内存不足，{rows} 行需要 {need:.1f} GiB", "内存不足",
                           damaged=False) from None


def read_dataset(path, kind, name):
    f = open_file(path, kind)
    try:
        ds = linked_member(f, path, name)
        if ds is None:
            raise StorageError(f"数据文件 {path} 缺少数据集 {name}")
        try:
            return _whole(path, ds, kind)
        except (OSError, ValueError, KeyError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}") from exc
    finally:
        f.close()


def _read_with_attrs(path, kind, name, names=None):
    f = open_file(path, kind)
    try:
        if names is None:
            attrs = {k: plain(v) for k, v in f.attrs.items()}
        else:  # each attribute read costs about what a row does
            attrs = {k: plain(v) for k, v in ((k, root_attr(f, k)) for k in names) if v is not None}
        ds = linked_member(f, path, name)
        if ds is None:
            raise StorageError(f"数据文件 {path} 缺少数据集 {name}", f"缺少数据集 {name}")
        try:
            return _whole(path, ds, kind), attrs
        except (OSError, ValueError, KeyError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
    finally:
        f.close()


def read_minbar_with_attrs(path, names=None):
    """(minute bars, root attributes, or only ``names`` of them) of one file, from a single open;
    errors as ``read_minbar``."""
    return _read_with_attrs(path, "minbar", "bars", names)


def read_tick_with_attrs(path):
    """(ticks, root attributes) of one file, from a single open; errors as ``read_tick``."""
    return _read_with_attrs(path, "tick", "ticks")


def read_minbar(path):
    """Minute bars of one file as a structured array (MINBAR_DTYPE fields)."""
    return read_dataset(path, "minbar", "bars")


def read_tick(path):
    """Ticks of one file as a structured array (TICK_DTYPE fields)."""
    return read_dataset(path, "tick", "ticks")


def read_data_file(path, kind):
    return read_minbar(path) if kind == "minbar" else read_tick(path)


def read_file_attrs(path, kind):
    """Root attributes of a bundle file as plain Python values."""
    f = open_file(path, kind)
    try:
        return {k: plain(v) for k, v in f.attrs.items()}
    finally:
        f.close()


def plain(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    if getattr(value, "ndim", 0):
        return value.tolist()
    if hasattr(value, "item"):
        return value.item()
    return value


def last_trading_date(path, kind, attrs=None):
    """The last trading date stored in a minute-bar or tick file (0 when empty), from its attributes
    (read now unless given); StorageError when the attribute is no date."""
    import datetime

    value = (read_file_attrs(path, kind) if attrs is None else attrs).get("last_trading_date", 0)
    try:
        day = attr_int(value)
        if day:
            datetime.date(day // 10000, day // 100 % 100, day % 100)
    except (ValueError, OverflowError):
        raise StorageError(f"数据文件 {path} 的 last_trading_date 无效（{value!r}）",
                           f"last_trading_date 无效（{value!r}）") from None
    return day


def read_instruments(bundle_directory):
    """The instrument table as a structured array; see ``instrument_records`` for dicts."""
    return read_dataset(os.path.join(bundle_directory, INSTRUMENTS_FILE), "instruments", "instruments")


def instrument_records(arr):
    """Rows of an instrument array as dicts with text values decoded."""
    names = arr.dtype.names
    return [{n: plain(row[n]) for n in names} for row in arr]


def read_trading_dates(bundle_directory):
    """The stored trading calendar: int32 YYYYMMDD, ascending."""
    return read_dataset(os.path.join(bundle_directory, TRADING_DATES_FILE), "trading_dates", "trading_dates")


def read_calendars(bundle_directory):
    """Every stored calendar as {exchange: (dates, early closes)}, the bundle-wide one under None:
    dates int32 YYYYMMDD, early closes ``EARLY_CLOSE_FIELDS`` rows (none in older bundles)."""
    import numpy as np

    path = os.path.join(bundle_directory, TRADING_DATES_FILE)
    f = open_file(path, "trading_dates")
    try:
        members = {name: linked_member(f, path, name) for name in (
            "trading_dates", "early_closes", "exchange_trading_dates", "exchange_early_closes")}
        if members["trading_dates"] is None:
            raise StorageError(f"数据文件 {path} 缺少数据集 trading_dates")
        stored = {name: _whole(path, ds) for name, ds in members.items() if ds is not None}
        if stored["trading_dates"].dtype.kind not in "iu":
            raise StorageError(f"数据文件 {path} 的 trading_dates 类型为 {stored['trading_dates'].dtype.str}，应为整数")
        none = np.zeros(0, EARLY_CLOSE_FIELDS)
        calendars = {None: (stored["trading_dates"],
                            typed_fields(stored.get("early_closes", none), EARLY_CLOSE_FIELDS, path, "early_closes"))}
        by_exchange = typed_fields(stored.get("exchange_trading_dates", np.zeros(0, EXCHANGE_DATE_FIELDS)),
                                    EXCHANGE_DATE_FIELDS, path, "exchange_trading_dates")
        early = typed_fields(stored.get("exchange_early_closes", np.zeros(0, EXCHANGE_EARLY_CLOSE_FIELDS)),
                              EXCHANGE_EARLY_CLOSE_FIELDS, path, "exchange_early_closes")
        for name in np.unique(by_exchange["exchange"]).tolist():
            calendars[name.decode("utf-8", "replace")] = (
                by_exchange["date"][by_exchange["exchange"] == name],
                fields_of(early[early["exchange"] == name], EARLY_CLOSE_FIELDS))
        return calendars
    except (OSError, ValueError, KeyError, TypeError, IndexError) as exc:
        raise StorageError(f"无法读取数据文件 {path}：{exc}") from exc
    finally:
        f.close()


def fields_of(arr, fields):
    """Rows with just the named fields, in their types; raises when the rows lack one."""
    import numpy as np

    out = np.empty(len(arr), fields)
    for name, _type in fields:
        out[name] = arr[name]
    return out


def read_daybar_file(path):
    """All daily bars of one category file: {market code: structured array}."""
    f = open_file(path, "daybar")
    try:
        try:
            members = {code: linked_member(f, path, code) for code in f.keys()}
            # Each series judged alone first, as it is when read alone.
            problem = next((f"{code} {problem}" for code, problem in (
                (code, series_problem(ds)) for code, ds in members.items()) if problem), None)
            problem = problem or swelling_problem(f, members.values())
            if problem:
                raise StorageError(f"数据文件 {path} 无法使用：{problem}", problem)
            return {code: _whole(path, ds) for code, ds in members.items()}
        except (OSError, ValueError, KeyError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}") from exc
    finally:
        f.close()


def daybar_tails(path):
    """{market code: datetime of its last stored daily bar} of one category file; reads one row a code."""
    import h5py

    f = open_file(path, "daybar")
    try:
        try:
            tails = {}
            for code in f.keys():
                ds = linked_member(f, path, code)
                dtype = series_dtype(ds.id, "daybar") if isinstance(ds, h5py.Dataset) else None
                problem = series_problem(ds, dtype)
                if not problem and "datetime" not in (dtype.names or ()):
                    problem = "不是日线"
                if problem:
                    raise StorageError(f"数据文件 {path} 无法使用：{code} {problem}", f"{code} {problem}")
                if ds.shape[0]:
                    tails[code] = int(read_row(ds.id, ds.shape[0] - 1, dtype)["datetime"])
            return tails
        except (OSError, ValueError, KeyError, IndexError, TypeError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
    finally:
        f.close()


def read_daily(bundle_directory, code=None, category=None):
    """Daily bars: of one instrument (an array, or None when not stored), or, without ``code``,
    every stored instrument as {market code: array} (restricted to ``category`` when given)."""
    result = {}
    for cat, path in iter_daybar_files(bundle_directory):
        if category is not None and cat != category:
            continue
        if code is not None:
            f = open_file(path, "daybar")
            try:
                ds = linked_member(f, path, code)
                if ds is not None:
                    return _whole(path, ds)
            finally:
                f.close()
            continue
        result.update(read_daybar_file(path))
    return None if code is not None else result


def daybar_codes(bundle_directory):
    """Market codes that have daily bars stored; files that cannot be read count for nothing."""
    codes = set()
    for _cat, path in iter_daybar_files(bundle_directory):
        try:
            f = open_file(path, "daybar")
        except (StorageError, OSError):
            continue
        try:
            codes.update(f.keys())
        finally:
            f.close()
    return codes


def iter_daily(bundle_directory):
    """(category, code, array) of every stored daily-bar series."""
    for cat, path in iter_daybar_files(bundle_directory):
        for code, arr in sorted(read_daybar_file(path).items()):
            yield cat, code, arr


# ---- spans of stored series, for the reading API ----------------------------------------------

# A series up to this many rows is read whole and cut in memory: one read beats a search that
# reads a row per step (daily bars, a few years of them).
_READ_WHOLE_ROWS = 4096


def read_spans(path, kind, names, field, low, high):
    """{name: the rows of series ``name`` whose ``field`` (one the rows are sorted by) lies in
    [low, high]} from one open of the file; a name the file holds no series of is left out. A long
    series is searched reading a row per step, so only the span is read whole. Errors as
    ``read_minbar``."""
    import h5py

    f = open_file(path, kind)
    try:
        found = {}
        for name in names:
            ds = linked_member(f, path, name)
            if ds is None:
                continue
            dtype = series_dtype(ds.id, kind) if isinstance(ds, h5py.Dataset) else None
            problem = series_problem(ds, dtype)
            if not problem and field not in (dtype.names or ()):
                problem = f"缺少字段 {field}"  # the search reads it from each row it looks at
            if problem:
                raise StorageError(f"数据文件 {path} 无法使用：{name} {problem}", problem)
            try:
                found[name] = _span_of(path, ds.id, dtype, field, low, high)
            except (OSError, ValueError) as exc:
                raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
        return found
    finally:
        f.close()


def _span_of(path, dataset, dtype, field, low, high):
    import bisect

    import numpy as np

    rows = dataset.shape[0]
    if rows <= _READ_WHOLE_ROWS:
        whole = _rows(path, dataset, dtype, 0, rows)
        keys = whole[field]
        return whole[np.searchsorted(keys, low, "left"):np.searchsorted(keys, high, "right")]

    class Column:
        def __len__(self):
            return rows

        def __getitem__(self, index):
            return int(read_row(dataset, index, dtype)[field])

    column = Column()
    first = bisect.bisect_left(column, low)
    end = bisect.bisect_right(column, high, lo=first)
    return _rows(path, dataset, dtype, first, end)


def _rows(path, dataset, dtype, first, end):
    import h5py

    from vantorel.bundle.hdf5 import image_parts

    out = room_for(path, end - first, dtype)
    if len(out):
        space = dataset.get_space()
        space.select_hyperslab((first,), (end - first,))
        dataset.read(h5py.h5s.create_simple((end - first,)), space, out, mtype=image_parts().series_type(dtype))
    return out
