"""tessary._files: a file is replaced whole or not at all (the modes it keeps or sets are held by the key file and
in-place signing tests)."""
import os
import pathlib

import pytest

from tessary._files import replace_file


def test_a_failed_replace_leaves_no_trace(tmp_path: pathlib.Path) -> None:
    (tmp_path / "d").mkdir()
    with pytest.raises(IsADirectoryError):
        replace_file(str(tmp_path / "d"), b"new")  # a file cannot be renamed over a directory
    assert os.listdir(tmp_path) == ["d"] and os.listdir(tmp_path / "d") == []

