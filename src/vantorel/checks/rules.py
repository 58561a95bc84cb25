"""The rules every series is held to: columns, order, prices, volumes, jumps, the calendar."""
import os

from vantorel.checks.findings import Anomaly, day_example, percent_text
from vantorel.checks.settings import rule_of

PRICE_FIELDS = ("open", "high", "low", "close")


OHLC_TOLERANCE = 1e-9  # relative


DAY_MINUTES = 24 * 60


MINBAR_COLUMNS = ("datetime", "trading_date") + PRICE_FIELDS + ("volume",)


DAYBAR_COLUMNS = ("datetime",) + PRICE_FIELDS + ("volume",)


def text_of(value):
    if isinstance(value, bytes):
        return value.decode("utf-8", "replace")
    return str(value)


def short_reason(exc):
    """The whole reason an error gives, on one line (the table wraps it)."""
    text = getattr(exc, "message", None) or str(exc) or type(exc).__name__
    return " ".join(text.split())


def relative_dir(bundle_path, path):
    rel = os.path.relpath(path, bundle_path).replace(os.sep, "/")
    return "" if rel == "." else rel + "/"


def quiet_arithmetic():
    """NaN, infinity and overflow in a stored series are what the checks report, row by row; numpy's
    warnings about them would only print noise (with a source line) above the table."""
    import numpy as np

    return np.errstate(all="ignore")


class Series:
    """Collects the anomalies of one file and instrument."""

    def __init__(self, file, code, settings, stamp_text, category=None, minute=False):
        self.file = file
        self.code = code
        self.settings = settings
        self.stamp_text = stamp_text
        self.category = category
        self.minute = minute
        self.found = []

    def flag(self, kind, mask_or_index, stamps=None, describe=None, rule=None):
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
        self.add(kind, len(index), examples, rule)

    def add(self, kind, count, examples=(), rule=None):
        rule = rule or rule_of(kind, self.settings, self.minute, self.category)
        self.found.append(Anomaly(self.file, self.code, kind, int(count), tuple(examples), rule))


def missing_columns(series, arr, columns):
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


def columns_of(arr, names):
    """The named fields as contiguous arrays: numpy runs several times faster over them than
    over the strided fields of a structured array, which pays for the one copy."""
    import numpy as np

    with np.errstate(invalid="ignore"):  # a float volume holding NaN, in a file not of ours
        return {n: np.ascontiguousarray(arr[n], dtype="f8" if n in PRICE_FIELDS else "i8") for n in names}


def bar_checks(series, arr, jump_limit, factors=None, judged=None, continuous=False, jump_rule=None):
    """Checks that hold for daily and minute bars alike (``arr``: the columns by name). ``judged``
    marks the moves (bar i-1 to bar i, at i-1) another rule has judged already, as a Chinese
    stock's price limit does; a ``continuous`` futures series' jumps are its rolls; ``jump_rule``
    names a threshold other than the setting's. ``factors``
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
        if judged is not None:
            big &= ~judged
        series.flag(
            "roll" if continuous else "jump",
            np.flatnonzero(big) + 1,
            describe=lambda i: series.stamp_text(stamps[i]).then(percent_text(ratio[i - 1] - 1.0)),
            rule=jump_rule,
        )


def zero_volume_moves(series, arr, factors, tick):
    """Bars without a trade whose close is not the previous bar's: a price nobody paid."""
    import numpy as np

    zero = np.flatnonzero(arr["volume"] == 0)
    zero = zero[zero > 0]
    if not len(zero):
        return
    close = arr["close"]
    before = close[zero - 1] * (factors[zero - 1] / factors[zero] if factors is not None else 1.0)
    moved = np.abs(close[zero] - before) > np.maximum(tick / 2, OHLC_TOLERANCE * np.abs(before))
    series.flag("zero_volume_move", zero[moved], describe=lambda i: series.stamp_text(arr["datetime"][i]).then(
        "成交量为 0，收盘价 {:g}，前一根 {:g}".format(close[i], close[i - 1])))


def unique_days(days):
    """Sorted distinct days; cheap when they come sorted, as stored rows do."""
    import numpy as np

    later, earlier = days[1:], days[:-1]
    if len(days) > 1 and (later >= earlier).all():
        return np.concatenate((days[:1], later[later != earlier]))
    return np.unique(days)


def calendar_checks(series, base, days, gaps=None):
    """Missing trading days between the first and last stored day, days off the calendar, and
    days outside the instrument's listing."""
    import numpy as np

    days = unique_days(days)
    if len(days) == 0:
        return
    listed, de_listed = base.listing(series.code)
    outside = days < listed
    if de_listed:
        outside |= days > de_listed
    series.flag("outside_listing", outside, describe=lambda i: day_example(days[i]))
    # A bar on a day the instrument was suspended is a price nobody could trade at.
    suspended = base.suspended_days(series.code)
    on_suspended = np.intersect1d(days, suspended, assume_unique=True) if len(suspended) else suspended
    series.flag("suspended_bar", np.arange(len(on_suspended)), describe=lambda i: day_example(on_suspended[i]))
    own = base.calendar_of(series.code)
    if own is None:
        return
    calendar = own.days
    first = np.searchsorted(calendar, days[0])
    if np.array_equal(calendar[first:first + len(days)], days):
        # Every day of the calendar from the first to the last, as a sound series has: nothing is
        # off it or missing, and the set differences (a sixth of a minute series' check) are skipped.
        off = missing = calendar[:0]
    else:
        off = np.setdiff1d(days, calendar, assume_unique=True)
        expected = calendar[(calendar >= days[0]) & (calendar <= days[-1])]
        # A day the instrument was suspended is no gap.
        missing = np.setdiff1d(np.setdiff1d(expected, days, assume_unique=True), suspended)
    series.flag("non_trading_day", np.arange(len(off)), describe=lambda i: day_example(off[i]))
    if gaps is not None:
        gaps.append((series, missing, base.calendar_key(series.code)))  # judged once every series is in
    else:
        series.flag("missing_days", np.arange(len(missing)), describe=lambda i: day_example(missing[i]))


def calendar_positions(calendar, days):
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
