"""A PostgreSQL server of the test run's own, started on first use.

Unix socket only (commits are acknowledged only once in the WAL: a restart test relies on it), in a temporary directory owned by the `postgres` user (the
server refuses to run as root). Each test asking for `pg_dsn` gets a fresh
database. Tests are skipped when the server binaries or psycopg are missing.
"""
import itertools
import os
import pathlib
import shutil
import subprocess
import tempfile
from typing import Iterator, List

import pytest

PG_BIN = pathlib.Path(os.environ.get("TESSARY_PG_BIN", "/usr/lib/postgresql/15/bin"))


class PgServer:
    def __init__(self, root: pathlib.Path) -> None:
        self.root = root
        self.data = root / "data"
        self.socket_dir = root
        self.port = 54329
        self._names = itertools.count()

    def _run(self, *args: str) -> None:
        command: List[str] = list(args)
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--", *command]
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)

    def init(self) -> None:
        self._run(str(PG_BIN / "initdb"), "-D", str(self.data), "--auth=trust", "-U", "postgres", "-E", "UTF8",
                  "--locale=C")

    def start(self) -> None:
        options = (f"-c listen_addresses='' -c unix_socket_directories={self.socket_dir} -c port={self.port} "
                   "-c fsync=off -c full_page_writes=off -c max_connections=200")
        self._run(str(PG_BIN / "pg_ctl"), "-D", str(self.data), "-w", "-l", str(self.root / "log"), "-o", options,
                  "start")

    def stop(self, mode: str = "fast") -> None:
        self._run(str(PG_BIN / "pg_ctl"), "-D", str(self.data), "-w", "-m", mode, "stop")

    def dsn(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@/{database}?host={self.socket_dir}&port={self.port}"

    def new_database(self) -> str:
        import psycopg

        name = f"t{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.dsn(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name} TEMPLATE template0")
        return self.dsn(name)


@pytest.fixture(scope="session")
def pg_server() -> Iterator[PgServer]:
    if not (PG_BIN / "initdb").exists():
        pytest.skip(f"PostgreSQL server binaries not found in {PG_BIN}")
    if os.environ.get("TESSARY_SKIP_POSTGRES"):
        # The sanitized run: psycopg's bundled libpq is not built for the preloaded runtimes.
        pytest.skip("PostgreSQL tests are not run against the sanitized build")
    pytest.importorskip("psycopg", reason="psycopg is not installed (pip install 'tessary[postgres]')")
    if os.geteuid() == 0 and shutil.which("runuser") is None:
        pytest.skip("running as root without runuser to start PostgreSQL as its own user")
    root = pathlib.Path(tempfile.mkdtemp(prefix="tessary-pg-"))
    if os.geteuid() == 0:
        shutil.chown(root, "postgres", "postgres")
    server = PgServer(root)
    try:
        server.init()
        server.start()
    except subprocess.CalledProcessError as e:
        shutil.rmtree(root, ignore_errors=True)
        pytest.skip(f"could not start PostgreSQL: {e.stderr.decode(errors='replace').strip()}")
    try:
        yield server
    finally:
        try:
            server.stop("immediate")
        except subprocess.CalledProcessError:
            pass
        shutil.rmtree(root, ignore_errors=True)


@pytest.fixture
def pg_dsn(pg_server: PgServer) -> str:
    return pg_server.new_database()
