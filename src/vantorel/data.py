"""Reading a bundle from your own code or from ``vantorel shell``::

    from vantorel import data

    data.instruments()                                     # the instrument table, texts decoded
    data.trading_dates(20240101, "2024-12-31")             # int YYYYMMDD, ascending
    data.trading_dates(20240101, 20241231, exchange="XHKG")  # one exchange's own calendar
    data.early_closes(20240101, 20241231, exchange="XHKG")   # date, close_time (HHMM)
    data.daily_bars("000001.XSHE", 20240101, 20240131)     # unadjusted daily bars
    data.minute_bars("000001.XSHE", "2024-01-02", datetime.date(2024, 1, 5))
    data.ticks("M2405", 20240102, 20240102, as_frame=True)

Each function returns a numpy structured array with the fields the bundle stores (see
``vantorel.bundle``: ``datetime`` is an integer YYYYMMDDHHMMSS, YYYYMMDDHHMMSSmmm for
ticks), or with ``as_frame=True`` a pandas DataFrame indexed by time (``pip install
'vantorel[pandas]'``). Dates may be YYYYMMDD integers, ISO texts ("2024-01-02", or "20240102") or
``datetime.date`` objects; ``start`` and ``end`` are both included and may be left out to read from
the first or to the last stored day. Minute bars and ticks are selected by their trading day, so a
futures night session belongs to the day it is traded for, as in the bundle.

Only the rows asked for are read: the series are sorted, and a binary search over the stored file
finds where the span starts and ends. Every call holds the bundle path's shared read lock while it
reads, so it never sees an update half done, and waits for nobody but a writer (it is refused, with
the reason, while one is in). ``bundle_path`` defaults to the kit's bundle path, the one
``update-data`` fills when given no ``-d``.

Daily bars are unadjusted unless ``adjust`` asks for "pre" or "post" adjustment with the bundle's
ex-factors (``bundle/ex_factors.h5``: from a CSV import, for instance); a code with none stored is
its own adjusted series. A code the instrument table lacks, an exchange that has neither
instruments nor a calendar, a bundle path without a bundle or its calendar, a damaged instrument
table, ex-factors that are no positive number or twice for a day, an unreadable date and a
``start`` after ``end`` are refused with a ``VantorelError``; a known code with nothing stored in
the span gives an empty result.
"""
import contextlib
import datetime
import numbers
import os
import re

from vantorel.errors import VantorelError

_ISO_DATE = re.compile(r"(\d{4})-?(\d{2})-?(\d{2})")
_ADJUSTMENTS = ("pre", "post")


def instruments(bundle_path=None, as_frame=False):
    """Every instrument of the bundle, one row each, with its texts as ``str``."""
    import numpy as np

    with _reading(bundle_path) as path:
        table = _instrument_table(path)
    fields = []
    for name in table.dtype.names:
        kind = table.dtype[name]
        fields.append((name, "U{}".format(kind.itemsize) if kind.kind == "S" else kind))
    decoded = np.empty(len(table), dtype=fields)
    for name in table.dtype.names:
        column = table[name]
        decoded[name] = np.char.decode(column, "utf-8", "replace") if column.dtype.kind == "S" else column
    if as_frame:
        return _pandas().DataFrame(decoded).set_index("order_book_id", drop=False)
    return decoded


def trading_dates(start=None, end=None, bundle_path=None, exchange=None):
    """The bundle's trading days from ``start`` to ``end`` (both included) as int YYYYMMDD: those of
    ``exchange`` when given (its own calendar, else the bundle-wide one its instruments are held
    against), else the bundle-wide calendar (with calendars per exchange, their union)."""
    import numpy as np

    from vantorel.bundle import places, reading

    low, high = _span(start, end)
    if exchange is None:  # the bundle-wide days alone, readable even where an exchange's table is not
        with _reading(bundle_path) as path:
            file = os.path.join(places.bundle_dir(path), places.TRADING_DATES_FILE)
            try:
                dates = np.asarray(reading.read_trading_dates(places.bundle_dir(path)))
            except FileNotFoundError:
                raise VantorelError("{} 中没有交易日历 {}".format(path, file)) from None
        if dates.dtype.kind not in "iu":
            raise VantorelError("{} 中的交易日历不是整数日期 YYYYMMDD；vantorel check-data 会指出它的问题".format(file))
    else:
        dates = np.asarray(_calendar(bundle_path, exchange)[0])
    return dates[(dates >= low) & (dates <= high)]


def early_closes(start=None, end=None, bundle_path=None, exchange=None):
    """The days from ``start`` to ``end`` on which the calendar (of ``exchange`` when given, as in
    ``trading_dates``) closes early: fields ``date`` (YYYYMMDD) and ``close_time`` (HHMM, the label
    of the day's last minute bar)."""
    low, high = _span(start, end)
    _dates, early = _calendar(bundle_path, exchange)
    return early[(early["date"] >= low) & (early["date"] <= high)]


def _calendar(bundle_path, exchange):
    from vantorel.bundle import places, reading

    if exchange is not None and not isinstance(exchange, str):
        raise VantorelError("exchange 应为文本（如 'XSHG'），现为 {!r}".format(exchange))
    with _reading(bundle_path) as path:
        directory = places.bundle_dir(path)
        try:
            calendars = reading.read_calendars(directory)
        except FileNotFoundError:
            raise VantorelError("{} 中没有交易日历 {}/{}".format(
                path, places.BUNDLE_DIR_NAME, places.TRADING_DATES_FILE)) from None
        if exchange is None or exchange in calendars:
            return calendars[exchange]
        # An exchange without a calendar of its own is held against the bundle-wide one; a name that
        # is no instrument's exchange is most likely mistyped.
        if exchange.encode() not in set(_instrument_table(path)["exchange"].tolist()):
            raise VantorelError("bundle 中没有交易所 {} 的合约或交易日历；有自己日历的交易所：{}".format(
                exchange, "、".join(sorted(k for k in calendars if k)) or "无"))
        return calendars[None]


def daily_bars(code, start=None, end=None, adjust=None, bundle_path=None, as_frame=False):
    """Daily bars of ``code`` from ``start`` to ``end``: unadjusted, or with ``adjust="post"`` each
    price times the cumulative ex-factor of its day, with ``"pre"`` that divided by the latest
    factor (so the latest prices are the traded ones)."""
    from vantorel.bundle import places, reading

    if adjust is not None and adjust not in _ADJUSTMENTS:
        raise VantorelError("adjust 应为 None、'pre' 或 'post'，现为 {!r}".format(adjust))
    low, high = _span(start, end)
    with _reading(bundle_path) as path:
        category = _category(path, code)
        directory = places.bundle_dir(path)
        file = places.daybar_path(directory, category)
        rows = _read_span(file, "daybar", code, "datetime", low * 1000000, high * 1000000 + 999999)
        factors = reading.read_table(directory, "ex_factors") if adjust else None
    if adjust:
        rows = _adjusted(rows, code, factors, adjust, os.path.join(directory, "ex_factors.h5"))
    return _frame(rows, "date", 1000000, "%Y%m%d") if as_frame else rows


def _adjusted(rows, code, factors, adjust, file):
    import numpy as np

    mine = factors[factors["order_book_id"] == code.encode()] if factors is not None else []
    if not len(mine):
        return rows  # no corporate action stored: the raw prices are the adjusted ones
    mine = np.sort(mine, order="ex_date")
    with np.errstate(invalid="ignore"):
        bad = ~(np.isfinite(mine["ex_cum_factor"]) & (mine["ex_cum_factor"] > 0))
    if bad.any() or (len(mine) > 1 and not np.all(np.diff(mine["ex_date"]) > 0)):
        # Prices times zero, NaN or one of two factors for a day would be wrong prices without a word.
        raise VantorelError("{} 中 {} 的除权因子无效（不是正数，或同一日期有两个）；无法复权，"
                            "vantorel check-data 会列出它们".format(file, code))
    steps = np.r_[1.0, mine["ex_cum_factor"]]
    factor = steps[np.searchsorted(mine["ex_date"], rows["datetime"] // 1000000, side="right")]
    if adjust == "pre":
        factor = factor / steps[-1]
    out = rows.copy()
    for name in ("open", "high", "low", "close", "prev_close"):
        out[name] = rows[name] * factor
    return out


def minute_bars(code, start=None, end=None, bundle_path=None, as_frame=False):
    """Minute bars of ``code`` on the trading days from ``start`` to ``end``."""
    return _series("minbar", code, start, end, bundle_path, as_frame)


def ticks(code, start=None, end=None, bundle_path=None, as_frame=False):
    """Ticks of ``code`` on the trading days from ``start`` to ``end``."""
    return _series("tick", code, start, end, bundle_path, as_frame)


# ---- the pieces ----------------------------------------------------------------------------------

_DATASETS = {"minbar": "bars", "tick": "ticks"}


def _series(kind, code, start, end, bundle_path, as_frame):
    from vantorel.bundle import places

    low, high = _span(start, end)
    with _reading(bundle_path) as path:
        file = places.data_path(path, kind, _category(path, code), code)
        rows = _read_span(file, kind, _DATASETS[kind], "trading_date", low, high)
    if not as_frame:
        return rows
    # A tick's stamp carries milliseconds beyond a minute bar's seconds.
    return _frame(rows, "datetime", 1 if kind == "minbar" else 1000, "%Y%m%d%H%M%S")


@contextlib.contextmanager
def _reading(bundle_path):
    from vantorel.bundle import access, places
    from vantorel.ombrel.sdk.const import DEFAULT_BUNDLE_PATH

    path = os.path.abspath(os.fspath(bundle_path if bundle_path is not None else DEFAULT_BUNDLE_PATH))
    if not os.path.isdir(path) or not places.holds_bundle_data(path):
        raise VantorelError("{} 中没有 bundle 数据；请先用 vantorel update-data 或 download-data 下载，"
                            "或用 bundle_path 指定已有的 bundle 路径".format(path))
    with access.reading(path) as held:
        yield held


def _instrument_table(path):
    from vantorel.bundle import places, reading

    try:
        table = reading.read_instruments(places.bundle_dir(path))
    except FileNotFoundError:
        raise VantorelError("{} 中没有合约表 {}/{}".format(path, places.BUNDLE_DIR_NAME, places.INSTRUMENTS_FILE)) from None
    if not _has_fields(table, {"order_book_id": "S", "category": "S"}):
        raise VantorelError("{} 不是合约表（应有 order_book_id 与 category 字段）".format(
            os.path.join(places.bundle_dir(path), places.INSTRUMENTS_FILE)))
    return table


def _has_fields(table, kinds):
    """Whether a stored table has each field of ``kinds`` with a numpy kind among those given."""
    names = table.dtype.names or ()
    return all(name in names and table.dtype[name].kind in kind for name, kind in kinds.items())


def _category(path, code):
    import numpy as np

    table = _instrument_table(path)
    if not isinstance(code, str) or any(ord(ch) < 32 for ch in code):
        # A NUL would match the code it ends (the table pads with NULs) and then fail as a path.
        raise VantorelError("代码应为文本（如 '000001.XSHE'），现为 {!r}".format(code))
    found = np.flatnonzero(table["order_book_id"] == code.encode())
    if not len(found):
        raise VantorelError("合约表中没有代码 {}；可用 vantorel.data.instruments() 查看全部代码".format(code))
    category = table["category"][found[0]].decode("utf-8", "replace")
    from vantorel.ombrel.sdk.const import TAG_MAP

    if category not in TAG_MAP:
        # The category names the file to read; one from a damaged table could name any path.
        raise VantorelError("合约表中 {} 的类别 {!r} 无效（应为 {} 之一）".format(code, category, ", ".join(TAG_MAP)))
    return category


def _read_span(file, kind, name, field, low, high):
    import numpy as np

    from vantorel.bundle import validation
    from vantorel.market import schemas

    dtype = {"daybar": schemas.daybar_dtype, "minbar": schemas.minbar_dtype, "tick": schemas.tick_dtype}[kind]()
    try:
        return validation.read_span(file, kind, name, field, low, high)
    except (FileNotFoundError, KeyError):
        # A known instrument that has nothing stored yet; unless the directory that would hold it is
        # a link to a disk that is not there now, which holds what cannot be read.
        top = os.path.dirname(os.path.dirname(file))
        if os.path.islink(top) and not os.path.exists(top):
            raise VantorelError("{} 现在无法访问：{} 是链接，它指向的 {} 不存在（其所在的磁盘未挂载？）".format(
                file, top, os.readlink(top))) from None
        return np.empty(0, dtype=dtype)


def as_date(value):
    """A date given as YYYYMMDD int, ISO text or ``datetime.date`` as int YYYYMMDD."""
    if isinstance(value, datetime.date):
        return value.year * 10000 + value.month * 100 + value.day
    match = None
    if isinstance(value, str):
        match = _ISO_DATE.fullmatch(value.strip())
    elif isinstance(value, numbers.Integral) and not isinstance(value, bool):  # numpy's integers too
        match = _ISO_DATE.fullmatch(str(int(value)))
    if match:
        year, month, day = (int(part) for part in match.groups())
        with contextlib.suppress(ValueError):
            datetime.date(year, month, day)
            return year * 10000 + month * 100 + day
    raise VantorelError("无法识别的日期 {!r}：应为 YYYYMMDD 整数、ISO 日期文本（如 2024-01-02）或 datetime.date".format(value))


def _span(start, end):
    low = as_date(start) if start is not None else 0
    high = as_date(end) if end is not None else 99991231
    if low > high:
        raise VantorelError("起始日期 {} 晚于结束日期 {}".format(start, end))
    return low, high


def _pandas():
    try:
        import pandas
    except ImportError:
        raise VantorelError("as_frame=True 需要 pandas：pip install 'vantorel[pandas]'") from None
    return pandas


def _frame(rows, index, divisor, layout):
    """A DataFrame of stored rows indexed by their time (``datetime`` // ``divisor`` read with
    ``layout``, plus the milliseconds a tick's stamp holds beyond it)."""
    pandas = _pandas()
    # The stamp becomes the index, and leaves the columns so that no label means both.
    frame = pandas.DataFrame(rows).drop(columns="datetime")
    stamps = rows["datetime"]
    times = pandas.to_datetime((stamps // divisor).astype(str), format=layout)
    if divisor == 1000:
        times = times + pandas.to_timedelta(stamps % 1000, unit="ms")
    frame.index = pandas.DatetimeIndex(times, name=index)
    return frame
