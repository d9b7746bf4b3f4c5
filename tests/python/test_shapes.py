"""Data and method shape hashes through the shapes submodule."""
import hashlib
import json
import os

import pytest

from _tessary import shapes

EMPTY = "sha256:91842f979204361af2c7457f3d229db1f681b55579853983390c109fcb6a4335"
FIXED4 = "sha256:d35378f7601f23b0b8ce1ea93600134522df75f1587312c2e7ee2c7bc65484d8"


def sha(text):
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


@pytest.mark.parametrize("data, scheme, same", [
    (os.urandom(400_000), None, {"type": "cdc", "avg_size": 65536}),
    (b"abcdefgh", {"type": "cdc", "avg_size": True, "extra": "ignored"}, {"type": "cdc", "avg_size": 1}),
])
def test_scheme_defaults_and_conversions(data, scheme, same):
    assert shapes.compute_data_shape_hash_from_bytes_py(b"") == EMPTY
    assert shapes.compute_data_shape_hash_from_bytes_py(b"abcdefghij", {"type": "fixed", "size": 4}) == FIXED4
    result = shapes.compute_data_shape_hash_from_bytes_py(data=data, chunk_scheme=scheme)
    assert result == shapes.compute_data_shape_hash_from_bytes_py(data, same)
    assert result != shapes.compute_data_shape_hash_from_bytes_py(data, dict(same, avg_size=same["avg_size"] * 2))


# A file's shape equals its bytes' in test_native, beside the package's own file reader.


ZEROS = "0" * 64


@pytest.mark.parametrize("code_hash, params, document", [
    (ZEROS, None, {"code_hash": "sha256:" + ZEROS}), (ZEROS, {}, {"code_hash": "sha256:" + ZEROS, "params": {}}),
    ("AB" * 32, {"b": [1.5, None, "é"], "a": True}, {"code_hash": "sha256:" + "AB" * 32, "params": {"a": True, "b": [1.5, None, "é"]}}),
])
def test_method_shape_from_code(code_hash, params, document):
    expected = sha(json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False))
    assert shapes.compute_method_shape_hash_from_code_py(code_hash, params) == expected
    assert shapes.compute_method_shape_hash_from_signature_py("f", ("int",), "str") == \
        "sha256:8dec98e8ef39bb1067c1b018dc0d2b20eb99dc539fe8dba7c949395284a0575e"


data_hash, code_hash = shapes.compute_data_shape_hash_from_bytes_py, shapes.compute_method_shape_hash_from_code_py
MISSING = "Missing '{}' field in chunk_scheme"
SHAPE_ERRORS = [
    *[(lambda s=s: data_hash(b"12345", s), MISSING.format(f)) for s, f in [
        ({}, "type"), ({"type": 1}, "type"), ({"type": "cdc"}, "avg_size"), ({"type": "cdc", "avg_size": -1}, "avg_size"),
        ({"type": "cdc", "avg_size": 2**64}, "avg_size"), ({"type": "fixed", "avg_size": 4}, "size")]],
    (lambda: data_hash(b"12345", {"type": "CDC", "avg_size": 8}),
     "Invalid chunk_scheme type 'CDC', expected 'cdc' or 'fixed'"),
    (lambda: data_hash(b"12345", {"type": "cdc", "avg_size": 0}),
     "Failed to compute data shape hash: Serialization failed: Failed to build manifest: Chunking failed: "
     "Average chunk size must be > 0. Context: data_size: 5, chunk_scheme: CDC { avg_size: 0 }"),
    (lambda: code_hash("g" * 64),
     "Failed to compute method shape hash: Invalid hash format: Invalid code hash format: " + "g" * 64),
    (lambda: shapes.compute_method_shape_hash_from_signature_py("", [], ""),
     "Failed to compute method shape hash: Invalid input: Function name cannot be empty"),
    (lambda: shapes.compute_data_shape_hash_from_file_py('/nonexistent/no "such"\tfile'),
     "Failed to compute data shape hash: Serialization failed: Failed to read file: No such file or directory "
     '(os error 2). Context: path: "/nonexistent/no \\"such\\"\\tfile"'),
    # A bad scheme is reported before the file is touched.
    (lambda: shapes.compute_data_shape_hash_from_file_py("/nonexistent", {"type": "x"}),
     "Invalid chunk_scheme type 'x', expected 'cdc' or 'fixed'"),
    # Messages that end in ": " are prefixes of the json module's own text.
    (lambda: code_hash(ZEROS, {"x": float("nan")}), "Failed to parse params JSON: "),
]


@pytest.mark.parametrize("call, message", SHAPE_ERRORS)
def test_value_errors(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message or message.endswith(": ") and str(info.value).startswith(message)


def test_params_the_json_module_refuses():
    with pytest.raises(TypeError, match="not JSON serializable"):
        code_hash(ZEROS, {"x": {1, 2}})
