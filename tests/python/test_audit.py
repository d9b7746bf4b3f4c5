"""Auditing a store: each receipt's own checks, links that resolve, cycles, files that are not receipts."""
import graphlib
import json
import pathlib
import random
from collections import Counter
from typing import Any, Iterable, Iterator, List, NoReturn, Optional, Sequence

import pytest

import tessary
from receipt_strategies import execution_payload, minimal, seal
from tessary import DirectoryStore, Problem, Receipt, audit, cli
from tessary.audit import _Graph, _key



def rid(n: int) -> str:
    return f"00000000-0000-4000-8000-{n:012d}"


def receipt_text(n: int, links: Sequence[int] = (), parent: Optional[int] = None, *, version: str = "0.1.0",
                 edit: Optional[dict[str, str]] = None) -> str:
    """Execution receipt ``n`` linking to those numbered ``links``, sealed, then the fields of ``edit`` changed
    (its stored hash then no longer matches)."""
    payload = execution_payload(**({} if parent is None else {"prev_execution_rid": rid(parent)}))
    obj = minimal("execution", payload, rid=rid(n), version=version, links=[rid(k) for k in links])
    text = str(seal(obj).to_json())
    return json.dumps(dict(json.loads(text), **edit)) if edit else text


STALE = {"dom": "sha256:" + "1" * 64}


def write(folder: pathlib.Path, texts: Iterable[str], *, store: bool) -> pathlib.Path:
    """The receipts as files: ``<folder>/receipts/<rid>.json`` for a store, ``<i>.json`` for a plain folder."""
    where = folder / "receipts" if store else folder
    where.mkdir(parents=True, exist_ok=True)
    for i, text in enumerate(texts):
        name = json.loads(text)["rid"] if store else f"r{i}"
        (where / f"{name}.json").write_text(text)
    return folder


def kinds(problems: Iterable[Problem]) -> Counter[str]:
    return Counter(p.kind for p in problems)


# -- what an audit finds, in a store and in a plain folder ------------------------------------

SCENARIOS: dict[str, tuple[list[str], dict[str, int], list[tuple[str, Optional[str], str]]]] = {
    "clean chain with parents": (
        [receipt_text(0), receipt_text(1, [0], parent=0), receipt_text(2, [1], parent=1), receipt_text(3, [0, 1])],
        {}, []),
    "dangling link": (
        [receipt_text(0), receipt_text(1, [0, 9])],
        {"dangling_link": 1}, [("dangling_link", rid(1), rid(9))]),
    "dangling parent only": (
        [receipt_text(0), receipt_text(1, [0], parent=7)],
        {"dangling_link": 1}, [("dangling_link", rid(1), rid(7))]),
    "receipt linking to itself": (
        [receipt_text(0, [0])],
        {"cycle": 1}, [("cycle", rid(0), "1 receipt on a cycle")]),
    "cycle through a parent": (
        [receipt_text(0, [], parent=1), receipt_text(1, [0])],
        {"cycle": 1}, [("cycle", None, rid(0)), ("cycle", None, rid(1))]),
    "stale hash": (
        [receipt_text(0), receipt_text(1, edit=STALE)],
        {"stale_hash": 1}, [("stale_hash", rid(1), "computed sha256:")]),
    "invalid": (
        [receipt_text(0, version="one"), receipt_text(1, [0])],
        {"invalid": 1}, [("invalid", rid(0), "ValidationError")]),
    "stale and invalid": (
        [receipt_text(0, version="one", edit={"version": "two"})],
        {"stale_hash": 1, "invalid": 1}, [("invalid", rid(0), "ValidationError"), ("stale_hash", rid(0), "stored")]),
}


@pytest.mark.parametrize("as_store", [True, False], ids=["store", "folder"])
@pytest.mark.parametrize("name", SCENARIOS)
def test_audit_finds_what_is_wrong(name: str, as_store: bool, tmp_path: pathlib.Path) -> None:
    texts, counts, expected = SCENARIOS[name]
    streamed: List[Problem] = []
    report = audit(write(tmp_path, texts, store=as_store), on_problem=streamed.append)
    assert report.receipts == len(texts)
    assert report.counts == counts and report.ok == (not counts)
    assert streamed == report.problems and kinds(report.problems) == Counter(counts)
    for kind, who, text in expected:
        assert any(p.kind == kind and (who is None or p.rid == who) and text in p.detail for p in report.problems), \
            (kind, who, text, report.problems)


def test_a_cycle_is_named_in_link_order(tmp_path: pathlib.Path) -> None:
    report = audit(write(tmp_path, [receipt_text(0, [1]), receipt_text(1, [2]), receipt_text(2, [0])], store=False))
    [problem] = report.problems
    names = problem.detail.split(": ", 1)[1].split(" -> ")
    following = {rid(0): rid(1), rid(1): rid(2), rid(2): rid(0)}
    assert names[0] == problem.rid and len(names) == 4 and all(following[a] == b for a, b in zip(names, names[1:]))


# -- files ------------------------------------------------------------------------------------

def test_the_same_identifier_in_two_files_of_a_folder_is_a_duplicate(tmp_path: pathlib.Path) -> None:
    report = audit(write(tmp_path, [receipt_text(0), receipt_text(1, [0]), receipt_text(0)], store=False))
    assert report.receipts == 3 and report.counts == {"duplicate": 1}
    assert report.problems[0].rid == rid(0)


# -- sources ----------------------------------------------------------------------------------

def refused(self: Any, *args: Any, **kwargs: Any) -> NoReturn:
    raise AssertionError("an audit only reads, with iter(), and leaves a store handed in open")


class ListStore:
    """A store an audit may only read a receipt at a time: writing, query() and close() fail the test."""

    store = store_many = get = count = query = close = __enter__ = __exit__ = refused
    find_by_output_digest = find_by_method = refused

    def __init__(self, receipts: List[Receipt]) -> None:
        self.receipts, self.iterated = receipts, 0

    def iter(self, filters: Optional[tessary.Filters] = None, *, batch_size: int = 1000, order: Optional[str] = None,
             **criteria: Any) -> Iterator[Receipt]:
        assert filters is None and not criteria
        for receipt in self.receipts:
            self.iterated += 1
            yield receipt


def test_a_store_object_is_read_with_iter_and_left_open(tmp_path: pathlib.Path) -> None:
    receipts = [Receipt.from_json(t) for t in (receipt_text(0), receipt_text(1, [0]), receipt_text(2, [3]))]
    source = ListStore(receipts)
    report = audit(source)
    assert source.iterated == 3 and report.counts == {"dangling_link": 1}
    with DirectoryStore(tmp_path / "s") as store:
        store.store_many(receipts[:2])
        assert audit(store).ok
        assert len(store.query()) == 2


# -- the report -------------------------------------------------------------------------------

def test_the_report_is_json_and_reads_counts_first(tmp_path: pathlib.Path) -> None:
    report = audit(write(tmp_path, [receipt_text(0, [8]), receipt_text(1, edit=STALE), receipt_text(2, [9])], store=False))
    data = json.loads(json.dumps(report.to_dict()))
    assert (data["receipts"], data["ok"], data["counts"]) == (3, False, {"stale_hash": 1, "dangling_link": 2})
    assert [(p["kind"], p["rid"]) for p in data["problems"]] == [(p.kind, p.rid) for p in report.problems]
    lines = report.format().splitlines()
    assert lines[0] == "3 receipts checked: 3 problems" and len(lines) == 6


# -- the cycle finder on its own --------------------------------------------------------------

def graph(n: int, edges: Iterable[tuple[int, int]]) -> _Graph:
    g = _Graph()
    for i in range(n):
        g.add_receipt(_key(rid(i)))
    for s, d in edges:
        g.add_edges(_key(rid(s)), iter([_key(rid(d))]))
    return g


def acyclic(n: int, edges: List[tuple[int, int]]) -> bool:
    try:
        graphlib.TopologicalSorter({i: {d for s, d in edges if s == i} for i in range(n)}).prepare()
    except graphlib.CycleError:
        return False
    return True


@pytest.mark.parametrize("seed", range(40))
def test_every_cycle_reported_is_real_and_one_is_found_when_there_is_one(seed: int) -> None:
    rng = random.Random(seed)
    n = rng.randint(1, 12)
    edges = [(rng.randrange(n), rng.randrange(n)) for _ in range(rng.randint(0, 2 * n))]
    found = list(graph(n, edges).cycles())
    assert (not found) == acyclic(n, edges)
    for length, nodes in found:
        cycle = list(nodes)
        assert len(cycle) == length <= n and len(set(cycle)) == length
        assert all((a, b) in edges for a, b in zip(cycle, cycle[1:] + cycle[:1]))


@pytest.mark.parametrize("closed", [False, True])
def test_a_long_chain_is_walked_without_recursion(closed: bool) -> None:
    n = 200_001
    edges = [(i, i - 1) for i in range(1, n)]
    if closed:
        edges.append((0, n - 1))
    found = list(graph(n, edges).cycles())
    assert [length for length, _ in found] == ([n] if closed else [])


# -- the command line -------------------------------------------------------------------------

def test_with_trust_every_receipt_must_carry_a_trusted_signature(tmp_path: pathlib.Path) -> None:
    key, stranger = tessary.SigningKey.generate(), tessary.SigningKey.generate()
    first = tessary.record("w", {"n": 1})
    receipts = [tessary.sign(first, key), tessary.sign(tessary.record("w", {"n": 2}, parent=first), stranger),
                tessary.record("w", {"n": 3})]
    DirectoryStore(tmp_path).store_many(receipts)
    report = audit(tmp_path, trust=tessary.Keyring([key.public_key]))
    assert {(p.kind, p.rid) for p in report.problems} == {("unknown_key", receipts[1].rid),
                                                         ("unsigned", receipts[2].rid)}
    assert audit(tmp_path).ok and audit(str(tmp_path)).ok  # without trust, signatures are not asked for
    assert audit(tmp_path / "receipts").ok  # the receipts folder read as a plain folder
    key.public_key.save(tmp_path / "trusted")
    assert cli.main(["audit", str(tmp_path), "--trust", str(tmp_path / "trusted")]) == 1
