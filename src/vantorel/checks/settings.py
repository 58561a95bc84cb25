"""The checks' thresholds, and the environment variables that set them."""
import os
from typing import NamedTuple

from vantorel.errors import VantorelError


class CheckSettings(NamedTuple):
    daily_jump: float = 0.25
    minute_jump: float = 0.20
    option_jump: float = 5.0
    # A daily bar and the minute bars of the same day often come from different feeds: an auction
    # print, a late trade or another venue's volume moves one and not the other. A price differs
    # beyond the larger of ``price_ticks`` ticks and ``price_rel`` of the price; a volume beyond
    # ``volume_rel`` of the minutes' sum.
    price_ticks: float = 1.0
    price_rel: float = 0.002
    volume_rel: float = 0.02
    examples: int = 3
    stale_days: int = 5  # the same open, high, low, close and volume this many days running
    volume_ratio: float = 50.0  # a day's volume beyond this many times the series' median
    spike: float = 0.10  # a move beyond this, undone (within a quarter of it) the next day
    stopped_days: int = 5  # trading days of the calendar after a listed series' last bar
    market_gap_share: float = 0.5  # a missing day shared by more than this share of series is one row
    # A Chinese stock's close beyond its limit price by more than this many ticks (a vendor's
    # rounding of an adjusted price is less than one).
    limit_ticks: float = 0.5
    frozen_minutes: int = 60  # minute bars of one price, each with volume, this many running

    def jump_limit(self, category, minute):
        if category == "option":
            return self.option_jump
        return self.minute_jump if minute else self.daily_jump


class _Setting(NamedTuple):
    env: str
    whole: bool  # a number of days rather than a fraction or a ratio
    most: float  # the largest value that still means something
    example: str


SETTINGS = {
    "daily_jump": _Setting("VANTOREL_CHECK_DAILY_JUMP", False, 100.0, "0.3 表示 30%"),
    "minute_jump": _Setting("VANTOREL_CHECK_MINUTE_JUMP", False, 100.0, "0.3 表示 30%"),
    "option_jump": _Setting("VANTOREL_CHECK_OPTION_JUMP", False, 1000.0, "5 表示 500%"),
    "price_ticks": _Setting("VANTOREL_CHECK_DAILY_MINUTE_TICKS", False, 1000.0, "2 表示两个最小变动价位"),
    "price_rel": _Setting("VANTOREL_CHECK_DAILY_MINUTE_PRICE", False, 1.0, "0.005 表示 0.5%"),
    "volume_rel": _Setting("VANTOREL_CHECK_DAILY_MINUTE_VOLUME", False, 100.0, "0.05 表示 5%"),
    "stale_days": _Setting("VANTOREL_CHECK_STALE_DAYS", True, 1000, "5 表示连续 5 天"),
    "volume_ratio": _Setting("VANTOREL_CHECK_VOLUME_RATIO", False, 1e6, "50 表示中位数的 50 倍"),
    "spike": _Setting("VANTOREL_CHECK_SPIKE", False, 100.0, "0.1 表示 10%"),
    "stopped_days": _Setting("VANTOREL_CHECK_STOPPED_DAYS", True, 10000, "5 表示 5 个交易日"),
    "market_gap_share": _Setting("VANTOREL_CHECK_MARKET_GAP_SHARE", False, 1.0, "0.5 表示半数以上的合约"),
    "limit_ticks": _Setting("VANTOREL_CHECK_LIMIT_TICKS", False, 1000.0, "0.5 表示半个最小变动价位"),
    "frozen_minutes": _Setting("VANTOREL_CHECK_FROZEN_MINUTES", True, 100000, "60 表示连续 60 根分钟线"),
}


def rule_of(kind, settings, minute=False, category=None):
    """The limit a finding of ``kind`` is judged by, in the report's words, with the variable that
    sets it; None for a kind that has none. A price limit varies by board and day: its findings
    name their own."""
    s = settings

    def named(field, text):
        return "{}（{}={:g}）".format(text, SETTINGS[field].env, getattr(s, field))

    if kind in ("jump", "roll"):
        field = "option_jump" if category == "option" else "minute_jump" if minute else "daily_jump"
        text = "相邻两根 K 线收盘价变动超过 {:.0%}".format(getattr(s, field))
        return named(field, text + ("，连续合约按换月报告" if kind == "roll" else ""))
    rules = {
        "stale": ("stale_days", "开高低收与成交量连续 {} 天相同".format(s.stale_days)),
        "volume_outlier": ("volume_ratio", "成交量超过中位数的 {:g} 倍".format(s.volume_ratio)),
        "reverting_spike": ("spike", "变动超过 {:.0%}（或自身典型波动的 6 倍）且次日回落".format(s.spike)),
        "stopped": ("stopped_days", "最后一根日线之后还有 {} 个以上交易日".format(s.stopped_days)),
        "market_gap": ("market_gap_share", "超过 {:.0%} 的合约同日缺失".format(s.market_gap_share)),
        "frozen": ("frozen_minutes", "连续 {} 根分钟线同一价格且都有成交量（涨跌停价上的除外）".format(s.frozen_minutes)),
    }
    if kind in rules:
        return named(*rules[kind])
    return None



def settings_from_env():
    """Default settings with the thresholds the environment sets (``SETTINGS``); a value that is
    no number in its range is refused, naming the variable, rather than quietly not applied."""
    import math

    values = {}
    for field, setting in SETTINGS.items():
        text = os.environ.get(setting.env)
        if not text:
            continue
        try:
            value = int(text, 10) if setting.whole else float(text)
        except ValueError:
            value = None
        if setting.whole:  # a run of days: one day alone is no run
            fits = value is not None and 2 <= value <= setting.most
            wanted = "2 到 {:g} 之间的整数".format(setting.most)
        else:
            fits = value is not None and math.isfinite(value) and 0 < value <= setting.most
            wanted = "大于 0、不超过 {:g} 的数".format(setting.most)
        if not fits:
            raise VantorelError("环境变量 {} 应为 {}（例如 {}），现为 {!r}；请改正或删除它".format(
                setting.env, wanted, setting.example, text))
        values[field] = value
    return CheckSettings(**values)
