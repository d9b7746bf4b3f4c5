import math

import pytest

import _tessary


@pytest.fixture
def delta():
    return _tessary.delta


def same_float(a, b):
    return a == b or (math.isnan(a) and math.isnan(b))
