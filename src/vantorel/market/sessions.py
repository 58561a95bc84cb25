"""Trading sessions: which minutes of a trading day an instrument trades.

An instrument's ``trading_hours`` lists its sessions as minute labels, first and last inclusive
("09:31-11:30,13:01-15:00": 120 + 120 minute bars; a bar is labelled by the end of its minute). A
session that starts at 18:00 or later is a night session: it belongs to the next trading day and
runs on the evening of the previous trading day, and only when no holiday lies between the two (the
exchanges skip the night session before a holiday).
"""
from vantorel.market.calendar import previous_trading_date, to_date, to_int

NIGHT_SESSION_FROM = 18 * 60  # minutes after midnight


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


def session_labels(first, last, bar_minutes=1):
    """The labels (minutes after midnight) of the bars of ``bar_minutes`` minutes in a session whose
    minute labels run from ``first`` to ``last``: each bar ends ``bar_minutes`` after the one before,
    counted from the session's start, and a session that is not a whole number of bars ends with a
    shorter bar labelled by its last minute."""
    import numpy as np

    labels = np.arange(first - 1 + bar_minutes, last + 1, bar_minutes, dtype="i8")
    if not len(labels) or labels[-1] != last:
        labels = np.append(labels, np.int64(last))
    return labels


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
