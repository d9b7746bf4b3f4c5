"""Reuse or recompute? Decide from the overlap of real chunk-identifier lists.

Two versions of a dataset are cut into chunks; each chunk is named by the
SHA-256 of its bytes. The share of chunk names the versions have in common
(their Jaccard overlap) says how much earlier work can be taken over, and a
cost model prices that against computing again.
"""
import hashlib
import random
from typing import List

from _tessary import delta


def chunk_ids(data: bytes, size: int = 4096) -> List[str]:
    return ["sha256:" + hashlib.sha256(data[i : i + size]).hexdigest() for i in range(0, len(data), size)]


def main() -> None:
    rng = random.Random(7)
    base = bytes(rng.getrandbits(8) for _ in range(256 * 1024))
    # Version 2 rewrites 10% of the chunks; version 3 rewrites 70%.
    def edit(data: bytes, share: float) -> bytes:
        out = bytearray(data)
        for chunk in rng.sample(range(len(data) // 4096), int(share * len(data) / 4096)):
            out[chunk * 4096] ^= 0xFF
        return bytes(out)

    versions = {"v2 (10% rewritten)": edit(base, 0.10), "v3 (70% rewritten)": edit(base, 0.70)}
    earlier = chunk_ids(base)

    # Reusing costs 100 units to find and take over; computing costs 2 units per
    # row plus 100; reuse saves 90% of the compute cost per unit of overlap.
    model = {
        "c_id": 100.0,
        "c_comp": {"type": "linear", "per_row": 2.0, "base": 100.0},
        "alpha": 0.9,
    }
    rows = 100
    print(f"cost model: {model}, rows: {rows}")
    for name, data in versions.items():
        current = chunk_ids(data)
        overlap = delta.jaccard_similarity_py(earlier, current)
        result = delta.decide_reuse_py(overlap, model, row_count=rows)
        saving = delta.economic_delta_py(overlap, model, row_count=rows)
        j = result["justification"]
        print(
            f"{name}: {len(current)} chunks, overlap {overlap:.3f} -> {result['decision']:9s} "
            f"(threshold {j['c_id'] / (j['alpha'] * j['c_comp']):.3f}, economic delta {saving:+.1f})"
        )


if __name__ == "__main__":
    main()
