"""Filters: checked when made, normalised, immutable, and read alike by every store."""
import base64
import pickle
from datetime import datetime, timedelta, timezone
from typing import Any, Dict

import pytest

from tessary import Filters

PAC = bytes(range(32))
PAC_TEXT = base64.urlsafe_b64encode(PAC).rstrip(b"=").decode()


@pytest.mark.parametrize("fields, error, needle", [
    ({"workload": 3}, TypeError, "workload must be a str"),
    ({"pac": b"short"}, ValueError, "32 bytes, got 5"), ({"pac": "!!"}, ValueError, "base64url"),
    ({"pac": "!" + PAC_TEXT}, ValueError, "base64url"),  # not quietly the pac without the "!"
    ({"pac": base64.b64encode(b"\xfb\xff" * 16).decode()}, ValueError, "base64url"),  # "+/", not "-_"
    ({"pac": 7}, TypeError, "pac must be bytes or str"),
    ({"start": "yesterday"}, TypeError, "start must be a datetime"), ({"end": float("nan")}, ValueError, "finite"),
    ({"start": 2**63}, ValueError, "out of range"), ({"limit": -1}, ValueError, "negative"),
    ({"limit": True}, TypeError, "limit must be an int"),
])
def test_bad_fields_are_refused_where_they_are_written(fields: Dict[str, Any], error: type, needle: str) -> None:
    with pytest.raises(error, match=needle):
        Filters(**fields)
    with pytest.raises(error, match=needle):  # the same through a store's keywords
        Filters.of(None, fields)


EPOCH = datetime(2025, 1, 17, 12, 0, 0, tzinfo=timezone.utc)
SECONDS = int(EPOCH.timestamp())


@pytest.mark.parametrize("fields, normal", [
    ({"pac": PAC_TEXT}, {"pac": PAC}),
    ({"pac": PAC_TEXT + "="}, {"pac": PAC}),  # padding optional
    ({"pac": bytearray(PAC)}, {"pac": PAC}), ({"start": EPOCH}, {"start": SECONDS}),
    ({"start": EPOCH.replace(tzinfo=None)}, {"start": SECONDS}),  # naive means UTC
    ({"end": EPOCH.astimezone(timezone(timedelta(hours=2)))}, {"end": SECONDS}),
    ({"start": 1.5, "end": 1.5}, {"start": 2, "end": 1}),  # only whole seconds inside both bounds
    ({"start": -0.5, "end": -0.5}, {"start": 0, "end": -1}), ({"limit": 2**70}, {"limit": 2**63 - 1}),
    ({"policy": "", "limit": 0}, {"policy": "", "limit": 0}),  # empty and zero are filters, not absence
    ({"workload": None}, {}),
])
def test_fields_are_kept_in_one_normal_form(fields: Dict[str, Any], normal: Dict[str, Any]) -> None:
    made = Filters(**fields)
    assert made.as_dict() == normal and made == Filters(**normal) and bool(made) == bool(normal)


def test_keywords_go_over_a_filters_value_and_an_unknown_one_is_a_type_error() -> None:
    base = Filters(workload="w", trace="t", limit=5)
    assert Filters.of(base, {"limit": None, "pac": PAC_TEXT}) == Filters(workload="w", trace="t", pac=PAC)
    assert Filters.of(base, {}) is base and Filters.of() == Filters()
    assert base.replace(trace=None).without_limit() == Filters(workload="w")
    with pytest.raises(TypeError, match="unknown filter 'worklaod'"):
        Filters.of(base, {"worklaod": "w"})
    with pytest.raises(TypeError, match="must be a tessary.Filters"):
        Filters.of({"workload": "w"})  # type: ignore[arg-type]


def test_equal_filters_hash_alike_survive_pickling_and_cannot_change() -> None:
    a = Filters(workload="w", start=EPOCH, pac=PAC)
    b = Filters(pac=PAC_TEXT, start=SECONDS, workload="w")
    assert a == b == pickle.loads(pickle.dumps(a)) and hash(a) == hash(b) and len({a, b, a.replace(limit=1)}) == 2
    assert a != Filters(workload="w") and a != a.as_dict()
    for change in (lambda: setattr(a, "workload", "x"), lambda: delattr(a, "workload")):
        with pytest.raises(AttributeError, match="immutable"):
            change()
    assert a.as_tuple() == ("w", None, None, None, PAC, SECONDS, None, None)
