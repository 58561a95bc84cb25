"""The bundle on disk: its files, and what keeps them whole (the locks, the journal and the overlay an
append writes through, staged swaps, walks that never follow a link).

Layout under the bundle path (the directory given by ``-d``)::

    <bundle path>/
        bundle/                      the bundle directory: base data and daily bars
            instruments.h5           dataset "instruments": one row per instrument (INSTRUMENT_DTYPE)
            trading_dates.h5         dataset "trading_dates": int32 YYYYMMDD, ascending; "early_closes"
                                     (EARLY_CLOSE_FIELDS) when it has any; and, when exchanges keep
                                     calendars of their own, "exchange_trading_dates" and
                                     "exchange_early_closes" (the same rows led by the exchange), of
                                     which "trading_dates" is then the union
            daybar/<category>.h5     one dataset per instrument, named by its market code (DAYBAR_DTYPE)
        minbar/<category>/<code>.h5  dataset "bars": minute bars of one instrument (MINBAR_DTYPE)
        tick/<category>/<code>.h5    dataset "ticks": ticks of one instrument (TICK_DTYPE)
        quarantine/<kind>/<category>/<code>.h5.<stamp>
                                     minute-bar and tick files set aside as unreadable by the tick
                                     check or an update, never read again
        reports/check-<stamp>-<check>.jsonl
                                     what each check-data run found (``vantorel.checks.report_file``); no bundle data

``<category>`` is a data category name of ``TAG_MAP`` ("stock", "futures", "fund", "index", "option",
"convertible"); ``<code>`` is the market code (order_book_id), e.g. ``000001.XSHE``, ``M1905``.

Every file carries the root attributes ``schema_version`` (SCHEMA_VERSION) and ``kind``
("instruments", "trading_dates", "daybar", "minbar", "tick"). Minute-bar and tick files also carry
``order_book_id``, ``category``, ``rows``, ``first_trading_date`` and ``last_trading_date`` (int
YYYYMMDD, 0 when empty), so that an update can find where to resume without reading the data, and
a damaged file can be told from a short one (``inspect_data_file``). A minute-bar file of bars of
several minutes (a vendor's 5-minute bars) says how many in ``bar_minutes``; without it a bar is
one minute.

Time stamps are integers in local exchange time: ``datetime`` of daily and minute bars is
YYYYMMDDHHMMSS (a minute bar is labelled by the end of its minute, 09:31:00 covers 09:30-09:31;
daily bars use HHMMSS = 000000); ``datetime`` of ticks is YYYYMMDDHHMMSSmmm. ``trading_date`` is the
trading day a row belongs to: night-session rows of futures carry the next trading day's date.
Rows are sorted by ``datetime`` and hold no duplicates.

Series (minute bars, ticks, the daily bars of each market code) are chunked, resizable datasets of
``CHUNK_ROWS`` rows a chunk (minute bars and ticks compressed with ``hdf5.SERIES_FILTER`` when made by
this release; those made before are plain, and stay so), so an update appends the new rows in place (``append_series``,
``append_daybars``) and writes what is new plus a chunk and a few index nodes, whatever the
history holds; ``journal`` makes each such change all-or-nothing. Rows that overlap the stored
ones (a corrected bar, a re-published day) replace the stored tail from the first overlapping
``datetime`` on. A file made whole (a new instrument, ``--rebuild``, the base files, a migration)
is written to a temporary file in its own directory (a name starting with "." and not ending in
".h5"), flushed, fsynced and moved into place with ``os.replace``; a killed writer leaves only a
stray temporary file that ``remove_stray_temp_files`` clears on the next update. Either way a
reader sees the old file or the new one.

Files are written with the oldest HDF5 format that holds what they use (``LIBVER``), so every h5py
the package accepts and the HDF5 command-line tools read them. Files of schema 1 (contiguous
datasets, the newest format) are still read; an update converts each one it appends to, once,
through a temporary file (``migrate``).

h5py and numpy are imported inside the functions: the command line imports the kit's bundle
functions on every run and should not pay for them when it only prints help.
"""
