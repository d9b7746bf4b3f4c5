"""tessary keygen, sign, export and verify --trust: keys and signatures through the command line."""
import json
import os
import pathlib
import stat

import pytest

import tessary
from cli_helpers import one_error_line, run


def test_sign_verify_trust_and_export(keys: pathlib.Path, receipt_file: pathlib.Path, tmp_path: pathlib.Path,
                                      capsys: pytest.CaptureFixture[str]) -> None:
    public = f"{keys}.pub"
    code, out, _ = run(capsys, "verify", "--trust", public, receipt_file)
    assert code == 1 and ": unsigned: " in out.splitlines()[0]

    lines = tmp_path / "signed.jsonl"
    lines.write_text(run(capsys, "sign", "--key", keys, receipt_file, receipt_file)[1])
    assert run(capsys, "verify", "--trust", public, lines)[:2] == (0, "2 receipts: 2 trusted, 0 failed\n")
    assert run(capsys, "verify", lines)[0] == 0  # without --trust the signature is not needed
    run(capsys, "keygen", "--out", tmp_path / "other")
    code, out, _ = run(capsys, "verify", "--trust", tmp_path / "other.pub", "--json", lines)
    assert code == 1 and [f["status"] for f in json.loads(out)["failures"]] == ["unknown_key", "unknown_key"]
    code, out, _ = run(capsys, "export", "--format", "in-toto", "--key", keys, receipt_file)
    assert tessary.verify_dsse(json.loads(out), tessary.Keyring.from_paths(public))["predicate"]["rid"] == \
        tessary.Receipt.from_json(receipt_file.read_text()).rid
    envelope_file = tmp_path / "envelope.json"
    envelope_file.write_text(out)
    assert run(capsys, "verify", "--trust", public, envelope_file)[:2] == (0, "1 receipt: 1 trusted, 0 failed\n")
    code, out, _ = run(capsys, "verify", "--trust", tmp_path / "other.pub", envelope_file)
    assert code == 1 and ": unknown_key: " in out


def test_sign_in_place_keeps_each_file_and_its_mode_and_record_signs(keys: pathlib.Path, store: pathlib.Path,
                                                                      tmp_path: pathlib.Path,
                                                                      capsys: pytest.CaptureFixture[str]) -> None:
    public, lines = f"{keys}.pub", tmp_path / "lines.jsonl"
    lines.write_text((next((store / "receipts").iterdir()).read_text().strip() + "\n") * 2)
    os.chmod(lines, 0o640)
    code, out, err = run(capsys, "sign", "--key", keys, "--in-place", store, lines)
    assert (code, out) == (0, "") and err.startswith("signed 5 receipts with ")
    assert stat.S_IMODE(lines.stat().st_mode) == 0o640 and not [p for p in tmp_path.iterdir() if p.name[0] == "."]
    # What record --sign prints is checked by docs/signing.md's console block; here, what it stores.
    assert run(capsys, "record", "w", "--payload", "{}", "--sign", keys, "--store", store)[0] == 0
    assert run(capsys, "verify", "--trust", public, store, lines)[:2] == (0, "6 receipts: 6 trusted, 0 failed\n")


def test_keygen_makes_missing_folders_private(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    target = tmp_path / "keys" / "ci" / "signer"
    assert run(capsys, "keygen", "--out", target)[0] == 0
    assert {stat.S_IMODE(f.stat().st_mode) for f in (tmp_path / "keys", tmp_path / "keys" / "ci")} == {0o700}
    assert stat.S_IMODE(target.stat().st_mode) == 0o600 and (tmp_path / "keys" / "ci" / "signer.pub").is_file()
    (tmp_path / "file").write_text("")
    code, _, err = run(capsys, "keygen", "--out", tmp_path / "file" / "signer")
    assert code == 2 and "signer" in one_error_line(err, "tessary keygen")
