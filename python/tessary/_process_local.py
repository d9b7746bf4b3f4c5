"""What each process opens for itself: stores that came through pickling, and what a forked child inherited.

A store sent to another process (a task of a worker, a pool's job) arrives
as its address and is opened there once, then shared by everything in that
process that receives the same address. A child made by ``fork`` inherits
its parent's open connections as copies of the same sockets: using or
closing them would talk over the parent's sessions. The child sets them
aside, never touching them again, and opens its own.
"""

from __future__ import annotations

import os
import threading
from typing import Any, Callable, Dict, Hashable, List, TypeVar

__all__ = ["shared", "set_aside", "process_lock"]

_T = TypeVar("_T")

_opened: Dict[Hashable, Any] = {}
# Kept referenced for the life of the process, so that no finaliser closes what the parent still uses.
_inherited: List[Any] = []
_lock = threading.RLock()


def _after_fork_in_child() -> None:
    global _lock
    _lock = threading.RLock()  # another thread may have held it at the fork
    _inherited.extend(_opened.values())
    _opened.clear()


os.register_at_fork(after_in_child=_after_fork_in_child)


def shared(key: Hashable, open_one: Callable[[], _T], usable: Callable[[_T], bool]) -> _T:
    """This process's object for ``key``: opened by ``open_one`` on first use, or again once no longer usable."""
    with _lock:
        found = _opened.get(key)
        if found is None or not usable(found):
            found = _opened[key] = open_one()
        return found


def process_lock() -> "threading.RLock":
    """The lock under which a forked child swaps what it inherited for its own (reentrant)."""
    return _lock


def set_aside(inherited: Any) -> None:
    """Keep what a forked child inherited out of reach of finalisers, unused, for the life of the process."""
    with _lock:
        _inherited.append(inherited)
