"""The client: recording and verifying work, with an optional store."""

from __future__ import annotations

import os
import uuid
from types import TracebackType
from typing import Any, Iterable, Iterator, List, Mapping, Optional, Type, Union

from ._time import TimeBound
from .errors import StoreError
from .receipts import Receipt, record, verify, verify_strict
from .stores import Pac, Store, StoreLike, open_store

__all__ = ["Client"]


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
        if self._store is None:
            raise StoreError("this client has no store: create it with Client(store=...)")
        return self._store

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

    def query(
        self,
        *,
        workload: Optional[str] = None,
        trace: Optional[str] = None,
        policy: Optional[str] = None,
        change_epoch: Optional[str] = None,
        pac: Optional[Pac] = None,
        start: Optional[TimeBound] = None,
        end: Optional[TimeBound] = None,
        limit: Optional[int] = None,
    ) -> List[Receipt]:
        """The stored receipts that pass every filter given (see :class:`tessary.Store`)."""
        return self._need_store().query(
            workload=workload, trace=trace, policy=policy, change_epoch=change_epoch,
            pac=pac, start=start, end=end, limit=limit,
        )

    def iter(
        self,
        *,
        workload: Optional[str] = None,
        trace: Optional[str] = None,
        policy: Optional[str] = None,
        change_epoch: Optional[str] = None,
        pac: Optional[Pac] = None,
        start: Optional[TimeBound] = None,
        end: Optional[TimeBound] = None,
        limit: Optional[int] = None,
    ) -> Iterator[Receipt]:
        """The receipts of :meth:`query`, a batch at a time."""
        return self._need_store().iter(
            workload=workload, trace=trace, policy=policy, change_epoch=change_epoch,
            pac=pac, start=start, end=end, limit=limit,
        )

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
