"""The receipt hash, recomputed here from the receipt's JSON with a separate CBOR writer."""
import hashlib
import json

import cbor2
import pytest
from hypothesis import given

from _tessary import receipts as module
from receipt_strategies import body, checked, receipts

H = "sha256:" + "cd" * 32
UUID = "00000000-0000-4000-8000-000000000001"


def head(major, n):
    if n < 24:
        return bytes([major << 5 | n])
    for extra, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if n < 1 << (8 * width):
            return bytes([major << 5 | extra]) + n.to_bytes(width, "big")
    raise ValueError(n)


def sort_key(key):
    # Text keys sort by their UTF-8 bytes, other keys by their own encoding; never length first.
    return key.encode() if isinstance(key, str) else canonical(key)


def canonical(item):
    """Definite lengths, shortest heads and float widths; maps ordered by `sort_key`."""
    if isinstance(item, dict):
        entries = sorted(item.items(), key=lambda kv: sort_key(kv[0]))
        return head(5, len(entries)) + b"".join(canonical(k) + canonical(v) for k, v in entries)
    if isinstance(item, list):
        return head(4, len(item)) + b"".join(canonical(x) for x in item)
    return cbor2.dumps(item, canonical=True)


def hash_of(encoded):
    return "sha256:" + hashlib.sha256(encoded).hexdigest()


def body_of(receipt):
    out = json.loads(receipt.to_json())
    return body(out, "Receipt/" + out["kind"])


@checked(300)
@given(receipts())
def test_hash_is_sha256_of_the_canonical_body(obj):
    receipt = module.receipt_from_json_py(json.dumps(obj))
    item = body_of(receipt)
    encoded = canonical(item)
    assert cbor2.loads(encoded) == item
    assert encoded.startswith(b"\xa9\x66attest")
    assert hash_of(encoded) == receipt.compute_hash()
    # Member order inside the attestation and the seal fields play no part.
    obj = dict(obj, sig={"alg": "x", "kid": "y", "sig": "z"}, hash="sha256:" + "0" * 64)
    if isinstance(obj.get("attest"), dict):
        obj["attest"] = dict(reversed(obj["attest"].items()))
    assert module.receipt_from_json_py(json.dumps(obj)).compute_hash() == receipt.compute_hash()


def receipt(kind="data_shape", payload=None, **top):
    obj = {"rid": "00112233-4455-6677-8899-aabbccddeeff", "version": "0.1.0", "kind": kind,
           "dom": H, "cod": H, "links": [], "ctx": {"timestamp": "2025-01-17T12:00:00Z"},
           "payload": payload or {"schema_hash": H}, "hash": ""}
    obj.update(top)
    return module.receipt_from_json_py(json.dumps(obj))


def spend(vcpu):
    return receipt("spend", {"meter": {"vcpu_sec": vcpu}, "unit_prices": {}, "currency": "USD",
                             "total_value": 0, "pointers": {"trace_id": "t"}})


def reasoning(score):
    return receipt("reasoning_shape", {"intent_hash": H, "dag_hash": H, "node_refs": [],
                                       "quality": {"success_score": score}})


@pytest.mark.parametrize("made, needle, wrong", [
    # A float goes in at the narrowest width that holds it exactly; any other width is another hash.
    (spend(1.5), b"\x68vcpu_sec\xf9\x3e\x00", b"\x68vcpu_sec\xfb\x3f\xf8\x00\x00\x00\x00\x00\x00"),
    (spend(0.1), b"\x68vcpu_sec\xfb\x3f\xb9\x99\x99\x99\x99\x99\x9a", b"\x68vcpu_sec\xfa\x3d\xcc\xcc\xcd"),
    (reasoning(0.1), b"\x6dsuccess_score\xfa\x3d\xcc\xcc\xcd",
     b"\x6dsuccess_score\xfb\x3f\xb9\x99\x99\x99\x99\x99\x9a"),
    # Keys by bytes: "aa" before "b", where length-first order would put "b" first.
    (receipt(attest={"b": 1, "aa": 2}), b"\xa2\x62aa\x02\x61b\x01", b"\xa2\x61b\x01\x62aa\x02"),
    (receipt(), b"\xa9\x66attest\xf6\x63cod\x78\x47" + H.encode() + b"\x63ctx", None),
    # Identifiers go in as their 16 bytes, not as their text.
    (receipt(links=[UUID]), b"\x65links\x81\x50" + bytes.fromhex(UUID.replace("-", "")),
     b"\x65links\x81\x78\x24" + UUID.encode()),
])
def test_literal_encodings(made, needle, wrong):
    encoded = canonical(body_of(made))
    assert needle in encoded
    assert hash_of(encoded) == made.compute_hash()
    if wrong is not None:
        assert hash_of(encoded.replace(needle, wrong)) != made.compute_hash()


def test_digest_fields_hash_as_arrays_of_small_integers():
    payload = {"trace_id": "t", "method_ref": {"method_id": "m", "version": "v", "method_shape_root": H},
               "data_shape_hash": H, "span_commitments": [H],
               "roots": {"trace_set_root": H, "identity_root": H}, "pac": list(range(32))}
    made = receipt("execution", payload)
    encoded = canonical(body_of(made))
    assert b"\x63pac\x98\x20" + bytes(range(24)) + b"\x18\x18\x18\x19" in encoded
    assert hash_of(encoded) == made.compute_hash()


def test_stored_hash_is_not_hashed():
    made = receipt()
    assert made.compute_hash() == receipt(hash=made.compute_hash()).compute_hash()
