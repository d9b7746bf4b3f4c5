"""A three-step pipeline as tracked steps: prepare a CSV, transform it, fit a model.

Each call leaves an execution receipt (what it read, ran and wrote) and a
spend receipt (what it used) in the store; the receipts of the later steps
link to those of the steps that produced their inputs. Run a second time over
the same inputs, every step is taken from the output cache instead of run:
its outputs are restored, checked against their digests, and only a spend
receipt with the decision "reuse" is recorded.
"""

from __future__ import annotations

import hashlib
import json
import pathlib
import sys
import tempfile
from typing import Optional

import tessary


def main(work: pathlib.Path) -> None:
    store = tessary.DirectoryStore(work / "receipts")

    @tessary.step(store=store, version="1")
    def prepare(rows: int) -> pathlib.Path:
        out = work / "raw.csv"
        out.write_text("x,y\n" + "".join(f"{i},{2 * i + 1}\n" for i in range(rows)))
        return out

    @tessary.step(store=store, version="1")
    def transform(raw: pathlib.Path, scale: float) -> pathlib.Path:
        out = work / "scaled.csv"
        lines = raw.read_text().splitlines()[1:]
        pairs = [line.split(",") for line in lines]
        out.write_text("x,y\n" + "".join(f"{float(x) * scale},{float(y) * scale}\n" for x, y in pairs))
        return out

    @tessary.step(store=store, version="1")
    def fit(data: pathlib.Path) -> pathlib.Path:
        rows = [tuple(map(float, line.split(","))) for line in data.read_text().splitlines()[1:]]
        n = len(rows)
        mx, my = sum(x for x, _ in rows) / n, sum(y for _, y in rows) / n
        slope = sum((x - mx) * (y - my) for x, y in rows) / sum((x - mx) ** 2 for x, _ in rows)
        out = work / "model.json"
        out.write_text(json.dumps({"slope": slope, "intercept": my - slope * mx}))
        return out

    model = fit(transform(prepare(100), 0.5))
    receipts = {r.rid: r for r in store.iter() if r.kind is tessary.ReceiptKind.EXECUTION}
    digest = "sha256:" + hashlib.sha256(model.read_bytes()).hexdigest()
    step: Optional[tessary.Receipt] = next(r for r in receipts.values() if r.payload.get("output_digest") == digest)
    chain = []
    while step is not None:
        chain.append(step)
        step = receipts.get(step.payload.get("prev_execution_rid", ""))
    for receipt in reversed(chain):
        assert tessary.verify(receipt)
        print(f"{receipt.workload:10} {receipt.rid}  output {receipt.payload['output_digest'][:23]}…")
    print("model:", model.read_text())

    fitted = model.read_bytes()
    for path in (work / "raw.csv", work / "scaled.csv", model):
        path.unlink()
    again = fit(transform(prepare(100), 0.5))  # the same work: restored, not run
    reused = [r for r in store.iter() if r.kind is tessary.ReceiptKind.SPEND
              and (r.payload.get("justification") or {}).get("decision") == "reuse"]
    assert len(reused) == 3 and again.read_bytes() == fitted
    print(f"again: {len(reused)} steps reused from the cache, model {again.read_text()}")


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as tmp:
        main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(tmp))
