"""The checks every store makes of its arguments, so that all of them fail alike."""

from __future__ import annotations

from typing import TYPE_CHECKING, Iterable, List, Optional, Union

if TYPE_CHECKING:
    import uuid

from .errors import StoreError
from .receipts import Receipt

__all__ = ["ORDERS", "RidLike", "check_order", "check_batch_size", "receipt_key", "receipt_texts"]

#: The orders a query may ask for: as the store finds them, or by time.
ORDERS = (None, "time")

#: A receipt identifier: a UUID or its text.
RidLike = Union[str, "uuid.UUID"]


def check_order(order: Optional[str]) -> None:
    if order not in ORDERS:
        raise ValueError(f"order must be None or 'time', got {order!r}")


def check_batch_size(batch_size: int) -> None:
    if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size <= 0:
        raise ValueError(f"batch_size must be a positive int, got {batch_size!r}")


def receipt_key(rid: RidLike) -> str:
    """The canonical text of a receipt identifier (lower case, hyphenated), as stores keep it."""
    import uuid  # here: a short command that looks no receipt up need not load it

    if isinstance(rid, uuid.UUID):
        return str(rid)
    if not isinstance(rid, str):
        raise TypeError(f"a receipt identifier is a str or uuid.UUID, not {type(rid).__name__}")
    try:
        return str(uuid.UUID(rid))
    except ValueError:
        raise StoreError(f"Invalid input: not a receipt identifier: {rid!r}") from None


def receipt_texts(receipts: Iterable[Receipt]) -> List[str]:
    """The JSON text of each receipt; anything that is not a :class:`Receipt` is refused."""
    texts = []
    for receipt in receipts:
        if not isinstance(receipt, Receipt):
            raise TypeError(f"a store keeps Receipt objects, not {type(receipt).__name__}")
        texts.append(receipt.to_json())
    return texts
