"""What only the database store does: schema versions, all-or-nothing bulk loads, dropped connections."""
import multiprocessing
import threading
from typing import Any, List, Tuple

import pytest

import tessary
from test_public_stores import execution

psycopg = pytest.importorskip("psycopg")
from tessary.pgstore import SCHEMA_VERSION, PostgresStore  # noqa: E402


def test_the_schema_is_made_once_and_concurrent_first_uses_do_not_race(pg_dsn: str) -> None:
    errors: List[BaseException] = []

    def open_one() -> None:
        try:
            PostgresStore(pg_dsn).close()
        except BaseException as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=open_one) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors
    with psycopg.connect(pg_dsn) as conn:
        assert conn.execute("SELECT version FROM tessary_schema_version").fetchall() == [(SCHEMA_VERSION,)]
        conn.execute("UPDATE tessary_schema_version SET version = version + 1")
    with pytest.raises(tessary.StoreError, match="schema is version"):
        PostgresStore(pg_dsn)


def test_get_finds_a_receipt_by_its_identifier(pg_dsn: str) -> None:
    with PostgresStore(pg_dsn) as store:
        kept = execution(1, "w", "t")
        store.store(kept)
        assert store.get(kept.rid) == kept and store.get(kept.rid.upper()) == kept
        assert store.get("ffffffff-ffff-4fff-bfff-ffffffffffff") is None
        with pytest.raises(tessary.StoreError, match="not a receipt identifier: 'x'"):
            store.get("x")


def test_a_failure_in_the_middle_of_a_bulk_load_leaves_nothing(pg_dsn: str) -> None:
    with PostgresStore(pg_dsn) as store:
        store.store(execution(0, "kept", "t"))
        with psycopg.connect(pg_dsn) as conn:  # the database refuses one row, late in the load
            conn.execute("""CREATE FUNCTION refuse() RETURNS trigger LANGUAGE plpgsql AS $$
                BEGIN IF NEW.workload = 'poison' THEN RAISE EXCEPTION 'refused %', NEW.rid; END IF;
                RETURN NEW; END $$""")
            conn.execute("CREATE TRIGGER refuse BEFORE INSERT OR UPDATE ON receipts FOR EACH ROW EXECUTE FUNCTION refuse()")
        batch = [execution(n, "etl", "t") for n in range(1, 3000)]
        batch.insert(2000, execution(5000, "poison", "t"))
        with pytest.raises(tessary.StoreError, match=r"^Database error: .*refused"):
            store.store_many(batch)
        assert [r.workload for r in store.query()] == ["kept"]
        assert store.store_many(batch[:2000]) == 2000 and store.count() == 2001


def test_bad_receipt_text_gives_the_directory_store_message(pg_dsn: str, tmp_path: Any) -> None:
    good = tessary.record("w", {})
    # A Receipt whose payload no longer fits its kind cannot be written back.
    with PostgresStore(pg_dsn) as store, tessary.DirectoryStore(tmp_path) as directory:
        for s in (store, directory):
            with pytest.raises(TypeError):
                s.store_many([good, "text"])  # type: ignore[list-item]
        assert store.query() == [] and directory.query() == []


def test_iteration_streams_through_a_cursor_in_batches(pg_dsn: str) -> None:
    with PostgresStore(pg_dsn) as store:
        store.store_many(execution(n, "etl", "t") for n in range(2500))
        seen = 0
        scan = store.iter(batch_size=100)
        for receipt in scan:
            if seen == 0:  # the first batch is in hand, the rest still on the server
                with psycopg.connect(pg_dsn) as conn:
                    cursors = conn.execute("SELECT count(*) FROM pg_cursors").fetchone()
                    active = conn.execute(
                        "SELECT count(*) FROM pg_stat_activity WHERE query LIKE 'FETCH%%' OR query LIKE 'DECLARE%%'"
                    ).fetchone()
                assert cursors is not None and active is not None and active[0] >= 1
            seen += 1
        assert seen == 2500
        assert len(list(store.iter(limit=7, batch_size=3))) == 7


def _writer(job: Tuple[str, int]) -> List[str]:
    """One of several processes: 10,000 receipts, mostly in bulk, some one at a time."""
    dsn, k = job
    receipts = [tessary.record(f"writer-{k}", {"n": n}) for n in range(10_000)]
    with PostgresStore(dsn) as store:
        for start in range(0, 9_900, 450):
            store.store_many(receipts[start:start + 450])
        for receipt in receipts[9_900:]:
            store.store(receipt)
    return [r.rid for r in receipts]


def test_four_writing_processes_lose_nothing_while_another_lists(pg_dsn: str) -> None:
    with PostgresStore(pg_dsn) as store, multiprocessing.get_context("spawn").Pool(4) as pool:
        pending = pool.map_async(_writer, [(pg_dsn, k) for k in range(4)])
        listings = 0
        while not pending.ready() or listings == 0:
            rids = [r.rid for r in store.iter(batch_size=2000)]
            assert len(rids) == len(set(rids))  # one snapshot: never a receipt twice
            listings += 1
        written = pending.get(timeout=600)
        final = list(store.iter())
    assert listings >= 2
    assert sorted(r.rid for r in final) == sorted(rid for rids in written for rid in rids)
    assert len(final) == 40_000 and all(tessary.verify(r) for r in final)


def test_a_wrong_address_is_one_database_error(pg_server: Any) -> None:
    with pytest.raises(tessary.StoreError, match=r"^Database error: .*"):
        PostgresStore(pg_server.dsn("no_such_database"))
    with pytest.raises(tessary.StoreError, match="PostgreSQL|Database error"):
        tessary.open_store("postgres://nobody@/x?host=/nonexistent")


def test_a_server_restart_during_stores_loses_nothing_acknowledged(pg_server: Any) -> None:
    dsn = pg_server.new_database()
    acknowledged: List[str] = []
    failures = 0
    with PostgresStore(dsn, max_size=2, timeout=2) as store:
        for n in range(300):
            if n == 100:
                pg_server.stop("immediate")  # the pool's connections die with it
                pg_server.start()
            if n == 200:
                pg_server.stop("fast")
            if n == 203:
                pg_server.start()
            receipt = execution(n, "etl", "t")
            try:
                store.store(receipt)
            except tessary.StoreError as e:
                assert str(e).startswith("Database error: ")
                failures += 1
                continue
            acknowledged.append(receipt.rid)
        stored = {r.rid for r in store.iter()}
    assert set(acknowledged) <= stored
    assert len(acknowledged) >= 290  # a dropped connection is retried; only the stopped server fails
    assert failures >= 1


def test_the_command_line_lists_a_database_store(pg_dsn: str, capsys: Any) -> None:
    from tessary.cli import main

    with PostgresStore(pg_dsn) as store:
        store.store_many(execution(n, "etl" if n % 2 else "train", "t") for n in range(6))
    assert main(["ls", "--store", pg_dsn, "--workload", "etl"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [tessary.Receipt.from_json(line).workload for line in lines] == ["etl"] * 3
    assert main(["ls", "--store", pg_dsn.replace("/t", "/missing_t", 1)]) == 2
    assert capsys.readouterr().err.count("\n") == 1
