"""Reading what comes from outside: files named by the user and standard input.

Every key, receipt, payload, cost model and envelope the command line takes
in is read here, so the same guarantees hold for all of them:

* only a regular file (or a link to one) is read; a FIFO, device, socket or
  directory is refused by name before a byte is read, and opening never
  waits on a FIFO with no writer;
* each kind of input has a size bound (:data:`LIMITS`), and a file that
  grows past it while being read is refused too, so ``/dev/zero`` or a
  large file given by mistake costs at most the bound;
* reading goes in pieces, so Ctrl-C is serviced between them;
* JSON is parsed with repeated member names, ``NaN`` and ``Infinity``
  refused and deep nesting reported rather than raised;
* every failure is an :class:`~tessary.errors.InputError` whose message is
  one line that starts with the file's name.
"""

from __future__ import annotations

import errno
import json
import os
import stat
import sys
from typing import IO, Any, Dict, Iterator, List, Optional, Tuple

from .errors import InputError

__all__ = [
    "STDIN", "RECEIPT_LIMIT", "KEY_LIMIT", "PAYLOAD_LIMIT", "COST_MODEL_LIMIT", "ENVELOPE_LIMIT",
    "SHAPE_FILE_LIMIT", "LIMITS", "display_name", "open_file", "read_file", "read_stdin", "read_text",
    "read_stream", "decode_text", "read_lines", "load_json",
]

STDIN = "-"

KIB = 1 << 10
MIB = 1 << 20

# The most a store keeps as one receipt; a receipt file (or one line of JSON lines) is held to the same.
RECEIPT_LIMIT = 64 * MIB
# A PEM Ed25519 key is a few hundred bytes; anything near this is not a key.
KEY_LIMIT = 64 * KIB
PAYLOAD_LIMIT = 64 * MIB
# Three costs and their parameters: a megabyte is already far more than any model needs.
COST_MODEL_LIMIT = 1 * MIB
# An envelope carries a receipt in base64 (4/3 of its size) and a statement around it.
ENVELOPE_LIMIT = 96 * MIB
# About 110 bytes a chunk: a listing this long describes terabytes; a larger file is data, not a listing.
SHAPE_FILE_LIMIT = 512 * MIB

LIMITS: Dict[str, int] = {
    "receipt": RECEIPT_LIMIT,
    "key": KEY_LIMIT,
    "payload": PAYLOAD_LIMIT,
    "cost model": COST_MODEL_LIMIT,
    "envelope": ENVELOPE_LIMIT,
    "shape file": SHAPE_FILE_LIMIT,
}

# Small enough that Ctrl-C is never far off, large enough that the reads cost nothing.
_PIECE = 1 * MIB

# Non-blocking so that opening a FIFO returns at once (it is refused after fstat);
# no controlling terminal may be acquired by opening a tty.
_OPEN_FLAGS = (os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
               | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))


def display_name(path: "os.PathLike[str] | str | bytes") -> str:
    """``path`` as printable text: bytes that are not UTF-8 are shown as ``\\xNN`` escapes.

    Command-line arguments that are not UTF-8 arrive as surrogate-escaped
    text, which a UTF-8 stream refuses to print.
    """
    text = os.fsdecode(path)
    if text == STDIN:
        return "<stdin>"
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    except UnicodeEncodeError:
        return ascii(text)[1:-1]


def _size_text(size: int) -> str:
    for unit, scale in (("MiB", MIB), ("KiB", KIB)):
        if size >= scale and size % scale == 0:
            return f"{size // scale} {unit}"
    return f"{size} bytes"


def _bound(kind: str, limit: Optional[int]) -> int:
    if limit is not None:
        return limit
    try:
        return LIMITS[kind]
    except KeyError:
        raise ValueError(f"no size bound for inputs of kind {kind!r}; pass limit=") from None


def _too_large(kind: str, bound: int) -> str:
    return f"larger than {_size_text(bound)}, the most a {kind} may be"


def _file_type(mode: int) -> str:
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a device"),
                       (stat.S_ISBLK, "a device"), (stat.S_ISSOCK, "a socket")):
        if test(mode):
            return name
    return "a special file"


def _os_reason(error: OSError) -> str:
    if isinstance(error, IsADirectoryError):
        return "is a directory, expected a file"
    return error.strerror or str(error)


def _open_failure(path: "os.PathLike[str] | str", error: OSError) -> str:
    """Why ``path`` could not be opened; a socket (which cannot be opened at all) is named as one."""
    if error.errno == errno.ENXIO:
        try:
            mode = os.stat(path).st_mode
        except OSError:
            return _os_reason(error)
        if not stat.S_ISREG(mode):
            return f"not a regular file ({_file_type(mode)})"
    return _os_reason(error)


def open_file(path: "os.PathLike[str] | str", *, kind: str, limit: Optional[int] = None) -> IO[bytes]:
    """``path`` opened for reading in binary, once it is known to be a regular file within the bound.

    ``kind`` names the input in messages and picks its bound from
    :data:`LIMITS` unless ``limit`` is given. The caller closes the file.
    """
    where = display_name(path)
    bound = _bound(kind, limit)
    try:
        fd = os.open(path, _OPEN_FLAGS)
    except OSError as e:
        raise InputError(where, _open_failure(path, e)) from None
    try:
        info = os.fstat(fd)
        if stat.S_ISDIR(info.st_mode):
            raise InputError(where, "is a directory, expected a file")
        if not stat.S_ISREG(info.st_mode):
            raise InputError(where, f"not a regular file ({_file_type(info.st_mode)})")
        if info.st_size > bound:
            raise InputError(where, _too_large(kind, bound))
        if getattr(os, "O_NONBLOCK", 0):
            os.set_blocking(fd, True)
        return os.fdopen(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


def read_stream(stream: IO[bytes], where: str, *, kind: str, limit: Optional[int] = None) -> bytes:
    """The rest of an open binary stream, at most the bound of ``kind`` (or ``limit``); ``where`` names it."""
    try:
        return _read_bounded(stream, where, kind, _bound(kind, limit))
    except OSError as e:
        raise InputError(where, _os_reason(e)) from None


def _read_bounded(stream: IO[bytes], where: str, kind: str, bound: int) -> bytes:
    pieces: List[bytes] = []
    total = 0
    while True:
        piece = stream.read(min(_PIECE, bound + 1 - total))
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)
        total += len(piece)
        if total > bound:
            raise InputError(where, _too_large(kind, bound))


def read_file(path: "os.PathLike[str] | str", *, kind: str, limit: Optional[int] = None) -> bytes:
    """The bytes of a regular file, at most the bound of ``kind`` (or ``limit``)."""
    where = display_name(path)
    with open_file(path, kind=kind, limit=limit) as f:
        return read_stream(f, where, kind=kind, limit=limit)


def _stdin_bytes() -> IO[bytes]:
    stream = sys.stdin
    buffer = getattr(stream, "buffer", None)
    if buffer is None:
        raise InputError("<stdin>", "standard input is closed" if stream is None else "not a binary stream")
    return buffer  # type: ignore[no-any-return]


def read_stdin(*, kind: str, limit: Optional[int] = None, stream: Optional[IO[bytes]] = None) -> bytes:
    """The bytes of standard input (or of ``stream``), at most the bound of ``kind`` (or ``limit``)."""
    return read_stream(stream if stream is not None else _stdin_bytes(), "<stdin>", kind=kind, limit=limit)


def decode_text(data: bytes, where: str, offset: int = 0) -> str:
    """``data`` as UTF-8 text; otherwise an :class:`InputError` naming the byte (``offset`` is where data began)."""
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise InputError(where, f"not UTF-8 text (byte {offset + e.start})") from None


def read_text(source: "os.PathLike[str] | str", *, kind: str, limit: Optional[int] = None) -> str:
    """The UTF-8 text of a file, or of standard input for ``-``, within the bound of ``kind``."""
    if os.fspath(source) == STDIN:
        return decode_text(read_stdin(kind=kind, limit=limit), "<stdin>")
    return decode_text(read_file(source, kind=kind, limit=limit), display_name(source))


def read_lines(stream: IO[bytes], where: str, *, kind: str, limit: Optional[int] = None) -> Iterator[Tuple[int, str]]:
    """The lines of ``stream`` as text, each with the count of bytes read once it was (its end offset).

    Each line is held to the bound, not the whole stream, so a long listing
    is read in bounded memory.
    """
    bound = _bound(kind, limit)
    offset = 0
    while True:
        raw = _line(stream, where, kind, bound)
        if not raw:
            return
        text = decode_text(raw, where, offset)
        offset += len(raw)
        yield offset, text


def _line(stream: IO[bytes], where: str, kind: str, bound: int) -> bytes:
    """The next line, read in pieces: one past the bound is dropped as soon as it is, not held whole."""
    pieces: List[bytes] = []
    size = 0
    try:
        while True:
            piece = stream.readline(min(_PIECE, bound + 1 - size))
            if not piece:
                break
            pieces.append(piece)
            size += len(piece)
            if size > bound:
                raise InputError(where, f"a line {_too_large(kind, bound)}")
            if piece.endswith(b"\n"):
                break
    except OSError as e:
        raise InputError(where, _os_reason(e)) from None
    return b"".join(pieces)


class _Refused(ValueError):
    """Valid JSON syntax that a receipt's reader must not accept."""


def _members(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    # Two readers that keep different copies of a repeated member would see different documents.
    value = dict(pairs)
    if len(value) != len(pairs):
        seen = set()
        for name, _ in pairs:
            if name in seen:
                raise _Refused(f"repeated member {name!r}")
            seen.add(name)
    return value


def _constant(name: str) -> Any:
    raise _Refused(f"{name} is not a JSON number")


def load_json(text: str, where: str) -> Any:
    """The JSON value of ``text``: standard JSON only, no repeated member names, nesting within bounds.

    Failures are an :class:`InputError` ``"<where>: not JSON: <reason>"``,
    the place given for a syntax error.
    """
    try:
        return json.loads(text, object_pairs_hook=_members, parse_constant=_constant)
    except json.JSONDecodeError as e:
        reason = f"{e.msg} (line {e.lineno}, column {e.colno})"
    except RecursionError:
        # The decoder guards its own stack and unwinds cleanly: nothing is left half done.
        reason = "nested too deeply"
    except ValueError as e:
        reason = str(e)
    raise InputError(where, f"not JSON: {reason}")
