"""The installed wheel on this interpreter: record, verify, store, list, shapes, reuse."""
import sys
import tempfile

import _tessary
from _tessary import Client, delta, shapes

client = Client(tempfile.mkdtemp())
receipt = client.record_work("smoke", {"n": 1}, tags=["t"], trace_id="trace")
assert client.verify_receipt(receipt) and _tessary.verify_receipt_py(receipt)
client.store_receipt(receipt)
assert [r.get_rid() for r in client.list_receipts(workload_id="smoke")] == [receipt.get_rid()]
assert _tessary.receipts.receipt_from_json_py(receipt.to_json()).get_hash() == receipt.get_hash()
assert shapes.compute_data_shape_hash_from_bytes_py(b"abc") == (
    "sha256:1b8a8a6b6ed7803a876f9a259827f8f536bb885fbe936f815e5bdc52dedc4e9f")
assert delta.decide_reuse_py(0.5, {"c_id": 5, "c_comp": 100, "alpha": 0.9})["decision"] == "reuse"
print("wheel ok on", sys.version.split()[0])
