"""The reading API's lazy frames: a dask DataFrame whose partitions are read when computed, one
code each, so a panel larger than memory is worked through a partition at a time
(``pip install 'vantorel[dask]'``)."""
from vantorel.errors import VantorelError


def _dask_dataframe():
    try:
        import dask.dataframe
    except ImportError:
        raise VantorelError("lazy=True 需要 dask：pip install 'vantorel[dask]'") from None
    return dask.dataframe


def frame(bundle, codes, fields, start, end, frequency, adjust):
    """A dask DataFrame of ``codes`` (resolved), indexed by datetime with an order_book_id column;
    each partition is one code, read under the bundle path's read lock when it is computed."""
    import numpy as np

    from vantorel.data.bundle import _kind, _long, _stored_dtype

    dd = _dask_dataframe()
    kind = _kind(frequency)
    meta = _as_partition(_long(kind, codes[:1], {codes[0]: np.empty(0, _stored_dtype(kind))}, fields))
    return dd.from_map(_partition, codes, bundle=bundle, fields=fields, start=start, end=end,
                       frequency=frequency, adjust=adjust, meta=meta, enforce_metadata=False)


def _partition(code, bundle, fields, start, end, frequency, adjust):
    return _as_partition(bundle.get(code, fields, start, end, frequency, adjust))


def _as_partition(long):
    part = long.reset_index(level="order_book_id")
    part["order_book_id"] = part["order_book_id"].astype(object)
    return part
