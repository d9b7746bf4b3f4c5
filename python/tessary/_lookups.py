"""What a lookup of step receipts matches, shared by every store so that all of them answer alike.

A step's execution receipt is found by a digest it vouches for (its output
digest, or one of its products' SHA-256) when the step succeeded, and by its
method shape root together with its input commitment whatever its outcome.
A database store keeps these keys in indexed columns; the directory store
matches them receipt by receipt while it scans.
"""

from __future__ import annotations

import re
from datetime import datetime, timezone
from typing import Iterable, List, Mapping, Optional, Set, Tuple

from .errors import StepError
from .receipts import Receipt, ReceiptKind, payload_head

__all__ = ["SUCCEEDED", "digest_key", "product_digests", "recorded_order", "newest_first", "output_keys", "method_keys",
           "check_method_args", "scan_by_output_digest", "scan_by_method", "text_needles", "may_vouch_for"]

#: A step's status when it succeeded: only such a step vouches for its outputs.
SUCCEEDED = "succeeded"

_DIGEST = re.compile(r"sha256:[0-9a-f]{64}")
_NEVER = datetime.min.replace(tzinfo=timezone.utc)


def digest_key(digest: str) -> str:
    """``sha256:HEX`` for a SHA-256 given with or without its prefix, in any case."""
    if not isinstance(digest, str):
        raise TypeError(f"a digest must be a str, not {type(digest).__name__}")
    text = digest.strip().lower()
    key = text if text.startswith("sha256:") else "sha256:" + text
    if not _DIGEST.fullmatch(key):
        raise StepError(f"not a SHA-256 digest (64 hex digits, optionally after sha256:): {digest!r}")
    return key


def product_digests(receipt: Receipt) -> Set[str]:
    """The digests ("sha256:...") a successful step receipt vouches for: its output digest and each product's."""
    attest = receipt.attest
    if not isinstance(attest, Mapping) or attest.get("status") != SUCCEEDED:
        return set()
    found = {receipt.payload.get("output_digest")}
    products = attest.get("products")
    if isinstance(products, Mapping):
        found.update("sha256:" + str(p.get("sha256")) for p in products.values() if isinstance(p, Mapping))
    return {d for d in found if isinstance(d, str)}


def recorded_order(receipt: Receipt) -> Tuple[datetime, str]:
    """A sort key for receipts by time recorded, then identifier; an unreadable time sorts first."""
    return receipt.ctx.time or _NEVER, receipt.rid


def newest_first(receipts: Iterable[Receipt]) -> List[Receipt]:
    return sorted(receipts, key=recorded_order, reverse=True)


def output_keys(receipt: Receipt) -> List[str]:
    """The digests a lookup by output can find the receipt under, sorted.

    Only well-formed ``sha256:`` + lower-case hex: a lookup asks for nothing
    else (see :func:`digest_key`), so any other text could never match.
    """
    if receipt.kind is not ReceiptKind.EXECUTION:
        return []
    return sorted(d for d in product_digests(receipt) if _DIGEST.fullmatch(d))


def method_keys(receipt: Receipt) -> Optional[Tuple[str, str]]:
    """The method shape root and input commitment of an execution receipt, or None when it lacks either."""
    if receipt.kind is not ReceiptKind.EXECUTION:
        return None
    payload = payload_head(receipt)
    ref = payload.get("method_ref")
    root = ref.get("method_shape_root") if isinstance(ref, Mapping) else None
    inputs = payload.get("data_shape_hash")
    if isinstance(root, str) and isinstance(inputs, str):
        return root, inputs
    return None


def scan_by_output_digest(receipts: Iterable[Receipt], digest: str) -> List[Receipt]:
    """The receipts among ``receipts`` found by the output ``digest``, newest first."""
    wanted = digest_key(digest)
    return newest_first(r for r in receipts if wanted in output_keys(r))


def scan_by_method(receipts: Iterable[Receipt], method_root: str, input_commitment: str) -> List[Receipt]:
    """The receipts among ``receipts`` of one method shape over one input commitment, newest first."""
    wanted = check_method_args(method_root, input_commitment)
    return newest_first(r for r in receipts if method_keys(r) == wanted)


def check_method_args(method_root: str, input_commitment: str) -> Tuple[str, str]:
    for name, value in (("method_root", method_root), ("input_commitment", input_commitment)):
        if not isinstance(value, str):
            raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return method_root, input_commitment


# Characters no JSON writer escapes.
_PLAIN = re.compile(r"[A-Za-z0-9:._+=-]+")


def _plain(text: str) -> bool:
    """Whether ``text`` is written into a receipt's JSON as it is."""
    return _PLAIN.fullmatch(text) is not None


def text_needles(*values: str) -> Tuple[str, ...]:
    """Texts that a receipt's JSON must hold to match ``values``: a cheap test before it is parsed.

    A value that JSON might escape gives no needle (the receipt is then parsed anyway).
    """
    return tuple(v for v in values if _plain(v))


def may_vouch_for(text: str, digest: str) -> bool:
    """Whether a receipt's compact JSON (as a store's own writer gives it) could vouch for ``digest``.

    A cheap test before the text is parsed, never false for a receipt that
    does: the digest (``sha256:`` + lower-case hex, which no writer escapes)
    is either its output digest or a product's, and every product is written
    after the key ``"products":``. Inputs usually come before it, so the
    receipts of steps that only read the digest are passed over unparsed.
    """
    if f'"output_digest":"{digest}"' in text:
        return True
    at = text.find('"products":')
    return at >= 0 and text.find(digest[len("sha256:"):], at) >= 0
