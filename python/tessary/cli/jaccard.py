"""Print the Jaccard similarity of the chunk sets of A and B.

Each of A and B is a data file (its chunks are computed) or the output of
'tessary shape --chunks' for one file. Data files are chunked with
--scheme, else with the scheme of the shape file given, else the default.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any, Dict, List, Optional, Tuple

from ..reuse import jaccard
from ..shapes import ChunkScheme, DEFAULT_SCHEME
from . import _arguments
from ._base import EXIT_OK, CliError
from ..errors import InputError
from ..inputs import SHAPE_FILE_LIMIT, decode_text, open_file, read_stream
from ._inputs import STDIN, label, load_json
from ._output import out
from ._shaping import shape_of

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
    # Data files have no bound: only a shape file is read whole, and one past its bound is data.
    with open_file(path, kind="data file", limit=sys.maxsize) as f:
        head = f.read(64)
        if not head.lstrip().startswith(b"{") or os.fstat(f.fileno()).st_size > SHAPE_FILE_LIMIT:
            return None
        data = head + read_stream(f, label(path), kind="shape file", limit=SHAPE_FILE_LIMIT - len(head))
    try:
        return decode_text(data, label(path))
    except InputError:
        return None


def _shape_value(path: str, text: str) -> Any:
    """The JSON a shape file holds; None for text that is not one JSON value (then it is data)."""
    where = label(path)
    try:
        return load_json(text, where)
    except InputError:
        pass
    try:
        first = load_json(text.split("\n", 1)[0], where)
    except InputError:
        return None
    if isinstance(first, dict) and "chunks" in first:
        raise CliError(f"{where}: holds several shapes; give a file with one")
    return None


def _shape_file_chunks(path: str) -> Optional[ChunkList]:
    """The chunk ids (and scheme) of a 'tessary shape --chunks' output file; None for a data file."""
    text = _shape_text(path)
    value = _shape_value(path, text) if text is not None else None
    if not isinstance(value, dict):
        return None
    if "chunks" not in value:
        if {"path", "hash", "scheme"} <= value.keys():
            raise CliError(f"{label(path)}: a shape without its chunks; make it with 'tessary shape --chunks'")
        return None
    chunks = value["chunks"]
    if not isinstance(chunks, list) or not all(isinstance(c, dict) and isinstance(c.get("id"), str) for c in chunks):
        raise CliError(f"{label(path)}: 'chunks' must be a list of objects with an 'id'")
    scheme: Optional[ChunkScheme] = None
    if isinstance(value.get("scheme"), str):
        try:
            scheme = _arguments.scheme(value["scheme"])
        except argparse.ArgumentTypeError as e:
            raise CliError(f"{label(path)}: scheme: {e}") from None
    return [c["id"] for c in chunks], scheme


def run(args: argparse.Namespace) -> int:
    read = [(path, _shape_file_chunks(path)) for path in (args.a, args.b)]
    given = [found[1] for _, found in read if found is not None and found[1] is not None]
    if args.scheme is not None:
        given.append(args.scheme)
    # Keyed by text: as tuples CDC(64) and Fixed(64) are equal, so a set of schemes would merge them.
    schemes: Dict[str, ChunkScheme] = {_arguments.scheme_text(s): s for s in given}
    if len(schemes) > 1:
        listed = ", ".join(sorted(schemes))
        raise CliError(f"the chunk sets use different schemes ({listed}); they cannot be compared")
    scheme = next(iter(schemes.values())) if schemes else DEFAULT_SCHEME
    sides: List[List[str]] = []
    for path, found in read:
        sides.append(found[0] if found is not None else shape_of(path, scheme, True).chunk_ids)
    out(repr(jaccard(sides[0], sides[1])))
    return EXIT_OK
