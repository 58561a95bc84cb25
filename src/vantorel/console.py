"""The console command `vantorel`, also run as `python -m vantorel`.

`cli` passes an exception that escapes a command on to its caller; this is
that caller for a user at a terminal, who is better served by one line than
by a traceback. click's own exceptions (usage errors, ClickException, Abort,
Exit) never get here: `cli` in standalone mode has already handled them.
"""
import os
import sys

# The sign-in runs the agent tool under this bound; its range is the login's.
AGENT_TIMEOUT_HINT = "等待时间可用环境变量 VANTOREL_AGENT_TIMEOUT 设置（1 到 3600 秒，默认 60）"
# What the login hands subprocess.run, on Windows and elsewhere.
AGENT_COMMANDS = ("varnix", ["powershell.exe", "-NoProfile", "-ExecutionPolicy", "Bypass", "-Command", "& varnix.exe"])


def message(error: Exception) -> str:
    """The one line a user is shown for an error that escaped a command."""
    subprocess = sys.modules.get("subprocess")
    if subprocess is not None and isinstance(error, subprocess.TimeoutExpired) and error.cmd in AGENT_COMMANDS:
        # Only the process the login started was killed: the tool may live on under it, so say no more.
        return (f"本地代理工具 varnix 在 {error.timeout:g} 秒内没有结束（或它启动的进程仍占着它的输出），未登录；"
                f"{AGENT_TIMEOUT_HINT}")
    from vantorel.errors import one_line

    text = one_line(" ".join(line.strip() for line in str(error).splitlines() if line.strip()))
    return text or type(error).__name__


def main() -> None:
    from vantorel.ombrel.sdk.cmds import cli

    try:
        cli()
    except Exception as error:
        if os.environ.get("VANTOREL_DEBUG") == "1":
            raise
        import click

        click.echo(f"错误：{message(error)}", err=True)
        sys.exit(1)
