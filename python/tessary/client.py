"""The client: recording and verifying work, with an optional store."""

from __future__ import annotations

import uuid
from types import TracebackType
from typing import TYPE_CHECKING, Any, Iterable, Iterator, List, Mapping, Optional, Type, Union

from ._store_calls import RidLike
from .errors import StoreError
from .filters import Filters
from .receipts import Receipt, record, verify, verify_strict
from .stores import Store, StoreLike, open_store

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from .filters import Criteria

__all__ = ["Client"]


def require_store(store: Optional[Store]) -> Store:
    """``store``; a :class:`StoreError` when a client has none."""
    if store is None:
        raise StoreError("this client has no store: create it with Client(store=...)")
    return store


class Client:
    """Records and verifies work; with a store, also keeps and finds receipts.

    ``store`` is a :class:`tessary.Store`, a directory path, or ``None`` for a
    client that only records and verifies. A client with a store keeps every
    receipt it records. Usable as a context manager, which closes the store.
    """

    __slots__ = ("_store",)

    def __init__(self, store: Optional[StoreLike] = None) -> None:
        self._store: Optional[Store] = open_store(store) if store is not None else None

    @property
    def store(self) -> Optional[Store]:
        """The client's store, or None."""
        return self._store

    def _need_store(self) -> Store:
        return require_store(self._store)

    def record(
        self,
        workload: str,
        payload: Mapping[str, Any],
        *,
        tags: Optional[Iterable[str]] = None,
        trace: Optional[str] = None,
        parent: Union[Receipt, str, uuid.UUID, None] = None,
    ) -> Receipt:
        """Record a unit of work (as :func:`tessary.record`) and keep the receipt in the store, if any."""
        receipt = record(workload, payload, tags=tags, trace=trace, parent=parent)
        if self._store is not None:
            self._store.store(receipt)
        return receipt

    def verify(self, receipt: Receipt) -> bool:
        """True when the receipt verifies (as :func:`tessary.verify`)."""
        return verify(receipt)

    def verify_strict(self, receipt: Receipt) -> None:
        """Raise :class:`tessary.VerificationError` with the reason unless the receipt verifies."""
        verify_strict(receipt)

    def store_receipt(self, receipt: Receipt) -> None:
        """Keep a receipt in the client's store."""
        self._need_store().store(receipt)

    def get(self, rid: RidLike) -> Optional[Receipt]:
        """The stored receipt with identifier ``rid``, or None (see :meth:`tessary.Store.get`)."""
        return self._need_store().get(rid)

    def count(self, filters: Optional[Filters] = None, **criteria: Unpack[Criteria]) -> int:
        """How many stored receipts pass every filter given (see :class:`tessary.Filters`)."""
        return self._need_store().count(filters, **criteria)

    def query(
        self, filters: Optional[Filters] = None, *, order: Optional[str] = None, **criteria: Unpack[Criteria]
    ) -> List[Receipt]:
        """The stored receipts that pass every filter given (see :meth:`tessary.Store.query`)."""
        return self._need_store().query(filters, order=order, **criteria)

    def iter(
        self, filters: Optional[Filters] = None, *, batch_size: int = 1000, order: Optional[str] = None,
        **criteria: Unpack[Criteria],
    ) -> Iterator[Receipt]:
        """The receipts of :meth:`query`, fetched ``batch_size`` at a time."""
        return self._need_store().iter(filters, batch_size=batch_size, order=order, **criteria)

    def find_by_output_digest(self, digest: str) -> List[Receipt]:
        """The successful step receipts whose outputs include the SHA-256 ``digest``, newest first."""
        return self._need_store().find_by_output_digest(digest)

    def find_by_method(self, method_root: str, input_commitment: str) -> List[Receipt]:
        """The step receipts of one method shape root over one input commitment, newest first."""
        return self._need_store().find_by_method(method_root, input_commitment)

    def close(self) -> None:
        """Close the store, if any."""
        if self._store is not None:
            self._store.close()

    def __enter__(self) -> "Client":
        return self

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"Client(store={self._store!r})"
