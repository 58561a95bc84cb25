"""Directory trees as dicts, to tell whether anything under a directory changed."""
import os


def snapshot(root, mtimes=True):
    """Every directory under root, and every file with its bytes and (unless mtimes is false) its
    modification time, by relative path; a writer's empty lock file left out (a killed one's stays)."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        tree[rel + "/"] = None
        for name in filenames:
            if rel == "." and name == ".vantorel.writer":
                continue
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                data = f.read()
            tree[os.path.join(rel, name)] = (data, os.stat(path).st_mtime_ns) if mtimes else data
    return tree


_H5_CACHE = {}


def write_plain_series(path, kind, category, code, rows):
    """A minute-bar or tick file as the release before compressed series wrote it: chunked, no filter."""
    import h5py

    from vantorel.bundle import places

    days = rows["trading_date"]
    with h5py.File(path, "w", libver=places.LIBVER) as f:
        f.attrs.update(schema_version=2, kind=kind, order_book_id=code, category=category, rows=len(rows),
                       first_trading_date=int(days[0]) if len(rows) else 0,
                       last_trading_date=int(days[-1]) if len(rows) else 0)
        f.create_dataset(places.DATASET[kind], data=rows, chunks=(256,), maxshape=(None,), track_times=False)


def h5_bytes(kind, marker, place="stock/X"):
    """The bytes of a small, sound bundle file of ``kind`` (a minute-bar or tick file of the
    "<category>/<code>" ``place``); ``marker`` tells two apart ("zeros": a minute-bar file of over
    1 MiB of zero rows, which compresses extremely well)."""
    key = (kind, marker, place)
    if key not in _H5_CACHE:
        import tempfile

        import numpy as np

        from vantorel.bundle import places, writing
        from vantorel.market import schemas

        with tempfile.TemporaryDirectory() as directory:
            seed = sum(marker.encode())
            if kind == "instruments":
                rows = np.zeros(2, schemas.instrument_dtype())
                rows["order_book_id"] = [b"A", marker.encode()]
                writing.write_instruments(directory, rows)
                path = os.path.join(directory, places.INSTRUMENTS_FILE)
            elif kind == "trading_dates":
                writing.write_trading_dates(directory, [20260105 + seed % 3, 20260109])
                path = os.path.join(directory, places.TRADING_DATES_FILE)
            elif kind == "daybar":
                bars = np.zeros(3, schemas.daybar_dtype())
                bars["close"] = seed
                writing.write_daybars(directory, "stock", {"A": bars})
                path = places.daybar_path(directory, "stock")
            else:
                dtype = schemas.minbar_dtype() if kind == "minbar" else schemas.tick_dtype()
                rows = np.zeros(16_000 if marker == "zeros" else 4, dtype)
                if marker != "zeros":
                    rows["trading_date"] = 20260105
                    rows["datetime"] = np.arange(len(rows)) + seed
                path = os.path.join(directory, "x.h5")
                # Zeros the kit would compress to almost nothing: written plain, as by the release before.
                write = write_plain_series if marker == "zeros" else writing.write_data_file
                write(path, kind, *place.split("/"), rows)
            with open(path, "rb") as f:
                _H5_CACHE[key] = f.read()
    return _H5_CACHE[key]
