"""`tessary run`: a command as a tracked step, in a process of its own as users run it."""
import hashlib
import json
import os
import pathlib
import signal
import subprocess
import sys
import time
from typing import Any, Dict, List, Optional

import pytest

import tessary
from step_helpers import check_execution, check_spend

PYTHONPATH = os.pathsep.join(p for p in sys.path if p)


def tessary_run(cwd: pathlib.Path, *args: str, **popen: Any) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=PYTHONPATH)
    return subprocess.run([sys.executable, "-m", "tessary", "run", *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300, **popen)


def executions(store: pathlib.Path) -> List[tessary.Receipt]:
    if not store.exists():
        return []
    found = [r for r in tessary.DirectoryStore(store).iter() if r.kind is tessary.ReceiptKind.EXECUTION]
    return sorted(found, key=lambda r: r.timestamp)


def spend_of(store: pathlib.Path, execution: tessary.Receipt) -> tessary.Receipt:
    (spend,) = [r for r in tessary.DirectoryStore(store).iter() if r.kind is tessary.ReceiptKind.SPEND
                and r.links == (execution.rid,)]
    return spend


def _method(argv: List[str], code: List[pathlib.Path]) -> Dict[str, Any]:
    return {"kind": "command", "argv": argv,
            "code": [{"path": p.name, "sha256": hashlib.sha256(p.read_bytes()).hexdigest()} for p in code]}


FAIL = "open('out.txt', 'w').write('partial'); "


@pytest.mark.parametrize("args, code, line", [
    (["fails", "-i", "in.txt", "-o", "out.txt", "--", sys.executable, "-c", FAIL + "raise SystemExit(3)"], 3, None),
    (["fails", "-i", "in.txt", "-o", "out.txt", "--", sys.executable, "-c",
      FAIL + "import os, signal; os.kill(os.getpid(), signal.SIGTERM)"], 128 + 15, None),
    (["lazy", "-o", "never.txt", "--", "true"], 1, "tessary run: output never.txt was not written"),
    (["ghost", "--", "no-such-command-anywhere"], 127, "tessary run: no-such-command-anywhere: command not found"),
    (["s"], 2, "no command given"), (["s", "--param", "novalue", "--", "true"], 2, "KEY=VALUE"),
])
def test_a_step_that_fails_exits_with_its_code_says_why_and_vouches_for_nothing(
        tmp_path: pathlib.Path, args: List[str], code: int, line: Optional[str]) -> None:
    (tmp_path / "in.txt").write_text("in")
    result = tessary_run(tmp_path, "--store", "st", *args)
    assert result.returncode == code
    if line is not None:
        (said,) = result.stderr.strip().splitlines()
        assert line in said
    if code in (2, 127):  # the command never ran: nothing is recorded
        assert executions(tmp_path / "st") == []
        return
    (receipt,) = executions(tmp_path / "st")  # the command ran: its step is a failure that vouches for no output
    assert receipt.attest["status"] == "failed" and dict(receipt.attest["products"]) == {}
    assert "output_digest" not in receipt.payload
    if args[0] == "fails":
        argv = args[args.index("--") + 1:]
        check_execution(receipt, inputs=[("in.txt", tmp_path / "in.txt")], outputs=[], params={},
                        method=_method(argv, []), succeeded=False)
        assert receipt.attest["exit_status"] == code


# The child reads its own usage last and skips the interpreter's shutdown (os._exit), so that what
# the step meters after it is a write and an exit, not a teardown whose cost varies with the build.
BURN = """
import os, resource, time
end = time.process_time() + 0.4
while time.process_time() < end:
    pass
usage = resource.getrusage(resource.RUSAGE_SELF)
with open('cpu.txt', 'w') as f:
    f.write(repr(usage.ru_utime + usage.ru_stime))
os._exit(0)
"""


def test_spend_cpu_agrees_with_the_childs_own_rusage(tmp_path: pathlib.Path) -> None:
    result = tessary_run(tmp_path, "burn", "--json", "--store", "st", "--", sys.executable, "-c", BURN)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout.strip().splitlines()[-1])
    (receipt,) = executions(tmp_path / "st")
    meter = check_spend(spend_of(tmp_path / "st", receipt), receipt)
    own = float((tmp_path / "cpu.txt").read_text())
    assert abs(meter["vcpu_sec"] - own) <= 0.1 * own
    assert meter["vcpu_sec"] == pytest.approx(report["rusage"]["user_sec"] + report["rusage"]["system_sec"])
    assert report["execution"] == receipt.rid and report["status"] == "succeeded"


def _popen(cwd: pathlib.Path, *args: str) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=PYTHONPATH)
    return subprocess.Popen([sys.executable, "-m", "tessary", "run", *args], cwd=cwd, env=env, text=True,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


WAITER = "import os, threading; print('started', os.getpid(), flush=True); threading.Event().wait()"


def test_ctrl_c_during_the_command_stops_it_and_records_a_failure(tmp_path: pathlib.Path) -> None:
    proc = _popen(tmp_path, "wait", "-o", "out.txt", "--store", "st", "--", sys.executable, "-c", WAITER)
    assert proc.stdout is not None
    line = proc.stdout.readline()  # the handshake: the child runs
    assert line.startswith("started"), proc.communicate()
    child = int(line.split()[1])
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    with pytest.raises(ProcessLookupError):
        os.kill(child, 0)
    (receipt,) = executions(tmp_path / "st")
    assert receipt.attest["status"] == "failed" and receipt.attest["exit_status"] == 128 + signal.SIGINT
    assert "output_digest" not in receipt.payload


def _has_open(pid: int, path: pathlib.Path) -> bool:
    try:
        return any(os.readlink(f"/proc/{pid}/fd/{fd}") == str(path) for fd in os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return False


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc to see the input being read")
def test_ctrl_c_while_hashing_records_nothing_and_never_runs_the_command(tmp_path: pathlib.Path) -> None:
    big = tmp_path / "big"
    with open(big, "wb") as f:
        f.truncate(1 << 40)  # sparse: a terabyte that takes no disk, and far longer to hash than this test lasts
    proc = _popen(tmp_path, "hash", "-i", "big", "--store", "st", "--", "touch", "ran")
    while not _has_open(proc.pid, big):  # a state the command will reach, polled: never a guess at how long
        assert proc.poll() is None, proc.communicate()
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    _, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, err
    assert not (tmp_path / "ran").exists() and executions(tmp_path / "st") == []


def test_inputs_code_params_and_a_directory_output_signed_and_priced(tmp_path: pathlib.Path) -> None:
    key = tessary.SigningKey.generate()
    key.save(tmp_path / "key")
    (tmp_path / "prices.json").write_text('{"currency": "EUR", "unit_prices": {"requests": 0.5, "vcpu_sec": 2, "gb_sec": 3}}')
    (tmp_path / "in.txt").write_text("in")
    (tmp_path / "make.py").write_text("import os; os.makedirs('out/sub'); open('out/sub/b', 'w').write('b'); "
                                      "open('out/a', 'w').write(open('in.txt').read()); os.symlink('a', 'out/l'); "
                                      "print('made')")
    argv = [sys.executable, "make.py"]
    result = tessary_run(tmp_path, "tree", "-i", "in.txt", "-o", "out", "--code", "make.py", "--param", "k=v", "--key",
                         "key", "--prices", "prices.json", "--store", "st", "--", *argv)
    assert result.returncode == 0 and result.stdout.startswith("made\n"), result.stderr
    (receipt,) = executions(tmp_path / "st")
    check_execution(receipt, inputs=[("in.txt", tmp_path / "in.txt")], outputs=[("out", tmp_path / "out")],
                    params={"k": "v"}, method=_method(argv, [tmp_path / "make.py"]))
    assert receipt.payload["output_mime_type"] == "inode/directory"
    assert [e for e in receipt.attest["products"]["out"]] and receipt.attest["products"]["out"]["type"] == "directory"
    spend = spend_of(tmp_path / "st", receipt)
    meter = check_spend(spend, receipt, currency="EUR")
    assert spend.payload["total_value"] == pytest.approx(0.5 + 2 * meter["vcpu_sec"] + 3 * meter["gb_sec"])
    assert meter["gpu_sec"] is None
    ring = tessary.Keyring([key.public_key])
    assert tessary.check(receipt, ring).ok and tessary.check(spend, ring).ok
    assert receipt.payload["roots"]["identity_root"] == "sha256:" + hashlib.sha256(key.kid.encode()).hexdigest()
