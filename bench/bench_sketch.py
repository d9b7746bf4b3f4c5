"""MinHash sketches against the exact Jaccard overlap, on versions of one data set.

A random base (64 MiB) is chunked with CDC(4096); versions of it insert,
delete or change a share of its bytes (0.1% to 50%, at 1 to 64 places).
Within each edit level every pair of {base, versions} is compared: the exact
Jaccard of their chunk sets against the sketch estimate.

Goals:
  estimate within 0.05 of the exact overlap      >= 95% of pairs, at every level
  true candidates (J >= threshold) the LSH index misses   shown per bands x rows

Also shown: the native sketch against a pure-Python computation of the same
hash family, the estimate against the exact Jaccard, and the scan rate of
tessary.sketches.candidates over stored sketches.

Settings: TESSARY_BENCH_SKETCH_MIB=64, TESSARY_BENCH_SKETCH_VERSIONS=3 (per kind
and level), TESSARY_BENCH_SKETCH_THRESHOLD=0.5, TESSARY_BENCH_SKETCH_K=128,256,384,512.
"""
import hashlib
import itertools
import os
import pathlib
import random
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import tessary  # noqa: E402
from tessary import sketches  # noqa: E402
from _ratio import compare  # noqa: E402

LEVELS = (0.001, 0.01, 0.05, 0.1, 0.2, 0.3, 0.5)
KINDS = ("insert", "delete", "change")
SCHEME = tessary.CDC(4096)
LSH = ((32, 3), (48, 3), (64, 4), (32, 4), (100, 5), (128, 4))
P = sketches.PRIME


def settings():
    mib = int(os.environ.get("TESSARY_BENCH_SKETCH_MIB", "64"))
    versions = int(os.environ.get("TESSARY_BENCH_SKETCH_VERSIONS", "3"))
    threshold = float(os.environ.get("TESSARY_BENCH_SKETCH_THRESHOLD", "0.5"))
    ks = sorted(int(k) for k in os.environ.get("TESSARY_BENCH_SKETCH_K", "128,256,384,512").split(","))
    return mib << 20, versions, threshold, ks


def edited(base, rng, kind, level):
    """A version of `base` with about `level` of its bytes inserted, deleted or changed at a few places."""
    sites = rng.choice((1, 4, 16, 64))
    per = max(1, int(len(base) * level) // sites)
    segment = len(base) // sites
    pieces = []
    for s in range(sites):
        start, end = s * segment, (s + 1) * segment if s < sites - 1 else len(base)
        at = start + rng.randrange(max(1, end - start - per))
        if kind == "insert":
            pieces += [base[start:at], rng.randbytes(per), base[at:end]]
        elif kind == "delete":
            pieces += [base[start:at], base[at + per : end]]
        else:
            pieces += [base[start:at], rng.randbytes(per), base[at + per : end]]
    return b"".join(pieces)


def coefficients(k):
    out = []
    for i in range(k):
        d = hashlib.sha256(sketches.LABEL + i.to_bytes(4, "big")).digest()
        out.append((int.from_bytes(d[:8], "big") % (P - 1) + 1, int.from_bytes(d[8:16], "big") % P))
    return out


def python_minhash(digests, family):
    """The documented family, computed in Python: the peer of the native sketch."""
    xs = [int.from_bytes(d[:8], "big") % P for d in set(digests)]
    return [min(((a * x + b) % P for x in xs), default=P) for a, b in family]


def measure(mib_bytes, versions, ks):
    """Per level: the exact overlaps and the estimates of every pair, and each input's largest sketch."""
    rng = random.Random(20261208)
    base = rng.randbytes(mib_bytes)
    k_max = ks[-1]

    def sketch_of(data):
        shape = tessary.data_shape(data, scheme=SCHEME, chunks=True)
        digests = [c.digest for c in shape.chunks]
        return set(digests), sketches.MinHash.of(shape, k_max), digests

    base_entry = sketch_of(base)
    results = {}
    for level in LEVELS:
        entries = [base_entry] + [sketch_of(edited(base, rng, kind, level)) for kind in KINDS for _ in range(versions)]
        pairs = []
        for (sa, ma, _), (sb, mb, _) in itertools.combinations(entries, 2):
            exact = len(sa & sb) / len(sa | sb)
            va, vb = ma.values, mb.values
            estimates = {k: sum(x == y for x, y in zip(va[:k], vb[:k])) / k for k in ks}
            pairs.append((exact, estimates, ma, mb))
        results[level] = pairs
    return results, base_entry


def banded(ma, mb, bands, rows):
    a, b = ma.to_bytes(), mb.to_bytes()
    w = rows * 8
    return any(a[j * w : (j + 1) * w] == b[j * w : (j + 1) * w] for j in range(bands))


def error_table(results, k):
    print(f"\nestimate error, k={k} (pairs of base and versions within each edit level):")
    print(f"  {'edit level':>10}  {'pairs':>5}  {'exact J (mean, min-max)':>24}  {'mean |err|':>10}  {'within 0.05':>11}")
    worst = 1.0
    for level, pairs in results.items():
        errors = [abs(est[k] - exact) for exact, est, _, _ in pairs]
        js = [p[0] for p in pairs]
        share = sum(e <= 0.05 for e in errors) / len(errors)
        worst = min(worst, share)
        print(f"  {level * 100:>9g}%  {len(pairs):>5}  {sum(js) / len(js):>8.3f} ({min(js):.3f}-{max(js):.3f})"
              f"  {sum(errors) / len(errors):>10.4f}  {share * 100:>10.1f}%")
    return worst


def lsh_table(results, threshold):
    every = [p for pairs in results.values() for p in pairs]
    true = [p for p in every if p[0] >= threshold]
    false = [p for p in every if p[0] < threshold]
    print(f"\nLSH band index: {len(true)} pairs with exact J >= {threshold}, {len(false)} below")
    print(f"  {'bands x rows':>12}  {'values used':>11}  {'missed':>8}  {'flagged below threshold':>23}"
          f"  {f'miss at J={threshold:g} (formula)':>24}")
    for bands, rows in LSH:
        missed = sum(not banded(ma, mb, bands, rows) for _, _, ma, mb in true)
        flagged = sum(banded(ma, mb, bands, rows) for _, _, ma, mb in false)
        mark = "  (default)" if (bands, rows) == (sketches.DEFAULT_BANDS, sketches.DEFAULT_ROWS) else ""
        print(f"  {bands:>5} x {rows:<4}  {bands * rows:>11}  {missed / max(1, len(true)) * 100:>7.2f}%"
              f"  {flagged / max(1, len(false)) * 100:>22.1f}%"
              f"  {(1 - threshold**rows) ** bands * 100:>23.2f}%{mark}")


def near_threshold(threshold, k, pairs=400):
    """Index misses where they happen: chunk sets of overlap just above the threshold (t to t + 0.1)."""
    rng = random.Random(99)
    n = 4000
    sketched = []
    for _ in range(pairs):
        j = threshold + rng.random() * 0.1
        shared = round(2 * n * j / (1 + j))  # |A| = |B| = n sharing s chunks: J = s / (2n - s)
        common = [rng.randbytes(32) for _ in range(shared)]
        a = common + [rng.randbytes(32) for _ in range(n - shared)]
        b = common + [rng.randbytes(32) for _ in range(n - shared)]
        sketched.append((shared / (2 * n - shared), sketches.MinHash.of(a, k), sketches.MinHash.of(b, k)))
    print(f"\npairs of exact overlap {threshold:g} to {threshold + 0.1:g} ({pairs} pairs of random chunk sets):")
    for bands, rows in LSH:
        missed = sum(not banded(ma, mb, bands, rows) for _, ma, mb in sketched)
        expected = sum((1 - j**rows) ** bands for j, _, _ in sketched)
        mark = "  (default)" if (bands, rows) == (sketches.DEFAULT_BANDS, sketches.DEFAULT_ROWS) else ""
        print(f"  {bands:>5} x {rows:<4}  missed {missed / pairs * 100:5.2f}%  (formula {expected / pairs * 100:5.2f}%){mark}")


def speed(base_entry, k):
    _, sketch, digests = base_entry
    family = coefficients(k)
    assert python_minhash(digests, family) == list(sketches.MinHash.of(digests, k).values)
    ours, peer = compare(lambda: sketches.MinHash.of(digests, k), lambda: python_minhash(digests, family), rounds=3)
    print(f"\nsketch of {len(digests):,} chunks, k={k}: native {ours * 1e3:.2f} ms, pure Python "
          f"{peer * 1e3:.0f} ms (same values): {peer / ours:,.0f}x")
    ids = ["sha256:" + d.hex() for d in digests]
    other = ids[: len(ids) // 2] + ["sha256:" + os.urandom(32).hex() for _ in range(len(ids) // 2)]
    other_sketch = sketches.MinHash.of(other, k)
    ours, peer = compare(lambda: sketches.estimate(sketch, other_sketch), lambda: tessary.jaccard(ids, other))
    print(f"estimate of two sketches {ours * 1e6:.0f} us, exact jaccard of the two chunk lists "
          f"{peer * 1e3:.2f} ms: {peer / ours:,.0f}x")
    stored = [(f"r{i}", sketches.MinHash.of([os.urandom(32)], k).to_bytes()) for i in range(10_000)]
    stored.append(("near", other_sketch.to_bytes()))
    start = time.perf_counter()
    found = sketches.candidates(sketch, stored)
    scan = time.perf_counter() - start
    assert [c.rid for c in found] == ["near"], found
    print(f"candidates() scan of {len(stored):,} stored sketches (byte form): {scan * 1e3:.0f} ms, "
          f"{len(stored) / scan:,.0f} sketches/s")


def main():
    mib_bytes, versions, threshold, ks = settings()
    start = time.perf_counter()
    results, base_entry = measure(mib_bytes, versions, ks)
    print(f"base {mib_bytes >> 20} MiB, {SCHEME}, {len(base_entry[0]):,} distinct chunks; "
          f"{versions} versions per edit kind ({', '.join(KINDS)}) and level; measured in "
          f"{time.perf_counter() - start:.0f} s")
    print("\nshare of pairs within 0.05 of the exact overlap, by k (worst level / all pairs):")
    for k in ks:
        every = [abs(est[k] - exact) <= 0.05 for pairs in results.values() for exact, est, _, _ in pairs]
        levels = [sum(abs(est[k] - exact) <= 0.05 for exact, est, _, _ in pairs) / len(pairs) for pairs in results.values()]
        goal = "met" if min(levels) >= 0.95 else "MISSED"
        print(f"  k={k:<4} worst level {min(levels) * 100:5.1f}%  all {sum(every) / len(every) * 100:5.1f}%  "
              f"goal >= 95% {goal}{'  (default)' if k == sketches.DEFAULT_K else ''}")
    k = sketches.DEFAULT_K if sketches.DEFAULT_K in ks else ks[-1]
    error_table(results, k)
    lsh_table(results, threshold)
    near_threshold(threshold, k)
    speed(base_entry, k)


if __name__ == "__main__":
    main()
