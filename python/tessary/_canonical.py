"""The two primitives every step commitment is made of, written so that anyone can redo them.

``jcs`` is the canonical JSON text the native engine commits to (members in
code-point order, no whitespace, floats in their shortest form laid out as the
engine lays them out); ``sha256_prefixed`` is "sha256:" and the hex digest.
``merkle_root`` is the data shape's tree over chunk digests, so a root over
several files' chunks is comparable with one file's data shape.
"""

from __future__ import annotations

import json
import math
from typing import Iterable, List

from ._sha import sha256
from ._types import JSONValue

__all__ = ["jcs", "sha256_prefixed", "commit", "merkle_root", "EMPTY_ROOT"]

#: The root of no chunks: SHA-256 of the single byte 0x00.
EMPTY_ROOT = sha256(b"\x00").digest()


def sha256_prefixed(data: bytes) -> str:
    return "sha256:" + sha256(data).hexdigest()


def _float_text(value: float) -> str:
    if not math.isfinite(value):
        raise ValueError(f"{value!r} has no JSON form")
    if value == 0.0:
        return "-0.0" if math.copysign(1.0, value) < 0 else "0.0"
    sign = "-" if value < 0 else ""
    # repr gives the shortest digits that read back; only their layout differs from the engine's.
    written, _, power = repr(abs(value)).partition("e")
    whole, _, fraction = written.partition(".")
    digit_text = (whole + fraction).lstrip("0")  # the significant digits, as Decimal's digit tuple holds them
    exponent = int(power or "0") - len(fraction)
    digits = digit_text.rstrip("0")
    k = exponent + (len(digit_text) - len(digits))
    m = len(digits) + k
    if k >= 0 and m <= 16:
        return sign + digits + "0" * k + ".0"
    if 0 < m <= 16:
        return sign + digits[:m] + "." + digits[m:]
    if -5 < m <= 0:
        return sign + "0." + "0" * -m + digits
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{m - 1}"


def _write(value: object, out: List[str]) -> None:
    if value is None or isinstance(value, (bool, str)):
        out.append(json.dumps(value, ensure_ascii=False))
    elif isinstance(value, int):
        out.append(str(value) if -(2**63) <= value < 2**64 else _float_text(float(value)))
    elif isinstance(value, float):
        out.append(_float_text(value))
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for index, item in enumerate(value):
            if index:
                out.append(",")
            _write(item, out)
        out.append("]")
    elif isinstance(value, dict):
        if not all(isinstance(key, str) for key in value):
            raise TypeError("JSON object keys must be str")
        out.append("{")
        for index, key in enumerate(sorted(value)):
            if index:
                out.append(",")
            out.append(json.dumps(key, ensure_ascii=False))
            out.append(":")
            _write(value[key], out)
        out.append("}")
    else:
        raise TypeError(f"{type(value).__name__} is not a JSON value")


def jcs(value: JSONValue) -> bytes:
    """The canonical JSON text of ``value`` as UTF-8 bytes.

    Raises TypeError for what JSON cannot hold and ValueError for NaN,
    infinity or text that is not valid Unicode (a lone surrogate).
    """
    out: List[str] = []
    _write(value, out)
    try:
        return "".join(out).encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("text that is not valid Unicode has no canonical JSON form") from None


def commit(value: JSONValue) -> str:
    """``sha256_prefixed(jcs(value))``: the commitment to a JSON value."""
    return sha256_prefixed(jcs(value))


def merkle_root(digests: Iterable[bytes]) -> bytes:
    """The tree root over chunk digests: leaves SHA-256(0x00 ‖ d), nodes SHA-256(0x01 ‖ l ‖ r), an odd last node carried up."""
    level = [sha256(b"\x00" + d).digest() for d in digests]
    if not level:
        return EMPTY_ROOT
    while len(level) > 1:
        paired = [sha256(b"\x01" + level[i] + level[i + 1]).digest() for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            paired.append(level[-1])
        level = paired
    return level[0]
