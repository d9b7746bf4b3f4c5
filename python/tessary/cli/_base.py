"""What every command shares and needs first: the exit codes and the user's-mistake error."""

from __future__ import annotations

__all__ = ["PROG", "CliError", "EXIT_OK", "EXIT_FAILED", "EXIT_USAGE", "EXIT_INTERRUPTED", "EXIT_PIPE"]

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_PIPE = 141

PROG = "tessary"


class CliError(Exception):
    """A user's mistake: reported as one line on standard error, exit code 2."""
