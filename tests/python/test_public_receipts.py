"""The public receipt API: fields of every kind, value behaviour, record and verify; strict reading, where text
beside what a receipt's hash seals is refused, by name, wherever receipts come in."""
import copy
import functools
import json
import math
import operator
import pathlib
import pickle
import uuid
from typing import Any, Callable, Dict, Union

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tessary
from cli_helpers import STUB_NATIVE, run
from receipt_strategies import checked, receipts, seal
from tessary import Receipt, ReceiptError, ReceiptKind
from tessary._core import native


@checked(100)
@given(receipts(full=True))
def test_every_field_of_every_kind_reads_back_as_its_json_form(obj: dict[str, Any]) -> None:
    receipt = Receipt.from_json(seal(obj).to_json())
    wire = receipt.to_dict()
    assert receipt.kind is ReceiptKind(wire["kind"]) and list(receipt.links) == wire["links"]
    assert (receipt.rid, receipt.version, receipt.hash, receipt.dom, receipt.cod) == (
        wire["rid"], wire["version"], wire["hash"], wire["dom"], wire["cod"])
    ctx = wire["ctx"]
    assert receipt.ctx._replace(determinism=ctx["determinism"]) == (
        ctx["timestamp"], ctx["policy_ref"], ctx["nonce"], ctx["determinism"], ctx["identity_ref"])
    assert json.loads(json.dumps(receipt.payload, default=dict_or_list)) == wire["payload"]
    assert json.loads(json.dumps(receipt.attest, default=dict_or_list)) == wire["attest"]
    assert (receipt.sig and receipt.sig._asdict()) == wire["sig"]
    execution = wire["payload"] if receipt.kind is ReceiptKind.EXECUTION else {"method_ref": {}}
    assert (receipt.workload, receipt.parent) == (execution["method_ref"].get("method_id"),
                                                  execution.get("prev_execution_rid"))
    twin = pickle.loads(pickle.dumps(receipt))
    assert twin == receipt and hash(twin) == hash(receipt) and twin is not receipt


def dict_or_list(value: Any) -> Union[dict[str, Any], list[Any]]:
    return dict(value) if hasattr(value, "keys") else list(value)


def test_fields_are_read_only_views_and_receipts_come_only_from_the_package() -> None:
    receipt = tessary.record("w", {"rows": [1, 2]})
    with pytest.raises(AttributeError):
        receipt.rid = "x"  # type: ignore[misc]
    with pytest.raises(TypeError):
        receipt.payload["trace_id"] = "x"  # type: ignore[index]
    with pytest.raises(TypeError, match="made by"):
        Receipt()
    assert copy.deepcopy(receipt) == receipt
    assert receipt != tessary.record("w", {"rows": [1, 2]})  # a new rid and timestamp
    assert receipt.ctx.time is not None and receipt.ctx.time.tzinfo is not None


def test_record_links_a_parent_given_as_receipt_text_or_uuid() -> None:
    parent = tessary.record("prepare", {"n": 1})
    for given_as in (parent, parent.rid, uuid.UUID(parent.rid), parent.rid.upper()):
        child = tessary.record("train", {"n": 2}, parent=given_as, trace="run-7", tags=("a", "b"))
        assert child.links == (parent.rid,) and child.parent == parent.rid and child.trace == "run-7"
    with pytest.raises(ValueError, match="receipt identifier"):
        tessary.record("train", {}, parent="not-a-uuid")
    with pytest.raises(TypeError):
        tessary.record("train", {}, tags="one")
    with pytest.raises(TypeError):
        tessary.record("train", ["not", "a", "mapping"])  # type: ignore[arg-type]


def test_verify_is_a_bool_and_verify_strict_gives_the_reason() -> None:
    receipt = tessary.record("w", {"x": 1})
    assert tessary.verify(receipt) and tessary.Client().verify(receipt) and receipt.verify()
    assert tessary.verify_strict(receipt) is None  # type: ignore[func-returns-value]
    wire = receipt.to_dict()
    tampered = Receipt.from_json(json.dumps(dict(wire, dom="sha256:" + "0" * 64)))
    invalid = Receipt.from_json(seal(dict(wire, version="one")).to_json())
    for bad, reason in ((tampered, "^Hash mismatch: expected " + receipt.hash), (invalid, "^ValidationError: ")):
        assert not tessary.verify(bad)
        with pytest.raises(tessary.VerificationError, match=reason):
            tessary.verify_strict(bad)
    with pytest.raises(TypeError):
        tessary.verify(wire)  # type: ignore[arg-type]


@pytest.mark.parametrize("text", ["{}", "[1", '{"kind": "execution"}', b"\xff", "null"])
def test_from_json_refuses_what_is_not_a_receipt(text: Union[str, bytes]) -> None:
    for strict in (True, False):  # the refusal is the reader's own, not the strict check's
        with pytest.raises(tessary.ReceiptError) as caught:
            Receipt.from_json(text, strict=strict)
        assert "unsealed" not in str(caught.value)


@pytest.mark.skipif(STUB_NATIVE, reason="needs the native data shape")
@pytest.mark.parametrize("call, error, message", [
    (lambda: tessary.record(123, {}), TypeError, "workload must be a str, not int"),  # type: ignore[arg-type]
    (lambda: tessary.record("w", {}, tags=["a", 1]), TypeError, "each tag must be a str, not int"),  # type: ignore[list-item]
    (lambda: tessary.record("w", {"a": [1, {"b": -math.inf}]}), tessary.ReceiptError,
     "payload['a'][1]['b'] is -inf; JSON has no NaN or infinity"),
    (lambda: tessary.data_shape("missing-file"), FileNotFoundError, "No such file or directory: 'missing-file'"),
])
def test_errors_name_what_the_caller_wrote(call: Callable[[], object], error: type, message: str) -> None:
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value).endswith(message) and "PyString" not in str(raised.value)


def test_public_names_are_documented() -> None:
    for name in tessary.__all__:
        assert getattr(tessary, name).__doc__, name


@pytest.mark.parametrize("depth", [600, 990, 100_000])  # past the reader's limit, near and past the interpreter's
def test_a_deeply_nested_payload_is_a_receipt_error_not_a_crash(depth: int) -> None:
    payload: Dict[str, Any] = functools.reduce(lambda inner, _: {"a": inner}, range(depth), {})
    with pytest.raises(tessary.ReceiptError, match="^payload is nested too deeply to be written as JSON$"):
        tessary.record("w", payload)


# -- strict reading ---------------------------------------------------------------------------
Edit = Callable[[str], str]


def add(path: str, key: str, value: Any) -> Edit:
    """An edit adding ``key`` to the object at the dotted ``path`` ("" for the receipt itself)."""

    def edit(text: str) -> str:
        obj = json.loads(text)
        functools.reduce(operator.getitem, filter(None, path.split(".")), obj)[key] = value
        return json.dumps(obj)
    return edit


def fake_first(text: str) -> str:
    """A fake rid and payload written before the real ones: a reader keeping the first sees those."""
    return '{"rid":"00000000-0000-4000-8000-000000000000","payload":{},' + text[1:]


# The reported cases and a few more, each with the member the refusal names.
UNSEALED: Dict[str, tuple[Edit, str]] = {
    "top-level note": (add("", "note", "added later"), "unknown member note"),
    "rows_processed": (add("payload", "rows_processed", 10**6), "unknown member payload.rows_processed"),
    "nonce renamed": (lambda text: text.replace('"nonce":', '"nonca":', 1), "unknown member ctx.nonca"),
    "nested record": (add("payload.roots", "x", 1), "unknown member payload.roots.x"),
    "fake rid and payload first": (fake_first, "repeated member rid"),
    "link not a uuid": (add("", "links", ["not-a-uuid"]), "unsealed member links[0]"),
}


@pytest.fixture
def recorded() -> str:
    return tessary.record("train", {"epochs": 3}, tags=["a"]).to_json()


@pytest.mark.parametrize("edit, named", UNSEALED.values(), ids=UNSEALED.keys())
def test_unsealed_text_is_refused_by_name_unless_lenient(recorded: str, edit: Edit, named: str, tmp_path: pathlib.Path,
                                                        capsys: pytest.CaptureFixture[str]) -> None:
    text = edit(recorded)
    with pytest.raises(ReceiptError) as caught:
        Receipt.from_json(text)
    assert str(caught.value) == f"unsealed receipt text: {named}"
    # Leniently the extra text is dropped, and what is written back passes.
    lenient = Receipt.from_json(text.encode(), strict=False)
    assert Receipt.from_json(lenient.to_json()) == lenient
    path = tmp_path / "r.json"
    path.write_text(text)
    code, out, _ = run(capsys, "verify", path)
    assert code == 1 and out.endswith("1 receipt: 0 verified, 1 failed\n")
    assert f"unreadable: unsealed receipt text: {named} (a lenient reading takes it)" in out
    assert run(capsys, "verify", "--lenient", path)[:2] == (0, "1 receipt: 1 verified, 0 failed\n")


def test_a_signed_receipt_with_fake_members_first_is_not_trusted(keys: pathlib.Path, recorded: str,
                                                                 tmp_path: pathlib.Path,
                                                                 capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "plain.json").write_text(recorded)
    signed = tmp_path / "signed.json"
    signed.write_text(fake_first(run(capsys, "sign", "--key", keys, tmp_path / "plain.json")[1].strip()))
    public = f"{keys}.pub"
    code, out, _ = run(capsys, "verify", "--trust", public, "--json", signed)
    [failure] = json.loads(out)["failures"]
    assert code == 1 and failure["status"] == "unreadable" and "repeated member rid" in failure["reason"]
    # Read leniently, the last members count and the signature holds: the reading the issue warned of.
    assert run(capsys, "verify", "--lenient", "--trust", public, signed)[:2] == (0, "1 receipt: 1 trusted, 0 failed\n")


def test_sign_refuses_what_it_would_vouch_for_unseen(keys: pathlib.Path, recorded: str, tmp_path: pathlib.Path,
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "plain.json").write_text(add("payload", "rows_processed", 1)(recorded))
    code, out, err = run(capsys, "sign", "--key", keys, tmp_path / "plain.json")
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
    assert run(capsys, "audit", folder)[0] == 1 and run(capsys, "audit", "--lenient", folder)[0] == 0


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
