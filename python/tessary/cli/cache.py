"""Manage the output cache of tracked steps: 'tessary cache gc' removes what no kept receipt needs.

gc keeps every object that a kept execution receipt of --store needs (its
outputs, a directory output's files and manifest, its inputs' chunk
manifest) and removes the rest. Kept are all the store's receipts, or with
--max-age those recorded within that age, or with --max-size the newest
ones whose objects fit in that size together. --all removes every object,
needed or not. The cache is --cache DIR, or a directory store's own folder.

exit codes:
  0    done (or, with --dry-run, what would be removed was printed)
  2    usage error (no store, a store that is not a directory without --cache)
"""

from __future__ import annotations

import argparse
import json
import re

from ..cache import Cache
from ..cache_gc import gc
from ..stores import DirectoryStore, open_store
from . import _arguments
from ._base import CliError, EXIT_OK
from ._output import out

_SIZE = re.compile(r"(\d+)\s*([KMGT]?)(?:i?B)?", re.IGNORECASE)
_AGE = re.compile(r"(\d+(?:\.\d+)?)\s*([smhd]?)", re.IGNORECASE)
_SIZE_UNITS = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}
_AGE_UNITS = {"s": 1.0, "m": 60.0, "h": 3600.0, "d": 86400.0, "": 86400.0}


def size(text: str) -> int:
    """Bytes, with an optional binary unit: 500M, 10G, 1T (K, M, G, T are KiB, MiB, GiB, TiB)."""
    match = _SIZE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"expected a size such as 500M or 10G, got {text!r}")
    return int(match.group(1)) * _SIZE_UNITS[match.group(2).upper()]


def age(text: str) -> float:
    """Seconds, from a number of days, or a number and a unit: 30d, 12h, 90m, 45s."""
    match = _AGE.fullmatch(text.strip())
    if match is None:
        raise argparse.ArgumentTypeError(f"expected an age such as 30d or 12h, got {text!r}")
    return float(match.group(1)) * _AGE_UNITS[match.group(2).lower()]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    actions = parser.add_subparsers(dest="action", metavar="ACTION", title="actions")
    actions.required = True
    collect = actions.add_parser("gc", help="remove the objects no kept receipt needs")
    collect.set_defaults(parser=collect)  # its mistakes are named "tessary cache gc", as argparse names its own
    collect.add_argument("--store", required=True, metavar="DIR|URL", help="the store whose receipts are kept")
    collect.add_argument("--cache", metavar="DIR", help="the cache (objects/ under DIR); default: the store's folder")
    collect.add_argument("--max-size", type=size, metavar="N", help="keep the newest receipts' objects up to N bytes")
    collect.add_argument("--max-age", type=age, metavar="D", help="keep the objects of receipts younger than D (days, "
                                                                    "or 12h, 90m)")
    collect.add_argument("--all", action="store_true", help="remove every object, needed or not")
    collect.add_argument("--dry-run", action="store_true", help="remove nothing; say what would be removed")
    collect.add_argument("--json", action="store_true", help="print the outcome as JSON")


def run(args: argparse.Namespace) -> int:
    location = _arguments.existing_store(args.store)
    with open_store(location.target) as store:
        if args.cache is not None:
            cache = Cache(args.cache)
        elif isinstance(store, DirectoryStore):
            cache = Cache(store.path)
        else:
            raise CliError("argument --cache: a database store keeps no objects: name the cache directory")
        report = gc(store, cache, max_size=args.max_size, max_age=args.max_age, everything=args.all,
                    dry_run=args.dry_run)
    if args.json:
        out(json.dumps(dict(report._asdict(), dry_run=args.dry_run), separators=(",", ":")))
    else:
        verb = "would remove" if args.dry_run else "removed"
        out(f"{verb} {report.removed} objects ({report.removed_bytes} bytes); "
            f"kept {report.kept} ({report.kept_bytes} bytes)")
    return EXIT_OK
