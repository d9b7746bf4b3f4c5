"""Running the command line in-process for the test_cli files: its exit code, output and one-line errors."""
import io
import json
import os
import pathlib
import sys
from typing import Iterable, Optional, Union

import pytest

import tessary
from tessary import cli

PAYLOAD = '{"epochs": 3, "lr": 0.1}'
STUB_NATIVE = tessary._native.__file__.endswith(".py")

Arg = Union[str, os.PathLike[str]]


def run(capsys: pytest.CaptureFixture[str], *argv: Arg, stdin: Optional[str] = None,
        monkeypatch: Optional[pytest.MonkeyPatch] = None) -> tuple[int, str, str]:
    if stdin is not None:
        assert monkeypatch is not None, "stdin is replaced through monkeypatch"
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin.encode()), encoding="utf-8"))
    code = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def one_error_line(err: str, prog: str = "tessary") -> str:
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith(prog) and ": error: " in lines[0] and "Traceback" not in err
    return lines[0]


def shape_file(path: pathlib.Path, ids: list[str], scheme: str = "fixed:4") -> pathlib.Path:
    path.write_text(json.dumps({"path": "x", "hash": "sha256:00", "size": 0, "scheme": scheme,
                                "chunks": [{"offset": 0, "length": 4, "id": i} for i in ids]}) + "\n")
    return path


def mistake_inputs(tmp: pathlib.Path) -> None:
    """The files the tables of mistakes name: near misses of every kind of input the commands read."""
    (tmp / "other.json").write_text('{"c_id": 1}')
    (tmp / "array.json").write_text("[1, 2]")
    (tmp / "cm.json").write_text('{"c_id": 1, "c_comp": 10, "alpha": 0.9}')
    (tmp / "nochunks.json").write_text('{"path": "x", "hash": "sha256:00", "size": 1, "scheme": "cdc:65536"}')
    good = tessary.record("w", {})
    (tmp / "r.json").write_text(good.to_json())
    (tmp / "lines.json").write_text(good.to_json() + "\n{broken\n" + good.to_json() + "\n")
    (tmp / "stale.json").write_text(json.dumps(dict(good.to_dict(), dom="sha256:" + "0" * 64)))
    shape_file(tmp / "a.json", ["sha256:1"])
    shape_file(tmp / "c.json", ["sha256:1"], scheme="cdc:65536")
    (tmp / "empty").mkdir()
    key = tessary.SigningKey.generate()
    key.save(tmp / "key")
    key.public_key.save(tmp / "lone.pub")  # a public key with no private one beside it


def assert_mistake(capsys: pytest.CaptureFixture[str], tmp: pathlib.Path, argv: Iterable[str],
                   needle: Optional[str]) -> None:
    """A mistake is one line on standard error and exit code 2; ``{tmp}`` in ``argv`` is the inputs' folder."""
    mistake_inputs(tmp)
    code, _, err = run(capsys, *(a.replace("{tmp}", str(tmp)) for a in argv))
    assert code == 2
    line = one_error_line(err)
    if needle is not None:
        assert needle in line
