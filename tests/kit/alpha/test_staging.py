import os
import shutil
import subprocess
import sys
import textwrap

import pytest

from vantorel.errors import VantorelError
from vantorel.ombrel.alpha import staging
from vantorel.ombrel.alpha.staging import recover, staged_directory

import trees


def snapshot(root):
    # Compared with trees written afresh (snapshot_of), so without modification times.
    return trees.snapshot(root, mtimes=False)


def make_tree(root, files):
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def leftovers(dest):
    parent, name = os.path.split(dest)
    return sorted(n for n in os.listdir(parent) if n.startswith("." + name + ".") and not n.endswith(".swap.lock"))


OLD = {"bundle/a.h5": b"old-a", "minbar/x.h5": b"old-x"}
NEW = {"bundle/a.h5": b"new-a", "bundle/b.h5": b"new-b"}


@pytest.fixture
def dest(tmp_path):
    path = tmp_path / "data" / "bundle"
    make_tree(path, OLD)
    return str(path)


def test_clean_exit_replaces_whole_tree(dest):
    with staged_directory(dest) as stage:
        assert os.path.dirname(stage) == os.path.dirname(dest)
        assert os.listdir(stage) == []
        make_tree(stage, NEW)
        assert snapshot(dest) == snapshot_of(OLD, dest)
    assert snapshot(dest) == snapshot_of(NEW, dest)
    assert leftovers(dest) == []


def snapshot_of(files, scratch):
    root = scratch + ".expected"
    make_tree(root, files)
    try:
        return snapshot(root)
    finally:
        shutil.rmtree(root)


def test_missing_dest_and_parent_are_created(tmp_path):
    dest = str(tmp_path / "not" / "yet" / "bundle")
    with staged_directory(dest) as stage:
        make_tree(stage, NEW)
    assert snapshot(dest) == snapshot_of(NEW, dest)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX modes")
def test_modes_follow_old_tree_or_umask_not_parent(tmp_path, dest):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)  # like /tmp
    fresh = str(shared / "bundle")
    old_umask = os.umask(0o022)
    try:
        with staged_directory(fresh) as stage:
            make_tree(stage, NEW)
    finally:
        os.umask(old_umask)
    assert os.stat(fresh).st_mode & 0o7777 == 0o755
    os.chmod(dest, 0o750)
    with staged_directory(dest) as stage:
        make_tree(stage, NEW)
    assert os.stat(dest).st_mode & 0o7777 == 0o750


@pytest.mark.parametrize("error", [RuntimeError("boom"), KeyboardInterrupt()])
def test_exception_leaves_dest_untouched(dest, error):
    before = snapshot(dest)
    with pytest.raises(type(error)):
        with staged_directory(dest) as stage:
            make_tree(stage, NEW)
            raise error
    assert snapshot(dest) == before
    assert leftovers(dest) == []


def test_dest_that_is_a_file_is_refused(tmp_path):
    path = tmp_path / "bundle"
    path.write_bytes(b"x")
    with pytest.raises(VantorelError, match="不是目录"):
        with staged_directory(str(path)):
            pass
    assert path.read_bytes() == b"x"


def test_second_writer_is_refused_while_first_stages(dest):
    with staged_directory(dest) as stage:
        make_tree(stage, NEW)
        with pytest.raises(VantorelError, match="另一个进程"):
            with staged_directory(dest):
                pass
        assert recover(dest) is False
    assert snapshot(dest) == snapshot_of(NEW, dest)


def test_symlinked_dest_replaces_target_and_keeps_link(tmp_path, dest):
    link = tmp_path / "link"
    link.symlink_to(dest)
    with staged_directory(str(link)) as stage:
        make_tree(stage, NEW)
    assert link.is_symlink()
    assert snapshot(dest) == snapshot_of(NEW, dest)


def remove_one_file(path, ignore_errors=False):
    # rmtree with ignore_errors that gave up after the first file (a file held open, say).
    for dirpath, _dirnames, filenames in os.walk(path):
        if filenames:
            os.unlink(os.path.join(dirpath, filenames[0]))
            return


@pytest.mark.parametrize("removal_stops", [False, True])
def test_failed_rename_puts_old_back(dest, monkeypatch, removal_stops):
    before = snapshot(dest)
    real_rename = os.rename

    def rename(src, dst):
        if dst == dest and ".ready-" in src:
            raise PermissionError(13, "Permission denied")
        real_rename(src, dst)

    monkeypatch.setattr(staging.os, "rename", rename)
    if removal_stops:
        monkeypatch.setattr(staging.shutil, "rmtree", remove_one_file)
    with pytest.raises(VantorelError, match="无法替换目录"):
        with staged_directory(dest) as stage:
            make_tree(stage, NEW)
    monkeypatch.undo()
    assert snapshot(dest) == before
    # Nothing is left that a later recovery could mistake for a committed tree.
    assert not any(".ready-" in name for name in leftovers(dest))
    recover(dest)
    assert snapshot(dest) == before
    assert leftovers(dest) == []


def test_names_the_swap_did_not_make_are_left_alone(dest):
    parent, name = os.path.split(dest)
    foreign = [".{}.ready-copy".format(name), ".{}.old-2024".format(name), ".{}.staging-12345".format(name)]
    for other in foreign:
        make_tree(os.path.join(parent, other), {"notes.txt": other.encode()})
    with staged_directory(dest) as stage:
        make_tree(stage, NEW)
    assert recover(dest) is True
    assert snapshot(dest) == snapshot_of(NEW, dest)
    for other in foreign:
        assert snapshot(os.path.join(parent, other)) == snapshot_of({"notes.txt": other.encode()}, dest)


KILLER = textwrap.dedent(
    """
    import os, signal, sys
    from vantorel.ombrel.alpha import staging
    dest, phase, after = sys.argv[1], sys.argv[2], int(sys.argv[3])
    calls = [0]
    real_rename = os.rename

    def rename(src, dst):
        if phase == "rename" and calls[0] == after:
            os.kill(os.getpid(), signal.SIGKILL)
        calls[0] += 1
        real_rename(src, dst)

    staging.os.rename = rename
    with staging.staged_directory(dest) as stage:
        os.makedirs(os.path.join(stage, "bundle"))
        for name in ("a.h5", "b.h5"):
            with open(os.path.join(stage, "bundle", name), "wb") as f:
                f.write(b"new-" + name[0].encode())
        if phase == "body":
            os.kill(os.getpid(), signal.SIGKILL)
    """
)


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
@pytest.mark.parametrize(
    "phase, after, survivor",
    [
        ("body", 0, OLD),  # killed while filling the staged tree
        ("rename", 0, OLD),  # before the commit point
        ("rename", 1, NEW),  # committed, old tree not yet moved aside
        ("rename", 2, NEW),  # old tree moved aside, new one not yet in place
    ],
)
def test_killed_run_leaves_a_tree_recovery_finds(dest, phase, after, survivor):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", KILLER, dest, phase, str(after)], env=env, timeout=60)
    assert proc.returncode == -9
    # Whatever the moment, one of the two trees is on disk in full under a known name.
    names = leftovers(dest)
    assert os.path.isdir(dest) or any(".ready-" in n or ".old-" in n for n in names)
    assert recover(dest) is True
    assert snapshot(dest) == snapshot_of(survivor, dest)
    assert leftovers(dest) == []
    # The next staged run starts from the recovered tree.
    with staged_directory(dest) as stage:
        make_tree(stage, {"c.h5": b"c"})
    assert snapshot(dest) == snapshot_of({"c.h5": b"c"}, dest)
