"""Receipts through the fixed module: reading and writing every kind, the hash recomputed from the written JSON
with a separate CBOR writer, recording, verifying and validating, and the PyReceipt handle."""
import copy
import datetime
import functools
import hashlib
import json
import operator
import re

import cbor2
import pytest
from hypothesis import given

import _tessary
from receipt_strategies import (H0, body, changed, checked, dumps, execution_payload, expected, leaves, minimal, ordered,
                                receipts, seal, text_styles)

receipts_module = _tessary.receipts
from_json = receipts_module.receipt_from_json_py
RECORDERS = [_tessary.record_work_py, receipts_module.record_work_py, _tessary.Client().record_work]
VERIFIERS = [_tessary.verify_receipt_py, receipts_module.verify_receipt_py, _tessary.Client().verify_receipt]
H = "sha256:" + "ef" * 32


def sha(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


def verified(receipt):
    results = {verify(receipt) for verify in VERIFIERS}
    assert len(results) == 1
    return results.pop()


# -- reading and writing ---------------------------------------------------------------------
PREFIX = "Failed to create receipt from JSON: JSON deserialization failed: "


def head(major, n):
    encoded = cbor2.dumps(n)  # an unsigned integer's shortest head, its type bits then set
    return bytes([encoded[0] | major << 5]) + encoded[1:]


def canonical(item):
    """Definite lengths, shortest heads and float widths; map keys ordered by their UTF-8 bytes, never length first."""
    if isinstance(item, dict):
        entries = sorted(item.items(), key=lambda kv: kv[0].encode() if isinstance(kv[0], str) else canonical(kv[0]))
        return head(5, len(entries)) + b"".join(canonical(k) + canonical(v) for k, v in entries)
    if isinstance(item, list):
        return head(4, len(item)) + b"".join(canonical(x) for x in item)
    return cbor2.dumps(item, canonical=True)


KINDS = {"data_shape": "DataShape", "method_shape": "MethodShape", "reasoning_shape": "ReasoningShape",
         "execution": "Execution", "spend": "Spend", "settlement": "Settlement"}


@checked(300)
@given(receipts(), text_styles)
def test_every_kind_reads_back_as_written_and_hashes_its_canonical_body(obj, style):
    receipt = from_json(dumps(obj, **style))
    out = receipt.to_json()
    again = from_json(out)
    assert again.to_json() == out and again.compute_hash() == receipt.compute_hash()
    assert ordered(json.loads(out)) == ordered(expected(obj, "Receipt/" + obj["kind"]))
    assert "\n" not in out and not out.endswith(" ")
    doc = json.loads(out)
    execution = doc["payload"] if doc["kind"] == "execution" else None
    assert (receipt.get_kind(), receipt.get_rid(), receipt.get_version(), receipt.get_hash(), receipt.get_dom(),
            receipt.get_cod()) == (KINDS[doc["kind"]], doc["rid"], doc["version"], doc["hash"], doc["dom"], doc["cod"])
    assert receipt.get_trace_id() == (execution and execution["trace_id"])
    assert receipt.get_workload_id() == (execution and execution["method_ref"]["method_id"])

    item = body(json.loads(out), "Receipt/" + obj["kind"])
    encoded = canonical(item)
    assert cbor2.loads(encoded) == item and encoded.startswith(b"\xa9\x66attest")
    assert "sha256:" + hashlib.sha256(encoded).hexdigest() == receipt.compute_hash()


PAC_SHORT = execution_payload(pac=[0] * 31)


# Exact messages and columns are held in the C++ tests; here, that they reach
# Python as ValueError under the boundary's own prefix.
@pytest.mark.parametrize("text, message", [
    ("{}", "missing field `kind`"),
    (json.dumps(minimal("execution", PAC_SHORT)),
     "Failed to deserialize ExecutionPayload: Array too short, expected 32 bytes, got 31 at line 1 column "),
    (json.dumps(minimal("data_shape", {"schema_hash": H})) + "}", "trailing characters at line 1 column "),
])
def test_reader_errors(text, message):
    with pytest.raises(ValueError) as err:
        from_json(text)
    assert str(err.value).startswith(PREFIX + message)


# -- verification -------------------------------------------------------------------------
# The hash is looked at before any other rule, so a tampered receipt is
# refused whatever else is wrong with it. That the signature is outside the hash is held in
# the reading test above, the seal's own format in the C++ tests.
@checked(150)
@given(receipts(full=True) | receipts())
def test_every_field_but_the_seal_is_covered_by_the_hash(obj):
    receipt = seal(obj)
    assert receipt.get_hash() == receipt.compute_hash()
    out = json.loads(receipt.to_json())

    for path, tp in leaves(out, "Receipt/" + out["kind"]):
        tampered = copy.deepcopy(out)
        parent = functools.reduce(operator.getitem, path[:-1], tampered)
        parent[path[-1]] = changed(parent[path[-1]], tp)
        tampered = from_json(json.dumps(tampered, ensure_ascii=False))
        assert tampered.get_hash() == receipt.get_hash() != tampered.compute_hash(), path
        assert verified(tampered) is False


def settlement(wur_refs=("w",), **top):
    return minimal("settlement", {"wur_refs": list(wur_refs), "net_positions": {}, "rules_ref": "r"}, **top)


# The rules themselves and their order are held in the C++ tests; here, how their failures cross
# into Python: verify says False to a wrong seal and raises for a broken rule; validate raises for both.
MISMATCH = from_json(json.dumps(settlement(hash=H)))


@pytest.mark.parametrize("receipt, message, verify_raises", [
    (from_json(json.dumps(settlement(hash="sha256:ABC"))),
     "Invalid hash format: sha256:ABC (must match ^sha256:[0-9a-f]{64}$)", False),
    (MISMATCH, f"Hash mismatch: expected {H}, computed {MISMATCH.compute_hash()}", False),
    (seal(settlement(wur_refs=[])), "Invalid value: settlement.wur_refs must not be empty", True),
])
def test_validation_failures(receipt, message, verify_raises):
    with pytest.raises(ValueError, match="^" + re.escape("Receipt validation failed: " + message) + "$"):
        receipt.validate()
    for verify in VERIFIERS:
        if verify_raises:
            with pytest.raises(ValueError, match="^" + re.escape("ValidationError: " + message) + "$"):
                verify(receipt)
        else:
            assert verify(receipt) is False


# -- recording ----------------------------------------------------------------------------
@pytest.fixture(params=RECORDERS, ids=["root", "receipts", "client"])
def record(request):
    return request.param


def document(receipt):
    return json.loads(receipt.to_json())


@pytest.mark.parametrize("payload", [{"s": {1}}, {"k": object()}, {(1, 2): 3}])
def test_json_module_errors_pass_through(record, payload):
    with pytest.raises(Exception) as expected:
        json.dumps(payload)
    with pytest.raises(type(expected.value), match="^" + re.escape(str(expected.value)) + "$"):
        record("w", payload)


def nest(levels):
    value = {}
    for i in range(levels - 1):
        value = {"k": value} if i % 2 else [value]
    return value if isinstance(value, dict) else {"k": value}


@pytest.mark.parametrize("payload, fragment", [
    ({"x": float("nan")}, ""), ({"x": [float("-inf")]}, ""), (nest(128), "recursion limit exceeded"),
])
def test_payloads_that_are_not_json(record, payload, fragment):
    with pytest.raises(ValueError, match="^Failed to parse payload JSON: .*" + re.escape(fragment)):
        record("w", payload)


# Tags enter no commitment; the payload enters as its canonical JSON text.
@pytest.mark.parametrize("workload, payload, tags, text", [
    ("job-1", {"b": [1, 2, {"d": None, "c": True}], "a": "x"}, ["t1"], b'{"a":"x","b":[1,2,{"c":true,"d":null}]}'),
    ("", {1: "one"}, None, b'{"1":"one"}'), ("job-1", nest(127), [], None),
])
def test_recorded_commitments(record, workload, payload, tags, text):
    receipt = record(workload_id=workload, payload=payload, tags=tags)
    doc = document(receipt)
    dom = sha(text) if text else doc["dom"]
    trace = "trace:00000000-0000-0000-0000-000000000001"
    assert ordered(doc) == ordered({
        "rid": doc["rid"], "version": "0.1.0", "kind": "execution", "dom": dom, "cod": sha(dom.encode()), "links": [],
        "ctx": {"policy_ref": None, "timestamp": doc["ctx"]["timestamp"], "nonce": None,
                "determinism": "observational", "identity_ref": None},
        "payload": {"trace_id": trace,
                    "method_ref": {"method_id": workload, "version": "0.1.0",
                                   "method_shape_root": sha(b"workload:" + workload.encode())},
                    "data_shape_hash": dom, "span_commitments": [dom],
                    "roots": {"trace_set_root": sha(dom.encode()), "identity_root": sha(b"\0"),
                              "trace_seq_root": sha(dom.encode())}, "cdf_metadata": None},
        "attest": None, "sig": None, "hash": doc["hash"]})
    assert receipt.get_hash() == receipt.compute_hash() and verified(receipt) is True  # getters: above


@pytest.mark.parametrize("parent, link", [
    ("{ABCDEF01-2345-6789-ABCD-EF0123456789}", "abcdef01-2345-6789-abcd-ef0123456789"),
    ("not-a-uuid", None), (None, None),
])
def test_parent_link(record, parent, link):
    doc = document(record("w", {}, trace_id=" any trace ", parent_id=parent))
    assert doc["links"] == ([link] if link else [])
    assert ("prev_execution_rid" in doc["payload"], doc["payload"].get("prev_execution_rid")) == (bool(link), link)
    assert doc["payload"]["trace_id"] == " any trace "


def test_timestamps_and_identifiers():
    stamp = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00\Z")
    rid = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\Z")
    before = datetime.datetime.now(datetime.timezone.utc)
    made = [_tessary.record_work_py("w", {}) for _ in range(50)]
    after = datetime.datetime.now(datetime.timezone.utc)
    for receipt in made:
        ts = document(receipt)["ctx"]["timestamp"]
        assert stamp.match(ts) and rid.match(receipt.get_rid())
        assert not re.search(r"\.(\d{3})*000\+", ts)  # the fraction is as short as the clock reading allows
        moment = datetime.datetime.fromisoformat(re.sub(r"(\.\d{6})\d{3}", r"\1", ts))
        assert before - datetime.timedelta(seconds=1) <= moment <= after + datetime.timedelta(seconds=1)
    assert len({r.get_rid() for r in made}) == 50
