import pytest

# Variables through which the kit or the user steer a run; no test may see the developer's own.
KIT_VARIABLES = ("VANTOREL_LICENSE", "VANTOREL_APPKEY_LICENSE", "vantorelsdk_env", "VANTOREL_AGENT",
                 "VANTOREL_STORE_LOADED")


@pytest.fixture(autouse=True)
def kit_home(tmp_path, monkeypatch):
    """Every test runs against a kit home of its own and a clean account environment."""
    home = tmp_path / "vantorel-home"
    monkeypatch.setenv("VANTOREL_HOME", str(home))
    for name in KIT_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    return home
