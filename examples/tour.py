"""A tour of tessary: record work, verify it, keep it, find it again,
fingerprint a file and decide whether earlier work can be reused.

Runs against a temporary directory store that is removed at the end.
"""
import json
import os
import tempfile

import _tessary
from _tessary import Client, delta, shapes


def main() -> None:
    with tempfile.TemporaryDirectory() as storage:
        client = Client(storage_path=storage)

        # 1. Record a unit of work: the payload is committed by hash, the receipt sealed.
        params = {"source": "events-2026-12-01.csv", "filter": "country = 'NL'", "sample": 0.05}
        receipt = client.record_work("etl.sample", params, trace_id="trace:nightly-42")
        print("recorded  ", receipt.get_kind(), receipt.get_rid())
        print("  dom     ", receipt.get_dom())
        print("  hash    ", receipt.get_hash())

        # 2. Anyone holding the receipt can verify it; one changed byte and it no longer does.
        print("verified  ", client.verify_receipt(receipt))
        tampered = json.loads(receipt.to_json())
        tampered["payload"]["method_ref"]["method_id"] = "etl.other"
        forged = _tessary.receipts.receipt_from_json_py(json.dumps(tampered))
        print("tampered  ", client.verify_receipt(forged))

        # 3. Keep receipts in a directory and list them by workload or trace.
        client.store_receipt(receipt)
        for day in range(3):
            client.store_receipt(client.record_work("etl.report", {"day": day}, trace_id="trace:nightly-42"))
        print("stored    ", sorted(os.listdir(os.path.join(storage, "receipts")))[:2], "...")
        print("by workload etl.sample:", [r.get_rid() for r in client.list_receipts(workload_id="etl.sample")])
        print("by trace, first 2:     ", len(client.list_receipts(trace_id="trace:nightly-42", limit=2)), "receipts")

        # 4. The data shape of a file: content-defined chunks, a Merkle root, one hash.
        path = os.path.join(storage, "events.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(3 * 1024 * 1024))
        before = shapes.compute_data_shape_hash_from_file_py(path)
        with open(path, "r+b") as f:  # edit one byte in the middle
            f.seek(1_500_000)
            f.write(b"\x00")
        after = shapes.compute_data_shape_hash_from_file_py(path)
        print("data shape", before)
        print("  edited  ", after, "(changed)" if after != before else "(same)")
        print("method    ", shapes.compute_method_shape_hash_from_signature_py("sample", ["DataFrame", "float"], "DataFrame"))

        # 5. Reuse or recompute: overlap of chunk sets against a cost model.
        earlier = ["chunk-%d" % i for i in range(100)]
        current = ["chunk-%d" % i for i in range(10, 110)]
        overlap = delta.jaccard_similarity_py(earlier, current)
        model = {"c_id": 5.0, "c_comp": {"type": "linear", "per_row": 0.01, "base": 20.0}, "alpha": 0.9}
        decision = delta.decide_reuse_py(overlap, model, row_count=10_000)
        print(f"overlap    {overlap:.3f} -> {decision['decision']}, "
              f"saving {delta.economic_delta_py(overlap, model, row_count=10_000):.1f}")


if __name__ == "__main__":
    main()
