"""Data shapes of byte streams and files, and method shapes of code.

A data shape hash is a content-defined commitment to bytes: the same bytes
under the same chunk scheme always give the same hash, however they are
read. :func:`data_shape` takes bytes, any buffer, a path or an open binary
file; :class:`DataShapeHasher` takes the stream in pieces, like ``hashlib``.
With ``chunks=True`` the result also lists the chunks, which is what
:func:`tessary.jaccard` compares between two versions of a data set.
"""

from __future__ import annotations

import os
from typing import Any, BinaryIO, Callable, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Union, cast

from ._core import method_shape_of_code, method_shape_of_signature, native
from ._types import JSONValue
from .errors import ShapeError

__all__ = [
    "CDC",
    "Fixed",
    "ChunkScheme",
    "DEFAULT_SCHEME",
    "Chunk",
    "DataShape",
    "DataShapeHasher",
    "data_shape",
    "method_shape",
    "method_shape_of",
]

_CDC_KIND = 0
_FIXED_KIND = 1
_READ_PIECE = 1 << 20


def _chunk_size(size: object) -> int:
    if isinstance(size, bool) or not isinstance(size, int):
        raise TypeError(f"chunk size must be an int, not {type(size).__name__}")
    if size <= 0 or size >= 2**64:
        raise ShapeError(f"chunk size must be between 1 and 2**64 - 1, got {size}")
    return size


class _CDCFields(NamedTuple):
    avg_size: int


class CDC(_CDCFields):
    """Content-defined chunking around an average chunk size in bytes (1 to 2**64 - 1)."""

    __slots__ = ()

    def __new__(cls, avg_size: int = 65536) -> "CDC":
        return super().__new__(cls, _chunk_size(avg_size))

    def __str__(self) -> str:
        return f"cdc:{self.avg_size}"

    def to_dict(self) -> dict:  # type: ignore[type-arg]
        """The scheme as the native module's dict form."""
        return {"type": "cdc", "avg_size": self.avg_size}


class _FixedFields(NamedTuple):
    size: int


class Fixed(_FixedFields):
    """Fixed-size chunking: every chunk ``size`` bytes (1 to 2**64 - 1) but possibly the last."""

    __slots__ = ()

    def __new__(cls, size: int) -> "Fixed":
        return super().__new__(cls, _chunk_size(size))

    def __str__(self) -> str:
        return f"fixed:{self.size}"

    def to_dict(self) -> dict:  # type: ignore[type-arg]
        """The scheme as the native module's dict form."""
        return {"type": "fixed", "size": self.size}


ChunkScheme = Union[CDC, Fixed]

#: The scheme used when none is given: CDC with an average of 64 KiB.
DEFAULT_SCHEME = CDC(65536)


class Chunk(NamedTuple):
    """One chunk of a stream: where it starts, how long it is, its SHA-256."""

    offset: int
    length: int
    digest: bytes

    @property
    def id(self) -> str:
        """The chunk identifier, "sha256:" + the digest in hex."""
        return "sha256:" + self.digest.hex()


class DataShape(NamedTuple):
    """A data shape: its hash, the stream's size, the scheme, and the chunks when asked for."""

    hash: str
    size: int
    scheme: ChunkScheme
    chunks: Optional[Tuple[Chunk, ...]] = None

    @property
    def chunk_ids(self) -> List[str]:
        """The chunk identifiers in stream order; needs a shape computed with ``chunks=True``."""
        if self.chunks is None:
            raise ValueError("this data shape was computed without its chunks; pass chunks=True")
        return ["sha256:" + c.digest.hex() for c in self.chunks]


def _scheme_args(scheme: Optional[ChunkScheme]) -> Tuple[int, int]:
    if scheme is None:
        return _CDC_KIND, 65536
    if isinstance(scheme, CDC):
        kind, size = _CDC_KIND, scheme.avg_size
    elif isinstance(scheme, Fixed):
        kind, size = _FIXED_KIND, scheme.size
    else:
        raise TypeError(f"scheme must be tessary.CDC or tessary.Fixed, not {type(scheme).__name__}")
    # Checked again: a scheme made with _make or _replace skips the constructor.
    return kind, _chunk_size(size)


def _result(raw: native.Shape, scheme: ChunkScheme) -> DataShape:
    hash_text, size, chunks = raw
    listed = tuple(Chunk(o, n, d) for o, n, d in chunks) if chunks is not None else None
    return DataShape(hash_text, size, scheme, listed)


class DataShapeHasher:
    """A data shape computed over a stream fed in pieces, in the style of ``hashlib``.

    ``update`` may be called any number of times with bytes or any buffer;
    ``digest``, ``hexdigest`` and ``shape`` may be asked at any point and do
    not end the stream. The result equals :func:`data_shape` of all the bytes
    fed. Large pieces are hashed with the interpreter lock released.
    """

    name = "tessary-data-shape"
    digest_size = 32

    __slots__ = ("_state", "_scheme", "_chunks")

    def __init__(self, data: object = None, *, scheme: Optional[ChunkScheme] = None, chunks: bool = False) -> None:
        kind, size = _scheme_args(scheme)
        self._scheme: ChunkScheme = scheme if scheme is not None else DEFAULT_SCHEME
        self._chunks = bool(chunks)
        self._state = native.Hasher(kind, size, self._chunks)
        if data is not None:
            self.update(data)

    def update(self, data: object) -> None:
        """Feed the next piece of the stream (bytes, bytearray, memoryview or any buffer)."""
        try:
            self._state.update(data)
        except BufferError:
            self._state.update(memoryview(cast(Any, data)).tobytes())

    def copy(self) -> "DataShapeHasher":
        """An independent hasher in the same state."""
        twin = object.__new__(DataShapeHasher)
        twin._scheme = self._scheme
        twin._chunks = self._chunks
        twin._state = self._state.copy()
        return twin

    def shape(self) -> DataShape:
        """The data shape of everything fed so far."""
        return _result(self._state.copy().finish(), self._scheme)

    def hexdigest(self) -> str:
        """The data shape hash as 64 hex digits (without the "sha256:" prefix)."""
        return self.shape().hash[len("sha256:") :]

    def digest(self) -> bytes:
        """The data shape hash as 32 raw bytes."""
        return bytes.fromhex(self.hexdigest())

    def __repr__(self) -> str:
        return f"<DataShapeHasher {self._scheme!r}>"


# What data_shape() reads. Any object with the buffer protocol counts as data
# (the protocol has no static type before Python 3.12), hence the object.
Source = Union[bytes, bytearray, memoryview, str, "os.PathLike[str]", "os.PathLike[bytes]", BinaryIO, object]


def _is_file_object(source: object) -> bool:
    return callable(getattr(source, "readinto", None)) or callable(getattr(source, "read", None))


def _file_pieces(source: object) -> Iterator[object]:
    readinto = getattr(source, "readinto", None)
    if callable(readinto):
        buffer = bytearray(_READ_PIECE)
        view = memoryview(buffer)
        while True:
            n = readinto(view)
            if n is None:
                raise ShapeError("the file is in non-blocking mode and has no data ready")
            if not n:
                return
            yield view[:n]
    else:
        while True:
            piece = getattr(source, "read")(_READ_PIECE)
            if piece is None:
                raise ShapeError("the file is in non-blocking mode and has no data ready")
            if isinstance(piece, str):
                raise TypeError("the file must be opened in binary mode ('rb')")
            if not piece:
                return
            yield piece


def data_shape(source: Source, *, scheme: Optional[ChunkScheme] = None, chunks: bool = False) -> DataShape:
    """The data shape of bytes, a buffer, a file path or an open binary file.

    - ``bytes``, ``bytearray``, ``memoryview`` or any object with the buffer
      protocol (``mmap``, ``array.array``, NumPy arrays): its bytes.
    - ``str`` or ``os.PathLike``: the contents of the file at that path, read
      as a stream (never whole into memory).
    - an object with ``readinto`` or ``read`` (an open binary file, a socket
      file, ``io.BytesIO``): the bytes from its current position to the end.

    ``scheme`` is :class:`CDC` (the default, 64 KiB average) or
    :class:`Fixed`. ``chunks=True`` lists the chunks in the result. The hash
    is computed with the interpreter lock released, so other threads run on.
    Raises ``OSError`` for a file that cannot be read, :class:`ShapeError`
    for a bad scheme.
    """
    kind, size = _scheme_args(scheme)
    effective: ChunkScheme = scheme if scheme is not None else DEFAULT_SCHEME
    keep = bool(chunks)
    if isinstance(source, (str, os.PathLike)):
        path = os.fsencode(source)
        if b"\0" in path:
            raise ValueError("path contains a NUL byte")
        try:
            return _result(native.shape_of_file(path, kind, size, keep), effective)
        except OSError as e:
            if e.errno is None or not isinstance(e.filename, bytes):
                raise
            # The native reader names the encoded path (b'...'); name the file as the caller wrote it.
            raise type(e)(e.errno, e.strerror, os.fspath(source)) from None
    if isinstance(source, (bytes, bytearray, memoryview)) or not _is_file_object(source):
        try:
            raw = native.shape_of_buffer(source, kind, size, keep)
        except BufferError:
            raw = native.shape_of_buffer(memoryview(cast(Any, source)).tobytes(), kind, size, keep)
        except TypeError:
            raise TypeError(
                f"data_shape() needs bytes, a buffer, a path or a binary file, not {type(source).__name__}"
            ) from None
        return _result(raw, effective)
    hasher = DataShapeHasher(scheme=scheme, chunks=keep)
    for piece in _file_pieces(source):
        hasher.update(piece)
    return hasher.shape()


def method_shape(code_hash: str, params: Optional[Mapping[str, JSONValue]] = None) -> str:
    """The method shape hash of code (by its "sha256:..." hash) and its parameters.

    ``params`` is any JSON-serialisable mapping; an empty mapping differs from none.
    """
    if params is not None and not isinstance(params, dict):
        params = dict(params)
    return method_shape_of_code(code_hash, params)


def _type_name(annotation: object) -> str:
    import inspect

    if annotation is inspect.Parameter.empty:
        return "Any"
    if annotation is None or annotation is type(None):
        return "None"
    if isinstance(annotation, str):
        return annotation
    if isinstance(annotation, type):
        module = annotation.__module__
        name = annotation.__qualname__
        return name if module == "builtins" else f"{module}.{name}"
    return repr(annotation).replace("typing.", "")


def method_shape_of(function: Callable[..., object]) -> str:
    """The method shape hash of a Python callable from its name and annotations.

    The name is the function's ``__qualname__``; each parameter's annotation
    and the return annotation become type names (``int``, ``pathlib.Path``,
    ``List[int]``); a missing annotation counts as ``Any``. String
    annotations are taken as written, so the hash does not depend on
    whether annotations are evaluated.
    """
    if not callable(function):
        raise TypeError(f"method_shape_of() needs a callable, not {type(function).__name__}")
    name = getattr(function, "__qualname__", None) or getattr(function, "__name__", None)
    if not isinstance(name, str):
        raise TypeError("the callable has no name")
    import inspect  # here, not at the top: only this needs it, and it is slow to import

    signature = inspect.signature(function)
    inputs = [_type_name(p.annotation) for p in signature.parameters.values()]
    output = _type_name(signature.return_annotation)
    return method_shape_of_signature(name, inputs, output)
