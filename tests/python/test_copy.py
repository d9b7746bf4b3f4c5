"""`tessary copy FROM TO` between directory and database stores."""
import subprocess
import pathlib
import sys
from typing import Any

import pytest

import tessary
from cli_helpers import one_error_line, run
from test_public_stores import execution


def texts(store: pathlib.Path) -> set[str]:
    return {p.read_text() for p in (store / "receipts").glob("*.json")}


def test_directory_to_database_and_back_keeps_every_receipt_and_copying_again_changes_nothing(
        tmp_path: pathlib.Path, pg_dsn: str, capsys: pytest.CaptureFixture[str]) -> None:
    first, back = tmp_path / "first", tmp_path / "back"
    with tessary.DirectoryStore(first) as store:  # more than two batches, of several kinds and times
        store.store_many(execution(n, f"w{n % 3}", f"t{n % 5}") for n in range(2000))
        store.store(execution(2000, "w\x00", "t\x00"))  # a database's text cannot hold NUL
        store.store(tessary.record("plain", {"n": 1}))
    for _ in range(2):
        for source, target in ((first, pg_dsn), (pg_dsn, back)):
            code, out, err = run(capsys, "copy", source, target)
            assert (code, out, err) == (0, "", f"copied 2002 receipts from {source} to {target}\n")
        assert texts(back) == texts(first)
        with tessary.open_store(pg_dsn) as database:
            assert isinstance(database, tessary.PostgresStore) and database.count() == 2002
    assert run(capsys, "audit", pg_dsn)[0] == 0  # the database audits as the directory does


MISTAKES = {
    "missing FROM": (["{tmp}/nope", "{tmp}/to"], "argument FROM: no such directory"),
    "FROM a file": (["{tmp}/file", "{tmp}/to"], "argument FROM: not a directory"),
    "TO a file": (["{tmp}/from", "{tmp}/file"], "argument TO: not a directory"),
    "onto itself": (["{tmp}/from", "file://{tmp}/./from/"], "same store"),
    "database onto itself": (["{dsn}", "{dsn}&connect_timeout=5"], "same store"),
}


@pytest.mark.parametrize("argv, needle", MISTAKES.values(), ids=MISTAKES.keys())
def test_mistakes_are_one_line_and_exit_2(tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str],
                                          request: pytest.FixtureRequest, argv: list[str], needle: str) -> None:
    dsn = request.getfixturevalue("pg_dsn") if any("{dsn}" in a for a in argv) else ""
    tessary.DirectoryStore(tmp_path / "from").store(tessary.record("w", {}))
    (tmp_path / "file").write_text("")
    code, out, err = run(capsys, "copy", *(a.format(tmp=tmp_path, dsn=dsn) for a in argv))
    assert (code, out) == (2, "") and needle in one_error_line(err, "tessary copy")
    assert not (tmp_path / "to").exists() and not (tmp_path / "nope").exists()


def test_without_psycopg_a_database_store_names_the_extra_to_install(
        tmp_path: pathlib.Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.setitem(sys.modules, "psycopg", None)  # import psycopg now raises ImportError
    with pytest.raises(tessary.StoreError, match=r"pip install 'tessary\[postgres\]'"):
        tessary.open_store("postgresql://u@db/r")
    tessary.DirectoryStore(tmp_path / "from").store(tessary.record("w", {}))
    code, _, err = run(capsys, "copy", tmp_path / "from", "postgresql://u@db/r")
    assert code == 2 and "tessary[postgres]" in one_error_line(err, "tessary copy")


SECRET = "S3cretPw"


def test_no_password_is_printed_whatever_the_address_looks_like(
        tmp_path: pathlib.Path, pg_dsn: str, capsys: pytest.CaptureFixture[str]) -> None:
    tessary.DirectoryStore(tmp_path / "one").store(tessary.record("w", {}))
    with_secret = pg_dsn.replace("postgres@", f"postgres:{SECRET}?x@", 1)  # "?" inside the password
    # What the driver says of other addresses is held in test_pgstore; here, that the command line adds nothing.
    code, out, err = run(capsys, "ls", "--store", with_secret.replace("/t", "/missing_t", 1))
    assert code == 2 and "Database error" in one_error_line(err, "tessary ls") and SECRET not in out + err
    code, _, err = run(capsys, "copy", tmp_path / "one", with_secret)
    assert code == 0 and err.startswith("copied 1 receipt from") and SECRET not in err
    code, _, err = run(capsys, "copy", with_secret, with_secret + "&connect_timeout=5")
    assert code == 2 and "same store" in one_error_line(err, "tessary copy") and SECRET not in err


def test_filters_that_are_not_utf8_find_nothing_and_fail_nothing(pg_dsn: str, capsys: pytest.CaptureFixture[str],
                                                                 store: pathlib.Path) -> None:
    tessary.open_store(pg_dsn).store(tessary.record("w", {}))
    for where in (pg_dsn, store):  # the command line passes arguments that are not UTF-8 surrogate-escaped
        for option in ("--workload", "--trace", "--policy", "--change-epoch"):
            assert run(capsys, "ls", "--store", where, option, "w\udcff") == (0, "", "")


# Runs the command line, pausing after the first batch is stored until told to go on.
PAUSING_COPY = """
import sys
from typing import Any
from tessary import DirectoryStore, PostgresStore
from tessary.cli import main

def pausing(store_many):
    def store_many_then_wait(self, receipts):
        stored = store_many(self, receipts)
        if not pausing.done:
            pausing.done = True
            print("stored", flush=True)
            sys.stdin.readline()
        return stored
    return store_many_then_wait

pausing.done = False
for cls in (DirectoryStore, PostgresStore):
    cls.store_many = pausing(cls.store_many)
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("into_database", [True, False])
def test_a_server_stopped_during_a_copy_is_one_line_saying_how_far_it_got(
        tmp_path: pathlib.Path, pg_server: Any, into_database: bool) -> None:
    dsn, directory = pg_server.new_database(), tmp_path / "d"
    with tessary.open_store(directory if into_database else dsn) as source:
        source.store_many(execution(n, "w", "t") for n in range(2501))
    source_text, target_text = (str(directory), dsn) if into_database else (dsn, str(tmp_path / "back"))
    child = subprocess.Popen([sys.executable, "-c", PAUSING_COPY, "copy", source_text, target_text],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout is not None and child.stdout.readline() == "stored\n"
        pg_server.stop("fast")
        out, err = child.communicate("go on\n", timeout=120)
    finally:
        pg_server.start()
    assert child.returncode == 2, err
    line = one_error_line(err, "tessary copy")  # no pool or driver logs around it
    assert f"copied 1000 of 2501 receipts from {source_text} to {target_text}, then: Database error: " in line
