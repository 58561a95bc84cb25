"""The embedded market-data service and the client interface the bundle functions use.

No data service is reachable from this machine, so the kit carries its own: a deterministic,
offline market that answers the same questions a remote one would. The bundle functions only talk
to a ``MarketDataClient``; a client for a real service replaces ``EmbeddedClient`` without them
noticing.

The calendar. Trading days are weekdays minus a fixed holiday list (New Year's day, the spring
festival week, 1-3 May, 1-7 October). The calendar starts at CALENDAR_START.

Sessions. An instrument's ``trading_hours`` lists its sessions as minute labels, first and last
inclusive ("09:31-11:30,13:01-15:00": 120 + 120 minute bars; a bar is labelled by the end of its
minute). A session that starts at 18:00 or later is a night session: it belongs to the next
trading day and runs on the evening of the previous trading day, and only when no holiday lies
between the two (the exchanges skip the night session before a holiday).
"""
import datetime as _dt
import hashlib
import os
import threading

from vantorel.errors import VantorelError

CALENDAR_START = _dt.date(2005, 1, 4)

# The spring festival holiday starts on the eve of the lunar new year and lasts seven days.
_LUNAR_NEW_YEAR = {
    2005: (2, 9), 2006: (1, 29), 2007: (2, 18), 2008: (2, 7), 2009: (1, 26), 2010: (2, 14),
    2011: (2, 3), 2012: (1, 23), 2013: (2, 10), 2014: (1, 31), 2015: (2, 19), 2016: (2, 8),
    2017: (1, 28), 2018: (2, 16), 2019: (2, 5), 2020: (1, 25), 2021: (2, 12), 2022: (2, 1),
    2023: (1, 22), 2024: (2, 10), 2025: (1, 29), 2026: (2, 17), 2027: (2, 6), 2028: (1, 26),
    2029: (2, 13), 2030: (2, 3), 2031: (1, 23), 2032: (2, 11), 2033: (1, 31), 2034: (2, 19),
    2035: (2, 8),
}

NIGHT_SESSION_FROM = 18 * 60  # minutes after midnight


class ServiceError(VantorelError):
    """The data service refused a request."""


# ---- dates ------------------------------------------------------------------------------------

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


# ---- sessions ---------------------------------------------------------------------------------

def parse_trading_hours(trading_hours):
    """[(first, last)] minute labels of each session, in minutes after midnight."""
    if isinstance(trading_hours, bytes):
        trading_hours = trading_hours.decode()
    sessions = []
    for part in trading_hours.split(","):
        first, last = part.strip().split("-")
        sessions.append((_minutes(first), _minutes(last)))
    return sessions


def _minutes(hhmm):
    hours, minutes = hhmm.split(":")
    return int(hours) * 60 + int(minutes)


def has_night_session(trading_date, prev_trading_date=None):
    """Whether a night session precedes ``trading_date``: not after a holiday break."""
    prev = prev_trading_date if prev_trading_date is not None else previous_trading_date(trading_date)
    if prev is None:
        return False
    return (to_date(trading_date) - to_date(prev)).days <= 3


def sessions(trading_hours, trading_date, prev_trading_date=None):
    """The sessions an instrument trades for ``trading_date``, in time order.

    Each is ``(calendar_date, first, last)``: the calendar date (int YYYYMMDD) the session runs on
    and its first and last minute labels in minutes after midnight. A night session is left out
    when the exchange skips it (see the module documentation).
    """
    trading_date = to_int(trading_date)
    prev = prev_trading_date if prev_trading_date is not None else previous_trading_date(trading_date)
    out = []
    for first, last in parse_trading_hours(trading_hours):
        if first >= NIGHT_SESSION_FROM:
            if has_night_session(trading_date, prev):
                out.append((to_int(prev), first, last))
        else:
            out.append((trading_date, first, last))
    out.sort(key=lambda s: (s[0], s[1]))
    return out


def session_minute_counts(trading_hours, trading_date, prev_trading_date=None):
    """Expected number of minute bars in each session of ``trading_date``: [(calendar_date, first,
    last, count)]."""
    return [(d, a, b, b - a + 1) for d, a, b in sessions(trading_hours, trading_date, prev_trading_date)]


def expected_minute_count(trading_hours, trading_date, prev_trading_date=None):
    """Expected number of minute bars of one trading day."""
    return sum(b - a + 1 for _d, a, b in sessions(trading_hours, trading_date, prev_trading_date))


def minute_labels(trading_hours, trading_date, prev_trading_date=None):
    """The ``datetime`` values (int64 YYYYMMDDHHMMSS) of the minute bars of one trading day."""
    import numpy as np

    parts = []
    for day, first, last in sessions(trading_hours, trading_date, prev_trading_date):
        mins = np.arange(first, last + 1, dtype="i8")
        parts.append(day * 1000000 + (mins // 60) * 10000 + (mins % 60) * 100)
    return np.concatenate(parts) if parts else np.zeros(0, dtype="i8")


def stable_hash(*parts):
    """A 64-bit hash of text parts that is the same in every process (unlike ``hash``)."""
    digest = hashlib.blake2b("\x1f".join(str(p) for p in parts).encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


_lock = threading.Lock()
