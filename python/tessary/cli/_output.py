"""What the commands print: lines, one-line errors, the receipt table, progress bars, and a closed pipe.

Rich is imported only inside the functions that draw on a terminal, so piped
use never loads it. Commands call :func:`is_terminal` through this module
(``_output.is_terminal``), which lets a test pretend to be a terminal.
"""

from __future__ import annotations

import io
import os
import sys
from datetime import timezone
from typing import Any, Iterable, Mapping, Optional

from ..errors import one_line
from ..receipts import Receipt, ReceiptKind


def is_terminal(stream: Any) -> bool:
    isatty = getattr(stream, "isatty", None)
    try:
        return bool(isatty()) if callable(isatty) else False
    except (ValueError, OSError):
        return False


def out(text: str) -> None:
    """One line on standard output; a reader that has gone raises BrokenPipeError, whatever the buffering."""
    stream = sys.stdout
    raw = getattr(stream, "buffer", None)
    if not isinstance(raw, io.RawIOBase):
        stream.write(text + "\n")
        return
    # Unbuffered (python -u, PYTHONUNBUFFERED): the text layer writes once and ignores a short count, so
    # a reader leaving mid-line would lose the rest silently and exit 0. Finish the line here instead:
    # the next write after a short one fails with EPIPE like any other.
    stream.flush()
    view = memoryview((text + "\n").encode(stream.encoding, stream.errors or "strict"))
    while view:
        written = raw.write(view)
        view = view[written or 0 :]


def error(prog: str, message: str) -> None:
    """The one line on standard error that reports a mistake."""
    sys.stderr.write(f"{prog}: error: {one_line(message)}\n")
    sys.stderr.flush()


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def describe_os_error(error: OSError, name: Optional[str] = None) -> str:
    """``where: reason`` for a failed file operation; ``name`` overrides the file name the error carries."""
    from ..inputs import display_name

    where = name if name is not None else (display_name(error.filename) if error.filename is not None else None)
    reason = error.strerror or str(error)
    if isinstance(error, IsADirectoryError):
        reason = "is a directory, expected a file"
    return f"{where}: {reason}" if where else reason


def silence_stdout() -> None:
    """After a broken pipe: point stdout at /dev/null so the interpreter's final flush stays quiet."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError, io.UnsupportedOperation):
        pass


def stderr_console() -> Any:
    from rich.console import Console

    return Console(stderr=True)


def progress(*columns: Any) -> Any:
    """A rich progress display on standard error, gone when done: the task's description, a bar, then ``columns``.

    Only for a terminal: callers check ``is_terminal(sys.stderr)`` first.
    """
    from rich.progress import BarColumn, Progress, TextColumn

    return Progress(TextColumn("{task.description}"), BarColumn(), *columns, transient=True, console=stderr_console())


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


def step_status(receipt: Receipt) -> str:
    """A tracked step's status, from its execution receipt's attest; empty for any other receipt."""
    attest = receipt.attest
    if receipt.kind is not ReceiptKind.EXECUTION or not isinstance(attest, Mapping):
        return ""
    status = attest.get("status")
    return status if isinstance(status, str) and "step" in attest else ""


# A rid cut to this many characters is unique enough to recognise, as git's short commit names are;
# 'show' and 'ls --json' or '--wide' give the whole identifier.
SHORT_RID = 8


def receipt_table(receipts: Iterable[Receipt], wide: bool = False) -> None:
    """The receipts as a table on standard output, then their count."""
    from rich import box
    from rich.console import Console
    from rich.table import Table

    rows = [(receipt.rid if wide else receipt.rid[:SHORT_RID], receipt.kind.value, receipt.workload or "",
             step_status(receipt), receipt.trace or "", _short_time(receipt), _short_hash(receipt.hash))
            for receipt in receipts]
    # The status column is there only when a tracked step is listed: a store of plain records
    # keeps every character of 80 columns for workload and trace.
    with_status = any(row[3] for row in rows)
    # The box's one-space divider, no padding and no edge: on 80 columns every character goes to workload and trace.
    table = Table(show_header=True, header_style="bold", box=box.SIMPLE_HEAD, show_edge=False, padding=0)
    # Identifier, kind, status, time and hash keep their width; on a narrow terminal workload and
    # trace fold onto more lines rather than shrink to nothing.
    widths = {"rid": 36 if wide else SHORT_RID, "kind": 9, "workload": 8, "status": 9, "trace": 8, "timestamp": 20,
              "hash": 12}
    if not with_status:
        del widths["status"]
    for column, width in widths.items():
        fixed = column not in ("workload", "trace")
        table.add_column(column, no_wrap=fixed, min_width=width, overflow="fold")
    for row in rows:
        table.add_row(*(row if with_status else row[:3] + row[4:]))
    console = Console()
    console.print(table)
    console.print(plural(len(rows), "receipt"), highlight=False)
