"""The kit's account store: variables that ``vantorel license`` keeps for the user's later runs.

The variables live in a JSON file of their own, ``<kit home>/accounts/accounts.json``, which only the
user can read. JSON rather than a shell snippet, so that any text survives unchanged (colons, quotes,
newlines, ``$``), and a directory of its own, so that its mode can be kept at 0700 whatever else
lives in the kit home. Only the kit's own variables (``VANTOREL_*`` and ``vantorelsdk_env``) are
stored or loaded: a store that could name any variable could set ``BASH_ENV`` or ``LD_PRELOAD`` for
every process the kit starts.

The store is trusted only as ssh trusts ``~/.ssh``: the ``accounts`` directory and the file must be
owned by the user, writable by nobody else, and not symbolic links. Each is opened without following
links and checked on the opened descriptor, so nothing can be swapped in between the check and the
read; whoever can write the kit home can then delete the store but not get anything read from it.
Writing goes through paths (the lock, the temp file), so it also needs a kit home that only the user
can write. A store that fails a check is neither read nor written, and the user is told how to fix it.

Importing this module copies the stored variables into ``os.environ``: the kit then reads them with
plain ``os.getenv`` and the processes it starts inherit them. A variable already present in the
environment wins over the stored one, so an ``export`` in the user's shell still overrides the store.
The import runs at every start of the command line, so it only reads one small file and never fails:
a store it does not trust, may not open or cannot read is not loaded (``get_license_info`` and
``set_to_environ`` report it, so ``license`` and the sign-in of ``update-data`` say why no account
is found and what to remove, fix or chmod, while commands that need none still run).

A value inherited from a kit process that loaded it looks just like one the user exported, yet it
must not win: inside ``vantorel shell``, ``!vantorel license ...`` then ``!vantorel update-data``
would sign in with the old account. So the process also sets ``LOADED_MARKER``, naming each variable
it took from the store together with a tag of the value: a keyed BLAKE2 hash whose random key lives
only in the store file (under ``KEY_ENTRY``, a name no variable can have). A later import treats a
marked variable whose tag still matches as the store's, and takes it from the store afresh (or drops
it if the store no longer has it); a marked variable whose value changed was set by the user, and
wins. Without the key the tags say nothing about the values, so the marker, which every child process
inherits, gives no way to test guesses at a secret. A store written before keys existed, or removed
since, cannot check a tag; its marked variables are then taken as the store's, which errs towards the
account the user last stored. A user who sets a variable to exactly the value the kit loaded cannot be
told apart, which is harmless: the value was the store's.
"""
import errno
import json
import os
import stat
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
# The store entry holding the marker's key: "=" keeps it apart from every variable name.
KEY_ENTRY = "=marker_key"
KIT_PREFIX = "VANTOREL_"
KIT_NAMES = frozenset({"vantorelsdk_env"})
KIT_HOME = "vantorel 主目录"

# Why the store was not loaded at import (not trusted, not to be opened, or broken); reported when an
# account is asked for and none is set.
_unloaded_reason = None
# The variables holding an account: one the user exported signs in whatever became of the store.
ACCOUNT_NAMES = ("VANTOREL_LICENSE", "VANTOREL_APPKEY_LICENSE")


def store_path():
    """The store file, under the kit home as it is at call time (``VANTOREL_HOME`` may change)."""
    return os.path.join(kit_home(), STORE_DIR, STORE_NAME)


def _error(message):
    # click comes with the error class; importing it only on failure keeps start-up cheap.
    from vantorel.errors import VantorelError

    return VantorelError(message)


class _Unusable(Exception):
    """The store file exists but does not hold a table of variables the environment can take."""


class _Untrusted(Exception):
    """The store, or the directory holding it, could have been written by someone else, or cannot be
    opened by the user at all: either way it is not loaded, and asking for an account says why."""


def _is_kit_name(name):
    return name.startswith(KIT_PREFIX) or name in KIT_NAMES


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


def _check_owner_and_mode(fd, path, what):
    info = os.fstat(fd)
    # The kit home is checked only before writing: the store below it is still read, as it is its own.
    untouched = "未写入账户文件" if what == KIT_HOME else "未读取也未写入"
    if info.st_uid != os.geteuid():
        raise _Untrusted(
            f"{what} {path} 不属于当前用户（属主 uid {info.st_uid}），可能是他人放置的，{untouched}；"
            + _reclaim(what, path, stat.S_ISDIR(info.st_mode))
        )
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise _Untrusted(
            f"{what} {path} 可被其他用户写入（权限 {stat.S_IMODE(info.st_mode):04o}），{untouched}；"
            f"请执行 chmod go-w {path} 后重试"
        )
    return info


def _open_checked(name, dir_fd, path, what, flags):
    """Open ``name`` in ``dir_fd`` without following a link, owned by the user and writable by nobody else."""
    try:
        fd = os.open(name, flags | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)
    except PermissionError:
        raise _Untrusted(_unopenable(name, dir_fd, path, what)) from None
    except OSError as error:
        if error.errno == errno.ELOOP:
            raise _Untrusted(
                f"{what} {path} 是符号链接，可能是他人放置的，未读取也未写入；"
                f"请确认后删除该链接，再用 vantorel license 重新配置账号"
            ) from None
        raise
    try:
        _check_owner_and_mode(fd, path, what)
    except BaseException:
        os.close(fd)
        raise
    return fd


def _reclaim(what, path, is_directory):
    """What to do about a part of the store another user owns, typically left by a run under sudo."""
    from shlex import quote

    if what == KIT_HOME:
        # It holds the default bundle: given back, not removed.
        return f"请确认后执行 sudo chown -R {os.geteuid()} {quote(path)} 把它交还给当前用户"
    remove = f"rm -r {quote(path)}" if is_directory else f"rm {quote(path)}"
    return f"请确认后删除它（{remove}，必要时用 sudo），再用 vantorel license 重新配置账号"


def _unopenable(name, dir_fd, path, what):
    """What to do about a part of the store the user may not open: left alone, the kit would only
    say that no account is set, and ``vantorel license`` would fail to write it."""
    info = os.stat(name, dir_fd=dir_fd)
    is_directory = stat.S_ISDIR(info.st_mode)
    if info.st_uid != os.geteuid():
        return (f"{what} {path} 属于其他用户（属主 uid {info.st_uid}），当前用户无法打开，未读取也未写入；"
                + _reclaim(what, path, is_directory))
    from shlex import quote

    return (f"{what} {path} 没有读取权限（权限 {stat.S_IMODE(info.st_mode):04o}），未读取也未写入；"
            f"请执行 chmod {700 if is_directory else 600} {quote(path)} 后重试")


def _open_home(home):
    try:
        return os.open(home, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except PermissionError:
        raise _Untrusted(_unopenable(home, None, home, KIT_HOME)) from None


def _open_store_directory():
    """A descriptor of the accounts directory once it is known to be the user's alone; raises OSError, _Untrusted."""
    home = kit_home()
    # The kit home itself may be a link the user made; what matters is every name below it.
    home_fd = _open_home(home)
    path = os.path.join(home, STORE_DIR)
    try:
        # Not O_DIRECTORY: with it, Linux reports a link as "not a directory" rather than as a link.
        fd = _open_checked(STORE_DIR, home_fd, path, "账户目录", os.O_RDONLY | os.O_NONBLOCK)
    finally:
        os.close(home_fd)
    if not stat.S_ISDIR(os.fstat(fd).st_mode):
        os.close(fd)
        raise NotADirectoryError(errno.ENOTDIR, os.strerror(errno.ENOTDIR), path)
    return fd


def _parse(raw):
    """(variables, key) held by the bytes of a store file; raises _Unusable."""
    try:
        stored = json.loads(raw.decode("utf-8"))
    except UnicodeDecodeError:
        raise _Unusable("不是 UTF-8 文本") from None
    except json.JSONDecodeError as error:
        raise _Unusable(f"不是有效的 JSON：第 {error.lineno} 行第 {error.colno} 列有误") from None
    except RecursionError:
        raise _Unusable("不是有效的 JSON：嵌套过深") from None
    if not isinstance(stored, dict):
        raise _Unusable("内容不是变量表")
    key = stored.pop(KEY_ENTRY, None)
    if key is not None and not isinstance(key, str):
        raise _Unusable(f"{KEY_ENTRY} 不是文本")
    for name, value in stored.items():
        refusal = _refusal(name, value)
        if refusal:
            raise _Unusable(refusal)
    return stored, key


def _read_store():
    """(variables, key) of the store, ({}, None) when there is none yet; raises OSError, _Unusable, _Untrusted."""
    path = store_path()
    try:
        if os.name != "posix":
            # No owners or descriptor-relative opens to check with there; the file is read by its path.
            with open(path, "rb") as file:
                return _parse(file.read())
        dir_fd = _open_store_directory()
        try:
            # Non-blocking, so that a fifo planted in place of the file cannot stall the start-up.
            fd = _open_checked(STORE_NAME, dir_fd, path, "账户文件", os.O_RDONLY | os.O_NONBLOCK)
        finally:
            os.close(dir_fd)
    except FileNotFoundError:
        return {}, None
    # Before reading: a directory cannot be read, and a fifo would be read until somebody writes.
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise _Unusable("不是普通文件")
    with open(fd, "rb") as file:
        return _parse(file.read())


def _tag(key, name, value):
    # hashlib would load OpenSSL, several milliseconds at every start; its blake2b is this one.
    try:
        from _blake2 import blake2b
    except ImportError:
        from hashlib import blake2b
    return blake2b(os.fsencode(f"{name}={value}"), key=bytes.fromhex(key), digest_size=16).hexdigest()


def _from_store(key):
    """The names in os.environ that still hold the value the store gave them, by the marker."""
    try:
        marked = json.loads(os.environ.get(LOADED_MARKER, "{}"))
    except (ValueError, RecursionError):
        return set()
    if not isinstance(marked, dict):
        return set()
    # A hand-made marker may name anything; os.environ raises on names it cannot encode.
    return {
        name
        for name, tag in marked.items()
        if not _refusal(name, "") and _is_kit_name(name) and name in os.environ
        and (tag is None or key is None or tag == _tag(key, name, os.environ[name]))
    }


def _set_marker(loaded):
    if loaded:
        os.environ[LOADED_MARKER] = json.dumps(loaded, ensure_ascii=True, sort_keys=True, separators=(",", ":"))
    else:
        os.environ.pop(LOADED_MARKER, None)


def _broken(path, reason, outcome, what="账户文件"):
    """What to do about a store that cannot be used, in one line: ``outcome`` says what became of it."""
    from shlex import quote

    remove = f"rm -r {quote(path)}" if os.path.isdir(path) else f"rm {quote(path)}"
    return (f"{what} {path} 无法使用（{reason}），{outcome}；"
            f"请修复它，或删除它（{remove}）后用 vantorel license 重新配置账号")


def _load_into_environ():
    global _unloaded_reason
    try:
        stored, key = _read_store()
    except _Untrusted as error:
        _unloaded_reason = str(error)
        return
    except _Unusable as error:
        # What an earlier process loaded stays, marker included, as the best knowledge there is.
        _unloaded_reason = _broken(store_path(), error, "未读取")
        return
    except NotADirectoryError as error:
        _unloaded_reason = _broken(error.filename, "不是目录", "未读取", "账户目录")
        return
    except OSError as error:
        _unloaded_reason = _broken(store_path(), error.strerror or error, "未读取")
        return
    stored = {name: value for name, value in stored.items() if _is_kit_name(name)}
    owned = _from_store(key)
    for name in owned - stored.keys():
        del os.environ[name]
    loaded = {}
    for name, value in stored.items():
        if name in owned or name not in os.environ:
            os.environ[name] = value
            loaded[name] = _tag(key, name, value) if key else None
    _set_marker(loaded)


def _private_directory(directory):
    """Make sure ``directory`` exists with mode 0700 in a kit home only the user can write.

    The kit home is created with mode 0700 when it is missing. The modes do not depend on the umask,
    and an accounts directory that others could read is closed again; one that others could write,
    or that is not the user's, is refused (raises _Untrusted) rather than repaired.
    """
    home = os.path.dirname(directory)
    os.makedirs(os.path.dirname(home), exist_ok=True)
    with suppress(FileExistsError):
        os.mkdir(home, 0o700)
        os.chmod(home, 0o700)
    if os.name == "posix":
        # The lock and the temp file are reached by path, so nobody else may be able to replace the
        # accounts directory under us: the kit home must be the user's alone as well.
        home_fd = _open_home(home)
        try:
            _check_owner_and_mode(home_fd, home, KIT_HOME)
        finally:
            os.close(home_fd)
    with suppress(FileExistsError):
        os.mkdir(directory, 0o700)
    if os.name != "posix":
        return
    dir_fd = _open_store_directory()
    try:
        if stat.S_IMODE(os.fstat(dir_fd).st_mode) != 0o700:
            os.fchmod(dir_fd, 0o700)
    finally:
        os.close(dir_fd)


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
    from vantorel.bundle.durable import fsync_directory

    fsync_directory(directory)  # the rename itself is only durable once the directory is on disk


def set_to_environ(name, value):
    """Store the text ``value`` under ``name`` for the user's later runs and set it in this process too.

    Other stored variables are kept. The read-modify-write runs under a file lock, so concurrent
    ``vantorel license`` runs never lose each other's writes. A name that is not the kit's, a value
    the environment cannot hold, or a store that cannot be read or is not trusted, raises
    VantorelError and changes nothing: the store is never overwritten without having been read.
    """
    refusal = _refusal(name, value)
    if not refusal and not _is_kit_name(name):
        refusal = f"只能保存 vantorel 自己的环境变量（{KIT_PREFIX}* 与 vantorelsdk_env），不能保存 {name}"
    if refusal:
        raise _error(refusal)
    from filelock import FileLock, Timeout

    path = store_path()
    lock_path = path + ".lock"
    try:
        _private_directory(os.path.dirname(path))
        with FileLock(lock_path, mode=0o600).acquire(timeout=LOCK_TIMEOUT):
            try:
                stored, key = _read_store()
            except _Unusable as error:
                raise _error(_broken(path, error, "未做任何修改")) from None
            stored[name] = value
            if key is None:
                key = os.urandom(32).hex()
            _remove_stale_temps(os.path.dirname(path))
            _write(path, {**stored, KEY_ENTRY: key})
    except _Untrusted as error:
        raise _error(str(error)) from None
    except Timeout:
        raise _error(
            f"等待账户文件锁 {lock_path} 超过 {LOCK_TIMEOUT:g} 秒，可能有另一个 vantorel 进程卡住了；未做任何修改"
        ) from None
    except OSError as error:
        if isinstance(error, NotADirectoryError) and error.filename == os.path.dirname(path):
            raise _error(_broken(error.filename, "不是目录", "未做任何修改", "账户目录")) from None
        raise _error(f"无法读写账户文件 {path}：{error.strerror or error}；未做任何修改") from error
    # The process now holds the store's value, so the processes it starts take it from the store too.
    loaded = {owned: _tag(key, owned, os.environ[owned]) for owned in _from_store(key)}
    os.environ[name] = value
    loaded[name] = _tag(key, name, value)
    _set_marker(loaded)


def get_license_info(name="VANTOREL_LICENSE"):
    """The account stored under ``name`` as exactly two values, (user name, secret).

    The text is split at its first ":", since user names hold none and secrets may hold several.
    Nothing set, or an empty text, gives (None, None); a text without ":" gives (text, None), an
    account without a secret, which callers treat as incomplete. A store that was not loaded because
    it is not trusted, could not be opened or is broken raises VantorelError saying why, so the user learns why
    no account is found; an account set in the environment (say, exported in a kit home an
    administrator shares) is used as it is.
    """
    if _unloaded_reason and not any(os.environ.get(account) for account in ACCOUNT_NAMES):
        raise _error(_unloaded_reason)
    value = os.environ.get(name)
    if not value:
        return None, None
    user, colon, secret = value.partition(":")
    return (user, secret) if colon else (value, None)


_load_into_environ()
