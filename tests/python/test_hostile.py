"""Hostile callers: each case runs in a child interpreter, which must end cleanly.

A clean end is exit status 0 with "ok" as the last line: no signal death, no
hang, the expected exceptions, and the module still usable afterwards.
"""
import subprocess
import sys
import textwrap

import pytest

# Calls `fn` with `kw` as the keyword dict itself (no copy), as
# _thread.start_new_thread and C callers do; plain f(**kw) would copy it.
PRELUDE = """
import ctypes, _tessary
from _tessary import delta, receipts, shapes, Client
_call = ctypes.pythonapi.PyObject_Call
_call.restype = ctypes.py_object
_call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
def call_kw(fn, kw):
    try:
        return _call(fn, (), kw)
    except Exception as e:
        return e

def big(c):
    # Held only by the keyword dict: freed (and unmapped) the moment it is cleared.
    return c * (8 << 20)

class Clears:
    def __init__(self, kw, value):
        self.kw, self.value = kw, value
    def _clear(self):
        self.kw.clear()
    def __len__(self):
        self._clear(); return 1
    def __getitem__(self, i):
        self._clear()
        if i: raise IndexError
        return "t"
    def __iter__(self):
        self._clear(); return iter(["t"])
    def __float__(self):
        self._clear(); return self.value
    def __index__(self):
        self._clear(); return 3
"""

CASES = {
    "keywords cleared while converting": """
        for fn in (_tessary.record_work_py, receipts.record_work_py, Client().record_work):
            kw = {"workload_id": big("w"), "payload": {"k": big("p")}, "trace_id": big("t"), "parent_id": big("q")}
            kw["tags"] = Clears(kw, 0)
            r = call_kw(fn, kw)
            assert isinstance(r, (receipts.PyReceipt, Exception)), r
        for fn in (delta.decide_reuse_py, delta.economic_delta_py):
            kw = {"cost_model": {"c_id": 1.0, "c_comp": 2.0, "alpha": 0.5, big("x"): 1}}
            kw["overlap_j"] = Clears(kw, 0.5)
            call_kw(fn, kw)
            kw = {"overlap_j": 0.5, "cost_model": {"c_id": 1.0, "c_comp": 2.0, "alpha": 0.5, big("x"): 1}}
            kw["row_count"] = Clears(kw, 0)
            call_kw(fn, kw)
        kw = {"function_name": "f", "output_type": big("o")}
        kw["input_types"] = Clears(kw, 0)
        call_kw(shapes.compute_method_shape_hash_from_signature_py, kw)
        kw = {"set2": [big("b")]}
        kw["set1"] = Clears(kw, 0)
        call_kw(delta.jaccard_similarity_py, kw)
    """,
    "types refuse objects without native state": """
        import copy, pickle
        PyReceipt = receipts.PyReceipt
        r = _tessary.record_work_py("w", {})
        attempts = [
            lambda: setattr(PyReceipt, "__new__", staticmethod(lambda cls: object.__new__(cls))),
            lambda: object.__new__(PyReceipt),
            lambda: type("Sub", (PyReceipt,), {}),
            lambda: copy.copy(r), lambda: pickle.dumps(r), lambda: pickle.dumps(Client()),
        ]
        for attempt in attempts:
            try:
                attempt()
            except TypeError:
                pass
        # Whatever got through, no method reaches a missing receipt.
        for maker in (lambda: PyReceipt(), lambda: PyReceipt.__new__(PyReceipt)):
            try:
                obj = maker()
            except TypeError:
                continue
            for name in ("get_rid", "to_json", "validate", "compute_hash", "get_workload_id"):
                try:
                    getattr(obj, name)()
                    raise AssertionError(name)
                except TypeError:
                    pass
            for use in (_tessary.verify_receipt_py, Client().verify_receipt):
                try:
                    use(obj)
                    raise AssertionError(use)
                except TypeError:
                    pass
        if sys.version_info >= (3, 10):
            for t in (PyReceipt, Client):
                try:
                    t.__new__ = staticmethod(lambda cls: None)
                    raise AssertionError("mutable " + t.__name__)
                except TypeError:
                    pass
        assert _tessary.verify_receipt_py(r)
    """,
    "json blocked in sys.modules raises ImportError": """
        sys.modules["json"] = None
        calls = [lambda: _tessary.record_work_py("w", {}), lambda: Client().record_work("w", {}),
                 lambda: shapes.compute_method_shape_hash_from_code_py("c", {"a": 1})]
        for c in calls:
            try:
                c()
                raise AssertionError("no error")
            except ImportError:
                pass
    """,
    "identifiers stay unique across a raw fork": """
        import os
        _tessary.record_work_py("w", {})  # the reserve is now part used
        r, w = os.pipe()
        pid = ctypes.CDLL(None).syscall(57)  # fork(2) itself, past every at-fork handler
        ids = [_tessary.record_work_py("w", {}).get_rid() for _ in range(40)]
        if pid == 0:
            os.write(w, "\\n".join(ids).encode())
            os._exit(0)
        os.close(w)
        child = b""
        while chunk := os.read(r, 65536):
            child += chunk
        os.waitpid(pid, 0)
        child_ids = child.decode().split()
        assert len(child_ids) == 40 and not set(ids) & set(child_ids), "shared identifiers"
    """,
    "store passes over files that are not receipts": """
        import os, tempfile
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
        found = client.list_receipts()
        assert sorted(x.get_rid() for x in found) == [rec.get_rid()] * 2, found
        client.store_receipt(client.record_work("w2", {}))
        assert len(client.list_receipts()) == 3
    """,
    "long hashing ends at Ctrl-C or the handler's exception": """
        import os, signal, subprocess, tempfile
        def interrupted(call, expected=KeyboardInterrupt):
            # Another process sends the signal: no thread here can run while the call holds the lock.
            killer = subprocess.Popen(["sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
            try:
                call()
                raise AssertionError("not interrupted")
            except expected:
                pass
            finally:
                killer.wait()
        fifo = os.path.join(tempfile.mkdtemp(), "fifo")
        os.mkfifo(fifo)
        interrupted(lambda: shapes.compute_data_shape_hash_from_file_py("/dev/zero"))
        interrupted(lambda: shapes.compute_data_shape_hash_from_file_py(fifo))  # open waits for a writer
        data = bytes(4 << 30)  # zero pages, untouched until hashed
        def alarm(*_):
            raise OSError("from the handler")
        signal.signal(signal.SIGINT, alarm)
        interrupted(lambda: shapes.compute_data_shape_hash_from_bytes_py(data), OSError)
        assert shapes.compute_data_shape_hash_from_bytes_py(b"abc").startswith("sha256:")
    """,
}


@pytest.mark.parametrize("name", list(CASES))
def test_hostile_caller_ends_cleanly(name):
    script = PRELUDE + "import sys\n" + textwrap.dedent(CASES[name]) + "\nprint('ok')\n"
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout.strip().endswith("ok"), (proc.returncode, proc.stdout, proc.stderr[-3000:])
    if name == "store passes over files that are not receipts":
        warned = [line for line in proc.stderr.splitlines() if line.startswith("Warning: Failed to parse receipt file ")]
        assert sorted(line.split(": ", 2)[1].rsplit("/", 1)[1] for line in warned) == ["fifo.json"] * 2 + ["huge.json"] * 2 + ["zero.json"] * 2
        assert any(line.endswith("zero.json: not a regular file") for line in warned)
        assert any(line.endswith("huge.json: larger than the receipt size limit of 64 MiB") for line in warned)
