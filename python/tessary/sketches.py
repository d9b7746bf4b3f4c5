"""MinHash sketches of chunk sets: overlap estimates without the chunk lists.

An input's chunk set (the SHA-256 digests of its chunks, from
:func:`tessary.data_shape` with ``chunks=True``) is summarised by a
:class:`MinHash` of ``k`` values. The share of values two sketches have in
common estimates the Jaccard overlap of their sets (:func:`estimate`), and
LSH band keys (:func:`band_keys`) find the stored sketches likely to overlap
a new one (:func:`candidates`) without comparing against all of them.

The hash family is fixed and documented so that anyone can recompute a
sketch from the chunk digests alone. With p = 2**61 - 1:

- x = the first 8 bytes of a chunk digest, big-endian, mod p
- d_i = SHA-256(b"tessary/minhash/v1" + i as 4 bytes big-endian)
- a_i = (the first 8 bytes of d_i, big-endian) mod (p - 1) + 1
- b_i = (bytes 8 to 15 of d_i, big-endian) mod p
- h_i(x) = (a_i * x + b_i) mod p

Value i of the sketch is the least h_i(x) over the set; the empty set has
every value p, which no hash reaches. The byte form (a receipt's
``minhash_signature``) is the k values as 8 bytes each, big-endian, so k is
the length over 8; the text form (a reuse justification's
``minhash_sketch``) is ``"minhash-v1:"`` followed by the byte form in
base64url without padding.

Band key j (of ``bands`` bands of ``rows`` values, over the first
bands * rows values) is the first 8 bytes of SHA-256 over the byte form of
values j*rows to (j+1)*rows - 1, read as a signed big-endian integer (a
PostgreSQL ``bigint``).
"""

from __future__ import annotations

import base64
import binascii
import struct
from typing import Iterable, List, NamedTuple, Optional, Tuple, Union

from ._sha import sha256
from ._core import native
from .errors import ShapeError
from .shapes import Chunk, DataShape

__all__ = [
    "PRIME",
    "LABEL",
    "DEFAULT_K",
    "DEFAULT_BANDS",
    "DEFAULT_ROWS",
    "TEXT_PREFIX",
    "SketchError",
    "MinHash",
    "Candidate",
    "cardinality",
    "estimate",
    "band_keys",
    "candidates",
]

PRIME = (1 << 61) - 1
LABEL = b"tessary/minhash/v1"
VALUE_SIZE = 8
TEXT_PREFIX = "minhash-v1:"

#: Values per sketch: an estimate within 0.05 of the exact overlap for at
#: least 95% of pairs, measured in bench/bench_sketch.py.
DEFAULT_K = 512
#: LSH bands of rows each (the first 96 values): a stored set of overlap 0.5
#: is missed with probability (1 - 0.5**3)**32, 1.4%, less above 0.5; 32
#: rows per sketch in a band index (bench/bench_sketch.py).
DEFAULT_BANDS = 32
DEFAULT_ROWS = 3

_MAX_K = 1 << 22
_DIGEST_SIZE = 32


class SketchError(ShapeError):
    """A sketch that cannot be read, or two that cannot be compared."""


ChunkSource = Union[DataShape, Iterable[Union[Chunk, bytes, str]]]


def _digest_of(item: object) -> bytes:
    if isinstance(item, Chunk):
        return item.digest
    if isinstance(item, (bytes, bytearray)) and len(item) == _DIGEST_SIZE:
        return bytes(item)
    if isinstance(item, str) and item.startswith("sha256:") and len(item) == 71:
        try:
            return bytes.fromhex(item[7:])
        except ValueError:
            pass
    raise SketchError(f"a chunk must be a Chunk, 32 digest bytes or a 'sha256:' identifier, not {item!r:.80}")


def _digests(chunks: ChunkSource) -> List[bytes]:
    if isinstance(chunks, DataShape):
        if chunks.chunks is None:
            raise SketchError("this data shape was computed without its chunks; pass chunks=True")
        return [c.digest for c in chunks.chunks]
    if isinstance(chunks, (str, bytes, bytearray)):
        raise TypeError(f"chunks must be a data shape or an iterable of chunks, not a single {type(chunks).__name__}")
    return [_digest_of(item) for item in chunks]


def _check_k(k: object) -> int:
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, not {type(k).__name__}")
    if not 1 <= k <= _MAX_K:
        raise SketchError(f"k must be between 1 and {_MAX_K}, got {k}")
    return k


class MinHash:
    """A MinHash sketch: ``k`` values, each the least of one hash over the chunk set.

    Make one with :meth:`of` from chunks, or read one back with
    :meth:`from_bytes` or :meth:`from_text`. Sketches are immutable and
    compare equal when their values are equal.
    """

    __slots__ = ("_data",)

    def __init__(self, data: bytes) -> None:
        self._data = MinHash._checked(data, None)

    @staticmethod
    def _checked(data: object, k: Optional[int]) -> bytes:
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"a sketch's byte form must be bytes, not {type(data).__name__}")
        raw = bytes(data)
        if not raw or len(raw) % VALUE_SIZE:
            raise SketchError(f"a sketch's byte form is a whole number of {VALUE_SIZE}-byte values, got {len(raw)} bytes")
        if k is not None and len(raw) != _check_k(k) * VALUE_SIZE:
            raise SketchError(f"expected a sketch of k={k} ({k * VALUE_SIZE} bytes), got k={len(raw) // VALUE_SIZE}")
        # A value is at most 2**61 - 1 exactly when the top 3 bits of its first byte are clear.
        if max(raw[::VALUE_SIZE]) >= 0x20:
            raise SketchError("a sketch value must be at most 2**61 - 1; this is not a sketch")
        return raw

    @classmethod
    def of(cls, chunks: ChunkSource, k: int = DEFAULT_K) -> "MinHash":
        """The sketch of a chunk set: a :class:`DataShape` computed with ``chunks=True``,
        or an iterable of :class:`Chunk` values, 32-byte digests or ``"sha256:..."`` identifiers.

        Repeats and order do not matter. Computed with the interpreter lock released.
        """
        k = _check_k(k)
        sketch = object.__new__(cls)
        sketch._data = native.minhash(b"".join(_digests(chunks)), k)
        return sketch

    @classmethod
    def from_bytes(cls, data: bytes, k: Optional[int] = None) -> "MinHash":
        """The sketch whose byte form is ``data``; with ``k``, also checks it has k values."""
        sketch = object.__new__(cls)
        sketch._data = cls._checked(data, k)
        return sketch

    @classmethod
    def from_text(cls, text: str, k: Optional[int] = None) -> "MinHash":
        """The sketch whose text form is ``text``; with ``k``, also checks it has k values."""
        if not isinstance(text, str):
            raise TypeError(f"a sketch's text form must be str, not {type(text).__name__}")
        if not text.startswith(TEXT_PREFIX):
            raise SketchError(f"a sketch's text form starts with {TEXT_PREFIX!r}, got {text[:20]!r}")
        body = text[len(TEXT_PREFIX) :]
        try:
            if "=" in body or len(body) % 4 == 1:
                raise ValueError("bad length or padding")
            data = base64.b64decode(body + "=" * (-len(body) % 4), altchars=b"-_", validate=True)
        except (ValueError, binascii.Error):
            raise SketchError("a sketch's text form must be base64url without padding after the prefix") from None
        return cls.from_bytes(data, k)

    @property
    def k(self) -> int:
        """The number of values."""
        return len(self._data) // VALUE_SIZE

    @property
    def values(self) -> Tuple[int, ...]:
        """The values, each below 2**61 (2**61 - 1 for the empty set)."""
        return struct.unpack(f">{self.k}Q", self._data)

    def to_bytes(self) -> bytes:
        """The byte form: k values of 8 bytes, big-endian (a receipt's ``minhash_signature``)."""
        return self._data

    def to_text(self) -> str:
        """The text form: ``"minhash-v1:"`` + base64url of the byte form, no padding."""
        return TEXT_PREFIX + base64.urlsafe_b64encode(self._data).rstrip(b"=").decode("ascii")

    def __eq__(self, other: object) -> bool:
        return isinstance(other, MinHash) and self._data == other._data

    def __hash__(self) -> int:
        return hash(self._data)

    def __repr__(self) -> str:
        return f"<MinHash k={self.k} {self._data[:8].hex()}...>"


SketchLike = Union[MinHash, bytes]


def _sketch(value: object, what: str) -> MinHash:
    if isinstance(value, MinHash):
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return MinHash.from_bytes(bytes(value))
    raise TypeError(f"{what} must be a MinHash or its byte form, not {type(value).__name__}")


def cardinality(chunks: ChunkSource) -> int:
    """The number of distinct chunks (a receipt's ``hll_cardinality``, which must be > 0 when present)."""
    return len(set(_digests(chunks)))


def estimate(a: SketchLike, b: SketchLike) -> float:
    """The estimated Jaccard overlap of the two sketched sets: the share of equal values.

    Two sketches of different k raise :class:`SketchError`.
    """
    sa, sb = _sketch(a, "a"), _sketch(b, "b")
    if sa.k != sb.k:
        raise SketchError(f"sketches of different sizes (k={sa.k} and k={sb.k}) cannot be compared")
    return _same_values(sa.to_bytes(), sb.to_bytes()) / sa.k


def _same_values(a: bytes, b: bytes) -> int:
    """How many of the 8-byte values of two equal-length byte forms are equal (zero after XOR)."""
    xored = (int.from_bytes(a, "little") ^ int.from_bytes(b, "little")).to_bytes(len(a), "little")
    return memoryview(xored).cast("Q").tolist().count(0)


def _band_slices(sketch: MinHash, bands: int, rows: int) -> List[bytes]:
    for name, value in (("bands", bands), ("rows", rows)):
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError(f"{name} must be an int, not {type(value).__name__}")
        if value < 1:
            raise SketchError(f"{name} must be at least 1, got {value}")
    if bands * rows > sketch.k:
        raise SketchError(f"{bands} bands of {rows} rows need k >= {bands * rows}, the sketch has k={sketch.k}")
    width = rows * VALUE_SIZE
    data = sketch.to_bytes()
    return [data[j * width : (j + 1) * width] for j in range(bands)]


def band_keys(sketch: SketchLike, bands: int = DEFAULT_BANDS, rows: int = DEFAULT_ROWS) -> List[int]:
    """The ``bands`` LSH keys of a sketch, each a signed 64-bit integer; equal sketches have equal keys.

    Two sets of overlap J share at least one key with probability
    1 - (1 - J**rows)**bands.
    """
    slices = _band_slices(_sketch(sketch, "sketch"), bands, rows)
    return [int.from_bytes(sha256(s).digest()[:8], "big", signed=True) for s in slices]


class Candidate(NamedTuple):
    """A stored sketch that shares a band with the query, and its estimated overlap."""

    rid: str
    estimate: float


def candidates(
    sketch: SketchLike,
    stored: Iterable[Tuple[str, SketchLike]],
    *,
    bands: int = DEFAULT_BANDS,
    rows: int = DEFAULT_ROWS,
    threshold: Optional[float] = None,
) -> List[Candidate]:
    """The stored sketches sharing at least one band with ``sketch``, best estimate first.

    ``stored`` yields ``(rid, sketch)`` pairs (a sketch or its byte form), as
    a scan of a store gives them. With ``threshold``, candidates whose
    estimate is below it are left out. Every stored sketch is read once, so
    this suits stores up to some tens of thousands of sketches (10,000
    in well under a second, bench/bench_sketch.py); larger stores need a
    band index. A stored sketch of another k raises :class:`SketchError` naming it.
    """
    query = _sketch(sketch, "sketch")
    wanted = _band_slices(query, bands, rows)
    width = rows * VALUE_SIZE
    found: List[Candidate] = []
    for rid, value in stored:
        other = _sketch(value, f"the sketch of {rid}")
        if other.k != query.k:
            raise SketchError(f"the sketch of {rid} has k={other.k}, the query k={query.k}")
        data = other.to_bytes()
        if any(data[j * width : (j + 1) * width] == wanted[j] for j in range(bands)):
            score = _same_values(query.to_bytes(), data) / query.k
            if threshold is None or score >= threshold:
                found.append(Candidate(rid, score))
    found.sort(key=lambda c: (-c.estimate, c.rid))
    return found
