"""The parser and the types of option values the commands share: times, identifiers, schemes, sizes, stores.

A type raises ``argparse.ArgumentTypeError``, which the parser turns into
``argument --OPTION: <message>`` on one line.
"""

from __future__ import annotations

import argparse
import math
import os
import re
import sys
from datetime import datetime, timezone
from typing import NoReturn

from ..errors import one_line
from ..filters import decode_pac
from ..locations import Location, parse_location
from ..shapes import CDC, ChunkScheme, Fixed
from ._base import CliError


class UsageError(Exception):
    """A mistake the parser found: the parser's program name and the message."""

    def __init__(self, prog: str, message: str) -> None:
        super().__init__(message)
        self.prog = prog
        self.message = message


class Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line and do not exit the interpreter."""

    def error(self, message: str) -> NoReturn:
        raise UsageError(self.prog, message)

    def _get_formatter(self) -> argparse.HelpFormatter:
        # argparse asks shutil for the width, and importing shutil loads the compression modules:
        # a few milliseconds of every command's start, for help text that is rarely printed.
        return self.formatter_class(prog=self.prog, width=_terminal_width() - 2)  # type: ignore[call-arg]


def _terminal_width() -> int:
    """The terminal's columns as shutil.get_terminal_size finds them: $COLUMNS, the terminal, else 80."""
    try:
        columns = int(os.environ.get("COLUMNS", "0"))
    except ValueError:
        columns = 0
    if columns <= 0:
        stream = sys.__stdout__
        try:
            columns = os.get_terminal_size(stream.fileno()).columns if stream is not None else 0
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns if columns > 0 else 80


def nonnegative_int(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


def thread_count(text: str) -> int:
    value = nonnegative_int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


_FRACTION = re.compile(r"\.(\d+)", re.ASCII)


def time_bound(text: str) -> datetime:
    """RFC 3339 / ISO 8601 (a naive time is UTC) or epoch seconds, as an aware datetime."""
    stripped = text.strip()
    try:
        seconds = float(stripped)
    except ValueError:
        pass
    else:
        if not math.isfinite(seconds):
            raise argparse.ArgumentTypeError(f"expected a date-time or epoch seconds, got {text!r}")
        try:
            return datetime.fromtimestamp(seconds, tz=timezone.utc)
        except (OverflowError, OSError, ValueError):
            raise argparse.ArgumentTypeError(f"epoch seconds out of range: {text!r}") from None
    # fromisoformat before 3.11 takes neither "Z" nor fractions other than 3 or 6 digits,
    # and receipts carry nanoseconds: cut the fraction to microseconds first.
    iso = _FRACTION.sub(lambda m: "." + (m.group(1) + "00000")[:6], stripped, count=1)
    if iso[-1:] in ("Z", "z"):
        iso = iso[:-1] + "+00:00"
    try:
        value = datetime.fromisoformat(iso)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected an RFC 3339 date-time (e.g. 2024-05-01T12:00:00Z) or epoch seconds, got {text!r}"
        ) from None
    if value.tzinfo is None:
        value = value.replace(tzinfo=timezone.utc)
    return value


def pac(text: str) -> bytes:
    try:
        return decode_pac(text)
    except (TypeError, ValueError) as e:
        raise argparse.ArgumentTypeError(one_line(str(e))) from None


def rid(text: str) -> str:
    try:
        import uuid  # loaded by the commands that take an identifier only

        return str(uuid.UUID(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a receipt identifier (a UUID): {text!r}") from None


_SIZE_SUFFIXES = {"": 1, "k": 1 << 10, "ki": 1 << 10, "m": 1 << 20, "mi": 1 << 20, "g": 1 << 30, "gi": 1 << 30}


def scheme(text: str) -> ChunkScheme:
    """``cdc:N`` or ``fixed:N``; N in bytes, optionally with a K, M or G suffix (powers of 1024)."""
    kind, sep, size_text = text.partition(":")
    kind = kind.strip().lower()
    if not sep or kind not in ("cdc", "fixed"):
        raise argparse.ArgumentTypeError(f"expected cdc:N or fixed:N, got {text!r}")
    digits = size_text.strip().lower().rstrip("b")
    end = len(digits)
    while end and not digits[end - 1].isdigit():
        end -= 1
    number, suffix = digits[:end], digits[end:]
    if not number.isdigit() or suffix not in _SIZE_SUFFIXES:
        raise argparse.ArgumentTypeError(f"expected a size in bytes after {kind}:, got {size_text!r}")
    size = int(number) * _SIZE_SUFFIXES[suffix]
    if not 0 < size < 2**64:
        raise argparse.ArgumentTypeError(f"chunk size must be between 1 and 2**64 - 1, got {size}")
    return CDC(size) if kind == "cdc" else Fixed(size)


def scheme_text(value: ChunkScheme) -> str:
    """The text :func:`scheme` reads back as ``value`` (the scheme's own ``str``)."""
    return str(value)


def overlap(text: str) -> float:
    """A number; whether it is a valid overlap is the reuse rule's to say, in the words Python callers get."""
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number between 0 and 1, got {text!r}") from None


def whole_number(text: str) -> int:
    """A whole number of any sign and size; its range is checked by whoever takes it."""
    try:
        return int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None


def store_location(text: str, option: str) -> Location:
    """The store a location text names; ``option`` names the option or argument in the error message."""
    try:
        return parse_location(text)
    except ValueError as e:
        raise CliError(f"argument {option}: {one_line(str(e))}") from None


def existing_store(text: str, option: str = "--store") -> Location:
    """A store that must already exist: reading never creates one."""
    location = store_location(text, option)
    if location.kind == "directory" and not os.path.isdir(location.target):
        what = "not a directory" if os.path.exists(location.target) else "no such directory"
        raise CliError(f"argument {option}: {what}: {location.target}")
    return location
