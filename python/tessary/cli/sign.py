"""Sign receipts with a private key (as 'tessary keygen' writes).

Sources are read as 'tessary verify' reads them. The signed receipts are
printed as JSON lines, or with --in-place written back over the files
they came from (a file of JSON lines stays one; a store's files are
rewritten). A receipt whose hash does not match its content is never
signed: the command stops there with exit code 2, as it does at a file
or line that is not a receipt (before that file is rewritten) and when
the sources hold no receipts at all.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import List

from .._files import replace_file
from ._base import EXIT_OK, CliError
from ._inputs import STDIN, no_receipts, receipt_files, receipts
from ._keys import signed, signing_key
from ._output import describe_os_error, out, plural


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("sources", nargs="+", metavar="FILE|DIR|-", help="receipt files, directories or - (stdin)")
    parser.add_argument("--key", required=True, metavar="KEY", help="the private key file to sign with")
    parser.add_argument("--in-place", action="store_true", help="write the signed receipts back over their files")


def _source_files(sources: List[str]) -> List[str]:
    files: List[str] = []
    for source in sources:
        if source == STDIN:
            raise CliError("--in-place rewrites files; it cannot take - (standard input)")
        files.extend(receipt_files(source) if os.path.isdir(source) else [source])
    return files


def run(args: argparse.Namespace) -> int:
    key = signing_key(args.key)
    if not args.in_place:
        count = 0
        for source in args.sources:
            for where, receipt in receipts(source):
                out(signed(receipt, key, where).to_json())
                count += 1
        if not count:
            raise CliError(no_receipts(args.sources))
        return EXIT_OK
    count = 0
    for path in _source_files(args.sources):
        texts = [signed(receipt, key, where).to_json() for where, receipt in receipts(path)]
        if texts:
            try:
                replace_file(path, ("\n".join(texts) + "\n").encode("utf-8"))
            except OSError as e:
                raise CliError(describe_os_error(e, path)) from None
            count += len(texts)
    if not count:
        raise CliError(no_receipts(args.sources))
    sys.stderr.write(f"signed {plural(count, 'receipt')} with {key.kid}\n")
    return EXIT_OK
