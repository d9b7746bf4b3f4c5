"""Reuse by overlap: the reuse rule decides, and the spend receipt carries the figures it decided on.

Only requests are priced (one per run, one per reuse), so every cost is exact: c_comp is the earlier run's request
price, c_id the later one's."""
import json
import pathlib
import random
import sys
from typing import Any, Callable, List

import pytest

import tessary
from cli_helpers import run
from tessary import sketches
from tessary.steps import JSONCodec

BASE = random.Random(5).randbytes(2 << 20)
EDITED = BASE[: 1 << 20] + b"new rows" + BASE[(1 << 20) + 8 :]


def shape(data: bytes) -> tessary.DataShape:
    return tessary.data_shape(data, chunks=True)


def prices(per_request: float) -> dict:
    return {"currency": "EUR", "unit_prices": {"requests": per_request}}


def counting(store: Any, calls: List[int], **options: Any) -> Callable[..., Any]:
    def measure(data: bytes) -> int:
        calls.append(len(data))
        return len(data)

    return tessary.step(store=store, codec=JSONCodec(), reuse="overlap", **options)(measure)


@pytest.mark.parametrize("first_price, later_price, decision", [(100.0, 1.0, "reuse"), (1.0, 1.0, "recompute")])
def test_the_reuse_rule_decides_and_the_spend_receipt_holds_its_figures(
        tmp_path: pathlib.Path, first_price: float, later_price: float, decision: str) -> None:
    calls: List[int] = []
    store = tmp_path / "store"
    first = counting(store, calls, prices=prices(first_price), alpha=0.5)
    later = counting(store, calls, prices=prices(later_price), alpha=0.5)
    assert first(BASE) == len(BASE)
    seen = tessary.DirectoryStore(store).query()
    assert later(EDITED) == len(BASE if decision == "reuse" else EDITED)  # reused: the earlier result stands
    assert len(calls) == (1 if decision == "reuse" else 2)
    newest = [r for r in tessary.DirectoryStore(store).query() if r not in seen]
    assert sorted(r.kind.value for r in newest) == (["spend"] if decision == "reuse" else ["execution", "spend"])
    (spend,) = [r for r in newest if r.kind.value == "spend"]
    assert spend.payload["justification"] == {
        "overlap_j": tessary.jaccard(shape(BASE), shape(EDITED)), "alpha": 0.5, "c_id": later_price,
        "c_comp": first_price, "decision": decision, "layer": "execution",
        "minhash_sketch": sketches.MinHash.of(shape(EDITED)).to_text(),
    }
    assert 0.9 < spend.payload["justification"]["overlap_j"] < 1.0


def test_an_execution_receipt_carries_the_sketch_of_its_inputs_and_none_for_empty_ones(tmp_path: pathlib.Path) -> None:
    measure = tessary.step(store=tmp_path / "store", codec=JSONCodec())(lambda data: len(data))
    measure(BASE)
    measure(b"")
    executions = [r for r in tessary.DirectoryStore(tmp_path / "store").query() if r.kind.value == "execution"]
    empty, full = sorted(executions, key=lambda r: r.attest["materials"]["data"]["size"])
    assert bytes(full.payload["minhash_signature"]) == sketches.MinHash.of(shape(BASE)).to_bytes()
    assert full.payload["hll_cardinality"] == sketches.cardinality(shape(BASE)) > 1
    assert "minhash_signature" not in empty.payload and "hll_cardinality" not in empty.payload


@pytest.mark.parametrize("options, message", [
    ({}, "needs alpha"), ({"alpha": 0.5, "reuse": "exact"}, "give them with"),
    ({"alpha": 0.5, "cost_model": "m.json"}, "one of the two"), ({"alpha": -1}, "must not be negative"),
])
def test_overlap_reuse_is_refused_without_exactly_one_alpha(tmp_path: pathlib.Path, options: dict, message: str) -> None:
    with pytest.raises(tessary.StepError, match=message):
        tessary.step(store=tmp_path, **{"reuse": "overlap", **options})


def test_the_command_line_takes_alpha_from_a_cost_model_file(
        tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.chdir(tmp_path)
    pathlib.Path("model.json").write_text(json.dumps({"c_id": 1, "c_comp": 1, "alpha": 0.5}))
    pathlib.Path("copy.py").write_text("import shutil, sys\nopen('ran.log', 'a').write('x')\n"
                                       "shutil.copyfile(sys.argv[1], sys.argv[2])\n")
    for data, price in ((BASE, 100), (EDITED, 1)):
        pathlib.Path("in.bin").write_bytes(data)
        pathlib.Path("prices.json").write_text(json.dumps(prices(price)))
        code, out, err = run(capsys, "run", "copy", "-i", "in.bin", "-o", "out.bin", "--code", "copy.py",
                             "--store", "store", "--prices", "prices.json", "--reuse", "overlap",
                             "--cost-model", "model.json", "--json", "--", sys.executable, "copy.py", "in.bin", "out.bin")
        assert code == 0, err
    summary = json.loads(out)
    assert summary["reused"] and pathlib.Path("ran.log").read_text() == "x"
    assert pathlib.Path("out.bin").read_bytes() == BASE
    assert tessary.open_store("store").get(summary["spend"]).payload["justification"]["decision"] == "reuse"


def test_a_database_store_finds_overlapping_runs_through_its_band_index(pg_dsn: str, tmp_path: pathlib.Path) -> None:
    from tessary.pgstore import PostgresStore

    calls: List[int] = []
    with PostgresStore(pg_dsn) as store:
        counting(store, calls, prices=prices(100), alpha=0.5, cache=tmp_path / "cache")(BASE)
        sketch = sketches.MinHash.of(shape(EDITED))
        (found,) = store.find_by_sketch(sketch)
        assert store.find_by_sketch(sketch, method_root=found.payload["method_ref"]["method_shape_root"]) == [found]
        assert store.find_by_sketch(sketch, method_root="sha256:" + "0" * 64) == []
        assert counting(store, calls, prices=prices(1), alpha=0.5, cache=tmp_path / "cache")(EDITED) == len(BASE)
    assert len(calls) == 1
