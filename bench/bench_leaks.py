"""Leaks: every entry point, on its success and its error paths, called many times.

For each call: resident memory and live Python memory blocks before and after
20,000 more calls (after a warm-up of the same call). Goal: flat, that is at
most 1 MiB of resident growth and at most 100 blocks of Python memory over
20,000 calls (one leaked object per call would be 20,000 blocks).
Exits 1 when a call misses the goal.
"""
import ctypes
import gc
import os
import sys
import tempfile

import _tessary
from _tessary import Client, delta, receipts, shapes

CALLS = 20_000
PAGE = os.sysconf("SC_PAGE_SIZE")


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def run(fn):
    try:
        fn()
    except (TypeError, ValueError, OverflowError, KeyError):
        pass


def growth(fn):
    for _ in range(2000):
        run(fn)
    gc.collect()
    rss, blocks = resident(), sys.getallocatedblocks()
    for _ in range(CALLS):
        run(fn)
    gc.collect()
    return resident() - rss, sys.getallocatedblocks() - blocks


def main():
    base = tempfile.mkdtemp()
    client = Client(base)
    r = _tessary.record_work_py("w", {"k": [1, 2.5, "x"]}, tags=["a"], trace_id="t")
    for _ in range(5):
        client.store_receipt(client.record_work("w", {"n": 1}))
    text = r.to_json()
    data_file = os.path.join(base, "data")
    with open(data_file, "wb") as f:
        f.write(os.urandom(1 << 16))
    model = {"c_id": 1.0, "c_comp": 2.0, "alpha": 0.5}
    call = ctypes.pythonapi.PyObject_Call
    call.restype, call.argtypes = ctypes.py_object, [ctypes.py_object] * 3

    class Clears:  # a tags sequence that clears the keyword dict it came in
        def __init__(self, kw):
            self.kw = kw
        def __len__(self):
            self.kw.clear()
            return 0
        def __getitem__(self, i):
            raise IndexError

    def clearing_call():
        kw = {"workload_id": "w" * 100, "payload": {}}
        kw["tags"] = Clears(kw)
        call(_tessary.record_work_py, (), kw)

    cases = {
        "record_work_py": lambda: _tessary.record_work_py("w", {"k": [1, 2.5]}, tags=["a"], trace_id="t"),
        "record_work_py, bad payload": lambda: _tessary.record_work_py("w", {"k": object()}),
        "record_work_py, keywords cleared": clearing_call,
        "Client.record_work, bad tags": lambda: client.record_work("w", {}, tags=[1]),
        "verify_receipt_py": lambda: _tessary.verify_receipt_py(r),
        "verify_receipt_py, not a receipt": lambda: _tessary.verify_receipt_py(1),
        "receipt_from_json_py": lambda: receipts.receipt_from_json_py(text),
        "receipt_from_json_py, bad text": lambda: receipts.receipt_from_json_py('{"kind": 1}'),
        "PyReceipt getters": lambda: (r.get_rid(), r.get_dom(), r.get_cod(), r.get_hash(), r.get_kind(),
                                      r.get_trace_id(), r.get_version(), r.get_workload_id()),
        "PyReceipt to_json, compute_hash, validate": lambda: (r.to_json(), r.compute_hash(), r.validate()),
        "PyReceipt(), refused": lambda: receipts.PyReceipt(),
        "store_receipt": lambda: client.store_receipt(r),
        "store_receipt, not a receipt": lambda: client.store_receipt("x"),
        "list_receipts, 6 files": lambda: client.list_receipts(workload_id="w", limit=3),
        "list_receipts, bad limit": lambda: client.list_receipts(limit=-1),
        "data shape of 4 KiB": lambda: shapes.compute_data_shape_hash_from_bytes_py(b"x" * 4096),
        "data shape, bad scheme": lambda: shapes.compute_data_shape_hash_from_bytes_py(b"x", {"type": "cdc"}),
        "data shape of a 64 KiB file": lambda: shapes.compute_data_shape_hash_from_file_py(data_file),
        "data shape, missing file": lambda: shapes.compute_data_shape_hash_from_file_py(base + "/missing"),
        "method shape from code": lambda: shapes.compute_method_shape_hash_from_code_py("sha256:" + "0" * 64, {"a": [1]}),
        "method shape, bad hash": lambda: shapes.compute_method_shape_hash_from_code_py("nope"),
        "method shape from signature": lambda: shapes.compute_method_shape_hash_from_signature_py("f", ["int"], "int"),
        "decide_reuse_py": lambda: delta.decide_reuse_py(0.5, model, 10),
        "economic_delta_py, bad model": lambda: delta.economic_delta_py(0.5, {"c_id": "x"}),
        "jaccard_similarity_py": lambda: delta.jaccard_similarity_py(["a", "b"], ["b"]),
        "jaccard_similarity_py, bad element": lambda: delta.jaccard_similarity_py(["a", 1], ["b"]),
    }
    width = max(map(len, cases))
    missed = 0
    for name, fn in cases.items():
        rss, blocks = growth(fn)
        ok = rss <= (1 << 20) and blocks <= 100
        missed += not ok
        print(f"{name:<{width}}  resident {rss / 1024:+8.0f} KiB  python blocks {blocks:+6d}  "
              f"over {CALLS} calls  {'flat' if ok else 'LEAKS'}")
    sys.exit(1 if missed else 0)


if __name__ == "__main__":
    main()
