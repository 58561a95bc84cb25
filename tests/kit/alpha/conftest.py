import os

import pytest


@pytest.fixture
def refuse_open(monkeypatch):
    """refuse_open(path, error): HDF5 opens of ``path`` fail with ``error`` (a permission or a lock
    another process holds, which root, running the tests, cannot be made to meet) until the
    function it returns is called."""
    import h5py

    real = h5py.h5f.open

    def refuse(path, error):
        def opening(name, *args, **kwargs):
            if name == os.fsencode(path):
                raise error
            return real(name, *args, **kwargs)

        monkeypatch.setattr(h5py.h5f, "open", opening)
        return lambda: monkeypatch.setattr(h5py.h5f, "open", real)

    return refuse
