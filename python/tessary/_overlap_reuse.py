"""Reuse by overlap: an earlier run of the same method over inputs that overlap the new ones.

Only for steps whose result may stand for a result over similar inputs (a
model fitted on most of the same rows, an index of mostly the same files):
the earlier outputs are taken as the outputs for the new inputs. Nobody but
the step's author can tell whether that is sound, so it is asked for by
name (``reuse="overlap"``) and never happens otherwise.

Candidates are the successful runs of the same step name, version and
method shape root whose input sketch shares an LSH band with the new
inputs' sketch: a database store asks its band index, any other store is
scanned. The best few by estimate are confirmed with the exact Jaccard
overlap of the chunk sets (the earlier one read from its chunk manifest in
the cache), and the best confirmed one is weighed by the reuse rule:
reuse when J > c_id / (alpha * c_comp), with c_comp what the candidate cost
when it ran (its spend receipt), c_id what identifying it has cost so far,
and alpha given by the caller.
"""

from __future__ import annotations

import base64
import os
from typing import TYPE_CHECKING, Dict, Iterable, List, NamedTuple, Optional, Sequence, Set, Tuple, Union

from ._exact_reuse import ReusePolicy, restorable, sound
from ._metering import InProcessMeter, Prices, meter_of, total_value
from ._step_receipts import Named, StepMethod, succeeded, work_of
from ._step_recording import computing_cost
from ._types import JSONValue
from .errors import CacheError, CostModelError, StepError
from .filters import Filters
from .receipts import Receipt
from .sketches import MinHash, SketchError, candidates
from .stores import Store

if TYPE_CHECKING:
    from .reuse import CostModel

__all__ = ["overlap_alpha", "Weighed", "weigh_overlap", "chunk_set", "exact_overlap", "CONFIRMED"]

#: How many candidates, best estimate first, are confirmed with the exact overlap.
CONFIRMED = 8
_RECORD = 40  # a chunk manifest entry: 32 digest bytes, then the length as 8 bytes


def overlap_alpha(alpha: Optional[float], cost_model: Union[None, str, "os.PathLike[str]", "CostModel"]) -> float:
    """The reuse efficiency for overlap reuse: ``alpha`` itself, or the ``alpha`` of a cost model (or its JSON file)."""
    from .reuse import Constant, CostModel  # the reuse arithmetic is loaded only for overlap reuse

    if (alpha is None) == (cost_model is None):
        raise StepError("reuse by overlap needs alpha (alpha=, --alpha) or a cost model "
                        "(cost_model=, --cost-model), one of the two")
    if alpha is not None:
        try:
            return float(Constant(alpha).value)
        except (CostModelError, TypeError) as e:
            raise StepError(f"alpha: {e}") from None
    if isinstance(cost_model, CostModel):
        model = cost_model
    else:
        assert cost_model is not None
        try:
            with open(cost_model, encoding="utf-8") as f:
                model = CostModel.from_json(f.read())
        except OSError as e:
            raise StepError(f"cost model {os.fspath(cost_model)}: {e.strerror or e}") from None
        except CostModelError as e:
            raise StepError(f"cost model {os.fspath(cost_model)}: {e}") from None
    if not isinstance(model.alpha, Constant):
        raise StepError("the cost model's alpha must be a constant: a step has no row count to price it at")
    return float(model.alpha.value)


class Weighed(NamedTuple):
    """The best overlapping earlier run, and the reuse rule's verdict on it as a spend receipt's justification."""

    receipt: Receipt
    reuse: bool
    justification: Dict[str, JSONValue]


def _digest32_hex(text: object) -> Optional[str]:
    if not isinstance(text, str):
        return None
    try:
        raw = base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))
    except ValueError:
        return None
    return raw.hex() if len(raw) == 32 else None


def chunk_set(manifest: bytes) -> Set[bytes]:
    """The distinct chunk digests (32 bytes each) of a chunk manifest's canonical form."""
    return {manifest[i : i + 32] for i in range(0, len(manifest) - _RECORD + 1, _RECORD)}


def exact_overlap(a: Set[bytes], b: Set[bytes]) -> float:
    """The Jaccard overlap |a ∩ b| / |a ∪ b| of two chunk sets; two empty sets overlap fully, as in :func:`tessary.jaccard`."""
    union = len(a | b)
    return 1.0 if union == 0 else len(a & b) / union


def _same_method(receipt: Receipt, step: StepMethod) -> bool:
    return work_of(receipt)[:3] == (step.name, step.version, step.shape_root) and succeeded(receipt)


def _signature(receipt: Receipt) -> Optional[bytes]:
    values = receipt.payload.get("minhash_signature")
    if not isinstance(values, (list, tuple)):
        return None
    try:
        return bytes(v for v in values if isinstance(v, int))
    except ValueError:
        return None


def _stored(store: Store, sketch: MinHash, step: StepMethod) -> Iterable[Receipt]:
    """The runs of the step that may overlap: the band index of a database store, else a scan of the step's runs."""
    finder = getattr(store, "find_by_sketch", None)
    if finder is not None:
        found: List[Receipt] = finder(sketch, method_root=step.shape_root)
        return found
    return store.iter(Filters(workload=step.name))


def _ranked(store: Store, sketch: MinHash, step: StepMethod, policy: ReusePolicy) -> List[Receipt]:
    by_rid: Dict[str, Receipt] = {}
    pairs: List[Tuple[str, bytes]] = []
    for receipt in _stored(store, sketch, step):
        signature = _signature(receipt)
        if signature is None or len(signature) != len(sketch.to_bytes()) or not _same_method(receipt, step):
            continue
        by_rid[receipt.rid] = receipt
        pairs.append((receipt.rid, signature))
    try:
        found = candidates(sketch, pairs)
    except SketchError:
        return []
    ranked = [by_rid[c.rid] for c in found if sound(by_rid[c.rid], policy.trust)]
    return ranked[:CONFIRMED]


def _best(ranked: List[Receipt], chunks: Set[bytes], policy: ReusePolicy,
          names: Optional[Sequence[str]]) -> Optional[Tuple[Receipt, float]]:
    """The candidate of the largest exact overlap, among those whose outputs and chunk manifest are cached."""
    best: Optional[Tuple[Receipt, float]] = None
    for receipt in ranked:
        manifest = _digest32_hex(receipt.payload.get("chunk_manifest_hash"))
        if manifest is None or policy.cache is None or not restorable(receipt, policy.cache, names):
            continue
        try:
            earlier = chunk_set(policy.cache.read_bytes(manifest))
        except (CacheError, OSError):
            continue
        overlap = exact_overlap(earlier, chunks)
        if best is None or overlap > best[1]:
            best = (receipt, overlap)
    return best


def weigh_overlap(store: Optional[Store], policy: ReusePolicy, step: StepMethod, inputs: Sequence[Named],
                  names: Optional[Sequence[str]], meter: InProcessMeter, prices: Prices) -> Optional[Weighed]:
    """The best earlier run over overlapping inputs and whether the reuse rule takes it; None when there is none.

    ``meter`` was started before the search: what it measured when the rule
    is applied, priced by ``prices``, is the cost of identifying (c_id).
    """
    digests = [c.digest for _, item in inputs for c in item.chunks]
    if store is None or policy.alpha is None or policy.cache is None or not digests:
        return None
    from .reuse import CostModel, decide_reuse

    sketch = MinHash.of(digests)
    best = _best(_ranked(store, sketch, step, policy), set(digests), policy, names)
    if best is None:
        return None
    receipt, overlap = best
    measured = computing_cost(store, receipt)
    c_id = total_value(meter_of(meter.stop()), prices)
    decision = decide_reuse(overlap, CostModel.of(c_id=c_id, c_comp=measured or 0.0, alpha=policy.alpha))
    justification: Dict[str, JSONValue] = {
        "overlap_j": decision.overlap, "alpha": decision.alpha, "c_id": decision.c_id, "c_comp": measured,
        "decision": decision.decision.value, "layer": "execution", "minhash_sketch": sketch.to_text(),
    }
    return Weighed(receipt, decision.reuse, justification)
