"""The receipt hash, recomputed here from the receipt's JSON with a separate CBOR writer."""
import hashlib
import json

import cbor2
from hypothesis import given

from _tessary import receipts as module
from receipt_strategies import body, checked, receipts

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
