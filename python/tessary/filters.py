"""Store filters: one checked, immutable value that every store reads alike.

A :class:`Filters` holds the criteria a store query may combine (all with
"and"): ``workload`` (an execution receipt's method identifier), ``trace``,
``policy`` (``ctx.policy_ref``), ``change_epoch``, ``pac``, ``start`` and
``end`` (inclusive, whole UTC seconds) and ``limit``. Every value is checked
and normalised when the filters are made, so a mistake is reported where it
was written, not by whichever store happens to read it.

Stores take a ``Filters`` as their first argument, the same criteria as
keywords, or both (the keywords then replace the value's fields):

    >>> import tessary
    >>> recent = tessary.Filters(workload="train", start=1_700_000_000)
    >>> recent.replace(limit=10)
    Filters(workload='train', start=1700000000, limit=10)
"""

from __future__ import annotations

import base64
import binascii
import re
from typing import TYPE_CHECKING, Any, Dict, Mapping, Optional, Tuple, Union

from ._time import TimeBound, bound_seconds

if TYPE_CHECKING:
    from typing import TypedDict

__all__ = ["Filters", "Criteria", "Pac", "FILTER_NAMES", "decode_pac"]

#: A ``pac`` filter: the 32 raw bytes, or their unpadded base64url text as receipts' JSON holds it.
Pac = Union[bytes, str]

#: The criteria's names, in the order the native store takes them.
FILTER_NAMES = ("workload", "trace", "policy", "change_epoch", "pac", "start", "end", "limit")

#: The normalised fields in :data:`FILTER_NAMES` order, as :meth:`Filters.as_tuple` gives them.
FilterTuple = Tuple[
    Optional[str], Optional[str], Optional[str], Optional[str], Optional[bytes], Optional[int], Optional[int], Optional[int]
]

_TEXT_FILTERS = ("workload", "trace", "policy", "change_epoch")
_LIMIT_MAX = 2**63 - 1
_BASE64URL = re.compile(r"[A-Za-z0-9_-]*={0,2}")

if TYPE_CHECKING:

    class Criteria(TypedDict, total=False):
        """The filters as keyword arguments of a store's ``query``, ``iter`` and ``count``."""

        workload: Optional[str]
        trace: Optional[str]
        policy: Optional[str]
        change_epoch: Optional[str]
        pac: Optional[Pac]
        start: Optional[TimeBound]
        end: Optional[TimeBound]
        limit: Optional[int]

else:
    Criteria = Dict[str, Any]


def decode_pac(pac: Pac) -> bytes:
    """The 32 bytes of a ``pac``: given as bytes, or as their base64url text (padding optional)."""
    if isinstance(pac, str):
        try:
            # The decoder skips characters outside the alphabet: a text holding any is no pac.
            if not _BASE64URL.fullmatch(pac):
                raise ValueError(pac)
            raw = base64.urlsafe_b64decode(pac + "=" * (-len(pac) % 4))
        except (binascii.Error, ValueError):
            raise ValueError(f"pac must be 32 bytes or their base64url text, got {pac!r}") from None
    elif isinstance(pac, (bytes, bytearray)):
        raw = bytes(pac)
    else:
        raise TypeError(f"pac must be bytes or str, not {type(pac).__name__}")
    if len(raw) != 32:
        raise ValueError(f"pac must be 32 bytes, got {len(raw)}")
    return raw


def _text(value: object, name: str) -> Optional[str]:
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def _limit(limit: object) -> Optional[int]:
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be an int, not {type(limit).__name__}")
    if limit < 0:
        raise ValueError(f"limit must not be negative, got {limit}")
    return min(limit, _LIMIT_MAX)


class Filters:
    """Criteria for a store query, checked when made; immutable and hashable.

    Texts must be ``str``; ``pac`` is 32 bytes or their base64url text (kept
    as bytes); ``start`` and ``end`` are a ``datetime`` (naive means UTC) or
    epoch seconds, kept as whole seconds (a fractional start rounds up, a
    fractional end down, so both bounds stay inclusive); ``limit`` is a
    non-negative int. Receipts whose timestamp does not parse never pass a
    time bound.
    """

    __slots__ = FILTER_NAMES

    workload: Optional[str]
    trace: Optional[str]
    policy: Optional[str]
    change_epoch: Optional[str]
    pac: Optional[bytes]
    start: Optional[int]
    end: Optional[int]
    limit: Optional[int]

    def __init__(
        self,
        *,
        workload: Optional[str] = None,
        trace: Optional[str] = None,
        policy: Optional[str] = None,
        change_epoch: Optional[str] = None,
        pac: Optional[Pac] = None,
        start: Optional[TimeBound] = None,
        end: Optional[TimeBound] = None,
        limit: Optional[int] = None,
    ) -> None:
        texts = {"workload": workload, "trace": trace, "policy": policy, "change_epoch": change_epoch}
        for name, value in texts.items():
            object.__setattr__(self, name, _text(value, name))
        object.__setattr__(self, "pac", None if pac is None else decode_pac(pac))
        object.__setattr__(self, "start", bound_seconds(start, "start", upper=False))
        object.__setattr__(self, "end", bound_seconds(end, "end", upper=True))
        object.__setattr__(self, "limit", _limit(limit))

    @classmethod
    def of(cls, filters: Optional["Filters"] = None, criteria: Optional[Mapping[str, Any]] = None) -> "Filters":
        """``filters`` (or no filters) with ``criteria``, keyword filters by name, put over them.

        This is how stores read their arguments: an unknown name is a
        ``TypeError`` as it would be for any keyword argument.
        """
        if filters is not None and not isinstance(filters, Filters):
            raise TypeError(f"filters must be a tessary.Filters, not {type(filters).__name__}")
        if not criteria:
            return filters if filters is not None else _NONE
        unknown = sorted(set(criteria) - set(FILTER_NAMES))
        if unknown:
            raise TypeError(f"unknown filter {unknown[0]!r}; filters are {', '.join(FILTER_NAMES)}")
        base = filters.as_dict() if filters is not None else {}
        base.update(criteria)
        return cls(**base)

    def replace(self, **changes: Any) -> "Filters":
        """A copy with the fields named changed (``None`` removes a filter)."""
        return Filters.of(self, changes)

    def as_dict(self) -> Dict[str, Any]:
        """The filters that are set, by name."""
        return {name: getattr(self, name) for name in FILTER_NAMES if getattr(self, name) is not None}

    def as_tuple(self) -> FilterTuple:
        """Every field in :data:`FILTER_NAMES` order, ``None`` where unset (the native store's arguments)."""
        return (self.workload, self.trace, self.policy, self.change_epoch, self.pac, self.start, self.end, self.limit)

    def without_limit(self) -> "Filters":
        """The same criteria with no limit."""
        return self.replace(limit=None) if self.limit is not None else self

    def __bool__(self) -> bool:
        return any(getattr(self, name) is not None for name in FILTER_NAMES)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError("Filters are immutable; use replace()")

    def __delattr__(self, name: str) -> None:
        raise AttributeError("Filters are immutable; use replace()")

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Filters) and self.as_tuple() == other.as_tuple()

    def __hash__(self) -> int:
        return hash(self.as_tuple())

    def __repr__(self) -> str:
        inner = ", ".join(f"{name}={value!r}" for name, value in self.as_dict().items())
        return f"Filters({inner})"

    def __reduce__(self) -> Tuple[Any, ...]:
        return (_rebuild, (self.as_dict(),))


def _rebuild(fields: Dict[str, Any]) -> Filters:
    return Filters(**fields)


_NONE = Filters()
