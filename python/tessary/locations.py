"""Store locations: what a path or address names, and how to show it safely.

A location is a directory path (optionally as a ``file://`` text) or a
PostgreSQL address (``postgresql://...`` or ``postgres://...``). This module
only reads and displays locations; :func:`tessary.open_store` opens them.

Addresses may carry passwords. :func:`redact` hides every secret that libpq
would read from an address, finding them with psycopg's own parser of
connection strings, so what a store or the command line prints never holds
a password, whatever the address looks like.
"""

from __future__ import annotations

import os
import re
from typing import Dict, List, NamedTuple, Optional, Set, Tuple, Union

__all__ = [
    "Location", "parse_location", "redact", "redact_within", "same_store", "DATABASE_PREFIXES", "FILE_PREFIX",
]

#: The beginnings of a location text that name a database store.
DATABASE_PREFIXES = ("postgresql://", "postgres://")
#: The beginning of a location text that names a directory store explicitly.
FILE_PREFIX = "file://"

#: Connection parameters whose values are secrets.
_SECRETS = ("password", "sslpassword")
_MASK = "***"
# A URI's query parameter that is a secret, wherever it stands in the text.
_SECRET_PARAMETER = re.compile(r"([?&](?:ssl)?password=)[^&#]*", re.IGNORECASE)
# key = value text: a key, then a quoted value (to its closing quote or the end) or a bare one.
_KEYWORD_VALUE = r"(\w+)(\s*=\s*)('(?:[^'\\]|\\.)*(?:'|\Z)|(?:[^\s\\]|\\.)*)"


def _keyword_value() -> "re.Pattern[str]":
    # Compiled when first needed (re keeps it): its Unicode classes take milliseconds to compile,
    # which every command would pay at start-up, and only database addresses need it.
    return re.compile(_KEYWORD_VALUE, re.DOTALL)


class Location(NamedTuple):
    """A parsed store location: ``kind`` is ``"directory"`` or ``"database"``.

    ``target`` is the directory's path (without ``file://``) or the database
    address exactly as given.
    """

    kind: str
    target: str

    @property
    def is_database(self) -> bool:
        """True for a PostgreSQL address."""
        return self.kind == "database"

    @property
    def redacted(self) -> str:
        """The location as it may be shown: a path as given, an address with its secrets hidden."""
        return redact(self.target) if self.is_database else self.target

    def __str__(self) -> str:
        return self.redacted

    def __repr__(self) -> str:
        return f"Location(kind={self.kind!r}, target={self.redacted!r})"


def parse_location(location: Union[str, "os.PathLike[str]", "os.PathLike[bytes]", bytes]) -> Location:
    """The :class:`Location` a path or location text names.

    ``postgresql://`` and ``postgres://`` texts name a database; anything
    else is a directory path, with a leading ``file://`` removed.
    """
    if isinstance(location, (str, bytes, os.PathLike)):
        text = os.fspath(location)
    else:
        raise TypeError(f"a store location is a path or a text, not {type(location).__name__}")
    if isinstance(text, bytes):
        text = os.fsdecode(text)
    if text.startswith(DATABASE_PREFIXES):
        return Location("database", text)
    if text.startswith(FILE_PREFIX):
        text = text[len(FILE_PREFIX) :]
    return Location("directory", text)


def _parse_conninfo(address: str) -> Optional[Dict[str, str]]:
    """libpq's reading of an address (through psycopg), or None where it has none."""
    try:
        from psycopg import Error
        from psycopg.conninfo import conninfo_to_dict
    except ImportError:
        return None
    try:
        return {k: str(v) for k, v in conninfo_to_dict(address).items() if v is not None}
    except (Error, ValueError, TypeError):
        return None


def _mask_uri(address: str) -> str:
    scheme, _, rest = address.partition("://")
    # Everything up to the last "@" may be user information: whatever libpq
    # takes as the password, a password holding "@", "/" or "?" is in there.
    head, at, place = rest.rpartition("@")
    if at and ":" in head:
        head = head.split(":", 1)[0] + ":" + _MASK
    masked = f"{scheme}://{head}{at}{place}"
    return _SECRET_PARAMETER.sub(lambda m: m.group(1) + _MASK, masked)


def _mask_keywords(address: str) -> str:
    def mask(m: "re.Match[str]") -> str:
        return m.group(1) + m.group(2) + _MASK if m.group(1).lower() in _SECRETS else m.group(0)

    return _keyword_value().sub(mask, address)


def _leaks(masked: str) -> bool:
    """Whether libpq still reads a secret from the masked text."""
    params = _parse_conninfo(masked)
    return params is not None and any(params.get(k, _MASK) not in (_MASK, "") for k in _SECRETS)


def redact(address: str) -> str:
    """``address`` with every password in it replaced by ``***``, for display.

    Covers ``user:PASSWORD@`` and ``password``/``sslpassword`` parameters in
    a URI, and ``password=`` in ``key=value`` text, quoted or not. Should a
    masked text still hold a secret as libpq reads it, only the scheme is shown.
    """
    if not isinstance(address, str):
        raise TypeError(f"address must be a str, not {type(address).__name__}")
    is_uri = address.startswith(DATABASE_PREFIXES)
    masked = _mask_uri(address) if is_uri else _mask_keywords(address)
    if _leaks(masked):
        return address.partition("://")[0] + "://" + _MASK if is_uri else _MASK
    return masked


def _written_secrets(address: str) -> Set[str]:
    """Every text of ``address`` that may be a secret as written, however libpq would split it.

    Used when libpq cannot read the address (its messages then quote pieces
    of it) and beside libpq's own reading when it can.
    """
    found: Set[str] = set()
    if address.startswith(DATABASE_PREFIXES):
        head = address.partition("://")[2].rpartition("@")[0]
        if ":" in head:
            password = head.split(":", 1)[1]
            found.add(password)
            # libpq ends the user information at the first "@" or "/".
            for separator in "@/?#":
                found.add(password.split(separator, 1)[0])
            found.update(password[:i] for i, c in enumerate(password) if c == "@")
        found.update(m.group(0).split("=", 1)[1] for m in _SECRET_PARAMETER.finditer(address))
    else:
        for m in _keyword_value().finditer(address):
            if m.group(1).lower() in _SECRETS:
                value = m.group(3)
                found.update((value, value.strip("'")))
    return found


def redact_within(text: str, address: str) -> str:
    """``text`` (a driver's message about ``address``) with the address and every secret in it hidden.

    libpq quotes the whole address, or the piece it choked on, in its
    messages: the address is replaced by its redacted form, then every
    password libpq reads from it, as given or percent-encoded, and every
    text that could be one as written, by ``***``.
    """
    from urllib.parse import quote, unquote  # only a failure's message needs it

    text = text.replace(address, redact(address))
    secrets = _written_secrets(address)
    params = _parse_conninfo(address) or {}
    for name in _SECRETS:
        value = params.get(name)
        if value:
            secrets.update((value, quote(value, safe=""), quote(value)))
    secrets.update({unquote(s) for s in secrets})
    for secret in sorted((s for s in secrets if s and s != _MASK), key=len, reverse=True):
        text = text.replace(secret, _MASK)
    return text


def _database_identity(address: str) -> Tuple[str, ...]:
    """The server and database an address names; the address itself when it does not parse."""
    params = _parse_conninfo(address)
    if params is None:
        return (address,)
    server: List[str] = [params.get(k, "") for k in ("host", "hostaddr", "port")]
    return tuple(server) + (params.get("dbname") or params.get("user") or "",)


def same_store(a: Location, b: Location) -> bool:
    """Whether two locations name one store: one directory, or one server's database."""
    if a.kind != b.kind:
        return False
    if not a.is_database:
        return os.path.realpath(a.target) == os.path.realpath(b.target)
    return _database_identity(a.target) == _database_identity(b.target)
