"""tessary._files: a file is replaced whole or not at all, and keeps the mode asked for.

That a new file never overwrites is held by the key files' tests in test_signing."""
import os
import pathlib
import stat
from typing import Optional

import pytest

from tessary._files import replace_file


@pytest.mark.parametrize("existing, mode, expected", [(None, 0o600, 0o600), (0o640, None, 0o640), (0o644, 0o600, 0o600)])
def test_replace_file_writes_whole_with_its_mode(tmp_path: pathlib.Path, existing: Optional[int], mode: Optional[int],
                                                 expected: int) -> None:
    path = tmp_path / "f"
    if existing is not None:
        path.write_bytes(b"old")
        os.chmod(path, existing)
    replace_file(str(path), b"new", mode)
    assert path.read_bytes() == b"new" and stat.S_IMODE(path.stat().st_mode) == expected
    assert os.listdir(tmp_path) == ["f"]


def test_a_failed_replace_leaves_no_trace(tmp_path: pathlib.Path) -> None:
    (tmp_path / "d").mkdir()
    with pytest.raises(IsADirectoryError):
        replace_file(str(tmp_path / "d"), b"new")  # a file cannot be renamed over a directory
    assert os.listdir(tmp_path) == ["d"] and os.listdir(tmp_path / "d") == []

