"""Reuse economics through the delta submodule: results, conversions, messages."""
import math
from fractions import Fraction

import pytest
from hypothesis import given, strategies as st

MODEL = {"c_id": 10, "c_comp": 100, "alpha": 0.5}


def test_decide_reuse_result_shape(delta):
    result = delta.decide_reuse_py(0.5, MODEL)
    assert result == {
        "decision": "reuse",
        "justification": {"overlap_j": 0.5, "alpha": 0.5, "c_id": 10.0, "c_comp": 100.0, "decision": "reuse"},
    }
    assert list(result["justification"]) == ["overlap_j", "alpha", "c_id", "c_comp", "decision"]
    assert all(type(v) is float for k, v in result["justification"].items() if k != "decision")


@pytest.mark.parametrize(
    "overlap, decision",
    [(0.1, "recompute"), (0.2, "recompute"), (0.2000001, "reuse"), (1.7, "reuse"), (-0.2, "recompute"), (math.nan, "recompute")],
)
def test_threshold_is_strict_and_overlap_clamped(delta, overlap, decision):
    result = delta.decide_reuse_py(overlap, MODEL)
    assert result["decision"] == result["justification"]["decision"] == decision
    j = result["justification"]["overlap_j"]
    if overlap != overlap:
        assert j != j
    else:
        assert j == min(max(overlap, 0.0), 1.0)


@pytest.mark.parametrize(
    "overlap, model, decision, economic",
    [
        (0.3, MODEL, "reuse", 5.0),
        (2.0, {"c_id": 1, "c_comp": 4, "alpha": 0.5}, "reuse", 1.0),
        # A zero product never reuses.
        (1.0, dict(MODEL, alpha=0), "recompute", -10.0),
        (1.0, dict(MODEL, c_comp=0), "recompute", -10.0),
    ],
)
def test_decision_and_economic_delta(delta, overlap, model, decision, economic):
    assert delta.decide_reuse_py(overlap, model)["decision"] == decision
    assert delta.economic_delta_py(overlap_j=overlap, cost_model=model, row_count=None) == economic


def test_linear_costs_and_row_count(delta):
    model = {"c_id": 1, "c_comp": {"type": "linear", "per_row": 2, "base": 5}, "alpha": {"type": "constant", "value": 1}}
    assert delta.decide_reuse_py(0.5, model)["justification"]["c_comp"] == 5.0
    assert delta.decide_reuse_py(0.5, model, 1000)["justification"]["c_comp"] == 2005.0
    assert delta.decide_reuse_py(0.5, model, True)["justification"]["c_comp"] == 7.0
    assert delta.decide_reuse_py(0.5, model, 2**64 - 1)["decision"] == "reuse"


class Floaty:
    def __float__(self):
        return 0.5


class Indexy:
    def __index__(self):
        return 1


@pytest.mark.parametrize("overlap", [0.5, Floaty(), True, Indexy()])
def test_overlap_accepts_what_float_accepts(delta, overlap):
    assert delta.economic_delta_py(overlap, MODEL) == float(overlap) * 50 - 10


@pytest.mark.parametrize(
    "model, message",
    [
        ({"c_id": 10, "c_comp": 100}, "Missing required field: alpha"),
        ({"c_comp": 100, "alpha": "x"}, "Missing required field: c_id"),
        ({"c_id": "10", "c_comp": 100, "alpha": 0.5}, "c_id: expected float or dict, got builtins.str"),
        ({"c_id": 2**2000, "c_comp": 100, "alpha": 0.5}, "c_id: expected float or dict, got builtins.int"),
        ({"c_id": {"type": "linear", "per_row": 0.01}, "c_comp": 1, "alpha": 1}, "c_id: missing 'base' field"),
        ({"c_id": 1, "c_comp": {"type": "constant", "value": "x"}, "alpha": 1}, "c_comp: missing 'value' field"),
        ({"c_id": 1, "c_comp": {"value": 3}, "alpha": 1}, "c_comp: missing 'type' field"),
        (
            {"c_id": 1, "c_comp": 1, "alpha": {"type": "Linear", "per_row": 1, "base": 1}},
            "alpha: invalid type 'Linear', expected 'constant' or 'linear'",
        ),
    ],
)
def test_cost_model_messages(delta, model, message):
    for fn in (delta.decide_reuse_py, delta.economic_delta_py):
        with pytest.raises(ValueError) as info:
            fn(0.5, model)
        assert str(info.value) == message


def test_cost_model_other_keys_ignored_and_subclass_accepted(delta):
    class Sub(dict):
        pass

    model = Sub(MODEL, extra="ignored")
    model["alpha"] = {"type": "constant", "value": 0.5, "note": 1}
    assert delta.decide_reuse_py(0.5, model)["decision"] == "reuse"


@pytest.mark.parametrize(
    "a, b, expected",
    [
        (["a", "a", "b"], ["b", "c"], 1 / 3),
        (["a", "b"], ("b", "c"), 1 / 3),
        (["é", "x"], ["é"], 0.5),
    ],
)
def test_jaccard(delta, a, b, expected):
    assert delta.jaccard_similarity_py(a, b) == expected


@given(st.lists(st.text(max_size=3), max_size=20), st.lists(st.text(max_size=3), max_size=20))
def test_jaccard_matches_python_sets(a, b):
    import _tessary

    u, v = set(a), set(b)
    expected = 1.0 if not u and not v else float(Fraction(len(u & v), len(u | v)))
    assert _tessary.delta.jaccard_similarity_py(a, b) == expected


@given(st.floats(allow_nan=False), st.floats(-1e6, 1e6), st.floats(-1e6, 1e6), st.floats(-2, 2))
def test_decision_agrees_with_the_rule(j, c_id, c_comp, alpha):
    import _tessary

    result = _tessary.delta.decide_reuse_py(j, {"c_id": c_id, "c_comp": c_comp, "alpha": alpha})
    jc = min(max(j, 0.0), 1.0)
    d = c_comp * alpha
    threshold = math.inf if d == 0 else c_id / d
    assert result["decision"] == ("reuse" if jc > threshold else "recompute")
