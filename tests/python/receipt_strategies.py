"""Receipt JSON objects for property tests, driven by one table of the wire layout.

The table tells `receipts()` what to generate, `expected()` what the adapter must write back, `body()` which CBOR item
each field becomes in the hashed body, and `leaves()` where a value can be changed."""
import base64
import json
import struct
import uuid
from typing import Any, Callable, Dict, Iterator, List, Mapping, Tuple, Union

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

from _tessary import receipts as receipts_module

# A field's type: a name from the table or of a scalar, or ("list", element type).
FieldType = Union[str, Tuple[str, str]]
Field = Tuple[str, FieldType, str]  # name, type, presence
Path = Tuple[Union[str, int], ...]  # keys and indexes from the receipt object down to a value

# "name:type" in wire order; "?" null when absent, "~" left out when absent;
# "[T]" a list of T, never empty in a full receipt.
LAYOUT: Dict[str, str] = {
    "Receipt": "rid:uuid version:version kind:kind dom:hash cod:hash links:links? ctx:Context payload:payload "
               "attest:value? sig:sig? hash:seal",
    "Context": "policy_ref:policy? timestamp:timestamp nonce:text? determinism:determinism? identity_ref:identity?",
    "Signature": "alg:text kid:text sig:text",
    "DataShapePayload": "schema_hash:hash sketch_hash:hash?",
    "MethodShapePayload": "nodes:[MethodNodeRef] edges:[Edge]? root_multiset:hash dag_hash:hash?",
    "MethodNodeRef": "id:text span_shape_hash:hash",
    "Edge": "from:text to:text",
    "ReasoningShapePayload": "intent_hash:hash dag_hash:hash node_refs:[ReasoningNodeRef] policy_ref:text? "
                             "quality:ReasoningQuality?",
    "ReasoningNodeRef": "node_id:text operator_ref:text pox_ref:text?",
    "ReasoningQuality": "success_score:f32? eval_method:text? review_hash:hash? confidence:f32?",
    "ExecutionPayload": "trace_id:text method_ref:MethodRef data_shape_hash:hash span_commitments:[hash] "
                        "roots:ExecutionRoots cdf_metadata:[CdfMetadata]? pac:digest~ change_epoch:epoch~ "
                        "minhash_signature:bytes~ hll_cardinality:hll~ chunk_manifest_hash:digest~ "
                        "chunk_manifest_size_bytes:u64~ merkle_root:digest~ prev_execution_rid:uuid~ "
                        "output_digest:text~ manifest_root:digest~ output_mime_type:text~ output_size_bytes:u64~ "
                        "input_locator_refs:[EncryptedLocatorRef]~ output_locator_ref:EncryptedLocatorRef~",
    "MethodRef": "method_id:text version:text method_shape_root:hash",
    "ExecutionRoots": "trace_set_root:hash identity_root:hash trace_seq_root:hash?",
    "CdfMetadata": "commit_version:i64 change_type:text commit_timestamp:text",
    "EncryptedLocatorRef": "encrypted_data:bytes content_hash:text encryption_scheme:text",
    "SpendPayload": "meter:ResourceVector unit_prices:ResourceVector currency:currency pricing_policy_ref:text? "
                    "total_value:f64 pointers:SpendPointers justification:ReuseJustification?",
    "ResourceVector": "vcpu_sec:f64? gpu_sec:f64? gb_sec:f64? requests:f64? energy_kwh:f64?",
    "SpendPointers": "trace_id:text span_ids:[text]?",
    "ReuseJustification": "overlap_j:f64? alpha:f64? c_id:f64? c_comp:f64? decision:text? layer:layer? "
                          "minhash_sketch:text?",
    "SettlementPayload": "wur_refs:[text] net_positions:nummap rules_ref:text cash_instr:value?",
}
KINDS = {"data_shape": "DataShapePayload", "method_shape": "MethodShapePayload",
         "reasoning_shape": "ReasoningShapePayload", "execution": "ExecutionPayload",
         "spend": "SpendPayload", "settlement": "SettlementPayload"}
REQ, NULL, OMIT = "", "?", "~"


def parse_field(entry: str) -> Field:
    name, tp = entry.split(":")
    presence, tp = (tp[-1], tp[:-1]) if tp[-1] in "?~" else (REQ, tp)
    return name, ("list", tp[1:-1]) if tp.startswith("[") else tp, presence


FIELDS: Dict[str, List[Field]] = {name: [parse_field(entry) for entry in text.split()] for name, text in LAYOUT.items()}
for _kind, _payload in KINDS.items():  # one envelope per kind, its payload resolved
    FIELDS["Receipt/" + _kind] = [(f, _payload if tp == "payload" else tp, p) for f, tp, p in FIELDS["Receipt"]]
U64, I64 = 2**64 - 1, 2**63


def checked(examples: int) -> settings:
    """Settings for the receipt properties: large inputs, and no deadline on a busy machine."""
    return settings(max_examples=examples, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


def f32(x: float) -> float:
    return float(struct.unpack("<f", struct.pack("<f", x))[0])


class F32(float):
    """A single-precision field read back: equal to anything that rounds to the same single."""

    def __eq__(self, other: object) -> bool:
        return isinstance(other, (int, float)) and f32(other) == f32(self)

    __hash__ = float.__hash__


def b64url(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


# -- generation ---------------------------------------------------------------------------
TEXT = st.text(st.characters(blacklist_categories=["Cs"]), max_size=8)
hash_like = st.text("0123456789abcdef", min_size=64, max_size=64).map("sha256:".__add__)
uuid_text = st.builds(lambda raw, form: form(uuid.UUID(bytes=raw)), st.binary(min_size=16, max_size=16),
                      st.sampled_from([str, lambda u: str(u).upper(), lambda u: u.hex, "{{{}}}".format,
                                       lambda u: u.urn]))
json_value = st.recursive(
    st.none() | st.booleans() | st.integers(-2**100, 2**100) | TEXT | st.floats(allow_nan=False, allow_infinity=False),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(TEXT, inner, max_size=4), max_leaves=12)
FREE: Dict[str, st.SearchStrategy[Any]] = {
    "u64": st.integers(0, U64), "hll": st.integers(0, U64), "i64": st.integers(-I64, I64 - 1),
    "f64": st.floats(allow_nan=False, allow_infinity=False) | st.integers(-I64, U64),
    "f32": st.floats(width=32, allow_nan=False, allow_infinity=False)
    | st.floats(-3e38, 3e38) | st.integers(-2**24, 2**24),
    "digest": st.binary(min_size=32, max_size=32).flatmap(lambda raw: st.sampled_from([b64url(raw), list(raw)])),
    "uuid": uuid_text, "bytes": st.lists(st.integers(0, 255), max_size=6), "value": json_value,
    "nummap": st.dictionaries(TEXT, st.floats(allow_nan=False, allow_infinity=False)
                              | st.integers(-1000, 1000), max_size=4),
    "determinism": st.sampled_from(["strict", "bounded", "observational"]),
    "links": st.lists(uuid_text | st.sampled_from([7, None, "not-a-uuid", "", ["x"]]), max_size=3)
    | st.sampled_from(["x", {}]),
    "hash": TEXT | hash_like,
}


def value_of(tp: FieldType, full: bool) -> st.SearchStrategy[Any]:
    if isinstance(tp, tuple):
        return st.lists(value_of(tp[1], full), min_size=int(full), max_size=3)
    if tp in FIELDS:
        return record(tp, full)
    if tp == "sig":
        bad = st.sampled_from([5, "sig", {"alg": "a", "sig": "s"}, {"alg": "a", "kid": 1, "sig": "s"}])
        return record("Signature", full) | (st.nothing() if full else bad)
    if tp == "value" and full:
        return st.dictionaries(TEXT, json_value, min_size=1, max_size=4)
    return FREE.get(tp, TEXT)


@st.composite
def record(draw: st.DrawFn, name: str, full: bool = False) -> Dict[str, Any]:
    obj: Dict[str, Any] = {}
    for field, tp, presence in FIELDS[name]:
        choice = "set" if presence == REQ or full else draw(st.sampled_from(["set", "absent", "null"]))
        if tp == "kind":
            obj[field] = name.split("/")[1]
        elif choice != "absent":
            obj[field] = draw(value_of(tp, full)) if choice == "set" else None
    if draw(st.booleans()):
        obj["unknown_" + draw(st.text("xyz", max_size=2))] = draw(json_value)
    return {k: obj[k] for k in draw(st.permutations(list(obj)))}


def receipts(full: bool = False) -> st.SearchStrategy[Dict[str, Any]]:
    """Receipt JSON objects, of no particular validity; `full` ones lack no field."""
    return st.sampled_from(list(KINDS)).flatmap(lambda kind: record("Receipt/" + kind, full))


def dumps(obj: Any, **style: Any) -> str:
    return json.dumps(obj, **{"ensure_ascii": False, **style})


text_styles = st.fixed_dictionaries({"ensure_ascii": st.booleans(), "indent": st.sampled_from([None, 0, 2])})


def seal(obj: Mapping[str, Any]) -> receipts_module.PyReceipt:
    """The receipt of `obj` with its hash field set to the hash of its body."""
    hashed = receipts_module.receipt_from_json_py(dumps(dict(obj, hash=""))).compute_hash()
    return receipts_module.receipt_from_json_py(dumps(dict(obj, hash=hashed)))


H0 = "sha256:" + "0" * 64


def minimal(kind: str, payload: Any, **top: Any) -> Dict[str, Any]:
    """One receipt object of `kind` around `payload`, every other digest zero."""
    return dict({"rid": "00112233-4455-6677-8899-aabbccddeeff", "version": "0.1.0", "kind": kind, "dom": H0,
                 "cod": H0, "links": [], "ctx": {"timestamp": "2025-01-17T12:00:00Z"}, "payload": payload,
                 "hash": ""}, **top)


def execution_payload(trace: str = "t", workload: str = "w", **more: Any) -> Dict[str, Any]:
    """The smallest execution payload, every digest zero."""
    return {"trace_id": trace, "method_ref": {"method_id": workload, "version": "1", "method_shape_root": H0},
            "data_shape_hash": H0, "span_commitments": [H0], "roots": {"trace_set_root": H0, "identity_root": H0}, **more}


def ordered(v: Any) -> Any:
    """A JSON value in which member order counts for ==."""
    if isinstance(v, dict):
        return tuple((k, ordered(x)) for k, x in v.items())
    return [ordered(x) for x in v] if isinstance(v, list) else v


# -- what comes back -----------------------------------------------------------------------
def structured(v: Any) -> Any:
    """A structured item as written back: members sorted, integers beyond 64 bits as floats."""
    if isinstance(v, dict):
        return {k: structured(v[k]) for k in sorted(v)}
    if isinstance(v, list):
        return [structured(x) for x in v]
    return float(v) if type(v) is int and not -I64 <= v <= U64 else v


def is_uuid(x: object) -> bool:
    try:
        return isinstance(x, str) and bool(uuid.UUID(x))
    except ValueError:
        return False


def expected(v: Any, tp: FieldType) -> Any:
    """The JSON value the adapter writes for input `v` of type `tp` (a receipt: "Receipt/<kind>")."""
    if tp == "links":
        return [str(uuid.UUID(x)) for x in v if is_uuid(x)] if isinstance(v, list) else []
    if tp == "sig" and isinstance(v, dict) and all(isinstance(v.get(k), str) for k in ("alg", "kid", "sig")):
        return expected(v, "Signature")
    if v is None or tp == "sig":
        return None
    if isinstance(tp, tuple):
        return [expected(x, tp[1]) for x in v]
    if tp in FIELDS:
        return {f: expected(v.get(f), ftp) for f, ftp, presence in FIELDS[tp]
                if v.get(f) is not None or presence != OMIT}
    convert: Dict[str, Callable[[Any], Any]] = {"uuid": lambda x: str(uuid.UUID(x)), "f64": float, "f32": lambda x: F32(f32(x)),
               "digest": lambda x: x if isinstance(x, str) else b64url(bytes(x)), "value": structured,
               "nummap": lambda m: {k: float(m[k]) for k in sorted(m)}}
    return convert.get(tp, lambda x: x)(v)


# -- the hashed body -----------------------------------------------------------------------
def body(v: Any, tp: FieldType) -> Any:
    """The CBOR item (a Python value) for written-back JSON `v` of type `tp`; a receipt's lacks the seal."""
    if v is None:
        return None
    if isinstance(tp, tuple):
        return [body(x, tp[1]) for x in v]
    if tp in FIELDS:
        return {f: body(v[f], ftp) for f, ftp, _ in FIELDS[tp] if f in v and ftp not in ("sig", "seal")}
    convert: Dict[str, Callable[[Any], Any]] = {"uuid": lambda x: uuid.UUID(x).bytes, "links": lambda xs: [uuid.UUID(x).bytes for x in xs],
               "digest": lambda x: list(base64.urlsafe_b64decode(x + "=")), "f32": f32, "f64": float,
               "nummap": lambda m: {k: float(x) for k, x in m.items()}}
    return convert.get(tp, lambda x: x)(v)


# -- places to change ----------------------------------------------------------------------
def leaves(v: Any, tp: FieldType, path: Path = ()) -> Iterator[Tuple[Path, str]]:
    """(path, type) of every scalar and reorderable list in written-back JSON `v`, seal and kind aside."""
    if v is None or tp in ("sig", "seal", "kind"):
        return
    if isinstance(tp, tuple) or tp == "links":
        if v[1:] + v[:1] != v:
            yield path, "rotate"
        for i, x in enumerate(v):
            yield from leaves(x, tp[1] if isinstance(tp, tuple) else "uuid", path + (i,))
    elif tp in FIELDS:
        for f, ftp, _ in FIELDS[tp]:
            yield from leaves(v.get(f), ftp, path + (f,))
    elif isinstance(v, (dict, list)) and tp != "bytes":  # structured items and number maps
        for k, x in (v.items() if isinstance(v, dict) else enumerate(v)):
            yield from leaves(x, "f64" if tp == "nummap" else tp, path + (k,))
    else:
        yield path, tp


CHANGE: Dict[str, Callable[[Any], Any]] = {"rotate": lambda v: v[1:] + v[:1], "bytes": lambda v: v + [7],
          "uuid": lambda v: str(uuid.UUID(int=uuid.UUID(v).int ^ 1)),
          "digest": lambda v: ("B" if v[0] == "A" else "A") + v[1:],
          "determinism": lambda v: "strict" if v != "strict" else "bounded"}


def changed(v: Any, tp: str) -> Any:
    """A different value of the same type, one that encodes differently in the body."""
    if tp in CHANGE:
        return CHANGE[tp](v)
    if isinstance(v, bool) or v is None:
        return not v
    if isinstance(v, int):
        return v ^ 1
    if isinstance(v, float):
        y = v * 0.5 if abs(v) > 1 else v + 1.0
        return f32(y) if tp == "f32" else y
    return v + "x"
