"""Durable directory stores, seen from outside through the system calls they make.

A child process stores under strace; the trace shows, for every receipt, that its data reached the disk before its
rename, and that the directory was flushed after the last rename and before the call returned (the child writes a marker
to descriptor 2 once a call is back). A writer is killed between writing and renaming by strace itself, which fails the
rename and sends SIGKILL in the same step: no timing involved."""
from __future__ import annotations

import os
import pathlib
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from typing import Dict, List, Tuple

import pytest

import _tessary
import tessary

STRACE = shutil.which("strace")
needs_strace = pytest.mark.skipif(STRACE is None, reason="strace is not installed (Debian package strace)")

#: Receipts in the child's store_many: more than one group of files held open at once.
BATCH = 600

CHILD = r"""
import os, sys, tessary
store = tessary.DirectoryStore(sys.argv[1], durable=sys.argv[2] == "1")
os.write(2, b"@@opened\n")
store.store(tessary.record("w", {"n": -1}))
os.write(2, b"@@stored\n")
store.store_many([tessary.record("w", {"n": n}) for n in range(int(sys.argv[3]))])
os.write(2, b"@@stored_many\n")
"""

OLD = 10 * 60  # seconds: well past the age at which a leftover counts as abandoned


def _child_env() -> Dict[str, str]:
    paths = [os.path.dirname(os.path.dirname(tessary.__file__)), os.path.dirname(_tessary.__file__)]
    return dict(os.environ, PYTHONPATH=os.pathsep.join(paths), PYTHONDONTWRITEBYTECODE="1")


@dataclass
class Call:
    name: str
    args: str
    start: int  # line index where the call began
    end: int  # line index where it returned


_LINE = re.compile(r"^(\d+) +(?:<\.\.\. (\w+) resumed>(.*)|(\w+)\((.*))$")


def parse_trace(text: str) -> List[Call]:
    """Calls in order of starting; a call split by another thread's lines is joined again."""
    calls: List[Call] = []
    pending: Dict[str, Call] = {}
    for index, line in enumerate(text.splitlines()):
        match = _LINE.match(line)
        if match is None:
            continue
        pid, resumed, _, name, args = match.groups()
        if resumed is not None:
            pending.pop(pid).end = index
            continue
        call = Call(name, args, index, index)
        calls.append(call)
        if args.endswith("<unfinished ...>"):
            pending[pid] = call
    return calls


def fd_path(call: Call) -> str:
    match = re.match(r"\d+<([^>]*)>", call.args)
    assert match, call
    return match.group(1)


def rename_paths(call: Call) -> Tuple[str, str]:
    return tuple(re.findall(r'"((?:[^"\\]|\\.)*)"', call.args)[:2])


def marker(calls: List[Call], name: str) -> Call:
    [found] = [c for c in calls if c.name == "write" and f'"@@{name}\\n"' in c.args]
    return found


def traced_child(store: pathlib.Path, durable: bool, trace: pathlib.Path) -> List[Call]:
    command = [STRACE or "strace", "-f", "-y", "-s", "256", "-o", str(trace),
               "-e", "trace=fsync,fdatasync,rename,renameat2,write",
               sys.executable, "-c", CHILD, str(store), "1" if durable else "0", str(BATCH)]
    done = subprocess.run(command, env=_child_env(), capture_output=True)
    assert done.returncode == 0, done.stderr.decode()
    return parse_trace(trace.read_text())


def check_flushed_call(calls: List[Call], receipts: str, after: Call, returned: Call, count: int) -> None:
    """Every rename in (after, returned) follows its file's flush; the directory is flushed last."""
    window = [c for c in calls if after.end < c.start < returned.start]
    renames = [c for c in window if c.name in ("rename", "renameat2") and rename_paths(c)[1].startswith(receipts + "/")]
    assert len(renames) == count
    flushed: Dict[str, int] = {}
    for c in window:
        if c.name in ("fdatasync", "fsync"):
            flushed.setdefault(fd_path(c), c.end)
    for rename in renames:
        temporary = rename_paths(rename)[0]
        assert flushed.get(temporary, rename.start) < rename.start, f"{temporary} renamed before its data was flushed"
    last_rename = max(c.end for c in renames)
    directory_flushes = [c for c in window if c.name == "fsync" and fd_path(c) == receipts]
    assert any(last_rename < c.start and c.end < returned.start for c in directory_flushes)


@needs_strace
def test_durable_store_flushes_data_before_rename_and_directory_before_returning(tmp_path: pathlib.Path) -> None:
    base = pathlib.Path(os.path.realpath(tmp_path))
    store = base / "new" / "store"
    calls = traced_child(store, True, tmp_path / "trace")
    receipts = str(store / "receipts")
    opened, stored, stored_many = (marker(calls, name) for name in ("opened", "stored", "stored_many"))
    # Opening makes nothing; every directory the first store makes holds its entry durably before it returns.
    assert not [c for c in calls if c.name == "fsync" and c.end < opened.start]
    made = {fd_path(c) for c in calls if c.name == "fsync" and c.end < stored.start}
    assert {str(base), str(base / "new"), str(store), receipts} <= made
    check_flushed_call(calls, receipts, opened, stored, 1)
    check_flushed_call(calls, receipts, stored, stored_many, BATCH)
    assert len(os.listdir(receipts)) == BATCH + 1


@needs_strace
def test_store_that_is_not_durable_flushes_nothing(tmp_path: pathlib.Path) -> None:
    store = pathlib.Path(os.path.realpath(tmp_path)) / "store"
    calls = traced_child(store, False, tmp_path / "trace")
    assert [c for c in calls if c.name in ("fsync", "fdatasync")] == []
    assert len(os.listdir(store / "receipts")) == BATCH + 1


@needs_strace
@pytest.mark.parametrize("durable", [True, False])
def test_next_writer_removes_a_killed_writers_old_temporary_file(tmp_path: pathlib.Path, durable: bool) -> None:
    # Which names and ages count as abandoned temporaries is held in the C++ durability tests.
    # The child dies at its first rename: its temporary file is written and left behind.
    command = [STRACE or "strace", "-f", "-o", os.devnull, "-e", "trace=rename,renameat2",
               "-e", "inject=rename,renameat2:error=EIO:signal=SIGKILL",
               sys.executable, "-c", CHILD, str(tmp_path), "1" if durable else "0", "1"]
    done = subprocess.run(command, env=_child_env(), capture_output=True)
    assert b"@@stored" not in done.stderr
    receipts = tmp_path / "receipts"
    [leftover] = list(receipts.iterdir())
    assert re.fullmatch(r"\.[0-9a-f-]{36}\.json\.\d+\.[0-9a-f]{16}\.tmp", leftover.name)

    # A young temporary file may be a live writer's: the next writer keeps it.
    tessary.DirectoryStore(tmp_path, durable=durable).store(tessary.record("w", {}))
    assert leftover.exists()
    when = leftover.lstat().st_mtime - OLD
    os.utime(leftover, (when, when), follow_symlinks=False)
    writer = tessary.DirectoryStore(tmp_path, durable=durable)
    assert leftover.exists(), "opening a store removes nothing; writing does"
    writer.store_many([])
    assert not leftover.exists() and len(writer.query()) == 1


@pytest.mark.parametrize("durable", [True, False])
def test_batches_across_groups_keep_the_last_of_equal_receipts(tmp_path: pathlib.Path, durable: bool) -> None:
    first = [tessary.record("w", {"n": n}) for n in range(700)]
    again = first[:300:7]
    with tessary.DirectoryStore(tmp_path, durable=durable) as store:
        assert store.store_many(first + again) == 700 + len(again)
        assert sorted(r.rid for r in store.query()) == sorted(r.rid for r in first)
    assert [p.name for p in (tmp_path / "receipts").iterdir() if not p.name.endswith(".json")] == []


def test_failed_batch_leaves_no_temporary_files(tmp_path: pathlib.Path) -> None:
    receipts = [tessary.record("w", {"n": n}) for n in range(300)]
    store = tessary.DirectoryStore(tmp_path)
    # A directory under the final name of one receipt makes its rename fail.
    (tmp_path / "receipts" / f"{receipts[280].rid}.json").mkdir(parents=True)
    with pytest.raises(tessary.StoreError, match=f"Failed to write receipt to .*{receipts[280].rid}.json"):
        store.store_many(receipts)
    names = os.listdir(tmp_path / "receipts")
    # the first group, the receipts before the failure, and the directory
    assert [n for n in names if n.endswith(".tmp")] == [] and len(names) == 281
