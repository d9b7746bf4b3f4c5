"""What a step cost: measured CPU, memory and energy, and the price table that turns them into money.

All figures are measured use, not an allocation as clouds bill: CPU seconds
actually spent, the peak resident memory actually touched times the wall
time, and energy only where the machine's RAPL counters can be read.
"""

from __future__ import annotations

import math
import os
import re
import resource
import time
from typing import Dict, List, Mapping, NamedTuple, Optional, Union

from ._types import JSONValue
from .errors import InputError
from .inputs import display_name, load_json, read_text

__all__ = ["RESOURCES", "Usage", "Prices", "ZERO_PRICES", "load_prices", "meter_of", "total_value", "InProcessMeter",
           "rapl_microjoules"]

#: The resource vector's components, in the order the validation rule sums them.
RESOURCES = ("vcpu_sec", "gpu_sec", "gb_sec", "requests", "energy_kwh")
_GIB = float(1 << 30)
_JOULES_PER_KWH = 3.6e6
_CURRENCY = re.compile(r"[A-Z]{3}\Z")
_PRICE_LIMIT = 1 << 20


class Usage(NamedTuple):
    """Measured use of one step: CPU seconds (user, system), peak resident bytes, wall seconds, energy in kWh."""

    user_sec: float
    system_sec: float
    peak_rss_bytes: int
    wall_sec: float
    energy_kwh: Optional[float] = None


class Prices(NamedTuple):
    """A price table: the currency (ISO 4217 letters) and a price per unit of each resource."""

    currency: str
    unit_prices: Mapping[str, float]


#: The default table: every price zero, in "XXX", ISO 4217's code for "no currency".
ZERO_PRICES = Prices("XXX", {name: 0.0 for name in RESOURCES})


def _price_table(value: JSONValue, where: str) -> Prices:
    if not isinstance(value, dict):
        raise InputError(where, "a price table is a JSON object with currency and unit_prices")
    unknown = set(value) - {"currency", "unit_prices"}
    if unknown:
        raise InputError(where, f"unknown member {sorted(unknown)[0]!r} (expected currency, unit_prices)")
    currency = value.get("currency", "XXX")
    if not isinstance(currency, str) or not _CURRENCY.match(currency):
        raise InputError(where, f"currency must be three upper-case letters (ISO 4217), got {currency!r}")
    given = value.get("unit_prices", {})
    if not isinstance(given, dict):
        raise InputError(where, "unit_prices must be an object of resource names to prices")
    prices: Dict[str, float] = {name: 0.0 for name in RESOURCES}
    for name, price in given.items():
        if name not in prices:
            raise InputError(where, f"unknown resource {name!r} (expected one of {', '.join(RESOURCES)})")
        if isinstance(price, bool) or not isinstance(price, (int, float)) or not math.isfinite(price) or price < 0:
            raise InputError(where, f"the price of {name} must be a finite number >= 0, got {price!r}")
        prices[name] = float(price)
    return Prices(currency, prices)


def load_prices(source: Union[None, Prices, Mapping[str, JSONValue], str, "os.PathLike[str]"]) -> Prices:
    """A price table from a mapping, a JSON file's path, or the zero table for None."""
    if source is None:
        return ZERO_PRICES
    if isinstance(source, Prices):
        return _price_table({"currency": source.currency, "unit_prices": dict(source.unit_prices)}, "prices")
    if isinstance(source, Mapping):
        return _price_table(dict(source), "prices")
    where = display_name(source)
    return _price_table(load_json(read_text(source, kind="price table", limit=_PRICE_LIMIT), where), where)


def meter_of(usage: Usage) -> Dict[str, Optional[float]]:
    """The measured resource vector: vcpu_sec, gb_sec, requests 1, energy when measured; no GPU is measured."""
    return {
        "vcpu_sec": usage.user_sec + usage.system_sec,
        "gpu_sec": None,
        "gb_sec": usage.peak_rss_bytes / _GIB * usage.wall_sec,
        "requests": 1.0,
        "energy_kwh": usage.energy_kwh,
    }


def total_value(meter: Mapping[str, Optional[float]], prices: Prices) -> float:
    """Meter times price summed in the validation rule's order, over components present on both sides."""
    total = 0.0
    for name in RESOURCES:
        quantity, price = meter.get(name), prices.unit_prices.get(name)
        if quantity is not None and price is not None:
            total += quantity * price
    return total


def _read_int(path: str) -> Optional[int]:
    try:
        with open(path, "rb") as f:
            return int(f.read(64).strip())
    except (OSError, ValueError):
        return None


_POWERCAP = "/sys/class/powercap"
_PACKAGE_ZONE = re.compile(r"intel-rapl:[0-9]+")


def _rapl_zones() -> List[str]:
    """The package zones (intel-rapl:N, not their subzones), sorted."""
    try:
        names = os.listdir(_POWERCAP)
    except OSError:
        return []
    return sorted(os.path.join(_POWERCAP, n) for n in names if _PACKAGE_ZONE.fullmatch(n))


def rapl_microjoules() -> Optional[List[int]]:
    """The package energy counters of Intel RAPL, when every one is readable; None otherwise."""
    zones = _rapl_zones()
    if not zones:
        return None
    values = [_read_int(os.path.join(z, "energy_uj")) for z in zones]
    if any(v is None for v in values):
        return None
    return [v for v in values if v is not None]


def energy_kwh(before: Optional[List[int]], after: Optional[List[int]]) -> Optional[float]:
    """Energy between two counter readings; a counter that wrapped is taken to have wrapped once."""
    if before is None or after is None or len(before) != len(after):
        return None
    zones = _rapl_zones()
    total = 0
    for index, (start, end) in enumerate(zip(before, after)):
        if end < start:
            span = _read_int(os.path.join(zones[index], "max_energy_range_uj")) if index < len(zones) else None
            if span is None:
                return None
            end += span
        total += end - start
    return total / 1e6 / _JOULES_PER_KWH


_WHO = getattr(resource, "RUSAGE_THREAD", resource.RUSAGE_SELF)


class InProcessMeter:
    """CPU of the calling thread (RUSAGE_THREAD where the system has it), wall time and energy between start and stop.

    Peak memory is the process's peak so far: the system keeps no per-thread
    peak, so for in-process work it is an upper bound.
    """

    def __init__(self) -> None:
        self._usage = resource.getrusage(_WHO)
        self._clock = time.monotonic()
        self._energy = rapl_microjoules()

    def stop(self) -> Usage:
        usage = resource.getrusage(_WHO)
        wall = time.monotonic() - self._clock
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        return Usage(usage.ru_utime - self._usage.ru_utime, usage.ru_stime - self._usage.ru_stime, peak, wall,
                     energy_kwh(self._energy, rapl_microjoules()))


def usage_of_child(rusage: "resource.struct_rusage", wall: float, before: Optional[List[int]]) -> Usage:
    """The use of a waited-for child and all the descendants it waited for, from os.wait4's figures."""
    return Usage(rusage.ru_utime, rusage.ru_stime, rusage.ru_maxrss * 1024, wall,
                 energy_kwh(before, rapl_microjoules()))

