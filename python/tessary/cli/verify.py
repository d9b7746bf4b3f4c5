"""Verify receipts: every hash is recomputed and every receipt checked.

Each SOURCE is a file holding one receipt's JSON or JSON lines (one
receipt per line, as 'tessary ls' prints when piped), a directory store
or folder of *.json receipt files, or - for standard input. Prints one
line per receipt that fails and a summary; exit code 1 when any failed.

With --trust (a public key file or a directory of *.pub and *.pem files;
repeatable) every receipt must also be signed by one of those keys; a
failure names its status (unsigned, unknown_key, bad_signature,
stale_hash, invalid) and the reason. A file holding a DSSE envelope (as
'tessary export' prints) is checked as one: signed by a trusted key, and
its receipt verifying.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import json
import os
from typing import Any, Dict, List, Optional

from ..errors import SignatureError, VerificationError, one_line
from ..receipts import verify_strict
from ..signing import Keyring, TrustStatus, check, verify_dsse
from . import EXIT_FAILED, EXIT_OK, CliError
from ._inputs import STDIN, loads, receipts
from ._keys import keyring as trusted_keys
from ._output import describe_os_error, out, plural


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("sources", nargs="+", metavar="FILE|DIR|-", help="receipt files, directories or - (stdin)")
    parser.add_argument("--json", action="store_true", help="print one JSON object with the counts and failures")
    parser.add_argument("--trust", action="append", metavar="KEYFILE|DIR",
                        help="require a signature by this public key, or by a key in this directory (repeatable)")


class _Tally:
    """The receipts checked and the failures found; printed as they come unless the output is JSON."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self.total = 0
        self.failures: List[Dict[str, str]] = []

    def fail(self, where: str, rid: str, reason: str, status: Optional[str] = None) -> None:
        failure = {"source": where, "rid": rid, "reason": reason}
        if status is not None:
            failure["status"] = status
        self.failures.append(failure)
        if not self.as_json:
            out(f"{where}: {rid}: {status + ': ' if status else ''}{reason}")

    def summary(self, trusting: bool) -> str:
        verified = self.total - len(self.failures)
        if self.as_json:
            counts = {"receipts": self.total, "verified": verified, "failed": len(self.failures)}
            return json.dumps(dict(counts, failures=self.failures), ensure_ascii=False)
        checked = "trusted" if trusting else "verified"
        return f"{plural(self.total, 'receipt')}: {verified} {checked}, {len(self.failures)} failed"


def _check_source(source: str, keys: Optional[Keyring], tally: _Tally) -> None:
    envelope = _envelope_in(source)
    if envelope is not None:
        tally.total += 1
        if keys is None:
            raise CliError(f"{source}: a DSSE envelope; checking it needs --trust KEYFILE|DIR")
        try:
            verify_dsse(envelope, keys)
        except SignatureError as e:
            tally.fail(source, _envelope_rid(envelope), one_line(str(e)), _envelope_status(envelope, keys).value)
        return
    for where, receipt in receipts(source):
        tally.total += 1
        if keys is not None:
            result = check(receipt, keys)
            if not result.ok:
                tally.fail(where, receipt.rid, one_line(result.reason), result.status.value)
            continue
        try:
            verify_strict(receipt)
        except VerificationError as e:
            tally.fail(where, receipt.rid, one_line(str(e)))


def run(args: argparse.Namespace) -> int:
    keys = trusted_keys(args.trust) if args.trust else None
    tally = _Tally(args.json)
    for source in args.sources:
        _check_source(source, keys, tally)
    out(tally.summary(keys is not None))
    return EXIT_FAILED if tally.failures else EXIT_OK


_ENVELOPE_HINT = b'"payloadType"'


def _envelope_in(source: str) -> Optional[Dict[str, Any]]:
    """The DSSE envelope a file holds, or None when it holds receipts (or is not a file)."""
    if source == STDIN or not os.path.isfile(source):
        return None
    try:
        with open(source, "rb") as f:
            head = f.read(4096)
            if _ENVELOPE_HINT not in head:
                return None
            data = head + f.read()
    except OSError as e:
        raise CliError(describe_os_error(e, source)) from None
    try:
        value = loads(data.decode("utf-8"))
    except ValueError:
        return None
    if isinstance(value, dict) and "payloadType" in value:
        return value
    return None


def _envelope_status(envelope: Dict[str, Any], keys: Keyring) -> TrustStatus:
    """Why an envelope failed: no signature names a trusted key, or one that does is wrong."""
    signatures = envelope.get("signatures")
    keyids = [e.get("keyid") for e in signatures if isinstance(e, dict)] if isinstance(signatures, list) else []
    if keyids and all(isinstance(k, str) and k and k not in keys for k in keyids):
        return TrustStatus.UNKNOWN_KEY
    return TrustStatus.BAD_SIGNATURE


def _envelope_rid(envelope: Dict[str, Any]) -> str:
    """The receipt identifier an envelope's statement names, read without trusting it, or "-"."""
    try:
        statement = json.loads(base64.b64decode(envelope["payload"]))
        rid = statement["predicate"]["rid"]
    except (KeyError, TypeError, ValueError, binascii.Error):
        return "-"
    return rid if isinstance(rid, str) else "-"
