"""The directory store and the database store give the same answers to the same calls."""
import base64
import contextlib
import hashlib
import itertools
import pathlib
import uuid
from datetime import datetime, timedelta, timezone
from typing import Any, Dict, Iterator, List

import pytest

import tessary
from tessary import DirectoryStore, Receipt
from receipt_strategies import H0, seal
from test_public_stores import BASE, PAC, execution

OTHER_PAC = bytes(range(1, 33))


def data_shape_receipt(n: int, *, policy: str, timestamp: str) -> Receipt:
    """A receipt of another kind: it has no workload, trace, epoch or pac to match."""
    obj = dict(tessary.record("w", {"n": n}).to_dict(), rid=f"00000000-0000-4000-9000-{n:012d}", kind="data_shape",
               payload={"schema_hash": H0, "sketch_hash": None})
    obj["ctx"].update(policy_ref=policy, timestamp=timestamp)
    return Receipt.from_json(seal(obj).to_json())


def receipts() -> List[Receipt]:
    """Receipts spread over every filter, with equal seconds, fractions, offsets and bad timestamps."""
    stamps = [
        (BASE + timedelta(seconds=1)).isoformat(),
        "2025-01-17T12:00:01.999999999Z",  # the same whole second as the one above
        "2025-01-17T14:00:02+02:00",  # offset: 12:00:02 UTC
        "2025-01-17t12:00:03.5z",
        "2025-01-17 12:00:60Z",  # a leap second counts as :59
        "not a time",
        "2025-02-30T00:00:00Z",  # no such day
        "1969-12-31T23:59:59.5Z",  # before the epoch
    ]
    found = [execution(n, workload, trace, policy=policy, epoch=epoch, pac=pac, timestamp=stamp)
             for n, (workload, trace, policy, epoch, pac, stamp) in enumerate(itertools.product(
                 ("etl", "train"), ("t1", "t2"), (None, "pol:a"), (None, "e7"), (None, PAC, OTHER_PAC), stamps))
             if n % 3 == 0]  # a thinner but still full-coverage set
    found += [data_shape_receipt(n, policy="pol:a", timestamp=stamp) for n, stamp in enumerate(stamps)]
    # A database's text cannot hold U+0000; a receipt's fields can.
    found.append(execution(900, "etl\x00", "t1\x00\x00", policy="\x00", epoch="e\x00\U0001f600"))
    found.append(execution(901, "etl\x00x", "\x00t1", policy="pol:a"))
    return found


RECEIPTS = receipts()

FILTERS: List[Dict[str, Any]] = [
    {}, {"workload": "etl"}, {"workload": "w"}, {"trace": "t2"}, {"policy": "pol:a"}, {"policy": ""},
    {"change_epoch": "e7"}, {"pac": PAC}, {"pac": base64.urlsafe_b64encode(OTHER_PAC).rstrip(b"=").decode()},
    {"start": BASE + timedelta(seconds=1), "end": BASE + timedelta(seconds=1)},
    {"start": int(BASE.timestamp()) + 2}, {"end": BASE.timestamp() + 2.9}, {"end": 0},
    {"end": datetime(1970, 1, 1)}, {"start": -1, "end": -1},
    {"workload": "train", "trace": "t1", "policy": "pol:a", "change_epoch": "e7", "pac": PAC},
    {"trace": "t1", "start": BASE, "limit": 3}, {"limit": 0}, {"policy": "pol:a", "limit": 5},
    # Every code point counts, and only exactly: NUL, a pair, lone surrogates (text not UTF-8).
    {"trace": "\x00t1"}, {"change_epoch": "e\x00\U0001f600"}, {"change_epoch": "e\x00\ud83d\ude00"},
]


@pytest.fixture(params=["directory", "postgres"])
def make_store(request: pytest.FixtureRequest, tmp_path: pathlib.Path) -> Iterator[Any]:
    opened: List[Any] = []

    def make() -> Any:
        # An empty directory is an empty store, as a new database is; a missing one is no store at all.
        if request.param == "directory":
            (tmp_path / f"store{len(opened)}").mkdir()
        opened.append(DirectoryStore(tmp_path / f"store{len(opened)}") if request.param == "directory"
                      else tessary.open_store(request.getfixturevalue("pg_dsn")))
        return opened[-1]

    yield make
    for store in opened:
        store.close()


@pytest.fixture(scope="module")
def both(tmp_path_factory: pytest.TempPathFactory, pg_server: Any) -> Iterator[Dict[str, Any]]:
    stores = {"directory": DirectoryStore(tmp_path_factory.mktemp("both")),
              "postgres": tessary.open_store(pg_server.new_database())}
    for store in stores.values():
        assert store.store_many(RECEIPTS) == len(RECEIPTS)
    yield stores
    for store in stores.values():
        store.close()


def rids(found: Any) -> List[str]:
    return [r.rid for r in found]


@pytest.mark.parametrize("filters", FILTERS, ids=lambda f: ",".join(f) or "all")
def test_both_stores_give_the_same_receipts_in_the_same_time_order(both: Dict[str, Any],
                                                                  filters: Dict[str, Any]) -> None:
    directory, database = both["directory"], both["postgres"]
    unlimited = {k: v for k, v in filters.items() if k != "limit"}
    assert sorted(rids(directory.query(**unlimited))) == sorted(rids(database.query(**unlimited)))
    expected = rids(directory.query(**filters, order="time"))
    assert rids(database.query(**filters)) == expected
    assert rids(database.iter(**filters, batch_size=2)) == expected
    assert rids(directory.iter(**filters, order="time", batch_size=2)) == expected
    assert [r.to_json() for r in database.query(**filters)] == [r.to_json() for r in directory.query(
        **filters, order="time")]
    assert directory.count(**filters) == database.count(**filters) == len(expected)
    # One Filters value reads as its keywords do, and keywords put over it win.
    value = tessary.Filters(**unlimited)
    assert rids(database.iter(value, limit=filters.get("limit"))) == expected
    assert rids(directory.query(value, order="time", **{k: v for k, v in filters.items() if k == "limit"})) == expected


@pytest.mark.parametrize("filters, found", [
    ({"workload": "etl\x00"}, 1), ({"workload": "etl\x00x"}, 1), ({"trace": "t1\x00"}, 0),
    ({"policy": "\x00"}, 1), ({"change_epoch": "e\x00\U0001f600"}, 1), ({"workload": "etl\udcff"}, 0),
])
def test_filters_holding_any_code_point_match_exactly(both: Dict[str, Any], filters: Dict[str, Any],
                                                      found: int) -> None:
    for store in both.values():  # the comparison above means nothing if both find none
        assert store.count(**filters) == found


def test_the_time_order_is_seconds_then_identifier_with_bad_timestamps_last(both: Dict[str, Any]) -> None:
    found = both["postgres"].query()
    keys = [(int(r.ctx.time.timestamp() // 1) if r.ctx.time else 2**63, r.rid) for r in found]
    assert keys == sorted(keys)


# Which values each filter refuses is held in test_filters; here, that both stores refuse them alike.
@pytest.mark.parametrize("filters, error", [
    ({"limit": 1.5}, TypeError), ({"pac": b"short"}, ValueError), ({"end": float("nan")}, ValueError),
    ({"order": "size"}, ValueError), ({"batch_size": 0}, ValueError),
])
def test_bad_filters_fail_alike(make_store: Any, filters: Dict[str, Any], error: type) -> None:
    store = make_store()
    with pytest.raises(error) as raised:
        store.iter(**filters)
    if "batch_size" not in filters:
        with pytest.raises(error):
            store.query(**filters)
    if "batch_size" not in filters and "order" not in filters:
        with pytest.raises(error):
            store.count(**filters)
    assert "Database" not in str(raised.value)


def test_a_receipt_is_got_by_its_identifier_in_any_spelling(make_store: Any) -> None:
    store, kept = make_store(), RECEIPTS[0]
    store.store(kept)
    spellings = (kept.rid, kept.rid.upper(), uuid.UUID(kept.rid), "{%s}" % kept.rid.replace("-", ""))
    assert [store.get(rid) for rid in spellings] == [kept] * 4
    assert store.get(RECEIPTS[1].rid) is None and store.count() == 1 and store.count(trace="nothing") == 0
    with pytest.raises(tessary.StoreError, match="^Invalid input: not a receipt identifier: '../x'$"):
        store.get("../x")
    with pytest.raises(TypeError, match="str or uuid.UUID"):
        store.get(7)
    store.close()
    with pytest.raises(tessary.StoreError, match="closed"):
        store.get(kept.rid)


def test_storing_again_keeps_one_and_the_last_copy_wins(make_store: Any) -> None:
    store, first, changed = make_store(), execution(1, "etl", "t1"), execution(1, "etl", "t9")  # the same rid
    store.store(first)
    store.store(first)
    assert store.store_many([first, changed, first, changed]) == 4
    assert rids(store.query()) == [first.rid]
    assert store.query(trace="t1") == [] and store.query(trace="t9") == [changed]
    store.store(first)
    assert store.query(trace="t9") == [] and list(store) == [first]


def test_bad_receipts_are_refused_alike_and_store_nothing(make_store: Any) -> None:
    store = make_store()
    with pytest.raises(TypeError, match="Receipt objects"):
        store.store_many([*RECEIPTS[:3], {"rid": "x"}, RECEIPTS[4]])
    with pytest.raises(TypeError):
        store.store("{}")
    assert store.store_many([]) == 0 and store.query() == []


def test_a_closed_store_says_so(make_store: Any) -> None:
    store = make_store()
    store.close()
    for call in (store.query, store.iter, store.count, lambda: store.store(RECEIPTS[0])):
        with pytest.raises(tessary.StoreError, match="closed"):
            call()


def _step(name: str, outputs: Dict[str, str], work: pathlib.Path, fail: bool = False) -> Receipt:
    """The execution receipt of a block writing ``outputs`` (name -> text), or failing; no store."""
    with contextlib.suppress(RuntimeError), tessary.track(name, inputs=[work / "in"]) as t:
        if fail:
            raise RuntimeError("failed")
        for file, text in outputs.items():
            (work / file).write_text(text)
            t.output(work / file)
    assert t.record is not None
    return t.record.execution


@pytest.mark.parametrize("one_by_one", [False, True])
def test_step_receipts_are_found_by_output_and_by_method_newest_first(make_store: Any, tmp_path: pathlib.Path,
                                                                     one_by_one: bool) -> None:
    (tmp_path / "in").write_text("input")
    old = _step("make", {"a": "same"}, tmp_path)
    new = _step("make", {"a": "same"}, tmp_path)  # the same work again, within the same second
    pair = _step("pair", {"a": "same", "b": "other"}, tmp_path)
    failed = _step("make", {}, tmp_path, fail=True)
    store = make_store()
    kept = [failed, pair, old, new, *RECEIPTS[:3]]
    if one_by_one:
        for receipt in kept:
            store.store(receipt)
    else:
        store.store_many(kept)
    same = hashlib.sha256(b"same").hexdigest()
    for spelling in (same, "sha256:" + same, same.upper(), f" SHA256:{same}\n"):
        assert rids(store.find_by_output_digest(spelling)) == rids([pair, new, old])
    assert store.find_by_output_digest(pair.payload["output_digest"]) == [pair]  # several outputs: their commitment
    assert store.find_by_output_digest(hashlib.sha256(b"other").hexdigest()) == [pair]
    assert store.find_by_output_digest("0" * 64) == []
    root, inputs = new.payload["method_ref"]["method_shape_root"], new.payload["data_shape_hash"]
    assert store.find_by_method(root, inputs) == [failed, new, old]  # whatever the outcome
    assert store.find_by_method(root, pair.payload["data_shape_hash"] + "\x00") == []
    assert store.find_by_method(inputs, root) == [] and store.find_by_method(root, "\ud800") == []
    with pytest.raises(tessary.StepError, match="not a SHA-256 digest"):
        store.find_by_output_digest("sha256:" + same[:-1])
    with pytest.raises(TypeError, match="method_root must be a str"):
        store.find_by_method(None, inputs)
