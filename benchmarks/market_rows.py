"""Rows that compress as market data does, made the same whichever order they are asked for in: the
rows of one stock on one trading day depend on (stock, day) alone, so a store written stock by
stock and one written day by day hold the same bytes.

Prices move in ticks of 0.01 around a level of their own per stock; volumes are whole lots of 100;
turnover is volume times a price inside the bar's range; ticks are 3-second snapshots whose
volume and turnover add up over the day."""
import os
import sys

# BENCH_KIT_SRC: the source tree of another version of the kit to measure (``peers.py --before``);
# an editable install's finder would otherwise bring in this one.
_SRC = os.environ.get("BENCH_KIT_SRC") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src")
if os.environ.get("BENCH_KIT_SRC"):
    sys.meta_path = [f for f in sys.meta_path if "editable" not in type(f).__module__]
sys.path.insert(0, _SRC)

import numpy as np  # noqa: E402

from vantorel.market import schemas  # noqa: E402
from vantorel.market.calendar import previous_trading_date, to_date  # noqa: E402
from vantorel.market.sessions import minute_labels  # noqa: E402

LAST_DAY = 20261130
HOURS = "09:31-11:30,13:01-15:00"
SEED = 20261209


def trading_days(count, last=LAST_DAY):
    """The ``count`` trading days up to ``last``, oldest first."""
    days = [last]
    while len(days) < count:
        days.append(previous_trading_date(days[-1]))
    return days[::-1]


def code_of(stock):
    return f"{600000 + stock:06d}.XSHG"


def _level(stock, day):
    """The stock's price at the day's open, in cents: a slow swing, no state carried between days."""
    base = 500 + (stock * 7919) % 4500
    return int(base * (1 + 0.15 * np.sin(to_date(day).toordinal() / 33.0 + stock)))


def _walk(rng, start_cents, steps):
    moves = rng.choice([-2, -1, 0, 0, 0, 1, 2], size=steps)
    return np.maximum(start_cents + np.cumsum(moves), 1)


def minute_rows(stock, day):
    """The 240 minute bars of ``stock`` on ``day``."""
    rng = np.random.default_rng((SEED, stock, day))
    stamps = minute_labels(HOURS, day, previous_trading_date(day))
    n = len(stamps)
    close = _walk(rng, _level(stock, day), n)
    open_ = np.r_[close[0], close[:-1]] + rng.choice([-1, 0, 0, 0, 1], size=n)
    high = np.maximum(open_, close) + rng.choice([0, 0, 1, 2], size=n)
    low = np.maximum(np.minimum(open_, close) - rng.choice([0, 0, 1, 2], size=n), 1)
    volume = 100 * np.rint(rng.lognormal(5.0, 1.0, size=n)).astype(np.int64)
    inside = low + rng.integers(0, high - low + 1)
    rows = np.zeros(n, schemas.minbar_dtype())
    rows["datetime"], rows["trading_date"] = stamps, day
    for field, cents in (("open", open_), ("high", high), ("low", low), ("close", close)):
        rows[field] = cents / 100
    rows["volume"] = volume
    rows["total_turnover"] = volume * inside / 100
    return rows


def tick_rows(stock, day, per_day=4800):
    """3-second snapshots of ``stock`` on ``day``."""
    rng = np.random.default_rng((SEED, stock, day, 1))
    minutes = minute_labels(HOURS, day, previous_trading_date(day))
    seconds = (minutes // 100 % 100) * 60 + (minutes // 10000 % 100) * 3600 - 60
    offsets = np.arange(per_day) * 3
    at = np.repeat(seconds, 20)[:per_day] + offsets % 60
    stamps = (day * 1000000 + (at // 3600) * 10000 + (at // 60 % 60) * 100 + at % 60) * 1000
    start = _level(stock, day)
    last = _walk(rng, start, per_day)
    traded = 100 * np.rint(rng.lognormal(3.0, 1.2, size=per_day)).astype(np.int64) * (rng.random(per_day) < 0.8)
    rows = np.zeros(per_day, schemas.tick_dtype())
    rows["datetime"], rows["trading_date"] = stamps, day
    rows["last"] = last / 100
    rows["open"] = last[0] / 100
    rows["high"] = np.maximum.accumulate(last) / 100
    rows["low"] = np.minimum.accumulate(last) / 100
    rows["prev_close"] = start / 100
    rows["volume"] = np.cumsum(traded)
    rows["total_turnover"] = np.cumsum(traded * last) / 100
    spread = rng.choice([1, 1, 1, 2], size=per_day)
    rows["a1"] = (last + spread - 1 + (spread == 1)) / 100
    rows["b1"] = (last - (spread == 2)) / 100
    rows["a1_v"] = 100 * rng.integers(1, 500, size=per_day)
    rows["b1_v"] = 100 * rng.integers(1, 500, size=per_day)
    return rows


def daily_rows(stock, days):
    """One daily bar a day of ``days``."""
    rng = np.random.default_rng((SEED, stock, 2))
    close = _walk(rng, _level(stock, days[0]), len(days)) * 5
    rows = np.zeros(len(days), schemas.daybar_dtype())
    rows["datetime"] = np.asarray(days, np.int64) * 1000000
    prev = np.r_[close[0], close[:-1]]
    rows["prev_close"], rows["close"] = prev / 100, close / 100
    rows["open"] = (prev + rng.integers(-5, 6, len(days))) / 100
    rows["high"] = (np.maximum(prev, close) + rng.integers(0, 20, len(days))) / 100
    rows["low"] = (np.minimum(prev, close) - rng.integers(0, 20, len(days))) / 100
    rows["volume"] = 100 * rng.integers(10000, 500000, len(days))
    rows["total_turnover"] = rows["volume"] * rows["close"]
    return rows


def stock_history(stock, days, kind="minbar"):
    return np.concatenate(list(history_pieces(stock, days, kind, len(days) or 1)))


# Trading days a piece of a history holds: about what an update fetches at once (``update.run``).
PIECE_DAYS = 60


def history_pieces(stock, days, kind="minbar", per_piece=PIECE_DAYS):
    """The rows of ``stock`` over ``days`` in pieces of ``per_piece`` days, each made when asked for."""
    make = minute_rows if kind == "minbar" else tick_rows
    for at in range(0, len(days), per_piece):
        yield np.concatenate([make(stock, day) for day in days[at:at + per_piece]])
