"""Reading a bundle from your own code or from ``vantorel shell``.

Open a bundle once and read many codes and fields over a span in one call, as pandas or numpy::

    from vantorel import data

    bundle = data.open()                                    # the kit's bundle path, or open(path)
    close = bundle.get(["000001.XSHE", "600000.XSHG"], "close", "2024-01-02", "2024-06-28", form="wide")
    bars = bundle.get("000001.xshe", ["open", "close"], "2024-01-02 10:00", "2024-01-02 10:30",
                      frequency="1m")                     # long: indexed by (order_book_id, datetime)
    bundle.instruments(); bundle.trading_dates(exchange="XSHG"); bundle.calendars()
    bundle.ex_factors("000001.XSHE"); bundle.suspensions()

``Bundle`` (``vantorel.data.bundle``) keeps the instrument table, the calendars and the ex-factors
between calls until an update changes their files. Datetimes are datetime64[ns] in the exchange's
local time. Dates may be YYYYMMDD integers, texts with ``-``, ``/`` or no separator (with a time
of day or without), ``datetime.date``, ``datetime.datetime``, ``pandas.Timestamp`` or
``numpy.datetime64``; both ends are included and may be left out. A span with a time of day is one
of clock time (a minute bar is labelled by the end of its minute, so 10:00-10:30 is the bars
10:01-10:30); a span of bare days is one of whole trading days, so a futures night session belongs
to the day it is traded for, as in the bundle. Codes are taken in any case, as on the command line;
one the instrument table lacks is refused with the closest known ones.

The functions of this module read one code a call and give numpy structured arrays with the fields
the bundle stores (``datetime`` an integer YYYYMMDDHHMMSS, YYYYMMDDHHMMSSmmm for ticks), or with
``as_frame=True`` a pandas DataFrame indexed by time::

    data.instruments()                                     # the instrument table, texts decoded
    data.trading_dates(20240101, "2024-12-31")             # int YYYYMMDD, ascending
    data.trading_dates(20240101, 20241231, exchange="XHKG")  # one exchange's own calendar
    data.early_closes(20240101, 20241231, exchange="XHKG")   # date, close_time (HHMM)
    data.daily_bars("000001.XSHE", 20240101, 20240131)     # unadjusted daily bars
    data.minute_bars("000001.XSHE", "2024-01-02", datetime.date(2024, 1, 5))
    data.ticks("M2405", 20240102, 20240102, as_frame=True)

Only the rows asked for are read: the series are sorted, and a binary search over the stored file
finds where the span starts and ends. Every call holds the bundle path's read lock while it reads:
an update running meanwhile refuses no reader, each file is read as it was before that file's
commit or after it, and only a swap of the layout directories makes a reader wait (up to
``VANTOREL_SWAP_WAIT`` seconds, saying so). ``bundle_path`` defaults to the kit's bundle path, the
one ``update-data`` fills when given no ``-d``.

Daily bars are unadjusted unless ``adjust`` asks for "pre" or "post" adjustment with the bundle's
ex-factors (``bundle/ex_factors.h5``: from a CSV import, for instance); a code with none stored is
its own adjusted series. A code the instrument table lacks, an exchange that has neither
instruments nor a calendar, a bundle path without a bundle or its calendar, a damaged instrument
table, ex-factors that are no positive number or twice for a day, an unreadable date and a
``start`` after ``end`` are refused with a ``VantorelError``; a known code with nothing stored in
the span gives an empty result.
"""
import contextlib
import os

from vantorel.data import dates
from vantorel.data.bundle import Bundle, open  # noqa: A004 - data.open(path) is the face
from vantorel.errors import VantorelError

__all__ = ["Bundle", "open", "instruments", "trading_dates", "early_closes", "daily_bars", "minute_bars",
           "ticks", "as_date"]
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
                days = np.asarray(reading.read_trading_dates(places.bundle_dir(path)))
            except FileNotFoundError:
                raise VantorelError("{} 中没有交易日历 {}".format(path, file)) from None
        if days.dtype.kind not in "iu":
            raise VantorelError("{} 中的交易日历不是整数日期 YYYYMMDD；vantorel check-data 会指出它的问题".format(file))
    else:
        days = np.asarray(_calendar(bundle_path, exchange)[0])
    return days[(days >= low) & (days <= high)]


def early_closes(start=None, end=None, bundle_path=None, exchange=None):
    """The days from ``start`` to ``end`` on which the calendar (of ``exchange`` when given, as in
    ``trading_dates``) closes early: fields ``date`` (YYYYMMDD) and ``close_time`` (HHMM, the label
    of the day's last minute bar)."""
    low, high = _span(start, end)
    _days, early = _calendar(bundle_path, exchange)
    return early[(early["date"] >= low) & (early["date"] <= high)]


def _calendar(bundle_path, exchange):
    with _reading(bundle_path) as path:
        return Bundle(path)._calendar_of(exchange)


def _read_calendars(path):
    from vantorel.bundle import places, reading

    try:
        return reading.read_calendars(places.bundle_dir(path))
    except FileNotFoundError:
        raise VantorelError("{} 中没有交易日历 {}/{}".format(
            path, places.BUNDLE_DIR_NAME, places.TRADING_DATES_FILE)) from None


def daily_bars(code, start=None, end=None, adjust=None, bundle_path=None, as_frame=False):
    """Daily bars of ``code`` from ``start`` to ``end``: unadjusted, or with ``adjust="post"`` each
    price times the cumulative ex-factor of its day, with ``"pre"`` that divided by the latest
    factor (so the latest prices are the traded ones)."""
    if adjust is not None and adjust not in _ADJUSTMENTS:
        raise VantorelError("adjust 应为 None、'pre' 或 'post'，现为 {!r}".format(adjust))
    return _one_series("daybar", code, start, end, bundle_path, as_frame, adjust)


def minute_bars(code, start=None, end=None, bundle_path=None, as_frame=False):
    """Minute bars of ``code`` on the trading days from ``start`` to ``end``, or, when either end has
    a time of day, those whose minute ends within the span."""
    return _one_series("minbar", code, start, end, bundle_path, as_frame)


def ticks(code, start=None, end=None, bundle_path=None, as_frame=False):
    """Ticks of ``code`` on the trading days from ``start`` to ``end``, or, when either end has a
    time of day, those stamped within the span."""
    return _one_series("tick", code, start, end, bundle_path, as_frame)


# ---- the pieces ----------------------------------------------------------------------------------

def _one_series(kind, code, start, end, bundle_path, as_frame, adjust=None):
    low, high = dates.span(start, end)
    with _reading(bundle_path) as path:
        bundle = Bundle(path)
        code = bundle._table()[1].resolve(code)
        rows = bundle.read_rows(kind, [code], low, high, adjust)[code]
    if not as_frame:
        return rows
    pandas = _pandas()
    # The stamp becomes the index, and leaves the columns so that no label means both.
    index = pandas.DatetimeIndex(dates.as_datetime64(rows["datetime"], kind), name="date" if kind == "daybar" else "datetime")
    return pandas.DataFrame({name: rows[name] for name in rows.dtype.names if name != "datetime"}, index=index)


def _adjusted(rows, code, factors, adjust, file, prices=("open", "high", "low", "close", "prev_close"),
              day_of=lambda rows: rows["datetime"] // 1000000):
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
    factor = steps[np.searchsorted(mine["ex_date"], day_of(rows), side="right")]
    if adjust == "pre":
        factor = factor / steps[-1]
    out = rows.copy()
    for name in prices:
        out[name] = rows[name] * factor
    return out


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


def _checked_category(code, category):
    from vantorel.ombrel.sdk.const import TAG_MAP

    if category not in TAG_MAP:
        # The category names the file to read; one from a damaged table could name any path.
        raise VantorelError("合约表中 {} 的类别 {!r} 无效（应为 {} 之一）".format(code, category, ", ".join(TAG_MAP)))
    return category


def _stored_spans(path, kind, category, codes, field, low, high):
    """{code: its stored rows whose ``field`` lies in [low, high]} of codes of one category; a
    known code with nothing stored gets no rows."""
    import numpy as np

    from vantorel.bundle import places, reading
    from vantorel.market import schemas

    empty = np.empty(0, dtype={"daybar": schemas.daybar_dtype, "minbar": schemas.minbar_dtype,
                               "tick": schemas.tick_dtype}[kind]())
    if kind == "daybar":
        files = [(places.daybar_path(places.bundle_dir(path), category), codes)]
    else:
        files = [(places.data_path(path, kind, category, code), [code]) for code in codes]
    found = {}
    for file, names in files:
        try:
            spans = reading.read_spans(file, kind, [places.DATASET[kind]] if kind != "daybar" else names,
                                       field, low, high)
        except FileNotFoundError:
            # A known instrument that has nothing stored yet; unless the directory that would hold it
            # is a link to a disk that is not there now, which holds what cannot be read.
            top = os.path.dirname(os.path.dirname(file))
            if os.path.islink(top) and not os.path.exists(top):
                raise VantorelError("{} 现在无法访问：{} 是链接，它指向的 {} 不存在（其所在的磁盘未挂载？）".format(
                    file, top, os.readlink(top))) from None
            spans = {}
        for code in names:
            found[code] = spans.get(code if kind == "daybar" else places.DATASET[kind], empty)
    return found


def as_date(value):
    """A date in any form the reading API takes, as int YYYYMMDD (its time of day left out)."""
    return dates.bound(value).day


def _span(start, end):
    low, high = dates.span(start, end)
    return (low.day if low else 0), (high.day if high else 99991231)


def _pandas():
    try:
        import pandas
    except ImportError:
        raise VantorelError("DataFrame 需要 pandas：pip install 'vantorel[pandas]'") from None
    return pandas
