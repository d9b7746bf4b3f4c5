"""tessary: verifiable work receipts.

Record a unit of work and get back a receipt sealed by a SHA-256 hash over its
canonical body; anyone holding the receipt can verify it. Also: data shape
hashes of bytes and files, method shapes of code, reuse-or-recompute
economics, stores that keep receipts, and Ed25519 signatures that say who
vouches for a receipt.

    >>> import tessary
    >>> receipt = tessary.record("train-model", {"epochs": 3})
    >>> tessary.verify(receipt)
    True
"""

import importlib
import sys
import types
from typing import TYPE_CHECKING, Any, List

if TYPE_CHECKING:
    from .audit import AuditReport, Problem, audit
    from .client import Client
    from .filters import Filters
    from .errors import CostModelError, InputError, ReceiptError, ShapeError, SignatureError, StepError, StoreError, TessaryError, VerificationError
    from .receipts import Context, Determinism, Receipt, ReceiptKind, Signature, record, verify, verify_strict
    from .reuse import Constant, CostModel, Decision, Linear, ReuseDecision, decide_reuse, economic_delta, jaccard
    from .shapes import CDC, DEFAULT_SCHEME, Chunk, DataShape, DataShapeHasher, Fixed, data_shape, method_shape, method_shape_of
    from .signing import Keyring, PublicKey, SigningKey, TrustResult, TrustStatus, check, check_dsse, export_dsse, sign, to_in_toto, verify_dsse
    from .pgstore import PostgresStore
    from .stores import DirectoryStore, SkippedEntry, Store, open_store
    from .steps import StepRecord, step, track
    from . import steps

# Every public name and the module that defines it, imported on first use
# (PEP 562): a command that records one step need not load the stores'
# database driver, the audit or the reuse rule.
_HOMES = {name: module for module, names in (
    ("audit", "AuditReport Problem audit"),
    ("client", "Client"),
    ("filters", "Filters"),
    ("errors", "CostModelError InputError ReceiptError ShapeError SignatureError StepError StoreError TessaryError VerificationError"),
    ("receipts", "Context Determinism Receipt ReceiptKind Signature record verify verify_strict"),
    ("reuse", "Constant CostModel Decision Linear ReuseDecision decide_reuse economic_delta jaccard"),
    ("shapes", "CDC DEFAULT_SCHEME Chunk DataShape DataShapeHasher Fixed data_shape method_shape method_shape_of"),
    ("signing", "Keyring PublicKey SigningKey TrustResult TrustStatus check check_dsse export_dsse sign to_in_toto verify_dsse"),
    ("pgstore", "PostgresStore"),
    ("stores", "DirectoryStore SkippedEntry Store open_store"),
    ("steps", "StepRecord step track"),
) for name in names.split()}

__version__ = "0.1.0"

__all__ = [
    "record",
    "verify",
    "verify_strict",
    "audit",
    "AuditReport",
    "Problem",
    "Receipt",
    "ReceiptKind",
    "Context",
    "Determinism",
    "Signature",
    "Client",
    "sign",
    "check",
    "SigningKey",
    "PublicKey",
    "Keyring",
    "TrustStatus",
    "TrustResult",
    "to_in_toto",
    "export_dsse",
    "verify_dsse",
    "check_dsse",
    "Store",
    "Filters",
    "DirectoryStore",
    "SkippedEntry",
    "PostgresStore",
    "open_store",
    "data_shape",
    "DataShapeHasher",
    "DataShape",
    "Chunk",
    "CDC",
    "Fixed",
    "DEFAULT_SCHEME",
    "method_shape",
    "method_shape_of",
    "jaccard",
    "decide_reuse",
    "steps",
    "track",
    "step",
    "StepRecord",
    "economic_delta",
    "CostModel",
    "Constant",
    "Linear",
    "ReuseDecision",
    "Decision",
    "TessaryError",
    "ReceiptError",
    "VerificationError",
    "StoreError",
    "ShapeError",
    "CostModelError",
    "SignatureError",
    "InputError",
    "StepError",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is None:
        # A submodule, as ``tessary.steps``: loaded on first use like the rest.
        try:
            return importlib.import_module(f".{name}", __name__)
        except ModuleNotFoundError as e:
            if e.name != f"{__name__}.{name}":
                raise
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{home}", __name__), name)
    globals()[name] = value  # later lookups find it without coming here
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(__all__))


class _Package(types.ModuleType):
    """The package, whose name ``audit`` stays the function when the submodule of that name is imported."""

    def __setattr__(self, name: str, value: Any) -> None:
        # Importing a submodule binds its name in the package: ``tessary.audit`` is the function,
        # as it was when every name was imported up front (which bound the function last).
        if name == "audit" and isinstance(value, types.ModuleType):
            value = value.audit
        super().__setattr__(name, value)


sys.modules[__name__].__class__ = _Package
