"""The installed wheel on this interpreter: record, verify, store, list, shapes, reuse,
and the package's native helper over buffers and its store."""
import array
import sys
import tempfile

import _tessary
from _tessary import Client, delta, shapes
from tessary import _native

client = Client(tempfile.mkdtemp())
receipt = client.record_work("smoke", {"n": 1}, tags=["t"], trace_id="trace")
assert client.verify_receipt(receipt) and _tessary.verify_receipt_py(receipt)
client.store_receipt(receipt)
assert [r.get_rid() for r in client.list_receipts(workload_id="smoke")] == [receipt.get_rid()]
assert _tessary.receipts.receipt_from_json_py(receipt.to_json()).get_hash() == receipt.get_hash()
abc = "sha256:1b8a8a6b6ed7803a876f9a259827f8f536bb885fbe936f815e5bdc52dedc4e9f"
assert shapes.compute_data_shape_hash_from_bytes_py(b"abc") == abc
assert delta.decide_reuse_py(0.5, {"c_id": 5, "c_comp": 100, "alpha": 0.9})["decision"] == "reuse"
for buffer in (b"abc", bytearray(b"abc"), memoryview(b"xabcx")[1:4], array.array("B", b"abc")):
    assert _native.shape_of_buffer(buffer, 0, 65536, False) == (abc, 3, None)
store = _native.Store(tempfile.mkdtemp())
store.store_many([receipt.to_json()])
assert store.query(workload="smoke") == store.cursor().next_batch(5) == [receipt.to_json()]
print("wheel ok on", sys.version.split()[0])
