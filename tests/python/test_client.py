"""Client: recording without storage, storing and listing receipts in a directory."""
import json
import os
import re
import subprocess
import sys

import pytest

import _tessary
from _tessary import Client, receipts
from receipt_strategies import minimal


@pytest.fixture
def client(tmp_path):
    return Client(str(tmp_path / "store"))


def receipts_dir(tmp_path):
    return tmp_path / "store" / "receipts"


@pytest.mark.parametrize("make", [lambda: Client(), lambda: Client(None), lambda: Client(storage_path=None)])
def test_client_without_storage(make):
    client = make()
    receipt = client.record_work("job", {"x": 1})
    assert client.verify_receipt(receipt) is True
    for call, action in [(lambda: client.store_receipt(receipt), "storage"), (client.list_receipts, "listing")]:
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == f"Storage not configured. Create client with storage_path to enable {action}."


SPEND = minimal("spend", {"meter": {}, "unit_prices": {}, "currency": "USD", "total_value": 0.0,
                          "pointers": {"trace_id": "t1"}})


# Filters against the package's store are held in test_native; here, what only a spend receipt shows.
def test_the_trace_filter_looks_at_execution_receipts_only(client):
    made = client.record_work("a", {}, trace_id="t1")
    for r in (made, receipts.receipt_from_json_py(json.dumps(SPEND))):  # its pointers name trace t1 too
        client.store_receipt(r)
    assert [r.get_rid() for r in client.list_receipts(trace_id="t1")] == [made.get_rid()]
    assert len(client.list_receipts(limit=10)) == 2 and client.list_receipts(limit=0) == []


def test_files_that_are_not_receipts(tmp_path, client, capfd):
    good = client.record_work("w", {})
    client.store_receipt(good)
    d = receipts_dir(tmp_path)
    for name in ["x.JSON", "x.json.bak", ".json", "notes.txt", ".hidden.tmp"]:
        (d / name).write_text("not json")
    (d / "a.b.json").write_text(good.to_json())
    (d / "broken.json").write_text("{")
    assert sorted(r.get_rid() for r in client.list_receipts()) == [good.get_rid()] * 2
    [warning] = capfd.readouterr().err.splitlines()
    assert warning.startswith(f"Warning: Failed to parse receipt file {d / 'broken.json'}: JSON deserialization failed: ")

    (d / "bad.json").write_bytes(b"\xff\xfe")
    with pytest.raises(ValueError) as info:
        client.list_receipts()
    assert str(info.value) == "Failed to query receipts: I/O error: Failed to read receipt file: stream did not contain valid UTF-8"


def test_store_failures_name_the_path(tmp_path, client):
    plain = tmp_path / "plain"
    plain.write_text("x")
    message = f"Failed to create filesystem store: I/O error: Failed to create receipts directory {plain}/receipts: "
    with pytest.raises(ValueError, match="^" + re.escape(message)):
        Client(str(plain))
    receipt = client.record_work("w", {})
    target = receipts_dir(tmp_path) / (receipt.get_rid() + ".json")
    target.mkdir()  # a directory where the file should go: the replace must fail
    with pytest.raises(ValueError, match="^" + re.escape(f"Failed to store receipt: I/O error: Failed to write receipt to {target}: ")):
        client.store_receipt(receipt)
    assert os.listdir(receipts_dir(tmp_path)) == [target.name]  # no temporary left behind


WORKER = r"""
import sys, time
from _tessary import Client
client = Client(sys.argv[1])
if sys.argv[2] == "list":
    deadline = time.time() + 60
    while time.time() < deadline:
        client.list_receipts()
        if open(sys.argv[3]).read() == "done":
            break
else:
    made = [client.record_work("w" + sys.argv[2], {"i": i, "blob": "x" * 4000}) for i in range(40)]
    for r in made * 5:
        client.store_receipt(r)
    print("\n".join(r.get_rid() for r in made))
"""


def test_concurrent_writers_and_a_reader_never_see_a_torn_file(tmp_path):
    store = str(tmp_path / "store")
    flag = tmp_path / "flag"
    flag.write_text("")
    Client(store)
    lister = subprocess.Popen([sys.executable, "-c", WORKER, store, "list", str(flag)], stderr=subprocess.PIPE, text=True)
    writers = [subprocess.Popen([sys.executable, "-c", WORKER, store, str(n)], stdout=subprocess.PIPE, text=True) for n in range(3)]
    rids = []
    for w in writers:
        out, _ = w.communicate(timeout=120)
        assert w.returncode == 0
        rids += out.split()
    flag.write_text("done")
    _, err = lister.communicate(timeout=120)
    assert lister.returncode == 0 and err == ""  # no warning line: no reader ever met a half-written file
    names = os.listdir(tmp_path / "store" / "receipts")
    assert not [n for n in names if not n.endswith(".json") or n.startswith(".")]
    listed = Client(store).list_receipts()
    assert sorted(r.get_rid() for r in listed) == sorted(rids) and len(set(rids)) == 120
    assert all(_tessary.verify_receipt_py(r) for r in listed)
