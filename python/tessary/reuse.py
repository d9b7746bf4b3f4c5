"""Reuse economics: is reusing an earlier result worth it, given the overlap?

The overlap of two inputs is the Jaccard similarity of their chunk sets
(:func:`jaccard`). A :class:`CostModel` prices reuse (``c_id``) against
computing afresh (``c_comp``), with ``alpha`` the share of the compute cost
that reuse saves per unit of overlap. Reuse wins when
J > c_id / (alpha * c_comp); the economic delta alpha * c_comp * J - c_id
is the estimated saving.
"""

from __future__ import annotations

import enum
import json
import math
import operator
from typing import Dict, Iterable, List, Mapping, NamedTuple, Optional, Union

import _tessary

from ._types import JSONValue
from .errors import CostModelError
from .shapes import Chunk, DataShape

__all__ = ["Constant", "Linear", "CostValue", "CostModel", "ReuseDecision", "Decision", "decide_reuse", "economic_delta", "jaccard"]

_delta = _tessary.delta


def _number(value: object, what: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        try:
            value = operator.index(value)  # type: ignore[arg-type]
        except TypeError:
            raise TypeError(f"{what} must be a number, not {type(value).__name__}") from None
    return float(value)


class Constant(NamedTuple):
    """A cost that does not depend on the row count."""

    value: float

    def at(self, rows: Optional[int] = None) -> float:
        """The cost for ``rows`` rows."""
        return float(self.value)

    def to_dict(self) -> Dict[str, JSONValue]:
        return {"type": "constant", "value": float(self.value)}


class Linear(NamedTuple):
    """A cost of ``base + rows * per_row``; without a row count it is ``base``."""

    per_row: float
    base: float = 0.0

    def at(self, rows: Optional[int] = None) -> float:
        """The cost for ``rows`` rows (one product, then one sum)."""
        r = float(rows) if rows is not None else 0.0
        product = r * float(self.per_row)
        return float(self.base) + product

    def to_dict(self) -> Dict[str, JSONValue]:
        return {"type": "linear", "per_row": float(self.per_row), "base": float(self.base)}


CostValue = Union[Constant, Linear]


def _cost_value(value: object, key: str) -> CostValue:
    if isinstance(value, (Constant, Linear)):
        return value
    if isinstance(value, Mapping):
        kind = value.get("type")
        if kind == "constant":
            if "value" not in value:
                raise CostModelError(f"{key}: missing 'value' field")
            return Constant(_checked(value["value"], f"{key}.value"))
        if kind == "linear":
            for field in ("per_row", "base"):
                if field not in value:
                    raise CostModelError(f"{key}: missing '{field}' field")
            return Linear(_checked(value["per_row"], f"{key}.per_row"), _checked(value["base"], f"{key}.base"))
        if not isinstance(kind, str):
            raise CostModelError(f"{key}: missing 'type' field")
        raise CostModelError(f"{key}: invalid type '{kind}', expected 'constant' or 'linear'")
    return Constant(_checked(value, key))


def _checked(value: object, what: str) -> float:
    try:
        number = _number(value, what)
    except TypeError as e:
        raise CostModelError(str(e)) from None
    if not math.isfinite(number):
        raise CostModelError(f"{what} must be finite, got {number!r}")
    return number


class CostModel(NamedTuple):
    """What reuse costs (``c_id``), what computing costs (``c_comp``) and reuse efficiency (``alpha``).

    Each may be a number (taken as :class:`Constant`), a :class:`Constant` or a :class:`Linear`.
    """

    c_id: CostValue
    c_comp: CostValue
    alpha: CostValue

    @classmethod
    def of(cls, c_id: object, c_comp: object, alpha: object) -> "CostModel":
        """A model from numbers, cost values or their dict forms."""
        return cls(_cost_value(c_id, "c_id"), _cost_value(c_comp, "c_comp"), _cost_value(alpha, "alpha"))

    @classmethod
    def from_dict(cls, data: Mapping[str, JSONValue]) -> "CostModel":
        """A model from ``{"c_id": ..., "c_comp": ..., "alpha": ...}``; each a number or
        ``{"type": "constant", "value": v}`` or ``{"type": "linear", "per_row": p, "base": b}``."""
        if not isinstance(data, Mapping):
            raise CostModelError(f"a cost model must be a JSON object, not {type(data).__name__}")
        values = []
        for key in ("c_id", "c_comp", "alpha"):
            if key not in data:
                raise CostModelError(f"Missing required field: {key}")
            values.append(_cost_value(data[key], key))
        return cls(*values)

    @classmethod
    def from_json(cls, text: str) -> "CostModel":
        """A model from its JSON text (the :meth:`from_dict` form)."""
        try:
            data = json.loads(text)
        except ValueError as e:
            raise CostModelError(f"cost model is not JSON: {e}") from None
        return cls.from_dict(data)

    def to_dict(self) -> Dict[str, JSONValue]:
        """The model as the native module's dict form."""
        return {"c_id": _as_cost(self.c_id, "c_id").to_dict(), "c_comp": _as_cost(self.c_comp, "c_comp").to_dict(),
                "alpha": _as_cost(self.alpha, "alpha").to_dict()}


def _as_cost(value: object, key: str) -> CostValue:
    return value if isinstance(value, (Constant, Linear)) else _cost_value(value, key)


class ReuseDecision(str, enum.Enum):
    """The decision words; the reuse rule yields ``REUSE`` or ``RECOMPUTE``."""

    REUSE = "reuse"
    RECOMPUTE = "recompute"
    HYBRID = "hybrid"

    def __str__(self) -> str:
        return self.value


class Decision(NamedTuple):
    """A reuse decision with its justification: the quantities it was made from."""

    decision: ReuseDecision
    overlap: float
    alpha: float
    c_id: float
    c_comp: float
    delta: float

    @property
    def reuse(self) -> bool:
        """True when the decision is to reuse."""
        return self.decision is ReuseDecision.REUSE

    def to_dict(self) -> Dict[str, JSONValue]:
        return {"decision": self.decision.value, "overlap_j": self.overlap, "alpha": self.alpha,
                "c_id": self.c_id, "c_comp": self.c_comp, "delta": self.delta}


ModelLike = Union[CostModel, Mapping[str, JSONValue]]


def _model_dict(model: ModelLike) -> Dict[str, JSONValue]:
    if isinstance(model, CostModel):
        return model.to_dict()
    return CostModel.from_dict(model).to_dict()


def _rows(rows: Optional[int]) -> Optional[int]:
    if rows is None:
        return None
    if isinstance(rows, bool) or not isinstance(rows, int):
        raise TypeError(f"rows must be an int, not {type(rows).__name__}")
    if not 0 <= rows < 2**64:
        raise ValueError(f"rows must be between 0 and 2**64 - 1, got {rows}")
    return rows


def _overlap(overlap: object) -> float:
    value = _number(overlap, "overlap")
    if math.isnan(value):
        raise ValueError("overlap must be a number in [0, 1], got nan")
    return value


def decide_reuse(overlap: float, model: ModelLike, rows: Optional[int] = None) -> Decision:
    """Decide between reuse and recomputation for an overlap J (clamped into [0, 1])."""
    j, model_dict, r = _overlap(overlap), _model_dict(model), _rows(rows)
    result = _delta.decide_reuse_py(j, model_dict, r)
    justification = result["justification"]
    return Decision(
        ReuseDecision(result["decision"]),
        justification["overlap_j"],
        justification["alpha"],
        justification["c_id"],
        justification["c_comp"],
        _delta.economic_delta_py(j, model_dict, r),
    )


def economic_delta(overlap: float, model: ModelLike, rows: Optional[int] = None) -> float:
    """The estimated saving of reuse, alpha * c_comp * J - c_id (negative: a cost)."""
    result: float = _delta.economic_delta_py(_overlap(overlap), _model_dict(model), _rows(rows))
    return result


ChunkSet = Union[DataShape, Iterable[Union[str, Chunk]]]


def _ids(value: ChunkSet, name: str) -> List[str]:
    if isinstance(value, DataShape):
        return value.chunk_ids
    if isinstance(value, (str, bytes)):
        raise TypeError(f"{name} must be a data shape or an iterable of chunk ids, not a single {type(value).__name__}")
    ids: List[str] = []
    for item in value:
        if isinstance(item, Chunk):
            ids.append(item.id)
        elif isinstance(item, str):
            ids.append(item)
        else:
            raise TypeError(f"{name} holds a {type(item).__name__}; expected chunk ids (str) or Chunk values")
    return ids


def jaccard(a: ChunkSet, b: ChunkSet) -> float:
    """The Jaccard similarity |A ∩ B| / |A ∪ B| of two chunk sets; 1.0 for two empty ones.

    Each side is a :class:`DataShape` computed with ``chunks=True``, or an
    iterable of chunk identifiers or :class:`Chunk` values (repeats count once).
    """
    result: float = _delta.jaccard_similarity_py(_ids(a, "a"), _ids(b, "b"))
    return result
