"""Pieces of a receipt's compact JSON, as this package's writer gives it, read without parsing the rest.

A step's payload holds thousands of sketch values, so lookups read the
members they need alone: the head (identity, links, time) before the
payload, the attestation after it, the payload's start before the sketch,
and the signature and hash at the very end. A piece is cut at a key and
parsed as JSON of its own. Cut anywhere but between the members it is meant
to hold, the piece is not valid JSON (a bracket stays open, one closes too
many, or text is left over; no string holds an unescaped quote), and then
the caller parses the whole text.
"""

import json
import re
from types import MappingProxyType
from typing import Dict, Mapping, Optional

from ._types import JSONValue

__all__ = ["HASH_TAIL", "NULL_SIG", "PART_OF", "PLAIN_FIELD", "frozen", "parse_part", "payload_before_sketch",
           "signature_tail"]

# The compact JSON of a receipt ends with its signature and its hash:
#   ...,"sig":null,"hash":"sha256:<64 hex>"}
#   ...,"sig":{"alg":"...","kid":"...","sig":"..."},"hash":"sha256:<64 hex>"}
# Only the hash follows the top-level signature, so both are read (and a new
# signature written) at the end of the text without parsing the receipt.
HASH_TAIL = len(',"hash":"sha256:') + 64 + len('"}')
NULL_SIG = ',"sig":null'
_OBJECT_SIG = ',"sig":{"alg":"'
_TAIL = re.compile(
    r',"sig":(?:null|\{"alg":"([^"\\]*)","kid":"([^"\\]*)","sig":"([^"\\]*)"\}),"hash":"(sha256:[0-9a-f]{64})"\}\Z'
)
#: Signature fields written into the text as they are: nothing in them that
#: JSON escapes, or that the native writer might spell differently.
PLAIN_FIELD = re.compile(r"[A-Za-z0-9:._+/=-]*\Z")

_PAYLOAD_KEY = ',"payload":'
_ATTEST_KEY = ',"attest":'
_SKETCH_KEY = ',"minhash_signature":'
#: The members the writer puts before the payload ("head") and after it ("tail").
PART_OF = {"rid": "head", "kind": "head", "links": "head", "ctx": "head", "attest": "tail"}


def signature_tail(text: str) -> Optional["re.Match[str]"]:
    """The signature and hash at the end of a receipt's JSON, or None when the text is not of that form."""
    end = len(text) - HASH_TAIL
    if text.startswith(NULL_SIG, end - len(NULL_SIG)):
        start = end - len(NULL_SIG)
    else:
        # Inside the signature object "sig" is followed by a string, never by {"alg":
        start = text.rfind(_OBJECT_SIG, 0, end)
        if start < 0:
            return None
    return _TAIL.match(text, start)


def frozen(value: JSONValue) -> JSONValue:
    """A JSON value made read-only: objects as mapping proxies, arrays as tuples."""
    if isinstance(value, dict):
        return MappingProxyType({k: frozen(v) for k, v in value.items()})
    if isinstance(value, list):
        items = tuple(value)
        for item in items:
            if isinstance(item, (dict, list)):
                return tuple(frozen(v) for v in items)
        return items  # a list of scalars (a step's sketch holds thousands) needs no walk
    return value


def _object(piece: str) -> Optional[Dict[str, JSONValue]]:
    """The frozen members of ``piece`` parsed as a JSON object; None when it is not one."""
    try:
        found = json.loads(piece)
    except ValueError:
        return None
    return {k: frozen(v) for k, v in found.items()} if isinstance(found, dict) else None


def parse_part(text: str, part: str) -> Optional[Dict[str, JSONValue]]:
    """The "head" or "tail" members of a receipt's text (see :data:`PART_OF`); None when they cannot be cut out."""
    if part == "head":
        cut = text.find(_PAYLOAD_KEY)
        return _object(text[:cut] + "}") if cut >= 0 else None
    cut = text.find(_ATTEST_KEY)
    return _object("{" + text[cut + 1:]) if cut >= 0 else None


def payload_before_sketch(text: str) -> Optional[Mapping[str, JSONValue]]:
    """The payload's members written before its sketch; None when it has none or they cannot be cut out."""
    cut = text.find(_SKETCH_KEY)
    head = _object(text[:cut] + "}}") if cut >= 0 else None  # closes the payload and the receipt
    payload = head.get("payload") if head is not None else None
    return payload if isinstance(payload, Mapping) else None
