"""The simulated market's instruments: stocks, indexes, funds, futures, options and convertibles,
listed and de-listed over the calendar."""
import datetime as _dt

from vantorel.market.calendar import CALENDAR_START, last_trading_date_on_or_before, to_date, to_int
from vantorel.sources.simulated import daily_bars_of, first_trading_on_or_after, fraction

# ---- instruments --------------------------------------------------------------------------------

STOCK_HOURS = "09:31-11:30,13:01-15:00"
DAY_HOURS = "09:01-10:15,10:31-11:30,13:31-15:00"
NIGHT_HOURS = "21:01-23:00," + DAY_HOURS

# underlying symbol: (exchange, name, trading hours, tick size, multiplier, price level, daily lots)
FUTURES = {
    "M": ("XDCE", "豆粕", NIGHT_HOURS, 1.0, 10.0, 3000.0, 400000),
    "JD": ("XDCE", "鸡蛋", DAY_HOURS, 1.0, 10.0, 4000.0, 150000),
    "RB": ("XSGE", "螺纹钢", NIGHT_HOURS, 1.0, 10.0, 3800.0, 600000),
    "IF": ("CCFX", "沪深300股指", STOCK_HOURS, 0.2, 300.0, 4000.0, 80000),
}
INDEXES = [("000001.XSHG", "示例综合指数", 3200.0), ("000300.XSHG", "示例300指数", 3900.0),
           ("399001.XSHE", "示例成份指数", 10500.0)]
FUNDS = [("510050.XSHG", "示例50ETF", 2.6), ("510300.XSHG", "示例300ETF", 3.9), ("159915.XSHE", "示例创业ETF", 2.1)]
# Futures with options written on their contracts, and funds with options written on them.
OPTION_FUTURES = ("M",)
OPTION_FUNDS = ("510050.XSHG",)

# category: (daily volatility, tick size, round lot, ticks per minute)
CATEGORY_TRAITS = {
    "stock": (0.018, 0.01, 100, 20),
    "index": (0.010, 0.01, 1, 20),
    "fund": (0.012, 0.001, 100, 20),
    "convertible": (0.008, 0.001, 10, 20),
    "futures": (0.012, None, 1, 30),
    "option": (0.045, None, 1, 12),
}


class Instrument:
    """One instrument of the service; ``record()`` gives its row of the stored instrument table."""

    __slots__ = ("order_book_id", "symbol", "category", "type", "exchange", "underlying_symbol",
                 "underlying_order_book_id", "listed_date", "de_listed_date", "round_lot", "tick_size",
                 "contract_multiplier", "strike_price", "option_type", "trading_hours",
                 "price_level", "daily_lots", "volatility", "ticks_per_minute", "origin")

    def __init__(self, **fields):
        for name in self.__slots__:
            setattr(self, name, fields.get(name))

    @property
    def decimals(self):
        text = f"{self.tick_size:.6f}".rstrip("0")
        return len(text.split(".")[1]) if "." in text else 0

    def active_between(self, start, end):
        return self.listed_date <= end and (not self.de_listed_date or self.de_listed_date >= start)

    def record(self):
        return tuple([
            self.order_book_id.encode(), self.symbol.encode(), self.category.encode(), self.type.encode(),
            self.exchange.encode(), self.underlying_symbol.encode(), self.underlying_order_book_id.encode(),
            self.listed_date, self.de_listed_date or 0, self.round_lot, self.tick_size,
            self.contract_multiplier, self.strike_price, self.option_type.encode(), self.trading_hours.encode(),
        ])

    def __repr__(self):
        return f"Instrument({self.order_book_id!r}, {self.category!r})"


def _make(code, symbol, category, exchange, level, lots, trading_hours=STOCK_HOURS, tick=None, **extra):
    from vantorel.ombrel.sdk.const import TAG_MAP

    vol, cat_tick, lot, per_minute = CATEGORY_TRAITS[category]
    fields = dict(
        order_book_id=code, symbol=symbol, category=category, type=TAG_MAP[category], exchange=exchange,
        underlying_symbol="", underlying_order_book_id="", listed_date=to_int(CALENDAR_START),
        de_listed_date=0, round_lot=lot, tick_size=tick or cat_tick, contract_multiplier=1.0,
        strike_price=0.0, option_type="", trading_hours=trading_hours, price_level=level,
        daily_lots=lots, volatility=vol, ticks_per_minute=per_minute,
    )
    fields.update(extra)
    fields["origin"] = fields["listed_date"]
    return Instrument(**fields)


def _month_add(year, month, delta):
    index = year * 12 + (month - 1) + delta
    return index // 12, index % 12 + 1


def stock_code(i):
    """Market code of the i-th stock of the universe: Shenzhen and Shanghai alternately."""
    return f"{1 + i // 2:06d}.XSHE" if i % 2 == 0 else f"{600000 + i // 2:06d}.XSHG"


def build_universe(first_day, last_day, scale=1):
    """Instruments trading at some time between ``first_day`` and ``last_day`` (ints YYYYMMDD)."""
    out = []
    for i in range(10 * scale):
        code = stock_code(i)
        level = 4.0 + 46.0 * fraction(code, "level")
        lots = int(20000 + 300000 * fraction(code, "lots"))
        out.append(_make(code, f"示例股份{i + 1:03d}", "stock", code[-4:], level, lots))
    for code, name, level in INDEXES:
        out.append(_make(code, name, "index", code[-4:], level, 50_000_000))
    for code, name, level in FUNDS:
        out.append(_make(code, name, "fund", code[-4:], level, 2_000_000))
    for i in range(3 * scale):
        code = f"{110001 + i:06d}.XSHG" if i % 2 == 0 else f"{123001 + i:06d}.XSHE"
        level = 100.0 + 30.0 * fraction(code, "level")
        out.append(_make(code, f"示例转债{i + 1:03d}", "convertible", code[-4:], level, 30000))

    first = to_date(first_day)
    last = to_date(last_day)
    months = []
    year, month = _month_add(first.year, first.month, -1)
    while (year, month) <= _month_add(last.year, last.month, 7):
        months.append((year, month))
        year, month = _month_add(year, month, 1)

    futures_by_code = {}
    for underlying, (exchange, name, hours, tick, mult, level, lots) in FUTURES.items():
        for year, month in months:
            code = f"{underlying}{year % 100:02d}{month:02d}"
            listed = first_trading_on_or_after(_dt.date(*_month_add(year, month, -6), 1))
            de_listed = last_trading_date_on_or_before(_dt.date(year, month, 14))
            if de_listed is None:  # expired before the calendar starts
                continue
            inst = _make(code, f"{name}{year % 100:02d}{month:02d}", "futures", exchange,
                         level * (0.9 + 0.2 * fraction(code, "level")), lots, hours, tick,
                         underlying_symbol=underlying, listed_date=listed, de_listed_date=de_listed,
                         contract_multiplier=mult)
            if inst.active_between(first_day, last_day):
                out.append(inst)
            futures_by_code[code] = inst

    for underlying in OPTION_FUTURES:
        for code, fut in sorted(futures_by_code.items()):
            if fut.underlying_symbol != underlying:
                continue
            year, month = 2000 + int(code[-4:-2]), int(code[-2:])
            de_listed = last_trading_date_on_or_before(_dt.date(*_month_add(year, month, -1), 7))
            if de_listed is None or de_listed < fut.listed_date or not (fut.listed_date <= last_day and de_listed >= first_day):
                continue
            atm = round(_close_on(fut, fut.listed_date) / 50.0) * 50
            for strike in (atm - 50, atm, atm + 50):
                for kind in "CP":
                    out.append(_make(
                        f"{code}{kind}{int(strike)}", f"{fut.symbol}{'购' if kind == 'C' else '沽'}{int(strike)}",
                        "option", fut.exchange, 0.04 * fut.price_level, 3000, fut.trading_hours, 0.5,
                        underlying_symbol=underlying, underlying_order_book_id=code,
                        listed_date=fut.listed_date, de_listed_date=de_listed,
                        contract_multiplier=fut.contract_multiplier, strike_price=float(strike), option_type=kind))

    funds = {inst.order_book_id: inst for inst in out if inst.category == "fund"}
    for fund_code in OPTION_FUNDS:
        fund = funds[fund_code]
        for year, month in months:
            if (year, month) > _month_add(last.year, last.month, 2):
                continue
            listed = first_trading_on_or_after(_dt.date(*_month_add(year, month, -2), 1))
            de_listed = last_trading_date_on_or_before(_fourth_wednesday(year, month))
            if de_listed is None or not (listed <= last_day and de_listed >= first_day):
                continue
            atm = round(_close_on(fund, listed) / 0.05) * 0.05
            series = ((year - 2005) * 12 + month - 1) * 6
            for s, strike in enumerate((atm - 0.05, atm, atm + 0.05)):
                for c, kind in enumerate("CP"):
                    code = f"{10000000 + series + 2 * s + c:08d}.XSHG"
                    out.append(_make(
                        code, f"{fund.symbol}{'购' if kind == 'C' else '沽'}{month}月{strike:.2f}", "option",
                        "XSHG", 0.06 + 0.04 * fraction(code, "level"), 20000, STOCK_HOURS, 0.0001,
                        underlying_symbol=fund_code.split(".")[0], underlying_order_book_id=fund_code,
                        listed_date=listed, de_listed_date=de_listed, contract_multiplier=10000.0,
                        strike_price=round(strike, 3), option_type=kind))
    out.sort(key=lambda inst: (inst.category, inst.order_book_id))
    return out


def _fourth_wednesday(year, month):
    day = _dt.date(year, month, 1)
    offset = (2 - day.weekday()) % 7
    return day + _dt.timedelta(days=offset + 21)


def _close_on(inst, day):
    bars = daily_bars_of(inst, day, day)
    if len(bars):
        return float(bars["close"][-1])
    return inst.price_level
