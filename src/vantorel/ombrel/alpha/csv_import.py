"""A folder of CSV files from any vendor, turned into a bundle.

The layout (each file may also be gzip-compressed, ``<name>.csv.gz``)::

    instruments.csv          order_book_id, symbol, category, exchange, listed_date
                             [, de_listed_date, round_lot, tick_size, contract_multiplier,
                              underlying_symbol, trading_hours]
    daybar/<code>.csv        date, open, high, low, close, volume [, total_turnover, open_interest, prev_close]
    minbar/<code>.csv        datetime, open, high, low, close, volume
                             [, total_turnover, open_interest, trading_date]
    calendar.csv             [exchange,] date [, close_time]              (optional)
    ex_factors.csv           order_book_id, ex_date, ex_cum_factor        (optional)
    suspended.csv            order_book_id, date                          (optional)
    manifest.json            {"minute_label": "start"} when minute bars are labelled by the start
                             of their minute (the bundle labels them by the end)   (optional)

Dates are YYYY-MM-DD or YYYYMMDD, date-times YYYY-MM-DD HH:MM[:SS] in exchange-local time;
``category`` is a name of TAG_MAP. ``close_time`` (HH:MM, exchange-local) marks an early close: the
day's last minute bar is labelled by it. With an ``exchange`` column, each exchange of
instruments.csv that calendar.csv names gets a calendar of its own. Without ``calendar.csv`` the
calendar is the set of dates on which any daily bar exists, and when instruments.csv names several
exchanges each has the dates of its own instruments' daily bars. The bundle-wide calendar is the
union; an instrument is checked against its exchange's calendar where there is one. A minute bar's
trading day, when the file does not give it, is its date, or for a bar at 18:00 or later (a night
session) the next trading day of its exchange's calendar.

Bad input is refused naming the file and the line, before anything is written; ``convert`` writes
the bundle's bundle/ and minbar/ into a directory the caller stages and swaps in.
"""
import csv
import datetime
import gzip
import json
import math
import os
import re
from typing import NamedTuple

from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import storage
from vantorel.ombrel.sdk.const import TAG_MAP

INSTRUMENTS = "instruments"
REQUIRED = {
    "instruments": ("order_book_id", "symbol", "category", "exchange", "listed_date"),
    "daybar": ("date", "open", "high", "low", "close", "volume"),
    "minbar": ("datetime", "open", "high", "low", "close", "volume"),
    "calendar": ("date",),
    "ex_factors": ("order_book_id", "ex_date", "ex_cum_factor"),
    "suspended": ("order_book_id", "date"),
}
NIGHT_FROM = 18 * 60


class Converted(NamedTuple):
    instruments: int
    daily_bars: int
    minute_bars: int


class CsvError(VantorelError):
    """Input that cannot be turned into a bundle; says which file and which line."""


def _code_of(name):
    """The stem of a ``<stem>.csv`` or ``<stem>.csv.gz`` file name, or None; a drop made on Windows
    spells the extension in capitals."""
    lower = name.lower()
    for extension in (".csv.gz", ".csv"):
        if lower.endswith(extension):
            return name[: -len(extension)]
    return None


def find(path, name):
    """The file ``name``.csv or ``name``.csv.gz under ``path`` (either case of the extension), or None."""
    try:
        names = sorted(os.listdir(path))
    except OSError:
        return None
    for candidate in names:
        if _code_of(candidate) == name and os.path.isfile(os.path.join(path, candidate)):
            return os.path.join(path, candidate)
    return None


def is_csv_layout(path):
    return os.path.isdir(path) and find(path, INSTRUMENTS) is not None


def _rows(path, kind):
    """(line number, {column: text}) of a CSV file, after its header holds the required columns."""
    opener = gzip.open if path.lower().endswith(".gz") else open
    try:
        with opener(path, "rt", encoding="utf-8-sig", newline="") as f:
            reader = csv.reader(f)
            header = [name.strip().lower() for name in next(reader, [])]
            missing = [name for name in REQUIRED[kind] if name not in header]
            if missing:
                raise CsvError(f"{path} 缺少必需的列：{'、'.join(missing)}（第 1 行应为列名）")
            for number, values in enumerate(reader, start=2):
                if not values or not any(v.strip() for v in values):
                    continue
                if len(values) != len(header):
                    raise CsvError(f"{path} 第 {number} 行有 {len(values)} 个字段，列名有 {len(header)} 个")
                yield number, {name: value.strip() for name, value in zip(header, values)}
    except (OSError, UnicodeDecodeError, csv.Error, EOFError) as exc:
        raise CsvError(f"无法读取 {path}：{exc}") from None


def _date(text, path, number, column):
    digits = text.replace("-", "")
    try:
        if len(digits) != 8 or not digits.isdigit():
            raise ValueError(text)
        day = datetime.date(int(digits[:4]), int(digits[4:6]), int(digits[6:]))
    except ValueError:
        raise CsvError(f"{path} 第 {number} 行的 {column} 不是日期（YYYY-MM-DD 或 YYYYMMDD）：{text!r}") from None
    return day.year * 10000 + day.month * 100 + day.day


def _moment(text, path, number, column):
    try:
        moment = datetime.datetime.fromisoformat(text.replace("T", " "))
    except ValueError:
        raise CsvError(f"{path} 第 {number} 行的 {column} 不是日期时间（YYYY-MM-DD HH:MM[:SS]）：{text!r}") from None
    return moment


def _number(text, path, number, column, integer=False, default=None):
    if text == "" and default is not None:
        return default
    try:
        value = float(text)
    except ValueError:
        raise CsvError(f"{path} 第 {number} 行的 {column} 不是数字：{text!r}") from None
    if integer and not (math.isfinite(value) and value == int(value)):
        raise CsvError(f"{path} 第 {number} 行的 {column} 应为整数：{text!r}")
    return int(value) if integer else value


# One session, as the bundle labels its minutes: the first and the last bar's end of minute.
_SESSION = re.compile(r"(\d{1,2}):(\d{2})-(\d{1,2}):(\d{2})")


def _trading_hours(text, path, number):
    """``text`` when every comma-separated part is a session HH:MM-HH:MM the checks can use: an
    unreadable one would silently turn the session checks off for the instrument."""
    for part in text.split(",") if text else ():
        match = _SESSION.fullmatch(part.strip())
        hours = [int(g) for g in match.groups()] if match else []
        if not hours or hours[0] > 23 or hours[2] > 23 or hours[1] > 59 or hours[3] > 59 or hours[:2] > hours[2:]:
            raise CsvError(f"{path} 第 {number} 行的 trading_hours 应为逗号分隔的 HH:MM-HH:MM，"
                           f"每节第一根到最后一根分钟线的结束时刻（如 09:31-11:30,13:01-15:00）：{text!r}")
    return text


def _instruments(source):
    import numpy as np

    path = find(source, INSTRUMENTS)
    rows = []
    for number, row in _rows(path, "instruments"):
        category = row["category"].lower()
        if category not in TAG_MAP:
            raise CsvError(f"{path} 第 {number} 行的 category 应为 {', '.join(TAG_MAP)} 之一：{row['category']!r}")
        if len(row["exchange"].encode()) > 8:
            raise CsvError(f"{path} 第 {number} 行的 exchange 超过 8 个字节：{row['exchange']!r}")
        code = row["order_book_id"]
        if not code or "/" in code or "\\" in code or code.startswith("."):
            raise CsvError(f"{path} 第 {number} 行的 order_book_id 无效：{code!r}")
        rows.append((
            code.encode(), _clip(row["symbol"], 64), category.encode(), TAG_MAP[category].encode()[:16],
            row["exchange"].encode(), row.get("underlying_symbol", "").encode()[:16], b"",
            _date(row["listed_date"], path, number, "listed_date"),
            _date(row["de_listed_date"], path, number, "de_listed_date") if row.get("de_listed_date") else 0,
            _number(row.get("round_lot", ""), path, number, "round_lot", integer=True, default=1),
            _number(row.get("tick_size", ""), path, number, "tick_size", default=0.0),
            _number(row.get("contract_multiplier", ""), path, number, "contract_multiplier", default=1.0),
            0.0, b"", _trading_hours(row.get("trading_hours", ""), path, number).encode()[:96]))
    if not rows:
        raise CsvError(f"{path} 中没有合约")
    table = np.array(rows, dtype=storage.instrument_dtype())
    codes = [c.decode() for c in table["order_book_id"]]
    if len(set(codes)) != len(codes):
        raise CsvError(f"{path} 中有重复的 order_book_id")
    return table


def _clip(text, size):
    """``text`` in at most ``size`` bytes of UTF-8, cut between characters: a long fund name cut
    inside one would read back with a replacement character at its end."""
    return text.encode()[:size].decode("utf-8", "ignore").encode()


def _series_files(source, kind, known, echo):
    """{code: path} of the daybar/ or minbar/ files, refusing a code instruments.csv lacks; the
    other files there are named, since a series that is not read is data lost without a word."""
    directory = os.path.join(source, kind)
    found, skipped = {}, []
    if not os.path.isdir(directory):
        return found
    for name in sorted(os.listdir(directory)):
        code = _code_of(name)
        if code is None:
            if not name.startswith("."):
                skipped.append(name)
            continue
        if code not in known:
            raise CsvError(f"{os.path.join(directory, name)}：instruments.csv 中没有合约 {code}")
        if code in found:
            raise CsvError(f"{directory} 中合约 {code} 有两个文件：{os.path.basename(found[code])} 和 {name}")
        found[code] = os.path.join(directory, name)
    if skipped:
        echo("跳过 {} 中 {} 个不是 .csv 或 .csv.gz 的文件（如 {}）".format(
            directory, len(skipped), "、".join(skipped[:3])))
    return found


def _daily(path):
    import numpy as np

    rows, lines = [], []
    for number, row in _rows(path, "daybar"):
        lines.append(number)
        rows.append((_date(row["date"], path, number, "date") * 1000000,
                     *(_number(row[c], path, number, c) for c in ("open", "high", "low", "close")),
                     _number(row.get("prev_close", ""), path, number, "prev_close", default=float("nan")),
                     _number(row["volume"], path, number, "volume", integer=True),
                     _number(row.get("total_turnover", ""), path, number, "total_turnover", default=0.0),
                     _number(row.get("open_interest", ""), path, number, "open_interest", integer=True, default=0)))
    return _sorted(np.array(rows, dtype=storage.daybar_dtype()), lines, path)


def _minutes(path, calendar, label_start):
    import numpy as np

    rows, lines = [], []
    shift = datetime.timedelta(minutes=1 if label_start else 0)
    for number, row in _rows(path, "minbar"):
        lines.append(number)
        moment = _moment(row["datetime"], path, number, "datetime") + shift
        day = moment.year * 10000 + moment.month * 100 + moment.day
        if row.get("trading_date"):
            trading = _date(row["trading_date"], path, number, "trading_date")
        elif moment.hour * 60 + moment.minute >= NIGHT_FROM:
            at = int(np.searchsorted(calendar, day, side="right"))
            if at >= len(calendar):
                raise CsvError(f"{path} 第 {number} 行是夜盘，但交易日历中没有它之后的交易日；请提供 trading_date 列")
            trading = int(calendar[at])
        else:
            trading = day
        stamp = day * 1000000 + moment.hour * 10000 + moment.minute * 100 + moment.second
        rows.append((stamp, trading, *(_number(row[c], path, number, c) for c in ("open", "high", "low", "close")),
                     _number(row["volume"], path, number, "volume", integer=True),
                     _number(row.get("total_turnover", ""), path, number, "total_turnover", default=0.0),
                     _number(row.get("open_interest", ""), path, number, "open_interest", integer=True, default=0)))
    return _sorted(np.array(rows, dtype=storage.minbar_dtype()), lines, path)


def _sorted(arr, lines, path):
    import numpy as np

    order = np.argsort(arr["datetime"], kind="stable")
    arr = arr[order]
    repeated = np.flatnonzero(arr["datetime"][1:] == arr["datetime"][:-1])
    if len(repeated):
        first, second = sorted((lines[order[repeated[0]]], lines[order[repeated[0] + 1]]))
        raise CsvError(f"{path} 第 {first} 行和第 {second} 行的时间相同")
    return arr


def _table(source, name, kind, dtype, convert):
    import numpy as np

    path = find(source, name)
    if path is None:
        return None
    return np.array([convert(row, path, number) for number, row in _rows(path, kind)], dtype=dtype)


def convert(source, target, echo):
    """Write the bundle the CSV folder ``source`` describes under ``target`` (its bundle/ and
    minbar/); returns (instruments, daily bars, minute bars). Raises CsvError, having written
    nothing that counts, on bad input."""
    manifest = {}
    manifest_path = os.path.join(source, "manifest.json")
    if os.path.isfile(manifest_path):
        try:
            with open(manifest_path, encoding="utf-8") as f:
                manifest = json.load(f)
        except (OSError, ValueError) as exc:
            raise CsvError(f"无法读取 {manifest_path}：{exc}") from None
        if not isinstance(manifest, dict) or manifest.get("minute_label", "end") not in ("start", "end"):
            raise CsvError(f'{manifest_path} 的 minute_label 应为 "start" 或 "end"')
    table = _instruments(source)
    category = {c.decode(): k.decode() for c, k in zip(table["order_book_id"], table["category"])}
    daily = {code: _daily(path) for code, path in _series_files(source, "daybar", category, echo).items()}
    exchange_of = {c.decode(): e.decode() for c, e in zip(table["order_book_id"], table["exchange"])}
    dates, early, exchanges = _calendars(source, exchange_of, daily, echo)
    label_start = manifest.get("minute_label") == "start"
    own_days = {name: days for name, (days, _early) in exchanges.items()}
    minutes = {code: _minutes(path, own_days.get(exchange_of[code], dates), label_start)
               for code, path in _series_files(source, "minbar", category, echo).items()}
    ex_factors = _table(source, "ex_factors", "ex_factors", storage.EX_FACTOR_FIELDS,
                        lambda row, path, n: (_known(row["order_book_id"], category, path, n),
                                              _date(row["ex_date"], path, n, "ex_date"),
                                              _number(row["ex_cum_factor"], path, n, "ex_cum_factor")))
    suspended = _table(source, "suspended", "suspended", storage.SUSPENDED_FIELDS,
                       lambda row, path, n: (_known(row["order_book_id"], category, path, n),
                                             _date(row["date"], path, n, "date")))

    directory = storage.bundle_dir(target)
    storage.write_instruments(directory, table)
    storage.write_trading_dates(directory, dates, early, exchanges)
    by_category = {}
    for code, bars in daily.items():
        by_category.setdefault(category[code], {})[code] = bars
    for cat, bars in by_category.items():
        storage.write_daybars(directory, cat, bars)
    for code, bars in minutes.items():
        storage.write_minbar(target, category[code], code, bars)
    if ex_factors is not None:
        storage.write_table(directory, "ex_factors", ex_factors)
    if suspended is not None:
        storage.write_table(directory, "suspended", suspended)
    return len(table), sum(map(len, daily.values())), sum(map(len, minutes.values()))


def _known(code, category, path, number):
    if code not in category:
        raise CsvError(f"{path} 第 {number} 行：instruments.csv 中没有合约 {code}")
    return code.encode()


def _calendars(source, exchange_of, daily, echo):
    """(days, early closes, {exchange: (days, early closes)}) of the bundle: from calendar.csv,
    per exchange when it has an exchange column; else from the dates of the daily bars, per
    exchange when instruments.csv names several. The bundle-wide days are then the union, with
    no early closes of their own: a day one exchange closes early, another may trade whole."""
    import numpy as np

    names = sorted(set(exchange_of.values()) - {""})
    path = find(source, "calendar")
    if path is None:
        days = _daily_dates(daily.values())
        if len(names) < 2 or not daily:
            echo("未提供 calendar.csv：交易日历取自日线中出现过的 {} 个日期".format(len(days)))
            return days, _no_early_closes(), {}
        bars_of = {}
        for code, bars in daily.items():
            bars_of.setdefault(exchange_of[code], []).append(bars)
        exchanges = {name: (_daily_dates(bars_of[name]), _no_early_closes()) for name in names if name in bars_of}
        echo("未提供 calendar.csv：各交易所的交易日历取自其合约日线中出现过的日期（{}）".format(
            "，".join("{} {} 个".format(name, len(d)) for name, (d, _e) in exchanges.items())))
    else:
        closes_of = {}  # {exchange, or None without the column: {day: close time, 0 for a full day}}
        for number, row in _rows(path, "calendar"):
            name = row.get("exchange")
            if name == "":
                raise CsvError(f"{path} 第 {number} 行的 exchange 为空：有 exchange 列时每行都应写明交易所")
            if name is not None and name not in names:
                raise CsvError(f"{path} 第 {number} 行的 exchange 不是 instruments.csv 中任何合约的交易所：{name!r}")
            day = _date(row["date"], path, number, "date")
            closes = closes_of.setdefault(name, {})
            if day in closes:
                raise CsvError(f"{path} 第 {number} 行的日期 {row['date']} 重复")
            close = _clock(row["close_time"], path, number, "close_time") if row.get("close_time") else 0
            if row.get("close_time") and not close:
                # Stored, 0 means a full day: a close at midnight would silently be none.
                raise CsvError(f"{path} 第 {number} 行的 close_time 不能是 00:00（应为提前收盘日最后一根分钟线的结束时刻）")
            closes[day] = close
        if None in closes_of or not closes_of:
            return (*_calendar_of(closes_of.get(None, {})), {})
        exchanges = {name: _calendar_of(closes) for name, closes in sorted(closes_of.items())}
        days = np.unique(np.concatenate([d for d, _e in exchanges.values()])).astype("i4")
        # Which market got which calendar is what the checks will go by: said once, here.
        echo("calendar.csv：各交易所的交易日历（{}）".format("；".join(
            "{} {} 个交易日{}".format(name, len(d), "，其中 {} 个提前收盘".format(len(e)) if len(e) else "")
            for name, (d, e) in exchanges.items())))
    lacking = [name for name in names if name not in exchanges]
    if lacking:
        echo("{} 没有自己的交易日历：其合约按各交易所日历的并集检查".format("、".join(lacking)))
    return days, _no_early_closes(), exchanges


def _no_early_closes():
    import numpy as np

    return np.zeros(0, storage.EARLY_CLOSE_FIELDS)


def _daily_dates(series):
    import numpy as np

    return np.unique(np.concatenate([d["datetime"] // 1000000 for d in series] or [np.zeros(0, "i8")])).astype("i4")


def _calendar_of(closes):
    """(days, early closes) of {day: close time, 0 for a full day}."""
    import numpy as np

    days = sorted(closes)
    early = [(day, closes[day]) for day in days if closes[day]]
    return np.array(days, dtype="i4"), np.array(early, dtype=storage.EARLY_CLOSE_FIELDS)


def _clock(text, path, number, column):
    """HHMM of a time of day written HH:MM[:SS] or HHMM."""
    parts = text.split(":")
    try:
        if len(parts) == 1 and len(text) in (3, 4) and text.isdigit():
            hours, minutes = int(text[:-2]), int(text[-2:])
        elif len(parts) in (2, 3) and all(p.isdigit() for p in parts):
            hours, minutes = int(parts[0]), int(parts[1])
        else:
            raise ValueError(text)
        datetime.time(hours, minutes)
    except ValueError:
        raise CsvError(f"{path} 第 {number} 行的 {column} 不是时刻（HH:MM）：{text!r}") from None
    return hours * 100 + minutes
