"""Print the Jaccard similarity of the chunk sets of A and B.

Each of A and B is a data file (its chunks are computed) or the output of
'tessary shape --chunks' for one file. Data files are chunked with
--scheme, else with the scheme of the shape file given, else the default.
"""

from __future__ import annotations

import argparse
import os
from typing import Any, List, Optional, Set, Tuple

from ..reuse import jaccard
from ..shapes import ChunkScheme, DEFAULT_SCHEME
from . import EXIT_OK, CliError, _arguments
from ._inputs import STDIN, loads
from ._output import describe_os_error, out
from ._shaping import shape_of

# A shape file lists about 110 bytes per chunk: anything this large is data, however it starts.
LARGEST_SHAPE_FILE = 512 << 20

# The chunk ids of a shape file, and the scheme it names (if any).
ChunkList = Tuple[List[str], Optional[ChunkScheme]]


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("a", metavar="A", help="a data file or a 'tessary shape --chunks' output file")
    parser.add_argument("b", metavar="B", help="a data file or a 'tessary shape --chunks' output file")
    parser.add_argument("--scheme", type=_arguments.scheme, metavar="cdc:N|fixed:N",
                        help="chunk scheme for data files")


def _shape_text(path: str) -> Optional[str]:
    """The text of a file that may be a shape file; None for one that is data."""
    if path == STDIN:
        raise CliError("jaccard reads files, not standard input")
    try:
        with open(path, "rb") as f:
            head = f.read(64).lstrip()
            size = os.fstat(f.fileno()).st_size
        if not head.startswith(b"{") or size > LARGEST_SHAPE_FILE:
            return None
        with open(path, encoding="utf-8") as f:
            return f.read()
    except UnicodeDecodeError:
        return None
    except OSError as e:
        raise CliError(describe_os_error(e, path)) from None


def _shape_value(path: str, text: str) -> Any:
    """The JSON a shape file holds; None for text that is not one JSON value (then it is data)."""
    try:
        return loads(text)
    except ValueError:
        pass
    try:
        first = loads(text.split("\n", 1)[0])
    except ValueError:
        return None
    if isinstance(first, dict) and "chunks" in first:
        raise CliError(f"{path}: holds several shapes; give a file with one")
    return None


def _shape_file_chunks(path: str) -> Optional[ChunkList]:
    """The chunk ids (and scheme) of a 'tessary shape --chunks' output file; None for a data file."""
    text = _shape_text(path)
    value = _shape_value(path, text) if text is not None else None
    if not isinstance(value, dict):
        return None
    if "chunks" not in value:
        if {"path", "hash", "scheme"} <= value.keys():
            raise CliError(f"{path}: a shape without its chunks; make it with 'tessary shape --chunks'")
        return None
    chunks = value["chunks"]
    if not isinstance(chunks, list) or not all(isinstance(c, dict) and isinstance(c.get("id"), str) for c in chunks):
        raise CliError(f"{path}: 'chunks' must be a list of objects with an 'id'")
    scheme: Optional[ChunkScheme] = None
    if isinstance(value.get("scheme"), str):
        try:
            scheme = _arguments.scheme(value["scheme"])
        except argparse.ArgumentTypeError as e:
            raise CliError(f"{path}: scheme: {e}") from None
    return [c["id"] for c in chunks], scheme


def run(args: argparse.Namespace) -> int:
    read = [(path, _shape_file_chunks(path)) for path in (args.a, args.b)]
    schemes: Set[ChunkScheme] = {found[1] for _, found in read if found is not None and found[1] is not None}
    if args.scheme is not None:
        schemes.add(args.scheme)
    if len(schemes) > 1:
        listed = ", ".join(sorted(_arguments.scheme_text(s) for s in schemes))
        raise CliError(f"the chunk sets use different schemes ({listed}); they cannot be compared")
    scheme = schemes.pop() if schemes else DEFAULT_SCHEME
    sides: List[List[str]] = []
    for path, found in read:
        sides.append(found[0] if found is not None else shape_of(path, scheme, True).chunk_ids)
    out(repr(jaccard(sides[0], sides[1])))
    return EXIT_OK
