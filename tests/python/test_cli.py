"""The tessary command line as a whole: the table of commands, help, exit codes, interrupts, pipes, the console entry.

Each family of commands has its own file: test_cli_receipts.py, test_cli_keys.py, test_cli_shapes.py.
"""
import importlib
import inspect
import json
import os
import pathlib
import subprocess
import sys
from typing import NoReturn, Optional

import pytest

import tessary
from cli_helpers import Arg, assert_mistake, one_error_line, run
from tessary import cli
from tessary.cli import record as record_command

BAD: dict[str, tuple[list[str], Optional[str]]] = {
    "no command": ([], None),
    "unknown command": (["frobnicate"], None),
    "option before an unknown command": (["--colour", "frobnicate"], None),
    "unknown option": (["ls", "--store", "{tmp}", "--colour"], "--colour"),
    "missing file": (["export", "--format", "in-toto", "--key", "{tmp}/key", "{tmp}/missing.json"], "missing.json"),
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
    assert inspect.cleandoc(module.__doc__ or "").split("\n")[-1] in out
    assert cli.build_parser().format_help().count("130") == 1


# Which command modules a fresh interpreter has imported once main() returns.
_IMPORTED = """
import json, sys
from tessary import cli
cli.main(sys.argv[1:])
modules = [m for m in sys.modules if m.startswith("tessary.cli.") and m.rsplit(".", 1)[1] in cli.COMMANDS]
print(json.dumps(sorted(modules)))
"""


@pytest.mark.parametrize("argv, imported", [
    (["--help"], []),
    (["ls", "--help"], ["tessary.cli.ls"]),
    (["verify", "--help"], ["tessary.cli.verify"]),
    (["frobnicate"], []),
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


def _env() -> dict[str, str]:
    return dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.dirname(cli.__file__))))


def _python_m(*argv: Arg) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "tessary", *map(str, argv)], env=_env(), capture_output=True)


def test_console_entry(tmp_path: pathlib.Path, receipt_file: pathlib.Path) -> None:
    done = _python_m("--version")
    assert done.returncode == 0 and done.stdout.decode().strip() == f"tessary {tessary.__version__}"
    done = _python_m("reuse", "--overlap", "0.5", "--cost-model", tmp_path / "missing.json")
    assert done.returncode == 2 and done.stdout == b""
    one_error_line(done.stderr.decode(), "tessary reuse")
    # Output far larger than a pipe buffer, to a reader that stops after ten bytes: exit 141, nothing on stderr.
    writer = subprocess.Popen([sys.executable, "-m", "tessary", "shape", *[str(receipt_file)] * 3000],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_env())
    assert writer.stdout is not None and writer.stderr is not None
    assert len(writer.stdout.read(10)) == 10
    writer.stdout.close()
    assert writer.wait(timeout=60) == 141 and writer.stderr.read() == b""
