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
            if _names(name, path):
                raise error
            return real(name, *args, **kwargs)

        monkeypatch.setattr(h5py.h5f, "open", opening)
        return lambda: monkeypatch.setattr(h5py.h5f, "open", real)

    return refuse


def _names(name, path):
    """Whether HDF5's ``name`` (the path, or /proc/self/fd/<n> of a descriptor opened at it) is ``path``."""
    try:
        return name == os.fsencode(path) or os.path.samefile(os.fsdecode(name), path)
    except (OSError, ValueError):
        return False  # an in-memory image's name
