"""The rollback journal under a refused write, a kill in the commit and a planted link."""
import errno
import json
import os
import subprocess
import sys
import textwrap
import types

import pytest

import trees

import vantorel
import vantorel.errors
from vantorel import data, tovi
from vantorel.ombrel.alpha import bundle
from vantorel.bundle import access, appending, places, reading, writing
from vantorel.bundle import journal, nofollow, overlay, staging
from vantorel.sources import service

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


@pytest.mark.parametrize("refused", [1, 2, 3])
def test_a_write_refused_during_an_append_leaves_the_old_file(path, monkeypatch, capsys, refused):
    file = places.data_path(path, "minbar", "stock", CODE)
    with open(file, "rb") as f:
        before = f.read()
    left = [refused]

    def refusing_once(target, data, offset):
        # A disk that refuses the n-th write (a full copy-on-write file system), then has room again.
        left[0] -= 1
        if left[0] == 0:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return real_write_all(target, data, offset)

    real_write_all = overlay.pwrite_all
    monkeypatch.setattr(overlay, "pwrite_all", refusing_once)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    assert f"无法写入 {file}" in capsys.readouterr().out
    monkeypatch.undo()
    staging.recover(path)
    with open(file, "rb") as f:
        assert f.read() == before


KILLED_IN_COMMIT = """
    import os, sys
    from vantorel import tovi
    from vantorel.ombrel.alpha import bundle
    from vantorel.bundle import overlay
    tovi.init("demo", "demo")
    real, writes = overlay.pwrite_all, []
    def dying(target, data, offset):
        writes.append(data)
        if len(writes) == 3:  # killed in step 2 (the journal was the first write), the file half changed on disk
            os._exit(9)
        return real(target, data, offset)
    overlay.pwrite_all = dying
    bundle.update_bundle_from_corvane(1, sys.argv[1], False, (sys.argv[2],), (), False)
"""


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
@pytest.mark.parametrize("layout", ["as written", "minbar on another disk", "file on another disk"])
def test_an_append_killed_in_its_commit_is_rolled_back(path, tmp_path, layout):
    file = places.data_path(path, "minbar", "stock", CODE)
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
    with access.reading(path):
        pass
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    assert "不是本用户或该 bundle 路径属主的日志目录" in capsys.readouterr().err
    assert sorted(os.listdir(outside)) == ["notes.txt", "old.journal", "sub"]


def _killed_in_commit(path):
    file = places.data_path(path, "minbar", "stock", CODE)
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


def _swapped_for_a_tree_inside(path, file, tmp_path):
    import shutil

    # On a path without the sticky bit another user moves minbar/ aside, inside the bundle path,
    # and puts a copy of their own in its place: same path, other files.
    aside = os.path.join(path, "minbar.aside")
    os.rename(os.path.join(path, "minbar"), aside)
    shutil.copytree(aside, os.path.join(path, "minbar"))
    return lambda: (shutil.rmtree(os.path.join(path, "minbar")), os.rename(aside, os.path.join(path, "minbar")))


def _reached_through_the_owner_s_link(path, file, tmp_path):
    # The bundle path's owner leads a file's name to a file of the user who reads the bundle, and
    # leaves a journal of their own for it: its bytes are theirs to choose, the file is not theirs.
    mine = tmp_path / "mine.h5"
    os.rename(file, mine)
    os.symlink(mine, file)
    os.lchown(file, 4321, 4321)
    journal_back = _owned_by_another_user(path, file, tmp_path)
    os.chown(path, 4321, 4321)
    return lambda: (os.chown(path, 0, 0), journal_back(), os.unlink(file), os.rename(mine, file))


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a file to another user")
@pytest.mark.parametrize("change, kept", [(_owned_by_another_user, "用户 4321 的目录"),
                                          (_reached_through_the_owner_s_link, "是用户 4321 写的"),
                                          (_journal_file_of_another_user, "用户 4321 的文件"),
                                          (_swapped_for_a_copy, "已不是写入日志时的那个文件"),
                                          (_swapped_for_a_tree_inside, "已不是写入日志时的那个文件")])
def test_a_journal_that_cannot_be_trusted_is_left_alone_and_writes_nothing(path, tmp_path, monkeypatch, capsys, change, kept):
    file, before = _killed_in_commit(path)
    undo = change(path, file, tmp_path)
    with open(file, "rb") as f:
        torn = f.read()
    capsys.readouterr()
    # Readers go on, told once what was left alone and why; the file the journal guards is refused
    # where it is kept for now.
    assert CODE in data.instruments(path)["order_book_id"].tolist()
    if change in (_swapped_for_a_copy, _swapped_for_a_tree_inside):
        with pytest.raises(vantorel.errors.VantorelError, match=kept):
            data.minute_bars(CODE, bundle_path=path)
    assert capsys.readouterr().err.count(kept) == 1
    data.instruments(path)
    assert kept not in capsys.readouterr().err  # said once
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    err = capsys.readouterr().err
    assert kept in err
    if change is _owned_by_another_user:  # the bundle path's owner need not wait for that user
        assert "你是该 bundle 路径的属主，也可以自己把它改名移开" in err
    with open(file, "rb") as f:
        assert f.read() == torn  # neither rolled back into the wrong file nor set aside as damaged
    assert os.listdir(journal.journal_dir(path)) and not os.path.exists(os.path.join(path, "quarantine"))
    if undo:
        undo()
        with access.reading(path):
            with open(file, "rb") as f:
                assert f.read() == before


def test_the_journal_directory_is_writable_by_its_owner_alone_and_readable_like_the_bundle_path(path, monkeypatch):
    directory = journal.journal_dir(path)
    os.makedirs(directory, exist_ok=True)
    os.chmod(directory, 0o775)  # an older release left it open to the group
    real = os.fchmod
    monkeypatch.setattr(nofollow.os, "fchmod", lambda *a: (_ for _ in ()).throw(OSError(errno.EROFS, "read-only")))
    with access.reading(path):  # a bundle on a read-only medium is still read
        assert reading.read_minbar(places.data_path(path, "minbar", "stock", CODE)).size
    monkeypatch.setattr(nofollow.os, "fchmod", real)
    with access.reading(path):
        pass
    assert os.stat(directory).st_mode & 0o777 == 0o755
    os.chmod(directory, 0o700)  # an older release made it private: other users could not read the bundle
    os.chmod(path, 0o750)
    with access.reading(path):
        pass
    assert os.stat(directory).st_mode & 0o777 == 0o750


def test_a_bundle_copied_whole_with_a_journal_pending_rolls_back(path, tmp_path):
    import shutil

    file, before = _killed_in_commit(path)
    copy = str(tmp_path / "copy")
    shutil.copytree(path, copy, symlinks=True)  # new files: their device and inode differ
    with access.reading(copy):
        with open(file.replace(path, copy), "rb") as f:
            assert f.read() == before


def test_a_file_at_the_journal_directory_s_place_does_not_stop_readers(path):
    with open(journal.journal_dir(path), "w") as f:
        f.write("not a directory")
    with access.reading(path):
        assert reading.read_minbar(places.data_path(path, "minbar", "stock", CODE)).size


def _journal_of(path):
    (name,) = os.listdir(journal.journal_dir(path))
    return os.path.join(journal.journal_dir(path), name)


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
def test_a_journal_whose_file_is_out_of_reach_is_kept_and_readers_of_that_file_say_why(path, tmp_path, monkeypatch, capsys):
    disk = tmp_path / "disk"
    os.rename(os.path.join(path, "minbar"), disk)
    os.symlink(disk, os.path.join(path, "minbar"))  # minbar/ kept on another disk
    file, before = _killed_in_commit(path)
    kept = _journal_of(path)
    os.rename(disk, tmp_path / "unmounted")  # and that disk is not mounted at the next read
    capsys.readouterr()
    assert CODE in data.instruments(path)["order_book_id"].tolist()  # the other files are read
    with pytest.raises(vantorel.errors.VantorelError, match=f"{file} 现在无法访问.*日志 {kept} 尚未回滚，已保留"):
        data.minute_bars(CODE, bundle_path=path)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    assert f"{file} 现在无法访问" in capsys.readouterr().err
    assert os.listdir(journal.journal_dir(path)) == [os.path.basename(kept)]
    os.rename(tmp_path / "unmounted", disk)  # mounted again: the next reader rolls it back
    assert data.minute_bars(CODE, bundle_path=path).size
    with open(file, "rb") as f:
        assert f.read() == before
    assert not os.path.lexists(journal.journal_dir(path))


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
def test_a_backup_of_a_crashed_bundle_never_rolls_back_the_live_file_through_its_link(path, tmp_path, monkeypatch, capsys):
    import shutil

    disk = tmp_path / "disk"
    os.rename(os.path.join(path, "minbar"), disk)
    os.symlink(disk, os.path.join(path, "minbar"))
    file, before = _killed_in_commit(path)
    backup = str(tmp_path / "backup")
    shutil.copytree(path, backup, symlinks=True)  # cp -a: minbar/ stays a link to the live disk
    with access.reading(path):  # the live bundle rolls back, then grows
        pass
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False)
    with open(file, "rb") as f:
        grown = f.read()
    assert grown != before
    capsys.readouterr()
    with pytest.raises(vantorel.errors.VantorelError, match="写于另一个 bundle 路径.*经由链接"):
        data.minute_bars(CODE, bundle_path=backup)
    assert CODE in data.instruments(backup)["order_book_id"].tolist()
    with open(file, "rb") as f:
        assert f.read() == grown
    assert len(os.listdir(journal.journal_dir(backup))) == 1  # kept for whoever restores the copy


@pytest.mark.parametrize("damage, why, whole", [
    (lambda b: b[:len(b) // 2], "被截断", "未被改动"),
    (lambda b: b[:len(journal.MAGIC) + 10], "未写完：头部不完整", "没有任何文件被改动"),
    (lambda b: b[:-1] + bytes([b[-1] ^ 1]), "SHA-256 校验和不符", "未被改动"),
])
def test_a_journal_cut_short_is_dropped_with_a_word_once_its_file_is_known_whole(path, capsys, damage, why, whole):
    file, before = _killed_in_commit(path)
    kept = _journal_of(path)
    with open(kept, "rb") as f:
        written = f.read()
    with open(kept, "wb") as f:
        f.write(damage(written))
    with open(file, "wb") as f:
        f.write(before)  # the kill came while the journal was written: the file was not touched yet
    capsys.readouterr()
    with access.reading(path):
        pass
    err = capsys.readouterr().err
    assert f"已删除不完整的回滚日志 {kept}（{why}" in err and whole in err and err.count("\n") == 1
    assert not os.path.lexists(journal.journal_dir(path))
    with open(file, "rb") as f:
        assert f.read() == before


def test_a_journal_with_a_wrong_checksum_whose_file_was_changed_says_the_file_is_not_whole(path, capsys):
    file, _before = _killed_in_commit(path)  # the file is half written
    kept = _journal_of(path)
    with open(kept, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        last = f.read(1)
        f.seek(-1, os.SEEK_END)
        f.write(bytes([last[0] ^ 1]))
    capsys.readouterr()
    with access.reading(path):
        pass
    err = capsys.readouterr().err
    assert f"已删除不完整的回滚日志 {kept}（SHA-256 校验和不符）" in err and f"{file} 与写入前不同" in err
    assert "可能已损坏" in err


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
def test_a_journal_directory_swapped_for_a_link_after_the_look_is_never_entered(path, tmp_path, monkeypatch, capsys):
    documents = tmp_path / "documents"
    (documents / "sub").mkdir(parents=True)
    (documents / "notes.txt").write_text("mine")
    (documents / "old.journal").write_bytes(b"mine too")
    _killed_in_commit(path)
    directory = journal.journal_dir(path)
    real_lstat = nofollow.Dir.lstat

    def lstat(self, name):
        info = real_lstat(self, name)
        if name == journal.JOURNAL_DIR and not os.path.islink(directory):
            # What renameat2's exchange does in one step, between the look and the listing.
            os.rename(directory, tmp_path / "moved")
            os.symlink(documents, directory)
        return info

    monkeypatch.setattr(nofollow.Dir, "lstat", lstat)
    with access.reading(path):
        pass
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    assert "是链接" in capsys.readouterr().err
    assert sorted(os.listdir(documents)) == ["notes.txt", "old.journal", "sub"]
    assert (documents / "old.journal").read_bytes() == b"mine too"


# ---- another local user, reading a bundle its owner keeps on a shared disk ---------------------

def _in_child(function, uid=None, wait=None):
    """What ``function`` returns (its repr), or "raised <its error>", run in a forked child: as user
    ``uid`` when given, and killed when it has not answered within ``wait`` seconds (HDF5 waits in an
    open holding the interpreter's lock, so a thread could not be waited for)."""
    import select
    import signal
    import warnings

    read, write = os.pipe()
    with warnings.catch_warnings():
        # The child only runs ``function``, with nothing of the parent's threads: Python 3.12's
        # warning about forking a process that has threads does not apply.
        warnings.simplefilter("ignore", DeprecationWarning)
        pid = os.fork()
    if pid == 0:
        try:
            os.close(read)
            if uid is not None:
                os.setgid(uid)
                os.setuid(uid)
            said = repr(function())
        except BaseException as exc:  # noqa: B036 - everything goes back to the parent
            said = f"raised {exc}"
        os.write(write, said.encode())
        os._exit(0)
    os.close(write)
    waited = wait is not None and not select.select([read], [], [], wait)[0]
    if waited:
        os.kill(pid, signal.SIGKILL)
    with os.fdopen(read, "rb") as f:
        said = f.read().decode()
    os.waitpid(pid, 0)
    assert not waited, "waited on a pipe"
    return said


def _as_another_user(function):
    """What ``function`` returns (its repr), or "raised <its error>", run as user nobody."""
    return _in_child(function, uid=65534)


@pytest.fixture
def shared(monkeypatch):
    import shutil
    import tempfile

    base = tempfile.mkdtemp(prefix="vantorel-shared-")
    os.chmod(base, 0o755)  # a place another user can reach, unlike pytest's own
    monkeypatch.setenv(service.ENV_NOW, TODAY)
    tovi.init("demo", "demo")
    path = os.path.join(base, "data")
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False)
    yield path
    tovi.sign_out()
    shutil.rmtree(base)


@pytest.mark.skipif(not hasattr(os, "fork") or not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="becoming another user")
def test_other_users_read_a_bundle_its_owner_updated_in_place(shared, monkeypatch):
    from vantorel import checks

    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, shared, False, (CODE,), (), False)
    rows = len(data.minute_bars(CODE, bundle_path=shared))
    assert _as_another_user(lambda: len(data.minute_bars(CODE, bundle_path=shared))) == repr(rows)
    assert _as_another_user(lambda: checks.check_min_bar_data(shared) is not None) == "True"
    # The empty, private journal directory an older release left: whose it is and what to do.
    os.mkdir(journal.journal_dir(shared), 0o700)
    said = _as_another_user(lambda: len(data.minute_bars(CODE, bundle_path=shared)))
    assert said.startswith(f"raised 无法读取 {journal.journal_dir(shared)}（它属于用户 root）") and "check-data" in said
    with access.reading(shared):  # any command of its owner's gives it the mode readers need
        pass
    assert _as_another_user(lambda: len(data.minute_bars(CODE, bundle_path=shared))) == repr(rows)


@pytest.mark.skipif(not hasattr(os, "fork") or not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="becoming another user")
@pytest.mark.parametrize("read", ["minute_bars", "check_min_bar_data"])
def test_a_reader_who_may_not_play_back_the_owner_s_journal_is_told_whose_it_is(shared, read):
    from vantorel import checks

    file, before = _killed_in_commit(shared)
    reader = {"minute_bars": lambda: len(data.minute_bars(CODE, bundle_path=shared)),
              "check_min_bar_data": lambda: checks.check_min_bar_data(shared) is not None}[read]
    said = _as_another_user(reader)
    # Not "being written over and over": a script that retries on that would retry for ever.
    assert said.startswith("raised 无法完成") and "属主 root 被中断的写入留下的" in said, said
    staging.recover(shared)  # the owner's next run plays it back
    with open(file, "rb") as f:
        assert f.read() == before


# ---- a bundle path others may rename in (0777 without the sticky bit) ----------------------------

def test_an_append_never_writes_into_a_file_swapped_in_after_it_was_read(path, tmp_path, monkeypatch, capsys):
    file = places.data_path(path, "minbar", "stock", CODE)
    with open(file, "rb") as f:
        before = f.read()
    theirs = tmp_path / "theirs.h5"
    theirs.write_bytes(before)
    real_prepare = overlay.Overlay._prepare

    def prepare(self, *args):
        # Between the read and the commit another user swaps the name for their own copy.
        os.rename(file, tmp_path / "mine.h5")
        os.rename(theirs, file)
        return real_prepare(self, *args)

    monkeypatch.setattr(overlay.Overlay, "_prepare", prepare)
    monkeypatch.setenv(service.ENV_NOW, TOMORROW)
    assert bundle.update_bundle_from_corvane(1, path, False, (CODE,), (), False) is False
    said = capsys.readouterr()
    assert f"数据文件 {file} 在更新期间被换成了另一个文件" in said.out + said.err
    for untouched in (file, tmp_path / "mine.h5"):
        with open(untouched, "rb") as f:
            assert f.read() == before
    assert not os.path.isdir(journal.journal_dir(path)) or not os.listdir(journal.journal_dir(path))


def _read_minute_bars(path):
    return data.minute_bars(CODE, bundle_path=path)


def _read_instruments(path):
    return data.instruments(bundle_path=path)


def _append_minute_bars(path):
    appending.append_series(path, "minbar", "stock", CODE, reading.read_minbar(_minbar(path))[-1:])


def _write_a_new_file(path):
    writing.write_minbar(path, "stock", "000002.XSHE", reading.read_minbar(_minbar(path)))


def _minbar(path):
    return places.data_path(path, "minbar", "stock", CODE)


def _set_aside(path):
    places.set_aside(path, "minbar", "stock", CODE)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a file to another user")
@pytest.mark.parametrize("use, theirs, error, said", [
    (_read_minute_bars, _minbar, vantorel.errors.VantorelError, "数据文件 {} 属于用户 4321"),
    (_read_instruments, lambda path: os.path.join(path, "bundle", places.INSTRUMENTS_FILE),
     vantorel.errors.VantorelError, "数据文件 {} 属于用户 4321"),
    (_append_minute_bars, _minbar, vantorel.errors.VantorelError, "数据文件 {} 属于用户 4321"),
    (_write_a_new_file, lambda path: os.path.dirname(_minbar(path)), vantorel.errors.VantorelError,
     "目录 {} 属于用户 4321"),
    (_set_aside, _minbar, OSError, "它属于用户 4321，不移走"),  # not into the user's quarantine/
], ids=["read minute bars", "read instruments", "append", "write a new file", "set aside"])
def test_a_file_or_directory_of_another_user_is_neither_read_nor_written(path, use, theirs, error, said):
    # What a name leads to once another user has swapped their tree in: judged as opened.
    entry = theirs(path)
    os.chown(entry, 4321, 4321)
    before = trees.snapshot(path, mtimes=False)
    with pytest.raises(error) as refused:
        use(path)
    assert said.format(entry) in str(refused.value) and entry in str(refused.value)
    assert trees.snapshot(path, mtimes=False) == before


def _a_link_at_minbar(path, elsewhere, owner):
    link = os.path.join(path, "minbar")
    os.symlink(elsewhere, link)
    os.lchown(link, owner, owner)


def _a_tree_of_links(path, elsewhere, owner):
    tree = os.path.join(path, "minbar")
    os.mkdir(tree)
    os.symlink(elsewhere / "stock", os.path.join(tree, "stock"))
    for entry in (tree, os.path.join(tree, "stock")):
        os.lchown(entry, owner, owner)


def _check_minute_bars(path):
    from vantorel import checks

    return checks.check_min_bar_data(path)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a link to another user")
@pytest.mark.parametrize("plant", [_a_link_at_minbar, _a_tree_of_links])
@pytest.mark.parametrize("use", [_write_a_new_file, _append_minute_bars, _read_minute_bars, _check_minute_bars])
@pytest.mark.parametrize("owner, lands", [(0, True), (4321, False)], ids=["the user's own", "another user's"])
def test_a_bundle_file_is_reached_through_links_only_of_trusted_users(path, tmp_path, plant, use, owner, lands):
    # Another bundle of the same user (elsewhere) and links into it: put there by the user (kept on
    # another disk), or by another user who can write a 0777 bundle path, to have the user's own
    # command read or append to the other bundle's files under this bundle's names.
    elsewhere = tmp_path / "elsewhere"
    os.rename(os.path.join(path, "minbar"), elsewhere)
    plant(path, elsewhere, owner)
    before = trees.snapshot(str(elsewhere), mtimes=False)
    if lands:
        use(path)
        return
    with pytest.raises(vantorel.errors.VantorelError, match="属于用户 4321"):
        use(path)
    assert trees.snapshot(str(elsewhere), mtimes=False) == before


# ---- a pipe planted at a file's name (a bundle path others may write) ---------------------------

@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes")
@pytest.mark.parametrize("use", [
    lambda path, rows: data.minute_bars(CODE, bundle_path=path),
    lambda path, rows: __import__("vantorel.checks").checks.check_min_bar_data(path),
    lambda path, rows: appending.append_series(path, "minbar", "stock", CODE, rows),
    lambda path, rows: appending.schema_of(_minbar(path)),
], ids=["read minute bars", "check", "append", "schema"])
def test_a_pipe_at_a_file_s_name_is_refused_without_waiting(path, use):

    rows = reading.read_minbar(_minbar(path))[-1:]
    os.unlink(_minbar(path))
    os.mkfifo(_minbar(path), 0o666)
    said = _in_child(lambda: use(path, rows), wait=20)
    assert "不是普通文件" in said and _minbar(path) in said, said


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes")
def test_a_pipe_at_a_written_directory_s_name_is_a_failure_not_a_wait(path):
    directory = os.path.dirname(_minbar(path))
    committer = writing.Committer(threads=1)
    committer.finish(types.SimpleNamespace(path=_minbar(path), finish=lambda sync_directory: None))
    os.rename(directory, directory + ".mine")
    os.mkfifo(directory, 0o666)
    said = _in_child(lambda: [str(exc) for _owner, exc in committer.failures(wait=True)], wait=20)
    committer.close()
    assert directory in said and "Not a directory" in said, said


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes")
@pytest.mark.parametrize("layout, check", [
    ("minbar", lambda path: __import__("vantorel.checks").checks.check_min_bar_data(path)),
    ("bundle", lambda path: __import__("vantorel.checks").checks.check_daily_bar_data(os.path.join(path, "bundle"))),
])
def test_a_pipe_at_a_layout_directory_s_name_is_refused_not_taken_for_no_data(path, layout, check):
    directory = os.path.join(path, layout)
    os.rename(directory, directory + ".mine")
    os.mkfifo(directory, 0o666)
    said = _in_child(lambda: check(path), wait=20)
    assert said.startswith("raised ") and f"{directory} 是管道，不是目录" in said, said


def _nobody():
    try:
        import pwd

        return pwd.getpwnam("nobody")
    except (ImportError, KeyError):
        return None


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0 or _nobody() is None, reason="a team of two users")
@pytest.mark.parametrize("mode, trusted", [(0o2775, True), (0o2755, False)], ids=["team directory", "group may not write"])
def test_the_members_of_a_team_directory_s_group_read_each_other_s_files(path, mode, trusted):
    nobody = _nobody()
    os.chown(path, 0, nobody.pw_gid)
    os.chmod(path, mode)
    for root, dirs, names in os.walk(os.path.join(path, "minbar")):
        for entry in [root] + [os.path.join(root, n) for n in dirs + names]:
            os.chown(entry, nobody.pw_uid, nobody.pw_gid)  # brought by a teammate's update
    if trusted:
        assert len(data.minute_bars(CODE, bundle_path=path)) > 0
    else:
        with pytest.raises(vantorel.errors.VantorelError, match="属于用户 nobody"):
            data.minute_bars(CODE, bundle_path=path)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="named pipes")
def test_a_pipe_at_the_writer_lock_s_name_is_refused_not_waited_on(path):
    from vantorel.bundle import locks

    os.mkfifo(os.path.join(path, locks.WRITER_LOCK_NAME), 0o666)

    def update():
        with access.updating(path):
            return "updated"

    said = _in_child(update, wait=20)
    assert said.startswith("raised 写入锁 ") and f"{os.path.join(path, locks.WRITER_LOCK_NAME)} 不是普通文件" in said, said


@pytest.mark.parametrize("ranges", [10, 400])  # a header longer than a read's first bytes
def test_a_file_a_killed_writer_left_half_changed_under_a_reader_is_refused(path, ranges):
    file = places.data_path(path, "minbar", "stock", CODE)
    with access.reading(path):
        info = os.stat(file)
        # What a writer killed mid-commit leaves, once the reader has begun: its journal, no lock.
        os.makedirs(journal.journal_dir(path), exist_ok=True)
        header = {"path": os.path.relpath(file, path), "old_length": info.st_size, "device": info.st_dev,
                  "inode": info.st_ino, "ranges": [[i * 16, 8] for i in range(ranges)]}
        with open(os.path.join(journal.journal_dir(path), "0123456789abcdef.journal"), "wb") as out:
            out.write(journal.MAGIC + json.dumps(header).encode() + b"\n")
        fd = os.open(file, os.O_RDONLY)
        try:
            assert "被中断" in (journal.orphaned(os.path.abspath(file), fd) or "")
        finally:
            os.close(fd)


@pytest.mark.skipif(not hasattr(os, "mkfifo") or not hasattr(os, "geteuid") or os.geteuid() != 0,
                    reason="named pipes, another user's file")
@pytest.mark.parametrize("plant", ["pipe", "another user's record"])
def test_an_update_record_planted_by_another_user_neither_hangs_nor_forges_a_finding(path, plant):
    from vantorel import checks
    from vantorel.update import unfinished

    record = os.path.join(path, unfinished.MARK)
    if plant == "pipe":
        os.mkfifo(record, 0o666)
    else:
        with open(record, "w") as f:
            json.dump({"command": "vantorel update-data --base", "started": "2026-12-01T15:30:00", "data_end": 0}, f)
        os.chown(record, 4321, 4321)
    said = _in_child(lambda: sorted({a.kind for a in checks.check_min_bar_data(path)}), wait=20)
    assert said == "[]", said
