"""Every entry point, fed hostile objects, ends in a result or an ordinary exception.

Hostile: protocol methods that raise, return the wrong type or clear the
container the object came in; dict and str subclasses; huge and negative
integers. A SystemError means the module broke the C API's rules.
"""
import inspect
import os
import tempfile

from hypothesis import HealthCheck, given, settings, strategies as st

import _tessary
from _tessary import Client, delta, receipts, shapes
from hostile_objects import Hostile, Probe, call_kw
from tessary import _native


class OddDict(dict):
    def __getitem__(self, key): raise Hostile()
    def items(self): raise Hostile()


class OddStr(str):
    def __str__(self): raise Hostile()
    def __eq__(self, other): raise Hostile()
    __hash__ = str.__hash__


plain = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**200), max_value=2**200),
    st.sampled_from([-1, 2**64, 2**63, -(2**63) - 1, float("nan"), float("inf"), -0.0]),
    st.floats(), st.text(max_size=8), st.binary(max_size=8),
    st.builds(OddStr, st.text(max_size=4)),
    st.builds(lambda v: OddDict({"c_id": v, "alpha": v}), st.floats()),
    st.dictionaries(st.text(max_size=4), st.integers() | st.text(max_size=4), max_size=3),
    st.lists(st.text(max_size=4) | st.integers(), max_size=3),
)
behaviours = st.sampled_from(["raise", "clear", None, "x", 3.5, -1, 2**70, b"b", [], {}])

RECEIPT = _tessary.record_work_py("w", {"k": 1})
STORE_DIR = tempfile.mkdtemp()
DATA_FILE = os.path.join(STORE_DIR, "data")
with open(DATA_FILE, "wb") as f:
    f.write(b"abc" * 100)

# A good value for every parameter, so that a call gets past the others to
# the one (or the element of one) that is hostile.
VALID = {
    "workload_id": "w", "payload": {"k": [1, 2.5]}, "tags": ["t"], "trace_id": "t", "parent_id": "p",
    "receipt": RECEIPT, "overlap_j": 0.5, "cost_model": {"c_id": 1.0, "c_comp": 2.0, "alpha": 0.5},
    "row_count": 10, "set1": ["a", "b"], "set2": ["b"], "json_str": RECEIPT.to_json(), "data": b"abc" * 100,
    "path": DATA_FILE, "chunk_scheme": {"type": "cdc", "avg_size": 64}, "code_hash": "sha256:" + "0" * 64,
    "params": {"a": 1}, "function_name": "f", "input_types": ["int"], "output_type": "int", "limit": 5,
    "workload": "w", "storage_path": STORE_DIR,
    # the package's native helper
    "kind": 0, "size": 64, "keep_chunks": True, "texts": [RECEIPT.to_json()], "trace": "t", "policy": "p",
    "change_epoch": "e", "pac": bytes(32), "start": 0, "end": 2**40, "n": 2,
}
# Where one parameter name means different things to two entry points.
OVERRIDES = {_native.shape_of_file: {"path": os.fsencode(DATA_FILE)}, _native.Store: {"path": STORE_DIR}}


def entry_points():
    clients = [Client(), Client(STORE_DIR)]
    points = [getattr(m, n) for m in (_tessary, delta, receipts, shapes) for n in dir(m)
              if not n.startswith("_") and callable(getattr(m, n)) and not isinstance(getattr(m, n), type)]
    points += [getattr(c, n) for c in clients for n in dir(Client) if not n.startswith("_")]
    points += [getattr(RECEIPT, n) for n in dir(receipts.PyReceipt) if not n.startswith("_")]
    points += [Client, receipts.PyReceipt]
    hasher, store = _native.Hasher(0, 64, True), _native.Store(STORE_DIR)
    points += [_native.Hasher, _native.Store, _native.shape_of_buffer, _native.shape_of_file, hasher.update,
               hasher.copy, store.store_many, store.query, store.cursor, store.cursor().next_batch]
    return points


POINTS = entry_points()


@settings(max_examples=int(os.environ.get("HOSTILE_EXAMPLES", 400)), deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(POINTS), st.data())
def test_entry_points_survive_hostile_arguments(fn, data):
    try:
        names = [p.name for p in inspect.signature(fn).parameters.values()]
    except ValueError:
        names = ["storage_path"]
    kwargs = {}
    valid = {**VALID, **OVERRIDES.get(fn, {})}
    for name in names:
        good = valid.get(name)
        how = data.draw(st.sampled_from(["valid", "valid", "probe", "plain", "inside"]), label=name)
        hostile = Probe(data.draw(behaviours), kwargs) if data.draw(st.booleans()) else data.draw(plain)
        if how == "valid":
            kwargs[name] = good
        elif how == "inside" and isinstance(good, list):
            kwargs[name] = good + [hostile]
        elif how == "inside" and isinstance(good, dict):
            kwargs[name] = {**good, next(iter(good)): hostile}
        else:
            kwargs[name] = hostile
    positional = data.draw(st.booleans(), label="positional")
    cwd = os.getcwd()
    os.chdir(STORE_DIR)  # a client opened on a generated name lands here
    try:
        if positional:
            fn(*kwargs.values())
        else:
            call_kw(fn, (), kwargs)  # the dict itself, not a copy: a probe may clear it mid-call
    except SystemError:
        raise
    except Exception:
        pass
    finally:
        os.chdir(cwd)
    assert _tessary.verify_receipt_py(RECEIPT)
