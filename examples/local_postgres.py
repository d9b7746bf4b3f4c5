"""A throwaway PostgreSQL server of one's own, for the tour, the benchmarks and the tests.

    with local_postgres() as dsn:
        store = tessary.PostgresStore(dsn)

The server lives in a fresh temporary directory and is removed with it, data
and all, when the block ends. It listens on a Unix socket in that directory
and on no network address (``listen_addresses=''``), trusts the connections it
gets there, and runs with ``fsync=off``: fast, and no safer than the
temporary directory it lives in. The server refuses to run as root, so when
started by root it runs as the ``postgres`` user, through ``runuser``.
Binaries are taken from ``$TESSARY_PG_BIN``, by default PostgreSQL 15's.

From the command line it runs one command against a server of its own and
stops the server after; ``{dsn}`` in the command's words is replaced by the
server's address, which is also in ``$TESSARY_DSN``:

    python examples/local_postgres.py -- python examples/tour.py {dsn}
"""

from __future__ import annotations

import contextlib
import itertools
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
from types import TracebackType
from typing import Iterator, List, Optional, Type

__all__ = ["LocalPostgres", "ServerError", "local_postgres"]

DEFAULT_BIN = "/usr/lib/postgresql/15/bin"


class ServerError(RuntimeError):
    """The server could not be made, started or stopped; the message is one line."""


class LocalPostgres:
    """A server in a temporary directory: :meth:`open` makes and starts it, :meth:`close` removes it.

    :meth:`stop` and :meth:`start` stop and start it again in between, keeping its data.
    """

    def __init__(self, bin_dir: Optional[str] = None, port: int = 54329) -> None:
        self.bin = pathlib.Path(bin_dir or os.environ.get("TESSARY_PG_BIN") or DEFAULT_BIN)
        self.port = port  # names the socket file only: it lives in a directory of its own
        self.root: Optional[pathlib.Path] = None
        self._names = itertools.count()

    def _root(self) -> pathlib.Path:
        if self.root is None:
            raise ServerError("the server is not open")
        return self.root

    def _run(self, program: str, *args: str) -> None:
        command: List[str] = [str(self.bin / program), *args]
        if os.geteuid() == 0:
            command = ["runuser", "-u", "postgres", "--", *command]
        try:
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=120)
        except subprocess.CalledProcessError as e:
            lines = e.stderr.decode(errors="replace").strip().splitlines()
            raise ServerError(f"{program} failed: {lines[-1] if lines else f'exit status {e.returncode}'}") from None
        except subprocess.TimeoutExpired:
            raise ServerError(f"{program} did not finish within 120 seconds") from None

    def open(self) -> "LocalPostgres":
        """Make the data directory and start the server."""
        if not (self.bin / "initdb").exists():
            raise ServerError(f"PostgreSQL server binaries not found in {self.bin}")
        if os.geteuid() == 0 and shutil.which("runuser") is None:
            raise ServerError("running as root without runuser to start PostgreSQL as its own user")
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="tessary-pg-"))
        try:
            if os.geteuid() == 0:
                shutil.chown(self.root, "postgres", "postgres")
            self._run("initdb", "-D", str(self.root / "data"), "--auth=trust", "-U", "postgres", "-E", "UTF8",
                      "--locale=C")
            self.start()
        except BaseException:
            shutil.rmtree(self.root, ignore_errors=True)
            self.root = None
            raise
        return self

    def start(self) -> None:
        root = self._root()
        options = (f"-c listen_addresses='' -c unix_socket_directories={root} -c port={self.port} "
                   "-c fsync=off -c full_page_writes=off -c max_connections=200")
        self._run("pg_ctl", "-D", str(root / "data"), "-w", "-l", str(root / "log"), "-o", options, "start")

    def stop(self, mode: str = "fast") -> None:
        """Stop the server: ``fast`` ends sessions cleanly, ``immediate`` as a crash would."""
        self._run("pg_ctl", "-D", str(self._root() / "data"), "-w", "-m", mode, "stop")

    def close(self) -> None:
        """Stop the server if it runs and remove its directory."""
        if self.root is None:
            return
        try:
            self.stop("immediate")
        except ServerError:
            pass  # already stopped
        shutil.rmtree(self.root, ignore_errors=True)
        self.root = None

    def dsn(self, database: str = "postgres") -> str:
        return f"postgresql://postgres@/{database}?host={self._root()}&port={self.port}"

    def new_database(self) -> str:
        """The address of a new, empty database on this server (needs psycopg)."""
        import psycopg

        name = f"t{os.getpid()}_{next(self._names)}"
        with psycopg.connect(self.dsn(), autocommit=True) as conn:
            conn.execute(f"CREATE DATABASE {name} TEMPLATE template0")
        return self.dsn(name)

    def __enter__(self) -> "LocalPostgres":
        return self.open()

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        self.close()


@contextlib.contextmanager
def local_postgres() -> Iterator[str]:
    """A server of its own for the block; yields the address of its ``postgres`` database."""
    with LocalPostgres() as server:
        yield server.dsn()


def main(argv: Optional[List[str]] = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    if args[:1] == ["--"]:
        args = args[1:]
    if not args or args[0].startswith("-"):
        print("usage: local_postgres.py -- COMMAND [ARG...]   ({dsn} in an ARG is the server's address)",
              file=sys.stderr)
        return 2
    try:
        with local_postgres() as dsn:
            command = [arg.replace("{dsn}", dsn) for arg in args]
            try:
                return subprocess.run(command, env=dict(os.environ, TESSARY_DSN=dsn)).returncode
            except OSError as e:
                print(f"local_postgres.py: error: cannot run {args[0]}: {e.strerror}", file=sys.stderr)
                return 2
    except ServerError as e:
        print(f"local_postgres.py: error: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
