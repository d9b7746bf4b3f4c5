"""Print the graph of the store's steps: input files -> step -> output files.

Files are nodes by their SHA-256 (labelled with the name a step gave them),
steps by their execution receipt (labelled with name and status). --format
mermaid (the default) prints a Mermaid flowchart, dot a Graphviz digraph,
json an object of nodes and edges; the texts hold one line per edge, ready
to paste into documentation. The filters choose which steps are drawn.
"""

from __future__ import annotations

import argparse
import json

from ..filters import Filters
from ..lineage import graph
from ..stores import open_store
from . import _arguments
from ._base import EXIT_OK
from ._output import out


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--store", required=True, metavar="DIR|URL",
                        help="the store holding the steps' receipts: a directory or a postgresql:// address")
    parser.add_argument("--format", choices=["mermaid", "dot", "json"], default="mermaid",
                        help="mermaid (default), dot (Graphviz) or json")
    parser.add_argument("--workload", metavar="NAME", help="only steps of this name")
    parser.add_argument("--trace", metavar="T", help="only steps of this trace")
    parser.add_argument("--start", type=_arguments.time_bound, metavar="TIME", help="only steps ended at or after TIME")
    parser.add_argument("--end", type=_arguments.time_bound, metavar="TIME", help="only steps ended at or before TIME")


def run(args: argparse.Namespace) -> int:
    location = _arguments.existing_store(args.store)
    filters = Filters(workload=args.workload, trace=args.trace, start=args.start, end=args.end)
    with open_store(location.target) as store:
        drawn = graph(store, filters)
    if args.format == "json":
        out(json.dumps(drawn.to_json(), separators=(",", ":")))
    else:
        out((drawn.to_mermaid() if args.format == "mermaid" else drawn.to_dot()).rstrip("\n"))
    return EXIT_OK
