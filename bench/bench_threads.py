"""One input's data shape on every core, against SHA-256 and FastCDC on one thread.

Goals (throughput ratio = peer time / our time, measured in this run; the
threaded goals assume 2 cores, and scale with the cores this process may use):
  file 1 GiB, default CDC, all cores       >= 1.8x  hashlib.sha256 over the file, one thread
  buffer 256 MiB, default CDC, all cores   >= 1.8x  hashlib.sha256(data)
  buffer 256 MiB, default CDC, all cores   >= 2.5x  pyfastcdc (avg 65536) + hashlib.sha256 per chunk
  file 1 GiB: peak memory over the bare interpreter's, /usr/bin/time -v   <= 64 MiB
  buffer 256 MiB, CDC 50000, one thread    >= 0.85x hashlib.sha256(data)
Run with --quick for a 1/8-size run. Figures on a shared machine vary: run it several times.
Each line also gives the ratio of CPU time (all threads of the process): on a
loaded machine it is the steadier figure for one-thread comparisons, and for
the threaded lines it shows what the threads cost beyond the work itself.
"""
import hashlib
import os
import re
import resource
import subprocess
import sys
import tempfile
import time

import tessary
from tessary import CDC

MIB = 1 << 20
CORES = len(os.sched_getaffinity(0))


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


class Timing:
    """Best wall time and best CPU time over the runs of one side."""

    def __init__(self):
        self.wall = self.cpu = float("inf")

    def run(self, fn):
        wall, cpu = time.perf_counter(), cpu_seconds()
        fn()
        self.wall = min(self.wall, time.perf_counter() - wall)
        self.cpu = min(self.cpu, cpu_seconds() - cpu)


def interleaved(ours, peer, rounds):
    t_ours, t_peer = Timing(), Timing()
    for _ in range(rounds):
        t_ours.run(ours)
        t_peer.run(peer)
    return t_ours, t_peer


def line(name, size, ours, peer_name, peer, goal):
    ratio = peer.wall / ours.wall
    print(f"{name:<40} {size / MIB / ours.wall:6.0f} MiB/s  vs {peer_name:<33} {size / MIB / peer.wall:6.0f} MiB/s"
          f"  ratio {ratio:5.2f}x (cpu {peer.cpu / ours.cpu:4.2f}x)  goal >= {goal:.2f}x {'met' if ratio >= goal else 'MISSED'}")


def peak_rss(code, *args):
    """Maximum resident set size in bytes of a fresh interpreter running `code`, as /usr/bin/time -v reports it."""
    done = subprocess.run(["/usr/bin/time", "-v", sys.executable, "-c", code, *args],
                          capture_output=True, text=True, check=True)
    return int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1)) * 1024


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").digest()


def main():
    scale = 8 if "--quick" in sys.argv else 1
    rounds = 3
    data = os.urandom(256 * MIB // scale)
    print(f"{CORES} cores; tessary threads={CORES} unless stated")

    ours, peer = interleaved(lambda: tessary.data_shape(data), lambda: hashlib.sha256(data).digest(), rounds)
    line(f"buffer {len(data) // MIB} MiB, CDC 65536", len(data), ours, "hashlib.sha256", peer, 1.8)
    ours, single = interleaved(lambda: tessary.data_shape(data), lambda: tessary.data_shape(data, threads=1), rounds)
    line(f"buffer {len(data) // MIB} MiB, CDC 65536, {CORES} vs 1", len(data), ours, "tessary threads=1", single, 0.8 * CORES)

    try:
        from pyfastcdc import FastCDC
    except ImportError:
        print("pyfastcdc is not installed: its comparison is left out")
    else:
        cdc = FastCDC(avg_size=65536)
        ours, peer = interleaved(lambda: tessary.data_shape(data),
                                 lambda: [hashlib.sha256(c.data).digest() for c in cdc.cut_buf(data)], rounds)
        line(f"buffer {len(data) // MIB} MiB, CDC 65536", len(data), ours, "pyfastcdc + hashlib.sha256/chunk", peer, 2.5)

    ours, peer = interleaved(lambda: tessary.data_shape(data, scheme=CDC(50000), threads=1),
                             lambda: hashlib.sha256(data).digest(), rounds)
    line(f"buffer {len(data) // MIB} MiB, CDC 50000, 1 thread", len(data), ours, "hashlib.sha256", peer, 0.85)
    ours, peer = interleaved(lambda: tessary.data_shape(data, scheme=CDC(50000), threads=1),
                             lambda: tessary.data_shape(data, threads=1), rounds)
    line(f"buffer {len(data) // MIB} MiB, CDC 50000 vs 65536, 1 thread", len(data), ours, "tessary CDC 65536", peer, 0.9)
    del data

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "big.bin")
        with open(path, "wb") as f:
            for _ in range(16 // scale):
                f.write(os.urandom(64 * MIB))
        size = os.path.getsize(path)
        ours, peer = interleaved(lambda: tessary.data_shape(path), lambda: file_digest(path), rounds)
        line(f"file {size // MIB} MiB, CDC 65536", size, ours, "hashlib.file_digest", peer, 1.8)

        baseline = peak_rss("import tessary")
        shaped = peak_rss("import sys, tessary; tessary.data_shape(sys.argv[1])", path)
        growth = shaped - baseline
        print(f"{'file ' + str(size // MIB) + ' MiB, peak memory growth':<36} {growth / MIB:7.1f} MiB  "
              f"(/usr/bin/time -v, over 'import tessary')  goal <= 64 MiB {'met' if growth <= 64 * MIB else 'MISSED'}")


if __name__ == "__main__":
    main()
