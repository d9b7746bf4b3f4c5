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


# Exact messages and columns are held in the C++ tests; here, that they reach
# Python as ValueError under the boundary's own prefix.
@pytest.mark.parametrize("text, message", [
    ("{}", "missing field `kind`"),
    (json.dumps(execution(pac=[0] * 31)), EXEC + "Array too short, expected 32 bytes, got 31 at line 1 column "),
    (json.dumps(base()) + "}", "trailing characters at line 1 column "),
])
def test_reader_errors(text, message):
    with pytest.raises(ValueError) as err:
        receipt_from_json_py(text)
    assert str(err.value).startswith(PREFIX + message)
