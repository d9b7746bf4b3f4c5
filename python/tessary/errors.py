"""The exceptions of the public package.

Every one is a ``ValueError``, as the native module's own failures are, so code
that caught those keeps working; the subclasses say which area failed.
"""

from __future__ import annotations

from typing import Any, Tuple

__all__ = [
    "TessaryError", "ReceiptError", "VerificationError", "StoreError", "ShapeError", "CostModelError", "SignatureError", "InputError",
    "StepError", "CacheError", "one_line",
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
    """A cost model that the reuse rule cannot read, or an overlap or row count it cannot take.

    :attr:`argument` names what was refused, ``"model"``, ``"overlap"`` or
    ``"rows"``, so a caller can point at the argument its user gave.
    """

    argument: str = "model"


class SignatureError(TessaryError):
    """A key that cannot be read, a receipt that cannot be signed, or a signature that does not verify."""


class InputError(TessaryError):
    """A file or standard input that cannot be taken in: not a regular file, too large, not UTF-8, not JSON.

    A class of its own because the same refusal applies to every kind of input
    (a key, a payload, a cost model, a receipt) before any of them is parsed;
    :attr:`where` names the input and :attr:`reason` says what is wrong with it.
    """

    def __init__(self, where: str, reason: str) -> None:
        super().__init__(f"{where}: {reason}")
        self.where = where
        self.reason = reason

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.where, self.reason))


class StepError(TessaryError):
    """A tracked step that cannot be recorded: an argument that is neither input nor parameter, an output never written."""


class CacheError(TessaryError):
    """An output cache object that is missing, changed on disk, or cannot be written or restored."""


def one_line(text: object) -> str:
    """``text`` (or an exception's message) folded onto one line, for an error report.

    An exception without a message is named by its class.
    """
    folded = " ".join(str(text).split())
    if not folded and isinstance(text, BaseException):
        return type(text).__name__
    return folded
