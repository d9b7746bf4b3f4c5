"""Lineage, lookups and the graph of tracked steps, through Python and the command line."""
import hashlib
import json
import pathlib
from typing import List, Optional, Tuple

import pytest

import tessary
from cli_helpers import one_error_line, run
from tessary.lineage import NotProducedError, find_by_method, find_by_output_digest, graph, lineage
from step_helpers import pipeline

NAMES = ["prepare", "transform", "fit"]


def _tracked_chain(work: pathlib.Path, store: tessary.Store, key: Optional[tessary.SigningKey] = None) -> pathlib.Path:
    """prepare -> transform -> fit with the context manager, and a failed step beside them."""
    previous: List[pathlib.Path] = []
    for name in NAMES:
        out = work / f"{name}.out"
        with tessary.track(name, inputs=previous, store=store, key=key) as t:
            out.write_text(name + "".join(p.read_text() for p in previous))
            t.output(out)
        previous = [out]
    with pytest.raises(RuntimeError):
        with tessary.track("broken", inputs=previous, store=store, key=key):
            raise RuntimeError("no")
    return previous[0]


def _executions(store: tessary.Store) -> List[tessary.Receipt]:
    return sorted((r for r in store.iter() if r.kind is tessary.ReceiptKind.EXECUTION), key=lambda r: r.timestamp)


def test_lineage_of_the_final_output_lists_the_three_steps_in_order(tmp_path: pathlib.Path,
                                                                   capsys: pytest.CaptureFixture[str]) -> None:
    store_dir = tmp_path / "store"
    store = tessary.DirectoryStore(store_dir)
    prepare, transform, fit = pipeline(tmp_path, store=store)
    model = fit(transform(prepare(20), factor=5))
    chain = lineage(model, store)
    assert [s.name for s in chain] == NAMES and all(s.ok and s.status == "succeeded" for s in chain)
    assert chain[-1].outputs == {str(model): "sha256:" + hashlib.sha256(model.read_bytes()).hexdigest()}
    assert [s.name for s in lineage(chain[1].receipt.rid, store)] == NAMES[:2]
    assert find_by_output_digest(store, chain[-1].outputs[str(model)][len("sha256:"):]) == [chain[-1].receipt]
    ref = chain[1].receipt.payload
    assert find_by_method(store, ref["method_ref"]["method_shape_root"], ref["data_shape_hash"]) == [chain[1].receipt]
    code, out, _ = run(capsys, "lineage", model, "--store", store_dir)
    assert code == 0 and [line.split()[0] for line in out.splitlines()] == NAMES
    listed = json.loads(run(capsys, "lineage", model, "--store", store_dir, "--json")[1])
    assert listed["ok"] and [s["rid"] for s in listed["steps"]] == [s.receipt.rid for s in chain]


def test_a_tampered_receipt_in_the_chain_is_reported(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    store_dir = tmp_path / "store"
    final = _tracked_chain(tmp_path, tessary.DirectoryStore(store_dir))
    middle = _executions(tessary.DirectoryStore(store_dir))[1]
    path = store_dir / "receipts" / f"{middle.rid}.json"
    path.write_text(path.read_text().replace('"transform"', '"innocent"'))
    chain = lineage(final, tessary.DirectoryStore(store_dir))
    assert [s.ok for s in chain] == [True, False, True] and "does not verify" in str(chain[1].problem)
    code, out, _ = run(capsys, "lineage", final, "--store", store_dir)
    assert code == 1 and "FAILED: does not verify" in out.splitlines()[1] and len(out.splitlines()) == 3


@pytest.mark.parametrize("signed, trusted, code, status", [
    (True, True, 0, None), (False, True, 1, "unsigned"), (True, False, 1, "unknown_key")])
def test_trust_requires_a_signature_by_a_trusted_key(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str],
                                                     signed: bool, trusted: bool, code: int,
                                                     status: Optional[str]) -> None:
    key, other = tessary.SigningKey.generate(), tessary.SigningKey.generate()
    final = _tracked_chain(tmp_path, tessary.DirectoryStore(tmp_path / "store"), key if signed else None)
    (key if trusted else other).public_key.save(pub := tmp_path / "trusted.pub")
    chain = lineage(final, tessary.DirectoryStore(tmp_path / "store"), trust=tessary.Keyring.from_paths(pub))
    assert len(chain) == 3 and all((s.problem is None) == (status is None) for s in chain)
    got, out, _ = run(capsys, "lineage", final, "--store", tmp_path / "store", "--trust", pub)
    assert got == code and (status is None or out.count(f"not trusted ({status})") == 3)


def test_a_file_no_step_produced_and_unknown_identifiers(tmp_path: pathlib.Path,
                                                          capsys: pytest.CaptureFixture[str]) -> None:
    store_dir = tmp_path / "store"
    _tracked_chain(tmp_path, tessary.DirectoryStore(store_dir))
    (stray := tmp_path / "stray.txt").write_text("nobody wrote me")
    with pytest.raises(NotProducedError):
        lineage(stray, tessary.DirectoryStore(store_dir))
    code, _, err = run(capsys, "lineage", stray, "--store", store_dir)
    assert code == 2 and one_error_line(err).endswith(f"no step in {store_dir} produced {stray}")
    code, _, err = run(capsys, "lineage", "6f1c1d2e-0000-4000-8000-000000000000", "--store", store_dir)
    assert code == 2 and "no receipt 6f1c1d2e" in one_error_line(err)


def _edges(store: tessary.Store) -> List[Tuple[str, str]]:
    """Every input -> step and step -> output edge, from the receipts' attest."""
    edges = []
    for r in _executions(store):
        step = "s_" + r.rid.replace("-", "")
        edges += [("f_" + m["sha256"], step) for m in r.attest["materials"].values()]
        edges += [(step, "f_" + p["sha256"]) for p in r.attest["products"].values()]
    return edges


def test_graph_in_json_mermaid_and_dot_holds_every_edge_once(tmp_path: pathlib.Path,
                                                             capsys: pytest.CaptureFixture[str]) -> None:
    store_dir = tmp_path / "store"
    store = tessary.DirectoryStore(store_dir)
    odd = tmp_path / 'we"ird <name>.txt'
    odd.write_text("raw")
    with tessary.track("take", inputs=[odd], store=store) as t:
        t.output(odd)
    _tracked_chain(tmp_path, store)
    expected = _edges(store)
    assert len(expected) == len(set(expected)) == 8 and set(graph(store).edges) == set(expected)
    drawn = json.loads(run(capsys, "graph", "--store", store_dir, "--format", "json")[1])
    assert sorted((e["from"], e["to"]) for e in drawn["edges"]) == sorted(expected)
    for form, arrow, label in (("mermaid", "-->", "we#quot;ird #lt;name#gt;.txt"), ("dot", "->", 'we\\"ird <name>.txt')):
        code, out, _ = run(capsys, "graph", "--store", store_dir, "--format", form)
        assert code == 0 and sorted(tuple(line.strip(" ;").split(f" {arrow} ")) for line in out.splitlines()
                                    if f" {arrow} " in line) == sorted(expected)
        assert f'"{label}"' in out and '"we"ird' not in out
    code, out, _ = run(capsys, "graph", "--store", store_dir, "--format", "json", "--workload", "fit")
    assert [n["label"] for n in json.loads(out)["nodes"] if n["kind"] == "step"] == ["fit (succeeded)"]
