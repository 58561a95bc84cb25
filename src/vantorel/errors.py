"""Errors of the kit that a user can cause and act on."""
import click


class VantorelError(click.ClickException):
    """Shown as "错误：<message>" on standard error with exit status 1, never as a traceback.

    Every message of the kit is Chinese, and so is its prefix, whichever command it comes through;
    click's own usage errors keep click's wording, as the command line's texts do.
    """

    def show(self, file=None):
        click.echo(f"错误：{self.format_message()}", file=file, err=file is None)
