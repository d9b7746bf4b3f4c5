"""Each native failure reaches the caller as the package's error class of its area, with its own message."""

import os
import pathlib
import subprocess
import sys

import pytest

import _tessary
import tessary
from tessary import ReceiptError, ShapeError, SignatureError, StoreError
from tessary._core import native

PYTHON_DIR = pathlib.Path(tessary.__file__).resolve().parent.parent

# (call, the class it raises in the package). Each call is also made with the
# helper as it is before the package hands it its classes, which must give
# a ValueError (or the same TypeError) with the very same message.
HELPER_CASES = [
    ("native.Store('/dev/null/x')", StoreError), ("native.receipt_rows(['{}'])", ReceiptError),
    ("native.SigningKey(b'garbage')", SignatureError), ("native.VerifyKey(b'x' * 31)", SignatureError),
    ("native.Hasher(2, 10, False)", ShapeError), ("native.shape_of_buffer(b'', 1, 0, False)", ShapeError),
    ("native.Hasher('a', 1, False)", TypeError),
]

# (call through the package, the same call into _tessary, the class raised). record's NaN is not here:
# the package names where the NaN is instead of a column of JSON text the caller never wrote.
FIXED_MODULE_CASES = [
    ("tessary.method_shape('nope')", "_tessary.shapes.compute_method_shape_hash_from_code_py('nope')", ShapeError),
    ("tessary.Receipt.from_json('{}')", "_tessary.receipts.receipt_from_json_py('{}')", ReceiptError),
]


def failure(expression):
    with pytest.raises(Exception) as info:
        eval(expression)
    return type(info.value), str(info.value)


# The helper loaded without the package's __init__, so nothing has called use_errors.
UNCONFIGURED = """
import sys, types
package = types.ModuleType("tessary")
package.__path__ = [sys.argv[1]]
sys.modules["tessary"] = package
from tessary import _native as native
for expression in sys.argv[2:]:
    try:
        eval(expression)
    except Exception as e:
        print(type(e).__name__, str(e), sep="\\t")
"""


def test_the_helper_raises_each_areas_class_with_the_message_it_had():
    calls = [call for call, _ in HELPER_CASES]
    out = subprocess.run([sys.executable, "-c", UNCONFIGURED, str(PYTHON_DIR / "tessary"), *calls],
                         capture_output=True, text=True, check=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    before = [tuple(line.split("\t", 1)) for line in out.stdout.splitlines()]
    after = [failure(call) for call in calls]
    assert len(before) == len(calls)
    for (call, expected), (kind, message), (old_kind, old_message) in zip(HELPER_CASES, after, before):
        assert kind is expected, call
        assert (old_kind, old_message) == ("TypeError" if expected is TypeError else "ValueError", message), call


@pytest.mark.parametrize("ours, theirs, expected", FIXED_MODULE_CASES)
def test_the_fixed_modules_failures_are_translated_with_their_message(ours, theirs, expected):
    assert failure(ours) == (expected, failure(theirs)[1])
    assert failure(theirs)[0] is ValueError


def test_the_helper_accepts_only_value_error_classes():
    with pytest.raises(TypeError, match="argument 'shape'"):
        native.use_errors(receipt=ReceiptError, shape=KeyError, store=StoreError, signature=SignatureError)
    with pytest.raises(TypeError):
        native.use_errors(receipt=ReceiptError, shape=ShapeError, store=StoreError)
    assert failure("native.Hasher(2, 10, False)")[0] is ShapeError  # a refused call changes nothing
