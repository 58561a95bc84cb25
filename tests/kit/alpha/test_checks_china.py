"""A month of a real-looking Chinese market (August 2020, across ChiNext's reform), imported from a
CSV folder: clean it checks clean, and each fault put into it is found at its code and day alone."""
import os
import re

import numpy as np
import pytest

from vantorel.bundle import places
from vantorel.checks import check_daily_bar_data, check_min_bar_data
from vantorel.market import china
from vantorel.market.calendar import trading_dates
from vantorel.sources import csv_import

DAYS = [int(d) for d in trading_dates(20200803, 20200911)]
US_DAYS = [d for d in DAYS if d != 20200907]  # Labor Day
STOCK_HOURS = "09:31-11:30,13:01-15:00"

# code, exchange, listed, category: a Shanghai main-board stock with minute bars (A), main-board
# stocks with a 10-for-10 (B, its vendor's prev_close given) and a 10-for-3 bonus (C), ChiNext (D),
# an ST stock (E), a STAR listing (F), a relisting (G), a US stock with one venue's minutes (ACME)
# and a continuous futures series beside a contract.
INSTRUMENTS = {
    "600519.XSHG": ("XSHG", 20010827, "stock"), "000002.XSHE": ("XSHE", 19910129, "stock"),
    "601318.XSHG": ("XSHG", 20070301, "stock"), "300750.XSHE": ("XSHE", 20180611, "stock"),
    "600247.XSHG": ("XSHG", 20000101, "stock"), "688126.XSHG": ("XSHG", 20200810, "stock"),
    "600087.XSHG": ("XSHG", 19990101, "stock"), "ACME.XNYS": ("XNYS", 19900102, "stock"),
    "RB888": ("XSGE", 20090327, "futures"), "RB2101": ("XSGE", 20200116, "futures"),
}
A, B, C, D, E, F, G = "600519.XSHG", "000002.XSHE", "601318.XSHG", "300750.XSHE", "600247.XSHG", "688126.XSHG", "600087.XSHG"
B_EX, C_EX = 20200819, 20200826  # 10 送 10, 10 送 3
B_SUSPENDED, G_SUSPENDED = (20200901, 20200902, 20200903), (20200810, 20200811, 20200812, 20200813, 20200814)
G_RELISTED = 20200817


def limit_close(prev, limit, up):
    return float(china.limit_price(prev, limit, 0.01, up))


def walk(seed, start, n, spread=0.012, cap=0.04):
    """Closes that move at most ``cap`` a day, in ticks of 0.01."""
    rng = np.random.default_rng(seed)
    moves = np.clip(rng.normal(0, spread, n), -cap, cap)
    return np.round(start * np.cumprod(1 + moves), 2)


def daily_rows(seed, days, closes):
    """{day: [open, high, low, close, volume]} around the given closes."""
    rng = np.random.default_rng(seed + 1)
    rows, prev = {}, closes[0]
    for day, close in zip(days, closes):
        open_ = round(prev * (1 + rng.normal(0, 0.003)), 2)
        rows[day] = [open_, round(max(open_, close) + 0.01 * rng.integers(1, 9), 2),
                     round(min(open_, close) - 0.01 * rng.integers(1, 9), 2), close, int(rng.integers(100000, 900000))]
        prev = close
    return rows


STOCK_CLOCK = list(range(571, 691)) + list(range(781, 901))  # minutes after midnight, 09:31 to 15:00
US_CLOCK = list(range(571, 961))


def minute_rows(seed, day, open_, close, limit_from=None, clock=STOCK_CLOCK):
    """A day's bars from ``open_`` to ``close``; from bar ``limit_from`` on, one price (a stock
    sealed at its limit) with trades still coming."""
    rng = np.random.default_rng(seed + day)
    n = len(clock)
    path = open_ + (close - open_) * np.arange(1, n + 1) / n + np.round(rng.normal(0, 0.04, n), 2)
    if limit_from is not None:
        path[limit_from:] = close
    path[-1] = close
    closes = np.round(path, 2)
    opens = np.r_[open_, closes[:-1]]
    stamps = ["{:02d}:{:02d}".format(*divmod(m, 60)) for m in clock]
    bars = []
    for i in range(n):
        wiggle = 0 if limit_from is not None and i >= limit_from else 0.01 * rng.integers(0, 3)
        bars.append(["{}-{}-{} {}".format(str(day)[:4], str(day)[4:6], str(day)[6:], stamps[i]), opens[i],
                     round(max(opens[i], closes[i]) + wiggle, 2), round(min(opens[i], closes[i]) - wiggle, 2),
                     closes[i], int(rng.integers(100, 5000))])
    return bars


def daily_of(bars):
    return [bars[0][1], max(b[2] for b in bars), min(b[3] for b in bars), bars[-1][4], sum(b[5] for b in bars)]


def shift(rows, start, ratio, tick=0.01):
    """The prices of ``start`` and after, times ``ratio``: a break in the series."""
    for day, row in rows.items():
        if day >= start:
            row[:4] = [round(round(p * ratio / tick) * tick, 2) for p in row[:4]]


def set_move(rows, day, move, tick=0.01):
    """Shift the series from ``day`` on so that ``day`` closes ``move`` from the close before it."""
    before = rows[max(d for d in rows if d < day)][3]
    shift(rows, day, round(before * (1 + move) / tick) * tick / rows[day][3], tick)


def market(fault=None):
    """The CSV folder's files ({relative path: text}) of the market with ``fault`` put in."""
    minutes = {A: {}, "ACME.XNYS": {}}
    # A: a limit-up day and a limit-down day after it (2015 saw many), a day sealed at its limit
    # from mid-morning, and a few minutes without trades at the last price.
    closes = dict(zip(DAYS, walk(1, 1650.0, len(DAYS))))
    walked = closes[20200812]
    closes[20200810] = limit_close(closes[20200807], 0.1, up=True)
    closes[20200811] = limit_close(closes[20200810], 0.1, up=False)
    closes[20200812] = limit_close(closes[20200811], 0.1, up=True)
    for day in DAYS[8:]:
        closes[day] = round(closes[day] * closes[20200812] / walked, 2)
    prev = closes[DAYS[0]]
    for day in DAYS:
        bars = minute_rows(2, day, prev, closes[day], limit_from=100 if day == 20200812 else None)
        if day == 20200806:
            for bar in bars[200:205]:
                bar[1:6] = [bars[199][4]] * 4 + [0]
            bars[205][1:4] = [bars[199][4], max(bars[205][2], bars[199][4]), min(bars[205][3], bars[199][4])]
        if fault == "zero_volume_minute" and day == 20200818:
            bars[50][4] = round(bars[49][4] + 0.05, 2)
            bars[50][2], bars[50][5] = max(bars[50][2], bars[50][4]), 0
        if fault == "frozen" and day == 20200825:
            still = bars[29][4]
            for bar in bars[30:100]:
                bar[1:5] = [still] * 4
            bars[100][1:4] = [still, max(bars[100][2], still), min(bars[100][3], still)]
        minutes[A][day] = bars
        prev = closes[day]
    daily = {A: {day: daily_of(bars) for day, bars in minutes[A].items()}}

    for code, seed, start, days in ((B, 3, 18.0, DAYS), (C, 4, 60.0, DAYS), (D, 5, 150.0, DAYS), (E, 6, 4.0, DAYS),
                                    (G, 8, 3.0, DAYS), ("RB888", 9, 3700.0, DAYS), ("RB2101", 10, 3650.0, DAYS)):
        rows = daily_rows(seed, days, walk(seed, start, len(days)))
        daily[code] = rows
    shift(daily[B], B_EX, 0.5)
    shift(daily[C], C_EX, 1 / 1.3)
    for day in B_SUSPENDED + G_SUSPENDED:
        del daily[B if day in B_SUSPENDED else G][day]
    # ChiNext under its new rules: +19% on the first day of them.
    set_move(daily[D], 20200824, 0.19)
    # The ST stock at its 5% limit-down, and the relisting day free of any limit.
    set_move(daily[E], 20200814, -0.05)
    set_move(daily[G], G_RELISTED, 1.5)
    # STAR's first five days free of a limit, then ±20%.
    star = [30.0, 66.0, 82.5, 67.6, 87.9, 77.4] + list(walk(7, 77.4, len(DAYS) - 11)[1:])
    daily[F] = daily_rows(7, DAYS[5:], np.array(star))
    # The front month rolls with a 6% gap: under any threshold, no finding.
    set_move(daily["RB888"], 20200901, -0.06, tick=1)

    # One venue's minutes under a consolidated daily bar: more volume, an auction open.
    rows = {}
    for i, day in enumerate(US_DAYS[:3]):
        bars = minute_rows(11, day, 50.0 + i, 50.5 + i, clock=US_CLOCK)
        minutes["ACME.XNYS"][day] = bars
        o, h, l, c, v = daily_of(bars)
        rows[day] = [round(o * 1.01, 2), max(h, round(o * 1.01, 2)), l, c, v * 3]
    rows.update({day: [53.0, 53.5, 52.5, round(53.0 + 0.01 * i, 2), 3_000_000 + i] for i, day in enumerate(US_DAYS[3:])})
    daily["ACME.XNYS"] = rows

    ex_factors = {(B, B_EX): 2.0, (C, C_EX): 1.3}
    marks = {(G, G_RELISTED): "relisting"}
    suspended = [(B, d) for d in B_SUSPENDED] + [(G, d) for d in G_SUSPENDED]
    if fault in ("limit", "limit_chinext", "limit_st", "limit_star"):
        code, day, move = {"limit": (C, 20200831, 0.15), "limit_chinext": (D, 20200820, 0.15),
                           "limit_st": (E, 20200904, 0.08), "limit_star": (F, 20200820, 0.22)}[fault]
        set_move(daily[code], day, move)
    elif fault == "relisting_unmarked":
        del marks[G, G_RELISTED]
    elif fault in ("factor_missing", "bonus_missing"):
        del ex_factors[(B, B_EX) if fault == "factor_missing" else (C, C_EX)]
    elif fault == "suspended_bar":
        daily[B][20200902] = [p * 1.01 for p in daily[B][20200831][:4]] + [123456]
    elif fault == "repeated_bar":
        daily[C][20200813] = list(daily[C][20200812])
    elif fault == "zero_volume_day":
        set_move(daily[E], 20200827, 0.02)
        daily[E][20200827][4] = 0
    elif fault == "minute_after_daily":
        del daily[A][DAYS[-1]]
    elif fault == "daily_vs_minute":
        daily[A][20200813][4] = int(daily[A][20200813][4] * 1.5)
    elif fault in ("roll", "jump"):
        set_move(daily["RB888" if fault == "roll" else "RB2101"], 20200907, -0.3 if fault == "roll" else 0.3, tick=1)

    files = {
        "instruments.csv": "order_book_id,symbol,category,exchange,listed_date,tick_size,trading_hours,continuous\n" + "".join(
            "{},示例{},{},{},{},{},{},{}\n".format(code, i, category, exchange, listed, "1" if category == "futures" else "0.01",
                                                 {"ACME.XNYS": '"09:31-16:00"', A: '"{}"'.format(STOCK_HOURS)}.get(code, ""),
                                                 int(code == "RB888"))
            for i, (code, (exchange, listed, category)) in enumerate(INSTRUMENTS.items())),
        "calendar.csv": "exchange,date\n" + "".join("{},{}\n".format(x, d) for x in ("XSHG", "XSHE", "XSGE") for d in DAYS)
                        + "".join("XNYS,{}\n".format(d) for d in US_DAYS),
        "ex_factors.csv": "order_book_id,ex_date,ex_cum_factor\n" + "".join("{},{},{}\n".format(c, d, f) for (c, d), f in ex_factors.items()),
        "suspended.csv": "order_book_id,date\n" + "".join("{},{}\n".format(c, d) for c, d in suspended),
        "st_status.csv": "order_book_id,start_date,end_date,status\n{},20190506,,*ST\n{},20150105,20171229,ST\n".format(E, C),
        "listing_marks.csv": "order_book_id,date,mark\n" + "".join("{},{},{}\n".format(c, d, m) for (c, d), m in marks.items()),
    }
    for code, rows in daily.items():
        header = "date,open,high,low,close,volume" + (",prev_close" if code == B else "")
        lines = []
        for day, row in rows.items():
            prev_close = ""
            if code == B and day != DAYS[0]:
                before = max(d for d in rows if d < day)
                prev_close = "," + str(round(rows[before][3] * (0.5 if before < B_EX <= day else 1), 2))
            elif code == B:
                prev_close = ","
            lines.append("{},{},{},{},{},{}{}".format(day, *row, prev_close))
        if code == C:
            lines.reverse()  # a vendor's file newest first: the import puts it in order, and says so
        files["daybar/{}.csv".format(code)] = header + "\n" + "\n".join(lines) + "\n"
    for code, by_day in minutes.items():
        files["minbar/{}.csv".format(code)] = "datetime,open,high,low,close,volume\n" + "".join(
            ",".join(map(str, bar)) + "\n" for bars in by_day.values() for bar in bars)
    return files


def checked(tmp_path, fault):
    source = tmp_path / "vendor"
    for rel, text in market(fault).items():
        os.makedirs(os.path.dirname(source / rel), exist_ok=True)
        (source / rel).write_text(text, encoding="utf-8")
    said = []
    target = str(tmp_path / "bundle-path")
    csv_import.convert(str(source), target, said.append)
    return check_min_bar_data(target) + check_daily_bar_data(places.bundle_dir(target)), said


def when(example):
    return example.datetime or example.date


@pytest.mark.parametrize("fault, kind, code, at, rule", [
    (None, None, None, None, None),
    ("limit", "limit", C, "2020-08-31", "主板 ±10%"),
    ("limit_chinext", "limit", D, "2020-08-20", "创业板 ±10%"),  # the old rule, days before the reform
    ("limit_st", "limit", E, "2020-09-04", "主板 ST ±5%"),
    ("limit_star", "limit", F, "2020-08-20", "科创板 ±20%"),
    ("relisting_unmarked", "limit", G, "2020-08-17", "主板 ±10%"),
    ("factor_missing", "missing_ex_factor", B, "2020-08-19", "主板 ±10%"),
    ("bonus_missing", "missing_ex_factor", C, "2020-08-26", "主板 ±10%"),
    ("suspended_bar", "suspended_bar", B, "2020-09-02", None),
    ("repeated_bar", "repeated_bar", C, "2020-08-13", None),
    ("zero_volume_day", "zero_volume_move", E, "2020-08-27", None),
    ("zero_volume_minute", "zero_volume_move", A, "2020-08-18T10:21:00", None),
    ("frozen", "frozen", A, "2020-08-25T10:01:00", "VANTOREL_CHECK_FROZEN_MINUTES=60"),
    ("minute_after_daily", "minute_after_daily", A, "2020-09-11", None),
    ("daily_vs_minute", "daily_vs_minute", A, "2020-08-13", "XSHG 严格比较"),
    ("roll", "roll", "RB888", "2020-09-07", "VANTOREL_CHECK_DAILY_JUMP=0.25"),
    ("jump", "jump", "RB2101", "2020-09-07", "VANTOREL_CHECK_DAILY_JUMP=0.25"),
])
def test_each_fault_of_a_chinese_market_is_found_at_its_code_and_day_alone(tmp_path, fault, kind, code, at, rule):
    found, said = checked(tmp_path, fault)
    assert [(a.kind, a.code, when(a.examples[0]), a.count) for a in found] == ([(kind, code, at, 1)] if fault else [])
    if rule:
        assert rule in found[0].rule
    if fault is None:
        assert [line for line in said if "重新排序" in line] == [
            "{} 中的行没有按时间先后排列：已按时间重新排序（{} 行换了位置）".format(tmp_path / "vendor" / "daybar" / (C + ".csv"), len(DAYS))]
        factor = [a for a in checked(tmp_path / "again", "factor_missing")[0]][0]
        assert "缺少约 2 的除权因子" in factor.examples[0]


@pytest.mark.parametrize("board, day, special, prev, up, down", [
    ("main", 19961213, False, 10.0, None, None),  # before limits began
    ("main", 20200817, False, 10.05, 11.06, 9.05),  # 11.055 rounds half up, not to the float below it
    ("main", 20200817, True, 10.05, 10.55, 9.55),
    ("main", 20250707, True, 10.05, 11.06, 9.05),  # main-board ST at ±10% from this day
    ("chinext", 20200821, False, 20.0, 22.0, 18.0),
    ("chinext", 20200824, True, 20.0, 24.0, 16.0),
    ("star", 20200817, True, 20.0, 24.0, 16.0),
    ("beijing", 20211115, False, 20.0, 26.0, 14.0),
])
def test_limit_prices_follow_board_date_and_status(board, day, special, prev, up, down):
    limit = china.limits(board, np.array([day]), np.array([special]))[0]
    if up is None:
        assert np.isnan(limit)
    else:
        assert (round(float(china.limit_price(prev, limit, 0.01, True)), 2),
                round(float(china.limit_price(prev, limit, 0.01, False)), 2)) == (up, down)


@pytest.mark.parametrize("code, kinds", [
    ("688001.XSHG", []),  # STAR opens at its +20% limit: 12.04 over 10.03 is past 20% by the rounding
    ("600001.XSHG", ["jump"]),  # a main-board stock cannot move so far
])
def test_a_minute_bar_opening_at_a_wide_limit_is_no_jump(tmp_path, code, kinds):
    days = DAYS[:2]
    bars = minute_rows(12, days[0], 10.0, 10.03) + minute_rows(12, days[1], 12.04, 12.1)
    bars[240][1:4] = [12.04, max(bars[240][2], 12.04), min(bars[240][3], 12.04)]
    bars[240][4] = 12.04
    files = {
        "instruments.csv": "order_book_id,symbol,category,exchange,listed_date,tick_size,trading_hours\n"
                           '{},示例,stock,XSHG,20200101,0.01,"{}"\n'.format(code, STOCK_HOURS),
        "calendar.csv": "date\n" + "".join("{}\n".format(d) for d in days),
        "minbar/{}.csv".format(code): "datetime,open,high,low,close,volume\n" + "".join(",".join(map(str, b)) + "\n" for b in bars),
    }
    for rel, text in files.items():
        os.makedirs(os.path.dirname(tmp_path / "vendor" / rel), exist_ok=True)
        (tmp_path / "vendor" / rel).write_text(text, encoding="utf-8")
    csv_import.convert(str(tmp_path / "vendor"), str(tmp_path / "data"), lambda line: None)
    assert [a.kind for a in check_min_bar_data(str(tmp_path / "data"))] == kinds


@pytest.mark.parametrize("name, text, message", [
    ("st_status.csv", "order_book_id,start_date,status\n600000.XSHG,20200803,PT\n", "status 应为 ST 或 *ST"),
    ("st_status.csv", "order_book_id,start_date,end_date,status\n600000.XSHG,20200803,20200731,ST\n", "end_date 早于 start_date"),
    ("st_status.csv", "order_book_id,start_date,end_date,status\n600000.XSHG,20200803,,ST\n600000.XSHG,20200901,,*ST\n",
     "两段特别处理时间重叠"),
    ("listing_marks.csv", "order_book_id,date,mark\n600000.XSHG,20200803,ipo\n", "mark 应为 relisting 或 resumption"),
    ("instruments.csv", "order_book_id,symbol,category,exchange,listed_date,continuous\n600000.XSHG,示例,stock,XSHG,20000101,1\n",
     "只有期货可以是连续合约"),
])
def test_the_market_rules_tables_refuse_a_bad_row_by_file_and_line(tmp_path, name, text, message):
    files = {"instruments.csv": "order_book_id,symbol,category,exchange,listed_date\n600000.XSHG,示例,stock,XSHG,20000101\n",
             "daybar/600000.XSHG.csv": "date,open,high,low,close,volume\n20200803,10,10.2,9.9,10.1,1000\n", name: text}
    for rel, content in files.items():
        os.makedirs(os.path.dirname(tmp_path / "vendor" / rel), exist_ok=True)
        (tmp_path / "vendor" / rel).write_text(content, encoding="utf-8")
    with pytest.raises(csv_import.CsvError, match=re.escape(message)) as refused:
        csv_import.convert(str(tmp_path / "vendor"), str(tmp_path / "data"), lambda line: None)
    assert "\n" not in str(refused.value) and name in str(refused.value)
