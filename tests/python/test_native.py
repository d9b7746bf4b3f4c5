"""tessary._native: buffers of every kind, streaming shapes, the store, and
work done with the interpreter lock released."""
import array
import contextlib
import mmap
import os
import signal

import pytest

import _tessary
import concurrency
from _tessary import shapes
from tessary import _native

KINDS = {0: "cdc", 1: "fixed"}


def one_shot(data, kind=0, size=4096):
    key = "avg_size" if kind == 0 else "size"
    return shapes.compute_data_shape_hash_from_bytes_py(bytes(data), {"type": KINDS[kind], key: size})


# ---- hashing ----------------------------------------------------------------

# Splits and copies of a running hasher are held in test_public_shapes.
def test_finished_and_refused_states():
    hasher = _native.Hasher(0, 0, True)
    hasher.update(b"abc")
    with pytest.raises(ValueError) as ours:
        hasher.finish()
    with pytest.raises(ValueError) as theirs:
        shapes.compute_data_shape_hash_from_bytes_py(b"abc", {"type": "cdc", "avg_size": 0})
    assert str(ours.value) == str(theirs.value)
    for call in (hasher.finish, hasher.copy, lambda: hasher.update(b"x"), lambda: hasher.update(bytes(1 << 20))):
        with pytest.raises(ValueError, match="^hasher already finished$"):
            call()


# ---- buffers ----------------------------------------------------------------

DATA = os.urandom(300_000)


def mmap_of(tmp_path):
    path = tmp_path / "m.bin"
    path.write_bytes(DATA)
    with open(path, "rb") as f:
        return mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)


@pytest.mark.parametrize("make, expected", [
    (lambda tmp: DATA, DATA), (lambda tmp: bytearray(DATA), DATA),
    (lambda tmp: memoryview(DATA)[1000:-1000], DATA[1000:-1000]), (mmap_of, DATA),
    (lambda tmp: array.array("d", DATA[:299_992]), DATA[:299_992]),
    (lambda tmp: pytest.importorskip("numpy").frombuffer(DATA, dtype="uint32").reshape(-1, 100).copy(), DATA),
], ids=["bytes", "bytearray", "memoryview-slice", "mmap", "array", "numpy"])
def test_every_buffer_kind(tmp_path, make, expected):
    buffer = make(tmp_path)
    want = one_shot(expected, 0, 4096)
    # The chunk list itself is checked against hashlib in test_public_shapes.
    same = _native.shape_of_buffer(bytes(expected), 0, 4096, True)
    assert _native.shape_of_buffer(buffer, 0, 4096, True) == same and same[:2] == (want, len(expected))
    hasher = _native.Hasher(0, 4096, False)
    hasher.update(buffer)
    assert hasher.finish()[0] == want


# An unknown kind and a kind of the wrong type are in test_errors, beside the classes they are raised as.
@pytest.mark.parametrize("call, error", [
    (lambda: _native.Hasher(0, -1, False), OverflowError), (lambda: _native.Hasher(0, 10, 1), TypeError),
    *[(lambda v=v, f=f: f(v), e) for v, e in [(memoryview(DATA)[::2], BufferError), ("text", TypeError), (12, TypeError)]
      for f in (lambda v: _native.shape_of_buffer(v, 0, 4096, False), _native.Hasher(0, 4096, False).update)],
])
def test_bad_arguments_and_unusable_buffers(call, error):
    with pytest.raises(error):
        call()


@pytest.mark.parametrize("make, change", [
    (lambda tmp: bytearray(DATA), lambda buffer: buffer.extend(b"x")),
    (mmap_of, lambda buffer: buffer.close()),
], ids=["bytearray-resized", "mmap-closed"])
def test_a_buffer_cannot_be_changed_while_hashed(tmp_path, make, change):
    buffer = make(tmp_path)
    hasher = _native.Hasher(0, 65536, False)
    outcome = []

    def try_change():
        try:
            change(buffer)
            outcome.append("changed")
        except BufferError:
            outcome.append("refused")

    with contextlib.contextmanager(concurrency.on_release)(try_change) as arm:
        arm()  # the change is tried while update runs without the interpreter lock
        hasher.update(buffer)
    assert outcome == ["refused"] and hasher.finish()[1] == len(DATA)
    change(buffer)  # the export ended with the call


# ---- threads ----------------------------------------------------------------

def test_threads_sharing_one_hasher_never_interleave_within_an_update():
    # Every update feeds the same piece, so any order of whole updates gives
    # the same stream; an update torn apart by another would not.
    piece = os.urandom((1 << 20) + 17)
    hasher = _native.Hasher(0, 8192, False)
    concurrency.run_threads(*[lambda: [hasher.update(piece) for _ in range(6)]] * 3)
    assert hasher.finish()[0] == one_shot(piece * 18, 0, 8192)


def test_hashing_lets_other_python_threads_run():
    inside, ran = [False], []
    with contextlib.contextmanager(concurrency.on_release)(lambda: ran.append(inside[0])) as arm:
        arm()
        inside[0] = True
        _native.shape_of_buffer(DATA, 0, 65536, False)
        inside[0] = False
    assert ran == [True]  # the other thread ran during the call, not after it


# ---- files and signals ------------------------------------------------------

def test_file_shape_and_os_errors(tmp_path):
    data = os.urandom(700_000)
    path = tmp_path / "f.bin"
    path.write_bytes(data)
    for kind, size, scheme in ((0, 65536, None), (1, 1000, {"type": "fixed", "size": 1000})):
        assert _native.shape_of_file(os.fsencode(path), kind, size, True) == _native.shape_of_buffer(data, kind, size, True)
        assert shapes.compute_data_shape_hash_from_file_py(str(path), scheme) == one_shot(data, kind, size)
    missing = os.fsencode(tmp_path / "missing")
    with pytest.raises(FileNotFoundError) as info:
        _native.shape_of_file(missing, 0, 4096, False)
    assert (info.value.errno, info.value.filename) == (2, missing)
    for where, error in ((os.fsencode(tmp_path), IsADirectoryError), (str(path), TypeError)):
        with pytest.raises(error):
            _native.shape_of_file(where, 0, 4096, False)


@pytest.mark.parametrize("signal_after", [0, 2 << 20], ids=["just-opened", "reading"])
def test_sigint_stops_file_reading_with_the_handlers_exception(tmp_path, signal_after):
    fifo = tmp_path / "fifo"
    concurrency.interrupted_fifo_read(fifo, signal_after, lambda: _native.shape_of_file(os.fsencode(fifo), 0, 65536, False))


def test_sigint_stops_buffer_hashing_with_the_handlers_exception(sigint_on_release):
    big = bytes(64 << 20)
    sigint_on_release()
    with pytest.raises(concurrency.Stop):
        _native.shape_of_buffer(big, 0, 65536, False)


def test_handler_reusing_the_interrupted_hasher_is_refused(sigint_on_release):
    hasher = _native.Hasher(0, 65536, False)
    fired = []

    def handler(signum, frame):
        fired.append(signum)
        hasher.update(b"x")

    signal.signal(signal.SIGINT, handler)  # the fixture puts the first one back
    # Hashed with the lock let go, yet too short for a poll on the way: only the
    # look for signals at the end of the update can find the signal inside it.
    piece = bytes(1 << 20)
    sigint_on_release()
    with pytest.raises(ValueError, match="in use by the call this signal handler interrupted"):
        while not fired:
            hasher.update(piece)
    with pytest.raises(ValueError, match="^hasher was interrupted during an update$"):
        hasher.finish()


# ---- store ------------------------------------------------------------------

def made_receipts(n):
    client = _tessary.Client()
    return [client.record_work("etl" if i % 2 else "ml", {"i": i}, trace_id=f"t{i % 3}") for i in range(n)]


def test_store_round_trip_filters_and_cursor_batches(tmp_path):
    made = made_receipts(13)
    store = _native.Store(str(tmp_path))
    store.store_many([r.to_json() for r in made])
    assert sorted(store.query()) == sorted(r.to_json() for r in made)
    client = _tessary.Client(str(tmp_path))
    # Every other filter is held in test_public_stores, which hands them on to this store.
    for filters in ({}, {"workload": "etl"}, {"trace": "t1"}, {"workload": "ml", "trace": "t0"}, {"limit": 2},
                    {"trace": "t2", "limit": 1}):
        expected = client.list_receipts(workload_id=filters.get("workload"), trace_id=filters.get("trace"),
                                        limit=filters.get("limit"))
        assert store.query(**filters) == [r.to_json() for r in expected]  # the same texts in the same order
        for batch in (1, 4, 100):
            cursor = store.cursor(**filters)
            pieces = list(iter(lambda: cursor.next_batch(batch), []))
            assert all(len(piece) <= batch for piece in pieces) and sum(pieces, []) == store.query(**filters)
            assert cursor.next_batch(batch) == []
    with pytest.raises(TypeError):
        _native.Cursor()


def test_store_errors_match_the_client(tmp_path):
    (tmp_path / "file").write_text("x")
    with pytest.raises(ValueError) as ours:
        _native.Store(str(tmp_path / "file"))
    with pytest.raises(ValueError) as theirs:
        _tessary.Client(str(tmp_path / "file"))
    assert str(ours.value) == str(theirs.value)
    store = _native.Store(str(tmp_path / "ok"))
    good = made_receipts(1)[0].to_json()
    for bad in ("{}", good[:-1]):
        with pytest.raises(ValueError) as ours:
            store.store_many([good, bad])
        with pytest.raises(ValueError) as theirs:
            _tessary.receipts.receipt_from_json_py(bad)
        assert str(ours.value) == str(theirs.value)
    assert store.query() == []  # a bad text stores nothing
    for call in (lambda: store.store_many((good,)), lambda: store.query(pac=bytes(31)),
                 lambda: store.query(start="2025")):
        with pytest.raises(TypeError):
            call()


def test_threads_storing_and_scanning_at_once_do_not_deadlock(tmp_path):
    store = _native.Store(str(tmp_path))
    texts = [r.to_json() for r in made_receipts(40)]

    def read():
        for _ in range(20):
            store.query()
            cursor = store.cursor()
            while cursor.next_batch(3):
                pass

    concurrency.run_threads(lambda: [store.store_many(texts[i:i + 4]) for i in range(0, 40, 4)], read, read)
    assert sorted(store.query()) == sorted(texts)
