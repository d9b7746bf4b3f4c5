"""Exact reuse of steps and the output cache: a reused step does not run, and what it restores is the original."""
import hashlib
import json
import os
import pathlib
import sys
import threading
import warnings
from typing import List

import pytest

import tessary
from cli_helpers import run
from concurrency import run_threads
from tessary.cache import Cache
from tessary.cache_gc import gc
from tessary.steps import NonDeterministicWarning, ReuseWarning, run_command

# Writes its output from its input, and notes each run in ran.log: the side effect that proves it ran.
SCRIPT = ("import os, sys\n"
          "open('ran.log', 'a').write('ran\\n')\n"
          "data = open(sys.argv[1], 'rb').read()\n"
          "os.makedirs('tree/sub', exist_ok=True)\n"
          "open('tree/sub/b.bin', 'wb').write(data * 3)\n"
          "open(sys.argv[2], 'wb').write(data[::-1] + os.environ.get('EXTRA', '').encode())\n")


@pytest.fixture()
def work(tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> pathlib.Path:
    monkeypatch.chdir(tmp_path)
    (tmp_path / "make.py").write_text(SCRIPT)
    (tmp_path / "in.bin").write_bytes(bytes(range(256)) * 64)
    return tmp_path


def runs() -> int:
    return len(pathlib.Path("ran.log").read_text().splitlines()) if pathlib.Path("ran.log").exists() else 0


def make(**options: object) -> tessary.steps.RunResult:
    return run_command("make", [sys.executable, "make.py", "in.bin", "out.bin"], inputs=["in.bin"],
                       outputs=["out.bin", "tree"], code=["make.py"], store="store", **options)  # type: ignore[arg-type]


def spends(store: str = "store") -> List[tessary.Receipt]:
    return [r for r in tessary.DirectoryStore(store).iter() if r.kind is tessary.ReceiptKind.SPEND]


def test_exact_reuse_through_the_command_line(work: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    argv = ["run", "make", "-i", "in.bin", "-o", "out.bin", "-o", "tree", "--code", "make.py", "--store", "store",
            "--json", "--", sys.executable, "make.py", "in.bin", "out.bin"]
    assert run(capsys, *argv)[0] == 0
    first = {p: pathlib.Path(p).read_bytes() for p in ("out.bin", "tree/sub/b.bin")}
    os.unlink("out.bin")
    pathlib.Path("tree/sub/b.bin").write_bytes(b"edited since")
    code, out, err = run(capsys, *argv)
    assert code == 0 and runs() == 1 and "the command did not run" in err, err
    assert {p: pathlib.Path(p).read_bytes() for p in first} == first
    assert json.loads(out)["reused"] is True
    (execution,) = [r for r in tessary.DirectoryStore("store").iter() if r.kind is tessary.ReceiptKind.EXECUTION]
    reuse = [s for s in spends() if s.payload["justification"] is not None]
    assert len(reuse) == 1 and reuse[0].links == (execution.rid,) and tessary.verify_strict(reuse[0]) is None
    justification = reuse[0].payload["justification"]
    assert (justification["decision"], justification["overlap_j"], justification["layer"]) == ("reuse", 1.0, "execution")
    assert run(capsys, *argv[:-6], "--reuse", "never", *argv[-6:])[0] == 0 and runs() == 2
    tessary.SigningKey.generate().public_key.save("trusted.pub")
    assert run(capsys, *argv[:-6], "--trust", "trusted.pub", *argv[-6:])[0] == 0 and runs() == 3


@pytest.mark.parametrize("method", ["auto", "copy", "hardlink"])
def test_restore_methods_give_the_original_bytes(work: pathlib.Path, method: str) -> None:
    assert make().exit_code == 0
    original = pathlib.Path("out.bin").read_bytes()
    os.unlink("out.bin")
    again = make(restore=method)
    assert again.record is not None and again.record.reused and runs() == 1
    assert pathlib.Path("out.bin").read_bytes() == original
    linked = os.stat("out.bin").st_ino == os.stat(Cache("store").path_of(hashlib.sha256(original).hexdigest())).st_ino
    assert linked == (method == "hardlink")


def test_a_changed_object_is_detected_and_the_step_runs_again(work: pathlib.Path) -> None:
    make()
    original = pathlib.Path("out.bin").read_bytes()
    cache = Cache("store")
    digest = hashlib.sha256(original).hexdigest()
    os.chmod(cache.path_of(digest), 0o644)
    pathlib.Path(cache.path_of(digest)).write_bytes(b"tampered" + original[8:])
    with pytest.warns(ReuseWarning, match="changed on disk"):
        again = make()
    assert again.record is not None and not again.record.reused and runs() == 2
    assert pathlib.Path("out.bin").read_bytes() == original and cache.intact(digest)


def test_trust_passes_over_unsigned_runs(work: pathlib.Path) -> None:
    key = tessary.SigningKey.generate()
    trusted = tessary.Keyring([key])
    make()
    assert not make(trust=trusted).record.reused and runs() == 2  # type: ignore[union-attr]
    signed, reused = make(trust=trusted, key=key, reuse="never").record, make(trust=trusted).record
    assert signed is not None and reused is not None and reused.reused and runs() == 3
    assert reused.execution.rid == signed.execution.rid
    with pytest.raises(tessary.StepError, match="overlap"):
        make(reuse="overlap")


def test_a_non_deterministic_step_is_flagged(work: pathlib.Path, monkeypatch: pytest.MonkeyPatch) -> None:
    make()
    monkeypatch.setenv("EXTRA", "different")
    with pytest.warns(NonDeterministicWarning, match="non-deterministic step make"):
        make(reuse="never")
    [problem] = tessary.audit("store").problems
    assert problem.kind == "non_deterministic" and "non-deterministic step make" in problem.detail


def test_the_decorator_reuses_paths_and_decoded_values(work: pathlib.Path) -> None:
    calls: List[str] = []

    @tessary.step(store="store")
    def reverse(src: pathlib.Path) -> pathlib.Path:
        calls.append("reverse")
        out = pathlib.Path("reversed.bin")
        out.write_bytes(src.read_bytes()[::-1])
        return out

    @tessary.step(store="store", codec=tessary.steps.JSONCodec())
    def total(src: pathlib.Path, scale: int) -> dict:
        calls.append("total")
        return {"sum": sum(src.read_bytes()) * scale}

    first = reverse(pathlib.Path("in.bin"))
    original = first.read_bytes()
    first.unlink()
    assert reverse(pathlib.Path("in.bin")) == first and first.read_bytes() == original
    assert total(pathlib.Path("in.bin"), 2) == total(pathlib.Path("in.bin"), 2) == {"sum": sum(range(256)) * 64 * 2}
    total(pathlib.Path("in.bin"), 3)
    assert calls == ["reverse", "total", "total"]


def test_concurrent_writers_leave_one_intact_object(tmp_path: pathlib.Path) -> None:
    data, source, cache = os.urandom(3 << 20), tmp_path / "data.bin", Cache(tmp_path / "cache")
    start = threading.Barrier(4)
    source.write_bytes(data)
    digest = hashlib.sha256(data).hexdigest()

    def write() -> None:
        start.wait()
        for _ in range(3):
            assert cache.put_file(source, digest) and cache.put_bytes(data) == digest

    run_threads(*[write] * 4)
    assert cache.intact(digest) and [d for d, _ in cache.iter_objects()] == [digest]


def test_gc_keeps_what_kept_receipts_need(work: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> None:
    make()
    cache = Cache("store")
    needed = {d for d, _ in cache.iter_objects()}
    orphan = cache.put_bytes(b"no receipt needs me")
    store = tessary.DirectoryStore("store")
    assert gc(store, cache, dry_run=True).removed == 1 and cache.has(orphan)
    code, out, _ = run(capsys, "cache", "gc", "--store", "store", "--json")
    assert code == 0 and json.loads(out)["removed"] == 1
    assert {d for d, _ in cache.iter_objects()} == needed
    assert gc(store, cache, max_size=0).removed == len(needed)
    make(reuse="never")
    assert gc(store, cache, max_age=10 ** 9).removed == 0
    assert gc(store, cache, max_age=0, now=10 ** 11).removed == len(needed)
    make(reuse="never")
    assert gc(store, cache, everything=True).removed == len(needed) and not list(cache.iter_objects())
