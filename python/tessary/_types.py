"""Type names shared by the package's modules."""

import enum
from typing import Any

__all__ = ["JSONValue", "WordEnum"]

#: A value of free-form JSON as Python holds it (dict, list, str, int, float,
#: bool or None, nested at will); no static type says more than Any here.
JSONValue = Any


class WordEnum(str, enum.Enum):
    """An enum of words: each member is its value, a str, and prints as that word."""

    def __str__(self) -> str:
        word: str = self.value
        return word
