"""List the receipts of a store that pass every filter given.

On a terminal: a table whose identifiers are cut to their first 8
characters, as git shortens commits (--wide shows them whole); a tracked
step shows its name under workload and its status (succeeded, failed) in a
column that is there when a step is listed. Piped, or
with --json: JSON lines, one receipt per line, which 'tessary verify -'
reads. --order time lists by timestamp (a directory store lists in its own
order otherwise). --start and --end are inclusive; each is an RFC 3339 /
ISO 8601 time (a time without offset is UTC) or epoch seconds. An entry of a
directory store that holds no receipt (a dangling link, a directory, an
unreadable file, one that is not a receipt) is named on standard error as
'skipped FILE: REASON'; the rest are listed and the exit code is 1.
"""

from __future__ import annotations

import argparse
import sys

from ..stores import open_store
from . import _arguments, _output
from ._base import EXIT_FAILED, EXIT_OK
from ._skipped import SkipReporter


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
    parser.add_argument("--order", choices=["time"], help="list by timestamp rather than in the store's order")
    parser.add_argument("--json", action="store_true", help="JSON lines (one receipt per line), even on a terminal")
    parser.add_argument("--wide", action="store_true", help="show whole receipt identifiers in the table")


def run(args: argparse.Namespace) -> int:
    location = _arguments.existing_store(args.store)
    with open_store(location.target) as store:
        skipped = SkipReporter(store)
        receipts = store.iter(
            workload=args.workload,
            trace=args.trace,
            policy=args.policy,
            change_epoch=args.change_epoch,
            pac=args.pac,
            start=args.start,
            end=args.end,
            limit=args.limit,
            order=args.order,
            **skipped.options(),
        )
        if _output.is_terminal(sys.stdout) and not args.json:
            _output.receipt_table(receipts, wide=args.wide)
        else:
            for receipt in receipts:
                _output.out(receipt.to_json())
    return EXIT_FAILED if skipped.count else EXIT_OK
