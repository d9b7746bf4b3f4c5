from collections.abc import Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypedDict

__all__ = ["decide_reuse_py", "economic_delta_py", "jaccard_similarity_py"]

# Only "reuse" and "recompute" are ever returned.
_DecisionText = Literal["reuse", "recompute"]

class _Justification(TypedDict):
    overlap_j: float
    alpha: float
    c_id: float
    c_comp: float
    decision: _DecisionText

class _ReuseDecision(TypedDict):
    decision: _DecisionText
    justification: _Justification

# overlap_j takes what float() takes from a number; cost_model maps "c_id",
# "c_comp" and "alpha" each to a number or to {"type": "constant", "value": x}
# or {"type": "linear", "per_row": x, "base": y}; bad content raises ValueError.
# row_count must fit an unsigned 64-bit integer (OverflowError otherwise).
def decide_reuse_py(
    overlap_j: SupportsFloat | SupportsIndex, cost_model: dict[str, Any], row_count: SupportsIndex | None = None
) -> _ReuseDecision: ...
def economic_delta_py(
    overlap_j: SupportsFloat | SupportsIndex, cost_model: dict[str, Any], row_count: SupportsIndex | None = None
) -> float: ...

# A str is refused although it is a Sequence[str].
def jaccard_similarity_py(set1: Sequence[str], set2: Sequence[str]) -> float: ...
