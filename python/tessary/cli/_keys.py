"""Keys named on the command line: a private key to sign with, public keys to trust."""

from __future__ import annotations

from typing import List

from ..errors import SignatureError, one_line
from ..receipts import Receipt
from ..signing import Keyring, SigningKey, sign
from . import CliError
from ._output import describe_os_error


def signing_key(path: str, option: str = "--key") -> SigningKey:
    try:
        return SigningKey.load(path)
    except SignatureError as e:
        raise CliError(f"argument {option}: {one_line(str(e))}") from None
    except OSError as e:
        raise CliError(f"argument {option}: {describe_os_error(e, path)}") from None


def keyring(paths: List[str]) -> Keyring:
    """The public keys of the --trust options: key files, and the *.pub and *.pem files of directories."""
    try:
        ring = Keyring.from_paths(*paths)
    except SignatureError as e:
        raise CliError(f"argument --trust: {one_line(str(e))}") from None
    except OSError as e:
        raise CliError(f"argument --trust: {describe_os_error(e)}") from None
    if not len(ring):
        raise CliError(f"argument --trust: no public keys (*.pub, *.pem) in {', '.join(paths)}")
    return ring


def signed(receipt: Receipt, key: SigningKey, where: str) -> Receipt:
    """The receipt signed; one that cannot be (its hash is stale) stops the command, named by ``where``."""
    try:
        return sign(receipt, key)
    except SignatureError as e:
        raise CliError(f"{where}: {receipt.rid}: {one_line(str(e))}") from None
