"""The database store's schema: its columns, its forward migrations and the rows it keeps.

``MIGRATIONS[n]`` takes the schema from version n to n + 1; :func:`migrate`
applies those a database lacks, in one transaction under an advisory lock so
that processes opening the same database at once do not race.
"""

from __future__ import annotations

import uuid
from typing import Any, Callable, Optional, Sequence, Tuple, Union

from ._lookups import method_keys, output_keys
from ._sketch_index import create_statements, index_stored_receipts, stored_executions
from .errors import StoreError
from .receipts import Receipt

__all__ = ["TEXT_FILTERS", "LOOKUP_COLUMNS", "COLUMNS", "COPY_TYPES", "MIGRATIONS", "SCHEMA_VERSION", "text_bytes",
           "table_row", "lookup_row", "migrate"]

# Any number will do as long as it is ours alone: taken for the migrations.
MIGRATION_LOCK_KEY = 0x7E55A4F1

# The text filters, kept as the UTF-8 bytes of their values.
TEXT_FILTERS = ("workload", "trace", "policy", "change_epoch")

def text_bytes(value: Optional[str]) -> Optional[bytes]:
    """A filter column's value: its text's UTF-8, lone surrogates kept apart rather than refused."""
    return None if value is None else value.encode("utf-8", "surrogatepass")



LOOKUP_COLUMNS = ("outputs", "method_root", "input_commitment")


def lookup_row(receipt: Receipt) -> Tuple[Any, ...]:
    """The lookup columns of a receipt: the digests it vouches for, its method shape root and input commitment."""
    keys = method_keys(receipt)
    root, inputs = keys if keys is not None else (None, None)
    return output_keys(receipt) or None, text_bytes(root), text_bytes(inputs)


def backfill_lookups(conn: Any) -> None:
    """Fill the lookup columns of the execution receipts stored before they existed."""
    with conn.cursor() as cur:
        for found in stored_executions(conn, "tessary_backfill"):
            cur.executemany("UPDATE receipts SET outputs = %s, method_root = %s, input_commitment = %s WHERE rid = %s",
                            [(*lookup_row(receipt), rid) for rid, receipt in found])


# A step of a migration: a statement, or work done on the connection.
Migration = Union[str, Callable[[Any], None]]

# Forward migrations: MIGRATIONS[n] takes the schema from version n to n + 1.
MIGRATIONS: Sequence[Sequence[Migration]] = (
    (
        """CREATE TABLE receipts (
            rid uuid PRIMARY KEY,
            body text NOT NULL,
            kind text,
            hash text,
            workload text,
            trace text,
            policy text,
            change_epoch text,
            pac bytea,
            ts bigint
        )""",
        "CREATE INDEX receipts_workload ON receipts (workload)",
        "CREATE INDEX receipts_trace ON receipts (trace)",
        "CREATE INDEX receipts_policy ON receipts (policy)",
        "CREATE INDEX receipts_change_epoch ON receipts (change_epoch)",
        "CREATE INDEX receipts_pac ON receipts (pac)",
        "CREATE INDEX receipts_ts_rid ON receipts (ts, rid)",
    ),
    # Text columns refuse U+0000: the filter columns become the values' UTF-8 bytes.
    tuple(
        f"ALTER TABLE receipts ALTER COLUMN {column} TYPE bytea USING convert_to({column}, 'UTF8')"
        for column in TEXT_FILTERS
    ),
    # Lookups of step receipts: by a digest they vouch for, by method shape and inputs.
    (
        "ALTER TABLE receipts ADD COLUMN outputs text[], ADD COLUMN method_root bytea, "
        "ADD COLUMN input_commitment bytea",
        backfill_lookups,
        "CREATE INDEX receipts_outputs ON receipts USING gin (outputs)",
        "CREATE INDEX receipts_method ON receipts (method_root, input_commitment)",
    ),
    # The band index of the execution receipts' input sketches, for reuse by overlap.
    (*create_statements(), index_stored_receipts),
)

SCHEMA_VERSION = len(MIGRATIONS)

COLUMNS = ("rid", "body", "kind", "hash", "workload", "trace", "policy", "change_epoch", "pac", "ts",
            *LOOKUP_COLUMNS)
# Each column's type, as a bulk load names them for COPY's binary form.
COPY_TYPES = {
    "rid": "uuid", "body": "text", "kind": "text", "hash": "text", "workload": "bytea", "trace": "bytea",
    "policy": "bytea", "change_epoch": "bytea", "pac": "bytea", "ts": "int8",
    "outputs": "text[]", "method_root": "bytea", "input_commitment": "bytea",
}

def table_row(body: str, rid: str, kind: str, hash_: str, *fields: Any) -> Tuple[Any, ...]:
    """A row of :func:`native.receipt_rows` as the table's columns take it."""
    texts = tuple(text_bytes(v) for v in fields[: len(TEXT_FILTERS)])
    return (uuid.UUID(rid), body, kind, hash_, *texts, *fields[len(TEXT_FILTERS):])


def migrate(conn: Any) -> None:
    """Bring the schema to SCHEMA_VERSION, in one transaction under the migration lock."""
    with conn.transaction():
        conn.execute("SELECT pg_advisory_xact_lock(%s)", (MIGRATION_LOCK_KEY,))
        conn.execute("CREATE TABLE IF NOT EXISTS tessary_schema_version (version int NOT NULL)")
        row = conn.execute("SELECT max(version) FROM tessary_schema_version").fetchone()
        current = row[0] if row and row[0] is not None else 0
        if current > SCHEMA_VERSION:
            raise StoreError(
                f"the database's receipt schema is version {current}; this tessary knows up to {SCHEMA_VERSION}"
            )
        for steps in MIGRATIONS[current:]:
            for step in steps:
                if callable(step):
                    step(conn)
                else:
                    conn.execute(step)
        if current < SCHEMA_VERSION:
            conn.execute("DELETE FROM tessary_schema_version")
            conn.execute("INSERT INTO tessary_schema_version (version) VALUES (%s)", (SCHEMA_VERSION,))
