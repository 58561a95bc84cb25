"""The rollback journal under a refused write, a kill in the commit and a planted link."""
import builtins
import errno
import io
import os
import subprocess
import sys
import textwrap

import pytest

import vantorel
import vantorel.errors
from vantorel import tovi
from vantorel.ombrel.alpha import bundle, journal, service, staging, storage

SRC = os.path.dirname(os.path.dirname(vantorel.__file__))
TODAY, TOMORROW = "2026-12-08T16:00", "2026-12-09T16:00"
CODE = "000001.XSHE"


@pytest.fixture
def path(tmp_path, monkeypatch):
    monkeypatch.setenv(service.ENV_NOW, TODAY)
    tovi.init("demo", "demo")
    path = str(tmp_path / "data")
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False)
    yield path
    tovi.sign_out()


class _RefusesOnce(io.FileIO):
    """A disk that refuses the n-th write (a full copy-on-write file system), then has room again."""
    left = 0

    def write(self, data):
        type(self).left -= 1
        if type(self).left == 0:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return super().write(data)


@pytest.mark.parametrize("refused", [1, 2, 3])
def test_a_write_refused_during_an_append_leaves_the_old_file(path, monkeypatch, capsys, refused):
    file = storage.data_path(path, "minbar", "stock", CODE)
    with open(file, "rb") as f:
        before = f.read()
    _RefusesOnce.left = refused

    def opening(name, mode="r", buffering=-1, *args, **kwargs):
        if mode == "r+b" and os.fspath(name) == file:
            raw = _RefusesOnce(name, "r+")
            return raw if buffering == 0 else io.BufferedRandom(raw)  # as open(name, "r+b") makes it
        return builtins.open(name, mode, buffering, *args, **kwargs)

    monkeypatch.setattr(journal, "open", opening, raising=False)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    assert f"无法写入 {file}" in capsys.readouterr().out
    monkeypatch.undo()
    staging.recover(path)
    with open(file, "rb") as f:
        assert f.read() == before


KILLED_IN_COMMIT = """
    import builtins, os, sys
    from vantorel import tovi
    from vantorel.ombrel.alpha import bundle, journal
    tovi.init("demo", "demo")
    real = builtins.open
    class Dying:
        def __init__(self, f): self.f, self.writes = f, 0
        def __enter__(self): return self
        def __exit__(self, *exc): self.f.close()
        def write(self, data):
            self.writes += 1
            if self.writes == 2:  # killed in step 2, the file half changed on disk
                self.f.flush(); os._exit(9)
            return self.f.write(data)
        def __getattr__(self, name): return getattr(self.f, name)
    journal.open = lambda name, mode="r", *a, **k: Dying(real(name, mode, *a, **k)) if mode == "r+b" else real(name, mode, *a, **k)
    bundle.update_bundle_from_corvane(1, sys.argv[1], False, (sys.argv[2],), (), False)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
@pytest.mark.parametrize("layout", ["as written", "minbar on another disk", "file on another disk"])
def test_an_append_killed_in_its_commit_is_rolled_back(path, tmp_path, layout):
    file = storage.data_path(path, "minbar", "stock", CODE)
    elsewhere = tmp_path / "elsewhere"
    if layout == "minbar on another disk":
        os.rename(os.path.join(path, "minbar"), elsewhere)
        os.symlink(elsewhere, os.path.join(path, "minbar"))
    elif layout == "file on another disk":
        elsewhere.mkdir()
        os.rename(file, elsewhere / "bars.h5")
        os.symlink(elsewhere / "bars.h5", file)
    with open(file, "rb") as f:
        before = f.read()
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(KILLED_IN_COMMIT), path, CODE],
                          env=dict(os.environ, PYTHONPATH=SRC, **{service.ENV_NOW: TOMORROW}), timeout=120)
    assert proc.returncode == 9
    assert os.listdir(journal.journal_dir(path))  # the kill came between the journal and its removal
    staging.recover(path)
    with open(file, "rb") as f:
        assert f.read() == before


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
def test_a_journal_directory_that_is_a_link_is_neither_read_nor_written_through(path, tmp_path, monkeypatch, capsys):
    outside = tmp_path / "documents"
    (outside / "sub").mkdir(parents=True)
    (outside / "notes.txt").write_text("mine")
    (outside / "old.journal").write_text("mine too")
    if os.path.isdir(journal.journal_dir(path)):
        os.rmdir(journal.journal_dir(path))
    os.symlink(outside, journal.journal_dir(path))
    with staging.reading(path):
        pass
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    assert "不是本用户的日志目录" in capsys.readouterr().err
    assert sorted(os.listdir(outside)) == ["notes.txt", "old.journal", "sub"]


def _killed_in_commit(path):
    file = storage.data_path(path, "minbar", "stock", CODE)
    with open(file, "rb") as f:
        before = f.read()
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(KILLED_IN_COMMIT), path, CODE],
                          env=dict(os.environ, PYTHONPATH=SRC, **{service.ENV_NOW: TOMORROW}), timeout=120)
    assert proc.returncode == 9
    return file, before


def _owned_by_another_user(path, file, tmp_path):
    directory = journal.journal_dir(path)
    for name in [directory] + [os.path.join(directory, n) for n in os.listdir(directory)]:
        os.chown(name, 4321, 4321)
    return lambda: [os.chown(n, os.geteuid(), os.getegid()) for n in [directory] + [
        os.path.join(directory, n) for n in os.listdir(directory)]]


def _journal_file_of_another_user(path, file, tmp_path):
    directory = journal.journal_dir(path)
    journals = [os.path.join(directory, n) for n in os.listdir(directory)]
    for name in journals:
        os.chown(name, 4321, 4321)
    return lambda: [os.chown(n, os.geteuid(), os.getegid()) for n in journals]


def _swapped_for_a_copy(path, file, tmp_path):
    import shutil

    # The minute bars moved to another disk by copying, between the kill and the next run.
    shutil.copytree(os.path.join(path, "minbar"), tmp_path / "copy")
    shutil.rmtree(os.path.join(path, "minbar"))
    os.symlink(tmp_path / "copy", os.path.join(path, "minbar"))
    return None


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a file to another user")
@pytest.mark.parametrize("change", [_owned_by_another_user, _journal_file_of_another_user, _swapped_for_a_copy])
def test_a_journal_that_cannot_be_trusted_stops_readers_and_writes_nothing(path, tmp_path, monkeypatch, capsys, change):
    file, before = _killed_in_commit(path)
    undo = change(path, file, tmp_path)
    with open(file, "rb") as f:
        torn = f.read()
    with pytest.raises(vantorel.errors.VantorelError, match="日志"):
        staging.reading(path).__enter__()
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    capsys.readouterr()
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    assert "日志" in capsys.readouterr().err
    with open(file, "rb") as f:
        assert f.read() == torn  # neither rolled back into the wrong file nor set aside as damaged
    assert os.listdir(journal.journal_dir(path)) and not os.path.exists(os.path.join(path, "quarantine"))
    if undo:
        undo()
        with staging.reading(path):
            with open(file, "rb") as f:
                assert f.read() == before


def test_a_journal_directory_an_older_release_left_open_is_made_private_where_it_can_be(path, monkeypatch):
    directory = journal.journal_dir(path)
    os.makedirs(directory, exist_ok=True)
    os.chmod(directory, 0o775)
    real = os.chmod
    monkeypatch.setattr(journal.os, "chmod", lambda *a: (_ for _ in ()).throw(OSError(errno.EROFS, "read-only")))
    with staging.reading(path):  # a bundle on a read-only medium is still read
        assert storage.read_minbar(storage.data_path(path, "minbar", "stock", CODE)).size
    monkeypatch.setattr(journal.os, "chmod", real)
    with staging.reading(path):
        pass
    assert os.stat(directory).st_mode & 0o777 == 0o700


def test_a_bundle_copied_whole_with_a_journal_pending_rolls_back(path, tmp_path):
    import shutil

    file, before = _killed_in_commit(path)
    copy = str(tmp_path / "copy")
    shutil.copytree(path, copy, symlinks=True)  # new files: their device and inode differ
    with staging.reading(copy):
        with open(file.replace(path, copy), "rb") as f:
            assert f.read() == before


def test_a_file_at_the_journal_directory_s_place_does_not_stop_readers(path):
    with open(journal.journal_dir(path), "w") as f:
        f.write("not a directory")
    with staging.reading(path):
        assert storage.read_minbar(storage.data_path(path, "minbar", "stock", CODE)).size
