"""Record a unit of work and print its sealed receipt as JSON.

The payload is a JSON object given as text, as @FILE (read from FILE) or
as - (read from standard input). With --store the receipt is also kept in
that store: a directory (created when missing) or a postgresql:// address.
With --sign the receipt is signed with that private key file before it is
printed or kept.
"""

from __future__ import annotations

import argparse
from typing import Any, Dict

from ..errors import InputError, TessaryError, one_line
from ..receipts import record
from ..stores import open_store
from . import _arguments
from ._base import EXIT_OK, CliError
from ._inputs import STDIN, json_type, label, load_json, read_text
from ._keys import signed, signing_key
from ._output import out


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("workload", metavar="WORKLOAD", help="the workload (method identifier) of the work")
    parser.add_argument("--payload", required=True, metavar="JSON|@FILE|-", help="the payload, a JSON object")
    parser.add_argument("--tag", action="append", metavar="T", help="a tag for your bookkeeping (repeatable)")
    parser.add_argument("--trace", metavar="ID", help="the trace the work belongs to")
    parser.add_argument("--parent", type=_arguments.rid, metavar="RID",
                        help="the identifier of the receipt this one follows")
    parser.add_argument("--store", metavar="DIR|URL",
                        help="also keep the receipt in this store: a directory or a postgresql:// address")
    parser.add_argument("--sign", metavar="KEY", help="sign the receipt with this private key file")


def _payload(text: str) -> Dict[str, Any]:
    try:
        if text == STDIN or text.startswith("@"):
            source = STDIN if text == STDIN else text[1:]
            value = load_json(read_text(source, kind="payload"), label(source))
        else:
            value = load_json(text, "the text given")
    except InputError as e:
        raise CliError(f"argument --payload: {e}") from None
    if not isinstance(value, dict):
        raise CliError(f"argument --payload: must be a JSON object, got {json_type(value)}")
    return value


def run(args: argparse.Namespace) -> int:
    payload = _payload(args.payload)
    key = signing_key(args.sign, "--sign") if args.sign is not None else None
    try:
        receipt = record(args.workload, payload, tags=args.tag or None, trace=args.trace, parent=args.parent)
    except (TessaryError, TypeError) as e:
        raise CliError(one_line(str(e))) from None
    if key is not None:
        receipt = signed(receipt, key, "record")
    if args.store is not None:
        with open_store(args.store) as store:
            store.store(receipt)
    out(receipt.to_json())
    return EXIT_OK
