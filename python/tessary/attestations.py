"""in-toto statements of receipts, and DSSE envelopes that sign them.

:func:`to_in_toto` describes a receipt as an in-toto Statement v1 whose
subject is the data the work ran on; :func:`export_dsse` signs that statement
in a DSSE envelope, and :func:`check_dsse` / :func:`verify_dsse` trust an
envelope only as far as the receipt it carries verifies. docs/signing.md
describes the bytes.
"""

from __future__ import annotations

import base64
import binascii
import json
import re
from typing import Any, Callable, Dict, List, Mapping, Optional, Tuple, Union

from ._types import JSONValue
from .errors import ReceiptError, SignatureError
from .receipts import Receipt
from .trust import SIGNATURE_SIZE, Keyring, SigningKey, TrustResult, TrustStatus, content_problem, fresh_hash, signing_key_of

__all__ = ["to_in_toto", "export_dsse", "verify_dsse", "check_dsse", "PREDICATE_TYPE", "STATEMENT_TYPE", "DSSE_PAYLOAD_TYPE"]

#: The in-toto statement type.
STATEMENT_TYPE = "https://in-toto.io/Statement/v1"
#: The predicate type of the statements :func:`to_in_toto` makes.
PREDICATE_TYPE = "https://tessary.dev/attestation/receipt/v1"
#: The DSSE payload type of an in-toto statement.
DSSE_PAYLOAD_TYPE = "application/vnd.in-toto+json"


def _digest(commitment: object) -> Optional[str]:
    if isinstance(commitment, str) and commitment.startswith("sha256:"):
        return commitment[len("sha256:") :]
    return None


def to_in_toto(receipt: Receipt) -> Dict[str, JSONValue]:
    """The receipt as an in-toto Statement v1 whose subject is the data the work ran on.

    The subject names the data commitment: ``data_shape_hash`` for an
    execution receipt, ``dom`` for the other kinds (and also ``dom`` when an
    execution receipt's differs). The predicate (type :data:`PREDICATE_TYPE`)
    carries the receipt's identity, method commitment and links, and the
    receipt itself.
    """
    if not isinstance(receipt, Receipt):
        raise TypeError(f"to_in_toto() needs a Receipt, not {type(receipt).__name__}")
    wire = receipt.to_dict()
    payload = wire.get("payload")
    payload = payload if isinstance(payload, dict) else {}
    subject: List[Dict[str, JSONValue]] = []
    data_shape = _digest(payload.get("data_shape_hash")) if wire.get("kind") == "execution" else None
    if data_shape is not None:
        subject.append({"name": "data_shape_hash", "digest": {"sha256": data_shape}})
    dom = _digest(wire.get("dom"))
    if dom is not None and dom != data_shape:
        subject.append({"name": "dom", "digest": {"sha256": dom}})
    if not subject:
        raise ReceiptError("the receipt has no sha256 data commitment to name as the subject")
    ctx = wire.get("ctx")
    predicate = {
        "rid": wire.get("rid"),
        "kind": wire.get("kind"),
        "version": wire.get("version"),
        "hash": wire.get("hash"),
        "timestamp": ctx.get("timestamp") if isinstance(ctx, dict) else None,
        "method_ref": payload.get("method_ref"),
        "dom": wire.get("dom"),
        "cod": wire.get("cod"),
        "links": wire.get("links", []),
        "receipt": wire,
    }
    return {"_type": STATEMENT_TYPE, "subject": subject, "predicateType": PREDICATE_TYPE, "predicate": predicate}


def _pae(payload_type: str, body: bytes) -> bytes:
    """DSSE's pre-authentication encoding of a payload."""
    kind = payload_type.encode("utf-8")
    return b"DSSEv1 %d %s %d %s" % (len(kind), kind, len(body), body)


def export_dsse(receipt: Receipt, key: SigningKey) -> Dict[str, JSONValue]:
    """The receipt's in-toto statement in a DSSE envelope signed by ``key`` (a stale receipt is refused)."""
    key = signing_key_of(key)
    fresh_hash(receipt, "export")
    body = json.dumps(to_in_toto(receipt), separators=(",", ":"), ensure_ascii=False).encode("utf-8")
    signature = key.sign(_pae(DSSE_PAYLOAD_TYPE, body))
    return {
        "payloadType": DSSE_PAYLOAD_TYPE,
        "payload": base64.b64encode(body).decode("ascii"),
        "signatures": [{"keyid": key.kid, "sig": base64.b64encode(signature).decode("ascii")}],
    }


def _b64_either(text: object, what: str) -> bytes:
    """Standard or URL-safe base64, padded or not, and nothing else."""
    if not isinstance(text, str) or re.fullmatch(r"[A-Za-z0-9+/_-]*={0,2}", text) is None:
        raise SignatureError(f"malformed envelope: {what} is not base64 text")
    unpadded = text.rstrip("=").replace("-", "+").replace("_", "/")
    try:
        return base64.b64decode(unpadded + "=" * (-len(unpadded) % 4), validate=True)
    except (binascii.Error, ValueError):
        raise SignatureError(f"malformed envelope: {what} is not base64 text") from None


def _parsed(text: Union[str, bytes, bytearray], what: str, error: Callable[[str], SignatureError]) -> Any:
    """``text`` parsed as JSON; ``error`` naming ``what`` ("" for the envelope) when it is not JSON."""
    try:
        return json.loads(text)
    except ValueError as e:
        raise error(f"malformed envelope: {what}not JSON: {e}") from None
    except RecursionError:
        raise error(f"malformed envelope: {what}nested too deeply") from None


def _envelope_body(envelope: Union[Mapping[str, JSONValue], str, bytes]) -> Tuple[bytes, List[JSONValue]]:
    """The payload bytes and signature entries of an envelope; SignatureError when it is malformed."""
    if isinstance(envelope, (str, bytes, bytearray)):
        envelope = _parsed(envelope, "", SignatureError)
    if not isinstance(envelope, Mapping):
        raise SignatureError("malformed envelope: expected a JSON object")
    payload_type = envelope.get("payloadType")
    if payload_type != DSSE_PAYLOAD_TYPE:
        raise SignatureError(f"malformed envelope: payloadType must be {DSSE_PAYLOAD_TYPE!r}, got {payload_type!r}")
    body = _b64_either(envelope.get("payload"), "payload")
    signatures = envelope.get("signatures")
    if not isinstance(signatures, list) or not signatures:
        raise SignatureError("malformed envelope: no signatures")
    return body, signatures


def _envelope_signer(body: bytes, signatures: List[JSONValue], keyring: Keyring) -> TrustResult:
    """Which trusted key signed the payload (TRUSTED), else UNKNOWN_KEY or BAD_SIGNATURE and why."""
    message = _pae(DSSE_PAYLOAD_TYPE, body)
    unknown: List[str] = []
    for entry in signatures:
        if not isinstance(entry, Mapping):
            raise SignatureError("malformed envelope: a signature is not an object")
        raw = _b64_either(entry.get("sig"), "sig")
        keyid = entry.get("keyid")
        if isinstance(keyid, str) and keyid:
            known = keyring.get(keyid)
            if known is None:
                unknown.append(keyid)
                continue
            candidates = [known]
        else:
            candidates = list(keyring)
        for key in candidates:
            if len(raw) == SIGNATURE_SIZE and key.verify(message, raw):
                return TrustResult(TrustStatus.TRUSTED, key.kid, f"signed by trusted key {key.kid}")
    if unknown and len(unknown) == len(signatures):
        reason = f"the envelope is signed only by keys that are not trusted: {', '.join(unknown)}"
        return TrustResult(TrustStatus.UNKNOWN_KEY, unknown[0], reason)
    return TrustResult(TrustStatus.BAD_SIGNATURE, None, "no signature of the envelope verifies with a trusted key")


def _check_dsse(
    envelope: Union[Mapping[str, JSONValue], str, bytes], keyring: Keyring
) -> Tuple[TrustResult, Optional[Dict[str, JSONValue]]]:
    if not isinstance(keyring, Keyring):
        raise TypeError(f"checking an envelope needs a Keyring, not {type(keyring).__name__}")
    try:
        body, signatures = _envelope_body(envelope)
        signer = _envelope_signer(body, signatures, keyring)
    except SignatureError as e:
        return TrustResult(TrustStatus.BAD_SIGNATURE, None, str(e)), None
    if not signer.ok:
        return signer, None
    try:
        statement = _statement(body)
    except _StatementError as e:
        return TrustResult(e.status, signer.kid, str(e)), None
    return signer, statement


def check_dsse(envelope: Union[Mapping[str, JSONValue], str, bytes], keyring: Keyring) -> TrustResult:
    """How far a DSSE envelope can be trusted; TRUSTED only when it vouches for a receipt that verifies.

    That is: a signature by a key of ``keyring`` verifies, the payload is an
    in-toto Statement v1 of type :data:`PREDICATE_TYPE` whose predicate
    carries a receipt, that receipt's hash and rules hold, and the subject
    and predicate describe that receipt as :func:`to_in_toto` would. A
    malformed envelope or a failed signature is BAD_SIGNATURE (UNKNOWN_KEY
    when every signature names an untrusted key); a statement that vouches for
    no valid receipt is INVALID, or STALE_HASH when the receipt's hash is stale.
    """
    return _check_dsse(envelope, keyring)[0]


def verify_dsse(envelope: Union[Mapping[str, JSONValue], str, bytes], keyring: Keyring) -> Dict[str, JSONValue]:
    """The in-toto statement of a DSSE envelope that :func:`check_dsse` finds TRUSTED.

    ``envelope`` is the envelope's dict or its JSON text. Raises
    :class:`SignatureError` with :func:`check_dsse`'s reason otherwise: a
    malformed envelope, no signature by a trusted key, or a statement that
    does not carry a receipt that verifies and that it describes.
    """
    result, statement = _check_dsse(envelope, keyring)
    if statement is None:
        raise SignatureError(result.reason)
    return statement


class _StatementError(SignatureError):
    """A signed statement that vouches for no valid receipt; ``status`` says how."""

    def __init__(self, reason: str, status: TrustStatus = TrustStatus.INVALID) -> None:
        super().__init__(reason)
        self.status = status


def _statement(body: bytes) -> Dict[str, JSONValue]:
    statement = _parsed(body, "the payload is ", _StatementError)
    if not isinstance(statement, dict) or statement.get("_type") != STATEMENT_TYPE:
        raise _StatementError("malformed envelope: the payload is not an in-toto Statement v1")
    kind = statement.get("predicateType")
    if kind != PREDICATE_TYPE:
        raise _StatementError(f"the statement's predicateType is {kind!r}, not a tessary receipt ({PREDICATE_TYPE})")
    _check_predicate(statement)
    return statement


def _statement_receipt(predicate: JSONValue) -> Receipt:
    wire = predicate.get("receipt") if isinstance(predicate, dict) else None
    if not isinstance(wire, dict):
        raise _StatementError("the statement's predicate carries no receipt")
    try:
        receipt = Receipt.from_json(json.dumps(wire, ensure_ascii=False))
    except (ReceiptError, RecursionError) as e:
        raise _StatementError(f"the statement's receipt is not a receipt: {e}") from None
    problem = content_problem(receipt, None)
    if problem is not None:
        reason = f"the statement's receipt {receipt.rid} does not verify: {problem.reason}"
        raise _StatementError(reason, problem.status)
    return receipt


def _check_predicate(statement: Dict[str, JSONValue]) -> None:
    """The statement must say of its receipt exactly what :func:`to_in_toto` says of it."""
    predicate = statement.get("predicate")
    receipt = _statement_receipt(predicate)
    assert isinstance(predicate, dict)
    try:
        expected = to_in_toto(receipt)
    except ReceiptError as e:
        raise _StatementError(f"the statement's receipt {receipt.rid} names no subject: {e}") from None
    if statement.get("subject") != expected["subject"]:
        raise _StatementError(f"the statement's subject is not the data of its receipt {receipt.rid}")
    described = expected["predicate"]
    assert isinstance(described, dict)
    wrong = sorted(k for k in described if k != "receipt" and predicate.get(k, _MISSING) != described[k])
    if wrong:
        raise _StatementError(f"the statement describes a different receipt than it carries ({', '.join(wrong)})")


_MISSING = object()
