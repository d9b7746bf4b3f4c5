"""Confirming overlap candidates: the exact Jaccard of chunk manifests read from the output cache.

A step that may reuse by overlap confirms at most eight candidates found by
their sketches: it reads each candidate's chunk manifest from the cache and
computes the exact Jaccard of the two chunk sets. Shown: the time to confirm
eight candidates of 1 GiB inputs (16,384 chunks each at the default 64 KiB
average), median and 99th percentile, against computing the two inputs'
sketch estimate for the same eight in this run.

Settings: TESSARY_BENCH_CONFIRM_CHUNKS=16384, TESSARY_BENCH_CONFIRM_ROUNDS=50.
"""
import os
import random
import statistics
import tempfile
import time

from tessary import sketches
from tessary._overlap_reuse import chunk_set, exact_overlap
from tessary.cache import Cache

CHUNKS = int(os.environ.get("TESSARY_BENCH_CONFIRM_CHUNKS", 16384))
ROUNDS = int(os.environ.get("TESSARY_BENCH_CONFIRM_ROUNDS", 50))
CANDIDATES = 8


def manifest(digests):
    return b"".join(d + (65536).to_bytes(8, "big") for d in digests)


def main():
    rng = random.Random(7)
    base = [rng.randbytes(32) for _ in range(CHUNKS)]
    current = [rng.randbytes(32) if rng.random() < 0.1 else d for d in base]
    with tempfile.TemporaryDirectory() as root:
        cache = Cache(root)
        names = []
        for _ in range(CANDIDATES):
            version = [rng.randbytes(32) if rng.random() < 0.2 else d for d in base]
            names.append(cache.put_bytes(manifest(version)))
        ours = set(current)
        confirm, estimate = [], []
        mine = sketches.MinHash.of(current)
        theirs = [sketches.MinHash.of(chunk_set(cache.read_bytes(n))) for n in names]
        for _ in range(ROUNDS):
            start = time.perf_counter()
            best = max(exact_overlap(chunk_set(cache.read_bytes(n)), ours) for n in names)
            confirm.append(time.perf_counter() - start)
            start = time.perf_counter()
            max(sketches.estimate(mine, t) for t in theirs)
            estimate.append(time.perf_counter() - start)
    q = statistics.quantiles(confirm, n=100)
    print(f"confirm {CANDIDATES} candidates of {CHUNKS} chunks: median {statistics.median(confirm) * 1e3:.1f} ms, "
          f"p99 {q[98] * 1e3:.1f} ms (goal: median <= 50 ms); best exact J {best:.3f}")
    print(f"peer, sketch estimates of the same {CANDIDATES}: median {statistics.median(estimate) * 1e3:.2f} ms; "
          f"ratio {statistics.median(confirm) / statistics.median(estimate):.0f}x")


if __name__ == "__main__":
    main()
