"""AsyncClient: the client's twin, every call awaited off the event loop, receipts iterated asynchronously."""
import asyncio
import inspect
import pathlib
import threading
from typing import Any, Callable, Iterator, List, Optional

import pytest

import tessary
from tessary import Client, DirectoryStore, Filters, Receipt
from tessary.aio import AsyncClient
from test_public_stores import execution

RECEIPTS = [execution(n, "etl" if n % 2 else "train", f"t{n % 3}") for n in range(7)]
# Handshakes wait this long at most, so that a fault fails the test instead of hanging it.
PATIENCE = 60


def public(cls: type) -> set:
    return {name for name in dir(cls) if not name.startswith("_")}


def test_the_async_client_has_every_client_method_with_the_same_parameters() -> None:
    assert public(AsyncClient) - public(Client) == {"client", "data_shape"}  # its own extras, nothing missing
    pairs = [(name, name) for name in public(Client)] + [("__enter__", "__aenter__"), ("__exit__", "__aexit__")]
    for sync_name, async_name in pairs:
        sync, twin = getattr(Client, sync_name), getattr(AsyncClient, async_name)
        if isinstance(sync, property):
            assert isinstance(twin, property), async_name
            continue
        assert inspect.signature(twin).parameters == inspect.signature(sync).parameters, async_name
        assert not inspect.iscoroutinefunction(sync)
        # iter is a plain call that returns an asynchronous iterator; everything else is awaited.
        assert inspect.iscoroutinefunction(twin) is (async_name != "iter"), async_name
        if async_name not in ("iter", "__aenter__"):
            assert inspect.signature(twin).return_annotation == inspect.signature(sync).return_annotation


@pytest.fixture(params=["directory", "postgres"])
def location(request: pytest.FixtureRequest, tmp_path: pathlib.Path) -> Any:
    return tmp_path / "store" if request.param == "directory" else request.getfixturevalue("pg_dsn")


def test_every_call_works_against_both_stores(location: Any) -> None:
    async def main() -> None:
        async with AsyncClient(location) as client:
            assert isinstance(client.store, tessary.Store) and client.client.store is client.store
            for receipt in RECEIPTS:
                await client.store_receipt(receipt)
            made = await client.record("w", {"n": 1}, trace="t9")
            assert await client.verify(made) and await client.verify_strict(made) is None
            assert await client.get(made.rid) == made and await client.get(RECEIPTS[0].rid) == RECEIPTS[0]
            assert await client.count() == 8 and await client.count(Filters(workload="etl"), limit=2) == 2
            assert await client.query(trace="t9") == [made]
            in_time = await client.query(order="time")
            assert [r async for r in client.iter(batch_size=3, order="time")] == in_time
            assert [r.rid async for r in client.iter(Filters(workload="train"), batch_size=2, order="time")] == [
                r.rid for r in in_time if r.payload.get("method_ref", {}).get("method_id") == "train"]
        with pytest.raises(tessary.StoreError, match="closed"):
            await client.query()

    asyncio.run(main())


def test_mistakes_fail_at_the_call_and_a_store_failure_ends_the_iteration(tmp_path: pathlib.Path) -> None:
    async def main() -> None:
        with pytest.raises(tessary.StoreError, match="no store"):
            AsyncClient().iter()
        async with AsyncClient(tmp_path) as client:
            for bad in ({"batch_size": 0}, {"colour": "red"}):
                with pytest.raises((ValueError, TypeError)):
                    client.iter(**bad)
            await client.store_receipt(RECEIPTS[0])
            receipts = client.iter()
            await client.close()
            with pytest.raises(tessary.StoreError, match="closed"):
                await receipts.__anext__()
            with pytest.raises(StopAsyncIteration):
                await receipts.__anext__()

    asyncio.run(main())


class GatedStore(DirectoryStore):
    """A directory store whose iterator, after its first receipt of a batch, waits for the event loop."""

    def __init__(self, path: pathlib.Path, gate: Callable[[], None]) -> None:
        super().__init__(path)
        self.gate = gate
        self.threads: List[int] = []
        self.released = False

    def iter(self, filters: Optional[Filters] = None, **kwargs: Any) -> Iterator[Receipt]:
        inner = super().iter(filters, **kwargs)

        def gated() -> Iterator[Receipt]:
            try:
                for receipt in inner:
                    self.threads.append(threading.get_ident())
                    if len(self.threads) == 2:
                        self.gate()
                    yield receipt
            finally:
                self.released = True

        return gated()


def test_each_batch_is_fetched_off_the_loop_which_runs_on_meanwhile(tmp_path: pathlib.Path) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        answered: List[str] = []

        async def answer() -> None:
            answered.append("the loop ran")

        def ask_the_loop() -> None:  # blocks this batch until the loop has run a task of its own
            asyncio.run_coroutine_threadsafe(answer(), loop).result(timeout=PATIENCE)

        store = GatedStore(tmp_path, ask_the_loop)
        store.store_many(RECEIPTS)
        in_time = store.query(order="time")
        async with AsyncClient(store) as client:
            receipts = client.iter(batch_size=3, order="time")
            assert store.threads == []  # nothing is read before the first await
            first = await receipts.__anext__()
            assert answered == ["the loop ran"] and len(store.threads) == 3  # one whole batch per fetch
            rest = [r async for r in receipts]
        assert [first, *rest] == in_time and len(store.threads) == 7
        assert threading.get_ident() not in store.threads and store.released

    asyncio.run(main())


def test_a_cancelled_wait_loses_no_receipt_and_aclose_releases_the_store(tmp_path: pathlib.Path) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        inside, release = asyncio.Event(), threading.Event()

        def hold() -> None:  # tell the loop the batch is being read, then wait to be let go
            loop.call_soon_threadsafe(inside.set)
            assert release.wait(PATIENCE)

        store = GatedStore(tmp_path, hold)
        store.store_many(RECEIPTS)
        async with AsyncClient(store) as client:
            receipts = client.iter(batch_size=2, order="time")
            waiting = asyncio.ensure_future(receipts.__anext__())
            await inside.wait()
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            release.set()
            got = [await receipts.__anext__() for _ in range(3)]  # the held batch, then one of the next
            assert got == store.query(order="time")[:3] and not store.released
            await receipts.aclose()
            assert store.released
            with pytest.raises(StopAsyncIteration):
                await receipts.__anext__()

    asyncio.run(main())
