"""Errors of the kit that a user can cause and act on."""
import click


class VantorelError(click.ClickException):
    """Shown as "错误：<message>" on standard error with exit status 1, never as a traceback.

    Every message of the kit is Chinese, and so is its prefix, whichever command it comes through;
    click's own usage errors keep click's wording, as the command line's texts do.
    """

    def show(self, file=None):
        click.echo(f"错误：{one_line(self.format_message())}", file=file, err=file is None)


# Control characters (C0, DEL, C1) and the Unicode line breaks, each to its escape: a file name holding
# a newline would otherwise break an error into lines that name no file, and one holding an escape
# sequence would drive the terminal.
_ESCAPES = {code: repr(chr(code))[1:-1] for code in [*range(0x20), *range(0x7F, 0xA0), 0x2028, 0x2029]}


def one_line(text):
    return text.translate(_ESCAPES)
