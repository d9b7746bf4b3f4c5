"""Reading what the user hands a command: text files, standard input, JSON, and receipts.

:func:`entries` is the one reader of receipts every command uses, whether
they come from a file, a directory or standard input; the bytes come
through :mod:`tessary.inputs`, which bounds and checks every outside file.
A file that holds no receipt is not an error here: each command decides.
"""

from __future__ import annotations

import os
import sys
from typing import IO, Any, Iterator, List, NamedTuple, Optional, Tuple, Union

from ..errors import InputError, TessaryError, one_line
from ..inputs import RECEIPT_LIMIT, STDIN, display_name, load_json, open_file, read_lines, read_text
from ..receipts import Receipt
from ._base import CliError

__all__ = ["STDIN", "Found", "Entry", "label", "read_text", "load_json", "json_type", "receipt_files", "entries",
           "receipts", "no_receipts"]

# A receipt and where it was read: a file, ``file:line``, or ``<stdin>``.
Found = Tuple[str, Receipt]


class Entry(NamedTuple):
    """One receipt read, or why what stood in its place is not one."""

    file: str  # the file (or ``<stdin>``) it was in, for messages
    where: str  # the file, or ``file:line`` for a line of a longer listing
    item: Union[Receipt, InputError]


def label(source: str) -> str:
    """How a source is named in messages."""
    return display_name(source)


def json_type(value: Any) -> str:
    """The JSON type of a parsed value, with its article, for messages."""
    if isinstance(value, bool):
        return "a boolean"
    if value is None:
        return "null"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def _receipt_from_text(text: str, where: str, strict: bool) -> Union[Receipt, InputError]:
    """The receipt the text holds, read from the text exactly as given (never re-encoded), or why it is not one."""
    try:
        return Receipt.from_json(text, strict=strict)
    except TessaryError as e:
        problem = one_line(str(e))
    if strict:
        try:
            Receipt.from_json(text, strict=False)
        except TessaryError:
            pass
        else:
            return InputError(where, f"{problem} (a lenient reading takes it)")
    try:
        value = load_json(text, where)
    except InputError as e:
        return e
    if not isinstance(value, dict):
        return InputError(where, f"not a receipt (expected a JSON object, got {json_type(value)})")
    return InputError(where, f"not a receipt: {problem}")


Lines = Iterator[Tuple[int, str]]


def _document(number: int, first: str, lines: Lines, name: str, strict: bool) -> Union[Receipt, InputError]:
    """The rest of the text read as one document (an indented receipt), held to a receipt's bound."""
    parts = ["\n" * (number - 1), first]
    for end, line in lines:
        if end > RECEIPT_LIMIT:
            return InputError(name, f"larger than {RECEIPT_LIMIT >> 20} MiB, the most a receipt may be")
        parts.append(line)
    return _receipt_from_text("".join(parts), name, strict)


def _entries_in(lines: Lines, name: str, strict: bool) -> Iterator[Tuple[str, Union[Receipt, InputError]]]:
    """The receipts in one receipt's JSON (compact or indented) or in JSON lines, with where each was.

    JSON lines are read a line at a time, so a long listing piped in is
    verified in bounded memory. A receipt alone on its line in a file is
    named by the file; receipts of a longer listing by ``file:line``.
    """
    number = 0
    first: Optional[str] = None
    for _, line in lines:
        number += 1
        if line.strip():
            first = line
            break
    if first is None:
        return
    early: Optional[Receipt] = None
    try:
        early = Receipt.from_json(first, strict=strict)
    except TessaryError:
        try:
            load_json(first, name)
        except InputError:
            # Not a JSON value on its own line: the whole text is one document, an indented receipt.
            yield name, _document(number, first, lines, name, strict)
            return
    pending_number, pending, alone = number, first, True
    for _, line in lines:
        number += 1
        if not line.strip():
            continue
        where = f"{name}:{pending_number}"
        yield where, early if early is not None else _receipt_from_text(pending, where, strict)
        early = None
        pending_number, pending, alone = number, line, False
    where = name if alone else f"{name}:{pending_number}"
    yield where, early if early is not None else _receipt_from_text(pending, where, strict)


def receipt_files(directory: str) -> List[str]:
    """The ``*.json`` files of a store (``DIR/receipts``) or of a plain folder, in name order."""
    inner = os.path.join(directory, "receipts")
    folder = inner if os.path.isdir(inner) else directory
    try:
        names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    except OSError as e:
        raise CliError(f"{display_name(folder)}: {e.strerror or e}") from None
    return [os.path.join(folder, n) for n in names]


def _stdin() -> IO[bytes]:
    buffer = getattr(sys.stdin, "buffer", None)
    if buffer is None:
        raise InputError("<stdin>", "standard input is closed")
    return buffer  # type: ignore[no-any-return]


def _entries_of_file(source: str, strict: bool) -> Iterator[Entry]:
    name = label(source)
    try:
        # The bound is per receipt (one line of a listing, or one document), not per file.
        stream = _stdin() if source == STDIN else open_file(source, kind="receipt", limit=sys.maxsize)
    except InputError as e:
        yield Entry(name, name, e)
        return
    try:
        for where, item in _entries_in(read_lines(stream, name, kind="receipt"), name, strict):
            yield Entry(name, where, item)
    except InputError as e:
        # A line too long or not UTF-8: what follows it in this file cannot be trusted to be read right.
        yield Entry(name, e.where, e)
    finally:
        if source != STDIN:
            stream.close()


def entries(source: str, *, strict: bool = True) -> Iterator[Entry]:
    """Each receipt of a file, a directory's ``*.json`` files or standard input (``-``), or why one is not.

    Strict unless told otherwise: a receipt's text with anything beside what
    its hash seals is not taken (see :meth:`Receipt.from_json`).

    Nothing in a file stops the files after it from being read; a directory
    that cannot be listed is the caller's mistake (:class:`CliError`).
    """
    if source != STDIN and os.path.isdir(source):
        for path in receipt_files(source):
            yield from _entries_of_file(path, strict)
    else:
        yield from _entries_of_file(source, strict)


def no_receipts(sources: List[str]) -> str:
    """The message for sources that hold no receipt at all."""
    return f"no receipts in {', '.join(label(s) for s in sources)}"


def receipts(source: str, *, strict: bool = True) -> Iterator[Found]:
    """Each receipt of ``source`` as :func:`entries` reads them; the first that is not one stops the command."""
    for entry in entries(source, strict=strict):
        if isinstance(entry.item, InputError):
            raise entry.item
        yield entry.where, entry.item
