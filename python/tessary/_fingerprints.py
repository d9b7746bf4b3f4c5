"""Fingerprints of what a step reads and writes: files, directories and buffers, each read once.

A file is read in one pass that feeds both SHA-256 and the data shape hasher,
so its digest, size, data shape and chunks all come from the same bytes. A
directory is a manifest of its files in POSIX path order (by bytes), links
recorded by their target text and never followed. What is refused (a FIFO,
a device, a dangling link, a loop) is refused before a byte is read, by
:func:`tessary.inputs.open_file`'s rules, with one line naming the path.
"""

from __future__ import annotations

import errno
import os
import stat
from typing import TYPE_CHECKING, Any, Dict, List, NamedTuple, Optional, Sequence, Set, Tuple

if TYPE_CHECKING:
    import pathspec

from ._sha import sha256, sha256_for
from ._canonical import jcs
from ._types import JSONValue
from .errors import InputError
from .inputs import display_name, open_file
from .shapes import Chunk, DataShapeHasher, data_shape

__all__ = ["DEFAULT_EXCLUDES", "Item", "fingerprint_path", "fingerprint_buffer", "chunk_manifest"]

#: Left out of every directory manifest unless other excludes are given.
DEFAULT_EXCLUDES: Tuple[str, ...] = (".git/", "__pycache__/", "*.pyc", ".tessary/")

_PIECE = 4 << 20
_NO_BOUND = 2**63 - 1


class Item(NamedTuple):
    """One input or output: its kind, SHA-256 (hex), size in bytes, data shape, chunks, and a directory's manifest."""

    type: str
    sha256: str
    size: int
    data_shape: str
    chunks: Tuple[Chunk, ...]
    entries: Optional[Tuple[Dict[str, JSONValue], ...]] = None

    @property
    def digest(self) -> str:
        return "sha256:" + self.sha256

    def describe(self) -> Dict[str, JSONValue]:
        """The item as receipts name it: type, sha256, size, data_shape."""
        return {"type": self.type, "sha256": self.sha256, "size": self.size, "data_shape": self.data_shape}


def _refusal(path: str, error: OSError) -> InputError:
    where = display_name(path)
    if error.errno == errno.ELOOP:
        return InputError(where, "a loop of symbolic links")
    if os.path.islink(path) and not os.path.exists(path):
        return InputError(where, f"a dangling symbolic link (to {display_name(os.readlink(path))})")
    return InputError(where, error.strerror or str(error))


def _helpers() -> Any:
    from concurrent.futures import ThreadPoolExecutor  # slow to import: only a large file needs it

    return ThreadPoolExecutor(2)


def _read_into(f: Any, view: memoryview, where: str) -> int:
    try:
        n: int = f.readinto(view)
    except OSError as e:
        raise InputError(where, e.strerror or str(e)) from None
    return n


def _read_file(path: str) -> Item:
    where = display_name(path)
    hasher = DataShapeHasher(chunks=True)
    size = 0
    with open_file(path, kind="step input", limit=_NO_BOUND) as f:
        expected = os.fstat(f.fileno()).st_size
        sha = sha256_for(expected)
        # A small file gets a small buffer: zeroing a whole piece costs more than reading it.
        width = min(_PIECE, expected + 1)
        views = [memoryview(bytearray(width)) for _ in range(2 if expected > _PIECE else 1)]
        # Every call below releases the interpreter lock. For a large file, while the data shape
        # hashes one piece, helpers take its SHA-256 and read the next piece into the other buffer.
        helpers = _helpers() if len(views) == 2 else None
        try:
            turn = 0
            n = _read_into(f, views[0], where)
            while n:
                piece = views[turn][:n]
                size += n
                if helpers is None:
                    sha.update(piece)
                    hasher.update(piece)
                    n = _read_into(f, views[0], where)
                    continue
                beside = helpers.submit(sha.update, piece)
                ahead = helpers.submit(_read_into, f, views[1 - turn], where)
                hasher.update(piece)
                beside.result()
                n = ahead.result()
                turn = 1 - turn
        finally:
            if helpers is not None:
                helpers.shutdown(wait=True)  # no helper may still use a buffer or the file
    shape = hasher.shape()
    return Item("file", sha.hexdigest(), size, shape.hash, shape.chunks or ())


def fingerprint_buffer(data: bytes) -> Item:
    """A value's bytes (a buffer argument, an encoded result) as an item."""
    shape = data_shape(data, chunks=True)
    return Item("buffer", sha256(data).hexdigest(), len(data), shape.hash, shape.chunks or ())


def _utf8(text: str, where: str) -> str:
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise InputError(where, "a name that is not UTF-8 cannot be recorded") from None
    return text


class _Walk:
    """One directory's manifest entries, collected depth first and sorted at the end."""

    def __init__(self, root: str, excludes: pathspec.GitIgnoreSpec) -> None:
        self.root = root
        self.excludes = excludes
        self.seen: Set[Tuple[int, int]] = set()
        self.entries: List[Tuple[bytes, Dict[str, JSONValue], Optional[Item]]] = []

    def visit(self, directory: str, rel: str) -> None:
        info = os.stat(directory)
        if (info.st_dev, info.st_ino) in self.seen:
            raise InputError(display_name(directory), "a directory loop (a directory inside itself)")
        self.seen.add((info.st_dev, info.st_ino))
        with os.scandir(directory) as listing:
            found = list(listing)
        for entry in found:
            name = rel + entry.name
            where = display_name(entry.path)
            _utf8(name, where)
            if entry.is_symlink():
                target = _utf8(os.readlink(entry.path), where)
                if not self.excludes.match_file(name):
                    self.entries.append((os.fsencode(name), {"path": name, "type": "link", "target": target}, None))
            elif entry.is_dir(follow_symlinks=False):
                if not self.excludes.match_file(name + "/"):
                    self.visit(entry.path, name + "/")
            elif self.excludes.match_file(name):
                continue
            elif entry.is_file(follow_symlinks=False):
                item = _read_file(entry.path)
                described = dict(item.describe(), path=name)
                self.entries.append((os.fsencode(name), described, item))
            else:
                mode = entry.stat(follow_symlinks=False).st_mode
                kind = "a FIFO" if stat.S_ISFIFO(mode) else "a socket" if stat.S_ISSOCK(mode) else "a device"
                raise InputError(where, f"not a regular file ({kind})")


def _directory(path: str, excludes: Sequence[str]) -> Item:
    import pathspec  # slow to import: only a directory needs it

    walk = _Walk(path, pathspec.GitIgnoreSpec.from_lines(excludes))
    try:
        walk.visit(path, "")
    except InputError:
        raise
    except OSError as e:
        raise InputError(display_name(e.filename or path), e.strerror or str(e)) from None
    walk.entries.sort(key=lambda entry: entry[0])
    entries = tuple(described for _, described, _ in walk.entries)
    manifest = jcs({"kind": "directory", "entries": list(entries)})
    chunks: List[Chunk] = []
    size = 0
    for _, _, item in walk.entries:
        if item is not None:
            chunks.extend(item.chunks)
            size += item.size
    shape = data_shape(manifest)
    return Item("directory", sha256(manifest).hexdigest(), size, shape.hash, tuple(chunks), entries)


def fingerprint_path(path: "os.PathLike[str] | str", excludes: Optional[Sequence[str]] = None) -> Item:
    """A file or directory named by the user, links at the top followed, within the package's input rules."""
    text = os.fspath(path)
    try:
        info = os.stat(text)
    except OSError as e:
        raise _refusal(text, e) from None
    if stat.S_ISDIR(info.st_mode):
        return _directory(text, DEFAULT_EXCLUDES if excludes is None else tuple(excludes))
    return _read_file(text)


def chunk_manifest(items: Sequence[Item]) -> bytes:
    """The inputs' chunks in order, each as its 32-byte digest then its length as 8 bytes big-endian."""
    return b"".join(chunk.digest + chunk.length.to_bytes(8, "big") for item in items for chunk in item.chunks)
