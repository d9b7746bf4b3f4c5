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
    TYPE_CHECKING, Any, Callable, Iterable, Iterator, List, NamedTuple, Optional, Protocol, Tuple, Type, TypeVar,
    Union, runtime_checkable,
)

from ._core import native
from ._lookups import check_method_args, digest_key, may_vouch_for, scan_by_method, scan_by_output_digest, text_needles
from ._store_calls import RidLike, check_batch_size, check_order, receipt_key, receipt_texts
from .errors import ReceiptError, StoreError
from .filters import Filters, Pac
from .locations import DATABASE_PREFIXES, FILE_PREFIX, Location, parse_location
from .receipts import Receipt, from_writer_text

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from .filters import Criteria

__all__ = ["Store", "DirectoryStore", "SkippedEntry", "open_store", "StoreLike", "Pac"]

_S = TypeVar("_S", bound="Store")

# The largest receipt file a directory store reads, as its native reader bounds it.
_MAX_RECEIPT_BYTES = 64 << 20


class SkippedEntry(NamedTuple):
    """A ``*.json`` entry of a directory store that a read passed over, and why.

    ``reason`` is one of "dangling link", "link loop", "a directory",
    "not UTF-8", "unreadable: <the system's text>", "not a receipt: <why>",
    "larger than 64 MiB" or "not a regular file". ``name`` is the entry's
    name in ``<path>/receipts`` (bytes that are not UTF-8 decoded as
    :func:`os.fsdecode` does, so ``os.fsencode(name)`` gives them back).
    """

    name: str
    reason: str

    def __str__(self) -> str:
        return f"{self.name}: {self.reason}"


#: Called with each entry a directory store's read passes over.
OnSkip = Callable[[SkippedEntry], None]


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

    def find_by_output_digest(self, digest: str) -> List[Receipt]:
        """The successful execution receipts whose outputs include the SHA-256 ``digest``, newest first.

        ``digest`` is 64 hex digits, with or without ``sha256:``.
        """

    def find_by_method(self, method_root: str, input_commitment: str) -> List[Receipt]:
        """The execution receipts of one method shape root over one input commitment, newest first."""

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

    Opening never creates anything: the first ``store`` or ``store_many``
    makes the directories (``create=True``, the default). Reading a store
    whose ``path`` does not exist raises :class:`StoreError` ("no such
    store: <path>"); with ``create=False`` that is checked when the store is
    opened. A ``path`` that exists but holds no ``receipts`` folder yet is an
    empty store.

    Every query reads the directory afresh, so receipts stored by other
    processes show up. A ``*.json`` entry that holds no receipt (a dangling
    or looping link, a directory, an unreadable file, bytes that are not
    UTF-8 or not a receipt, a file over 64 MiB) never fails a read and is
    never printed: the read goes on with the rest and hands each such entry,
    as a :class:`SkippedEntry`, to the ``on_skip`` callable given to
    :meth:`query`, :meth:`iter` or :meth:`count`. Reading and writing run
    with the interpreter lock released.

    A store returns only once the receipts are on the disk: each file's data
    is flushed before it is renamed into place, and the directory after the
    last rename of a call, so ``store_many`` pays for one batch, not one
    flush per receipt. ``durable=False`` skips the flushes (faster; a power
    failure can lose receipts already stored). Temporary files that a killed
    writer left are removed by the next writer once a few minutes old.

    A store pickles as its path and options: another process (a worker of a
    cluster, on a shared file system) opens the same directory.
    """

    __slots__ = ("_path", "_native", "_durable")

    def __init__(
        self, path: Union[str, "os.PathLike[str]"], *, create: bool = True, durable: bool = True
    ) -> None:
        text = os.fspath(path)
        if not isinstance(text, str):
            text = os.fsdecode(text)
        if not isinstance(create, bool):
            raise TypeError(f"create must be a bool, not {type(create).__name__}")
        self._path = text
        self._durable = durable
        if not create:
            self._missing()
        self._native: Optional[native.Store] = native.Store(text, durable, False)

    @property
    def path(self) -> str:
        """The store's base directory, as given."""
        return self._path

    def _store(self) -> native.Store:
        handle = self._native
        if handle is None:
            raise StoreError("the store is closed")
        return handle

    def _missing(self) -> bool:
        """True when the store holds nothing yet (its ``receipts`` folder is missing); a StoreError when the store's
        own directory is."""
        if os.path.isdir(os.path.join(self._path, "receipts")):
            return False
        if os.path.isdir(self._path):
            return True
        what = "not a directory" if os.path.exists(self._path) else "no such store"
        raise StoreError(f"{what}: {self._path}")

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

        Only that file is read, so other entries of the store never matter.
        A file named for ``rid`` that holds a receipt of another identifier
        is not that receipt; one that holds no receipt at all is a
        :class:`StoreError`.
        """
        key = receipt_key(rid)
        self._store()
        path = os.path.join(self._path, "receipts", key + ".json")
        data = _read_receipt_file(path)
        if data is None:
            self._missing()
            return None
        try:
            receipt = Receipt.from_json(data.decode("utf-8"), strict=False)
        except (UnicodeDecodeError, ReceiptError) as e:
            raise StoreError(f"Failed to parse receipt file {path}: {e}") from None
        try:  # compared as identifiers, not as texts: a receipt may spell its own in capitals
            return receipt if receipt_key(receipt.rid) == key else None
        except StoreError:
            return None

    def count(
        self, filters: Optional[Filters] = None, *, on_skip: Optional[OnSkip] = None, **criteria: Unpack[Criteria]
    ) -> int:
        """How many receipts pass every filter given (at most ``limit``), counted without reading them into objects.

        ``on_skip`` is called with each entry passed over (see the class).
        """
        cursor = self._cursor(Filters.of(filters, criteria))
        total = 0
        while cursor is not None:
            skipped: List[Tuple[str, str]] = []
            found = len(cursor.next_batch(1000, skipped))
            _report(skipped, on_skip)
            if not found:
                break
            total += found
        return total

    def query(
        self, filters: Optional[Filters] = None, *, order: Optional[str] = None, on_skip: Optional[OnSkip] = None,
        **criteria: Unpack[Criteria],
    ) -> List[Receipt]:
        """The receipts that pass every filter given, at most ``limit``.

        In directory order, or with ``order="time"`` in a database store's
        order (see :meth:`iter`). ``on_skip`` is called with each entry
        passed over (see the class).
        """
        wanted = Filters.of(filters, criteria)
        check_order(order)
        if order == "time":
            return self._in_time_order(wanted, on_skip)
        return [from_writer_text(t) for t in self._texts(wanted, on_skip)]

    def _texts(self, wanted: Filters, on_skip: Optional[OnSkip]) -> List[str]:
        """The JSON texts of every match, read under one hold of the store's lock."""
        handle = self._store()
        skipped: List[Tuple[str, str]] = []
        # Asked before reading as well as after a failure: another thread or process may make the
        # folder between a failed read and the question, and the read must not fail for that.
        if self._missing():
            return []
        try:
            texts = handle.query(*wanted.as_tuple(), skipped)
        except StoreError:
            if self._missing():
                return []
            raise
        _report(skipped, on_skip)
        return texts

    def _in_time_order(self, wanted: Filters, on_skip: Optional[OnSkip]) -> List[Receipt]:
        # Every match is read and sorted in memory, then the limit applied.
        rows = native.receipt_rows(self._texts(wanted.without_limit(), on_skip))
        rows.sort(key=lambda row: (row[9] is None, row[9] or 0, row[1]))
        limit = wanted.limit
        return [Receipt.from_json(row[0], strict=False) for row in (rows if limit is None else rows[:limit])]

    def iter(
        self, filters: Optional[Filters] = None, *, batch_size: int = 1000, order: Optional[str] = None,
        on_skip: Optional[OnSkip] = None, **criteria: Unpack[Criteria],
    ) -> Iterator[Receipt]:
        """The receipts of :meth:`query`, read ``batch_size`` files at a time.

        ``order=None`` hands them out in directory order. ``order="time"``
        gives a database store's order: by the timestamp's whole UTC
        seconds, then by identifier, receipts whose timestamp does not parse
        last. The directory has no index, so that order is made by reading
        every match and sorting in memory: bounded memory it is not.
        ``on_skip`` is called with each entry passed over, as the batch
        holding it is read.
        """
        wanted = Filters.of(filters, criteria)
        check_order(order)
        check_batch_size(batch_size)
        if order == "time":
            return iter(self._in_time_order(wanted, on_skip))
        cursor = self._cursor(wanted)
        return iter(()) if cursor is None else self._drain(cursor, batch_size, on_skip)

    def _cursor(self, wanted: Filters) -> Optional[native.Cursor]:
        """A scan of the matches; None when the store holds nothing yet."""
        handle = self._store()
        if self._missing():  # before as well as after, as _texts asks
            return None
        try:
            return handle.cursor(*wanted.as_tuple())
        except StoreError:
            if self._missing():
                return None
            raise

    @staticmethod
    def _drain(cursor: native.Cursor, batch_size: int, on_skip: Optional[OnSkip]) -> Iterator[Receipt]:
        while True:
            skipped: List[Tuple[str, str]] = []
            batch = cursor.next_batch(batch_size, skipped)
            _report(skipped, on_skip)
            if not batch:
                return
            for text in batch:
                yield from_writer_text(text)

    def __iter__(self) -> Iterator[Receipt]:
        return self.iter()

    def find_by_output_digest(self, digest: str) -> List[Receipt]:
        """The successful execution receipts whose outputs include the SHA-256 ``digest``, newest first.

        A scan of every receipt file (docs/stores.md says up to what size
        that is fine); only files whose text could vouch for the digest are parsed.
        """
        wanted = digest_key(digest)
        return scan_by_output_digest(self._holding(lambda text: may_vouch_for(text, wanted)), wanted)

    def find_by_method(self, method_root: str, input_commitment: str) -> List[Receipt]:
        """The execution receipts of one method shape root over one input commitment, newest first; a scan."""
        check_method_args(method_root, input_commitment)
        needles = text_needles(method_root, input_commitment)
        found = self._holding(lambda text: all(n in text for n in needles))
        return scan_by_method(found, method_root, input_commitment)

    def _holding(self, may_match: Callable[[str], bool]) -> Iterator[Receipt]:
        """Every receipt whose compact JSON text passes ``may_match``, the others left unparsed."""
        cursor = self._cursor(Filters())
        while cursor is not None:
            batch = cursor.next_batch(1000, [])
            if not batch:
                return
            for text in batch:
                if may_match(text):
                    yield from_writer_text(text)

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

    def __reduce__(self) -> Tuple[Callable[[str, bool], "DirectoryStore"], Tuple[str, bool]]:
        return _directory_store, (self._path, self._durable)

    def __repr__(self) -> str:
        state = "" if self._native is not None else " (closed)"
        return f"DirectoryStore({self._path!r}){state}"


def _report(skipped: List[Tuple[str, str]], on_skip: Optional[OnSkip]) -> None:
    if on_skip is not None:
        for name, reason in skipped:
            on_skip(SkippedEntry(name, reason))


StoreLike = Union[Store, str, "os.PathLike[str]", Location]


def _directory_store(path: str, durable: bool) -> DirectoryStore:
    return DirectoryStore(path, durable=durable)


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
        from .pgstore import PostgresStore  # the driver is loaded only for a database

        return PostgresStore(where.target)
    return DirectoryStore(where.target)
