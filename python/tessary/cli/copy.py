"""Copy every receipt of store FROM into store TO.

Each store is a directory or a postgresql:// database address. FROM must
exist; TO is created when missing. A receipt already in TO is replaced by
the one of the same identifier from FROM, so copying again changes
nothing. Receipts are stored 1000 at a time; on a terminal a progress bar
shows on standard error. Ends with a line 'copied N receipts from FROM to TO'
on standard error (database passwords hidden). A failure part way says how
far the copy got: 'copied N of M receipts from FROM to TO, then: ERROR',
exit code 2; the receipts copied stay in TO. An entry of a directory store
FROM that holds no receipt (a dangling link, a directory, an unreadable file,
one that is not a receipt) does not stop the copy: it is named on standard
error as 'skipped FILE: REASON', every readable receipt is copied, the summary
ends ', skipped K entries' and the exit code is 1.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Iterator, List

from ..errors import TessaryError
from ..locations import Location, same_store
from ..receipts import Receipt
from ..stores import Store, open_store
from . import _output
from ._base import EXIT_FAILED, EXIT_OK, CliError
from ._arguments import existing_store, store_location
from ._skipped import SkipReporter

BATCH = 1000


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("source", metavar="FROM", help="the store to copy from: a directory or a postgresql:// address")
    parser.add_argument("target", metavar="TO", help="the store to copy into (created when missing)")




def _copy_batches(source: Store, target: Store, skipped: SkipReporter) -> Iterator[int]:
    """Copy every receipt of ``source`` into ``target``, ``BATCH`` at a time; yields each batch's size."""
    batch: List[Receipt] = []
    stored = False
    for receipt in source.iter(**skipped.options()):
        batch.append(receipt)
        if len(batch) == BATCH:
            yield target.store_many(batch)
            batch, stored = [], True
    if batch or not stored:  # storing nothing still makes TO, which then exists as an empty store
        yield target.store_many(batch)


def _copy(source: Store, target: Store, total: int, copied: List[int], skipped: SkipReporter) -> None:
    """Copy, adding each batch stored to ``copied[0]`` as it lands, so a failure can say how far it got."""
    batches = _copy_batches(source, target, skipped)
    if not _output.is_terminal(sys.stderr):
        for stored in batches:
            copied[0] += stored
        return
    from rich.progress import MofNCompleteColumn, TimeRemainingColumn

    with _output.progress(MofNCompleteColumn(), TimeRemainingColumn()) as bar:
        task = bar.add_task("copying", total=total)
        for stored in batches:
            copied[0] += stored
            bar.advance(task, stored)


def _shown(text: str, location: Location) -> str:
    """A store as the user named it, a database's password hidden."""
    return location.redacted if location.kind == "database" else text


def run(args: argparse.Namespace) -> int:
    source = existing_store(args.source, "FROM")
    target = store_location(args.target, "TO")
    if target.kind == "directory" and os.path.exists(target.target) and not os.path.isdir(target.target):
        raise CliError(f"argument TO: not a directory: {target.target}")
    if same_store(source, target):
        raise CliError(f"FROM and TO are the same store ({_shown(args.source, source)}); nothing to copy")
    route = f"from {_shown(args.source, source)} to {_shown(args.target, target)}"
    with open_store(source.target) as reading, open_store(target.target) as writing:
        total = reading.count()  # the entries it passes over are named once, by the copy itself
        copied = [0]
        skipped = SkipReporter(reading)
        try:
            _copy(reading, writing, total, copied, skipped)
        except TessaryError as e:
            raise CliError(f"copied {copied[0]} of {_output.plural(total, 'receipt')} {route}, then: {e}") from None
    passed = f", skipped {skipped.count} {'entry' if skipped.count == 1 else 'entries'}" if skipped.count else ""
    sys.stderr.write(f"copied {_output.plural(copied[0], 'receipt')} {route}{passed}\n")
    return EXIT_FAILED if skipped.count else EXIT_OK
