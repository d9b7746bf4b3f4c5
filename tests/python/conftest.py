"""A PostgreSQL server of the test run's own, started on first use.

The server is examples/local_postgres.py's: Unix socket only, in a temporary
directory owned by the `postgres` user (the server refuses to run as root).
Commits are acknowledged only once in the WAL: a restart test relies on it.
Each test asking for `pg_dsn` gets a fresh database; `pg_server` is the
server itself, to stop and start. Tests are skipped when the server binaries
or psycopg are missing.
"""
import os
import pathlib
import sys
from typing import Iterator

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from local_postgres import LocalPostgres, ServerError  # noqa: E402


@pytest.fixture(scope="session")
def pg_server() -> Iterator[LocalPostgres]:
    if os.environ.get("TESSARY_SKIP_POSTGRES"):
        # The sanitized run: psycopg's bundled libpq is not built for the preloaded runtimes.
        pytest.skip("PostgreSQL tests are not run against the sanitized build")
    pytest.importorskip("psycopg", reason="psycopg is not installed (pip install 'tessary[postgres]')")
    server = LocalPostgres()
    try:
        server.open()
    except ServerError as e:
        pytest.skip(f"could not start PostgreSQL: {e}")
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def pg_dsn(pg_server: LocalPostgres) -> str:
    return pg_server.new_database()
