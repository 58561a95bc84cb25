"""The kit's data-service client: sign-in and the session that the data layer works under.

No data service is reachable from this machine, so ``init`` checks the call the way the
service would refuse it, and records the signed-in account for the rest of the process.

``run_agent`` runs the local agent tool for the sign-in, as ``subprocess.run`` would but bounded:
``subprocess.run`` waits as long as anything holds the tool's output open (the tool, or a process
it left behind) and keeps all it reads, so a stuck or runaway tool would hang or fill the memory.
"""
import os
from typing import NamedTuple, Optional

from vantorel.errors import VantorelError


class SignInError(VantorelError):
    """The sign-in was refused."""


class NotSignedInError(VantorelError):
    """Data was asked for before any sign-in."""


class AgentError(VantorelError):
    """The agent tool did not answer within its bounds, or its bounds are set wrongly."""


AGENT_TIMEOUT_VARIABLE = "VANTOREL_AGENT_TIMEOUT"
AGENT_TIMEOUT_DEFAULT = 60.0
AGENT_TIMEOUT_RANGE = (1.0, 3600.0)
# An answer names an account and an app key; a megabyte is far beyond any real one.
AGENT_OUTPUT_LIMIT = 1 << 20
_READ_SIZE = 1 << 16


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


def agent_timeout():
    """Seconds to wait for the agent tool: ``VANTOREL_AGENT_TIMEOUT``, else the default."""
    text = os.environ.get(AGENT_TIMEOUT_VARIABLE)
    if text is None or not text.strip():
        return AGENT_TIMEOUT_DEFAULT
    low, high = AGENT_TIMEOUT_RANGE
    try:
        seconds = float(text)
    except ValueError:
        seconds = None
    # float() also takes "nan" and "inf", which the range test below refuses as well.
    if seconds is None or not low <= seconds <= high:
        raise AgentError(f"{AGENT_TIMEOUT_VARIABLE} 无效：{text!r}（应为 {low:g} 到 {high:g} 之间的秒数）")
    return seconds


def run_agent(args, *, shell=False, env=None, capture_output=False, text=False, encoding=None):
    """``subprocess.run(args, ...)`` for the agent tool, with its wait and its output bounded.

    Takes the arguments the sign-in passes to ``subprocess.run`` and returns a CompletedProcess whose
    ``stdout`` is what the tool printed, decoded as ``subprocess.run`` decodes it. Standard error is
    discarded rather than captured, which is all the sign-in does with it. A tool that has not ended
    and closed its output (with everything it started) within ``agent_timeout()`` seconds, or that
    prints more than AGENT_OUTPUT_LIMIT bytes, is killed with the processes it started, and AgentError
    is raised.
    """
    import subprocess
    import threading
    import time

    if not capture_output:
        raise ValueError("run_agent reads the tool's answer: capture_output must be true")
    timeout = agent_timeout()
    deadline = time.monotonic() + timeout
    # A session of its own, so that the tool and whatever it starts can be killed as one group.
    process = subprocess.Popen(args, shell=shell, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    chunks = []

    def read():
        # Stops one read past the limit: enough to know it was passed, never much more in memory.
        size = 0
        while size <= AGENT_OUTPUT_LIMIT:
            chunk = os.read(process.stdout.fileno(), _READ_SIZE)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)

    # A thread rather than select(), which cannot wait on pipes on Windows.
    reader = threading.Thread(target=read, name="agent-output", daemon=True)
    reader.start()
    try:
        reader.join(timeout)
        output = b"".join(chunks)
        if len(output) > AGENT_OUTPUT_LIMIT:
            raise AgentError(
                f"本地代理工具的输出超过 {AGENT_OUTPUT_LIMIT // (1 << 20)} MiB，已终止它，未登录"
            )
        if reader.is_alive():
            raise subprocess.TimeoutExpired(args, timeout)
        returncode = process.wait(max(0.0, deadline - time.monotonic()))
    except subprocess.TimeoutExpired:
        raise AgentError(
            f"本地代理工具在 {timeout:g} 秒内没有结束（或它启动的进程仍占着它的输出），已终止它，未登录；"
            f"等待时间可用 {AGENT_TIMEOUT_VARIABLE} 设置（{AGENT_TIMEOUT_RANGE[0]:g} 到 {AGENT_TIMEOUT_RANGE[1]:g} 秒）"
        ) from None
    finally:
        if process.returncode is None:
            _kill_group(process)
        reader.join(1.0)
        # A process that left the group may still hold the pipe; its descriptor must not be reused
        # under the reading thread, so it is only closed once the thread is done.
        if not reader.is_alive():
            process.stdout.close()
    if text or encoding:
        import locale

        # As subprocess.run decodes captured output in text mode, newlines included.
        output = output.decode(encoding or locale.getpreferredencoding(False))
        output = output.replace("\r\n", "\n").replace("\r", "\n")
    return subprocess.CompletedProcess(args, returncode, output, None)


def _kill_group(process):
    if os.name == "posix":
        import signal

        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    else:
        process.kill()
    process.wait()
