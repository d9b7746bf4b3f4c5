"""A three-step pipeline whose steps run as tasks of a Dask cluster, recording into one database.

    python examples/dask_pipeline.py postgresql://user@host/db [WORK_DIR]
    TESSARY_DSN=postgresql://... python examples/dask_pipeline.py

prepare → transform → fit, as in examples/pipeline.py, each step a task on
one of two worker processes. Every worker records into the same PostgreSQL
store and keeps outputs in the same cache directory, so the second run of
the graph takes every step over from the first: no step runs again.
On several machines the cache and the work directory are on a shared file
system (NFS) and the cluster a real one; nothing else changes.
"""

from __future__ import annotations

import functools
import json
import os
import pathlib
import sys
import tempfile
from typing import TYPE_CHECKING, Callable, NamedTuple

import tessary

if TYPE_CHECKING:
    from distributed import Client


class Steps(NamedTuple):
    prepare: Callable[[int], pathlib.Path]
    transform: Callable[[pathlib.Path, float], pathlib.Path]
    fit: Callable[[pathlib.Path], pathlib.Path]


def make_steps(store: str, work: pathlib.Path) -> Steps:
    """The steps, recording into ``store`` (a location) with their outputs cached under ``work``."""
    step = functools.partial(tessary.step, store=store, cache=work / "cache", version="1")

    @step()
    def prepare(rows: int) -> pathlib.Path:
        out = work / "raw.csv"
        out.write_text("x,y\n" + "".join(f"{i},{2 * i + 1}\n" for i in range(rows)))
        return out

    @step()
    def transform(raw: pathlib.Path, scale: float) -> pathlib.Path:
        out = work / "scaled.csv"
        pairs = [line.split(",") for line in raw.read_text().splitlines()[1:]]
        out.write_text("x,y\n" + "".join(f"{float(x) * scale},{float(y) * scale}\n" for x, y in pairs))
        return out

    @step()
    def fit(data: pathlib.Path) -> pathlib.Path:
        rows = [tuple(map(float, line.split(","))) for line in data.read_text().splitlines()[1:]]
        n = len(rows)
        mx, my = sum(x for x, _ in rows) / n, sum(y for _, y in rows) / n
        slope = sum((x - mx) * (y - my) for x, y in rows) / sum((x - mx) ** 2 for x, _ in rows)
        out = work / "model.json"
        out.write_text(json.dumps({"slope": slope, "intercept": my - slope * mx}))
        return out

    return Steps(prepare, transform, fit)


def run_graph(client: "Client", steps: Steps) -> pathlib.Path:
    """The graph as three tasks, each taking the one before's output path."""
    raw = client.submit(steps.prepare, 100, pure=False)
    scaled = client.submit(steps.transform, raw, 0.5, pure=False)
    model: pathlib.Path = client.submit(steps.fit, scaled, pure=False).result()
    return model


def main(dsn: str, work: pathlib.Path) -> None:
    from distributed import Client, LocalCluster

    steps = make_steps(dsn, work)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        for attempt in ("first run", "second run"):
            model = run_graph(client, steps)
            print(attempt, "model:", model.read_text())
            for output in (work / "raw.csv", work / "scaled.csv", model):
                output.unlink()  # the second run restores them from the cache
    with tessary.PostgresStore(dsn) as store:
        receipts = list(store.iter())
    assert all(tessary.verify(r) for r in receipts)
    for run in (r for r in receipts if r.kind is tessary.ReceiptKind.EXECUTION):
        spends = [r for r in receipts if r.kind is tessary.ReceiptKind.SPEND and r.links[0] == run.rid]
        reuses = sum(1 for r in spends if r.payload.get("justification"))
        print(f"{run.workload:10} {run.rid}  ran {len(spends) - reuses}, reused {reuses}")

if __name__ == "__main__":  # worker processes import this file again: only the client runs the graph
    address = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("TESSARY_DSN", "")
    if not address:
        sys.exit("usage: dask_pipeline.py POSTGRESQL_ADDRESS [WORK_DIR] (or set TESSARY_DSN)")
    if len(sys.argv) > 2:
        main(address, pathlib.Path(sys.argv[2]).resolve())
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(address, pathlib.Path(tmp))
