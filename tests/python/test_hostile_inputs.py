"""Hostile files and standard input through every command that reads them, each run as a real process.

A hang is a failure (every run has a 5 s timeout), and so is a traceback, an error that is not one line naming the
input, or a child that needed more than 200 MB to say no."""
import base64
import json
import os
import pathlib
import signal
import subprocess
import sys
from typing import Callable, Dict, List, NamedTuple, Optional, Tuple

import pytest

import tessary
from tessary import cli

PEAK_LIMIT_KB = 200 * 1024
# Under AddressSanitizer (the sanitized run preloads it) freed memory is held in
# quarantine, so a child's peak measures the sanitizer, not what it read.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
DEPTH = 100_000


def _write(path: pathlib.Path, data: bytes, size: int = 0, mode: int = 0o644) -> None:
    path.write_bytes(data)
    os.truncate(path, max(size, len(data)))
    path.chmod(mode)


# Each kind of hostile input, made at a path. The 100 MB file is sparse, so it costs no disk and little time.
MAKERS: Dict[str, Callable[[pathlib.Path], None]] = {
    "empty": lambda p: _write(p, b""),
    "whitespace": lambda p: _write(p, b" \n\t\r\n  \n"),
    "nested": lambda p: _write(p, b"[" * DEPTH + b"]" * DEPTH),
    "fifo": lambda p: os.mkfifo(p),
    "link to /dev/zero": lambda p: p.symlink_to("/dev/zero"),
    "100 MB": lambda p: _write(p, b"", size=100 * 10**6),
    "invalid UTF-8": lambda p: _write(p, b'{"workload": "caf\xe9"}\n'),
    "repeated members": lambda p: _write(p, b'{"c_id": 1, "c_id": 2, "c_comp": 3, "alpha": 0.5}'),
    "dangling link": lambda p: p.symlink_to(p.parent / "nowhere"),
    "link loop": lambda p: p.symlink_to(p),
    "directory": lambda p: p.mkdir(),
    "unreadable": lambda p: _write(p, b"{}", mode=0),
}
# What standard input can be: the rest cannot be opened by the shell that would redirect it.
STDIN_KINDS = {"empty", "whitespace", "nested", "link to /dev/zero", "100 MB", "invalid UTF-8", "repeated members"}
# Kinds that jaccard takes as data (it chunks any file that is not a shape listing) rather than refuses.
DATA_KINDS = {"empty", "whitespace", "nested", "100 MB", "invalid UTF-8", "repeated members"}
NO_RECEIPTS = {"empty", "whitespace", "directory"}


class Inputs:
    def __init__(self, root: pathlib.Path) -> None:
        self.root = root
        self.files = {kind: root / f"{i}.json" for i, kind in enumerate(MAKERS)}
        for kind, path in self.files.items():
            MAKERS[kind](path)
        # A --trust folder per kind whose one key file is that input.
        for kind, path in self.files.items():
            folder = root / f"keys{path.stem}"
            folder.mkdir()
            (folder / "k.pub").symlink_to(path, target_is_directory=kind == "directory")
        key = tessary.SigningKey.generate()
        self.key = root / "signing.key"
        key.save(self.key)
        self.receipt = root / "good.receipt"
        self.receipt.write_text(tessary.record("w", {"epochs": 3}).to_json())
        self.shape = root / "shape.chunks"
        self.shape.write_text(json.dumps({"path": "x", "hash": "sha256:00", "size": 4, "scheme": "cdc:65536",
                                          "chunks": [{"offset": 0, "length": 4, "id": "sha256:1"}]}))

    def trust_file(self, kind: str) -> pathlib.Path:
        return self.root / f"keys{self.files[kind].stem}" / "k.pub"


@pytest.fixture(scope="module")
def inputs(tmp_path_factory: pytest.TempPathFactory) -> Inputs:
    return Inputs(tmp_path_factory.mktemp("hostile"))


# argv for the command given the input's path; the named file is what the error must name.
Command = Callable[[Inputs, pathlib.Path], List[str]]
COMMANDS: Dict[str, Command] = {
    "verify": lambda i, f: ["verify", str(f)],
    "verify -": lambda i, f: ["verify", "-"],
    "show": lambda i, f: ["show", str(f)],
    "sign": lambda i, f: ["sign", "--key", str(i.key), str(f)],
    "export": lambda i, f: ["export", "--format", "in-toto", "--key", str(i.key), str(f)],
    "jaccard": lambda i, f: ["jaccard", str(f), str(i.shape)],
    "reuse --cost-model": lambda i, f: ["reuse", "--overlap", "0.5", "--cost-model", str(f)],
    "record --payload @FILE": lambda i, f: ["record", "w", "--payload", f"@{f}"],
    "verify --trust DIR": lambda i, f: ["verify", "--trust", str(f.parent), str(i.receipt)],
    "sign --key": lambda i, f: ["sign", "--key", str(f), str(i.receipt)],
}


def _expected(command: str, kind: str) -> int:
    """The documented exit code: verify counts what is not a receipt as failed; everything else refuses it."""
    if command in ("verify", "verify -"):
        return 2 if kind in NO_RECEIPTS else 1
    if command == "jaccard" and kind in DATA_KINDS:
        return 0
    return 2


def _cases() -> List[Tuple[str, str]]:
    return [(c, k) for c in COMMANDS for k in MAKERS if c != "verify -" or k in STDIN_KINDS]


class Done(NamedTuple):
    returncode: int
    stdout: str
    stderr: str
    peak_kb: int  # this child's own peak resident size


# Starts the command from a small process of its own and writes the command's
# peak memory to the descriptor it is given. A child forked straight from the
# test process would be charged the test process's own peak (Linux carries a
# process's peak across exec).
_LAUNCHER = """
import os, sys
report = int(sys.argv[1])
pid = os.fork()
if pid == 0:
    os.close(report)
    os.execv(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
os.write(report, str(usage.ru_maxrss).encode())
sys.exit(os.waitstatus_to_exitcode(status) % 256)
"""


def _run(argv: List[str], stdin: Optional[pathlib.Path]) -> Done:
    """The command run to its end, killed after 5 s so a hang fails; with its own peak memory."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.dirname(cli.__file__))))
    peak_read, peak_write = os.pipe()
    command = [sys.executable, "-c", _LAUNCHER, str(peak_write), sys.executable, "-m", "tessary", *argv]
    with open(stdin if stdin is not None else os.devnull, "rb") as source, os.fdopen(peak_read, "rb") as peak:
        try:
            child = subprocess.Popen(command, stdin=source, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, pass_fds=(peak_write,), start_new_session=True)
        finally:
            os.close(peak_write)
        try:
            out, err = child.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            child.communicate()
            raise AssertionError(f"{argv} did not end within 5 s") from None
        peak_kb = int(peak.read() or b"0")
    return Done(child.returncode, out.decode(), err.decode(), peak_kb)


@pytest.mark.parametrize("command, kind", _cases(), ids=[f"{c}-{k}" for c, k in _cases()])
def test_hostile_input_is_named_and_refused_in_bounds(inputs: Inputs, command: str, kind: str) -> None:
    if kind == "unreadable" and os.geteuid() == 0:
        pytest.skip("root reads a file whatever its mode")
    path = inputs.trust_file(kind) if command == "verify --trust DIR" else inputs.files[kind]
    stdin = path if command == "verify -" else None
    done = _run(COMMANDS[command](inputs, path), stdin)
    assert SANITIZED or done.peak_kb < PEAK_LIMIT_KB
    assert "Traceback" not in done.stderr
    code = _expected(command, kind)
    assert done.returncode == code, done.stderr
    name = "<stdin>" if stdin is not None else str(path)
    if code == 2:
        lines = done.stderr.splitlines()
        assert len(lines) == 1 and ": error: " in lines[0] and name in lines[0], done.stderr
    elif code == 1:
        failure, summary = done.stdout.splitlines()
        assert failure.startswith(f"{name}: unreadable: ") and summary.endswith("1 failed") and not done.stderr
    else:
        assert not done.stderr


@pytest.mark.parametrize("content", ["", "  \n\n", None], ids=["empty file", "whitespace", "empty folder"])
@pytest.mark.parametrize("stdin", [False, True], ids=["file", "stdin"])
@pytest.mark.parametrize("trust", [False, True], ids=["plain", "trust"])
def test_no_receipts_is_an_error_unless_allowed(tmp_path: pathlib.Path, content: Optional[str], stdin: bool,
                                                trust: bool) -> None:
    if content is None and stdin:
        pytest.skip("a folder is not standard input")
    source = tmp_path / "in"
    source.mkdir() if content is None else source.write_text(content)
    tessary.SigningKey.generate().public_key.save(tmp_path / "k.pub")
    argv = ["verify", *(["--trust", str(tmp_path / "k.pub")] if trust else []), "-" if stdin else str(source)]
    done = _run(argv, source if stdin else None)
    assert done.returncode == 2 and done.stderr.count("\n") == 1 and "no receipts in" in done.stderr
    allowed = _run([*argv, "--allow-empty", "--json"], source if stdin else None)
    assert allowed.returncode == 0 and json.loads(allowed.stdout)["receipts"] == 0


def test_paths_that_are_not_utf8_are_named_by_their_option(tmp_path: pathlib.Path) -> None:
    name = os.fsencode(tmp_path) + b"/k\xff.key"
    pathlib.Path(os.fsdecode(name)).write_bytes(b"not a key")
    done = _run(["sign", "--key", os.fsdecode(name), os.devnull], None)
    err = done.stderr
    assert done.returncode == 2 and err.startswith("tessary sign: error: argument --key: ") and "k\\xff.key" in err


def _envelope(key: tessary.SigningKey, body: bytes) -> str:
    kind = "application/vnd.in-toto+json"
    message = b"DSSEv1 %d %s %d %s" % (len(kind), kind.encode(), len(body), body)
    return json.dumps({"payloadType": kind, "payload": base64.b64encode(body).decode(),
                       "signatures": [{"keyid": key.kid, "sig": base64.b64encode(key.sign(message)).decode()}]})


@pytest.mark.parametrize("outer", [False, True], ids=["nested statement", "nested envelope"])
def test_a_deeply_nested_envelope_is_a_failed_check(tmp_path: pathlib.Path, outer: bool) -> None:
    key = tessary.SigningKey.generate()
    key.public_key.save(tmp_path / "k.pub")
    nested = b"[" * DEPTH + b"]" * DEPTH
    text = _envelope(key, nested)
    if outer:
        text = text[:-1] + ', "x": ' + "[" * DEPTH + "]" * DEPTH + "}"
    (tmp_path / "envelope.json").write_text(text)
    done = _run(["verify", "--trust", str(tmp_path / "k.pub"), str(tmp_path / "envelope.json")], None)
    assert done.returncode == 1 and not done.stderr
    assert done.stdout.startswith(f"{tmp_path / 'envelope.json'}: ") and "nested too deeply" in done.stdout
