"""Lookups of step receipts in a directory store of 10,000 and 100,000 receipts.

The directory store has no index: a lookup reads every file. The peer is
``count()``, which also reads every file (natively, parsing none into
objects), so the ratio says what a lookup adds to reading the directory.
find_by_output_digest parses only the files whose text holds the digest;
find_by_method here matches every receipt, so every file is parsed (its
worst case). docs/stores.md quotes these figures.

When PostgreSQL's server programs are there (examples/local_postgres.py),
the same receipts go into a throwaway database too, and its indexed
find_by_output_digest is set against the directory store's.
"""
import contextlib
import os
import pathlib
import sys
import tempfile
import time
import uuid

import tessary
from tessary._step_receipts import seal
from tessary.lineage import find_by_method, find_by_output_digest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from local_postgres import ServerError, local_postgres  # noqa: E402

COUNTS = [int(n) for n in sys.argv[1:]] or [10_000, 100_000]


def fill(stores, template, start, stop):
    wire = template.to_dict()
    name = next(iter(wire["attest"]["products"]))
    batch = []
    for i in range(start, stop):
        digest = "%064x" % i
        attest = dict(wire["attest"], products={name: dict(wire["attest"]["products"][name], sha256=digest)})
        payload = dict(wire["payload"], output_digest="sha256:" + digest)
        batch.append(seal(dict(wire, rid=str(uuid.uuid4()), attest=attest, payload=payload)))
        if len(batch) == 1000 or i == stop - 1:
            for store in stores:
                store.store_many(batch)
            batch = []


def timed(function, *args):
    started = time.perf_counter()
    found = function(*args)
    return time.perf_counter() - started, found


@contextlib.contextmanager
def database():
    """A throwaway database store, or None when no server can be started."""
    with contextlib.ExitStack() as stack:
        try:
            dsn = stack.enter_context(local_postgres())
        except ServerError as e:
            print(f"(no database store: {e})")
            yield None
            return
        with tessary.PostgresStore(dsn) as store:
            yield store


def main():
    with tempfile.TemporaryDirectory() as work, database() as db:
        out = os.path.join(work, "out.bin")
        store = tessary.DirectoryStore(os.path.join(work, "store"), durable=False)
        with tessary.track("bench", store=None) as t:
            with open(out, "wb") as f:
                f.write(b"x" * 100)
            t.output(out)
        template = t.record.execution
        ref = template.payload
        filled = 0
        for count in COUNTS:
            fill([store] + ([db] if db else []), template, filled, count)
            filled = count
            peer, total = timed(store.count)
            assert total == count
            by_output, found = timed(find_by_output_digest, store, "%064x" % (count // 2))
            assert len(found) == 1
            by_method, found = timed(find_by_method, store, ref["method_ref"]["method_shape_root"],
                                     ref["data_shape_hash"])
            assert len(found) == count
            print(f"{count:>7} receipts: count() {peer:6.2f} s; find_by_output_digest {by_output:6.2f} s "
                  f"(ratio {by_output / peer:4.2f}x); find_by_method, all matching, {by_method:6.2f} s "
                  f"(ratio {by_method / peer:4.2f}x)")
            if db is not None:
                indexed = min(timed(find_by_output_digest, db, "%064x" % (count // 3))[0] for _ in range(5))
                print(f"{'':>7}  database find_by_output_digest {indexed * 1000:6.1f} ms: the directory's takes "
                      f"{by_output / indexed:6.0f}x as long")


if __name__ == "__main__":
    main()
