"""Where a file came from: lookups of step receipts, the chain of steps behind a result, the graph of a store.

Lookups are the store's own (indexed in a database store, a scan of a
directory store: docs/stores.md states up to what size that is fine); the
graph reads a store through ``iter()``. Every receipt :func:`lineage` returns
is verified, and checked against the keys when some are given; one that
fails is in the chain with its problem, never left out.
"""

from __future__ import annotations

import os
import re
import uuid
from typing import Dict, List, Mapping, NamedTuple, Optional, Set, Tuple, Union

from ._fingerprints import fingerprint_path
from ._lookups import recorded_order
from ._types import JSONValue
from .errors import StepError, VerificationError
from .filters import Filters
from .receipts import Receipt, ReceiptKind, verify_strict
from .signing import Keyring, check
from .stores import Store

__all__ = ["NotProducedError", "Step", "find_by_output_digest", "find_by_method", "lineage", "Node", "Edge", "Graph", "graph"]

_HEX64 = re.compile(r"[0-9a-f]{64}")


class NotProducedError(StepError):
    """No step in the store wrote the file asked about (by its SHA-256)."""

    def __init__(self, store: str, path: str) -> None:
        super().__init__(f"no step in {store} produced {path}")
        self.path = path


def _executions(store: Store, filters: Optional[Filters] = None) -> List[Receipt]:
    return [r for r in store.iter(filters) if r.kind is ReceiptKind.EXECUTION]


def find_by_output_digest(store: Store, digest: str) -> List[Receipt]:
    """The successful execution receipts whose outputs include the SHA-256 ``digest``, newest first.

    ``digest`` is 64 hex digits, with or without ``sha256:``. A step that
    failed vouches for no output and is never found here. The store's own
    lookup: a database store's is indexed, a directory store's a scan.
    """
    return store.find_by_output_digest(digest)


def find_by_method(store: Store, method_root: str, input_commitment: str) -> List[Receipt]:
    """The execution receipts of the method shape ``method_root`` over the inputs ``input_commitment``, newest first.

    ``input_commitment`` is the receipt's ``data_shape_hash``: together they
    name the same work on the same inputs, whatever its outcome.
    """
    return store.find_by_method(method_root, input_commitment)


def _named(attest: object, key: str) -> Dict[str, str]:
    """The files a step's attest names under ``key`` (materials or products): name -> sha256:HEX."""
    listed = attest.get(key) if isinstance(attest, Mapping) else None
    if not isinstance(listed, Mapping):
        return {}
    return {str(name): "sha256:" + str(item.get("sha256")) for name, item in listed.items()
            if isinstance(item, Mapping) and _HEX64.fullmatch(str(item.get("sha256")))}


class Step(NamedTuple):
    """One step of a lineage: its execution receipt, name, status, files, and what is wrong with it (None if nothing)."""

    receipt: Receipt
    name: str
    status: str
    inputs: Dict[str, str]
    outputs: Dict[str, str]
    problem: Optional[str]

    @property
    def ok(self) -> bool:
        return self.problem is None

    @classmethod
    def of(cls, receipt: Receipt, problem: Optional[str] = None) -> "Step":
        attest = receipt.attest
        fields = attest if isinstance(attest, Mapping) else {}
        name = fields.get("step")
        status = fields.get("status")
        return cls(receipt, name if isinstance(name, str) else (receipt.workload or ""),
                   status if isinstance(status, str) else "", _named(attest, "materials"),
                   _named(attest, "products"), problem)


def _problem(receipt: Receipt, trust: Optional[Keyring]) -> Optional[str]:
    try:
        verify_strict(receipt)
    except VerificationError as e:
        return f"does not verify: {e}"
    if trust is not None:
        result = check(receipt, trust)
        if not result.ok:
            return f"not trusted ({result.status}): {result.reason}"
    return None


def _store_name(store: Store) -> str:
    return str(getattr(store, "path", None) or store)


def _start(path_or_rid: Union[str, "os.PathLike[str]"], store: Store) -> Receipt:
    text = os.fspath(path_or_rid)
    if not os.path.lexists(text):
        try:
            rid = str(uuid.UUID(text))
        except ValueError:
            rid = ""
        if rid:
            found = store.get(rid)
            if found is None:
                raise StepError(f"no receipt {rid} in {_store_name(store)}")
            if found.kind is not ReceiptKind.EXECUTION:
                raise StepError(f"receipt {rid} is a {found.kind.value} receipt, not a step's execution receipt")
            return found
    producers = find_by_output_digest(store, fingerprint_path(text).digest)
    if not producers:
        raise NotProducedError(_store_name(store), text)
    return producers[0]


def _linked(store: Store, rid: str) -> Optional[Receipt]:
    # A forged link need not even be an identifier: it is then a missing receipt, reported as such.
    try:
        return store.get(rid)
    except ValueError:
        return None


def lineage(path_or_rid: Union[str, "os.PathLike[str]"], store: Store, trust: Optional[Keyring] = None) -> List[Step]:
    """The steps behind a file (found by its SHA-256) or an execution receipt's id, oldest first.

    The chain follows each receipt's links (``prev_execution_rid`` first)
    back to the steps that read no step's output. Every receipt is verified,
    and checked against ``trust`` when given; a failure is the step's
    ``problem``, as is a link to a receipt the store does not hold. Raises
    :class:`NotProducedError` when no step produced the file, and
    :class:`StepError` for an identifier the store does not hold.
    """
    if trust is not None and not isinstance(trust, Keyring):
        raise TypeError(f"trust must be a tessary.Keyring, not {type(trust).__name__}")
    pending = [_start(path_or_rid, store)]
    seen: Set[str] = set()
    steps: List[Step] = []
    while pending:
        receipt = pending.pop()
        if receipt.rid in seen:
            continue
        seen.add(receipt.rid)
        problems = [p for p in [_problem(receipt, trust)] if p]
        for rid in receipt.links:
            parent = _linked(store, rid)
            if parent is None:
                problems.append(f"links to {rid}, which is not in the store")
            elif parent.kind is ReceiptKind.EXECUTION:
                pending.append(parent)
        steps.append(Step.of(receipt, "; ".join(problems) or None))
    return sorted(steps, key=lambda s: recorded_order(s.receipt))


class Node(NamedTuple):
    """A node of the graph: ``kind`` "step" (id from its rid) or "file" (id from its digest), and its label."""

    id: str
    kind: str
    label: str
    ref: str


class Edge(NamedTuple):
    source: str
    target: str


class Graph(NamedTuple):
    """Steps and the files they read and wrote: edges go input -> step -> output."""

    nodes: List[Node]
    edges: List[Edge]

    def to_json(self) -> Dict[str, JSONValue]:
        return {"nodes": [n._asdict() for n in self.nodes],
                "edges": [{"from": e.source, "to": e.target} for e in self.edges]}

    def to_mermaid(self) -> str:
        """A Mermaid flowchart, left to right: the nodes, then one line per edge."""
        lines = ["flowchart LR"]
        for node in self.nodes:
            text = _mermaid_label(node.label)
            lines.append(f'    {node.id}["{text}"]' if node.kind == "file" else f'    {node.id}(["{text}"])')
        lines += [f"    {e.source} --> {e.target}" for e in self.edges]
        return "\n".join(lines) + "\n"

    def to_dot(self) -> str:
        """A Graphviz digraph, left to right: the nodes, then one line per edge."""
        lines = ["digraph tessary {", "    rankdir=LR;"]
        for node in self.nodes:
            shape = "note" if node.kind == "file" else "box"
            lines.append(f'    {node.id} [shape={shape}, label="{_dot_label(node.label)}"];')
        lines += [f"    {e.source} -> {e.target};" for e in self.edges]
        return "\n".join(lines + ["}"]) + "\n"


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _mermaid_label(text: str) -> str:
    # Inside a quoted label Mermaid reads entity codes: quotes and angle brackets would end or open markup.
    codes = {'"': "#quot;", "<": "#lt;", ">": "#gt;", "#": "#35;", "`": "#96;"}
    return "".join(codes.get(c, c) for c in _one_line(text))


def _dot_label(text: str) -> str:
    return _one_line(text).replace("\\", "\\\\").replace('"', '\\"')


def _file_id(digest: str) -> str:
    return "f_" + digest[len("sha256:"):]


def graph(store: Store, filters: Optional[Filters] = None) -> Graph:
    """The graph of the steps in ``store`` that pass ``filters``: files by digest, steps by receipt.

    Node ids are letters, digits and underscores, safe as Mermaid and
    Graphviz identifiers; the labels hold the names.
    """
    nodes: Dict[str, Node] = {}
    edges: Dict[Tuple[str, str], None] = {}
    for receipt in sorted(_executions(store, filters), key=recorded_order):
        step = Step.of(receipt)
        step_id = "s_" + receipt.rid.replace("-", "")
        nodes[step_id] = Node(step_id, "step", f"{step.name} ({step.status})" if step.status else step.name,
                              receipt.rid)
        for names, outgoing in ((step.inputs, False), (step.outputs, True)):
            for name, digest in names.items():
                file_id = _file_id(digest)
                nodes.setdefault(file_id, Node(file_id, "file", os.path.basename(name) or name, digest))
                edges[(step_id, file_id) if outgoing else (file_id, step_id)] = None
    return Graph(list(nodes.values()), [Edge(a, b) for a, b in edges])
