"""MinHash sketches: the documented hash family, the estimate, band keys, bad input, the band index."""
import hashlib
import random
from typing import Any, Callable, List

import pytest

import tessary
from tessary import sketches
from tessary.sketches import MinHash, SketchError

P = 2**61 - 1


def recomputed(digests: List[bytes], k: int) -> List[int]:
    """The sketch from its written description alone, independent of the package."""
    values = []
    for i in range(k):
        d = hashlib.sha256(b"tessary/minhash/v1" + i.to_bytes(4, "big")).digest()
        a = int.from_bytes(d[:8], "big") % (P - 1) + 1
        b = int.from_bytes(d[8:16], "big") % P
        values.append(min(((a * (int.from_bytes(x[:8], "big") % P) + b) % P for x in digests), default=P))
    return values


def digests(seed: int, n: int) -> List[bytes]:
    rng = random.Random(seed)
    return [rng.randbytes(32) for _ in range(n)]


DATA = random.Random(5).randbytes(200_000)
SHAPE = tessary.data_shape(DATA, scheme=tessary.CDC(1024), chunks=True)


@pytest.mark.parametrize("source", [
    lambda: SHAPE, lambda: list(SHAPE.chunks or ()),
    lambda: [c.digest for c in SHAPE.chunks or ()] * 2,  # repeats count once
    lambda: list(reversed(SHAPE.chunk_ids)),
], ids=["shape", "chunks", "repeated-digests", "reversed-ids"])
def test_a_third_party_recomputes_the_sketch_from_the_chunk_digests(source: Callable[[], Any]) -> None:
    chunk_digests = [c.digest for c in SHAPE.chunks or ()]
    sketch = MinHash.of(source(), k=96)
    assert list(sketch.values) == recomputed(chunk_digests, 96)
    assert sketch.to_bytes() == b"".join(v.to_bytes(8, "big") for v in sketch.values)
    assert sketches.cardinality(source()) == len(set(chunk_digests))


def test_the_modular_arithmetic_holds_at_the_edges_of_the_prime() -> None:
    edges = [v.to_bytes(8, "big") + bytes(24) for v in (0, 1, P - 1, P, P + 1, 2**64 - 1, 2**63)]
    assert list(MinHash.of(edges, k=64).values) == recomputed(edges, 64)
    for edge in edges:  # one member at a time: every value is that member's hash
        assert list(MinHash.of([edge], k=64).values) == recomputed([edge], 64)


def test_estimates_of_identical_disjoint_and_empty_sets() -> None:
    a, b = digests(1, 3000), digests(2, 3000)
    sa, sb = MinHash.of(a), MinHash.of(b)
    assert sketches.estimate(sa, MinHash.of(list(reversed(a)))) == 1.0
    assert sketches.estimate(sa, sb) <= 0.01
    half = MinHash.of(a[:1500] + b[:1500])
    assert abs(sketches.estimate(sa, half) - tessary.jaccard([x.hex() for x in a], [x.hex() for x in a[:1500] + b[:1500]])) <= 0.05
    empty = MinHash.of([])
    assert sketches.estimate(empty, MinHash.of([])) == 1.0 and sketches.estimate(empty, sa) == 0.0
    assert sketches.cardinality([]) == 0


def test_the_byte_and_text_forms_read_back_and_equal_sketches_have_equal_band_keys() -> None:
    sketch = MinHash.of(digests(3, 500))
    assert MinHash.from_bytes(sketch.to_bytes(), k=sketches.DEFAULT_K) == sketch
    text = sketch.to_text()
    assert text.startswith("minhash-v1:") and "=" not in text and MinHash.from_text(text) == sketch
    keys = sketches.band_keys(sketch)
    assert keys == sketches.band_keys(MinHash.from_text(text)) == sketches.band_keys(sketch.to_bytes())
    assert len(keys) == sketches.DEFAULT_BANDS and all(-(2**63) <= key < 2**63 for key in keys)
    other = sketches.band_keys(MinHash.of(digests(4, 500)))
    assert not set(enumerate(keys)) & set(enumerate(other))


SMALL = MinHash.of(digests(6, 10), k=16)


@pytest.mark.parametrize("call, message", [
        (lambda: MinHash.from_bytes(b"\0" * 7), "whole number of 8-byte values, got 7"),
        (lambda: MinHash.from_bytes(SMALL.to_bytes(), k=32), "expected a sketch of k=32 .256 bytes., got k=16"),
        (lambda: MinHash.from_bytes(b"\xff" * 8), "at most 2\\*\\*61 - 1"),
        (lambda: MinHash.from_text("minhash-v2:AAAAAAAAAAA"), "starts with 'minhash-v1:'"),
        (lambda: MinHash.from_text("minhash-v1:AAAAAAAAAAA="), "base64url without padding"),
        (lambda: sketches.estimate(SMALL, MinHash.of([], k=32)), "different sizes .k=16 and k=32."),
        (lambda: sketches.band_keys(SMALL, bands=5, rows=4), "need k >= 20, the sketch has k=16"),
        (lambda: sketches.band_keys(SMALL, bands=0, rows=4), "bands must be at least 1"),
        (lambda: MinHash.of(["sha256:00"]), "a chunk must be"),
        (lambda: MinHash.of(digests(1, 1), k=0), "k must be between 1 and"),
        (lambda: sketches.candidates(SMALL, [("r1", MinHash.of([], k=8))], bands=4, rows=2), "r1 has k=8"),
])
def test_bad_input_is_refused_with_a_clear_message(call: Callable[[], object], message: str) -> None:
    with pytest.raises(SketchError, match=message):
        call()


def test_candidates_are_the_overlapping_stored_sketches_best_first() -> None:
    base = digests(7, 2000)
    query = MinHash.of(base)
    stored = [
        ("unrelated", MinHash.of(digests(8, 2000)).to_bytes()), ("most", MinHash.of(base[:1900] + digests(9, 100))),
        ("half", MinHash.of(base[:1300] + digests(10, 700))),
    ]
    found = sketches.candidates(query, stored)
    assert [c.rid for c in found] == ["most", "half"] and found[0].estimate > found[1].estimate
    assert [c.rid for c in sketches.candidates(query, stored, threshold=0.8)] == ["most"]


def test_the_database_band_index_finds_overlapping_sketches(pg_dsn: str) -> None:
    import psycopg

    from tessary import _sketch_index as index

    base = digests(11, 2000)
    rids = {name: f"00000000-0000-4000-8000-00000000000{i}" for i, name in enumerate(("near", "half", "far"))}
    with psycopg.connect(pg_dsn, autocommit=True) as conn:
        index.create_band_index(conn)
        index.create_band_index(conn)  # idempotent: a migration may run it again
        assert index.add_sketches(conn, [
            (rids["near"], MinHash.of(base[:1950] + digests(12, 50))),
            (rids["half"], MinHash.of(base[:1400] + digests(13, 600))),
            (rids["far"], MinHash.of(digests(14, 2000)))]) == 3
        found = index.band_candidates(conn, MinHash.of(base))
        assert [rid for rid, _ in found] == [rids["near"], rids["half"]] and found[0][1] > found[1][1]
        assert index.band_candidates(conn, MinHash.of(base), limit=1) == found[:1]
        index.remove_sketches(conn, [rids["near"]])
        assert [rid for rid, _ in index.band_candidates(conn, MinHash.of(base))] == [rids["half"]]
