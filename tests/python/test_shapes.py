"""Data and method shape hashes through the shapes submodule."""
import hashlib
import json
import os

import pytest
from hypothesis import given, settings, strategies as st

from _tessary import shapes

EMPTY = "sha256:91842f979204361af2c7457f3d229db1f681b55579853983390c109fcb6a4335"


def sha(text):
    return "sha256:" + hashlib.sha256(text.encode()).hexdigest()


def merkle_root(digests):
    # Pairs from the left, an odd last node carried up unchanged.
    level = [hashlib.sha256(b"\x00" + d).digest() for d in digests]
    if not level:
        return hashlib.sha256(b"\x00").digest()
    while len(level) > 1:
        nxt = [hashlib.sha256(b"\x01" + level[i] + level[i + 1]).digest() for i in range(0, len(level) - 1, 2)]
        if len(level) % 2:
            nxt.append(level[-1])
        level = nxt
    return level[0]


def reference_hash(data, size):
    """The data shape hash of fixed-size chunks, written out independently."""
    digests = [hashlib.sha256(data[i : i + size]).digest() for i in range(0, len(data), size)]
    doc = {
        "chunk_scheme": {"size": size, "type": "fixed"},
        "kind": "bytestream",
        "manifest_len": len(data),
        "manifest_root": "sha256:" + merkle_root(digests).hex(),
    }
    return sha(json.dumps(doc, sort_keys=True, separators=(",", ":")))


@pytest.mark.parametrize(
    "data, scheme, expected",
    [
        (b"", None, EMPTY),
        (b"abcdefghij", {"type": "fixed", "size": 4}, "sha256:d35378f7601f23b0b8ce1ea93600134522df75f1587312c2e7ee2c7bc65484d8"),
        (b"abc", {"type": "cdc", "avg_size": True, "extra": "ignored"}, None),
    ],
)
def test_literal_data_shape_hashes(data, scheme, expected):
    result = shapes.compute_data_shape_hash_from_bytes_py(data, scheme)
    if expected:
        assert result == expected
    assert result == shapes.compute_data_shape_hash_from_bytes_py(data=data, chunk_scheme=scheme)


@settings(max_examples=40, deadline=None)
@given(st.binary(max_size=3000), st.integers(1, 700))
def test_fixed_chunks_match_an_independent_merkle_tree(data, size):
    assert shapes.compute_data_shape_hash_from_bytes_py(data, {"type": "fixed", "size": size}) == reference_hash(data, size)


@pytest.mark.parametrize(
    "scheme, message",
    [
        ({}, "Missing 'type' field in chunk_scheme"),
        ({"type": 1}, "Missing 'type' field in chunk_scheme"),
        ({"type": "cdc"}, "Missing 'avg_size' field in chunk_scheme"),
        ({"type": "cdc", "avg_size": -1}, "Missing 'avg_size' field in chunk_scheme"),
        ({"type": "cdc", "avg_size": 2**64}, "Missing 'avg_size' field in chunk_scheme"),
        ({"type": "fixed", "avg_size": 4}, "Missing 'size' field in chunk_scheme"),
        ({"type": "CDC", "avg_size": 8}, "Invalid chunk_scheme type 'CDC', expected 'cdc' or 'fixed'"),
        (
            {"type": "cdc", "avg_size": 0},
            "Failed to compute data shape hash: Serialization failed: Failed to build manifest: Chunking failed: "
            "Average chunk size must be > 0. Context: data_size: 5, chunk_scheme: CDC { avg_size: 0 }",
        ),
    ],
)
def test_chunk_scheme_messages(scheme, message):
    with pytest.raises(ValueError) as info:
        shapes.compute_data_shape_hash_from_bytes_py(b"12345", scheme)
    assert str(info.value) == message


def test_file_equals_bytes_and_file_errors(tmp_path):
    data = os.urandom(200_000)
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    for scheme in (None, {"type": "fixed", "size": 1000}, {"type": "cdc", "avg_size": 777}):
        assert shapes.compute_data_shape_hash_from_file_py(str(path), scheme) == shapes.compute_data_shape_hash_from_bytes_py(data, scheme)

    prefix = "Failed to compute data shape hash: Serialization failed: Failed to read file: "
    missing = str(tmp_path / 'no "such"\tfile')
    with pytest.raises(ValueError) as info:
        shapes.compute_data_shape_hash_from_file_py(missing)
    escaped = missing.replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t")
    assert str(info.value) == f'{prefix}No such file or directory (os error 2). Context: path: "{escaped}"'
    # A bad scheme is reported before the file is touched.
    with pytest.raises(ValueError, match="^Invalid chunk_scheme type"):
        shapes.compute_data_shape_hash_from_file_py(missing, {"type": "x"})


ZEROS = "0" * 64


@pytest.mark.parametrize(
    "code_hash, params, document",
    [
        (ZEROS, None, {"code_hash": "sha256:" + ZEROS}),
        ("sha256:" + ZEROS, None, {"code_hash": "sha256:" + ZEROS}),
        (ZEROS, {"k": 1}, {"code_hash": "sha256:" + ZEROS, "params": {"k": 1}}),
        (ZEROS, {}, {"code_hash": "sha256:" + ZEROS, "params": {}}),
        ("AB" * 32, {"b": [1.5, None, "é"], "a": True}, {"code_hash": "sha256:" + "AB" * 32, "params": {"a": True, "b": [1.5, None, "é"]}}),
    ],
)
def test_method_shape_from_code(code_hash, params, document):
    expected = sha(json.dumps(document, sort_keys=True, separators=(",", ":"), ensure_ascii=False))
    assert shapes.compute_method_shape_hash_from_code_py(code_hash, params) == expected


def test_method_shape_literals_and_errors():
    assert shapes.compute_method_shape_hash_from_code_py(ZEROS) == "sha256:9d3160cf399aaf1713fc2e22c312f0fe9be2dee556767decdac6bf776641d560"
    assert shapes.compute_method_shape_hash_from_signature_py("f", ("int",), "str") == "sha256:8dec98e8ef39bb1067c1b018dc0d2b20eb99dc539fe8dba7c949395284a0575e"
    prefix = "Failed to compute method shape hash: "
    for bad in ["", "SHA256:" + ZEROS, "g" * 64]:
        with pytest.raises(ValueError) as info:
            shapes.compute_method_shape_hash_from_code_py(bad)
        assert str(info.value) == f"{prefix}Invalid hash format: Invalid code hash format: {bad}"
    with pytest.raises(ValueError) as info:
        shapes.compute_method_shape_hash_from_signature_py("", [], "")
    assert str(info.value) == f"{prefix}Invalid input: Function name cannot be empty"
    with pytest.raises(ValueError, match="^Failed to parse params JSON: "):
        shapes.compute_method_shape_hash_from_code_py(ZEROS, {"x": float("nan")})
    with pytest.raises(TypeError, match="not JSON serializable"):
        shapes.compute_method_shape_hash_from_code_py(ZEROS, {"x": {1, 2}})
