"""Receipt timestamps (RFC 3339 text) and time bounds as whole UTC seconds."""

from __future__ import annotations

import math
import re
from datetime import datetime, timedelta, timezone
from typing import Optional, Union

TimeBound = Union[datetime, int, float]

_RFC3339 = re.compile(
    r"(\d{4})-(\d{2})-(\d{2})[Tt ](\d{2}):(\d{2}):(\d{2})(\.\d+)?([Zz]|[+-]\d{2}:\d{2})\Z", re.ASCII
)


def parse_timestamp(text: str) -> Optional[datetime]:
    """The aware datetime of an RFC 3339 date-time, or None when it is not one.

    Fractions finer than a microsecond are cut off (datetime holds no more).
    """
    m = _RFC3339.match(text)
    if m is None:
        return None
    year, month, day, hour, minute, second = (int(g) for g in m.groups()[:6])
    fraction, offset = m.group(7), m.group(8)
    micro = int((fraction[1:] + "000000")[:6]) if fraction else 0
    if offset in ("Z", "z"):
        tz = timezone.utc
    else:
        sign = -1 if offset[0] == "-" else 1
        hours, minutes = int(offset[1:3]), int(offset[4:6])
        if hours > 23 or minutes > 59:
            return None
        tz = timezone(sign * timedelta(hours=hours, minutes=minutes))
    try:
        # A leap second (:60) is the last second of its minute, as a store's time filter reads it.
        leap = second == 60
        value = datetime(year, month, day, hour, minute, 59 if leap else second, micro, tzinfo=tz)
    except ValueError:
        return None
    return value


def bound_seconds(value: Optional[TimeBound], name: str, *, upper: bool) -> Optional[int]:
    """A start or end bound as whole UTC epoch seconds, both bounds inclusive.

    A naive datetime is taken as UTC. A fractional start rounds up and a
    fractional end rounds down, so that only whole seconds inside the bounds match.
    """
    if value is None:
        return None
    if isinstance(value, datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=timezone.utc)
        seconds: float = value.timestamp()
    elif isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a datetime or epoch seconds, not {type(value).__name__}")
    else:
        seconds = value
    if isinstance(seconds, float):
        if not math.isfinite(seconds):
            raise ValueError(f"{name} must be a finite number of seconds, got {seconds!r}")
        whole = math.floor(seconds) if upper else math.ceil(seconds)
    else:
        whole = seconds
    if not -(2**63) <= whole < 2**63:
        raise ValueError(f"{name} is out of range: {value!r}")
    return int(whole)
