"""Hostile callers: each case runs in a child interpreter, which must end cleanly.

A clean end is exit status 0 with "ok" as the last line: no signal death, no
hang, the expected exceptions, and the module still usable afterwards.
"""
import pathlib
import subprocess
import sys
import textwrap

import pytest

PRELUDE = """
import os, sys, _tessary
from _tessary import delta, receipts, shapes, Client
from hostile_objects import Probe, call_kw, raises, tolerated
def big(c):
    # Held only by the keyword dict: freed (and unmapped) the moment it is cleared.
    return c * (8 << 20)
def clearing(kw, name):
    kw[name] = Probe("clear", kw)
    return kw
"""

CASES = {
    "keywords cleared while converting": """
        model = lambda: {"c_id": 1.0, "c_comp": 2.0, "alpha": 0.5, big("x"): 1}
        for fn in (_tessary.record_work_py, receipts.record_work_py, Client().record_work):
            kw = {"workload_id": big("w"), "payload": {"k": big("p")}, "trace_id": big("t"), "parent_id": big("q")}
            r = tolerated(Exception, lambda: call_kw(fn, (), clearing(kw, "tags")))
            assert r is None or isinstance(r, receipts.PyReceipt), r
        for fn in (delta.decide_reuse_py, delta.economic_delta_py):
            tolerated(Exception, lambda: call_kw(fn, (), clearing({"cost_model": model()}, "overlap_j")))
            tolerated(Exception, lambda: call_kw(fn, (), clearing({"overlap_j": 0.5, "cost_model": model()}, "row_count")))
        kw = clearing({"function_name": "f", "output_type": big("o")}, "input_types")
        tolerated(Exception, lambda: call_kw(shapes.compute_method_shape_hash_from_signature_py, (), kw))
        tolerated(Exception, lambda: call_kw(delta.jaccard_similarity_py, (), clearing({"set2": [big("b")]}, "set1")))
    """,
    "types refuse objects without native state": """
        import copy, pickle
        PyReceipt = receipts.PyReceipt
        r = _tessary.record_work_py("w", {})
        for attempt in [lambda: setattr(PyReceipt, "__new__", staticmethod(lambda cls: object.__new__(cls))),
                        lambda: object.__new__(PyReceipt), lambda: type("Sub", (PyReceipt,), {}),
                        lambda: copy.copy(r), lambda: pickle.dumps(r), lambda: pickle.dumps(Client())]:
            tolerated(TypeError, attempt)
        # Whatever got through, no method reaches a missing receipt.
        for obj in (tolerated(TypeError, PyReceipt), tolerated(TypeError, lambda: PyReceipt.__new__(PyReceipt))):
            if obj is not None:
                for name in ("get_rid", "to_json", "validate", "compute_hash", "get_workload_id"):
                    raises(TypeError, getattr(obj, name))
                raises(TypeError, _tessary.verify_receipt_py, obj)
                raises(TypeError, Client().verify_receipt, obj)
        if sys.version_info >= (3, 10):
            for t in (PyReceipt, Client):
                raises(TypeError, setattr, t, "__new__", staticmethod(lambda cls: None))
        assert _tessary.verify_receipt_py(r)
    """,
    "json blocked in sys.modules raises ImportError": """
        sys.modules["json"] = None
        raises(ImportError, _tessary.record_work_py, "w", {})
        raises(ImportError, Client().record_work, "w", {})
        raises(ImportError, shapes.compute_method_shape_hash_from_code_py, "c", {"a": 1})
    """,
    "identifiers stay unique across a raw fork": """
        import ctypes
        _tessary.record_work_py("w", {})  # the reserve is now part used
        r, w = os.pipe()
        pid = ctypes.CDLL(None).syscall(57)  # fork(2) itself, past every at-fork handler
        ids = [_tessary.record_work_py("w", {}).get_rid() for _ in range(40)]
        if pid == 0:
            os.write(w, "\\n".join(ids).encode())
            os._exit(0)
        os.close(w)
        with os.fdopen(r, "rb") as pipe:
            child_ids = pipe.read().decode().split()
        os.waitpid(pid, 0)
        assert len(child_ids) == 40 and not set(ids) & set(child_ids), "shared identifiers"
    """,
    "store passes over files that are not receipts": """
        import tempfile
        base = tempfile.mkdtemp()
        client = Client(base)
        rec = client.record_work("w", {})
        client.store_receipt(rec)
        d = os.path.join(base, "receipts")
        os.symlink("/dev/zero", os.path.join(d, "zero.json"))
        os.mkfifo(os.path.join(d, "fifo.json"))
        with open(os.path.join(d, "huge.json"), "wb") as f:
            f.truncate(65 << 20)
        os.symlink(os.path.join(d, rec.get_rid() + ".json"), os.path.join(d, "link.json"))
        assert sorted(x.get_rid() for x in client.list_receipts()) == [rec.get_rid()] * 2
        client.store_receipt(client.record_work("w2", {}))
        assert len(client.list_receipts()) == 3
    """,
    "long hashing ends at Ctrl-C or the handler's exception": """
        import signal, subprocess, tempfile, textwrap
        # The call holds the interpreter lock throughout, so the signal comes from
        # another process, and only once that process has seen the call at work.
        FEED = '''
            import os, signal, sys
            fifo, target, after = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
            fd = os.open(fifo, os.O_WRONLY)  # returns once the call has opened the FIFO
            piece, sent, raised = bytes(1 << 16), 0, False
            try:
                while sent < 1 << 30:  # a budget: a lost signal fails the case instead of hanging it
                    if not raised and sent >= after:  # past the pipe buffer: the call is reading
                        os.kill(target, signal.SIGINT)
                        raised = True
                    sent += os.write(fd, piece)
            except BrokenPipeError:
                pass
        '''
        WATCH = '''
            import os, signal, sys, time
            target = int(sys.argv[1])
            def faults():  # minor page faults: the zero pages the hash has read so far
                with open(f"/proc/{target}/stat") as f:
                    return int(f.read().rsplit(")", 1)[1].split()[7])
            sys.stdin.buffer.read(1)  # the call is about to start
            start = faults()
            while faults() - start < 256:  # hundreds of pages in: the call is hashing
                time.sleep(0.001)
            os.kill(target, signal.SIGINT)
        '''
        def interrupted(call, helper, *args, expected=KeyboardInterrupt):
            process = subprocess.Popen([sys.executable, "-c", textwrap.dedent(helper), *args], stdin=subprocess.PIPE)
            try:
                process.stdin.write(b"g")
                process.stdin.flush()
                raises(expected, call)
            finally:
                process.kill()
                process.wait()
        fifo = os.path.join(tempfile.mkdtemp(), "fifo")
        os.mkfifo(fifo)
        me = str(os.getpid())
        for after in ("0", str(2 << 20)):  # just opened (open waits for the writer); inside the read loop
            interrupted(lambda: shapes.compute_data_shape_hash_from_file_py(fifo), FEED, fifo, me, after)
        data = bytes(4 << 30)  # zero pages, untouched until hashed
        def alarm(*_):
            raise OSError("from the handler")
        signal.signal(signal.SIGINT, alarm)
        interrupted(lambda: shapes.compute_data_shape_hash_from_bytes_py(data), WATCH, me, expected=OSError)
        assert shapes.compute_data_shape_hash_from_bytes_py(b"abc").startswith("sha256:")
    """,
}


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_caller_ends_cleanly(name):
    script = PRELUDE + textwrap.dedent(CASES[name]) + "\nprint('ok')\n"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          cwd=pathlib.Path(__file__).parent)
    assert proc.returncode == 0 and proc.stdout.strip().endswith("ok"), (proc.returncode, proc.stdout, proc.stderr[-3000:])
    if name == "store passes over files that are not receipts":
        warned = [line for line in proc.stderr.splitlines() if line.startswith("Warning: Failed to parse receipt file ")]
        assert sorted(line.split(": ", 2)[1].rsplit("/", 1)[1] for line in warned) == ["fifo.json"] * 2 + ["huge.json"] * 2 + ["zero.json"] * 2
        assert any(line.endswith("zero.json: not a regular file") for line in warned)
        assert any(line.endswith("huge.json: larger than the receipt size limit of 64 MiB") for line in warned)
