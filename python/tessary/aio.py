"""Async twins of the public API: the same calls, awaited.

Each runs the blocking call in the event loop's default executor. The native
work (hashing buffers and files, reading and writing a store) releases the
interpreter lock, so the loop and other threads run on meanwhile.
"""

from __future__ import annotations

import asyncio
import functools
import uuid
from types import TracebackType
from typing import Any, Callable, Iterable, List, Mapping, Optional, Type, TypeVar, Union

from . import shapes as _shapes
from ._time import TimeBound
from .client import Client
from .receipts import Receipt
from .shapes import ChunkScheme, DataShape
from .stores import Pac, StoreLike

__all__ = ["AsyncClient", "data_shape"]

_T = TypeVar("_T")


async def _run(fn: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(None, functools.partial(fn, *args, **kwargs))


async def data_shape(source: Any, *, scheme: Optional[ChunkScheme] = None, chunks: bool = False) -> DataShape:
    """:func:`tessary.data_shape`, awaited."""
    return await _run(_shapes.data_shape, source, scheme=scheme, chunks=chunks)


class AsyncClient:
    """:class:`tessary.Client` with awaitable methods; ``async with`` closes the store."""

    __slots__ = ("_client",)

    def __init__(self, store: Optional[StoreLike] = None) -> None:
        self._client = Client(store)

    @property
    def client(self) -> Client:
        """The synchronous client underneath."""
        return self._client

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
        return self._client.verify(receipt)

    async def verify_strict(self, receipt: Receipt) -> None:
        """Raise :class:`tessary.VerificationError` unless the receipt verifies."""
        self._client.verify_strict(receipt)

    async def store_receipt(self, receipt: Receipt) -> None:
        """Keep a receipt in the store."""
        await _run(self._client.store_receipt, receipt)

    async def query(
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
        """The stored receipts that pass every filter given."""
        return await _run(
            self._client.query, workload=workload, trace=trace, policy=policy, change_epoch=change_epoch,
            pac=pac, start=start, end=end, limit=limit,
        )

    async def data_shape(self, source: Any, *, scheme: Optional[ChunkScheme] = None, chunks: bool = False) -> DataShape:
        """:func:`tessary.data_shape`, awaited."""
        return await data_shape(source, scheme=scheme, chunks=chunks)

    async def close(self) -> None:
        """Close the store, if any."""
        self._client.close()

    async def __aenter__(self) -> "AsyncClient":
        return self

    async def __aexit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        await self.close()
