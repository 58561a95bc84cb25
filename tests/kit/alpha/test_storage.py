import os

import h5py
import numpy as np
import pytest

from vantorel.ombrel.alpha import storage


def bars(days, per_day=3):
    arr = np.zeros(len(days) * per_day, dtype=storage.minbar_dtype())
    arr["trading_date"] = np.repeat(days, per_day)
    arr["datetime"] = arr["trading_date"].astype("i8") * 1000000 + np.tile(np.arange(per_day) + 93100, len(days))
    arr["close"] = np.arange(len(arr)) + 1.0
    return arr


def test_minbar_round_trip_with_attributes(tmp_path):
    arr = bars([20261207, 20261208])
    path = storage.write_minbar(str(tmp_path), "stock", "000001.XSHE", arr)
    assert path == os.path.join(str(tmp_path), "minbar", "stock", "000001.XSHE.h5")
    np.testing.assert_array_equal(storage.read_minbar(path), arr)
    attrs = storage.read_file_attrs(path, "minbar")
    assert attrs == {"schema_version": storage.SCHEMA_VERSION, "kind": "minbar", "order_book_id": "000001.XSHE",
                     "category": "stock", "rows": 6, "first_trading_date": 20261207,
                     "last_trading_date": 20261208}
    assert list(storage.iter_minbar_files(str(tmp_path))) == [("stock", "000001.XSHE", path)]
    assert storage.inspect_data_file(path, "minbar") is None


def test_base_files_and_daily_bars(tmp_path):
    directory = str(tmp_path / "bundle")
    storage.write_trading_dates(directory, [20261207, 20261208])
    np.testing.assert_array_equal(storage.read_trading_dates(directory), [20261207, 20261208])
    inst = np.zeros(1, dtype=storage.instrument_dtype())
    inst["order_book_id"], inst["symbol"], inst["trading_hours"] = b"M2701", "豆粕2701".encode(), b"09:01-10:15"
    storage.write_instruments(directory, inst)
    assert storage.instrument_records(storage.read_instruments(directory))[0]["symbol"] == "豆粕2701"
    day = np.zeros(2, dtype=storage.daybar_dtype())
    day["datetime"] = [20261207000000, 20261208000000]
    storage.write_daybars(directory, "futures", {"M2701": day, "JD2701": day[:1]})
    storage.write_daybars(directory, "stock", {"000001.XSHE": day})
    assert len(storage.read_daily(directory, "M2701")) == 2
    assert storage.read_daily(directory, "M2701", category="stock") is None
    assert set(storage.read_daily(directory, category="futures")) == {"M2701", "JD2701"}
    assert [(c, code) for c, code, _a in storage.iter_daily(directory)] == [
        ("futures", "JD2701"), ("futures", "M2701"), ("stock", "000001.XSHE")]
    for path in [os.path.join(directory, n) for n in ("instruments.h5", "trading_dates.h5")] + [
            p for _c, p in storage.iter_daybar_files(directory)]:
        with h5py.File(path, "r") as f:
            assert f.attrs["schema_version"] == storage.SCHEMA_VERSION


def test_failed_write_keeps_the_old_file_and_leaves_no_temp(tmp_path):
    path = storage.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))

    def broken(f):
        f.create_dataset("bars", data=bars([20261208]))
        raise RuntimeError("disk gone")

    with pytest.raises(RuntimeError):
        storage.atomic_h5(path, broken, "minbar")
    assert storage.read_minbar(path)["trading_date"].tolist() == [20261207] * 3
    assert os.listdir(os.path.dirname(path)) == ["A.h5"]


def test_stray_temp_files_are_ignored_then_removed(tmp_path, monkeypatch):
    path = storage.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))

    def killed(f):
        raise KeyboardInterrupt  # stands in for a kill: write_temp_h5 would remove its file otherwise

    monkeypatch.setattr(storage, "_unlink_quietly", lambda p: None)
    for target in (path.replace("A.h5", "B.h5"), os.path.join(str(tmp_path), "bundle", "instruments.h5"),
                   os.path.join(str(tmp_path), "tick", "futures", "JD2701.h5")):
        with pytest.raises(KeyboardInterrupt):
            storage.write_temp_h5(target, killed, "minbar")
    monkeypatch.undo()
    strays = [os.path.join(root, n) for root, _d, names in os.walk(tmp_path) for n in names if n.startswith(".")]
    assert len(strays) == 3
    # Look-alikes the kit never writes, and anything outside bundle/, minbar/ and tick/, stay.
    kept = [tmp_path / "quarantine" / "tick" / "stock" / os.path.basename(strays[0]),
            tmp_path / os.path.basename(strays[0]),
            tmp_path / "src" / ".main.py.tmp-12-0123abcd",
            tmp_path / "minbar" / "stock" / ".notes.h5.tmp-draft",
            tmp_path / "minbar" / "stock" / ".C.h5.tmp-12-0123ABCD"]
    for p in kept:
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(b"mine")
    assert [code for _c, code, _p in storage.iter_minbar_files(str(tmp_path))] == ["A"]
    assert storage.remove_stray_temp_files(str(tmp_path)) == 3
    assert not any(os.path.exists(p) for p in strays)
    assert all(p.read_bytes() == b"mine" for p in kept)


@pytest.mark.parametrize("attrs, message", [
    ({"schema_version": 99, "kind": "minbar"}, "schema_version=99"),
    ({"schema_version": storage.SCHEMA_VERSION, "kind": "tick"}, "kind=tick"),
    ({"kind": "minbar"}, "schema_version=None"),
])
def test_foreign_files_are_refused(tmp_path, attrs, message):
    path = str(tmp_path / "x.h5")
    with h5py.File(path, "w") as f:
        f.create_dataset("bars", data=bars([20261207]))
        f.attrs.update(attrs)
    with pytest.raises(storage.StorageError, match=message):
        storage.read_minbar(path)
    assert message in storage.inspect_data_file(path, "minbar")


@pytest.mark.parametrize("name, value", [
    ("schema_version", "abc"),
    ("schema_version", np.array([1, 1])),
    ("schema_version", 1.5),
    ("kind", np.array([b"minbar", b"tick"])),
])
def test_damaged_format_attributes_are_unsupported_format(tmp_path, name, value):
    path = storage.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))
    with h5py.File(path, "r+") as f:
        f.attrs[name] = value
    with pytest.raises(storage.StorageError, match="格式不受支持"):
        storage.read_minbar(path)
    assert "格式不受支持" in storage.inspect_data_file(path, "minbar")


@pytest.mark.parametrize("value", [20251350, 20250230, "abc", np.array([20261207, 20261208]), -5, 2.0261207e7])
def test_last_trading_date_that_is_no_date_is_a_storage_error(tmp_path, value):
    path = storage.write_minbar(str(tmp_path), "stock", "A", bars([20261207]))
    assert storage.last_trading_date(path, "minbar") == 20261207
    with h5py.File(path, "r+") as f:
        f.attrs["last_trading_date"] = value
    with pytest.raises(storage.StorageError, match="last_trading_date 无效"):
        storage.last_trading_date(path, "minbar")


def test_garbage_file_is_a_storage_error(tmp_path):
    path = tmp_path / "x.h5"
    path.write_bytes(b"not hdf5 at all")
    with pytest.raises(storage.StorageError, match="无法读取"):
        storage.read_minbar(str(path))


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
    arr = np.zeros(5000, dtype=storage.tick_dtype())
    arr["trading_date"] = 20261208
    arr["datetime"] = np.arange(5000)
    path = storage.write_tick(str(tmp_path), "stock", "A", arr)
    assert storage.inspect_data_file(path, "tick") is None
    damage(path)
    found = storage.inspect_data_file(path, "tick")
    assert found is not None and (reason in found or "无法读取" in found)


def test_reading_data_and_attributes_in_one_open(tmp_path):
    arr = bars([20261208])
    path = storage.write_minbar(str(tmp_path), "stock", "A", arr)
    data, attrs = storage.read_minbar_with_attrs(path)
    np.testing.assert_array_equal(data, arr)
    assert attrs == storage.read_file_attrs(path, "minbar")
    with pytest.raises(storage.StorageError):
        storage.read_tick_with_attrs(path)
