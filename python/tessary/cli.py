"""The ``tessary`` command line: record, sign, verify, audit, show, list, copy, export receipts; keys; shapes; reuse.

Every command is a function ``_cmd_<name>(args) -> int`` whose docstring is
its help text. A mistake in what the user typed or gave us raises
:class:`CliError` (or reaches :meth:`_Parser.error`) and becomes exactly one
line on standard error and exit code 2. Rich is imported only when output
goes to a terminal, so piped use pays nothing for it.
"""

from __future__ import annotations

import argparse
import base64
import binascii
import inspect
import io
import json
import math
import os
import re
import sys
import uuid
from datetime import datetime, timezone
from typing import Any, Callable, Dict, Iterator, List, NoReturn, Optional, Sequence, Set, Tuple

from . import __version__
from .audit import audit
from .errors import SignatureError, TessaryError, VerificationError
from .receipts import Receipt, record, verify_strict
from .signing import Keyring, SigningKey, TrustStatus, check, export_dsse, sign, verify_dsse
from .reuse import CostModel, decide_reuse, jaccard
from .shapes import CDC, DEFAULT_SCHEME, ChunkScheme, DataShape, DataShapeHasher, Fixed, data_shape
from .pgstore import PostgresStore, _redacted
from .stores import _DATABASE_PREFIXES, _FILE_PREFIX, DirectoryStore, Store, open_store

__all__ = ["main", "build_parser", "CliError", "EXIT_OK", "EXIT_FAILED", "EXIT_USAGE", "EXIT_INTERRUPTED", "EXIT_PIPE"]

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_PIPE = 141

PROG = "tessary"
_MIB = 1 << 20
_PROGRESS_THRESHOLD = 4 * _MIB
_LARGEST_SHAPE_FILE = 512 * _MIB

_EPILOG = """\
exit codes:
  0    success
  1    a check failed (verify found a receipt that does not verify or is not trusted, audit a problem)
  2    usage or input error (bad option, missing file, text that is not a receipt)
  130  interrupted (Ctrl-C)
  141  standard output was closed early (e.g. piped into head); nothing is printed

Run 'tessary COMMAND --help' for the options of one command.
"""

Args = argparse.Namespace


class CliError(Exception):
    """A user's mistake: reported as one line on standard error, exit code 2."""


def _one_line(text: str) -> str:
    return " ".join(str(text).split())


class _Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line and do not exit the interpreter."""

    def error(self, message: str) -> NoReturn:
        raise _UsageError(self.prog, message)


class _UsageError(Exception):
    def __init__(self, prog: str, message: str) -> None:
        super().__init__(message)
        self.prog = prog
        self.message = message


# -- terminals and output ---------------------------------------------------------


def _is_terminal(stream: Any) -> bool:
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty()) if callable(isatty) else False
    except (ValueError, OSError):
        return False


def _out(text: str) -> None:
    sys.stdout.write(text + "\n")


# -- option values ----------------------------------------------------------------


def _nonnegative_int(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {value}")
    return value


_FRACTION = re.compile(r"\.(\d+)", re.ASCII)


def _time_bound(text: str) -> datetime:
    """RFC 3339 / ISO 8601 (a naive time is UTC) or epoch seconds, as an aware datetime."""
    stripped = text.strip()
    try:
        seconds = float(stripped)
    except ValueError:
        pass
    else:
        if not math.isfinite(seconds):
            raise argparse.ArgumentTypeError(f"expected a date-time or epoch seconds, got {text!r}")
        try:
            return datetime.fromtimestamp(seconds, tz=timezone.utc)
        except (OverflowError, OSError, ValueError):
            raise argparse.ArgumentTypeError(f"epoch seconds out of range: {text!r}") from None
    # fromisoformat before 3.11 takes neither "Z" nor fractions other than 3 or 6 digits,
    # and receipts carry nanoseconds: cut the fraction to microseconds first.
    iso = _FRACTION.sub(lambda m: "." + (m.group(1) + "00000")[:6], stripped, count=1)
    if iso[-1:] in ("Z", "z"):
        iso = iso[:-1] + "+00:00"
    try:
        value = datetime.fromisoformat(iso)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"expected an RFC 3339 date-time (e.g. 2024-05-01T12:00:00Z) or epoch seconds, got {text!r}"
        ) from None
    if value.tzinfo is None:
        value = value.replace(tzinfo=timezone.utc)
    return value


def _pac(text: str) -> bytes:
    try:
        raw = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except (binascii.Error, ValueError):
        raise argparse.ArgumentTypeError(f"not base64url text: {text!r}") from None
    if len(raw) != 32:
        raise argparse.ArgumentTypeError(f"must be 32 bytes of base64url, got {len(raw)} bytes")
    return raw


def _rid(text: str) -> str:
    try:
        return str(uuid.UUID(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a receipt identifier (a UUID): {text!r}") from None


_SIZE_SUFFIXES = {"": 1, "k": 1 << 10, "ki": 1 << 10, "m": 1 << 20, "mi": 1 << 20, "g": 1 << 30, "gi": 1 << 30}


def _scheme(text: str) -> ChunkScheme:
    """``cdc:N`` or ``fixed:N``; N in bytes, optionally with a K, M or G suffix (powers of 1024)."""
    kind, sep, size_text = text.partition(":")
    kind = kind.strip().lower()
    if not sep or kind not in ("cdc", "fixed"):
        raise argparse.ArgumentTypeError(f"expected cdc:N or fixed:N, got {text!r}")
    digits = size_text.strip().lower().rstrip("b")
    end = len(digits)
    while end and not digits[end - 1].isdigit():
        end -= 1
    number, suffix = digits[:end], digits[end:]
    if not number.isdigit() or suffix not in _SIZE_SUFFIXES:
        raise argparse.ArgumentTypeError(f"expected a size in bytes after {kind}:, got {size_text!r}")
    size = int(number) * _SIZE_SUFFIXES[suffix]
    if not 0 < size < 2**64:
        raise argparse.ArgumentTypeError(f"chunk size must be between 1 and 2**64 - 1, got {size}")
    return CDC(size) if kind == "cdc" else Fixed(size)


def _scheme_text(scheme: ChunkScheme) -> str:
    if isinstance(scheme, CDC):
        return f"cdc:{scheme.avg_size}"
    return f"fixed:{scheme.size}"


def _overlap(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number between 0 and 1, got {text!r}") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text!r}")
    return value


# -- reading inputs -----------------------------------------------------------------


def _describe_os_error(error: OSError, name: Optional[str] = None) -> str:
    where = name if name is not None else (os.fsdecode(error.filename) if error.filename is not None else None)
    reason = error.strerror or str(error)
    if isinstance(error, IsADirectoryError):
        reason = "is a directory, expected a file"
    return f"{where}: {reason}" if where else reason


def _read_text(source: str) -> str:
    """The text of a file, or of standard input for ``-``."""
    try:
        if source == "-":
            return sys.stdin.read()
        with open(source, encoding="utf-8") as f:
            return f.read()
    except UnicodeDecodeError:
        raise CliError(f"{_label(source)}: not UTF-8 text") from None
    except OSError as e:
        raise CliError(_describe_os_error(e, _label(source))) from None


def _label(source: str) -> str:
    return "<stdin>" if source == "-" else source


def _json_problem(error: json.JSONDecodeError) -> str:
    return f"{error.msg} (line {error.lineno}, column {error.colno})"


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a JSON number")


def _loads(text: str) -> Any:
    return json.loads(text, parse_constant=_reject_constant)


def _receipt_from_text(text: str, where: str) -> Receipt:
    """The receipt the text holds, read from the text exactly as given (never re-encoded)."""
    try:
        return Receipt.from_json(text)
    except TessaryError as e:
        problem = _one_line(str(e))
    value = _parsed_line(text, where)
    if not isinstance(value, dict):
        raise CliError(f"{where}: not a receipt (expected a JSON object, got {_json_type(value)})")
    raise CliError(f"{where}: not a receipt: {problem}")


def _json_type(value: Any) -> str:
    if isinstance(value, bool):
        return "a boolean"
    if value is None:
        return "null"
    if isinstance(value, (int, float)):
        return "a number"
    if isinstance(value, str):
        return "a string"
    if isinstance(value, list):
        return "an array"
    return "an object"


def _parsed_line(line: str, where: str) -> Any:
    try:
        return _loads(line)
    except json.JSONDecodeError as e:
        raise CliError(f"{where}: not JSON: {_json_problem(e)}") from None
    except ValueError as e:
        raise CliError(f"{where}: not JSON: {e}") from None


def _receipts_in(stream: Iterator[str], source: str) -> Iterator[Tuple[str, Receipt]]:
    """The receipts in one receipt's JSON (compact or indented) or in JSON lines, with where each was.

    JSON lines are read a line at a time, so a long listing piped in is
    verified in bounded memory. A receipt alone on its line in a file is
    named by the file; receipts of a longer listing by ``file:line``.
    """
    label = _label(source)
    number = 0
    first: Optional[str] = None
    for line in stream:
        number += 1
        if line.strip():
            first = line
            break
    if first is None:
        return
    early: Optional[Receipt] = None
    try:
        early = Receipt.from_json(first)
    except TessaryError:
        try:
            _loads(first)
        except ValueError:
            # Not a JSON value on its own line: the whole text is one document, an indented receipt.
            text = "\n" * (number - 1) + first + "".join(stream)
            yield label, _receipt_from_text(text, label)
            return
    pending_number, pending, alone = number, first, True
    for line in stream:
        number += 1
        if not line.strip():
            continue
        where = f"{label}:{pending_number}"
        yield where, early if early is not None else _receipt_from_text(pending, where)
        early = None
        pending_number, pending, alone = number, line, False
    where = label if alone else f"{label}:{pending_number}"
    yield where, early if early is not None else _receipt_from_text(pending, where)


def _receipts_in_text(text: str, source: str) -> List[Tuple[str, Receipt]]:
    return list(_receipts_in(iter(io.StringIO(text)), source))


def _receipt_files(directory: str) -> List[str]:
    """The ``*.json`` files of a store (``DIR/receipts``) or of a plain folder, in name order."""
    inner = os.path.join(directory, "receipts")
    folder = inner if os.path.isdir(inner) else directory
    try:
        names = sorted(n for n in os.listdir(folder) if n.endswith(".json"))
    except OSError as e:
        raise CliError(_describe_os_error(e, folder)) from None
    return [os.path.join(folder, n) for n in names]


def _receipts_from_file(source: str) -> Iterator[Tuple[str, Receipt]]:
    try:
        if source == "-":
            yield from _receipts_in(iter(sys.stdin), source)
        else:
            with open(source, encoding="utf-8") as f:
                yield from _receipts_in(iter(f), source)
    except UnicodeDecodeError:
        raise CliError(f"{_label(source)}: not UTF-8 text") from None
    except OSError as e:
        raise CliError(_describe_os_error(e, _label(source))) from None


def _receipts_from(source: str) -> Iterator[Tuple[str, Receipt]]:
    if source != "-" and os.path.isdir(source):
        for path in _receipt_files(source):
            yield from _receipts_from_file(path)
    else:
        yield from _receipts_from_file(source)


# -- record -------------------------------------------------------------------------


def _payload(text: str) -> Dict[str, Any]:
    if text == "-":
        raw, where = _read_text("-"), "standard input"
    elif text.startswith("@"):
        raw, where = _read_text(text[1:]), text[1:]
    else:
        raw, where = text, "the text given"
    try:
        value = _loads(raw)
    except json.JSONDecodeError as e:
        raise CliError(f"argument --payload: {where} is not JSON: {_json_problem(e)}") from None
    except ValueError as e:
        raise CliError(f"argument --payload: {where} is not JSON: {e}") from None
    if not isinstance(value, dict):
        raise CliError(f"argument --payload: must be a JSON object, got {_json_type(value)}")
    return value


def _cmd_record(args: Args) -> int:
    """Record a unit of work and print its sealed receipt as JSON.

    The payload is a JSON object given as text, as @FILE (read from FILE) or
    as - (read from standard input). With --store the receipt is also kept in
    that store: a directory (created when missing) or a postgresql:// address.
    With --sign the receipt is signed with that private key file before it is
    printed or kept.
    """
    payload = _payload(args.payload)
    key = _signing_key(args.sign, "--sign") if args.sign is not None else None
    try:
        receipt = record(args.workload, payload, tags=args.tag or None, trace=args.trace, parent=args.parent)
    except (TessaryError, TypeError) as e:
        raise CliError(_one_line(str(e))) from None
    if key is not None:
        receipt = _signed(receipt, key, "record")
    if args.store is not None:
        with open_store(args.store) as store:
            store.store(receipt)
    _out(receipt.to_json())
    return EXIT_OK


# -- verify -------------------------------------------------------------------------


def _cmd_verify(args: Args) -> int:
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
    keyring = _keyring(args.trust) if args.trust else None
    total = 0
    failures: List[Dict[str, str]] = []

    def fail(where: str, rid: str, reason: str, status: Optional[str] = None) -> None:
        failure = {"source": where, "rid": rid, "reason": reason}
        if status is not None:
            failure["status"] = status
        failures.append(failure)
        if not args.json:
            _out(f"{where}: {rid}: {status + ': ' if status else ''}{reason}")

    for source in args.sources:
        envelope = _envelope_in(source)
        if envelope is not None:
            total += 1
            if keyring is None:
                raise CliError(f"{source}: a DSSE envelope; checking it needs --trust KEYFILE|DIR")
            try:
                verify_dsse(envelope, keyring)
            except SignatureError as e:
                fail(source, _envelope_rid(envelope), _one_line(str(e)), _envelope_status(envelope, keyring).value)
            continue
        for where, receipt in _receipts_from(source):
            total += 1
            if keyring is not None:
                result = check(receipt, keyring)
                if not result.ok:
                    fail(where, receipt.rid, _one_line(result.reason), result.status.value)
                continue
            try:
                verify_strict(receipt)
            except VerificationError as e:
                fail(where, receipt.rid, _one_line(str(e)))
    verified = total - len(failures)
    if args.json:
        summary = {"receipts": total, "verified": verified, "failed": len(failures), "failures": failures}
        _out(json.dumps(summary, ensure_ascii=False))
    else:
        noun = "receipt" if total == 1 else "receipts"
        _out(f"{total} {noun}: {verified} {'trusted' if keyring is not None else 'verified'}, {len(failures)} failed")
    return EXIT_FAILED if failures else EXIT_OK


_ENVELOPE_HINT = b'"payloadType"'


def _envelope_in(source: str) -> Optional[Dict[str, Any]]:
    """The DSSE envelope a file holds, or None when it holds receipts (or is not a file)."""
    if source == "-" or not os.path.isfile(source):
        return None
    try:
        with open(source, "rb") as f:
            head = f.read(4096)
            if _ENVELOPE_HINT not in head:
                return None
            data = head + f.read()
    except OSError as e:
        raise CliError(_describe_os_error(e, source)) from None
    try:
        value = _loads(data.decode("utf-8"))
    except ValueError:
        return None
    if isinstance(value, dict) and "payloadType" in value:
        return value
    return None


def _envelope_status(envelope: Dict[str, Any], keyring: Keyring) -> TrustStatus:
    """Why an envelope failed: no signature names a trusted key, or one that does is wrong."""
    signatures = envelope.get("signatures")
    keyids = [e.get("keyid") for e in signatures if isinstance(e, dict)] if isinstance(signatures, list) else []
    if keyids and all(isinstance(k, str) and k and k not in keyring for k in keyids):
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


# -- keys and signing -----------------------------------------------------------------


def _signing_key(path: str, option: str = "--key") -> SigningKey:
    try:
        return SigningKey.load(path)
    except SignatureError as e:
        raise CliError(f"argument {option}: {_one_line(str(e))}") from None
    except OSError as e:
        raise CliError(f"argument {option}: {_describe_os_error(e, path)}") from None


def _keyring(paths: List[str]) -> Keyring:
    try:
        ring = Keyring.from_paths(*paths)
    except SignatureError as e:
        raise CliError(f"argument --trust: {_one_line(str(e))}") from None
    except OSError as e:
        raise CliError(f"argument --trust: {_describe_os_error(e)}") from None
    if not len(ring):
        raise CliError(f"argument --trust: no public keys (*.pub, *.pem) in {', '.join(paths)}")
    return ring


def _cmd_keygen(args: Args) -> int:
    """Make a new Ed25519 key pair and print its key id.

    The private key goes to PATH (mode 0600, PKCS#8 PEM) and the public key
    to PATH.pub; an existing file is never overwritten. Keep PATH secret;
    hand PATH.pub to whoever verifies your receipts.
    """
    private_path: str = args.out
    public_path = private_path + ".pub"
    for path in (private_path, public_path):
        if os.path.lexists(path):
            raise CliError(f"{path}: already exists; not overwriting it")
    key = SigningKey.generate()
    try:
        key.save(private_path)
    except OSError as e:
        raise CliError(_describe_os_error(e, private_path)) from None
    try:
        key.public_key.save(public_path)
    except OSError as e:
        os.unlink(private_path)
        raise CliError(_describe_os_error(e, public_path)) from None
    _out(key.kid)
    sys.stderr.write(f"private key: {private_path} (keep it secret)\npublic key:  {public_path}\n")
    return EXIT_OK


def _signed(receipt: Receipt, key: SigningKey, where: str) -> Receipt:
    try:
        return sign(receipt, key)
    except SignatureError as e:
        raise CliError(f"{where}: {receipt.rid}: {_one_line(str(e))}") from None


def _source_files(sources: List[str]) -> List[str]:
    files: List[str] = []
    for source in sources:
        if source == "-":
            raise CliError("--in-place rewrites files; it cannot take - (standard input)")
        files.extend(_receipt_files(source) if os.path.isdir(source) else [source])
    return files


def _replace_file(path: str, text: str) -> None:
    """Write ``text`` over ``path`` through a new file beside it, keeping the file's mode."""
    directory = os.path.dirname(path) or "."
    temporary = os.path.join(directory, f".{os.path.basename(path)}.{os.getpid()}.tmp")
    try:
        mode = os.stat(path).st_mode & 0o7777
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, path)
    except OSError as e:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise CliError(_describe_os_error(e, path)) from None


def _cmd_sign(args: Args) -> int:
    """Sign receipts with a private key (as 'tessary keygen' writes).

    Sources are read as 'tessary verify' reads them. The signed receipts are
    printed as JSON lines, or with --in-place written back over the files
    they came from (a file of JSON lines stays one; a store's files are
    rewritten). A receipt whose hash does not match its content is never
    signed: the command stops there with exit code 2.
    """
    key = _signing_key(args.key)
    if not args.in_place:
        for source in args.sources:
            for where, receipt in _receipts_from(source):
                _out(_signed(receipt, key, where).to_json())
        return EXIT_OK
    count = 0
    for path in _source_files(args.sources):
        signed = [_signed(receipt, key, where).to_json() for where, receipt in _receipts_from(path)]
        if signed:
            _replace_file(path, "\n".join(signed) + "\n")
            count += len(signed)
    sys.stderr.write(f"signed {count} receipt{'' if count == 1 else 's'} with {key.kid}\n")
    return EXIT_OK


def _cmd_export(args: Args) -> int:
    """Print a receipt as an in-toto statement in a DSSE envelope signed with --key.

    The statement's subject is the receipt's data commitment; its predicate
    (type https://tessary.dev/attestation/receipt/v1) carries the receipt.
    A file of several receipts gives one envelope per line.
    """
    key = _signing_key(args.key)
    for where, receipt in _receipts_from(args.source):
        try:
            envelope = export_dsse(receipt, key)
        except TessaryError as e:
            raise CliError(f"{where}: {receipt.rid}: {_one_line(str(e))}") from None
        _out(json.dumps(envelope))
    return EXIT_OK
# -- audit --------------------------------------------------------------------------


def _cmd_audit(args: Args) -> int:
    """Audit a store or folder of receipts: each receipt, and the links between them.

    DIR is a directory store, a folder of *.json receipt files or a database
    store's postgresql:// address. Every hash is recomputed and every receipt
    validated; every link and parent must name a receipt in DIR, and no
    receipt may be its own ancestor. With
    --trust (a key file or a folder of them; repeatable) every receipt must
    also be signed by a trusted key. Prints the counts and one line per
    problem, or with --json one JSON object; exit code 1 when anything is wrong.
    """
    location = _store_directory(args.directory, "DIR")
    keyring = _keyring(args.trust) if args.trust else None
    if _is_database(location):
        with open_store(location) as store:
            report = audit(store, trust=keyring)
    else:
        report = audit(location, trust=keyring)
    if args.json:
        _out(json.dumps(report.to_dict(), ensure_ascii=False))
    else:
        _out(report.format())
    return EXIT_OK if report.ok else EXIT_FAILED


# -- show ---------------------------------------------------------------------------


def _store_path(location: str) -> str:
    """A directory store's path (without ``file://``), or a database address as given."""
    if location.startswith(_FILE_PREFIX):
        return location[len(_FILE_PREFIX) :]
    return location


def _is_database(location: str) -> bool:
    return location.startswith(_DATABASE_PREFIXES)


def _store_directory(location: str, option: str = "--store") -> str:
    """A store that must already exist (reading never creates one), for :func:`open_store`.

    A directory's path comes back without ``file://``; a database address
    as given. ``option`` names the option or argument in the error message.
    """
    path = _store_path(location)
    if not _is_database(path) and not os.path.isdir(path):
        what = "not a directory" if os.path.exists(path) else "no such directory"
        raise CliError(f"argument {option}: {what}: {path}")
    return path


def _store_name(location: str) -> str:
    """A store's location for display: a database address with its password hidden."""
    return _redacted(location) if _is_database(location) else location


def _lookup(rid: str, store_path: str) -> Receipt:
    """The receipt ``rid`` of a store: a database's by its key, a directory's by its file name, else by a scan."""
    if _is_database(store_path):
        with open_store(store_path) as database:
            assert isinstance(database, PostgresStore)
            receipt = database.get(rid)
        if receipt is not None:
            return receipt
        raise CliError(f"no receipt {rid} in store {_store_name(store_path)}")
    direct = os.path.join(store_path, "receipts", rid + ".json")
    if os.path.isfile(direct):
        found = _receipts_in_text(_read_text(direct), direct)
        if len(found) == 1 and found[0][1].rid == rid:
            return found[0][1]
    with open_store(store_path) as store:
        for other in store.iter():
            if other.rid == rid:
                return other
    raise CliError(f"no receipt {rid} in store {store_path}")


def _cmd_show(args: Args) -> int:
    """Pretty-print one receipt, given as a file or as its identifier in --store.

    On a terminal a short header (kind, rid, whether it verifies) comes first;
    piped, only the indented JSON is printed.
    """
    target: str = args.receipt
    if target == "-" or os.path.exists(target):
        if os.path.isdir(target):
            raise CliError(f"{target}: is a directory, expected a receipt file")
        found = _receipts_in_text(_read_text(target), target)
        if not found:
            raise CliError(f"{_label(target)}: no receipt in it")
        if len(found) > 1:
            raise CliError(f"{_label(target)}: holds {len(found)} receipts; show takes one")
        receipt = found[0][1]
    else:
        try:
            rid = str(uuid.UUID(target))
        except ValueError:
            raise CliError(f"{target}: no such file, and not a receipt identifier") from None
        if args.store is None:
            raise CliError(f"{target}: no such file; pass --store DIR|URL to look the identifier up in a store")
        receipt = _lookup(rid, _store_directory(args.store))
    if _is_terminal(sys.stdout):
        try:
            verify_strict(receipt)
            status = "yes"
        except VerificationError as e:
            status = f"NO: {_one_line(str(e))}"
        _out(f"kind:     {receipt.kind.value}")
        _out(f"rid:      {receipt.rid}")
        _out(f"verified: {status}")
        _out("")
    _out(json.dumps(receipt.to_dict(), indent=2, ensure_ascii=False))
    return EXIT_OK


# -- ls -----------------------------------------------------------------------------


def _short_hash(value: str) -> str:
    prefix = "sha256:"
    digits = value[len(prefix) :] if value.startswith(prefix) else value
    return digits[:12]


def _short_time(receipt: Receipt) -> str:
    """The timestamp to the second in UTC, or as written when it does not parse."""
    moment = receipt.ctx.time
    if moment is None:
        return receipt.timestamp
    return moment.astimezone(timezone.utc).strftime("%Y-%m-%d %H:%M:%SZ")


def _table(receipts: Iterator[Receipt]) -> None:
    from rich import box
    from rich.console import Console
    from rich.table import Table

    table = Table(show_header=True, header_style="bold", box=box.SIMPLE_HEAD, pad_edge=False)
    # The identifier and kind keep their width (a rid is what 'show' takes); on a
    # narrow terminal the other columns fold onto more lines rather than vanish.
    widths = {"rid": 36, "kind": 9, "workload": 4, "trace": 4, "timestamp": 10, "hash": 6}
    for column in ("rid", "kind", "workload", "trace", "timestamp", "hash"):
        table.add_column(column, no_wrap=column in ("rid", "kind"), min_width=widths[column], overflow="fold")
    count = 0
    for receipt in receipts:
        count += 1
        table.add_row(
            receipt.rid,
            receipt.kind.value,
            receipt.workload or "",
            receipt.trace or "",
            _short_time(receipt),
            _short_hash(receipt.hash),
        )
    console = Console()
    console.print(table)
    console.print(f"{count} receipt{'' if count == 1 else 's'}", highlight=False)


def _cmd_ls(args: Args) -> int:
    """List the receipts of a store that pass every filter given.

    On a terminal: a table. Piped: one receipt JSON per line, which
    'tessary verify -' reads. --start and --end are inclusive; each is an
    RFC 3339 / ISO 8601 time (a time without offset is UTC) or epoch seconds.
    """
    path = _store_directory(args.store)
    with open_store(path) as store:
        receipts = store.iter(
            workload=args.workload,
            trace=args.trace,
            policy=args.policy,
            change_epoch=args.change_epoch,
            pac=args.pac,
            start=args.start,
            end=args.end,
            limit=args.limit,
        )
        if _is_terminal(sys.stdout):
            _table(receipts)
        else:
            for receipt in receipts:
                _out(receipt.to_json())
    return EXIT_OK


# -- copy ---------------------------------------------------------------------------

_COPY_BATCH = 1000


def _same_store(a: str, b: str) -> bool:
    """Whether two locations (as :func:`_store_path` gives them) name one store."""
    if _is_database(a) != _is_database(b):
        return False
    if not _is_database(a):
        return os.path.realpath(a) == os.path.realpath(b)
    return _database_identity(a) == _database_identity(b)


def _database_identity(dsn: str) -> Tuple[str, ...]:
    """The server and database a connection text names; the text itself when it does not parse."""
    try:
        from psycopg import Error
        from psycopg.conninfo import conninfo_to_dict
    except ImportError:
        return (dsn,)
    try:
        params = conninfo_to_dict(dsn)
    except Error:
        return (dsn,)
    return tuple(str(params.get(k) or "") for k in ("host", "hostaddr", "port")) + (
        str(params.get("dbname") or params.get("user") or ""),
    )


def _receipt_count(store: Store) -> Optional[int]:
    """About how many receipts a store holds, for a progress bar (a directory's files are counted)."""
    if isinstance(store, PostgresStore):
        return store.count()
    if isinstance(store, DirectoryStore):
        try:
            return sum(1 for n in os.listdir(os.path.join(store.path, "receipts")) if n.endswith(".json"))
        except OSError:
            return None
    return None


def _copy_batches(source: Store, target: Store) -> Iterator[int]:
    """Copy every receipt of ``source`` into ``target``, ``_COPY_BATCH`` at a time; yields each batch's size."""
    batch: List[Receipt] = []
    for receipt in source.iter():
        batch.append(receipt)
        if len(batch) == _COPY_BATCH:
            yield target.store_many(batch)
            batch = []
    if batch:
        yield target.store_many(batch)


def _cmd_copy(args: Args) -> int:
    """Copy every receipt of store FROM into store TO.

    Each store is a directory or a postgresql:// database address. FROM must
    exist; TO is created when missing. A receipt already in TO is replaced by
    the one of the same identifier from FROM, so copying again changes
    nothing. Receipts are stored 1000 at a time; on a terminal a progress bar
    shows on standard error. Ends with a line 'copied N receipts from FROM to TO'
    on standard error (database passwords hidden).
    """
    source = _store_directory(args.source, "FROM")
    target = _store_path(args.target)
    if not _is_database(target) and os.path.exists(target) and not os.path.isdir(target):
        raise CliError(f"argument TO: not a directory: {target}")
    if _same_store(source, target):
        raise CliError(f"FROM and TO are the same store ({_store_name(args.source)}); nothing to copy")
    count = 0
    with open_store(source) as reading, open_store(target) as writing:
        batches = _copy_batches(reading, writing)
        if _is_terminal(sys.stderr):
            from rich.progress import MofNCompleteColumn, TimeRemainingColumn

            with _progress(MofNCompleteColumn(), TimeRemainingColumn()) as progress:
                task = progress.add_task("copying", total=_receipt_count(reading))
                for stored in batches:
                    count += stored
                    progress.advance(task, stored)
        else:
            count = sum(batches)
    noun = "receipt" if count == 1 else "receipts"
    sys.stderr.write(f"copied {count} {noun} from {_store_name(args.source)} to {_store_name(args.target)}\n")
    return EXIT_OK


# -- shape --------------------------------------------------------------------------


def _progress(*columns: Any) -> Any:
    """A rich progress display on standard error, gone when done: the task's description, a bar, then ``columns``.

    Only for a terminal: callers check ``_is_terminal(sys.stderr)`` first.
    """
    from rich.progress import BarColumn, Progress, TextColumn

    return Progress(TextColumn("{task.description}"), BarColumn(), *columns, transient=True, console=_stderr_console())


def _shape_with_progress(path: str, size: int, scheme: ChunkScheme, chunks: bool) -> DataShape:
    from rich.progress import DownloadColumn, TimeRemainingColumn, TransferSpeedColumn

    hasher = DataShapeHasher(scheme=scheme, chunks=chunks)
    with _progress(DownloadColumn(binary_units=True), TransferSpeedColumn(), TimeRemainingColumn()) as progress:
        task = progress.add_task(os.path.basename(path) or path, total=size)
        with open(path, "rb") as f:
            buffer = bytearray(_MIB)
            view = memoryview(buffer)
            while True:
                n = f.readinto(view)
                if not n:
                    break
                hasher.update(view[:n])
                progress.advance(task, n)
    return hasher.shape()


def _stderr_console() -> Any:
    from rich.console import Console

    return Console(stderr=True)


def _shape_of(path: str, scheme: ChunkScheme, chunks: bool) -> DataShape:
    try:
        if path == "-":
            return data_shape(sys.stdin.buffer, scheme=scheme, chunks=chunks)
        if _is_terminal(sys.stderr):
            size = os.stat(path).st_size
            if size > _PROGRESS_THRESHOLD and os.path.isfile(path):
                return _shape_with_progress(path, size, scheme, chunks)
        return data_shape(path, scheme=scheme, chunks=chunks)
    except OSError as e:
        raise CliError(_describe_os_error(e, _label(path))) from None
    except TessaryError as e:
        raise CliError(f"{_label(path)}: {_one_line(str(e))}") from None


def _shape_record(path: str, shape: DataShape, chunks: bool) -> Dict[str, Any]:
    result: Dict[str, Any] = {"path": path, "hash": shape.hash, "size": shape.size, "scheme": _scheme_text(shape.scheme)}
    if chunks:
        listed = shape.chunks or ()
        result["chunks"] = [{"offset": c.offset, "length": c.length, "id": c.id} for c in listed]
    return result


def _cmd_shape(args: Args) -> int:
    """Print the data shape hash of each file (- for standard input).

    Plain output is '<hash>  <size>  <path>' per file. --json prints one JSON
    object per file; --chunks adds its chunk list (offset, length, id), the
    form 'tessary jaccard' reads.
    """
    scheme: ChunkScheme = args.scheme or DEFAULT_SCHEME
    as_json = args.json or args.chunks
    for path in args.paths:
        shape = _shape_of(path, scheme, args.chunks)
        if as_json:
            _out(json.dumps(_shape_record(path, shape, args.chunks), ensure_ascii=False))
        else:
            _out(f"{shape.hash}  {shape.size}  {path}")
    return EXIT_OK


# -- reuse --------------------------------------------------------------------------


def _format_number(value: float) -> str:
    return f"{value:.10g}"


def _cmd_reuse(args: Args) -> int:
    """Decide whether to reuse an earlier result or recompute, given the overlap J.

    The cost model is a JSON object {"c_id": ..., "c_comp": ..., "alpha": ...},
    each a number, {"type": "constant", "value": V} or
    {"type": "linear", "per_row": P, "base": B}; --rows prices the linear
    costs. Reuse wins when the saving alpha * c_comp * J - c_id (delta) is positive.
    """
    text = _read_text(args.cost_model)
    try:
        model = CostModel.from_json(text)
        decision = decide_reuse(args.overlap, model, rows=args.rows)
    except (TessaryError, TypeError) as e:
        raise CliError(f"argument --cost-model: {_one_line(str(e))}") from None
    if args.json:
        _out(json.dumps(decision.to_dict()))
    else:
        _out(f"decision: {decision.decision.value}")
        for name in ("overlap", "alpha", "c_id", "c_comp", "delta"):
            _out(f"{name + ':':<9} {_format_number(getattr(decision, name))}")
    return EXIT_OK


# -- jaccard ------------------------------------------------------------------------


def _shape_file_chunks(path: str) -> Optional[Tuple[List[str], Optional[ChunkScheme]]]:
    """The chunk ids (and scheme) of a 'tessary shape --chunks' output file; None for a data file."""
    if path == "-":
        raise CliError("jaccard reads files, not standard input")
    try:
        with open(path, "rb") as f:
            head = f.read(64).lstrip()
            size = os.fstat(f.fileno()).st_size
    except OSError as e:
        raise CliError(_describe_os_error(e, path)) from None
    # A shape file lists about 110 bytes per chunk: anything this large is data, however it starts.
    if not head.startswith(b"{") or size > _LARGEST_SHAPE_FILE:
        return None
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except UnicodeDecodeError:
        return None
    except OSError as e:
        raise CliError(_describe_os_error(e, path)) from None
    try:
        value = _loads(text)
    except ValueError:
        first = text.split("\n", 1)[0]
        try:
            value = _loads(first)
        except ValueError:
            return None
        if isinstance(value, dict) and "chunks" in value:
            raise CliError(f"{path}: holds several shapes; give a file with one")
        return None
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
            scheme = _scheme(value["scheme"])
        except argparse.ArgumentTypeError as e:
            raise CliError(f"{path}: scheme: {e}") from None
    return [c["id"] for c in chunks], scheme


def _cmd_jaccard(args: Args) -> int:
    """Print the Jaccard similarity of the chunk sets of A and B.

    Each of A and B is a data file (its chunks are computed) or the output of
    'tessary shape --chunks' for one file. Data files are chunked with
    --scheme, else with the scheme of the shape file given, else the default.
    """
    read = [(path, _shape_file_chunks(path)) for path in (args.a, args.b)]
    schemes: Set[ChunkScheme] = set()
    for _, found in read:
        if found is not None and found[1] is not None:
            schemes.add(found[1])
    if args.scheme is not None:
        schemes.add(args.scheme)
    if len(schemes) > 1:
        listed = ", ".join(sorted(_scheme_text(s) for s in schemes))
        raise CliError(f"the chunk sets use different schemes ({listed}); they cannot be compared")
    scheme = schemes.pop() if schemes else DEFAULT_SCHEME
    sides: List[List[str]] = []
    for path, found in read:
        if found is not None:
            sides.append(found[0])
        else:
            sides.append(_shape_of(path, scheme, True).chunk_ids)
    _out(repr(jaccard(sides[0], sides[1])))
    return EXIT_OK


# -- the parser ---------------------------------------------------------------------


def _summary(command: Callable[[Args], int]) -> str:
    doc = command.__doc__ or ""
    return doc.strip().split("\n", 1)[0]


def _description(command: Callable[[Args], int]) -> str:
    return inspect.cleandoc(command.__doc__ or "")


def build_parser() -> argparse.ArgumentParser:
    """The ``tessary`` argument parser with every command."""
    parser = _Parser(
        prog=PROG,
        description="Verifiable work receipts: record, verify and list receipts; data shapes; reuse economics.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands", parser_class=_Parser)
    commands.required = True

    def add(name: str, command: Callable[[Args], int]) -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(
            name,
            help=_summary(command),
            description=_description(command),
            formatter_class=argparse.RawDescriptionHelpFormatter,
            allow_abbrev=False,
        )
        sub.set_defaults(run=command, parser=sub)
        return sub

    p = add("record", _cmd_record)
    p.add_argument("workload", metavar="WORKLOAD", help="the workload (method identifier) of the work")
    p.add_argument("--payload", required=True, metavar="JSON|@FILE|-", help="the payload, a JSON object")
    p.add_argument("--tag", action="append", metavar="T", help="a tag for your bookkeeping (repeatable)")
    p.add_argument("--trace", metavar="ID", help="the trace the work belongs to")
    p.add_argument("--parent", type=_rid, metavar="RID", help="the identifier of the receipt this one follows")
    p.add_argument("--store", metavar="DIR|URL",
                   help="also keep the receipt in this store: a directory or a postgresql:// address")
    p.add_argument("--sign", metavar="KEY", help="sign the receipt with this private key file")

    p = add("verify", _cmd_verify)
    p.add_argument("sources", nargs="+", metavar="FILE|DIR|-", help="receipt files, directories or - (stdin)")
    p.add_argument("--json", action="store_true", help="print one JSON object with the counts and failures")
    p.add_argument("--trust", action="append", metavar="KEYFILE|DIR",
                   help="require a signature by this public key, or by a key in this directory (repeatable)")

    p = add("keygen", _cmd_keygen)
    p.add_argument("--out", default="tessary-key", metavar="PATH",
                   help="where the private key goes; the public key goes to PATH.pub (default ./tessary-key)")

    p = add("sign", _cmd_sign)
    p.add_argument("sources", nargs="+", metavar="FILE|DIR|-", help="receipt files, directories or - (stdin)")
    p.add_argument("--key", required=True, metavar="KEY", help="the private key file to sign with")
    p.add_argument("--in-place", action="store_true", help="write the signed receipts back over their files")

    p = add("export", _cmd_export)
    p.add_argument("source", metavar="FILE|-", help="a receipt file (- for stdin)")
    p.add_argument("--format", required=True, choices=["in-toto"], help="the export format")
    p.add_argument("--key", required=True, metavar="KEY", help="the private key file that signs the envelope")

    p = add("audit", _cmd_audit)
    p.add_argument("directory", metavar="DIR|URL",
                   help="a directory store, a folder of *.json receipt files or a postgresql:// address")
    p.add_argument("--trust", action="append", metavar="KEYFILE|DIR", help="trusted keys (repeatable)")
    p.add_argument("--json", action="store_true", help="print the report as one JSON object")

    p = add("show", _cmd_show)
    p.add_argument("receipt", metavar="RID|FILE", help="a receipt file (- for stdin) or a receipt identifier")
    p.add_argument("--store", metavar="DIR|URL",
                   help="the store to look a RID up in: a directory or a postgresql:// address")

    p = add("ls", _cmd_ls)
    p.add_argument("--store", required=True, metavar="DIR|URL",
                   help="the store to list: a directory or a postgresql:// address")
    p.add_argument("--workload", metavar="W", help="only execution receipts of this workload")
    p.add_argument("--trace", metavar="T", help="only receipts of this trace")
    p.add_argument("--policy", metavar="P", help="only receipts under this policy (ctx.policy_ref)")
    p.add_argument("--change-epoch", metavar="E", help="only receipts of this change epoch")
    p.add_argument("--pac", type=_pac, metavar="B64URL", help="only receipts with this pac (32 bytes, base64url)")
    p.add_argument("--start", type=_time_bound, metavar="TIME", help="only receipts at or after TIME")
    p.add_argument("--end", type=_time_bound, metavar="TIME", help="only receipts at or before TIME")
    p.add_argument("--limit", type=_nonnegative_int, metavar="N", help="at most N receipts")

    p = add("copy", _cmd_copy)
    p.add_argument("source", metavar="FROM", help="the store to copy from: a directory or a postgresql:// address")
    p.add_argument("target", metavar="TO", help="the store to copy into (created when missing)")

    p = add("shape", _cmd_shape)
    p.add_argument("paths", nargs="+", metavar="PATH", help="files to shape (- for standard input)")
    p.add_argument("--chunks", action="store_true", help="list the chunks (implies JSON output)")
    p.add_argument("--scheme", type=_scheme, metavar="cdc:N|fixed:N", help="chunk scheme (default cdc:65536)")
    p.add_argument("--json", action="store_true", help="one JSON object per file")

    p = add("reuse", _cmd_reuse)
    p.add_argument("--overlap", required=True, type=_overlap, metavar="J", help="the overlap, a number in [0, 1]")
    p.add_argument("--cost-model", required=True, metavar="FILE|-", help="the cost model JSON file (- for stdin)")
    p.add_argument("--rows", type=_nonnegative_int, metavar="N", help="the row count that linear costs are priced at")
    p.add_argument("--json", action="store_true", help="print the decision as one JSON object")

    p = add("jaccard", _cmd_jaccard)
    p.add_argument("a", metavar="A", help="a data file or a 'tessary shape --chunks' output file")
    p.add_argument("b", metavar="B", help="a data file or a 'tessary shape --chunks' output file")
    p.add_argument("--scheme", type=_scheme, metavar="cdc:N|fixed:N", help="chunk scheme for data files")

    return parser


# -- entry point --------------------------------------------------------------------


def _error(prog: str, message: str) -> None:
    sys.stderr.write(f"{prog}: error: {_one_line(message)}\n")
    sys.stderr.flush()


def _silence_stdout() -> None:
    """After a broken pipe: point stdout at /dev/null so the interpreter's final flush stays quiet."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); returns the exit code."""
    parser = build_parser()
    arguments = list(sys.argv[1:] if argv is None else argv)
    try:
        try:
            args, extra = parser.parse_known_args(arguments)
        except SystemExit as e:  # --help and --version
            sys.stdout.flush()
            return e.code if isinstance(e.code, int) else EXIT_OK
        sub: argparse.ArgumentParser = args.parser
        if extra:
            sub.error(f"unrecognized arguments: {' '.join(extra)}")
        prog = sub.prog
        try:
            code: int = args.run(args)
        except CliError as e:
            _error(prog, str(e))
            return EXIT_USAGE
        except TessaryError as e:
            _error(prog, str(e))
            return EXIT_USAGE
        except BrokenPipeError:
            raise
        except OSError as e:
            _error(prog, _describe_os_error(e))
            return EXIT_USAGE
        sys.stdout.flush()
        return code
    except _UsageError as e:
        _error(e.prog, e.message)
        return EXIT_USAGE
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _silence_stdout()
        return EXIT_PIPE

