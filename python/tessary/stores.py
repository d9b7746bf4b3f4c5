"""Receipt stores: where receipts are kept and found again.

:class:`Store` is the small protocol every store follows (store one, store
many, get one by identifier, count, query, iterate, close); callers that
take a ``Store`` work with any of them. :class:`DirectoryStore` is the
embedded default: one JSON file per receipt in ``<path>/receipts``.
:func:`open_store` opens a store from a path or a location.

Every store reads its criteria as one :class:`tessary.Filters` value, the
same criteria as keywords, or both (the keywords win):

    store.query(workload="train", limit=10)
    store.query(Filters(workload="train"), limit=10)
"""

from __future__ import annotations

import os
import stat
from types import TracebackType
from typing import (
    TYPE_CHECKING, Any, Iterable, Iterator, List, Optional, Protocol, Type, TypeVar, Union, runtime_checkable,
)

from ._core import native
from ._store_calls import RidLike, check_batch_size, check_order, receipt_key, receipt_texts
from .errors import ReceiptError, StoreError
from .filters import Filters, Pac
from .locations import DATABASE_PREFIXES, FILE_PREFIX, Location, parse_location
from .pgstore import PostgresStore
from .receipts import Receipt

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from .filters import Criteria

__all__ = ["Store", "DirectoryStore", "open_store", "StoreLike", "Pac"]

_S = TypeVar("_S", bound="Store")

# The largest receipt file a directory store reads, as its native reader bounds it.
_MAX_RECEIPT_BYTES = 64 << 20


@runtime_checkable
class Store(Protocol):
    """What every receipt store offers.

    The criteria of :meth:`count`, :meth:`query` and :meth:`iter` are a
    :class:`tessary.Filters`, its fields as keywords, or both; see there.
    ``order="time"`` asks for a database store's order: by the timestamp's
    whole UTC seconds, then by identifier, receipts whose timestamp does not
    parse last.
    """

    def store(self, receipt: Receipt) -> None:
        """Keep one receipt; storing the same identifier again replaces it."""

    def store_many(self, receipts: Iterable[Receipt]) -> int:
        """Keep every receipt given; returns how many."""

    def get(self, rid: RidLike) -> Optional[Receipt]:
        """The receipt with identifier ``rid``, or None when the store has none."""

    def count(self, filters: Optional[Filters] = None, **criteria: Unpack[Criteria]) -> int:
        """How many receipts pass every filter given (at most ``limit``)."""

    def query(
        self, filters: Optional[Filters] = None, *, order: Optional[str] = None, **criteria: Unpack[Criteria]
    ) -> List[Receipt]:
        """The receipts that pass every filter given, at most ``limit`` of them."""

    def iter(
        self, filters: Optional[Filters] = None, *, batch_size: int = 1000, order: Optional[str] = None,
        **criteria: Unpack[Criteria],
    ) -> Iterator[Receipt]:
        """The same receipts as :meth:`query`, produced a batch at a time in bounded memory."""

    def close(self) -> None:
        """Release the store; later calls fail."""

    def __enter__(self: _S) -> _S: ...

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None: ...


def _read_receipt_file(path: str) -> Optional[bytes]:
    """A receipt file's bytes, or None when there is no such file; within the receipt size bound."""

    def failed(reason: str) -> StoreError:
        return StoreError(f"Failed to read receipt file {path}: {reason}")

    try:
        # Without blocking: a FIFO given a receipt's name must not hang the reader.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        return None
    except OSError as e:
        raise failed(e.strerror or str(e)) from None
    with open(fd, "rb") as file:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            raise failed("not a regular file")
        # The size first, so an oversized file is refused unread; the bound still holds if it grows.
        data = file.read(_MAX_RECEIPT_BYTES + 1) if info.st_size <= _MAX_RECEIPT_BYTES else b""
    if max(info.st_size, len(data)) > _MAX_RECEIPT_BYTES:
        raise failed("larger than the receipt size limit of 64 MiB")
    return data


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
        self._native: Optional[native.Store] = native.Store(text, durable)

    @property
    def path(self) -> str:
        """The store's base directory, as given."""
        return self._path

    def _store(self) -> native.Store:
        handle = self._native
        if handle is None:
            raise StoreError("the store is closed")
        return handle

    def store(self, receipt: Receipt) -> None:
        """Keep one receipt, replacing any earlier file of the same identifier."""
        self.store_many((receipt,))

    def store_many(self, receipts: Iterable[Receipt]) -> int:
        """Keep every receipt given, in order; returns how many were stored."""
        texts = receipt_texts(receipts)
        self._store().store_many(texts)
        return len(texts)

    def get(self, rid: RidLike) -> Optional[Receipt]:
        """The receipt with identifier ``rid``, read from its own file, or None when there is none.

        A file named for ``rid`` that holds a receipt of another identifier
        is not that receipt; one that holds no receipt at all is a
        :class:`StoreError`.
        """
        key = receipt_key(rid)
        self._store()
        path = os.path.join(self._path, "receipts", key + ".json")
        data = _read_receipt_file(path)
        if data is None:
            return None
        try:
            receipt = Receipt.from_json(data.decode("utf-8"))
        except (UnicodeDecodeError, ReceiptError) as e:
            raise StoreError(f"Failed to parse receipt file {path}: {e}") from None
        try:  # compared as identifiers, not as texts: a receipt may spell its own in capitals
            return receipt if receipt_key(receipt.rid) == key else None
        except StoreError:
            return None

    def count(self, filters: Optional[Filters] = None, **criteria: Unpack[Criteria]) -> int:
        """How many receipts pass every filter given (at most ``limit``), counted without reading them into objects."""
        cursor = self._cursor(Filters.of(filters, criteria))
        total = 0
        while True:
            found = len(cursor.next_batch(1000))
            if not found:
                return total
            total += found

    def query(
        self, filters: Optional[Filters] = None, *, order: Optional[str] = None, **criteria: Unpack[Criteria]
    ) -> List[Receipt]:
        """The receipts that pass every filter given, at most ``limit``.

        In directory order, or with ``order="time"`` in a database store's
        order (see :meth:`iter`).
        """
        wanted = Filters.of(filters, criteria)
        check_order(order)
        if order == "time":
            return self._in_time_order(wanted)
        texts = self._store().query(*wanted.as_tuple())
        return [Receipt.from_json(t) for t in texts]

    def _in_time_order(self, wanted: Filters) -> List[Receipt]:
        # Every match is read and sorted in memory, then the limit applied.
        texts = self._store().query(*wanted.without_limit().as_tuple())
        rows = native.receipt_rows(texts)
        rows.sort(key=lambda row: (row[9] is None, row[9] or 0, row[1]))
        limit = wanted.limit
        return [Receipt.from_json(row[0]) for row in (rows if limit is None else rows[:limit])]

    def iter(
        self, filters: Optional[Filters] = None, *, batch_size: int = 1000, order: Optional[str] = None,
        **criteria: Unpack[Criteria],
    ) -> Iterator[Receipt]:
        """The receipts of :meth:`query`, read ``batch_size`` files at a time.

        ``order=None`` hands them out in directory order. ``order="time"``
        gives a database store's order: by the timestamp's whole UTC
        seconds, then by identifier, receipts whose timestamp does not parse
        last. The directory has no index, so that order is made by reading
        every match and sorting in memory: bounded memory it is not.
        """
        wanted = Filters.of(filters, criteria)
        check_order(order)
        check_batch_size(batch_size)
        if order == "time":
            return iter(self._in_time_order(wanted))
        return self._drain(self._cursor(wanted), batch_size)

    def _cursor(self, wanted: Filters) -> native.Cursor:
        return self._store().cursor(*wanted.as_tuple())

    @staticmethod
    def _drain(cursor: native.Cursor, batch_size: int) -> Iterator[Receipt]:
        while True:
            batch = cursor.next_batch(batch_size)
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


StoreLike = Union[Store, str, "os.PathLike[str]", Location]


def open_store(location: StoreLike) -> Store:
    """A store from a :class:`Store`, a directory path, a location text or a :class:`tessary.locations.Location`.

    A path (or a ``file://`` text) opens a :class:`DirectoryStore`; a
    ``postgresql://`` or ``postgres://`` text a :class:`tessary.PostgresStore`.
    """
    if isinstance(location, Location):
        where = location
    elif isinstance(location, (str, os.PathLike)):
        where = parse_location(location)
    elif isinstance(location, Store):
        return location
    else:
        raise TypeError(f"a store is a Store object, a path or a location, not {type(location).__name__}")
    if where.is_database:
        return PostgresStore(where.target)
    return DirectoryStore(where.target)
