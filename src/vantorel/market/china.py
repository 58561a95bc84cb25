"""The Chinese markets' exchange rules the checks hold stocks to: which board a stock trades on,
its daily price limit on a day, and the days it trades without one.

The rules (the dates they took effect are the exchanges' own):

- limits began on 1996-12-16: ±10% for every A and B share, ±5% for special treatment (ST, *ST);
- ChiNext from 2020-08-24 (the registration reform): ±20%, its ST stocks too, and a new listing
  trades its first 5 days without a limit;
- the STAR market (opened 2019-07-22): ±20%, the first 5 days of a listing without a limit;
- the Beijing exchange (opened 2021-11-15): ±30%, the first day of a listing without a limit;
- the main boards from 2023-04-10 (registration reform): a new listing trades its first 5 days
  without a limit;
- the main boards from 2025-07-07: ±10% for ST and *ST stocks too;
- a stock relisted (after a suspended listing or a restructuring) trades its first day without a
  limit; so does a stock resuming on a day its source marks as one without a limit.

A first day of trading has no previous close to hold a limit to, so the IPO-day bands of the main
boards are not needed here.

numpy is imported inside the functions.
"""

LIMITS_BEGIN = 19961216
CHINEXT_REFORM = 20200824
MAIN_BOARD_REGISTRATION = 20230410
MAIN_BOARD_ST_TEN = 20250707

# Exchange codes of the instrument table; the Beijing exchange goes by more than one name.
SHANGHAI, SHENZHEN = "XSHG", "XSHE"
BEIJING = ("BJSE", "XBSE", "BSE")
# Exchanges whose daily bar is the sum of their own minute bars: the same trades, one venue.
CHINESE_EXCHANGES = frozenset({SHANGHAI, SHENZHEN, *BEIJING, "CCFX", "XSGE", "XDCE", "XZCE", "XINE", "XGFE"})

BOARD_NAMES = {"main": "主板", "chinext": "创业板", "star": "科创板", "beijing": "北交所"}


def is_chinese(exchange):
    return exchange in CHINESE_EXCHANGES


def board_of(code, exchange):
    """"main", "chinext", "star" or "beijing" for a stock of a Chinese exchange, else None.
    ``exchange`` is the instrument table's; when empty, the code's suffix ("600000.XSHG")."""
    number, _dot, suffix = code.partition(".")
    exchange = exchange or suffix
    if not (len(number) == 6 and number.isdigit()):
        return None
    if exchange == SHANGHAI:
        if number.startswith(("688", "689")):
            return "star"
        return "main" if number.startswith(("600", "601", "603", "605", "900")) else None
    if exchange == SHENZHEN:
        if number.startswith(("300", "301")):
            return "chinext"
        return "main" if number.startswith(("000", "001", "002", "003", "004", "200")) else None
    if exchange in BEIJING:
        return "beijing" if number.startswith(("43", "83", "87", "88", "92")) else None
    return None


def limits(board, days, special):
    """The daily limit (0.1 for ±10%) of a stock of ``board`` on each of ``days`` (int64
    YYYYMMDD), ``special`` a bool array beside them (under special treatment that day); NaN where
    the day has none."""
    import numpy as np

    out = np.full(len(days), {"star": 0.2, "beijing": 0.3}.get(board, 0.1))
    if board == "chinext":
        out[days >= CHINEXT_REFORM] = 0.2
        out[special & (days < CHINEXT_REFORM)] = 0.05
    elif board == "main":
        out[special & (days < MAIN_BOARD_ST_TEN)] = 0.05
    out[days < LIMITS_BEGIN] = np.nan
    return out


# The widest daily limit a board has had: a minute bar may open that far from the last one.
WIDEST = {"main": 0.1, "chinext": 0.2, "star": 0.2, "beijing": 0.3}


def free_days_after_listing(board, listed_date):
    """How many trading days, counted from the listing day, a new listing trades without a limit."""
    if board == "star" or (board == "chinext" and listed_date >= CHINEXT_REFORM):
        return 5
    if board == "main" and listed_date >= MAIN_BOARD_REGISTRATION:
        return 5
    return 1


def limit_price(reference, limit, tick, up):
    """The limit-up (``up``) or limit-down price: the previous close times (1 ± limit), rounded
    half up to the tick, as the exchanges publish it (arrays or numbers)."""
    import numpy as np

    tick = tick or 0.01
    # A price of whole cents times 1.1 lands a hair below a half cent as often as on it.
    ticks = np.floor(reference * (1 + limit if up else 1 - limit) / tick + 0.5 + 1e-7)
    return ticks * tick


def limit_text(board, limit, special):
    """The rule as a finding names it, e.g. "主板 ST ±5%"."""
    return "{}{} ±{:.0%}".format(BOARD_NAMES[board], " ST" if special else "", limit)
