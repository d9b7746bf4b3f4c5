"""Who vouches for a receipt: Ed25519 keys, key rings of trusted keys, receipt signatures and their checks.

A receipt's hash seals its content; a signature says who vouches for it. The
signature covers the receipt hash, so it is carried beside the hash (in the
receipt's ``sig`` field) without changing it. The message signed is
:data:`SIGNED_PREFIX` followed by the hash text, e.g.
``b"tessary receipt signature v1\\nsha256:<64 hex digits>"``.

The key types are the native helper's; this module gives them files, key
identifiers and the receipt format. docs/signing.md describes the bytes.

Signing goes through the ``cryptography`` package when it is installed
(``pip install tessary[signing]``): the OpenSSL it bundles signs Ed25519
faster than the one built into this wheel. Ed25519 signatures are
deterministic, so both give the same bytes; verifying stays native.
"""

from __future__ import annotations

import base64
import binascii
import os
import re
import stat
from typing import Callable, Dict, Iterable, Iterator, NamedTuple, NoReturn, Optional, Tuple, Union

from ._core import native
from ._types import WordEnum
from .errors import ReceiptError, SignatureError, VerificationError
from .receipts import Receipt, Signature, verify_strict

__all__ = [
    "SigningKey",
    "PublicKey",
    "Keyring",
    "sign",
    "check",
    "TrustStatus",
    "TrustResult",
    "SIGNED_PREFIX",
    "ALGORITHM",
]

#: The signature algorithm receipts name in ``sig.alg``.
ALGORITHM = "ed25519"
#: What a receipt signature signs: these bytes, then the receipt hash text in ASCII.
SIGNED_PREFIX = b"tessary receipt signature v1\n"

PathLike = Union[str, "os.PathLike[str]"]

#: The length of an Ed25519 signature in bytes.
SIGNATURE_SIZE = 64
# 64 bytes are 86 characters of unpadded base64url; the last one carries two
# bits and four zero bits, so only A, Q, g and w can end the canonical text.
_SIGNATURE_TEXT = re.compile(r"[A-Za-z0-9_-]{85}[AQgw]\Z")
_URL_TO_STANDARD = bytes.maketrans(b"-_", b"+/")


def _b64url(data: bytes) -> str:
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode("ascii")


def _text_path(path: PathLike) -> str:
    text = os.fspath(path)
    return text if isinstance(text, str) else os.fsdecode(text)


def _read_key_file(path: PathLike) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def _write_new(path: str, data: bytes, mode: int, overwrite: bool) -> None:
    """Write a file that is created with ``mode`` and never has wider permissions, even for a moment.

    Without ``overwrite`` an existing file is refused (FileExistsError). With
    it, the bytes go to a fresh file beside ``path`` that then replaces it.
    Either way the key is on disk before this returns.
    """
    from ._files import create_file, replace_file

    if overwrite:
        replace_file(path, data, mode)
    else:
        create_file(path, data, mode)


class PublicKey:
    """An Ed25519 public key: verifies signatures, and names its key id.

    Made by :meth:`load`, :meth:`from_pem`, :meth:`from_raw` or
    :attr:`SigningKey.public_key`. Keys compare equal when their bytes are.
    """

    __slots__ = ("_key", "_kid")

    _key: native.VerifyKey
    _kid: str

    def __init__(self) -> None:
        raise TypeError("PublicKey objects are made by PublicKey.load(), from_pem(), from_raw() or a SigningKey")

    @classmethod
    def _wrap(cls, key: native.VerifyKey) -> "PublicKey":
        public = object.__new__(cls)
        public._key = key
        public._kid = key.kid
        return public

    @classmethod
    def _make(cls, data: bytes, what: str) -> "PublicKey":
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError(f"{what} must be bytes, not {type(data).__name__}")
        try:
            return cls._wrap(native.VerifyKey(bytes(data)))
        except SignatureError as e:
            raise SignatureError(f"not an Ed25519 public key: {e}") from None

    @classmethod
    def from_pem(cls, pem: bytes) -> "PublicKey":
        """The key of one PEM ``PUBLIC KEY`` block (SubjectPublicKeyInfo), with nothing but whitespace around it.

        Small-order and non-canonical Ed25519 keys are refused: signatures
        could be forged for the first, the second is another key's spelling.
        """
        if not isinstance(pem, (bytes, bytearray)):
            raise TypeError(f"pem must be bytes, not {type(pem).__name__}")
        if b"PRIVATE KEY" in pem:
            raise SignatureError("a private key where a public key belongs; give its .pub file")
        if not pem.lstrip().startswith(b"-----BEGIN"):
            raise SignatureError("not an Ed25519 public key: expected a PEM block")
        blocks = pem.count(b"-----BEGIN")
        if blocks > 1:
            raise SignatureError(
                f"holds {blocks} PEM blocks, and a public key file holds exactly one key; "
                "to trust several keys, put each in its own .pub file in a directory and trust the directory"
            )
        # The native helper tells PEM from raw bytes by how they begin.
        return cls._make(bytes(pem).lstrip(), "pem")

    @classmethod
    def from_raw(cls, raw: bytes) -> "PublicKey":
        """The key of its 32 raw bytes (small-order and non-canonical keys are refused)."""
        if isinstance(raw, (bytes, bytearray)) and len(raw) != 32:
            raise SignatureError(f"an Ed25519 public key is 32 bytes, got {len(raw)}")
        return cls._make(raw, "raw")

    @classmethod
    def load(cls, path: PathLike) -> "PublicKey":
        """Read a PEM public key file."""
        try:
            return cls.from_pem(_read_key_file(path))
        except SignatureError as e:
            raise SignatureError(f"{_text_path(path)}: {e}") from None

    @property
    def kid(self) -> str:
        """The key id: ``"ed25519:"`` and the unpadded base64url SHA-256 of the raw key."""
        return self._kid

    @property
    def raw(self) -> bytes:
        """The 32 raw key bytes."""
        raw: bytes = self._key.public_raw()
        return raw

    def to_pem(self) -> bytes:
        """The key as a PEM ``PUBLIC KEY`` block."""
        pem: bytes = self._key.public_pem()
        return pem

    def verify(self, data: bytes, signature: bytes) -> bool:
        """True when ``signature`` is this key's Ed25519 signature of ``data``."""
        ok: bool = self._key.verify(data, signature)
        return ok

    def save(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write the key as PEM (mode 0644); an existing file is refused unless ``overwrite``."""
        _write_new(_text_path(path), self.to_pem(), 0o644, overwrite)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PublicKey):
            return NotImplemented
        return self._kid == other._kid

    def __hash__(self) -> int:
        return hash(self._kid)

    def __reduce__(self) -> Tuple[Callable[[bytes], "PublicKey"], Tuple[bytes]]:
        # A public key travels by its raw bytes (a keyring sent to worker processes, say).
        return PublicKey.from_raw, (self.raw,)

    def __repr__(self) -> str:
        return f"<PublicKey {self._kid}>"


def _best_signer(key: native.SigningKey) -> Callable[[bytes], bytes]:
    """The fastest sign function for a native key: cryptography's when it loads, else the native one."""
    try:
        from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
        from cryptography.hazmat.primitives.serialization import load_pem_private_key

        fast = load_pem_private_key(key.private_pem(), password=None)
    except Exception:  # not installed, or a build that cannot load: the native signer is always there
        native_sign: Callable[[bytes], bytes] = key.sign
        return native_sign
    if not isinstance(fast, Ed25519PrivateKey):  # pragma: no cover - the PEM is always Ed25519
        return key.sign
    return fast.sign


class SigningKey:
    """An Ed25519 private key. Its repr names the key id only, never key material."""

    __slots__ = ("_key", "_kid", "_public", "_sign")

    _key: native.SigningKey
    _kid: str
    _public: PublicKey
    _sign: Optional[Callable[[bytes], bytes]]

    def __init__(self) -> None:
        raise TypeError("SigningKey objects are made by SigningKey.generate(), load() or from_pem()")

    @classmethod
    def _wrap(cls, key: native.SigningKey) -> "SigningKey":
        signing = object.__new__(cls)
        signing._key = key
        signing._kid = key.kid
        signing._sign = None
        signing._public = PublicKey._wrap(native.VerifyKey(key.public_raw()))
        return signing

    @classmethod
    def generate(cls) -> "SigningKey":
        """A new random key."""
        return cls._wrap(native.SigningKey(None))

    @classmethod
    def from_pem(cls, pem: bytes) -> "SigningKey":
        """The key of an unencrypted PKCS#8 PEM ``PRIVATE KEY`` block."""
        if not isinstance(pem, (bytes, bytearray)):
            raise TypeError(f"pem must be bytes, not {type(pem).__name__}")
        try:
            return cls._wrap(native.SigningKey(bytes(pem)))
        except SignatureError:
            # The native message may quote the input; key material stays out of errors.
            raise SignatureError("not an unencrypted Ed25519 private key in PKCS#8 PEM") from None

    @classmethod
    def load(cls, path: PathLike) -> "SigningKey":
        """Read a private key file written by :meth:`save` or ``tessary keygen``."""
        try:
            return cls.from_pem(_read_key_file(path))
        except SignatureError as e:
            raise SignatureError(f"{_text_path(path)}: {e}") from None

    def save(self, path: PathLike, *, overwrite: bool = False) -> None:
        """Write the key as PKCS#8 PEM to a file created with mode 0600.

        An existing file is refused (FileExistsError) unless ``overwrite``.
        """
        _write_new(_text_path(path), self._key.private_pem(), stat.S_IRUSR | stat.S_IWUSR, overwrite)

    def to_pem(self) -> bytes:
        """The private key as PKCS#8 PEM; it is the secret, handle it so."""
        pem: bytes = self._key.private_pem()
        return pem

    @property
    def public_key(self) -> PublicKey:
        """The matching public key."""
        return self._public

    @property
    def kid(self) -> str:
        """The key id of the public key."""
        return self._kid

    def sign(self, data: Union[bytes, bytearray, memoryview]) -> bytes:
        """The 64-byte Ed25519 signature of ``data``."""
        if not isinstance(data, bytes):
            try:
                data = memoryview(data).tobytes()
            except TypeError:
                raise TypeError(f"data must be bytes-like, not {type(data).__name__}") from None
        return self._signer()(data)

    def _signer(self) -> Callable[[bytes], bytes]:
        signer = self._sign
        if signer is None:
            signer = self._sign = _best_signer(self._key)
        return signer

    def __repr__(self) -> str:
        return f"<SigningKey {self._kid}>"

    def __reduce__(self) -> NoReturn:
        raise TypeError("a SigningKey is not pickled; save it to a file with save()")


AnyKey = Union[PublicKey, SigningKey]


def _public(key: AnyKey) -> PublicKey:
    if isinstance(key, PublicKey):
        return key
    if isinstance(key, SigningKey):
        return key.public_key
    raise TypeError(f"a keyring holds PublicKey objects, not {type(key).__name__}")


_KEY_SUFFIXES = (".pub", ".pem")


class Keyring:
    """The public keys whose signatures are trusted, found by key id."""

    __slots__ = ("_keys",)

    def __init__(self, keys: Iterable[AnyKey] = ()) -> None:
        self._keys: Dict[str, PublicKey] = {}
        for key in keys:
            self.add(key)

    @classmethod
    def from_paths(cls, *paths: PathLike) -> "Keyring":
        """The keys of PEM public key files, and of the ``*.pub`` and ``*.pem`` files of directories."""
        ring = cls()
        for path in paths:
            text = _text_path(path)
            if os.path.isdir(text):
                names = sorted(n for n in os.listdir(text) if n.endswith(_KEY_SUFFIXES))
                for name in names:
                    ring.add(PublicKey.load(os.path.join(text, name)))
            else:
                ring.add(PublicKey.load(text))
        return ring

    def add(self, key: AnyKey) -> PublicKey:
        """Trust a key (a signing key adds its public key); returns the public key added."""
        public = _public(key)
        self._keys[public.kid] = public
        return public

    def get(self, kid: str) -> Optional[PublicKey]:
        """The key with this key id, or None."""
        return self._keys.get(kid)

    def __contains__(self, item: object) -> bool:
        if isinstance(item, str):
            return item in self._keys
        if isinstance(item, (PublicKey, SigningKey)):
            return item.kid in self._keys
        return False

    def __len__(self) -> int:
        return len(self._keys)

    def __iter__(self) -> Iterator[PublicKey]:
        return iter(list(self._keys.values()))

    def trusts(self, receipt: Receipt) -> bool:
        """True when the receipt verifies and carries a valid signature by one of these keys."""
        return check(receipt, self).ok

    def __repr__(self) -> str:
        return f"<Keyring of {len(self._keys)} key{'' if len(self._keys) == 1 else 's'}>"


# -- receipt signatures ---------------------------------------------------------------

def fresh_hash(receipt: Receipt, doing: str) -> str:
    """The receipt's hash, checked against its content; SignatureError naming ``doing`` when it is stale."""
    if not isinstance(receipt, Receipt):
        raise TypeError(f"{doing} needs a Receipt, not {type(receipt).__name__}")
    stored = receipt.hash
    try:
        computed = receipt.compute_hash()
    except ReceiptError as e:  # a signing failure to the caller, whatever the receipt's fault
        raise SignatureError(f"cannot {doing} the receipt: {e}") from None
    if computed != stored:
        raise SignatureError(f"cannot {doing} a receipt whose hash is stale: stored {stored}, computed {computed}")
    return stored


def signing_key_of(key: SigningKey) -> SigningKey:
    """``key`` when it is a SigningKey; TypeError otherwise."""
    if not isinstance(key, SigningKey):
        raise TypeError(f"signing needs a SigningKey, not {type(key).__name__}")
    return key


def sign(receipt: Receipt, key: SigningKey) -> Receipt:
    """A copy of the receipt carrying ``key``'s signature of its hash (any earlier signature is replaced).

    Raises :class:`SignatureError` when the stored hash is not the hash of the
    content: a stale receipt is never signed.
    """
    key = signing_key_of(key)
    hash_text = fresh_hash(receipt, "sign")
    signature = _b64url(key._signer()(SIGNED_PREFIX + hash_text.encode("ascii")))
    return receipt.with_signature(Signature(ALGORITHM, key._kid, signature))


class TrustStatus(WordEnum):
    """What :func:`check` found; only TRUSTED is a pass."""

    TRUSTED = "trusted"
    UNSIGNED = "unsigned"
    UNKNOWN_KEY = "unknown_key"
    BAD_SIGNATURE = "bad_signature"
    STALE_HASH = "stale_hash"
    INVALID = "invalid"


class TrustResult(NamedTuple):
    """The outcome of :func:`check`: the status, the key id the receipt names (or None) and why."""

    status: TrustStatus
    kid: Optional[str]
    reason: str

    @property
    def ok(self) -> bool:
        """True only for TRUSTED."""
        return self.status is TrustStatus.TRUSTED


def _decode_signature(text: str) -> Optional[bytes]:
    """The 64 signature bytes of their canonical unpadded base64url text, or None for any other text."""
    if _SIGNATURE_TEXT.match(text) is None:
        return None
    return binascii.a2b_base64(text.encode("ascii").translate(_URL_TO_STANDARD) + b"==")


def content_problem(receipt: Receipt, kid: Optional[str]) -> Optional[TrustResult]:
    """Why the receipt's content fails before any signature is looked at, or None when it verifies."""
    try:
        verify_strict(receipt)
    except VerificationError as e:
        # The hash is compared before the content is validated: stale when it differs.
        try:
            stale = receipt.compute_hash() != receipt.hash
        except ReceiptError:
            stale = False
        return TrustResult(TrustStatus.STALE_HASH if stale else TrustStatus.INVALID, kid, str(e))
    return None


def check(receipt: Receipt, keyring: Keyring) -> TrustResult:
    """How far the receipt can be trusted: its hash, its validity, then its signature by a key of ``keyring``."""
    if not isinstance(receipt, Receipt):
        raise TypeError(f"check() needs a Receipt, not {type(receipt).__name__}")
    if not isinstance(keyring, Keyring):
        raise TypeError(f"check() needs a Keyring, not {type(keyring).__name__}")
    signature = receipt.sig
    kid = None if signature is None else signature.kid
    problem = content_problem(receipt, kid)
    if problem is not None:
        return problem
    if signature is None:
        return TrustResult(TrustStatus.UNSIGNED, None, "the receipt carries no signature")
    alg, kid, sig_text = signature
    if alg != ALGORITHM:
        return TrustResult(TrustStatus.BAD_SIGNATURE, kid, f"unsupported signature algorithm {alg!r}")
    raw = _decode_signature(sig_text)
    if raw is None:
        return TrustResult(TrustStatus.BAD_SIGNATURE, kid, "the signature is not 64 bytes of unpadded base64url")
    key = keyring.get(kid)
    if key is None:
        return TrustResult(TrustStatus.UNKNOWN_KEY, kid, f"signed by {kid}, which is not a trusted key")
    if not key.verify(SIGNED_PREFIX + receipt.hash.encode("ascii"), raw):
        return TrustResult(TrustStatus.BAD_SIGNATURE, kid, f"the signature is not {kid}'s signature of this receipt")
    return TrustResult(TrustStatus.TRUSTED, kid, f"signed by trusted key {kid}")
