"""The tessary command line as a whole (each family of commands has a file of its own): every command's mistakes,
the table of commands, exit codes, interrupts, a closed pipe, the console entry."""
import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
from typing import NoReturn, Optional

import pytest

from cli_helpers import assert_mistake, run
from tessary import cli
from tessary.cli import record as record_command

# Files that cannot be read (missing, a directory, a FIFO...) are refused by every command in test_hostile_inputs.
BAD: dict[str, tuple[list[str], Optional[str]]] = {
    "no command": ([], None),
    "unknown command": (["frobnicate"], None),
    "unknown option": (["ls", "--store", "{tmp}", "--colour"], "--colour"),
    # keys and signatures
    "public key cannot sign": (["sign", "--key", "{tmp}/lone.pub", "{tmp}/r.json"], "--key"),
    "signing key missing": (["sign", "--key", "{tmp}/none", "{tmp}/r.json"], "--key"),
    "sign a stale receipt": (["sign", "--key", "{tmp}/key", "{tmp}/stale.json"], "stale"),
    "sign stdin in place": (["sign", "--key", "{tmp}/key", "--in-place", "-"], "--in-place"),
    "private key to trust": (["verify", "--trust", "{tmp}/key", "{tmp}/r.json"], "--trust"),
    "trust folder without keys": (["verify", "--trust", "{tmp}/empty", "{tmp}/r.json"], "no public keys"),
    "keygen over a key": (["keygen", "--out", "{tmp}/key"], "key: already exists"),
    "keygen over a public key": (["keygen", "--out", "{tmp}/lone"], "lone.pub: already exists"),
    # shapes and the reuse rule
    "bad scheme": (["shape", "--scheme", "lz:4", "{tmp}/other.json"], "--scheme"),
    "zero chunk size": (["shape", "--scheme", "fixed:0", "{tmp}/other.json"], "--scheme"),
    "zero threads": (["shape", "--threads", "0", "{tmp}/other.json"], "--threads"),
    "shape a directory": (["shape", "{tmp}"], "is a directory"),
    "cost model incomplete": (["reuse", "--overlap", "0.5", "--cost-model", "{tmp}/other.json"], "--cost-model"),
    "shape without chunks": (["jaccard", "{tmp}/nochunks.json", "{tmp}/other.json"], "--chunks"),
    "jaccard across schemes": (["jaccard", "{tmp}/a.json", "{tmp}/c.json"], "different schemes"),
    "jaccard of standard input": (["jaccard", "-", "{tmp}/a.json"], "standard input"),
    # receipts and stores
    "non-receipt JSON": (["show", "{tmp}/other.json"], "not a receipt"),
    "start not a time": (["ls", "--store", "{tmp}", "--start", "yesterday"], "--start"),
    "negative limit": (["ls", "--store", "{tmp}", "--limit", "-1"], "--limit"),
    "short pac": (["ls", "--store", "{tmp}", "--pac", "AAAA"], "--pac"),
    "store that does not exist": (["ls", "--store", "{tmp}/nope"], "--store"),
    "store that is a file": (["ls", "--store", "{tmp}/r.json"], "--store: not a directory"),
    "payload not JSON": (["record", "w", "--payload", "{epochs: 3}"], "--payload"),
    "payload NaN": (["record", "w", "--payload", '{"x": NaN}'], "--payload"),
    "parent not a rid": (["record", "w", "--payload", "{}", "--parent", "abc"], "--parent"),
    "rid without store": (["show", "6f1c1d2e-0000-4000-8000-000000000000"], "--store"),
    "unknown rid": (["show", "6f1c1d2e-0000-4000-8000-000000000000", "--store", "{tmp}"], "no receipt"),
    "show several receipts": (["show", "{tmp}/lines.json"], "lines.json:2"),
    "audit a missing folder": (["audit", "{tmp}/missing"], "no such directory"),
    "audit trusting no keys": (["audit", "{tmp}", "--trust", "{tmp}/no-keys"], "--trust"),
    "cache gc of a missing store": (["cache", "gc", "--store", "{tmp}/missing"], "tessary cache gc: error: argument --store"),
}


@pytest.mark.parametrize("argv, needle", BAD.values(), ids=BAD.keys())
def test_mistakes_are_one_line_and_exit_2(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str], argv: list[str],
                                          needle: Optional[str]) -> None:
    assert_mistake(capsys, tmp_path, argv, needle)


@pytest.mark.parametrize("name", cli.COMMANDS)
def test_the_table_lists_what_each_command_says_of_itself(capsys: pytest.CaptureFixture[str], name: str) -> None:
    module = importlib.import_module(f"tessary.cli.{cli.COMMANDS[name][0]}")
    assert cli.COMMANDS[name][1] == inspect.cleandoc(module.__doc__ or "").split("\n", 1)[0]
    code, out, _ = run(capsys, name, "--help")
    assert code == 0 and out.startswith(f"usage: tessary {name}")


# Which command modules a fresh interpreter has imported once main() returns.
_IMPORTED = """
import json, sys
from tessary import cli
cli.main(sys.argv[1:])
modules = [m for m in sys.modules if m.startswith("tessary.cli.") and m.rsplit(".", 1)[1] in cli.COMMANDS]
print(json.dumps(sorted(modules)))
"""


@pytest.mark.parametrize("argv, imported", [
    (["--help"], []), (["ls", "--help"], ["tessary.cli.ls"]), (["frobnicate"], []),
])
def test_only_the_command_run_is_imported(argv: list[str], imported: list[str]) -> None:
    done = subprocess.run([sys.executable, "-c", _IMPORTED, *argv], env=_env(), capture_output=True, check=True)
    assert json.loads(done.stdout.decode().splitlines()[-1]) == imported


def test_interrupt(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    def interrupted(*args: object, **kwargs: object) -> NoReturn:
        raise KeyboardInterrupt

    monkeypatch.setattr(record_command, "record", interrupted)
    code, _, err = run(capsys, "record", "w", "--payload", "{}")
    assert code == 130 and err == "tessary: interrupted\n"


def _env(**extra: str) -> dict[str, str]:
    env = {k: v for k, v in os.environ.items() if k != "PYTHONUNBUFFERED"}
    env["PYTHONPATH"] = os.pathsep.join(sys.path)
    return {**env, **extra}


CLOSED_PIPE = {
    "ls": ["ls", "--store", "{store}"],
    "shape --chunks": ["shape", "--chunks", "{data}"],
    "verify --json": ["verify", "--json", "{receipt}"],
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
