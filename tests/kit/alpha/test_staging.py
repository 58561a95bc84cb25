import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

from vantorel.errors import VantorelError
from vantorel.bundle import access, locks, nofollow, staging
from vantorel.bundle.staging import recover, staged_bundle

import trees


def snapshot(root):
    # Compared with trees written afresh (snapshot_of), so without modification times; what the
    # swap keeps inside dest is left to leftovers(), the previous generation to previous_of().
    return {rel: data for rel, data in trees.snapshot(root, mtimes=False).items()
            if not rel.startswith((".vantorel.", "previous"))}


def previous_of(dest):
    """The newest generation a swap kept."""
    kept = staging.generations(dest)
    return files_of(kept[-1]) if kept else {}


def make_tree(root, files):
    for rel, data in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def leftovers(dest):
    parent, name = os.path.split(dest)
    beside = [n for n in os.listdir(parent) if n.startswith("." + name + ".")]
    inside = [n for n in os.listdir(dest) if n.startswith(".vantorel.") and n != locks.WRITER_LOCK_NAME
              ] if os.path.isdir(dest) else []
    return sorted(beside + inside)


OLD = {"bundle/instruments.h5": b"old-i", "minbar/stock/x.h5": b"old-x", "quarantine/tick/stock/q.h5.1": b"q",
       "notes.txt": b"the user's"}
NEW = {"bundle/instruments.h5": b"new-i", "bundle/b.h5": b"new-b", "tick/stock/t.h5": b"new-t"}
# bundle/ and tick/ come from NEW; what NEW does not bring stays.
MERGED = dict({k: v for k, v in OLD.items() if not k.startswith("bundle/")}, **NEW)


@pytest.fixture
def dest(tmp_path):
    path = tmp_path / "data" / "bundle"
    make_tree(path, OLD)
    return str(path)


def test_clean_exit_swaps_the_layout_directories_it_brings(dest):
    with staged_bundle(dest) as swap:
        assert os.path.dirname(swap.path) == dest
        assert os.listdir(swap.path) == []
        make_tree(swap.path, dict(NEW, **{"README": b"dropped", "quarantine/x": b"dropped", ".old/y": b"dropped"}))
        assert snapshot(dest) == snapshot_of(OLD, dest)
    assert snapshot(dest) == snapshot_of(MERGED, dest)
    assert (swap.replaced, swap.added, swap.dropped) == (["bundle"], ["tick"], [".old", "README", "quarantine"])
    assert re.fullmatch(r"；原有的 bundle/ 已保留在 {0}/previous-\d{{8}}-\d{{6}}（共保留 1 代旧数据，占用 [\d.]+ \w+；"
                        r"如需换回，先把新的 bundle/ 移出 {0}，再把 previous-\d{{8}}-\d{{6}}/ 中的目录移回 {0}）".format(re.escape(dest)),
                        swap.note())
    assert previous_of(dest) == {k: v for k, v in OLD.items() if k.startswith("bundle/")}
    assert leftovers(dest) == []


def snapshot_of(files, scratch):
    root = scratch + ".expected"
    make_tree(root, files)
    try:
        return snapshot(root)
    finally:
        shutil.rmtree(root)


@pytest.mark.parametrize("content", [
    {"main.py": b"print()", "src/lib.py": b""},  # a project directory
    {"accounts/accounts.json": b"{}", "bundle/bundle/instruments.h5": b"i"},  # the kit home
    {"bundle/app.js": b"", "bundle/app.css": b""},  # some other kind of bundle
    {"quarantine/tick/stock/q.h5.1": b"q"},
])
def test_directory_that_holds_no_bundle_is_refused_untouched(tmp_path, content):
    dest = str(tmp_path / "project")
    make_tree(dest, content)
    before = trees.snapshot(dest)
    with pytest.raises(VantorelError, match="不是空目录，其中也没有 bundle 数据"):
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
    assert trees.snapshot(dest) == before
    assert leftovers(dest) == []


@pytest.mark.parametrize("content", [{}, {"minbar/stock/x.h5": b"x"}, {"tick/futures/JD2701.h5": b"t", "a.txt": b""},
                                     {"bundle/daybar/stock.h5": b"d"}, {"bundle/trading_dates.h5": b"t"}])
def test_empty_directory_or_any_bundle_data_is_accepted(tmp_path, content):
    dest = str(tmp_path / "data")
    os.mkdir(dest)
    make_tree(dest, content)
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert files_of(dest) == dict({k: v for k, v in content.items() if not k.startswith(("bundle/", "tick/"))}, **NEW)


def files_of(root):
    return {os.path.normpath(rel).replace(os.sep, "/"): data for rel, data in snapshot(root).items() if data is not None}


def test_missing_dest_and_parent_are_created_and_removed_again_on_failure(tmp_path):
    dest = str(tmp_path / "not" / "yet" / "bundle")
    with pytest.raises(RuntimeError):
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
            raise RuntimeError
    assert not os.path.exists(dest)
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert snapshot(dest) == snapshot_of(NEW, dest)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX modes")
def test_modes_follow_old_directories_or_umask_not_parent(tmp_path, dest):
    shared = tmp_path / "shared"
    shared.mkdir()
    shared.chmod(0o1777)  # like /tmp
    fresh = str(shared / "bundle")
    old_umask = os.umask(0o022)
    try:
        with staged_bundle(fresh) as swap:
            make_tree(swap.path, NEW)
    finally:
        os.umask(old_umask)
    assert os.stat(fresh).st_mode & 0o7777 == 0o755
    assert os.stat(os.path.join(fresh, "bundle")).st_mode & 0o7777 == 0o755
    os.chmod(os.path.join(dest, "bundle"), 0o750)
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert os.stat(os.path.join(dest, "bundle")).st_mode & 0o7777 == 0o750


@pytest.mark.parametrize("error", [RuntimeError("boom"), KeyboardInterrupt()])
def test_exception_leaves_dest_untouched(dest, error):
    before = trees.snapshot(dest)
    with pytest.raises(type(error)):
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
            raise error
    assert trees.snapshot(dest) == before
    assert leftovers(dest) == []


def test_dest_that_is_a_file_is_refused(tmp_path):
    path = tmp_path / "bundle"
    path.write_bytes(b"x")
    with pytest.raises(VantorelError, match="不是目录"):
        with staged_bundle(str(path)):
            pass
    assert path.read_bytes() == b"x"


SECOND = textwrap.dedent(
    """
    import sys
    from vantorel.errors import VantorelError
    from vantorel.bundle import staging
    assert staging.recover(sys.argv[1]) is False
    try:
        with staging.staged_bundle(sys.argv[1]):
            pass
    except VantorelError as exc:
        sys.exit(exc.message)
    """
)


def test_second_writer_is_refused_while_first_stages(dest):
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        second = subprocess.run([sys.executable, "-c", SECOND, dest], env=env, capture_output=True, text=True, timeout=60)
        assert second.returncode == 1 and "另一个进程正在使用" in second.stderr
    assert snapshot(dest) == snapshot_of(MERGED, dest)


def test_symlinked_dest_swaps_in_target_and_keeps_link(tmp_path, dest):
    link = tmp_path / "link"
    link.symlink_to(dest)
    with staged_bundle(str(link)) as swap:
        make_tree(swap.path, NEW)
    assert link.is_symlink()
    assert snapshot(dest) == snapshot_of(MERGED, dest)


def remove_one_file(parent, name, users=None):
    # A removal that gave up after the first file (a file held open, say).
    for dirpath, _dirnames, filenames in os.walk(parent.join(name)):
        if filenames:
            os.unlink(os.path.join(dirpath, filenames[0]))
            return False
    return False


def failing_rename(monkeypatch, dest, name, back_too=False):
    """A rename in staging fails to move a new directory ``name`` into dest (and, with back_too,
    the old one back as well)."""
    real_rename = nofollow.Dir.rename

    def rename(self, entry, to_dir, to_name):
        inside = os.path.basename(self.path)
        if to_dir.join(to_name) == os.path.join(dest, name) and (
                inside.startswith(".vantorel.ready-") or back_too and inside == ".old"):
            raise PermissionError(13, "Permission denied")
        real_rename(self, entry, to_dir, to_name)

    monkeypatch.setattr(nofollow.Dir, "rename", rename)


@pytest.mark.parametrize("failing", ["bundle", "tick"])  # the first directory moved in, or the last
@pytest.mark.parametrize("removal_stops", [False, True])
def test_failed_rename_puts_old_back(dest, monkeypatch, failing, removal_stops):
    before = trees.snapshot(dest, mtimes=False)
    failing_rename(monkeypatch, dest, failing)
    if removal_stops:
        monkeypatch.setattr(nofollow, "remove", remove_one_file)
    with pytest.raises(VantorelError, match="无法替换 .* 中的数据目录：Permission denied；原有数据未作改动$"):
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
    monkeypatch.undo()
    assert snapshot(dest) == before
    # Nothing is left that a later recovery could mistake for a committed tree.
    assert not any(".ready-" in name for name in leftovers(dest))
    recover(dest)
    assert trees.snapshot(dest, mtimes=False) == before


@pytest.mark.parametrize("plant", [
    lambda path: make_tree(path, {"theirs": b"planted"}),  # a directory that is not empty
    lambda path: make_tree(os.path.dirname(path), {os.path.basename(path): b"planted"}),  # a file
    lambda path: os.symlink("/", path),
])
def test_a_name_taken_between_the_two_renames_never_costs_the_old_directory(dest, monkeypatch, plant):
    # Another user on a shared path takes minbar/ the moment the old one has gone into .old.
    real_rename = nofollow.Dir.rename

    def rename(self, entry, to_dir, to_name):
        real_rename(self, entry, to_dir, to_name)
        if entry == "minbar" and os.path.basename(to_dir.path) == ".old":
            plant(os.path.join(dest, "minbar"))

    monkeypatch.setattr(nofollow.Dir, "rename", rename)
    with pytest.raises(VantorelError, match=r"原有的 minbar/ 已完整保留在 (\S+/previous-[0-9a-f]{8}/minbar)") as raised:
        with staged_bundle(dest) as swap:
            make_tree(swap.path, dict(NEW, **{"minbar/stock/x.h5": b"new-x"}))
    monkeypatch.undo()
    kept = raised.value.args[0].split("已完整保留在 ")[1].split("，")[0]
    assert files_of(kept) == {"stock/x.h5": b"old-x"}
    recover(dest)
    assert files_of(kept) == {"stock/x.h5": b"old-x"}
    assert files_of(os.path.join(dest, "bundle")) == {"instruments.h5": b"old-i"}


def test_rename_failing_both_ways_is_finished_by_recovery(dest, monkeypatch):
    failing_rename(monkeypatch, dest, "bundle", back_too=True)
    with pytest.raises(VantorelError, match="下次写入时将完成替换"):
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
    monkeypatch.undo()
    recover(dest)
    assert snapshot(dest) == snapshot_of(MERGED, dest)
    assert leftovers(dest) == []


def test_names_the_swap_did_not_make_are_left_alone(dest):
    parent, name = os.path.split(dest)
    foreign = [os.path.join(parent, ".{}.ready-12345678".format(name)), os.path.join(dest, ".vantorel.ready-copy"),
               os.path.join(dest, ".vantorel.staging-12345"), os.path.join(dest, ".vantorel.ready-ABCDEF01")]
    for other in foreign:
        make_tree(other, {"bundle/instruments.h5": other.encode()})
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert recover(dest) is True
    assert snapshot(dest) == snapshot_of(MERGED, dest)
    for other in foreign:
        assert files_of(other) == {"bundle/instruments.h5": other.encode()}


KILLER = textwrap.dedent(
    """
    import os, signal, sys
    from vantorel.bundle import nofollow, staging
    dest, phase, after = sys.argv[1], sys.argv[2], int(sys.argv[3])
    calls = [0]
    real_rename = nofollow.Dir.rename

    def rename(*args):
        if phase == "rename" and calls[0] == after:
            os.kill(os.getpid(), signal.SIGKILL)
        calls[0] += 1
        real_rename(*args)

    nofollow.Dir.rename = rename
    with staging.staged_bundle(dest) as swap:
        for rel, data in %r.items():
            os.makedirs(os.path.dirname(os.path.join(swap.path, rel)), exist_ok=True)
            with open(os.path.join(swap.path, rel), "wb") as f:
                f.write(data)
        if phase == "body":
            os.kill(os.getpid(), signal.SIGKILL)
    """ % (NEW,)
)


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
@pytest.mark.parametrize(
    "phase, after, survivor",
    [
        ("body", 0, OLD),  # killed while filling the staged tree
        ("rename", 0, OLD),  # before the commit point
        ("rename", 1, MERGED),  # committed, old bundle/ not yet moved aside
        ("rename", 2, MERGED),  # old bundle/ moved aside, new one not yet in place
        ("rename", 3, MERGED),  # bundle/ in place, tick/ not yet
        ("rename", 4, MERGED),  # all in place, the old directories not yet kept as the previous generation
        ("rename", 5, MERGED),  # kept, the emptied ready tree not yet removed
    ],
)
def test_killed_run_leaves_a_tree_recovery_finds(dest, phase, after, survivor):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", KILLER, dest, phase, str(after)], env=env, timeout=60)
    assert proc.returncode == -9
    # A reader finishes the swap before it reads: it sees the old bundle or the new, never a mix.
    with access.reading(dest):
        assert snapshot(dest) == snapshot_of(survivor, dest)
    assert previous_of(dest) == ({} if survivor is OLD else {"bundle/instruments.h5": b"old-i"})
    assert recover(dest) is True
    assert leftovers(dest) == []
    # The next staged run starts from the recovered tree.
    with staged_bundle(dest) as swap:
        make_tree(swap.path, {"minbar/stock/c.h5": b"c"})
    kept = {rel: data for rel, data in survivor.items() if not rel.startswith("minbar/")}
    assert files_of(dest) == dict(kept, **{"minbar/stock/c.h5": b"c"})


HOLDER = textwrap.dedent(
    """
    import sys
    from vantorel.bundle import locks, staging
    if sys.argv[2] == "renaming":
        with locks.bundle_lock(sys.argv[1], exclusive=True):
            print("held", flush=True)
            sys.stdin.read()
    else:
        with staging.staged_bundle(sys.argv[1]) as swap:
            print("held", flush=True)
            sys.stdin.read()
    """
)


@pytest.mark.parametrize("check", ["check_min_bar_data", "check_daily_bar_data"])
@pytest.mark.parametrize("phase", ["filling", "renaming"])
def test_readers_go_on_while_a_swap_is_staged_and_wait_a_bounded_time_for_its_renames(
        dest, check, phase, monkeypatch, capsys):
    from vantorel import checks

    monkeypatch.setenv(locks.SWAP_WAIT_SETTING, "0.3")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    holder = subprocess.Popen([sys.executable, "-c", HOLDER, dest, phase], env=env, stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        target = dest if check == "check_min_bar_data" else os.path.join(dest, "bundle")
        if phase == "filling":
            getattr(checks, check)(target)
        else:
            with pytest.raises(locks.BusyError, match="数据目录正在替换，等了 0.3 秒仍未完成"):
                getattr(checks, check)(target)
            assert "等待数据目录替换完成（最多 0.3 秒）" in capsys.readouterr().err
    finally:
        holder.communicate("")
    with access.reading(dest):
        pass


def test_what_is_not_the_kits_to_remove_is_kept_and_readers_go_on(dest):
    # A file of the user's named like the previous generation stays; the replaced tree goes beside it.
    with open(os.path.join(dest, staging.PREVIOUS), "wb") as f:
        f.write(b"mine")
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert trees.snapshot(dest, mtimes=False)["./" + staging.PREVIOUS] == b"mine"
    assert os.path.basename(swap.previous).startswith(staging.PREVIOUS + "-")
    assert swap.previous in swap.note() and files_of(swap.previous) == {"bundle/instruments.h5": b"old-i"}
    # A staging tree a failed clean-up left behind is no half-done swap: readers are not held up.
    os.mkdir(os.path.join(dest, ".vantorel.staging-0123abcd"))
    with access.reading(dest):
        assert snapshot(dest) == snapshot_of(dict(MERGED, **{staging.PREVIOUS: b"mine"}), dest)


NEWER = {"bundle/instruments.h5": b"newer-i"}


@pytest.mark.skipif(sys.platform == "win32", reason="SIGKILL")
@pytest.mark.parametrize("after", range(8))
def test_killed_second_swap_keeps_whole_generations(dest, monkeypatch, after):
    # With one generation kept, a second swap also removes the first: killed at any of its renames,
    # the bundle path recovers to (old, its generation) or (new, old), never a mix or a lost one.
    monkeypatch.setenv(staging.GENERATIONS_ENV, "1")
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    killer = KILLER.replace(repr(NEW), repr(NEWER))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", killer, dest, "rename", str(after)], env=env, timeout=60)
    assert proc.returncode in (-9, 0)
    with access.reading(dest):
        current = snapshot(dest)
    before = {k: v for k, v in OLD.items() if k.startswith("bundle/")}
    replaced = {k: v for k, v in NEW.items() if k.startswith("bundle/")}
    if current != snapshot_of(MERGED, dest):
        assert current == snapshot_of(dict({k: v for k, v in MERGED.items() if not k.startswith("bundle/")}, **NEWER), dest)
        before = replaced
    assert [files_of(kept) for kept in staging.generations(dest)] == [before]
    assert recover(dest) is True and leftovers(dest) == []


@pytest.mark.parametrize("keep", ["0", "1", "3", ""])
def test_swaps_keep_the_generations_asked_for_an_old_previous_counted_as_the_oldest(dest, monkeypatch, keep):
    monkeypatch.setenv(staging.GENERATIONS_ENV, keep)
    make_tree(os.path.join(dest, staging.PREVIOUS), {"bundle/instruments.h5": b"legacy"})
    replaced = [b"legacy", b"old-i"]
    notes = []
    for n in range(4):
        with staged_bundle(dest) as swap:
            make_tree(swap.path, {"bundle/instruments.h5": b"v%d" % n})
        replaced.append(b"v%d" % n)
        notes.append(swap.note())
    kept = int(keep or staging.DEFAULT_GENERATIONS)
    wanted = replaced[-1 - kept:-1] if kept else []
    assert [files_of(path) for path in staging.generations(dest)] == [{"bundle/instruments.h5": b} for b in wanted]
    assert leftovers(dest) == [] and files_of(os.path.join(dest, "bundle")) == {"instruments.h5": b"v3"}
    # Each swap says where the bundle it replaced went, or that it is gone, and what it removed.
    assert (staging.generations(dest)[-1] in notes[-1]) if kept else ("已删除" in notes[-1])
    assert ("更早的 {} 已删除".format(os.path.join(dest, staging.PREVIOUS)) in notes[0]) is (kept < 2)


def test_a_bad_generations_setting_is_refused_before_anything_changes(dest, monkeypatch):
    monkeypatch.setenv(staging.GENERATIONS_ENV, "-1")
    before = trees.snapshot(dest, mtimes=False)
    with pytest.raises(VantorelError, match=staging.GENERATIONS_ENV):
        with staged_bundle(dest):
            pass
    assert trees.snapshot(dest, mtimes=False) == before


# ---- a bundle path other local users can write (a team's shared disk) ---------------------------

def _documents(tmp_path):
    documents = tmp_path / "documents"
    make_tree(str(documents), {"thesis.txt": b"mine", "photos/a.jpg": b"jpg"})
    os.chmod(documents, 0o755)
    return documents


def _intact(documents):
    return (files_of(str(documents)) == {"thesis.txt": b"mine", "photos/a.jpg": b"jpg"}
            and os.stat(documents).st_mode & 0o7777 == 0o755)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a file to another user")
@pytest.mark.parametrize("mode", [0o777, 0o1777])
def test_trees_another_user_planted_are_named_once_and_left_alone(tmp_path, dest, capsys, mode):
    # Readers read past them on both; only the sticky bit makes a place where a swap can be safe.
    documents = _documents(tmp_path)
    os.chmod(dest, mode)
    planted = {".vantorel.ready-0123abcd": {"bundle/instruments.h5": b"theirs"},
               ".vantorel.staging-89abcdef": {"folder/f": b"theirs"}}
    for name, files in planted.items():
        make_tree(os.path.join(dest, name), files)
        for root, dirs, names in os.walk(os.path.join(dest, name)):
            for entry in [root] + [os.path.join(root, n) for n in dirs + names]:
                os.chown(entry, 4321, 4321)
    os.symlink(documents, os.path.join(dest, ".vantorel.staging-aaaaaaaa"))
    capsys.readouterr()
    with access.reading(dest):
        # Nothing of theirs is swapped in: the reader reads the owner's bundle.
        assert files_of(os.path.join(dest, "bundle")) == {"instruments.h5": b"old-i"}
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and all(name in err for name in list(planted) + [".vantorel.staging-aaaaaaaa"])
    assert "用户 4321 的目录" in err and "链接" in err
    with access.reading(dest):
        pass
    assert capsys.readouterr().err == ""  # said once
    if mode == 0o777:
        with pytest.raises(VantorelError, match=re.escape(f"{dest} 人人可写却没有粘滞位")), staged_bundle(dest):
            pass
    else:
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
    assert files_of(os.path.join(dest, "bundle")) == (
        {"instruments.h5": b"old-i"} if mode == 0o777 else {"instruments.h5": b"new-i", "b.h5": b"new-b"})
    for name, files in planted.items():
        assert files_of(os.path.join(dest, name)) == files
    assert os.path.islink(os.path.join(dest, ".vantorel.staging-aaaaaaaa")) and _intact(documents)
    assert [files_of(kept) for kept in staging.generations(dest)] == (
        [] if mode == 0o777 else [{"bundle/instruments.h5": b"old-i"}])


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
def test_a_tree_being_removed_is_never_followed_through_a_link_swapped_in(tmp_path, dest, monkeypatch):
    documents = _documents(tmp_path)
    tree = os.path.join(dest, ".vantorel.staging-0123abcd")
    make_tree(tree, {"a/b/f": b"x", "a/g": b"y", "c": b"z"})
    real_names = nofollow.Dir.names

    def names(self):
        # Another user swaps the folder being emptied for a link to the victim's documents.
        if self.path == os.path.join(tree, "a") and not os.path.islink(self.path):
            os.rename(self.path, str(tmp_path / "elsewhere"))
            os.symlink(documents, self.path)
        return real_names(self)

    monkeypatch.setattr(nofollow.Dir, "names", names)
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert _intact(documents)
    assert files_of(str(tmp_path / "elsewhere")) == {}  # what was opened is what was emptied
    assert os.path.islink(os.path.join(tree, "a")) and not os.path.exists(os.path.join(tree, "c"))


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
def test_a_previous_generation_that_is_not_ours_is_kept_and_the_replaced_one_goes_beside_it(tmp_path, dest):
    documents = _documents(tmp_path)
    os.symlink(documents, os.path.join(dest, staging.PREVIOUS))
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert os.path.islink(os.path.join(dest, staging.PREVIOUS)) and _intact(documents)
    assert os.path.basename(swap.previous).startswith(staging.PREVIOUS + "-")


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a directory to another user")
@pytest.mark.parametrize("name, made, what", [
    ("minbar", lambda path: None, "目录"),  # made first by another user, on a 1777 path
    ("quarantine", lambda path: None, "目录"),
    ("tick", lambda path: os.symlink("/", path), "链接"),
])
def test_a_layout_directory_of_another_user_stops_writers_and_is_named_to_readers(dest, capsys, name, made, what):
    os.chmod(dest, 0o1777)
    path = os.path.join(dest, name)
    made(path)
    os.chown(path, 4321, 4321, follow_symlinks=False)
    before = trees.snapshot(dest, mtimes=False)
    named = f"{path}（用户 4321 的{what}）"
    with pytest.raises(VantorelError, match="未作任何改动") as refused:
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
    assert named in refused.value.args[0]
    assert trees.snapshot(dest, mtimes=False) == before
    capsys.readouterr()
    with access.reading(dest):
        pass
    assert named in capsys.readouterr().err



def _theirs_at_the_look(dest, parked, kind):
    # Another user moves the user's bundle/ away and puts their own entry in its place.
    os.rename(os.path.join(dest, "bundle"), parked)
    theirs = os.path.join(dest, "bundle")
    if kind == "link":
        os.symlink(parked.parent / "open", theirs)
    else:
        make_tree(theirs, {"instruments.h5": b"theirs"})
    os.chown(theirs, 4321, 4321, follow_symlinks=False)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="giving a link to another user")
@pytest.mark.parametrize("kind, when, what", [
    ("link", "while the new tree is filled", "链接"),
    ("link", "between the look and the rename", "链接"),
    ("directory", "between the look and the rename", "目录"),
])
def test_another_user_s_entry_swapped_in_is_refused_not_kept_as_the_old_one(tmp_path, dest, monkeypatch, kind, when,
                                                                             what):
    (tmp_path / "open").mkdir(mode=0o1777)
    parked = tmp_path / "bundle.stolen"
    if when == "between the look and the rename":
        real_fsync_tree = nofollow.fsync_tree
        monkeypatch.setattr(nofollow, "fsync_tree",
                            lambda tree: (_theirs_at_the_look(dest, parked, kind), real_fsync_tree(tree))[1])
    theirs = os.path.join(dest, "bundle")
    with pytest.raises(VantorelError, match=re.escape(f"{theirs} 是用户 4321 的{what}")) as refused:
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
            if when == "while the new tree is filled":
                _theirs_at_the_look(dest, parked, kind)
    assert "previous" not in refused.value.args[0]
    assert os.lstat(theirs).st_uid == 4321  # left where it was, not made the old generation
    assert files_of(str(parked)) == {"instruments.h5": b"old-i"}
    assert staging.generations(dest) == [] and leftovers(dest) == []


@pytest.mark.skipif(sys.platform == "win32", reason="symlinks")
def test_a_replaced_link_of_the_user_s_own_hands_down_no_mode(tmp_path, dest):
    world = tmp_path / "open"
    world.mkdir()
    os.chmod(world, 0o1777)
    shutil.rmtree(os.path.join(dest, "bundle"))
    os.symlink(world, os.path.join(dest, "bundle"))
    with staged_bundle(dest) as swap:
        make_tree(swap.path, NEW)
    assert os.stat(os.path.join(dest, "bundle")).st_mode & 0o7777 == 0o777 & ~_umask()
    assert os.readlink(os.path.join(swap.previous, "bundle")) == str(world)


def _umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _acl_letting_write(uid):
    import struct

    # An access ACL: owner rwx, user ``uid`` rwx, group r-x, mask rwx, others r-x (shows as 0775).
    entries = [(0x01, 7, 0xFFFFFFFF), (0x02, 7, uid), (0x04, 5, 0xFFFFFFFF), (0x10, 7, 0xFFFFFFFF), (0x20, 5, 0xFFFFFFFF)]
    return struct.pack("<I", 2) + b"".join(struct.pack("<HHI", *entry) for entry in entries)


@pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="modes and owners")
@pytest.mark.parametrize("where, mode, owner, acl, said", [
    ("bundle path", 0o777, 0, False, "人人可写却没有粘滞位"),
    ("the directory above", 0o777, 0, False, "人人可写却没有粘滞位"),
    ("the directory above", 0o1777, 4321, False, "可被用户 4321 改名或替换"),  # its owner may rename anything
    ("the directory above", 0o755, 0, True, "可被用户 4321 改名或替换"),  # an ACL lets a user write
    ("bundle/", 0o777, 0, False, "人人可写却没有粘滞位"),
    ("the directory above", 0o1777, 0, False, None),  # like /tmp
    ("bundle path", 0o2775, 0, False, None),  # a team's group directory
])
def test_a_place_where_others_may_rename_anything_is_neither_written_nor_recovered(dest, where, mode, owner, acl, said):
    place = {"bundle path": dest, "the directory above": os.path.dirname(dest),
             "bundle/": os.path.join(dest, "bundle")}[where]
    os.chmod(place, mode)
    os.chown(place, owner, owner)
    if acl:
        try:
            os.setxattr(place, "system.posix_acl_access", _acl_letting_write(4321))
        except OSError as exc:
            pytest.skip(f"no ACLs here: {exc}")
    if said is None:
        with staged_bundle(dest) as swap:
            make_tree(swap.path, NEW)
        assert files_of(os.path.join(dest, "bundle")) == {"instruments.h5": b"new-i", "b.h5": b"new-b"}
        return
    # What such a user may do there: give the user's own directory a name recovery would finish as its own.
    os.rename(os.path.join(dest, "minbar"), os.path.join(dest, ".vantorel.ready-00000000"))
    before = files_of(dest)
    for use in (access.reading, staged_bundle):
        with pytest.raises(VantorelError, match=re.escape(f"{place} {said}")), use(dest):
            pass
    assert files_of(dest) == before
