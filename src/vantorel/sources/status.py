"""What a CSV folder may say of its stocks and futures besides their bars, for the checks to hold
them to their market's rules; each an optional file, kept in a small table of its own under bundle/:

    st_status.csv       order_book_id, start_date, status [, end_date]   special treatment ("ST" or
                        "*ST") from start_date to end_date, both included; no end_date while it holds
    listing_marks.csv   order_book_id, date, mark      a day the stock traded without a price limit:
                        "relisting" (back after a suspended listing) or "resumption" (a resumption
                        the exchange let trade without one)
    instruments.csv     [, continuous]                 1 for a continuous futures series (its rolls
                        are rolls, not jumps); 0 or empty for a contract

Bad rows are refused naming the file and the line, as the rest of the layout's are.
"""
from vantorel.market import schemas

REQUIRED = {
    "st_status": ("order_book_id", "start_date", "status"),
    "listing_marks": ("order_book_id", "date", "mark"),
}
STATUSES = ("ST", "*ST")
MARKS = ("relisting", "resumption")
_YES, _NO = ("1", "true", "yes", "y", "是"), ("", "0", "false", "no", "n", "否")


def convert(source, directory, category):
    """Read the optional files of the CSV folder ``source`` and write their tables into the
    bundle directory ``directory``; ``category``: {code: category} of instruments.csv."""
    from vantorel.bundle import writing

    for name, table in (("st_status", _st_status(source, category)),
                        ("listing_marks", _listing_marks(source, category)),
                        ("continuous", _continuous(source, category))):
        if table is not None:
            writing.write_table(directory, name, table)


def _st_status(source, category):
    from vantorel.sources.csv_import import CsvError, _date, _known, _table

    def row(values, path, number):
        status = values["status"].upper()
        if status not in STATUSES:
            raise CsvError(f"{path} 第 {number} 行的 status 应为 ST 或 *ST：{values['status']!r}")
        start = _date(values["start_date"], path, number, "start_date")
        end = _date(values["end_date"], path, number, "end_date") if values.get("end_date") else 0
        if end and end < start:
            raise CsvError(f"{path} 第 {number} 行的 end_date 早于 start_date")
        return _known(values["order_book_id"], category, path, number), start, end, status.encode()

    table = _table(source, "st_status", "st_status", schemas.ST_STATUS_FIELDS, row, key=2)
    if table is not None:
        _refuse_overlaps(source, table)
    return table


def _refuse_overlaps(source, table):
    """Two spans of one stock that share a day would give that day two statuses."""
    import numpy as np

    from vantorel.sources.csv_import import CsvError

    order = np.lexsort((table["start_date"], table["order_book_id"]))
    rows = table[order]
    for before, after in zip(rows[:-1], rows[1:]):
        if before["order_book_id"] == after["order_book_id"] and (not before["end_date"] or before["end_date"] >= after["start_date"]):
            raise CsvError("{}/st_status.csv 中 {} 的两段特别处理时间重叠（自 {} 与自 {} 起）".format(
                source, after["order_book_id"].decode(), before["start_date"], after["start_date"]))


def _listing_marks(source, category):
    from vantorel.sources.csv_import import CsvError, _date, _known, _table

    def row(values, path, number):
        mark = values["mark"].lower()
        if mark not in MARKS:
            raise CsvError(f"{path} 第 {number} 行的 mark 应为 relisting 或 resumption：{values['mark']!r}")
        return _known(values["order_book_id"], category, path, number), _date(values["date"], path, number, "date"), mark.encode()

    return _table(source, "listing_marks", "listing_marks", schemas.LISTING_MARK_FIELDS, row, key=2)


def _continuous(source, category):
    """The codes instruments.csv marks as continuous series; None without the column."""
    import numpy as np

    from vantorel.sources.csv_import import INSTRUMENTS, CsvError, _rows, find

    path = find(source, INSTRUMENTS)
    codes, seen = [], False
    for number, values in _rows(path, "instruments"):
        if "continuous" not in values:
            return None
        seen = True
        flag = values["continuous"].lower()
        if flag not in _YES + _NO:
            raise CsvError(f"{path} 第 {number} 行的 continuous 应为 1（连续合约）或 0：{values['continuous']!r}")
        if flag in _YES:
            if category.get(values["order_book_id"]) != "futures":
                raise CsvError(f"{path} 第 {number} 行：只有期货可以是连续合约（continuous=1）")
            codes.append((values["order_book_id"].encode(),))
    return np.array(codes, dtype=schemas.CONTINUOUS_FIELDS) if seen else None
