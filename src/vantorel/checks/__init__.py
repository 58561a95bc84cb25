"""Anomaly checks of the minute bars and daily bars stored in a bundle.

``check_min_bar_data(bundle_path)`` scans ``minbar/<category>/<code>.h5``;
``check_daily_bar_data(bundle_directory)`` scans ``bundle/daybar/<category>.h5`` and holds
each daily bar against the aggregate of the same day's minute bars when those are stored.
Both print a table, one row per file, instrument and kind of anomaly, or a line saying that
nothing was found (or that there is no data), and return the list of ``Anomaly`` rows. Each run
over data also writes its rows as JSON Lines under ``<bundle path>/reports/`` (``report_file``) and
prints that file's path as its last line.

What is looked for, in every series:

- a file that cannot be read, or lacks one of the columns the checks need;
- ``datetime`` going backwards, or the same ``datetime`` twice;
- NaN or infinity in open/high/low/close; a price of zero or below; negative volume;
- high below open, close or low, or low above open or close;
- a close-to-close move beyond the jump threshold between consecutive bars;
- trading days missing between the first and the last stored day (but for the instrument's
  suspensions), and rows on days that are not trading days, both against the calendar of the
  instrument's exchange when the bundle keeps one, else the bundle's;
- rows before the instrument's listed date or after its de-listed date, and a series of an
  instrument the instrument table lacks;

in the bundle's base tables, each a finding of its file rather than a check that stops:

- a calendar that is missing, empty, out of order or holds non-dates, and early closes no clock
  shows;
- ex-factor and suspension rows that cannot be used (an unknown code, no real date, a factor that
  is no positive number, a date given twice), reported and left out;

and in minute bars besides:

- bars outside the instrument's sessions (or not on a whole minute, or after the day's early
  close), bars whose ``trading_date`` does not fit their time (a night session runs on the
  previous trading day), and sessions whose bar count differs from the session length (on an
  early close, from its minutes up to the close);
- ``rows``/``first_trading_date``/``last_trading_date`` attributes that disagree with the data
  (an update resumes from them, so a wrong one hides missing days);

and in daily bars besides, against the minute bars of the same instrument:

- open differs from the first minute's open, high from the highest high, low from the lowest
  low, close from the last minute's close (each beyond the larger of a tick and 0.2% of the
  price: the two may come from different feeds), or volume from the minutes' sum (beyond 2%);
- trading days that have minute bars but no daily bar;

and on their own:

- the same bar repeated for days, or once with its volume, a volume far over the series' median,
  a move that the next day undoes, and a listed series that stopped (or never began) before the
  last day of its calendar; a missing day shared by most series of a calendar is one row of its own;
- minute bars on days after the series' last daily bar.

Bars on days the bundle lists the instrument as suspended, and bars without a trade whose close
moved, are found in both; a run of minute bars at one price with volume arriving in minute bars.
A Chinese stock is held to its board's daily price limit on each day (``china``), a drop beyond it
that a missing ex-factor explains named as such; a continuous futures series' jumps are its rolls.
The daily-vs-minute comparison is strict on Chinese exchanges and tolerant elsewhere.

Every threshold is a field of ``CheckSettings``, and ``SETTINGS`` names the environment variable
that sets it (``VANTOREL_CHECK_*``, documented in docs/checks.md with its default and range); each
finding carries the limit it was judged by (``Anomaly.rule``).

numpy and h5py are imported inside the functions: the command line imports this module on
every run.
"""
from vantorel.checks.daily import check_daily_bar_data
from vantorel.checks.findings import KINDS, Anomaly
from vantorel.checks.minute import check_min_bar_data
from vantorel.checks.settings import CheckSettings, settings_from_env

__all__ = ["check_min_bar_data", "check_daily_bar_data", "Anomaly", "KINDS", "CheckSettings", "settings_from_env"]
