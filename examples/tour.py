"""A tour of tessary: record work, verify it, keep it, find it again,
fingerprint a file and decide whether earlier work can be reused.

Runs against a temporary directory store that is removed at the end, or
against the store given as its one argument: a directory or a
``postgresql://`` address.
"""
import json
import os
import sys
import tempfile
from typing import List, Optional

import tessary


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if len(args) > 1 or args[:1] in (["-h"], ["--help"]):
        print("usage: tour.py [STORE]   (a directory or a postgresql:// address; default a temporary directory)",
              file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as folder:
        try:
            client = tessary.Client(args[0] if args else folder)
        except (tessary.StoreError, OSError) as e:
            print(f"tour.py: error: {e}", file=sys.stderr)
            return 2
        with client:
            if args:
                print("store     ", client.store)
            tour(client, folder)
    return 0


def tour(client: tessary.Client, folder: str) -> None:
    # 1. Record a unit of work: the payload is committed by hash, the receipt sealed
    #    and, since the client has a store, kept.
    params = {"source": "events-2026-12-01.csv", "filter": "country = 'NL'", "sample": 0.05}
    sample = client.record("etl.sample", params, trace="nightly-42")
    print("recorded  ", sample)
    print("  dom     ", sample.dom)
    print("  at      ", sample.ctx.time)

    # 2. Anyone holding the receipt can verify it; one changed byte and it no longer does.
    print("verified  ", tessary.verify(sample))
    wire = sample.to_dict()
    wire["payload"]["method_ref"]["method_id"] = "etl.other"
    forged = tessary.Receipt.from_json(json.dumps(wire))
    try:
        tessary.verify_strict(forged)
    except tessary.VerificationError as e:
        print("tampered   refused:", str(e)[:60], "...")

    # 3. Receipts link into a graph of work; the store finds them by workload, trace, time.
    for day in range(3):
        client.record("etl.report", {"day": day}, trace="nightly-42", parent=sample)
    print("by workload etl.report:", len(client.query(workload="etl.report")), "receipts")
    print("by trace, first 2:     ", [r.rid[:8] for r in client.query(trace="nightly-42", limit=2)])

    # 4. The data shape of a file: content-defined chunks, a Merkle root, one hash.
    path = os.path.join(folder, "events.bin")
    with open(path, "wb") as f:
        f.write(os.urandom(3 * 1024 * 1024))
    before = tessary.data_shape(path, chunks=True)
    with open(path, "r+b") as f:  # edit a few bytes in the middle
        f.seek(1_500_000)
        f.write(b"edited")
    after = tessary.data_shape(path, chunks=True)
    print("data shape", before.hash, f"({len(before.chunk_ids)} chunks)")
    print("  edited  ", after.hash)

    # 5. Reuse or recompute: the chunk overlap of the two versions against a cost model.
    overlap = tessary.jaccard(before, after)
    model = tessary.CostModel.of(c_id=5.0, c_comp=tessary.Linear(per_row=0.01, base=20.0), alpha=0.9)
    decision = tessary.decide_reuse(overlap, model, rows=10_000)
    print(f"overlap    {overlap:.3f} -> {decision.decision}, saving {decision.delta:.1f}")
    print("method    ", tessary.method_shape_of(tour))


if __name__ == "__main__":
    sys.exit(main())
