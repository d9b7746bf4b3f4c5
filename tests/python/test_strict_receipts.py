"""Strict receipts: text beside what a receipt's hash seals is refused, by name, wherever receipts come in."""
import json
import pathlib
from typing import Any, Callable, Dict

import pytest
from hypothesis import given, strategies as st

import tessary
from cli_helpers import run
from receipt_strategies import checked, receipts, seal
from tessary import Receipt, ReceiptError
from tessary._core import native

Edit = Callable[[str], str]


def add(path: str, key: str, value: Any) -> Edit:
    """An edit adding ``key`` to the object at the dotted ``path`` ("" for the receipt itself)."""

    def edit(text: str) -> str:
        obj = json.loads(text)
        target = obj
        for step in filter(None, path.split(".")):
            target = target[step]
        target[key] = value
        return json.dumps(obj)

    return edit


def rename_nonce(text: str) -> str:
    return text.replace('"nonce":', '"nonca":', 1)


def fake_first(text: str) -> str:
    """A fake rid and payload written before the real ones: a reader keeping the first sees those."""
    return '{"rid":"00000000-0000-4000-8000-000000000000","payload":{},' + text[1:]


# The reported cases and a few more, each with the member the refusal names.
UNSEALED: Dict[str, tuple[Edit, str]] = {
    "top-level note": (add("", "note", "added later"), "unknown member note"),
    "rows_processed": (add("payload", "rows_processed", 10**6), "unknown member payload.rows_processed"),
    "ctx extra": (add("ctx", "extra", True), "unknown member ctx.extra"),
    "nonce renamed": (rename_nonce, "unknown member ctx.nonca"),
    "nested record": (add("payload.roots", "x", 1), "unknown member payload.roots.x"),
    "fake rid and payload first": (fake_first, "repeated member rid"),
    "link not a uuid": (add("", "links", ["not-a-uuid"]), "unsealed member links[0]"),
}


@pytest.fixture
def recorded() -> str:
    receipt = tessary.record("train", {"epochs": 3}, tags=["a"])
    return receipt.to_json()


@pytest.mark.parametrize("edit, named", UNSEALED.values(), ids=UNSEALED.keys())
def test_from_json_refuses_by_name_unless_lenient(recorded: str, edit: Edit, named: str) -> None:
    text = edit(recorded)
    with pytest.raises(ReceiptError) as caught:
        Receipt.from_json(text)
    assert str(caught.value) == f"unsealed receipt text: {named}"
    # Leniently the extra text is dropped, and what is written back passes.
    lenient = Receipt.from_json(text.encode(), strict=False)
    assert Receipt.from_json(lenient.to_json()) == lenient


@pytest.mark.parametrize("edit, named", UNSEALED.values(), ids=UNSEALED.keys())
def test_verify_fails_the_receipt_and_lenient_reads_it(recorded: str, edit: Edit, named: str, tmp_path: pathlib.Path,
                                                       capsys: pytest.CaptureFixture[str]) -> None:
    path = tmp_path / "r.json"
    path.write_text(edit(recorded))
    code, out, _ = run(capsys, "verify", path)
    assert code == 1 and out.endswith("1 receipt: 0 verified, 1 failed\n")
    assert f"unreadable: unsealed receipt text: {named} (a lenient reading takes it)" in out
    assert run(capsys, "verify", "--lenient", path)[:2] == (0, "1 receipt: 1 verified, 0 failed\n")


def test_a_signed_receipt_with_fake_members_first_is_not_trusted(keys: pathlib.Path, recorded: str,
                                                                 tmp_path: pathlib.Path,
                                                                 capsys: pytest.CaptureFixture[str]) -> None:
    code, out, _ = run(capsys, "sign", "--key", keys, _write(tmp_path, recorded))
    assert code == 0
    signed = tmp_path / "signed.json"
    signed.write_text(fake_first(out.strip()))
    public = f"{keys}.pub"
    code, out, _ = run(capsys, "verify", "--trust", public, "--json", signed)
    report = json.loads(out)
    assert code == 1 and report["verified"] == 0
    [failure] = report["failures"]
    assert failure["status"] == "unreadable" and "repeated member rid" in failure["reason"]
    # Read leniently, the last members count and the signature holds: the reading the issue warned of.
    assert run(capsys, "verify", "--lenient", "--trust", public, signed)[:2] == (0, "1 receipt: 1 trusted, 0 failed\n")


def _write(tmp_path: pathlib.Path, text: str) -> pathlib.Path:
    path = tmp_path / "plain.json"
    path.write_text(text)
    return path


def test_sign_refuses_what_it_would_vouch_for_unseen(keys: pathlib.Path, recorded: str, tmp_path: pathlib.Path,
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    path = _write(tmp_path, add("payload", "rows_processed", 1)(recorded))
    code, out, err = run(capsys, "sign", "--key", keys, path)
    assert code == 2 and not out and "unknown member payload.rows_processed" in err


@pytest.mark.parametrize("as_store", [True, False], ids=["store", "folder"])
def test_audit_reports_the_file_unless_lenient(as_store: bool, recorded: str, tmp_path: pathlib.Path,
                                               capsys: pytest.CaptureFixture[str]) -> None:
    folder = tmp_path / "src"
    files = folder / "receipts" if as_store else folder
    files.mkdir(parents=True)
    files.joinpath(Receipt.from_json(recorded).rid + ".json").write_text(add("ctx", "extra", 1)(recorded))
    report = tessary.audit(folder)
    [problem] = report.problems
    assert problem.kind == "unreadable" and problem.detail.endswith(": unsealed receipt text: unknown member ctx.extra")
    assert tessary.audit(folder, strict=False).ok
    if as_store:
        with tessary.DirectoryStore(folder) as store:
            assert not tessary.audit(store).ok and tessary.audit(store, strict=False).ok
    assert run(capsys, "audit", folder)[0] == 1
    assert run(capsys, "audit", "--lenient", folder)[0] == 0


@checked(60)
@given(receipts(), st.booleans())
def test_every_receipt_the_package_writes_is_strict(obj: Dict[str, Any], sign: bool) -> None:
    try:
        # Sealed, so that it can be signed too.
        receipt = Receipt.from_json(seal(obj).to_json(), strict=False)
    except ValueError:
        return
    if sign:
        receipt = tessary.sign(receipt, _KEY)
    text = receipt.to_json()
    native.check_strict(text)
    assert Receipt.from_json(text).to_json() == text


_KEY = tessary.SigningKey.generate()
