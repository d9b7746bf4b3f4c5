"""Audit a store or folder of receipts: each receipt, and the links between them.

DIR is a directory store, a folder of *.json receipt files or a database
store's postgresql:// address. Every hash is recomputed and every receipt
validated; every link and parent must name a receipt in DIR, and no
receipt may be its own ancestor. With
--trust (a key file or a folder of them; repeatable) every receipt must
also be signed by a trusted key. Prints the counts and one line per
problem, or with --json one JSON object; exit code 1 when anything is wrong.
Receipt files are read strictly: one whose text holds anything beside what
its hash seals (an unknown or repeated member) is unreadable, the member
named; --lenient ignores such members. A database store's receipts are
read as the store holds them.
"""

from __future__ import annotations

import argparse
import json

from ..audit import AuditReport, audit
from ..stores import open_store
from ._base import EXIT_FAILED, EXIT_OK
from ._arguments import existing_store
from ._keys import keyring
from ._output import out


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("directory", metavar="DIR|URL",
                        help="a directory store, a folder of *.json receipt files or a postgresql:// address")
    parser.add_argument("--trust", action="append", metavar="KEYFILE|DIR", help="trusted keys (repeatable)")
    parser.add_argument("--json", action="store_true", help="print the report as one JSON object")
    parser.add_argument("--lenient", action="store_true",
                        help="ignore members outside the seal (unknown or repeated) instead of reporting the file")


def _report_text(report: AuditReport) -> str:
    """The report for people, with a problem that concerns no receipt (a file not read) led by the file it names.

    The report's own text puts ``-`` where a receipt identifier goes; the
    detail of such a problem starts with the file's name, which says more.
    """
    lines = report.format().splitlines()
    if report.ok:
        return "\n".join(lines)
    head = lines[: len(lines) - len(report.problems)]
    body = [f"{p.kind} {p.detail}" if p.rid is None else line for p, line in zip(report.problems, lines[len(head):])]
    return "\n".join(head + body)


def run(args: argparse.Namespace) -> int:
    location = existing_store(args.directory, "DIR")
    keys = keyring(args.trust) if args.trust else None
    if location.kind == "database":
        with open_store(location.target) as store:
            report = audit(store, trust=keys, strict=not args.lenient)
    else:
        # A plain folder of receipt files is audited too, not only a directory store.
        report = audit(location.target, trust=keys, strict=not args.lenient)
    out(json.dumps(report.to_dict(), ensure_ascii=False) if args.json else _report_text(report))
    return EXIT_OK if report.ok else EXIT_FAILED
