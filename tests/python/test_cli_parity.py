"""The same mistake gets the same words from Python and from the command line; values are checked when made;
errors name what the user wrote; ls --json; one exit code for a closed pipe; keygen's folders."""
import json
import math
import os
import pathlib
import stat
import subprocess
import sys
from typing import Any, Callable, Optional

import pytest

import tessary
from tessary.cli import _output
from cli_helpers import STUB_NATIVE, one_error_line, run

MODEL = {"c_id": 1, "c_comp": 10, "alpha": 0.9}
LINEAR = {"c_id": 1, "c_comp": {"type": "linear", "per_row": 0.01, "base": 2}, "alpha": 0.9}

# mistake: (overlap, model, rows given to Python and to --rows, the option the command line names)
REUSE_MISTAKES: dict[str, tuple[float, dict[str, Any], Optional[int], str]] = {
    "overlap above 1": (1.5, MODEL, None, "--overlap"),
    "overlap below 0": (-0.25, MODEL, None, "--overlap"),
    "overlap nan": (math.nan, MODEL, None, "--overlap"),
    "linear cost without rows": (0.5, LINEAR, None, "--rows"),
    "rows past 64 bits": (0.5, MODEL, 2**64, "--rows"),
    "negative rows": (0.5, MODEL, -1, "--rows"),
    "negative cost": (0.5, {**MODEL, "c_id": -1}, None, "--cost-model"),
    "negative linear base": (0.5, {**LINEAR, "c_comp": {"type": "linear", "per_row": 1, "base": -2}}, 3, "--cost-model"),
    "unknown model key": (0.5, {**MODEL, "beta": 2}, None, "--cost-model"),
    "unknown cost field": (0.5, {**MODEL, "c_id": {"type": "constant", "value": 1, "vaule": 2}}, None, "--cost-model"),
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


def test_schemes_that_differ_are_refused_alike_by_jaccard(tmp_path: pathlib.Path,
                                                          capsys: pytest.CaptureFixture[str]) -> None:
    data = bytes(range(256)) * 64
    (tmp_path / "data.bin").write_bytes(data)
    with pytest.raises(tessary.ShapeError) as refused:
        tessary.jaccard(tessary.data_shape(data, scheme=tessary.CDC(64), chunks=True),
                        tessary.data_shape(data, scheme=tessary.Fixed(64), chunks=True))
    for name, scheme in (("a", "cdc:64"), ("b", "fixed:64")):
        code, out, _ = run(capsys, "shape", "--chunks", "--scheme", scheme, tmp_path / "data.bin")
        assert code == 0
        (tmp_path / f"{name}.json").write_text(out)
    code, _, err = run(capsys, "jaccard", tmp_path / "a.json", tmp_path / "b.json")
    assert code == 2 and one_error_line(err, "tessary jaccard") == f"tessary jaccard: error: {refused.value}"


MADE: dict[str, tuple[Callable[[], object], type, str]] = {
    "CDC(0)": (lambda: tessary.CDC(0), tessary.ShapeError, "chunk size must be between 1 and 2**64 - 1, got 0"),
    "Fixed(-1)": (lambda: tessary.Fixed(-1), tessary.ShapeError, "got -1"),
    "Fixed(2**64)": (lambda: tessary.Fixed(2**64), tessary.ShapeError, "got 18446744073709551616"),
    "CDC(1.5)": (lambda: tessary.CDC(1.5), TypeError, "chunk size must be an int, not float"),  # type: ignore[arg-type]
    "Constant(-1)": (lambda: tessary.Constant(-1), tessary.CostModelError, "value must not be negative"),
    "Constant(inf)": (lambda: tessary.Constant(math.inf), tessary.CostModelError, "value must be finite"),
    "Linear(1, -2)": (lambda: tessary.Linear(1, -2), tessary.CostModelError, "base must not be negative"),
    "CostModel(-1, 1, 1)": (lambda: tessary.CostModel(-1, 1, 1), tessary.CostModelError, "c_id must not be negative"),
    "CostModel.of alpha": (lambda: tessary.CostModel.of(1, 1, {"type": "constant", "value": -0.5}),
                           tessary.CostModelError, "alpha.value must not be negative"),
    "from_dict unknown key": (lambda: tessary.CostModel.from_dict({**MODEL, "c_idd": 1}), tessary.CostModelError,
                              "unknown field 'c_idd'; expected 'c_id', 'c_comp', 'alpha'"),
}


@pytest.mark.parametrize("make, error, message", MADE.values(), ids=MADE.keys())
def test_schemes_and_cost_models_are_checked_when_made(make: Callable[[], object], error: type,
                                                      message: str) -> None:
    with pytest.raises(error, match=_literal(message)):
        make()


def _literal(text: str) -> str:
    import re

    return re.escape(text)


@pytest.mark.skipif(STUB_NATIVE, reason="needs the native data shape")
@pytest.mark.parametrize("call, error, message", [
    (lambda: tessary.record(123, {}), TypeError, "workload must be a str, not int"),  # type: ignore[arg-type]
    (lambda: tessary.record("w", {}, trace=7), TypeError, "trace must be a str, not int"),  # type: ignore[arg-type]
    (lambda: tessary.record("w", {}, tags=["a", 1]), TypeError, "each tag must be a str, not int"),  # type: ignore[list-item]
    (lambda: tessary.record("w", {"a": math.nan}), tessary.ReceiptError,
     "payload['a'] is nan; JSON has no NaN or infinity"),
    (lambda: tessary.record("w", {"a": [1, {"b": -math.inf}]}), tessary.ReceiptError,
     "payload['a'][1]['b'] is -inf; JSON has no NaN or infinity"),
    (lambda: tessary.data_shape("missing-file"), FileNotFoundError, "No such file or directory: 'missing-file'"),
])
def test_errors_name_what_the_caller_wrote(call: Callable[[], object], error: type, message: str) -> None:
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).endswith(message) and "PyString" not in str(raised.value)


def test_ls_is_json_lines_on_a_terminal_too_and_orders_by_time(tmp_path: pathlib.Path,
                                                               capsys: pytest.CaptureFixture[str],
                                                               monkeypatch: pytest.MonkeyPatch) -> None:
    store = tmp_path / "store"
    for trace in ("nightly-42", "nightly-43", "nightly-44"):
        assert run(capsys, "record", "etl.sample", "--payload", "{}", "--trace", trace, "--store", store)[0] == 0
    piped = run(capsys, "ls", "--store", store)[1]
    monkeypatch.setattr(_output, "is_terminal", lambda stream: True)
    code, as_json, _ = run(capsys, "ls", "--store", store, "--json")
    assert code == 0 and as_json == piped  # JSON lines, as when piped, even on a terminal
    code, ordered, _ = run(capsys, "ls", "--store", store, "--json", "--order", "time")
    listed = [tessary.Receipt.from_json(line) for line in ordered.splitlines()]
    keys = [(r.ctx.time.replace(microsecond=0), r.rid) for r in listed if r.ctx.time is not None]
    assert code == 0 and sorted(ordered.splitlines()) == sorted(piped.splitlines()) and keys == sorted(keys)


def _env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    return {**env, **extra}


CLOSED_PIPE = {
    "ls": ["ls", "--store", "{store}"],
    "shape --json": ["shape", "--json", "{data}"],
    "shape --chunks": ["shape", "--chunks", "{data}"],
    "verify --json": ["verify", "--json", "{receipt}"],
    "show": ["show", "{receipt}"],
}


@pytest.mark.parametrize("unbuffered", [{}, {"PYTHONUNBUFFERED": "1"}], ids=["buffered", "unbuffered"])
@pytest.mark.parametrize("argv", CLOSED_PIPE.values(), ids=CLOSED_PIPE.keys())
def test_a_closed_pipe_exits_141_for_every_command(tmp_path: pathlib.Path, store: pathlib.Path,
                                                   receipt_file: pathlib.Path, argv: list[str],
                                                   unbuffered: dict[str, str]) -> None:
    (tmp_path / "data.bin").write_bytes(bytes(range(256)) * 4096)
    names = {"store": str(store), "data": str(tmp_path / "data.bin"), "receipt": str(receipt_file)}
    reader, writer = os.pipe()
    os.close(reader)  # gone before the command writes a byte
    try:
        done = subprocess.run([sys.executable, "-m", "tessary", *(a.format(**names) for a in argv)],
                              stdout=writer, stderr=subprocess.PIPE, env=_env(**unbuffered), timeout=120)
    finally:
        os.close(writer)
    assert (done.returncode, done.stderr) == (141, b"")


@pytest.mark.parametrize("unbuffered", [{}, {"PYTHONUNBUFFERED": "1"}], ids=["buffered", "unbuffered"])
def test_a_reader_leaving_mid_line_exits_141(tmp_path: pathlib.Path, unbuffered: dict[str, str]) -> None:
    # One line of chunks far larger than a pipe holds: the reader leaves while the command is still writing it.
    (tmp_path / "data.bin").write_bytes(bytes(range(256)) * 1024)
    command = [sys.executable, "-m", "tessary", "shape", "--chunks", "--scheme", "fixed:64", str(tmp_path / "data.bin")]
    writer = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_env(**unbuffered))
    assert writer.stdout is not None and writer.stderr is not None
    assert len(os.read(writer.stdout.fileno(), 100)) > 0
    writer.stdout.close()
    assert writer.wait(timeout=120) == 141 and writer.stderr.read() == b""


def test_keygen_makes_missing_folders_private(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    target = tmp_path / "keys" / "ci" / "signer"
    code, out, _ = run(capsys, "keygen", "--out", target)
    assert code == 0 and out.startswith("ed25519:")
    for folder in (tmp_path / "keys", tmp_path / "keys" / "ci"):
        assert stat.S_IMODE(folder.stat().st_mode) == 0o700
    assert stat.S_IMODE(target.stat().st_mode) == 0o600 and (tmp_path / "keys" / "ci" / "signer.pub").is_file()
    (tmp_path / "file").write_text("")
    code, _, err = run(capsys, "keygen", "--out", tmp_path / "file" / "signer")
    assert code == 2 and "signer" in one_error_line(err, "tessary keygen")
