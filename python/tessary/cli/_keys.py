"""Keys named on the command line: a private key to sign with, public keys to trust.

Key files are read through :mod:`tessary.inputs` and handed to the signing
API as bytes, so a FIFO, a device or a huge file given as a key is refused
by name rather than waited on or read.
"""

from __future__ import annotations

import os
from typing import Callable, List, TypeVar

from ..errors import InputError, SignatureError, one_line
from ..inputs import display_name, read_file
from ..receipts import Receipt
from ..signing import Keyring, PublicKey, SigningKey, sign
from ._base import CliError

# The files of a --trust folder that are taken as public keys; the rest of the folder is left alone.
KEY_SUFFIXES = (".pub", ".pem")


_K = TypeVar("_K")


def _load_key(path: str, option: str, load: Callable[[bytes], _K]) -> _K:
    """The key of a file given with ``option``; any failure is one line naming the option and the file."""
    try:
        return load(read_file(path, kind="key"))
    except InputError as e:
        raise CliError(f"argument {option}: {e}") from None
    except SignatureError as e:
        raise CliError(f"argument {option}: {display_name(path)}: {one_line(str(e))}") from None


def signing_key(path: str, option: str = "--key") -> SigningKey:
    return _load_key(path, option, SigningKey.from_pem)


def _public_key(path: str) -> PublicKey:
    return _load_key(path, "--trust", PublicKey.from_pem)


def _key_files(path: str) -> List[str]:
    """A key file itself, or the key files of a folder in name order."""
    if not os.path.isdir(path):
        return [path]
    try:
        names = sorted(n for n in os.listdir(path) if n.endswith(KEY_SUFFIXES))
    except OSError as e:
        raise CliError(f"argument --trust: {display_name(path)}: {e.strerror or e}") from None
    return [os.path.join(path, n) for n in names]


def keyring(paths: List[str]) -> Keyring:
    """The public keys of the --trust options: key files, and the *.pub and *.pem files of directories."""
    ring = Keyring()
    for path in paths:
        for file in _key_files(path):
            ring.add(_public_key(file))
    if not len(ring):
        listed = ", ".join(display_name(p) for p in paths)
        raise CliError(f"argument --trust: no public keys (*.pub, *.pem) in {listed}")
    return ring


def signed(receipt: Receipt, key: SigningKey, where: str) -> Receipt:
    """The receipt signed; one that cannot be (its hash is stale) stops the command, named by ``where``."""
    try:
        return sign(receipt, key)
    except SignatureError as e:
        raise CliError(f"{where}: {receipt.rid}: {one_line(str(e))}") from None
