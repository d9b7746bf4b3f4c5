"""Auditing a store: throughput and memory.

1. 100,000 receipts made by tessary.record (every third one the child of the
   one before) are stored in a directory store, then audited in a fresh
   interpreter: receipts per second, and the peak resident memory of that
   interpreter (ru_maxrss) above its resident size just after importing tessary.
2. The identifier and edge structures alone, for 1,000,000 synthetic
   identifiers in a chain: bytes per receipt, measured with tracemalloc.

    python bench/bench_audit.py [N]
"""
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
import tracemalloc
import uuid

# The store is made and audited by children of a parent that has not imported
# tessary: a child's ru_maxrss starts from the resident size of the process it
# was forked from, so the parent is kept small.


def make_store(path, n):
    import tessary

    receipts = []
    previous = None
    with tessary.DirectoryStore(path) as store:
        for i in range(n):
            parent = previous if previous is not None and i % 3 else None
            receipt = tessary.record("wl-%d" % (i % 50), {"batch": i, "rows": 1000 + i}, parent=parent)
            receipts.append(receipt)
            previous = receipt
            if len(receipts) == 5000:
                store.store_many(receipts)
                receipts = []
        store.store_many(receipts)


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def audit_here(path):
    import tessary

    base = resident_kib()
    t0 = time.perf_counter()
    report = tessary.audit(path)
    seconds = time.perf_counter() - t0
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print(json.dumps({"receipts": report.receipts, "ok": report.ok, "counts": report.counts,
                      "seconds": seconds, "base_kib": base, "peak_kib": peak}))


def child(*args):
    out = subprocess.run([sys.executable, __file__, *args], check=True, capture_output=True, text=True).stdout
    return out


def structures(n):
    from tessary.audit import _Graph, _key

    ids = [str(uuid.UUID(int=(i * 0x9E3779B97F4A7C15 + 12345) % (1 << 128), version=4)) for i in range(n)]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    graph = _Graph()
    previous = None
    for rid in ids:
        key = _key(rid)
        graph.add_receipt(key)
        graph.add_edges(key, iter(()) if previous is None else iter((previous,)))
        previous = key
    held = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.reset_peak()
    names = graph.names()
    dangling = sum(1 for _ in graph.dangling())
    cycles = sum(1 for _ in graph.cycles())
    peak = tracemalloc.get_traced_memory()[1] - before
    tracemalloc.stop()
    assert dangling == 0 and cycles == 0 and len(names) == n
    return held, peak


def main():
    if sys.argv[1:2] == ["--make"]:
        return make_store(sys.argv[2], int(sys.argv[3]))
    if sys.argv[1:2] == ["--audit"]:
        return audit_here(sys.argv[2])
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    with tempfile.TemporaryDirectory() as tmp:
        t0 = time.perf_counter()
        child("--make", tmp, str(n))
        print(f"stored {n:,} receipts in {time.perf_counter() - t0:.1f} s")
        result = json.loads(child("--audit", tmp))
        assert result["receipts"] == n and result["ok"], result
        rate = n / result["seconds"]
        extra = (result["peak_kib"] - result["base_kib"]) / 1024
        print(f"audit of {n:,} receipts: {result['seconds']:.2f} s, {rate:,.0f} receipts/s")
        print(f"audit peak memory above the imported interpreter: {extra:.1f} MiB "
              f"({extra * 1024 * 1024 / n:.0f} bytes per receipt; base {result['base_kib'] / 1024:.1f} MiB)")
    m = 1_000_000
    held, peak = structures(m)
    print(f"identifiers and edges for {m:,} receipts in a chain: {held / m:.0f} bytes per receipt held, "
          f"{peak / m:.0f} bytes per receipt at the peak of the link and cycle checks "
          f"({held / 2**20:.0f} MiB, {peak / 2**20:.0f} MiB)")


if __name__ == "__main__":
    main()
