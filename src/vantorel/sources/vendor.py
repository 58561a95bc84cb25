"""How Chinese vendors write a CSV folder, read as the kit's own layout.

- Encodings: a file that is not UTF-8 is read as GB18030 (of which GBK and GB2312 are subsets), as
  Excel saves it on Chinese Windows; the output names the files so read. The choice is made on the
  first bytes that are not ASCII, which read alike in both, so a file is decoded once as it streams.
- Dates as Excel writes them there, ``2026/1/5`` and ``2026/1/5 9:35``.
- Column names: the usual Chinese headers (``日期``, ``开盘``, ``成交量``, ``代码`` ...) are taken as
  the kit's English ones; a unit in brackets after a volume (``成交量(手)``) says the file counts
  lots. Minute-bar files may give ``date`` and ``time`` in two columns.
- Codes: ``600000.SH``, ``sh600000``, ``SH600000``, or ``600000`` with an exchange column, are
  the kit's ``600000.XSHG`` (``.SZ`` is XSHE, ``.BJ`` BJSE, the exchange's own code); files and tables may name a code in any
  of these forms. Codes of other markets are taken as written. An instrument whose code was so
  written and whose trading hours are not given trades 09:31-11:30,13:01-15:00, as the A-share
  exchanges do.
- Bar interval: minute-bar files of 5, 15, 30 or 60 minutes (``"bar_minutes"`` in manifest.json,
  or found from the spacing of the bars) are stored as what they are.
- Volume in lots: ``"volume_unit": "lot"`` in manifest.json (or the header's unit) multiplies the
  volume of stocks, funds, indexes and convertibles by 100 shares (a lot, 手); futures and options
  count contracts, and are left as they are.

What was read so is said once a conversion, by ``Dialect.summary``.
"""
import codecs
import contextlib
import contextvars
import io
import re

BAR_MINUTES = (1, 5, 15, 30, 60)
LOT_SHARES = 100
A_SHARE_HOURS = "09:31-11:30,13:01-15:00"
# Categories whose volume a vendor gives in contracts, which are what the bundle holds.
COUNTED_IN_CONTRACTS = ("futures", "option")

EXCHANGES = {
    "XSHG": ("SH", "SSE", "XSHG", "上海", "上交所", "上海证券交易所", "沪", "上证"),
    "XSHE": ("SZ", "SZSE", "XSHE", "深圳", "深交所", "深圳证券交易所", "深", "深证"),
    "BJSE": ("BJ", "BSE", "BJSE", "XBSE", "北京", "北交所", "北京证券交易所", "京"),
}
_EXCHANGE_OF = {alias.upper(): kit for kit, aliases in EXCHANGES.items() for alias in aliases}
_SUFFIX = {"SH": "XSHG", "SZ": "XSHE", "BJ": "BJSE", "XSHG": "XSHG", "XSHE": "XSHE", "BJSE": "BJSE", "XBSE": "BJSE"}
_DOTTED = re.compile(r"(\d{6})\.([A-Za-z]{2,4})")
_PREFIXED = re.compile(r"([A-Za-z]{2})(\d{6})")
_BARE = re.compile(r"\d{6}")

HEADERS = {
    "date": ("日期", "交易日期"),
    "time": ("时间", "交易时间"),
    "datetime": ("日期时间",),
    "trading_date": ("交易日",),
    "open": ("开盘", "开盘价", "今开"),
    "high": ("最高", "最高价"),
    "low": ("最低", "最低价"),
    "close": ("收盘", "收盘价"),
    "prev_close": ("前收盘", "前收盘价", "昨收", "昨收盘", "昨收价"),
    "volume": ("成交量",),
    "total_turnover": ("成交额", "成交金额"),
    "open_interest": ("持仓量",),
    "order_book_id": ("代码", "证券代码", "股票代码", "合约代码"),
    "symbol": ("名称", "证券名称", "股票名称", "证券简称", "简称", "合约名称"),
    "exchange": ("交易所", "市场"),
    "category": ("类别", "品种类别"),
    "listed_date": ("上市日期",),
    "de_listed_date": ("退市日期",),
    "round_lot": ("每手股数",),
    "tick_size": ("最小变动价位",),
    "contract_multiplier": ("合约乘数",),
    "underlying_symbol": ("标的代码", "品种代码"),
    "trading_hours": ("交易时段",),
    "ex_date": ("除权日", "除权除息日"),
    "ex_cum_factor": ("复权因子", "累计复权因子"),
    "close_time": ("收盘时间",),
}
_HEADER_OF = {alias: name for name, aliases in HEADERS.items() for alias in aliases}
# "成交量(手)", "成交额（元）": the unit after the name.
_UNIT = re.compile(r"(.+?)\s*[(（]\s*([^)）]*)\s*[)）]")
CATEGORIES = {"股票": "stock", "期货": "futures", "基金": "fund", "指数": "index", "期权": "option",
              "可转债": "convertible"}

_current = contextvars.ContextVar("vendor_dialect", default=None)


class Dialect:
    """What one conversion read in a vendor's way, said once at its end (``summary``)."""

    def __init__(self):
        self.gb18030 = {}  # files read as GB18030 (a dict: a file read twice is named once)
        self.forms = {}  # {code form: [(as written, kit code)]}
        self.aliases = {}  # {a code as files may write it: kit code, None when two codes share it}
        self.categories = {}  # {series file: its instrument's category}
        self.lots = False  # volume_unit "lot" in manifest.json
        self.lot_files = {}  # files whose volume was given in lots
        self.lot_day_files = set()  # of those, files of one day: each row by its own code's category
        self.intervals = {}  # {bar minutes: [files]}, the files' own interval said or found
        self.found = set()  # files whose interval was found from the bars, not the manifest
        self.default_hours = 0  # instruments given the exchanges' trading hours
        self.vendor_codes = set()  # kit codes of instruments written in a vendor's form
        self.written = {}  # {kit code: as instruments.csv writes it}
        self.renamed = {}  # {a code as a file name or table writes it otherwise: kit code}

    def summary(self):
        lines = []
        if self.gb18030:
            lines.append("以下 {} 个文件不是 UTF-8，已按 GB18030（GBK）编码读取：{}".format(
                len(self.gb18030), _some(list(self.gb18030))))
        for form, pairs in self.forms.items():
            lines.append("代码按 {} 的写法读取：{} 个（如 {}）".format(
                form, len(pairs), "、".join(f"{written} → {kit}" for written, kit in pairs[:3])))
        if self.renamed:
            lines.append("文件名或表中另一种写法的代码 {} 个，已对应到合约（如 {}）".format(
                len(self.renamed), "、".join(f"{written} → {kit}" for written, kit in list(self.renamed.items())[:3])))
        if self.default_hours:
            lines.append("instruments.csv 未给出交易时段的 {} 个沪深北交易所合约，按 {} 检查".format(
                self.default_hours, A_SHARE_HOURS))
        for minutes, files in sorted(self.intervals.items()):
            if minutes != 1:
                how = "（按相邻分钟线的间隔判断；可在 manifest.json 中用 \"bar_minutes\" 指明）" \
                    if any(f in self.found for f in files) else "（manifest.json 的 bar_minutes）"
                lines.append("{} 个分钟线文件为 {} 分钟线{}：{}".format(len(files), minutes, how, _some(files)))
        if self.lot_files:
            lines.append("以下 {} 个文件的成交量以手计，已按每手 {} 股换算：{}".format(
                len(self.lot_files), LOT_SHARES, _some(list(self.lot_files))))
        return lines


def _some(items, shown=3):
    return "、".join(items[:shown]) + ("等" if len(items) > shown else "")


@contextlib.contextmanager
def reading(echo):
    """The dialect of one conversion, for the readers below; its summary echoed when it ends well."""
    dialect = Dialect()
    token = _current.set(dialect)
    try:
        yield dialect
    finally:
        _current.reset(token)
    for line in dialect.summary():
        echo(line)


def _dialect():
    return _current.get() or Dialect()


# ---- encodings ----------------------------------------------------------------------------------

class Transcoded(io.RawIOBase):
    """The bytes of a UTF-8 or GB18030 file as UTF-8. ASCII and UTF-8 pass through untouched (the
    reader decodes them, and refuses what is not); GB18030 is converted as it streams."""

    def __init__(self, binary, path):
        self._binary = binary
        self._path = path
        self._decoder = None  # set once the file shows it is GB18030
        self._decided = False
        self._out = b""
        self._at = 0  # how much of _out was handed on

    def readable(self):
        return True

    def readinto(self, buffer):
        while self._at >= len(self._out):
            chunk = self._binary.read(len(buffer))
            if not chunk:
                if self._decoder is not None:
                    self._decoder.decode(b"", final=True)  # a character cut short at the end
                return 0
            self._out, self._at = self._convert(chunk), 0
        n = min(len(buffer), len(self._out) - self._at)
        buffer[:n] = self._out[self._at:self._at + n]
        self._at += n
        return n

    def _convert(self, chunk):
        if self._decoder is not None:
            if chunk.isascii() and not self._decoder.getstate()[0]:
                return chunk  # the same bytes in both: the bulk of a bar file (numbers) is not converted
            return self._decoder.decode(chunk).encode()
        if self._decided or chunk.isascii():
            return chunk
        self._decided = True
        if chunk.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
            # Its ASCII would decode as ASCII and NUL bytes: the reader would call it no text at all.
            raise UnicodeDecodeError("utf-16", chunk, 0, 2, "UTF-16")
        try:
            # A chunk may end inside a character: only what is complete is judged.
            codecs.getincrementaldecoder("utf-8")().decode(chunk)
            return chunk
        except UnicodeDecodeError:
            pass
        self._decoder = codecs.getincrementaldecoder("gb18030")()
        text = self._decoder.decode(chunk)
        _dialect().gb18030[self._path] = None
        return text.encode()


def undecodable(path):
    """The message for a file that is neither UTF-8 nor GB18030 text."""
    from shlex import quote

    return (f"无法读取 {path}：既不是 UTF-8 也不是 GB18030（GBK）文本（UTF-16 等其他编码的文件请先转换为 UTF-8，"
            f"例如 iconv -f utf-16 -t utf-8 {quote(path)} > 新文件.csv）")


# ---- column names -------------------------------------------------------------------------------

def columns(header, kind, path):
    """(the kit's names of a file's columns, in the file's order, and a function fixing each row
    as the kit reads it or None). ``header``: the names as written, stripped and lower-cased."""
    names, in_lots = [], False
    for written in header:
        name, unit = written, ""
        matched = _UNIT.fullmatch(written)
        if written not in _HEADER_OF and matched:
            name, unit = matched.group(1), matched.group(2)
        name = _HEADER_OF.get(name, name)
        in_lots |= name == "volume" and unit in ("手", "lot", "lots")
        names.append(name)
    fixes = []
    base = kind[:-len("_day")] if kind.endswith("_day") else kind  # a file of one day holds every code
    if base == "daybar" and "date" not in names and "trading_date" in names:
        names[names.index("trading_date")] = "date"  # a daily file's 交易日 is its date
    if base == "minbar" and "datetime" not in names and "time" in names:
        # The time column holds the whole moment, or, beside a date column, the time of day.
        names[names.index("time")] = "datetime"
        if "date" in names:
            fixes.append(_joined_moment)
    dialect = _dialect()
    if base in ("daybar", "minbar") and (in_lots or dialect.lots):
        if base != kind:
            dialect.lot_files[path] = None
            dialect.lot_day_files.add(path)  # ``shares_of_day`` converts its rows, code by code
        elif dialect.categories.get(path) not in COUNTED_IN_CONTRACTS:
            dialect.lot_files[path] = None
            fixes.append(_shares)
    if not fixes:
        return names, None

    def fix(row):
        for one in fixes:
            one(row)
        return row

    return names, fix


def _joined_moment(row):
    row["datetime"] = "{} {}".format(_date_text(excel_date(row["date"])), _clock_text(row["datetime"]))


def excel_date(text):
    """A date (or the date of a date-time) written the way Excel saves it on Chinese Windows,
    2026/1/5 [9:35], as 2026-01-05 [09:35]; any other text as it is."""
    if "/" not in text:
        return text
    day, _, clock = text.partition(" ")
    parts = day.split("/")
    if len(parts) != 3 or not all(p.isdigit() for p in parts):
        return text
    hours, _, rest = clock.partition(":")
    clock = f" {hours.zfill(2)}:{rest}" if rest and hours.isdigit() else (" " + clock if clock else "")
    return f"{parts[0]}-{parts[1].zfill(2)}-{parts[2].zfill(2)}{clock}"


def _date_text(text):
    """A date written YYYYMMDD as YYYY-MM-DD, as a date-time writes it; other forms as they are."""
    return f"{text[:4]}-{text[4:6]}-{text[6:]}" if len(text) == 8 and text.isdigit() else text


def _clock_text(text):
    """A time of day written 0935, 093500 or 935 as 09:35[:00]; other forms as they are."""
    if text.isdigit() and 3 <= len(text) <= 6:
        text = text.zfill(4 if len(text) <= 4 else 6)
        return ":".join(text[i:i + 2] for i in range(0, len(text), 2))
    return text


def _shares(row):
    text = row.get("volume", "")
    try:
        row["volume"] = str(int(text) * LOT_SHARES) if text.isdigit() else repr(float(text) * LOT_SHARES)
    except ValueError:
        pass  # left as written, for the reader to refuse by line


def shares_of_day(path, row, category_name):
    """A row of a file of one day whose volume is in lots, in shares: unless its code's category
    counts contracts."""
    if path in _dialect().lot_day_files and category_name not in COUNTED_IN_CONTRACTS:
        _shares(row)


def category(text):
    return CATEGORIES.get(text, text)


def check_manifest(manifest, path, error):
    """Refuse a manifest's dialect settings that are not understood, and take the volume unit."""
    minutes = manifest.get("bar_minutes", 1)
    if isinstance(minutes, bool) or minutes not in BAR_MINUTES:
        raise error(f"{path} 的 bar_minutes 应为 {'、'.join(map(str, BAR_MINUTES))} 之一（每根分钟线的分钟数）")
    unit = manifest.get("volume_unit", "share")
    if unit not in ("share", "lot"):
        raise error(f'{path} 的 volume_unit 应为 "share"（股、份、张）或 "lot"（手，{LOT_SHARES} 股）')
    _dialect().lots = unit == "lot"


# ---- codes --------------------------------------------------------------------------------------

def instrument_code(code, exchange, where, error):
    """(the kit's code, the kit's exchange) of an instrument written ``code`` on ``exchange``,
    the way it was written noted; ``where`` names the file and line for a refusal."""
    kit_exchange = kit_exchange_of(exchange)
    form, digits, said = None, None, None
    if _DOTTED.fullmatch(code) and code[7:].upper() in _SUFFIX:
        digits, said = code[:6], _SUFFIX[code[7:].upper()]
        form = None if code[7:].upper() in EXCHANGES else "600000.SH"
    elif _PREFIXED.fullmatch(code) and code[:2].upper() in _SUFFIX:
        digits, said = code[2:], _SUFFIX[code[:2].upper()]
        form = "sh600000" if code[:2].islower() else "SH600000"
    elif _BARE.fullmatch(code) and kit_exchange in EXCHANGES:
        digits, said, form = code, kit_exchange, "600000 加交易所列"
    if digits is None:
        return code, kit_exchange
    if kit_exchange and kit_exchange != said:
        raise error(f"{where} 的代码 {code} 属于 {said}，而 exchange 为 {exchange}；请改正其中之一")
    kit = f"{digits}.{said}"
    dialect = _dialect()
    if form is not None:
        dialect.forms.setdefault(form, []).append((code, kit))
        dialect.vendor_codes.add(kit)
    dialect.written[kit] = code
    short = {"XSHG": "sh", "XSHE": "sz", "BJSE": "bj"}[said]
    for alias in (code, kit, short + digits, short.upper() + digits, f"{digits}.{short}", f"{digits}.{short.upper()}"):
        dialect.aliases[alias] = kit
    # A bare number names a code only while no other exchange lists it (000001 is an index in
    # Shanghai and a stock in Shenzhen).
    dialect.aliases[digits] = kit if dialect.aliases.get(digits, kit) == kit else None
    return kit, said


def default_hours(code, category_name):
    """The trading hours of an instrument whose code was written in a Chinese vendor's form and
    that instruments.csv gives none for; "" for any other, which is then not held to sessions."""
    if code not in _dialect().vendor_codes or category_name in COUNTED_IN_CONTRACTS:
        return ""
    _dialect().default_hours += 1
    return A_SHARE_HOURS


def kit_exchange_of(exchange):
    """The kit's name of an exchange a vendor writes SH, 上交所 ...; other names as they are."""
    return _EXCHANGE_OF.get(exchange.upper(), exchange) if exchange else exchange


def kit_code(text):
    """The kit's code a vendor's form of a Chinese code names (600000.SH, sh600000, SH600000), or None."""
    dotted, prefixed = _DOTTED.fullmatch(text), _PREFIXED.fullmatch(text)
    if dotted and dotted.group(2).upper() in _SUFFIX:
        return f"{dotted.group(1)}.{_SUFFIX[dotted.group(2).upper()]}"
    if prefixed and prefixed.group(1).upper() in _SUFFIX:
        return f"{prefixed.group(2)}.{_SUFFIX[prefixed.group(1).upper()]}"
    return None


def resolve(code, where, error):
    """The kit's code for a code a file name or a table writes in a vendor's form."""
    aliases = _dialect().aliases
    if code not in aliases:
        return code
    kit = aliases[code]
    if kit is None:
        raise error(f"{where}：代码 {code} 在多个交易所都有，请写明交易所（如 {code}.SH 或 {code}.SZ）")
    dialect = _dialect()
    if code != dialect.written.get(kit, code):
        dialect.renamed[code] = kit
    return kit


def note_series(path, category_name):
    _dialect().categories[path] = category_name


# ---- bar interval -------------------------------------------------------------------------------

def bar_minutes(manifest, path, moments):
    """The minutes each bar of a minute-bar file spans: the manifest's, else found from the bars
    (``moments``: a callable giving the first bars' datetimes, in file order)."""
    dialect = _dialect()
    if "bar_minutes" in manifest:
        minutes = manifest["bar_minutes"]
    else:
        minutes = detect_bar_minutes(moments())
        dialect.found.add(path)
    dialect.intervals.setdefault(minutes, []).append(path)
    return minutes


def detect_bar_minutes(moments):
    """The most common spacing of bars on the same day, when it is one of BAR_MINUTES; else 1 (a
    thin 1-minute series skips minutes, but its bars are still minutes)."""
    from collections import Counter

    ordered = sorted(moments)
    gaps = Counter(int((b - a).total_seconds()) // 60 for a, b in zip(ordered, ordered[1:])
                   if a.date() == b.date() and b > a)
    if not gaps:
        return 1
    most, _count = gaps.most_common(1)[0]
    return most if most in BAR_MINUTES else 1
