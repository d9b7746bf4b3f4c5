"""The public receipt API: fields of every kind, value behaviour, record and verify."""
import copy
import inspect
import json
import pickle
import uuid
from datetime import datetime, timedelta, timezone
from typing import Any, Dict, Union

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessary
from tessary import Receipt, ReceiptKind
from receipt_strategies import checked, receipts, seal
from tessary._time import parse_timestamp


@checked(100)
@given(receipts(full=True))
def test_every_field_of_every_kind_reads_back_as_its_json_form(obj: dict[str, Any]) -> None:
    receipt = Receipt.from_json(seal(obj).to_json())
    wire = receipt.to_dict()
    assert receipt.kind is ReceiptKind(wire["kind"])
    assert (receipt.rid, receipt.version, receipt.hash, receipt.dom, receipt.cod) == (
        wire["rid"], wire["version"], wire["hash"], wire["dom"], wire["cod"])
    assert list(receipt.links) == wire["links"]
    ctx = wire["ctx"]
    assert receipt.ctx._replace(determinism=ctx["determinism"]) == (
        ctx["timestamp"], ctx["policy_ref"], ctx["nonce"], ctx["determinism"], ctx["identity_ref"])
    assert json.loads(json.dumps(receipt.payload, default=dict_or_list)) == wire["payload"]
    assert json.loads(json.dumps(receipt.attest, default=dict_or_list)) == wire["attest"]
    assert (receipt.sig and receipt.sig._asdict()) == wire["sig"]
    if receipt.kind is ReceiptKind.EXECUTION:
        assert receipt.workload == wire["payload"]["method_ref"]["method_id"]
        assert receipt.parent == wire["payload"].get("prev_execution_rid")
    else:
        assert receipt.workload is None and receipt.parent is None
    twin = pickle.loads(pickle.dumps(receipt))
    assert twin == receipt and hash(twin) == hash(receipt) and twin is not receipt
    assert receipt.rid in repr(receipt)


def dict_or_list(value: Any) -> Union[dict[str, Any], list[Any]]:
    return dict(value) if hasattr(value, "keys") else list(value)


def test_fields_are_read_only_views_and_receipts_come_only_from_the_package() -> None:
    receipt = tessary.record("w", {"rows": [1, 2]})
    with pytest.raises(AttributeError):
        receipt.rid = "x"  # type: ignore[misc]
    with pytest.raises(TypeError):
        receipt.payload["trace_id"] = "x"  # type: ignore[index]
    with pytest.raises(TypeError, match="made by"):
        Receipt()
    assert copy.deepcopy(receipt) == receipt
    assert receipt != tessary.record("w", {"rows": [1, 2]})  # a new rid and timestamp
    assert receipt.ctx.time is not None and receipt.ctx.time.tzinfo is not None


def test_record_links_a_parent_given_as_receipt_text_or_uuid() -> None:
    parent = tessary.record("prepare", {"n": 1})
    for given_as in (parent, parent.rid, uuid.UUID(parent.rid), parent.rid.upper()):
        child = tessary.record("train", {"n": 2}, parent=given_as, trace="run-7", tags=("a", "b"))
        assert child.links == (parent.rid,) and child.parent == parent.rid and child.trace == "run-7"
    with pytest.raises(ValueError, match="receipt identifier"):
        tessary.record("train", {}, parent="not-a-uuid")
    with pytest.raises(TypeError):
        tessary.record("train", {}, tags="one")
    with pytest.raises(TypeError):
        tessary.record("train", ["not", "a", "mapping"])  # type: ignore[arg-type]


def test_verify_is_a_bool_and_verify_strict_gives_the_reason() -> None:
    receipt = tessary.record("w", {"x": 1})
    assert tessary.verify(receipt) and tessary.Client().verify(receipt) and receipt.verify()
    assert tessary.verify_strict(receipt) is None  # type: ignore[func-returns-value]
    wire = receipt.to_dict()
    tampered = Receipt.from_json(json.dumps(dict(wire, dom="sha256:" + "0" * 64)))
    invalid = Receipt.from_json(seal(dict(wire, version="one")).to_json())
    for bad, reason in ((tampered, "^Hash mismatch: expected " + receipt.hash), (invalid, "^ValidationError: ")):
        assert not tessary.verify(bad)
        with pytest.raises(tessary.VerificationError, match=reason):
            tessary.verify_strict(bad)
    with pytest.raises(TypeError):
        tessary.verify(wire)  # type: ignore[arg-type]


@pytest.mark.parametrize("text", ["{}", "[1", '{"kind": "execution"}', b"\xff", "null"])
def test_from_json_refuses_what_is_not_a_receipt(text: Union[str, bytes]) -> None:
    for strict in (True, False):  # the refusal is the reader's own, not the strict check's
        with pytest.raises(tessary.ReceiptError) as caught:
            Receipt.from_json(text, strict=strict)
        assert "unsealed" not in str(caught.value)


def test_public_names_are_documented_and_signatures_are_keyword_friendly() -> None:
    for name in tessary.__all__:
        assert getattr(tessary, name).__doc__, name
    assert list(inspect.signature(tessary.record).parameters) == ["workload", "payload", "tags", "trace", "parent"]
    assert [p.kind for p in inspect.signature(tessary.record).parameters.values()][2:] == [
        inspect.Parameter.KEYWORD_ONLY] * 3
    for error in ("ReceiptError", "VerificationError", "StoreError", "ShapeError", "CostModelError"):
        assert issubclass(getattr(tessary, error), (tessary.TessaryError, ValueError))



@given(st.datetimes(), st.integers(-(24 * 60 - 1), 24 * 60 - 1), st.integers(0, 999), st.booleans(), st.text())
def test_receipt_timestamps_parse_as_rfc3339_and_anything_else_as_none(
        wall: datetime, offset_minutes: int, nanos: int, zulu: bool, noise: str) -> None:
    moment = wall.replace(tzinfo=timezone(timedelta(minutes=offset_minutes)))
    text = moment.isoformat(timespec="microseconds")
    text = text[:26] + f"{nanos:03d}" + text[26:]  # nine fraction digits, as recorded receipts carry
    if zulu and offset_minutes == 0:
        text = text[:-6] + "Z"
    assert parse_timestamp(text) == moment
    assert parse_timestamp(noise) is None or noise[:4].isdigit()


@pytest.mark.parametrize("depth", [600, 990, 100_000])  # past the reader's limit, near and past the interpreter's
def test_a_deeply_nested_payload_is_a_receipt_error_not_a_crash(depth: int) -> None:
    payload: Dict[str, Any] = {}
    inner = payload
    for _ in range(depth):
        inner["a"] = {}
        inner = inner["a"]
    with pytest.raises(tessary.ReceiptError, match="^payload is nested too deeply to be written as JSON$"):
        tessary.record("w", payload)
