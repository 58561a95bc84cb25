import json
import os
import stat
import subprocess
import sys

import pytest

import vantorel
from vantorel.errors import VantorelError
from vantorel.ombrel.sdk import license_helper
from vantorel.ombrel.sdk.license_helper import LOADED_MARKER, get_license_info, set_to_environ, store_path

PACKAGE_ROOT = os.path.dirname(os.path.dirname(vantorel.__file__))
CONSOLE = os.path.join(os.path.dirname(sys.executable), "vantorel")
# Variables the tests store; set_to_environ also puts them into this process's environment.
STORED = ("VANTOREL_LICENSE", "VANTOREL_APPKEY_LICENSE", "vantorelsdk_env", "STORE_TEST", LOADED_MARKER)


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
    set_to_environ("STORE_TEST", value)
    assert os.environ["STORE_TEST"] == value
    later = fresh_run(
        "print(json.dumps([os.environ.get('STORE_TEST'), license_helper.get_license_info('STORE_TEST')]))"
    )
    assert later[0] == value
    assert later[1] == list(get_license_info("STORE_TEST"))


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


@pytest.mark.parametrize("loose", [False, True])
def test_store_is_private_under_umask_000(loose, kit_home, umask_000):
    if loose:
        (kit_home / "accounts").mkdir(parents=True, mode=0o777)
        (kit_home / "accounts" / "accounts.json").write_text("{}")
        os.chmod(kit_home / "accounts" / "accounts.json", 0o666)
    set_to_environ("VANTOREL_LICENSE", "u:p")
    assert stat.S_IMODE(os.stat(store_path()).st_mode) == 0o600
    assert stat.S_IMODE(os.stat(os.path.dirname(store_path())).st_mode) == 0o700
    if not loose:
        assert stat.S_IMODE(os.stat(kit_home).st_mode) == 0o700


@pytest.mark.parametrize(
    "name, value",
    [
        ("", "x"),
        ("A=B", "x"),
        ("A\0B", "x"),
        (None, "x"),
        ("STORE_TEST", "x\0y"),
        ("STORE_TEST", b"bytes"),
        ("STORE_TEST", None),
        ("STORE_TEST", 5),
        ("STORE_TEST", "\ud800 lone surrogate"),
        (LOADED_MARKER, "{}"),
    ],
)
def test_refused_value_changes_nothing(name, value):
    set_to_environ("VANTOREL_LICENSE", "u:p")
    before = store_bytes()
    with pytest.raises(VantorelError, match="环境变量"):
        set_to_environ(name, value)
    assert store_bytes() == before
    assert "STORE_TEST" not in os.environ


def test_storing_one_variable_keeps_the_others():
    set_to_environ("VANTOREL_LICENSE", "u:pw")
    set_to_environ("vantorelsdk_env", "uat")
    set_to_environ("VANTOREL_APPKEY_LICENSE", "u:key")
    set_to_environ("vantorelsdk_env", "wm")
    with open(store_path(), encoding="utf-8") as file:
        assert json.load(file) == {
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
    ],
)
def test_unusable_store_is_neither_loaded_nor_overwritten(content):
    path = store_path()
    os.makedirs(os.path.dirname(path))
    if content is None:
        os.mkdir(path)
    else:
        with open(path, "wb") as file:
            file.write(content)
    later = fresh_run("print(json.dumps(os.environ.get('VANTOREL_LICENSE')))")
    assert later is None
    with pytest.raises(VantorelError, match="账户文件") as raised:
        set_to_environ("VANTOREL_LICENSE", "new:pw")
    assert path in raised.value.message
    if content is not None:
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
        f"for i in range({writes}): set_to_environ('W%s_%d' % (sys.argv[1], i), 'v:%d' % i)\n"
    )
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT)
    running = [subprocess.Popen([sys.executable, "-c", "import sys\n" + code, str(w)], env=env) for w in range(writers)]
    assert [process.wait() for process in running] == [0] * writers
    with open(store_path(), encoding="utf-8") as file:
        stored = json.load(file)
    assert stored == {f"W{w}_{i}": f"v:{i}" for w in range(writers) for i in range(writes)}


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
        "store('VANTOREL_LICENSE', 'bob:two'); store('vantorelsdk_env', 'wm'); license_helper.set_to_environ('A', 'x')\n"
        "print(json.dumps([seen(), seen('vantorelsdk_env'), json.loads(os.environ[license_helper.LOADED_MARKER])]))",
        VANTOREL_LICENSE="own:pw",
    )
    assert seen[:2] == ["own:pw", "wm"]
    assert sorted(seen[2]) == ["A", "vantorelsdk_env"]
