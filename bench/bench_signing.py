"""Signing per receipt against pyca/cryptography's raw Ed25519, measured in the same run.

Goals:
  tessary.sign(receipt, key)         <= 1.3x  Ed25519PrivateKey.sign(32 bytes)
  tessary.check(receipt, keyring)    <= 1.3x  Ed25519PublicKey.verify(32 bytes)
The primitives alone are listed too: tessary.SigningKey.sign (which signs
through cryptography when it is installed), the built-in OpenSSL fallback that
signs when it is not (no goal: it shows why the package prefers cryptography),
and the native verifier that every check uses.
"""
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

    import tessary

    key = tessary.SigningKey.from_pem(ours.private_pem())
    rows = []
    ours_s, peer_s = compare(lambda: key.sign(MESSAGE), lambda: theirs.sign(MESSAGE))
    rows.append(("SigningKey.sign(32 B)", ours_s, "Ed25519PrivateKey.sign", peer_s, "<=1.10x", ours_s / peer_s, ours_s <= 1.10 * peer_s))
    ours_s, peer_s = compare(lambda: ours.sign(MESSAGE), lambda: theirs.sign(MESSAGE))
    rows.append(("fallback _native.sign(32 B)", ours_s, "Ed25519PrivateKey.sign", peer_s, "(none)", ours_s / peer_s, True))
    ours_s, peer_s = compare(lambda: verifier.verify(MESSAGE, signature), lambda: their_public.verify(signature, MESSAGE))
    rows.append(("VerifyKey.verify(32 B)", ours_s, "Ed25519PublicKey.verify", peer_s, "<=1.10x", ours_s / peer_s, ours_s <= 1.10 * peer_s))
    keyring = tessary.Keyring([key.public_key])
    receipt = tessary.record("train", {"epochs": 3, "learning_rate": 0.01})
    signed = tessary.sign(receipt, key)
    assert tessary.check(signed, keyring).ok
    ours_s, peer_s = compare(lambda: tessary.sign(receipt, key), lambda: theirs.sign(MESSAGE))
    rows.append(("tessary.sign(receipt)", ours_s, "Ed25519PrivateKey.sign", peer_s, "<=1.30x", ours_s / peer_s, ours_s <= 1.30 * peer_s))
    ours_s, peer_s = compare(lambda: tessary.check(signed, keyring), lambda: their_public.verify(signature, MESSAGE))
    rows.append(("tessary.check(receipt, ring)", ours_s, "Ed25519PublicKey.verify", peer_s, "<=1.30x", ours_s / peer_s, ours_s <= 1.30 * peer_s))
    report(rows)


if __name__ == "__main__":
    main()
