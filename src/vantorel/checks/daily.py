"""The daily-bar check: held against the same day's minute bars, and the habits of a series over days."""
import os
from typing import NamedTuple

import click

from vantorel.bundle import access, places, reading
from vantorel.checks.base import Base
from vantorel.checks.china import limit_checks
from vantorel.checks.findings import Anomaly, day_example
from vantorel.checks.rules import (
    DAYBAR_COLUMNS,
    MINBAR_COLUMNS,
    PRICE_FIELDS,
    Series,
    bar_checks,
    calendar_checks,
    columns_of,
    missing_columns,
    quiet_arithmetic,
    relative_dir,
    short_reason,
    zero_volume_moves,
)
from vantorel.checks.settings import settings_from_env
from vantorel.checks.table import print_table, write_report
from vantorel.errors import VantorelError
from vantorel.market import china
from vantorel.progress import progress
from vantorel.update import unfinished


class _Gathered(NamedTuple):
    """What the daily check learns from every series before it judges some of them."""
    last_data_day: dict  # calendar key -> the last day any daily bar held against that calendar has
    gaps: list  # [(series, missing days, calendar key)]: a day most series lack is one finding


def _minute_days(minutes):
    """Per trading day of minute bars: days, first open, highest high, lowest low, last close, volume."""
    import numpy as np

    days = minutes["trading_date"]
    stamps = minutes["datetime"]
    if len(days) > 1 and not (np.all(days[1:] >= days[:-1]) and np.all(stamps[1:] > stamps[:-1])):
        order = np.lexsort((stamps, days))
        minutes = {name: column[order] for name, column in minutes.items()}
        days = minutes["trading_date"]
    starts = np.flatnonzero(np.r_[True, days[1:] != days[:-1]])
    ends = np.r_[starts[1:], len(days)] - 1
    return {
        "day": days[starts],
        "open": minutes["open"][starts],
        "high": np.maximum.reduceat(minutes["high"], starts),
        "low": np.minimum.reduceat(minutes["low"], starts),
        "close": minutes["close"][ends],
        "volume": np.add.reduceat(minutes["volume"], starts),
    }


def _cross_check(series, base, daily, days, minutes):
    """Daily bars against the aggregate of the same trading day's minute bars."""
    import numpy as np

    if len(minutes) == 0 or _missing(minutes, MINBAR_COLUMNS):
        return  # the minute-bar check reports such a file
    agg = _minute_days(columns_of(minutes, MINBAR_COLUMNS))
    unique_days, first_row = np.unique(days, return_index=True)
    common, d_idx, m_idx = np.intersect1d(unique_days, agg["day"], assume_unique=True, return_indices=True)
    d_rows = first_row[d_idx]
    settings = series.settings
    tick = base.tick_size(series.code)
    differ = {}
    for field in PRICE_FIELDS:
        want = agg[field][m_idx]
        have = daily[field][d_rows]
        tolerance = np.maximum(settings.price_ticks * tick, settings.price_rel * np.abs(want))
        differ[field] = np.abs(have - want) > tolerance + 1e-9
    want_volume = agg["volume"][m_idx].astype("f8")
    have_volume = daily["volume"][d_rows].astype("f8")
    differ["volume"] = np.abs(have_volume - want_volume) > settings.volume_rel * np.abs(want_volume)
    exchange = (base.instruments.get(series.code) or {}).get("exchange") or ""
    tolerant = bool(exchange) and not china.is_chinese(exchange)
    if tolerant:
        # One venue's minutes under a consolidated daily bar: the day's range and volume hold the
        # venue's, and the official open is an auction print no minute bar need show.
        for field, wider in (("high", 1), ("low", -1)):
            differ[field] &= wider * (daily[field][d_rows] - agg[field][m_idx]) < 0
        differ["volume"] &= have_volume < want_volume
        del differ["open"]
    any_differ = np.zeros(len(common), dtype=bool)
    for mask in differ.values():
        any_differ |= mask

    def describe(i):
        parts = []
        for field, mask in differ.items():
            if mask[i]:
                have = daily[field][d_rows[i]]
                want = agg[field][m_idx[i]]
                parts.append("{} {:g}≠{:g}".format(field, have, want))
        return day_example(common[i]).then(" ".join(parts))

    policy = ("{} 宽松比较：不比开盘价，日线最高、最低价与成交量只须涵盖分钟线".format(exchange) if tolerant
              else "{}严格比较开高低收与成交量".format(exchange + " " if exchange else ""))
    rule = "{}；价格差超过 {:g} 个价位与 {:.2%} 中较大者（VANTOREL_CHECK_DAILY_MINUTE_TICKS、VANTOREL_CHECK_DAILY_MINUTE_PRICE），" \
           "成交量差超过 {:.0%}（VANTOREL_CHECK_DAILY_MINUTE_VOLUME）".format(policy, settings.price_ticks, settings.price_rel, settings.volume_rel)
    series.flag("daily_vs_minute", any_differ, describe=describe, rule=rule)
    # Days inside the daily range that have minute bars but no daily bar, and days after it: a
    # daily feed that stopped while the minutes went on.
    if len(unique_days):
        inside = (agg["day"] >= unique_days[0]) & (agg["day"] <= unique_days[-1])
        lone = np.setdiff1d(agg["day"][inside], unique_days, assume_unique=True)
        series.flag("minute_without_daily", np.arange(len(lone)), describe=lambda i: day_example(lone[i]))
        after = agg["day"][agg["day"] > unique_days[-1]]
        series.flag("minute_after_daily", np.arange(len(after)), describe=lambda i: day_example(after[i]).then(
            "（最后一根日线在 {}）".format(day_example(unique_days[-1])), sep=""))


def _missing(arr, columns):
    fields = getattr(arr.dtype, "fields", None) or {}
    return any(c not in fields or fields[c][0].kind not in "iuf" for c in columns)


def _check_daily_series(base, gathered, bundle_path, file, category, code, daily, settings):
    import numpy as np

    series = Series(file, code, settings, lambda s: day_example(int(s) // 1000000), category)
    if missing_columns(series, daily, DAYBAR_COLUMNS):
        return series.found
    if len(daily) == 0:
        _never_began(series, base, gathered)
        return series.found
    stored = daily
    daily = columns_of(daily, DAYBAR_COLUMNS)
    days = daily["datetime"] // 1000000
    factors = base.factors(code, days)
    prev_close = None
    if not _missing(stored, ("prev_close",)):
        prev_close = np.asarray(stored["prev_close"], dtype="f8")
    limits = limit_checks(series, base, daily, days, factors, prev_close)
    bar_checks(series, daily, settings.jump_limit(category, minute=False), factors,
               judged=limits.judged() if limits else None, continuous=code in base.continuous)
    zero_volume_moves(series, daily, factors, base.tick_size(code))
    if base.instruments and code not in base.instruments:
        series.add("unknown_instrument", 1)
    calendar_checks(series, base, days, gathered.gaps)
    _daily_habits(series, base, gathered, daily, days, factors, settings, limits)
    minute_path = places.minbar_path(bundle_path, category, code)
    if os.path.exists(minute_path):
        try:
            minutes = reading.read_minbar(minute_path)
        except (VantorelError, OSError, ValueError, KeyError):
            minutes = None  # the minute-bar check reports the file itself
        if minutes is not None:
            _cross_check(series, base, daily, days, minutes)
    return series.found


def _daily_habits(series, base, gathered, daily, days, factors, settings, limits):
    """What real data gets wrong that the bar-by-bar checks cannot see: a bar repeated day after
    day (a feed that stopped but kept publishing), or once with its volume (a day published
    twice), a volume far off the series' own, a bad print that the next day undoes (below the
    jump threshold; a close at the limit price is the market's), a series that stopped before
    the calendar."""
    import numpy as np

    o, h, l, c, v = (daily[f] for f in PRICE_FIELDS + ("volume",))
    n = len(c)
    run = settings.stale_days
    same = (np.diff(o) == 0) & (np.diff(h) == 0) & (np.diff(l) == 0) & (np.diff(c) == 0) & (np.diff(v) == 0)
    in_stale = np.zeros(len(same), dtype=bool)
    if n >= run:
        # A window of run - 1 equal steps is run equal bars; report where each such stretch ends.
        window = np.convolve(same.astype("i8"), np.ones(run - 1, dtype="i8"), mode="valid") == run - 1
        ends = np.flatnonzero(window[1:] & ~window[:-1]) + 1 if len(window) > 1 else np.zeros(0, "i8")
        starts = np.r_[np.flatnonzero(window[:1]), ends]
        series.flag("stale", starts + run - 1, daily["datetime"])
        for start in np.flatnonzero(window):
            in_stale[start : start + run - 1] = True
    # A day without trades may well repeat the last price; one with its volume repeated is copied.
    series.flag("repeated_bar", np.flatnonzero(same & ~in_stale & (v[1:] > 0)) + 1,
                describe=lambda i: day_example(days[i]).then("与 {} 的开高低收、成交量 {} 完全相同".format(day_example(days[i - 1]), v[i]), sep=" "))
    traded = v[v > 0]
    if len(traded) >= 10:
        median = float(np.median(traded))
        series.flag("volume_outlier", v > settings.volume_ratio * median,
                    describe=lambda i: day_example(days[i]).then("{} 股，为中位数的 {:.0f} 倍".format(v[i], v[i] / median)))
    if n >= 3:
        adjusted = c * factors if factors is not None else c
        with np.errstate(all="ignore"):
            move = adjusted[1:] / adjusted[:-1] - 1.0
        out, back = move[:-1], move[1:]
        # A move is a spike only against the series' own volatility (an option moves 10% on a quiet
        # day); beyond the jump threshold the jump check has reported it already.
        finite = move[np.isfinite(move)]
        spread = 1.4826 * float(np.median(np.abs(finite - np.median(finite)))) if len(finite) else 0.0
        size = max(settings.spike, 6 * spread)
        spike = (np.abs(out) > size) & (np.abs(out) <= settings.jump_limit(series.category, False)) & \
                (np.sign(out) != np.sign(back)) & (np.abs((1 + out) * (1 + back) - 1) < size / 4)
        if limits is not None:
            spike &= ~limits.at_limit(c[1:])[:-1] & ~limits.free[:-1]
        series.flag("reverting_spike", np.flatnonzero(spike) + 1,
                    describe=lambda i: day_example(days[i]).then("{:+.1%} 后次日 {:+.1%}".format(move[i - 1], move[i])))
    _listed, de_listed = base.listing(series.code)
    own = base.calendar_of(series.code)
    if own is not None and n and not de_listed:
        after = own.days[own.days > days[-1]]
        after = after[after <= gathered.last_data_day[base.calendar_key(series.code)]]
        # A stock suspended through the end of the data has not stopped.
        after = np.setdiff1d(after, base.suspended_days(series.code))
        if len(after) >= settings.stopped_days:
            series.add("stopped", len(after), ("最后一根日线在 {}，之后还有 {} 个交易日".format(day_example(days[-1]), len(after)),))


def _never_began(series, base, gathered):
    """An empty series of an instrument that has been listed for a while stopped before its first
    bar: the same fault as a series that stopped, not a clean one."""
    listed, de_listed = base.listing(series.code)
    own = base.calendar_of(series.code)
    if own is None or not listed or series.code not in base.instruments:
        return
    # No daily bar anywhere under this calendar: the calendar says how far the data should go.
    last = gathered.last_data_day.get(base.calendar_key(series.code)) or int(own.days[-1])
    span = own.days[(own.days >= listed) & (own.days <= last)]
    if de_listed:
        span = span[span <= de_listed]
    if len(span) >= series.settings.stopped_days:
        series.add("stopped", len(span), ("没有任何日线，上市后已有 {} 个交易日".format(len(span)),))


def _market_gaps(gathered, found, members, settings):
    """Missing days shared by most series held against the same calendar (``members``: how many
    series each has) become one row naming the date and the count; the rest are reported with
    their series."""
    import numpy as np

    if not gathered.gaps:
        return
    counts = {}
    for _series, missing, key in gathered.gaps:
        for day in missing.tolist():
            counts[key, day] = counts.get((key, day), 0) + 1
    shared = {(key, day) for (key, day), k in counts.items() if k > max(2, settings.market_gap_share * members[key])}
    for key, day in sorted(shared, key=lambda pair: (pair[1], pair[0] or "")):
        among = "{} 的 ".format(key) if key else ""
        found.append(Anomaly("", "", "market_gap", counts[key, day],
                             (day_example(day).then("{}{} 个合约都没有数据".format(among, counts[key, day]), sep="："),)))
    for series, missing, key in gathered.gaps:
        common = [day for shared_key, day in shared if shared_key == key]
        rest = missing[~np.isin(missing, common)] if common else missing
        before = len(series.found)
        series.flag("missing_days", np.arange(len(rest)), describe=lambda i, rest=rest: day_example(rest[i]))
        found.extend(series.found[before:])


def check_daily_bar_data(bundle_directory, settings=None):
    """Check every daily-bar file of the bundle directory; print and return the anomalies."""
    settings = settings or settings_from_env()
    bundle_directory = os.path.abspath(os.fspath(bundle_directory))
    bundle_path = places.bundle_path_of(bundle_directory)
    with access.reading(bundle_path):
        click.echo("检查日线数据：{}".format(bundle_directory))
        with quiet_arithmetic(), places.walks_kept():  # the cross-check reads every minute-bar file
            return _check_daily_bar_data(bundle_directory, bundle_path, settings)


def _check_daily_bar_data(bundle_directory, bundle_path, settings):
    files = list(places.iter_daybar_files(bundle_directory))
    if not files:
        click.echo("没有日线数据（{} 中没有日线文件）".format(os.path.join(bundle_directory, places.DAYBAR_DIR_NAME)))
        return []
    base = Base(bundle_directory, bundle_path)
    found = list(base.problems)
    series = []
    for category, path in files:
        file = relative_dir(bundle_path, path)[:-1]
        try:
            by_code = reading.read_daybar_file(path)
        except (VantorelError, OSError, ValueError, KeyError) as exc:
            found.append(Anomaly(file, "", "unreadable", 1, (short_reason(exc),)))
            continue
        series += [(file, category, code, by_code[code]) for code in sorted(by_code)]
    # The last day any daily bar held against the same calendar has: a series ending well before
    # it stopped updating. Another exchange's data may run on later, or stop for its holidays.
    members, last_data_day = {}, {}
    for _file, _category, code, daily in series:
        key = base.calendar_key(code)
        members[key] = members.get(key, 0) + 1
        if len(daily):
            last_data_day[key] = max(last_data_day.get(key, 0), int(daily["datetime"][-1]) // 1000000)
    gathered = _Gathered(last_data_day, gaps=[])
    bars = 0
    # Daily files are few and small; the work, and so the bar, goes by instrument.
    with progress("检查日线", items=series, floor=21) as items:
        for file, category, code, daily in items:
            try:
                found.extend(_check_daily_series(base, gathered, bundle_path, file, category, code, daily, settings))
            except MemoryError:  # its minute bars, most likely: one finding, and on to the next series
                found.append(Anomaly(file, code, "unreadable", 1, ("内存不足，无法检查这一品种",)))
            bars += len(daily)
    _market_gaps(gathered, found, members, settings)
    found = unfinished.account(bundle_path, found)
    print_table(found, len(files), bars, "日线", len(series))
    write_report(bundle_path, "daybar", found)
    return found
