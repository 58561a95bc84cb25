"""A bundle opened once for reading: what does not change between calls (the instrument table, the
calendars, the ex-factors) is kept until an update changes its file, and one call reads many codes
and fields over a span."""
import os

from vantorel.data import dates
from vantorel.data.codes import Codes
from vantorel.errors import VantorelError

FREQUENCIES = {"1d": "daybar", "d": "daybar", "day": "daybar", "daily": "daybar",
               "1m": "minbar", "minute": "minbar", "tick": "tick"}
STORED_INTERVALS = "1d（日线）、1m（分钟线）、tick"
FORMS = ("long", "wide", "numpy")
# The prices an ex-factor scales; volumes and turnovers stay as traded.
PRICE_FIELDS = {"daybar": ("open", "high", "low", "close", "prev_close"),
                "minbar": ("open", "high", "low", "close"),
                "tick": ("last", "open", "high", "low", "prev_close", "a1", "b1")}
ADJUSTMENTS = ("pre", "post")
_INDEX_NAMES = ("order_book_id", "datetime")


def open(path=None):  # noqa: A001 - the face reads vantorel.data.open(...)
    """The bundle at ``path`` (the kit's bundle path by default), opened for reading."""
    return Bundle(path)


class Bundle:
    """A bundle path opened for reading. Every call holds the bundle path's read lock while it
    reads (``vantorel.bundle.access.reading``): an update that runs meanwhile refuses no call, and
    each file is read as it was before that file's commit or after it."""

    def __init__(self, path=None):
        from vantorel.bundle import places
        from vantorel.ombrel.sdk.const import DEFAULT_BUNDLE_PATH

        self.path = os.path.abspath(os.fspath(path if path is not None else DEFAULT_BUNDLE_PATH))
        if not os.path.isdir(self.path) or not places.holds_bundle_data(self.path):
            raise VantorelError("{} 中没有 bundle 数据；请先用 vantorel update-data 或 download-data 下载，"
                                "或用 bundle_path 指定已有的 bundle 路径".format(self.path))
        self._cache = {}

    def __repr__(self):
        return f"<vantorel bundle {self.path}>"

    def __getstate__(self):  # sent to dask workers by path; each keeps its own cache
        return {"path": self.path}

    def __setstate__(self, state):
        self.path, self._cache = state["path"], {}

    # ---- what does not change between updates ---------------------------------------------------

    def _reading(self):
        from vantorel.bundle import access

        return access.reading(self.path)

    def _kept(self, name, file, load):
        """``load()``, or what it gave before while ``file`` is the same file, unchanged. The file is
        looked at before it is read: one renamed in meanwhile is read again next time."""
        try:
            info = os.stat(file)
            identity = (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)
        except FileNotFoundError:
            identity = None
        kept = self._cache.get(name)
        if kept is not None and kept[0] == identity:
            return kept[1]
        value = load()
        self._cache[name] = (identity, value)
        return value

    def _table(self):
        """(instrument table, its Codes, {code: category})."""
        from vantorel.bundle import places
        from vantorel.data import _instrument_table

        def load():
            table = _instrument_table(self.path)
            known = [code.decode("utf-8", "replace") for code in table["order_book_id"].tolist()]
            categories = [c.decode("utf-8", "replace") for c in table["category"].tolist()]
            return table, Codes(known), dict(zip(known, categories))

        return self._kept("instruments", os.path.join(places.bundle_dir(self.path), places.INSTRUMENTS_FILE), load)

    def _factors(self):
        from vantorel.bundle import places, reading

        directory = places.bundle_dir(self.path)
        return self._kept("ex_factors", os.path.join(directory, "ex_factors.h5"),
                          lambda: reading.read_table(directory, "ex_factors"))

    def _calendars(self):
        from vantorel.bundle import places
        from vantorel.data import _read_calendars

        return self._kept("calendars", os.path.join(places.bundle_dir(self.path), places.TRADING_DATES_FILE),
                          lambda: _read_calendars(self.path))

    # ---- the tables -------------------------------------------------------------------------------

    def instruments(self, codes=None):
        """The instrument table as a DataFrame indexed by order_book_id: texts as str, listed and
        de-listed dates as datetime64[ns] (NaT where none)."""
        import numpy as np

        pandas = _pandas()
        with self._reading():
            table, known, _categories = self._table()
            if codes is not None:
                wanted = [known.position[code] for code in known.resolve_all(codes)]
                table = table[np.asarray(wanted, dtype=np.intp)]
        columns = {}
        for name in table.dtype.names:
            column = table[name]
            if column.dtype.kind == "S":
                column = np.char.decode(column, "utf-8", "replace").astype(object)
            elif name.endswith("_date"):
                column = dates.dates64(column)
            columns[name] = column
        return pandas.DataFrame(columns).set_index("order_book_id", drop=False).rename_axis(None)

    def trading_dates(self, start=None, end=None, exchange=None):
        """The trading days from ``start`` to ``end`` as a DatetimeIndex: those of ``exchange``
        when given (its own calendar, else the bundle-wide one), else the bundle-wide calendar."""
        pandas = _pandas()
        low, high = dates.span(start, end)
        with self._reading():
            days = self._calendar_of(exchange)[0]
        days = days[(days >= (low.day if low else 0)) & (days <= (high.day if high else 99991231))]
        return pandas.DatetimeIndex(dates.dates64(days), name="date")

    def calendars(self, start=None, end=None):
        """Every stored calendar from ``start`` to ``end``, one row a day, indexed by (exchange,
        date); the bundle-wide calendar under exchange ''. ``early_close``: the label of the day's
        last minute bar on a day that closes early, as a time since midnight (NaT on a full day)."""
        import numpy as np

        pandas = _pandas()
        low, high = dates.span(start, end)
        with self._reading():
            calendars = self._calendars()
        parts = []
        for exchange in sorted(calendars, key=lambda name: name or ""):
            days, early = calendars[exchange]
            days = np.asarray(days)
            days = days[(days >= (low.day if low else 0)) & (days <= (high.day if high else 99991231))]
            close = np.full(len(days), np.timedelta64("NaT", "ns"), dtype="m8[ns]")
            at = np.minimum(np.searchsorted(days, early["date"]), max(len(days) - 1, 0))
            hit = days[at] == early["date"] if len(days) else np.zeros(len(early), bool)
            minutes = early["close_time"][hit] // 100 * 60 + early["close_time"][hit] % 100
            close[at[hit]] = (minutes.astype("i8") * 60 * 10**9).view("m8[ns]")
            parts.append(pandas.DataFrame({"exchange": exchange or "", "date": dates.dates64(days),
                                           "early_close": close}))
        return pandas.concat(parts, ignore_index=True).set_index(["exchange", "date"])

    def _calendar_of(self, exchange):
        if exchange is not None and not isinstance(exchange, str):
            raise VantorelError("exchange 应为文本（如 'XSHG'），现为 {!r}".format(exchange))
        calendars = self._calendars()
        if exchange is None or exchange in calendars:
            return calendars[exchange]
        upper = {name.upper(): name for name in calendars if name}
        if exchange.upper() in upper:
            return calendars[upper[exchange.upper()]]
        table = self._table()[0]
        # An exchange without a calendar of its own is held against the bundle-wide one; a name that
        # is no instrument's exchange is most likely mistyped.
        if exchange.upper().encode() not in {e.upper() for e in table["exchange"].tolist()}:
            raise VantorelError("bundle 中没有交易所 {} 的合约或交易日历；有自己日历的交易所：{}".format(
                exchange, "、".join(sorted(k for k in calendars if k)) or "无"))
        return calendars[None]

    def ex_factors(self, codes=None):
        """The stored ex-factors (order_book_id, ex_date, ex_cum_factor), of ``codes`` when given."""
        with self._reading():
            rows = self._factors()
            wanted = self._table()[1].resolve_all(codes) if codes is not None else None
        return self._code_table(rows, wanted, "ex_date", ("order_book_id", "ex_date", "ex_cum_factor"))

    def suspensions(self, codes=None, start=None, end=None):
        """The stored days on which instruments did not trade (order_book_id, date), of ``codes``
        when given, from ``start`` to ``end``."""
        from vantorel.bundle import places, reading

        low, high = dates.span(start, end)
        directory = places.bundle_dir(self.path)
        with self._reading():
            rows = self._kept("suspended", os.path.join(directory, "suspended.h5"),
                              lambda: reading.read_table(directory, "suspended"))
            wanted = self._table()[1].resolve_all(codes) if codes is not None else None
        if rows is not None:
            rows = rows[(rows["date"] >= (low.day if low else 0)) & (rows["date"] <= (high.day if high else 99991231))]
        return self._code_table(rows, wanted, "date", ("order_book_id", "date"))

    @staticmethod
    def _code_table(rows, wanted, date_field, names):
        import numpy as np

        pandas = _pandas()
        if rows is None:
            rows = np.zeros(0, [(name, "S32" if name == "order_book_id" else "i4") for name in names[:2]]
                            + ([(names[2], "f8")] if len(names) > 2 else []))
        if wanted is not None:
            rows = rows[np.isin(rows["order_book_id"], np.array([c.encode() for c in wanted]))]
        rows = np.sort(rows, order=["order_book_id", date_field])
        columns = {name: rows[name] for name in names}
        columns["order_book_id"] = np.char.decode(rows["order_book_id"], "utf-8", "replace").astype(object)
        columns[date_field] = dates.dates64(rows[date_field])
        return pandas.DataFrame(columns)

    # Each series' source (which service or CSV file its rows came from) gets its reader here,
    # beside the tables above, from the module that records the sources.

    # ---- series -----------------------------------------------------------------------------------

    def get(self, codes, fields=None, start=None, end=None, frequency="1d", adjust=None, form="long",
            lazy=False):
        """Bars or ticks of many codes over one span, in one call.

        ``codes``: one code or a list, typed as on the command line (any case). ``fields``: one
        stored field or a list (all of them by default). ``start``/``end``: both included, in any
        accepted form; with a time of day the span is one of clock time, else of whole trading
        days. ``frequency``: ``"1d"``, ``"1m"`` or ``"tick"``. ``adjust``: None (as traded),
        ``"pre"`` or ``"post"``. ``form``: ``"long"`` (a DataFrame indexed by order_book_id and
        datetime), ``"wide"`` (per field, a DataFrame indexed by datetime with a column per code:
        one DataFrame for one field given as a text, else a dict) or ``"numpy"`` ({code:
        structured array}, ``datetime`` as datetime64[ns]). ``lazy=True``: a dask DataFrame, one
        partition per code, indexed by datetime with an order_book_id column."""
        kind = _kind(frequency)
        if adjust is not None and adjust not in ADJUSTMENTS:
            raise VantorelError("adjust 应为 None、'pre' 或 'post'，现为 {!r}".format(adjust))
        if form not in FORMS:
            raise VantorelError("form 应为 {} 之一，现为 {!r}".format("、".join(FORMS), form))
        wanted = _fields(kind, fields)
        low, high = dates.span(start, end)
        with self._reading():
            resolved = self._table()[1].resolve_all(codes)
        if lazy:
            from vantorel.data import lazy as lazy_frames

            return lazy_frames.frame(self, resolved, wanted, start, end, frequency, adjust)
        rows = self.read_rows(kind, resolved, low, high, adjust)
        if form == "numpy":
            return {code: _numpy_rows(kind, rows[code], wanted) for code in resolved}
        if form == "wide":
            return _wide(kind, resolved, rows, wanted, single=isinstance(fields, str))
        return _long(kind, resolved, rows, wanted)

    def read_rows(self, kind, codes, low, high, adjust=None):
        """{code: stored rows in the span} of resolved ``codes``, adjusted when asked."""
        from vantorel.data import _adjusted, _checked_category, _stored_spans

        field, lo, hi = dates.search_keys(kind, low, high)
        with self._reading():
            _table, _codes, categories = self._table()
            by_category = {}
            for code in codes:
                by_category.setdefault(_checked_category(code, categories[code]), []).append(code)
            rows = {}
            for category, members in by_category.items():
                rows.update(_stored_spans(self.path, kind, category, members, field, lo, hi))
            factors = self._factors() if adjust else None
        if adjust:
            from vantorel.bundle import places

            file = os.path.join(places.bundle_dir(self.path), "ex_factors.h5")
            day_of = (lambda r: r["datetime"] // 1000000) if kind == "daybar" else (lambda r: r["trading_date"])
            rows = {code: _adjusted(r, code, factors, adjust, file, PRICE_FIELDS[kind], day_of)
                    for code, r in rows.items()}
        return rows


# ---- shaping ------------------------------------------------------------------------------------

def _pandas():
    from vantorel.data import _pandas as pandas

    return pandas()


def _kind(frequency):
    kind = FREQUENCIES.get(frequency if isinstance(frequency, str) else None)
    if kind is None:
        raise VantorelError("frequency 应为 bundle 中存有的周期之一：{}，现为 {!r}".format(STORED_INTERVALS, frequency))
    return kind


def _stored_dtype(kind):
    from vantorel.market import schemas

    return {"daybar": schemas.daybar_dtype, "minbar": schemas.minbar_dtype, "tick": schemas.tick_dtype}[kind]()


def _stored_fields(kind):
    from vantorel.market import schemas

    return [name for name, _type in {"daybar": schemas.DAYBAR_FIELDS, "minbar": schemas.MINBAR_FIELDS,
                                     "tick": schemas.TICK_FIELDS}[kind] if name != "datetime"]


def _fields(kind, fields):
    stored = _stored_fields(kind)
    if fields is None:
        return stored
    names = [fields] if isinstance(fields, str) else list(fields)
    unknown = [name for name in names if name not in stored]
    if unknown or not names:
        raise VantorelError("字段 {} 不在{}中；可用的字段：{}".format(
            "、".join(map(str, unknown)) or "（空）", {"daybar": "日线", "minbar": "分钟线", "tick": "tick"}[kind],
            ", ".join(stored)))
    return list(dict.fromkeys(names))


def _column(name, values):
    """A stored column as the frames give it: a trading date as datetime64[ns]."""
    return dates.dates64(values) if name == "trading_date" else values


def _numpy_rows(kind, rows, fields):
    import numpy as np

    out = np.empty(len(rows), [("datetime", "M8[ns]")] + [
        (name, "M8[ns]" if name == "trading_date" else rows.dtype[name]) for name in fields])
    out["datetime"] = dates.as_datetime64(rows["datetime"], kind)
    for name in fields:
        out[name] = _column(name, rows[name])
    return out


def _long(kind, codes, rows, fields):
    import numpy as np

    pandas = _pandas()
    lengths = np.array([len(rows[code]) for code in codes], dtype=np.intp)
    parts = [rows[code] for code in codes]
    stamps = dates.as_datetime64(np.concatenate([p["datetime"] for p in parts]) if len(parts) > 1
                                 else parts[0]["datetime"], kind)
    which = np.repeat(np.arange(len(codes), dtype=np.intp), lengths)
    if len(codes) == 1:  # one series: its stamps are sorted and distinct already
        times, at = pandas.DatetimeIndex(stamps), np.arange(len(stamps), dtype=np.intp)
    else:
        unique, at = np.unique(stamps, return_inverse=True)
        times = pandas.DatetimeIndex(unique)
    index = pandas.MultiIndex(levels=[pandas.Index(codes, dtype=object), times], codes=[which, at.ravel()],
                              names=_INDEX_NAMES, verify_integrity=False)
    columns = {name: _column(name, np.concatenate([p[name] for p in parts]) if len(parts) > 1 else parts[0][name])
               for name in fields}
    return pandas.DataFrame(columns, index=index, copy=False)


def _wide(kind, codes, rows, fields, single):
    import numpy as np

    pandas = _pandas()
    stamps = {code: dates.as_datetime64(rows[code]["datetime"], kind) for code in codes}
    for code, times in stamps.items():
        if len(times) > 1 and not (np.diff(times.view("i8")) > 0).all():
            # One cell a moment and code: a second row at a moment (two ticks in a millisecond) would
            # be dropped without a word.
            raise VantorelError(f"{code} 在同一时刻有多行，排不成宽表；请用 form='long' 或 'numpy'")
    times = np.unique(np.concatenate(list(stamps.values())))
    where = {code: np.searchsorted(times, stamps[code]) for code in codes}
    index = pandas.DatetimeIndex(times, name="datetime")
    frames = {}
    for name in fields:
        sample = _column(name, rows[codes[0]][name][:0])
        filler, dtype = (np.datetime64("NaT", "ns"), sample.dtype) if sample.dtype.kind == "M" else (np.nan, "f8")
        grid = np.full((len(times), len(codes)), filler, dtype=dtype)
        for j, code in enumerate(codes):
            grid[where[code], j] = _column(name, rows[code][name])
        frames[name] = pandas.DataFrame(grid, index=index, columns=pandas.Index(codes, name="order_book_id"))
    return frames[fields[0]] if single else frames
