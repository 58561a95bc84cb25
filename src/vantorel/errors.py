"""Errors of the kit that a user can cause and act on."""
import click


class VantorelError(click.ClickException):
    """Shown by click as "Error: <message>" with exit status 1, never as a traceback."""
