"""Audit a whole collection of receipts: each one on its own, and how they link.

:func:`audit` reads a store (or a folder of receipt files) one batch at a
time. Every receipt's hash is recomputed and its content validated; only its
identifier and the identifiers it links to are kept, so the cross-receipt
checks (every link resolves, no receipt is its own ancestor) run in memory
that grows with identifiers and edges, never with whole receipts.
"""

from __future__ import annotations

import errno
import os
import re
import uuid
from array import array
from typing import Callable, Dict, Iterator, List, NamedTuple, Optional, Tuple, Union

from ._step_receipts import OutputsOfWork
from ._types import JSONValue
from .errors import ReceiptError, StoreError, VerificationError
from .inputs import display_name
from .receipts import Receipt, verify_strict
from .signing import Keyring, check as check_signature
from .stores import DirectoryStore, Store

__all__ = ["audit", "AuditReport", "Problem", "PROBLEM_KINDS"]

#: Every kind of problem an audit reports, in the order reports list their counts.
#: "non_deterministic" is the same step over the same inputs giving different outputs; the last
#: three come from checking signatures against trusted keys.
PROBLEM_KINDS = (
    "unreadable",
    "duplicate",
    "stale_hash",
    "invalid",
    "dangling_link",
    "cycle",
    "non_deterministic",
    "unsigned",
    "unknown_key",
    "bad_signature",
)

# Receipt files larger than this are not read (the directory store has the same bound).
_LARGEST_FILE = 64 << 20

# How many identifiers a cycle's description names before it is cut short.
_CYCLE_NAMES = 10

_CANONICAL_ID = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\Z")


class Problem(NamedTuple):
    """One thing wrong: its kind, the receipt it concerns (None for an unreadable file) and what was found."""

    kind: str
    rid: Optional[str]
    detail: str


class AuditReport:
    """What an audit found: how many receipts were checked, and every problem."""

    __slots__ = ("receipts", "counts", "problems")

    def __init__(self, receipts: int, problems: List[Problem]) -> None:
        self.receipts = receipts
        self.problems = problems
        counts: Dict[str, int] = {}
        for problem in problems:
            counts[problem.kind] = counts.get(problem.kind, 0) + 1
        order = {kind: i for i, kind in enumerate(PROBLEM_KINDS)}
        self.counts: Dict[str, int] = dict(sorted(counts.items(), key=lambda kv: (order.get(kv[0], len(order)), kv[0])))

    @property
    def ok(self) -> bool:
        """True when nothing is wrong."""
        return not self.problems

    def to_dict(self) -> Dict[str, JSONValue]:
        """The report as plain JSON values."""
        return {
            "receipts": self.receipts,
            "ok": self.ok,
            "counts": dict(self.counts),
            "problems": [{"kind": p.kind, "rid": p.rid, "detail": p.detail} for p in self.problems],
        }

    def format(self) -> str:
        """The report for people: the counts, then one line per problem."""
        noun = "receipt" if self.receipts == 1 else "receipts"
        if self.ok:
            return f"{self.receipts} {noun} checked: no problems"
        total = len(self.problems)
        lines = [f"{self.receipts} {noun} checked: {total} problem{'' if total == 1 else 's'}"]
        lines.extend(f"  {kind}: {count}" for kind, count in self.counts.items())
        for p in self.problems:
            lines.append(f"{p.kind} {p.rid if p.rid is not None else '-'}: {p.detail}")
        return "\n".join(lines)

    def __repr__(self) -> str:
        return f"<AuditReport receipts={self.receipts} problems={len(self.problems)}>"


# -- identifiers and edges ---------------------------------------------------------

Key = Union[int, str]


def _key(rid: str) -> Key:
    """A compact key: a canonical identifier as its 128-bit number, anything else as the text itself."""
    if _CANONICAL_ID.match(rid):
        return int(rid.replace("-", ""), 16)
    return rid


def _name(key: Key) -> str:
    return str(uuid.UUID(int=key)) if isinstance(key, int) else key


class _Graph:
    """Receipts as dense indices and their links as pairs of indices.

    An index is given to an identifier the first time it is seen, as a
    receipt or as a link's target; ``present`` marks those read as receipts.
    Edges run from a receipt to each receipt it names.
    """

    __slots__ = ("index", "present", "src", "dst")

    def __init__(self) -> None:
        self.index: Dict[Key, int] = {}
        self.present = bytearray()
        self.src = array("I")
        self.dst = array("I")

    def node(self, key: Key) -> int:
        found = self.index.get(key)
        if found is None:
            found = len(self.present)
            self.index[key] = found
            self.present.append(0)
        return found

    def add_receipt(self, key: Key) -> bool:
        """Mark the identifier read as a receipt; False when it was read before."""
        i = self.node(key)
        if self.present[i]:
            return False
        self.present[i] = 1
        return True

    def add_edges(self, key: Key, targets: Iterator[Key]) -> None:
        s = self.index[key]
        for target in targets:
            self.src.append(s)
            self.dst.append(self.node(target))

    def names(self) -> List[Key]:
        """The key of every index, in index order (the dict keeps insertion order)."""
        return list(self.index)

    def dangling(self) -> Iterator[Tuple[int, int]]:
        present = self.present
        for s, d in zip(self.src, self.dst):
            if not present[d]:
                yield s, d

    def cycles(self) -> Iterator[Tuple[int, array[int]]]:
        """Each cycle met by a depth-first walk: its length and its first few indices.

        The walk keeps its own stack, so a chain of any length is walked
        without recursion. A cycle is reported for every edge that leads back
        onto the current path; the path from that edge's target to its source,
        with the edge, is the cycle.
        """
        n = len(self.present)
        start = array("I", bytes(4 * (n + 1)))
        for s in self.src:
            start[s + 1] += 1
        for i in range(n):
            start[i + 1] += start[i]
        nxt = array("I", start)
        targets = array("I", bytes(4 * len(self.dst)))
        for s, d in zip(self.src, self.dst):
            targets[nxt[s]] = d
            nxt[s] += 1
        nxt = array("I", start)
        colour = bytearray(n)  # 0 not reached, 1 on the current path, 2 finished
        depth = array("I", bytes(4 * n))
        stack = array("I")
        for root in range(n):
            if colour[root] or start[root] == start[root + 1]:
                continue
            colour[root] = 1
            stack.append(root)
            while stack:
                v = stack[-1]
                p = nxt[v]
                if p < start[v + 1]:
                    nxt[v] = p + 1
                    w = targets[p]
                    c = colour[w]
                    if c == 0:
                        colour[w] = 1
                        depth[w] = len(stack)
                        stack.append(w)
                    elif c == 1:
                        first = depth[w]
                        yield len(stack) - first, stack[first : first + _CYCLE_NAMES]
                else:
                    colour[v] = 2
                    stack.pop()


# -- reading the source -------------------------------------------------------------

Source = Union[Store, str, "os.PathLike[str]"]


def _unreadable(data: str, error: ReceiptError) -> str:
    """Why a file's text was not taken: not a receipt at all, or one with text beside its seal."""
    reason = " ".join(str(error).split())
    try:
        Receipt.from_json(data, strict=False)
    except ReceiptError:
        return f"not a receipt: {reason}"
    return reason


def _not_a_file(entry: "os.DirEntry[str]") -> str:
    """Why an entry that is no regular file holds no receipt, in the words a directory store uses."""
    if entry.is_dir():
        return "a directory"
    if entry.is_symlink():
        try:
            os.stat(entry.path)
        except OSError as e:
            return "link loop" if e.errno == errno.ELOOP else "dangling link"
    return "not a regular file"


class _Text(NamedTuple):
    text: str
    reason: Optional[str]  # why there is no text, in the words a directory store uses


def _entry_text(entry: "os.DirEntry[str]") -> _Text:
    """The text of one ``*.json`` entry, or why it has none."""
    try:
        if not entry.is_file():
            return _Text("", _not_a_file(entry))
        if entry.stat().st_size > _LARGEST_FILE:
            return _Text("", "larger than 64 MiB")
        with open(entry.path, "rb") as f:
            data = f.read(_LARGEST_FILE + 1)
    except OSError as e:  # is_file() follows the link and fails on a loop
        if e.errno == errno.ELOOP:
            return _Text("", "link loop")
        return _Text("", f"unreadable: {e.strerror} (os error {e.errno})")
    if len(data) > _LARGEST_FILE:
        return _Text("", "larger than 64 MiB")
    try:
        return _Text(data.decode("utf-8"), None)
    except UnicodeDecodeError:
        return _Text("", "not UTF-8")


def _folder_receipts(folder: str, problem: Callable[[Problem], None], strict: bool) -> Iterator[Tuple[str, Receipt]]:
    """The receipt of each ``*.json`` file in the folder, one file at a time, with the file's name."""
    try:
        entries = os.scandir(folder)
    except OSError as e:
        raise StoreError(f"{folder}: {e.strerror or e}") from None
    with entries:
        for entry in entries:
            if not entry.name.endswith(".json"):
                continue
            name = display_name(entry.name)  # printable even when the name is not UTF-8
            text = _entry_text(entry)
            if text.reason is not None:
                problem(Problem("unreadable", None, f"{name}: {text.reason}"))
                continue
            try:
                receipt = Receipt.from_json(text.text, strict=strict)
            except ReceiptError as e:
                problem(Problem("unreadable", None, f"{name}: {_unreadable(text.text, e)}"))
                continue
            yield name, receipt


def _store_receipts(store: Store, problem: Callable[[Problem], None]) -> Iterator[Tuple[Optional[str], Receipt]]:
    """The receipts of a store; each entry of a directory store that holds none is an "unreadable" problem."""
    if not isinstance(store, DirectoryStore):
        read = store.iter()
    else:
        read = store.iter(on_skip=lambda e: problem(Problem("unreadable", None, f"{display_name(e.name)}: {e.reason}")))
    for receipt in read:
        yield None, receipt


# What audit reads: the receipts (with the file each came from, if known),
# and a store it opened itself and must close.
_Opened = Tuple[Iterator[Tuple[Optional[str], Receipt]], Optional[Store]]


def _open_source(source: Source, strict: bool, problem: Callable[[Problem], None]) -> _Opened:
    """The receipts of ``source``; a directory store's own files when strict, since its reader is lenient."""
    if isinstance(source, DirectoryStore) and strict:
        inner = os.path.join(source.path, "receipts")
        return (_folder_receipts(inner, problem, True) if os.path.isdir(inner) else iter(())), None
    if isinstance(source, Store):
        return _store_receipts(source, problem), None
    if not isinstance(source, (str, os.PathLike)):
        raise TypeError(f"audit() reads a Store or a directory path, not {type(source).__name__}")
    path = os.fspath(source)
    if isinstance(path, bytes):
        path = os.fsdecode(path)
    if not os.path.isdir(path):
        what = "not a directory" if os.path.exists(path) else "no such directory"
        raise StoreError(f"{what}: {path}")
    inner = os.path.join(path, "receipts")
    if not os.path.isdir(inner):
        return _folder_receipts(path, problem, strict), None
    if strict:
        return _folder_receipts(inner, problem, True), None
    store = DirectoryStore(path, create=False)
    return _store_receipts(store, problem), store


# -- the checks of one receipt ----------------------------------------------------------


def _resealed(receipt: Receipt, computed: str) -> Optional[Receipt]:
    """The receipt with its stored hash replaced by the computed one, to validate the rest of it."""
    text = receipt.to_json()
    needle = f'"hash":"{receipt.hash}"'
    if text.count(needle) != 1:
        return None
    try:
        fixed = Receipt.from_json(text.replace(needle, f'"hash":"{computed}"'), strict=False)
        if fixed.compute_hash() != computed:
            return None
    except ReceiptError:
        return None
    return fixed


def _check(receipt: Receipt, rid: str) -> List[Problem]:
    """The problems of one receipt on its own: a stale hash, content that fails validation."""
    try:
        verify_strict(receipt)
        return []
    except VerificationError as e:
        reason = " ".join(str(e).split())
    try:
        computed = receipt.compute_hash()
    except ReceiptError as e:
        return [Problem("invalid", rid, " ".join(str(e).split()))]
    if computed == receipt.hash:
        return [Problem("invalid", rid, reason)]
    found = [Problem("stale_hash", rid, f"stored {receipt.hash}, computed {computed}")]
    fixed = _resealed(receipt, computed)
    if fixed is not None:
        try:
            verify_strict(fixed)
        except VerificationError as e:
            found.append(Problem("invalid", rid, " ".join(str(e).split())))
    return found


def _targets(receipt: Receipt) -> Iterator[Key]:
    links = receipt.links
    parent = receipt.parent
    named = list(links) if parent is None else [*links, parent]
    if len(named) > 1:
        named = list(dict.fromkeys(named))
    for rid in named:
        yield _key(rid if isinstance(rid, str) else str(rid))


def _trust_check(keyring: Keyring) -> Callable[[Receipt], Tuple[str, str]]:
    def check(receipt: Receipt) -> Tuple[str, str]:
        result = check_signature(receipt, keyring)
        text = result.status.value
        reason = result.reason
        detail = str(reason) if reason else text.replace("_", " ")
        if result.kid and text != "unsigned":
            detail = f"{detail} (key {result.kid})"
        return text, detail

    return check


# -- the audit ----------------------------------------------------------------------


def _audit_one(
    name: Optional[str],
    receipt: Receipt,
    graph: _Graph,
    trusted: Optional[Callable[[Receipt], Tuple[str, str]]],
    problem: Callable[[Problem], None],
    outputs: OutputsOfWork,
) -> None:
    """One receipt's own problems (and its signature's, with trusted keys); its links go into the graph."""
    rid = receipt.rid
    key = _key(rid)
    if not graph.add_receipt(key):
        where = f"{name}: " if name is not None else ""
        problem(Problem("duplicate", rid, f"{where}another receipt has this identifier"))
    own = _check(receipt, rid)
    for p in own:
        problem(p)
    other = None if own else outputs.add(receipt)
    if other is not None:
        problem(Problem("non_deterministic", rid, f"non-deterministic step {receipt.workload}: the same method and inputs as "
                                                  f"{other} gave another output"))
    if trusted is not None:
        status, detail = trusted(receipt)
        if status != "trusted" and all(p.kind != status for p in own):
            problem(Problem(status, rid, detail))
    graph.add_edges(key, _targets(receipt))


def audit(
    source: Source,
    *,
    trust: Optional[Keyring] = None,
    on_problem: Optional[Callable[[Problem], None]] = None,
    strict: bool = True,
) -> AuditReport:
    """Check every receipt of ``source`` and the links between them.

    ``source`` is a :class:`~tessary.Store`, the path of a directory store (a
    folder holding ``receipts/``) or the path of a plain folder of ``*.json``
    receipt files. Each receipt's hash is recomputed ("stale_hash") and its
    content validated ("invalid"); across the source every link and parent
    must name a receipt in it ("dangling_link") and no receipt may be its own
    ancestor ("cycle"); no step may give two outputs for the same method
    over the same inputs ("non_deterministic"). A ``*.json`` entry that
    holds no receipt (in a plain folder or a directory store: a dangling
    link, a directory, an unreadable file, one that is not a receipt) is
    "unreadable", named with its reason, and the audit goes on; in a plain
    folder a second file with the same identifier is a "duplicate".

    With ``trust`` (a keyring of trusted keys) every receipt must also carry a
    signature by one of them; any other outcome is reported under its status.
    ``on_problem`` is called with each problem as it is found.

    Receipt files are read strictly unless ``strict`` is false: a file whose
    text holds anything beside what its hash seals (a member the format does
    not know, a repeated member name) is "unreadable", the member named. A
    directory store's files are read that way too; other stores' receipts
    are read as the store holds them.
    """
    problems: List[Problem] = []

    def problem(p: Problem) -> None:
        problems.append(p)
        if on_problem is not None:
            on_problem(p)

    trusted = _trust_check(trust) if trust is not None else None
    read, owned = _open_source(source, strict, problem)
    graph = _Graph()
    outputs = OutputsOfWork()
    count = 0
    try:
        for name, receipt in read:
            count += 1
            _audit_one(name, receipt, graph, trusted, problem, outputs)
    finally:
        if owned is not None:
            owned.close()
    _link_problems(graph, problem)
    return AuditReport(count, problems)



def _link_problems(graph: _Graph, problem: Callable[[Problem], None]) -> None:
    """The links that name no receipt of the source, and the cycles."""
    names = graph.names()
    for s, d in graph.dangling():
        problem(Problem("dangling_link", _name(names[s]), f"links to {_name(names[d])}, which is not in the source"))
    for length, first in graph.cycles():
        path = " -> ".join(_name(names[i]) for i in first)
        if length > len(first):
            path += f" -> ... ({length - len(first)} more)"
        head = _name(names[first[0]])
        problem(Problem("cycle", head, f"{length} receipt{'' if length == 1 else 's'} on a cycle: {path} -> {head}"))
