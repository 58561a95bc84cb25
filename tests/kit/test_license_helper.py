import json
import os
import pathlib
import shutil
import stat
import subprocess
import sys
import tempfile

import pytest

import vantorel
from vantorel.errors import VantorelError
from vantorel.ombrel.sdk import license_helper
from vantorel.ombrel.sdk.license_helper import LOADED_MARKER, get_license_info, set_to_environ, store_path

PACKAGE_ROOT = os.path.dirname(os.path.dirname(vantorel.__file__))
CONSOLE = os.path.join(os.path.dirname(sys.executable), "vantorel")
# Variables the tests store; set_to_environ also puts them into this process's environment.
STORED = ("VANTOREL_LICENSE", "VANTOREL_APPKEY_LICENSE", "vantorelsdk_env", "VANTOREL_STORE_TEST", LOADED_MARKER)


@pytest.fixture(autouse=True)
def forget_stored_variables(monkeypatch):
    for name in STORED:
        monkeypatch.setenv(name, "")  # records the variable as unset, so teardown removes it
        monkeypatch.delenv(name)


def fresh_run(code, **environ):
    """Run ``code`` in a new interpreter that imports the store, as a later ``vantorel`` run would.

    The new process gets only the variables passed here from this one, not what this process stored.
    """
    env = {key: value for key, value in os.environ.items() if key not in STORED}
    env.update(environ)
    env["PYTHONPATH"] = PACKAGE_ROOT
    prelude = "import json, os, sys\nfrom vantorel.ombrel.sdk import license_helper\n"
    done = subprocess.run([sys.executable, "-c", prelude + code], env=env, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def store_bytes():
    with open(store_path(), "rb") as file:
        return file.read()


@pytest.fixture
def umask_000():
    old = os.umask(0)
    yield
    os.umask(old)


AWKWARD = [
    "user:password",
    "user:pa:ss:word",
    ":secret-without-user",
    "",
    "quotes ' \" `back` $HOME ${X} $(id)",
    "back\\slash\\n\\",
    "two\nlines\r\n\tand tab",
    "用户名:密码🔑",
    "\udcff\udc80 undecodable bytes from the environment",
    " leading and trailing spaces ",
]


@pytest.mark.parametrize("value", AWKWARD)
def test_value_round_trips_into_later_runs(value):
    set_to_environ("VANTOREL_STORE_TEST", value)
    assert os.environ["VANTOREL_STORE_TEST"] == value
    later = fresh_run(
        "print(json.dumps([os.environ.get('VANTOREL_STORE_TEST'), license_helper.get_license_info('VANTOREL_STORE_TEST')]))"
    )
    assert later[0] == value
    assert later[1] == list(get_license_info("VANTOREL_STORE_TEST"))


@pytest.mark.parametrize(
    "stored, pair",
    [
        (None, (None, None)),
        ("", (None, None)),
        ("user:secret", ("user", "secret")),
        ("user:se:cr:et", ("user", "se:cr:et")),
        (":secret", ("", "secret")),
        ("user:", ("user", "")),
        ("user", ("user", None)),
    ],
)
@pytest.mark.parametrize("name", [None, "VANTOREL_APPKEY_LICENSE"])
def test_license_info_is_a_pair_split_at_first_colon(stored, pair, name, monkeypatch):
    variable = name or "VANTOREL_LICENSE"
    if stored is not None:
        monkeypatch.setenv(variable, stored)
    assert (get_license_info(name) if name else get_license_info()) == pair


def test_users_own_environment_wins_over_store():
    set_to_environ("VANTOREL_LICENSE", "stored:pw")
    set_to_environ("VANTOREL_APPKEY_LICENSE", "stored:key")
    set_to_environ("vantorelsdk_env", "uat")
    later = fresh_run(
        "print(json.dumps([os.environ.get(n) for n in "
        "('VANTOREL_LICENSE', 'VANTOREL_APPKEY_LICENSE', 'vantorelsdk_env')]))",
        VANTOREL_LICENSE="own:pw",
        vantorelsdk_env="",
    )
    assert later == ["own:pw", "stored:key", ""]


def test_import_is_cheap_and_a_missing_store_is_normal():
    later = fresh_run("print(json.dumps([m in sys.modules for m in ('filelock', 'tempfile', 'click', 'hashlib')]))")
    assert later == [False, False, False, False]
    assert not os.path.exists(store_path())


def test_store_is_private_under_umask_000(kit_home, umask_000):
    set_to_environ("VANTOREL_LICENSE", "u:p")
    assert stat.S_IMODE(os.stat(store_path()).st_mode) == 0o600
    assert stat.S_IMODE(os.stat(os.path.dirname(store_path())).st_mode) == 0o700
    assert stat.S_IMODE(os.stat(kit_home).st_mode) == 0o700


def stored_variables():
    """The variables in the store file, after checking that its marker key is a random 256-bit one."""
    with open(store_path(), encoding="utf-8") as file:
        stored = json.load(file)
    assert len(bytes.fromhex(stored.pop(license_helper.KEY_ENTRY))) == 32
    return stored


@pytest.mark.parametrize(
    "name, value",
    [
        ("", "x"),
        ("A=B", "x"),
        ("A\0B", "x"),
        (None, "x"),
        ("VANTOREL_STORE_TEST", "x\0y"),
        ("VANTOREL_STORE_TEST", b"bytes"),
        ("VANTOREL_STORE_TEST", None),
        ("VANTOREL_STORE_TEST", 5),
        ("VANTOREL_STORE_TEST", "\ud800 lone surrogate"),
        (LOADED_MARKER, "{}"),
        ("BASH_ENV", "/tmp/x"),
        ("vantorel_license", "u:p"),
    ],
)
def test_refused_value_changes_nothing(name, value):
    set_to_environ("VANTOREL_LICENSE", "u:p")
    before = store_bytes()
    with pytest.raises(VantorelError, match="环境变量"):
        set_to_environ(name, value)
    assert store_bytes() == before
    assert "VANTOREL_STORE_TEST" not in os.environ


def test_storing_one_variable_keeps_the_others():
    set_to_environ("VANTOREL_LICENSE", "u:pw")
    set_to_environ("vantorelsdk_env", "uat")
    set_to_environ("VANTOREL_APPKEY_LICENSE", "u:key")
    set_to_environ("vantorelsdk_env", "wm")
    assert stored_variables() == {
        "VANTOREL_LICENSE": "u:pw",
        "VANTOREL_APPKEY_LICENSE": "u:key",
        "vantorelsdk_env": "wm",
    }


@pytest.mark.parametrize(
    "content",
    [
        b"",
        b'{"VANTOREL_LICENSE": "u:p"',
        b'\xff\xfe{"A": "x"}',
        b'["VANTOREL_LICENSE", "u:p"]',
        b'{"VANTOREL_LICENSE": 5}',
        b'{"A=B": "x", "VANTOREL_LICENSE": "u:p"}',
        b'{"A": "x\\u0000"}',
        b"[" * 100000,
        None,  # a directory where the file should be
        "fifo",  # read, it would wait for a writer
    ],
)
def test_unusable_store_is_neither_loaded_nor_overwritten(content):
    path = store_path()
    os.makedirs(os.path.dirname(path))
    if content is None:
        os.mkdir(path)
    elif content == "fifo":
        os.mkfifo(path, 0o600)
    else:
        with open(path, "wb") as file:
            file.write(content)
    # Nothing loaded, and asking for the account says which file is broken and what to do about it.
    later = fresh_run("try:\n    license_helper.get_license_info()\nexcept Exception as error:\n"
                      "    print(json.dumps([os.environ.get('VANTOREL_LICENSE'), str(error)]))")
    assert later[0] is None
    with pytest.raises(VantorelError, match="账户文件") as raised:
        set_to_environ("VANTOREL_LICENSE", "new:pw")
    for message in (later[1], raised.value.message):
        assert path in message and "删除它（rm " in message and "Errno" not in message
    if isinstance(content, bytes):
        assert store_bytes() == content
    assert "VANTOREL_LICENSE" not in os.environ


def test_no_temp_file_outlives_a_write():
    set_to_environ("VANTOREL_LICENSE", "u:old")
    directory = os.path.dirname(store_path())
    stale = os.path.join(directory, "accounts.json.killedwriter.tmp")
    open(stale, "w").close()
    set_to_environ("vantorelsdk_env", "uat")
    assert sorted(os.listdir(directory)) == ["accounts.json", "accounts.json.lock"]

    def full_disk(source, target):
        raise OSError(28, "No space left on device")

    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(license_helper.os, "replace", full_disk)
        with pytest.raises(VantorelError, match="No space left"):
            set_to_environ("VANTOREL_LICENSE", "u:new")
    assert sorted(os.listdir(directory)) == ["accounts.json", "accounts.json.lock"]
    assert fresh_run("print(json.dumps(os.environ.get('VANTOREL_LICENSE')))") == "u:old"


def test_lock_held_elsewhere_times_out_cleanly(monkeypatch):
    from filelock import FileLock

    set_to_environ("VANTOREL_LICENSE", "u:old")
    before = store_bytes()
    monkeypatch.setattr(license_helper, "LOCK_TIMEOUT", 0.2)
    with FileLock(store_path() + ".lock"):
        with pytest.raises(VantorelError, match="锁"):
            set_to_environ("VANTOREL_LICENSE", "u:new")
    assert store_bytes() == before


def test_concurrent_writers_lose_nothing():
    writers, writes = 4, 15
    code = (
        "from vantorel.ombrel.sdk.license_helper import set_to_environ\n"
        f"for i in range({writes}): set_to_environ('VANTOREL_W%s_%d' % (sys.argv[1], i), 'v:%d' % i)\n"
    )
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    running = [subprocess.Popen([sys.executable, "-c", "import sys\n" + code, str(w)], env=env) for w in range(writers)]
    assert [process.wait() for process in running] == [0] * writers
    assert stored_variables() == {f"VANTOREL_W{w}_{i}": f"v:{i}" for w in range(writers) for i in range(writes)}


# A kit process and the processes it starts ----------------------------------------------------------

FAMILY_PRELUDE = """
import json, os, subprocess, sys
from vantorel.ombrel.sdk import license_helper
def child(code):
    prelude = 'import json, os\\nfrom vantorel.ombrel.sdk import license_helper\\n'
    return subprocess.run([sys.executable, '-c', prelude + code], check=True, capture_output=True, text=True).stdout
def console(*args):
    return subprocess.run([CONSOLE, *args], check=True, capture_output=True, text=True).stdout
def store(name, value):
    child(f'license_helper.set_to_environ({name!r}, {value!r})')
def seen(name='VANTOREL_LICENSE'):
    return json.loads(child(f'print(json.dumps(os.environ.get({name!r})))'))
"""


def family(code, **environ):
    """Run ``code`` in a kit process (it has imported the store) that can start children of its own."""
    return fresh_run(FAMILY_PRELUDE.replace("CONSOLE", repr(CONSOLE)) + code, **environ)


def test_account_changed_by_a_child_reaches_the_next_child():
    set_to_environ("VANTOREL_LICENSE", "alice:one")
    shown = family("console('license', '-u', 'bob', '-p', 'two'); print(json.dumps(console('license', '--show')))")
    assert shown == "用户名: bob\n密码: two\n"
    assert fresh_run("print(json.dumps(os.environ['VANTOREL_LICENSE']))") == "bob:two"


BOB = "store('VANTOREL_LICENSE', 'bob:two')\n"


@pytest.mark.parametrize(
    "in_parent, expected",
    [
        (BOB, "bob:two"),
        ("os.environ['VANTOREL_LICENSE'] = 'carol:own'\n" + BOB, "carol:own"),
        ("os.environ['VANTOREL_LICENSE'] = ''\n" + BOB, ""),
        ("del os.environ['VANTOREL_LICENSE']\n" + BOB, "bob:two"),
        # Set by hand to what the kit had loaded: cannot be told from the kit's own, and was the store's.
        ("os.environ['VANTOREL_LICENSE'] = 'alice:one'\n" + BOB, "bob:two"),
        ("os.environ[license_helper.LOADED_MARKER] = 'not json'\n" + BOB, "alice:one"),
        ("os.environ[license_helper.LOADED_MARKER] = '{\"\\\\ud800\": 1, \"A=B\": 2}'\n" + BOB, "alice:one"),
        ("os.remove(license_helper.store_path())\n", None),
        ("open(license_helper.store_path(), 'wb').write(b'{broken')\n", "alice:one"),
        # Stored by this process over the user's own value: the store's from now on.
        ("os.environ['VANTOREL_LICENSE'] = 'own:pw'\nlicense_helper.set_to_environ('VANTOREL_LICENSE', 'dan:x')\n"
         "assert seen() == 'dan:x'\n" + BOB, "bob:two"),
    ],
)
def test_child_takes_what_the_store_loaded_afresh_and_what_the_user_set_as_is(in_parent, expected):
    set_to_environ("VANTOREL_LICENSE", "alice:one")
    assert family(in_parent + "print(json.dumps(seen()))") == expected


def test_users_export_is_not_taken_for_the_stores_in_children():
    set_to_environ("VANTOREL_LICENSE", "alice:one")
    set_to_environ("vantorelsdk_env", "uat")
    seen = family(
        "store('VANTOREL_LICENSE', 'bob:two'); store('vantorelsdk_env', 'wm'); license_helper.set_to_environ('VANTOREL_A', 'x')\n"
        "print(json.dumps([seen(), seen('vantorelsdk_env'), json.loads(os.environ[license_helper.LOADED_MARKER])]))",
        VANTOREL_LICENSE="own:pw",
    )
    assert seen[:2] == ["own:pw", "wm"]
    assert sorted(seen[2]) == ["VANTOREL_A", "vantorelsdk_env"]


# Files somebody else could have written ------------------------------------------------------------

OTHER_UID = 65534  # nobody


def planted_elsewhere(tmp_path):
    """A directory of another user's making, holding a store that would set BASH_ENV."""
    theirs = tmp_path / "theirs"
    theirs.mkdir(mode=0o700)
    (theirs / "accounts.json").write_text(json.dumps({"VANTOREL_LICENSE": "mallory:x", "BASH_ENV": "/evil"}))
    return theirs


def chown_other(path):
    os.chown(path, OTHER_UID, OTHER_UID, follow_symlinks=False)


ACCOUNTS = "accounts"
STORE = os.path.join("accounts", "accounts.json")

UNTRUSTED = [
    (lambda home, tmp: chown_other(home / ACCOUNTS), "账户目录", "不属于当前用户"),
    (lambda home, tmp: os.chmod(home / ACCOUNTS, 0o777), "账户目录", "chmod go-w"),
    (lambda home, tmp: os.chmod(home / ACCOUNTS, 0o730), "账户目录", "chmod go-w"),
    (lambda home, tmp: chown_other(home / STORE), "账户文件", "不属于当前用户"),
    (lambda home, tmp: os.chmod(home / STORE, 0o602), "账户文件", "chmod go-w"),
    (lambda home, tmp: os.chmod(home / STORE, 0o620), "账户文件", "chmod go-w"),
    (lambda home, tmp: (os.remove(home / STORE), os.symlink(planted_elsewhere(tmp) / "accounts.json", home / STORE)),
     "账户文件", "符号链接"),
    (lambda home, tmp: (os.rename(home / ACCOUNTS, tmp / "moved"), os.symlink(planted_elsewhere(tmp), home / ACCOUNTS)),
     "账户目录", "符号链接"),
]


@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="needs to chown to another user")
@pytest.mark.parametrize("plant, what, fix", UNTRUSTED)
def test_store_somebody_else_could_write_is_neither_loaded_nor_written(kit_home, tmp_path, plant, what, fix):
    set_to_environ("VANTOREL_LICENSE", "alice:one")
    before = store_bytes()
    plant(kit_home, tmp_path)
    planted = {str(p): p.read_bytes() for p in tmp_path.rglob("accounts.json")}
    env = {k: v for k, v in os.environ.items() if k not in STORED}
    env.update(VANTOREL_HOME=str(kit_home), PYTHONIOENCODING="utf-8")

    def console(*args):
        return subprocess.run([CONSOLE, *args], capture_output=True, text=True, encoding="utf-8", env=env, timeout=60)

    # Commands that need no account still start; the account is not taken from the store.
    assert console("--help").returncode == 0
    seen = fresh_run("print(json.dumps([os.environ.get(n) for n in ('VANTOREL_LICENSE', 'BASH_ENV')]))")
    assert seen == [None, None]
    for args in (["license", "--show"], ["license", "-u", "bob", "-p", "two"]):
        shown = console(*args)
        assert shown.returncode == 1
        assert what in shown.stderr and fix in shown.stderr and "未读取也未写入" in shown.stderr
        assert shown.stderr.count("\n") == 1
    with pytest.raises(VantorelError, match=what):
        set_to_environ("VANTOREL_LICENSE", "bob:two")
    # Nothing written: neither the store nor what was planted.
    assert {str(p): p.read_bytes() for p in tmp_path.rglob("accounts.json")} == planted
    if not any(os.path.islink(kit_home / name) for name in (ACCOUNTS, STORE)):
        assert store_bytes() == before


# A store the user may not open ---------------------------------------------------------------------

# The interpreter and the package may be installed where only root can read: all the store needs is
# loaded before switching to the other user, with no store to load; the store is loaded after.
AS_OTHER_USER = (
    "import encodings.ascii, hashlib, json, os, shlex, tempfile, _blake2, filelock, vantorel.errors, vantorel.bundle.durable\n"
    "home = os.environ.pop('VANTOREL_HOME')\n"
    "os.environ['VANTOREL_HOME'] = os.path.join(home, 'not yet')\n"
    "from vantorel.ombrel.sdk import license_helper\n"
    f"os.setgroups([]); os.setgid({OTHER_UID}); os.setuid({OTHER_UID})\n"
    "os.environ['VANTOREL_HOME'] = home\n"
    "license_helper._load_into_environ()\n"
    "def said(call, *args):\n"
    "    try:\n"
    "        return repr(call(*args))\n"
    "    except Exception as error:\n"
    "        return str(error)\n"
)


def as_other_user(code, home):
    env = {key: value for key, value in os.environ.items() if key not in STORED}
    env.update(VANTOREL_HOME=str(home), PYTHONPATH=PACKAGE_ROOT)
    done = subprocess.run([sys.executable, "-c", AS_OTHER_USER + code], env=env, capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.skipif(os.name != "posix" or os.geteuid() != 0, reason="needs root to run as another user")
@pytest.mark.parametrize("plant, what, fix", [
    # As a `sudo vantorel license` leaves it: the user is nobody, the store root's.
    (lambda home: os.chown(home / STORE, 0, 0), "账户文件", "rm "),
    (lambda home: os.chmod(home / STORE, 0o200), "账户文件", "chmod 600 "),
    (lambda home: os.chown(home / ACCOUNTS, 0, 0), "账户目录", "rm -r "),
    # It holds the default bundle: given back, not removed.
    (lambda home: os.chown(home, 0, 0), "vantorel 主目录", f"sudo chown -R {OTHER_UID} "),
])
def test_store_the_user_may_not_open_says_what_to_remove_or_chmod(plant, what, fix):
    top = tempfile.mkdtemp()
    try:
        os.chmod(top, 0o711)
        home = pathlib.Path(top, "home")
        home.mkdir(mode=0o700)
        os.chown(home, OTHER_UID, OTHER_UID)
        as_other_user("print(json.dumps(said(license_helper.set_to_environ, 'VANTOREL_LICENSE', 'alice:one')))", home)
        before = (home / STORE).read_bytes()
        plant(home)
        said = as_other_user("print(json.dumps([said(license_helper.get_license_info),"
                             " said(license_helper.set_to_environ, 'VANTOREL_LICENSE', 'bob:two'),"
                             " said(os.environ.update, {'VANTOREL_APPKEY_LICENSE': 'own:key'}),"
                             " said(license_helper.get_license_info, 'VANTOREL_APPKEY_LICENSE')]))", home)
        for message in said[:2]:
            assert f"{what} {home}" in message and fix in message and "未读取也未写入" in message
        assert said[3] == repr(("own", "key"))  # what the user exported still signs in
        assert (home / STORE).read_bytes() == before
    finally:
        shutil.rmtree(top)


@pytest.mark.parametrize("spoil, fix", [
    (lambda home: os.chmod(home, 0o775), "chmod go-w"),
    (lambda home: os.chmod(home, 0o757), "chmod go-w"),
    pytest.param(chown_other, "sudo chown -R", marks=pytest.mark.skipif(
        os.name != "posix" or os.geteuid() != 0, reason="needs to chown to another user")),
])
def test_kit_home_others_can_write_still_loads_but_is_not_written_through(kit_home, spoil, fix):
    set_to_environ("VANTOREL_LICENSE", "alice:one")
    before = store_bytes()
    spoil(kit_home)
    assert fresh_run("print(json.dumps(os.environ.get('VANTOREL_LICENSE')))") == "alice:one"
    with pytest.raises(VantorelError, match=f"vantorel 主目录 {kit_home} .*{fix}") as raised:
        set_to_environ("VANTOREL_LICENSE", "bob:two")
    assert "未读取" not in raised.value.message  # the store was read, as the line above shows
    assert store_bytes() == before


def test_only_the_kits_own_variables_are_loaded():
    # As an older release may have written it, with a marker naming the user's own variables.
    os.makedirs(os.path.dirname(store_path()), mode=0o700)
    with open(store_path(), "w") as file:
        json.dump({"VANTOREL_LICENSE": "alice:one", "BASH_ENV": "/evil", "LD_PRELOAD": "/evil.so"}, file)
    marker = json.dumps({"HOME": None, "PATH": "00000000"})
    seen = fresh_run(
        "print(json.dumps([os.environ.get(n) for n in ('VANTOREL_LICENSE', 'BASH_ENV', 'LD_PRELOAD', 'HOME')]"
        " + [sorted(json.loads(os.environ[license_helper.LOADED_MARKER]))]))",
        **{LOADED_MARKER: marker, "HOME": "/home/own"},
    )
    # (The sanitizer pass runs with an LD_PRELOAD of its own: what matters is that the store's is not loaded.)
    assert seen[0] == "alice:one" and seen[1] != "/evil" and seen[2] != "/evil.so"
    assert seen[3:] == ["/home/own", ["VANTOREL_LICENSE"]]
    # A later write keeps what it does not load: nothing of the file is lost.
    set_to_environ("vantorelsdk_env", "uat")
    assert stored_variables() == {"VANTOREL_LICENSE": "alice:one", "BASH_ENV": "/evil", "LD_PRELOAD": "/evil.so",
                                  "vantorelsdk_env": "uat"}


# The load marker that child processes inherit -----------------------------------------------------

@pytest.mark.parametrize("secret", ["abcde", "alice:one"])
def test_marker_gives_no_way_to_test_a_guess(tmp_path, secret):
    """The same value stored in two kit homes gives unrelated markers, none holding a plain checksum."""
    import zlib

    markers = []
    for home in ("one", "two"):
        environ = {"VANTOREL_HOME": str(tmp_path / home)}
        fresh_run(f"license_helper.set_to_environ('VANTOREL_LICENSE', {secret!r}); print('null')", **environ)
        child = fresh_run("print(json.dumps(dict(os.environ)))", **environ)
        assert child["VANTOREL_LICENSE"] == secret
        text = json.dumps(child)
        assert format(zlib.crc32(f"VANTOREL_LICENSE={secret}".encode()), "08x") not in text
        markers.append(json.loads(child[LOADED_MARKER])["VANTOREL_LICENSE"])
        with open(tmp_path / home / STORE, encoding="utf-8") as file:
            assert json.load(file)[license_helper.KEY_ENTRY] not in text
    assert markers[0] != markers[1]


def test_store_without_a_key_still_loads_and_gets_one():
    """A store as the previous release wrote it: no key, so its marked variables count as the store's."""
    os.makedirs(os.path.dirname(store_path()), mode=0o700)
    with open(store_path(), "w") as file:
        json.dump({"VANTOREL_LICENSE": "alice:one"}, file)
    assert family("print(json.dumps([seen(), json.loads(os.environ[license_helper.LOADED_MARKER])]))") == [
        "alice:one", {"VANTOREL_LICENSE": None}]
    assert family(BOB + "print(json.dumps(seen()))") == "bob:two"
    assert stored_variables() == {"VANTOREL_LICENSE": "bob:two"}
