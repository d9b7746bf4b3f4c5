"""Reading what the user hands a command: text files, standard input, JSON, and receipts.

:func:`receipts` is the one reader of receipts every command uses, whether
they come from a file, a directory or standard input; limits on what it
accepts belong there and nowhere else.
"""

from __future__ import annotations

import json
import os
import sys
from typing import Any, Iterator, List, Optional, Tuple

from ..errors import TessaryError, one_line
from ..receipts import Receipt
from . import CliError
from ._output import describe_os_error

STDIN = "-"

# A receipt and where it was read: a file, ``file:line``, or ``<stdin>``.
Found = Tuple[str, Receipt]


def label(source: str) -> str:
    """How a source is named in messages."""
    return "<stdin>" if source == STDIN else source


def read_text(source: str) -> str:
    """The text of a file, or of standard input for ``-``."""
    try:
        if source == STDIN:
            return sys.stdin.read()
        with open(source, encoding="utf-8") as f:
            return f.read()
    except UnicodeDecodeError:
        raise CliError(f"{label(source)}: not UTF-8 text") from None
    except OSError as e:
        raise CliError(describe_os_error(e, label(source))) from None


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def loads(text: str) -> Any:
    """JSON as the standard allows it: NaN and Infinity are refused (ValueError)."""
    return json.loads(text, parse_constant=_reject_constant)


def json_problem(error: ValueError) -> str:
    """What is wrong with text that :func:`loads` refused, with the place for a syntax error."""
    if isinstance(error, json.JSONDecodeError):
        return f"{error.msg} (line {error.lineno}, column {error.colno})"
    return str(error)


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


def _receipt_from_text(text: str, where: str) -> Receipt:
    """The receipt the text holds, read from the text exactly as given (never re-encoded)."""
    try:
        return Receipt.from_json(text)
    except TessaryError as e:
        problem = one_line(str(e))
    try:
        value = loads(text)
    except ValueError as e:
        raise CliError(f"{where}: not JSON: {json_problem(e)}") from None
    if not isinstance(value, dict):
        raise CliError(f"{where}: not a receipt (expected a JSON object, got {json_type(value)})")
    raise CliError(f"{where}: not a receipt: {problem}")


def _receipts_in(lines: Iterator[str], source: str) -> Iterator[Found]:
    """The receipts in one receipt's JSON (compact or indented) or in JSON lines, with where each was.

    JSON lines are read a line at a time, so a long listing piped in is
    verified in bounded memory. A receipt alone on its line in a file is
    named by the file; receipts of a longer listing by ``file:line``.
    """
    name = label(source)
    number = 0
    first: Optional[str] = None
    for line in lines:
        number += 1
        if line.strip():
            first = line
            break
    if first is None:
        return
    early: Optional[Receipt] = None
    try:
        early = Receipt.from_json(first)
    except TessaryError:
        try:
            loads(first)
        except ValueError:
            # Not a JSON value on its own line: the whole text is one document, an indented receipt.
            text = "\n" * (number - 1) + first + "".join(lines)
            yield name, _receipt_from_text(text, name)
            return
    pending_number, pending, alone = number, first, True
    for line in lines:
        number += 1
        if not line.strip():
            continue
        where = f"{name}:{pending_number}"
        yield where, early if early is not None else _receipt_from_text(pending, where)
        early = None
        pending_number, pending, alone = number, line, False
    where = name if alone else f"{name}:{pending_number}"
    yield where, early if early is not None else _receipt_from_text(pending, where)


def receipt_files(directory: str) -> List[str]:
    """The ``*.json`` files of a store (``DIR/receipts``) or of a plain folder, in name order."""
    inner = os.path.join(directory, "receipts")
    folder = inner if os.path.isdir(inner) else directory
    try:
        names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    except OSError as e:
        raise CliError(describe_os_error(e, folder)) from None
    return [os.path.join(folder, n) for n in names]


def _receipts_of_file(source: str) -> Iterator[Found]:
    try:
        if source == STDIN:
            yield from _receipts_in(iter(sys.stdin), source)
        else:
            with open(source, encoding="utf-8") as f:
                yield from _receipts_in(iter(f), source)
    except UnicodeDecodeError:
        raise CliError(f"{label(source)}: not UTF-8 text") from None
    except OSError as e:
        raise CliError(describe_os_error(e, label(source))) from None


def receipts(source: str) -> Iterator[Found]:
    """Each receipt of a file, a directory's ``*.json`` files or standard input (``-``), with where it was."""
    if source != STDIN and os.path.isdir(source):
        for path in receipt_files(source):
            yield from _receipts_of_file(path)
    else:
        yield from _receipts_of_file(source)
