"""Store locations: what a text names, and that no password shows when one is displayed."""
import os
import pathlib

import pytest

from tessary.locations import Location, parse_location, redact, same_store


@pytest.mark.parametrize("given, kind, target", [
    ("store", "directory", "store"), (pathlib.Path("a/b"), "directory", "a/b"), (b"a/b", "directory", "a/b"),
    ("file:///srv/r", "directory", "/srv/r"), ("file://rel", "directory", "rel"),
    ("postgresql://db/r", "database", "postgresql://db/r"),
    ("postgres://u:pw@db/r", "database", "postgres://u:pw@db/r"),
    ("POSTGRESQL://db/r", "directory", "POSTGRESQL://db/r"),  # libpq's schemes are lower case
])
def test_a_location_names_a_directory_or_a_database(given: object, kind: str, target: str) -> None:
    assert parse_location(given) == Location(kind, target)  # type: ignore[arg-type]


SECRET = "S3cretPw"


@pytest.mark.parametrize("address, shown", [
    ("postgresql://app:S3cretPw@db:5432/r", "postgresql://app:***@db:5432/r"),
    ("postgresql://app:S3cretPw@h1,h2:5433/r?sslpassword=S3cretPw",
     "postgresql://app:***@h1,h2:5433/r?sslpassword=***"),
    ("postgresql://app:S3cretPw?a@b/c#d@db/r", "postgresql://app:***@db/r"),  # ? @ / # inside the password
    ("postgresql://app:S3cretPw%3F%40%2F%23@db/r", "postgresql://app:***@db/r"),  # the same, escaped
    ("postgresql://app:S3cretPw@[::1/db", "postgresql://app:***@[::1/db"),  # libpq cannot parse it
    ("host=db password=S3cretPw dbname=r", "host=db password=*** dbname=r"),
    ("host=db password = 'S3cret Pw\\'s' user=u", "host=db password = *** user=u"),
    ("host=db sslpassword=S3cretPw password='S3cretPw", "host=db sslpassword=*** password=***"),
    ("host=db dbname=r", "host=db dbname=r"),
    ("postgresql://u:p@ss@db:5432/r?sslmode=require", "postgresql://u:***@db:5432/r?sslmode=require"),
    ("postgres://u@db/r?password=s&x=1", "postgres://u@db/r?password=***&x=1"),
    ("postgresql:///r?host=/run&PASSWORD=s%26t", "postgresql:///r?host=/run&PASSWORD=***"),
])
def test_redaction_hides_every_password_libpq_would_read(address: str, shown: str) -> None:
    assert redact(address) == shown
    if address.startswith("postgresql://"):  # a location shows itself redacted
        assert SECRET not in str(parse_location(address)) + repr(parse_location(address))


@pytest.mark.parametrize("a, b, same", [
    ("{tmp}/s", "file://{tmp}/./s/", True), ("{tmp}/s", "{tmp}/t", False),
    ("postgresql://u:x@db:5432/r", "postgresql://u:y@db:5432/r?connect_timeout=5", True),
    ("postgresql://db/r", "postgresql://db/q", False), ("postgresql://db/r", "{tmp}/s", False),
])
def test_same_store_compares_what_is_named_not_how(tmp_path: pathlib.Path, a: str, b: str, same: bool) -> None:
    if a.startswith("postgresql://"):
        pytest.importorskip("psycopg")  # libpq's reading of an address is psycopg's
    (tmp_path / "s").mkdir()
    os.symlink(tmp_path / "s", tmp_path / "link")
    one, two = (parse_location(x.format(tmp=tmp_path)) for x in (a, b))
    assert same_store(one, two) is same
    assert same_store(parse_location(tmp_path / "link"), parse_location(tmp_path / "s"))
