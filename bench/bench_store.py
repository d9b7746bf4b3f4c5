"""Receipt store: listing and storing against plain Python doing the same.

Goals (ratio = our time / peer time, measured in this run):
  list_receipts(workload_id=...) over 5,000 receipts  <= 0.5x  os.scandir + read + json.loads + compare
  store_receipt                                        <= 1.5x  open(path, "w").write(text)
"""
import json
import os
import tempfile

from _ratio import compare, report
from _tessary import Client


def python_scan(directory, workload_id):
    found = []
    with os.scandir(directory) as entries:
        for entry in entries:
            if not entry.name.endswith(".json"):
                continue
            with open(entry.path, encoding="utf-8") as f:
                receipt = json.loads(f.read())
            payload = receipt.get("payload") or {}
            if receipt.get("kind") == "execution" and payload.get("method_ref", {}).get("method_id") == workload_id:
                found.append(receipt)
    return found


def main():
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        client = Client(tmp)
        directory = os.path.join(tmp, "receipts")
        for i in range(5000):
            payload = {"batch": i, "rows": 1000 + i, "source": "s3://bucket/part-%05d" % i, "ok": True}
            client.store_receipt(client.record_work("wl-%d" % (i % 50), payload, trace_id="trace:%d" % (i % 7)))
        assert len(client.list_receipts(workload_id="wl-3")) == len(python_scan(directory, "wl-3")) == 100

        ours, peer = compare(lambda: client.list_receipts(workload_id="wl-3"), lambda: python_scan(directory, "wl-3"), rounds=5)
        rows.append(("list_receipts (5,000 files)", ours, "scandir+read+json.loads", peer, "<= 0.5x", ours / peer, ours / peer <= 0.5))

        receipt = client.record_work("wl-store", {"rows": 1})
        text = receipt.to_json()
        path = os.path.join(tmp, "plain.json")

        def plain_write():
            with open(path, "w") as f:
                f.write(text)

        ours, peer = compare(lambda: client.store_receipt(receipt), plain_write)
        rows.append(("store_receipt", ours, "open().write()", peer, "<= 1.5x", ours / peer, ours / peer <= 1.5))
    report(rows)


if __name__ == "__main__":
    main()
