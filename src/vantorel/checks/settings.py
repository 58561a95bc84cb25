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
}


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
