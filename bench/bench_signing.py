"""Ed25519 per-call times of tessary._native against pyca/cryptography, measured in the same run."""
import sys

from _ratio import compare, report

from tessary import _native

try:
    from cryptography.hazmat.primitives.asymmetric import ed25519
    from cryptography.hazmat.primitives import serialization
except ImportError:
    print("cryptography is not installed: nothing to compare with")
    sys.exit(0)

MESSAGE = bytes(range(32))


def main():
    ours = _native.SigningKey()
    theirs = serialization.load_pem_private_key(ours.private_pem(), password=None)
    assert isinstance(theirs, ed25519.Ed25519PrivateKey)
    signature = ours.sign(MESSAGE)
    verifier = _native.VerifyKey(ours.public_raw())
    their_public = theirs.public_key()

    rows = []
    ours_s, peer_s = compare(lambda: ours.sign(MESSAGE), lambda: theirs.sign(MESSAGE))
    rows.append(("SigningKey.sign(32 B)", ours_s, "Ed25519PrivateKey.sign", peer_s, "<=1.10x", ours_s / peer_s, ours_s <= 1.10 * peer_s))
    ours_s, peer_s = compare(lambda: verifier.verify(MESSAGE, signature), lambda: their_public.verify(signature, MESSAGE))
    rows.append(("VerifyKey.verify(32 B)", ours_s, "Ed25519PublicKey.verify", peer_s, "<=1.10x", ours_s / peer_s, ours_s <= 1.10 * peer_s))
    report(rows)


if __name__ == "__main__":
    main()
