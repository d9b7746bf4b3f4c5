"""The data shape of a file or of standard input, under a progress bar when a large file is read on a terminal."""

from __future__ import annotations

import os
import sys
from typing import Optional

from ..errors import TessaryError, one_line
from ..shapes import ChunkScheme, DataShape, DataShapeHasher, data_shape
from . import _output
from ._base import CliError
from ._inputs import STDIN, label

MIB = 1 << 20
# Below this a file is shaped before a progress bar would have drawn its first frame.
PROGRESS_THRESHOLD = 4 * MIB
# Pieces large enough to hold many chunks each, for the hasher's threads.
PIECE = 8 * MIB


def _shape_with_progress(path: str, size: int, scheme: ChunkScheme, chunks: bool, threads: Optional[int]) -> DataShape:
    from rich.progress import DownloadColumn, TimeRemainingColumn, TransferSpeedColumn

    hasher = DataShapeHasher(scheme=scheme, chunks=chunks, threads=threads)
    with _output.progress(DownloadColumn(binary_units=True), TransferSpeedColumn(), TimeRemainingColumn()) as bar:
        task = bar.add_task(os.path.basename(path) or path, total=size)
        with open(path, "rb") as f:
            buffer = bytearray(PIECE)
            view = memoryview(buffer)
            while True:
                n = f.readinto(view)
                if not n:
                    break
                hasher.update(view[:n])
                bar.advance(task, n)
    return hasher.shape()


def shape_of(path: str, scheme: ChunkScheme, chunks: bool, threads: Optional[int] = None) -> DataShape:
    """The shape of a file (``-``: standard input); a file that cannot be read is the user's mistake."""
    try:
        if path == STDIN:
            return data_shape(sys.stdin.buffer, scheme=scheme, chunks=chunks, threads=threads)
        if _output.is_terminal(sys.stderr):
            size = os.stat(path).st_size
            if size > PROGRESS_THRESHOLD and os.path.isfile(path):
                return _shape_with_progress(path, size, scheme, chunks, threads)
        return data_shape(path, scheme=scheme, chunks=chunks, threads=threads)
    except OSError as e:
        raise CliError(_output.describe_os_error(e, label(path))) from None
    except TessaryError as e:
        raise CliError(f"{label(path)}: {one_line(str(e))}") from None
