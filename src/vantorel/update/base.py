"""The base tables of an update: instruments, calendars, ex-factors and suspensions, rewritten only
when they changed."""
from vantorel.bundle import places, reading, writing
from vantorel.market import schemas
from vantorel.market.calendar import CALENDAR_START, to_date
from vantorel.update.plan import stored_codes


def _still_stored(bundle_path, offered, dtype):
    """Rows of the stored instrument table whose code the service no longer offers but that still
    have data in the bundle: an expired contract keeps its listing, sessions and tick size."""
    directory = places.bundle_dir(bundle_path)
    try:
        table = reading.read_instruments(directory).astype(dtype)
    except (FileNotFoundError, places.StorageError, OSError, ValueError, TypeError):
        return None  # nothing usable to keep
    with_data = stored_codes(bundle_path, "minbar") | stored_codes(bundle_path, "tick") | reading.daybar_codes(directory)
    codes = [code.decode() for code in table["order_book_id"]]
    return table[[i for i, code in enumerate(codes) if code not in offered and code in with_data]]



def _base_tables(client, latest, concurrency):
    """(trading dates, ex-factors, suspensions) from the service, asked for together over up to
    ``concurrency`` connections: each is a round trip before any bar can be fetched."""
    from concurrent.futures import ThreadPoolExecutor

    last_year = to_date(latest).year + 1
    with ThreadPoolExecutor(max_workers=min(3, concurrency), thread_name_prefix="vantorel-fetch") as pool:
        asked = [pool.submit(client.trading_dates, CALENDAR_START, f"{last_year}-12-31"),
                 pool.submit(client.ex_factors), pool.submit(client.suspended)]
        return [answer.result() for answer in asked]



def write_base(client, bundle_path, instruments, latest, concurrency, sources=None):
    """The service's base tables; the stored rows of instruments it does not offer, or that
    ``sources`` gives to another source, are kept, and the instrument table records ``sources``."""
    import numpy as np

    from vantorel.sources import provenance

    dtype = schemas.instrument_dtype()
    arr = np.array([inst.record() for inst in instruments], dtype=dtype)
    kept = _still_stored(bundle_path, {inst.order_book_id for inst in instruments}, dtype)
    if kept is not None and len(kept):
        arr = np.concatenate([arr, kept])
    bundle_directory = places.bundle_dir(bundle_path)
    dates, ex_factors, suspended = _base_tables(client, latest, concurrency)
    # Rewritten only when they changed: most days they did not, and an update should cost what is new.
    recorded = None if sources is None else sources.text()
    if not _same_as_stored(reading.read_instruments, bundle_directory, arr) or (
            recorded is not None and provenance.read(bundle_path).text() != recorded):
        writing.write_instruments(bundle_directory, arr, None if recorded is None else {provenance.ATTRIBUTE: recorded})
    # Instruments the service does not offer (a CSV import's, say) keep what the bundle knew of them:
    # their exchanges' calendars, their suspensions and ex-factors. Without them the checks would
    # hold them against the service's holidays, and their adjusted prices would lose their splits.
    kept_codes = set() if kept is None else {code.decode() for code in kept["order_book_id"]}
    served = {inst.exchange for inst in instruments}
    kept_exchanges = set() if kept is None else {e.decode() for e in kept["exchange"]} - served - {""}
    exchanges = _kept_calendars(bundle_directory, kept_exchanges)
    if not _same_calendars(bundle_directory, dates, exchanges):
        writing.write_trading_dates(bundle_directory, dates, None, exchanges)
    for name, table in (("ex_factors", ex_factors), ("suspended", suspended)):
        table = _with_kept_rows(bundle_directory, name, table, kept_codes)
        if not _same_as_stored(lambda d: reading.read_table(d, name), bundle_directory, table):
            writing.write_table(bundle_directory, name, table)



def _kept_calendars(bundle_directory, names):
    """{exchange: (days, early closes)} of the stored calendars of ``names``: each exchange's own,
    else the bundle-wide one its instruments were held against (a CSV import of one market)."""
    if not names:
        return {}
    try:
        stored = reading.read_calendars(bundle_directory)
    except (OSError, places.StorageError):
        return {}  # nothing readable to keep; the checks report the file as it was
    kept = {}
    for name in sorted(names):
        calendar = stored.get(name) or stored.get(None)
        if calendar is not None and len(calendar[0]):
            kept[name] = calendar
    return kept



def _same_calendars(bundle_directory, dates, exchanges):
    import numpy as np

    try:
        stored = reading.read_calendars(bundle_directory)
    except (OSError, places.StorageError):
        return False
    wanted = {None: (dates, np.zeros(0, schemas.EARLY_CLOSE_FIELDS)), **exchanges}
    return stored.keys() == wanted.keys() and all(
        np.array_equal(np.asarray(stored[k][0], "i8"), np.asarray(wanted[k][0], "i8"))
        and np.array_equal(stored[k][1], np.asarray(wanted[k][1]).astype(schemas.EARLY_CLOSE_FIELDS))
        for k in wanted)



def _with_kept_rows(bundle_directory, name, table, codes):
    """The service's table with the stored rows of ``codes`` added, ordered by code and date."""
    import numpy as np

    if not codes:
        return table
    try:
        stored = reading.read_table(bundle_directory, name)
    except (OSError, places.StorageError):
        return table
    if stored is None or not len(stored):
        return table
    keys = [code.encode() for code in sorted(codes)]
    mine = stored[np.isin(stored["order_book_id"], keys)]
    if not len(mine):
        return table
    # The kept codes' rows are the stored ones, not what the service has of the same codes.
    table = table[~np.isin(table["order_book_id"], keys)]
    merged = np.concatenate([table, mine.astype(table.dtype)])
    return np.sort(merged, order=list(table.dtype.names[:2]))



def _same_as_stored(read, bundle_directory, arr):
    import numpy as np

    try:
        stored = read(bundle_directory)
    except (OSError, places.StorageError):
        return False
    return stored is not None and stored.dtype == arr.dtype and np.array_equal(stored, arr)
