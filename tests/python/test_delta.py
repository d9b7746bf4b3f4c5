"""Reuse economics through the delta submodule: results, conversions, messages."""
import math
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

from _tessary import delta

MODEL = {"c_id": 10, "c_comp": 100, "alpha": 0.5}


def test_decide_reuse_result():
    result = delta.decide_reuse_py(0.5, MODEL)
    assert list(result) == ["decision", "justification"] and result["decision"] == "reuse"
    assert [(k, v, type(v)) for k, v in result["justification"].items()] == [
        ("overlap_j", 0.5, float), ("alpha", 0.5, float), ("c_id", 10.0, float), ("c_comp", 100.0, float),
        ("decision", "reuse", str)]
    result = delta.decide_reuse_py(math.nan, MODEL)
    assert result["decision"] == result["justification"]["decision"] == "recompute"
    assert math.isnan(result["justification"]["overlap_j"])


@given(st.floats(allow_nan=False), st.floats(-1e6, 1e6), st.floats(-1e6, 1e6), st.floats(-2, 2))
def test_decision_and_economic_delta_follow_the_rule(j, c_id, c_comp, alpha):
    model = {"c_id": c_id, "c_comp": c_comp, "alpha": alpha}
    jc, d = min(max(j, 0.0), 1.0), c_comp * alpha
    threshold = math.inf if d == 0 else c_id / d
    assert delta.decide_reuse_py(j, model)["decision"] == ("reuse" if jc > threshold else "recompute")
    assert delta.economic_delta_py(overlap_j=j, cost_model=model, row_count=None) == jc * d - c_id


@pytest.mark.parametrize("rows, c_comp", [(None, 5.0), (1000, 2005.0), (True, 7.0), (2**64 - 1, 2.0 * 2**64)])
def test_linear_costs_and_row_count(rows, c_comp):
    model = {"c_id": 1, "c_comp": {"type": "linear", "per_row": 2, "base": 5}, "alpha": {"type": "constant", "value": 1}}
    assert delta.decide_reuse_py(0.5, model, rows)["justification"]["c_comp"] == c_comp


# Overlaps convert as float() does; cost models may be dict subclasses, and other keys are ignored.
@pytest.mark.parametrize("overlap, model", [
    (0.5, MODEL), (type("F", (), {"__float__": lambda s: 0.5})(), MODEL), (True, MODEL),
    (type("I", (), {"__index__": lambda s: 1})(), MODEL),
    (0.5, type("Sub", (dict,), {})(MODEL, extra="ignored", alpha={"type": "constant", "value": 0.5, "note": 1})),
])
def test_accepted_inputs(overlap, model):
    assert delta.economic_delta_py(overlap, model) == float(overlap) * 50 - 10
    assert delta.decide_reuse_py(overlap, model)["justification"]["overlap_j"] == float(overlap)


@pytest.mark.parametrize("model, message", [
    ({"c_id": 10, "c_comp": 100}, "Missing required field: alpha"),
    ({"c_comp": 100, "alpha": "x"}, "Missing required field: c_id"),
    ({"c_id": "10", "c_comp": 100, "alpha": 0.5}, "c_id: expected float or dict, got builtins.str"),
    ({"c_id": 2**2000, "c_comp": 100, "alpha": 0.5}, "c_id: expected float or dict, got builtins.int"),
    ({"c_id": {"type": "linear", "per_row": 0.01}, "c_comp": 1, "alpha": 1}, "c_id: missing 'base' field"),
    ({"c_id": 1, "c_comp": {"type": "constant", "value": "x"}, "alpha": 1}, "c_comp: missing 'value' field"),
    ({"c_id": 1, "c_comp": {"value": 3}, "alpha": 1}, "c_comp: missing 'type' field"),
    ({"c_id": 1, "c_comp": 1, "alpha": {"type": "Linear", "per_row": 1, "base": 1}},
     "alpha: invalid type 'Linear', expected 'constant' or 'linear'"),
])
def test_cost_model_messages(model, message):
    for fn in (delta.decide_reuse_py, delta.economic_delta_py):
        with pytest.raises(ValueError) as info:
            fn(0.5, model)
        assert str(info.value) == message


@given(st.lists(st.text(max_size=3), max_size=20), st.lists(st.text(max_size=3), max_size=20))
def test_jaccard_matches_python_sets(a, b):
    u, v = set(a), set(b)
    expected = 1.0 if not u and not v else float(Fraction(len(u & v), len(u | v)))
    assert delta.jaccard_similarity_py(a, tuple(b)) == expected
