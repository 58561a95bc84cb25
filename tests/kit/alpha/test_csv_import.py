import gzip
import io
import os
import tarfile
import threading

import pytest

from vantorel.errors import VantorelError
from vantorel.market.calendar import CALENDAR_START, trading_dates
from vantorel.ombrel.alpha import bundle
from vantorel.bundle import places, reading
from vantorel.sources import csv_import
from vantorel.update import engine

from trees import snapshot

INSTRUMENTS = (
    "order_book_id,symbol,category,exchange,listed_date,tick_size,trading_hours\n"
    'SPLT.XNYS,Splits Inc,stock,XNYS,20100104,0.01,"09:31-11:30,13:01-15:00"\n'
    "FUT2701,A future,futures,XDCE,2026-06-01,1,\"21:01-23:00,09:01-15:00\"\n"
)
DAILY = "date,open,high,low,close,volume\n2026-12-01,100,101,99,100,1000\n2026-12-03,50,51,49,50.5,2000\n"
# Labelled by the start of their minute, as many vendors do; the last is a night bar.
MINUTES = "datetime,open,high,low,close,volume\n2026-12-03 09:30:00,50,50.2,49.9,50.1,10\n"
NIGHT = "datetime,open,high,low,close,volume\n2026-12-01 21:00,3000,3001,2999,3000,5\n"


def layout(root, **files):
    """Write a CSV folder: the default files, with ``files`` ({relative path: text or None}) over them."""
    contents = {"instruments.csv": INSTRUMENTS, "daybar/SPLT.XNYS.csv": DAILY, "minbar/SPLT.XNYS.csv.gz": MINUTES,
                "minbar/FUT2701.csv": NIGHT, "manifest.json": '{"minute_label": "start"}',
                "calendar.csv": "date,close_time\n20261201,\n20261202,\n20261203,13:00\n",
                "ex_factors.csv": "order_book_id,ex_date,ex_cum_factor\nSPLT.XNYS,20261203,2.0\n",
                "suspended.csv": "order_book_id,date\nSPLT.XNYS,20261202\n"}
    contents.update(files)
    for rel, text in contents.items():
        if text is None:
            continue
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with (gzip.open(path, "wt") if rel.endswith(".gz") else open(path, "wb" if isinstance(text, bytes) else "w")) as f:
            f.write(text)
    return str(root)


@pytest.mark.parametrize("packed", [False, True])
def test_a_csv_folder_becomes_a_bundle(tmp_path, packed, capsys):
    source = layout(tmp_path / "vendor")
    if packed:  # the same folder in an archive, wrapped in its directory
        with tarfile.open(tmp_path / "vendor.tar.gz", "w:gz") as tf:
            tf.add(source, arcname="vendor")
        source = str(tmp_path / "vendor.tar.gz")
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    assert "转换为 bundle" in capsys.readouterr().out
    directory = places.bundle_dir(path)
    records = {r["order_book_id"]: r for r in reading.instrument_records(reading.read_instruments(directory))}
    assert records["SPLT.XNYS"]["category"] == "stock" and records["SPLT.XNYS"]["listed_date"] == 20100104
    assert reading.read_trading_dates(directory).tolist() == [20261201, 20261202, 20261203]
    minutes = reading.read_minbar(places.minbar_path(path, "stock", "SPLT.XNYS"))
    assert minutes["datetime"].tolist() == [20261203093100]  # labelled by the end of its minute
    night = reading.read_minbar(places.minbar_path(path, "futures", "FUT2701"))
    assert (night["datetime"][0], night["trading_date"][0]) == (20261201210100, 20261202)
    assert reading.read_daily(directory, "SPLT.XNYS")["close"].tolist() == [100.0, 50.5]
    factors = reading.read_table(directory, "ex_factors")
    assert (factors["order_book_id"][0], factors["ex_date"][0], factors["ex_cum_factor"][0]) == (b"SPLT.XNYS", 20261203, 2.0)
    assert reading.read_table(directory, "suspended")["date"].tolist() == [20261202]


def test_a_long_name_is_cut_between_characters(tmp_path):
    from vantorel import data

    name = "华夏沪深300交易型开放式指数证券投资基金联接基金A"  # 70 bytes of UTF-8, over the 64 stored
    source = layout(tmp_path / "vendor", **{"instruments.csv": INSTRUMENTS.replace("Splits Inc", name)})
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    symbol = data.instruments(bundle_path=path)["symbol"][0]
    assert name.startswith(symbol) and len(symbol.encode()) > 60


def test_without_a_calendar_the_daily_dates_are_the_calendar_and_it_says_so(tmp_path, capsys):
    source = layout(tmp_path / "vendor", **{"calendar.csv": None, "minbar/FUT2701.csv": None})
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    assert "未提供 calendar.csv" in capsys.readouterr().err
    assert reading.read_trading_dates(places.bundle_dir(path)).tolist() == [20261201, 20261203]


@pytest.mark.parametrize("files, says", [
    ({"daybar/SPLT.XNYS.csv": "date,open,high,low,close\n20261201,1,1,1,1\n"}, "daybar/SPLT.XNYS.csv 缺少必需的列：volume"),
    ({"daybar/SPLT.XNYS.csv": DAILY + "2026-12-04,1,x,1,1,1\n"}, "daybar/SPLT.XNYS.csv 第 4 行的 high 不是数字"),
    ({"minbar/SPLT.XNYS.csv.gz": MINUTES + "2026-13-01 09:30,1,1,1,1,1\n"}, "第 3 行的 datetime 不是日期时间"),
    ({"instruments.csv": INSTRUMENTS + "BAD,x,crypto,X,20100104,1,\n"}, "第 4 行的 category"),
    ({"daybar/NOPE.csv": DAILY}, "instruments.csv 中没有合约 NOPE"),
    ({"ex_factors.csv": "order_book_id,ex_date,ex_cum_factor\nNOPE,20261203,2\n"}, "第 2 行：instruments.csv 中没有合约 NOPE"),
    ({"suspended.csv": "order_book_id,date\nSPLT.XNYS,2026-02-30\n"}, "第 2 行的 date 不是日期"),
    # Session hours the checks could not read would turn the session checks off without a word.
    ({"instruments.csv": INSTRUMENTS.replace("09:31-11:30,13:01-15:00", "09:31~11:30 13:01~15:00")},
     "第 2 行的 trading_hours"),
    ({"daybar/SPLT.XNYS.csv": DAILY + "2026-12-04,1,1,1,1,2.5\n"}, "第 4 行的 volume 应为整数"),
    ({"daybar/SPLT.XNYS.csv": DAILY + "20261201,1,1,1,1,1\n"}, "SPLT.XNYS.csv 中有重复的时间：2026-12-01 出现了不止一次"),
    ({"daybar/SPLT.XNYS.CSV": DAILY}, "合约 SPLT.XNYS 有两个文件"),
    ({"calendar.csv": "exchange,date\nXNYS,20261201\nXHKG,20261202\n"}, "calendar.csv 第 3 行的 exchange 不是 instruments.csv"),
    ({"calendar.csv": "exchange,date\nXDCE,20261201\nXDCE,2026-12-32\n"}, "calendar.csv 第 3 行的 date 不是日期"),
    ({"calendar.csv": "date,close_time\n20261201,\n20261202,1pm\n"}, "calendar.csv 第 3 行的 close_time 不是时刻"),
    ({"calendar.csv": "exchange,date\nXDCE,20261201\nXDCE,2026-12-01\n"}, "calendar.csv 第 3 行的日期 2026-12-01 重复"),
    ({"instruments.csv": INSTRUMENTS + "LONG,x,stock,EXCHANGE9,20100104,1,\n"}, "第 4 行的 exchange 超过 8 个字节"),
    # Numbers Python parses that no price or volume is, and integers past what the table holds.
    ({"daybar/SPLT.XNYS.csv": DAILY + "2026-12-04,1e400,1,1,1,1\n"}, "第 4 行的 open 不是数字"),
    ({"daybar/SPLT.XNYS.csv": DAILY + "2026-12-04,1,1,1,1,inf\n"}, "第 4 行的 volume 应为整数"),
    ({"daybar/SPLT.XNYS.csv": DAILY + "2026-12-04,1,1,1,1,1e30\n"}, "第 4 行的 volume 应为整数"),
    ({"calendar.csv": "date,close_time\n20261201,ab\n"}, "calendar.csv 第 2 行的 close_time 不是时刻"),
    ({"calendar.csv": "date\n20261203\n20261201\n20261203\n"}, "calendar.csv 第 4 行的日期 20261203 重复"),
    ({"ex_factors.csv": "order_book_id,ex_date,ex_cum_factor\nSPLT.XNYS,20261203,0\n"}, "第 2 行的 ex_cum_factor 应大于 0"),
    ({"ex_factors.csv": "order_book_id,ex_date,ex_cum_factor\nSPLT.XNYS,20261203,2\nSPLT.XNYS,20261203,3\n"},
     "ex_factors.csv 第 3 行与第 2 行重复"),
    # Cut to the table's 32 bytes it would be another code; cut trading hours would be other sessions.
    ({"instruments.csv": INSTRUMENTS + "X" * 33 + ",x,stock,X,20100104,1,\n"}, "第 4 行的 order_book_id 超过 32 个字节"),
    ({"instruments.csv": INSTRUMENTS + 'X,x,stock,X,20100104,1,"9:30-soon"\n'}, "第 4 行的 trading_hours"),
    ({"minbar/FUT2701.csv": NIGHT + "2026-12-02 21:01+08:00,1,1,1,1,1\n"}, "第 3 行的 datetime 不是日期时间"),
    ({"daybar/SPLT.XNYS.csv": DAILY + "1899-12-30,1,1,1,1,1\n"}, "第 4 行的 date 应在 1900 到 2099 年之间"),
    ({"daybar/SPLT.XNYS.csv": "date,open,high,low,close,volume,open\n"}, "第 1 行的列名重复：open"),
    ({"daybar/SPLT.XNYS.csv.gz": DAILY}, "合约 SPLT.XNYS 有两个文件"),
    ({"manifest.json": "[1]"}, "manifest.json 应为 JSON 对象"),
    # Labelled by their start in the file, the bundle's end labels must not be what the message shows.
    ({"minbar/SPLT.XNYS.csv.gz": MINUTES + "2026-12-03 09:30,1,1,1,1,1\n"}, "重复的时间：2026-12-03 09:30:00"),
    # Stored, a close of 0 is a full day: midnight would silently be no early close at all.
    ({"calendar.csv": "date,close_time\n20261201,\n20261202,00:00\n"}, "calendar.csv 第 3 行的 close_time 不能是 00:00"),
    ({"calendar.csv": "date,close_time\n20261201,24:00\n"}, "calendar.csv 第 2 行的 close_time 不是时刻"),
    ({"calendar.csv": "exchange,date\nXDCE,20261201\n,20261202\n"}, "calendar.csv 第 3 行的 exchange 为空"),
    # Neither UTF-8 nor GB18030: a Latin-1 accent before a line end, and UTF-16 as Excel saves "Unicode text".
    ({"suspended.csv": "order_book_id,date,note\nSPLT.XNYS,20261202,café\n".encode("latin-1")},
     "suspended.csv：既不是 UTF-8 也不是 GB18030（GBK）文本"),
    ({"suspended.csv": "order_book_id,date\nSPLT.XNYS,20261202\n".encode("utf-16")}, "iconv -f utf-16 -t utf-8"),
    # Without a calendar, a daily file of nothing but its header would make a bundle of no trading day.
    ({"daybar/SPLT.XNYS.csv": "date,open,high,low,close,volume\n", "calendar.csv": None}, "没有交易日"),
])
def test_bad_input_is_refused_by_file_and_line_and_nothing_is_swapped_in(tmp_path, files, says):
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=True)
    before = snapshot(path)
    source = layout(tmp_path / "vendor", **files)
    with pytest.raises(VantorelError) as caught:
        bundle.download_simple_bundle(path, sample=False, file_path=source)
    assert says in caught.value.message and "原 bundle 未作任何改动" in caught.value.message
    assert snapshot(path) == before


def test_series_files_in_capitals_are_read_and_other_files_named(tmp_path, capsys):
    # A drop made on Windows spells the extension in capitals; a file that is not read is named, on
    # the notice's one line.
    source = layout(tmp_path / "vendor", **{"daybar/SPLT.XNYS.csv": None, "daybar/SPLT.XNYS.CSV": DAILY,
                                            "instruments.csv": None, "instruments.CSV": INSTRUMENTS,
                                            "daybar/read\nme.txt": "x", "daybar/.hidden": "x"})
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    assert reading.read_daily(places.bundle_dir(path), "SPLT.XNYS")["close"].tolist() == [100.0, 50.5]
    err = capsys.readouterr().err
    assert "1 个不是 .csv 或 .csv.gz 的文件（如 read\\nme.txt）\n" in err and ".hidden" not in err


def test_bad_input_in_an_archive_is_named_by_its_member_not_the_staging_copy(tmp_path):
    source = layout(tmp_path / "vendor", **{"daybar/SPLT.XNYS.csv": DAILY + "2026-12-04,1,x,1,1,1\n"})
    archive = str(tmp_path / "vendor.tar.gz")
    with tarfile.open(archive, "w:gz") as tf:
        tf.add(source, arcname="vendor")
    with pytest.raises(VantorelError) as caught:
        bundle.download_simple_bundle(str(tmp_path / "data"), sample=False, file_path=archive)
    assert caught.value.message.startswith(archive + " 中的 vendor/daybar/SPLT.XNYS.csv 第 4 行的 high 不是数字")


def _fifo(path):
    os.mkfifo(path)
    done = threading.Event()

    def feed():
        # Were the fifo opened as a file, this writer lets the read end (empty) instead of hanging.
        # It waits on the event, not time.sleep, which other tests replace.
        while not done.wait(0.01):
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
                return
            except OSError:
                pass

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()

    def stop():
        done.set()
        feeder.join()

    return stop


def _cut_stream(path):
    packed = bytearray(gzip.compress(DAILY.encode() * 20))
    packed[len(packed) // 2] ^= 0xFF  # the deflate stream itself, past the header
    with open(path, "wb") as f:
        f.write(packed)


def _bomb(path):
    with gzip.open(path, "wb", compresslevel=9) as f:
        f.write(b"date,open,high,low,close,volume\n" + b"\n" * (3 << 20))


def _long_line(path):
    with open(path, "w") as f:
        f.write("date,open,high,low,close,volume\n" + "1" * (csv_import.LINE_LIMIT + 10))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="fifos are POSIX")
@pytest.mark.parametrize("name, make, says", [
    ("SPLT.XNYS.csv", _fifo, "不是普通文件"),
    ("SPLT.XNYS.csv.gz", _cut_stream, "无法读取"),
    ("SPLT.XNYS.csv.gz", _bomb, "疑似压缩炸弹"),
    ("SPLT.XNYS.csv", _long_line, "有一行超过"),
])
def test_a_file_that_would_hang_exhaust_or_crash_the_import_is_refused_by_name(tmp_path, monkeypatch, name, make, says):
    monkeypatch.setattr(csv_import, "GZIP_RATIO_FLOOR", 1 << 20)  # the bomb stays small and fast
    source = layout(tmp_path / "vendor", **{"daybar/SPLT.XNYS.csv": None})
    os.makedirs(os.path.join(source, "daybar"))
    stop = make(os.path.join(source, "daybar", name))
    path = str(tmp_path / "data")
    try:
        with pytest.raises(VantorelError) as caught:
            bundle.download_simple_bundle(path, sample=False, file_path=source)
    finally:
        if stop:
            stop()
    assert os.path.join("daybar", name) + " " in caught.value.message.replace("：", " ") and says in caught.value.message
    assert not places.holds_bundle_data(path)


def _at(rel, make):
    """A vendor folder without bars, but for ``make`` (given the path) at ``rel`` in place of the default entry."""
    def plant(root):
        source = layout(root, **{rel: None, "daybar/SPLT.XNYS.csv": None, "minbar/SPLT.XNYS.csv.gz": None,
                                 "minbar/FUT2701.csv": None})
        return make(os.path.join(source, rel))
    return plant


def _write(text):
    def make(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
    return make


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="fifos and links are POSIX")
@pytest.mark.parametrize("plant, says", [
    # Skipped, each of these left a bundle reported as converted without its factors, suspensions,
    # calendar or bars.
    (_at("ex_factors.csv", _fifo), "ex_factors.csv 不是普通文件（是管道）"),
    (_at("suspended.csv", os.mkdir), "suspended.csv 不是普通文件（是目录）"),
    (_at("calendar.csv", lambda path: os.symlink("gone.csv", path)), "calendar.csv 是指向不存在文件的符号链接"),
    (_at("daybar", _write(DAILY)), "daybar 不是目录"),
    (_at("minbar", lambda path: os.symlink("gone", path)), "minbar 不是目录"),
    (_at("manifest.json", _write("[" * 100000 + "]" * 100000)), "manifest.json：JSON 嵌套过深"),
    # Whatever a file name holds, the error stays one line that names it.
    (_at("daybar/B\nC.csv", _write(DAILY)), "daybar/B\\nC.csv：instruments.csv 中没有合约 B\\nC；"),
    (_at("daybar/X\x1b[2J.csv", _write(DAILY)), "daybar/X\\x1b[2J.csv："),
])
def test_what_is_not_the_data_it_is_named_as_is_refused_in_one_line(tmp_path, plant, says):
    path = str(tmp_path / "data")
    stop = plant(tmp_path / "vendor")
    try:
        with pytest.raises(VantorelError) as caught:
            bundle.download_simple_bundle(path, sample=False, file_path=str(tmp_path / "vendor"))
    finally:
        if stop:
            stop()
    shown = io.StringIO()
    caught.value.show(file=shown)
    assert says in shown.getvalue() and shown.getvalue().count("\n") == 1 and "\x1b" not in shown.getvalue()
    assert not places.holds_bundle_data(path)


SESSION = [f"2026-12-{d:02d} {h:02d}:{m:02d}" for d in (1, 2, 3) for h, m in
           [(9, 30 + i) if i < 30 else (10, i - 30) for i in range(0, 120)]]


@pytest.mark.parametrize("fault, kind", [
    (None, None),
    ("spike", "jump"),  # a 40% move on a day that is no ex-date
    ("gap", "missing_days"),  # a day missing that was no suspension
    ("ohlc", "ohlc"),  # a high below the close by far more than rounding
])
def test_real_market_features_raise_no_alarm_and_faults_are_found(tmp_path, fault, kind):
    from vantorel.checks import check_daily_bar_data

    # A 2:1 split on the 3rd (the raw price halves), a suspension on the 2nd, highs a rounding
    # (a part in 1e16) below the close, as adjusted prices have them, and a calendar of its own.
    bars = {d: [c, c * (1 - 2e-16), c * 0.99, c] for d, c in {1: 100.0, 3: 50.0, 4: 50.2, 7: 50.1}.items()}
    if fault == "spike":
        bars[7] = [70.3, 70.3, 69.9, 70.3]
    elif fault == "gap":
        del bars[4]
    elif fault == "ohlc":
        bars[7] = [49.0, 50.1, 48.9, 51.0]
    daily = "date,open,high,low,close,volume\n" + "".join(
        f"2026-12-{d:02d},{o!r},{h!r},{l!r},{c!r},1000\n" for d, (o, h, l, c) in bars.items())
    source = layout(tmp_path / "vendor", **{
        "daybar/SPLT.XNYS.csv": daily, "minbar/SPLT.XNYS.csv.gz": None, "minbar/FUT2701.csv": None,
        "calendar.csv": "date\n" + "".join(f"202612{d:02d}\n" for d in (1, 2, 3, 4, 7)),
        "ex_factors.csv": "order_book_id,ex_date,ex_cum_factor\nSPLT.XNYS,20261203,2.0\n"})
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    found = check_daily_bar_data(places.bundle_dir(path))
    assert sorted({a.kind for a in found}) == ([] if fault is None else [kind]), found


@pytest.mark.parametrize("adjust, closes", [(None, [100.0, 50.5]), ("post", [100.0, 101.0]), ("pre", [50.0, 50.5])])
def test_daily_bars_read_back_adjusted_with_the_ex_factors(tmp_path, adjust, closes):
    from vantorel import data

    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=layout(tmp_path / "vendor"))
    assert data.daily_bars("SPLT.XNYS", adjust=adjust, bundle_path=path)["close"].tolist() == closes


DAYS = [20261101 + i for i in range(0, 30) if (20261101 + i) % 100 <= 30]


def daily_text(closes, volumes=None, skip=()):
    rows = "".join(f"{d},{c!r},{c * 1.01!r},{c * 0.99!r},{c!r},{(volumes or {}).get(d, 1000 + i * 7)}\n"
                   for i, (d, c) in enumerate(zip(DAYS, closes)) if d not in skip)
    return "date,open,high,low,close,volume\n" + rows


@pytest.mark.parametrize("fault, kind", [
    (None, None),
    ("stale", "stale"),  # the same bar five days running: a feed that stopped but kept publishing
    ("volume", "volume_outlier"),  # one day's volume a hundred times the series' own
    ("spike", "reverting_spike"),  # a 15% print, below the jump threshold, undone the next day
    ("stopped", "stopped"),  # a series that ends a week before the others
    ("holiday", "market_gap"),  # a day missing from every series: one row, not one per series
])
def test_habits_of_real_data_are_found_once(tmp_path, fault, kind):
    from vantorel.checks import check_daily_bar_data

    wave = [100 * (1 + 0.01 * ((i * 7) % 5 - 2)) for i in range(len(DAYS))]
    codes = [f"S{i}.XNYS" for i in range(4)]
    files = {"instruments.csv": "order_book_id,symbol,category,exchange,listed_date\n" + "".join(
        f"{c},{c},stock,XNYS,20100104\n" for c in codes), "calendar.csv": "date\n" + "".join(f"{d}\n" for d in DAYS),
        "daybar/SPLT.XNYS.csv": None, "minbar/SPLT.XNYS.csv.gz": None, "minbar/FUT2701.csv": None,
        "ex_factors.csv": None, "suspended.csv": None}
    for n, code in enumerate(codes):
        closes, volumes, skip = [w * (1 + n / 10) for w in wave], {}, ()
        if n == 0 and fault == "stale":
            closes[10:15] = [closes[10]] * 5
            volumes = {d: 1234 for d in DAYS[10:15]}
        if n == 0 and fault == "volume":
            volumes = {DAYS[12]: 100_000}
        if n == 0 and fault == "spike":
            closes[12] *= 1.15
        if n == 0 and fault == "stopped":
            skip = DAYS[-7:]
        if fault == "holiday":
            skip = (DAYS[9],)
        files[f"daybar/{code}.csv"] = daily_text(closes, volumes, skip)
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=layout(tmp_path / "vendor", **files))
    found = check_daily_bar_data(places.bundle_dir(path))
    assert [a.kind for a in found] == ([] if fault is None else [kind]), found


# Two weeks of a stock with a 2:1 split on the 5th, a 1:4 reverse split on the 10th, a suspension
# on the 9th and a holiday on the 11th; minute bars labelled by the start of their minute, daily
# bars from another feed (a close an auction print away, a little more volume).
MARKET_DAYS = [2, 3, 4, 5, 6, 9, 10, 12, 13]
SUSPENDED_DAY, MARKET_HOLIDAY = 9, 11
RAW_SCALE = {d: 1.0 if d < 5 else 0.5 if d < 10 else 2.0 for d in MARKET_DAYS}


def session_starts(day):
    return [f"2026-11-{day:02d} {h:02d}:{m:02d}" for h, m in
            [divmod(9 * 60 + 30 + i, 60) for i in range(120)] + [divmod(13 * 60 + i, 60) for i in range(120)]]


def market_files(fault):
    minutes, daily = ["datetime,open,high,low,close,volume"], ["date,open,high,low,close,volume"]
    price = 40.0
    for day in MARKET_DAYS:
        if day == SUSPENDED_DAY:
            continue
        bars = []
        for n, stamp in enumerate(session_starts(day)):
            step = 0.02 * (((n * 7 + day) % 5) - 2) / 2
            o, c = price, price + step
            price = c
            bars.append([stamp] + [round(v * RAW_SCALE[day], 4) for v in (o, max(o, c) + 0.01, min(o, c) - 0.01, c)]
                        + [100 + n + day])
        if fault == "missing_minutes" and day == 4:
            del bars[50:53]
        if fault == "off_session" and day == 4:
            bars.insert(120, ["2026-11-04 12:00"] + bars[119][1:])
        if fault == "negative_volume" and day == 12:
            bars[30][5] = -5
        minutes += [",".join(map(str, b)) for b in bars]
        o, c = bars[0][1], bars[-1][4]
        h, l = max(b[2] for b in bars), min(b[3] for b in bars)
        volume = sum(b[5] for b in bars)
        close = c * (1.01 if fault == "daily_vs_minute" and day == 6 else 1.0008)
        daily.append(f"2026-11-{day:02d},{o},{max(h, close)},{l},{close},{int(volume * 1.01)}")
    if fault == "non_trading_day":
        daily.append(daily[-1].replace("2026-11-13", f"2026-11-{MARKET_HOLIDAY}"))
        daily.sort(key=lambda row: row[:10])
        daily.insert(0, daily.pop())  # the header back on top
    return {
        "daybar/SPLT.XNYS.csv": "\n".join(daily) + "\n",
        "minbar/SPLT.XNYS.csv.gz": "\n".join(minutes) + "\n",
        "minbar/FUT2701.csv": None,
        "instruments.csv": INSTRUMENTS.replace("20100104", "20261104" if fault == "outside_listing" else "20100104"),
        "calendar.csv": "date\n" + "".join(f"202611{d:02d}\n" for d in MARKET_DAYS),
        "ex_factors.csv": "order_book_id,ex_date,ex_cum_factor\nSPLT.XNYS,20261105,2.0\nSPLT.XNYS,20261110,0.5\n",
        "suspended.csv": f"order_book_id,date\nSPLT.XNYS,202611{SUSPENDED_DAY:02d}\n",
    }


@pytest.mark.parametrize("fault, kinds", [
    (None, []),
    ("missing_minutes", ["session_count"]),
    ("off_session", ["off_session"]),
    ("negative_volume", ["negative_volume"]),
    ("daily_vs_minute", ["daily_vs_minute"]),  # a close 1% off its minutes: more than two feeds differ
    ("non_trading_day", ["non_trading_day"]),  # a daily bar on the holiday
    ("outside_listing", ["outside_listing"]),
])
def test_a_real_looking_market_checks_clean_and_its_faults_are_found(tmp_path, fault, kinds):
    from vantorel.checks import check_daily_bar_data, check_min_bar_data

    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=layout(tmp_path / "vendor", **market_files(fault)))
    found = check_min_bar_data(path) + check_daily_bar_data(places.bundle_dir(path))
    assert sorted({a.kind for a in found}) == sorted(kinds), found


def us_minutes(day, count):
    return "".join(f"2026-11-{day} {9 + (30 + i) // 60:02d}:{(30 + i) % 60:02d},10,10.1,9.9,10,100\n" for i in range(count))


@pytest.mark.parametrize("close_time, short_day_bars, kinds", [
    ("13:00", 210, set()),  # the day after Thanksgiving closes at 13:00: 210 bars are the whole day
    ("", 210, {"session_count"}),  # a calendar that does not say so: the day is short
    ("13:00", 390, {"off_session"}),  # bars past an early close are outside its sessions
])
def test_minute_bars_of_an_early_close_are_held_to_its_close(tmp_path, close_time, short_day_bars, kinds):
    from vantorel.checks import check_min_bar_data

    source = layout(tmp_path / "vendor", **{
        "instruments.csv": "order_book_id,symbol,category,exchange,listed_date,trading_hours\n"
                           "AAPL.XNAS,Apple,stock,XNAS,1980-12-12,09:31-16:00\n",
        "daybar/SPLT.XNYS.csv": None, "minbar/SPLT.XNYS.csv.gz": None, "minbar/FUT2701.csv": None,
        "ex_factors.csv": None, "suspended.csv": None,
        "calendar.csv": f"date,close_time\n20261125,\n20261127,{close_time}\n",
        "minbar/AAPL.XNAS.csv": "datetime,open,high,low,close,volume\n" + us_minutes(25, 390) + us_minutes(27, short_day_bars)})
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    assert {a.kind for a in check_min_bar_data(path)} == kinds


# Two markets in one bundle, each closed on a day the other trades; New York closes early on the 10th.
STOCKS = {"H1.XHKG": "XHKG", "H2.XHKG": "XHKG", "U1.XNYS": "XNYS", "U2.XNYS": "XNYS"}
WEEKS = [20261201, 20261202, 20261203, 20261204, 20261207, 20261208, 20261209, 20261210, 20261211]
HOLIDAY = {"XHKG": 20261203, "XNYS": 20261208}
EARLY_DAY, EARLY_CLOSE = 20261210, "13:03"
LABELS = [f"{h}:{m:02d}" for h, first in (("09", 31), ("13", 1)) for m in range(first, first + 5)]


def two_markets(root, calendar, spoil=None):
    """A CSV folder of the two markets; ``spoil`` takes H1's bars of the 9th away ("gap"), keeps
    U1's bars after the early close ("full") or drops one before it ("short")."""
    files = {"instruments.csv": "order_book_id,symbol,category,exchange,listed_date,tick_size,trading_hours\n" + "".join(
        f'{code},{code},stock,{exchange},20100104,0.01,"09:31-09:35,13:01-13:05"\n' for code, exchange in STOCKS.items()),
        "calendar.csv": "exchange,date,close_time\n" + "".join(
            f"{exchange},{day},{EARLY_CLOSE if (exchange, day) == ('XNYS', EARLY_DAY) else ''}\n"
            for exchange in HOLIDAY for day in WEEKS if day != HOLIDAY[exchange]) if calendar else None,
        "manifest.json": None, "ex_factors.csv": None, "suspended.csv": None,
        "daybar/SPLT.XNYS.csv": None, "minbar/SPLT.XNYS.csv.gz": None, "minbar/FUT2701.csv": None}
    for code, exchange in STOCKS.items():
        daily, minutes = ["date,open,high,low,close,volume\n"], ["datetime,open,high,low,close,volume\n"]
        for n, day in enumerate(WEEKS):
            if day == HOLIDAY[exchange] or (spoil, code, day) == ("gap", "H1.XHKG", 20261209):
                continue
            labels = LABELS
            if calendar and (exchange, day) == ("XNYS", EARLY_DAY) and (spoil, code) != ("full", "U1.XNYS"):
                labels = [label for label in labels if label <= EARLY_CLOSE]
            if (spoil, code, day) == ("short", "U1.XNYS", EARLY_DAY):
                labels = [label for label in labels if label != "13:02"]
            minutes += [f"2026-12-{day % 100:02d} {label},10,10.01,9.99,10,{100 + n}\n" for label in labels]
            daily.append(f"{day},10,10.01,9.99,10,{(100 + n) * len(labels)}\n")
        files[f"daybar/{code}.csv"], files[f"minbar/{code}.csv"] = "".join(daily), "".join(minutes)
    return layout(root, **files)


@pytest.mark.parametrize("calendar", [True, False])
@pytest.mark.parametrize("spoil", [None, "gap"])
def test_each_exchange_is_checked_against_its_own_calendar(tmp_path, capsys, calendar, spoil):
    from vantorel.checks import check_daily_bar_data, check_min_bar_data

    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=two_markets(tmp_path / "vendor", calendar, spoil))
    if not calendar:
        assert "各交易所的交易日历取自其合约日线" in capsys.readouterr().err
    calendars = reading.read_calendars(places.bundle_dir(path))
    assert calendars[None][0].tolist() == WEEKS  # the union, for readers that know no other
    for exchange, holiday in HOLIDAY.items():
        assert calendars[exchange][0].tolist() == [day for day in WEEKS if day != holiday]
    expected = {("H1.XHKG", "missing_days")} if spoil else set()
    assert {(a.code, a.kind) for a in check_min_bar_data(path)} == expected
    assert {(a.code, a.kind) for a in check_daily_bar_data(places.bundle_dir(path))} == expected


@pytest.mark.parametrize("spoil, kind", [("full", "off_session"), ("short", "session_count")])
def test_bars_are_held_against_the_early_close(tmp_path, spoil, kind):
    from vantorel.checks import check_min_bar_data

    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=two_markets(tmp_path / "vendor", True, spoil))
    found = check_min_bar_data(path)
    assert {(a.code, a.kind) for a in found} == {("U1.XNYS", kind)}
    assert found[0].examples[0].startswith("2026-12-10 ")


def test_an_update_from_the_service_keeps_what_a_csv_import_knew_of_its_own_markets(tmp_path, monkeypatch):
    import numpy as np

    from vantorel import data
    from vantorel.sources import service
    from vantorel.checks import check_daily_bar_data, check_min_bar_data

    path = str(tmp_path / "data")
    source = two_markets(tmp_path / "vendor", True, spoil="gap")  # H1 has no bars on the 9th: suspended
    with open(os.path.join(source, "suspended.csv"), "w") as f:
        f.write("order_book_id,date\nH1.XHKG,20261209\n")
    with open(os.path.join(source, "ex_factors.csv"), "w") as f:
        f.write("order_book_id,ex_date,ex_cum_factor\nH2.XHKG,20261207,1.5\n")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    directory = places.bundle_dir(path)
    before = reading.read_calendars(directory)
    monkeypatch.setenv(service.ENV_NOW, "2026-12-14T16:00")
    client = service.EmbeddedClient(service.EmbeddedService(universe="sample"), 2, require_login=False)
    for run in range(2):
        engine.update(client, path, True, {})
        calendars = reading.read_calendars(directory)
        assert calendars[None][0].tolist() == trading_dates(CALENDAR_START, 20271231).tolist()
        for exchange in HOLIDAY:
            assert calendars[exchange][0].tolist() == before[exchange][0].tolist()
            assert calendars[exchange][1].tolist() == before[exchange][1].tolist()
        if run == 0:
            stamp = os.stat(os.path.join(directory, places.TRADING_DATES_FILE)).st_ino
    assert os.stat(os.path.join(directory, places.TRADING_DATES_FILE)).st_ino == stamp  # nothing new: not rewritten
    suspended, factors = reading.read_table(directory, "suspended"), reading.read_table(directory, "ex_factors")
    assert (b"H1.XHKG", 20261209) in suspended.tolist() and (b"H2.XHKG", 20261207, 1.5) in factors.tolist()
    assert np.all(suspended["order_book_id"][1:] >= suspended["order_book_id"][:-1])
    assert data.early_closes(bundle_path=path, exchange="XNYS").tolist() == [(EARLY_DAY, 1303)]
    assert HOLIDAY["XHKG"] not in data.trading_dates(bundle_path=path, exchange="XHKG")
    # Held against their own holidays and suspensions, as before the update; H2's kept ex-factor still
    # adjusts its flat raw prices, into a jump.
    found = check_min_bar_data(path) + check_daily_bar_data(directory)
    assert {(a.code, a.kind) for a in found if a.code in STOCKS} == {("H2.XHKG", "jump")}


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="a link of another user")
@pytest.mark.parametrize("link_owner, taken", [(0, True), (4321, False)], ids=["the user's own", "another user's"])
@pytest.mark.parametrize("at", ["daybar/SPLT.XNYS.csv", "daybar"])
def test_a_folder_s_link_is_followed_only_when_the_user_made_it(tmp_path, link_owner, taken, at):
    # Another user's folder, linking to a file only the user may read: the import would copy it
    # into a bundle others may read.
    private = tmp_path / "private"
    layout(private)
    os.chmod(private, 0o700)
    folder = layout(tmp_path / "theirs", **{"daybar/SPLT.XNYS.csv": None})
    if at != "daybar":
        os.makedirs(os.path.join(folder, "daybar"))
    os.symlink(private / at, os.path.join(folder, at))
    os.lchown(os.path.join(folder, at), link_owner, link_owner)
    path = str(tmp_path / "data")
    if taken:
        assert bundle.download_simple_bundle(path, sample=False, file_path=folder)
        return
    with pytest.raises(VantorelError, match="建的符号链接"):
        bundle.download_simple_bundle(path, sample=False, file_path=folder)
    assert not places.holds_bundle_data(path)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="a link of another user")
def test_a_link_of_another_user_swapped_in_at_the_open_is_refused(tmp_path, monkeypatch):
    private = tmp_path / "private"
    layout(private)
    os.chmod(private, 0o700)
    folder = layout(tmp_path / "theirs")
    target = os.path.join(folder, "daybar", "SPLT.XNYS.csv")
    real_open = os.open

    def swapped_at_the_open(name, *args, **kwargs):
        # What another user's loop of exchanges does between the kit's look and its open.
        if name == target and not os.path.islink(target):
            os.rename(target, target + ".aside")
            os.symlink(private / "daybar" / "SPLT.XNYS.csv", target)
            os.lchown(target, 4321, 4321)
        return real_open(name, *args, **kwargs)

    monkeypatch.setattr(os, "open", swapped_at_the_open)
    with pytest.raises(VantorelError, match="建的符号链接"):
        bundle.download_simple_bundle(str(tmp_path / "data"), sample=False, file_path=folder)
