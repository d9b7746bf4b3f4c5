"""Tracked steps in Python: the decorator and the context manager, their receipts and their refusals."""
import hashlib
import inspect
import math
import os
import pathlib
import socket
import threading
from typing import Any

import pytest

import _tessary
import tessary
from tessary import steps
from tessary._canonical import jcs
from concurrency import run_threads
from step_helpers import check_execution, check_native, check_spend, describe, pipeline


def _method(function: Any) -> dict:
    source = inspect.getsource(function.__wrapped__).encode()
    return {"kind": "python", "function": function.__wrapped__.__qualname__,
            "source_sha256": hashlib.sha256(source).hexdigest(), "code": []}


def test_decorated_pipeline_receipts_recompute_and_chain(tmp_path: pathlib.Path) -> None:
    store = tessary.DirectoryStore(tmp_path / "store")
    prepare, transform, fit = pipeline(tmp_path, store=store, version="2")
    model = fit(transform(prepare(50), factor=7))
    found = {r.rid: r for r in store.iter()}
    executions = sorted((r for r in found.values() if r.kind is tessary.ReceiptKind.EXECUTION), key=lambda r: r.timestamp)
    first, second, third = executions
    raw, scaled = tmp_path / "raw.csv", tmp_path / "scaled.csv"
    check_execution(first, inputs=[], outputs=[(str(raw), raw)], params={"rows": 50}, method=_method(prepare))
    check_execution(second, inputs=[("raw", raw)], outputs=[(str(scaled), scaled)], params={"factor": 7},
                    method=_method(transform))
    check_execution(third, inputs=[("data", scaled)], outputs=[(str(model), model)], params={}, method=_method(fit))
    assert first.payload["method_ref"]["version"] == "2" and first.links == () and first.trace == third.trace
    assert second.payload["prev_execution_rid"] == first.rid and third.payload["prev_execution_rid"] == second.rid
    spends = [r for r in found.values() if r.kind is tessary.ReceiptKind.SPEND]
    assert sorted(s.links[0] for s in spends) == sorted(r.rid for r in executions)
    for spend in spends:
        check_spend(spend, found[spend.links[0]])


def test_a_step_that_raises_is_failed_and_vouches_for_nothing(tmp_path: pathlib.Path) -> None:
    store = tessary.DirectoryStore(tmp_path / "store")
    out = tmp_path / "in.txt"
    out.write_text("input")

    @tessary.step(store=store)
    def broken(path: pathlib.Path) -> pathlib.Path:
        (tmp_path / "half").write_text("half")
        raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="boom"):
        broken(out)
    (execution,) = [r for r in store.iter() if r.kind is tessary.ReceiptKind.EXECUTION]
    check_execution(execution, inputs=[("path", out)], outputs=[], params={}, method=_method(broken), succeeded=False)
    assert execution.attest["status"] == "failed" and dict(execution.attest["products"]) == {}


def test_buffers_are_inputs_and_a_codec_makes_the_output(tmp_path: pathlib.Path) -> None:
    store = tessary.DirectoryStore(tmp_path / "store")

    @tessary.step(store=store, codec=steps.JSONCodec())
    def count(blob: bytes, word: str) -> dict:
        return {"count": blob.count(word.encode())}

    assert count(b"a b a", "a") == {"count": 2}
    (execution,) = [r for r in store.iter() if r.kind is tessary.ReceiptKind.EXECUTION]
    check_native(execution)
    blob, payload = execution.attest["materials"]["blob"], execution.payload
    assert (blob["type"], blob["sha256"], dict(execution.attest["params"])) == \
        ("buffer", hashlib.sha256(b"a b a").hexdigest(), {"word": "a"})
    assert (payload["output_digest"], payload["output_mime_type"]) == \
        ("sha256:" + hashlib.sha256(b'{"count":2}').hexdigest(), "application/json")


def _returning(value: object) -> Any:
    def odd() -> object:
        return value
    return odd


def _take(thing: object) -> None:
    raise AssertionError("must not run")


# Each refusal: the step made (given the store) and called, the error and its words.
REFUSALS = [
    *[(lambda store, v=v: tessary.step(store=store)(_returning(v))(), tessary.StepError, m, True)
      for v, m in ((42, "returned a int"), ("a/str/path", "returned a str"))],
    *[(lambda store, v=v: tessary.step(store=store)(_take)(v), tessary.StepError, "argument 'thing'", False)
      for v in (object(), {1, 2}, math.nan, socket)],
    *[(lambda store, p=p: tessary.track("p", store=store, prices=p), tessary.InputError, m, False) for p, m in (
        ({"currency": "eur"}, "currency"), ({"unit_prices": {"vcpu_sec": -1}}, "finite number"),
        ({"unit_prices": {"tokens": 1}}, "unknown resource"), ({"cost": 1}, "unknown member"))],
]


@pytest.mark.parametrize("make, error, message, ran", REFUSALS)
def test_what_a_step_cannot_take_or_give_is_refused_by_name(tmp_path: pathlib.Path, make: Any, error: type,
                                                             message: str, ran: bool) -> None:
    store = tessary.DirectoryStore(tmp_path / "store")
    with pytest.raises(error, match=message):
        make(store)
    executions = [r for r in store.iter() if r.kind is tessary.ReceiptKind.EXECUTION] if ran else []
    assert [r.attest["status"] for r in executions] == (["failed"] if ran else [])


def test_directory_manifest_sorts_by_bytes_records_links_and_excludes(tmp_path: pathlib.Path) -> None:
    tree = tmp_path / "tree"
    for name, text in (("a/b", "deep"), ("a.txt", "flat"), ("__pycache__/x.pyc", "skip")):
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_text(text)
    (tree / "up").symlink_to("..")
    with tessary.track("dir", inputs=[tree], store=tmp_path / "store") as t:
        pass
    assert t.record is not None and dict(t.record.execution.attest["materials"][str(tree)]) == describe(tree)
    check_execution(t.record.execution, inputs=[(str(tree), tree)], outputs=[], params={},
                    method={"kind": "block", "step": "dir", "code": []})


@pytest.fixture
def hostile(tmp_path: pathlib.Path) -> pathlib.Path:
    os.mkfifo(tmp_path / "fifo")
    (tmp_path / "dangling").symlink_to(tmp_path / "nowhere")
    (tmp_path / "loop1").symlink_to(tmp_path / "loop2")
    (tmp_path / "loop2").symlink_to(tmp_path / "loop1")
    (tmp_path / "withfifo").mkdir()
    os.mkfifo(tmp_path / "withfifo" / "pipe")
    return tmp_path


@pytest.mark.parametrize("name, reason", [
    ("fifo", "not a regular file (a FIFO)"), ("/dev/zero", "not a regular file (a device)"),
    ("dangling", "a dangling symbolic link"), ("loop1", "a loop of symbolic links"),
    ("withfifo", "not a regular file (a FIFO)"),
])
def test_hostile_inputs_are_refused_in_one_line_before_any_work(hostile: pathlib.Path, name: str, reason: str) -> None:
    path = pathlib.Path(name) if name.startswith("/") else hostile / name
    with pytest.raises(tessary.InputError) as caught:
        with tessary.track("h", inputs=[path], store=hostile / "store"):
            raise AssertionError("the block must not run")
    assert reason in str(caught.value) and "\n" not in str(caught.value)
    assert not (hostile / "store" / "receipts").exists()


def test_threads_record_steps_at_once(tmp_path: pathlib.Path) -> None:
    store = tessary.DirectoryStore(tmp_path / "store")
    start = threading.Barrier(4)

    def work(n: int) -> None:
        start.wait()
        out = tmp_path / f"out{n}.txt"
        with tessary.track(f"t{n}", store=store, params={"n": n}) as t:
            out.write_text(str(n))
            t.output(out)

    run_threads(*[lambda n=n: work(n) for n in range(4)])
    assert sorted(r.workload for r in store.iter() if r.kind is tessary.ReceiptKind.EXECUTION) == ["t0", "t1", "t2", "t3"]


@pytest.mark.parametrize("value", [
    {"b": 1, "a": [3, 1, 2], "B": None}, {"f": 0.1}, {"big": 1e16, "small": 1e-6, "tiny": 1e-5, "neg": -0.0},
    {"text": "é/\u007f\n\x1f"}, {"x": 1.0, "y": 100.0, "z": 12.34, "w": 2**64 + 1},
])
def test_canonical_json_matches_the_native_commitment(value: dict) -> None:
    # The native method shape commits to {"code_hash": ..., "params": value} in its canonical JSON.
    code = "sha256:" + "0" * 64
    ours = "sha256:" + hashlib.sha256(jcs({"code_hash": code, "params": value})).hexdigest()
    assert ours == _tessary.shapes.compute_method_shape_hash_from_code_py(code, value)


def test_a_function_without_source_is_known_by_its_code(tmp_path: pathlib.Path) -> None:
    with pytest.raises(TypeError, match="store="):
        tessary.step()
    for body in ("return None", "return None", "return None if x else None"):
        namespace: dict = {}
        exec(f"def made(x):\n    {body}", namespace)
        tessary.step(store=tmp_path / "store", reuse="never")(namespace["made"])(1)
    executions = sorted((r for r in tessary.DirectoryStore(tmp_path / "store").iter()
                         if r.kind is tessary.ReceiptKind.EXECUTION), key=lambda r: r.timestamp)
    assert all("bytecode_sha256" in r.attest["method"] and "source_sha256" not in r.attest["method"]
               for r in executions)
    first, second, third = [r.payload["method_ref"]["method_shape_root"] for r in executions]
    assert first == second != third
