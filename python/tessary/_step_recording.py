"""Recording a finished run of a step, or the reuse of an earlier one: receipts sealed, signed, stored.

A run leaves its execution and spend receipts in the store, its outputs and
its inputs' chunk manifest in the cache, and is compared with the newest
earlier run of the same work. A reuse leaves one spend receipt, linked to
the run it took over, whose justification says so.
"""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from ._canonical import jcs
from ._exact_reuse import ReusePolicy, ReuseWarning, restore_outputs, warn_if_nondeterministic
from ._fingerprints import chunk_manifest, fingerprint_path
from ._ids import uuid4_text
from ._metering import InProcessMeter, Prices, Usage, load_prices, total_value, meter_of
from ._step_receipts import (
    SUCCEEDED, Named, StepFacts, StepMethod, execution_receipt, product_digests, recorded_order, spend_receipt,
    timestamp,
)
from ._types import JSONValue
from .errors import CacheError, StepError
from .receipts import Receipt, ReceiptKind
from .stores import DirectoryStore, Store, StoreLike, open_store

if TYPE_CHECKING:
    from .signing import SigningKey

__all__ = ["StepRecord", "StepSetup", "producers", "open_step_store", "setup_of", "fingerprints", "record_step",
           "reuse_step", "computing_cost", "PathArg", "PricesArg"]

PathArg = Union[str, "os.PathLike[str]"]
PricesArg = Union[None, Prices, Mapping[str, JSONValue], str, "os.PathLike[str]"]


class StepRecord(NamedTuple):
    """The outcome of one run of a step: its two receipts, its status and exit status, and what it used.

    ``reused`` is true when the step did not run and an earlier run was taken
    over: ``execution`` is that run's receipt and ``spend`` what reusing it cost.
    """

    execution: Receipt
    spend: Receipt
    status: str
    exit_status: Optional[int]
    usage: Usage
    reused: bool = False


# A directory store's lookup reads every receipt file but parses only those holding the digest;
# a scan that parses every receipt costs about as much as this many lookups.
_SCAN_AT = 5


def producers(store: Store, digests: Iterable[str]) -> Dict[str, Receipt]:
    """For each digest ("sha256:..."), the latest successful step receipt in ``store`` that produced it.

    The store's own lookup, one per digest; a directory store asked for
    many digests is scanned once for all of them instead (docs/stores.md
    says up to what size a scan is fine).
    """
    wanted = set(digests)
    if len(wanted) < _SCAN_AT or not isinstance(store, DirectoryStore):
        return {d: found[0] for d in wanted for found in [store.find_by_output_digest(d)] if found}
    found: Dict[str, Receipt] = {}
    for receipt in store.iter():
        if receipt.kind is not ReceiptKind.EXECUTION:
            continue
        for digest in product_digests(receipt) & wanted:
            best = found.get(digest)
            if best is None or recorded_order(receipt) > recorded_order(best):
                found[digest] = receipt
    return found


def _links(store: Optional[Store], inputs: Sequence[Named], parents: Sequence[Union[Receipt, str]]) -> List[str]:
    links: List[str] = []
    if store is not None and inputs:
        made = producers(store, [item.digest for _, item in inputs])
        links = [made[item.digest].rid for _, item in inputs if item.digest in made]
    for parent in parents:
        links.append(parent.rid if isinstance(parent, Receipt) else _uuid_text(parent))
    return list(dict.fromkeys(links))


def _trace(store: Optional[Store], links: List[str], given: Optional[str]) -> str:
    if given is not None:
        return given
    if store is not None and links:
        first = store.get(links[0])
        if first is not None and first.trace:
            return first.trace
    return f"trace:{uuid4_text()}"


class StepSetup(NamedTuple):
    """A step ready to run: what it is, where its receipts go, who signs, its prices, links and reuse."""

    step: StepMethod
    store: Optional[Store]
    key: Optional[SigningKey]
    prices: Prices
    parents: Tuple[Union[Receipt, str], ...]
    trace: Optional[str]
    excludes: Optional[Tuple[str, ...]]
    reuse: ReusePolicy


def _check_params(params: Mapping[str, JSONValue]) -> Dict[str, JSONValue]:
    if not isinstance(params, Mapping):
        raise TypeError(f"params must be a mapping, not {type(params).__name__}")
    value = dict(params)
    try:
        jcs(value)
    except (TypeError, ValueError) as e:
        raise StepError(f"params are not a JSON object: {e}") from None
    return value


def _is_signing_key(key: object) -> bool:
    from .signing import SigningKey  # loaded only when a key is given

    return isinstance(key, SigningKey)


def _signed(receipt: Receipt, key: SigningKey) -> Receipt:
    from .signing import sign

    return sign(receipt, key)


def open_step_store(store: Union[Store, StoreLike]) -> Store:
    opened = open_store(store)
    if isinstance(opened, DirectoryStore):
        # Producers are looked up before anything is written: a new store is an empty one, not a missing one.
        os.makedirs(opened.path, exist_ok=True)
    return opened


def setup_of(name: str, *, method: Dict[str, JSONValue], params: Optional[Mapping[str, JSONValue]],
             store: Union[None, Store, StoreLike], key: Optional[SigningKey], prices: PricesArg,
             version: Optional[str], parents: Iterable[Union[Receipt, str]] = (), trace: Optional[str] = None,
             excludes: Optional[Iterable[str]] = None, reuse: ReusePolicy = ReusePolicy()) -> StepSetup:
    if not isinstance(name, str) or not name:
        raise TypeError("a step's name must be a non-empty str")
    if key is not None and not _is_signing_key(key):
        raise TypeError(f"key must be a tessary.SigningKey, not {type(key).__name__}")
    step = StepMethod(name, version if version is not None else "0", method, _check_params(params or {}))
    return StepSetup(step, None if store is None else open_step_store(store), key, load_prices(prices),
                     tuple(parents), trace, None if excludes is None else tuple(excludes), reuse)


def fingerprints(paths: Iterable[PathArg], excludes: Optional[Tuple[str, ...]]) -> List[Named]:
    return [(os.fspath(p), fingerprint_path(p, excludes)) for p in paths]


def _keep(setup: StepSetup, inputs: Sequence[Named], outputs: Sequence[Named], values: Mapping[str, bytes]) -> None:
    """Put a successful run's outputs and its inputs' chunk manifest in the cache; a failure only warns."""
    cache = setup.reuse.cache
    if cache is None:
        return
    try:
        if inputs:
            cache.put_bytes(chunk_manifest([item for _, item in inputs]))
        for name, item in outputs:
            if item.type == "buffer":
                kept = name in values and cache.put_bytes(values[name]) == item.sha256
            elif item.type == "directory":
                kept = cache.put_directory(name, item.sha256, list(item.entries or ()))
            else:
                kept = cache.put_file(name, item.sha256)
            if not kept:
                warnings.warn(ReuseWarning(f"{name} changed after it was fingerprinted: not cached"), stacklevel=4)
    except (OSError, CacheError) as e:
        warnings.warn(ReuseWarning(f"outputs not cached in {cache.root}: {e}"), stacklevel=4)


def _seal(setup: StepSetup, execution: Receipt, spend: Receipt) -> Tuple[Receipt, Receipt]:
    if setup.key is not None:
        execution, spend = _signed(execution, setup.key), _signed(spend, setup.key)
    if setup.store is not None:
        setup.store.store_many((execution, spend))  # one flush of the directory for both
    return execution, spend


def record_step(setup: StepSetup, inputs: Sequence[Named], outputs: Sequence[Named], status: str,
                exit_status: Optional[int], argv: Optional[List[str]], times: Tuple[str, str], usage: Usage,
                mime_types: Optional[Dict[str, str]] = None, previous: Optional[Receipt] = None,
                values: Mapping[str, bytes] = {}, justification: Optional[Dict[str, JSONValue]] = None) -> StepRecord:
    """Seal, sign and store both receipts of a finished run; cache its outputs; compare it with ``previous``.

    ``values`` holds the bytes of outputs that are buffers, by name; a
    ``justification`` (an overlap weighed and found not worth reusing) goes
    into the spend receipt.
    """
    links = _links(setup.store, inputs, setup.parents)
    facts = StepFacts(setup.step, list(inputs), list(outputs), status, exit_status, argv, times[0], times[1],
                      _trace(setup.store, links, setup.trace), links,
                      setup.key.kid if setup.key is not None else None, mime_types or {})
    execution = execution_receipt(facts)
    spend = spend_receipt(execution, usage, setup.prices, justification)
    execution, spend = _seal(setup, execution, spend)
    if status == SUCCEEDED:
        _keep(setup, inputs, outputs, values)
        warn_if_nondeterministic(setup.step.name, previous, execution)
    return StepRecord(execution, spend, status, exit_status, usage)


def _ran(spend: Receipt) -> bool:
    """Whether a spend receipt is a run's own (no justification, or one that decided to recompute)."""
    justification = spend.payload.get("justification")
    return not isinstance(justification, Mapping) or justification.get("decision") != "reuse"


def computing_cost(store: Optional[Store], execution: Receipt) -> Optional[float]:
    """What the reused run cost when it ran: the value of its own spend receipt, when the store holds it."""
    when = execution.ctx.time
    if store is None or when is None:
        return None
    # A run's spend receipt carries the run's own time: only that second's receipts are read.
    second = int(when.timestamp())
    for receipt in store.iter(start=second, end=second):
        payload = receipt.payload
        if (receipt.kind is ReceiptKind.SPEND and list(receipt.links) == [execution.rid]
                and _ran(receipt)):
            value = payload.get("total_value")
            return float(value) if isinstance(value, (int, float)) else None
    return None


def reuse_step(setup: StepSetup, found: Receipt, meter: InProcessMeter,
               weighed: Optional[Dict[str, JSONValue]] = None) -> Optional[Tuple[StepRecord, Dict[str, bytes]]]:
    """Take over the run ``found``: restore its outputs and record what that cost; None when it cannot be.

    ``meter`` was started before the store was searched, so the spend covers
    both finding the run and restoring its outputs. ``weighed`` is the
    justification of a reuse by overlap; without it the inputs were the same.
    """
    try:
        values = restore_outputs(found, setup.reuse)
    except (CacheError, OSError) as e:
        warnings.warn(ReuseWarning(f"step {setup.step.name}: {found.rid} not reused ({e}); running it again"),
                      stacklevel=4)
        return None
    usage = meter.stop()
    identify = total_value(meter_of(usage), setup.prices)
    justification: Dict[str, JSONValue] = weighed or {
        "overlap_j": 1.0, "alpha": 1.0, "c_id": identify, "c_comp": computing_cost(setup.store, found),
        "decision": "reuse", "layer": "execution", "minhash_sketch": None,
    }
    spend = spend_receipt(found, usage, setup.prices, justification, timestamp())
    if setup.key is not None:
        spend = _signed(spend, setup.key)
    if setup.store is not None:
        setup.store.store(spend)
    attest = found.attest
    exit_status = attest.get("exit_status") if isinstance(attest, Mapping) else None
    return StepRecord(found, spend, SUCCEEDED, exit_status if isinstance(exit_status, int) else None, usage,
                      True), values



def _uuid_text(parent: object) -> str:
    import uuid  # only an explicit parent given by its identifier needs it

    return str(uuid.UUID(str(parent)))
