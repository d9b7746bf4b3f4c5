"""The module tree, and every binding's name, signature, docstring and argument errors."""
import inspect
import pathlib
import subprocess
import sys

import pytest

import _tessary
from _tessary import Client, delta, receipts, shapes

RECORD = "(workload_id, payload, tags=None, trace_id=None, parent_id=None)"
RECORD_FIRST = "Record a unit of work and produce a verifiable receipt."
VERIFY_FIRST = "Verify receipt integrity and hash correctness."
GETTERS = "get_rid get_kind get_version get_hash get_dom get_cod get_workload_id get_trace_id to_json validate compute_hash"
SECTIONS = ["# Arguments", "# Returns", "# Example"]
SCHEMES = ['{"type": "cdc", "avg_size": int}', '{"type": "fixed", "size": int}', "CDC with avg_size=65536", "ValueError"]
# Each binding: its signature, its docstring's first line (None: not checked) and fragments of the rest.
BINDINGS = [
    (Client, "(storage_path=None)", "Thin client for Tessary SDK.",
     ["Storage is optional and decoupled - receipts can be created without storage."]),
    (Client.record_work, "(self, /, workload_id, payload, tags=None, trace_id=None, parent_id=None)", RECORD_FIRST,
     SECTIONS),
    (Client.verify_receipt, "(self, /, receipt)", VERIFY_FIRST, SECTIONS),
    (Client.store_receipt, "(self, /, receipt)", "Store a receipt in the configured storage backend.", SECTIONS),
    (Client.list_receipts, "(self, /, workload_id=None, trace_id=None, limit=None)",
     "List receipts matching the query criteria.", SECTIONS),
    (_tessary.record_work_py, RECORD, "Module-level function: Record a unit of work.", []),
    (_tessary.verify_receipt_py, "(receipt)", "Module-level function: Verify receipt integrity.", []),
    (receipts.record_work_py, RECORD, RECORD_FIRST, []), (receipts.verify_receipt_py, "(receipt)", VERIFY_FIRST, []),
    (receipts.receipt_from_json_py, "(json_str)", "Create a receipt from JSON string.", []),
    (delta.decide_reuse_py, "(overlap_j, cost_model, row_count=None)",
     "Decide whether to reuse based on overlap and cost model.", ["Implements the reuse rule: Reuse iff J > C_id / (α · C_comp)"]),
    (delta.economic_delta_py, "(overlap_j, cost_model, row_count=None)",
     "Compute economic delta (savings estimate) from reuse decision.", ["Economic delta is defined as: ΔC ≈ α · C_comp · J - C_id"]),
    (delta.jaccard_similarity_py, "(set1, set2)", "Compute Jaccard similarity between two sets.",
     ["Jaccard similarity is defined as: J(U,V) = |U ∩ V| / |U ∪ V|"]),
    
    (shapes.compute_data_shape_hash_from_file_py, "(path, chunk_scheme=None)", "Compute data shape hash from a file.", SCHEMES),
    (shapes.compute_data_shape_hash_from_bytes_py, "(data, chunk_scheme=None)", "Compute data shape hash from bytes.", SCHEMES),
    (shapes.compute_method_shape_hash_from_code_py, "(code_hash, params=None)",
     "Compute method shape hash from code hash and parameters.", ["ValueError"]),
    (shapes.compute_method_shape_hash_from_signature_py, "(function_name, input_types, output_type)",
     "Compute method shape hash from function signature.", ["ValueError"]),
    *[(getattr(receipts.PyReceipt, name), "(self, /)", None, []) for name in GETTERS.split()],
]


@pytest.mark.parametrize("obj, signature, first, fragments", BINDINGS)
def test_signature_and_doc_texts(obj, signature, first, fragments):
    assert str(inspect.signature(obj)) == signature and all(fragment in obj.__doc__ for fragment in fragments)
    assert first is None or obj.__doc__.splitlines()[0] == first


def test_module_tree():
    assert _tessary.__all__ == ["Client", "record_work_py", "verify_receipt_py", "delta", "receipts", "shapes"]
    assert _tessary.__doc__.splitlines()[0] == "Python module definition" and len(_tessary.__doc__.splitlines()) == 5
    assert "tessary/__init__.py" in _tessary.__doc__
    assert (delta.__name__, delta.__doc__, delta.__all__) == (
        "delta", "Python bindings for delta compute operations",
        ["decide_reuse_py", "economic_delta_py", "jaccard_similarity_py"])
    assert (shapes.__doc__, shapes.__all__) == ("Python bindings for shape operations", [
        "compute_data_shape_hash_from_file_py", "compute_data_shape_hash_from_bytes_py",
        "compute_method_shape_hash_from_code_py", "compute_method_shape_hash_from_signature_py"])
    assert receipts.__all__ == ["PyReceipt", "receipt_from_json_py", "record_work_py", "verify_receipt_py"]
    for module in (delta, receipts, shapes):
        for fn in [getattr(module, n) for n in module.__all__ if inspect.isbuiltin(getattr(module, n))]:
            assert fn.__self__ is module and fn.__module__ == module.__name__
    with pytest.raises(TypeError):
        receipts.PyReceipt()  # handles come only from recording or reading
    # Submodules are attributes, not importable packages.
    assert not {"delta", "_tessary.delta"} & set(sys.modules)
    with pytest.raises(ModuleNotFoundError):
        __import__("_tessary.delta")
    returns = delta.decide_reuse_py.__doc__.split("Returns:")[1]
    assert all(w in returns for w in ('"decision"', '"justification"', '"reuse"', '"recompute"', '"hybrid"'))
    assert "Tuple" not in returns


def test_second_initialisation_fails():
    code = "import sys, _tessary\ndel sys.modules['_tessary']\nimport _tessary"
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.returncode == 1 and "\nImportError" in run.stderr


def cannot(arg, got, to):
    return f"argument '{arg}': '{got}' object cannot be converted to '{to}'"


J = delta.jaccard_similarity_py
MODEL = {"c_id": 10, "c_comp": 100, "alpha": 0.5}
RECORDERS = [_tessary.record_work_py, receipts.record_work_py, Client().record_work]
ARGUMENT_ERRORS = [
    # The interpreter's own wording for arity and keywords.
    (lambda: J(), "jaccard_similarity_py() missing 2 required positional arguments: 'set1' and 'set2'"),
    (lambda: J([], [], []), "jaccard_similarity_py() takes 2 positional arguments but 3 were given"),
    (lambda: J([], set2=[], other=1), "jaccard_similarity_py() got an unexpected keyword argument 'other'"),
    (lambda: J([], set1=[]), "jaccard_similarity_py() got multiple values for argument 'set1'"),
    (lambda: J(**{"set1": [], "set2": [], 1: 2}), "jaccard_similarity_py() keywords must be strings"),
    (lambda: Client("a", "b"), "Client() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: Client().record_work("w"), "Client.record_work() missing 1 required positional argument: 'payload'"),
    # Conversions.
    (lambda: J("ab", ["a"]), "argument 'set1': Can't extract `str` to `Vec`"),
    (lambda: J({"a"}, ["a"]), cannot("set1", "set", "Sequence")),
    (lambda: J(["a", 1], ["a"]), cannot("set1", "int", "PyString")),
    (lambda: delta.decide_reuse_py("x", MODEL), "argument 'overlap_j': must be real number, not str"),
    (lambda: delta.decide_reuse_py(0.5, [1]), cannot("cost_model", "list", "PyDict")),
    (lambda: delta.decide_reuse_py(0.5, MODEL, 2.5),
     "argument 'row_count': 'float' object cannot be interpreted as an integer"),
    # Arguments convert in order: a bad row count wins over a bad model's content.
    (lambda: delta.decide_reuse_py(0.5, {}, "1"),
     "argument 'row_count': 'str' object cannot be interpreted as an integer"),
    *[(lambda r=r: r("w", [1]), cannot("payload", "list", "PyDict")) for r in RECORDERS],
    (lambda: RECORDERS[0](1, [1]), cannot("workload_id", "int", "PyString")),
    # All arguments convert before the payload goes to the json module.
    (lambda: RECORDERS[1]("w", {"s": {1}}, trace_id=5), cannot("trace_id", "int", "PyString")),
    *[(lambda v=v: v({}), cannot("receipt", "dict", "PyReceipt"))
      for v in (_tessary.verify_receipt_py, receipts.verify_receipt_py)],
    (lambda: receipts.receipt_from_json_py(b"{}"), cannot("json_str", "bytes", "PyString")),
    (lambda: Client(1), cannot("storage_path", "int", "PyString")),
    # Argument errors come before the storage test.
    (lambda: Client().store_receipt({}), cannot("receipt", "dict", "PyReceipt")),
    (lambda: Client().list_receipts(workload_id=1), cannot("workload_id", "int", "PyString")),
    (lambda: shapes.compute_data_shape_hash_from_bytes_py(bytearray(b"x")), cannot("data", "bytearray", "PyBytes")),
    (lambda: shapes.compute_data_shape_hash_from_file_py(pathlib.Path("x")), cannot("path", "PosixPath", "PyString")),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("call, message", [
    (lambda: delta.decide_reuse_py(2**2000, MODEL), "^int too large to convert to float$"),
    (lambda: delta.decide_reuse_py(0.5, MODEL, -1), None), (lambda: Client().list_receipts(limit=-1), None),
])
def test_out_of_range_numbers(call, message):
    with pytest.raises(OverflowError, match=message):
        call()
