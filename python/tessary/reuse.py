"""Reuse economics: is reusing an earlier result worth it, given the overlap?

The overlap of two inputs is the Jaccard similarity of their chunk sets
(:func:`jaccard`). A :class:`CostModel` prices reuse (``c_id``) against
computing afresh (``c_comp``), with ``alpha`` the share of the compute cost
that reuse saves per unit of overlap. Reuse wins when
J > c_id / (alpha * c_comp); the economic delta alpha * c_comp * J - c_id
is the estimated saving.
"""

from __future__ import annotations

import json
import math
import operator
from typing import Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple, Union

import _tessary

from ._types import JSONValue, WordEnum
from .errors import CostModelError, ShapeError
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


def _cost_number(value: object, what: str) -> float:
    """A cost as a float; a cost that is not a finite, non-negative number is refused where it is made."""
    try:
        number = _number(value, what)
    except TypeError as e:
        raise CostModelError(str(e)) from None
    if not math.isfinite(number):
        raise CostModelError(f"{what} must be finite, got {number!r}")
    if number < 0:
        raise CostModelError(f"{what} must not be negative, got {number!r}")
    return number


class Constant(NamedTuple("_ConstantFields", [("value", float)])):
    """A cost that does not depend on the row count; a finite number, not negative."""

    __slots__ = ()

    def __new__(cls, value: float) -> "Constant":
        return super().__new__(cls, _cost_number(value, "value"))

    def at(self, rows: Optional[int] = None) -> float:
        """The cost for ``rows`` rows."""
        return float(self.value)

    def to_dict(self) -> Dict[str, JSONValue]:
        return {"type": "constant", "value": float(self.value)}


class Linear(NamedTuple("_LinearFields", [("per_row", float), ("base", float)])):
    """A cost of ``base + rows * per_row``; it has no price without a row count."""

    __slots__ = ()

    def __new__(cls, per_row: float, base: float = 0.0) -> "Linear":
        return super().__new__(cls, _cost_number(per_row, "per_row"), _cost_number(base, "base"))

    def at(self, rows: Optional[int] = None) -> float:
        """The cost for ``rows`` rows (one product, then one sum)."""
        if rows is None:
            raise CostModelError("a linear cost needs a row count")
        product = float(rows) * float(self.per_row)
        return float(self.base) + product

    def to_dict(self) -> Dict[str, JSONValue]:
        return {"type": "linear", "per_row": float(self.per_row), "base": float(self.base)}


CostValue = Union[Constant, Linear]


# The fields of each cost value's dict form: a misspelt one is refused, not ignored.
_FIELDS = {"constant": ("type", "value"), "linear": ("type", "per_row", "base")}
_MODEL_KEYS = ("c_id", "c_comp", "alpha")


def _known_fields(data: Mapping[str, object], known: Tuple[str, ...], where: str) -> None:
    for name in data:
        if name not in known:
            expected = ", ".join(repr(k) for k in known)
            raise CostModelError(f"{where}unknown field {name!r}; expected {expected}")


def _cost_value(value: object, key: str) -> CostValue:
    if isinstance(value, (Constant, Linear)):
        return value
    if isinstance(value, Mapping):
        kind = value.get("type")
        _known_fields(value, _FIELDS.get(kind, ("type",)) if isinstance(kind, str) else ("type",), f"{key}: ")
        if kind == "constant":
            if "value" not in value:
                raise CostModelError(f"{key}: missing 'value' field")
            return Constant(_cost_number(value["value"], f"{key}.value"))
        if kind == "linear":
            for field in ("per_row", "base"):
                if field not in value:
                    raise CostModelError(f"{key}: missing '{field}' field")
            return Linear(_cost_number(value["per_row"], f"{key}.per_row"), _cost_number(value["base"], f"{key}.base"))
        if not isinstance(kind, str):
            raise CostModelError(f"{key}: missing 'type' field")
        raise CostModelError(f"{key}: invalid type '{kind}', expected 'constant' or 'linear'")
    return Constant(_cost_number(value, key))


class CostModel(NamedTuple("_CostModelFields", [("c_id", CostValue), ("c_comp", CostValue), ("alpha", CostValue)])):
    """What reuse costs (``c_id``), what computing costs (``c_comp``) and reuse efficiency (``alpha``).

    Each may be a number (taken as :class:`Constant`), a :class:`Constant`, a
    :class:`Linear` or their dict forms; a value that is not a finite,
    non-negative cost is refused here rather than when the model is used.
    """

    __slots__ = ()

    def __new__(cls, c_id: object, c_comp: object, alpha: object) -> "CostModel":
        return super().__new__(cls, _cost_value(c_id, "c_id"), _cost_value(c_comp, "c_comp"),
                               _cost_value(alpha, "alpha"))

    @classmethod
    def of(cls, c_id: object, c_comp: object, alpha: object) -> "CostModel":
        """A model from numbers, cost values or their dict forms."""
        return cls(c_id, c_comp, alpha)

    @classmethod
    def from_dict(cls, data: Mapping[str, JSONValue]) -> "CostModel":
        """A model from ``{"c_id": ..., "c_comp": ..., "alpha": ...}``; each a number or
        ``{"type": "constant", "value": v}`` or ``{"type": "linear", "per_row": p, "base": b}``."""
        if not isinstance(data, Mapping):
            raise CostModelError(f"a cost model must be a JSON object, not {type(data).__name__}")
        for key in _MODEL_KEYS:
            if key not in data:
                raise CostModelError(f"Missing required field: {key}")
        _known_fields(data, _MODEL_KEYS, "")
        return cls(data["c_id"], data["c_comp"], data["alpha"])

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
        return {"c_id": self.c_id.to_dict(), "c_comp": self.c_comp.to_dict(), "alpha": self.alpha.to_dict()}


class ReuseDecision(WordEnum):
    """The decision words; the reuse rule yields ``REUSE`` or ``RECOMPUTE``."""

    REUSE = "reuse"
    RECOMPUTE = "recompute"
    HYBRID = "hybrid"


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


def _model(model: ModelLike) -> CostModel:
    return model if isinstance(model, CostModel) else CostModel.from_dict(model)


def _refused(message: str, argument: str) -> CostModelError:
    error = CostModelError(message)
    error.argument = argument
    return error


def _rows(rows: Optional[int], model: CostModel) -> Optional[int]:
    if rows is None:
        for key, value in zip(_MODEL_KEYS, model):
            if isinstance(value, Linear):
                raise _refused(f"{key} is linear and needs a row count", "rows")
        return None
    if isinstance(rows, bool) or not isinstance(rows, int):
        raise TypeError(f"rows must be an int, not {type(rows).__name__}")
    if not 0 <= rows < 2**64:
        raise _refused(f"rows must be between 0 and 2**64 - 1, got {rows}", "rows")
    return rows


def _overlap(overlap: object) -> float:
    value = _number(overlap, "overlap")
    # Refused rather than clamped: an overlap outside [0, 1] is a mistake upstream, and clamping would hide it.
    if not 0.0 <= value <= 1.0:
        raise _refused(f"overlap must be a number between 0 and 1, got {value!r}", "overlap")
    return value


def _arguments(overlap: object, model: ModelLike, rows: Optional[int]) -> Tuple[float, Dict[str, JSONValue], Optional[int]]:
    j = _overlap(overlap)
    checked = _model(model)
    return j, checked.to_dict(), _rows(rows, checked)


def decide_reuse(overlap: float, model: ModelLike, rows: Optional[int] = None) -> Decision:
    """Decide between reuse and recomputation for an overlap J in [0, 1].

    ``rows`` prices the model's :class:`Linear` costs and is required when it has any.
    Raises :class:`CostModelError` for an overlap outside [0, 1], a model that
    cannot be read, or a missing or out-of-range row count; its ``argument``
    names which (``"overlap"``, ``"model"``, ``"rows"``).
    """
    j, model_dict, r = _arguments(overlap, model, rows)
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
    """The estimated saving of reuse, alpha * c_comp * J - c_id (negative: a cost); arguments as :func:`decide_reuse`."""
    result: float = _delta.economic_delta_py(*_arguments(overlap, model, rows))
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


def _same_scheme(a: ChunkSet, b: ChunkSet) -> None:
    """Chunks cut under different schemes share (almost) nothing, whatever the data: refuse rather than answer ~0."""
    # By text: CDC(64) == Fixed(64) as tuples.
    if isinstance(a, DataShape) and isinstance(b, DataShape) and str(a.scheme) != str(b.scheme):
        listed = ", ".join(sorted((str(a.scheme), str(b.scheme))))
        raise ShapeError(f"the chunk sets use different schemes ({listed}); they cannot be compared")


def jaccard(a: ChunkSet, b: ChunkSet) -> float:
    """The Jaccard similarity |A ∩ B| / |A ∪ B| of two chunk sets; 1.0 for two empty ones.

    Each side is a :class:`DataShape` computed with ``chunks=True``, or an
    iterable of chunk identifiers or :class:`Chunk` values (repeats count once).
    Two data shapes of different chunk schemes raise :class:`ShapeError`.
    """
    ids_a, ids_b = _ids(a, "a"), _ids(b, "b")
    _same_scheme(a, b)
    result: float = _delta.jaccard_similarity_py(ids_a, ids_b)
    return result
