"""Receipt JSON: reading every kind, writing it back, and the reader's error texts."""
import json

import pytest
from hypothesis import given

from _tessary import receipts as module
from receipt_strategies import checked, dumps, expected, ordered, receipts, text_styles

receipt_from_json_py = module.receipt_from_json_py

H = "sha256:" + "ab" * 32
RID = "6f1c2f5e-8d3a-4b7e-9c21-0a1b2c3d4e5f"
PREFIX = "Failed to create receipt from JSON: JSON deserialization failed: "
DIGEST = "A" * 43
EXEC = "Failed to deserialize ExecutionPayload: "


def base(kind="data_shape", payload=None, **top):
    obj = {"rid": RID, "version": "0.1.0", "kind": kind, "dom": H, "cod": H, "links": [],
           "ctx": {"timestamp": "2025-01-17T12:00:00Z"},
           "payload": payload if payload is not None else {"schema_hash": H}, "hash": ""}
    obj.update(top)
    return obj


def execution(**fields):
    payload = {"trace_id": "t", "method_ref": {"method_id": "m", "version": "1", "method_shape_root": H},
               "data_shape_hash": H, "span_commitments": [H],
               "roots": {"trace_set_root": H, "identity_root": H}}
    payload.update(fields)
    return base("execution", payload)


def without(obj, *keys):
    return {k: v for k, v in obj.items() if k not in keys}


@checked(300)
@given(receipts(), text_styles)
def test_every_kind_reads_back_as_written(obj, style):
    receipt = receipt_from_json_py(dumps(obj, style))
    out = receipt.to_json()
    again = receipt_from_json_py(out)
    assert again.to_json() == out
    assert again.compute_hash() == receipt.compute_hash()
    assert ordered(json.loads(out)) == ordered(expected(obj, "Receipt/" + obj["kind"]))
    assert "\n" not in out and not out.endswith(" ")


def written(obj):
    return json.loads(receipt_from_json_py(obj if isinstance(obj, str) else json.dumps(obj)).to_json())


@pytest.mark.parametrize("given_rid", [RID.upper(), "{%s}" % RID, "urn:uuid:" + RID, RID.replace("-", "")])
def test_uuid_spellings_are_written_plain(given_rid):
    out = written(base(rid=given_rid, links=[5, "nope", given_rid]))
    assert (out["rid"], out["links"]) == (RID, [RID])


def test_repeated_key_keeps_the_last():
    text = json.dumps(base())[:-1] + ', "rid": "%s"}' % RID.replace("6f", "7f", 1)
    assert written(text)["rid"] == RID.replace("6f", "7f", 1)


@pytest.mark.parametrize("obj, path, expected", [
    (base(attest={"b": 1, "a": {"d": [], "c": 2}}), ("attest",), {"a": {"c": 2, "d": []}, "b": 1}),
    (base(attest={"@@TAGGED@@": [1, "x"]}), ("attest",), {"@@TAGGED@@": [1, "x"]}),
    (base(sig={"alg": "a", "sig": "s"}), ("sig",), None),
    (base(sig={"alg": "a", "kid": "k", "sig": "s", "x": 1}), ("sig",), {"alg": "a", "kid": "k", "sig": "s"}),
    (base(payload={"schema_hash": "s", "extra": 1}), ("payload",), {"schema_hash": "s", "sketch_hash": None}),
    (base(payload=["s", None]), ("payload",), {"schema_hash": "s", "sketch_hash": None}),
    (execution(pac=list(range(32))), ("payload", "pac"), "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8"),
    (base("settlement", {"wur_refs": [], "net_positions": {"b": 1, "a": 2.5}, "rules_ref": "r",
                         "cash_instr": {"z": None, "y": [1.0]}}),
     ("payload",), {"wur_refs": [], "net_positions": {"a": 2.5, "b": 1.0}, "rules_ref": "r",
                    "cash_instr": {"y": [1.0], "z": None}}),
])
def test_normalised_fields(obj, path, expected):
    out = written(obj)
    for key in path:
        out = out[key]
    assert ordered(out) == ordered(expected)


def reasoning(score):
    return base("reasoning_shape", {"intent_hash": H, "dag_hash": H, "node_refs": [],
                                    "quality": {"success_score": score}})


@pytest.mark.parametrize("obj, fragment", [
    (reasoning(0.1), '"quality":{"success_score":0.1,"eval_method":null'),
    (reasoning(1 / 3), '"success_score":0.33333334,'),
    (reasoning(16777217), '"success_score":16777216.0,'),
    (reasoning(1e39), '"success_score":null,'),
    (base("spend", {"meter": {"vcpu_sec": 3}, "unit_prices": {}, "currency": "USD",
                    "total_value": 3, "pointers": {"trace_id": "t"}}),
     '"meter":{"vcpu_sec":3.0,"gpu_sec":null,"gb_sec":null,"requests":null,"energy_kwh":null}'),
    (base(ctx={"timestamp": "t", "nonce": '\x00\x1f\b\t\n\x0c\r"\\/\x7fé😀'}),
     '"nonce":"\\u0000\\u001f\\b\\t\\n\\f\\r\\"\\\\/\x7fé😀"'),
    (execution(), '"roots":{"trace_set_root":"%s","identity_root":"%s","trace_seq_root":null},'
                  '"cdf_metadata":null},"attest":null,"sig":null,"hash":""}' % (H, H)),
])
def test_written_text(obj, fragment):
    assert fragment in receipt_from_json_py(json.dumps(obj, ensure_ascii=False)).to_json()


def nested(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.mark.parametrize("text, message", [
    ("{}", "missing field `kind`"),
    ("[]", "invalid type: expected object, expected an object"),
    (json.dumps(base(kind=5)), "missing field `kind`"),
    (json.dumps(base(kind="Execution")), 'invalid value: string "Execution", expected one of: '
     "data_shape, method_shape, reasoning_shape, execution, spend, settlement"),
    (json.dumps(without(base(), "payload", "rid")), "missing field `payload`"),
    (json.dumps(without(base(), "rid")), "missing field `rid`"),
    (json.dumps(base(rid="6f1c2f5e")), "Invalid UUID in rid: "),
    *[(json.dumps(without(base(), key)), f"missing field `{key}`") for key in ("version", "dom", "cod", "ctx", "hash")],
    (json.dumps(base(hash=None)), "missing field `hash`"),
    (json.dumps(base(ctx={"nonce": "n"})), "Failed to deserialize Context: missing field `timestamp`"),
    (json.dumps(base(ctx={"timestamp": "t", "determinism": "fast"})),
     "Failed to deserialize Context: unknown variant `fast`"),
    (json.dumps(base(payload={"sketch_hash": None})),
     "Failed to deserialize DataShapePayload: missing field `schema_hash` at line 1 column 20"),
    (json.dumps(base("reasoning_shape", {"intent_hash": H, "node_refs": []})),
     "Failed to deserialize ReasoningShapePayload: missing field `dag_hash`"),
    (json.dumps(base("method_shape", {"nodes": [], "root_multiset": H, "edges": [["a"]]})),
     "Failed to deserialize MethodShapePayload: invalid length 1, expected struct Edge with 2 elements"),
    (json.dumps(execution(pac=DIGEST + "=")), EXEC + "Invalid base64url string: "),
    (json.dumps(execution(pac=DIGEST[:42])), EXEC + "Expected 32 bytes, got 31 bytes at line 1 column "),
    (json.dumps(execution(pac=[0] * 33)), EXEC + "Array too long, expected 32 bytes at line 1 column "),
    (json.dumps(execution(pac=[0] * 31)), EXEC + "Array too short, expected 32 bytes, got 31 at line 1 column "),
    (json.dumps(execution(pac=[256] + [0] * 31)), EXEC),
    (json.dumps(execution(pac=True)), EXEC + "invalid type: boolean `true`, "
     "expected a base64url string or array of 32 numbers at line 1 column "),
    (json.dumps(execution(hll_cardinality=-1)), EXEC),
    (json.dumps(execution(hll_cardinality=2**64)), EXEC),
    (json.dumps(base(attest=nested(127))), "recursion limit exceeded"),
    (json.dumps(base()) + "}", "trailing characters at line 1 column "),
])
def test_reader_errors(text, message):
    with pytest.raises(ValueError) as err:
        receipt_from_json_py(text)
    assert str(err.value).startswith(PREFIX + message)


@pytest.mark.parametrize("text", [json.dumps(base()) + " \n\t\r", json.dumps(base(attest=nested(126)))])
def test_reader_limits_that_pass(text):
    assert receipt_from_json_py(text).get_kind() == "DataShape"
