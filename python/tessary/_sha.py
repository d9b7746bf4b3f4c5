"""SHA-256 without paying for hashlib's start-up where the data is small.

``import hashlib`` loads OpenSSL's shared library, a few milliseconds of a
short command's start. CPython's own SHA-256 module loads at once and is as
fast for the short texts commitments hash; long data still goes through
hashlib, whose OpenSSL code uses the CPU's SHA instructions.
"""

from typing import Any, Callable, Optional, Protocol

__all__ = ["SMALL", "Hash", "sha256", "sha256_for"]


class Hash(Protocol):
    """What both SHA-256 implementations offer."""

    def update(self, __data: Any) -> None: ...

    def digest(self) -> bytes: ...

    def hexdigest(self) -> str: ...

#: Data up to this many bytes is hashed by CPython's own module.
SMALL = 1 << 16


def _builtin() -> Optional[Callable[[], Hash]]:
    for module, name in (("_sha2", "sha256"), ("_sha256", "sha256")):  # 3.12 and later; before 3.12
        try:
            found: Callable[[], Hash] = getattr(__import__(module), name)
            return found
        except (ImportError, AttributeError):
            continue
    return None


_SMALL_HASH = _builtin()


def sha256_for(size: int) -> Hash:
    """A new, empty SHA-256 object suited to about ``size`` bytes of data."""
    if size <= SMALL and _SMALL_HASH is not None:
        return _SMALL_HASH()
    import hashlib

    hasher: Hash = hashlib.sha256()
    return hasher


def sha256(data: Any = b"") -> Hash:
    """A SHA-256 object that has hashed ``data``; ``sha256(data).hexdigest()`` as hashlib gives it."""
    hasher = sha256_for(len(data))
    hasher.update(data)
    return hasher
