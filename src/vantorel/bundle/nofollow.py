"""Working inside a directory through a descriptor, never through a link.

A bundle path may be shared (teams keep one bundle on a shared disk), and then another local user
who can write it can put a link where the kit expects a directory of its own, or swap one in
between two calls that name the same path. So whatever removes, renames or writes in a bundle
path's working trees (the staging and ready trees of a swap, the journal directory) goes through
a ``Dir``: a descriptor of the directory it works in, opened without following a link
(``O_NOFOLLOW``), in which it names one entry at a time (``dir_fd``). Whatever is swapped in
afterwards, the descriptor still is the directory that was opened and checked, and a link is
never entered: opening one as a directory fails. ``remove`` empties a tree the same way, one
descriptor per level (``shutil.rmtree`` takes a ``dir_fd`` only from Python 3.11 on, and its
error handler retries by path).

Whose entries are the kit's to finish or remove: those of the bundle path's owner, of the running
user, and of root (who could do anything anyway); ``owners`` gives them. Windows has neither
``dir_fd`` nor owners to compare: there the same calls go by path.
"""
import contextlib
import functools
import os
import stat

FD_CALLS = (os.open in os.supports_dir_fd and os.rename in os.supports_dir_fd
            and hasattr(os, "O_NOFOLLOW") and hasattr(os, "O_DIRECTORY"))
_DIR_FLAGS = os.O_RDONLY | getattr(os, "O_DIRECTORY", 0) | getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0)
FOLLOWING_DIR_FLAGS = _DIR_FLAGS & ~getattr(os, "O_NOFOLLOW", 0)
NOFOLLOW = getattr(os, "O_NOFOLLOW", 0) | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0)


def naming(exc, path):
    """``exc`` naming ``path`` (calls with ``dir_fd`` name only the entry, or nothing)."""
    if isinstance(exc, OSError) and exc.errno is not None:
        return type(exc)(exc.errno, exc.strerror, path)
    return exc


class Dir:
    """An open directory: ``path`` is for messages only, ``fd`` for the calls (None on Windows)."""

    def __init__(self, path, fd):
        self.path = path
        self.fd = fd

    @classmethod
    def at(cls, path, follow=False):
        """The directory at ``path``; OSError when it is missing, a link (unless ``follow``: for
        a caller that judges what it opened by its owner) or no directory."""
        if not FD_CALLS:
            if not stat.S_ISDIR((os.stat if follow else os.lstat)(path).st_mode):
                raise NotADirectoryError(20, "Not a directory", path)
            return cls(path, None)
        try:
            return cls(path, os.open(path, FOLLOWING_DIR_FLAGS if follow else _DIR_FLAGS))
        except OSError as exc:
            raise naming(exc, path) from None

    def close(self):
        if self.fd is not None and self.fd >= 0:
            os.close(self.fd)
            # Closed, it answers no call (EBADF) rather than answer by path in its place: a path
            # would follow links the walk to it judged.
            self.fd = -1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def join(self, name):
        return os.path.join(self.path, name)

    def _at(self, name):
        """(name, dir_fd) for a call on the entry ``name``."""
        return (name, self.fd) if self.fd is not None else (self.join(name), None)

    def sub(self, name):
        """The directory ``name`` in this one; OSError when it is missing, a link or no directory."""
        if self.fd is None:
            return Dir.at(self.join(name))
        try:
            return Dir(self.join(name), os.open(name, _DIR_FLAGS, dir_fd=self.fd))
        except OSError as exc:
            raise naming(exc, self.join(name)) from None

    def stat(self):
        return os.fstat(self.fd) if self.fd is not None else os.stat(self.path)

    def lstat(self, name):
        """The entry ``name`` itself (a link is not followed); None when there is none."""
        entry, fd = self._at(name)
        try:
            return os.stat(entry, dir_fd=fd, follow_symlinks=False)
        except FileNotFoundError:
            return None

    def names(self):
        return os.listdir(self.fd if self.fd is not None else self.path)

    def open(self, name, flags, mode=0o666):
        """A descriptor of the file ``name`` (a link is not followed)."""
        entry, fd = self._at(name)
        try:
            return os.open(entry, flags | NOFOLLOW, mode, dir_fd=fd)
        except OSError as exc:
            raise naming(exc, self.join(name)) from None

    def _call(self, function, name, *args, **kwargs):
        entry, fd = self._at(name)
        try:
            return function(entry, *args, dir_fd=fd, **kwargs)
        except OSError as exc:
            raise naming(exc, self.join(name)) from None

    def unlink(self, name):
        self._call(os.unlink, name)

    def rmdir(self, name):
        self._call(os.rmdir, name)

    def mkdir(self, name, mode=0o777):
        self._call(os.mkdir, name, mode)

    def rename(self, name, to_dir, to_name):
        """Move the entry ``name`` (a link moves as a link) to ``to_name`` in ``to_dir``."""
        try:
            if self.fd is None:
                os.rename(self.join(name), to_dir.join(to_name))
            else:
                os.rename(name, to_name, src_dir_fd=self.fd, dst_dir_fd=to_dir.fd)
        except OSError as exc:
            raise naming(exc, self.join(name)) from None

    def chmod(self, mode):
        """Change the mode of this directory (the one opened, whatever its name leads to now)."""
        if self.fd is None:
            os.chmod(self.path, mode)
        else:
            os.fchmod(self.fd, mode)

    def fsync(self):
        if self.fd is not None:
            os.fsync(self.fd)
        elif os.name != "nt":  # directories cannot be opened for fsync on Windows
            fd = os.open(self.path, os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)


# Rule 5 of ``access``: whose entries the kit may finish, play back or remove.
def owners(directory):
    """The users whose entries in ``directory`` (a bundle path) are the kit's to finish or remove:
    its owner, the running user and root, and on a team's directory (its group may write it, others
    may not) the members of its group; None where there are no owners to compare (Windows)."""
    if not hasattr(os, "geteuid"):
        return None
    return _trusted_users(directory.stat())


def owners_at(path):
    """``owners`` of the bundle path ``path`` (followed if a link: it is the path the user named)."""
    if not hasattr(os, "geteuid"):
        return None
    return _trusted_users(os.stat(path))


def _trusted_users(info):
    users = {info.st_uid, os.geteuid(), 0}
    if info.st_mode & stat.S_IWGRP and not info.st_mode & stat.S_IWOTH:
        users |= group_members(info.st_gid)
    return users


@functools.lru_cache(maxsize=None)
def group_members(gid):
    """The users of group ``gid``: those it names and those whose own group it is."""
    import grp
    import pwd

    members = set()
    with contextlib.suppress(KeyError):
        for name in grp.getgrgid(gid).gr_mem:
            with contextlib.suppress(KeyError):
                members.add(pwd.getpwnam(name).pw_uid)
    members.update(entry.pw_uid for entry in pwd.getpwall() if entry.pw_gid == gid)
    return frozenset(members)


def trusted(info, users):
    return users is None or info.st_uid in users


def unsafe_place(path, kept=lambda name: True):
    """(the first of ``path``, the directories above it and those of its directories ``kept``
    names (and their own, as ``minbar/`` holds its categories) in which users the kit does not
    trust may rename what is not theirs; those users, EVERYONE for all), or None. There, whatever
    the kit looks at can be exchanged for another user's tree between one call and the next, and
    no care in the kit can make a swap or a recovery safe."""
    if not hasattr(os, "geteuid"):
        return None
    here = os.path.realpath(path)
    try:
        users = _trusted_users(os.stat(here))
    except OSError:  # not made yet: it will be the running user's
        users = {os.geteuid(), 0}
    above = [here]
    while os.path.dirname(above[-1]) != above[-1]:
        above.append(os.path.dirname(above[-1]))
    # Inside, a directory's owner is judged where the kit enters it (rule 8); here, who else may write.
    inside = [below for top in _directories_below(here, 1) if kept(os.path.basename(top))
              for below in [top] + _directories_below(top, 1)]
    for place in above + inside:
        with contextlib.suppress(OSError):
            info = os.lstat(place)
            renamers = _renamers(place, info)
            if renamers is not EVERYONE and place in inside:
                renamers -= {info.st_uid}
            if renamers is EVERYONE or not renamers <= users:
                return place, renamers if renamers is EVERYONE else renamers - users
    return None


EVERYONE = None


def _directories_below(path, depth):
    """The directories (not links) in ``path``, and in those, ``depth`` levels down."""
    if depth == 0:
        return []
    found = []
    with contextlib.suppress(OSError), os.scandir(path) as entries:
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                found += [entry.path] + _directories_below(entry.path, depth - 1)
    return sorted(found)


def _renamers(path, info):
    """Who may rename or remove entries of the directory ``path`` that are not theirs: its owner,
    and unless it has the sticky bit, whoever may write it (EVERYONE when others may)."""
    users = {info.st_uid, 0}
    if not stat.S_ISDIR(info.st_mode) or info.st_mode & stat.S_ISVTX:
        return users
    if info.st_mode & stat.S_IWOTH:
        return EVERYONE
    if info.st_mode & stat.S_IWGRP:
        users |= group_members(info.st_gid)
        # With an access ACL the group bits are its mask: named users and groups may write too.
        named_users, named_groups = _acl_writers(path)
        users |= named_users
        for gid in named_groups:
            users |= group_members(gid)
    return users


def _acl_writers(path):
    """(uids, gids) an access ACL of ``path`` names with write permission; empty without one."""
    import struct

    try:
        raw = os.getxattr(path, "system.posix_acl_access", follow_symlinks=False)
    except (OSError, AttributeError):
        return set(), set()
    uids, gids = set(), set()
    for offset in range(4, len(raw) - 7, 8):
        tag, perm, ident = struct.unpack_from("<HHI", raw, offset)
        if perm & 2 and tag == 0x02:
            uids.add(ident)
        elif perm & 2 and tag == 0x08:
            gids.add(ident)
    return uids, gids


def owner_name(uid):
    try:
        import pwd

        return pwd.getpwuid(uid).pw_name
    except (ImportError, KeyError):
        return str(uid)


def remove(parent, name, users=None):
    """Remove the entry ``name`` of ``parent`` and, when it is a directory, all it holds; returns
    whether it is gone. A link is removed, never followed. With ``users``, a directory owned by
    none of them is left alone (False). What cannot go (a file held open on Windows, another user's
    file) is left, and the next recovery retries: nothing is raised."""
    info = parent.lstat(name)
    if info is None:
        return True
    if not stat.S_ISDIR(info.st_mode):
        return _again_writable(parent, lambda: parent.unlink(name))
    try:
        child = parent.sub(name)
    except PermissionError:
        # A directory the swap copied a mode without read access onto: made readable, by the entry
        # itself (a link is refused, not followed), then opened again without following.
        with contextlib.suppress(OSError, ValueError, NotImplementedError):
            if parent.fd is not None:
                os.chmod(name, 0o700, dir_fd=parent.fd, follow_symlinks=False)
        try:
            child = parent.sub(name)
        except OSError:
            return False
    except OSError:
        return False  # no longer a directory of its own: a link or a file swapped in is not entered
    with child:
        if users is not None and child.stat().st_uid not in users:
            return False
        try:
            names = child.names()
        except OSError:
            names = []
        for entry in names:
            remove(child, entry)
    return _again_writable(parent, lambda: parent.rmdir(name))


def _again_writable(directory, removal):
    """Run ``removal`` of an entry of ``directory``; when refused, make the directory (the one
    opened: a read-only mode the swap copied onto it) writable and try once more."""
    try:
        removal()
        return True
    except FileNotFoundError:
        return True
    except PermissionError:
        pass
    except OSError:
        return False
    try:
        directory.chmod(0o700)
        removal()
        return True
    except FileNotFoundError:
        return True
    except OSError:
        return False


def fsync_tree(directory):
    """fsync every regular file and directory of the tree under ``directory``, links not followed."""
    if directory.fd is None:
        for dirpath, _dirnames, filenames in os.walk(directory.path):
            for name in filenames:
                path = os.path.join(dirpath, name)
                if not os.path.islink(path) and os.path.isfile(path):
                    with open(path, "rb") as f:
                        os.fsync(f.fileno())
            Dir(dirpath, None).fsync()
        return
    for _root, _dirs, files, fd in os.fwalk(".", dir_fd=directory.fd, follow_symlinks=False):
        for name in files:
            try:
                file = os.open(name, os.O_RDONLY | NOFOLLOW | getattr(os, "O_NONBLOCK", 0), dir_fd=fd)
            except OSError:
                continue  # a link, or no longer there
            try:
                if stat.S_ISREG(os.fstat(file).st_mode):
                    os.fsync(file)
            finally:
                os.close(file)
        os.fsync(fd)
