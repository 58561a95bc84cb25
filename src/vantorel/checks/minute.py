"""The minute-bar check: sessions, trading dates and file attributes besides the rules of every series."""
import os

import click

from vantorel.bundle import access, places, reading
from vantorel.checks import dispatch
from vantorel.checks.base import Base
from vantorel.checks.findings import day_example, hhmm_text, minute_example
from vantorel.checks.rules import (
    DAY_MINUTES,
    MINBAR_COLUMNS,
    Series,
    bar_checks,
    calendar_checks,
    calendar_positions,
    columns_of,
    missing_columns,
    quiet_arithmetic,
    relative_dir,
    short_reason,
    text_of,
    unique_days,
    zero_volume_moves,
)
from vantorel.checks.settings import settings_from_env
from vantorel.checks.table import print_table, write_report
from vantorel.errors import VantorelError
from vantorel.market import china
from vantorel.update import unfinished


def _session_checks(series, base, arr, bar_minutes=1):
    import numpy as np

    spec = base.sessions(series.code, bar_minutes)
    if spec is None:
        if series.code not in base.instruments and base.instruments:
            series.add("unknown_instrument", 1)
        return
    firsts, lasts, night, lookup, labels = spec
    stamps = arr["datetime"]
    own = base.calendar_of(series.code)
    if own is not None and _regular_sessions(own, labels, night, stamps, arr["trading_date"]):
        return
    # Floor division by a constant is several times faster in numpy than % or divmod.
    date = stamps // 1000000
    clock = stamps - date * 1000000
    hhmm = clock // 100
    seconds = clock - hhmm * 100
    hours = hhmm // 100
    minutes = hhmm - hours * 100
    minute = hours * 60 + minutes
    # (np.clip costs several times what a minimum and a maximum do on arrays this size.)
    k = lookup[np.minimum(np.maximum(minute, 0), DAY_MINUTES - 1)]
    kc = np.maximum(k, 0)
    inside = (k >= 0) & (seconds == 0) & (minutes < 60) & (minute < DAY_MINUTES) & (stamps >= 0)
    if own is not None:
        trading_day = arr["trading_date"]
        pos, known = calendar_positions(own.days, trading_day)
        if len(own.early_days):
            # A day session's bar after its day's early close is off session too.
            inside &= ~(known & ~night[kc] & (minute > own.close[pos]))
    series.flag("off_session", ~inside, stamps)
    if own is None:
        return  # the trading day of a bar, and the days' bar counts, need the calendar

    calendar = own.days
    at_night = night[kc]
    # A night session runs on the evening of the previous trading day.
    run_on = np.where(at_night, calendar[np.maximum(pos - 1, 0)], trading_day)
    checkable = inside & known & ~(at_night & (pos == 0))
    series.flag("trading_date", checkable & (date != run_on), stamps)

    counted = inside & known
    present = unique_days(pos[counted])
    if len(present) == 0:
        return
    n_sessions = len(firsts)
    row_of = np.zeros(len(calendar), dtype="i8")
    row_of[present] = np.arange(len(present))
    row = row_of[pos[counted]]
    counts = np.bincount(row * n_sessions + kc[counted], minlength=len(present) * n_sessions)
    counts = counts.reshape(len(present), n_sessions)
    # A night session counts whole when it takes place; a day session up to the day's close.
    whole_nights = own.has_night[present][:, None] * np.array([len(s) for s in labels])[None, :]
    days_to_close = np.stack([np.searchsorted(s, own.close[present], side="right") for s in labels], axis=1)
    expected = np.where(night[None, :], whole_nights, days_to_close)
    off_rows, off_sessions = np.nonzero(counts != expected)
    series.flag(
        "session_count",
        np.arange(len(off_rows)),
        describe=lambda i: day_example(calendar[present[off_rows[i]]]).then("{}-{} {}/{}".format(
            hhmm_text(firsts[off_sessions[i]]),
            hhmm_text(lasts[off_sessions[i]]),
            counts[off_rows[i], off_sessions[i]],
            expected[off_rows[i], off_sessions[i]],
        )),
    )


def _regular_sessions(calendar, labels, night, stamps, trading_day):
    """Whether the bars are exactly the sessions' bars on each of their trading days, in order
    (on an early close, those up to the close): then no session check can find anything, and the
    per-row work is skipped. Stored minute bars nearly always are so."""
    import numpy as np

    if not len(stamps):
        return False
    if night.any():
        return _regular_night_sessions(calendar, labels, night, stamps, trading_day)
    minutes = np.concatenate(labels)
    template = (minutes // 60) * 10000 + (minutes % 60) * 100
    # Each early close that cuts the sessions short is held against its own shorter day; the full
    # days between them, as tables.
    done = 0
    early_days = calendar.early_days
    if len(early_days):
        within = slice(np.searchsorted(early_days, trading_day[0]), np.searchsorted(early_days, trading_day[-1], side="right"))
        for day, close in zip(early_days[within].tolist(), calendar.early_minutes[within].tolist()):
            if close >= minutes[-1]:
                continue
            begin, end = np.searchsorted(trading_day, [day, day + 1])
            if begin < done or not _full_days(calendar, minutes[-1], template, stamps[done:begin], trading_day[done:begin]):
                return False
            short = day * 1000000 + template[minutes <= close]
            if end > begin and not (end - begin == len(short) and (stamps[begin:end] == short).all()
                                    and (trading_day[begin:end] == day).all()):
                return False
            done = end
    return _full_days(calendar, minutes[-1], template, stamps[done:], trading_day[done:])


def _regular_night_sessions(calendar, labels, night, stamps, trading_day):
    """``_regular_sessions`` for an instrument with a night session: each trading day's bars are
    its night session's, on the evening of the trading day before (when the night session takes
    place), then its day sessions'. Early closes are left to the per-row check."""
    import numpy as np

    if len(calendar.early_days):
        return False
    starts = np.flatnonzero(np.r_[True, trading_day[1:] != trading_day[:-1]])
    days = trading_day[starts]
    pos = np.searchsorted(calendar.days, days)
    # A night before the calendar's first day has no date to hold it to: the per-row check knows.
    if (len(days) > 1 and not (days[1:] > days[:-1]).all()) or pos[0] == 0 or pos[-1] >= len(calendar.days):
        return False
    if not np.array_equal(calendar.days[pos], days):
        return False

    def clock(minutes):
        return (minutes // 60) * 10000 + (minutes % 60) * 100

    at_night = [k for k in range(len(labels)) if night[k]]
    by_day = [k for k in range(len(labels)) if not night[k]]
    evening = clock(np.concatenate([labels[k] for k in at_night]))
    daytime = clock(np.concatenate([labels[k] for k in by_day])) if by_day else np.zeros(0, "i8")
    has_night = calendar.has_night[pos]
    if not np.array_equal(np.diff(np.r_[starts, len(stamps)]), has_night * len(evening) + len(daytime)):
        return False
    expected = np.concatenate([calendar.days[pos - 1][:, None] * 1000000 + evening,
                               days.astype("i8")[:, None] * 1000000 + daytime], axis=1)
    held = np.concatenate([np.repeat(has_night[:, None], len(evening), axis=1),
                           np.ones((len(days), len(daytime)), dtype=bool)], axis=1)
    return bool(np.array_equal(stamps, expected[held]))


def _full_days(calendar, last_minute, template, stamps, trading_day):
    """Whether the bars are ``template`` on each of their days, calendar days that close no
    earlier than ``last_minute``. Compared as days x minutes tables, so that nothing the size of
    the series is built."""
    import numpy as np

    per_day = len(template)
    if len(stamps) % per_day:
        return False
    days = trading_day[::per_day]
    if not (trading_day.reshape(-1, per_day) == days[:, None]).all():
        return False
    known = np.searchsorted(calendar.days, days)
    if np.any(known >= len(calendar.days)) or not np.array_equal(calendar.days[known], days):
        return False
    if len(calendar.early_days) and np.any(calendar.close[known] < last_minute):
        return False
    return bool((stamps.reshape(-1, per_day) == days.astype("i8")[:, None] * 1000000 + template).all())


def _attr_checks(series, days, attrs):
    first, last = (int(days[0]), int(days[-1])) if len(days) else (0, 0)
    wrong = []
    for name, value in (("rows", len(days)), ("first_trading_date", first), ("last_trading_date", last)):
        if name not in attrs:
            continue
        stated = attrs[name]
        if not isinstance(stated, int) or isinstance(stated, bool):
            wrong.append("{} 不是整数".format(name))
        elif stated != value:
            wrong.append("{}={}，数据为 {}".format(name, stated, value))
    if wrong:
        series.add("attrs", len(wrong), wrong)


def _bar_minutes(series, attrs):
    """The minutes a file's bars span (1 for files that do not say, made before bars of several
    minutes were kept); a value no bar can span is a finding, and the bars are held as minutes."""
    minutes = attrs.get("bar_minutes", 1)
    if isinstance(minutes, int) and not isinstance(minutes, bool) and 1 <= minutes <= 240:
        return minutes
    series.add("attrs", 1, ("bar_minutes={} 不是 1 到 240 之间的整数".format(text_of(minutes)),))
    return 1


def _place_checks(series, attrs, category, code):
    """The code and category a file names must be those of where it lies, as an update requires."""
    wrong = ["{}={}，文件位置为 {}".format(name, text_of(attrs.get(name)), expected)
             for name, expected in (("order_book_id", code), ("category", category)) if attrs.get(name) != expected]
    if wrong:
        series.add("attrs", len(wrong), wrong)


def _check_minute_file(base, bundle_path, category, code, path, settings):
    series = Series(relative_dir(bundle_path, path)[:-1], code, settings, minute_example, category, minute=True)
    try:
        arr, attrs = reading.read_minbar_with_attrs(
            path, ("rows", "first_trading_date", "last_trading_date", "order_book_id", "category", "bar_minutes"))
    except (VantorelError, OSError, ValueError, KeyError) as exc:
        series.add("unreadable", 1, (short_reason(exc),))
        return series.found, 0
    try:
        _check_minutes(base, category, code, series, arr, attrs, settings)
    except MemoryError:
        # Read, but too large to check in the memory left: one finding, and on to the next file.
        series.add("unreadable", 1, ("内存不足，无法检查这 {} 根分钟线".format(len(arr)),))
    return series.found, len(arr)


def _check_minutes(base, category, code, series, arr, attrs, settings):
    _place_checks(series, attrs, category, code)
    if missing_columns(series, arr, MINBAR_COLUMNS):
        return
    if len(arr) == 0:
        # A series cut to nothing still says in its attributes how many rows it had.
        _attr_checks(series, arr["trading_date"], attrs)
        return
    columns = columns_of(arr, MINBAR_COLUMNS)
    factors = base.factors(code, columns["trading_date"])
    jump_limit, jump_rule = settings.jump_limit(category, minute=True), None
    board = base.board(code, category)
    if board is not None and china.WIDEST[board] + 0.01 > jump_limit:
        # A stock may open at its limit, beyond the threshold: a move a tick wider is the market's.
        jump_limit = china.WIDEST[board] + 0.01
        jump_rule = "相邻两根分钟线收盘价变动超过 {:.0%}（{}涨跌幅限制 ±{:.0%} 宽于 VANTOREL_CHECK_MINUTE_JUMP={:g}）".format(
            jump_limit, china.BOARD_NAMES[board], china.WIDEST[board], settings.minute_jump)
    bar_checks(series, columns, jump_limit, factors, continuous=code in base.continuous, jump_rule=jump_rule)
    zero_volume_moves(series, columns, factors, base.tick_size(code))
    _frozen(series, base, columns, factors)
    calendar_checks(series, base, columns["trading_date"])
    _session_checks(series, base, columns, _bar_minutes(series, attrs))
    _attr_checks(series, columns["trading_date"], attrs)


def _frozen(series, base, arr, factors):
    """Runs of minute bars at one price, each with volume, within a trading day: a feed that kept
    counting trades while its price stood still. A stock sealed at its limit price trades so for
    hours: a run at its day's limit price is the market's."""
    import numpy as np

    run = series.settings.frozen_minutes
    high, low, close, volume, day = arr["high"], arr["low"], arr["close"], arr["volume"], arr["trading_date"]
    # Whole-column compares: cheaper than gathering the closes and volumes of the flat bars
    # once these are more than a few.
    flat = high == low
    flat &= close == high
    flat &= volume > 0
    flat = np.flatnonzero(flat)
    if len(flat) < run or not (flat[run - 1:] - flat[:len(flat) - run + 1] == run - 1).any():
        return  # no run of that many bars in a row, at any prices
    breaks = np.flatnonzero((np.diff(flat) != 1) | (close[flat[1:]] != close[flat[:-1]])
                            | (day[flat[1:]] != day[flat[:-1]])) + 1
    starts, ends = np.r_[0, breaks], np.r_[breaks, len(flat)]
    long = ends - starts >= run
    firsts, lengths = flat[starts[long]], (ends - starts)[long]
    if not len(firsts):
        return
    board = base.board(series.code, series.category)
    if board is not None:
        sealed = np.array([_at_limit(base, series.code, board, arr, factors, i) for i in firsts], dtype=bool)
        firsts, lengths = firsts[~sealed], lengths[~sealed]
    stamps = arr["datetime"]
    series.flag("frozen", np.arange(len(firsts)), describe=lambda k: minute_example(stamps[firsts[k]]).then(
        "起连续 {} 根分钟线价格都是 {:g}，成交量共 {}".format(
            lengths[k], close[firsts[k]], int(volume[firsts[k]:firsts[k] + lengths[k]].sum()))))


def _at_limit(base, code, board, arr, factors, row):
    """Whether the close of ``row`` is its day's limit-up or limit-down price."""
    import numpy as np

    day, close = arr["trading_date"], arr["close"]
    before = int(np.searchsorted(day, day[row])) - 1
    if before < 0 or day[before] >= day[row]:
        return False  # no previous day to hold a limit to
    reference = close[before] * (factors[before] / factors[row] if factors is not None else 1.0)
    today = np.array([day[row]], dtype="i8")
    limit = china.limits(board, today, base.special_on(code, today))[0]
    tick = base.tick_size(code) or 0.01
    return not np.isnan(limit) and any(abs(close[row] - china.limit_price(reference, limit, tick, up)) < tick / 2
                                       for up in (True, False))


def check_min_bar_data(data_bundle_path, settings=None):
    """Check every minute-bar file under the bundle path; print and return the anomalies."""
    settings = settings or settings_from_env()
    bundle_path = os.path.abspath(os.fspath(data_bundle_path))
    with access.reading(bundle_path):
        click.echo("检查分钟线数据：{}".format(bundle_path))
        with quiet_arithmetic(), places.walks_kept():
            return _check_min_bar_data(bundle_path, settings)


def check_minute_files(bundle_path, settings, files):
    """[(anomalies, bars)] of minute-bar files (category, code, path), in a worker of ``dispatch``."""
    with access.reading(bundle_path), quiet_arithmetic(), places.walks_kept():
        base = Base(places.bundle_dir(bundle_path), bundle_path)
        return [_check_minute_file(base, bundle_path, *file, settings) for file in files]


def _check_min_bar_data(bundle_path, settings):
    files = list(places.iter_minbar_files(bundle_path)) if os.path.isdir(bundle_path) else []
    if not files:
        click.echo("没有分钟线数据（{} 中没有分钟线文件）".format(os.path.join(bundle_path, places.MINBAR_DIR_NAME)))
        return []
    base = Base(places.bundle_dir(bundle_path), bundle_path)
    found = list(base.problems)
    bars = 0
    checked = dispatch.check_files(
        check_minute_files, bundle_path, settings, files, "检查分钟线",
        lambda batch: [_check_minute_file(base, bundle_path, *file, settings) for file in batch])
    for anomalies, n in checked:
        found.extend(anomalies)
        bars += n
    found = unfinished.account(bundle_path, found)
    print_table(found, len(files), bars, "分钟线")
    write_report(bundle_path, "minbar", found)
    return found
