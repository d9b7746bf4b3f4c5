"""Receipts: recording, verifying and parsing against what Python code would do instead.

Goals (ratio = our time / peer time, measured in this run):
  record_work_py        <= 2.0x  sha256 of json.dumps(p, sort_keys=True, compact)
  verify_receipt_py     <= 0.5x  json.loads + json.dumps(sort_keys=True) + sha256 of the receipt JSON
  receipt_from_json_py  <= 1.3x  orjson.loads of the same text
"""
import hashlib
import json

import orjson

from _ratio import compare, report
from _tessary import receipts

PAYLOAD = {
    "dataset": "s3://bucket/events/2026-12-01",
    "rows": 1_250_000,
    "columns": ["user_id", "event", "ts", "country"],
    "filter": "country = 'NL'",
    "sample_rate": 0.05,
    "seed": 42,
    "dedupe": True,
    "partitions": [0, 1, 2, 3, 4, 5, 6, 7],
    "owner": "analytics",
    "notes": None,
}


def main():
    rows = []

    def peer_commit():
        return hashlib.sha256(json.dumps(PAYLOAD, sort_keys=True, separators=(",", ":")).encode()).hexdigest()

    ours, peer = compare(lambda: receipts.record_work_py("etl.sample", PAYLOAD), peer_commit)
    rows.append(("record_work_py", ours, "sha256(json.dumps(sorted))", peer, "<= 2.0x", ours / peer, ours / peer <= 2.0))

    receipt = receipts.record_work_py("etl.sample", PAYLOAD, trace_id="trace:bench")
    text = receipt.to_json()

    def peer_rehash():
        return hashlib.sha256(json.dumps(json.loads(text), sort_keys=True).encode()).hexdigest()

    ours, peer = compare(lambda: receipts.verify_receipt_py(receipt), peer_rehash)
    rows.append(("verify_receipt_py", ours, "sha256(json.dumps(json.loads(t)))", peer, "<= 0.5x", ours / peer, ours / peer <= 0.5))

    ours, peer = compare(lambda: receipts.receipt_from_json_py(text), lambda: orjson.loads(text))
    rows.append(("receipt_from_json_py", ours, "orjson.loads", peer, "<= 1.3x", ours / peer, ours / peer <= 1.3))

    print(f"receipt JSON: {len(text)} bytes")
    report(rows)


if __name__ == "__main__":
    main()
