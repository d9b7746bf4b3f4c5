"""tessary shape, reuse and jaccard: data shapes and the reuse rule through the command line."""
import json
import math
import os
import pathlib
import sys
import io
from typing import Any, Optional, Union

import pytest

import tessary
from cli_helpers import STUB_NATIVE, one_error_line, run, shape_file
from tessary import cli
from tessary.cli import _arguments, _output, _shaping

needs_chunks = pytest.mark.skipif(STUB_NATIVE, reason="chunk lists need the compiled extension")


@pytest.mark.parametrize("text, scheme", [("cdc:65536", tessary.CDC(65536)), ("cdc:64K", tessary.CDC(65536)),
                                          ("fixed:4096", tessary.Fixed(4096)), ("FIXED:1MiB", tessary.Fixed(1 << 20))])
def test_scheme_texts(text: str, scheme: Union[tessary.CDC, tessary.Fixed]) -> None:
    assert _arguments.scheme(text) == scheme
    assert _arguments.scheme(_arguments.scheme_text(scheme)) == scheme


@pytest.mark.parametrize("scheme", [None, tessary.Fixed(1000)])
def test_shape_matches_the_library_on_every_path(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str],
                                                 monkeypatch: pytest.MonkeyPatch, scheme: Optional[tessary.Fixed]) -> None:
    data = os.urandom(300_000)
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    expected = tessary.data_shape(data, scheme=scheme, chunks=True)
    option = ["--scheme", _arguments.scheme_text(scheme)] if scheme else []
    code, out, _ = run(capsys, "shape", path, *option)
    assert (code, out) == (0, f"{expected.hash}  {len(data)}  {path}\n")
    # With stderr on a terminal, a file over the threshold is read in pieces under a progress bar.
    monkeypatch.setattr(_output, "is_terminal", lambda stream: stream is sys.stderr)
    monkeypatch.setattr(_shaping, "PROGRESS_THRESHOLD", 1000)
    monkeypatch.setattr(_shaping, "MIB", 4096)
    code, out, _ = run(capsys, "shape", "--chunks", path, *option)
    record = json.loads(out)
    assert (record["hash"], record["size"]) == (expected.hash, len(data))
    assert [c["id"] for c in record["chunks"]] == expected.chunk_ids
    assert sum(c["length"] for c in record["chunks"]) == (len(data) if not STUB_NATIVE else 0)


def test_shape_of_stdin_and_json(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str],
                                 monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"abc")))
    code, out, _ = run(capsys, "shape", "--json", "-")
    assert code == 0 and json.loads(out) == {"path": "-", "hash": tessary.data_shape(b"abc").hash, "size": 3,
                                             "scheme": "cdc:65536"}


@pytest.mark.parametrize("overlap, rows, model", [
    ("0.5", None, {"c_id": 1, "c_comp": 10, "alpha": 0.9}), ("0.05", None, {"c_id": 1, "c_comp": 10, "alpha": 0.9}),
    ("0.3", "1000", {"c_id": 5, "c_comp": {"type": "linear", "per_row": 0.1, "base": 2}, "alpha": 1}),
])
def test_reuse_prints_the_library_decision(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch,
                                           overlap: str, rows: Optional[str], model: dict[str, Any]) -> None:
    expected = tessary.decide_reuse(float(overlap), model, rows=int(rows) if rows else None)
    extra = ["--rows", rows] if rows else []
    code, out, _ = run(capsys, "reuse", "--overlap", overlap, "--cost-model", "-", "--json", *extra,
                       stdin=json.dumps(model), monkeypatch=monkeypatch)
    assert code == 0 and json.loads(out) == expected.to_dict()


def test_jaccard_of_shape_files(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    a = shape_file(tmp_path / "a.json", ["sha256:1", "sha256:2", "sha256:2"])
    b = shape_file(tmp_path / "b.json", ["sha256:2", "sha256:3"])
    assert run(capsys, "jaccard", a, b)[:2] == (0, "0.3333333333333333\n")


@needs_chunks
def test_jaccard_of_data_against_its_shape(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    data = os.urandom(100_000)
    (tmp_path / "v1.bin").write_bytes(data)
    (tmp_path / "v2.bin").write_bytes(data[:50_000] + os.urandom(50_000))
    assert cli.main(["shape", "--chunks", "--scheme", "fixed:10000", str(tmp_path / "v1.bin")]) == 0
    (tmp_path / "v1.json").write_text(capsys.readouterr().out)
    code, out, _ = run(capsys, "jaccard", tmp_path / "v1.json", tmp_path / "v2.bin")
    assert code == 0 and float(out) == pytest.approx(5 / 15)


# -- the same mistake gets the same words from Python and from the command line ------------------
MODEL = {"c_id": 1, "c_comp": 10, "alpha": 0.9}
LINEAR = {"c_id": 1, "c_comp": {"type": "linear", "per_row": 0.01, "base": 2}, "alpha": 0.9}

# mistake: (overlap, model, rows given to Python and to --rows, the option the command line names)
REUSE_MISTAKES: dict[str, tuple[float, dict[str, Any], Optional[int], str]] = {
    "overlap nan": (math.nan, MODEL, None, "--overlap"),
    "linear cost without rows": (0.5, LINEAR, None, "--rows"),
    "unknown model key": (0.5, {**MODEL, "beta": 2}, None, "--cost-model"),
}


@pytest.mark.parametrize("overlap, model, rows, option", REUSE_MISTAKES.values(), ids=REUSE_MISTAKES.keys())
def test_reuse_mistakes_read_alike_in_python_and_on_the_command_line(
        tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str],
        overlap: float, model: dict[str, Any], rows: Optional[int], option: str) -> None:
    with pytest.raises(tessary.CostModelError) as refused:
        tessary.decide_reuse(overlap, model, rows=rows)
    (tmp_path / "model.json").write_text(json.dumps(model))
    extra = ["--rows", str(rows)] if rows is not None else []
    code, out, err = run(capsys, "reuse", "--overlap", repr(overlap), "--cost-model", tmp_path / "model.json", *extra)
    assert code == 2 and out == ""
    assert one_error_line(err, "tessary reuse") == f"tessary reuse: error: argument {option}: {refused.value}"
