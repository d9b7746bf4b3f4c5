"""tessary record, verify, show and ls: receipts through the command line, in and out of stores."""
import json
import pathlib
from datetime import datetime, timezone

import pytest

import tessary
from cli_helpers import mistake_inputs, run
from tessary import cli
from tessary.cli import _arguments, _output

UNREADABLE = {
    "non-receipt JSON": ("other.json", "other.json: unreadable: not a receipt"),
    "JSON lines with a broken line": ("lines.json", "lines.json:2: unreadable: not JSON"),
    "array as receipt": ("array.json", "array.json: unreadable: not a receipt (expected a JSON object, got an array)"),
    "missing file": ("missing.json", "missing.json: unreadable: No such file"),
}


@pytest.mark.parametrize("name, line", UNREADABLE.values(), ids=UNREADABLE.keys())
def test_verify_counts_what_is_not_a_receipt_as_failed(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str],
                                                       name: str, line: str) -> None:
    mistake_inputs(tmp_path)
    code, out, _ = run(capsys, "verify", tmp_path / name, tmp_path / "r.json")
    *failures, summary = out.splitlines()
    assert code == 1 and len(failures) == 1 and failures[0].startswith(f"{tmp_path}/{line}")
    readable = 2 if name == "lines.json" else 0  # the good lines around the broken one are still verified
    assert summary == f"{2 + readable} receipts: {1 + readable} verified, 1 failed"


def test_round_trip_through_ls_and_verify(store: pathlib.Path, tmp_path: pathlib.Path,
                                          capsys: pytest.CaptureFixture[str]) -> None:
    lines = run(capsys, "ls", "--store", store)[1].splitlines()
    assert len(lines) == 3 and all(tessary.Receipt.from_json(line).verify() for line in lines)

    tampered = json.loads(lines[1])
    tampered["payload"]["trace_id"] = "forged"
    bad = tmp_path / "tampered.json"
    bad.write_text(json.dumps(tampered))
    code, out, _ = run(capsys, "verify", bad, store)
    failure, summary = out.splitlines()
    assert code == 1 and failure.startswith(f"{bad}: {tampered['rid']}: Hash mismatch")
    assert summary == "4 receipts: 3 verified, 1 failed"
    code, out, _ = run(capsys, "verify", "--json", bad, store)
    report = json.loads(out)
    assert (code, report["receipts"], report["verified"], report["failures"][0]["rid"]) == (1, 4, 3, tampered["rid"])


def test_verify_reads_every_form(receipt_file: pathlib.Path, store: pathlib.Path, tmp_path: pathlib.Path,
                                 capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    indented, folder, lines = tmp_path / "indented.json", tmp_path / "folder", tmp_path / "lines.jsonl"
    indented.write_text(run(capsys, "show", receipt_file)[1])
    folder.mkdir()
    (folder / "one.json").write_text(receipt_file.read_text())
    (folder / "notes.txt").write_text("not looked at")
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
    code, out, _ = run(capsys, "ls", "--store", store, "--wide")  # a table
    assert code == 0 and all(json.loads(line)["rid"] in out for line in listed)
    assert run(capsys, "ls", "--store", store, "--json")[1].splitlines() == listed  # JSON lines, as when piped


@pytest.mark.parametrize("text", ["2024-05-01T12:00:00Z", "2024-05-01T12:00:00", "2024-05-01 14:00:00+02:00",
                                  "2024-05-01T12:00:00.000000000Z", "1714564800", "1714564800.0"])
def test_time_bounds_name_one_instant(text: str) -> None:
    assert _arguments.time_bound(text) == datetime(2024, 5, 1, 12, tzinfo=timezone.utc)
