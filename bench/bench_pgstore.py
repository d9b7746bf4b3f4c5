"""The database store against the directory store, both measured in this run.

Goals:
  list by workload, 100 matches among 1,000,000 receipts   directory time / database time >= 100x
  the same query's cost from 100,000 to 1,000,000 receipts  database grows <= 2x (a fifth of the 10x size)
  bulk load (store_many) of the first size                  database rate / durable directory rate >= 1.0x
Shown without a goal: the directory scan's growth.

The database is a throwaway PostgreSQL server of this run's own
(examples/local_postgres.py), with fsync off. Every receipt is a real sealed
one (tessary.record), stored in both stores through store_many.

Sizes: TESSARY_BENCH_SIZES="100000,1000000" (the first is also the bulk load),
TESSARY_BENCH_MATCHES=100; TESSARY_BENCH_SMALL=1 for a quick run at 10,000 and 100,000;
TESSARY_BENCH_LOAD_ONLY=1 measures the bulk load alone.
"""
import os
import pathlib
import sys
import tempfile
import time

import tessary

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from local_postgres import ServerError, local_postgres  # noqa: E402

TARGET = "wl-target"
CHUNK = 50_000


def sizes():
    default = "10000,100000" if os.environ.get("TESSARY_BENCH_SMALL") else "100000,1000000"
    values = sorted(int(v) for v in os.environ.get("TESSARY_BENCH_SIZES", default).split(","))
    matches = int(os.environ.get("TESSARY_BENCH_MATCHES", "100"))
    if len(values) < 2 or values[0] < matches or matches < 1:
        sys.exit("bench_pgstore: TESSARY_BENCH_SIZES needs two sizes, the smaller at least TESSARY_BENCH_MATCHES")
    return values, matches


def receipts(first, stop, base, matches):
    """Receipts first..stop-1; `matches` of the first `base` run the target workload, no later one does."""
    step = base // matches
    out = []
    for i in range(first, stop):
        target = i < base and i % step == 0 and i // step < matches
        payload = {"batch": i, "rows": 1000 + i, "source": "s3://bucket/part-%07d" % i, "ok": True}
        out.append(tessary.record(TARGET if target else "wl-%d" % (i % 5000), payload, trace="trace:%d" % (i % 7)))
    return out


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def per_query(store, matches, budget):
    """Best time of one query by workload; the first (untimed) call checks the answer."""
    warm, found = timed(lambda: store.query(workload=TARGET))
    assert len(found) == matches and all(r.workload == TARGET for r in found), len(found)
    number = max(1, int(0.05 / max(warm, 1e-6)))
    rounds = max(1, min(5, int(budget / max(warm * number, 1e-6))))
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(number):
            store.query(workload=TARGET)
        best = min(best, (time.perf_counter() - start) / number)
    return best, rounds * number


def duration(seconds):
    if seconds >= 1:
        return f"{seconds:,.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:,.2f} ms"
    return f"{seconds * 1e6:,.0f} us"


def main():
    values, matches = sizes()
    base = values[0]
    rows = []
    notes = []
    with local_postgres() as dsn, tempfile.TemporaryDirectory(prefix="tessary-bench-") as folder, \
            tessary.PostgresStore(dsn) as db, tessary.DirectoryStore(folder) as directory:
        recorded, batch = timed(lambda: receipts(0, base, base, matches))
        db_load, _ = timed(lambda: db.store_many(batch))
        dir_load, _ = timed(lambda: directory.store_many(batch))
        del batch
        rows.append((f"bulk load {base:,} (store_many)", f"{base / db_load:,.0f} receipts/s",
                     f"{base / dir_load:,.0f} receipts/s", f"db {dir_load / db_load:.2f}x the rate", ">= 1.0x",
                     dir_load / db_load >= 1.0))
        notes.append(f"{base:,} receipts recorded in {recorded:.1f} s, stored in {db_load + dir_load:.1f} s")
        load_only = bool(os.environ.get("TESSARY_BENCH_LOAD_ONLY"))

        queries = {}
        stored = base
        for size in [] if load_only else values:
            if size > stored:
                start = time.perf_counter()
                for first in range(stored, size, CHUNK):
                    chunk = receipts(first, min(first + CHUNK, size), base, matches)
                    db.store_many(chunk)
                    directory.store_many(chunk)
                stored = size
                notes.append(f"grown to {size:,} receipts (recorded and stored in both) in "
                             f"{time.perf_counter() - start:.1f} s")
            db_time, db_runs = per_query(db, matches, budget=5)
            dir_time, dir_runs = per_query(directory, matches, budget=20)
            queries[size] = (db_time, dir_time)
            last = size == values[-1]
            rows.append((f"list {matches} of {size:,} by workload", duration(db_time), duration(dir_time),
                         f"dir/db {dir_time / db_time:,.0f}x", ">= 100x" if last else "-",
                         dir_time / db_time >= 100 if last else None))
            notes.append(f"at {size:,}: the database query timed {db_runs} times, the directory scan "
                         f"{dir_runs} time{'s' if dir_runs > 1 else ''} (after one untimed run, warm page cache)")

        if not load_only:
            small, large = values[0], values[-1]
            factor = large / small
            db_growth = queries[large][0] / queries[small][0]
            dir_growth = queries[large][1] / queries[small][1]
            limit = factor / 5
            rows.append((f"query cost {small:,} -> {large:,} ({factor:g}x size)", f"{db_growth:.2f}x",
                         f"{dir_growth:.2f}x", "growth", f"db <= {limit:g}x", db_growth <= limit))

    print("PostgreSQL 15: a throwaway server of this run, Unix socket only, fsync=off and full_page_writes=off")
    print("(not durable; a bench setting). Directory store in a temporary folder on", folder.rsplit("/", 1)[0])
    for note in notes:
        print("  " + note)
    header = ("measure", "database", "directory", "ratio", "goal", "")
    table = [header] + [row[:5] + ("" if row[5] is None else "met" if row[5] else "MISSED",) for row in rows]
    widths = [max(len(r[i]) for r in table) for i in range(6)]
    for row in table:
        print("  ".join(cell.ljust(w) if i == 0 else cell.rjust(w) for i, (cell, w) in enumerate(zip(row, widths))))


if __name__ == "__main__":
    try:
        main()
    except ServerError as e:
        sys.exit(f"bench_pgstore: cannot start PostgreSQL: {e}")
