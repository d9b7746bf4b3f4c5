from collections.abc import Sequence
from typing import Any

__all__ = [
    "compute_data_shape_hash_from_file_py",
    "compute_data_shape_hash_from_bytes_py",
    "compute_method_shape_hash_from_code_py",
    "compute_method_shape_hash_from_signature_py",
]

# chunk_scheme: {"type": "cdc", "avg_size": int} or {"type": "fixed", "size": int};
# other content raises ValueError. Every function returns "sha256:" + 64 hex digits.
def compute_data_shape_hash_from_file_py(path: str, chunk_scheme: dict[str, Any] | None = None) -> str: ...

# bytes only: a bytearray or memoryview raises TypeError.
def compute_data_shape_hash_from_bytes_py(data: bytes, chunk_scheme: dict[str, Any] | None = None) -> str: ...

# params goes through json.dumps, like a payload.
def compute_method_shape_hash_from_code_py(code_hash: str, params: dict[Any, Any] | None = None) -> str: ...
def compute_method_shape_hash_from_signature_py(
    function_name: str, input_types: Sequence[str], output_type: str
) -> str: ...
