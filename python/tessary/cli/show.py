"""Pretty-print one receipt, given as a file or as its identifier in --store.

On a terminal a short header (kind, rid, whether it verifies) comes first;
piped, only the indented JSON is printed.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import uuid

from ..errors import VerificationError, one_line
from ..locations import Location
from ..receipts import Receipt, verify_strict
from ..stores import open_store
from . import _output
from ._base import EXIT_OK, CliError
from ._arguments import existing_store
from ._inputs import STDIN, label, receipts


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("receipt", metavar="RID|FILE", help="a receipt file (- for stdin) or a receipt identifier")
    parser.add_argument("--store", metavar="DIR|URL",
                        help="the store to look a RID up in: a directory or a postgresql:// address")


def _from_file(target: str) -> Receipt:
    if os.path.isdir(target):
        raise CliError(f"{label(target)}: is a directory, expected a receipt file")
    found = list(receipts(target))
    if not found:
        raise CliError(f"{label(target)}: no receipt in it")
    if len(found) > 1:
        raise CliError(f"{label(target)}: holds {len(found)} receipts; show takes one")
    return found[0][1]


def _lookup(rid: str, location: Location) -> Receipt:
    """The receipt ``rid`` of a store, looked up by its key."""
    with open_store(location) as store:
        receipt = store.get(rid)
    if receipt is None:
        raise CliError(f"no receipt {rid} in store {location.redacted}")
    return receipt


def _header(receipt: Receipt) -> None:
    try:
        verify_strict(receipt)
        status = "yes"
    except VerificationError as e:
        status = f"NO: {one_line(str(e))}"
    _output.out(f"kind:     {receipt.kind.value}")
    _output.out(f"rid:      {receipt.rid}")
    _output.out(f"verified: {status}")
    _output.out("")


def run(args: argparse.Namespace) -> int:
    target: str = args.receipt
    if target == STDIN or os.path.exists(target):
        receipt = _from_file(target)
    else:
        try:
            rid = str(uuid.UUID(target))
        except ValueError:
            raise CliError(f"{label(target)}: no such file, and not a receipt identifier") from None
        if args.store is None:
            raise CliError(f"{label(target)}: no such file; pass --store DIR|URL to look the identifier up in a store")
        receipt = _lookup(rid, existing_store(args.store))
    if _output.is_terminal(sys.stdout):
        _header(receipt)
    _output.out(json.dumps(receipt.to_dict(), indent=2, ensure_ascii=False))
    return EXIT_OK
