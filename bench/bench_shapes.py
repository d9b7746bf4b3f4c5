"""Data shape hashes against SHA-256 itself and against FastCDC in Python.

Goals (throughput ratio = peer time / our time, measured in this run):
  bytes, 64 MiB random, default CDC       >= 0.75x  hashlib.sha256(data).digest()
  bytes, 64 MiB random, Fixed 65536       >= 0.90x  hashlib.sha256(data).digest()
  bytes, 64 MiB random, default CDC       >= 1.5x   pyfastcdc (avg 65536) + hashlib.sha256 per chunk
  file, 512 MiB, default CDC              >= 0.70x  hashlib.file_digest(f, "sha256")
  file, 512 MiB: peak memory growth       <= 64 MiB (measured in a fresh process)
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import time

from pyfastcdc import FastCDC

from _tessary import shapes

MIB = 1 << 20


def best_of(fn, rounds):
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def interleaved(ours, peer, rounds=5):
    t_ours = t_peer = float("inf")
    for _ in range(rounds):
        t_ours = min(t_ours, best_of(ours, 1))
        t_peer = min(t_peer, best_of(peer, 1))
    return t_ours, t_peer


def line(name, size, ours, peer_name, peer, goal, ok):
    mbps = lambda t: size / MIB / t
    print(
        f"{name:<34} {mbps(ours):8.0f} MiB/s  vs {peer_name:<34} {mbps(peer):8.0f} MiB/s"
        f"  ratio {peer / ours:5.2f}x  goal {goal:<8} {'met' if ok else 'MISSED'}"
    )


PEAK_CHILD = r"""
import resource, sys
from _tessary import shapes
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
shapes.compute_data_shape_hash_from_file_py(sys.argv[1])
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print((after - before) * 1024)
"""


def main():
    data = os.urandom(64 * MIB)

    ours, peer = interleaved(lambda: shapes.compute_data_shape_hash_from_bytes_py(data), lambda: hashlib.sha256(data).digest())
    line("bytes 64 MiB, CDC 65536", len(data), ours, "hashlib.sha256", peer, ">= 0.75x", peer / ours >= 0.75)

    fixed = {"type": "fixed", "size": 65536}
    ours, peer = interleaved(
        lambda: shapes.compute_data_shape_hash_from_bytes_py(data, fixed), lambda: hashlib.sha256(data).digest()
    )
    line("bytes 64 MiB, Fixed 65536", len(data), ours, "hashlib.sha256", peer, ">= 0.90x", peer / ours >= 0.90)

    cdc = FastCDC(avg_size=65536)

    def fastcdc_and_sha():
        return [hashlib.sha256(c.data).digest() for c in cdc.cut_buf(data)]

    ours, peer = interleaved(lambda: shapes.compute_data_shape_hash_from_bytes_py(data), fastcdc_and_sha, rounds=3)
    line("bytes 64 MiB, CDC 65536", len(data), ours, "pyfastcdc + hashlib.sha256/chunk", peer, ">= 1.5x", peer / ours >= 1.5)

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.bin")
        with open(path, "wb") as f:
            for _ in range(8):
                f.write(os.urandom(64 * MIB))
        size = os.path.getsize(path)

        def file_digest():
            with open(path, "rb") as f:
                return hashlib.file_digest(f, "sha256").digest()

        ours, peer = interleaved(lambda: shapes.compute_data_shape_hash_from_file_py(path), file_digest, rounds=3)
        line("file 512 MiB, CDC 65536", size, ours, "hashlib.file_digest", peer, ">= 0.70x", peer / ours >= 0.70)

        growth = int(subprocess.run([sys.executable, "-c", PEAK_CHILD, path], capture_output=True, text=True, check=True).stdout)
        ok = growth <= 64 * MIB
        print(f"{'file 512 MiB, peak memory growth':<34} {growth / MIB:8.1f} MiB  goal <= 64 MiB {'met' if ok else 'MISSED'}")


if __name__ == "__main__":
    main()
