"""Recording work: a call's arguments checked and turned into a native execution receipt.

The native recorder reads the payload as JSON; what it cannot take is named
here in the caller's terms (which value, where) rather than as a position in
JSON text the caller never wrote.
"""

from __future__ import annotations

import math
from typing import Iterable, List, Mapping, Optional, Tuple

from ._core import NativeReceipt, record_work
from ._types import JSONValue
from .errors import ReceiptError


def check_str(value: object, name: str) -> None:
    """TypeError naming ``name`` unless ``value`` is a str."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")


def execution_work(
    workload: str,
    payload: Mapping[str, JSONValue],
    tags: Optional[Iterable[str]],
    trace: Optional[str],
    parent: Optional[str],
) -> NativeReceipt:
    """The native execution receipt of checked ``workload``, ``trace`` and ``parent``; payload and tags checked here."""
    if type(payload) is not dict:
        if not isinstance(payload, Mapping):
            raise TypeError(f"payload must be a mapping, not {type(payload).__name__}")
        payload = dict(payload)
    if tags is not None and type(tags) is not list:
        if isinstance(tags, str):
            raise TypeError("tags must be an iterable of str, not a single str")
        tags = list(tags)
    for tag in tags or ():
        check_str(tag, "each tag")
    try:
        try:
            return record_work(workload, payload, tags, trace, parent)
        except ReceiptError as e:
            # The native reader reports a position in JSON text the caller never wrote: name the value instead.
            _check_finite(payload, "payload")
            if "recursion limit exceeded" in str(e):
                raise ReceiptError("payload is nested too deeply to be written as JSON") from None
            raise
    except RecursionError:
        # The JSON encoder (and the walk above) guard their own stack: a payload this deep cannot be written.
        raise ReceiptError("payload is nested too deeply to be written as JSON") from None


def _check_finite(payload: object, name: str) -> None:
    """Find the first NaN or infinity in ``payload``, which JSON cannot hold, and name where it is.

    A stack, not recursion: the payload may be nested deeper than Python's recursion limit.
    """
    stack: List[Tuple[object, str]] = [(payload, name)]
    while stack:
        value, where = stack.pop()
        if isinstance(value, float) and not math.isfinite(value):
            raise ReceiptError(f"{where} is {value!r}; JSON has no NaN or infinity")
        if isinstance(value, Mapping):
            items = [(item, f"{where}[{key!r}]") for key, item in value.items()]
        elif isinstance(value, (list, tuple)):
            items = [(item, f"{where}[{index}]") for index, item in enumerate(value)]
        else:
            continue
        stack.extend(reversed(items))
