"""Print the chain of steps that produced a file, or the step a receipt identifier names, oldest first.

PATH is found by its SHA-256 among the outputs of the store's successful
steps (the newest producer wins); a RID names an execution receipt. The
chain follows each step's links back to steps that read no step's output.
Every receipt in it is verified, and with --trust (a public key file or a
directory of *.pub and *.pem files; repeatable) must be signed by one of
those keys. One line per step: name, status, short identifier, outputs
(and what is wrong with it). --json prints the chain as one JSON object.

exit codes:
  0    every receipt of the chain verifies (and is trusted)
  1    a receipt of the chain does not verify or is not trusted
  2    usage or input error; a file no step in the store produced
"""

from __future__ import annotations

import argparse
import json
from typing import Dict, List, Optional

from ..lineage import NotProducedError, Step, lineage
from ..signing import Keyring
from ..stores import open_store
from . import _arguments
from ._base import EXIT_FAILED, EXIT_OK, CliError
from ._keys import keyring
from ._output import SHORT_RID, out


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("target", metavar="PATH|RID", help="a file or directory a step wrote, or an execution receipt's id")
    parser.add_argument("--store", required=True, metavar="DIR|URL",
                        help="the store holding the steps' receipts: a directory or a postgresql:// address")
    parser.add_argument("--trust", action="append", metavar="KEYFILE|DIR",
                        help="require a signature by this public key, or by a key in this directory (repeatable)")
    parser.add_argument("--json", action="store_true", help="print the chain as one JSON object")


def _as_json(chain: List[Step]) -> str:
    steps: List[Dict[str, object]] = [
        {"step": s.name, "status": s.status, "rid": s.receipt.rid, "trace": s.receipt.trace,
         "inputs": s.inputs, "outputs": s.outputs, "ok": s.ok, "problem": s.problem} for s in chain]
    return json.dumps({"ok": all(s.ok for s in chain), "steps": steps}, separators=(",", ":"))


def _line(step: Step) -> str:
    outputs = ", ".join(step.outputs) or "-"
    line = f"{step.name}  {step.status or '?'}  {step.receipt.rid[:SHORT_RID]}  {outputs}"
    return line if step.ok else f"{line}  FAILED: {step.problem}"


def run(args: argparse.Namespace) -> int:
    location = _arguments.existing_store(args.store)
    trust: Optional[Keyring] = keyring(args.trust) if args.trust else None
    with open_store(location.target) as store:
        try:
            chain = lineage(args.target, store, trust)
        except NotProducedError as e:
            raise CliError(f"no step in {args.store} produced {e.path}") from None
    if args.json:
        out(_as_json(chain))
    else:
        for step in chain:
            out(_line(step))
    return EXIT_OK if all(s.ok for s in chain) else EXIT_FAILED
