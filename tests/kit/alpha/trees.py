"""Directory trees as dicts, to tell whether anything under a directory changed."""
import os


def snapshot(root, mtimes=True):
    """Every directory under root, and every file with its bytes and (unless mtimes is false) its
    modification time, by relative path."""
    tree = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        tree[rel + "/"] = None
        for name in filenames:
            path = os.path.join(dirpath, name)
            with open(path, "rb") as f:
                data = f.read()
            tree[os.path.join(rel, name)] = (data, os.stat(path).st_mtime_ns) if mtimes else data
    return tree
