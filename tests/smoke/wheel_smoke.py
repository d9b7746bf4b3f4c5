"""The installed wheel on this interpreter: the native module, the public package and its command line."""
import json
import os
import subprocess
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

import tessary  # noqa: E402
import tessary.aio  # noqa: E402

folder = tempfile.mkdtemp()
with tessary.Client(folder) as public:
    parent = public.record("smoke", {"n": 1})
    child = public.record("smoke", {"n": 2}, parent=parent, trace="t")
    assert tessary.verify(child) and child.parent == parent.rid
    assert {r.rid for r in public.query(workload="smoke")} == {parent.rid, child.rid}
shape = tessary.data_shape(bytearray(b"abc"), chunks=True)
assert shape.hash == shapes.compute_data_shape_hash_from_bytes_py(b"abc") and len(shape.chunks) == 1
hasher = tessary.DataShapeHasher()
hasher.update(memoryview(b"ab"))
hasher.update(b"c")
assert hasher.hexdigest() == shape.hash[7:]
assert tessary.decide_reuse(0.5, tessary.CostModel.of(5, 100, 0.9)).reuse

scripts = os.path.dirname(sys.executable)
command = os.path.join(scripts, "tessary")
listed = subprocess.run([command, "ls", "--store", folder], capture_output=True, text=True, check=True).stdout
assert {json.loads(line)["rid"] for line in listed.splitlines()} == {parent.rid, child.rid}
checked = subprocess.run([sys.executable, "-m", "tessary", "verify", "-"], input=listed, capture_output=True, text=True)
assert checked.returncode == 0, checked.stderr
# A file that cannot be read is a failed check, named, and the run goes on: exit 1, no traceback.
missing = subprocess.run([command, "verify", os.path.join(folder, "missing.json")], capture_output=True, text=True)
assert missing.returncode == 1 and "missing.json: unreadable: " in missing.stdout and missing.stderr == ""
print("wheel ok on", sys.version.split()[0])
