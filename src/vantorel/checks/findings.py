"""What the checks find: the kinds of finding, the rows they make, and their examples."""
from typing import NamedTuple


class Example(str):
    """An example of a finding as the table shows it, with the day or the minute it is of kept beside
    the text (``date`` "YYYY-MM-DD" or ``datetime`` "YYYY-MM-DDTHH:MM:SS", and the ``detail`` after
    it), so that the report file gives them as data. A plain text is an example of no time."""

    date = None
    datetime = None
    detail = ""

    @classmethod
    def of(cls, text, detail, date=None, datetime=None):
        example = cls(text)
        example.detail, example.date, example.datetime = detail, date, datetime
        return example

    def then(self, detail, sep=" "):
        """This day's or minute's example followed by ``detail``."""
        return Example.of(self + sep + detail, detail, self.date, self.datetime)


KINDS = {
    "unreadable": "无法读取",
    "missing_columns": "缺少字段",
    "not_increasing": "时间戳倒退",
    "duplicate": "时间戳重复",
    "nan": "价格为 NaN 或无穷",
    "non_positive": "价格不为正",
    "ohlc": "OHLC 不一致",
    "negative_volume": "成交量为负",
    "jump": "收盘价跳变过大",
    "missing_days": "缺少交易日",
    "non_trading_day": "非交易日有数据",
    "off_session": "交易时段之外",
    "trading_date": "交易日与时间不符",
    "session_count": "每节分钟数不符",
    "attrs": "文件属性与数据不符",
    "unknown_instrument": "品种不在合约表中",
    "outside_listing": "上市期之外有数据",
    "daily_vs_minute": "日线与分钟线汇总不符",
    "minute_without_daily": "有分钟线无日线",
    "calendar": "交易日历有误",
    "market_gap": "多数合约同日缺失",
    "stale": "连续多日行情完全相同",
    "volume_outlier": "成交量异常",
    "reverting_spike": "价格尖刺（次日回落）",
    "stopped": "早于日历末日停止更新",
    "events": "除权或停牌表有误",
    "limit": "收盘价超出涨跌停价",
    "missing_ex_factor": "除权日缺少除权因子",
    "roll": "连续合约换月",
    "suspended_bar": "停牌日有数据",
    "zero_volume_move": "零成交量价格却变动",
    "frozen": "价格冻结而成交量仍在增加",
    "minute_after_daily": "分钟线晚于最后一根日线",
    "repeated_bar": "次日重复前一日整根行情",
    "unfinished_update": "更新未完成",
}


class Anomaly(NamedTuple):
    file: str  # relative to the bundle path, "/"-separated
    code: str  # market code; "" when the whole file is concerned
    kind: str  # a key of KINDS
    count: int
    examples: tuple  # a few texts showing where
    rule: str = None  # the limit it was judged by, e.g. a threshold and the variable that sets it; None when there is none


def valid_days(days):
    """Which of the YYYYMMDD integers name a day of 1900 to 2099: a CSV import takes no other, and
    the calendar arithmetic of the checks needs room on either side."""
    import numpy as np

    days = np.asarray(days, dtype="i8")
    year, month, day = days // 10000, days // 100 % 100, days % 100
    ok = (year >= 1900) & (year <= 2099) & (month >= 1) & (month <= 12) & (day >= 1) & (days >= 0)
    leap = (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0))
    length = np.array([0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31])[np.clip(month, 0, 12)] + (leap & (month == 2))
    return ok & (day <= length)


def percent_text(move):
    """A move as a percentage; an absurd one (a price of 1e300 in a damaged file) in powers of ten
    rather than three hundred digits."""
    return "{:+.1%}".format(move) if abs(move) < 1e6 else "{:+.3g}%".format(move * 100)


def day_or_number(yyyymmdd):
    """A day as the table shows days; the bare number when it names none, so the example still says what is stored."""
    return day_example(yyyymmdd) if valid_days([yyyymmdd])[0] else str(int(yyyymmdd))


def day_example(yyyymmdd):
    d = int(yyyymmdd)
    text = "{:04d}-{:02d}-{:02d}".format(d // 10000, d // 100 % 100, d % 100)
    return Example.of(text, "", date=text)


def minute_example(stamp):
    s = int(stamp)
    day, clock = day_example(s // 1000000), "{:02d}:{:02d}".format(s // 10000 % 100, s // 100 % 100)
    return Example.of("{} {}".format(day, clock), "", datetime="{}T{}:00".format(day, clock))


def hhmm_text(minutes):
    return "{:02d}:{:02d}".format(int(minutes) // 60, int(minutes) % 60)
