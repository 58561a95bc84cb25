"""Where each series of a bundle came from, and what of a CSV folder it has taken.

The record lives in one place, the ``sources`` attribute of ``bundle/instruments.h5`` (JSON text),
so that it moves with the bundle in every swap and archive and is written whole with the instrument
table it describes (a file is the old one or the new after any crash)::

    {"sources": [{"kind": "service", "settings": {...}}, {"kind": "csv", "folder": "/abs/vendor"}],
     "default": 1,                       the source of every code not listed below
     "codes": {"000001.XSHE": 0},        codes of another source than the default
     "taken": {"minbar/600000.XSHG.csv": {...}, "daybar/20261201.csv": {...}}}

``taken`` says what of the CSV folder the series hold, file by file (``csv_update``). An update
writes the sources first (a new code's source before its rows) and what it took last, after the
rows are committed: a kill in between leaves rows whose file reads as not yet taken, and taking
it again replaces the same rows in place (an append replaces the stored tail it overlaps).

A bundle written before this record existed counts as the data service's.
"""
import json
import os

from vantorel.bundle import places

ATTRIBUTE = "sources"
SERVICE_SETTINGS = ("VANTOREL_SERVICE_SCALE", "VANTOREL_SERVICE_DAILY_DAYS", "VANTOREL_SERVICE_MINBAR_DAYS",
                    "VANTOREL_SERVICE_TICK_DAYS")


def service():
    """The data service as a source: the settings that shape what it serves."""
    return {"kind": "service",
            "settings": {name: os.environ[name] for name in SERVICE_SETTINGS if os.environ.get(name)}}


def csv_folder(folder):
    return {"kind": "csv", "folder": os.path.abspath(os.fspath(folder))}


def describe(source):
    """A source in the kit's words."""
    if source.get("kind") == "csv":
        return "CSV 目录 {}".format(source.get("folder"))
    if source.get("kind") == "archive":
        return "压缩文件 {}".format(source.get("file"))
    return "数据服务"


class Sources:
    """The sources of a bundle's series, and what each CSV file has given them."""

    def __init__(self, record=None):
        record = record or {}
        self.sources = list(record.get("sources") or [service()])
        self.default = int(record.get("default", 0))
        self.codes = dict(record.get("codes") or {})
        self.taken = dict(record.get("taken") or {})
        # The record comes with the bundle, and a bundle may come from anyone's archive.
        if not all(isinstance(s, dict) and s.get("kind") in KINDS and (
                s["kind"] != "csv" or isinstance(s.get("folder"), str)) for s in self.sources) or not (
                0 <= self.default < len(self.sources)) or not all(
                isinstance(i, int) and 0 <= i < len(self.sources) for i in self.codes.values()):
            raise ValueError("not a record of sources")
        self.taken = {name: entry for name, entry in self.taken.items() if _sound_entry(entry)}

    def of(self, code):
        return self.sources[self.codes.get(code, self.default)]

    def index(self, source):
        for i, known in enumerate(self.sources):
            if same(known, source):
                return i
        self.sources.append(source)
        return len(self.sources) - 1

    def assign(self, codes, source):
        """Give ``codes`` to ``source``."""
        i = self.index(source)
        for code in codes:
            if i == self.default:
                self.codes.pop(code, None)
            else:
                self.codes[code] = i

    def codes_of(self, source, among):
        """Those of ``among`` that ``source`` holds."""
        return sorted(code for code in among if same(self.of(code), source))

    @property
    def base(self):
        """The source of the base tables: the one most codes count as."""
        return self.sources[self.default]

    def folder(self):
        """The CSV folder the bundle holds series of, or None."""
        for source in self.sources:
            if source.get("kind") == "csv" and (source is self.base or source in (
                    self.sources[i] for i in self.codes.values())):
                return source
        return None

    def text(self):
        used = sorted(set(self.codes.values()) | {self.default})
        return json.dumps({"sources": [self.sources[i] for i in used], "default": used.index(self.default),
                           "codes": {code: used.index(i) for code, i in sorted(self.codes.items())},
                           "taken": self.taken}, ensure_ascii=False, sort_keys=True)


KINDS = ("service", "csv", "archive")


def _sound_entry(entry):
    """Whether a record of what was taken of a file holds what the CSV update reads of it: else the
    file counts as never taken, and its series is converted again."""
    if not isinstance(entry, dict):
        return False
    numbers = [entry.get(name) for name in ("size", "lines", "mtime_ns", "files") if name in entry]
    texts = [entry.get(name) for name in ("head", "last", "sha") if name in entry]
    return bool(numbers) and all(type(n) is int and n >= 0 for n in numbers) and all(isinstance(t, str) for t in texts)


def same(a, b):
    if a.get("kind") != b.get("kind"):
        return False
    if a.get("kind") == "csv":
        return a.get("folder") == b.get("folder")
    return True  # one data service; its settings are recorded, not told apart


def read(bundle_path):
    """The bundle's ``Sources``: the data service's for a bundle that records none."""
    from vantorel.bundle import hdf5

    path = os.path.join(places.bundle_dir(bundle_path), places.INSTRUMENTS_FILE)
    try:
        # As the table's readers open it: under its lock, read again when an update replaced it.
        f = hdf5.open_file(path, "instruments")
    except (OSError, places.StorageError):
        return Sources()  # none yet, or a damaged table, which the update rewrites and the checks report
    try:
        text = f.attrs.get(ATTRIBUTE)
    except OSError:
        return Sources()
    finally:
        f.close()
    if text is None:
        return Sources()
    try:
        return Sources(json.loads(text.decode() if isinstance(text, bytes) else str(text)))
    except (ValueError, TypeError, AttributeError, IndexError):
        return Sources()  # a record not of ours: the series count as the service's


def source_of(code, bundle_path=None):
    """The source of ``code``'s series in the bundle (the kit's own unless ``bundle_path``), as a dict
    with ``kind`` ("service", "csv") and, for a CSV folder, ``folder``; ``describe`` puts it in words."""
    from vantorel.bundle import access
    from vantorel.ombrel.sdk.const import DEFAULT_BUNDLE_PATH

    path = os.path.abspath(os.fspath(bundle_path if bundle_path is not None else DEFAULT_BUNDLE_PATH))
    with access.reading(path) as held:
        return read(held).of(code)
