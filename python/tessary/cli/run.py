"""Run a command as a tracked step and record what it read, ran, wrote and cost.

Every -i input is fingerprinted (SHA-256, size, data shape; a directory as a
manifest of its files), the command after -- runs as an argument vector (no
shell) with this terminal's standard streams, then every -o output is
fingerprinted. An execution receipt and a spend receipt go into --store,
linked to the receipts of the steps that produced the inputs. --code files
are the method (scripts, configuration): they go into the method shape with
the command and the --param values, not into the inputs.

Reuse (--reuse exact, the default): when the same command with the same
--code and --param values ran before over the same inputs, wrote the same
-o outputs and succeeded, and its outputs are in the cache, they are
restored (each checked against its digest) and the command does not run;
a spend receipt records the reuse. --reuse never always runs the command.
--reuse overlap, for steps whose earlier result may stand for a result over
similar inputs, also takes over a run of the same command over inputs that
overlap these, when J > c_id / (alpha * c_comp): J the exact overlap of the
chunk sets, c_comp what that run cost, c_id what finding it cost, alpha
given by --alpha or --cost-model. The spend receipt records the figures
either way.
A run whose output differs from an earlier run of the same work is warned
about on standard error ("non-deterministic step").

exit codes:
  N    the command's own exit code (128 + S when signal S killed it)
  1    the command succeeded but an -o output was not written (recorded as failed)
  2    usage or input error (a FIFO, device, dangling link or loop as input)
  126  the command cannot be run (not recorded)
  127  the command does not exist (not recorded: nothing ran)
  130  interrupted: the command is stopped, the step recorded as failed
"""

from __future__ import annotations

import argparse
import json
import sys
import warnings
from typing import TYPE_CHECKING, Dict, List, Optional

from ..errors import TessaryError
from ..steps import RESTORE_METHODS, RunResult, ReuseWarning, run_command
from ._base import PROG, CliError
from ._output import out

if TYPE_CHECKING:
    from ..signing import Keyring, SigningKey


def _param(text: str) -> str:
    if "=" not in text or text.startswith("="):
        raise argparse.ArgumentTypeError(f"expected KEY=VALUE, got {text!r}")
    return text


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("name", metavar="NAME", help="the step's name")
    parser.add_argument("-i", "--input", action="append", default=[], metavar="PATH",
                        help="a file or directory the command reads (repeatable)")
    parser.add_argument("-o", "--output", action="append", default=[], metavar="PATH",
                        help="a file or directory the command writes (repeatable)")
    parser.add_argument("--code", action="append", default=[], metavar="PATH",
                        help="a file that is part of the method: a script, a configuration (repeatable)")
    parser.add_argument("--param", action="append", default=[], type=_param, metavar="KEY=VALUE",
                        help="a parameter of the method; the value is text (repeatable)")
    parser.add_argument("--step-version", dest="step_version", metavar="V",
                        help="the step's version, bumped by hand when its method changes in ways not seen otherwise")
    parser.add_argument("--exclude", action="append", metavar="PATTERN",
                        help="leave files matching this gitignore pattern out of directories (repeatable; "
                             "replaces the defaults .git/, __pycache__/, *.pyc, .tessary/)")
    parser.add_argument("--store", required=True, metavar="DIR|URL",
                        help="where the receipts go: a directory or a postgresql:// address")
    parser.add_argument("--key", metavar="KEYFILE", help="sign both receipts with this private key file")
    parser.add_argument("--prices", metavar="FILE",
                        help='a price table: {"currency": "EUR", "unit_prices": {"vcpu_sec": 0.00001}}; '
                             "default: zero prices in XXX")
    parser.add_argument("--reuse", choices=("never", "exact", "overlap"), default="exact",
                        help="take over an earlier identical run whose outputs are cached (exact, the default), "
                             "also one over overlapping inputs when the reuse rule says so (overlap: only for "
                             "steps whose earlier result may stand for the new inputs'), or never")
    parser.add_argument("--alpha", type=float, metavar="A",
                        help="with --reuse overlap: the share of the compute cost reuse saves per unit of overlap")
    parser.add_argument("--cost-model", metavar="FILE",
                        help="with --reuse overlap: take alpha from this cost model JSON file")
    parser.add_argument("--cache", metavar="DIR",
                        help="the output cache (objects/ under DIR); default: the directory store's own folder")
    parser.add_argument("--restore", choices=RESTORE_METHODS, default="auto",
                        help="how outputs are restored: auto (a reflink where the file system clones, else a copy), "
                             "reflink, hardlink (shares the cached file: do not edit it in place) or copy")
    parser.add_argument("--trust", action="append", metavar="KEYS",
                        help="reuse only runs signed by these public keys (a key file or a folder of *.pub, *.pem; "
                             "repeatable); unsigned runs are passed over")
    parser.add_argument("--json", action="store_true",
                        help="after the command, print the step's receipts and measured use as JSON")
    # The command after "--" is split off before parsing, so that none of its arguments is taken for ours.
    parser.set_defaults(command=[])
    parser.usage = "%(prog)s NAME [-i PATH]... [-o PATH]... [options] -- COMMAND [ARG]..."


def _params(pairs: List[str]) -> Dict[str, str]:
    params: Dict[str, str] = {}
    for pair in pairs:
        key, value = pair.split("=", 1)
        if key in params:
            raise CliError(f"argument --param: {key} given twice")
        params[key] = value
    return params


def _report(result: RunResult) -> None:
    record = result.record
    summary: Dict[str, object] = {"exit_code": result.exit_code, "recorded": record is not None}
    if record is not None:
        usage = record.usage
        summary.update(
            status=record.status, exit_status=record.exit_status, reused=record.reused,
            execution=record.execution.rid, spend=record.spend.rid,
            rusage={"user_sec": usage.user_sec, "system_sec": usage.system_sec,
                    "peak_rss_bytes": usage.peak_rss_bytes, "wall_sec": usage.wall_sec},
            receipts=[record.execution.to_dict(), record.spend.to_dict()],
        )
    if result.reason is not None:
        summary["reason"] = result.reason
    out(json.dumps(summary, separators=(",", ":")))


def run(args: argparse.Namespace) -> int:
    command = list(args.command)
    if not command:
        raise CliError("no command given: put it after --, e.g. tessary run prepare -o out.csv -- make out.csv")
    key: Optional[SigningKey] = None
    trust: Optional[Keyring] = None
    if args.key is not None or args.trust:
        from ._keys import keyring, signing_key  # the signing code is loaded only for keys

        key = signing_key(args.key) if args.key is not None else None
        trust = keyring(args.trust) if args.trust else None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ReuseWarning)
        try:
            result = run_command(args.name, command, inputs=args.input, outputs=args.output, code=args.code,
                                 params=_params(args.param), store=args.store, key=key, prices=args.prices,
                                 version=args.step_version, excludes=args.exclude, reuse=args.reuse,
                                 cache=args.cache, restore=args.restore, trust=trust, alpha=args.alpha,
                                 cost_model=args.cost_model)
        except TessaryError as e:
            raise CliError(str(e)) from None
    for warning in caught:
        sys.stderr.write(f"{PROG} run: warning: {warning.message}\n")
    if result.record is not None and result.record.reused:
        sys.stderr.write(f"{PROG} run: reused {result.record.execution.rid}: the command did not run\n")
    if result.reason is not None:
        sys.stderr.write(f"{PROG} run: {result.reason}\n")
    if args.json:
        _report(result)
    return result.exit_code
