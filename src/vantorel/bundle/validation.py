"""Whether a file is the bundle file its place says, and where a stored series resumes."""
import os

from vantorel.bundle.appending import StoredColumn
from vantorel.bundle.hdf5 import (
    attr_int,
    linked_member,
    open_file,
    read_row,
    root_attr,
    series_dtype,
    series_problem,
    swelling_problem,
)
from vantorel.bundle.places import DATASET, SCHEMA_VERSION, StorageError
from vantorel.bundle.reading import appendable_problem, plain, room_for
from vantorel.market.schemas import CHECK_TABLES, DAYBAR_FIELDS, MINBAR_FIELDS, TICK_FIELDS

_BASE_DATASETS = {"instruments": ("instruments", "order_book_id"), "trading_dates": ("trading_dates", None),
                  "ex_factors": ("ex_factors", "order_book_id"), "suspended": ("suspended", "order_book_id")}
_BASE_DATASETS.update({name: (name, "order_book_id") for name in CHECK_TABLES})


def validate_file(path, kind, category=None, code=None):
    """Why a file is not a sound bundle file of ``kind`` (for minute bars and ticks, of ``code`` in
    ``category`` when given), or None. Reads the attributes, the datasets' layout and, for minute
    bars and ticks, their first and last rows."""
    if kind in DATASET:
        try:
            reason = inspect_data_file(path, kind)
        except StorageError as exc:
            return exc.reason
        if reason is not None:
            return reason
    try:
        f = open_file(path, kind)
    except StorageError as exc:
        return exc.reason
    except OSError as exc:
        return str(exc)
    try:
        import h5py

        links = [name for name in f if not isinstance(f.get(name, getlink=True), h5py.HardLink)]
        if links:
            return f"含有指向别处的链接 {links[0]}"
        if kind in DATASET:
            for attr, expected in (("order_book_id", code), ("category", category)):
                if expected is not None and plain(f.attrs.get(attr)) != expected:
                    return f"属性 {attr} 为 {plain(f.attrs.get(attr))!r}，与它的位置（{expected}）不符"
            return None
        if kind == "daybar":
            fields = [name for name, _type in DAYBAR_FIELDS]
            members = []
            for code_ in f.keys():
                ds = linked_member(f, path, code_)
                problem = series_problem(ds, deep=True)
                if problem:
                    return f"{code_} {problem}"
                if any(name not in (ds.dtype.names or ()) for name in fields):
                    return f"数据集 {code_} 不是日线"
                members.append(ds)
            return swelling_problem(f, members)
        name, field = _BASE_DATASETS[kind]
        ds = linked_member(f, path, name)
        if not isinstance(ds, h5py.Dataset):
            return f"缺少数据集 {name}"
        problem = series_problem(ds, deep=True)
        if problem:
            return f"{name} {problem}"
        if field is not None and (ds.dtype.names is None or field not in ds.dtype.names):
            return f"数据集 {name} 缺少字段 {field}"
        if field is None and ds.dtype.kind not in "iu":
            return f"数据集 {name} 不是整数"
        return None
    except StorageError as exc:
        return exc.reason
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return f"读取失败：{exc}"
    finally:
        f.close()


def inspect_data_file(path, kind):
    """Why a minute-bar or tick file cannot be used (unreadable, truncated, not matching its own
    attributes), or None when it is sound. Reads only the first and the last row, so it is cheap
    enough to run over a whole bundle before every update. Raises StorageError when the file
    cannot be opened for now (``damaged`` false) and so cannot be judged."""
    return stored_state(path, kind, thorough=True)[0]


def stored_state(path, kind, thorough=False):
    """(why the file cannot be used or None, what resuming it needs) of a minute-bar or tick file,
    from one open: its schema version, rows, first and last trading date, and the ``datetime`` of
    its last row. Without ``thorough`` the first row is not read. Errors as ``inspect_data_file``."""
    try:
        f, version = open_file(path, kind, with_version=True)
    except FileNotFoundError:
        return "文件不存在", {}
    except StorageError as exc:
        if not exc.damaged:
            raise
        return exc.reason, {}
    try:
        return state_of(f, path, kind, version, thorough)
    finally:
        f.close()


def state_of(f, path, kind, version, thorough=False):
    """``stored_state`` of a file open as ``f`` that declares schema ``version``."""
    try:
        # Only what resuming needs: each attribute read costs as much as a row.
        state = {"schema_version": version}
        for name in ("rows", "first_trading_date", "last_trading_date"):
            value = root_attr(f, name)
            if value is not None:
                state[name] = plain(value)
        return _series_file_problem(f, path, kind, state, thorough), state
    except StorageError as exc:  # a link out of the file
        if not exc.damaged:
            raise
        return exc.reason, {}
    except (OSError, ValueError, KeyError, TypeError) as exc:
        return f"读取失败：{exc}", {}


def _series_file_problem(f, path, kind, state, thorough):
    import h5py

    name = DATASET[kind]
    ds = linked_member(f, path, name)
    # hasattr(ds, "dtype") would build a dataset's dtype only to find that it has one.
    if ds is None or not (isinstance(ds, h5py.Dataset) or hasattr(ds, "dtype")):
        return f"缺少数据集 {name}"
    # A named datatype has a dtype too; series_problem says it is no dataset.
    dtype = series_dtype(ds.id, kind) if isinstance(ds, h5py.Dataset) else None
    problem = series_problem(ds, dtype, deep=thorough)
    if problem:
        return problem
    fields = MINBAR_FIELDS if kind == "minbar" else TICK_FIELDS
    names = dtype.names or ()
    missing = [n for n, _t in fields if n not in names]
    if missing:
        return "缺少字段 " + ", ".join(missing)
    for attr in ("rows", "first_trading_date", "last_trading_date"):
        try:
            attr_int(state.get(attr, 0))
        except ValueError:
            return f"属性 {attr} 不是整数"
    if state.get("schema_version") == SCHEMA_VERSION:
        problem = appendable_problem(ds.id, fields, dtype)
        if problem:
            return problem
    n = ds.shape[0]
    rows = state.get("rows")
    if rows is not None and int(rows) != n:
        return f"数据行数 {n} 与记录的 {int(rows)} 不符"
    offset = ds.id.get_offset()
    if offset is not None and offset + ds.id.get_storage_size() > os.path.getsize(path):
        return "文件被截断"
    if n:
        last = read_row(ds.id, n - 1, dtype)
        state["last_datetime"] = int(last["datetime"])
        if int(last["trading_date"]) != int(state.get("last_trading_date", last["trading_date"])):
            return "数据的交易日与记录不符"
        first = read_row(ds.id, 0, dtype) if thorough else None
        if first is not None and int(first["trading_date"]) != int(state.get("first_trading_date", first["trading_date"])):
            return "数据的交易日与记录不符"
    return None


def read_span(path, kind, name, field, low, high):
    """The rows of series ``name`` of a file whose ``field`` (one the rows are sorted by) lies in
    [low, high]; found by a binary search that reads a handful of rows, so only the span is read
    whole. KeyError when the file holds no such series; errors as ``read_minbar`` otherwise."""
    import bisect

    f = open_file(path, kind)
    try:
        ds = linked_member(f, path, name)
        if ds is None:
            raise KeyError(name)
        problem = series_problem(ds)
        stored = ds.dtype
        if not problem and field not in (stored.names or ()):
            problem = f"缺少字段 {field}"  # the search reads it from each row it looks at
        if problem:
            raise StorageError(f"数据文件 {path} 无法使用：{name} {problem}", problem)
        try:
            column = StoredColumn(ds, field)
            first = bisect.bisect_left(column, low)
            end = bisect.bisect_right(column, high, lo=first)
            rows = room_for(path, end - first, stored)
            if len(rows):
                ds.read_direct(rows, slice(first, end))
            return rows
        except (OSError, ValueError) as exc:
            raise StorageError(f"无法读取数据文件 {path}：{exc}", f"无法读取：{exc}") from exc
    finally:
        f.close()
