"""The simulated market the embedded service answers from: the price model of every bar.

Every random number is a hash of (instrument, date, stream, position), so the market is the same in
every process and a bar does not depend on which range was asked for, nor on the order in which
instruments are fetched.

Suspensions. Some stocks are suspended now and then (``suspensions``): on such a day the stock has
no daily bar, no minute bars and no ticks, and ``suspended()`` publishes the day once it is past.
"""
import datetime as _dt
import functools
import hashlib

from vantorel.market.calendar import (
    CALENDAR_END_YEAR,
    _calendar_slice,
    is_trading_day,
    next_trading_date,
    previous_trading_date,
    to_date,
    to_int,
)
from vantorel.market.sessions import NIGHT_SESSION_FROM, parse_trading_hours


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


def fraction(*parts):
    return stable_hash(*parts) / 2**64


def first_trading_on_or_after(day):
    day = to_date(day)
    return to_int(day) if is_trading_day(day) else next_trading_date(day)


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
    _within_limits(inst, dates, close_all, prev_all, suspended_mask, scale)
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


def _within_limits(inst, dates, close, prev, suspended_mask, scale):
    """Hold a stock's closes (ticks, in place) to its board's daily limits, as its exchange does:
    a walk that went on through a suspension, or a rare wide day, reaches its level over as many
    limit days as it takes. ``prev``, each day's previous close, follows the closes moved."""
    import numpy as np

    from vantorel.market import china

    board = china.board_of(inst.order_book_id, inst.exchange) if inst.category == "stock" else None
    if board is None or len(dates) < 2:
        return
    traded = np.arange(len(dates)) if suspended_mask is None else np.flatnonzero(~suspended_mask)
    limit = china.limits(board, dates[traded], np.zeros(len(traded), dtype=bool))

    def bounds(k):
        t = traded[k]
        return china.limit_price(prev[t], limit[k], 1.0, up=False), china.limit_price(prev[t], limit[k], 1.0, up=True)

    with np.errstate(invalid="ignore"):
        down, up = bounds(np.arange(len(traded)))
        beyond = np.flatnonzero((close[traded] < down) | (close[traded] > up))
    beyond = beyond[beyond > 0]  # a listing day has no previous close
    k, last = 0, len(traded) - 1
    for start in beyond.tolist():
        k = max(k, start)
        while k <= last and not np.isnan(limit[k]):
            low, high = bounds(k)
            t = traded[k]
            if low <= close[t] <= high:
                break
            close[t] = min(max(close[t], low), high)
            if k < last:
                following = traded[k + 1]
                prev[following] = max(np.round(close[t] * scale[following] / scale[t]), 3.0)
            k += 1


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
            day = first_trading_on_or_after(_dt.date(year, month, 15))
            if day:
                actions.append((day, _DIVIDEND))
    if stable_hash(inst.order_book_id, "split") % 4 == 0:
        year = 2012 + stable_hash(inst.order_book_id, "split-year") % 20
        day = first_trading_on_or_after(_dt.date(year, 3 + stable_hash(inst.order_book_id, "split-month") % 8, 1))
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
        day = first_trading_on_or_after(_dt.date(year, 1 + month, 1 + day_of_month))
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
    (schemas.SUSPENDED_FIELDS), ordered by code and date."""
    import numpy as np

    from vantorel.market.schemas import SUSPENDED_FIELDS

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
    them (schemas.EX_FACTOR_FIELDS), ordered by code and date."""
    import numpy as np

    from vantorel.market.schemas import EX_FACTOR_FIELDS

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

    from vantorel.market.schemas import daybar_dtype

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
    # A minute that only repeats the last price had no trade, and a minute whose price moved had one:
    # a feed showing otherwise is what the checks look for (a frozen price, a price without a trade).
    last = np.concatenate([t["prev_close"][:, None], closes[:, :-1]], axis=1)
    idle = (highs == lows) & (closes == last)
    traded_weight = np.where(idle, 0.0, weight)
    weight = np.where(traded_weight.sum(axis=1, keepdims=True) > 0, traded_weight, weight)
    lots = t["lots"][:, None]
    vol = np.floor(lots * weight / weight.sum(axis=1, keepdims=True)).astype(np.int64)
    busiest = weight.argmax(axis=1)
    rest = lots[:, 0] - vol.sum(axis=1)
    vol[np.arange(days), busiest] += rest
    # A lot from the busiest minute for each traded minute the shares rounded to none.
    unpaid = (vol == 0) & (weight > 0)
    owed = np.minimum(unpaid.sum(axis=1), vol[np.arange(days), busiest] - 1)
    for row in np.flatnonzero(owed > 0):
        vol[row, np.flatnonzero(unpaid[row])[: owed[row]]] = 1
        vol[row, busiest[row]] -= owed[row]
    oi = np.round(t["prev_oi"][:, None] + (t["oi"] - t["prev_oi"])[:, None] * frac).astype(np.int64)
    cal_date = np.where(on_prev[None, :], t["prev_date"][:, None], t["date"][:, None])
    stamp = cal_date * 1000000 + (mins // 60) * 10000 + (mins % 60) * 100
    return {"datetime": stamp, "date": t["date"], "mins": mins, "cal_date": cal_date,
            "open": opens, "high": highs, "low": lows, "close": closes, "volume": vol * inst.round_lot,
            "oi": oi, "keys": keys, "day_open": t["open"], "prev_close": t["prev_close"]}


def minute_bars_of(inst, start, end):
    """Minute bars of an instrument for the trading days between two dates (inclusive)."""
    import numpy as np

    from vantorel.market.schemas import minbar_dtype

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

    from vantorel.market.schemas import tick_dtype

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
