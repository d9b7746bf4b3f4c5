"""Steps as tasks of a Dask cluster of worker processes: one database store, one shared cache."""
import hashlib
import os
import pathlib
from typing import Any, Dict, Iterator, List, Tuple

import pytest

import tessary
from step_helpers import pipeline
from tessary.cache import Cache

distributed = pytest.importorskip("distributed", reason="Dask distributed is not installed (pip install 'dask[distributed]')")

# A fail-safe only: the handshakes below never wait this long unless something is broken.
_HANDSHAKE = 60


@pytest.fixture(scope="module")
def client() -> Iterator[Any]:
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    try:
        with distributed.Client(cluster) as c:
            yield c
    finally:
        cluster.close()


def run_graph(client: Any, steps: Tuple[Any, Any, Any]) -> pathlib.Path:
    prepare, transform, fit = steps
    raw = client.submit(prepare, 50, pure=False)
    scaled = client.submit(transform, raw, 7, pure=False)
    model: pathlib.Path = client.submit(fit, scaled, pure=False).result(timeout=120)
    return model


def test_a_step_sent_by_value_keeps_its_store_and_trusted_keys(tmp_path: pathlib.Path) -> None:
    cloudpickle = pytest.importorskip("cloudpickle")
    runs = tmp_path / "runs"
    runs.mkdir()

    def reverse(src: pathlib.Path) -> pathlib.Path:
        (runs / f"{len(list(runs.iterdir()))}").touch()
        out = tmp_path / "reversed.txt"
        out.write_bytes(src.read_bytes()[::-1])
        return out

    key, src = tessary.SigningKey.generate(), tmp_path / "rows.txt"
    store = tessary.DirectoryStore(tmp_path / "store", durable=False)
    src.write_text("a\nb\n")
    tessary.step(store=store, key=key)(reverse)(src)
    trusting = tessary.step(store=store, trust=tessary.Keyring([key.public_key]))(reverse)
    shipped = cloudpickle.loads(cloudpickle.dumps(trusting))  # as a worker receives it
    assert shipped(src).read_text() == "\nb\na" and len(list(runs.iterdir())) == 1  # the signed run, reused
    assert sum(1 for _ in store.iter()) == 3


def marks(work: pathlib.Path) -> Dict[str, List[str]]:
    return {p.name: p.read_text().split() for p in (work / "marks").iterdir()}


def test_a_graph_on_worker_processes_records_into_one_store_and_is_reused_whole(
        client: Any, pg_dsn: str, tmp_path: pathlib.Path) -> None:
    steps = pipeline(tmp_path, store=pg_dsn, cache=tmp_path / "cache", version="1")
    model = run_graph(client, steps)
    first = marks(tmp_path)
    assert sorted(first) == ["fit", "prepare", "transform"] and all(len(pids) == 1 for pids in first.values())
    assert str(os.getpid()) not in {pid for pids in first.values() for pid in pids}  # the workers ran them
    with tessary.PostgresStore(pg_dsn) as store:
        receipts = list(store.iter())
        assert len(receipts) == 6 and all(tessary.verify(r) for r in receipts)
        runs = {r.workload: r for r in receipts if r.kind is tessary.ReceiptKind.EXECUTION}
        # Each worker found the receipt of the step before in the shared store.
        assert [runs[n].payload.get("prev_execution_rid") for n in ("transform", "fit")] == [runs["prepare"].rid,
                                                                                           runs["transform"].rid]
        expected = model.read_text()
        for name in ("raw.csv", "scaled.csv", "model.json"):
            (tmp_path / name).unlink()

        assert run_graph(client, steps).read_text() == expected  # restored from the cache
        assert marks(tmp_path) == first  # no step ran again
        again = [r for r in store.iter() if r.rid not in {seen.rid for seen in receipts}]
    assert len(again) == 3 and all(r.kind is tessary.ReceiptKind.SPEND and tessary.verify(r) for r in again)
    assert sorted(r.links[0] for r in again) == sorted(r.rid for r in runs.values())
    assert all(r.payload["justification"]["decision"] == "reuse" for r in again)


class MeetingCache(Cache):
    """A cache whose writer, its object complete, waits for the other writer's before renaming it into place."""

    def __init__(self, root: str, me: str, other: str) -> None:
        super().__init__(root)
        self.me, self.other = me, other

    def _commit(self, temp: str, final: str, folder: str) -> None:
        distributed.Event(self.me).set()
        if not distributed.Event(self.other).wait(_HANDSHAKE):
            raise RuntimeError(f"{self.other} never got its object written")
        super()._commit(temp, final, folder)


def _write_object(root: str, me: str, other: str, source: str, digest: str) -> bool:
    return MeetingCache(root, me, other).put_file(source, digest)


def test_two_workers_writing_the_same_object_at_once_leave_one_intact_object(client: Any, tmp_path: pathlib.Path) -> None:
    data = os.urandom(4 << 20)
    digest = hashlib.sha256(data).hexdigest()
    sources = [tmp_path / "a.bin", tmp_path / "b.bin"]
    for source in sources:
        source.write_bytes(data)
    root = str(tmp_path / "cache")
    workers = sorted(client.scheduler_info()["workers"])
    assert len(workers) == 2  # one task on each: with one thread each, neither waits behind the other
    names = ["writer-a", "writer-b"]
    futures = [client.submit(_write_object, root, names[i], names[1 - i], str(sources[i]), digest,
                             workers=[workers[i]], allow_other_workers=False, pure=False) for i in (0, 1)]
    assert client.gather(futures) == [True, True]
    cache = Cache(root)
    folder = pathlib.Path(cache.path_of(digest)).parent
    assert os.listdir(folder) == [digest[2:]]  # no temporary file left behind
    assert cache.intact(digest) and cache.read_bytes(digest) == data
