"""Dates and times as the reading API takes them, and the stored integer stamps as datetime64.

A stored stamp is an integer YYYYMMDDHHMMSS (YYYYMMDDHHMMSSmmm for ticks). Turning a million of
them into text and parsing it back costs a second; splitting the digits and counting days since
1970 with integer arithmetic costs a few milliseconds.
"""
import datetime
import numbers
import re

from vantorel.errors import VantorelError

_DATE = r"(?P<y>\d{4})(?P<sep>[-/]?)(?P<m>\d{1,2})(?P=sep)(?P<d>\d{1,2})"
_TIME = r"(?:[ T](?P<H>\d{1,2}):?(?P<M>\d{2})(?::?(?P<S>\d{2})(?:\.(?P<f>\d{1,6}))?)?)?"
_TEXT = re.compile(_DATE + _TIME)
_FORMS = "YYYYMMDD 整数、文本（2024-01-02、2024/01/02、20240102，可带时刻 2024-01-02 10:30）、date、datetime、Timestamp 或 datetime64"


class Bound:
    """One end of a span: a day (int YYYYMMDD) and, when a time of day was given, the moment as
    (seconds into the day, microseconds)."""

    __slots__ = ("day", "clock")

    def __init__(self, day, clock=None):
        self.day = day
        self.clock = clock

    def stamp(self, kind):
        """The moment as the stored ``datetime`` of ``kind`` would hold it (a bare day: midnight)."""
        seconds, micro = self.clock or (0, 0)
        value = self.day * 1000000 + seconds // 3600 * 10000 + seconds // 60 % 60 * 100 + seconds % 60
        return value * 1000 + micro // 1000 if kind == "tick" else value


def bound(value, name="日期"):
    """A date or moment in any accepted form as a ``Bound``; VantorelError naming the forms."""
    if isinstance(value, bool) or value is None:
        raise _unreadable(value)
    if isinstance(value, datetime.datetime):
        if value.tzinfo is not None and value.utcoffset() is not None:
            raise VantorelError(f"{name} {value} 带有时区；请给交易所当地时间（不带时区）")
        clock = (value.hour * 3600 + value.minute * 60 + value.second, value.microsecond)
        return Bound(_day(value.year, value.month, value.day, value), clock if clock != (0, 0) else None)
    if isinstance(value, datetime.date):
        return Bound(_day(value.year, value.month, value.day, value))
    if type(value).__name__ == "datetime64":
        import numpy as np

        if np.isnat(value):
            raise _unreadable(value)
        return bound(value.astype("M8[us]").item(), name)
    if isinstance(value, numbers.Integral):
        digits = str(int(value))
        if len(digits) == 8:
            return Bound(_day(int(digits[:4]), int(digits[4:6]), int(digits[6:]), value))
        raise _unreadable(value)
    if isinstance(value, str):
        match = _TEXT.fullmatch(value.strip())
        if match is None or (not match["sep"] and (len(match["m"]) != 2 or len(match["d"]) != 2)):
            raise _unreadable(value)
        day = _day(int(match["y"]), int(match["m"]), int(match["d"]), value)
        if match["H"] is None:
            return Bound(day)
        hour, minute, second = int(match["H"]), int(match["M"]), int(match["S"] or 0)
        if hour > 23 or minute > 59 or second > 59:
            raise _unreadable(value)
        clock = (hour * 3600 + minute * 60 + second, int((match["f"] or "0").ljust(6, "0")))
        return Bound(day, clock if clock != (0, 0) else None)
    raise _unreadable(value)


def _day(year, month, day, value):
    try:
        datetime.date(year, month, day)
    except ValueError:
        raise _unreadable(value) from None
    return year * 10000 + month * 100 + day


def _unreadable(value):
    return VantorelError(f"无法识别的日期 {value!r}：应为 {_FORMS}")


def span(start, end):
    """(start, end) as ``Bound`` (None for an open end), refusing a start after the end."""
    low = bound(start, "起始日期") if start is not None else None
    high = bound(end, "结束日期") if end is not None else None
    if low is not None and high is not None and (low.day, low.clock or (0, 0)) > (high.day, high.clock or (0, 0)):
        raise VantorelError(f"起始日期 {start} 晚于结束日期 {end}")
    return low, high


def search_keys(kind, low, high):
    """(field, low, high): what a stored series of ``kind`` is searched by for the span. A span
    with a time of day at either end is one of clock time: a minute bar is labelled by the end of
    its minute, so the bar that ends at the start is not in it; a bare day there counts from its
    midnight, or to its last moment. Otherwise whole trading days (a night session belongs to the
    day it is traded for)."""
    if kind == "daybar":
        return "datetime", (low.day if low else 0) * 1000000, (high.day if high else 99991231) * 1000000 + 999999
    timed = (low is not None and low.clock) or (high is not None and high.clock)
    if not timed:
        return "trading_date", low.day if low else 0, high.day if high else 99991231
    per_second = 1000 if kind == "tick" else 1
    first = low.stamp(kind) if low else 0
    if low is not None and kind == "minbar":
        first += 1  # labels are whole minutes: past the start means one second past it will do
    if high is None:
        last = 99991231235959 * per_second + per_second - 1
    elif high.clock:
        last = high.stamp(kind)
    else:
        last = (high.day * 1000000 + 235959) * per_second + per_second - 1
    return "datetime", first, last


def as_datetime64(stamps, kind):
    """Stored stamps (integers as described above) as datetime64[ns], by integer arithmetic."""
    import numpy as np

    stamps = np.asarray(stamps, dtype=np.int64)
    millis = 0
    if kind == "tick":
        stamps, millis = np.divmod(stamps, 1000)
    days, clock = np.divmod(stamps, 1000000)
    seconds = clock // 10000 * 3600 + clock // 100 % 100 * 60 + clock % 100
    seconds += _per_run(days, days_since_epoch) * 86400
    total = seconds * 1000 + millis if kind == "tick" else seconds * 1000
    total *= 1000000
    return total.view("M8[ns]")


def _per_run(values, function):
    """``function`` of each value, computed once a run of equal values: a series holds a few
    hundred rows a day."""
    import numpy as np

    if len(values) < 2:
        return function(values)
    starts = np.flatnonzero(np.r_[True, values[1:] != values[:-1]])
    return np.repeat(function(values[starts]), np.diff(np.r_[starts, len(values)]))


def days_since_epoch(yyyymmdd):
    """Days from 1970-01-01 of dates given as YYYYMMDD integers (the proleptic Gregorian civil
    calendar, counted by eras of 400 years)."""
    import numpy as np

    yyyymmdd = np.asarray(yyyymmdd, dtype=np.int64)
    year, month, day = yyyymmdd // 10000, yyyymmdd // 100 % 100, yyyymmdd % 100
    year = year - (month <= 2)
    era = np.floor_divide(year, 400)
    year_of_era = year - era * 400
    day_of_year = (153 * (month + np.where(month > 2, -3, 9)) + 2) // 5 + day - 1
    day_of_era = year_of_era * 365 + year_of_era // 4 - year_of_era // 100 + day_of_year
    return era * 146097 + day_of_era - 719468


def dates64(yyyymmdd):
    """YYYYMMDD integers as datetime64[ns] midnights; 0 (no date) as NaT."""
    import numpy as np

    yyyymmdd = np.asarray(yyyymmdd, dtype=np.int64)
    out = (_per_run(np.where(yyyymmdd > 0, yyyymmdd, 19700101), days_since_epoch) * 86400 * 10**9).view("M8[ns]")
    out[yyyymmdd <= 0] = np.datetime64("NaT", "ns")
    return out
