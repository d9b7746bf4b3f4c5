"""Print a receipt as an in-toto statement in a DSSE envelope signed with --key.

The statement's subject is the receipt's data commitment; its predicate
(type https://tessary.dev/attestation/receipt/v1) carries the receipt.
A file of several receipts gives one envelope per line; a file with none
is an error.
"""

from __future__ import annotations

import argparse
import json

from ..errors import TessaryError, one_line
from ..signing import export_dsse
from ._base import EXIT_OK, CliError
from ._inputs import no_receipts, receipts
from ._keys import signing_key
from ._output import out


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("source", metavar="FILE|-", help="a receipt file (- for stdin)")
    parser.add_argument("--format", required=True, choices=["in-toto"], help="the export format")
    parser.add_argument("--key", required=True, metavar="KEY", help="the private key file that signs the envelope")


def run(args: argparse.Namespace) -> int:
    key = signing_key(args.key)
    count = 0
    for where, receipt in receipts(args.source):
        try:
            envelope = export_dsse(receipt, key)
        except TessaryError as e:
            raise CliError(f"{where}: {receipt.rid}: {one_line(str(e))}") from None
        out(json.dumps(envelope))
        count += 1
    if not count:
        raise CliError(no_receipts([args.source]))
    return EXIT_OK
