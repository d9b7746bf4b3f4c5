"""Type names shared by the package's modules."""

from typing import Any

__all__ = ["JSONValue"]

#: A value of free-form JSON as Python holds it (dict, list, str, int, float,
#: bool or None, nested at will); no static type says more than Any here.
JSONValue = Any
