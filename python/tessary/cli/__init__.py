"""The ``tessary`` command line: record, sign, verify, audit, show, list, copy, export receipts; keys; shapes; reuse; steps, their lineage and graph.

Each command is a module of this package holding ``add_arguments(parser)``
and ``run(args) -> int``; its docstring is the command's help text. Only the
module of the command being run is imported, so ``tessary --help`` and a
quick ``tessary verify`` do not pay for the others. A mistake in what the
user typed or gave us raises :class:`CliError` (or reaches the parser's
``error``) and becomes exactly one line on standard error and exit code 2.
Rich is imported only when output goes to a terminal.
"""

from __future__ import annotations

import argparse
import importlib
import sys
from types import ModuleType
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

__all__ = ["main", "build_parser", "COMMANDS", "CliError", "EXIT_OK", "EXIT_FAILED", "EXIT_USAGE", "EXIT_INTERRUPTED",
           "EXIT_PIPE"]

from ._base import EXIT_FAILED, EXIT_INTERRUPTED, EXIT_OK, EXIT_PIPE, EXIT_USAGE, PROG, CliError


# The command name, the module (of this package) that runs it, and the line 'tessary --help' shows for it.
# The line repeats the first line of the module's docstring, so listing the commands imports none of them.
COMMANDS: Dict[str, Tuple[str, str]] = {
    "record": ("record", "Record a unit of work and print its sealed receipt as JSON."),
    "verify": ("verify", "Verify receipts: every hash is recomputed and every receipt checked."),
    "keygen": ("keygen", "Make a new Ed25519 key pair and print its key id."),
    "sign": ("sign", "Sign receipts with a private key (as 'tessary keygen' writes)."),
    "export": ("export", "Print a receipt as an in-toto statement in a DSSE envelope signed with --key."),
    "audit": ("audit", "Audit a store or folder of receipts: each receipt, and the links between them."),
    "show": ("show", "Pretty-print one receipt, given as a file or as its identifier in --store."),
    "ls": ("ls", "List the receipts of a store that pass every filter given."),
    "copy": ("copy", "Copy every receipt of store FROM into store TO."),
    "shape": ("shape", "Print the data shape hash of each file (- for standard input)."),
    "reuse": ("reuse", "Decide whether to reuse an earlier result or recompute, given the overlap J."),
    "jaccard": ("jaccard", "Print the Jaccard similarity of the chunk sets of A and B."),
    "run": ("run", "Run a command as a tracked step and record what it read, ran, wrote and cost."),
    "lineage": ("lineage", "Print the chain of steps that produced a file, or the step a receipt identifier names, oldest first."),
    "graph": ("graph", "Print the graph of the store's steps: input files -> step -> output files."),
    "cache": ("cache", "Manage the output cache of tracked steps: 'tessary cache gc' removes what no kept receipt needs."),
}

_EPILOG = """\
exit codes:
  0    success
  1    a check failed (verify found a receipt that does not verify or is not trusted, audit a problem)
  2    usage or input error (bad option, missing file, text that is not a receipt)
  130  interrupted (Ctrl-C)
  141  standard output was closed early (e.g. piped into head); nothing is printed

Run 'tessary COMMAND --help' for the options of one command.
"""


def command_module(name: str) -> ModuleType:
    """The module that runs command ``name`` (imported now)."""
    return importlib.import_module(f"{__name__}.{COMMANDS[name][0]}")


def _cleandoc(doc: str) -> str:
    """A docstring without its indentation, as ``inspect.cleandoc`` gives it (inspect is slow to import)."""
    lines = doc.expandtabs().split("\n")
    margin = min((len(line) - len(line.lstrip()) for line in lines[1:] if line.lstrip()), default=0)
    lines = [lines[0].lstrip()] + [line[margin:] for line in lines[1:]]
    while lines and not lines[-1]:
        lines.pop()
    while lines and not lines[0]:
        lines.pop(0)
    return "\n".join(lines)


def build_parser(loaded: Optional[Iterable[str]] = None, *, only_loaded: bool = False) -> argparse.ArgumentParser:
    """The ``tessary`` argument parser listing every command, with the arguments of those ``loaded`` (default all).

    A command whose module is not loaded is listed by its summary alone and cannot be run; with
    ``only_loaded`` it is left out (each command's parser costs start-up time: a command being run
    needs only its own).
    """
    from ._arguments import Parser
    from .. import __version__

    parser = Parser(
        prog=PROG,
        description="Verifiable work receipts: record, verify and list receipts; data shapes; reuse economics.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        allow_abbrev=False,
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands", parser_class=Parser)
    commands.required = True
    wanted = set(COMMANDS if loaded is None else loaded)
    for name, (_, summary) in COMMANDS.items():
        if only_loaded and name not in wanted:
            continue
        sub: argparse.ArgumentParser = commands.add_parser(
            name, help=summary, formatter_class=argparse.RawDescriptionHelpFormatter, allow_abbrev=False
        )
        sub.set_defaults(parser=sub)
        if name in wanted:
            module = command_module(name)
            sub.description = _cleandoc(module.__doc__ or "")
            module.add_arguments(sub)
            sub.set_defaults(run=module.run)
    return parser


def _command_in(arguments: List[str]) -> List[str]:
    """The command the arguments name, if any: the first one that is not an option (the top level takes no values)."""
    for argument in arguments:
        if not argument.startswith("-"):
            return [argument] if argument in COMMANDS else []
    return []


# Commands that run another command: everything after their first "--" is that command, never parsed here.
_RUNS_A_COMMAND = {"run"}


def _split_command(arguments: List[str]) -> Tuple[List[str], Optional[List[str]]]:
    """The arguments before the first "--" and the command after it, for commands that run one."""
    if _command_in(arguments) and _command_in(arguments)[0] in _RUNS_A_COMMAND and "--" in arguments:
        cut = arguments.index("--")
        return arguments[:cut], arguments[cut + 1:]
    return arguments, None


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line with ``argv`` (default ``sys.argv[1:]``); returns the exit code."""
    from . import _output
    from ._arguments import UsageError

    arguments, command = _split_command(list(sys.argv[1:] if argv is None else argv))
    try:
        named = _command_in(arguments)
        parser = build_parser(named, only_loaded=bool(named))
        try:
            args, extra = parser.parse_known_args(arguments)
        except SystemExit as e:  # --help and --version
            sys.stdout.flush()
            return e.code if isinstance(e.code, int) else EXIT_OK
        sub: argparse.ArgumentParser = args.parser
        if extra:
            sub.error(f"unrecognized arguments: {' '.join(extra)}")
        if command is not None:
            args.command = command
        return _run(args.run, args, sub.prog)
    except UsageError as e:
        _output.error(e.prog, e.message)
        return EXIT_USAGE
    except KeyboardInterrupt:
        sys.stderr.write(f"{PROG}: interrupted\n")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _output.silence_stdout()
        return EXIT_PIPE


def _run(command: Callable[[argparse.Namespace], int], args: argparse.Namespace, prog: str) -> int:
    """Run one command; a mistake it reports becomes one line on standard error and exit code 2."""
    from . import _output
    from ..errors import TessaryError

    try:
        code = command(args)
    except (CliError, TessaryError) as e:
        _output.error(prog, str(e))
        return EXIT_USAGE
    except BrokenPipeError:
        raise
    except OSError as e:
        _output.error(prog, _output.describe_os_error(e))
        return EXIT_USAGE
    sys.stdout.flush()
    return code
