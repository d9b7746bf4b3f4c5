"""A PostgreSQL server of the test run's own, started on first use.

The server is examples/local_postgres.py's: Unix socket only, in a temporary directory owned by the `postgres` user (the
server refuses to run as root). Commits are acknowledged only once in the WAL: a restart test relies on it. Each test
asking for `pg_dsn` gets a fresh database; `pg_server` is the server itself, to stop and start. Tests are skipped when
the server binaries or psycopg are missing.

The command line's tests share a store of three receipts, one receipt file and a key pair, each made through the command
line itself."""
import os
import pathlib
import signal
import sys
from typing import Callable, Iterator

import pytest

import tessary
import concurrency
from cli_helpers import PAYLOAD, run
from tessary import cli

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
from local_postgres import LocalPostgres, ServerError  # noqa: E402

# A run started in the background (nohup, "&" in a script) inherits Ctrl-C as
# ignored, and an ignored signal stays ignored in every child it starts: the
# tests that interrupt a call or a command need its usual meaning back.
signal.signal(signal.SIGINT, signal.default_int_handler)


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


@pytest.fixture
def store(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> pathlib.Path:
    path = tmp_path / "store"
    for workload, trace in (("train", "t1"), ("train", "t2"), ("eval", "t1")):
        assert cli.main(["record", workload, "--payload", PAYLOAD, "--trace", trace, "--store", str(path)]) == 0
    capsys.readouterr()
    return path


@pytest.fixture
def receipt_file(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> pathlib.Path:
    assert cli.main(["record", "train", "--payload", PAYLOAD, "--tag", "a", "--tag", "b"]) == 0
    path = tmp_path / "r.json"
    path.write_text(capsys.readouterr().out)
    return path


@pytest.fixture
def keys(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str]) -> pathlib.Path:
    path = tmp_path / "key"
    code, out, err = run(capsys, "keygen", "--out", path)
    assert code == 0 and out.strip() == tessary.SigningKey.load(path).kid
    assert "PRIVATE" not in out + err and path.read_bytes().decode().split("\n")[1] not in out + err
    # Its mode is SigningKey.save's, held in test_signing; overwriting is refused in the table of mistakes.
    return path


@pytest.fixture
def sigint_on_release() -> Iterator[Callable[[], None]]:
    """`arm()`: SIGINT, raising concurrency.Stop, the next time this thread lets go of the interpreter lock."""
    yield from concurrency.sigint_on_release()
