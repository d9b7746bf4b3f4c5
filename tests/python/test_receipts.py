"""Recording, verifying and validating receipts, and the PyReceipt handle."""
import copy
import datetime
import hashlib
import inspect
import json
import re
from collections import OrderedDict

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _tessary
from receipt_strategies import KINDS, changed, checked, dumps, leaves, receipts, seal

receipts_module = _tessary.receipts
from_json = receipts_module.receipt_from_json_py
RECORDERS = [_tessary.record_work_py, receipts_module.record_work_py]
VERIFIERS = [_tessary.verify_receipt_py, receipts_module.verify_receipt_py]
H = "sha256:" + "ef" * 32
HASH_TEXT = re.compile(r"sha256:[0-9a-f]{64}\Z")


def sha(data):
    return "sha256:" + hashlib.sha256(data).hexdigest()


def at(obj, path):
    for key in path[:-1]:
        obj = obj[key]
    return obj, path[-1]


def reload(out):
    return from_json(json.dumps(out, ensure_ascii=False))


def verified(receipt):
    results = {verify(receipt) for verify in VERIFIERS}
    assert len(results) == 1
    return results.pop()


# -- verification -------------------------------------------------------------------------
@checked(150)
@given(receipts(valid=True, full=True) | receipts(valid=True), st.data())
def test_every_field_but_the_seal_is_covered_by_the_hash(obj, data):
    receipt = seal(obj)
    assert verified(receipt) is True and receipt.validate() is None
    out = json.loads(receipt.to_json())

    for path, tp in leaves(out, "Receipt/" + out["kind"]):
        tampered = copy.deepcopy(out)
        parent, key = at(tampered, path)
        parent[key] = changed(parent[key], tp)
        tampered = reload(tampered)
        assert tampered.get_hash() == receipt.get_hash() != tampered.compute_hash(), path
        assert verified(tampered) is False

    resigned = dict(out, sig={"alg": "ed25519", "kid": "k", "sig": data.draw(st.text(), label="sig")})
    assert verified(reload(resigned)) is True
    assert verified(reload(dict(out, hash=out["hash"].upper()))) is False
    assert verified(reload(dict(out, hash="SHA256:" + out["hash"][7:]))) is False


def valid_base(kind):
    payloads = {
        "data_shape": {"schema_hash": H, "sketch_hash": H},
        "method_shape": {"nodes": [{"id": "n", "span_shape_hash": H}], "root_multiset": H, "dag_hash": H},
        "reasoning_shape": {"intent_hash": H, "dag_hash": H,
                            "node_refs": [{"node_id": "n", "operator_ref": "o"}],
                            "quality": {"review_hash": H}},
        "execution": {"trace_id": "t",
                      "method_ref": {"method_id": "m", "version": "1", "method_shape_root": H},
                      "data_shape_hash": H, "span_commitments": [H],
                      "roots": {"trace_set_root": H, "identity_root": H, "trace_seq_root": H},
                      "change_epoch": "e1", "hll_cardinality": 1},
        "spend": {"meter": {"vcpu_sec": 2, "gpu_sec": 3}, "unit_prices": {"vcpu_sec": 0.5, "gb_sec": 9},
                  "currency": "USD", "total_value": 1, "pointers": {"trace_id": "t"},
                  "justification": {"layer": "data"}},
        "settlement": {"wur_refs": ["w"], "net_positions": {}, "rules_ref": "r"},
    }
    return {"rid": "00112233-4455-6677-8899-aabbccddeeff", "version": "0.1.0", "kind": kind, "dom": H,
            "cod": H, "links": [], "payload": payloads[kind], "hash": "",
            "ctx": {"timestamp": "2025-01-17T12:00:00Z", "policy_ref": "pol:team/etl@1.0.0",
                    "identity_ref": "did:example:123"}}


def bad_hash(text):
    return f"Invalid hash format: {text} (must match ^sha256:[0-9a-f]{{64}}$)"


def value(text):
    return "Invalid value: " + text


PASSING = [("data_shape", {"version": v}) for v in ("1.2", "+1.2", "1.2.x", "01.002")] + [
    ("data_shape", {"ctx.timestamp": "2025-01-17T12:00:00.123456+00:00"}),
    *[("data_shape", {"ctx.policy_ref": p}) for p in ("pol:/@1.0", "pol:simple", None)],
    *[("data_shape", {"ctx.identity_ref": i}) for i in ("did:key:abc.def_1-2:x", None)],
    ("spend", {"payload.meter": {}, "payload.total_value": 0.0001}),
    ("spend", {"payload.justification": {"layer": None}}),
    ("execution", {"payload.change_epoch": None, "payload.hll_cardinality": None}),
    ("data_shape", {"payload.sketch_hash": None}),
]
FAILING = [
    *[("data_shape", {"version": v}, value(f"Invalid version format: {v} (expected semver-like format)"))
      for v in ("1", "1.2.3.4", "1..2", "a.1", "-1.2", "18446744073709551616.0")],
    *[("data_shape", {"ctx.timestamp": t}, value(f"Invalid timestamp format: {t} (expected RFC3339)"))
      for t in ("2025-01-17 12:00:00Z", "2025-01-17T12:00:00.5", "2025-01-17T12:00Z")],
    *[("data_shape", {"ctx.policy_ref": p},
       value(f"Invalid policy_ref format: {p} (expected pol:<namespace>/<name>@<semver>)"))
      for p in ("pol:team/etl", "pol:team/etl@latest", "pol:", "policy:x", "")],
    *[("data_shape", {"ctx.identity_ref": i}, value(f"Invalid identity_ref format: {i} (expected DID URI)"))
      for i in ("did:Example:1", "did::x", "did:web:", "did:web", "")],
    *[("spend", {"payload.currency": c},
       value(f"Invalid currency code: {c} (expected ISO-4217, 3 uppercase letters)"))
      for c in ("usd", "US", "USDT", "US1")],
    ("spend", {"payload.total_value": 3}, value("total_value mismatch: expected ~1, got 3")),
    ("spend", {"payload.meter": {"vcpu_sec": 1e20}, "payload.total_value": 0.1},
     value("total_value mismatch: expected ~50000000000000000000, got 0.1")),
    ("spend", {"payload.meter": {}, "payload.total_value": 0.0002},
     value("total_value mismatch: expected ~0, got 0.0002")),
    ("spend", {"payload.justification": {"layer": "Data"}}, value(
        'Invalid layer value: Data (must be one of: ["data", "method", "reasoning", "execution"])')),
    ("execution", {"payload.hll_cardinality": 0}, value("hll_cardinality must be > 0 if present")),
    ("execution", {"payload.change_epoch": ""}, value("change_epoch must be non-empty if present")),
    ("execution", {"payload.roots": {"trace_set_root": H, "identity_root": H, "trace_seq_root": "x"}},
     bad_hash("x")),
    ("execution", {"payload.span_commitments": [H, "sha256:" + "E" * 64]}, bad_hash("sha256:" + "E" * 64)),
    ("execution", {"payload.span_commitments": []}, value("execution.span_commitments must not be empty")),
    ("method_shape", {"payload.nodes": []}, value("method_shape.nodes must not be empty")),
    ("method_shape", {"payload.dag_hash": "d"}, bad_hash("d")),
    ("reasoning_shape", {"payload.node_refs": []}, value("reasoning_shape.node_refs must not be empty")),
    ("reasoning_shape", {"payload.quality": {"review_hash": "r"}}, bad_hash("r")),
    ("settlement", {"payload.wur_refs": []}, value("settlement.wur_refs must not be empty")),
    ("data_shape", {"payload.schema_hash": H[:-1]}, bad_hash(H[:-1])),
    ("data_shape", {"dom": "sha256:x", "cod": "y"}, bad_hash("sha256:x")),
    ("data_shape", {"cod": H.upper()}, bad_hash(H.upper())),
    # The first broken rule is the one reported.
    ("settlement", {"payload.wur_refs": [], "version": "1"},
     value("Invalid version format: 1 (expected semver-like format)")),
    ("data_shape", {"payload.schema_hash": "s", "dom": "d"}, bad_hash("s")),
]


def built(kind, changes):
    obj = valid_base(kind)
    for dotted, new in changes.items():
        parent, key = at(obj, dotted.split("."))
        parent[key] = new
    return seal(obj)


@pytest.mark.parametrize("kind, changes", [(kind, {}) for kind in KINDS] + PASSING)
def test_rules_that_pass(kind, changes):
    assert verified(built(kind, changes)) is True


@pytest.mark.parametrize("kind, changes, message", FAILING)
def test_rules_that_fail(kind, changes, message):
    receipt = built(kind, changes)
    with pytest.raises(ValueError, match="^" + re.escape("Receipt validation failed: " + message) + "$"):
        receipt.validate()
    for verify in VERIFIERS:
        with pytest.raises(ValueError, match="^" + re.escape("ValidationError: " + message) + "$"):
            verify(receipt)


@pytest.mark.parametrize("stored, message", [
    ("sha256:ABC", bad_hash("sha256:ABC")),
    ("", bad_hash("")),
    (H, None),
])
def test_wrong_stored_hash(stored, message):
    obj = dict(valid_base("settlement"), hash=stored)
    obj["payload"]["wur_refs"] = []  # a payload rule is broken too, but the hash is looked at first
    receipt = from_json(json.dumps(obj))
    right = receipt.compute_hash()
    assert (receipt.get_hash(), HASH_TEXT.match(right) is not None) == (stored, True)
    assert verified(receipt) is False
    with pytest.raises(ValueError) as err:
        receipt.validate()
    message = message or f"Hash mismatch: expected {stored}, computed {right}"
    assert str(err.value) == "Receipt validation failed: " + message


# -- recording ----------------------------------------------------------------------------
@pytest.fixture(params=RECORDERS, ids=["root", "receipts"])
def record(request):
    return request.param


def document(receipt):
    return json.loads(receipt.to_json())


@pytest.mark.parametrize("args, kwargs, message", [
    (("w", [1]), {}, "argument 'payload': 'list' object cannot be converted to 'PyDict'"),
    ((1, [1]), {}, "argument 'workload_id': 'int' object cannot be converted to 'PyString'"),
    (("w", {}, "ab"), {}, "argument 'tags': Can't extract `str` to `Vec`"),
    (("w", {}, 5), {}, "argument 'tags': 'int' object cannot be converted to 'Sequence'"),
    (("w", {}, ["a", 1]), {}, "argument 'tags': 'int' object cannot be converted to 'PyString'"),
    (("w", {}), {"trace_id": 5}, "argument 'trace_id': 'int' object cannot be converted to 'PyString'"),
    (("w", {}), {"parent_id": b"x"}, "argument 'parent_id': 'bytes' object cannot be converted to 'PyString'"),
    (("w", {"s": {1}}), {"trace_id": 5}, "argument 'trace_id': 'int' object cannot be converted to 'PyString'"),
])
def test_argument_errors(record, args, kwargs, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        record(*args, **kwargs)


@pytest.mark.parametrize("payload", [{"s": {1}}, {"k": object()}, {(1, 2): 3}])
def test_json_module_errors_pass_through(record, payload):
    with pytest.raises(Exception) as expected:
        json.dumps(payload)
    with pytest.raises(type(expected.value)) as err:
        record("w", payload)
    assert str(err.value) == str(expected.value)


def nest(levels):
    value = {}
    for i in range(levels - 1):
        value = {"k": value} if i % 2 else [value]
    return value if isinstance(value, dict) else {"k": value}


@pytest.mark.parametrize("payload, fragment", [
    ({"x": float("nan")}, ""), ({"x": [float("-inf")]}, ""), (nest(128), "recursion limit exceeded"),
])
def test_payloads_that_are_not_json(record, payload, fragment):
    with pytest.raises(ValueError) as err:
        record("w", payload)
    assert str(err.value).startswith("Failed to parse payload JSON: ") and fragment in str(err.value)


@pytest.mark.parametrize("payload, text", [
    ({"b": [1, 2, {"d": None, "c": True}], "a": "x"}, b'{"a":"x","b":[1,2,{"c":true,"d":null}]}'),
    (OrderedDict([("z", {}), ("y", [])]), b'{"y":[],"z":{}}'),
    ({1: "one"}, b'{"1":"one"}'),
    ({}, b"{}"),
    (nest(127), None),
])
def test_recorded_commitments(record, payload, text):
    receipt = record("job-1", payload)
    doc = document(receipt)
    body, dom = doc["payload"], doc["dom"]
    if text is not None:
        assert dom == sha(text)
    assert list(doc) == ["rid", "version", "kind", "dom", "cod", "links", "ctx", "payload", "attest", "sig",
                         "hash"]
    assert body == {
        "trace_id": "trace:00000000-0000-0000-0000-000000000001",
        "method_ref": {"method_id": "job-1", "version": "0.1.0", "method_shape_root": sha(b"workload:job-1")},
        "data_shape_hash": dom, "span_commitments": [dom],
        "roots": {"trace_set_root": sha(dom.encode()), "identity_root": sha(b"\0"),
                  "trace_seq_root": sha(dom.encode())},
        "cdf_metadata": None}
    assert list(body) == ["trace_id", "method_ref", "data_shape_hash", "span_commitments", "roots", "cdf_metadata"]
    assert (doc["version"], doc["kind"], doc["cod"], doc["links"], doc["attest"], doc["sig"]) == (
        "0.1.0", "execution", sha(dom.encode()), [], None, None)
    assert doc["ctx"] == dict(doc["ctx"], policy_ref=None, nonce=None, determinism="observational",
                              identity_ref=None)
    assert receipt.get_hash() == receipt.compute_hash() and verified(receipt) is True
    assert (receipt.get_kind(), receipt.get_workload_id(), receipt.get_trace_id()) == (
        "Execution", "job-1", body["trace_id"])


def test_same_work_same_commitments(record):
    first = document(record("w", {"a": 1, "b": [1, {"c": 2, "d": 3}]}, ["t1"]))
    second = document(_tessary.record_work_py(workload_id="w", payload={"b": [1, {"d": 3, "c": 2}], "a": 1}))
    assert (first["rid"], first["hash"]) != (second["rid"], second["hash"])
    for doc in (first, second):
        del doc["rid"], doc["hash"], doc["ctx"]["timestamp"]
    assert first == second
    assert document(record("", {}))["payload"]["method_ref"]["method_shape_root"] == sha(b"workload:")


@pytest.mark.parametrize("parent, link", [
    ("{ABCDEF01-2345-6789-ABCD-EF0123456789}", "abcdef01-2345-6789-abcd-ef0123456789"),
    ("urn:uuid:abcdef01-2345-6789-abcd-ef0123456789", "abcdef01-2345-6789-abcd-ef0123456789"),
    ("ABCDEF0123456789ABCDEF0123456789", "abcdef01-2345-6789-abcd-ef0123456789"),
    ("not-a-uuid", None), ("", None), (None, None),
])
def test_parent_link(record, parent, link):
    doc = document(record("w", {}, trace_id=" any trace ", parent_id=parent))
    assert doc["links"] == ([link] if link else [])
    assert doc["payload"].get("prev_execution_rid") == link
    assert ("prev_execution_rid" in doc["payload"]) == (link is not None)
    assert doc["payload"]["trace_id"] == " any trace "


def test_timestamps_and_identifiers():
    stamp = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{3}|\.\d{6}|\.\d{9})?\+00:00\Z")
    rid = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}\Z")
    before = datetime.datetime.now(datetime.timezone.utc)
    made = [_tessary.record_work_py("w", {}) for _ in range(50)]
    after = datetime.datetime.now(datetime.timezone.utc)
    for receipt in made:
        ts = document(receipt)["ctx"]["timestamp"]
        assert stamp.match(ts) and not ts.endswith("Z")
        assert not re.search(r"\.(\d{3})*000\+", ts)  # the fraction is as short as the clock reading allows
        moment = datetime.datetime.fromisoformat(re.sub(r"(\.\d{6})\d{3}", r"\1", ts))
        assert before - datetime.timedelta(seconds=1) <= moment <= after + datetime.timedelta(seconds=1)
        assert rid.match(receipt.get_rid())
    assert len({r.get_rid() for r in made}) == 50


# -- the handle ---------------------------------------------------------------------------
NAMES = {"data_shape": "DataShape", "method_shape": "MethodShape", "reasoning_shape": "ReasoningShape",
         "execution": "Execution", "spend": "Spend", "settlement": "Settlement"}


@checked(100)
@given(receipts())
def test_getters_agree_with_the_json(obj):
    receipt = from_json(dumps(obj))
    doc = document(receipt)
    execution = doc["payload"] if doc["kind"] == "execution" else None
    assert (receipt.get_kind(), receipt.get_rid(), receipt.get_version(), receipt.get_hash(),
            receipt.get_dom(), receipt.get_cod()) == (
        NAMES[doc["kind"]], doc["rid"], doc["version"], doc["hash"], doc["dom"], doc["cod"])
    assert receipt.get_trace_id() == (execution and execution["trace_id"])
    assert receipt.get_workload_id() == (execution and execution["method_ref"]["method_id"])


def test_signatures_and_construction():
    expected = {"record_work_py": "(workload_id, payload, tags=None, trace_id=None, parent_id=None)",
                "verify_receipt_py": "(receipt)", "receipt_from_json_py": "(json_str)"}
    for module in (_tessary, receipts_module):
        for name in ("record_work_py", "verify_receipt_py", "receipt_from_json_py"):
            if hasattr(module, name):
                assert str(inspect.signature(getattr(module, name))) == expected[name]
    for name in ("get_rid get_kind get_version get_hash get_dom get_cod get_workload_id get_trace_id "
                 "to_json validate compute_hash").split():
        assert str(inspect.signature(getattr(receipts_module.PyReceipt, name))) == "(self, /)"
    assert _tessary.record_work_py is not receipts_module.record_work_py
    assert _tessary.record_work_py.__doc__ != receipts_module.record_work_py.__doc__
    assert _tessary.verify_receipt_py.__doc__ != receipts_module.verify_receipt_py.__doc__
    with pytest.raises(TypeError):
        receipts_module.PyReceipt()


@pytest.mark.parametrize("function, argument, message", [
    *[(verify, {}, "argument 'receipt': 'dict' object cannot be converted to 'PyReceipt'") for verify in VERIFIERS],
    (VERIFIERS[0], None, "argument 'receipt': 'NoneType' object cannot be converted to 'PyReceipt'"),
    (from_json, b"{}", "argument 'json_str': 'bytes' object cannot be converted to 'PyString'"),
])
def test_argument_types(function, argument, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        function(argument)
