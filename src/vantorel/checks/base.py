"""The bundle's base data as the checks see it: calendars, instruments, ex-factors and suspensions,
each problem in them a finding of its file rather than a check that stops."""


from vantorel.bundle import places, reading
from vantorel.checks.findings import Anomaly, day_example, day_or_number, valid_days
from vantorel.checks.rules import DAY_MINUTES, relative_dir, short_reason, text_of
from vantorel.errors import VantorelError
from vantorel.market.sessions import NIGHT_SESSION_FROM, has_night_session, parse_trading_hours, session_labels


class Calendar:
    """One calendar series are held against: its days, whether a night session precedes each, and
    the minute each day's last bar is labelled by (its early close; past every minute on a full day)."""

    def __init__(self, days, early_closes):
        """``days``: int64 YYYYMMDD, ascending, not empty; ``early_closes``: EARLY_CLOSE_FIELDS rows."""
        import numpy as np


        self.days = days
        # Whether the night session before each day takes place: the service's rule, worked out
        # once per day rather than once per bar.
        night = [has_night_session(int(days[0]))]
        night += [has_night_session(int(d), int(p)) for p, d in zip(days[:-1], days[1:])]
        self.has_night = np.asarray(night, dtype=bool)
        early_days = np.asarray(early_closes["date"], dtype="i8")
        at = np.minimum(np.searchsorted(days, early_days), len(days) - 1)
        listed = early_days == days[at]
        hhmm = np.asarray(early_closes["close_time"], dtype="i8")[listed]
        self.early_days = early_days[listed]
        self.early_minutes = hhmm // 100 * 60 + hhmm % 100
        self.close = np.full(len(days), DAY_MINUTES, dtype="i8")
        self.close[at[listed]] = self.early_minutes


class Base:
    """Calendars and instrument table, read once per check run."""

    def __init__(self, bundle_directory, bundle_path):
        import numpy as np

        self.problems = []
        rel_dir = relative_dir(bundle_path, bundle_directory)
        calendar_file = rel_dir + places.TRADING_DATES_FILE
        try:
            stored = reading.read_calendars(bundle_directory)
        except FileNotFoundError:
            stored = {}
            self.problems.append(Anomaly(calendar_file, "", "calendar", 1,
                                         ("bundle 中没有交易日历：未检查缺失的交易日与非交易日",)))
        except (VantorelError, OSError, ValueError) as exc:
            stored = {}
            self.problems.append(Anomaly(calendar_file, "", "unreadable", 1, (short_reason(exc),)))
        # {exchange, None for the bundle-wide one: Calendar}. Without a calendar there is nothing to
        # hold the days against: checking them against one of the kit's own would report every
        # holiday of another market.
        self.calendars = {}
        for exchange, (days, early_closes) in stored.items():
            days = self._calendar(days, calendar_file, exchange)
            hhmm = np.asarray(early_closes["close_time"], dtype="i8")
            # A close no clock shows would end the day's sessions before they begin, or at a minute nobody meant.
            odd = (hhmm <= 0) | (hhmm // 100 > 23) | (hhmm % 100 > 59)
            if odd.any():
                named = "{} ".format(exchange) if exchange else ""
                self.problems.append(Anomaly(calendar_file, "", "calendar", int(odd.sum()), tuple(
                    day_example(row["date"]).then("的提前收盘时刻 {} 无效".format(row["close_time"])) if not named
                    else "{}{} 的提前收盘时刻 {} 无效".format(named, day_example(row["date"]), row["close_time"])
                    for row in early_closes[odd][:3])))
                early_closes = early_closes[~odd]
            if days is not None:
                self.calendars[exchange] = Calendar(days, early_closes)

        self.instruments = {}
        try:
            table = reading.read_instruments(bundle_directory)
        except FileNotFoundError:
            self.problems.append(Anomaly(rel_dir + places.INSTRUMENTS_FILE, "", "unreadable", 1, ("文件不存在，无法检查交易时段",)))
        except (VantorelError, OSError, ValueError) as exc:
            self.problems.append(Anomaly(rel_dir + places.INSTRUMENTS_FILE, "", "unreadable", 1, (short_reason(exc),)))
        else:
            names = table.dtype.names or ()
            if "order_book_id" not in names:
                self.problems.append(Anomaly(rel_dir + places.INSTRUMENTS_FILE, "", "missing_columns", 1, ("order_book_id",)))
            else:
                for row in table:
                    code = text_of(row["order_book_id"])
                    self.instruments[code] = {n: (text_of(row[n]) if isinstance(row[n], bytes) else row[n]) for n in names}
        self._sessions = {}
        self.ex_factors, self.suspended = {}, {}
        for name, into in (("ex_factors", self.ex_factors), ("suspended", self.suspended)):
            try:
                table = reading.read_table(bundle_directory, name)
            except (VantorelError, OSError, ValueError) as exc:
                self.problems.append(Anomaly(rel_dir + name + ".h5", "", "unreadable", 1, (short_reason(exc),)))
                continue
            if table is not None:
                self._events(table, name, rel_dir + name + ".h5", into)

    def _calendar(self, stored, file, exchange):
        """A stored calendar (the bundle-wide one when ``exchange`` is None) as sorted int64
        YYYYMMDD, what is wrong with it reported; None when nothing in it can serve."""
        import numpy as np

        named = "{} 的".format(exchange) if exchange else ""
        # Integers already: the reader refuses a calendar of any other type, and the check reports it unreadable.
        calendar = np.asarray(stored, dtype="i8")
        if len(calendar) == 0:
            self.problems.append(Anomaly(file, "", "calendar", 1, (named + "交易日历为空：未检查缺失的交易日与非交易日",)))
            return None
        bad = ~valid_days(calendar)
        if bad.any():
            self.problems.append(Anomaly(file, "", "calendar", int(bad.sum()),
                                         tuple(named + "{} 不是 1900 到 2099 年间的日期".format(int(d)) for d in calendar[bad][:3])))
            calendar = calendar[~bad]
        if len(calendar) > 1 and not np.all(np.diff(calendar) > 0):
            wrong = np.flatnonzero(np.diff(calendar) <= 0)
            self.problems.append(Anomaly(file, "", "calendar", len(wrong), tuple(named + day_example(calendar[i + 1]) if named else day_example(calendar[i + 1]) for i in wrong[:3])))
            calendar = np.unique(calendar)
        return calendar if len(calendar) else None

    def _events(self, table, name, file, into):
        """The rows of the ex-factor or suspension table that can be used, by code; a row that
        cannot (no such instrument, no date, a factor that is no positive number, a date given
        twice) is reported and left out, so that it neither hides nor invents a jump or a gap."""
        import numpy as np

        # The reader has refused a table without these fields in their types.
        fields = {"ex_factors": ("order_book_id", "ex_date", "ex_cum_factor"), "suspended": ("order_book_id", "date")}[name]
        codes = np.array([text_of(c) for c in table[fields[0]]], dtype=object)
        days = np.asarray(table[fields[1]], dtype="i8")
        problems = {}
        valid = valid_days(days)
        for i in np.flatnonzero(~valid)[:3]:
            problems.setdefault("日期无效", []).append("{} {}".format(codes[i], int(days[i])))
        ok = valid
        if self.instruments:
            known = np.array([c in self.instruments for c in codes], dtype=bool)
            for i in np.flatnonzero(~known)[:3]:
                problems.setdefault("合约表中没有", []).append(codes[i])
            ok = ok & known
        if name == "ex_factors":
            with np.errstate(invalid="ignore"):
                good = np.isfinite(table[fields[2]]) & (table[fields[2]] > 0)
            for i in np.flatnonzero(~good)[:3]:
                problems.setdefault("除权因子不是正数", []).append("{} {} {}".format(codes[i], day_or_number(days[i]), table[fields[2]][i]))
            ok = ok & good
        seen = set()
        for i in np.flatnonzero(ok):
            if (codes[i], days[i]) in seen:
                problems.setdefault("同一日期重复", []).append("{} {}".format(codes[i], day_example(days[i])))
            seen.add((codes[i], days[i]))
        count = int((~ok).sum()) + len(problems.get("同一日期重复", ()))
        if problems:
            examples = tuple("{}：{}".format(what, "、".join(items[:3])) for what, items in problems.items())
            self.problems.append(Anomaly(file, "", "events", max(count, 1), examples))
        rows = np.flatnonzero(ok)
        rows = rows[np.lexsort((days[rows], codes[rows].astype(str)))] if len(rows) else rows
        for i in rows:
            into.setdefault(codes[i], []).append((int(days[i]),) + ((float(table[fields[2]][i]),) if name == "ex_factors" else ()))

    def calendar_key(self, code):
        """The exchange whose calendar holds the instrument, or None for the bundle-wide one."""
        exchange = (self.instruments.get(code) or {}).get("exchange")
        return exchange if exchange and exchange in self.calendars else None

    def calendar_of(self, code):
        """The Calendar the instrument is held against; None when the bundle has none."""
        return self.calendars.get(self.calendar_key(code))

    def factors(self, code, days):
        """Each day's cumulative price-adjustment factor, or None when the code has no ex-factors."""
        import numpy as np

        steps = self.ex_factors.get(code)
        if not steps:
            return None
        dates = np.array([d for d, _f in steps], dtype="i8")
        values = np.array([1.0] + [f for _d, f in steps])
        return values[np.searchsorted(dates, days, side="right")]

    def suspended_days(self, code):
        import numpy as np

        return np.array([d for (d,) in self.suspended.get(code, [])], dtype="i8")

    def tick_size(self, code):
        info = self.instruments.get(code)
        try:
            return float(info["tick_size"]) if info else 0.0
        except (KeyError, TypeError, ValueError):
            return 0.0

    def listing(self, code):
        """(listed date, de-listed date or 0) of an instrument; (0, 0) when unknown."""
        info = self.instruments.get(code)
        try:
            return int(info.get("listed_date", 0) or 0), int(info.get("de_listed_date", 0) or 0)
        except (AttributeError, TypeError, ValueError):
            return 0, 0

    def sessions(self, code, bar_minutes=1):
        """(firsts, lasts, is_night, session_of_minute, labels) of an instrument's sessions, sorted
        by first minute, for bars of ``bar_minutes`` minutes; session_of_minute maps each minute of
        the day that labels a bar to its session, any other to -1, and labels[k] are session k's
        bar labels (minutes after midnight)."""
        import numpy as np


        info = self.instruments.get(code)
        hours = info.get("trading_hours") if info else None
        if not hours:
            return None
        if (hours, bar_minutes) not in self._sessions:
            try:
                parsed = sorted(parse_trading_hours(hours))
            except (ValueError, AttributeError):
                parsed = []
            parsed = [(a, b) for a, b in parsed if 0 <= a <= b < DAY_MINUTES]
            firsts = np.array([a for a, _ in parsed], dtype="i8")
            lasts = np.array([b for _, b in parsed], dtype="i8")
            labels = [session_labels(a, b, bar_minutes) for a, b in parsed]
            lookup = np.full(DAY_MINUTES, -1, dtype="i8")
            for index, minutes in enumerate(labels):
                lookup[minutes] = np.where(lookup[minutes] < 0, index, lookup[minutes])
            night = firsts >= NIGHT_SESSION_FROM
            self._sessions[hours, bar_minutes] = (firsts, lasts, night, lookup, labels) if parsed else None
        return self._sessions[hours, bar_minutes]
