"""The directory store through the public API: every filter, iteration, the store protocol."""
import base64
import os
import pathlib
from datetime import datetime, timedelta, timezone
from typing import Any, Iterator, Optional

import pytest

import tessary
from tessary import DirectoryStore, Receipt
from receipt_strategies import execution_payload, minimal, seal

PAC = bytes(range(32))
BASE = datetime(2025, 1, 17, 12, 0, 0, tzinfo=timezone.utc)


def execution(n: int, workload: str, trace: str, *, policy: Optional[str] = None, epoch: Optional[str] = None,
              pac: Optional[bytes] = None, timestamp: Optional[str] = None) -> Receipt:
    payload = execution_payload(trace, workload)
    if epoch:
        payload["change_epoch"] = epoch
    if pac:
        payload["pac"] = base64.urlsafe_b64encode(pac).rstrip(b"=").decode()
    ctx = {"timestamp": timestamp or (BASE + timedelta(seconds=n)).isoformat(), "policy_ref": policy}
    return Receipt.from_json(seal(minimal("execution", payload, rid=f"00000000-0000-4000-8000-{n:012d}", ctx=ctx)).to_json())


RECEIPTS = [
    execution(0, "etl", "t1"), execution(1, "etl", "t2", policy="pol:acme/retain@1.0.0"),
    execution(2, "train", "t1", epoch="e7", pac=PAC), execution(3, "train", "t2", epoch="e8"),
    execution(4, "train", "t1", timestamp="yesterday"),
]


@pytest.fixture
def store(tmp_path: pathlib.Path) -> Iterator[DirectoryStore]:
    with DirectoryStore(tmp_path / "store") as s:
        assert s.store_many(RECEIPTS) == len(RECEIPTS)
        yield s


# Storing again, a closed store, bad filters and threads are held in test_store_conformance and test_native.
def test_a_directory_store_is_a_store_made_from_a_path_text(tmp_path: pathlib.Path) -> None:
    store = DirectoryStore(str(tmp_path))
    store.store(tessary.record("w", {"n": 1}))
    assert isinstance(store, tessary.Store) and len(list(store)) == 1
    (tmp_path / "file").write_text("x")
    on_file = DirectoryStore(tmp_path / "file")  # opening makes nothing; the first write finds the file
    with pytest.raises(tessary.StoreError, match="Failed to create receipts directory .*: Not a directory"):
        on_file.store(tessary.record("w", {}))
    with pytest.raises(tessary.StoreError, match="not a directory: "):
        on_file.query()
    with pytest.raises(tessary.StoreError, match="not a directory: "):
        DirectoryStore(tmp_path / "file", create=False)


def test_open_store_takes_a_store_a_path_a_location_text_or_a_location(tmp_path: pathlib.Path) -> None:
    from tessary.locations import parse_location

    with DirectoryStore(tmp_path) as first:
        assert tessary.open_store(first) is first
        for given in (tmp_path, str(tmp_path), f"file://{tmp_path}", parse_location(tmp_path)):
            assert isinstance(opened := tessary.open_store(given), DirectoryStore) and opened.path == str(tmp_path)
    with pytest.raises(TypeError, match="not int"):
        tessary.open_store(3)  # type: ignore[arg-type]


@pytest.mark.parametrize("contents, outcome", [
    (RECEIPTS[1].to_json(), None),  # a receipt of another identifier is not the one asked for
    ("{", "Failed to parse receipt file .*receipts/00000000-0000-4000-8000-000000000000.json: "),
    (b"\xff\xfe", "Failed to parse receipt file "), (None, "larger than the receipt size limit of 64 MiB"),
    ("fifo", "not a regular file"),  # refused without blocking on it
])
def test_get_reads_only_the_file_named_for_the_receipt(store: DirectoryStore, contents: Any, outcome: Any) -> None:
    path = pathlib.Path(store.path) / "receipts" / f"{RECEIPTS[0].rid}.json"
    if contents == "fifo":
        path.unlink()
        os.mkfifo(path)
    elif contents is None:
        with open(path, "ab") as file:  # sparse: the bound is checked without reading 64 MiB of receipt
            file.truncate((64 << 20) + 1)
    else:
        path.write_bytes(contents.encode() if isinstance(contents, str) else contents)
    if outcome is None:
        assert store.get(RECEIPTS[0].rid) is None
    else:
        with pytest.raises(tessary.StoreError, match=outcome):
            store.get(RECEIPTS[0].rid)
    path.unlink()
    assert store.get(RECEIPTS[0].rid) is None and store.get(RECEIPTS[2].rid) == RECEIPTS[2]


def test_count_counts_without_reading_receipts_into_objects(store: DirectoryStore,
                                                           monkeypatch: pytest.MonkeyPatch) -> None:
    def refuse(text: str) -> Receipt:
        raise AssertionError("count built a Receipt")

    monkeypatch.setattr(Receipt, "from_json", staticmethod(refuse))
    assert store.count() == 5 and store.count(workload="train", limit=2) == 2


def test_a_read_of_a_new_store_does_not_fail_when_another_writer_makes_its_folder_meanwhile(
        tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    store = DirectoryStore(tmp_path / "new")
    (tmp_path / "new").mkdir()
    real = store._store()

    class MadeMeanwhile:
        """The native read fails for the missing folder, and the folder appears before the failure is looked at."""

        def __getattr__(self, name: str) -> Any:
            def read(*args: Any) -> Any:
                (tmp_path / "new" / "receipts").mkdir(exist_ok=True)
                raise tessary.StoreError("Failed to read receipts directory: No such file or directory")
            return read if name in ("query", "cursor") else getattr(real, name)

    monkeypatch.setattr(store, "_native", MadeMeanwhile())
    assert store.query() == [] and list(store.iter()) == [] and store.count() == 0
