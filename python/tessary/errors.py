"""The exceptions of the public package.

Every one is a ``ValueError``, as the native module's own failures are, so code
that caught those keeps working; the subclasses say which area failed.
"""

from __future__ import annotations

__all__ = [
    "TessaryError", "ReceiptError", "VerificationError", "StoreError", "ShapeError", "CostModelError", "SignatureError",
    "one_line",
]


class TessaryError(ValueError):
    """Base class of every failure tessary reports."""


class ReceiptError(TessaryError):
    """Text that is not a receipt, or a receipt that cannot be encoded."""


class VerificationError(TessaryError):
    """A receipt failed verification; the message gives the reason."""


class StoreError(TessaryError):
    """A store could not be opened, written or read."""


class ShapeError(TessaryError):
    """A data or method shape could not be computed."""


class CostModelError(TessaryError):
    """A cost model that the reuse rule cannot read."""


class SignatureError(TessaryError):
    """A key that cannot be read, a receipt that cannot be signed, or a signature that does not verify."""


def one_line(text: object) -> str:
    """``text`` (or an exception's message) folded onto one line, for an error report.

    An exception without a message is named by its class.
    """
    folded = " ".join(str(text).split())
    if not folded and isinstance(text, BaseException):
        return type(text).__name__
    return folded
