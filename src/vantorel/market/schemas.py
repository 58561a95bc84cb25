"""The fields of every kind of row the kit stores, and their numpy types."""



# Field lists, turned into numpy dtypes by the functions below (numpy is not imported here).
INSTRUMENT_FIELDS = [
    ("order_book_id", "S32"),
    ("symbol", "S64"),  # UTF-8
    ("category", "S16"),  # TAG_MAP key
    ("type", "S16"),  # TAG_MAP value
    ("exchange", "S8"),
    ("underlying_symbol", "S16"),  # futures and options: the commodity, e.g. M; else empty
    ("underlying_order_book_id", "S32"),  # options: the contract or fund they are written on
    ("listed_date", "i4"),
    ("de_listed_date", "i4"),  # 0 while listed
    ("round_lot", "i4"),
    ("tick_size", "f8"),
    ("contract_multiplier", "f8"),
    ("strike_price", "f8"),  # options only
    ("option_type", "S1"),  # "C" or "P" for options
    ("trading_hours", "S96"),  # e.g. "21:01-23:00,09:01-10:15,10:31-11:30,13:31-15:00"
]


DAYBAR_FIELDS = [
    ("datetime", "i8"),
    ("open", "f8"),
    ("high", "f8"),
    ("low", "f8"),
    ("close", "f8"),
    ("prev_close", "f8"),
    ("volume", "i8"),
    ("total_turnover", "f8"),
    ("open_interest", "i8"),
]


MINBAR_FIELDS = [
    ("datetime", "i8"),
    ("trading_date", "i4"),
    ("open", "f8"),
    ("high", "f8"),
    ("low", "f8"),
    ("close", "f8"),
    ("volume", "i8"),
    ("total_turnover", "f8"),
    ("open_interest", "i8"),
]


TICK_FIELDS = [
    ("datetime", "i8"),
    ("trading_date", "i4"),
    ("last", "f8"),
    ("open", "f8"),  # of the trading day so far
    ("high", "f8"),
    ("low", "f8"),
    ("prev_close", "f8"),
    ("volume", "i8"),  # cumulative over the trading day
    ("total_turnover", "f8"),  # cumulative over the trading day
    ("open_interest", "i8"),
    ("a1", "f8"),
    ("a1_v", "i8"),
    ("b1", "f8"),
    ("b1_v", "i8"),
]


# Corporate actions and suspensions, each a small table of its own under bundle/.
EX_FACTOR_FIELDS = [
    ("order_book_id", "S32"),
    ("ex_date", "i4"),  # YYYYMMDD: the cumulative price-adjustment factor holds from this day on
    ("ex_cum_factor", "f8"),
]


SUSPENDED_FIELDS = [
    ("order_book_id", "S32"),
    ("date", "i4"),  # a trading day on which the instrument did not trade
]


EARLY_CLOSE_FIELDS = [("date", "i4"), ("close_time", "i4")]  # HHMM


# Calendars of single exchanges, beside the bundle-wide one; the exchange as the instrument table has it.
EXCHANGE_DATE_FIELDS = [("exchange", "S8"), ("date", "i4")]


EXCHANGE_EARLY_CLOSE_FIELDS = [("exchange", "S8")] + EARLY_CLOSE_FIELDS


def _dtype(fields):
    import numpy as np

    return np.dtype(fields)


def instrument_dtype():
    return _dtype(INSTRUMENT_FIELDS)


def daybar_dtype():
    return _dtype(DAYBAR_FIELDS)


def minbar_dtype():
    return _dtype(MINBAR_FIELDS)


def tick_dtype():
    return _dtype(TICK_FIELDS)


# What the Chinese markets' checks need besides (bundle/st_status.h5, bundle/listing_marks.h5,
# bundle/continuous.h5): special treatment with its dates, the days a stock trades without a
# limit for a reason of its own, and the continuous futures series.
ST_STATUS_FIELDS = [
    ("order_book_id", "S32"),
    ("start_date", "i4"),  # YYYYMMDD, the first day under the status
    ("end_date", "i4"),  # YYYYMMDD, the last day under it; 0 while it holds
    ("status", "S8"),  # "ST" or "*ST"
]


LISTING_MARK_FIELDS = [
    ("order_book_id", "S32"),
    ("date", "i4"),  # a day the stock traded without a price limit
    ("mark", "S16"),  # "relisting" or "resumption"
]


CONTINUOUS_FIELDS = [("order_book_id", "S32")]


CHECK_TABLES = ("st_status", "listing_marks", "continuous")
