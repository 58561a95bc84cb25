"""Making what was written survive a crash: the bytes of a file, and the names in a directory."""
import os


def fsync_directory(path):
    """Make the names in a directory (renames, creations, removals) durable. Opened as a directory
    only: a pipe or a file put at its name fails at once instead of being waited on."""
    if os.name == "nt":  # directories cannot be opened for fsync there
        return
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_NONBLOCK)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_all(fd, data):
    """Write all of ``data`` at the descriptor's position: a write may take only part of it."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def pwrite_all(fd, data, offset):
    """Write all of ``data`` at ``offset``, the descriptor's position left as it is."""
    view = memoryview(data)
    while view:
        written = os.pwrite(fd, view, offset)
        view, offset = view[written:], offset + written
