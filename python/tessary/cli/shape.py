"""Print the data shape hash of each file (- for standard input).

Plain output is '<hash>  <size>  <path>' per file. --json prints one JSON
object per file; --chunks adds its chunk list (offset, length, id), the
form 'tessary jaccard' reads.
"""

from __future__ import annotations

import argparse
import json
from typing import Any, Dict

from ..shapes import ChunkScheme, DEFAULT_SCHEME, DataShape
from . import _arguments
from ._base import EXIT_OK
from ._output import out
from ._shaping import shape_of


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("paths", nargs="+", metavar="PATH", help="files to shape (- for standard input)")
    parser.add_argument("--chunks", action="store_true", help="list the chunks (implies JSON output)")
    parser.add_argument("--scheme", type=_arguments.scheme, metavar="cdc:N|fixed:N",
                        help="chunk scheme (default cdc:65536)")
    parser.add_argument("--json", action="store_true", help="one JSON object per file")
    parser.add_argument("--threads", type=_arguments.thread_count, metavar="N",
                        help="threads digesting one file's chunks (default: every core)")


def _shape_record(path: str, shape: DataShape, chunks: bool) -> Dict[str, Any]:
    result: Dict[str, Any] = {"path": path, "hash": shape.hash, "size": shape.size,
                              "scheme": _arguments.scheme_text(shape.scheme)}
    if chunks:
        listed = shape.chunks or ()
        result["chunks"] = [{"offset": c.offset, "length": c.length, "id": c.id} for c in listed]
    return result


def run(args: argparse.Namespace) -> int:
    scheme: ChunkScheme = args.scheme or DEFAULT_SCHEME
    as_json = args.json or args.chunks
    for path in args.paths:
        shape = shape_of(path, scheme, args.chunks, args.threads)
        if as_json:
            out(json.dumps(_shape_record(path, shape, args.chunks), ensure_ascii=False))
        else:
            out(f"{shape.hash}  {shape.size}  {path}")
    return EXIT_OK
