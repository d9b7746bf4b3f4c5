"""Collecting the output cache's garbage: the objects no kept receipt needs.

A step's execution receipt needs the objects of its outputs (a directory
output: its manifest and each of its files) and its inputs' chunk manifest.
Which receipts are kept: every one in the store, or, with ``max_age``, those
recorded within it, or, with ``max_size``, the newest ones whose objects fit
in that many bytes together (counted newest first, up to the first that does
not fit). An object some kept receipt needs is never removed; every other
one is, unless ``everything`` (which removes them all). Temporary files of a
write still going on (younger than an hour) are left alone.
"""

from __future__ import annotations

import base64
import binascii
import os
import time
from typing import List, Mapping, NamedTuple, Optional, Set

from ._step_receipts import recorded_order
from .cache import Cache
from .errors import CacheError
from .receipts import Receipt, ReceiptKind
from .stores import Store

__all__ = ["GcReport", "needed_objects", "gc"]

# A temporary file this young may belong to a write still going on.
_TEMP_GRACE_SEC = 3600.0


class GcReport(NamedTuple):
    """What a collection did (or, dry, would do): objects removed and their bytes, objects kept and theirs."""

    removed: int
    removed_bytes: int
    kept: int
    kept_bytes: int


def _manifest_object(receipt: Receipt) -> Optional[str]:
    text = receipt.payload.get("chunk_manifest_hash")
    if not isinstance(text, str):
        return None
    try:
        raw = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except (binascii.Error, ValueError):
        return None
    return raw.hex() if len(raw) == 32 else None


def needed_objects(receipt: Receipt, cache: Cache) -> Set[str]:
    """The objects (hex digests) a step's execution receipt needs: its outputs and its inputs' chunk manifest."""
    found: Set[str] = set()
    if receipt.kind is not ReceiptKind.EXECUTION:
        return found
    manifest = _manifest_object(receipt)
    if manifest is not None:
        found.add(manifest)
    attest = receipt.attest
    products = attest.get("products") if isinstance(attest, Mapping) and attest.get("status") == "succeeded" else None
    if isinstance(products, Mapping):
        for item in products.values():
            if isinstance(item, Mapping):
                try:
                    found.update(cache.needed_by(dict(item)))
                except CacheError:
                    continue
    return found


def _kept(store: Store, cache: Cache, max_size: Optional[int], max_age: Optional[float], now: float) -> Set[str]:
    receipts: List[Receipt] = sorted((r for r in store.iter() if r.kind is ReceiptKind.EXECUTION),
                                     key=recorded_order, reverse=True)
    keep: Set[str] = set()
    total = 0
    for receipt in receipts:
        when = receipt.ctx.time
        if max_age is not None and when is not None and when.timestamp() < now - max_age:
            continue
        fresh = needed_objects(receipt, cache) - keep
        size = sum(cache.size_of(d) or 0 for d in fresh)
        if max_size is not None and total + size > max_size:
            break
        keep |= fresh
        total += size
    return keep


def gc(store: Store, cache: Cache, *, max_size: Optional[int] = None, max_age: Optional[float] = None,
       everything: bool = False, dry_run: bool = False, now: Optional[float] = None) -> GcReport:
    """Remove the cache's objects that no kept receipt of ``store`` needs; ``max_age`` is in seconds.

    ``everything`` removes every object, needed or not. ``dry_run`` removes
    nothing and reports what would go.
    """
    if max_size is not None and max_size < 0:
        raise CacheError(f"max_size must not be negative, got {max_size}")
    if max_age is not None and max_age < 0:
        raise CacheError(f"max_age must not be negative, got {max_age}")
    clock = time.time() if now is None else now
    keep = set() if everything else _kept(store, cache, max_size, max_age, clock)
    removed = removed_bytes = kept = kept_bytes = 0
    for digest, path in cache.iter_objects():
        try:
            info = os.lstat(path)
        except FileNotFoundError:
            continue
        if digest in keep or (not digest and not everything and info.st_mtime > clock - _TEMP_GRACE_SEC):
            kept += 1
            kept_bytes += info.st_size
            continue
        if not dry_run:
            try:
                os.unlink(path)
            except FileNotFoundError:
                continue
        removed += 1
        removed_bytes += info.st_size
    return GcReport(removed, removed_bytes, kept, kept_bytes)
