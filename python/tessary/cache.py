"""The output cache: what steps wrote, kept as objects named by their SHA-256, and put back on reuse.

An object lives at ``<root>/objects/<2 hex>/<62 hex>``; ``<root>`` is a
directory store's own folder or a cache directory of its own (``cache=``,
``--cache``), which serves any store. Objects are written once, whole and
durably: into a temporary file beside the final name, synced, renamed into
place, the folder synced. Two writers of the same object each rename a
complete file, so one intact object is left whatever the order. Objects
are read-only files.

A restore puts an object at a path by a reflink (a copy-on-write clone,
where the file system has them), a hard link or a plain copy; whatever the
method, the bytes that would land are hashed and compared with the digest
asked for before they are renamed into place, so an object changed on disk
is reported (:class:`~tessary.CacheError`), never restored.
"""

from __future__ import annotations

import errno
import fcntl
import json
import os
import posixpath
from typing import Callable, Dict, Iterator, List, Optional, Tuple, Union

from ._sha import sha256, sha256_for
from ._ids import uuid4_hex
from ._canonical import jcs
from ._types import JSONValue
from .errors import CacheError

__all__ = ["Cache", "RESTORE_METHODS", "reflink_supported"]

#: The ways to put an object back: "auto" is a reflink where the file system clones, else a copy.
RESTORE_METHODS = ("auto", "reflink", "hardlink", "copy")

# ioctl(dest, FICLONE, src): share src's extents with dest (btrfs, XFS with reflink, bcachefs, ...).
_FICLONE = 0x40049409
_PIECE = 128 << 10
_TEMP = ".tmp-"
_HEX = frozenset("0123456789abcdef")

PathArg = Union[str, "os.PathLike[str]"]


def _check_hex(digest: str) -> str:
    text = digest[len("sha256:"):] if digest.startswith("sha256:") else digest
    if len(text) != 64 or not _HEX.issuperset(text):
        raise CacheError(f"not a SHA-256 digest: {digest!r}")
    return text


def _sync_dir(path: str) -> None:
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _clone(src_fd: int, dst_fd: int) -> bool:
    """Clone src into dst (both open); False where the file system cannot."""
    try:
        fcntl.ioctl(dst_fd, _FICLONE, src_fd)
        return True
    except OSError as e:
        if e.errno in (errno.EOPNOTSUPP, errno.ENOTTY, errno.EXDEV, errno.EINVAL, errno.ENOSYS, errno.EPERM):
            return False
        raise


def _write_all(fd: int, view: memoryview) -> None:
    while view:
        view = view[os.write(fd, view):]


def _copy(src_fd: int, dst_fd: Optional[int]) -> str:
    """Read src to its end, writing it to dst (when given); the SHA-256 (hex) of what was read.

    The buffer is small enough to stay in the processor's cache between the
    read, the hash and the write: with pieces of some MiB a copy ran three
    to four times slower.
    """
    sha = sha256_for(os.fstat(src_fd).st_size)
    buffer = bytearray(_PIECE)
    view = memoryview(buffer)
    while True:
        n = os.readv(src_fd, [buffer])
        if not n:
            return sha.hexdigest()
        sha.update(view[:n])
        if dst_fd is not None:
            _write_all(dst_fd, view[:n])


def _hash_fd(fd: int) -> str:
    os.lseek(fd, 0, os.SEEK_SET)
    return _copy(fd, None)


def _hash_file(path: str) -> str:
    fd = os.open(path, os.O_RDONLY)
    try:
        return _hash_fd(fd)
    finally:
        os.close(fd)


def reflink_supported(directory: PathArg) -> bool:
    """Whether files in ``directory`` can be cloned (tried on two scratch files, removed again)."""
    base = os.path.join(os.fspath(directory), f"{_TEMP}probe-{uuid4_hex()}")
    try:
        with open(base + "-a", "w+b") as a, open(base + "-b", "wb") as b:
            a.write(b"x")
            a.flush()
            return _clone(a.fileno(), b.fileno())
    finally:
        for suffix in ("-a", "-b"):
            try:
                os.unlink(base + suffix)
            except FileNotFoundError:
                pass


def _fill(temp: str, source: str, method: str) -> Tuple[str, str]:
    """Make ``temp`` hold ``source``'s bytes by ``method``; the method used and the digest of ``temp``'s bytes."""
    if method == "hardlink":
        digest = _hash_file(source)
        os.link(source, temp)
        return "hardlink", digest
    src = os.open(source, os.O_RDONLY)
    try:
        dst = os.open(temp, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
        try:
            if method in ("auto", "reflink") and _clone(src, dst):
                # The clone is hashed itself: what the restored file holds, not what the object held.
                return "reflink", _hash_fd(dst)
            if method == "reflink":
                raise CacheError(f"{os.path.dirname(temp) or '.'}: this file system cannot clone files (reflink); "
                                 "restore by copy or hardlink")
            return "copy", _copy(src, dst)
        finally:
            os.close(dst)
    finally:
        os.close(src)


class Cache:
    """Objects named by their SHA-256 under ``<root>/objects``: put files and bytes in, restore them out."""

    def __init__(self, root: PathArg) -> None:
        self.root = os.fspath(root)
        self.objects = os.path.join(self.root, "objects")

    def __repr__(self) -> str:
        return f"Cache({self.root!r})"

    def path_of(self, digest: str) -> str:
        """Where the object of ``digest`` (hex, or ``sha256:`` and hex) lives."""
        hexdigest = _check_hex(digest)
        return os.path.join(self.objects, hexdigest[:2], hexdigest[2:])

    def has(self, digest: str) -> bool:
        return os.path.isfile(self.path_of(digest))

    def size_of(self, digest: str) -> Optional[int]:
        try:
            return os.stat(self.path_of(digest)).st_size
        except FileNotFoundError:
            return None

    def intact(self, digest: str) -> bool:
        """Whether the object is present and its bytes still have its digest."""
        try:
            return _hash_file(self.path_of(digest)) == _check_hex(digest)
        except FileNotFoundError:
            return False

    def _folder(self, final: str) -> str:
        folder = os.path.dirname(final)
        if not os.path.isdir(folder):
            os.makedirs(folder, exist_ok=True)
            _sync_dir(os.path.dirname(folder))
        return folder

    def _commit(self, temp: str, final: str, folder: str) -> None:
        os.chmod(temp, 0o444)
        os.replace(temp, final)
        _sync_dir(folder)

    def _write(self, hexdigest: str, fill: Callable[[int], bool]) -> bool:
        """Write an object through ``fill`` (given the open temporary file); kept only when it returns True."""
        final = self.path_of(hexdigest)
        folder = self._folder(final)
        temp = os.path.join(folder, f"{_TEMP}{uuid4_hex()}")
        try:
            fd = os.open(temp, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
            try:
                kept = fill(fd)
                if kept:
                    os.fsync(fd)
            finally:
                os.close(fd)
            if kept:
                self._commit(temp, final, folder)
            return kept
        finally:
            if os.path.lexists(temp):
                os.unlink(temp)

    def put_file(self, path: PathArg, digest: str) -> bool:
        """Keep the file at ``path`` as the object ``digest``; False when its bytes no longer have that digest."""
        hexdigest = _check_hex(digest)
        if self.intact(hexdigest):
            return True
        src = os.open(os.fspath(path), os.O_RDONLY)
        try:
            return self._write(hexdigest, lambda fd: (_hash_fd(fd) if _clone(src, fd) else _copy(src, fd)) == hexdigest)
        finally:
            os.close(src)

    def put_bytes(self, data: bytes) -> str:
        """Keep ``data`` as an object; its digest (hex)."""
        hexdigest = sha256(data).hexdigest()

        def fill(fd: int) -> bool:
            _write_all(fd, memoryview(data))
            return True

        if not self.intact(hexdigest):
            self._write(hexdigest, fill)
        return hexdigest

    def read_bytes(self, digest: str) -> bytes:
        """The object's bytes, checked against its digest."""
        hexdigest = _check_hex(digest)
        try:
            with open(self.path_of(hexdigest), "rb") as f:
                data = f.read()
        except FileNotFoundError:
            raise CacheError(f"object {hexdigest} is not in the cache {self.root}") from None
        if sha256(data).hexdigest() != hexdigest:
            raise CacheError(f"object {hexdigest} in {self.root} was changed on disk: not restored")
        return data

    def restore_file(self, digest: str, dest: PathArg, method: str = "auto") -> str:
        """Put the object at ``dest`` (replacing what is there) after checking its bytes; the method used."""
        if method not in RESTORE_METHODS:
            raise CacheError(f"unknown restore method {method!r}: one of {', '.join(RESTORE_METHODS)}")
        hexdigest = _check_hex(digest)
        source = self.path_of(hexdigest)
        if not os.path.isfile(source):
            raise CacheError(f"object {hexdigest} is not in the cache {self.root}")
        target = os.fspath(dest)
        folder = os.path.dirname(target) or "."
        os.makedirs(folder, exist_ok=True)
        temp = os.path.join(folder, f".{os.path.basename(target)}{_TEMP}{uuid4_hex()}")
        try:
            try:
                used, got = _fill(temp, source, method)
            except OSError as e:
                raise CacheError(f"cannot restore {target} by {method}: {e.strerror or e}") from None
            if got != hexdigest:
                raise CacheError(f"object {hexdigest} in {self.root} was changed on disk: not restored")
            os.replace(temp, target)
            return used
        finally:
            if os.path.lexists(temp):
                os.unlink(temp)

    # -- step outputs: files, directories (a manifest object and its files) and buffers --------------

    def put_directory(self, path: PathArg, digest: str, entries: List[Dict[str, JSONValue]]) -> bool:
        """Keep a directory output: each file of its manifest, then the manifest itself."""
        manifest = jcs({"kind": "directory", "entries": entries})
        if sha256(manifest).hexdigest() != _check_hex(digest):
            return False
        for entry in entries:
            if entry.get("type") == "file" and not self.put_file(os.path.join(os.fspath(path), str(entry["path"])),
                                                                 str(entry["sha256"])):
                return False
        self.put_bytes(manifest)
        return True

    def directory_entries(self, digest: str) -> List[Dict[str, JSONValue]]:
        """The entries of a directory output's manifest object, checked; CacheError when it is not one."""
        try:
            document = json.loads(self.read_bytes(digest))
            entries = document["entries"]
            if document.get("kind") != "directory" or not isinstance(entries, list):
                raise ValueError("not a directory manifest")
        except (ValueError, KeyError, TypeError, AttributeError) as e:
            raise CacheError(f"object {_check_hex(digest)} is not a directory manifest: {e}") from None
        for entry in entries:
            where = entry.get("path") if isinstance(entry, dict) else None
            parts = str(where).split("/")
            if not isinstance(where, str) or posixpath.isabs(where) or ".." in parts or "" in parts:
                raise CacheError(f"object {_check_hex(digest)} names an unsafe path {where!r}")
        return entries

    def restore_directory(self, digest: str, dest: PathArg, method: str = "auto") -> str:
        """Put a directory output back at ``dest``: its files from their objects, its links re-made."""
        entries = self.directory_entries(digest)
        missing = [e["sha256"] for e in entries if e.get("type") == "file" and not self.has(str(e["sha256"]))]
        if missing:
            raise CacheError(f"object {missing[0]} of directory {_check_hex(digest)} is not in the cache")
        target = os.fspath(dest)
        used = "copy"
        for entry in entries:
            place = os.path.join(target, *str(entry["path"]).split("/"))
            if entry.get("type") == "link":
                os.makedirs(os.path.dirname(place), exist_ok=True)
                if os.path.lexists(place):
                    os.unlink(place)
                os.symlink(str(entry["target"]), place)
            else:
                used = self.restore_file(str(entry["sha256"]), place, method)
        os.makedirs(target, exist_ok=True)
        return used

    def has_output(self, described: Dict[str, JSONValue]) -> bool:
        """Whether every object an output (as a receipt describes it) needs is in the cache."""
        digest = str(described.get("sha256"))
        if described.get("type") != "directory":
            return self.has(digest)
        try:
            entries = self.directory_entries(digest)
        except CacheError:
            return False
        return all(self.has(str(e["sha256"])) for e in entries if e.get("type") == "file")

    def needed_by(self, described: Dict[str, JSONValue]) -> Iterator[str]:
        """The objects (hex) an output needs: itself, and a directory's files when its manifest is at hand."""
        digest = str(described.get("sha256"))
        yield _check_hex(digest)
        if described.get("type") == "directory" and self.has(digest):
            try:
                entries = self.directory_entries(digest)
            except CacheError:
                return
            for entry in entries:
                if entry.get("type") == "file":
                    yield _check_hex(str(entry["sha256"]))

    def iter_objects(self) -> Iterator[Tuple[str, str]]:
        """Every file under ``objects/``: (hex digest, or "" for a leftover temporary file, path)."""
        try:
            folders = sorted(os.listdir(self.objects))
        except FileNotFoundError:
            return
        for folder in folders:
            inner = os.path.join(self.objects, folder)
            if not os.path.isdir(inner):
                continue
            for name in sorted(os.listdir(inner)):
                digest = folder + name
                yield (digest if len(digest) == 64 and _HEX.issuperset(digest) else ""), os.path.join(inner, name)
