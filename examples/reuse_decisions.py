"""Reuse or recompute? Decide from the chunk overlap of two versions of a data set.

Each version is cut into content-defined chunks named by the SHA-256 of their
bytes. The share of chunks the versions have in common (their Jaccard overlap)
says how much earlier work can be taken over, and a cost model prices that
against computing again.
"""
import random

import tessary

SCHEME = tessary.CDC(4096)


def edit(data: bytes, share: float, rng: random.Random) -> bytes:
    """Rewrites a byte in about `share` of the 4 KiB regions of `data`."""
    out = bytearray(data)
    for region in rng.sample(range(len(data) // 4096), int(share * len(data) / 4096)):
        out[region * 4096 + rng.randrange(4096)] ^= 0xFF
    return bytes(out)


def main() -> None:
    rng = random.Random(7)
    base = bytes(rng.getrandbits(8) for _ in range(512 * 1024))
    earlier = tessary.data_shape(base, scheme=SCHEME, chunks=True)

    # Reusing costs 100 units to find and take over; computing costs 2 units per
    # row plus 100; reuse saves 90% of the compute cost per unit of overlap.
    model = tessary.CostModel.of(c_id=100.0, c_comp=tessary.Linear(per_row=2.0, base=100.0), alpha=0.9)
    rows = 100
    print(f"cost model: {model.to_dict()}, rows: {rows}")
    for share in (0.02, 0.10, 0.70):
        current = tessary.data_shape(edit(base, share, rng), scheme=SCHEME, chunks=True)
        overlap = tessary.jaccard(earlier, current)
        d = tessary.decide_reuse(overlap, model, rows=rows)
        print(
            f"{share:4.0%} of regions edited: {len(current.chunks or ())} chunks, overlap {overlap:.3f} -> "
            f"{d.decision.value:9s} (threshold {d.c_id / (d.alpha * d.c_comp):.3f}, economic delta {d.delta:+.1f})"
        )


if __name__ == "__main__":
    main()
