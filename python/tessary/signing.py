"""Signing receipts: Ed25519 keys, key rings of trusted keys, trust checks, in-toto export.

The names of both halves in one place: :mod:`tessary.trust` holds the keys,
key rings, receipt signatures and their checks; :mod:`tessary.attestations`
the in-toto statements of receipts and the DSSE envelopes that sign them.
docs/signing.md describes the bytes.
"""

from .attestations import DSSE_PAYLOAD_TYPE, PREDICATE_TYPE, STATEMENT_TYPE, check_dsse, export_dsse, to_in_toto, verify_dsse
from .trust import ALGORITHM, SIGNED_PREFIX, Keyring, PublicKey, SigningKey, TrustResult, TrustStatus, check, sign

__all__ = [
    "SigningKey",
    "PublicKey",
    "Keyring",
    "sign",
    "check",
    "TrustStatus",
    "TrustResult",
    "to_in_toto",
    "export_dsse",
    "verify_dsse",
    "check_dsse",
    "SIGNED_PREFIX",
    "ALGORITHM",
    "PREDICATE_TYPE",
    "STATEMENT_TYPE",
    "DSSE_PAYLOAD_TYPE",
]
