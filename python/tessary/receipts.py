"""Receipts: record a unit of work, read a receipt's fields, verify it.

A :class:`Receipt` is an immutable value. Its content is the native receipt;
the fields are read from the receipt's JSON form once, on first access, and
handed out as read-only views (mappings and tuples).
"""

from __future__ import annotations

import json
from datetime import datetime
from typing import TYPE_CHECKING, Callable, Dict, Iterable, Mapping, NamedTuple, Optional, Protocol, Tuple, Union

if TYPE_CHECKING:
    import uuid

from ._core import NativeReceipt, native, receipt_from_json, receipt_hash, receipt_json, verify_receipt
from ._receipt_text import (
    HASH_TAIL, NULL_SIG, PART_OF, PLAIN_FIELD, frozen, parse_part, payload_before_sketch, signature_tail,
)
from ._recording import check_str, execution_work
from ._time import parse_timestamp
from ._types import JSONValue, WordEnum
from .errors import ReceiptError, VerificationError

__all__ = [
    "Receipt",
    "ReceiptKind",
    "Determinism",
    "Context",
    "Signature",
    "record",
    "verify",
    "verify_strict",
    "TrustedKeys",
]


#: How a strict reading's refusal begins: the text is a receipt, with more beside it than its seal covers.
_UNSEALED = "unsealed receipt text"


class ReceiptKind(WordEnum):
    """The six kinds of receipt; the value is the kind's wire name."""

    DATA_SHAPE = "data_shape"
    METHOD_SHAPE = "method_shape"
    REASONING_SHAPE = "reasoning_shape"
    EXECUTION = "execution"
    SPEND = "spend"
    SETTLEMENT = "settlement"


_KIND_BY_NAME = {
    "DataShape": ReceiptKind.DATA_SHAPE,
    "MethodShape": ReceiptKind.METHOD_SHAPE,
    "ReasoningShape": ReceiptKind.REASONING_SHAPE,
    "Execution": ReceiptKind.EXECUTION,
    "Spend": ReceiptKind.SPEND,
    "Settlement": ReceiptKind.SETTLEMENT,
}


class Determinism(WordEnum):
    """How reproducible the recorded work is."""

    STRICT = "strict"
    BOUNDED = "bounded"
    OBSERVATIONAL = "observational"


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


class Receipt:
    """A sealed record of one unit of work.

    Made by :func:`record`, :meth:`Receipt.from_json` or a store, never by
    calling the class. Receipts compare equal when their content is equal,
    are hashable, and pickle as their JSON text.
    """

    __slots__ = ("_native", "_json", "_fields", "_parts")

    # The fields are read-only properties; the slots are the receipt's own
    # state: the native receipt, and its JSON text and fields once read.
    _native: NativeReceipt
    _json: str
    _fields: Dict[str, JSONValue]
    _parts: Dict[str, Dict[str, JSONValue]]

    def __init__(self) -> None:
        raise TypeError("Receipt objects are made by tessary.record(), Receipt.from_json() or a store")

    @classmethod
    def _wrap(cls, native: NativeReceipt) -> "Receipt":
        receipt = _new(cls)
        receipt._native = native
        return receipt

    if not TYPE_CHECKING:
        # Reached only when a slot is unset, so receipts that hold their native
        # receipt pay nothing. Hidden from the type checker, which would
        # otherwise accept any attribute name on a receipt.
        def __getattr__(self, name: str) -> NativeReceipt:
            if name == "_native":
                try:
                    text = self._json
                except AttributeError:
                    pass
                else:
                    native = receipt_from_json(text)
                    self._native = native
                    return native
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {name!r}")

    # -- JSON ---------------------------------------------------------------

    @classmethod
    def from_json(cls, text: Union[str, bytes, bytearray], *, strict: bool = True) -> "Receipt":
        """Read a receipt from its JSON text; raises :class:`ReceiptError` when it is not one.

        Strict by default: the text must hold nothing beside what the hash
        seals, so whoever reads it sees what was vouched for. A member that no
        field of its record has (at any depth), a key repeated within an
        object, or a value the reader would drop is refused, the message
        naming the first by its path (``unsealed receipt text: unknown member
        payload.rows_processed``). ``strict=False`` ignores all of those, as
        receipts were read before.
        """
        if isinstance(text, (bytes, bytearray)):
            try:
                text = bytes(text).decode("utf-8")
            except UnicodeDecodeError as e:
                raise ReceiptError(f"receipt JSON is not UTF-8: {e}") from None
        elif not isinstance(text, str):
            raise TypeError(f"receipt JSON must be str or bytes, not {type(text).__name__}")
        # Read leniently first, so text that is no receipt at all is told so in the usual words.
        receipt = cls._wrap(receipt_from_json(text))
        if strict:
            try:
                native.check_strict(text)
            except ReceiptError as e:
                raise ReceiptError(f"{_UNSEALED}: {e}") from None
        return receipt

    def to_json(self) -> str:
        """The receipt's compact JSON text, the form stores keep and peers read."""
        try:
            return self._json
        except AttributeError:
            pass
        text = receipt_json(self._native)
        self._json = text
        return text

    def to_dict(self) -> Dict[str, JSONValue]:
        """A new, mutable dict of the receipt's JSON form."""
        result: Dict[str, JSONValue] = json.loads(self.to_json())
        return result

    def _field(self, name: str) -> JSONValue:
        try:
            return self._fields.get(name)
        except AttributeError:
            pass
        # A step's payload holds thousands of sketch values; lookups need only the members before it
        # (time, links) or after it (attest), so those are parsed alone when they can be.
        part = PART_OF.get(name)
        if part is not None:
            try:
                parts = self._parts
            except AttributeError:
                parts = self._parts = {}
            found = parts.get(part)
            if found is None:
                found = parse_part(self.to_json(), part)
                if found is not None:
                    parts[part] = found
            if found is not None:
                return found.get(name)
        fields = {k: frozen(v) for k, v in json.loads(self.to_json()).items()}
        self._fields = fields
        return fields.get(name)

    # -- fields ---------------------------------------------------------------

    @property
    def rid(self) -> str:
        """The receipt identifier, a lowercase hyphenated UUID."""
        if _read_natively(self):
            rid: str = self._native.get_rid()
            return rid
        # Held as its writer's text: the head says the same without reading the whole receipt.
        text_rid: str = self._field("rid")
        return text_rid

    @property
    def kind(self) -> ReceiptKind:
        """Which of the six kinds this receipt is."""
        if _read_natively(self):
            return _KIND_BY_NAME[self._native.get_kind()]
        return ReceiptKind(self._field("kind"))

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
        match = signature_tail(self.to_json())
        if match is not None and match.group(4) == self.hash:
            alg, kid, sig_text = match.group(1, 2, 3)
            return None if alg is None else Signature(alg, kid, sig_text)
        sig = self._field("sig")
        if sig is None:
            return None
        return Signature(sig["alg"], sig["kid"], sig["sig"])

    def with_signature(self, signature: Optional[Signature]) -> "Receipt":
        """A copy of the receipt carrying ``signature`` in place of any it had (None: no signature).

        The hash does not cover the signature, so the copy keeps the hash.
        :func:`tessary.sign` makes and places a signature; this only places one.
        """
        if signature is not None and not (
            isinstance(signature, tuple) and len(signature) == 3 and all(isinstance(f, str) for f in signature)
        ):
            raise TypeError(f"signature must be a Signature or None, not {type(signature).__name__}")
        text = self.to_json()
        match = signature_tail(text)
        if match is not None and match.group(4) == self.hash:
            if signature is None:
                return from_writer_text(text[: match.start()] + NULL_SIG + text[-HASH_TAIL:])
            if all(PLAIN_FIELD.match(f) for f in signature):
                alg, kid, sig_text = signature
                sig_json = '{"alg":"' + alg + '","kid":"' + kid + '","sig":"' + sig_text + '"}'
                return from_writer_text(text[: match.start()] + ',"sig":' + sig_json + text[-HASH_TAIL:])
        wire = self.to_dict()
        wire["sig"] = None if signature is None else dict(zip(Signature._fields, signature))
        return Receipt.from_json(json.dumps(wire, separators=(",", ":"), ensure_ascii=False), strict=False)

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
        return receipt_hash(self._native)

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

    def __reduce__(self) -> Tuple[Callable[[str], "Receipt"], Tuple[str]]:
        return (_from_json_text, (self.to_json(),))

    def __copy__(self) -> "Receipt":
        return self

    def __deepcopy__(self, memo: Dict[int, object]) -> "Receipt":
        return self


def _from_json_text(text: str) -> Receipt:
    return Receipt.from_json(text, strict=False)


def _parent_id(parent: Union[Receipt, str, uuid.UUID, None]) -> Optional[str]:
    if parent is None:
        return None
    if isinstance(parent, Receipt):
        return parent.rid
    import uuid  # loaded here: a short command that gives no parent need not pay for it

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
    check_str(workload, "workload")
    if trace is not None:
        check_str(trace, "trace")
    parent_id = None if parent is None else _parent_id(parent)
    receipt = _new(Receipt)
    receipt._native = execution_work(workload, payload, tags, trace, parent_id)
    return receipt


class TrustedKeys(Protocol):
    """What ``verify(receipt, trust=...)`` asks of its keys; :class:`tessary.Keyring` is one."""

    def trusts(self, receipt: Receipt) -> bool:
        """True when the receipt verifies and carries a valid signature by one of these keys."""


def _handle(receipt: Receipt, caller: str) -> NativeReceipt:
    try:
        return receipt._native
    except AttributeError:
        raise TypeError(f"{caller} needs a Receipt, not {type(receipt).__name__}") from None


def verify(receipt: Receipt, *, trust: Optional[TrustedKeys] = None) -> bool:
    """True when the receipt's stored hash matches its content and it passes validation.

    With ``trust``, a :class:`tessary.Keyring`, the receipt must also carry a
    valid signature by one of its keys (see :func:`tessary.check`).
    """
    if trust is not None:
        trusts = getattr(trust, "trusts", None)
        if not callable(trusts):
            raise TypeError(f"trust must be a Keyring, not {type(trust).__name__}")
        return bool(trusts(receipt))
    native = _handle(receipt, "verify()")
    try:
        return verify_receipt(native)
    except VerificationError:
        return False


def verify_strict(receipt: Receipt) -> None:
    """Return None when the receipt verifies; else raise :class:`VerificationError` with the reason."""
    native = _handle(receipt, "verify_strict()")
    if verify_receipt(native):
        return
    raise VerificationError(f"Hash mismatch: expected {native.get_hash()}, computed {receipt_hash(native)}")


def payload_head(receipt: Receipt) -> Mapping[str, JSONValue]:
    """The payload's members written before a step's sketch (its method and input commitment among them).

    Lookups match thousands of stored step receipts on these; parsing the
    sketch of each (thousands of values) would cost more than the rest of
    the receipt. Without a sketch this is the whole payload.
    """
    head = payload_before_sketch(receipt.to_json())
    return head if head is not None else receipt.payload



_NATIVE_SLOT = Receipt.__dict__["_native"]


def _read_natively(receipt: Receipt) -> bool:
    """Whether the receipt holds its native form already (asked without making it, as __getattr__ would)."""
    try:
        _NATIVE_SLOT.__get__(receipt, Receipt)
    except AttributeError:
        return False
    return True


def from_writer_text(text: str) -> Receipt:
    """A receipt from text this package wrote itself: a directory store's scan, or a signature spliced into such text.

    The text is kept as the receipt's JSON form instead of being written
    again (the writer is deterministic, so writing the parsed receipt would
    give the same text back), and it is read natively only when first
    needed: a lookup matches and sorts most receipts on their text alone.
    The store parsed it already, so that reading cannot fail.
    """
    receipt = _new(Receipt)
    receipt._json = text
    return receipt
