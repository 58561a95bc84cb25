"""Making what was written survive a crash: the bytes of a file, and the names in a directory."""
import os


def fsync_path(path):
    """Make a file's bytes, or the names in a directory (renames, creations, removals), durable."""
    if os.name == "nt" and os.path.isdir(path):  # directories cannot be opened for fsync there
        return
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_all(raw, data):
    view = memoryview(data)
    while view:
        view = view[raw.write(view):]
