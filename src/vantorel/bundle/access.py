"""Touching a bundle path: ``reading`` takes the layout lock shared after recovery; ``updating``
takes the writer lock, and its holder recovers (``staging.recover``) before it changes anything.

The rules every part of the kit keeps, numbered as the code names them where it enforces them:

1. After any crash, every bundle file is byte for byte the old file or the new one, never a mix:
   a whole file is written to a temporary name in its own directory and renamed into place
   (``writing``), a file changed in place is journaled first (``overlay``), and layout directories
   are swapped in from a complete staged tree (``staging``).
2. Writers exclude writers: a second writer is refused at once, never made to wait. Readers are
   never refused because a writer works: they wait only for a swap (the layout lock, bounded) and
   for the commit of the one file they open (its file lock) (``locks``).
3. Before anything reads or writes a bundle path, recovery finishes or undoes a swap a killed
   process left half done and plays back every journal that waits, under the layout lock held
   exclusively and never while a writer is at work, whose journals are its commits in progress
   (``reading``, ``updating``, ``staging.recover``).
4. A reader never sees half a swap or half an append: a file whose journal cannot be played back
   yet, or whose journal a writer killed since the read began left, is refused by name, and the
   rest of the bundle is read (``journal.held_reason``, ``journal.orphaned``).
5. Only staging trees, ready trees, journal directories and journals of the bundle path's owner,
   of the running user or of root are finished, played back or removed; entries of others are
   named once and left alone, and nothing is followed through a link (``nofollow.owners``).
6. A journal is played back only into the file it was made of (the same device and inode), through
   a link only in the bundle path it was written under, and only into a file of the journal's
   writer or by the writer's own hand: its bytes are the writer's to choose (``journal``).
7. A journal is dropped only when its own bytes show it was cut short, and only after recovery
   has made sure the file it guarded was not yet touched (``journal``).
8. No file or directory of a user outside those of rule 5 is read, appended to, written into or
   swapped; the kit refuses, naming it and its owner (``places.refuse_foreign``, ``hdf5``). Nor is
   anything at a bundle file's name that is not a regular file: a pipe is refused, never waited on
   (``places.open_in_bundle``). Every file is reached from the bundle path one level at a time by
   descriptor, following a link only when one of those users made it (``places.reach_directory``).
9. Nothing is written or recovered in a bundle path where a user outside those of rule 5 may rename
   what is not theirs: in it, in a directory above it or in the kit's directories in it, by the
   mode (writable by others without the sticky bit), by owning a directory, or through an ACL.
   There any name can be exchanged for another user's tree between two calls
   (``staging.refuse_unsafe_place``).

The journal on disk. One file a change, ``<16 hex digits>.journal`` in ``<bundle path>/.vantorel.journal/``:

- the line ``vantorel rollback journal 1``;
- one line of JSON: ``path`` (the file, relative to the bundle path), ``old_length`` (its length
  before the change), ``ranges`` (``[offset, length]`` pairs, ascending, of the bytes the change
  overwrites or cuts off), ``device`` and ``inode`` (of the file), and ``bundle`` (``device`` and
  ``inode`` of the bundle path it was written under);
- the old bytes of each range, in the order of ``ranges``;
- the SHA-256 (32 bytes) of everything before it.

It is fsynced, and so is its directory, before the file changes; removing it is the commit point.
"""
import contextlib

from vantorel.bundle import journal, locks, staging


@contextlib.contextmanager
def reading(bundle_path):
    """Hold ``bundle_path`` for reading (the layout lock shared), after finishing what a killed
    process left half done; yields the resolved path. An update at work refuses no reader: its
    journals are its changes in progress, which each file's lock keeps readers out of
    (``hdf5.open_file``); only a swap makes a reader wait, up to ``locks.swap_wait()`` seconds.
    A file whose journal is kept for now is refused by the readers (``journal.held_reason``)."""
    path = locks.resolve(bundle_path)
    if locks.holding(path):  # a read within a read (or a write) of this process: recovered already
        with locks.bundle_lock(path, exclusive=False) as held:
            yield held
        return
    for _attempt in range(3):
        # The journals of an update at work are its changes in progress, which each file's lock
        # keeps readers out of: a reader goes on beside it, rather than wait for the layout lock
        # alone, which other readers' shared holds could keep from it for as long as they read.
        if staging.needs_recovery(path) and not (locks.writer_active(path) and not staging.half_swapped(path)):
            with locks.bundle_lock(path, exclusive=True, wait=True):
                # Checked under the layout lock: a writer that starts now recovers under it first.
                if not locks.writer_active(path):
                    staging.recover_locked(path, writing=False)
        with locks.bundle_lock(path, exclusive=False, wait=True) as held:
            half_done, found, others = staging.state(path)
            # A swap that died between the two locks would leave its trees for the next round.
            if not half_done or (not staging.half_swapped(path) and locks.writer_active(path)):
                journal.publish(path, found.held)
                staging.tell_others(path, others + found.others)
                for why in found.held.values():
                    if (path, why) not in staging.told:
                        staging.told.add((path, why))
                        staging.tell([why])
                yield held
                return
    raise locks.BusyError(f"{path} 正被反复写入；请等写入结束后再试")


@contextlib.contextmanager
def updating(bundle_path):
    """Hold the bundle path's writer lock, or raise BusyError at once when another process has it;
    the journal directory an update leaves empty is removed when it is released."""
    with locks.writer_lock(bundle_path) as path:
        try:
            yield path
        finally:
            journal.tidy(path)
