"""A three-step pipeline whose steps run as tasks of a Dask cluster, recording into one database.

    python examples/dask_pipeline.py postgresql://user@host/db [WORK_DIR]
    TESSARY_DSN=postgresql://... python examples/dask_pipeline.py

prepare → transform → fit, as in examples/pipeline.py, each step a task on
one of two worker processes. Every worker records into the same PostgreSQL
store and keeps outputs in the same cache directory, so the second run of
the graph takes every step over from the first: no step runs again.
On several machines the cache is a shared directory (NFS, a mounted
bucket) and the cluster a real one; nothing else changes.
"""

from __future__ import annotations

import json
import os
import pathlib
import sys
import tempfile
from typing import TYPE_CHECKING, Callable, Dict, NamedTuple

import tessary

if TYPE_CHECKING:
    from distributed import Client


class Steps(NamedTuple):
    prepare: Callable[[int], pathlib.Path]
    transform: Callable[[pathlib.Path, float], pathlib.Path]
    fit: Callable[[pathlib.Path], pathlib.Path]


def make_steps(store: str, work: pathlib.Path) -> Steps:
    """The steps, recording into ``store`` (a location) with their outputs cached under ``work``."""
    options: Dict[str, object] = {"store": store, "cache": work / "cache", "version": "1"}

    @tessary.step(**options)  # type: ignore[arg-type]
    def prepare(rows: int) -> pathlib.Path:
        out = work / "raw.csv"
        out.write_text("x,y\n" + "".join(f"{i},{2 * i + 1}\n" for i in range(rows)))
        return out

    @tessary.step(**options)  # type: ignore[arg-type]
    def transform(raw: pathlib.Path, scale: float) -> pathlib.Path:
        out = work / "scaled.csv"
        pairs = [line.split(",") for line in raw.read_text().splitlines()[1:]]
        out.write_text("x,y\n" + "".join(f"{float(x) * scale},{float(y) * scale}\n" for x, y in pairs))
        return out

    @tessary.step(**options)  # type: ignore[arg-type]
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
    with tessary.PostgresStore(dsn) as store:
        for receipt in store.iter():
            assert tessary.verify(receipt)
            justification = receipt.payload.get("justification") or {}
            what = receipt.workload or ("reuse of " if justification else "run of ") + str(receipt.links[0])[:8]
            print(f"{receipt.kind.value:9} {receipt.rid}  {what}")


if __name__ == "__main__":  # worker processes import this file again: only the client runs the graph
    address = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("TESSARY_DSN", "")
    if not address:
        sys.exit("usage: dask_pipeline.py POSTGRESQL_ADDRESS [WORK_DIR] (or set TESSARY_DSN)")
    if len(sys.argv) > 2:
        main(address, pathlib.Path(sys.argv[2]).resolve())
    else:
        with tempfile.TemporaryDirectory() as tmp:
            main(address, pathlib.Path(tmp))
