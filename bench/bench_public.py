"""The public package against the native calls it wraps.

Goals (measured in this run):
  tessary.record              <= 1.15x  _tessary.record_work_py (time per call)
  tessary.verify              <= 1.15x  _tessary.verify_receipt_py (time per call)
  DataShapeHasher, 1 MiB pieces  >= 0.95x  data_shape of the same 256 MiB at once (throughput)
  two threads, two 256 MiB files >= 1.7x   one thread hashing both (speed-up)
  `tessary shape` on 1 GiB       <= 1.1x   tessary.data_shape(path) (time, command started fresh)
"""
import os
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
from _ratio import compare, report  # noqa: E402

import _tessary  # noqa: E402
import tessary  # noqa: E402

MIB = 1 << 20
PAYLOAD = {"epochs": 3, "learning_rate": 0.01, "dataset": "s3://bucket/train.parquet", "layers": [64, 64, 10]}


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def best(fn, rounds):
    return min(timed(fn) for _ in range(rounds))


def interleaved(ours, peer, rounds):
    t_ours = t_peer = float("inf")
    for _ in range(rounds):
        t_ours = min(t_ours, timed(ours))
        t_peer = min(t_peer, timed(peer))
    return t_ours, t_peer


def calls():
    rows = []
    ours, peer = compare(lambda: tessary.record("train", PAYLOAD, trace="run-1"),
                         lambda: _tessary.record_work_py("train", PAYLOAD, None, "run-1", None))
    rows.append(("tessary.record", ours, "_tessary.record_work_py", peer, "<= 1.15x", ours / peer, ours / peer <= 1.15))
    receipt = tessary.record("train", PAYLOAD)
    native = receipt._native
    ours, peer = compare(lambda: tessary.verify(receipt), lambda: _tessary.verify_receipt_py(native))
    rows.append(("tessary.verify", ours, "_tessary.verify_receipt_py", peer, "<= 1.15x", ours / peer, ours / peer <= 1.15))
    report(rows)


# One thread per call in the next two comparisons: they measure what streaming costs and that calls
# release the interpreter lock. A call's own threads are bench_threads.py's subject.


def streaming():
    data = os.urandom(256 * MIB)
    view = memoryview(data)

    def pieces():
        hasher = tessary.DataShapeHasher(threads=1)
        for start in range(0, len(data), MIB):
            hasher.update(view[start:start + MIB])
        return hasher.hexdigest()

    assert pieces() == tessary.data_shape(data).hash[7:]
    t_pieces, t_once = interleaved(pieces, lambda: tessary.data_shape(data, threads=1), 5)
    ratio = t_once / t_pieces
    print(f"streaming hasher, 1 MiB pieces  {256 / t_pieces:8.0f} MiB/s  vs one-shot {256 / t_once:8.0f} MiB/s"
          f"  ratio {ratio:5.2f}x  goal >= 0.95x {'met' if ratio >= 0.95 else 'MISSED'}")


def threads(folder):
    paths = []
    for name in ("a.bin", "b.bin"):
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            for _ in range(256):
                f.write(os.urandom(MIB))
        paths.append(path)

    def one_thread():
        for path in paths:
            tessary.data_shape(path, threads=1)

    def two_threads():
        workers = [threading.Thread(target=tessary.data_shape, args=(p,), kwargs={"threads": 1}) for p in paths]
        for w in workers:
            w.start()
        for w in workers:
            w.join()

    t_two, t_one = interleaved(two_threads, one_thread, 3)
    speedup = t_one / t_two
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
    print(f"two threads, 2 x 256 MiB files  {t_two:7.3f} s  vs one thread {t_one:7.3f} s"
          f"  speed-up {speedup:5.2f}x  goal >= 1.7x {'met' if speedup >= 1.7 else 'MISSED'} ({cores} cores)")


def command(folder):
    path = os.path.join(folder, "big.bin")
    with open(path, "wb") as f:
        for _ in range(1024):
            f.write(os.urandom(MIB))
    cli = [sys.executable, "-m", "tessary", "shape", path]
    library = [sys.executable, "-c", f"import tessary; print(tessary.data_shape({path!r}).hash)"]
    out_cli = subprocess.run(cli, check=True, capture_output=True, text=True).stdout
    out_lib = subprocess.run(library, check=True, capture_output=True, text=True).stdout
    assert out_cli.split()[0] == out_lib.strip()
    t_cli, t_lib = interleaved(lambda: subprocess.run(cli, check=True, capture_output=True),
                               lambda: subprocess.run(library, check=True, capture_output=True), 3)
    ratio = t_cli / t_lib
    print(f"tessary shape, 1 GiB file       {t_cli:7.3f} s  vs library call {t_lib:7.3f} s"
          f"  ratio {ratio:5.2f}x  goal <= 1.1x {'met' if ratio <= 1.1 else 'MISSED'}")


if __name__ == "__main__":
    calls()
    streaming()
    with tempfile.TemporaryDirectory() as folder:
        threads(folder)
        command(folder)
