"""The package's two native modules, as every other module reaches them.

The package's own helper, ``tessary._native``, is handed the package's error
classes here, once, so that its failures arrive already as ShapeError,
StoreError, SignatureError or ReceiptError. Import it from here, never
directly: this module is what guarantees that handover happened.

The fixed module ``_tessary`` raises ValueError for every failure and cannot
be changed; its functions are wrapped here, each with the error class of its
area, so the rest of the package never translates an exception itself.
"""

from __future__ import annotations

from typing import Any, Callable, Type, TypeVar, cast

import _tessary

from . import _native as native
from .errors import ReceiptError, ShapeError, SignatureError, StoreError, TessaryError, VerificationError

__all__ = [
    "native",
    "NativeReceipt",
    "record_work",
    "receipt_from_json",
    "receipt_json",
    "receipt_hash",
    "verify_receipt",
    "method_shape_of_code",
    "method_shape_of_signature",
]

native.use_errors(receipt=ReceiptError, shape=ShapeError, store=StoreError, signature=SignatureError)

#: The fixed module's receipt handle, the content behind every Receipt.
NativeReceipt = _tessary.receipts.PyReceipt

_F = TypeVar("_F", bound=Callable[..., Any])


def _raising(error: Type[TessaryError], function: _F) -> _F:
    """``function`` raising ``error`` with the same message where it raised ValueError."""

    def call(*args: Any, **kwargs: Any) -> Any:
        try:
            return function(*args, **kwargs)
        except ValueError as e:
            raise error(str(e)) from None

    call.__name__ = call.__qualname__ = getattr(function, "__name__", "call")
    call.__doc__ = function.__doc__
    return cast(_F, call)


record_work = _raising(ReceiptError, _tessary.record_work_py)
receipt_from_json = _raising(ReceiptError, _tessary.receipts.receipt_from_json_py)
receipt_json = _raising(ReceiptError, NativeReceipt.to_json)
receipt_hash = _raising(ReceiptError, NativeReceipt.compute_hash)
# A receipt whose content does not pass is a verification failure, not bad input.
verify_receipt = _raising(VerificationError, _tessary.verify_receipt_py)
method_shape_of_code = _raising(ShapeError, _tessary.shapes.compute_method_shape_hash_from_code_py)
method_shape_of_signature = _raising(ShapeError, _tessary.shapes.compute_method_shape_hash_from_signature_py)
