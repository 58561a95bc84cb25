import datetime as dt

import numpy as np
import pytest

from vantorel.market.calendar import is_trading_day, to_date, trading_dates
from vantorel.market.sessions import expected_minute_count, minute_labels

STOCK_HOURS = "09:31-11:30,13:01-15:00"
DAY_HOURS = "09:01-10:15,10:31-11:30,13:31-15:00"
NIGHT_HOURS = "21:01-23:00," + DAY_HOURS


@pytest.mark.parametrize("day, trading", [
    (20261204, True),  # Friday
    (20261205, False),  # Saturday
    (20260101, False),  # New Year
    (20260216, False),  # spring festival eve
    (20260222, False),  # last day of the spring festival week
    (20260223, True),
    (20261001, False),
    (20261008, True),
    (20260501, False),
])
def test_calendar_is_weekdays_without_holidays(day, trading):
    assert is_trading_day(day) is trading
    around = to_date(day)
    days = trading_dates(around - dt.timedelta(days=3), around + dt.timedelta(days=3))
    assert (day in days) is trading


def test_trading_dates_are_sorted_weekdays():
    days = trading_dates("2026-01-01", "2026-12-31")
    assert np.all(np.diff(days) > 0)
    assert all(to_date(int(d)).weekday() < 5 for d in days)
    assert 240 <= len(days) <= 250


@pytest.mark.parametrize("hours, day, expected", [
    (STOCK_HOURS, 20261208, 240),
    (NIGHT_HOURS, 20261208, 345),
    (NIGHT_HOURS, 20261207, 345),  # Monday: the night session is on Friday evening
    (NIGHT_HOURS, 20260223, 225),  # first day after the spring festival: no night session
    (NIGHT_HOURS, 20261008, 225),
    (DAY_HOURS, 20261208, 225),
])
def test_expected_minutes(hours, day, expected):
    assert expected_minute_count(hours, day) == expected
    labels = minute_labels(hours, day)
    assert len(labels) == expected and np.all(np.diff(labels) > 0)


def test_night_session_runs_the_evening_before():
    labels = minute_labels(NIGHT_HOURS, 20261207)
    assert labels[0] == 20261204210100 and labels[119] == 20261204230000
    assert labels[120] == 20261207090100 and labels[-1] == 20261207150000
