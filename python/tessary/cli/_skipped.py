"""The entries of a directory store that a command's read passed over: one line each on standard error, counted.

A bad entry never stops a command that lists, copies or audits a store; it is
named, the command goes on, and the exit code says that something was left out.
"""

from __future__ import annotations

import os
import sys
from typing import Any, Dict

from ..inputs import display_name
from ..stores import DirectoryStore, SkippedEntry, Store

__all__ = ["SkipReporter"]


class SkipReporter:
    """An ``on_skip`` callable that prints ``skipped <file>: <reason>`` and counts the entries."""

    __slots__ = ("count", "_store")

    def __init__(self, store: Store) -> None:
        self.count = 0
        self._store = store

    def __call__(self, entry: SkippedEntry) -> None:
        self.count += 1
        where = entry.name
        if isinstance(self._store, DirectoryStore):
            where = os.path.join(self._store.path, "receipts", entry.name)
        sys.stderr.write(f"skipped {display_name(where)}: {entry.reason}\n")

    def options(self) -> Dict[str, Any]:
        """The keywords that hand this reporter to the store's read; none for a store that skips nothing."""
        return {"on_skip": self} if isinstance(self._store, DirectoryStore) else {}
