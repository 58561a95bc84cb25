"""Progress bars, the one way the kit shows how far a long job has got.

A bar is drawn on standard error, and only when that is a terminal: piped or logged output stays
free of control characters. Work below a floor gets no bar, since it is done before one is read.
"""
import contextlib
import sys

import click


class _Quiet:
    def update(self, n):
        pass


@contextlib.contextmanager
def progress(label, *, length=None, items=None, floor=1, show_pos=False):
    """A bar over ``length`` units (yields an object with ``update(n)``) or over ``items`` (yields
    what to iterate); a stand-in that shows nothing when the work is under ``floor`` or standard error
    is no terminal."""
    size = len(items) if items is not None else length
    stream = sys.stderr
    if size < floor or not getattr(stream, "isatty", lambda: False)():
        yield items if items is not None else _Quiet()
        return
    with click.progressbar(items, length=None if items is not None else length, label=label, file=stream,
                           show_pos=show_pos) as bar:
        yield bar
