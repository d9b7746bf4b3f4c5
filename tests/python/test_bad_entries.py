"""A directory store with one bad entry among three good receipts: every reader hands out the three and names the
entry with its reason. A store that does not exist is an error to read and is never created by reading."""
import json
import os
import pathlib
import re
from typing import Callable, List, NamedTuple

import pytest

import tessary
from cli_helpers import run
from tessary import DirectoryStore, SkippedEntry, StoreError


class Bad(NamedTuple):
    make: Callable[[pathlib.Path], None]  # given the receipts directory
    name: str  # the entry's name as a SkippedEntry gives it
    reason: str  # a pattern for the whole reason
    printed: str = ""  # the name as the command line prints it, when it is not the name

    @property
    def shown(self) -> str:
        return self.printed or self.name


def _unreadable(d: pathlib.Path) -> None:
    path = d / "locked.json"
    path.write_text(tessary.record("w", {}).to_json())
    path.chmod(0)


BAD = {
    "dangling link": Bad(lambda d: (d / "dangling.json").symlink_to("missing.json"), "dangling.json", "dangling link"),
    "link loop": Bad(lambda d: (d / "loop.json").symlink_to("loop.json"), "loop.json", "link loop"),
    "directory": Bad(lambda d: (d / "x.json").mkdir(), "x.json", "a directory"),
    "not UTF-8": Bad(lambda d: (d / "latin.json").write_bytes(b'{"kind": "caf\xe9"}'), "latin.json", "not UTF-8"),
    "not a receipt": Bad(lambda d: (d / "other.json").write_text('{"c_id": 1}'), "other.json",
                         r"not a receipt: (Failed to create receipt from JSON: )?JSON deserialization failed: .+"),
    "name not UTF-8": Bad(lambda d: pathlib.Path(os.fsdecode(os.path.join(os.fsencode(d), b"\xff.json"))).write_text(
        "[]"), "\udcff.json", r"not a receipt: .+", "\\xff.json"),
    "oversized": Bad(lambda d: ((d / "big.json").touch(), os.truncate(d / "big.json", (64 << 20) + 1)), "big.json",
                     "larger than 64 MiB"),  # sparse: no 64 MiB written to the disk
    "FIFO": Bad(lambda d: os.mkfifo(d / "pipe.json"), "pipe.json", "not a regular file"),
    "unreadable": Bad(_unreadable, "locked.json", r"unreadable: Permission denied \(os error 13\)"),
}


@pytest.fixture(params=BAD.values(), ids=BAD.keys())
def bad_store(request: pytest.FixtureRequest, tmp_path: pathlib.Path) -> tuple[pathlib.Path, Bad, List[str]]:
    bad: Bad = request.param
    if bad.name == "locked.json" and os.geteuid() == 0:
        pytest.skip("root reads a file without read permission")
    path = tmp_path / "store"
    good = [tessary.record("w", {"n": n}) for n in range(3)]
    DirectoryStore(path).store_many(good)
    bad.make(path / "receipts")
    return path, bad, sorted(r.rid for r in good)


def skipped_line(path: pathlib.Path, bad: Bad) -> str:
    """The pattern of the line a command prints for the bad entry."""
    return re.escape(f"skipped {path / 'receipts' / bad.shown}: ") + bad.reason


def test_the_store_reads_every_good_receipt_and_names_the_bad_entry_once(
        bad_store: tuple[pathlib.Path, Bad, List[str]], capfd: pytest.CaptureFixture[str]) -> None:
    path, bad, rids = bad_store
    store = DirectoryStore(path)
    reads: dict[str, Callable[[Callable[[SkippedEntry], None]], List[str]]] = {
        "query": lambda on_skip: [r.rid for r in store.query(on_skip=on_skip)],
        "iter": lambda on_skip: [r.rid for r in store.iter(batch_size=1, on_skip=on_skip)],
        "time order": lambda on_skip: [r.rid for r in store.query(order="time", on_skip=on_skip)],
        "count": lambda on_skip: rids[: store.count(on_skip=on_skip)],
    }
    for how, read in reads.items():
        skipped: List[SkippedEntry] = []
        assert sorted(read(skipped.append)) == rids, how
        [entry] = skipped
        assert entry.name == bad.name and re.fullmatch(bad.reason, entry.reason), (how, entry)
        assert str(entry) == f"{entry.name}: {entry.reason}"
    assert len(store.query()) == 3 and store.get(rids[0]) is not None  # no callable: passed over silently
    assert capfd.readouterr().err == ""


def test_ls_and_copy_pass_the_good_receipts_name_the_bad_entry_and_exit_1_and_show_reads_only_its_receipt(
        bad_store: tuple[pathlib.Path, Bad, List[str]], tmp_path: pathlib.Path,
        capsys: pytest.CaptureFixture[str]) -> None:
    path, bad, rids = bad_store
    for order in ([], ["--order", "time"]):
        code, out, err = run(capsys, "ls", "--store", path, "--json", *order)
        assert code == 1 and sorted(json.loads(line)["rid"] for line in out.splitlines()) == rids
        [line] = err.splitlines()
        assert re.fullmatch(skipped_line(path, bad), line), line
    code, out, err = run(capsys, "show", rids[1], "--store", path)
    assert (code, err) == (0, "") and json.loads(out)["rid"] == rids[1]
    target = tmp_path / "copy"
    code, out, err = run(capsys, "copy", path, target)
    assert (code, out) == (1, "")
    skipped, summary = err.splitlines()
    assert re.fullmatch(skipped_line(path, bad), skipped), skipped
    assert summary == f"copied 3 receipts from {path} to {target}, skipped 1 entry"
    assert sorted(r.rid for r in DirectoryStore(target).query()) == rids


def test_audit_reports_the_bad_entry_as_unreadable_and_checks_the_rest(
        bad_store: tuple[pathlib.Path, Bad, List[str]], capsys: pytest.CaptureFixture[str]) -> None:
    path, bad, _ = bad_store
    report = tessary.audit(path)
    assert report.receipts == 3 and report.counts == {"unreadable": 1}
    [problem] = report.problems
    assert problem.rid is None and re.fullmatch(re.escape(bad.shown) + ": " + bad.reason, problem.detail)
    # The same files as a plain folder: read by the audit itself, the entry is named alike.
    folder = tessary.audit(path / "receipts")
    assert (folder.receipts, folder.counts) == (3, {"unreadable": 1}) and folder.problems[0].detail == problem.detail
    code, out, err = run(capsys, "audit", path)
    assert code == 1 and err == ""
    assert re.search("^unreadable " + re.escape(bad.shown) + ": " + bad.reason + "$", out, re.M), out


# ---- a store that is not there ------------------------------------------------------

READS = {
    "query": lambda s: s.query(),
    "iter": lambda s: list(s.iter()),
    "count": lambda s: s.count(),
    "get": lambda s: s.get("00000000-0000-4000-8000-000000000000"),
    "client": lambda s: tessary.Client(s.path).query(),
}


@pytest.mark.parametrize("read", READS.values(), ids=READS.keys())
def test_reading_a_missing_store_is_an_error_and_creates_nothing(
        tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, read: Callable[[DirectoryStore], object]) -> None:
    monkeypatch.chdir(tmp_path)
    with pytest.raises(StoreError, match="^no such store: typo$"):
        read(DirectoryStore("typo"))
    assert os.listdir(tmp_path) == []
    (tmp_path / "empty").mkdir()  # a directory that holds no receipts yet is an empty store
    assert read(DirectoryStore("empty")) in ([], 0, None)
    assert os.listdir(tmp_path / "empty") == []


def test_the_first_write_creates_the_store_and_create_false_wants_it_there(tmp_path: pathlib.Path) -> None:
    with pytest.raises(StoreError, match="^no such store: "):
        DirectoryStore(tmp_path / "a", create=False)
    store, receipt = DirectoryStore(tmp_path / "a" / "b"), tessary.record("w", {})
    assert not (tmp_path / "a").exists()
    store.store(receipt)
    assert store.query() == [receipt] and DirectoryStore(tmp_path / "a" / "b", create=False).get(receipt.rid) == receipt
    DirectoryStore(tmp_path / "c").store_many([])  # storing nothing still makes an empty store
    assert DirectoryStore(tmp_path / "c", create=False).query() == []
    with pytest.raises(TypeError, match="create must be a bool"):
        DirectoryStore(tmp_path, create=1)  # type: ignore[arg-type]


def test_copying_an_empty_store_still_makes_the_target(tmp_path: pathlib.Path,
                                                       capsys: pytest.CaptureFixture[str]) -> None:
    (tmp_path / "empty").mkdir()
    code, _, err = run(capsys, "copy", tmp_path / "empty", tmp_path / "to")
    assert (code, err) == (0, f"copied 0 receipts from {tmp_path / 'empty'} to {tmp_path / 'to'}\n")
    assert DirectoryStore(tmp_path / "to", create=False).query() == []
