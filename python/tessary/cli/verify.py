"""Verify receipts: every hash is recomputed and every receipt checked.

Each SOURCE is a file holding one receipt's JSON or JSON lines (one
receipt per line, as 'tessary ls' prints when piped), a directory store
or folder of *.json receipt files, or - for standard input. Prints one
line per receipt that fails and a summary; exit code 1 when any failed.
A file (or line) that cannot be read as a receipt is reported with its
reason and counted as failed, and the others are still checked. Finding
no receipts at all is an error (exit code 2) unless --allow-empty.

Receipts are read strictly: a receipt whose text holds anything its hash
does not seal (a member the format does not know, at any depth, or a
member name repeated within an object) fails, unreadable, with the first
such member named; a reader keeping other duplicates, or the extra members,
would see other content than the one vouched for. --lenient reads such
text as receipts were read before, ignoring what is not sealed.

With --trust (a public key file or a directory of *.pub and *.pem files;
repeatable) every receipt must also be signed by one of those keys; a
failure names its status (unsigned, unknown_key, bad_signature,
stale_hash, invalid) and the reason. A file holding a DSSE envelope (as
'tessary export' prints) counts as trusted only when a trusted key signed
it and its statement carries a receipt that verifies and that its subject
and predicate describe; anything else fails with the reason (status
unknown_key, bad_signature, invalid or stale_hash). Without --trust an
envelope is reported as failed, status unchecked.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import json
import os
from typing import Any, Dict, List, Optional

from ..errors import InputError, VerificationError, one_line
from ..inputs import ENVELOPE_LIMIT, decode_text, open_file, read_stream
from ..receipts import verify_strict
from ..signing import Keyring, check, check_dsse
from ._base import EXIT_FAILED, EXIT_OK, CliError
from ._inputs import STDIN, entries, label, load_json, no_receipts
from ._keys import keyring as trusted_keys
from ._output import out, plural


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("sources", nargs="+", metavar="FILE|DIR|-", help="receipt files, directories or - (stdin)")
    parser.add_argument("--json", action="store_true", help="print one JSON object with the counts, files and failures")
    parser.add_argument("--trust", action="append", metavar="KEYFILE|DIR",
                        help="require a signature by this public key, or by a key in this directory (repeatable)")
    parser.add_argument("--allow-empty", action="store_true",
                        help="succeed when the sources hold no receipts at all (by default that is an error)")
    parser.add_argument("--lenient", action="store_true",
                        help="ignore members outside the seal (unknown or repeated) instead of failing the receipt")


class _Tally:
    """The receipts checked, the files they came from and the failures found; printed as they come unless JSON."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self.total = 0
        self.failures: List[Dict[str, Any]] = []
        self.files: Dict[str, Dict[str, Any]] = {}

    def seen(self, file: str) -> None:
        self.total += 1
        counts = self.files.setdefault(file, {"source": file, "receipts": 0, "failed": 0})
        counts["receipts"] += 1

    def fail(self, file: str, where: str, rid: Optional[str], reason: str, status: Optional[str] = None) -> None:
        failure: Dict[str, Any] = {"source": where, "rid": rid, "reason": reason}
        if status is not None:
            failure["status"] = status
        self.failures.append(failure)
        self.files[file]["failed"] += 1
        if not self.as_json:
            out(f"{where}: {rid + ': ' if rid else ''}{status + ': ' if status else ''}{reason}")

    def report(self, trusting: bool) -> str:
        verified = self.total - len(self.failures)
        if self.as_json:
            counts = {"receipts": self.total, "verified": verified, "failed": len(self.failures)}
            files = [dict(f, status="failed" if f["failed"] else "ok") for f in self.files.values()]
            return json.dumps(dict(counts, failures=self.failures, files=files), ensure_ascii=False)
        checked = "trusted" if trusting else "verified"
        return f"{plural(self.total, 'receipt')}: {verified} {checked}, {len(self.failures)} failed"


def _check_envelope(source: str, envelope: Dict[str, Any], keys: Optional[Keyring], tally: _Tally) -> None:
    where = label(source)
    tally.seen(where)
    rid = _envelope_rid(envelope)
    if keys is None:
        tally.fail(where, where, rid, "a DSSE envelope; checking it needs --trust KEYFILE|DIR", "unchecked")
        return
    try:
        result = check_dsse(envelope, keys)
    except RecursionError:
        tally.fail(where, where, rid, "malformed envelope: the payload is nested too deeply", "bad_signature")
        return
    if not result.ok:
        tally.fail(where, where, rid, one_line(result.reason), result.status.value)


def _check_source(source: str, keys: Optional[Keyring], tally: _Tally, strict: bool) -> None:
    envelope = _envelope_in(source)
    if envelope is not None:
        _check_envelope(source, envelope, keys, tally)
        return
    for file, where, item in entries(source, strict=strict):
        tally.seen(file)
        if isinstance(item, InputError):
            tally.fail(file, where, None, item.reason, "unreadable")
        elif keys is not None:
            result = check(item, keys)
            if not result.ok:
                tally.fail(file, where, item.rid, one_line(result.reason), result.status.value)
        else:
            try:
                verify_strict(item)
            except VerificationError as e:
                tally.fail(file, where, item.rid, one_line(str(e)))


def run(args: argparse.Namespace) -> int:
    keys = trusted_keys(args.trust) if args.trust else None
    tally = _Tally(args.json)
    for source in args.sources:
        _check_source(source, keys, tally, not args.lenient)
    if tally.total == 0 and not args.allow_empty:
        if args.json:
            out(tally.report(keys is not None))
        raise CliError(f"{no_receipts(args.sources)} (--allow-empty accepts that)")
    out(tally.report(keys is not None))
    return EXIT_FAILED if tally.failures else EXIT_OK


_ENVELOPE_HINT = b'"payloadType"'


def _envelope_in(source: str) -> Optional[Dict[str, Any]]:
    """The DSSE envelope a file holds, or None when it holds receipts (or cannot be read: the receipts' reader says why)."""
    if source == STDIN or not os.path.isfile(source):
        return None
    try:
        with open_file(source, kind="envelope") as f:
            head = f.read(4096)
            if _ENVELOPE_HINT not in head:
                return None
            data = head + read_stream(f, label(source), kind="envelope", limit=ENVELOPE_LIMIT - len(head))
        value = load_json(decode_text(data, label(source)), label(source))
    except (InputError, OSError):
        return None
    if isinstance(value, dict) and "payloadType" in value:
        return value
    return None


def _envelope_rid(envelope: Dict[str, Any]) -> Optional[str]:
    """The receipt identifier an envelope's statement names, read without trusting it, if it names one."""
    try:
        statement = json.loads(base64.b64decode(envelope["payload"]))
        rid = statement["predicate"]["rid"]
    except (KeyError, TypeError, ValueError, RecursionError, binascii.Error):
        return None
    return rid if isinstance(rid, str) else None
