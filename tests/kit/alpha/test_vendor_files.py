"""CSV folders as Chinese vendors write them: encodings, headers, code forms, bars of several minutes, lots."""
import json
import os

import pytest

from vantorel import checks
from vantorel.bundle import places, reading
from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import bundle
from vantorel.sources import csv_import

DAYS = ("20261201", "20261202", "20261203")
SESSIONS = ((9 * 60 + 31, 11 * 60 + 30), (13 * 60 + 1, 15 * 60))


def write(root, files, encoding="gbk"):
    for rel, text in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode(encoding))
    return str(root)


def labels(minutes):
    """Bar labels of the A-share sessions for bars of ``minutes``, as HHMM texts."""
    out = []
    for first, last in SESSIONS:
        out += ["%02d%02d" % divmod(m, 60) for m in range(first - 1 + minutes, last + 1, minutes)]
    return out


def attrs_minutes(manifest, minutes):
    return (manifest or {}).get("bar_minutes", minutes)


def vendor_folder(root, minutes, drop=None, manifest=None, per_day=False):
    """Two stocks as a Chinese vendor exports them: GBK, Chinese headers, 600000.SH codes, a
    file named sz000001, date and time in two columns, volume in lots (手), dates as Excel saves them;
    with ``per_day``, as one file a day holding both (a 代码 column)."""
    files = {"instruments.csv": "代码,名称,类别,交易所,上市日期\r\n600000.SH,浦发银行,股票,上交所,1999/11/10\r\n"
                                "000001.SZ,平安银行,股票,深交所,1991/4/3\r\n"}
    if per_day:
        per_code = _per_code_files(minutes, drop)
        for day in DAYS:
            for kind, header in (("daybar", "代码,日期,开盘,最高,最低,收盘,成交量(手),成交额"),
                                 ("minbar", "代码,日期,时间,开盘,最高,最低,收盘,成交量(手),成交额")):
                rows = [f"{name},{line}" for name in ("600000.SH", "sz000001")
                        for line in per_code[f"{kind}/{name}.csv"] if line.split(",")[0].replace("/", "") in
                        (day, f"{day[:4]}{int(day[4:6])}{int(day[6:])}")]
                files[f"{kind}/{day}.csv"] = "\r\n".join([header] + rows) + "\r\n"
    else:
        files.update({rel: "\r\n".join(lines) + "\r\n" for rel, lines in _per_code_files(minutes, drop).items()})
    if manifest:
        files["manifest.json"] = json.dumps(manifest)
    return write(root, files)


def _per_code_files(minutes, drop):
    files = {}
    for name in ("600000.SH", "sz000001"):
        day_rows, minute_rows = ["日期,开盘,最高,最低,收盘,成交量(手),成交额"], ["日期,时间,开盘,最高,最低,收盘,成交量(手),成交额"]
        for k, day in enumerate(DAYS):
            price = f"{10 + k / 100:.2f},{10.1 + k / 100:.2f},{9.9 + k / 100:.2f},{10 + k / 100:.2f}"  # no day repeats another
            bars = [(day, t) for t in labels(minutes) if (day, t) != drop]
            minute_rows += [f"{day},{t},{price},3,3000" for day, t in bars]
            excel = f"{day[:4]}/{int(day[4:6])}/{int(day[6:])}"
            day_rows.append(f"{excel},{price},{3 * len(bars)},{3000 * len(bars)}")
        files[f"daybar/{name}.csv"] = day_rows
        files[f"minbar/{name}.csv"] = minute_rows
    return files


@pytest.mark.parametrize("minutes, drop, manifest, found, per_day", [
    (5, None, None, set(), False),
    (15, None, None, set(), False),
    (30, None, {"bar_minutes": 30}, set(), False),
    (60, None, None, set(), False),
    (5, ("20261202", "1305"), None, {"session_count"}, False),  # a bar missing is still found
    (5, None, {"bar_minutes": 15}, {"off_session"}, False),  # bars that are not what the manifest says
    (5, None, None, set(), True),  # one file a day holding both codes
])
def test_a_gbk_folder_of_bars_of_several_minutes_imports_and_checks_as_what_it_is(tmp_path, capsys, minutes, drop,
                                                                                   manifest, found, per_day):
    source = vendor_folder(tmp_path / "vendor", minutes, drop, manifest, per_day)
    path = str(tmp_path / "data")
    assert bundle.download_simple_bundle(path, sample=False, file_path=source)
    said = capsys.readouterr().err
    assert "已按 GB18030（GBK）编码读取" in said and "600000.SH → 600000.XSHG" in said and "sz000001 → 000001.XSHE" in said
    assert ("按相邻分钟线的间隔判断" in said) is (manifest is None) and f"为 {attrs_minutes(manifest, minutes)} 分钟线" in said
    file = places.minbar_path(path, "stock", "000001.XSHE")
    bars, attrs = reading.read_minbar_with_attrs(file)
    assert attrs["bar_minutes"] == attrs_minutes(manifest, minutes)
    assert bars["volume"][0] == 300 and bars["datetime"][0] == int(DAYS[0] + labels(minutes)[0] + "00")
    minute_findings = checks.check_min_bar_data(path)
    assert {a.kind for a in minute_findings} == found
    assert checks.check_daily_bar_data(places.bundle_dir(path)) == []  # the lots converted alike in both


@pytest.mark.parametrize("rows, file_name, read_as", [
    ("600000.SH,上交所", "600000.SH", "600000.XSHG"),
    ("sh600000,", "SH600000", "600000.XSHG"),
    ("SZ000001,SZ", "000001.sz", "000001.XSHE"),
    ("430047.BJ,北交所", "bj430047", "430047.BJSE"),
    ("600000,SSE", "600000", "600000.XSHG"),
    ("600000.XSHG,XSHG", "sh600000", "600000.XSHG"),
    ("SPLT.XNYS,XNYS", "SPLT.XNYS", "SPLT.XNYS"),  # other markets' codes as written
    ("600000.SH,深交所", "600000.SH", "属于 XSHG，而 exchange 为 深交所"),
    # 000001 is a Shanghai index and a Shenzhen stock: a bare number names neither.
    ("000001.SH,SH\n000001.SZ,SZ", "000001", "代码 000001 在多个交易所都有"),
])
def test_vendor_code_forms_are_the_kit_s_codes(tmp_path, rows, file_name, read_as):
    header = "order_book_id,symbol,category,exchange,listed_date\n"
    lines = "".join(f"{code},x,stock,{exchange},2010-01-04\n" for code, exchange in (r.split(",") for r in rows.split("\n")))
    source = write(tmp_path / "vendor", {"instruments.csv": header + lines,
                                         f"daybar/{file_name}.csv": "date,open,high,low,close,volume\n2026-12-01,1,1,1,1,1\n"})
    target = str(tmp_path / "out")
    if "." not in read_as:
        with pytest.raises(VantorelError, match=read_as):
            csv_import.convert(source, target, lambda text: None)
        return
    csv_import.convert(source, target, lambda text: None)
    table = reading.read_instruments(places.bundle_dir(target))
    assert table["order_book_id"].tolist() == [read_as.encode()]
    assert table["exchange"][0].decode() == read_as.split(".")[1]
    assert reading.read_daily(places.bundle_dir(target), read_as)["close"].tolist() == [1.0]


@pytest.mark.parametrize("encoding, padding, symbol", [
    ("gbk", 0, "浦发银行"),
    ("gb18030", 70000, "浦发银行"),  # the first text that is not ASCII comes in a later read of the file
    ("utf-8", 70000, "浦发银行"),
    ("utf-8-sig", 0, "Société"),
    (None, 70000, "既不是 UTF-8 也不是 GB18030"),  # UTF-8 at first, GBK further on: no one encoding reads it
])
def test_the_encoding_is_chosen_once_on_the_first_text_that_is_not_ascii(tmp_path, encoding, padding, symbol):
    filler = "".join(f"F{n:06d}.XNYS,filler,stock,XNYS,2010-01-04\n" for n in range(padding // 40))
    header = "order_book_id,symbol,category,exchange,listed_date\n"
    if encoding is None:
        data = (header + "UTF8.XNYS,中文,stock,XNYS,2010-01-04\n" + filler).encode() + "X.XNYS,浦发,stock,XNYS,2010-01-04\n".encode("gbk")
    else:
        data = (header + filler + f"X.XNYS,{symbol},stock,XNYS,2010-01-04\n").encode(encoding)
    source = write(tmp_path / "vendor", {"instruments.csv": data, "calendar.csv": "date\n20261201\n"})
    target = str(tmp_path / "out")
    if encoding is None:
        with pytest.raises(VantorelError, match=symbol):
            csv_import.convert(source, target, lambda text: None)
        return
    said = []
    csv_import.convert(source, target, said.append)
    records = {r["order_book_id"]: r for r in reading.instrument_records(reading.read_instruments(places.bundle_dir(target)))}
    assert records["X.XNYS"]["symbol"] == symbol
    assert any("GB18030" in line for line in said) is encoding.startswith("gb")
