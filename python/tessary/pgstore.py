"""Receipts kept in a PostgreSQL database, for many processes and machines.

One table, ``receipts``: the receipt's JSON text exactly as a directory store
writes it, plus one indexed column per filter and the indexed keys of the
lookups of step receipts (the digests a step vouches for, its method shape
root and input commitment). The columns are filled by the
package's native helper with the very code the directory store filters with,
so both stores give the same answers to the same query.

Every query returns its receipts in time order: by the timestamp's whole UTC
seconds, then by identifier, receipts whose timestamp does not parse last
(``DirectoryStore.iter(order="time")`` gives the same order).

The schema is created on first use and carries its version in
``tessary_schema_version``; newer versions are reached by forward migrations,
applied in one transaction under an advisory lock so that processes opening
the same database at once do not race.

The filter columns hold the UTF-8 bytes of their values: a text column
cannot hold U+0000, which a receipt's workload or trace may, and a filter
value may hold lone surrogates (text from a command line that is not UTF-8),
which match nothing, as in the directory store. Bytes keep every code point
apart, so both stores match by exact text. The body is the receipt's JSON,
whose writer escapes every control character, so it stays text.

A connection that drops during an operation is replaced and the operation
run once more (storing is idempotent: the same identifier replaces its row);
a second failure is a :class:`StoreError` ``"Database error: ..."``. A server
that cannot be reached fails within the connect timeout, and every message
of the driver is shown with the address's secrets hidden. The driver's and
the pool's log records are not printed unless the application configures
logging.
"""

from __future__ import annotations

import contextlib
import math
import os
import uuid
from types import TracebackType
from typing import (
    TYPE_CHECKING, Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple, Type, TypeVar,
)

from ._core import native
from ._lookups import check_method_args, digest_key, newest_first
from ._process_local import process_lock, set_aside, shared
from ._pg_schema import COLUMNS, COPY_TYPES, SCHEMA_VERSION, TEXT_FILTERS, lookup_row, migrate, table_row, text_bytes
from ._sketch_index import CANDIDATES, index_receipts
from ._store_calls import RidLike, check_batch_size, check_order, receipt_key, receipt_texts
from .errors import StoreError, one_line
from .filters import Filters
from .locations import redact, redact_within
from .receipts import Receipt
from .sketches import DEFAULT_BANDS, DEFAULT_ROWS, MinHash, band_keys

if TYPE_CHECKING:
    from typing_extensions import Unpack

    from .filters import Criteria

__all__ = ["PostgresStore"]

_T = TypeVar("_T")

# A busy pool hands out a connection within this many seconds; waiting
# longer, the server is asked directly whether it is still there.
_FIRST_WAIT = 1.0


_ORDER = " ORDER BY ts ASC NULLS LAST, rid ASC"
_UPSERT = (
    "INSERT INTO receipts ({cols}) {source} ON CONFLICT (rid) DO UPDATE SET "
    + ", ".join(f"{c} = EXCLUDED.{c}" for c in COLUMNS if c != "rid")
)
_INSERT_ONE = _UPSERT.format(
    cols=", ".join(COLUMNS), source="VALUES (%s::uuid, " + ", ".join(["%s"] * (len(COLUMNS) - 1)) + ")")
# A bulk load copies its rows straight into the table when none of their
# identifiers is there yet. COPY cannot resolve conflicts, so otherwise the
# rows are copied into a session's temporary table, made like the table, and
# moved over with one INSERT. The temporary table is named after the schema
# version: a session's table of an earlier version keeps its columns.
# Receipts read per call of the native helper while a bulk load streams.
_CHUNK = 2000
_CHECK_NEW = "SELECT 1 FROM receipts WHERE rid = ANY(%s::uuid[]) LIMIT 1"
_STAGED = f"tessary_staged_{SCHEMA_VERSION}"
_STAGING = f"CREATE TEMPORARY TABLE IF NOT EXISTS {_STAGED} (LIKE receipts) ON COMMIT DELETE ROWS"
_MOVE = _UPSERT.format(cols=", ".join(COLUMNS), source=f"SELECT {', '.join(COLUMNS)} FROM {_STAGED}")


def _import_psycopg() -> Tuple[Any, Any]:
    try:
        import logging

        import psycopg
        import psycopg_pool
    except ImportError:
        raise StoreError(
            "PostgreSQL stores need the optional dependencies: pip install 'tessary[postgres]'"
        ) from None
    # A library leaves its log records to the application: without a handler of
    # its own, the pool's retries against a stopped server would reach standard
    # error through logging's last resort.
    driver_log = logging.getLogger("psycopg")
    if not driver_log.handlers:
        driver_log.addHandler(logging.NullHandler())
    return psycopg, psycopg_pool


def _rows(receipts: Iterable[Receipt]) -> List[Tuple[Any, ...]]:
    """The table's rows of the receipts: the columns of :func:`native.receipt_rows`, then the lookup columns."""
    given = list(receipts)
    rows = native.receipt_rows(receipt_texts(given))
    return [(*table_row(*row), *lookup_row(receipt)) for row, receipt in zip(rows, given)]


def _copy_rows(conn: Any, table: str, rows: Iterable[Sequence[Any]]) -> None:
    """The table's rows (see :func:`_rows`) copied into ``table``, which has the receipts' columns.

    In COPY's binary form: the server reads each value as it is stored,
    rather than parsing its text, which measures a quarter faster.
    """
    with conn.cursor() as cur, cur.copy(f"COPY {table} ({', '.join(COLUMNS)}) FROM STDIN (FORMAT BINARY)") as feed:
        feed.set_types([COPY_TYPES[c] for c in COLUMNS])
        for row in rows:
            feed.write_row(row)


def _where(wanted: Filters) -> Tuple[str, List[Any]]:
    """The WHERE clause of the filters (the limit aside), values as parameters."""
    clauses: List[str] = []
    params: List[Any] = []
    for column in (*TEXT_FILTERS, "pac"):
        value = getattr(wanted, column)
        if value is not None:
            clauses.append(f"{column} = %s")
            params.append(text_bytes(value) if isinstance(value, str) else value)
    if wanted.start is not None:
        clauses.append("ts >= %s")
        params.append(wanted.start)
    if wanted.end is not None:
        clauses.append("ts <= %s")
        params.append(wanted.end)
    return ((" WHERE " + " AND ".join(clauses)) if clauses else ""), params


def _select(wanted: Filters) -> Tuple[str, List[Any]]:
    """The query of the receipts' texts that pass the filters, in time order, limited."""
    where, params = _where(wanted)
    sql = "SELECT body FROM receipts" + where + _ORDER
    if wanted.limit is not None:
        sql += " LIMIT %s"
        params.append(wanted.limit)
    return sql, params


class PostgresStore:
    """Receipts in a PostgreSQL database given by a libpq ``dsn`` (``postgresql://...``).

    Holds a pool of ``min_size`` to ``max_size`` connections, shared by the
    threads that use the store. ``timeout`` bounds the wait for a connection
    while the pool is busy. ``connect_timeout`` bounds each new connection
    (whole seconds, at least 2, as libpq counts them), whatever the address
    says: a server that cannot be reached is a :class:`StoreError` within it.

    A store pickles as its address and options: unpickled in another process
    (a Dask worker, a pool's job) it is that process's own store of the same
    address, opened once and shared there. A child made by ``fork`` leaves the
    pool it inherited alone and opens its own on first use.
    """

    __slots__ = ("_dsn", "_psycopg", "_pool", "_timeout", "_connect_kwargs", "_pool_timeout", "_options", "_pid")

    def __init__(
        self, dsn: str, *, min_size: int = 1, max_size: int = 4, timeout: float = 10.0, connect_timeout: float = 5.0
    ) -> None:
        if not isinstance(dsn, str):
            raise TypeError(f"dsn must be a str, not {type(dsn).__name__}")
        self._dsn = dsn
        self._pool: Any = None
        self._pid = os.getpid()
        self._options = {"min_size": min_size, "max_size": max_size, "timeout": timeout,
                         "connect_timeout": connect_timeout}
        self._timeout = _seconds("timeout", timeout)
        self._connect_kwargs = {"connect_timeout": max(2, math.ceil(_seconds("connect_timeout", connect_timeout)))}
        psycopg, psycopg_pool = _import_psycopg()
        self._psycopg: Any = psycopg
        self._pool_timeout: Type[BaseException] = psycopg_pool.PoolTimeout
        try:
            # A first connection of our own: a wrong address or password fails
            # here at once, rather than as a pool's timeout later.
            with self._connect() as conn:
                migrate(conn)
            self._pool = self._new_pool()
        except psycopg.Error as e:
            raise self._error(e) from None

    def _new_pool(self) -> Any:
        _, psycopg_pool = _import_psycopg()
        pool_args: dict[str, Any] = {}
        if hasattr(psycopg_pool.ConnectionPool, "check_connection"):
            pool_args["check"] = psycopg_pool.ConnectionPool.check_connection
        return psycopg_pool.ConnectionPool(
            self._dsn, kwargs=self._connect_kwargs, min_size=self._options["min_size"],
            max_size=self._options["max_size"], timeout=self._timeout, open=True, **pool_args,
        )

    def __reduce__(self) -> Tuple[Callable[[str, Dict[str, float]], "PostgresStore"], Tuple[str, Dict[str, float]]]:
        return _opened_here, (self._dsn, dict(self._options))

    def _error(self, error: BaseException) -> StoreError:
        """The driver's error as the store reports it: one line, no secret of the address in it."""
        return StoreError(f"Database error: {one_line(redact_within(str(error), self._dsn))}")

    def _connect(self) -> Any:
        """A new connection outside the pool, within our connect timeout whatever the address says."""
        return self._psycopg.connect(self._dsn, **self._connect_kwargs)

    @contextlib.contextmanager
    def _connection(self) -> Iterator[Any]:
        """One of the pool's connections; a StoreError soon when the server cannot be reached.

        The pool alone would wait its whole timeout for a server that went
        away, retrying in the background: after a short wait the server is
        asked directly, and its refusal is the error.
        """
        pool = self._live_pool()
        try:
            conn = pool.getconn(timeout=min(_FIRST_WAIT, self._timeout))
        except self._pool_timeout:
            try:
                with self._connect():
                    pass  # the server is there: the pool is only busy
            except self._psycopg.Error as e:
                raise self._error(e) from None  # not worth another try: it just failed
            conn = pool.getconn(timeout=max(0.0, self._timeout - _FIRST_WAIT))
        try:
            with conn:
                yield conn
        finally:
            pool.putconn(conn)

    @property
    def dsn(self) -> str:
        """The connection text, as given."""
        return self._dsn

    def _live_pool(self) -> Any:
        if self._pid != os.getpid():
            self._own_pool(reopen=True)
        if self._pool is None:
            raise StoreError("the store is closed")
        return self._pool

    def _own_pool(self, reopen: bool) -> None:
        """In a forked child: set the parent's pool aside (its connections are the parent's), open one of ours."""
        with process_lock():
            if self._pid == os.getpid():
                return  # another thread of this child got here first
            fresh = None
            if reopen and self._pool is not None:
                try:
                    fresh = self._new_pool()
                except self._psycopg.Error as e:
                    raise self._error(e) from None  # still the parent's: tried again on the next call
            if self._pool is not None:
                set_aside(self._pool)
            self._pool, self._pid = fresh, os.getpid()

    def _run(self, work: Callable[[Any], _T]) -> _T:
        """``work(connection)`` in a transaction; once more on a fresh connection if the first one dropped."""
        psycopg = self._psycopg
        for attempt in (1, 2):
            try:
                with self._connection() as conn:
                    try:
                        with conn.transaction():
                            return work(conn)
                    except psycopg.OperationalError:
                        if attempt == 1 and conn.broken:
                            continue
                        raise
            except psycopg.Error as e:
                if attempt == 1 and _is_connection_loss(psycopg, e):
                    continue
                raise self._error(e) from None
        raise StoreError("Database error: the connection dropped twice")  # pragma: no cover

    def store(self, receipt: Receipt) -> None:
        """Keep one receipt, replacing any earlier one of the same identifier."""
        (row,) = _rows((receipt,))

        def insert(conn: Any) -> None:
            conn.execute(_INSERT_ONE, row)
            index_receipts(conn, (receipt,))

        self._run(insert)

    def store_many(self, receipts: Iterable[Receipt]) -> int:
        """Keep every receipt given in one transaction (all or none); returns how many."""
        batch = list(receipts)
        texts = receipt_texts(batch)
        if not texts:
            return 0
        # The last copy of an identifier given twice wins, as it would stored one by one.
        last = {receipt.rid: i for i, receipt in enumerate(batch)}
        keep = None if len(last) == len(texts) else set(last.values())
        kept = batch if keep is None else [batch[i] for i in sorted(keep)]
        duplicate = self._psycopg.errors.UniqueViolation

        def rows() -> Iterator[Sequence[Any]]:
            # Read a chunk at a time while the copy streams: the server stores
            # one chunk while the next is read. A text that is not a receipt
            # fails the copy, and the transaction with it.
            for start in range(0, len(texts), _CHUNK):
                chunk = native.receipt_rows(texts[start:start + _CHUNK])
                for i, row in enumerate(chunk, start):
                    if keep is None or i in keep:
                        yield (*table_row(*row), *lookup_row(batch[i]))

        def load(conn: Any) -> None:
            if conn.execute(_CHECK_NEW, (list(last),)).fetchone() is None:
                try:
                    with conn.transaction():
                        _copy_rows(conn, "receipts", rows())
                except duplicate:
                    pass  # another writer stored one of them meanwhile: merge instead
                else:
                    index_receipts(conn, kept)
                    return
            conn.execute(_STAGING)
            _copy_rows(conn, _STAGED, rows())
            conn.execute(_MOVE)
            index_receipts(conn, kept)

        self._run(load)
        return len(texts)

    def query(
        self, filters: Optional[Filters] = None, *, order: Optional[str] = None, **criteria: Unpack[Criteria]
    ) -> List[Receipt]:
        """The receipts that pass every filter given, in time order, at most ``limit``."""
        sql, params = _select(Filters.of(filters, criteria))
        check_order(order)

        def select(conn: Any) -> List[str]:
            return [row[0] for row in conn.execute(sql, params)]

        return [Receipt.from_json(t, strict=False) for t in self._run(select)]

    def iter(
        self, filters: Optional[Filters] = None, *, batch_size: int = 1000, order: Optional[str] = None,
        **criteria: Unpack[Criteria],
    ) -> Iterator[Receipt]:
        """The receipts of :meth:`query`, fetched ``batch_size`` at a time through a server-side cursor.

        The iterator holds one of the pool's connections until it is
        exhausted or closed.
        """
        sql, params = _select(Filters.of(filters, criteria))
        check_order(order)
        check_batch_size(batch_size)
        self._live_pool()
        return self._stream(sql, params, batch_size)

    def _stream(self, sql: str, params: List[Any], batch_size: int) -> Iterator[Receipt]:
        psycopg = self._psycopg
        for attempt in (1, 2):
            produced = False
            try:
                with self._connection() as conn, conn.transaction():
                    with conn.cursor(name="tessary_scan") as cur:
                        cur.itersize = batch_size
                        cur.execute(sql, params)
                        while True:
                            batch = cur.fetchmany(batch_size)
                            if not batch:
                                return
                            for (text,) in batch:
                                produced = True
                                yield Receipt.from_json(text, strict=False)
            except psycopg.Error as e:
                # Once receipts have been handed out, starting over would repeat them.
                if attempt == 1 and not produced and _is_connection_loss(psycopg, e):
                    continue
                raise self._error(e) from None

    def count(self, filters: Optional[Filters] = None, **criteria: Unpack[Criteria]) -> int:
        """How many receipts pass every filter given (at most ``limit``); with none, how many the database holds."""
        wanted = Filters.of(filters, criteria)
        where, params = _where(wanted)
        sql = "SELECT count(*) FROM receipts" + where
        if wanted.limit is not None:
            sql = f"SELECT count(*) FROM (SELECT 1 FROM receipts{where} LIMIT %s) AS found"
            params.append(wanted.limit)

        def count(conn: Any) -> int:
            row = conn.execute(sql, params).fetchone()
            return int(row[0])

        return self._run(count)

    def get(self, rid: RidLike) -> Optional[Receipt]:
        """The receipt with identifier ``rid`` (a UUID or its text), or None when the database has none."""
        key = receipt_key(rid)

        def select(conn: Any) -> Optional[str]:
            row = conn.execute("SELECT body FROM receipts WHERE rid = %s::uuid", (key,)).fetchone()
            return None if row is None else str(row[0])

        text = self._run(select)
        return None if text is None else Receipt.from_json(text, strict=False)

    def __iter__(self) -> Iterator[Receipt]:
        return self.iter()

    def find_by_output_digest(self, digest: str) -> List[Receipt]:
        """The successful execution receipts whose outputs include the SHA-256 ``digest``, newest first; indexed."""
        wanted = digest_key(digest)
        return self._found("outputs @> ARRAY[%s]::text[]", [wanted])

    def find_by_method(self, method_root: str, input_commitment: str) -> List[Receipt]:
        """The execution receipts of one method shape root over one input commitment, newest first; indexed."""
        check_method_args(method_root, input_commitment)
        return self._found("method_root = %s AND input_commitment = %s",
                           [text_bytes(method_root), text_bytes(input_commitment)])

    def find_by_sketch(self, sketch: MinHash, method_root: Optional[str] = None, limit: int = 100) -> List[Receipt]:
        """The execution receipts whose input sketch shares an LSH band with ``sketch``, most bands shared first.

        One probe of the band index per band; with ``method_root``, only runs
        of that method shape. The overlap estimate is the caller's
        (:func:`tessary.sketches.estimate`).
        """
        keys = band_keys(sketch, DEFAULT_BANDS, DEFAULT_ROWS)
        where = "" if method_root is None else " WHERE r.method_root = %s"
        sql = (f"SELECT r.body FROM ({CANDIDATES}) AS c (rid, hits) JOIN receipts AS r ON r.rid = c.rid::uuid"
               f"{where} ORDER BY c.hits DESC, c.rid LIMIT %s")
        params: List[Any] = [list(range(DEFAULT_BANDS)), keys]
        params += [] if method_root is None else [text_bytes(method_root)]

        def select(conn: Any) -> List[str]:
            return [row[0] for row in conn.execute(sql, [*params, limit])]

        return [Receipt.from_json(t, strict=False) for t in self._run(select)]

    def _found(self, where: str, params: List[Any]) -> List[Receipt]:
        # The timestamp column holds whole seconds: the receipts' own times order them.
        def select(conn: Any) -> List[str]:
            return [row[0] for row in conn.execute(f"SELECT body FROM receipts WHERE {where}", params)]

        return newest_first(Receipt.from_json(t, strict=False) for t in self._run(select))

    def close(self) -> None:
        """Close the pool's connections; the receipts stay in the database."""
        if self._pid != os.getpid():
            self._own_pool(reopen=False)
        pool, self._pool = self._pool, None
        if pool is not None:
            pool.close()

    def __enter__(self) -> "PostgresStore":
        self._live_pool()
        return self

    def __exit__(
        self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException], tb: Optional[TracebackType]
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "" if self._pool is not None else " (closed)"
        return f"PostgresStore({redact(self._dsn)!r}){state}"


def _opened_here(dsn: str, options: Dict[str, float]) -> PostgresStore:
    """The store of this address and options that this process shares, opened on first use."""
    key = ("postgres", dsn, tuple(sorted(options.items())))
    return shared(key, lambda: PostgresStore(dsn, **options), lambda store: store._pool is not None)  # type: ignore[arg-type]


def _seconds(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not (math.isfinite(value) and value > 0):
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")
    return float(value)


def _is_connection_loss(psycopg: Any, error: BaseException) -> bool:
    """Whether the error is the connection going away (worth one more try), not a fault of the statement."""
    if not isinstance(error, psycopg.OperationalError):
        return False
    state = getattr(getattr(error, "diag", None), "sqlstate", None)
    # No state: the client lost the socket. 08xxx: connection exceptions;
    # 57P01-57P03: the server shutting down or not yet accepting.
    return state is None or state.startswith("08") or state in ("57P01", "57P02", "57P03")
