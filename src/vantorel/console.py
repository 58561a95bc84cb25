"""The console command `vantorel`, also run as `python -m vantorel`.

`cli` passes an exception that escapes a command on to its caller; this is
that caller for a user at a terminal, who is better served by one line than
by a traceback. click's own exceptions (usage errors, ClickException, Abort,
Exit) never get here: `cli` in standalone mode has already handled them.
"""
import os
import sys


def main() -> None:
    from vantorel.ombrel.sdk.cmds import cli

    try:
        cli()
    except Exception as error:
        if os.environ.get("VANTOREL_DEBUG") == "1":
            raise
        import click

        from vantorel.errors import one_line

        text = one_line(" ".join(line.strip() for line in str(error).splitlines() if line.strip()))
        click.echo(f"错误：{text or type(error).__name__}", err=True)
        sys.exit(1)
