"""The kit's data-service client: sign-in and the session that the data layer works under.

No data service is reachable from this machine, so ``init`` checks the call the way the
service would refuse it, and records the signed-in account for the rest of the process.
"""
import os
from typing import NamedTuple, Optional

from vantorel.errors import VantorelError


class SignInError(VantorelError):
    """The sign-in was refused."""


class NotSignedInError(VantorelError):
    """Data was asked for before any sign-in."""


class Session(NamedTuple):
    username: str
    method: str  # "password" or "app_key"
    env: Optional[str]  # the service environment; None is the internet environment


_session: Optional[Session] = None


def _require_text(value, what):
    if not isinstance(value, str) or not value.strip():
        raise SignInError(f"登录失败：{what}不能为空")
    return value


def init(username, password=None, app_key=None):
    """Sign in with a user name and either a password or an app key."""
    global _session
    _require_text(username, "用户名")
    if password is not None and app_key is not None:
        raise SignInError("登录失败：密码与 app_key 只能提供一个")
    if password is not None:
        _require_text(password, "密码")
        method = "password"
    elif app_key is not None:
        _require_text(app_key, "app_key")
        method = "app_key"
    else:
        raise SignInError("登录失败：需要密码或 app_key")
    _session = Session(username, method, os.getenv("vantorelsdk_env") or None)
    return _session


def current_session():
    """The session of this process, or None before a sign-in."""
    return _session


def require_session():
    """The session of this process; without one, the error that tells the user how to get one."""
    if _session is None:
        raise NotSignedInError("尚未登录数据服务：请先用 vantorel license 配置账号")
    return _session


def sign_out():
    """Forget the session (a new process starts signed out as well)."""
    global _session
    _session = None
