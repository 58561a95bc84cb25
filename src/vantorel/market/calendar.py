"""The trading calendar: which days the market trades, and one way to read a date.

Trading days are weekdays minus a fixed holiday list (New Year's day, the spring festival week,
1-3 May, 1-7 October). The calendar starts at CALENDAR_START and its holiday table ends with
CALENDAR_END_YEAR. Every part of the kit that counts trading days (the embedded service, updates,
checks, CSV imports) counts them here, so they agree.
"""
import datetime as _dt
import threading

CALENDAR_START = _dt.date(2005, 1, 4)
CALENDAR_END_YEAR = 2035  # the last year the holiday table knows

# The spring festival holiday starts on the eve of the lunar new year and lasts seven days.
_LUNAR_NEW_YEAR = {
    2005: (2, 9), 2006: (1, 29), 2007: (2, 18), 2008: (2, 7), 2009: (1, 26), 2010: (2, 14),
    2011: (2, 3), 2012: (1, 23), 2013: (2, 10), 2014: (1, 31), 2015: (2, 19), 2016: (2, 8),
    2017: (1, 28), 2018: (2, 16), 2019: (2, 5), 2020: (1, 25), 2021: (2, 12), 2022: (2, 1),
    2023: (1, 22), 2024: (2, 10), 2025: (1, 29), 2026: (2, 17), 2027: (2, 6), 2028: (1, 26),
    2029: (2, 13), 2030: (2, 3), 2031: (1, 23), 2032: (2, 11), 2033: (1, 31), 2034: (2, 19),
    2035: (2, 8),
}


def to_date(value):
    """A date from a ``datetime.date``/``datetime``, an int or text YYYYMMDD, or ISO text."""
    if isinstance(value, _dt.datetime):
        return value.date()
    if isinstance(value, _dt.date):
        return value
    if hasattr(value, "item"):  # numpy scalar
        value = value.item()
    if isinstance(value, int):
        return _dt.date(value // 10000, value // 100 % 100, value % 100)
    text = str(value).strip()
    if len(text) == 8 and text.isdigit():
        return to_date(int(text))
    return _dt.date.fromisoformat(text[:10])


def to_int(day):
    """YYYYMMDD as an int."""
    day = to_date(day)
    return day.year * 10000 + day.month * 100 + day.day


def _holidays(year):
    days = {_dt.date(year, 1, 1)}
    days.update(_dt.date(year, 5, d) for d in (1, 2, 3))
    days.update(_dt.date(year, 10, d) for d in range(1, 8))
    if year in _LUNAR_NEW_YEAR:
        eve = _dt.date(year, *_LUNAR_NEW_YEAR[year]) - _dt.timedelta(days=1)
        days.update(eve + _dt.timedelta(days=i) for i in range(7))
    return days


_holiday_cache = {}


def is_trading_day(day):
    day = to_date(day)
    if day < CALENDAR_START or day.weekday() >= 5:
        return False
    year_holidays = _holiday_cache.get(day.year)
    if year_holidays is None:
        year_holidays = _holiday_cache[day.year] = _holidays(day.year)
    return day not in year_holidays


def trading_dates(start, end):
    """Trading days from ``start`` to ``end`` inclusive, as an int32 numpy array of YYYYMMDD."""
    import numpy as np

    start, end = to_date(start), to_date(end)
    start = max(start, CALENDAR_START)
    out = []
    day = start
    one = _dt.timedelta(days=1)
    while day <= end:
        if is_trading_day(day):
            out.append(day.year * 10000 + day.month * 100 + day.day)
        day += one
    return np.array(out, dtype="i4")


def previous_trading_date(day):
    """The last trading day before ``day`` (int YYYYMMDD), or None before the calendar starts."""
    day = to_date(day) - _dt.timedelta(days=1)
    while day >= CALENDAR_START:
        if is_trading_day(day):
            return to_int(day)
        day -= _dt.timedelta(days=1)
    return None


def next_trading_date(day):
    day = to_date(day) + _dt.timedelta(days=1)
    while not is_trading_day(day):
        day += _dt.timedelta(days=1)
    return to_int(day)


def last_trading_date_on_or_before(day):
    day = to_date(day)
    return to_int(day) if is_trading_day(day) else previous_trading_date(day)


# ---- the calendar as arrays ---------------------------------------------------------------------

_lock = threading.Lock()
_calendar_cache = {}


def _calendar_until(year):
    """(dates int64 YYYYMMDD, day ordinals int64) of every trading day up to the end of ``year``."""
    import numpy as np

    with _lock:
        cached = _calendar_cache.get("table")
        if cached is not None and cached[0] >= year:
            return cached[1], cached[2]
        last_year = max(year, _dt.date.today().year + 2)
        days = []
        day = CALENDAR_START
        end = _dt.date(last_year, 12, 31)
        one = _dt.timedelta(days=1)
        while day <= end:
            if is_trading_day(day):
                days.append(day)
            day += one
        dates = np.array([d.year * 10000 + d.month * 100 + d.day for d in days], dtype="i8")
        ordinals = np.array([d.toordinal() for d in days], dtype="i8")
        _calendar_cache["table"] = (last_year, dates, ordinals)
        return dates, ordinals


def _calendar_slice(start, end):
    import numpy as np

    start, end = to_int(start), to_int(end)
    dates, ordinals = _calendar_until(end // 10000)
    lo, hi = np.searchsorted(dates, [start, end + 1])
    return dates[lo:hi], ordinals[lo:hi]


def shift_trading_date(day, count):
    """The trading day ``count`` trading days after (negative: before) trading day ``day``."""
    import numpy as np

    day = last_trading_date_on_or_before(day)
    dates, _ = _calendar_until(to_date(day).year + 1 + max(count, 0) // 200)
    index = int(np.searchsorted(dates, day)) + count
    return int(dates[max(0, min(index, len(dates) - 1))])
