"""The two receipts of a tracked step, an execution receipt and its spend receipt, built and sealed.

Every field is derived as docs/steps.md writes it down, so that a third party
holding the files can recompute each commitment. A receipt is written as
JSON, read back strictly, sealed with the hash of its canonical body, and
then held to three checks before anyone sees it: it verifies, the native
reader gives back the very same text, and the strict reading accepts it.
"""

from __future__ import annotations

import base64
import json
import os
import time
from datetime import datetime, timezone
from typing import Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple

from ._sha import sha256
from ._ids import uuid4_text
from ._canonical import commit, merkle_root, sha256_prefixed
from ._core import receipt_from_json, receipt_json
from ._fingerprints import Item, chunk_manifest
from ._metering import Prices, Usage, meter_of, total_value
from ._lookups import SUCCEEDED, product_digests, recorded_order
from ._types import JSONValue
from .errors import ReceiptError
from .receipts import Receipt, ReceiptKind, verify_strict
from .shapes import method_shape
from .sketches import MinHash, cardinality

__all__ = ["SUCCEEDED", "FAILED", "Named", "StepMethod", "StepFacts", "timestamp", "execution_receipt", "spend_receipt",
           "method_root", "inputs_commitment", "sketch_fields", "product_digests", "recorded_order", "succeeded",
           "work_of", "OutputsOfWork"]

FAILED = "failed"
_VERSION = "0.1.0"
_ANONYMOUS = sha256_prefixed(b"\x00")

#: An input or output under the name a step gives it (a path as written, or an argument's name).
Named = Tuple[str, Item]


class StepMethod(NamedTuple):
    """What a step is, whatever it reads: its name, version, method document and parameters."""

    name: str
    version: str
    document: Dict[str, JSONValue]
    params: Dict[str, JSONValue]

    @property
    def shape_root(self) -> str:
        return method_root(self.document, self.params)


class StepFacts(NamedTuple):
    """Everything an execution receipt states about one run of a step."""

    step: StepMethod
    inputs: Sequence[Named]
    outputs: Sequence[Named]
    status: str
    exit_status: Optional[int]
    argv: Optional[List[str]]
    started: str
    ended: str
    trace: str
    links: List[str]
    identity: Optional[str]
    mime_types: Dict[str, str]


def timestamp(ns: Optional[int] = None) -> str:
    """UTC RFC 3339 with the fraction the recorder uses: none, 3, 6 or 9 digits, and "+00:00"."""
    ns = time.time_ns() if ns is None else ns
    seconds, fraction = divmod(ns, 10**9)
    text = datetime.fromtimestamp(seconds, tz=timezone.utc).strftime("%Y-%m-%dT%H:%M:%S")
    if fraction:
        if fraction % 10**6 == 0:
            text += f".{fraction // 10**6:03d}"
        elif fraction % 10**3 == 0:
            text += f".{fraction // 10**3:06d}"
        else:
            text += f".{fraction:09d}"
    return text + "+00:00"


def _digest32(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode("ascii")


def _listing(named: Sequence[Named]) -> List[JSONValue]:
    return [dict(item.describe(), name=name) for name, item in named]


def inputs_commitment(inputs: Sequence[Named]) -> str:
    return commit({"inputs": _listing(inputs)})


def method_root(method: Dict[str, JSONValue], params: Dict[str, JSONValue]) -> str:
    """The method shape: the code-hash form over the method document's commitment, with the parameters."""
    return method_shape(commit(method), params)


def mime_type(path: str, item: Item) -> str:
    if item.type == "directory":
        return "inode/directory"
    import mimetypes  # slow to import: only an output needs it

    guessed, _ = mimetypes.guess_type(os.fsdecode(path), strict=False)
    return guessed or "application/octet-stream"


def _output_fields(facts: StepFacts) -> Dict[str, JSONValue]:
    if facts.status != SUCCEEDED or not facts.outputs:
        return {}
    if len(facts.outputs) == 1:
        name, item = facts.outputs[0]
        return {"output_digest": item.digest, "output_mime_type": facts.mime_types.get(name) or mime_type(name, item),
                "output_size_bytes": item.size}
    # Several products: the digest is the commitment to them all; each is named in attest.
    return {"output_digest": commit({"outputs": _listing(facts.outputs)}),
            "output_size_bytes": sum(item.size for _, item in facts.outputs)}


def _attest(facts: StepFacts) -> Dict[str, JSONValue]:
    products = facts.outputs if facts.status == SUCCEEDED else ()
    attest: Dict[str, JSONValue] = {
        "_type": "https://tessary.dev/step/v1",
        "step": facts.step.name,
        "status": facts.status,
        "exit_status": facts.exit_status,
        "materials": {name: item.describe() for name, item in facts.inputs},
        "products": {name: item.describe() for name, item in products},
        "params": facts.step.params,
        "method": facts.step.document,
        "started": facts.started,
        "ended": facts.ended,
    }
    if facts.argv is not None:
        attest["argv"] = facts.argv
    return attest


def _payload(facts: StepFacts, dom: str, cod: str) -> Tuple[Dict[str, JSONValue], str]:
    shape_root = facts.step.shape_root
    span = commit({"cod": cod, "dom": dom, "method_shape_root": shape_root})
    trace_root = sha256_prefixed(span.encode("ascii"))
    identity_root = _ANONYMOUS if facts.identity is None else sha256_prefixed(facts.identity.encode("utf-8"))
    payload: Dict[str, JSONValue] = {
        "trace_id": facts.trace,
        "method_ref": {"method_id": facts.step.name, "version": facts.step.version, "method_shape_root": shape_root},
        "data_shape_hash": inputs_commitment(facts.inputs),
        "span_commitments": [span],
        "roots": {"trace_set_root": trace_root, "identity_root": identity_root, "trace_seq_root": trace_root},
        "cdf_metadata": None,
    }
    items = [item for _, item in facts.inputs]
    if items:
        manifest = chunk_manifest(items)
        payload["chunk_manifest_hash"] = _digest32(sha256(manifest).digest())
        payload["chunk_manifest_size_bytes"] = len(manifest)
        payload["merkle_root"] = _digest32(merkle_root(c.digest for item in items for c in item.chunks))
        payload.update(sketch_fields(items))
    if facts.links:
        payload["prev_execution_rid"] = facts.links[0]
    payload.update(_output_fields(facts))
    return payload, shape_root


def sketch_fields(items: Sequence[Item]) -> Dict[str, JSONValue]:
    """The inputs' chunk set as a MinHash signature and its count of distinct chunks; nothing for no chunks."""
    digests = [c.digest for item in items for c in item.chunks]
    if not digests:
        return {}
    return {"minhash_signature": list(MinHash.of(digests).to_bytes()), "hll_cardinality": cardinality(digests)}


def _envelope(kind: str, dom: str, cod: str, links: List[str], when: str, payload: Dict[str, JSONValue],
              attest: JSONValue) -> Dict[str, JSONValue]:
    ctx = {"policy_ref": None, "timestamp": when, "nonce": None, "determinism": "observational", "identity_ref": None}
    return {"rid": uuid4_text(), "version": _VERSION, "kind": kind, "dom": dom, "cod": cod, "links": links,
            "ctx": ctx, "payload": payload, "attest": attest, "sig": None, "hash": ""}


def _text(wire: Dict[str, JSONValue]) -> str:
    return json.dumps(wire, separators=(",", ":"), ensure_ascii=False, allow_nan=False)


def seal(wire: Dict[str, JSONValue]) -> Receipt:
    """The receipt of ``wire`` with its hash, in the native writer's text, after the three checks."""
    wire = dict(wire, hash="")
    wire["hash"] = Receipt.from_json(_text(wire)).compute_hash()
    text = receipt_json(receipt_from_json(_text(wire)))
    receipt = Receipt.from_json(text)
    verify_strict(receipt)
    if receipt_json(receipt_from_json(text)) != text:
        raise ReceiptError("a step receipt does not read back to the same JSON")
    return receipt


def execution_receipt(facts: StepFacts) -> Receipt:
    data_hash = inputs_commitment(facts.inputs)
    dom = commit({"data_shape_hash": data_hash, "params": facts.step.params})
    products = facts.outputs if facts.status == SUCCEEDED else ()
    cod = commit({"outputs": _listing(products), "status": facts.status})
    payload, _ = _payload(facts, dom, cod)
    return seal(_envelope("execution", dom, cod, list(facts.links), facts.ended, payload, _attest(facts)))


def spend_receipt(execution: Receipt, usage: Usage, prices: Prices,
                  justification: Optional[Dict[str, JSONValue]] = None, when: Optional[str] = None) -> Receipt:
    """What running ``execution`` cost; with a ``justification``, what reusing it cost, at time ``when``."""
    meter = meter_of(usage)
    unit_prices: Dict[str, Optional[float]] = {name: prices.unit_prices.get(name) for name in meter}
    payload: Dict[str, JSONValue] = {
        "meter": meter,
        "unit_prices": unit_prices,
        "currency": prices.currency,
        "pricing_policy_ref": None,
        "total_value": total_value(meter, prices),
        "pointers": {"trace_id": execution.trace, "span_ids": [execution.rid]},
        "justification": justification,
    }
    cod = commit({"currency": prices.currency, "meter": meter, "unit_prices": unit_prices})
    return seal(_envelope("spend", execution.hash, cod, [execution.rid], when or execution.timestamp, payload, None))


def succeeded(receipt: Receipt) -> bool:
    """Whether a receipt is a step's execution receipt that says the step succeeded."""
    attest = receipt.attest
    return receipt.kind is ReceiptKind.EXECUTION and isinstance(attest, Mapping) and attest.get("status") == SUCCEEDED


def work_of(receipt: Receipt) -> Tuple[str, str, str, str]:
    """What makes two runs the same work: step name, version, method shape root and input commitment."""
    ref = receipt.payload.get("method_ref")
    fields = ref if isinstance(ref, Mapping) else {}
    return (str(fields.get("method_id")), str(fields.get("version")), str(fields.get("method_shape_root")),
            str(receipt.payload.get("data_shape_hash")))


class OutputsOfWork:
    """The outputs each piece of work gave, to find the same work giving another output (a non-deterministic step)."""

    def __init__(self) -> None:
        self._seen: Dict[Tuple[str, str, str, str], Dict[str, str]] = {}

    def add(self, receipt: Receipt) -> Optional[str]:
        """None, or the identifier of an earlier run of the same work whose output differs from this run's."""
        if not succeeded(receipt):
            return None
        digest = str(receipt.payload.get("output_digest"))
        outputs = self._seen.setdefault(work_of(receipt), {})
        if digest in outputs:
            return None
        other = next(iter(outputs.values()), None)
        outputs[digest] = receipt.rid
        return other
