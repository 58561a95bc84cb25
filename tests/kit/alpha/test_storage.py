import os
import stat
import sys

import h5py
import numpy as np
import hostile_h5
import pytest
import trees

from vantorel.bundle import access, appending, hdf5, places, reading, validation, writing
from vantorel.market import schemas
from vantorel.update import plan


def bars(days, per_day=3):
    arr = np.zeros(len(days) * per_day, dtype=schemas.minbar_dtype())
    arr["trading_date"] = np.repeat(days, per_day)
    arr["datetime"] = arr["trading_date"].astype("i8") * 1000000 + np.tile(np.arange(per_day) + 93100, len(days))
    arr["close"] = np.arange(len(arr)) + 1.0
    return arr


def test_minbar_round_trip_with_attributes(tmp_path):
    arr = bars([20261207, 20261208])
    path = writing.write_minbar(str(tmp_path), "stock", "000001.XSHE", arr)
    assert path == os.path.join(str(tmp_path), "minbar", "stock", "000001.XSHE.h5")
    np.testing.assert_array_equal(reading.read_minbar(path), arr)
    attrs = reading.read_file_attrs(path, "minbar")
    assert attrs == {"schema_version": places.SCHEMA_VERSION, "kind": "minbar", "order_book_id": "000001.XSHE",
                     "category": "stock", "rows": 6, "first_trading_date": 20261207,
                     "last_trading_date": 20261208}
    assert list(places.iter_minbar_files(str(tmp_path))) == [("stock", "000001.XSHE", path)]
    assert validation.inspect_data_file(path, "minbar") is None


def test_base_files_and_daily_bars(tmp_path):
    directory = str(tmp_path / "bundle")
    writing.write_trading_dates(directory, [20261207, 20261208])
    np.testing.assert_array_equal(reading.read_trading_dates(directory), [20261207, 20261208])
    inst = np.zeros(1, dtype=schemas.instrument_dtype())
    inst["order_book_id"], inst["symbol"], inst["trading_hours"] = b"M2701", "豆粕2701".encode(), b"09:01-10:15"
    writing.write_instruments(directory, inst)
    assert reading.instrument_records(reading.read_instruments(directory))[0]["symbol"] == "豆粕2701"
    day = np.zeros(2, dtype=schemas.daybar_dtype())
    day["datetime"] = [20261207000000, 20261208000000]
    writing.write_daybars(directory, "futures", {"M2701": day, "JD2701": day[:1]})
    writing.write_daybars(directory, "stock", {"000001.XSHE": day})
    assert len(reading.read_daily(directory, "M2701")) == 2
    assert reading.read_daily(directory, "M2701", category="stock") is None
    assert set(reading.read_daily(directory, category="futures")) == {"M2701", "JD2701"}
    assert [(c, code) for c, code, _a in reading.iter_daily(directory)] == [
        ("futures", "JD2701"), ("futures", "M2701"), ("stock", "000001.XSHE")]
    for path in [os.path.join(directory, n) for n in ("instruments.h5", "trading_dates.h5")] + [
            p for _c, p in places.iter_daybar_files(directory)]:
        with h5py.File(path, "r") as f:
            assert f.attrs["schema_version"] == places.SCHEMA_VERSION


def test_failed_write_keeps_the_old_file_and_leaves_no_temp(tmp_path):
    path = writing.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))

    def broken(f):
        f.create_dataset("bars", data=bars([20261208]))
        raise RuntimeError("disk gone")

    with pytest.raises(RuntimeError):
        writing.atomic_h5(path, broken, "minbar")
    assert reading.read_minbar(path)["trading_date"].tolist() == [20261207] * 3
    assert os.listdir(os.path.dirname(path)) == ["A.h5"]


def test_stray_temp_files_are_ignored_then_removed(tmp_path):
    path = writing.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))
    for target in (path.replace("A.h5", "B.h5"), os.path.join(str(tmp_path), "bundle", "instruments.h5"),
                   os.path.join(str(tmp_path), "tick", "futures", "JD2701.h5")):
        built = writing.build_file(target, lambda f: None, "minbar")  # killed before the move
        os.close(built.fd)
        built.directory.close()
    strays = [os.path.join(root, n) for root, _d, names in os.walk(tmp_path) for n in names if n.startswith(".")]
    assert len(strays) == 3
    # tick/ swapped for a link out of the bundle: what it leads to is left alone.
    os.rename(tmp_path / "tick", tmp_path / "outside")
    os.symlink(tmp_path / "outside", tmp_path / "tick")
    outside = [p.replace(os.path.join(str(tmp_path), "tick"), os.path.join(str(tmp_path), "outside")) for p in strays
               if p.startswith(os.path.join(str(tmp_path), "tick"))]
    strays = [p for p in strays if not p.startswith(os.path.join(str(tmp_path), "tick"))]
    # Look-alikes the kit never writes, and anything outside bundle/, minbar/ and tick/, stay.
    kept = [tmp_path / "quarantine" / "tick" / "stock" / os.path.basename(strays[0]),
            tmp_path / os.path.basename(strays[0]),
            tmp_path / "src" / ".main.py.tmp-12-0123abcd",
            tmp_path / "minbar" / "stock" / ".notes.h5.tmp-draft",
            tmp_path / "minbar" / "stock" / ".C.h5.tmp-12-0123ABCD"]
    for p in kept:
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(b"mine")
    assert [code for _c, code, _p in places.iter_minbar_files(str(tmp_path))] == ["A"]
    assert writing.remove_stray_temp_files(str(tmp_path)) == 2
    assert not any(os.path.exists(p) for p in strays) and all(os.path.exists(p) for p in outside)
    assert all(p.read_bytes() == b"mine" for p in kept)


@pytest.mark.parametrize("attrs, message", [
    ({"schema_version": 99, "kind": "minbar"}, "schema_version=99"),
    ({"schema_version": places.SCHEMA_VERSION, "kind": "tick"}, "kind=tick"),
    ({"kind": "minbar"}, "schema_version=None"),
])
def test_foreign_files_are_refused(tmp_path, attrs, message):
    path = str(tmp_path / "x.h5")
    with h5py.File(path, "w") as f:
        f.create_dataset("bars", data=bars([20261207]))
        f.attrs.update(attrs)
    with pytest.raises(places.StorageError, match=message):
        reading.read_minbar(path)
    assert message in validation.inspect_data_file(path, "minbar")


@pytest.mark.parametrize("name, value", [
    ("schema_version", "abc"),
    ("schema_version", np.array([1, 1])),
    ("schema_version", 1.5),
    ("kind", np.array([b"minbar", b"tick"])),
])
def test_damaged_format_attributes_are_unsupported_format(tmp_path, name, value):
    path = writing.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))
    with h5py.File(path, "r+") as f:
        f.attrs[name] = value
    with pytest.raises(places.StorageError, match="格式不受支持"):
        reading.read_minbar(path)
    assert "格式不受支持" in validation.inspect_data_file(path, "minbar")


@pytest.mark.parametrize("value", [20251350, 20250230, "abc", np.array([20261207, 20261208]), -5, 2.0261207e7])
def test_last_trading_date_that_is_no_date_is_a_storage_error(tmp_path, value):
    path = writing.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))
    assert reading.last_trading_date(path, "minbar") == 20261207
    with h5py.File(path, "r+") as f:
        f.attrs["last_trading_date"] = value
    with pytest.raises(places.StorageError, match="last_trading_date 无效"):
        reading.last_trading_date(path, "minbar")


def test_garbage_file_is_a_storage_error(tmp_path):
    path = tmp_path / "x.h5"
    path.write_bytes(b"not hdf5 at all")
    with pytest.raises(places.StorageError, match="无法读取"):
        reading.read_minbar(str(path))


def _tamper_rows(path):
    with h5py.File(path, "r+") as f:
        f.attrs["rows"] = 99


def _tamper_dates(path):
    with h5py.File(path, "r+") as f:
        f.attrs["last_trading_date"] = 20261231


def _drop_field(path):
    with h5py.File(path, "r+") as f:
        data = f["ticks"][()]
        del f["ticks"]
        f.create_dataset("ticks", data=data[["datetime", "trading_date"]])


def _truncate(path):
    size = os.path.getsize(path)
    with open(path, "r+b") as f:
        f.truncate(size - 64)


@pytest.mark.parametrize("damage, reason", [
    (_tamper_rows, "行数"),
    (_tamper_dates, "交易日"),
    (_drop_field, "缺少字段"),
    (_truncate, "截断"),
])
def test_inspect_finds_damaged_tick_files(tmp_path, damage, reason):
    arr = np.zeros(5000, dtype=schemas.tick_dtype())
    arr["trading_date"] = 20261208
    arr["datetime"] = np.arange(5000)
    path = writing.write_tick(str(tmp_path), "stock", "A", arr)
    assert validation.inspect_data_file(path, "tick") is None
    damage(path)
    found = validation.inspect_data_file(path, "tick")
    assert found is not None and (reason in found or "无法读取" in found)


def test_reading_data_and_attributes_in_one_open(tmp_path):
    arr = bars([20261208])
    path = writing.write_minbar(str(tmp_path), "stock", "A", arr)
    data, attrs = reading.read_minbar_with_attrs(path)
    np.testing.assert_array_equal(data, arr)
    assert attrs == reading.read_file_attrs(path, "minbar")
    with pytest.raises(places.StorageError):
        reading.read_tick_with_attrs(path)


# ---- appending in place under the journal --------------------------------------------------------

def _write_uncompressed(root, arr):
    path = places.minbar_path(root, "stock", "A")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    trees.write_plain_series(path, "minbar", "stock", "A", arr)
    return path


@pytest.mark.parametrize("written_by, filters", [
    (lambda root, arr: writing.write_minbar(root, "stock", "A", arr), [hdf5.SERIES_FILTER]),
    (_write_uncompressed, []),  # the layout stays the file's own
])
@pytest.mark.parametrize("new_days, expected_days", [
    ([20261209], [20261207, 20261208, 20261209]),  # plain append
    ([20261208, 20261209], [20261207, 20261208, 20261209]),  # a re-published day replaces the stored one
    ([20261207], [20261207]),  # a correction from the first day on replaces everything after it
])
def test_append_replaces_the_overlapping_tail_and_keeps_the_rest(tmp_path, written_by, filters, new_days,
                                                                 expected_days):
    root = str(tmp_path)
    path = written_by(root, bars([20261207, 20261208], per_day=200))
    new = bars(new_days, per_day=200)
    new["close"] += 1000
    appending.append_series(root, "minbar", "stock", "A", new)
    got = reading.read_minbar(path)
    assert sorted(set(got["trading_date"])) == expected_days
    np.testing.assert_array_equal(got[-len(new):], new)
    attrs = reading.read_file_attrs(path, "minbar")
    assert (attrs["rows"], attrs["first_trading_date"], attrs["last_trading_date"]) == (
        len(got), expected_days[0], expected_days[-1])
    assert validation.inspect_data_file(path, "minbar") is None
    assert os.listdir(os.path.join(root, ".vantorel.journal")) == []
    with h5py.File(path, "r") as f:
        dcpl = f["bars"].id.get_create_plist()
        assert [dcpl.get_filter(i)[0] for i in range(dcpl.get_nfilters())] == filters


def test_append_writes_what_is_new_whatever_the_history(tmp_path):
    # The bytes an append writes, journal aside, stay the same whether 5 or 1,000 days are stored.
    written = []
    for days in (5, 1000):
        root = str(tmp_path / str(days))
        history = bars(list(range(20200101, 20200101 + days)), per_day=240)
        writing.write_minbar(root, "stock", "A", history)
        overlay = appending.append_series(root, "minbar", "stock", "A", bars([20260101], per_day=240))
        written.append(overlay.committed_bytes)
    new_bytes = 240 * schemas.minbar_dtype().itemsize
    assert all(w < 3 * new_bytes for w in written), written
    assert written[1] < 1.5 * written[0]


def _contiguous(f, arr):
    del f["bars"]
    f.create_dataset("bars", data=arr)


def _fields_swapped(f, arr):
    names = list(arr.dtype.names)
    names[2], names[5] = names[5], names[2]
    del f["bars"]
    f.create_dataset("bars", data=arr[names], chunks=(256,), maxshape=(None,))


def _rows_as_int32(f, arr):
    f.attrs.create("rows", len(arr), dtype="i4")


@pytest.mark.parametrize("change, refusal", [
    (_contiguous, "数据集不能扩展"),
    (_fields_swapped, "字段的名称、顺序或类型与本套件写入的不同"),
    (_rows_as_int32, None),  # a count stored in another type is replaced, as h5py's attrs[...] = would
])
def test_append_refuses_a_series_it_cannot_grow_and_leaves_the_file(tmp_path, change, refusal):
    root = str(tmp_path)
    old = bars([20261207, 20261208])
    path = writing.write_minbar(root, "stock", "A", old)
    with h5py.File(path, "r+") as f:
        change(f, old)
    with open(path, "rb") as f:
        before = f.read()
    if refusal:
        with pytest.raises(places.StorageError, match=refusal):
            appending.append_series(root, "minbar", "stock", "A", bars([20261209]))
        with open(path, "rb") as f:
            assert f.read() == before
    else:
        appending.append_series(root, "minbar", "stock", "A", bars([20261209]))
        with h5py.File(path, "r") as f:
            assert f.attrs["rows"] == 9 and f.attrs["rows"].dtype == np.int64
            assert f.attrs["last_trading_date"] == 20261209


KILL_AT_FSYNC = """
import os, signal, sys
import numpy as np
from vantorel.bundle import appending, places, reading, validation, writing
from vantorel.market import schemas
root, kill_at = sys.argv[1], int(sys.argv[2])
calls = [0]
real = os.fsync
def fsync(fd):
    real(fd)
    calls[0] += 1
    if calls[0] == kill_at:
        os.kill(os.getpid(), signal.SIGKILL)
os.fsync = fsync
new = np.zeros(240, schemas.minbar_dtype())
new["trading_date"] = 20260105
new["datetime"] = 20260105093100 + np.arange(240)
appending.append_series(root, "minbar", "stock", "A", new)
"""


@pytest.mark.parametrize("kill_at", [1, 2, 3, 4])  # after the journal, its directory, the file, the removal
def test_append_killed_at_each_step_is_old_or_new_after_recovery(tmp_path, kill_at):
    import subprocess
    import sys


    root = str(tmp_path)
    old = bars(list(range(20251201, 20251231)), per_day=240)
    path = writing.write_minbar(root, "stock", "A", old)
    proc = subprocess.run([sys.executable, "-c", KILL_AT_FSYNC, root, str(kill_at)], timeout=60,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == -9
    with access.reading(root):
        got = reading.read_minbar(path)
        assert validation.inspect_data_file(path, "minbar") is None
    if kill_at <= 2:  # before the file was written: rolled back
        np.testing.assert_array_equal(got, old)
    elif kill_at == 3:  # written, journal still there: rolled back too, to the old file
        np.testing.assert_array_equal(got, old)
    else:
        assert len(got) == len(old) + 240
    directory = os.path.join(root, ".vantorel.journal")
    assert not os.path.lexists(directory) or os.listdir(directory) == []  # removed once a recovery empties it


def test_files_open_with_the_hdf5_tools(tmp_path):
    import shutil
    import subprocess

    if shutil.which("h5dump") is None:
        pytest.skip("the HDF5 command-line tools (h5dump) are not installed")
    root = str(tmp_path)
    path = writing.write_minbar(root, "stock", "A", bars([20261207]))
    appending.append_series(root, "minbar", "stock", "A", bars([20261208]))
    out = subprocess.run(["h5dump", "-H", path], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0 and "DATASET \"bars\"" in out.stdout, out.stderr
    # The rows themselves, through the codec's plugin found as docs/bundle.md says.
    import hdf5plugin

    out = subprocess.run(["h5dump", "-d", "bars", path], capture_output=True, text=True, timeout=60,
                         env=dict(os.environ, HDF5_PLUGIN_PATH=hdf5plugin.PLUGIN_PATH))
    assert out.returncode == 0 and "20261208093102" in out.stdout, out.stderr


@pytest.mark.parametrize("rel", ["../outside.h5", "/etc/outside.h5", "quarantine/x.h5", "minbar/../../outside.h5"])
def test_a_journal_naming_a_file_outside_the_bundle_is_dropped_unplayed(tmp_path, rel):
    import hashlib
    import json

    from vantorel.bundle import journal

    root = tmp_path / "data"
    outside = tmp_path / "outside.h5"
    outside.write_bytes(b"precious" * 100)
    (root / journal.JOURNAL_DIR).mkdir(parents=True)
    target = str(outside) if rel.startswith("/") else rel
    body = journal.MAGIC + json.dumps({"path": target, "old_length": 4, "ranges": [[0, 4]]}).encode() + b"\n" + b"GONE"
    (root / journal.JOURNAL_DIR / "0123456789abcdef.journal").write_bytes(body + hashlib.sha256(body).digest())
    found = journal.recover(str(root))
    assert found.rolled == [] and len(found.notes) == 1 and "不是 bundle 中的数据文件" in found.notes[0]
    assert outside.read_bytes() == b"precious" * 100
    assert not os.path.lexists(root / journal.JOURNAL_DIR)


# Every way a file of each kind is read, from the bundle directory that holds it.
READERS = {
    "minbar": [reading.read_minbar, lambda p: reading.read_minbar_with_attrs(p)[0],
               lambda p: validation.read_span(p, "minbar", "bars", "trading_date", 0, 99991231)],
    "daybar": [lambda p: reading.read_daybar_file(p)["A"],
               lambda p: reading.read_daily(os.path.dirname(os.path.dirname(p)), "A"),
               lambda p: validation.read_span(p, "daybar", "A", "datetime", 0, 2 ** 62)],
    "instruments": [lambda p: reading.read_instruments(os.path.dirname(p))],
    "trading_dates": [lambda p: reading.read_calendars(os.path.dirname(p))[None][0],
                      lambda p: reading.read_trading_dates(os.path.dirname(p))],
}
FILE_OF = {"minbar": "A.h5", "daybar": "daybar/stock.h5", "instruments": places.INSTRUMENTS_FILE,
           "trading_dates": places.TRADING_DATES_FILE}


@pytest.mark.parametrize("kind", list(hostile_h5.KINDS))
@pytest.mark.parametrize("what", list(hostile_h5.REFUSALS) + ["repacked"])
def test_files_reading_elsewhere_or_swelling_are_refused_by_validation_and_every_reader(tmp_path, kind, what):
    outside = hostile_h5.outside_file(str(tmp_path / "outside.h5"), kind)
    path = tmp_path / "bundle" / FILE_OF[kind]
    path.parent.mkdir(parents=True)
    hostile_h5.write(str(path), what, kind, outside)
    refusal = hostile_h5.REFUSALS.get(what)
    reason = validation.validate_file(str(path), kind)
    if refusal is None:  # compressed by hand, yet holding what it declares: still read
        assert reason is None
        for read in READERS[kind]:
            np.testing.assert_array_equal(read(str(path)), hostile_h5.sound_rows(kind))
        return
    assert refusal in reason
    for read in READERS[kind]:
        with pytest.raises(places.StorageError, match=refusal):
            read(str(path))
    # What an update reads to plan: a refused file is set aside, not the end of the update.
    if kind == "daybar":
        with pytest.raises(places.StorageError, match=refusal):
            reading.daybar_tails(str(path))
    if kind == "minbar":
        assert refusal in validation.stored_state(str(path), kind)[0]
        with pytest.raises(places.StorageError, match=refusal):  # as the file opened for the append reads it
            plan._stored_state(str(tmp_path), str(path), kind)


def test_a_span_of_a_series_that_is_no_table_is_refused(tmp_path):
    path = str(tmp_path / "A.h5")
    with h5py.File(path, "w") as f:
        f.attrs.update(schema_version=places.SCHEMA_VERSION, kind="minbar")
        f.create_dataset("bars", data=np.ones(10, "i1"))
    with pytest.raises(places.StorageError, match="缺少字段 trading_date"):
        validation.read_span(path, "minbar", "bars", "trading_date", 0, 99991231)


def test_daily_series_sharing_one_chunk_are_refused_together(tmp_path):
    # Each holds, alone, what it declares; together they declare 300 times what the file holds.
    path = tmp_path / "bundle" / FILE_OF["daybar"]
    path.parent.mkdir(parents=True)
    hostile_h5.daily_series_sharing_one_chunk(str(path), 300)
    assert "没有这么多数据" in validation.validate_file(str(path), "daybar")
    with pytest.raises(places.StorageError, match="没有这么多数据"):
        reading.read_daybar_file(str(path))


def _quarantine_a_link(bundle, outside):
    os.symlink(outside, os.path.join(bundle, "quarantine"))


def _tick_quarantine_of_another_user(bundle, outside):
    os.makedirs(os.path.join(bundle, "quarantine", "tick"))
    os.chown(os.path.join(bundle, "quarantine", "tick"), 4321, 4321)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a directory to another user")
@pytest.mark.parametrize("plant", [_quarantine_a_link, _tick_quarantine_of_another_user])
def test_a_file_is_never_set_aside_where_another_user_chose(tmp_path, plant):
    bundle, outside = str(tmp_path / "data"), tmp_path / "outside"
    outside.mkdir()
    path = writing.write_tick(bundle, "stock", "A", np.zeros(3, dtype=schemas.tick_dtype()))
    plant(bundle, outside)
    with pytest.raises(OSError):
        places.set_aside(bundle, "tick", "stock", "A")
    assert os.path.isfile(path) and list(outside.iterdir()) == []
    for root, _dirs, files in os.walk(os.path.join(bundle, "quarantine")):
        assert files == [], root


def test_a_codec_block_running_past_its_chunk_is_refused_before_it_is_installed(tmp_path):
    # Readers trust the files of the bundle's own users; one from somebody else is walked block by
    # block before it is taken in (its codec would read past the chunk).
    path = str(tmp_path / "bundle" / FILE_OF["minbar"])
    os.makedirs(os.path.dirname(path))
    hostile_h5._codec_file(path, "minbar", places.SCHEMA_VERSION, block_length=0x7FFFFF00)
    assert "各段的长度" in validation.validate_file(path, "minbar")


def _gathered_changes(root, codes, old, new):
    """{code: the change in place of its file, not yet committed}, for files holding ``old``."""
    paths = {code: writing.write_minbar(root, "stock", code, old) for code in codes}
    gathered = {}

    class Gather:
        def change(self, changed, bundle_path, owner=None):
            gathered[owner] = changed

    for code in codes:
        appending.append_series(root, "minbar", "stock", code, new, Gather(), owner=code)
    return paths, gathered


@pytest.mark.skipif(sys.platform == "win32", reason="readers and writers exclude each other by the layout lock there")
def test_a_group_of_changes_commits_each_file_it_can_and_only_those(tmp_path, monkeypatch):
    # Changes in place share one journal directory's fsyncs: a file swapped since it was read fails
    # alone; files readers hold wait for them together, after the others; the others go as ever.
    import fcntl
    import threading
    import time

    from vantorel.bundle import overlay

    monkeypatch.setenv("VANTOREL_SWAP_WAIT", "1")
    root = str(tmp_path)
    old, new = bars([20261207]), bars([20261208])
    paths, gathered = _gathered_changes(root, "ABCDE", old, new)
    os.rename(paths["B"], str(tmp_path / "mine.h5"))
    writing.write_minbar(root, "stock", "B", old)  # another file at B's name, as another user's would be
    readers = {code: os.open(paths[code], os.O_RDONLY) for code in "CDE"}
    for reader in readers.values():
        fcntl.flock(reader, fcntl.LOCK_SH)
    threading.Timer(0.3, os.close, [readers.pop("C")]).start()  # D's and E's readers stay past the wait
    started = time.monotonic()
    failed = overlay.commit_together(root, list(gathered.values()))
    took = time.monotonic() - started
    for reader in readers.values():
        os.close(reader)
    assert [changed for changed, _exc in failed] == [gathered[code] for code in "BDE"]
    assert "在更新期间被换成了另一个文件" in str(failed[0][1]) and "正被读取，等了 1 秒" in str(failed[2][1])
    assert took < 1.6  # the held files waited for their readers together, not one after another
    for code, rows in (("A", 2), ("B", 1), ("C", 2), ("D", 1), ("E", 1)):
        assert len(reading.read_minbar(paths[code])) == len(old) * rows, code
    assert len(reading.read_minbar(str(tmp_path / "mine.h5"))) == len(old)
    assert os.listdir(os.path.join(root, ".vantorel.journal")) == []


@pytest.mark.skipif(sys.platform == "win32", reason="changes in place read and write at offsets")
@pytest.mark.parametrize("disk", ["slow fsync", "writes past a batch's bytes"])
def test_a_disk_slower_than_a_batch_commits_file_by_file(tmp_path, monkeypatch, disk):
    # Every file of a batch is kept from its readers until the batch ends: where a journal takes
    # longer to make durable than a batch may last, or the writes are large, a reader waits for one
    # file, as before batches; and an update sends the next changes one a group, so that they are
    # committed side by side on the committer's threads.
    import time

    from vantorel.bundle import overlay

    root = str(tmp_path)
    old, new = bars([20261207]), bars([20261208])
    paths, gathered = _gathered_changes(root, "ABCDEF", old, new)
    real_fsync, directory_fsyncs = os.fsync, []

    def counted(fd):
        if stat.S_ISDIR(os.fstat(fd).st_mode):
            directory_fsyncs.append(fd)
        if disk == "slow fsync":
            time.sleep(overlay._BATCH_SECONDS)
        return real_fsync(fd)

    monkeypatch.setattr(os, "fsync", counted)
    real_commit, groups = overlay.commit_together, []

    def commit_together(bundle_path, overlays):
        groups.append(len(overlays))
        return real_commit(bundle_path, overlays)

    monkeypatch.setattr(overlay, "commit_together", commit_together)
    if disk != "slow fsync":
        monkeypatch.setattr(overlay, "_BATCH_BYTES", 1)
    committer = writing.Committer()
    committer.GROUP, committer.GROUP_SECONDS = 3, overlay._BATCH_SECONDS
    for code in "ABCDEF":
        committer.change(gathered[code], root, code)
        if code == "C":
            assert committer.failures(wait=True) == []  # the first group, of three
    assert committer.failures(wait=True) == []
    committer.close()
    monkeypatch.undo()
    assert len(directory_fsyncs) == 2 * len(paths)  # each file a batch of its own
    assert all(len(reading.read_minbar(path)) == 2 * len(old) for path in paths.values())
    if disk == "slow fsync":
        assert groups == [3, 1, 1, 1]
