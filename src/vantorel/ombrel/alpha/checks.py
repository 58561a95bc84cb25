"""Anomaly checks of the minute bars and daily bars stored in a bundle.

``check_min_bar_data(bundle_path)`` scans ``minbar/<category>/<code>.h5``;
``check_daily_bar_data(bundle_directory)`` scans ``bundle/daybar/<category>.h5`` and holds
each daily bar against the aggregate of the same day's minute bars when those are stored.
Both print a table, one row per file, instrument and kind of anomaly, or a line saying that
nothing was found (or that there is no data), and return the list of ``Anomaly`` rows. Each run
over data also writes its rows as JSON Lines under ``<bundle path>/reports/`` (``reports``) and
prints that file's path as its last line.

What is looked for, in every series:

- a file that cannot be read, or lacks one of the columns the checks need;
- ``datetime`` going backwards, or the same ``datetime`` twice;
- NaN or infinity in open/high/low/close; a price of zero or below; negative volume;
- high below open, close or low, or low above open or close;
- a close-to-close move beyond the jump threshold between consecutive bars;
- trading days missing between the first and the last stored day (but for the instrument's
  suspensions), and rows on days that are not trading days, both against the calendar of the
  instrument's exchange when the bundle keeps one, else the bundle's;
- rows before the instrument's listed date or after its de-listed date, and a series of an
  instrument the instrument table lacks;

in the bundle's base tables, each a finding of its file rather than a check that stops:

- a calendar that is missing, empty, out of order or holds non-dates, and early closes no clock
  shows;
- ex-factor and suspension rows that cannot be used (an unknown code, no real date, a factor that
  is no positive number, a date given twice), reported and left out;

and in minute bars besides:

- bars outside the instrument's sessions (or not on a whole minute, or after the day's early
  close), bars whose ``trading_date`` does not fit their time (a night session runs on the
  previous trading day), and sessions whose bar count differs from the session length (on an
  early close, from its minutes up to the close);
- ``rows``/``first_trading_date``/``last_trading_date`` attributes that disagree with the data
  (an update resumes from them, so a wrong one hides missing days);

and in daily bars besides, against the minute bars of the same instrument:

- open differs from the first minute's open, high from the highest high, low from the lowest
  low, close from the last minute's close (each beyond the larger of a tick and 0.2% of the
  price: the two may come from different feeds), or volume from the minutes' sum (beyond 2%);
- trading days that have minute bars but no daily bar;

and on their own:

- the same bar repeated for days, a volume far over the series' median, a move that the next
  day undoes, and a listed series that stopped (or never began) before the last day of its
  calendar; a missing day shared by most series of a calendar is one row of its own.

Every threshold is a field of ``CheckSettings``, and ``SETTINGS`` names the environment variable
that sets it (``VANTOREL_CHECK_*``, documented in the README with its default and range).

numpy and h5py are imported inside the functions: the command line imports this module on
every run.
"""
import os
import shutil
import sys
from typing import NamedTuple

import click

from vantorel.errors import VantorelError, one_line
from vantorel.market.sessions import NIGHT_SESSION_FROM, has_night_session, parse_trading_hours
from vantorel.ombrel.alpha import reports, storage
from vantorel.ombrel.alpha.reports import Example
from vantorel.bundle import staging
from vantorel.progress import progress

KINDS = {
    "unreadable": "无法读取",
    "missing_columns": "缺少字段",
    "not_increasing": "时间戳倒退",
    "duplicate": "时间戳重复",
    "nan": "价格为 NaN 或无穷",
    "non_positive": "价格不为正",
    "ohlc": "OHLC 不一致",
    "negative_volume": "成交量为负",
    "jump": "收盘价跳变过大",
    "missing_days": "缺少交易日",
    "non_trading_day": "非交易日有数据",
    "off_session": "交易时段之外",
    "trading_date": "交易日与时间不符",
    "session_count": "每节分钟数不符",
    "attrs": "文件属性与数据不符",
    "unknown_instrument": "品种不在合约表中",
    "outside_listing": "上市期之外有数据",
    "daily_vs_minute": "日线与分钟线汇总不符",
    "minute_without_daily": "有分钟线无日线",
    "calendar": "交易日历有误",
    "market_gap": "多数合约同日缺失",
    "stale": "连续多日行情完全相同",
    "volume_outlier": "成交量异常",
    "reverting_spike": "价格尖刺（次日回落）",
    "stopped": "早于日历末日停止更新",
    "events": "除权或停牌表有误",
}

PRICE_FIELDS = ("open", "high", "low", "close")
OHLC_TOLERANCE = 1e-9  # relative
_DAY_MINUTES = 24 * 60
MINBAR_COLUMNS = ("datetime", "trading_date") + PRICE_FIELDS + ("volume",)
DAYBAR_COLUMNS = ("datetime",) + PRICE_FIELDS + ("volume",)


class Anomaly(NamedTuple):
    file: str  # relative to the bundle path, "/"-separated
    code: str  # market code; "" when the whole file is concerned
    kind: str  # a key of KINDS
    count: int
    examples: tuple  # a few texts showing where


class CheckSettings(NamedTuple):
    daily_jump: float = 0.25
    minute_jump: float = 0.20
    option_jump: float = 5.0
    # A daily bar and the minute bars of the same day often come from different feeds: an auction
    # print, a late trade or another venue's volume moves one and not the other. A price differs
    # beyond the larger of ``price_ticks`` ticks and ``price_rel`` of the price; a volume beyond
    # ``volume_rel`` of the minutes' sum.
    price_ticks: float = 1.0
    price_rel: float = 0.002
    volume_rel: float = 0.02
    examples: int = 3
    stale_days: int = 5  # the same open, high, low, close and volume this many days running
    volume_ratio: float = 50.0  # a day's volume beyond this many times the series' median
    spike: float = 0.10  # a move beyond this, undone (within a quarter of it) the next day
    stopped_days: int = 5  # trading days of the calendar after a listed series' last bar
    market_gap_share: float = 0.5  # a missing day shared by more than this share of series is one row

    def jump_limit(self, category, minute):
        if category == "option":
            return self.option_jump
        return self.minute_jump if minute else self.daily_jump


class _Setting(NamedTuple):
    env: str
    whole: bool  # a number of days rather than a fraction or a ratio
    most: float  # the largest value that still means something
    example: str


SETTINGS = {
    "daily_jump": _Setting("VANTOREL_CHECK_DAILY_JUMP", False, 100.0, "0.3 表示 30%"),
    "minute_jump": _Setting("VANTOREL_CHECK_MINUTE_JUMP", False, 100.0, "0.3 表示 30%"),
    "option_jump": _Setting("VANTOREL_CHECK_OPTION_JUMP", False, 1000.0, "5 表示 500%"),
    "price_ticks": _Setting("VANTOREL_CHECK_DAILY_MINUTE_TICKS", False, 1000.0, "2 表示两个最小变动价位"),
    "price_rel": _Setting("VANTOREL_CHECK_DAILY_MINUTE_PRICE", False, 1.0, "0.005 表示 0.5%"),
    "volume_rel": _Setting("VANTOREL_CHECK_DAILY_MINUTE_VOLUME", False, 100.0, "0.05 表示 5%"),
    "stale_days": _Setting("VANTOREL_CHECK_STALE_DAYS", True, 1000, "5 表示连续 5 天"),
    "volume_ratio": _Setting("VANTOREL_CHECK_VOLUME_RATIO", False, 1e6, "50 表示中位数的 50 倍"),
    "spike": _Setting("VANTOREL_CHECK_SPIKE", False, 100.0, "0.1 表示 10%"),
    "stopped_days": _Setting("VANTOREL_CHECK_STOPPED_DAYS", True, 10000, "5 表示 5 个交易日"),
    "market_gap_share": _Setting("VANTOREL_CHECK_MARKET_GAP_SHARE", False, 1.0, "0.5 表示半数以上的合约"),
}


def settings_from_env():
    """Default settings with the thresholds the environment sets (``SETTINGS``); a value that is
    no number in its range is refused, naming the variable, rather than quietly not applied."""
    import math

    values = {}
    for field, setting in SETTINGS.items():
        text = os.environ.get(setting.env)
        if not text:
            continue
        try:
            value = int(text, 10) if setting.whole else float(text)
        except ValueError:
            value = None
        if setting.whole:  # a run of days: one day alone is no run
            fits = value is not None and 2 <= value <= setting.most
            wanted = "2 到 {:g} 之间的整数".format(setting.most)
        else:
            fits = value is not None and math.isfinite(value) and 0 < value <= setting.most
            wanted = "大于 0、不超过 {:g} 的数".format(setting.most)
        if not fits:
            raise VantorelError("环境变量 {} 应为 {}（例如 {}），现为 {!r}；请改正或删除它".format(
                setting.env, wanted, setting.example, text))
        values[field] = value
    return CheckSettings(**values)


# ---- the bundle's base data --------------------------------------------------------------------

class _Calendar:
    """One calendar series are held against: its days, whether a night session precedes each, and
    the minute each day's last bar is labelled by (its early close; past every minute on a full day)."""

    def __init__(self, days, early_closes):
        """``days``: int64 YYYYMMDD, ascending, not empty; ``early_closes``: EARLY_CLOSE_FIELDS rows."""
        import numpy as np


        self.days = days
        # Whether the night session before each day takes place: the service's rule, worked out
        # once per day rather than once per bar.
        night = [has_night_session(int(days[0]))]
        night += [has_night_session(int(d), int(p)) for p, d in zip(days[:-1], days[1:])]
        self.has_night = np.asarray(night, dtype=bool)
        early_days = np.asarray(early_closes["date"], dtype="i8")
        at = np.minimum(np.searchsorted(days, early_days), len(days) - 1)
        listed = early_days == days[at]
        hhmm = np.asarray(early_closes["close_time"], dtype="i8")[listed]
        self.early_days = early_days[listed]
        self.early_minutes = hhmm // 100 * 60 + hhmm % 100
        self.close = np.full(len(days), _DAY_MINUTES, dtype="i8")
        self.close[at[listed]] = self.early_minutes


class _Base:
    """Calendars and instrument table, read once per check run."""

    def __init__(self, bundle_directory, bundle_path):
        import numpy as np

        self.problems = []
        rel_dir = _rel(bundle_path, bundle_directory)
        calendar_file = rel_dir + storage.TRADING_DATES_FILE
        try:
            stored = storage.read_calendars(bundle_directory)
        except FileNotFoundError:
            stored = {}
            self.problems.append(Anomaly(calendar_file, "", "calendar", 1,
                                         ("bundle 中没有交易日历：未检查缺失的交易日与非交易日",)))
        except (VantorelError, OSError, ValueError) as exc:
            stored = {}
            self.problems.append(Anomaly(calendar_file, "", "unreadable", 1, (_short(exc),)))
        # {exchange, None for the bundle-wide one: _Calendar}. Without a calendar there is nothing to
        # hold the days against: checking them against one of the kit's own would report every
        # holiday of another market.
        self.calendars = {}
        for exchange, (days, early_closes) in stored.items():
            days = self._calendar(days, calendar_file, exchange)
            hhmm = np.asarray(early_closes["close_time"], dtype="i8")
            # A close no clock shows would end the day's sessions before they begin, or at a minute nobody meant.
            odd = (hhmm <= 0) | (hhmm // 100 > 23) | (hhmm % 100 > 59)
            if odd.any():
                named = "{} ".format(exchange) if exchange else ""
                self.problems.append(Anomaly(calendar_file, "", "calendar", int(odd.sum()), tuple(
                    _day(row["date"]).then("的提前收盘时刻 {} 无效".format(row["close_time"])) if not named
                    else "{}{} 的提前收盘时刻 {} 无效".format(named, _day(row["date"]), row["close_time"])
                    for row in early_closes[odd][:3])))
                early_closes = early_closes[~odd]
            if days is not None:
                self.calendars[exchange] = _Calendar(days, early_closes)

        self.instruments = {}
        try:
            table = storage.read_instruments(bundle_directory)
        except FileNotFoundError:
            self.problems.append(Anomaly(rel_dir + storage.INSTRUMENTS_FILE, "", "unreadable", 1, ("文件不存在，无法检查交易时段",)))
        except (VantorelError, OSError, ValueError) as exc:
            self.problems.append(Anomaly(rel_dir + storage.INSTRUMENTS_FILE, "", "unreadable", 1, (_short(exc),)))
        else:
            names = table.dtype.names or ()
            if "order_book_id" not in names:
                self.problems.append(Anomaly(rel_dir + storage.INSTRUMENTS_FILE, "", "missing_columns", 1, ("order_book_id",)))
            else:
                for row in table:
                    code = _text(row["order_book_id"])
                    self.instruments[code] = {n: (_text(row[n]) if isinstance(row[n], bytes) else row[n]) for n in names}
        self._sessions = {}
        self.gaps = None  # [(series, missing days, calendar key)] when a run gathers them
        self.ex_factors, self.suspended = {}, {}
        for name, into in (("ex_factors", self.ex_factors), ("suspended", self.suspended)):
            try:
                table = storage.read_table(bundle_directory, name)
            except (VantorelError, OSError, ValueError) as exc:
                self.problems.append(Anomaly(rel_dir + name + ".h5", "", "unreadable", 1, (_short(exc),)))
                continue
            if table is not None:
                self._events(table, name, rel_dir + name + ".h5", into)

    def _calendar(self, stored, file, exchange):
        """A stored calendar (the bundle-wide one when ``exchange`` is None) as sorted int64
        YYYYMMDD, what is wrong with it reported; None when nothing in it can serve."""
        import numpy as np

        named = "{} 的".format(exchange) if exchange else ""
        # Integers already: the reader refuses a calendar of any other type, and the check reports it unreadable.
        calendar = np.asarray(stored, dtype="i8")
        if len(calendar) == 0:
            self.problems.append(Anomaly(file, "", "calendar", 1, (named + "交易日历为空：未检查缺失的交易日与非交易日",)))
            return None
        bad = ~_valid_days(calendar)
        if bad.any():
            self.problems.append(Anomaly(file, "", "calendar", int(bad.sum()),
                                         tuple(named + "{} 不是 1900 到 2099 年间的日期".format(int(d)) for d in calendar[bad][:3])))
            calendar = calendar[~bad]
        if len(calendar) > 1 and not np.all(np.diff(calendar) > 0):
            wrong = np.flatnonzero(np.diff(calendar) <= 0)
            self.problems.append(Anomaly(file, "", "calendar", len(wrong), tuple(named + _day(calendar[i + 1]) if named else _day(calendar[i + 1]) for i in wrong[:3])))
            calendar = np.unique(calendar)
        return calendar if len(calendar) else None

    def _events(self, table, name, file, into):
        """The rows of the ex-factor or suspension table that can be used, by code; a row that
        cannot (no such instrument, no date, a factor that is no positive number, a date given
        twice) is reported and left out, so that it neither hides nor invents a jump or a gap."""
        import numpy as np

        # The reader has refused a table without these fields in their types.
        fields = {"ex_factors": ("order_book_id", "ex_date", "ex_cum_factor"), "suspended": ("order_book_id", "date")}[name]
        codes = np.array([_text(c) for c in table[fields[0]]], dtype=object)
        days = np.asarray(table[fields[1]], dtype="i8")
        problems = {}
        valid = _valid_days(days)
        for i in np.flatnonzero(~valid)[:3]:
            problems.setdefault("日期无效", []).append("{} {}".format(codes[i], int(days[i])))
        ok = valid
        if self.instruments:
            known = np.array([c in self.instruments for c in codes], dtype=bool)
            for i in np.flatnonzero(~known)[:3]:
                problems.setdefault("合约表中没有", []).append(codes[i])
            ok = ok & known
        if name == "ex_factors":
            with np.errstate(invalid="ignore"):
                good = np.isfinite(table[fields[2]]) & (table[fields[2]] > 0)
            for i in np.flatnonzero(~good)[:3]:
                problems.setdefault("除权因子不是正数", []).append("{} {} {}".format(codes[i], _day_or_number(days[i]), table[fields[2]][i]))
            ok = ok & good
        seen = set()
        for i in np.flatnonzero(ok):
            if (codes[i], days[i]) in seen:
                problems.setdefault("同一日期重复", []).append("{} {}".format(codes[i], _day(days[i])))
            seen.add((codes[i], days[i]))
        count = int((~ok).sum()) + len(problems.get("同一日期重复", ()))
        if problems:
            examples = tuple("{}：{}".format(what, "、".join(items[:3])) for what, items in problems.items())
            self.problems.append(Anomaly(file, "", "events", max(count, 1), examples))
        rows = np.flatnonzero(ok)
        rows = rows[np.lexsort((days[rows], codes[rows].astype(str)))] if len(rows) else rows
        for i in rows:
            into.setdefault(codes[i], []).append((int(days[i]),) + ((float(table[fields[2]][i]),) if name == "ex_factors" else ()))

    def calendar_key(self, code):
        """The exchange whose calendar holds the instrument, or None for the bundle-wide one."""
        exchange = (self.instruments.get(code) or {}).get("exchange")
        return exchange if exchange and exchange in self.calendars else None

    def calendar_of(self, code):
        """The _Calendar the instrument is held against; None when the bundle has none."""
        return self.calendars.get(self.calendar_key(code))

    def factors(self, code, days):
        """Each day's cumulative price-adjustment factor, or None when the code has no ex-factors."""
        import numpy as np

        steps = self.ex_factors.get(code)
        if not steps:
            return None
        dates = np.array([d for d, _f in steps], dtype="i8")
        values = np.array([1.0] + [f for _d, f in steps])
        return values[np.searchsorted(dates, days, side="right")]

    def suspended_days(self, code):
        import numpy as np

        return np.array([d for (d,) in self.suspended.get(code, [])], dtype="i8")

    def tick_size(self, code):
        info = self.instruments.get(code)
        try:
            return float(info["tick_size"]) if info else 0.0
        except (KeyError, TypeError, ValueError):
            return 0.0

    def listing(self, code):
        """(listed date, de-listed date or 0) of an instrument; (0, 0) when unknown."""
        info = self.instruments.get(code)
        try:
            return int(info.get("listed_date", 0) or 0), int(info.get("de_listed_date", 0) or 0)
        except (AttributeError, TypeError, ValueError):
            return 0, 0

    def sessions(self, code):
        """(firsts, lasts, is_night, session_of_minute) of an instrument's sessions, sorted by
        first minute; session_of_minute maps each minute of the day to its session or -1."""
        import numpy as np


        info = self.instruments.get(code)
        hours = info.get("trading_hours") if info else None
        if not hours:
            return None
        if hours not in self._sessions:
            try:
                parsed = sorted(parse_trading_hours(hours))
            except (ValueError, AttributeError):
                parsed = []
            parsed = [(a, b) for a, b in parsed if 0 <= a <= b < _DAY_MINUTES]
            firsts = np.array([a for a, _ in parsed], dtype="i8")
            lasts = np.array([b for _, b in parsed], dtype="i8")
            lookup = np.full(_DAY_MINUTES, -1, dtype="i8")
            for index, (a, b) in enumerate(parsed):
                lookup[a : b + 1] = np.where(lookup[a : b + 1] < 0, index, lookup[a : b + 1])
            night = firsts >= NIGHT_SESSION_FROM
            self._sessions[hours] = (firsts, lasts, night, lookup) if parsed else None
        return self._sessions[hours]


# ---- small helpers -------------------------------------------------------------------------------

def _text(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return str(value)


def _short(exc):
    """The whole reason an error gives, on one line (the table wraps it)."""
    text = getattr(exc, "message", None) or str(exc) or type(exc).__name__
    return " ".join(text.split())


def _rel(bundle_path, path):
    rel = os.path.relpath(path, bundle_path).replace(os.sep, "/")
    return "" if rel == "." else rel + "/"


def _quiet_arithmetic():
    """NaN, infinity and overflow in a stored series are what the checks report, row by row; numpy's
    warnings about them would only print noise (with a source line) above the table."""
    import numpy as np

    return np.errstate(all="ignore")


def _valid_days(days):
    """Which of the YYYYMMDD integers name a day of 1900 to 2099: a CSV import takes no other, and
    the calendar arithmetic of the checks needs room on either side."""
    import numpy as np

    days = np.asarray(days, dtype="i8")
    year, month, day = days // 10000, days // 100 % 100, days % 100
    ok = (year >= 1900) & (year <= 2099) & (month >= 1) & (month <= 12) & (day >= 1) & (days >= 0)
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    length = np.array([0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31])[np.clip(month, 0, 12)] + (leap & (month == 2))
    return ok & (day <= length)


def _percent(move):
    """A move as a percentage; an absurd one (a price of 1e300 in a damaged file) in powers of ten
    rather than three hundred digits."""
    return "{:+.1%}".format(move) if abs(move) < 1e6 else "{:+.3g}%".format(move * 100)


def _day_or_number(yyyymmdd):
    """A day as the table shows days; the bare number when it names none, so the example still says what is stored."""
    return _day(yyyymmdd) if _valid_days([yyyymmdd])[0] else str(int(yyyymmdd))


def _day(yyyymmdd):
    d = int(yyyymmdd)
    text = "{:04d}-{:02d}-{:02d}".format(d // 10000, d // 100 % 100, d % 100)
    return Example.of(text, "", date=text)


def _minute(stamp):
    s = int(stamp)
    day, clock = _day(s // 1000000), "{:02d}:{:02d}".format(s // 10000 % 100, s // 100 % 100)
    return Example.of("{} {}".format(day, clock), "", datetime="{}T{}:00".format(day, clock))


def _hhmm(minutes):
    return "{:02d}:{:02d}".format(int(minutes) // 60, int(minutes) % 60)


class _Series:
    """Collects the anomalies of one file and instrument."""

    def __init__(self, file, code, settings, stamp_text):
        self.file = file
        self.code = code
        self.settings = settings
        self.stamp_text = stamp_text
        self.found = []

    def flag(self, kind, mask_or_index, stamps=None, describe=None):
        """Report the rows a boolean mask (or an index array) selects, if any."""
        import numpy as np

        index = np.flatnonzero(mask_or_index) if getattr(mask_or_index, "dtype", None) == bool else np.asarray(mask_or_index)
        if len(index) == 0:
            return
        shown = index[: self.settings.examples]
        if describe is not None:
            examples = tuple(describe(i) for i in shown)
        else:
            examples = tuple(self.stamp_text(stamps[i]) for i in shown)
        self.add(kind, len(index), examples)

    def add(self, kind, count, examples=()):
        self.found.append(Anomaly(self.file, self.code, kind, int(count), tuple(examples)))


def _missing_columns(series, arr, columns):
    """Report columns that are absent or not numbers; true when there are any."""
    fields = getattr(arr.dtype, "fields", None) or {}
    missing = []
    for name in columns:
        if name not in fields:
            missing.append(name)
        elif fields[name][0].kind not in "iuf":
            missing.append("{}（类型为 {}）".format(name, fields[name][0].str))
    if missing:
        series.add("missing_columns", len(missing), missing)
    return bool(missing)


def _columns(arr, names):
    """The named fields as contiguous arrays: numpy runs several times faster over them than
    over the strided fields of a structured array, which pays for the one copy."""
    import numpy as np

    with np.errstate(invalid="ignore"):  # a float volume holding NaN, in a file not of ours
        return {n: np.ascontiguousarray(arr[n], dtype="f8" if n in PRICE_FIELDS else "i8") for n in names}


def _bar_checks(series, arr, jump_limit, factors=None):
    """Checks that hold for daily and minute bars alike (``arr``: the columns by name). ``factors``
    is each row's cumulative price-adjustment factor when the bundle has ex-factors: a split or a
    dividend moves the raw price, not the adjusted one, so jumps are judged on the latter."""
    import numpy as np

    stamps = arr["datetime"]
    step = np.diff(stamps)
    # A clean series, nearly every one, pays one scan for what a faulty one needs several for.
    if not (step > 0).all():
        series.flag("not_increasing", np.flatnonzero(step < 0) + 1, stamps)
        series.flag("duplicate", np.flatnonzero(step == 0) + 1, stamps)

    o, h, l, c = (arr[f] for f in PRICE_FIELDS)
    with np.errstate(invalid="ignore"):
        # One sum finds NaN and infinity in any of the four (inf - inf is NaN too).
        total = o + h
        total += l
        total += c
        finite = np.isfinite(total)
    if not finite.all():
        series.flag("nan", ~finite, stamps)
    lowest = np.minimum(o, h)
    np.minimum(lowest, l, out=lowest)
    np.minimum(lowest, c, out=lowest)
    positive = lowest > 0
    all_positive = positive.all()
    if not all_positive:
        series.flag("non_positive", ~positive & finite, stamps)
    # NaN compares false, so a NaN row is reported once, above, and not again here. Adjusted
    # prices carry rounding of a few parts in 1e16: only a real break counts.
    top = np.maximum(o, c)
    bottom = np.minimum(o, c)
    np.maximum(top, l, out=top)
    if not ((h >= top).all() and (l <= bottom).all()):  # else no slack can matter
        slack = OHLC_TOLERANCE * np.abs(h)
        bad = (h + slack < top) | (l - slack > bottom)
        series.flag(
            "ohlc",
            bad,
            describe=lambda i: series.stamp_text(stamps[i]).then("O{:g} H{:g} L{:g} C{:g}".format(o[i], h[i], l[i], c[i])),
        )
    series.flag("negative_volume", arr["volume"] < 0, stamps)

    if len(c) > 1:
        adjusted = c * factors if factors is not None else c
        with np.errstate(all="ignore"):
            ratio = adjusted[1:] / adjusted[:-1]
        big = (ratio > 1.0 + jump_limit) | (ratio < 1.0 - jump_limit)  # NaN is neither
        if not all_positive:
            big &= (c[1:] > 0) & (c[:-1] > 0)
        series.flag(
            "jump",
            np.flatnonzero(big) + 1,
            describe=lambda i: series.stamp_text(stamps[i]).then(_percent(ratio[i - 1] - 1.0)),
        )


def _unique_days(days):
    """Sorted distinct days; cheap when they come sorted, as stored rows do."""
    import numpy as np

    if len(days) > 1 and np.all(days[1:] >= days[:-1]):
        return days[np.r_[True, days[1:] != days[:-1]]]
    return np.unique(days)


def _calendar_checks(series, base, days):
    """Missing trading days between the first and last stored day, days off the calendar, and
    days outside the instrument's listing."""
    import numpy as np

    days = _unique_days(days)
    if len(days) == 0:
        return
    listed, de_listed = base.listing(series.code)
    outside = days < listed
    if de_listed:
        outside |= days > de_listed
    series.flag("outside_listing", outside, describe=lambda i: _day(days[i]))
    own = base.calendar_of(series.code)
    if own is None:
        return
    calendar = own.days
    off = np.setdiff1d(days, calendar, assume_unique=True)
    series.flag("non_trading_day", np.arange(len(off)), describe=lambda i: _day(off[i]))
    expected = calendar[(calendar >= days[0]) & (calendar <= days[-1])]
    # A day the instrument was suspended is no gap.
    missing = np.setdiff1d(np.setdiff1d(expected, days, assume_unique=True), base.suspended_days(series.code))
    if base.gaps is not None:
        base.gaps.append((series, missing, base.calendar_key(series.code)))  # judged once every series is in
    else:
        series.flag("missing_days", np.arange(len(missing)), describe=lambda i: _day(missing[i]))


# ---- minute bars ---------------------------------------------------------------------------------

def _calendar_positions(calendar, days):
    """Index of each day in the calendar, and whether it is there at all."""
    import numpy as np

    if len(days) > 1 and np.all(days[1:] >= days[:-1]):
        # Look up each distinct day once and spread the answer over its rows.
        starts = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
        pos = np.repeat(np.searchsorted(calendar, days[starts]), np.diff(np.r_[starts, len(days)]))
    else:
        pos = np.searchsorted(calendar, days)
    pos = np.minimum(pos, len(calendar) - 1)
    return pos, calendar[pos] == days


def _session_checks(series, base, arr):
    import numpy as np

    spec = base.sessions(series.code)
    if spec is None:
        if series.code not in base.instruments and base.instruments:
            series.add("unknown_instrument", 1)
        return
    firsts, lasts, night, lookup = spec
    stamps = arr["datetime"]
    own = base.calendar_of(series.code)
    if own is not None and _regular_day_sessions(own, firsts, lasts, night, stamps, arr["trading_date"]):
        return
    # Floor division by a constant is several times faster in numpy than % or divmod.
    date = stamps // 1000000
    clock = stamps - date * 1000000
    hhmm = clock // 100
    seconds = clock - hhmm * 100
    hours = hhmm // 100
    minutes = hhmm - hours * 100
    minute = hours * 60 + minutes
    # (np.clip costs several times what a minimum and a maximum do on arrays this size.)
    k = lookup[np.minimum(np.maximum(minute, 0), _DAY_MINUTES - 1)]
    kc = np.maximum(k, 0)
    inside = (k >= 0) & (seconds == 0) & (minutes < 60) & (minute < _DAY_MINUTES) & (stamps >= 0)
    if own is not None:
        trading_day = arr["trading_date"]
        pos, known = _calendar_positions(own.days, trading_day)
        if len(own.early_days):
            # A day session's bar after its day's early close is off session too.
            inside &= ~(known & ~night[kc] & (minute > own.close[pos]))
    series.flag("off_session", ~inside, stamps)
    if own is None:
        return  # the trading day of a bar, and the days' bar counts, need the calendar

    calendar = own.days
    at_night = night[kc]
    # A night session runs on the evening of the previous trading day.
    run_on = np.where(at_night, calendar[np.maximum(pos - 1, 0)], trading_day)
    checkable = inside & known & ~(at_night & (pos == 0))
    series.flag("trading_date", checkable & (date != run_on), stamps)

    counted = inside & known
    present = _unique_days(pos[counted])
    if len(present) == 0:
        return
    n_sessions = len(firsts)
    row_of = np.zeros(len(calendar), dtype="i8")
    row_of[present] = np.arange(len(present))
    row = row_of[pos[counted]]
    counts = np.bincount(row * n_sessions + kc[counted], minlength=len(present) * n_sessions)
    counts = counts.reshape(len(present), n_sessions)
    # A night session counts whole when it takes place; a day session up to the day's close.
    whole_nights = own.has_night[present][:, None] * (lasts - firsts + 1)[None, :]
    days_to_close = np.maximum(np.minimum(lasts[None, :], own.close[present][:, None]) - firsts[None, :] + 1, 0)
    expected = np.where(night[None, :], whole_nights, days_to_close)
    off_rows, off_sessions = np.nonzero(counts != expected)
    series.flag(
        "session_count",
        np.arange(len(off_rows)),
        describe=lambda i: _day(calendar[present[off_rows[i]]]).then("{}-{} {}/{}".format(
            _hhmm(firsts[off_sessions[i]]),
            _hhmm(lasts[off_sessions[i]]),
            counts[off_rows[i], off_sessions[i]],
            expected[off_rows[i], off_sessions[i]],
        )),
    )


def _regular_day_sessions(calendar, firsts, lasts, night, stamps, trading_day):
    """Whether the bars are exactly the sessions' minutes on each of their trading days, in order
    (on an early close, those up to the close): then no session check can find anything, and the
    per-row work is skipped. Only for day sessions, where a bar's date is its trading day; stored
    minute bars nearly always are so."""
    import numpy as np

    if night.any() or not len(stamps):
        return False
    minutes = np.concatenate([np.arange(a, b + 1) for a, b in zip(firsts.tolist(), lasts.tolist())])
    template = (minutes // 60) * 10000 + (minutes % 60) * 100
    # Each early close that cuts the sessions short is held against its own shorter day; the full
    # days between them, as tables.
    done = 0
    early_days = calendar.early_days
    if len(early_days):
        within = slice(np.searchsorted(early_days, trading_day[0]), np.searchsorted(early_days, trading_day[-1], side="right"))
        for day, close in zip(early_days[within].tolist(), calendar.early_minutes[within].tolist()):
            if close >= minutes[-1]:
                continue
            begin, end = np.searchsorted(trading_day, [day, day + 1])
            if begin < done or not _full_days(calendar, minutes[-1], template, stamps[done:begin], trading_day[done:begin]):
                return False
            short = day * 1000000 + template[minutes <= close]
            if end > begin and not (end - begin == len(short) and (stamps[begin:end] == short).all()
                                    and (trading_day[begin:end] == day).all()):
                return False
            done = end
    return _full_days(calendar, minutes[-1], template, stamps[done:], trading_day[done:])


def _full_days(calendar, last_minute, template, stamps, trading_day):
    """Whether the bars are ``template`` on each of their days, calendar days that close no
    earlier than ``last_minute``. Compared as days x minutes tables, so that nothing the size of
    the series is built."""
    import numpy as np

    per_day = len(template)
    if len(stamps) % per_day:
        return False
    days = trading_day[::per_day]
    if not (trading_day.reshape(-1, per_day) == days[:, None]).all():
        return False
    known = np.searchsorted(calendar.days, days)
    if np.any(known >= len(calendar.days)) or not np.array_equal(calendar.days[known], days):
        return False
    if len(calendar.early_days) and np.any(calendar.close[known] < last_minute):
        return False
    return bool((stamps.reshape(-1, per_day) == days.astype("i8")[:, None] * 1000000 + template).all())


def _attr_checks(series, days, attrs):
    first, last = (int(days[0]), int(days[-1])) if len(days) else (0, 0)
    wrong = []
    for name, value in (("rows", len(days)), ("first_trading_date", first), ("last_trading_date", last)):
        if name not in attrs:
            continue
        stated = attrs[name]
        if not isinstance(stated, int) or isinstance(stated, bool):
            wrong.append("{} 不是整数".format(name))
        elif stated != value:
            wrong.append("{}={}，数据为 {}".format(name, stated, value))
    if wrong:
        series.add("attrs", len(wrong), wrong)


def _place_checks(series, attrs, category, code):
    """The code and category a file names must be those of where it lies, as an update requires."""
    wrong = ["{}={}，文件位置为 {}".format(name, _text(attrs.get(name)), expected)
             for name, expected in (("order_book_id", code), ("category", category)) if attrs.get(name) != expected]
    if wrong:
        series.add("attrs", len(wrong), wrong)


def _check_minute_file(base, bundle_path, category, code, path, settings):
    series = _Series(_rel(bundle_path, path)[:-1], code, settings, _minute)
    try:
        arr, attrs = storage.read_minbar_with_attrs(
            path, ("rows", "first_trading_date", "last_trading_date", "order_book_id", "category"))
    except (VantorelError, OSError, ValueError, KeyError) as exc:
        series.add("unreadable", 1, (_short(exc),))
        return series.found, 0
    try:
        _check_minutes(base, category, code, series, arr, attrs, settings)
    except MemoryError:
        # Read, but too large to check in the memory left: one finding, and on to the next file.
        series.add("unreadable", 1, ("内存不足，无法检查这 {} 根分钟线".format(len(arr)),))
    return series.found, len(arr)


def _check_minutes(base, category, code, series, arr, attrs, settings):
    _place_checks(series, attrs, category, code)
    if _missing_columns(series, arr, MINBAR_COLUMNS):
        return
    if len(arr) == 0:
        # A series cut to nothing still says in its attributes how many rows it had.
        _attr_checks(series, arr["trading_date"], attrs)
        return
    columns = _columns(arr, MINBAR_COLUMNS)
    _bar_checks(series, columns, settings.jump_limit(category, minute=True),
                base.factors(code, columns["trading_date"]))
    _calendar_checks(series, base, columns["trading_date"])
    _session_checks(series, base, columns)
    _attr_checks(series, columns["trading_date"], attrs)


def check_min_bar_data(data_bundle_path, settings=None):
    """Check every minute-bar file under the bundle path; print and return the anomalies."""
    settings = settings or settings_from_env()
    bundle_path = os.path.abspath(os.fspath(data_bundle_path))
    with staging.reading(bundle_path):
        click.echo("检查分钟线数据：{}".format(bundle_path))
        with _quiet_arithmetic():
            return _check_min_bar_data(bundle_path, settings)


def _check_min_bar_data(bundle_path, settings):
    files = list(storage.iter_minbar_files(bundle_path)) if os.path.isdir(bundle_path) else []
    if not files:
        click.echo("没有分钟线数据（{} 中没有分钟线文件）".format(os.path.join(bundle_path, storage.MINBAR_DIR_NAME)))
        return []
    base = _Base(storage.bundle_dir(bundle_path), bundle_path)
    found = list(base.problems)
    bars = 0
    with progress("检查分钟线", items=files, floor=21) as items:
        for category, code, path in items:
            anomalies, n = _check_minute_file(base, bundle_path, category, code, path, settings)
            found.extend(anomalies)
            bars += n
    _report(found, len(files), bars, "分钟线")
    _write_report(bundle_path, "minbar", found)
    return found


# ---- daily bars ----------------------------------------------------------------------------------

def _minute_days(minutes):
    """Per trading day of minute bars: days, first open, highest high, lowest low, last close, volume."""
    import numpy as np

    days = minutes["trading_date"]
    stamps = minutes["datetime"]
    if len(days) > 1 and not (np.all(days[1:] >= days[:-1]) and np.all(stamps[1:] > stamps[:-1])):
        order = np.lexsort((stamps, days))
        minutes = {name: column[order] for name, column in minutes.items()}
        days = minutes["trading_date"]
    starts = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
    ends = np.r_[starts[1:], len(days)] - 1
    return {
        "day": days[starts],
        "open": minutes["open"][starts],
        "high": np.maximum.reduceat(minutes["high"], starts),
        "low": np.minimum.reduceat(minutes["low"], starts),
        "close": minutes["close"][ends],
        "volume": np.add.reduceat(minutes["volume"], starts),
    }


def _cross_check(series, base, daily, days, minutes):
    """Daily bars against the aggregate of the same trading day's minute bars."""
    import numpy as np

    if len(minutes) == 0 or _missing(minutes, MINBAR_COLUMNS):
        return  # the minute-bar check reports such a file
    agg = _minute_days(_columns(minutes, MINBAR_COLUMNS))
    unique_days, first_row = np.unique(days, return_index=True)
    common, d_idx, m_idx = np.intersect1d(unique_days, agg["day"], assume_unique=True, return_indices=True)
    d_rows = first_row[d_idx]
    settings = series.settings
    tick = base.tick_size(series.code)
    differ = {}
    for field in PRICE_FIELDS:
        want = agg[field][m_idx]
        have = daily[field][d_rows]
        tolerance = np.maximum(settings.price_ticks * tick, settings.price_rel * np.abs(want))
        differ[field] = np.abs(have - want) > tolerance + 1e-9
    want_volume = agg["volume"][m_idx].astype("f8")
    have_volume = daily["volume"][d_rows].astype("f8")
    differ["volume"] = np.abs(have_volume - want_volume) > settings.volume_rel * np.abs(want_volume)
    any_differ = np.zeros(len(common), dtype=bool)
    for mask in differ.values():
        any_differ |= mask

    def describe(i):
        parts = []
        for field, mask in differ.items():
            if mask[i]:
                have = daily[field][d_rows[i]]
                want = agg[field][m_idx[i]]
                parts.append("{} {:g}≠{:g}".format(field, have, want))
        return _day(common[i]).then(" ".join(parts))

    series.flag("daily_vs_minute", any_differ, describe=describe)
    # Days inside the daily range that have minute bars but no daily bar.
    if len(unique_days):
        inside = (agg["day"] >= unique_days[0]) & (agg["day"] <= unique_days[-1])
        lone = np.setdiff1d(agg["day"][inside], unique_days, assume_unique=True)
        series.flag("minute_without_daily", np.arange(len(lone)), describe=lambda i: _day(lone[i]))


def _missing(arr, columns):
    fields = getattr(arr.dtype, "fields", None) or {}
    return any(c not in fields or fields[c][0].kind not in "iuf" for c in columns)


def _check_daily_series(base, bundle_path, file, category, code, daily, settings):
    series = _Series(file, code, settings, lambda s: _day(int(s) // 1000000))
    series.category = category
    if _missing_columns(series, daily, DAYBAR_COLUMNS):
        return series.found
    if len(daily) == 0:
        _never_began(series, base)
        return series.found
    daily = _columns(daily, DAYBAR_COLUMNS)
    days = daily["datetime"] // 1000000
    factors = base.factors(code, days)
    _bar_checks(series, daily, settings.jump_limit(category, minute=False), factors)
    if base.instruments and code not in base.instruments:
        series.add("unknown_instrument", 1)
    _calendar_checks(series, base, days)
    _daily_habits(series, base, daily, days, factors, settings)
    minute_path = storage.minbar_path(bundle_path, category, code)
    if os.path.exists(minute_path):
        try:
            minutes = storage.read_minbar(minute_path)
        except (VantorelError, OSError, ValueError, KeyError):
            minutes = None  # the minute-bar check reports the file itself
        if minutes is not None:
            _cross_check(series, base, daily, days, minutes)
    return series.found


def _daily_habits(series, base, daily, days, factors, settings):
    """What real data gets wrong that the bar-by-bar checks cannot see: a bar repeated day after
    day (a feed that stopped but kept publishing), a volume far off the series' own, a bad print
    that the next day undoes (below the jump threshold), a series that stopped before the calendar."""
    import numpy as np

    o, h, l, c, v = (daily[f] for f in PRICE_FIELDS + ("volume",))
    n = len(c)
    run = settings.stale_days
    if n >= run:
        same = (np.diff(o) == 0) & (np.diff(h) == 0) & (np.diff(l) == 0) & (np.diff(c) == 0) & (np.diff(v) == 0)
        # A window of run - 1 equal steps is run equal bars; report where each such stretch ends.
        window = np.convolve(same.astype("i8"), np.ones(run - 1, dtype="i8"), mode="valid") == run - 1
        ends = np.flatnonzero(window[1:] & ~window[:-1]) + 1 if len(window) > 1 else np.zeros(0, "i8")
        starts = np.r_[np.flatnonzero(window[:1]), ends]
        series.flag("stale", starts + run - 1, daily["datetime"])
    traded = v[v > 0]
    if len(traded) >= 10:
        median = float(np.median(traded))
        series.flag("volume_outlier", v > settings.volume_ratio * median,
                    describe=lambda i: _day(days[i]).then("{} 股，为中位数的 {:.0f} 倍".format(v[i], v[i] / median)))
    if n >= 3:
        adjusted = c * factors if factors is not None else c
        with np.errstate(all="ignore"):
            move = adjusted[1:] / adjusted[:-1] - 1.0
        out, back = move[:-1], move[1:]
        # A move is a spike only against the series' own volatility (an option moves 10% on a quiet
        # day); beyond the jump threshold the jump check has reported it already.
        finite = move[np.isfinite(move)]
        spread = 1.4826 * float(np.median(np.abs(finite - np.median(finite)))) if len(finite) else 0.0
        size = max(settings.spike, 6 * spread)
        spike = (np.abs(out) > size) & (np.abs(out) <= settings.jump_limit(series.category, False)) & \
                (np.sign(out) != np.sign(back)) & (np.abs((1 + out) * (1 + back) - 1) < size / 4)
        series.flag("reverting_spike", np.flatnonzero(spike) + 1,
                    describe=lambda i: _day(days[i]).then("{:+.1%} 后次日 {:+.1%}".format(move[i - 1], move[i])))
    _listed, de_listed = base.listing(series.code)
    own = base.calendar_of(series.code)
    if own is not None and n and not de_listed:
        after = own.days[own.days > days[-1]]
        after = after[after <= base.last_data_day[base.calendar_key(series.code)]]
        # A stock suspended through the end of the data has not stopped.
        after = np.setdiff1d(after, base.suspended_days(series.code))
        if len(after) >= settings.stopped_days:
            series.add("stopped", len(after), ("最后一根日线在 {}，之后还有 {} 个交易日".format(_day(days[-1]), len(after)),))


def _never_began(series, base):
    """An empty series of an instrument that has been listed for a while stopped before its first
    bar: the same fault as a series that stopped, not a clean one."""
    listed, de_listed = base.listing(series.code)
    own = base.calendar_of(series.code)
    if own is None or not listed or series.code not in base.instruments:
        return
    # No daily bar anywhere under this calendar: the calendar says how far the data should go.
    last = base.last_data_day.get(base.calendar_key(series.code)) or int(own.days[-1])
    span = own.days[(own.days >= listed) & (own.days <= last)]
    if de_listed:
        span = span[span <= de_listed]
    if len(span) >= series.settings.stopped_days:
        series.add("stopped", len(span), ("没有任何日线，上市后已有 {} 个交易日".format(len(span)),))


def _market_gaps(base, found, members, settings):
    """Missing days shared by most series held against the same calendar (``members``: how many
    series each has) become one row naming the date and the count; the rest are reported with
    their series."""
    import numpy as np

    if not base.gaps:
        return
    counts = {}
    for _series, missing, key in base.gaps:
        for day in missing.tolist():
            counts[key, day] = counts.get((key, day), 0) + 1
    shared = {(key, day) for (key, day), k in counts.items() if k > max(2, settings.market_gap_share * members[key])}
    for key, day in sorted(shared, key=lambda pair: (pair[1], pair[0] or "")):
        among = "{} 的 ".format(key) if key else ""
        found.append(Anomaly("", "", "market_gap", counts[key, day],
                             (_day(day).then("{}{} 个合约都没有数据".format(among, counts[key, day]), sep="："),)))
    for series, missing, key in base.gaps:
        common = [day for shared_key, day in shared if shared_key == key]
        rest = missing[~np.isin(missing, common)] if common else missing
        before = len(series.found)
        series.flag("missing_days", np.arange(len(rest)), describe=lambda i, rest=rest: _day(rest[i]))
        found.extend(series.found[before:])


def check_daily_bar_data(bundle_directory, settings=None):
    """Check every daily-bar file of the bundle directory; print and return the anomalies."""
    settings = settings or settings_from_env()
    bundle_directory = os.path.abspath(os.fspath(bundle_directory))
    bundle_path = storage.bundle_path_of(bundle_directory)
    with staging.reading(bundle_path):
        click.echo("检查日线数据：{}".format(bundle_directory))
        with _quiet_arithmetic():
            return _check_daily_bar_data(bundle_directory, bundle_path, settings)


def _check_daily_bar_data(bundle_directory, bundle_path, settings):
    files = list(storage.iter_daybar_files(bundle_directory)) if os.path.isdir(bundle_directory) else []
    if not files:
        click.echo("没有日线数据（{} 中没有日线文件）".format(os.path.join(bundle_directory, storage.DAYBAR_DIR_NAME)))
        return []
    base = _Base(bundle_directory, bundle_path)
    base.gaps = []
    found = list(base.problems)
    series = []
    for category, path in files:
        file = _rel(bundle_path, path)[:-1]
        try:
            by_code = storage.read_daybar_file(path)
        except (VantorelError, OSError, ValueError, KeyError) as exc:
            found.append(Anomaly(file, "", "unreadable", 1, (_short(exc),)))
            continue
        series += [(file, category, code, by_code[code]) for code in sorted(by_code)]
    # The last day any daily bar held against the same calendar has: a series ending well before
    # it stopped updating. Another exchange's data may run on later, or stop for its holidays.
    members = {}
    base.last_data_day = {}
    for _file, _category, code, daily in series:
        key = base.calendar_key(code)
        members[key] = members.get(key, 0) + 1
        if len(daily):
            base.last_data_day[key] = max(base.last_data_day.get(key, 0), int(daily["datetime"][-1]) // 1000000)
    bars = 0
    # Daily files are few and small; the work, and so the bar, goes by instrument.
    with progress("检查日线", items=series, floor=21) as items:
        for file, category, code, daily in items:
            try:
                found.extend(_check_daily_series(base, bundle_path, file, category, code, daily, settings))
            except MemoryError:  # its minute bars, most likely: one finding, and on to the next series
                found.append(Anomaly(file, code, "unreadable", 1, ("内存不足，无法检查这一品种",)))
            bars += len(daily)
    _market_gaps(base, found, members, settings)
    _report(found, len(files), bars, "日线", len(series))
    _write_report(bundle_path, "daybar", found)
    return found


# ---- output --------------------------------------------------------------------------------------

def _write_report(bundle_path, check, found):
    try:
        path = reports.write_report(bundle_path, check, found, KINDS)
    except OSError as exc:
        # The table above is the result; a bundle path the user may only read loses just the file.
        click.echo("未能写入检查报告（{}：{}）".format(exc.filename or reports.reports_dir(bundle_path), exc.strerror or exc))
        return
    # The path alone on the last line, so that a program can take it with `tail -n 1`.
    click.echo("检查报告（JSON Lines）：")
    click.echo(path)


def _width(text):
    import unicodedata

    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 1 for ch in text)


def _wrap(text, room):
    """Lines of at most ``room`` columns (a wide character takes two), so that a long reason is shown
    whole under its column instead of cut."""
    lines, line = [], ""
    for ch in text:
        if _width(line + ch) > room:
            lines.append(line)
            line = ""
        line += ch
    return lines + [line]


def _pad(text, width):
    return text + " " * (width - _width(text))


def _report(found, files, bars, noun, series=None):
    scanned = "检查了 {} 个文件{}、{} 根{}".format(
        files, "（{} 个品种）".format(series) if series is not None else "", bars, noun
    )
    if not found:
        click.echo("{}，未发现异常".format(scanned))
        return
    header = ("文件", "品种", "异常", "数量", "示例")
    rows = [header]
    for a in sorted(found, key=lambda a: (a.file, a.code)):
        example = ", ".join(a.examples)
        if a.count > len(a.examples) and a.examples:
            example += " …"
        # What a file holds is shown escaped, as errors are: a line break in it would split the row.
        rows.append(tuple(one_line(cell) for cell in (a.file, a.code or "-", KINDS.get(a.kind, a.kind), str(a.count),
                                                      example)))
    widths = [max(_width(r[i]) for r in rows) for i in range(4)]
    indent = sum(widths) + 2 * 4
    # On a terminal a long example or reason wraps under its column; piped, each row stays one line.
    terminal = getattr(sys.stdout, "isatty", lambda: False)()
    room = max(shutil.get_terminal_size().columns - indent, 30) if terminal else float("inf")
    for r in rows:
        lines = _wrap(r[4], room)
        click.echo("  ".join(_pad(r[i], widths[i]) for i in range(4)) + "  " + lines[0])
        for line in lines[1:]:
            click.echo(" " * indent + line)
    touched = len({(a.file, a.code) for a in found})
    click.echo("{}：发现 {} 项异常，涉及 {} 个文件或品种".format(scanned, len(found), touched))
