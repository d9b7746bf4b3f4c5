"""Make a new Ed25519 key pair and print its key id.

The private key goes to PATH (mode 0600, PKCS#8 PEM) and the public key
to PATH.pub; an existing file is never overwritten. Folders of PATH that
do not exist yet are made, readable by their owner only (mode 0700). Keep
PATH secret; hand PATH.pub to whoever verifies your receipts.
"""

from __future__ import annotations

import argparse
import os
import sys

from ..signing import SigningKey
from ._base import EXIT_OK, CliError
from ._output import describe_os_error, out


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--out", default="tessary-key", metavar="PATH",
                        help="where the private key goes; the public key goes to PATH.pub (default ./tessary-key)")


def _make_parents(path: str) -> None:
    """Make the missing folders above ``path``, private ones: they are about to hold a secret key."""
    missing = []
    parent = os.path.dirname(os.path.abspath(path))
    while not os.path.isdir(parent) and not os.path.lexists(parent):
        missing.append(parent)
        parent = os.path.dirname(parent)
    # One level at a time: os.makedirs gives its mode to the last folder only.
    for folder in reversed(missing):
        try:
            os.mkdir(folder, 0o700)
        except OSError as e:
            raise CliError(describe_os_error(e)) from None


def run(args: argparse.Namespace) -> int:
    private_path: str = args.out
    public_path = private_path + ".pub"
    for path in (private_path, public_path):
        if os.path.lexists(path):
            raise CliError(f"{path}: already exists; not overwriting it")
    _make_parents(private_path)
    key = SigningKey.generate()
    try:
        key.save(private_path)
    except OSError as e:
        raise CliError(describe_os_error(e, private_path)) from None
    try:
        key.public_key.save(public_path)
    except OSError as e:
        os.unlink(private_path)
        raise CliError(describe_os_error(e, public_path)) from None
    out(key.kid)
    sys.stderr.write(f"private key: {private_path} (keep it secret)\npublic key:  {public_path}\n")
    return EXIT_OK
