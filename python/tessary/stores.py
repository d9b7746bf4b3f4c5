"""Receipt stores: where receipts are kept and found again.

:class:`Store` is the small protocol every store follows (store one, store
many, query, iterate, close); callers that take a ``Store`` work with any of
them. :class:`DirectoryStore` is the embedded default: one JSON file per
receipt in ``<path>/receipts``. :func:`open_store` opens a store from a
path or a location text.
"""

from __future__ import annotations

import base64
import binascii
import os
from types import TracebackType
from typing import Any, Iterable, Iterator, List, Optional, Protocol, Tuple, Type, TypeVar, Union, runtime_checkable

from . import _native
from ._time import TimeBound, bound_seconds
from .errors import StoreError
from .receipts import Receipt


__all__ = ["Store", "DirectoryStore", "open_store", "Pac"]

#: A ``pac`` filter: the 32 raw bytes, or their unpadded base64url text as receipts' JSON holds it.
Pac = Union[bytes, str]

_S = TypeVar("_S", bound="Store")

#: The beginnings of a location text that name a database store, and of one naming a directory.
_DATABASE_PREFIXES = ("postgresql://", "postgres://")
_FILE_PREFIX = "file://"


@runtime_checkable
class Store(Protocol):
    """What every receipt store offers.

    Filters, all optional and combined with "and": ``workload`` (an execution
    receipt's method identifier), ``trace``, ``policy`` (``ctx.policy_ref``),
    ``change_epoch``, ``pac``, ``start`` and ``end`` (inclusive, whole UTC
    seconds; a ``datetime`` or epoch seconds; receipts whose timestamp does
    not parse never pass a time bound) and ``limit``.
    """

    def store(self, receipt: Receipt) -> None:
        """Keep one receipt; storing the same identifier again replaces it."""

    def store_many(self, receipts: Iterable[Receipt]) -> int:
        """Keep every receipt given; returns how many."""

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
        """The receipts that pass every filter given, at most ``limit`` of them."""

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
        """The same receipts as :meth:`query`, produced a batch at a time in bounded memory."""

    def close(self) -> None:
        """Release the store; later calls fail."""

    def __enter__(self: _S) -> _S: ...

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None: ...


def _text_filter(value: Optional[str], name: str) -> Optional[str]:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _pac_filter(pac: Optional[Pac]) -> Optional[bytes]:
    if pac is None:
        return None
    if isinstance(pac, str):
        try:
            raw = base64.urlsafe_b64decode(pac + "=" * (-len(pac) % 4))
        except (binascii.Error, ValueError):
            raise ValueError(f"pac must be 32 bytes or their base64url text, got {pac!r}") from None
    elif isinstance(pac, (bytes, bytearray)):
        raw = bytes(pac)
    else:
        raise TypeError(f"pac must be bytes or str, not {type(pac).__name__}")
    if len(raw) != 32:
        raise ValueError(f"pac must be 32 bytes, got {len(raw)}")
    return raw


def _limit(limit: Optional[int]) -> Optional[int]:
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be an int, not {type(limit).__name__}")
    if limit < 0:
        raise ValueError(f"limit must not be negative, got {limit}")
    return min(limit, 2**63 - 1)


def query_arguments(
    workload: Optional[str],
    trace: Optional[str],
    policy: Optional[str],
    change_epoch: Optional[str],
    pac: Optional[Pac],
    start: Optional[TimeBound],
    end: Optional[TimeBound],
    limit: Optional[int],
) -> Tuple[Any, ...]:
    """The filters checked and normalised: texts, pac bytes, whole seconds, limit."""
    return (
        _text_filter(workload, "workload"),
        _text_filter(trace, "trace"),
        _text_filter(policy, "policy"),
        _text_filter(change_epoch, "change_epoch"),
        _pac_filter(pac),
        bound_seconds(start, "start", upper=False),
        bound_seconds(end, "end", upper=True),
        _limit(limit),
    )


def _check_order(order: Optional[str]) -> None:
    if order not in (None, "time"):
        raise ValueError(f"order must be None or 'time', got {order!r}")


def _receipt_texts(receipts: Iterable[Receipt]) -> List[str]:
    texts = []
    for receipt in receipts:
        if not isinstance(receipt, Receipt):
            raise TypeError(f"a store keeps Receipt objects, not {type(receipt).__name__}")
        texts.append(receipt.to_json())
    return texts


class DirectoryStore:
    """Receipts kept as files ``<path>/receipts/<rid>.json``, the embedded default.

    The directory is created when missing. Every query reads the directory
    afresh, so receipts stored by other processes show up; files that are
    not receipts are skipped with a warning on standard error. Reading and
    writing run with the interpreter lock released.

    A store returns only once the receipts are on the disk: each file's data
    is flushed before it is renamed into place, and the directory after the
    last rename of a call, so ``store_many`` pays for one batch, not one
    flush per receipt. ``durable=False`` skips the flushes (faster; a power
    failure can lose receipts already stored). Temporary files that a killed
    writer left are removed by the next writer once a few minutes old.
    """

    __slots__ = ("_path", "_native")

    def __init__(self, path: Union[str, "os.PathLike[str]"], *, durable: bool = True) -> None:
        text = os.fspath(path)
        if not isinstance(text, str):
            text = os.fsdecode(text)
        self._path = text
        try:
            self._native: Any = _native.Store(text, durable)
        except ValueError as e:
            raise StoreError(str(e)) from None

    @property
    def path(self) -> str:
        """The store's base directory, as given."""
        return self._path

    def _store(self) -> Any:
        native = self._native
        if native is None:
            raise StoreError("the store is closed")
        return native

    def store(self, receipt: Receipt) -> None:
        """Keep one receipt, replacing any earlier file of the same identifier."""
        self.store_many((receipt,))

    def store_many(self, receipts: Iterable[Receipt]) -> int:
        """Keep every receipt given, in order; returns how many were stored."""
        texts = _receipt_texts(receipts)
        try:
            self._store().store_many(texts)
        except ValueError as e:
            raise StoreError(str(e)) from None
        return len(texts)

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
        order: Optional[str] = None,
    ) -> List[Receipt]:
        """The receipts that pass every filter given, at most ``limit``.

        In directory order, or with ``order="time"`` in a database store's
        order (see :meth:`iter`).
        """
        args = query_arguments(workload, trace, policy, change_epoch, pac, start, end, limit)
        _check_order(order)
        if order == "time":
            return self._in_time_order(args)
        try:
            texts = self._store().query(*args)
        except ValueError as e:
            raise StoreError(str(e)) from None
        return [Receipt.from_json(t) for t in texts]

    def _in_time_order(self, args: Tuple[Any, ...]) -> List[Receipt]:
        # Every match is read and sorted in memory, then the limit applied.
        try:
            texts = self._store().query(*args[:-1], None)
        except ValueError as e:
            raise StoreError(str(e)) from None
        rows = _native.receipt_rows(texts)
        rows.sort(key=lambda row: (row[9] is None, row[9] or 0, row[1]))
        limit = args[-1]
        return [Receipt.from_json(row[0]) for row in (rows if limit is None else rows[:limit])]

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
        batch_size: int = 1000,
        order: Optional[str] = None,
    ) -> Iterator[Receipt]:
        """The receipts of :meth:`query`, read ``batch_size`` files at a time.

        ``order=None`` hands them out in directory order. ``order="time"``
        gives a database store's order: by the timestamp's whole UTC
        seconds, then by identifier, receipts whose timestamp does not parse
        last. The directory has no index, so that order is made by reading
        every match and sorting in memory: bounded memory it is not.
        """
        args = query_arguments(workload, trace, policy, change_epoch, pac, start, end, limit)
        _check_order(order)
        if isinstance(batch_size, bool) or not isinstance(batch_size, int) or batch_size <= 0:
            raise ValueError(f"batch_size must be a positive int, got {batch_size!r}")
        if order == "time":
            return iter(self._in_time_order(args))
        try:
            cursor = self._store().cursor(*args)
        except ValueError as e:
            raise StoreError(str(e)) from None
        return self._drain(cursor, batch_size)

    @staticmethod
    def _drain(cursor: Any, batch_size: int) -> Iterator[Receipt]:
        while True:
            try:
                batch = cursor.next_batch(batch_size)
            except ValueError as e:
                raise StoreError(str(e)) from None
            if not batch:
                return
            for text in batch:
                yield Receipt.from_json(text)

    def __iter__(self) -> Iterator[Receipt]:
        return self.iter()

    def close(self) -> None:
        """Release the store; the files stay on disk."""
        self._native = None

    def __enter__(self) -> "DirectoryStore":
        self._store()
        return self

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "" if self._native is not None else " (closed)"
        return f"DirectoryStore({self._path!r}){state}"


StoreLike = Union[Store, str, "os.PathLike[str]"]


def open_store(location: StoreLike) -> Store:
    """A store from a :class:`Store`, a directory path, or a location text.

    A path (or a ``file://`` text) opens a :class:`DirectoryStore`; a
    ``postgresql://`` or ``postgres://`` text a :class:`tessary.pgstore.PostgresStore`.
    """
    if isinstance(location, (str, os.PathLike)):
        text = os.fspath(location)
        if isinstance(text, bytes):
            text = os.fsdecode(text)
        if text.startswith(_DATABASE_PREFIXES):
            from .pgstore import PostgresStore

            return PostgresStore(text)
        if text.startswith(_FILE_PREFIX):
            text = text[len(_FILE_PREFIX) :]
        return DirectoryStore(text)
    if isinstance(location, Store):
        return location
    raise TypeError(f"a store is a Store object or a path, not {type(location).__name__}")
