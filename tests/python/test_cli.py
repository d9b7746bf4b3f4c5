"""The tessary command line: exit codes, one-line errors, pipes between commands, output forms."""
import io
import json
import os
import pathlib
import subprocess
import sys
from datetime import datetime, timezone
from typing import Any, NoReturn, Optional, Union

import pytest

import tessary
import tessary._native
from tessary import cli
from tessary.cli import _arguments, _output, _shaping
from tessary.cli import record as record_command

STUB_NATIVE = tessary._native.__file__.endswith(".py")
needs_chunks = pytest.mark.skipif(STUB_NATIVE, reason="chunk lists need the compiled extension")
PAYLOAD = '{"epochs": 3, "lr": 0.1}'


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


@pytest.fixture
def store(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> pathlib.Path:
    path = tmp_path / "store"
    for workload, trace in (("train", "t1"), ("train", "t2"), ("eval", "t1")):
        assert cli.main(["record", workload, "--payload", PAYLOAD, "--trace", trace, "--store", str(path)]) == 0
    capsys.readouterr()
    return path


@pytest.fixture
def receipt_file(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> pathlib.Path:
    assert cli.main(["record", "train", "--payload", PAYLOAD, "--tag", "a", "--tag", "b"]) == 0
    path = tmp_path / "r.json"
    path.write_text(capsys.readouterr().out)
    return path


def _shape_file(path: pathlib.Path, ids: list[str], scheme: str = "fixed:4") -> pathlib.Path:
    path.write_text(json.dumps({"path": "x", "hash": "sha256:00", "size": 0, "scheme": scheme,
                                "chunks": [{"offset": 0, "length": 4, "id": i} for i in ids]}) + "\n")
    return path


# -- mistakes: one line on stderr, exit 2 --------------------------------------------------

BAD: dict[str, tuple[list[str], Optional[str]]] = {
    "no command": ([], None),
    "unknown command": (["frobnicate"], None),
    "missing file": (["verify", "{tmp}/missing.json"], "missing.json"),
    "directory as file": (["show", "{tmp}"], "is a directory"),
    "non-receipt JSON": (["verify", "{tmp}/other.json"], "not a receipt"),
    "JSON lines with a broken line": (["verify", "{tmp}/lines.json"], "lines.json:2"),
    "array as receipt": (["verify", "{tmp}/array.json"], "not a receipt"),
    "start not a time": (["ls", "--store", "{tmp}", "--start", "yesterday"], "--start"),
    "end not a date": (["ls", "--store", "{tmp}", "--end", "2024-13-01"], "--end"),
    "negative limit": (["ls", "--store", "{tmp}", "--limit", "-1"], "--limit"),
    "short pac": (["ls", "--store", "{tmp}", "--pac", "AAAA"], "--pac"),
    "pac not base64": (["ls", "--store", "{tmp}", "--pac", "!!"], "--pac"),
    "unknown option": (["ls", "--store", "{tmp}", "--colour"], "--colour"),
    "store that does not exist": (["ls", "--store", "{tmp}/nope"], "--store"),
    "payload not JSON": (["record", "w", "--payload", "{epochs: 3}"], "--payload"),
    "payload an array": (["record", "w", "--payload", "[1]"], "--payload"),
    "payload NaN": (["record", "w", "--payload", '{"x": NaN}'], "--payload"),
    "payload file missing": (["record", "w", "--payload", "@{tmp}/none.json"], "none.json"),
    "parent not a rid": (["record", "w", "--payload", "{}", "--parent", "abc"], "--parent"),
    "rid without store": (["show", "6f1c1d2e-0000-4000-8000-000000000000"], "--store"),
    "unknown rid": (["show", "6f1c1d2e-0000-4000-8000-000000000000", "--store", "{tmp}"], "no receipt"),
    "bad scheme": (["shape", "--scheme", "lz:4", "{tmp}/other.json"], "--scheme"),
    "zero chunk size": (["shape", "--scheme", "fixed:0", "{tmp}/other.json"], "--scheme"),
    "shape a directory": (["shape", "{tmp}"], "is a directory"),
    "overlap out of range": (["reuse", "--overlap", "1.5", "--cost-model", "{tmp}/cm.json"], "--overlap"),
    "cost model incomplete": (["reuse", "--overlap", "0.5", "--cost-model", "{tmp}/other.json"], "--cost-model"),
    "shape without chunks": (["jaccard", "{tmp}/nochunks.json", "{tmp}/other.json"], "--chunks"),
    "jaccard across schemes": (["jaccard", "{tmp}/a.json", "{tmp}/c.json"], "different schemes"),
    "public key cannot sign": (["sign", "--key", "{tmp}/lone.pub", "{tmp}/r.json"], "--key"),
    "signing key missing": (["sign", "--key", "{tmp}/none", "{tmp}/r.json"], "--key"),
    "sign a stale receipt": (["sign", "--key", "{tmp}/key", "{tmp}/stale.json"], "stale"),
    "sign stdin in place": (["sign", "--key", "{tmp}/key", "--in-place", "-"], "--in-place"),
    "private key to trust": (["verify", "--trust", "{tmp}/key", "{tmp}/r.json"], "--trust"),
    "trust folder without keys": (["verify", "--trust", "{tmp}/empty", "{tmp}/r.json"], "no public keys"),
    "unknown export format": (["export", "--format", "spdx", "--key", "{tmp}/key", "{tmp}/r.json"], "--format"),
    "record signing key missing": (["record", "w", "--payload", "{}", "--sign", "{tmp}/none"], "--sign"),
    "keygen over a key": (["keygen", "--out", "{tmp}/key"], "key: already exists"),
    "keygen over a public key": (["keygen", "--out", "{tmp}/lone"], "lone.pub: already exists"),
}


@pytest.mark.parametrize("argv, needle", BAD.values(), ids=BAD.keys())
def test_mistakes_are_one_line_and_exit_2(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str], argv: list[str],
                                          needle: Optional[str]) -> None:
    (tmp_path / "other.json").write_text('{"c_id": 1}')
    (tmp_path / "array.json").write_text("[1, 2]")
    (tmp_path / "cm.json").write_text('{"c_id": 1, "c_comp": 10, "alpha": 0.9}')
    (tmp_path / "nochunks.json").write_text('{"path": "x", "hash": "sha256:00", "size": 1, "scheme": "cdc:65536"}')
    good = tessary.record("w", {})
    (tmp_path / "r.json").write_text(good.to_json())
    (tmp_path / "lines.json").write_text(good.to_json() + "\n{broken\n" + good.to_json() + "\n")
    (tmp_path / "stale.json").write_text(json.dumps(dict(good.to_dict(), dom="sha256:" + "0" * 64)))
    _shape_file(tmp_path / "a.json", ["sha256:1"])
    _shape_file(tmp_path / "c.json", ["sha256:1"], scheme="cdc:65536")
    (tmp_path / "empty").mkdir()
    key = tessary.SigningKey.generate()
    key.save(tmp_path / "key")
    key.public_key.save(tmp_path / "lone.pub")  # a public key with no private one beside it
    code, out, err = run(capsys, *(a.replace("{tmp}", str(tmp_path)) for a in argv))
    assert code == 2
    line = one_error_line(err)
    if needle is not None:
        assert needle in line


# -- record, ls, verify round trip ----------------------------------------------------------


def test_round_trip_through_ls_and_verify(store: pathlib.Path, tmp_path: pathlib.Path,
                                          capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    code, listed, _ = run(capsys, "ls", "--store", store)
    assert code == 0
    lines = listed.splitlines()
    assert len(lines) == 3 and all(tessary.Receipt.from_json(line).verify() for line in lines)

    tampered = json.loads(lines[1])
    tampered["payload"]["trace_id"] = "forged"
    bad = tmp_path / "tampered.json"
    bad.write_text(json.dumps(tampered))
    code, out, _ = run(capsys, "verify", bad, store)
    assert code == 1
    failure, summary = out.splitlines()
    assert failure.startswith(f"{bad}: {tampered['rid']}: Hash mismatch")
    assert summary == "4 receipts: 3 verified, 1 failed"

    lines[1] = json.dumps(tampered)
    code, out, _ = run(capsys, "verify", "-", stdin="\n".join(lines) + "\n", monkeypatch=monkeypatch)
    assert code == 1 and out.startswith(f"<stdin>:2: {tampered['rid']}: Hash mismatch")

    code, out, _ = run(capsys, "verify", "--json", bad, store)
    report = json.loads(out)
    assert code == 1 and (report["receipts"], report["verified"], report["failed"]) == (4, 3, 1)
    assert report["failures"][0]["rid"] == tampered["rid"]


@pytest.mark.parametrize("filters, count", [([], 3), (["--workload", "train"], 2), (["--trace", "t1"], 2),
                                            (["--limit", "1"], 1), (["--limit", "0"], 0)])
def test_ls_filters(store: pathlib.Path, capsys: pytest.CaptureFixture[str], filters: list[str], count: int) -> None:
    code, out, _ = run(capsys, "ls", "--store", store, *filters)
    assert code == 0 and len(out.splitlines()) == count


def test_verify_reads_every_form(receipt_file: pathlib.Path, store: pathlib.Path, tmp_path: pathlib.Path,
                                 capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    indented = tmp_path / "indented.json"
    assert cli.main(["show", str(receipt_file)]) == 0
    indented.write_text(capsys.readouterr().out)
    folder = tmp_path / "folder"
    folder.mkdir()
    (folder / "one.json").write_text(receipt_file.read_text())
    (folder / "notes.txt").write_text("not looked at")
    lines = tmp_path / "lines.jsonl"
    lines.write_text(receipt_file.read_text() * 2 + "\n")
    code, out, _ = run(capsys, "verify", receipt_file, indented, folder, lines, store, "-",
                       stdin=receipt_file.read_text(), monkeypatch=monkeypatch)
    assert (code, out) == (0, "9 receipts: 9 verified, 0 failed\n")


def test_show_by_rid_and_terminal_forms(receipt_file: pathlib.Path, store: pathlib.Path,
                                         capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    rid = json.loads(receipt_file.read_text())["rid"]
    listed = run(capsys, "ls", "--store", store)[1].splitlines()
    wanted = json.loads(listed[0])
    code, out, _ = run(capsys, "show", wanted["rid"].upper(), "--store", store)
    assert code == 0 and json.loads(out) == wanted
    monkeypatch.setattr(_output, "is_terminal", lambda stream: True)
    code, out, _ = run(capsys, "show", receipt_file)
    header, body = out.split("\n\n", 1)
    assert "execution" in header and rid in header and "verified: yes" in header
    assert json.loads(body)["rid"] == rid
    forged = json.loads(body)
    forged["links"] = [rid]
    receipt_file.write_text(json.dumps(forged))
    code, out, _ = run(capsys, "show", receipt_file)
    assert code == 0 and "verified: NO: Hash mismatch" in out
    monkeypatch.setenv("COLUMNS", "160")
    code, out, _ = run(capsys, "ls", "--store", store)  # a table
    assert code == 0 and all(json.loads(line)["rid"] in out for line in listed) and "3 receipts" in out


# -- option values ------------------------------------------------------------------------------


@pytest.mark.parametrize("text", ["2024-05-01T12:00:00Z", "2024-05-01T12:00:00", "2024-05-01 14:00:00+02:00",
                                  "2024-05-01T12:00:00.000000000Z", "1714564800", "1714564800.0"])
def test_time_bounds_name_one_instant(text: str) -> None:
    assert _arguments.time_bound(text) == datetime(2024, 5, 1, 12, tzinfo=timezone.utc)


@pytest.mark.parametrize("text, scheme", [("cdc:65536", tessary.CDC(65536)), ("cdc:64K", tessary.CDC(65536)),
                                          ("fixed:4096", tessary.Fixed(4096)), ("FIXED:1MiB", tessary.Fixed(1 << 20))])
def test_scheme_texts(text: str, scheme: Union[tessary.CDC, tessary.Fixed]) -> None:
    assert _arguments.scheme(text) == scheme
    assert _arguments.scheme(_arguments.scheme_text(scheme)) == scheme


# -- shapes, reuse, jaccard --------------------------------------------------------------------


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
    ("0.5", None, {"c_id": 1, "c_comp": 10, "alpha": 0.9}),
    ("0.05", None, {"c_id": 1, "c_comp": 10, "alpha": 0.9}),
    ("0.3", "1000", {"c_id": 5, "c_comp": {"type": "linear", "per_row": 0.1, "base": 2}, "alpha": 1}),
])
def test_reuse_prints_the_library_decision(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch,
                                           overlap: str, rows: Optional[str], model: dict[str, Any]) -> None:
    expected = tessary.decide_reuse(float(overlap), model, rows=int(rows) if rows else None)
    extra = ["--rows", rows] if rows else []
    code, out, _ = run(capsys, "reuse", "--overlap", overlap, "--cost-model", "-", "--json", *extra,
                       stdin=json.dumps(model), monkeypatch=monkeypatch)
    assert code == 0 and json.loads(out) == expected.to_dict()
    code, out, _ = run(capsys, "reuse", "--overlap", overlap, "--cost-model", "-", *extra,
                       stdin=json.dumps(model), monkeypatch=monkeypatch)
    assert out.splitlines()[0] == f"decision: {expected.decision.value}"
    assert f"{expected.delta:.10g}" in out.splitlines()[-1]


def test_jaccard_of_shape_files(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    a = _shape_file(tmp_path / "a.json", ["sha256:1", "sha256:2", "sha256:2"])
    b = _shape_file(tmp_path / "b.json", ["sha256:2", "sha256:3"])
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


# -- help, interrupts, pipes, the console entry ------------------------------------------------


@pytest.mark.parametrize("command", ["record", "verify", "show", "ls", "shape", "reuse", "jaccard"])
def test_every_command_has_help(capsys: pytest.CaptureFixture[str], command: str) -> None:
    code, out, _ = run(capsys, command, "--help")
    assert code == 0 and out.startswith(f"usage: tessary {command}")
    assert cli.build_parser().format_help().count("130") == 1


def test_interrupt(capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    def interrupted(*args: object, **kwargs: object) -> NoReturn:
        raise KeyboardInterrupt

    monkeypatch.setattr(record_command, "record", interrupted)
    code, _, err = run(capsys, "record", "w", "--payload", "{}")
    assert code == 130 and err == "tessary: interrupted\n"


def _env() -> dict[str, str]:
    return dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(cli.__file__)))


def _python_m(*argv: Arg) -> subprocess.CompletedProcess[bytes]:
    return subprocess.run([sys.executable, "-m", "tessary", *map(str, argv)], env=_env(), capture_output=True)


def test_console_entry(tmp_path: pathlib.Path, receipt_file: pathlib.Path) -> None:
    done = _python_m("--version")
    assert done.returncode == 0 and done.stdout.decode().strip() == f"tessary {tessary.__version__}"
    done = _python_m("verify", tmp_path / "missing.json")
    assert done.returncode == 2 and done.stdout == b""
    one_error_line(done.stderr.decode(), "tessary verify")
    # Output far larger than a pipe buffer, to a reader that stops after ten bytes: exit 141, nothing on stderr.
    writer = subprocess.Popen([sys.executable, "-m", "tessary", "shape", *[str(receipt_file)] * 3000],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_env())
    assert writer.stdout is not None and writer.stderr is not None
    assert len(writer.stdout.read(10)) == 10
    writer.stdout.close()
    assert writer.wait(timeout=60) == 141 and writer.stderr.read() == b""


# -- keys, signing, trust, export -------------------------------------------------------------


@pytest.fixture
def keys(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> pathlib.Path:
    path = tmp_path / "key"
    code, out, err = run(capsys, "keygen", "--out", path)
    assert code == 0 and out.strip() == tessary.SigningKey.load(path).kid
    assert "PRIVATE" not in out + err and path.read_bytes().decode().split("\n")[1] not in out + err
    # Its mode is SigningKey.save's, held in test_signing; overwriting is refused in the table of mistakes.
    return path


def test_sign_verify_trust_and_export(keys: pathlib.Path, receipt_file: pathlib.Path, tmp_path: pathlib.Path,
                                      capsys: pytest.CaptureFixture[str]) -> None:
    public = f"{keys}.pub"
    code, out, _ = run(capsys, "verify", "--trust", public, receipt_file)
    assert code == 1 and ": unsigned: " in out.splitlines()[0]

    code, signed, _ = run(capsys, "sign", "--key", keys, receipt_file, receipt_file)
    assert code == 0 and len(signed.splitlines()) == 2
    lines = tmp_path / "signed.jsonl"
    lines.write_text(signed)
    code, out, _ = run(capsys, "verify", "--trust", public, lines)
    assert (code, out) == (0, "2 receipts: 2 trusted, 0 failed\n")
    assert run(capsys, "verify", lines)[0] == 0  # without --trust the signature is not needed

    run(capsys, "keygen", "--out", tmp_path / "other")
    code, out, _ = run(capsys, "verify", "--trust", tmp_path / "other.pub", "--json", lines)
    report = json.loads(out)
    assert code == 1 and [f["status"] for f in report["failures"]] == ["unknown_key", "unknown_key"]
    # a directory of public keys trusts them all
    trusted = tmp_path / "trusted"
    trusted.mkdir()
    (trusted / "mine.pub").write_bytes(pathlib.Path(public).read_bytes())
    assert run(capsys, "verify", "--trust", trusted, lines)[0] == 0

    code, out, _ = run(capsys, "export", "--format", "in-toto", "--key", keys, receipt_file)
    envelope = json.loads(out)
    assert code == 0 and envelope["payloadType"] == "application/vnd.in-toto+json"
    assert tessary.verify_dsse(envelope, tessary.Keyring.from_paths(public))["predicate"]["rid"] == \
        tessary.Receipt.from_json(receipt_file.read_text()).rid
    envelope_file = tmp_path / "envelope.json"
    envelope_file.write_text(out)
    assert run(capsys, "verify", "--trust", public, envelope_file)[:2] == (0, "1 receipt: 1 trusted, 0 failed\n")
    code, out, _ = run(capsys, "verify", "--trust", tmp_path / "other.pub", envelope_file)
    assert code == 1 and ": unknown_key: " in out


def test_sign_in_place_and_record_sign(keys: pathlib.Path, store: pathlib.Path,
                                       capsys: pytest.CaptureFixture[str]) -> None:
    public = f"{keys}.pub"
    code, out, err = run(capsys, "sign", "--key", keys, "--in-place", store)
    assert (code, out) == (0, "") and "signed 3 receipts" in err
    assert run(capsys, "verify", "--trust", public, store)[:2] == (0, "3 receipts: 3 trusted, 0 failed\n")
    # What record --sign prints is checked by docs/signing.md's console block; here, what it stores.
    assert run(capsys, "record", "w", "--payload", "{}", "--sign", keys, "--store", store)[0] == 0
    assert run(capsys, "verify", "--trust", public, store)[:2] == (0, "4 receipts: 4 trusted, 0 failed\n")
