"""A band index of MinHash sketches in PostgreSQL: which stored inputs may overlap this one?

One row per (receipt, band): ``sketch_bands (rid uuid, band smallint, key bigint)``
with the primary key ``(band, key, rid)``, so a lookup is one index probe per
band of the query and reads only the matching rows' index entries. A second
index on ``rid`` serves removal. The band keys are those of
:func:`tessary.sketches.band_keys`; every sketch in one table must use the
same bands and rows, which the caller fixes (the package's defaults unless
it says otherwise).

The functions take an open psycopg connection and leave transactions to the
caller: :func:`create_statements` are the schema step a migration runs,
:func:`index_stored_receipts` fills the table from the receipts already
stored, and :func:`index_receipts` keeps it up to date as receipts are stored.
"""

from __future__ import annotations

from typing import Any, Iterable, Iterator, List, Optional, Sequence, Tuple

from .errors import ReceiptError
from .receipts import Receipt, ReceiptKind
from .sketches import DEFAULT_BANDS, DEFAULT_ROWS, MinHash, SketchError, band_keys

__all__ = ["TABLE", "CANDIDATES", "create_statements", "create_band_index", "add_sketches", "remove_sketches",
           "band_candidates", "sketch_of", "index_receipts", "index_stored_receipts"]

TABLE = "sketch_bands"

_CREATE: Sequence[str] = (
    f"""CREATE TABLE IF NOT EXISTS {TABLE} (
        rid uuid NOT NULL,
        band smallint NOT NULL,
        key bigint NOT NULL,
        PRIMARY KEY (band, key, rid)
    )""",
    f"CREATE INDEX IF NOT EXISTS {TABLE}_rid ON {TABLE} (rid)",
)

# The query's keys as a derived table joined on the primary key: the planner
# probes the index once per band instead of scanning the table.
CANDIDATES = (
    f"SELECT b.rid::text, count(*) AS hits FROM unnest(%s::smallint[], %s::bigint[]) AS q(band, key) "
    f"JOIN {TABLE} AS b ON b.band = q.band AND b.key = q.key "
    "GROUP BY b.rid ORDER BY hits DESC, b.rid"
)


def create_statements() -> Sequence[str]:
    """The statements that create the table and its indexes (idempotent)."""
    return _CREATE


def create_band_index(connection: Any) -> None:
    """Create the table and its indexes on ``connection`` if they do not exist."""
    with connection.cursor() as cursor:
        for statement in _CREATE:
            cursor.execute(statement)


def _rows(rid: str, sketch: MinHash, bands: int, rows: int) -> List[Tuple[str, int, int]]:
    return [(rid, band, key) for band, key in enumerate(band_keys(sketch, bands, rows))]


def add_sketches(
    connection: Any, sketches: Iterable[Tuple[str, MinHash]], *, bands: int = DEFAULT_BANDS, rows: int = DEFAULT_ROWS
) -> int:
    """Index ``(rid, sketch)`` pairs by COPY; returns the number of sketches added.

    A receipt indexed before keeps its old rows as well: remove it first
    (:func:`remove_sketches`) to replace its sketch.
    """
    count = 0
    with connection.cursor() as cursor:
        with cursor.copy(f"COPY {TABLE} (rid, band, key) FROM STDIN") as copy:
            for rid, sketch in sketches:
                for row in _rows(rid, sketch, bands, rows):
                    copy.write_row(row)
                count += 1
    return count


def remove_sketches(connection: Any, rids: Iterable[str]) -> None:
    """Drop the band rows of these receipts."""
    with connection.cursor() as cursor:
        cursor.execute(f"DELETE FROM {TABLE} WHERE rid = ANY(%s::uuid[])", (list(rids),))


def band_candidates(
    connection: Any,
    sketch: MinHash,
    *,
    bands: int = DEFAULT_BANDS,
    rows: int = DEFAULT_ROWS,
    limit: Optional[int] = None,
) -> List[Tuple[str, int]]:
    """The receipts sharing at least one band with ``sketch``: (rid, bands shared), most shared first.

    The number of shared bands ranks candidates roughly by overlap; the
    estimate proper needs the stored sketch (:func:`tessary.sketches.estimate`).
    """
    keys = band_keys(sketch, bands, rows)
    query = CANDIDATES + (" LIMIT %s" if limit is not None else "")
    params: Tuple[Any, ...] = (list(range(bands)), keys) + ((limit,) if limit is not None else ())
    with connection.cursor() as cursor:
        cursor.execute(query, params)
        return [(str(rid), int(hits)) for rid, hits in cursor.fetchall()]


def sketch_of(receipt: Receipt) -> Optional[MinHash]:
    """The input sketch an execution receipt carries, when it has one the band index can take."""
    values = receipt.payload.get("minhash_signature") if receipt.kind is ReceiptKind.EXECUTION else None
    if not isinstance(values, (list, tuple)):
        return None
    try:
        sketch = MinHash.from_bytes(bytes(values))
    except (SketchError, ValueError, TypeError):
        return None
    return sketch if sketch.k >= DEFAULT_BANDS * DEFAULT_ROWS else None


def index_receipts(conn: Any, receipts: Sequence[Receipt]) -> None:
    """Put the execution receipts' sketches in the band index, replacing what a receipt stored before had."""
    executions = [r for r in receipts if r.kind is ReceiptKind.EXECUTION]
    if not executions:
        return
    remove_sketches(conn, [r.rid for r in executions])
    sketches = [(r.rid, sketch) for r in executions for sketch in [sketch_of(r)] if sketch is not None]
    if sketches:
        add_sketches(conn, sketches)


def stored_executions(conn: Any, cursor_name: str) -> Iterator[List[Tuple[Any, Receipt]]]:
    """The stored execution receipts that read, a batch at a time as (row rid, receipt), through a named cursor.

    A body that is no receipt is passed over: it stays stored, as ever, but
    no lookup or index finds it.
    """
    with conn.cursor(name=cursor_name) as rows:
        rows.execute("SELECT rid, body FROM receipts WHERE kind = 'execution'")
        while True:
            batch = rows.fetchmany(1000)
            if not batch:
                return
            found = []
            for rid, body in batch:
                try:
                    found.append((rid, Receipt.from_json(body, strict=False)))
                except ReceiptError:
                    continue
            yield found


def index_stored_receipts(conn: Any) -> None:
    """Index the sketches of the execution receipts stored before the band index existed."""
    for found in stored_executions(conn, "tessary_backfill_sketches"):
        sketches = [(r.rid, sketch) for _, r in found for sketch in [sketch_of(r)] if sketch is not None]
        if sketches:
            add_sketches(conn, sketches)
