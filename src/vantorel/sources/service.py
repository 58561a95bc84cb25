"""The embedded market-data service and the client interface the bundle functions use.

No data service is reachable from this machine, so the kit carries its own: a deterministic,
offline market that answers the same questions a remote one would. The bundle functions only talk
to a ``MarketDataClient``; a client for a real service replaces ``EmbeddedClient`` without them
noticing.

The market trades on the kit's calendar and sessions (``vantorel.market``).

Suspensions. Some stocks are suspended now and then (``suspensions``): on such a day the stock has
no daily bar, no minute bars and no ticks, and ``suspended()`` publishes the day once it is past.
"""
import contextlib
import datetime as _dt
import functools
import hashlib
import os
import re
import threading
import time

from vantorel.errors import VantorelError
from vantorel.market.calendar import (CALENDAR_END_YEAR, CALENDAR_START, _calendar_slice, is_trading_day,
                                      last_trading_date_on_or_before, next_trading_date, previous_trading_date,
                                      shift_trading_date, to_date, to_int, trading_dates)
from vantorel.market.sessions import NIGHT_SESSION_FROM, parse_trading_hours


class ServiceError(VantorelError):
    """The data service refused a request."""


def stable_hash(*parts):
    """A 64-bit hash of text parts that is the same in every process (unlike ``hash``)."""
    digest = hashlib.blake2b("\x1f".join(str(p) for p in parts).encode(), digest_size=8).digest()
    return int.from_bytes(digest, "little")


# ---- counter-based random numbers ---------------------------------------------------------------
# Every random number is a hash of (instrument, date, stream, position), so a bar does not depend on
# which range was asked for, nor on the order in which instruments are fetched.

def _mix(x):
    import numpy as np

    x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
    x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
    return x ^ (x >> np.uint64(31))


def _uniform(keys, stream, shape_tail=()):
    """Uniform numbers in (0, 1): one per element of ``keys`` (uint64) times ``shape_tail``."""
    import numpy as np

    keys = np.asarray(keys, dtype=np.uint64)
    salted = _mix(keys ^ np.full(keys.shape, 0xA24BAED4963EE407 * (stream + 1) % 2**64, dtype=np.uint64))
    if shape_tail:
        n = int(np.prod(shape_tail))
        counter = (np.arange(n, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)).reshape(shape_tail)
        salted = salted.reshape(keys.shape + (1,) * len(shape_tail)) + counter
    bits = _mix(salted) >> np.uint64(11)
    return (bits.astype(np.float64) + 0.5) * (1.0 / 2**53)


def _uniform_pair(keys, stream, shape_tail=()):
    """Two arrays of uniform numbers in (0, 1) from one hash (32 bits each): half the work."""
    import numpy as np

    keys = np.asarray(keys, dtype=np.uint64)
    salted = _mix(keys ^ np.full(keys.shape, 0xD1B54A32D192ED03 * (stream + 1) % 2**64, dtype=np.uint64))
    n = int(np.prod(shape_tail))
    counter = (np.arange(n, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)).reshape(shape_tail)
    bits = _mix(salted.reshape(keys.shape + (1,) * len(shape_tail)) + counter)
    scale = 1.0 / 2**32
    high = ((bits >> np.uint64(32)).astype(np.float64) + 0.5) * scale
    low = ((bits & np.uint64(0xFFFFFFFF)).astype(np.float64) + 0.5) * scale
    return high, low


def _normal(keys, stream, shape_tail=()):
    import numpy as np

    u1 = _uniform(keys, 2 * stream, shape_tail)
    u2 = _uniform(keys, 2 * stream + 1, shape_tail)
    return np.sqrt(-2.0 * np.log(u1)) * np.cos(2.0 * np.pi * u2)


def _day_keys(code, kind, dates):
    import numpy as np

    return np.array([stable_hash(code, kind, int(d)) for d in dates], dtype=np.uint64)


def _fraction(*parts):
    return stable_hash(*parts) / 2**64


# ---- instruments --------------------------------------------------------------------------------

STOCK_HOURS = "09:31-11:30,13:01-15:00"
DAY_HOURS = "09:01-10:15,10:31-11:30,13:31-15:00"
NIGHT_HOURS = "21:01-23:00," + DAY_HOURS

# underlying symbol: (exchange, name, trading hours, tick size, multiplier, price level, daily lots)
FUTURES = {
    "M": ("XDCE", "豆粕", NIGHT_HOURS, 1.0, 10.0, 3000.0, 400000),
    "JD": ("XDCE", "鸡蛋", DAY_HOURS, 1.0, 10.0, 4000.0, 150000),
    "RB": ("XSGE", "螺纹钢", NIGHT_HOURS, 1.0, 10.0, 3800.0, 600000),
    "IF": ("CCFX", "沪深300股指", STOCK_HOURS, 0.2, 300.0, 4000.0, 80000),
}
INDEXES = [("000001.XSHG", "示例综合指数", 3200.0), ("000300.XSHG", "示例300指数", 3900.0),
           ("399001.XSHE", "示例成份指数", 10500.0)]
FUNDS = [("510050.XSHG", "示例50ETF", 2.6), ("510300.XSHG", "示例300ETF", 3.9), ("159915.XSHE", "示例创业ETF", 2.1)]
# Futures with options written on their contracts, and funds with options written on them.
OPTION_FUTURES = ("M",)
OPTION_FUNDS = ("510050.XSHG",)

# category: (daily volatility, tick size, round lot, ticks per minute)
CATEGORY_TRAITS = {
    "stock": (0.018, 0.01, 100, 20),
    "index": (0.010, 0.01, 1, 20),
    "fund": (0.012, 0.001, 100, 20),
    "convertible": (0.008, 0.001, 10, 20),
    "futures": (0.012, None, 1, 30),
    "option": (0.045, None, 1, 12),
}


class Instrument:
    """One instrument of the service; ``record()`` gives its row of the stored instrument table."""

    __slots__ = ("order_book_id", "symbol", "category", "type", "exchange", "underlying_symbol",
                 "underlying_order_book_id", "listed_date", "de_listed_date", "round_lot", "tick_size",
                 "contract_multiplier", "strike_price", "option_type", "trading_hours",
                 "price_level", "daily_lots", "volatility", "ticks_per_minute", "origin")

    def __init__(self, **fields):
        for name in self.__slots__:
            setattr(self, name, fields.get(name))

    @property
    def decimals(self):
        text = f"{self.tick_size:.6f}".rstrip("0")
        return len(text.split(".")[1]) if "." in text else 0

    def active_between(self, start, end):
        return self.listed_date <= end and (not self.de_listed_date or self.de_listed_date >= start)

    def record(self):
        return tuple([
            self.order_book_id.encode(), self.symbol.encode(), self.category.encode(), self.type.encode(),
            self.exchange.encode(), self.underlying_symbol.encode(), self.underlying_order_book_id.encode(),
            self.listed_date, self.de_listed_date or 0, self.round_lot, self.tick_size,
            self.contract_multiplier, self.strike_price, self.option_type.encode(), self.trading_hours.encode(),
        ])

    def __repr__(self):
        return f"Instrument({self.order_book_id!r}, {self.category!r})"


def _make(code, symbol, category, exchange, level, lots, trading_hours=STOCK_HOURS, tick=None, **extra):
    from vantorel.ombrel.sdk.const import TAG_MAP

    vol, cat_tick, lot, per_minute = CATEGORY_TRAITS[category]
    fields = dict(
        order_book_id=code, symbol=symbol, category=category, type=TAG_MAP[category], exchange=exchange,
        underlying_symbol="", underlying_order_book_id="", listed_date=to_int(CALENDAR_START),
        de_listed_date=0, round_lot=lot, tick_size=tick or cat_tick, contract_multiplier=1.0,
        strike_price=0.0, option_type="", trading_hours=trading_hours, price_level=level,
        daily_lots=lots, volatility=vol, ticks_per_minute=per_minute,
    )
    fields.update(extra)
    fields["origin"] = fields["listed_date"]
    return Instrument(**fields)


def _month_add(year, month, delta):
    index = year * 12 + (month - 1) + delta
    return index // 12, index % 12 + 1


def _first_trading_on_or_after(day):
    day = to_date(day)
    return to_int(day) if is_trading_day(day) else next_trading_date(day)


def stock_code(i):
    """Market code of the i-th stock of the universe: Shenzhen and Shanghai alternately."""
    return f"{1 + i // 2:06d}.XSHE" if i % 2 == 0 else f"{600000 + i // 2:06d}.XSHG"


def build_universe(first_day, last_day, scale=1):
    """Instruments trading at some time between ``first_day`` and ``last_day`` (ints YYYYMMDD)."""
    out = []
    for i in range(10 * scale):
        code = stock_code(i)
        level = 4.0 + 46.0 * _fraction(code, "level")
        lots = int(20000 + 300000 * _fraction(code, "lots"))
        out.append(_make(code, f"示例股份{i + 1:03d}", "stock", code[-4:], level, lots))
    for code, name, level in INDEXES:
        out.append(_make(code, name, "index", code[-4:], level, 50_000_000))
    for code, name, level in FUNDS:
        out.append(_make(code, name, "fund", code[-4:], level, 2_000_000))
    for i in range(3 * scale):
        code = f"{110001 + i:06d}.XSHG" if i % 2 == 0 else f"{123001 + i:06d}.XSHE"
        level = 100.0 + 30.0 * _fraction(code, "level")
        out.append(_make(code, f"示例转债{i + 1:03d}", "convertible", code[-4:], level, 30000))

    first = to_date(first_day)
    last = to_date(last_day)
    months = []
    year, month = _month_add(first.year, first.month, -1)
    while (year, month) <= _month_add(last.year, last.month, 7):
        months.append((year, month))
        year, month = _month_add(year, month, 1)

    futures_by_code = {}
    for underlying, (exchange, name, hours, tick, mult, level, lots) in FUTURES.items():
        for year, month in months:
            code = f"{underlying}{year % 100:02d}{month:02d}"
            listed = _first_trading_on_or_after(_dt.date(*_month_add(year, month, -6), 1))
            de_listed = last_trading_date_on_or_before(_dt.date(year, month, 14))
            if de_listed is None:  # expired before the calendar starts
                continue
            inst = _make(code, f"{name}{year % 100:02d}{month:02d}", "futures", exchange,
                         level * (0.9 + 0.2 * _fraction(code, "level")), lots, hours, tick,
                         underlying_symbol=underlying, listed_date=listed, de_listed_date=de_listed,
                         contract_multiplier=mult)
            if inst.active_between(first_day, last_day):
                out.append(inst)
            futures_by_code[code] = inst

    for underlying in OPTION_FUTURES:
        for code, fut in sorted(futures_by_code.items()):
            if fut.underlying_symbol != underlying:
                continue
            year, month = 2000 + int(code[-4:-2]), int(code[-2:])
            de_listed = last_trading_date_on_or_before(_dt.date(*_month_add(year, month, -1), 7))
            if de_listed is None or de_listed < fut.listed_date or not (fut.listed_date <= last_day and de_listed >= first_day):
                continue
            atm = round(_close_on(fut, fut.listed_date) / 50.0) * 50
            for strike in (atm - 50, atm, atm + 50):
                for kind in "CP":
                    out.append(_make(
                        f"{code}{kind}{int(strike)}", f"{fut.symbol}{'购' if kind == 'C' else '沽'}{int(strike)}",
                        "option", fut.exchange, 0.04 * fut.price_level, 3000, fut.trading_hours, 0.5,
                        underlying_symbol=underlying, underlying_order_book_id=code,
                        listed_date=fut.listed_date, de_listed_date=de_listed,
                        contract_multiplier=fut.contract_multiplier, strike_price=float(strike), option_type=kind))

    funds = {inst.order_book_id: inst for inst in out if inst.category == "fund"}
    for fund_code in OPTION_FUNDS:
        fund = funds[fund_code]
        for year, month in months:
            if (year, month) > _month_add(last.year, last.month, 2):
                continue
            listed = _first_trading_on_or_after(_dt.date(*_month_add(year, month, -2), 1))
            de_listed = last_trading_date_on_or_before(_fourth_wednesday(year, month))
            if de_listed is None or not (listed <= last_day and de_listed >= first_day):
                continue
            atm = round(_close_on(fund, listed) / 0.05) * 0.05
            series = ((year - 2005) * 12 + month - 1) * 6
            for s, strike in enumerate((atm - 0.05, atm, atm + 0.05)):
                for c, kind in enumerate("CP"):
                    code = f"{10000000 + series + 2 * s + c:08d}.XSHG"
                    out.append(_make(
                        code, f"{fund.symbol}{'购' if kind == 'C' else '沽'}{month}月{strike:.2f}", "option",
                        "XSHG", 0.06 + 0.04 * _fraction(code, "level"), 20000, STOCK_HOURS, 0.0001,
                        underlying_symbol=fund_code.split(".")[0], underlying_order_book_id=fund_code,
                        listed_date=listed, de_listed_date=de_listed, contract_multiplier=10000.0,
                        strike_price=round(strike, 3), option_type=kind))
    out.sort(key=lambda inst: (inst.category, inst.order_book_id))
    return out


def _fourth_wednesday(year, month):
    day = _dt.date(year, month, 1)
    offset = (2 - day.weekday()) % 7
    return day + _dt.timedelta(days=offset + 21)


def _close_on(inst, day):
    bars = daily_bars_of(inst, day, day)
    if len(bars):
        return float(bars["close"][-1])
    return inst.price_level


# ---- bars ---------------------------------------------------------------------------------------
# Prices are worked out in whole ticks and turned into money only at the end, so that the daily bar
# and the minute bars of one day agree to the last bit.

_LEVEL_BOUND = 0.8  # log-price excursion from the instrument's level stays within this


def _daily_table(inst, start, end):
    """Daily bars in ticks for the trading days from ``start`` to ``end``, as a dict of arrays.

    The close follows a walk from the instrument's origin, so the whole walk is summed; everything
    else is drawn for the asked days only.
    """
    import numpy as np

    dates, ords = _calendar_slice(inst.origin, end)
    lo = int(np.searchsorted(dates, start))
    base = np.full(len(dates), stable_hash(inst.order_book_id, "daily"), dtype=np.uint64)
    keys = _mix(base + ords.astype(np.uint64) * np.uint64(0x9E3779B97F4A7C15))
    vol = inst.volatility
    tick = inst.tick_size
    walk = np.cumsum(vol * _normal(keys, 0))
    # Splits and dividends: a day's raw prices are the walk's times the ratios still to come, so the
    # prices adjusted with the published factors follow the walk unbroken.
    scale = _raw_scale(inst, dates)
    level = inst.price_level * np.exp(_LEVEL_BOUND * np.tanh(walk / _LEVEL_BOUND))
    close_all = np.maximum(np.round(level * scale / tick), 3.0)
    suspended_mask = _suspended_mask(inst, dates)
    traded_level = level
    if suspended_mask is not None:
        # The walk goes on through a suspension, but the previous close of the day trading resumes
        # is the last one traded, as an exchange publishes it.
        last_traded = np.maximum.accumulate(np.where(suspended_mask, 0, np.arange(len(dates))))
        traded_level = level[last_traded]
    # The previous close in the day's own units (an exchange publishes it so on an ex-date).
    prev_level = np.concatenate([[inst.price_level], traded_level[:-1]])
    prev_all = np.maximum(np.round(prev_level * scale / tick), 3.0)
    if inst.category in ("futures", "option"):
        drift = np.cumsum(0.05 * _normal(keys, 5))
        oi_all = np.round(inst.daily_lots * 2.0 * (1.0 + 0.4 * np.tanh(drift))).astype(np.int64)
    else:
        oi_all = np.zeros(len(dates), dtype=np.int64)

    lo_prev = max(lo - 1, 0)
    close = close_all[lo:]
    prev_close = prev_all[lo:] if len(close) else close
    oi = oi_all[lo:]
    prev_oi = np.concatenate([oi_all[lo_prev:lo_prev + 1], oi_all[lo:-1]]) if len(oi) else oi
    keys, dates, ords = keys[lo:], dates[lo:], ords[lo:]
    n = len(dates)
    open_ = np.maximum(np.round(prev_close * np.exp(vol * 0.3 * _normal(keys, 1))), 3.0)
    top = np.maximum(open_, close)
    bottom = np.minimum(open_, close)
    # High strictly above and low strictly below open and close, so every day has a real range.
    high = np.ceil(top * (1.0 + vol * 0.5 * np.abs(_normal(keys, 2)))) + 1.0
    low = np.maximum(np.floor(bottom * (1.0 - vol * 0.5 * np.abs(_normal(keys, 3)))) - 1.0, 1.0)
    lots = np.maximum(np.round(inst.daily_lots * np.exp(0.35 * _normal(keys, 4))), 1.0).astype(np.int64)
    prev_dates = np.empty(n, dtype=np.int64)
    prev_ords = np.empty(n, dtype=np.int64)
    if n:
        before = previous_trading_date(int(dates[0]))
        prev_dates[0] = before or 0
        prev_ords[0] = to_date(before).toordinal() if before else ords[0] - 7
        prev_dates[1:] = dates[:-1]
        prev_ords[1:] = ords[:-1]
    table = {"date": dates, "ord": ords, "prev_date": prev_dates, "prev_ord": prev_ords,
             "open": open_, "high": high, "low": low, "close": close, "prev_close": prev_close,
             "lots": lots, "oi": oi, "prev_oi": prev_oi}
    if suspended_mask is not None:
        # Drawn for every day and then dropped, so that the days around a suspension do not move.
        traded = ~suspended_mask[lo:]
        table = {name: column[traded] for name, column in table.items()}
    return table


# One stock in three pays a dividend each year near its anniversary, one in four splits once.
_DIVIDEND = 1.03
_SPLIT = 2.0


def corporate_actions(inst):
    """(ex-date YYYYMMDD, price ratio) of a stock's splits and dividends, oldest first: a ratio of 2
    halves the raw price from the ex-date on. Fixed for all time, so that prices never change with
    the clock."""
    if inst.category != "stock":
        return []
    actions = []
    if stable_hash(inst.order_book_id, "dividend") % 3 == 0:
        month = 5 + stable_hash(inst.order_book_id, "dividend-month") % 4
        for year in range(to_date(inst.listed_date).year + 1, CALENDAR_END_YEAR + 1):
            day = _first_trading_on_or_after(_dt.date(year, month, 15))
            if day:
                actions.append((day, _DIVIDEND))
    if stable_hash(inst.order_book_id, "split") % 4 == 0:
        year = 2012 + stable_hash(inst.order_book_id, "split-year") % 20
        day = _first_trading_on_or_after(_dt.date(year, 3 + stable_hash(inst.order_book_id, "split-month") % 8, 1))
        if day and day > inst.listed_date:
            actions.append((day, _SPLIT))
    return sorted(actions)


# One stock in eight is suspended now and then: in about one year in four, for one to ten trading
# days from a day of that year; never in its first year (its walk starts from a traded day).
_SUSPENDED_SHARE = 8
_SUSPENDED_YEARS = 4
_SUSPENSION_DAYS = 10


def suspensions(inst):
    """The trading days (YYYYMMDD) a stock is suspended, oldest first. Fixed for all time, like its
    corporate actions, so that prices never change with the clock."""
    if inst.category != "stock":
        return ()
    return _suspended_days(inst.order_book_id, inst.listed_date)


# Every fetch of a stock's bars asks again: worked out once per stock.
@functools.lru_cache(maxsize=None)
def _suspended_days(code, listed_date):
    if stable_hash(code, "suspended") % _SUSPENDED_SHARE:
        return ()
    days = []
    for year in range(to_date(listed_date).year + 1, CALENDAR_END_YEAR + 1):
        draw = stable_hash(code, "suspended", year)
        if draw % _SUSPENDED_YEARS:
            continue
        draw, month = divmod(draw // _SUSPENDED_YEARS, 12)
        draw, day_of_month = divmod(draw, 28)
        day = _first_trading_on_or_after(_dt.date(year, 1 + month, 1 + day_of_month))
        for _ in range(1 + draw % _SUSPENSION_DAYS):
            days.append(day)
            day = next_trading_date(day)
    return tuple(sorted(set(days)))


def _suspended_mask(inst, dates):
    """Which of ``dates`` the stock is suspended on; None when none."""
    import numpy as np

    days = suspensions(inst)
    if not days:
        return None
    mask = np.isin(dates, days)
    return mask if mask.any() else None


def suspended(instruments, latest):
    """The suspended days published up to ``latest``, as the bundle stores them
    (storage.SUSPENDED_FIELDS), ordered by code and date."""
    import numpy as np

    from vantorel.ombrel.alpha.storage import SUSPENDED_FIELDS

    rows = [(inst.order_book_id.encode(), day) for inst in instruments for day in suspensions(inst) if day <= latest]
    return np.array(sorted(rows), dtype=SUSPENDED_FIELDS)


def _raw_scale(inst, dates):
    """Per day, the ratios of the actions after it: raw price = walk price times this."""
    import numpy as np

    scale = np.ones(len(dates))
    for day, ratio in corporate_actions(inst):
        scale[dates < day] *= ratio
    return scale


def ex_factors(instruments, latest):
    """The cumulative price-adjustment factors published up to ``latest``, as the bundle stores
    them (storage.EX_FACTOR_FIELDS), ordered by code and date."""
    import numpy as np

    from vantorel.ombrel.alpha.storage import EX_FACTOR_FIELDS

    rows = []
    for inst in instruments:
        cumulative = 1.0
        for day, ratio in corporate_actions(inst):
            if day > latest:
                break
            cumulative *= ratio
            rows.append((inst.order_book_id.encode(), day, cumulative))
    return np.array(sorted(rows), dtype=EX_FACTOR_FIELDS)


def _money(inst, ticks):
    import numpy as np

    return np.round(ticks * inst.tick_size, inst.decimals)


def _window(inst, start, end):
    start = max(to_int(start), inst.listed_date)
    end = to_int(end)
    if inst.de_listed_date:
        end = min(end, inst.de_listed_date)
    return start, end


def _slice_table(inst, start, end):
    start, end = _window(inst, start, end)
    if start > end:
        return None
    return _daily_table(inst, start, end)


def daily_bars_of(inst, start, end):
    """Daily bars of an instrument between two dates (inclusive), as a daily-bar array."""
    import numpy as np

    from vantorel.ombrel.alpha.storage import daybar_dtype

    t = _slice_table(inst, start, end)
    if t is None:
        return np.zeros(0, dtype=daybar_dtype())
    out = np.zeros(len(t["date"]), dtype=daybar_dtype())
    out["datetime"] = t["date"] * 1000000
    for name in ("open", "high", "low", "close", "prev_close"):
        out[name] = _money(inst, t[name])
    out["volume"] = t["lots"] * inst.round_lot
    typical = (out["open"] + out["high"] + out["low"] + out["close"]) / 4.0
    out["total_turnover"] = np.round(out["volume"] * typical * inst.contract_multiplier, 2)
    out["open_interest"] = t["oi"]
    return out


def _session_layout(inst, night):
    """Minute labels of one day's sessions: (minutes after midnight, on-the-previous-date flags)."""
    import numpy as np

    mins, flags = [], []
    for first, last in parse_trading_hours(inst.trading_hours):
        is_night = first >= NIGHT_SESSION_FROM
        if is_night and not night:
            continue
        mins.append(np.arange(first, last + 1, dtype=np.int64))
        flags.append(np.full(last - first + 1, is_night))
    mins = np.concatenate(mins)
    flags = np.concatenate(flags)
    order = np.lexsort((mins, ~flags))  # night session first: it runs the evening before
    return mins[order], flags[order]


def _minute_groups(inst, start, end):
    """Minute bars in ticks, per group of days sharing one session layout."""
    import numpy as np

    t = _slice_table(inst, start, end)
    if t is None or len(t["date"]) == 0:
        return []
    night = (t["ord"] - t["prev_ord"]) <= 3
    groups = []
    for has_night in (False, True):
        rows = np.nonzero(night == has_night)[0]
        if len(rows) == 0:
            continue
        mins, on_prev = _session_layout(inst, has_night)
        if len(mins) == 0:
            continue
        groups.append(_minutes_for_days(inst, {k: v[rows] for k, v in t.items()}, mins, on_prev))
    return groups


def _minutes_for_days(inst, t, mins, on_prev):
    import numpy as np

    n = len(mins)
    days = len(t["date"])
    keys = _day_keys(inst.order_book_id, "minbar", t["date"])
    frac = np.arange(1, n + 1, dtype=np.float64) / n
    o, h, lo, c = (t[k][:, None] for k in ("open", "high", "low", "close"))
    u1, u2 = _uniform_pair(keys, 0, (n,))
    walk = np.cumsum(np.sqrt(-2.0 * np.log(u1)) * np.cos(2.0 * np.pi * u2), axis=1)
    bridge = walk - frac * walk[:, -1:]
    scale = (h - lo) / (2.0 * np.sqrt(n))
    path = o + (c - o) * frac + scale * bridge
    path[:, -1] = c[:, 0]
    closes = path
    opens = np.concatenate([o, path[:, :-1]], axis=1)
    reach_up, reach_down = _uniform_pair(keys, 1, (n,))
    highs = np.maximum(opens, closes) + 0.4 * scale * reach_up + 0.05
    lows = np.minimum(opens, closes) - 0.4 * scale * reach_down - 0.05
    top = np.maximum(o, c)
    bottom = np.minimum(o, c)
    up = (h - top) / (highs.max(axis=1, keepdims=True) - top)
    down = (bottom - lo) / (bottom - lows.min(axis=1, keepdims=True))

    def fit(v):
        # Monotone, leaves [bottom, top] alone (so the day's open and close stay exact) and maps the
        # extremes of the raw path onto the day's high and low.
        v = np.where(v > top, top + (v - top) * up, v)
        v = np.where(v < bottom, bottom - (bottom - v) * down, v)
        return np.round(v)

    opens, highs, lows, closes = fit(opens), fit(highs), fit(lows), fit(closes)
    weight = (1.0 + 1.5 * (2.0 * frac - 1.0) ** 2) * (0.3 + _uniform_pair(keys, 2, (n,))[0])
    lots = t["lots"][:, None]
    vol = np.floor(lots * weight / weight.sum(axis=1, keepdims=True)).astype(np.int64)
    rest = lots[:, 0] - vol.sum(axis=1)
    vol[np.arange(days), weight.argmax(axis=1)] += rest
    oi = np.round(t["prev_oi"][:, None] + (t["oi"] - t["prev_oi"])[:, None] * frac).astype(np.int64)
    cal_date = np.where(on_prev[None, :], t["prev_date"][:, None], t["date"][:, None])
    stamp = cal_date * 1000000 + (mins // 60) * 10000 + (mins % 60) * 100
    return {"datetime": stamp, "date": t["date"], "mins": mins, "cal_date": cal_date,
            "open": opens, "high": highs, "low": lows, "close": closes, "volume": vol * inst.round_lot,
            "oi": oi, "keys": keys, "day_open": t["open"], "prev_close": t["prev_close"]}


def minute_bars_of(inst, start, end):
    """Minute bars of an instrument for the trading days between two dates (inclusive)."""
    import numpy as np

    from vantorel.ombrel.alpha.storage import minbar_dtype

    parts = []
    for g in _minute_groups(inst, start, end):
        out = np.zeros(g["datetime"].size, dtype=minbar_dtype())
        out["datetime"] = g["datetime"].ravel()
        out["trading_date"] = np.repeat(g["date"], g["datetime"].shape[1])
        for name in ("open", "high", "low", "close"):
            out[name] = _money(inst, g[name]).ravel()
        out["volume"] = g["volume"].ravel()
        typical = (out["open"] + out["high"] + out["low"] + out["close"]) / 4.0
        out["total_turnover"] = np.round(out["volume"] * typical * inst.contract_multiplier, 2)
        out["open_interest"] = g["oi"].ravel()
        parts.append(out)
    return _merge_sorted(parts, minbar_dtype())


def _merge_sorted(parts, dtype):
    import numpy as np

    if not parts:
        return np.zeros(0, dtype=dtype)
    out = np.concatenate(parts) if len(parts) > 1 else parts[0]
    if len(parts) > 1:
        out = out[np.argsort(out["datetime"], kind="stable")]
    return out


def ticks_of(inst, start, end):
    """Level-1 ticks of an instrument for the trading days between two dates (inclusive)."""
    import numpy as np

    from vantorel.ombrel.alpha.storage import tick_dtype

    per = inst.ticks_per_minute
    step = 60 // per
    parts = []
    for g in _minute_groups(inst, start, end):
        days, n = g["open"].shape
        o, h, lo, c = (g[k][:, :, None] for k in ("open", "high", "low", "close"))
        k = np.arange(1, per + 1, dtype=np.float64) / per
        jitter = (_uniform(g["keys"], 10, (n, per)) - 0.5) * (h - lo) * 0.6
        price = np.clip(np.round(o + (c - o) * k + jitter), lo, h)
        price[:, :, per // 3] = h[:, :, 0]
        price[:, :, (2 * per) // 3] = lo[:, :, 0]
        price[:, :, -1] = c[:, :, 0]
        price[:, 0, 0] = o[:, 0, 0]  # the day opens at its first trade
        price = price.reshape(days, n * per)
        vol = g["volume"]
        each = np.repeat(vol // per, per, axis=1).reshape(days, n, per)
        each[:, :, -1] += vol - (vol // per) * per
        each = each.reshape(days, n * per)
        last = _money(inst, price)
        turnover = np.round(np.cumsum(each * last * inst.contract_multiplier, axis=1), 2)
        seconds = (g["mins"][:, None] * 60 - (per - np.arange(1, per + 1)) * step).ravel()
        hms = (seconds // 3600) * 10000 + (seconds // 60 % 60) * 100 + seconds % 60
        cal = np.repeat(g["cal_date"], per, axis=1)
        size = 1 + np.floor(_uniform(g["keys"], 11, (n * per,)) * 50).astype(np.int64)
        size2 = 1 + np.floor(_uniform(g["keys"], 12, (n * per,)) * 50).astype(np.int64)

        out = np.zeros(days * n * per, dtype=tick_dtype())
        out["datetime"] = (cal * 1000000 + hms[None, :]).ravel() * 1000
        out["trading_date"] = np.repeat(g["date"], n * per)
        out["last"] = last.ravel()
        out["open"] = np.repeat(_money(inst, g["day_open"]), n * per)
        out["high"] = _money(inst, np.maximum.accumulate(price, axis=1)).ravel()
        out["low"] = _money(inst, np.minimum.accumulate(price, axis=1)).ravel()
        out["prev_close"] = np.repeat(_money(inst, g["prev_close"]), n * per)
        out["volume"] = np.cumsum(each, axis=1).ravel()
        out["total_turnover"] = turnover.ravel()
        out["open_interest"] = np.repeat(g["oi"], per, axis=1).ravel()
        out["a1"] = _money(inst, price + 1).ravel()
        out["b1"] = _money(inst, np.maximum(price - 1, 1)).ravel()
        out["a1_v"] = (size * inst.round_lot).ravel()
        out["b1_v"] = (size2 * inst.round_lot).ravel()
        parts.append(out)
    return _merge_sorted(parts, tick_dtype())


# ---- the service and its client -----------------------------------------------------------------

MAX_CONNECTIONS = 16

ENV_NOW = "VANTOREL_SERVICE_NOW"  # ISO date or date-time: the service's clock
ENV_SCALE = "VANTOREL_SERVICE_SCALE"  # multiplies the number of stocks and convertibles
ENV_DAILY_DAYS = "VANTOREL_SERVICE_DAILY_DAYS"
ENV_MINBAR_DAYS = "VANTOREL_SERVICE_MINBAR_DAYS"
ENV_TICK_DAYS = "VANTOREL_SERVICE_TICK_DAYS"
# The round trip a real network adds to every request, so that the fetch side can be measured as
# it would be against a remote service (0: answers at once).
ENV_LATENCY_MS = "VANTOREL_SERVICE_LATENCY_MS"

DEFAULT_SCALE = 1
DEFAULT_DAILY_DAYS = 250  # trading days of daily bars a new bundle starts with
DEFAULT_MINBAR_DAYS = 5  # ... of minute bars for an instrument not stored yet
DEFAULT_TICK_DAYS = 2  # ... of ticks for an instrument not stored yet

# A day's data is published once the day session has closed.
PUBLISH_TIME = _dt.time(15, 30)


# The range of each setting: what the calendar covers, and what stays within a real market's size.
SETTING_RANGES = {
    ENV_SCALE: (1, 500),  # up to 5,000 stocks
    ENV_DAILY_DAYS: (1, 5000),  # the calendar since 2005
    ENV_MINBAR_DAYS: (1, 2500),
    ENV_TICK_DAYS: (1, 250),
    ENV_LATENCY_MS: (0, 10_000),
}
# The service's clock: within the years its holiday table knows, with history behind it.
CLOCK_RANGE = (_dt.date(2005, 2, 1), _dt.date(2035, 12, 31))


def _env_int(name, default):
    text = os.environ.get(name)
    if not text:
        return default
    low, high = SETTING_RANGES[name]
    # Plain ASCII digits only: int() would also take "1_0", "+5", " 5" and other scripts' digits.
    value = int(text) if re.fullmatch(r"[0-9]{1,9}", text) else None
    if value is None or not low <= value <= high:
        raise ServiceError(f"环境变量 {name} 应为 {low} 到 {high} 之间的整数，当前为 {text!r}；请改正或删除它")
    return value


def _env_clock():
    text = os.environ.get(ENV_NOW)
    if not text:  # unset or empty, as for every setting: the default
        return None
    low, high = CLOCK_RANGE
    moment = None
    if re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", text):
        with contextlib.suppress(ValueError):
            moment = _dt.datetime.combine(_dt.date.fromisoformat(text), _dt.time(23, 59))
    elif re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}(:[0-9]{2})?", text):
        with contextlib.suppress(ValueError):
            moment = _dt.datetime.fromisoformat(text)
    if moment is None or not low <= moment.date() <= high:
        raise ServiceError(f"环境变量 {ENV_NOW} 应为 {low} 到 {high} 之间的日期（如 2026-01-05）或日期时间，"
                           f"当前为 {text!r}；请改正或删除它")
    return lambda: moment


def sample_universe(instruments, latest):
    """The few instruments of the sample bundle: three stocks, one index, the 50 ETF and its options
    of the nearest expiry, one convertible, the two nearest contracts of M and JD and the options of
    those contracts."""
    live = [i for i in instruments if i.active_between(latest, latest)]
    stocks = [i for i in live if i.category == "stock"][:3]
    index = [i for i in live if i.order_book_id == "000300.XSHG"]
    fund = [i for i in live if i.order_book_id == "510050.XSHG"]
    convertible = [i for i in live if i.category == "convertible"][:1]
    futures = []
    for underlying in ("M", "JD"):
        near = sorted((i for i in live if i.category == "futures" and i.underlying_symbol == underlying),
                      key=lambda i: i.de_listed_date)
        futures += near[:2]
    written_on = {i.order_book_id for i in futures + fund}
    options = [i for i in live if i.category == "option" and i.underlying_order_book_id in written_on]
    nearest = {}
    for opt in options:
        key = opt.underlying_order_book_id
        nearest[key] = min(nearest.get(key, opt.de_listed_date), opt.de_listed_date)
    options = [o for o in options if o.de_listed_date == nearest[o.underlying_order_book_id]]
    out = stocks + index + fund + convertible + futures + options
    out.sort(key=lambda inst: (inst.category, inst.order_book_id))
    return out


class EmbeddedService:
    """The offline market. ``clock`` is a callable returning the current ``datetime``; it defaults to
    the ``VANTOREL_SERVICE_NOW`` variable, else the system clock. ``universe`` is "default" or
    "sample" (the few instruments of the sample bundle)."""

    def __init__(self, clock=None, scale=None, daily_days=None, minbar_days=None, tick_days=None,
                 universe="default"):
        self._clock = clock or _env_clock() or _dt.datetime.now
        self.scale = scale or _env_int(ENV_SCALE, DEFAULT_SCALE)
        self.latency = _env_int(ENV_LATENCY_MS, 0) / 1000.0
        self.history_days = {
            "daybar": daily_days or _env_int(ENV_DAILY_DAYS, DEFAULT_DAILY_DAYS),
            "minbar": minbar_days or _env_int(ENV_MINBAR_DAYS, DEFAULT_MINBAR_DAYS),
            "tick": tick_days or _env_int(ENV_TICK_DAYS, DEFAULT_TICK_DAYS),
        }
        if universe not in ("default", "sample"):
            raise ValueError(universe)
        self.universe = universe
        self._universe_cache = {}
        self._index_cache = {}
        self._cache_lock = threading.Lock()

    def now(self):
        return self._clock()

    def latest_trading_date(self):
        """The last trading day whose data is published at the service's clock."""
        now = self.now()
        today = now.date()
        if is_trading_day(today) and now.time() >= PUBLISH_TIME:
            return to_int(today)
        return previous_trading_date(today)

    def history_start(self, kind, latest=None):
        """The first trading day a new bundle gets data of ``kind`` ("daybar", "minbar", "tick") from."""
        latest = latest or self.latest_trading_date()
        return shift_trading_date(latest, 1 - self.history_days[kind])

    def instruments(self, latest=None):
        latest = latest or self.latest_trading_date()
        with self._cache_lock:
            cached = self._universe_cache.get(latest)
            if cached is None:
                # Every contract listed since the calendar began, the expired ones with their
                # history, as a real market-data service keeps serving them.
                cached = build_universe(to_int(CALENDAR_START), latest, self.scale)
                if self.universe == "sample":
                    cached = sample_universe(cached, latest)
                self._universe_cache = {latest: cached}
            return cached

    def trading_dates(self, start, end):
        return trading_dates(start, end)

    def ex_factors(self, latest=None):
        latest = latest or self.latest_trading_date()
        return ex_factors(self.instruments(latest), latest)

    def suspended(self, latest=None):
        latest = latest or self.latest_trading_date()
        return suspended(self.instruments(latest), latest)

    def _lookup(self, code):
        latest = self.latest_trading_date()
        with self._cache_lock:
            index = self._index_cache.get(latest)
        if index is None:
            index = {inst.order_book_id: inst for inst in self.instruments(latest)}
            with self._cache_lock:
                self._index_cache = {latest: index}
        try:
            return index[code]
        except KeyError:
            raise ServiceError(f"数据服务中没有合约 {code}") from None

    def _clamp(self, end):
        return min(to_int(end), self.latest_trading_date())

    def daily_bars(self, code, start, end):
        return daily_bars_of(self._lookup(code), start, self._clamp(end))

    def minute_bars(self, code, start, end):
        return minute_bars_of(self._lookup(code), start, self._clamp(end))

    def ticks(self, code, start, end):
        return ticks_of(self._lookup(code), start, self._clamp(end))


class MarketDataClient:
    """What the bundle functions ask of a market-data service. ``connections`` requests at most run
    at once; each method may be called from several threads."""

    connections = 1

    def latest_trading_date(self):
        raise NotImplementedError

    def history_start(self, kind, latest=None):
        raise NotImplementedError

    def instruments(self):
        """Instrument objects with the attributes of storage.INSTRUMENT_FIELDS and ``record()``."""
        raise NotImplementedError

    def trading_dates(self, start, end):
        raise NotImplementedError

    def ex_factors(self):
        """The cumulative price-adjustment factors published so far (storage.EX_FACTOR_FIELDS)."""
        raise NotImplementedError

    def suspended(self):
        """The days on which an instrument did not trade, published so far (storage.SUSPENDED_FIELDS)."""
        raise NotImplementedError

    def daily_bars(self, code, start, end):
        raise NotImplementedError

    def minute_bars(self, code, start, end):
        raise NotImplementedError

    def ticks(self, code, start, end):
        raise NotImplementedError

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class EmbeddedClient(MarketDataClient):
    """A client of the embedded service, holding ``connections`` connections."""

    def __init__(self, service=None, connections=3, require_login=True):
        if not isinstance(connections, int) or not 1 <= connections <= MAX_CONNECTIONS:
            raise ServiceError(f"并行连接数应在 1 到 {MAX_CONNECTIONS} 之间，当前为 {connections}")
        if require_login:
            from vantorel import tovi

            tovi.require_session()
        self.service = service or EmbeddedService()
        self.connections = connections
        self._slots = threading.BoundedSemaphore(connections)

    def _call(self, method, *args):
        with self._slots:
            if self.service.latency:
                time.sleep(self.service.latency)
            return method(*args)

    def latest_trading_date(self):
        return self.service.latest_trading_date()

    def history_start(self, kind, latest=None):
        return self.service.history_start(kind, latest)

    def instruments(self):
        return self._call(self.service.instruments)

    def trading_dates(self, start, end):
        return self._call(self.service.trading_dates, start, end)

    def ex_factors(self):
        return self._call(self.service.ex_factors)

    def suspended(self):
        return self._call(self.service.suspended)

    def daily_bars(self, code, start, end):
        return self._call(self.service.daily_bars, code, start, end)

    def minute_bars(self, code, start, end):
        return self._call(self.service.minute_bars, code, start, end)

    def ticks(self, code, start, end):
        return self._call(self.service.ticks, code, start, end)


def open_client(connections, require_login=True, universe="default"):
    """The data client the bundle functions work with. This is the seam where a client of a real
    service plugs in; without a sign-in it raises ``vantorel.tovi.NotSignedInError``."""
    return EmbeddedClient(EmbeddedService(universe=universe), connections, require_login)
