import os

import pytest


@pytest.fixture
def refuse_open(monkeypatch):
    """refuse_open(path, error): HDF5 opens of ``path``, and opens for an in-place change, fail with
    ``error`` (a permission or a lock another process holds, which root, running the tests, cannot
    be made to meet) until the function it returns is called."""
    import h5py

    from vantorel.bundle import places

    real, real_in_bundle = h5py.h5f.open, places.open_in_bundle

    def refuse(path, error):
        def opening(name, *args, **kwargs):
            if _names(name, path):
                raise error
            return real(name, *args, **kwargs)

        def opening_in_bundle(name, *args, **kwargs):
            if _names(name, path):
                raise error
            return real_in_bundle(name, *args, **kwargs)

        monkeypatch.setattr(h5py.h5f, "open", opening)
        monkeypatch.setattr(places, "open_in_bundle", opening_in_bundle)

        def allow():
            monkeypatch.setattr(h5py.h5f, "open", real)
            monkeypatch.setattr(places, "open_in_bundle", real_in_bundle)

        return allow

    return refuse


def _names(name, path):
    """Whether HDF5's ``name`` (the path, or /proc/self/fd/<n> of a descriptor opened at it) is ``path``."""
    try:
        return name == os.fsencode(path) or os.path.samefile(os.fsdecode(name), path)
    except (OSError, ValueError):
        return False  # an in-memory image's name
