"""Hostile callers of the native modules.

Each scripted case runs in a child interpreter, which must end cleanly: exit status 0 with "ok" as the last line, no
signal death, no hang, the expected exceptions, and the module still usable afterwards. Then every entry point is fed
hostile objects in process: protocol methods that raise, return the wrong type or clear the container the object came
in; dict and str subclasses; huge and negative integers. It must end in a result or an ordinary exception; a SystemError
means the module broke the C API's rules."""
import inspect
import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import _tessary
from _tessary import Client, delta, receipts, shapes
from hostile_objects import Hostile, Probe, call_kw
from tessary import _native

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


class OddDict(dict):
    def __getitem__(self, key): raise Hostile()
    def items(self): raise Hostile()


class OddStr(str):
    def __str__(self): raise Hostile()
    def __eq__(self, other): raise Hostile()
    __hash__ = str.__hash__


plain = st.one_of(
    st.none(), st.booleans(), st.integers(min_value=-(2**200), max_value=2**200),
    st.sampled_from([-1, 2**64, 2**63, -(2**63) - 1, float("nan"), float("inf"), -0.0]),
    st.floats(), st.text(max_size=8), st.binary(max_size=8), st.builds(OddStr, st.text(max_size=4)),
    st.builds(lambda v: OddDict({"c_id": v, "alpha": v}), st.floats()),
    st.dictionaries(st.text(max_size=4), st.integers() | st.text(max_size=4), max_size=3),
    st.lists(st.text(max_size=4) | st.integers(), max_size=3),
)
behaviours = st.sampled_from(["raise", "clear", None, "x", 3.5, -1, 2**70, b"b", [], {}])

RECEIPT = _tessary.record_work_py("w", {"k": 1})
STORE_DIR = tempfile.mkdtemp()
DATA_FILE = os.path.join(STORE_DIR, "data")
with open(DATA_FILE, "wb") as f:
    f.write(b"abc" * 100)

# A good value for every parameter, so that a call gets past the others to
# the one (or the element of one) that is hostile.
VALID = {
    "workload_id": "w", "payload": {"k": [1, 2.5]}, "tags": ["t"], "trace_id": "t", "parent_id": "p",
    "receipt": RECEIPT, "overlap_j": 0.5, "cost_model": {"c_id": 1.0, "c_comp": 2.0, "alpha": 0.5},
    "row_count": 10, "set1": ["a", "b"], "set2": ["b"], "json_str": RECEIPT.to_json(), "data": b"abc" * 100,
    "path": DATA_FILE, "chunk_scheme": {"type": "cdc", "avg_size": 64}, "code_hash": "sha256:" + "0" * 64,
    "params": {"a": 1}, "function_name": "f", "input_types": ["int"], "output_type": "int", "limit": 5,
    "workload": "w", "storage_path": STORE_DIR,
    # the package's native helper
    "kind": 0, "size": 64, "keep_chunks": True, "texts": [RECEIPT.to_json()], "trace": "t", "policy": "p",
    "change_epoch": "e", "pac": bytes(32), "start": 0, "end": 2**40, "n": 2,
}
# Where one parameter name means different things to two entry points.
OVERRIDES = {_native.shape_of_file: {"path": os.fsencode(DATA_FILE)}, _native.Store: {"path": STORE_DIR}}


def entry_points():
    clients = [Client(), Client(STORE_DIR)]
    points = [getattr(m, n) for m in (_tessary, delta, receipts, shapes) for n in dir(m)
              if not n.startswith("_") and callable(getattr(m, n)) and not isinstance(getattr(m, n), type)]
    points += [getattr(c, n) for c in clients for n in dir(Client) if not n.startswith("_")]
    points += [getattr(RECEIPT, n) for n in dir(receipts.PyReceipt) if not n.startswith("_")]
    points += [Client, receipts.PyReceipt]
    hasher, store = _native.Hasher(0, 64, True), _native.Store(STORE_DIR)
    points += [_native.Hasher, _native.Store, _native.shape_of_buffer, _native.shape_of_file, hasher.update,
               hasher.copy, store.store_many, store.query, store.cursor, store.cursor().next_batch]
    return points


POINTS = entry_points()


@settings(max_examples=int(os.environ.get("HOSTILE_EXAMPLES", 400)), deadline=None, suppress_health_check=list(HealthCheck))
@given(st.sampled_from(POINTS), st.data())
def test_entry_points_survive_hostile_arguments(fn, data):
    try:
        names = [p.name for p in inspect.signature(fn).parameters.values()]
    except ValueError:
        names = ["storage_path"]
    kwargs = {}
    valid = {**VALID, **OVERRIDES.get(fn, {})}
    for name in names:
        good = valid.get(name)
        how = data.draw(st.sampled_from(["valid", "valid", "probe", "plain", "inside"]), label=name)
        hostile = Probe(data.draw(behaviours), kwargs) if data.draw(st.booleans()) else data.draw(plain)
        if how == "valid":
            kwargs[name] = good
        elif how == "inside" and isinstance(good, list):
            kwargs[name] = good + [hostile]
        elif how == "inside" and isinstance(good, dict):
            kwargs[name] = {**good, next(iter(good)): hostile}
        else:
            kwargs[name] = hostile
    positional = data.draw(st.booleans(), label="positional")
    cwd = os.getcwd()
    os.chdir(STORE_DIR)  # a client opened on a generated name lands here
    try:
        if positional:
            fn(*kwargs.values())
        else:
            call_kw(fn, (), kwargs)  # the dict itself, not a copy: a probe may clear it mid-call
    except SystemError:
        raise
    except Exception:
        pass
    finally:
        os.chdir(cwd)
    assert _tessary.verify_receipt_py(RECEIPT)
