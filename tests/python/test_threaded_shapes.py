"""One input's data shape on several threads: byte for byte the single-threaded shape, bounded, interruptible."""
import random
import threading

import pytest

import tessary
from concurrency import Stop, interrupted_fifo_read
from tessary import CDC, Fixed, data_shape
from tessary.errors import ShapeError

MIB = 1 << 20
DATA = random.Random(7).randbytes(5 * MIB + 333)  # past the threshold for threads and past 2 MiB chunks
SCHEMES = [CDC(64), CDC(1000), CDC(50000), CDC(65536), CDC(1 << 20), Fixed(64), Fixed(4095), Fixed(1 << 20)]


def sizes(scheme):
    avg = scheme[0]
    return sorted({0, 1, avg // 2, avg // 2 + 1, 2 * avg + 46, 2 * avg + 47, 2 * avg + 48, 3 * MIB, len(DATA)})


@pytest.mark.parametrize("threads", [2, 3, 8])
@pytest.mark.parametrize("scheme", SCHEMES, ids=str)
def test_threads_give_the_single_threaded_shape(scheme, threads):
    for n in sizes(scheme):
        data = DATA[:n]
        assert data_shape(data, scheme=scheme, chunks=True, threads=threads) == \
            data_shape(data, scheme=scheme, chunks=True, threads=1), n


@pytest.mark.parametrize("threads", [2, 5])
@pytest.mark.parametrize("scheme", [CDC(64), CDC(65536), CDC(1 << 20), Fixed(1000)], ids=str)
def test_hasher_fed_pieces_of_any_size(scheme, threads):
    rng = random.Random(scheme[0] * threads)
    hasher = tessary.DataShapeHasher(scheme=scheme, chunks=True, threads=threads)
    at = 0
    while at < len(DATA):
        step = rng.choice([1, 47, 4096, 3 * MIB, 4 * MIB + 1])
        hasher.update(memoryview(DATA)[at:at + step])
        at += step
        if rng.random() < 0.2:
            assert hasher.copy().shape() == data_shape(DATA[:at], scheme=scheme, chunks=True, threads=1)
    assert hasher.shape() == data_shape(DATA, scheme=scheme, chunks=True, threads=1)


@pytest.mark.parametrize("scheme", [CDC(64), CDC(65536), Fixed(1 << 20)], ids=str)
def test_file_read_through_several_buffers(tmp_path, scheme):
    path = tmp_path / "big.bin"
    # Past three file buffers, so every buffer is reused, with a tail no buffer fills.
    big = DATA * 6 + DATA[:12345]
    path.write_bytes(big)
    expected = data_shape(big, scheme=scheme, chunks=True, threads=1)
    for threads in (2, 4):
        assert data_shape(path, scheme=scheme, chunks=True, threads=threads) == expected
        with open(path, "rb") as f:
            assert data_shape(f, scheme=scheme, chunks=True, threads=threads) == expected


@pytest.mark.parametrize("threads, error", [(0, ShapeError), (-3, ShapeError), (1.5, TypeError), (True, TypeError)])
def test_bad_thread_counts(threads, error):
    with pytest.raises(error):
        data_shape(b"abc", threads=threads)
    with pytest.raises(error):
        tessary.DataShapeHasher(threads=threads)


def test_huge_thread_count_is_capped_not_refused():
    assert data_shape(DATA, threads=10**30) == data_shape(DATA, threads=1)


def test_buffer_resized_from_another_thread_hashes_what_it_holds():
    # The export is held for the whole call: a resize fails with BufferError, never changes what is hashed.
    buffer = bytearray(DATA * 8)
    result = []
    worker = threading.Thread(target=lambda: result.append(data_shape(buffer, threads=2)))
    worker.start()
    while worker.is_alive():
        try:
            buffer.append(0)
        except BufferError:
            break
        try:
            del buffer[-1]
        except BufferError:  # the hash began between the two: it holds the longer buffer
            break
    worker.join()
    assert result == [data_shape(bytes(buffer), threads=1)]


def test_ctrl_c_stops_a_threaded_buffer_hash(sigint_on_release):
    big = bytes(256 * MIB)
    sigint_on_release()
    with pytest.raises(Stop):
        data_shape(big, threads=2)


def test_ctrl_c_stops_a_threaded_hasher_and_spoils_it(sigint_on_release):
    hasher = tessary.DataShapeHasher(threads=2)
    sigint_on_release()
    with pytest.raises(Stop):
        hasher.update(bytes(256 * MIB))
    with pytest.raises(ShapeError, match="interrupted"):
        hasher.shape()


def test_ctrl_c_stops_a_threaded_file_hash(tmp_path):
    fifo = tmp_path / "fifo"
    interrupted_fifo_read(fifo, 24 * MIB, lambda: data_shape(fifo, threads=2))  # past the first buffers: the crew is at work
