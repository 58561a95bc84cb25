"""The reading API and check-data on worker processes: of this machine, and of a real dask.distributed
cluster."""
import pytest
from test_checks import Bundle

from vantorel import data
from vantorel.checks import check_min_bar_data, dispatch

distributed = pytest.importorskip("distributed")


@pytest.fixture(scope="module")
def cluster():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as made:
        yield made


@pytest.mark.parametrize("frequency, fields", [("1d", ["close", "volume"]), ("1m", "close")])
def test_a_lazy_panel_computed_on_workers_is_the_eager_one(tmp_path, cluster, frequency, fields):
    opened = data.open(Bundle(tmp_path / "bundle-path").path)
    codes = ["000001.XSHE", "600000.XSHG", "M2405"]
    lazy = opened.get(codes, fields, 20240201, 20240220, frequency=frequency, adjust="post", lazy=True)
    assert lazy.npartitions == len(codes)
    with distributed.Client(cluster) as client:
        got = client.compute(lazy).result()
    eager = opened.get(codes, fields, 20240201, 20240220, frequency=frequency, adjust="post")
    assert got.astype({"order_book_id": object}).equals(eager.reset_index("order_book_id"))


@pytest.mark.parametrize("where", ["2 cores", "3 cores", "cluster"])
def test_check_data_spread_over_workers_finds_what_it_finds_in_one_process(tmp_path, cluster, monkeypatch, capsys,
                                                                          where):
    made = Bundle(tmp_path / "bundle-path")
    # A finding in every file: those this process checks and those the workers do come back in order.
    for row, code in enumerate(made.minutes):
        bars = made.minutes[code].copy()
        bars["close"][100 + row] = -1.0
        made.write_minutes(code, bars)
    here = check_min_bar_data(made.path)
    if where == "cluster":
        monkeypatch.setenv(dispatch.SCHEDULER_SETTING, cluster.scheduler_address)
    else:
        monkeypatch.setenv(dispatch.WORKERS_SETTING, where.split()[0])
    there = check_min_bar_data(made.path)
    assert there == here and sorted(a.code for a in there if a.kind == "non_positive") == sorted(made.minutes)
    capsys.readouterr()
