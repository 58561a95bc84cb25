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
    st_status.csv, listing_marks.csv, and a ``continuous`` column of instruments.csv: see status.py
    manifest.json            {"minute_label": "start"} when minute bars are labelled by the start
                             of their minute (the bundle labels them by the end)   (optional)

Dates are YYYY-MM-DD or YYYYMMDD, date-times YYYY-MM-DD HH:MM[:SS] in exchange-local time (no UTC
offset), of 1900 to 2099 but for a de-listing date; ``category`` is a name of TAG_MAP. ``close_time`` (HH:MM, exchange-local) marks an early close: the
day's last minute bar is labelled by it. With an ``exchange`` column, each exchange of
instruments.csv that calendar.csv names gets a calendar of its own. Without ``calendar.csv`` the
calendar is the set of dates on which any daily bar exists, and when instruments.csv names several
exchanges each has the dates of its own instruments' daily bars. The bundle-wide calendar is the
union; an instrument is checked against its exchange's calendar where there is one. A minute bar's
trading day, when the file does not give it, is its date, or for a bar at 18:00 or later (a night
session) the next trading day of its exchange's calendar.

Bad input is refused naming the file and the line, before anything is swapped in; ``convert`` writes
the bundle's bundle/ and minbar/ into a directory the caller stages and swaps in.
"""
import contextlib
import csv
import datetime
import gzip
import hashlib
import io
import itertools
import json
import math
import os
import stat
import zlib
from typing import NamedTuple

from vantorel.bundle import places, writing
from vantorel.errors import VantorelError, one_line
from vantorel.market import schemas
from vantorel.ombrel.sdk.const import TAG_MAP
from vantorel.sources import status, vendor

INSTRUMENTS = "instruments"
REQUIRED = {
    "instruments": ("order_book_id", "symbol", "category", "exchange", "listed_date"),
    "daybar": ("date", "open", "high", "low", "close", "volume"),
    "minbar": ("datetime", "open", "high", "low", "close", "volume"),
    # A file of one day holding every code: daybar/<YYYYMMDD>.csv, minbar/<YYYYMMDD>.csv.
    "daybar_day": ("order_book_id", "open", "high", "low", "close", "volume"),
    "minbar_day": ("order_book_id", "datetime", "open", "high", "low", "close", "volume"),
    "calendar": ("date",),
    "ex_factors": ("order_book_id", "ex_date", "ex_cum_factor"),
    "suspended": ("order_book_id", "date"),
    **status.REQUIRED,
}
NIGHT_FROM = 18 * 60
# A line longer than this is no market data; reading it whole would let one newline-free file
# (a stray binary, /dev/zero behind a link) take all the memory.
LINE_LIMIT = 1 << 20
# A .csv.gz that inflates past the floor to more than this many times its size is a bomb: text of
# numbers compresses some 3 to 20 times.
GZIP_MAX_RATIO = 50
GZIP_RATIO_FLOOR = 16 << 20
# Rows parsed into Python tuples before they are packed into a numpy array: a tuple of a bar
# costs several times the packed row, so the file's rows are never all held as tuples.
PACK_ROWS = 1 << 16
# Bars, calendars and events before 1900 or after 2099 are a typo, and would overflow the time
# types of readers (pandas); a de-listing date may be a far-off "never" such as 9999-12-31.
FIRST_YEAR, LAST_YEAR = 1900, 2099
_INT_RANGE = {32: 2 ** 31, 64: 2 ** 63}


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


def _files_named(path, name):
    """The entries ``name``.csv or ``name``.csv.gz under ``path``, the extension in either case.

    Whatever lies at the name counts, a directory, fifo or dangling link too: passed over, an
    ex_factors.csv would leave the adjusted prices without their factors and the import would
    still report success. Reading it then refuses it by name."""
    try:
        names = sorted(os.listdir(path))
    except OSError:
        return []
    return [os.path.join(path, c) for c in names if _code_of(c) == name]


def find(path, name):
    """The file ``name``.csv or ``name``.csv.gz under ``path`` (either case of the extension), or None."""
    found = _files_named(path, name)
    if len(found) > 1:
        # Taking either would silently drop the other's rows.
        raise CsvError(f"{found[0]} 与 {found[1]} 同时存在，不知应读哪一个；请删去其中一个")
    return found[0] if found else None


def is_csv_layout(path):
    # Recognising the layout must not refuse it: convert() says what is wrong, with the bundle untouched.
    return bool(_files_named(path, INSTRUMENTS))


class _Capped(io.RawIOBase):
    """The inflated bytes of a .csv.gz, refused once they outgrow the compressed file like a bomb."""

    def __init__(self, packed, path):
        self._packed = packed
        self._packed_size = max(os.fstat(packed.fileno()).st_size, 1)
        self._stream = gzip.GzipFile(fileobj=packed, mode="rb")
        self._path = path
        self._total = 0

    def readable(self):
        return True

    def fileno(self):
        return self._packed.fileno()

    def close(self):
        self._packed.close()
        super().close()

    def readinto(self, buffer):
        n = self._stream.readinto(buffer)
        self._total += n
        if self._total > GZIP_RATIO_FLOOR and self._total > GZIP_MAX_RATIO * self._packed_size:
            raise CsvError(f"已拒绝 {self._path}：解压后超过压缩文件的 {GZIP_MAX_RATIO} 倍（疑似压缩炸弹）")
        return n


def _open_regular(path):
    """``path`` opened for reading in binary, if it is a regular file (after links): a fifo would
    block the import for good and a device would never end."""
    _refuse_links_of_others(path)
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    except FileNotFoundError:
        if os.path.islink(path):
            raise CsvError(f"{path} 是指向不存在文件的符号链接；请让它指向数据文件，或删去它") from None
        raise CsvError(f"无法读取 {path}：文件不存在") from None
    except OSError as exc:
        raise CsvError(f"无法读取 {path}：{exc.strerror or exc}") from None
    try:
        opened = os.fstat(fd)
        mode = opened.st_mode
        if not stat.S_ISREG(mode):
            what = "目录" if stat.S_ISDIR(mode) else "管道" if stat.S_ISFIFO(mode) else "设备或其他特殊文件"
            raise CsvError(f"{path} 不是普通文件（是{what}）；请换成普通文件，或删去它")
        # Looked at again once opened: another user may exchange the name for a link of theirs
        # between the look and the open. The file opened must be the one the name leads to now,
        # through no link of theirs.
        _refuse_links_of_others(path)
        now = os.stat(path)
        if (now.st_dev, now.st_ino) != (opened.st_dev, opened.st_ino):
            raise CsvError(f"{path} 在读取时被换成了另一个文件；请确认没有别人在改动这个目录后重试")
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def _refuse_links_of_others(path, levels=4):
    """Refuse a link another user made on the way to a file of a folder (the file, its directories,
    the folder): through it the user's own command would copy a file only the user may read into a
    bundle others may read. A link of the user's own, or of root's, is followed."""
    if not hasattr(os, "geteuid"):
        return
    here = os.path.abspath(path)
    for _level in range(levels):
        try:
            info = os.lstat(here)
        except OSError:
            return
        if stat.S_ISLNK(info.st_mode) and info.st_uid not in (os.geteuid(), 0):
            from vantorel.bundle import nofollow

            raise CsvError(f"{here} 是用户 {nofollow.owner_name(info.st_uid)} 建的符号链接：为免把只有你能读的文件"
                           "读进别人也能读的 bundle，未跟随它；请换成文件本身，或由你自己建这个链接")
        here = os.path.dirname(here)


def _lines(text, path):
    while True:
        line = text.readline(LINE_LIMIT + 1)
        if not line:
            return
        if len(line) > LINE_LIMIT:
            raise CsvError(f"{path} 中有一行超过 {LINE_LIMIT} 个字符，不是 CSV 数据")
        if "\0" in line:
            # csv of Python 3.10 refuses NUL and later versions pass it on into codes and paths.
            raise CsvError(f"{path} 中含有 NUL 字符，不是文本 CSV 数据")
        yield line


class Tap(io.RawIOBase):
    """A file as read, with what tells later whether the part read is still the same: its size, its
    lines, digests of its first and of its last KiB (and, with ``whole``, of all of it)."""

    HEAD = 1024
    LAST = 1024

    def __init__(self, raw, whole=False):
        self.raw = raw
        self.size = self.lines = 0
        self.head = bytearray()
        self.last = b""
        self.whole = hashlib.sha256() if whole else None
        # The size and time as opened: a change made while it is read shows next round.
        opened = os.fstat(raw.fileno())
        self.mtime_ns, self.packed = opened.st_mtime_ns, opened.st_size

    def readable(self):
        return True

    def fileno(self):
        return self.raw.fileno()

    def readinto(self, buffer):
        n = self.raw.readinto(buffer)
        if n:
            chunk = bytes(memoryview(buffer)[:n])
            self.size += n
            self.lines += chunk.count(b"\n")
            if len(self.head) < self.HEAD:
                self.head += chunk[:self.HEAD - len(self.head)]
            self.last = (self.last + chunk)[-self.LAST:]
            if self.whole is not None:
                self.whole.update(chunk)
        return n

    def close(self):
        self.raw.close()
        super().close()

    def taken(self):
        """What was read, as the record of what a series has taken from the file."""
        if self.whole is not None:
            return {"size": self.size, "mtime_ns": self.mtime_ns, "sha": self.whole.hexdigest()[:32]}
        record = {"size": self.size, "lines": self.lines, "head": digest(bytes(self.head)), "last": digest(self.last)}
        if isinstance(self.raw, _Capped):
            # A .csv.gz is read whole whenever it changes; unchanged, its size and time say so.
            record.update(packed=self.packed, mtime_ns=self.mtime_ns)
        return record


def digest(data):
    return hashlib.sha256(data).hexdigest()[:32]


def _rows(path, kind, raw=None, first_number=2, inflated=False):
    """(line number, {column: text}) of a CSV file, after its header holds the required columns.
    ``raw``, when given, is the file already opened in binary (``inflated``: a .csv.gz's text); its
    rows are numbered from ``first_number`` on (a tail read after its header)."""
    raw = _open_regular(path) if raw is None else raw
    try:
        with raw:
            binary = io.BufferedReader(_Capped(raw, path)) if is_gzip(path) and not inflated else raw
            text = io.TextIOWrapper(io.BufferedReader(vendor.Transcoded(binary, path)), encoding="utf-8-sig", newline="")
            reader = csv.reader(_lines(text, path))
            header, fix = vendor.columns([name.strip().lower() for name in next(reader, [])], kind, path)
            missing = [name for name in REQUIRED[kind] if name not in header]
            if missing:
                raise CsvError(f"{path} 缺少必需的列：{'、'.join(missing)}（第 1 行应为列名）")
            twice = sorted({name for name in header if name and header.count(name) > 1})
            if twice:
                raise CsvError(f"{path} 第 1 行的列名重复：{'、'.join(twice)}")
            for number, values in enumerate(reader, start=first_number):
                if not values or not any(v.strip() for v in values):
                    continue
                if len(values) != len(header):
                    raise CsvError(f"{path} 第 {number} 行有 {len(values)} 个字段，列名有 {len(header)} 个")
                row = {name: value.strip() for name, value in zip(header, values)}
                yield number, row if fix is None else fix(row)
    except UnicodeDecodeError:
        raise CsvError(vendor.undecodable(path)) from None
    except (OSError, csv.Error, EOFError, zlib.error) as exc:
        raise CsvError(f"无法读取 {path}：{getattr(exc, 'strerror', None) or exc}") from None


def _date(text, path, number, column, last_year=LAST_YEAR):
    digits = vendor.excel_date(text).replace("-", "")
    try:
        if len(digits) != 8 or not digits.isdigit():
            raise ValueError(text)
        day = datetime.date(int(digits[:4]), int(digits[4:6]), int(digits[6:]))
    except ValueError:
        raise CsvError(f"{path} 第 {number} 行的 {column} 不是日期（YYYY-MM-DD 或 YYYYMMDD）：{text!r}") from None
    if not FIRST_YEAR <= day.year <= last_year:
        raise CsvError(f"{path} 第 {number} 行的 {column} 应在 {FIRST_YEAR} 到 {last_year} 年之间：{text!r}")
    return day.year * 10000 + day.month * 100 + day.day


def _moment(text, path, number, column):
    try:
        moment = datetime.datetime.fromisoformat(vendor.excel_date(text).replace("T", " "))
        if moment.tzinfo is not None:
            raise ValueError(text)  # the bundle keeps exchange-local time; an offset would be dropped unseen
    except ValueError:
        raise CsvError(f"{path} 第 {number} 行的 {column} 不是日期时间（YYYY-MM-DD HH:MM[:SS]，交易所当地时间）：{text!r}") from None
    if not FIRST_YEAR <= moment.year <= LAST_YEAR:
        raise CsvError(f"{path} 第 {number} 行的 {column} 应在 {FIRST_YEAR} 到 {LAST_YEAR} 年之间：{text!r}")
    return moment


def _number(text, path, number, column, integer=False, default=None, bits=64):
    if text == "" and default is not None:
        return default
    try:
        value = float(text)
        if not math.isfinite(value):
            raise ValueError(text)  # "nan", "inf" and "1e999" parse, but are no price or volume
        if integer:
            if value != int(value) or not -_INT_RANGE[bits] <= int(value) < _INT_RANGE[bits]:
                raise ValueError(text)
            return int(value)
        return value
    except ValueError:
        raise CsvError(f"{path} 第 {number} 行的 {column} {'应为整数' if integer else '不是数字'}：{text!r}") from None


def _text_field(row, column, size, path, number):
    """A text of the instrument table, refused when longer than its field: cutting a code or the
    trading hours would make them say something else."""
    data = row.get(column, "").encode()
    if len(data) > size:
        raise CsvError(f"{path} 第 {number} 行的 {column} 超过 {size} 个字节：{row[column]!r}")
    return data


def _valid_code(code):
    return (bool(code) and "/" not in code and "\\" not in code and not code.startswith(".")
            and not any(ord(c) < 32 or ord(c) == 127 for c in code))


def _instruments(source):
    import numpy as np

    from vantorel.market.sessions import parse_trading_hours

    path = find(source, INSTRUMENTS)
    rows = []
    for number, row in _rows(path, "instruments"):
        category = vendor.category(row["category"]).lower()
        if category not in TAG_MAP:
            raise CsvError(f"{path} 第 {number} 行的 category 应为 {', '.join(TAG_MAP)} 之一：{row['category']!r}")
        code = row["order_book_id"]
        if not _valid_code(code):
            raise CsvError(f"{path} 第 {number} 行的 order_book_id 无效：{code!r}")
        row["order_book_id"], row["exchange"] = vendor.instrument_code(code, row["exchange"], f"{path} 第 {number} 行", CsvError)
        hours = _text_field(row, "trading_hours", 96, path, number) or vendor.default_hours(row["order_book_id"], category).encode()
        if hours:
            try:
                sessions = parse_trading_hours(hours.decode())
                if any(not (0 <= a < 24 * 60 and 0 <= b < 24 * 60) for a, b in sessions):
                    raise ValueError(hours)
            except ValueError:
                raise CsvError(f"{path} 第 {number} 行的 trading_hours 应为 HH:MM-HH:MM[,HH:MM-HH:MM…]："
                               f"{row['trading_hours']!r}") from None
        rows.append((
            _text_field(row, "order_book_id", 32, path, number),
            _clip(row["symbol"], 64),  # a name is only shown: cut, but at a character
            category.encode(), TAG_MAP[category].encode()[:16],
            _text_field(row, "exchange", 8, path, number), _text_field(row, "underlying_symbol", 16, path, number), b"",
            _date(row["listed_date"], path, number, "listed_date"),
            _date(row["de_listed_date"], path, number, "de_listed_date", last_year=9999) if row.get("de_listed_date") else 0,
            _number(row.get("round_lot", ""), path, number, "round_lot", integer=True, default=1, bits=32),
            _number(row.get("tick_size", ""), path, number, "tick_size", default=0.0),
            _number(row.get("contract_multiplier", ""), path, number, "contract_multiplier", default=1.0),
            0.0, b"", hours))
    if not rows:
        raise CsvError(f"{path} 中没有合约")
    table = np.array(rows, dtype=schemas.instrument_dtype())
    codes = [c.decode() for c in table["order_book_id"]]
    if len(set(codes)) != len(codes):
        raise CsvError(f"{path} 中有重复的 order_book_id")
    return table


def _clip(text, size):
    """``text`` in at most ``size`` bytes of UTF-8, cut between characters: a long fund name cut
    inside one would read back with a replacement character at its end."""
    return text.encode()[:size].decode("utf-8", "ignore").encode()


class Files(NamedTuple):
    """The series files of daybar/ or minbar/: one a code, one a day holding every code, and (for
    minute bars) a directory a day holding one file a code."""
    per_code: dict  # code -> path
    per_day: dict  # YYYYMMDD -> path
    day_dirs: dict  # YYYYMMDD -> {code: path}


def _day_of(name):
    """The YYYYMMDD a file or directory of one day is named by, or None."""
    if len(name) != 8 or not name.isdigit():
        return None
    try:
        datetime.date(int(name[:4]), int(name[4:6]), int(name[6:]))
    except ValueError:
        return None
    return int(name)


def series_files(source, kind, known, echo):
    """The ``Files`` of daybar/ or minbar/, refusing a code instruments.csv lacks; the other files
    there are named, since a series that is not read is data lost without a word. A name of eight
    digits that is no code is a day: a file of every code's bars, or a directory of per-code files."""
    directory = os.path.join(source, kind)
    files = Files({}, {}, {})
    if not os.path.isdir(directory):
        if os.path.lexists(directory):
            # Passed over, its bars would be missing from a bundle reported as converted.
            raise CsvError(f"{directory} 不是目录；{kind} 的文件应放在目录 {kind}/ 中，请改正或删去它")
        return files
    skipped = []
    for name in _listing(directory):
        code = _code_of(name)
        path = os.path.join(directory, name)
        day = _day_of(name)
        if code is None:
            if kind == "minbar" and day is not None and name not in known and os.path.isdir(path):
                files.day_dirs[day] = {}
                for inner in _listing(path):
                    inner_code = _code_of(inner)
                    if inner_code is None:
                        if not inner.startswith("."):
                            skipped.append(f"{name}/{inner}")
                        continue
                    _take_code(files.day_dirs[day], inner_code, os.path.join(path, inner), known)
            elif not name.startswith("."):
                skipped.append(name)
            continue
        day = _day_of(code)
        if code not in known and day is not None:
            if day in files.per_day:
                raise CsvError(f"{directory} 中 {code} 日有两个文件：{os.path.basename(files.per_day[day])} 和 {name}")
            files.per_day[day] = path
            continue
        _take_code(files.per_code, code, path, known)
    if skipped:
        echo("跳过 {} 中 {} 个不是 .csv 或 .csv.gz 的文件（如 {}）".format(
            directory, len(skipped), "、".join(map(one_line, skipped[:3]))))
    return files


def _listing(directory):
    try:
        return sorted(os.listdir(directory))
    except OSError as exc:
        raise CsvError(f"无法读取目录 {directory}：{exc.strerror or exc}") from None


def _take_code(found, code, path, known):
    code = vendor.resolve(code, path, CsvError)
    if code not in known:
        raise CsvError(f"{path}：instruments.csv 中没有合约 {code}")
    if code in found:
        directory = os.path.dirname(path)
        raise CsvError(f"{directory} 中合约 {code} 有两个文件：{os.path.basename(found[code])} 和 {os.path.basename(path)}")
    found[code] = path
    vendor.note_series(path, known[code])


def is_gzip(path):
    return path.lower().endswith(".gz")


def read_tapped(path, kind, whole=False):
    """(numbered rows, tap) of a whole file: once the rows are read, ``tap.taken()`` records it
    (of a .csv.gz, what it inflates to)."""
    if is_gzip(path) and not whole:
        tap = Tap(inflated(path))
        return _rows(path, kind, raw=io.BufferedReader(tap), inflated=True), tap
    tap = Tap(_open_regular(path), whole=whole)
    return _rows(path, kind, raw=io.BufferedReader(tap)), tap


def inflated(path):
    """The text of a .csv.gz as a raw stream, refused as a bomb as any is."""
    return _Capped(_open_regular(path), path)


def split_by_code(path, numbered, known):
    """{code: [(line number, row)]} of the rows of a file of one day holding every code."""
    by_code = {}
    for number, row in numbered:
        code = vendor.resolve(row["order_book_id"], f"{path} 第 {number} 行", CsvError)
        if code not in known:
            raise CsvError(f"{path} 第 {number} 行：instruments.csv 中没有合约 {row['order_book_id']}")
        vendor.shares_of_day(path, row, known[code])
        by_code.setdefault(code, []).append((number, row))
    return by_code


def read_all(source, kind, files, known, parse, taken):
    """{code: rows} of every file of ``files``, each file's record put in ``taken`` under its name
    relative to ``source``; ``parse(code, path, numbered, day)`` makes a code's rows."""
    import numpy as np

    parts = {}
    for code, path in files.per_code.items():
        numbered, tap = read_tapped(path, kind)
        with contextlib.closing(numbered):
            parts.setdefault(code, []).append(parse(code, path, numbered, None))
        taken[relative(source, path)] = tap.taken()
    for day, path in files.per_day.items():
        numbered, tap = read_tapped(path, kind + "_day", whole=True)
        with contextlib.closing(numbered):
            by_code = split_by_code(path, numbered, known)
        for code, rows in by_code.items():
            parts.setdefault(code, []).append(parse(code, path, rows, day))
        taken[relative(source, path)] = tap.taken()
    for day, inner in files.day_dirs.items():
        for code, path in inner.items():
            parts.setdefault(code, []).append(parse(code, path, None, day))
        taken[f"{kind}/{day}/"] = {"files": len(inner)}
    return {code: arrays[0] if len(arrays) == 1 else _sorted(np.concatenate(arrays), f"{kind}/ 中合约 {code} 的文件", _pieces_in_any_order)
            for code, arrays in parts.items()}


def relative(source, path):
    return os.path.relpath(path, source).replace(os.sep, "/")


def _packed(rows, dtype):
    """The rows of an iterable of tuples as one numpy array, packed a slice at a time."""
    import numpy as np

    parts, pending = [], []
    for row in rows:
        pending.append(row)
        if len(pending) >= PACK_ROWS:
            parts.append(np.array(pending, dtype=dtype))
            pending = []
    parts.append(np.array(pending, dtype=dtype))
    return parts[0] if len(parts) == 1 else np.concatenate(parts)


def _daily(path, echo, numbered=None, day=None):
    """The daily bars of a file (or of ``numbered`` rows of it); ``day`` is the date of a file of
    one day, for rows that give none."""
    def rows():
        for number, row in numbered if numbered is not None else _rows(path, "daybar"):
            date = row.get("date") or ""
            yield ((_date(date, path, number, "date") if date or day is None else day) * 1000000,
                   *(_number(row[c], path, number, c) for c in ("open", "high", "low", "close")),
                   _number(row.get("prev_close", ""), path, number, "prev_close", default=float("nan")),
                   _number(row["volume"], path, number, "volume", integer=True),
                   _number(row.get("total_turnover", ""), path, number, "total_turnover", default=0.0),
                   _number(row.get("open_interest", ""), path, number, "open_interest", integer=True, default=0))

    return _sorted(_packed(rows(), schemas.daybar_dtype()), path, echo)


def _minutes(path, calendar, label_start, echo, bar_minutes=1, numbered=None):
    import numpy as np

    shift = datetime.timedelta(minutes=bar_minutes if label_start else 0)

    def rows():
        for number, row in numbered if numbered is not None else _rows(path, "minbar"):
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
            yield (stamp, trading, *(_number(row[c], path, number, c) for c in ("open", "high", "low", "close")),
                   _number(row["volume"], path, number, "volume", integer=True),
                   _number(row.get("total_turnover", ""), path, number, "total_turnover", default=0.0),
                   _number(row.get("open_interest", ""), path, number, "open_interest", integer=True, default=0))

    return _sorted(_packed(rows(), schemas.minbar_dtype()), path, echo, shift)


def _pieces_in_any_order(_said):
    """The files of a series (a file of its own, files of one day) are taken in any order: put in
    order, they are no file whose rows were out of order."""


def _sorted(arr, path, echo, shift=datetime.timedelta(0)):
    import numpy as np

    order = np.argsort(arr["datetime"], kind="stable")
    moved = int(np.count_nonzero(order != np.arange(len(order))))
    if moved:
        # A file out of order is often two files joined or a feed replayed: said, not hidden.
        echo(f"{path} 中的行没有按时间先后排列：已按时间重新排序（{moved} 行换了位置）")
    arr = arr[order]
    if len(arr) > 1:
        twice = np.flatnonzero(arr["datetime"][1:] == arr["datetime"][:-1])
        if len(twice):
            day, clock = divmod(int(arr["datetime"][twice[0]]), 1000000)
            when = datetime.datetime(day // 10000, day // 100 % 100, day % 100, clock // 10000, clock // 100 % 100,
                                     clock % 100) - shift  # as the file writes it
            when = when.strftime("%Y-%m-%d %H:%M:%S") if clock else when.strftime("%Y-%m-%d")
            raise CsvError(f"{path} 中有重复的时间：{when} 出现了不止一次")
    return arr


def _table(source, name, kind, dtype, convert, key=None):
    """The rows of an optional table; a second row with the same ``key`` columns is refused by line."""
    path = find(source, name)
    if path is None:
        return None
    seen = {}

    def rows():
        for number, row in _rows(path, kind):
            values = convert(row, path, number)
            if key is not None:
                first = seen.setdefault(values[:key], number)
                if first != number:
                    raise CsvError(f"{path} 第 {number} 行与第 {first} 行重复（{'、'.join(REQUIRED[kind][:key])} 相同）")
            yield values

    return _packed(rows(), dtype)


def _factor(text, path, number):
    value = _number(text, path, number, "ex_cum_factor")
    if value <= 0:
        # Prices are multiplied by it: zero or a sign flip would turn every adjusted price into nonsense.
        raise CsvError(f"{path} 第 {number} 行的 ex_cum_factor 应大于 0：{text!r}")
    return value


def _manifest(source):
    path = os.path.join(source, "manifest.json")
    if not os.path.lexists(path):
        return {}
    with _open_regular(path) as f:
        try:
            data = f.read(LINE_LIMIT + 1)
            if len(data) > LINE_LIMIT:
                raise ValueError(f"超过 {LINE_LIMIT} 字节")
            manifest = json.loads(data.decode("utf-8-sig"))
        except RecursionError:
            raise CsvError(f"无法读取 {path}：JSON 嵌套过深，不是 manifest（应如 {{\"minute_label\": \"start\"}}）") from None
        except (OSError, ValueError) as exc:
            raise CsvError(f"无法读取 {path}：{exc}") from None
    if not isinstance(manifest, dict):
        raise CsvError(f"{path} 应为 JSON 对象（如 {{\"minute_label\": \"start\"}}）")
    if manifest.get("minute_label", "end") not in ("start", "end"):
        raise CsvError(f'{path} 的 minute_label 应为 "start" 或 "end"')
    vendor.check_manifest(manifest, path, CsvError)
    return manifest


def convert(source, target, echo, origin=None):
    """Write the bundle the CSV folder ``source`` describes under ``target`` (its bundle/ and
    minbar/); returns (instruments, daily bars, minute bars). Raises CsvError on bad input; what
    it wrote by then lies in ``target``, which the caller stages and throws away. The bundle records
    ``origin`` (the folder itself unless given) as its source, and what it took of each file."""
    with vendor.reading(echo):
        return _convert(source, target, echo, origin)


def _convert(source, target, echo, origin):
    from vantorel.sources import provenance

    origin = origin or provenance.csv_folder(source)
    manifest = _manifest(source)
    table = _instruments(source)
    category = {c.decode(): k.decode() for c, k in zip(table["order_book_id"], table["category"])}
    taken = {}
    daily = read_all(source, "daybar", series_files(source, "daybar", category, echo), category,
                     lambda code, path, numbered, day: _daily(path, echo, numbered, day), taken)
    exchange_of = {c.decode(): e.decode() for c, e in zip(table["order_book_id"], table["exchange"])}
    dates, early, exchanges = _calendars(source, exchange_of, daily, echo)
    ex_factors, suspended = _events(source, category)
    minute_files = series_files(source, "minbar", category, echo)

    sources = provenance.Sources({"sources": [origin], "default": 0,
                                  "taken": taken if origin.get("kind") == "csv" else {}})
    directory = places.bundle_dir(target)
    by_category = {}
    for code, bars in daily.items():
        by_category.setdefault(category[code], {})[code] = bars
    for cat, bars in by_category.items():
        writing.write_daybars(directory, cat, bars)
    if ex_factors is not None:
        writing.write_table(directory, "ex_factors", ex_factors)
    if suspended is not None:
        writing.write_table(directory, "suspended", suspended)
    writing.write_trading_dates(directory, dates, early, exchanges)
    status.convert(source, directory, category)
    label_start = manifest.get("minute_label") == "start"
    own_days = {name: days for name, (days, _early) in exchanges.items()}

    bar_minutes = {}

    def minutes(code, path, numbered, _day):
        return _minutes(path, own_days.get(exchange_of[code], dates), label_start, echo,
                        bar_minutes.get(code, manifest.get("bar_minutes", 1)), numbered)

    minute_bars = 0
    if minute_files.per_day or minute_files.day_dirs:
        # Files of a day hold every code: the minutes are gathered whole before they are written,
        # and each code's interval is found from its bars (those of a start label are moved by it:
        # the manifest must say it then).
        series = read_all(source, "minbar", minute_files, category, minutes, sources.taken).items()
        for code, bars in series:
            bar_minutes[code] = vendor.bar_minutes(manifest, f"{code}（minbar/ 中按日的文件）",
                                                   lambda bars=bars: _moments_of(bars[:500]))
    else:
        # One instrument's minutes in memory at a time: a folder may hold years of them for thousands.
        def one(code, path):
            bar_minutes[code] = vendor.bar_minutes(manifest, path, lambda: _first_moments(path))
            return read_all(source, "minbar", Files({code: path}, {}, {}), category, minutes, sources.taken)[code]

        series = ((code, one(code, path)) for code, path in minute_files.per_code.items())
    for code, bars in series:
        writing.write_minbar(target, category[code], code, bars, bar_minutes.get(code, manifest.get("bar_minutes", 1)))
        minute_bars += len(bars)
    # Last: the record of what was taken describes the files written before it.
    writing.write_instruments(directory, table, {provenance.ATTRIBUTE: sources.text()})
    return len(table), sum(map(len, daily.values())), minute_bars


def _moments_of(bars):
    return [datetime.datetime.strptime(str(stamp), "%Y%m%d%H%M%S") for stamp in bars["datetime"].tolist()]


def _first_moments(path, count=500):
    """The datetimes of a minute-bar file's first bars, as written."""
    rows = _rows(path, "minbar")
    try:
        return [_moment(row["datetime"], path, number, "datetime") for number, row in itertools.islice(rows, count)]
    finally:
        rows.close()


def _events(source, category):
    """The ex-factor and suspension tables of the folder (None where it has none)."""
    ex_factors = _table(source, "ex_factors", "ex_factors", schemas.EX_FACTOR_FIELDS,
                        lambda row, path, n: (_known(row["order_book_id"], category, path, n),
                                              _date(row["ex_date"], path, n, "ex_date"),
                                              _factor(row["ex_cum_factor"], path, n)),
                        key=2)
    suspended = _table(source, "suspended", "suspended", schemas.SUSPENDED_FIELDS,
                       lambda row, path, n: (_known(row["order_book_id"], category, path, n),
                                             _date(row["date"], path, n, "date")),
                       key=2)
    return ex_factors, suspended


def _known(code, category, path, number):
    code = vendor.resolve(code, f"{path} 第 {number} 行", CsvError)
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
        if not len(days):
            # A bundle without a trading day could be neither checked nor updated.
            raise CsvError(f"{source} 中没有交易日：未提供 calendar.csv，daybar/ 中也没有一根日线"
                           "（只有列名的文件不算）；请提供 calendar.csv 或日线数据")
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
            name = vendor.kit_exchange_of(row.get("exchange"))
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

    return np.zeros(0, schemas.EARLY_CLOSE_FIELDS)


def _daily_dates(series):
    import numpy as np

    return np.unique(np.concatenate([d["datetime"] // 1000000 for d in series] or [np.zeros(0, "i8")])).astype("i4")


def _calendar_of(closes):
    """(days, early closes) of {day: close time, 0 for a full day}."""
    import numpy as np

    days = sorted(closes)
    early = [(day, closes[day]) for day in days if closes[day]]
    return np.array(days, dtype="i4"), np.array(early, dtype=schemas.EARLY_CLOSE_FIELDS)


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
