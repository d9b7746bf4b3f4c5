"""Receipts: record a unit of work, read a receipt's fields, verify it.

A :class:`Receipt` is an immutable value. Its content is the native receipt;
the fields are read from the receipt's JSON form once, on first access, and
handed out as read-only views (mappings and tuples).
"""

from __future__ import annotations

import enum
import json
import uuid
from datetime import datetime
from types import MappingProxyType
from typing import TYPE_CHECKING, Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

import _tessary

from ._time import parse_timestamp
from .errors import ReceiptError, VerificationError

if TYPE_CHECKING:
    from .signing import Keyring

__all__ = [
    "Receipt",
    "ReceiptKind",
    "Determinism",
    "Context",
    "Signature",
    "record",
    "verify",
    "verify_strict",
]

_native_record = _tessary.record_work_py
_native_verify = _tessary.verify_receipt_py
_native_from_json = _tessary.receipts.receipt_from_json_py
_NativeReceipt = _tessary.receipts.PyReceipt

#: A JSON value as Python holds it.
JSONValue = Any


class ReceiptKind(str, enum.Enum):
    """The six kinds of receipt; the value is the kind's wire name."""

    DATA_SHAPE = "data_shape"
    METHOD_SHAPE = "method_shape"
    REASONING_SHAPE = "reasoning_shape"
    EXECUTION = "execution"
    SPEND = "spend"
    SETTLEMENT = "settlement"

    def __str__(self) -> str:
        return self.value


_KIND_BY_NAME = {
    "DataShape": ReceiptKind.DATA_SHAPE,
    "MethodShape": ReceiptKind.METHOD_SHAPE,
    "ReasoningShape": ReceiptKind.REASONING_SHAPE,
    "Execution": ReceiptKind.EXECUTION,
    "Spend": ReceiptKind.SPEND,
    "Settlement": ReceiptKind.SETTLEMENT,
}


class Determinism(str, enum.Enum):
    """How reproducible the recorded work is."""

    STRICT = "strict"
    BOUNDED = "bounded"
    OBSERVATIONAL = "observational"

    def __str__(self) -> str:
        return self.value


class Context(NamedTuple):
    """When, under which policy and by whom the work ran."""

    timestamp: str
    policy_ref: Optional[str] = None
    nonce: Optional[str] = None
    determinism: Optional[Determinism] = None
    identity_ref: Optional[str] = None

    @property
    def time(self) -> Optional[datetime]:
        """The timestamp as an aware datetime, or None when it is not RFC 3339 text."""
        return parse_timestamp(self.timestamp)


class Signature(NamedTuple):
    """A detached signature carried by a receipt (not part of its hash)."""

    alg: str
    kid: str
    sig: str


def _frozen(value: JSONValue) -> JSONValue:
    if isinstance(value, dict):
        return MappingProxyType({k: _frozen(v) for k, v in value.items()})
    if isinstance(value, list):
        return tuple(_frozen(v) for v in value)
    return value


class Receipt:
    """A sealed record of one unit of work.

    Made by :func:`record`, :meth:`Receipt.from_json` or a store, never by
    calling the class. Receipts compare equal when their content is equal,
    are hashable, and pickle as their JSON text.
    """

    __slots__ = ("_native", "_json", "_fields")

    # The fields are read-only properties; the slots are the receipt's own
    # state: the native receipt, and its JSON text and fields once read.
    _native: Any
    _json: str
    _fields: Dict[str, Any]

    def __init__(self) -> None:
        raise TypeError("Receipt objects are made by tessary.record(), Receipt.from_json() or a store")

    @classmethod
    def _wrap(cls, native: Any) -> "Receipt":
        receipt = _new(cls)
        receipt._native = native
        return receipt

    @classmethod
    def _from_own_json(cls, text: str) -> "Receipt":
        """A receipt from JSON text this package wrote itself; it is read natively only when first needed."""
        receipt = _new(cls)
        receipt._json = text
        return receipt

    if not TYPE_CHECKING:
        # Reached only when a slot is unset, so receipts that hold their native
        # receipt pay nothing. Hidden from the type checker, which would
        # otherwise accept any attribute name on a receipt.
        def __getattr__(self, name: str) -> Any:
            if name == "_native":
                try:
                    text = self._json
                except AttributeError:
                    pass
                else:
                    try:
                        native = _native_from_json(text)
                    except ValueError as e:
                        raise ReceiptError(str(e)) from None
                    self._native = native
                    return native
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    # -- JSON ---------------------------------------------------------------

    @classmethod
    def from_json(cls, text: Union[str, bytes, bytearray]) -> "Receipt":
        """Read a receipt from its JSON text; raises :class:`ReceiptError` when it is not one."""
        if isinstance(text, (bytes, bytearray)):
            try:
                text = bytes(text).decode("utf-8")
            except UnicodeDecodeError as e:
                raise ReceiptError(f"receipt JSON is not UTF-8: {e}") from None
        elif not isinstance(text, str):
            raise TypeError(f"receipt JSON must be str or bytes, not {type(text).__name__}")
        try:
            native = _native_from_json(text)
        except ValueError as e:
            raise ReceiptError(str(e)) from None
        return cls._wrap(native)

    def to_json(self) -> str:
        """The receipt's compact JSON text, the form stores keep and peers read."""
        try:
            return self._json
        except AttributeError:
            pass
        try:
            text: str = self._native.to_json()
        except ValueError as e:
            raise ReceiptError(str(e)) from None
        self._json = text
        return text

    def to_dict(self) -> Dict[str, JSONValue]:
        """A new, mutable dict of the receipt's JSON form."""
        result: Dict[str, JSONValue] = json.loads(self.to_json())
        return result

    def _field(self, name: str) -> Any:
        try:
            fields = self._fields
        except AttributeError:
            fields = {k: _frozen(v) for k, v in json.loads(self.to_json()).items()}
            self._fields = fields
        return fields.get(name)

    # -- fields ---------------------------------------------------------------

    @property
    def rid(self) -> str:
        """The receipt identifier, a lowercase hyphenated UUID."""
        rid: str = self._native.get_rid()
        return rid

    @property
    def kind(self) -> ReceiptKind:
        """Which of the six kinds this receipt is."""
        return _KIND_BY_NAME[self._native.get_kind()]

    @property
    def version(self) -> str:
        """The envelope format version."""
        version: str = self._native.get_version()
        return version

    @property
    def hash(self) -> str:
        """The receipt hash as stored in the receipt ("sha256:" + 64 hex digits)."""
        value: str = self._native.get_hash()
        return value

    @property
    def dom(self) -> str:
        """The domain commitment (for recorded work: the payload data)."""
        value: str = self._native.get_dom()
        return value

    @property
    def cod(self) -> str:
        """The codomain commitment (for recorded work: the trace-set root)."""
        value: str = self._native.get_cod()
        return value

    @property
    def links(self) -> Tuple[str, ...]:
        """Identifiers of the parent receipts, in order."""
        links: Tuple[str, ...] = self._field("links")
        return links

    @property
    def ctx(self) -> Context:
        """The context: timestamp, policy, nonce, determinism class, identity."""
        ctx = self._field("ctx")
        determinism = ctx.get("determinism")
        return Context(
            timestamp=ctx["timestamp"],
            policy_ref=ctx.get("policy_ref"),
            nonce=ctx.get("nonce"),
            determinism=Determinism(determinism) if determinism is not None else None,
            identity_ref=ctx.get("identity_ref"),
        )

    @property
    def timestamp(self) -> str:
        """Shorthand for ``ctx.timestamp``."""
        timestamp: str = self._field("ctx")["timestamp"]
        return timestamp

    @property
    def payload(self) -> Mapping[str, JSONValue]:
        """The kind's payload record as a read-only mapping of its JSON fields."""
        payload: Mapping[str, JSONValue] = self._field("payload")
        return payload

    @property
    def attest(self) -> JSONValue:
        """The free-form attestation, or None."""
        return self._field("attest")

    @property
    def sig(self) -> Optional[Signature]:
        """The signature the receipt carries, or None."""
        sig = self._field("sig")
        if sig is None:
            return None
        return Signature(sig["alg"], sig["kid"], sig["sig"])

    @property
    def workload(self) -> Optional[str]:
        """An execution receipt's workload (its method identifier); None for other kinds."""
        value: Optional[str] = self._native.get_workload_id()
        return value

    @property
    def trace(self) -> Optional[str]:
        """An execution receipt's trace identifier; None for other kinds."""
        value: Optional[str] = self._native.get_trace_id()
        return value

    @property
    def parent(self) -> Optional[str]:
        """An execution receipt's parent receipt identifier, when one was named."""
        if self.kind is not ReceiptKind.EXECUTION:
            return None
        parent: Optional[str] = self._field("payload").get("prev_execution_rid")
        return parent

    # -- checks ---------------------------------------------------------------

    def compute_hash(self) -> str:
        """The receipt hash computed afresh from the content (compare with :attr:`hash`)."""
        try:
            value: str = self._native.compute_hash()
        except ValueError as e:
            raise ReceiptError(str(e)) from None
        return value

    def verify(self) -> bool:
        """Same as :func:`tessary.verify` on this receipt."""
        return verify(self)

    # -- value behaviour ---------------------------------------------------------

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Receipt):
            return NotImplemented
        return self is other or self.to_json() == other.to_json()

    def __hash__(self) -> int:
        return hash(self.to_json())

    def __repr__(self) -> str:
        kind = self.kind.value
        extra = f" workload={self.workload!r}" if self.workload is not None else ""
        return f"<Receipt {kind} {self.rid}{extra} hash={self.hash[:19]}…>"

    def __reduce__(self) -> Tuple[Any, Tuple[str]]:
        return (_from_json_text, (self.to_json(),))

    def __copy__(self) -> "Receipt":
        return self

    def __deepcopy__(self, memo: Dict[int, Any]) -> "Receipt":
        return self


def _from_json_text(text: str) -> Receipt:
    return Receipt.from_json(text)


def _parent_id(parent: Union[Receipt, str, uuid.UUID, None]) -> Optional[str]:
    if parent is None:
        return None
    if isinstance(parent, Receipt):
        return parent.rid
    if isinstance(parent, uuid.UUID):
        return str(parent)
    if isinstance(parent, str):
        try:
            return str(uuid.UUID(parent))
        except ValueError:
            raise ValueError(f"parent must be a receipt or a receipt identifier (a UUID), got {parent!r}") from None
    raise TypeError(f"parent must be a Receipt or a receipt identifier, not {type(parent).__name__}")


_new = object.__new__


def record(
    workload: str,
    payload: Mapping[str, JSONValue],
    *,
    tags: Optional[Iterable[str]] = None,
    trace: Optional[str] = None,
    parent: Union[Receipt, str, uuid.UUID, None] = None,
) -> Receipt:
    """Record a unit of work and return its sealed execution receipt.

    ``payload`` is any JSON-serialisable mapping; the receipt commits to it.
    ``trace`` names the trace the work belongs to (default: a fixed
    placeholder trace).
    ``parent`` links the receipt to an earlier one, given as a
    :class:`Receipt` or its identifier. ``tags`` are accepted for callers'
    bookkeeping but are not part of the receipt.
    """
    if parent is not None:
        parent = _parent_id(parent)
    if type(payload) is not dict:
        if not isinstance(payload, Mapping):
            raise TypeError(f"payload must be a mapping, not {type(payload).__name__}")
        payload = dict(payload)
    if tags is not None and type(tags) is not list:
        if isinstance(tags, str):
            raise TypeError("tags must be an iterable of str, not a single str")
        tags = list(tags)
    try:
        native = _native_record(workload, payload, tags, trace, parent)
    except ValueError as e:
        raise ReceiptError(str(e)) from None
    receipt = _new(Receipt)
    receipt._native = native
    return receipt


def verify(receipt: Receipt, *, trust: Optional["Keyring"] = None) -> bool:
    """True when the receipt's stored hash matches its content and it passes validation.

    With ``trust``, a :class:`tessary.Keyring`, the receipt must also carry a
    valid signature by one of its keys (see :func:`tessary.check`).
    """
    if trust is not None:
        from .signing import check

        return check(receipt, trust).ok
    try:
        ok: bool = _native_verify(receipt._native)
    except AttributeError:
        raise TypeError(f"verify() needs a Receipt, not {type(receipt).__name__}") from None
    except ValueError:
        return False
    return ok


def verify_strict(receipt: Receipt) -> None:
    """Return None when the receipt verifies; else raise :class:`VerificationError` with the reason."""
    try:
        native = receipt._native
    except AttributeError:
        raise TypeError(f"verify_strict() needs a Receipt, not {type(receipt).__name__}") from None
    try:
        if _native_verify(native):
            return
        computed = native.compute_hash()
    except ValueError as e:
        raise VerificationError(str(e)) from None
    raise VerificationError(f"Hash mismatch: expected {native.get_hash()}, computed {computed}")
