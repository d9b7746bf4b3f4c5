"""Candidate lookup in the PostgreSQL band index of MinHash sketches.

The index holds 100,000 sketched receipts: most with band keys of unrelated
data (generated in the server), plus 100 data sets of 10 versions each,
sketched for real. Each lookup is the sketch of a fresh version of one data
set; the versions of that set already indexed are the true candidates.

Shown: lookup time (median, p99) with the index, against the same query
with index scans switched off (a scan of the whole table) in this run; the
share of true candidates found; the table's size.

Settings: TESSARY_BENCH_SKETCH_RECEIPTS=100000, TESSARY_BENCH_SKETCH_LOOKUPS=300.
"""
import os
import pathlib
import random
import statistics
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "examples"))
from local_postgres import ServerError, local_postgres  # noqa: E402

import psycopg  # noqa: E402

from tessary import _sketch_index as index  # noqa: E402
from tessary import sketches  # noqa: E402

SETS, VERSIONS, CHUNKS = 100, 10, 2000


def version(rng, base, share):
    """`base` with `share` of its chunks replaced by new ones."""
    changed = set(rng.sample(range(len(base)), int(len(base) * share)))
    return [rng.randbytes(32) if i in changed else d for i, d in enumerate(base)]


def fill(conn, receipts, rng):
    """Unrelated receipts generated in the server; the data sets' versions sketched here. Returns the sets."""
    bands = sketches.DEFAULT_BANDS
    with conn.cursor() as cur:
        cur.execute(
            f"INSERT INTO {index.TABLE} (rid, band, key) "
            "SELECT r.rid, b.band, ((random() - 0.5) * 1.8e19)::bigint "
            "FROM (SELECT gen_random_uuid() AS rid FROM generate_series(1, %s)) AS r "
            "CROSS JOIN generate_series(0, %s) AS b(band)",
            (receipts - SETS * VERSIONS, bands - 1),
        )
    sets = []
    for s in range(SETS):
        base = [rng.randbytes(32) for _ in range(CHUNKS)]
        rids = [f"{s:08x}-0000-4000-8000-{v:012x}" for v in range(VERSIONS)]
        index.add_sketches(conn, [(rid, sketches.MinHash.of(version(rng, base, 0.1))) for rid in rids])
        sets.append((base, set(rids)))
    with conn.cursor() as cur:
        cur.execute(f"ANALYZE {index.TABLE}")
    return sets


def lookups(conn, queries):
    times, found = [], 0
    for sketch, expected in queries:
        start = time.perf_counter()
        rids = {rid for rid, _ in index.band_candidates(conn, sketch)}
        times.append(time.perf_counter() - start)
        found += len(rids & expected)
    return times, found


def main():
    receipts = int(os.environ.get("TESSARY_BENCH_SKETCH_RECEIPTS", "100000"))
    count = int(os.environ.get("TESSARY_BENCH_SKETCH_LOOKUPS", "300"))
    rng = random.Random(11)
    with local_postgres() as dsn, psycopg.connect(dsn, autocommit=True) as conn:
        index.create_band_index(conn)
        start = time.perf_counter()
        sets = fill(conn, receipts, rng)
        loaded = time.perf_counter() - start
        queries = []
        for i in range(count):
            base, rids = sets[i % SETS]
            queries.append((sketches.MinHash.of(version(rng, base, 0.1)), rids))
        lookups(conn, queries[:20])  # warm the cache
        times, found = lookups(conn, queries)
        with conn.cursor() as cur:
            keys = sketches.band_keys(queries[0][0])
            cur.execute("EXPLAIN " + index.CANDIDATES, (list(range(len(keys))), keys))
            plan = [line.strip(" ->") for (line,) in cur.fetchall() if "Scan" in line]
            cur.execute("SELECT pg_total_relation_size(%s), count(*) FROM " + index.TABLE, (index.TABLE,))
            size, rows = cur.fetchone()
        # A connection of its own: psycopg prepares a query run five times, and
        # the prepared plan would keep using the index whatever is set later.
        with psycopg.connect(dsn, autocommit=True) as peer:
            with peer.cursor() as cur:
                for setting in ("enable_indexscan", "enable_indexonlyscan", "enable_bitmapscan"):
                    cur.execute(f"SET {setting} = off")
                cur.execute("EXPLAIN " + index.CANDIDATES, (list(range(len(keys))), keys))
                scan_plan = [line.strip(" ->") for (line,) in cur.fetchall() if "Scan" in line]
            scan_times, scan_found = lookups(peer, queries[:10])
    expected = sum(len(r) for _, r in queries)
    median, p99 = statistics.median(times), sorted(times)[max(0, int(len(times) * 0.99) - 1)]
    scan = statistics.median(scan_times)
    print(f"band index: {receipts:,} receipts x {sketches.DEFAULT_BANDS} bands = {rows:,} rows, "
          f"{size / 2**20:,.0f} MiB with indexes; loaded in {loaded:.0f} s "
          f"(k={sketches.DEFAULT_K}, {sketches.DEFAULT_BANDS} bands x {sketches.DEFAULT_ROWS} rows)")
    print(f"lookup with the index: median {median * 1e3:.2f} ms, p99 {p99 * 1e3:.2f} ms over {len(times)} lookups; "
          f"found {found}/{expected} true candidates (J about 0.68)")
    print("plan: " + "; ".join(p.split("  (")[0] for p in plan))
    print("plan without index scans: " + "; ".join(p.split("  (")[0] for p in scan_plan))
    print(f"the same query scanning the table: median {scan * 1e3:.0f} ms over {len(scan_times)} lookups "
          f"(found {scan_found}): index {scan / median:,.0f}x faster")


if __name__ == "__main__":
    try:
        main()
    except ServerError as e:
        sys.exit(f"bench_sketch_index: cannot start PostgreSQL: {e}")
