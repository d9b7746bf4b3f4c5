"""Stand-ins for tessary.locations, tessary.filters and errors.one_line until those land."""

from __future__ import annotations

import os
from typing import NamedTuple, Tuple

from ..pgstore import _redacted
from ..stores import _DATABASE_PREFIXES, _FILE_PREFIX, Store, _pac_filter, open_store


def one_line(text: object) -> str:
    return " ".join(str(text).split())


def redact(address: str) -> str:
    return _redacted(address)


class Location(NamedTuple):
    kind: str
    target: str

    @property
    def redacted(self) -> str:
        return redact(self.target) if self.kind == "database" else self.target

    def open(self, create: bool = True) -> Store:
        return open_store(self.target)


def parse_location(text: str) -> Location:
    if text.startswith(_DATABASE_PREFIXES):
        return Location("database", text)
    if text.startswith(_FILE_PREFIX):
        text = text[len(_FILE_PREFIX) :]
    return Location("directory", text)


def same_store(a: Location, b: Location) -> bool:
    if a.kind != b.kind:
        return False
    if a.kind == "directory":
        return os.path.realpath(a.target) == os.path.realpath(b.target)
    return _database_identity(a.target) == _database_identity(b.target)


def _database_identity(dsn: str) -> Tuple[str, ...]:
    try:
        from psycopg import Error
        from psycopg.conninfo import conninfo_to_dict
    except ImportError:
        return (dsn,)
    try:
        params = conninfo_to_dict(dsn)
    except Error:
        return (dsn,)
    return tuple(str(params.get(k) or "") for k in ("host", "hostaddr", "port")) + (
        str(params.get("dbname") or params.get("user") or ""),
    )


def decode_pac(text: str) -> bytes:
    raw = _pac_filter(text)
    assert raw is not None
    return raw
