"""The kit's account store: variables that ``vantorel license`` keeps for the user's later runs.

The variables live in a JSON file of their own, ``<kit home>/accounts/accounts.json``, which only the
user can read. JSON rather than a shell snippet, so that any text survives unchanged (colons, quotes,
newlines, ``$``), and a directory of its own, so that its mode can be kept at 0700 whatever else
lives in the kit home.

Importing this module copies the stored variables into ``os.environ``: the kit then reads them with
plain ``os.getenv`` and the processes it starts inherit them. A variable already present in the
environment wins over the stored one, so an ``export`` in the user's shell still overrides the store.
The import runs at every start of the command line, so it only reads one small file and never fails:
a store it cannot read is left alone (see ``set_to_environ`` for how that is reported).

A value inherited from a kit process that loaded it looks just like one the user exported, yet it
must not win: inside ``vantorel shell``, ``!vantorel license ...`` then ``!vantorel update-data``
would sign in with the old account. So the process also sets ``LOADED_MARKER``, naming each variable
it took from the store together with a checksum of the value. A later import treats a marked
variable that still holds that value as the store's, and takes it from the store afresh (or drops it
if the store no longer has it); a marked variable whose value changed was set by the user, and wins.
Only the checksum is kept, so the marker does not repeat the secrets. A user who sets a variable to
exactly the value the kit loaded cannot be told apart, which is harmless: the value was the store's.
"""
import json
import os
import stat
import zlib
from contextlib import suppress

from vantorel.ombrel.sdk.const import kit_home

STORE_DIR = "accounts"
STORE_NAME = "accounts.json"
# Temp files are named "<STORE_NAME>.<random><TEMP_SUFFIX>"; one left by a killed writer is removed by the next.
TEMP_SUFFIX = ".tmp"
# Seconds to wait for another writer. A write holds the lock for milliseconds, so running out of this
# means a stuck process, not a busy one.
LOCK_TIMEOUT = 60.0
# Which variables of this environment the store put there; see the module's documentation.
LOADED_MARKER = "VANTOREL_STORE_LOADED"


def store_path():
    """The store file, under the kit home as it is at call time (``VANTOREL_HOME`` may change)."""
    return os.path.join(kit_home(), STORE_DIR, STORE_NAME)


def _error(message):
    # click comes with the error class; importing it only on failure keeps start-up cheap.
    from vantorel.errors import VantorelError

    return VantorelError(message)


class _Unusable(Exception):
    """The store file exists but does not hold a table of variables the environment can take."""


def _refusal(name, value):
    """Why the environment cannot hold ``name`` set to ``value``, or None when it can."""
    if not isinstance(name, str) or not name or "=" in name or "\0" in name:
        return f"环境变量名无效：{name!r}（必须是非空文本，不能含有“=”或空字符）"
    if name == LOADED_MARKER:
        return f"环境变量名 {name} 供 vantorel 内部使用，不能保存"
    if not isinstance(value, str):
        return f"环境变量 {name} 的值必须是文本，不能是 {type(value).__name__}"
    if "\0" in value:
        return f"环境变量 {name} 的值含有空字符，环境变量无法保存"
    try:
        # What os.environ itself does with a text before handing it to the system.
        os.fsencode(name)
        os.fsencode(value)
    except UnicodeError:
        return f"环境变量 {name!r} 含有无法编码的字符，环境变量无法保存"
    return None


def _read(path):
    """The stored variables, {} when there is no store yet; raises OSError or _Unusable."""
    try:
        with open(path, "rb") as file:
            raw = file.read()
    except FileNotFoundError:
        return {}
    try:
        stored = json.loads(raw.decode("utf-8"))
    except (ValueError, RecursionError) as error:
        raise _Unusable(f"不是有效的 JSON：{error}") from None
    if not isinstance(stored, dict):
        raise _Unusable("内容不是变量表")
    for name, value in stored.items():
        refusal = _refusal(name, value)
        if refusal:
            raise _Unusable(refusal)
    return stored


def _checksum(name, value):
    # Not a secret-keeping hash: it only has to notice that the user changed a value. zlib loads in
    # a fraction of a millisecond, hashlib (OpenSSL) in several, and this runs at every start.
    return format(zlib.crc32(os.fsencode(f"{name}={value}")), "08x")


def _from_store():
    """{name: checksum} of the variables in os.environ that still hold the value the store gave them."""
    try:
        marked = json.loads(os.environ.get(LOADED_MARKER, "{}"))
    except (ValueError, RecursionError):
        return {}
    if not isinstance(marked, dict):
        return {}
    # A hand-made marker may name anything; os.environ raises on names it cannot encode.
    return {
        name: mark
        for name, mark in marked.items()
        if not _refusal(name, "") and name in os.environ and mark == _checksum(name, os.environ[name])
    }


def _set_marker(loaded):
    if loaded:
        os.environ[LOADED_MARKER] = json.dumps(loaded, ensure_ascii=True, sort_keys=True, separators=(",", ":"))
    else:
        os.environ.pop(LOADED_MARKER, None)


def _load_into_environ():
    try:
        stored = _read(store_path())
    except (OSError, _Unusable):
        # What an earlier process loaded stays, marker included, as the best knowledge there is.
        return
    owned = _from_store()
    for name in owned.keys() - stored.keys():
        del os.environ[name]
    loaded = {}
    for name, value in stored.items():
        if name in owned or name not in os.environ:
            os.environ[name] = value
            loaded[name] = _checksum(name, value)
    _set_marker(loaded)


def _private_directory(directory):
    """Make sure ``directory`` exists with mode 0700, and the kit home too when it has to be created.

    The modes do not depend on the umask, and an accounts directory that was opened up is closed again.
    """
    home = os.path.dirname(directory)
    os.makedirs(os.path.dirname(home), exist_ok=True)
    with suppress(FileExistsError):
        os.mkdir(home, 0o700)
        os.chmod(home, 0o700)
    with suppress(FileExistsError):
        os.mkdir(directory, 0o700)
    mode = os.stat(directory).st_mode
    if stat.S_ISDIR(mode) and stat.S_IMODE(mode) != 0o700:
        os.chmod(directory, 0o700)


def _remove_stale_temps(directory):
    """Remove temp files of writers that died mid-write; only call with the lock held."""
    for entry in os.scandir(directory):
        if entry.name.startswith(STORE_NAME + ".") and entry.name.endswith(TEMP_SUFFIX):
            with suppress(FileNotFoundError):
                os.unlink(entry.path)


def _write(path, stored):
    """Replace the store with ``stored`` so that a reader or a crash sees either the old file or the new."""
    import tempfile

    directory = os.path.dirname(path)
    fd, temp = tempfile.mkstemp(dir=directory, prefix=STORE_NAME + ".", suffix=TEMP_SUFFIX)
    try:
        file = os.fdopen(fd, "w", encoding="ascii")
        with file:
            if hasattr(os, "fchmod"):
                os.fchmod(file.fileno(), 0o600)
            # ensure_ascii keeps surrogate-escaped bytes (undecodable environment text) intact.
            json.dump(stored, file, ensure_ascii=True, indent=1, sort_keys=True)
            file.write("\n")
            file.flush()
            os.fsync(file.fileno())
        os.replace(temp, path)
    except BaseException:
        with suppress(OSError):
            os.unlink(temp)
        raise
    if os.name == "posix":
        # The rename itself is only durable once the directory is on disk.
        dir_fd = os.open(directory, os.O_RDONLY)
        try:
            os.fsync(dir_fd)
        finally:
            os.close(dir_fd)


def set_to_environ(name, value):
    """Store the text ``value`` under ``name`` for the user's later runs and set it in this process too.

    Other stored variables are kept. The read-modify-write runs under a file lock, so concurrent
    ``vantorel license`` runs never lose each other's writes. A value the environment cannot hold,
    or a store that cannot be read, raises VantorelError and changes nothing: the store is never
    overwritten without having been read.
    """
    refusal = _refusal(name, value)
    if refusal:
        raise _error(refusal)
    from filelock import FileLock, Timeout

    path = store_path()
    lock_path = path + ".lock"
    try:
        _private_directory(os.path.dirname(path))
        with FileLock(lock_path, mode=0o600).acquire(timeout=LOCK_TIMEOUT):
            try:
                stored = _read(path)
            except _Unusable as error:
                raise _error(
                    f"账户文件 {path} 无法使用（{error}），未做任何修改；请修复或删除该文件后重试"
                ) from None
            stored[name] = value
            _remove_stale_temps(os.path.dirname(path))
            _write(path, stored)
    except Timeout:
        raise _error(
            f"等待账户文件锁 {lock_path} 超过 {LOCK_TIMEOUT:g} 秒，可能有另一个 vantorel 进程卡住了；未做任何修改"
        ) from None
    except OSError as error:
        raise _error(f"无法读写账户文件 {path}：{error}") from error
    # The process now holds the store's value, so the processes it starts take it from the store too.
    loaded = _from_store()
    os.environ[name] = value
    loaded[name] = _checksum(name, value)
    _set_marker(loaded)


def get_license_info(name="VANTOREL_LICENSE"):
    """The account stored under ``name`` as exactly two values, (user name, secret).

    The text is split at its first ":", since user names hold none and secrets may hold several.
    Nothing set, or an empty text, gives (None, None); a text without ":" gives (text, None), an
    account without a secret, which callers treat as incomplete.
    """
    value = os.environ.get(name)
    if not value:
        return None, None
    user, colon, secret = value.partition(":")
    return (user, secret) if colon else (value, None)


_load_into_environ()
