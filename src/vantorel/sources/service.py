"""The embedded market-data service and the client interface the bundle functions use.

No data service is reachable from this machine, so the kit carries its own: a deterministic,
offline market that answers the same questions a remote one would. The bundle functions only talk
to a ``MarketDataClient``; a client for a real service replaces ``EmbeddedClient`` without them
noticing.

The market trades on the kit's calendar and sessions (``vantorel.market``).
"""
import contextlib
import datetime as _dt
import os
import re
import threading
import time

from vantorel.errors import VantorelError
from vantorel.market.calendar import (
    CALENDAR_START,
    is_trading_day,
    previous_trading_date,
    shift_trading_date,
    to_int,
    trading_dates,
)
from vantorel.sources.simulated import daily_bars_of, ex_factors, minute_bars_of, suspended, ticks_of
from vantorel.sources.universe import build_universe


class ServiceError(VantorelError):
    """The data service refused a request."""



# ---- the service and its client -----------------------------------------------------------------

MAX_CONNECTIONS = 16

ENV_NOW = "VANTOREL_SERVICE_NOW"  # ISO date or date-time: the service's clock
ENV_SCALE = "VANTOREL_SERVICE_SCALE"  # multiplies the number of stocks and convertibles
ENV_DAILY_DAYS = "VANTOREL_SERVICE_DAILY_DAYS"
ENV_MINBAR_DAYS = "VANTOREL_SERVICE_MINBAR_DAYS"
ENV_TICK_DAYS = "VANTOREL_SERVICE_TICK_DAYS"
# The round trip a real network adds to every request, so that the fetch side can be measured as
# it would be against a remote service (0: answers at once).
ENV_LATENCY_MS = "VANTOREL_SERVICE_LATENCY_MS"

DEFAULT_SCALE = 1
DEFAULT_DAILY_DAYS = 250  # trading days of daily bars a new bundle starts with
DEFAULT_MINBAR_DAYS = 5  # ... of minute bars for an instrument not stored yet
DEFAULT_TICK_DAYS = 2  # ... of ticks for an instrument not stored yet

# A day's data is published once the day session has closed.
PUBLISH_TIME = _dt.time(15, 30)


# The range of each setting: what the calendar covers, and what stays within a real market's size.
SETTING_RANGES = {
    ENV_SCALE: (1, 500),  # up to 5,000 stocks
    ENV_DAILY_DAYS: (1, 5000),  # the calendar since 2005
    ENV_MINBAR_DAYS: (1, 2500),
    ENV_TICK_DAYS: (1, 250),
    ENV_LATENCY_MS: (0, 10_000),
}
# The service's clock: within the years its holiday table knows, with history behind it.
CLOCK_RANGE = (_dt.date(2005, 2, 1), _dt.date(2035, 12, 31))


def _env_int(name, default):
    text = os.environ.get(name)
    if not text:
        return default
    low, high = SETTING_RANGES[name]
    # Plain ASCII digits only: int() would also take "1_0", "+5", " 5" and other scripts' digits.
    value = int(text) if re.fullmatch(r"[0-9]{1,9}", text) else None
    if value is None or not low <= value <= high:
        raise ServiceError(f"环境变量 {name} 应为 {low} 到 {high} 之间的整数，当前为 {text!r}；请改正或删除它")
    return value


def _env_clock():
    text = os.environ.get(ENV_NOW)
    if not text:  # unset or empty, as for every setting: the default
        return None
    low, high = CLOCK_RANGE
    moment = None
    if re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}", text):
        with contextlib.suppress(ValueError):
            moment = _dt.datetime.combine(_dt.date.fromisoformat(text), _dt.time(23, 59))
    elif re.fullmatch(r"[0-9]{4}-[0-9]{2}-[0-9]{2}[T ][0-9]{2}:[0-9]{2}(:[0-9]{2})?", text):
        with contextlib.suppress(ValueError):
            moment = _dt.datetime.fromisoformat(text)
    if moment is None or not low <= moment.date() <= high:
        raise ServiceError(f"环境变量 {ENV_NOW} 应为 {low} 到 {high} 之间的日期（如 2026-01-05）或日期时间，"
                           f"当前为 {text!r}；请改正或删除它")
    return lambda: moment


def sample_universe(instruments, latest):
    """The few instruments of the sample bundle: three stocks, one index, the 50 ETF and its options
    of the nearest expiry, one convertible, the two nearest contracts of M and JD and the options of
    those contracts."""
    live = [i for i in instruments if i.active_between(latest, latest)]
    stocks = [i for i in live if i.category == "stock"][:3]
    index = [i for i in live if i.order_book_id == "000300.XSHG"]
    fund = [i for i in live if i.order_book_id == "510050.XSHG"]
    convertible = [i for i in live if i.category == "convertible"][:1]
    futures = []
    for underlying in ("M", "JD"):
        near = sorted((i for i in live if i.category == "futures" and i.underlying_symbol == underlying),
                      key=lambda i: i.de_listed_date)
        futures += near[:2]
    written_on = {i.order_book_id for i in futures + fund}
    options = [i for i in live if i.category == "option" and i.underlying_order_book_id in written_on]
    nearest = {}
    for opt in options:
        key = opt.underlying_order_book_id
        nearest[key] = min(nearest.get(key, opt.de_listed_date), opt.de_listed_date)
    options = [o for o in options if o.de_listed_date == nearest[o.underlying_order_book_id]]
    out = stocks + index + fund + convertible + futures + options
    out.sort(key=lambda inst: (inst.category, inst.order_book_id))
    return out


class EmbeddedService:
    """The offline market. ``clock`` is a callable returning the current ``datetime``; it defaults to
    the ``VANTOREL_SERVICE_NOW`` variable, else the system clock. ``universe`` is "default" or
    "sample" (the few instruments of the sample bundle)."""

    def __init__(self, clock=None, scale=None, daily_days=None, minbar_days=None, tick_days=None,
                 universe="default"):
        self._clock = clock or _env_clock() or _dt.datetime.now
        self.scale = scale or _env_int(ENV_SCALE, DEFAULT_SCALE)
        self.latency = _env_int(ENV_LATENCY_MS, 0) / 1000.0
        self.history_days = {
            "daybar": daily_days or _env_int(ENV_DAILY_DAYS, DEFAULT_DAILY_DAYS),
            "minbar": minbar_days or _env_int(ENV_MINBAR_DAYS, DEFAULT_MINBAR_DAYS),
            "tick": tick_days or _env_int(ENV_TICK_DAYS, DEFAULT_TICK_DAYS),
        }
        if universe not in ("default", "sample"):
            raise ValueError(universe)
        self.universe = universe
        self._universe_cache = {}
        self._index_cache = {}
        self._cache_lock = threading.Lock()

    def now(self):
        return self._clock()

    def latest_trading_date(self):
        """The last trading day whose data is published at the service's clock."""
        now = self.now()
        today = now.date()
        if is_trading_day(today) and now.time() >= PUBLISH_TIME:
            return to_int(today)
        return previous_trading_date(today)

    def history_start(self, kind, latest=None):
        """The first trading day a new bundle gets data of ``kind`` ("daybar", "minbar", "tick") from."""
        latest = latest or self.latest_trading_date()
        return shift_trading_date(latest, 1 - self.history_days[kind])

    def instruments(self, latest=None):
        latest = latest or self.latest_trading_date()
        with self._cache_lock:
            cached = self._universe_cache.get(latest)
            if cached is None:
                # Every contract listed since the calendar began, the expired ones with their
                # history, as a real market-data service keeps serving them.
                cached = build_universe(to_int(CALENDAR_START), latest, self.scale)
                if self.universe == "sample":
                    cached = sample_universe(cached, latest)
                self._universe_cache = {latest: cached}
            return cached

    def trading_dates(self, start, end):
        return trading_dates(start, end)

    def ex_factors(self, latest=None):
        latest = latest or self.latest_trading_date()
        return ex_factors(self.instruments(latest), latest)

    def suspended(self, latest=None):
        latest = latest or self.latest_trading_date()
        return suspended(self.instruments(latest), latest)

    def _lookup(self, code):
        latest = self.latest_trading_date()
        with self._cache_lock:
            index = self._index_cache.get(latest)
        if index is None:
            index = {inst.order_book_id: inst for inst in self.instruments(latest)}
            with self._cache_lock:
                self._index_cache = {latest: index}
        try:
            return index[code]
        except KeyError:
            raise ServiceError(f"数据服务中没有合约 {code}") from None

    def _clamp(self, end):
        return min(to_int(end), self.latest_trading_date())

    def daily_bars(self, code, start, end):
        return daily_bars_of(self._lookup(code), start, self._clamp(end))

    def minute_bars(self, code, start, end):
        return minute_bars_of(self._lookup(code), start, self._clamp(end))

    def ticks(self, code, start, end):
        return ticks_of(self._lookup(code), start, self._clamp(end))


class MarketDataClient:
    """What the bundle functions ask of a market-data service. ``connections`` requests at most run
    at once; each method may be called from several threads."""

    connections = 1

    def latest_trading_date(self):
        raise NotImplementedError

    def history_start(self, kind, latest=None):
        raise NotImplementedError

    def instruments(self):
        """Instrument objects with the attributes of schemas.INSTRUMENT_FIELDS and ``record()``."""
        raise NotImplementedError

    def trading_dates(self, start, end):
        raise NotImplementedError

    def ex_factors(self):
        """The cumulative price-adjustment factors published so far (schemas.EX_FACTOR_FIELDS)."""
        raise NotImplementedError

    def suspended(self):
        """The days on which an instrument did not trade, published so far (schemas.SUSPENDED_FIELDS)."""
        raise NotImplementedError

    def daily_bars(self, code, start, end):
        raise NotImplementedError

    def minute_bars(self, code, start, end):
        raise NotImplementedError

    def ticks(self, code, start, end):
        raise NotImplementedError

    def close(self):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class EmbeddedClient(MarketDataClient):
    """A client of the embedded service, holding ``connections`` connections."""

    def __init__(self, service=None, connections=3, require_login=True):
        if not isinstance(connections, int) or not 1 <= connections <= MAX_CONNECTIONS:
            raise ServiceError(f"并行连接数应在 1 到 {MAX_CONNECTIONS} 之间，当前为 {connections}")
        if require_login:
            from vantorel import tovi

            tovi.require_session()
        self.service = service or EmbeddedService()
        self.connections = connections
        self._slots = threading.BoundedSemaphore(connections)

    def _call(self, method, *args):
        with self._slots:
            if self.service.latency:
                time.sleep(self.service.latency)
            return method(*args)

    def latest_trading_date(self):
        return self.service.latest_trading_date()

    def history_start(self, kind, latest=None):
        return self.service.history_start(kind, latest)

    def instruments(self):
        return self._call(self.service.instruments)

    def trading_dates(self, start, end):
        return self._call(self.service.trading_dates, start, end)

    def ex_factors(self):
        return self._call(self.service.ex_factors)

    def suspended(self):
        return self._call(self.service.suspended)

    def daily_bars(self, code, start, end):
        return self._call(self.service.daily_bars, code, start, end)

    def minute_bars(self, code, start, end):
        return self._call(self.service.minute_bars, code, start, end)

    def ticks(self, code, start, end):
        return self._call(self.service.ticks, code, start, end)


def open_client(connections, require_login=True, universe="default"):
    """The data client the bundle functions work with. This is the seam where a client of a real
    service plugs in; without a sign-in it raises ``vantorel.tovi.NotSignedInError``."""
    return EmbeddedClient(EmbeddedService(universe=universe), connections, require_login)
