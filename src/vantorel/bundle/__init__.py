"""The bundle on disk: its files and what keeps them whole (the lock, the journal, staged swaps,
walks that never follow a link)."""
