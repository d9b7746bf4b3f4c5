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
