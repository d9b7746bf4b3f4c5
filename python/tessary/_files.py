"""Writing files so that a crash leaves either the old bytes or the new ones, never a torn file.

Keys and signed receipts are written through here: a reader must never see
half a key, and a key file must never be readable by others, even for a moment.
"""

from __future__ import annotations

import os
from typing import Optional

__all__ = ["create_file", "replace_file"]

_NEW_FILE = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_NOFOLLOW", 0)


def _write_synced(path: str, data: bytes, mode: Optional[int]) -> None:
    """Create ``path`` (it must not exist) holding ``data``, on disk before this returns.

    With ``mode`` the file is created with it, and the umask may not narrow
    it; without, it gets the usual ``0o666`` less the umask.
    """
    fd = os.open(path, _NEW_FILE, 0o666 if mode is None else mode)
    try:
        if mode is not None:
            # The umask may have narrowed the mode; it can never have widened it.
            os.fchmod(fd, mode)
        with os.fdopen(fd, "wb", closefd=True) as f:
            fd = -1
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
    except BaseException:
        if fd >= 0:
            os.close(fd)
        _remove(path)
        raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _sync_directory(directory: str) -> None:
    """Make a rename in ``directory`` durable; a system that cannot open directories has nothing to sync."""
    try:
        fd = os.open(directory, os.O_RDONLY | getattr(os, "O_DIRECTORY", 0))
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def create_file(path: str, data: bytes, mode: int) -> None:
    """Write a new file created with ``mode``; an existing file is refused (FileExistsError)."""
    _write_synced(path, data, mode)
    _sync_directory(os.path.dirname(path) or ".")


def replace_file(path: str, data: bytes, mode: Optional[int] = None) -> None:
    """Put ``data`` in ``path`` at once: written to a new file beside it, synced, then renamed over it.

    ``mode`` defaults to the mode of the file replaced, if there is one.
    """
    directory = os.path.dirname(path) or "."
    temporary = os.path.join(directory, f".{os.path.basename(path)}.{os.getpid()}.tmp")
    if mode is None:
        try:
            mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            pass
    _write_synced(temporary, data, mode)
    try:
        os.replace(temporary, path)
    except BaseException:
        _remove(temporary)
        raise
    _sync_directory(directory)
