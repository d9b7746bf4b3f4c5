"""Copy every receipt of store FROM into store TO.

Each store is a directory or a postgresql:// database address. FROM must
exist; TO is created when missing. A receipt already in TO is replaced by
the one of the same identifier from FROM, so copying again changes
nothing. Receipts are stored 1000 at a time; on a terminal a progress bar
shows on standard error. Ends with a line 'copied N receipts from FROM to TO'
on standard error (database passwords hidden).
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Iterator, List, Optional

from ..locations import Location, same_store
from ..receipts import Receipt
from ..stores import Store, open_store
from . import _output
from ._base import EXIT_OK, CliError
from ._arguments import existing_store, store_location

BATCH = 1000


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("source", metavar="FROM", help="the store to copy from: a directory or a postgresql:// address")
    parser.add_argument("target", metavar="TO", help="the store to copy into (created when missing)")




def _copy_batches(source: Store, target: Store) -> Iterator[int]:
    """Copy every receipt of ``source`` into ``target``, ``BATCH`` at a time; yields each batch's size."""
    batch: List[Receipt] = []
    for receipt in source.iter():
        batch.append(receipt)
        if len(batch) == BATCH:
            yield target.store_many(batch)
            batch = []
    if batch:
        yield target.store_many(batch)


def _copy(source: Store, target: Store) -> int:
    batches = _copy_batches(source, target)
    if not _output.is_terminal(sys.stderr):
        return sum(batches)
    from rich.progress import MofNCompleteColumn, TimeRemainingColumn

    count = 0
    with _output.progress(MofNCompleteColumn(), TimeRemainingColumn()) as bar:
        task = bar.add_task("copying", total=source.count())
        for stored in batches:
            count += stored
            bar.advance(task, stored)
    return count


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
    with open_store(source.target) as reading, open_store(target.target) as writing:
        count = _copy(reading, writing)
    copied = _output.plural(count, "receipt")
    sys.stderr.write(f"copied {copied} from {_shown(args.source, source)} to {_shown(args.target, target)}\n")
    return EXIT_OK
