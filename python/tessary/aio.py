"""Async twins of the public API: the same calls, awaited.

:class:`AsyncClient` mirrors :class:`tessary.Client` method for method, with
the same parameters: each call runs the blocking one in the event loop's
default executor, and :meth:`AsyncClient.iter` fetches each batch there.
The native work (hashing buffers and files, reading and writing a store)
releases the interpreter lock, so the loop and other threads run on
meanwhile.
"""

from __future__ import annotations

import asyncio
import collections
import functools
import itertools
import uuid
from types import TracebackType
from typing import (
    TYPE_CHECKING, Any, AsyncIterator, Callable, Deque, Iterable, Iterator, List, Mapping, Optional, Type, TypeVar,
    Union,
)

from . import shapes as _shapes
from ._store_calls import RidLike, check_batch_size, check_order
from .client import Client, require_store
from .filters import Filters
from .receipts import Receipt
from .shapes import ChunkScheme, DataShape
from .stores import Store, StoreLike

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from .filters import Criteria

__all__ = ["AsyncClient", "AsyncReceiptIterator", "data_shape"]

_T = TypeVar("_T")


async def _run(fn: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, functools.partial(fn, *args, **kwargs))


async def data_shape(source: Any, *, scheme: Optional[ChunkScheme] = None, chunks: bool = False) -> DataShape:
    """:func:`tessary.data_shape`, awaited."""
    return await _run(_shapes.data_shape, source, scheme=scheme, chunks=chunks)


class AsyncReceiptIterator(AsyncIterator[Receipt]):
    """Receipts of a store, a batch at a time, each batch fetched in the loop's executor.

    The store's own iterator is made on the first fetch (so opening a
    cursor does not block the loop either) and advanced by one executor
    call per batch. :meth:`aclose` releases it early, a database store's
    connection with it.
    """

    def __init__(self, start: Callable[[], Iterator[Receipt]], batch_size: int) -> None:
        self._start: Optional[Callable[[], Iterator[Receipt]]] = start
        self._batch_size = batch_size
        self._source: Optional[Iterator[Receipt]] = None
        self._ready: Deque[Receipt] = collections.deque()
        self._pending: Optional["asyncio.Future[List[Receipt]]"] = None
        self._exhausted = False

    def _fetch(self) -> List[Receipt]:
        if self._source is None:
            assert self._start is not None
            self._source, self._start = self._start(), None
        return list(itertools.islice(self._source, self._batch_size))

    def __aiter__(self) -> "AsyncReceiptIterator":
        return self

    async def __anext__(self) -> Receipt:
        while not self._ready:
            if self._exhausted:
                raise StopAsyncIteration
            if self._pending is None:
                self._pending = asyncio.get_running_loop().run_in_executor(None, self._fetch)
            pending = self._pending
            # Shielded: a caller cancelled mid-batch leaves the batch for the next call, not lost.
            try:
                batch = await asyncio.shield(pending)
            except Exception:
                if self._pending is pending:  # the store failed: the iteration ends with its error
                    self._pending, self._exhausted = None, True
                raise
            if self._pending is pending:  # another waiter on the same batch has not taken it yet
                self._pending = None
                self._exhausted = len(batch) < self._batch_size
                self._ready.extend(batch)
        return self._ready.popleft()

    async def aclose(self) -> None:
        """Stop early: release the store's iterator (and a database connection it holds)."""
        self._exhausted, self._start = True, None
        self._ready.clear()
        pending, self._pending = self._pending, None
        if pending is not None:
            await asyncio.wait([pending])
        source, self._source = self._source, None
        close = getattr(source, "close", None)
        if close is not None:
            await _run(close)


class AsyncClient:
    """:class:`tessary.Client` with awaitable methods; ``async with`` closes the store.

    Every method of :class:`tessary.Client` is here with the same
    parameters, awaited; :meth:`iter` gives an asynchronous iterator.
    """

    __slots__ = ("_client",)

    def __init__(self, store: Optional[StoreLike] = None) -> None:
        self._client = Client(store)

    @property
    def client(self) -> Client:
        """The synchronous client underneath."""
        return self._client

    @property
    def store(self) -> Optional[Store]:
        """The client's store, or None."""
        return self._client.store

    async def record(
        self,
        workload: str,
        payload: Mapping[str, Any],
        *,
        tags: Optional[Iterable[str]] = None,
        trace: Optional[str] = None,
        parent: Union[Receipt, str, uuid.UUID, None] = None,
    ) -> Receipt:
        """Record a unit of work and keep it in the store, if any."""
        return await _run(self._client.record, workload, payload, tags=tags, trace=trace, parent=parent)

    async def verify(self, receipt: Receipt) -> bool:
        """True when the receipt verifies."""
        return await _run(self._client.verify, receipt)

    async def verify_strict(self, receipt: Receipt) -> None:
        """Raise :class:`tessary.VerificationError` unless the receipt verifies."""
        await _run(self._client.verify_strict, receipt)

    async def store_receipt(self, receipt: Receipt) -> None:
        """Keep a receipt in the store."""
        await _run(self._client.store_receipt, receipt)

    async def get(self, rid: RidLike) -> Optional[Receipt]:
        """The stored receipt with identifier ``rid``, or None."""
        return await _run(self._client.get, rid)

    async def count(self, filters: Optional[Filters] = None, **criteria: Unpack[Criteria]) -> int:
        """How many stored receipts pass every filter given."""
        return await _run(self._client.count, filters, **criteria)

    async def query(
        self, filters: Optional[Filters] = None, *, order: Optional[str] = None, **criteria: Unpack[Criteria]
    ) -> List[Receipt]:
        """The stored receipts that pass every filter given."""
        return await _run(self._client.query, filters, order=order, **criteria)

    def iter(
        self, filters: Optional[Filters] = None, *, batch_size: int = 1000, order: Optional[str] = None,
        **criteria: Unpack[Criteria],
    ) -> AsyncReceiptIterator:
        """The receipts of :meth:`query` as an asynchronous iterator, ``batch_size`` per executor call.

        The arguments are checked here, at once, as the synchronous client
        checks them; the store is first read by the first ``__anext__``.
        """
        wanted = Filters.of(filters, criteria)
        check_order(order)
        check_batch_size(batch_size)
        require_store(self._client.store)
        start = functools.partial(self._client.iter, wanted, batch_size=batch_size, order=order)
        return AsyncReceiptIterator(start, batch_size)

    async def find_by_output_digest(self, digest: str) -> List[Receipt]:
        """The successful step receipts whose outputs include the SHA-256 ``digest``, newest first."""
        return await _run(self._client.find_by_output_digest, digest)

    async def find_by_method(self, method_root: str, input_commitment: str) -> List[Receipt]:
        """The step receipts of one method shape root over one input commitment, newest first."""
        return await _run(self._client.find_by_method, method_root, input_commitment)

    async def data_shape(self, source: Any, *, scheme: Optional[ChunkScheme] = None, chunks: bool = False) -> DataShape:
        """:func:`tessary.data_shape`, awaited."""
        return await data_shape(source, scheme=scheme, chunks=chunks)

    async def close(self) -> None:
        """Close the store, if any."""
        await _run(self._client.close)

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        await self.close()

    def __repr__(self) -> str:
        return f"AsyncClient(store={self._client.store!r})"
