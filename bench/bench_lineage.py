"""Lineage lookups: a scan of a directory store of 10,000 step receipts.

No goal ratio: the figure is what docs/steps.md quotes for how large a
directory store may grow before the scan-based lookups want an index
(the database store's indexed columns). Prints the time of one
find_by_output_digest and one find_by_method over the whole store.
"""
import os
import tempfile
import time
import uuid

import tessary
from tessary._step_receipts import seal
from tessary.lineage import find_by_method, find_by_output_digest

COUNT = 10_000


def fill(store, template):
    wire = template.to_dict()
    for i in range(COUNT):
        digest = "%064x" % i
        name = next(iter(wire["attest"]["products"]))
        attest = dict(wire["attest"], products={name: dict(wire["attest"]["products"][name], sha256=digest)})
        payload = dict(wire["payload"], output_digest="sha256:" + digest)
        store.store(seal(dict(wire, rid=str(uuid.uuid4()), attest=attest, payload=payload)))


def timed(function, *args):
    started = time.perf_counter()
    found = function(*args)
    return time.perf_counter() - started, found


def main():
    with tempfile.TemporaryDirectory() as work:
        out = os.path.join(work, "out.bin")
        store = tessary.DirectoryStore(os.path.join(work, "store"))
        with tessary.track("bench", store=None) as t:
            with open(out, "wb") as f:
                f.write(b"x" * 100)
            t.output(out)
        template = t.record.execution
        fill(store, template)
        seconds, found = timed(find_by_output_digest, store, "%064x" % (COUNT // 2))
        assert len(found) == 1
        print(f"find_by_output_digest over {COUNT} step receipts: {seconds * 1000:.0f} ms")
        ref = template.payload
        seconds, found = timed(find_by_method, store, ref["method_ref"]["method_shape_root"], ref["data_shape_hash"])
        assert len(found) == COUNT
        print(f"find_by_method over {COUNT} step receipts: {seconds * 1000:.0f} ms")


if __name__ == "__main__":
    main()
