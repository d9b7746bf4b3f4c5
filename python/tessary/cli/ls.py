"""List the receipts of a store that pass every filter given.

On a terminal: a table. Piped: one receipt JSON per line, which
'tessary verify -' reads. --start and --end are inclusive; each is an
RFC 3339 / ISO 8601 time (a time without offset is UTC) or epoch seconds.
"""

from __future__ import annotations

import argparse
import sys

from ..stores import open_store
from . import _arguments, _output
from ._base import EXIT_OK


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--store", required=True, metavar="DIR|URL",
                        help="the store to list: a directory or a postgresql:// address")
    parser.add_argument("--workload", metavar="W", help="only execution receipts of this workload")
    parser.add_argument("--trace", metavar="T", help="only receipts of this trace")
    parser.add_argument("--policy", metavar="P", help="only receipts under this policy (ctx.policy_ref)")
    parser.add_argument("--change-epoch", metavar="E", help="only receipts of this change epoch")
    parser.add_argument("--pac", type=_arguments.pac, metavar="B64URL",
                        help="only receipts with this pac (32 bytes, base64url)")
    parser.add_argument("--start", type=_arguments.time_bound, metavar="TIME", help="only receipts at or after TIME")
    parser.add_argument("--end", type=_arguments.time_bound, metavar="TIME", help="only receipts at or before TIME")
    parser.add_argument("--limit", type=_arguments.nonnegative_int, metavar="N", help="at most N receipts")


def run(args: argparse.Namespace) -> int:
    location = _arguments.existing_store(args.store)
    with open_store(location.target) as store:
        receipts = store.iter(
            workload=args.workload,
            trace=args.trace,
            policy=args.policy,
            change_epoch=args.change_epoch,
            pac=args.pac,
            start=args.start,
            end=args.end,
            limit=args.limit,
        )
        if _output.is_terminal(sys.stdout):
            _output.receipt_table(receipts)
        else:
            for receipt in receipts:
                _output.out(receipt.to_json())
    return EXIT_OK
