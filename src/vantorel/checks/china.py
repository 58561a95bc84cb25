"""A Chinese stock's daily bars against its price limits (market/china.py): a close beyond the
limit price, and a drop beyond it that an ex-factor missing from the bundle would explain."""
from vantorel.checks.findings import day_example, percent_text
from vantorel.market import china

# Bonus and conversion shares come as "10 送 k": the price divides by 1 + k/10.
_BONUS_SHARES = range(1, 41)


class DayLimits:
    """A stock's limit on each move of its daily series (bar i-1 to bar i, at i-1)."""

    def __init__(self, base, code, board, days, reference):
        import numpy as np

        today = days[1:]
        self.board = board
        self.tick = base.tick_size(code) or 0.01
        self.special = base.special_on(code, today)
        self.limit = china.limits(board, today, self.special)
        # The first days of a listing, and the days the source marks, trade without a limit.
        listed, _de_listed = base.listing(code)
        free = np.isin(today, base.marked_days(code))
        if listed:
            since = np.flatnonzero(days >= listed)[: china.free_days_after_listing(board, listed)]
            free[since[since > 0] - 1] = True
        self.free = free
        self.limit[free] = np.nan
        with np.errstate(invalid="ignore"):
            self.up = china.limit_price(reference, self.limit, self.tick, up=True)
            self.down = china.limit_price(reference, self.limit, self.tick, up=False)

    def judged(self):
        """The moves the limit rule judges (those free of a limit are free of the jump rule too)."""
        import numpy as np

        return ~np.isnan(self.limit) | self.free

    def at_limit(self, close):
        """Which closes are their day's limit-up or limit-down price."""
        import numpy as np

        half = self.tick / 2
        with np.errstate(invalid="ignore"):
            return (np.abs(close - self.up) < half) | (np.abs(close - self.down) < half)

    def text(self, i):
        return china.limit_text(self.board, self.limit[i], bool(self.special[i]))


def limit_checks(series, base, columns, days, factors, prev_close):
    """Report closes beyond the day's limit price; returns the DayLimits, or None for a series no
    board's rules hold. ``prev_close``: the stored previous close of each bar (the exchange's, in
    the day's own units: it names an ex-date's factor), or None."""
    import numpy as np

    board = base.board(series.code, series.category)
    if board is None or len(days) < 2:
        return None
    close = columns["close"]
    # The previous close in today's units: an ex-date lowers it by the factor.
    reference = close[:-1] * (factors[:-1] / factors[1:]) if factors is not None else close[:-1]
    day = DayLimits(base, series.code, board, days, reference)
    slack = series.settings.limit_ticks * day.tick + 1e-9
    now = close[1:]
    with np.errstate(invalid="ignore"):
        above = now > day.up + slack
        below = now < day.down - slack
    factor = np.full(len(now), np.nan)
    # The way back from a bad print is no ex-date.
    for i in np.flatnonzero(below & ~np.r_[False, above[:-1]]):
        factor[i] = _missing_factor(reference[i], now[i], day.limit[i], day.tick,
                                    prev_close[i + 1] if prev_close is not None else np.nan)
    missing = below & ~np.isnan(factor)
    beyond = (above | below) & ~missing

    def described(i, what):
        return day_example(days[i]).then("{}，{}（前收 {:g}，涨停 {:g}，跌停 {:g}）".format(
            percent_text(now[i - 1] / reference[i - 1] - 1), what, reference[i - 1], day.up[i - 1], day.down[i - 1]))

    rules = sorted({day.text(i) for i in np.flatnonzero(beyond | missing)})
    rule = "涨跌幅限制 {}；涨跌停价为前收 ×（1 ± 限制）四舍五入到 {:g}，超出 {:g} 个价位以上（VANTOREL_CHECK_LIMIT_TICKS）".format(
        "、".join(rules), day.tick, series.settings.limit_ticks)
    series.flag("limit", np.flatnonzero(beyond) + 1, rule=rule,
                describe=lambda i: described(i, "超出" + day.text(i - 1)))
    series.flag("missing_ex_factor", np.flatnonzero(missing) + 1, rule=rule, describe=lambda i: described(
        i, "超出{}，应是除权日：缺少约 {:.3g} 的除权因子{}".format(day.text(i - 1), factor[i - 1], _bonus_text(factor[i - 1]))))
    return day


def _missing_factor(reference, close, limit, tick, stored_prev):
    """The ex-factor that would put a drop beyond the limit inside it, or NaN when none would:
    the stored previous close, when the source gives an ex-date's own, names it exactly; else a
    bonus of 10 送 k."""
    import math

    def inside(ref):
        return china.limit_price(ref, limit, tick, up=False) - tick / 2 <= close <= china.limit_price(ref, limit, tick, up=True) + tick / 2

    if (math.isfinite(stored_prev) and 0 < stored_prev < reference - tick / 2 and reference / stored_prev <= 1 + _BONUS_SHARES[-1] / 10
            and inside(stored_prev)):
        return reference / stored_prev
    k = round((reference / close - 1) * 10)
    if k in _BONUS_SHARES and inside(reference / (1 + k / 10)):
        return 1 + k / 10
    return math.nan


def _bonus_text(factor):
    k = (factor - 1) * 10
    return "（如 10 送 {:g}）".format(round(k)) if abs(k - round(k)) < 0.02 and round(k) >= 1 else ""
