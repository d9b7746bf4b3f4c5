"""An independent check of a step's receipts: every commitment redone from the files with hashlib and json.

Written from docs/steps.md, not from the package: only the data shape hash and the method shape (both the native
module's) are borrowed."""
import base64
import hashlib
import json
import os
import pathlib
from typing import Any, Dict, List, Optional, Sequence, Tuple

import _tessary
import tessary

Named = Tuple[str, pathlib.Path]


def pipeline(work: pathlib.Path, **options: Any) -> Tuple[Any, Any, Any]:
    """prepare -> transform -> fit, steps made with ``options``; each run adds its process id to marks/<step>."""
    (work / "marks").mkdir(exist_ok=True)

    def ran(step: str) -> None:
        with open(work / "marks" / step, "a") as f:
            f.write(f"{os.getpid()}\n")

    @tessary.step(**options)
    def prepare(rows: int) -> pathlib.Path:
        ran("prepare")
        out = work / "raw.csv"
        out.write_text("x,y\n" + "".join(f"{i},{i * 3}\n" for i in range(rows)))
        return out

    @tessary.step(**options)
    def transform(raw: pathlib.Path, factor: int) -> pathlib.Path:
        ran("transform")
        out = work / "scaled.csv"
        out.write_text(raw.read_text().replace("3", str(factor)))
        return out

    @tessary.step(**options)
    def fit(data: pathlib.Path) -> pathlib.Path:
        ran("fit")
        out = work / "model.json"
        out.write_text('{"slope": %d}' % len(data.read_text()))
        return out

    return prepare, transform, fit


def jcs(value: Any) -> bytes:
    # Equal to the canonical form for documents without floats other than short decimals.
    return json.dumps(value, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode()


def commit(value: Any) -> str:
    return "sha256:" + hashlib.sha256(jcs(value)).hexdigest()


def b64(raw: bytes) -> str:
    return base64.urlsafe_b64encode(raw).rstrip(b"=").decode()


def _file(data: bytes) -> Dict[str, Any]:
    return {"type": "file", "sha256": hashlib.sha256(data).hexdigest(), "size": len(data),
            "data_shape": tessary.data_shape(data).hash}


def _directory_entries(root: pathlib.Path) -> List[Dict[str, Any]]:
    entries = []
    for folder, dirs, files in os.walk(root):
        # The default excludes: .git/, __pycache__/, *.pyc, .tessary/
        dirs[:] = [d for d in dirs if d not in (".git", "__pycache__", ".tessary")]
        files = [f for f in files if not f.endswith(".pyc")]
        for name in files + [d for d in dirs if os.path.islink(os.path.join(folder, d))]:
            path = pathlib.Path(folder, name)
            rel = path.relative_to(root).as_posix()
            if path.is_symlink():
                entries.append({"path": rel, "type": "link", "target": os.readlink(path)})
            else:
                entries.append(dict(_file(path.read_bytes()), path=rel))
    return sorted(entries, key=lambda e: e["path"].encode())


def describe(path: pathlib.Path) -> Dict[str, Any]:
    if path.is_dir():
        entries = _directory_entries(path)
        manifest = jcs({"kind": "directory", "entries": entries})
        size = sum(e.get("size", 0) for e in entries)
        return {"type": "directory", "sha256": hashlib.sha256(manifest).hexdigest(), "size": size,
                "data_shape": tessary.data_shape(manifest).hash}
    return _file(path.read_bytes())


def _files_of(path: pathlib.Path) -> List[pathlib.Path]:
    if not path.is_dir():
        return [path]
    return [path / e["path"] for e in _directory_entries(path) if e["type"] == "file"]


def merkle(digests: List[bytes]) -> bytes:
    level = [hashlib.sha256(b"\x00" + d).digest() for d in digests]
    if not level:
        return hashlib.sha256(b"\x00").digest()
    while len(level) > 1:
        pairs = [hashlib.sha256(b"\x01" + level[i] + level[i + 1]).digest() for i in range(0, len(level) - 1, 2)]
        level = pairs + ([level[-1]] if len(level) % 2 else [])
    return level[0]


def check_native(receipt: tessary.Receipt) -> None:
    """The receipt verifies with _tessary, reads back to the same JSON, and passes the strict reading."""
    text = receipt.to_json()
    native = _tessary.receipts.receipt_from_json_py(text)
    assert _tessary.verify_receipt_py(native) is True and native.to_json() == text
    tessary.Receipt.from_json(text)


def check_execution(receipt: tessary.Receipt, *, inputs: Sequence[Named], outputs: Sequence[Named],
                    params: Dict[str, Any], method: Dict[str, Any], succeeded: bool = True) -> str:
    """Redo every commitment of an execution receipt; returns its method shape root."""
    check_native(receipt)
    p = receipt.payload
    listed_in = [dict(describe(path), name=name) for name, path in inputs]
    data_hash = commit({"inputs": listed_in})
    assert p["data_shape_hash"] == data_hash
    assert receipt.dom == commit({"data_shape_hash": data_hash, "params": params})
    listed_out = [dict(describe(path), name=name) for name, path in outputs] if succeeded else []
    assert receipt.cod == commit({"outputs": listed_out, "status": "succeeded" if succeeded else "failed"})
    root = _tessary.shapes.compute_method_shape_hash_from_code_py(commit(method), params)
    assert p["method_ref"]["method_shape_root"] == root
    span = commit({"cod": receipt.cod, "dom": receipt.dom, "method_shape_root": root})
    assert list(p["span_commitments"]) == [span]
    assert p["roots"]["trace_set_root"] == p["roots"]["trace_seq_root"] == "sha256:" + hashlib.sha256(span.encode()).hexdigest()
    _check_chunks(p, [path for _, path in inputs])
    _check_attest(receipt, inputs, outputs if succeeded else ())
    if succeeded and len(outputs) == 1:
        assert p["output_digest"] == "sha256:" + describe(outputs[0][1])["sha256"]
        assert p["output_size_bytes"] == describe(outputs[0][1])["size"]
    if not succeeded:
        assert not any(key.startswith("output_") for key in p)
    return root


def _check_chunks(payload: Any, paths: List[pathlib.Path]) -> None:
    if not paths:
        assert "merkle_root" not in payload
        return
    chunks = [c for path in paths for f in _files_of(path) for c in tessary.data_shape(f.read_bytes(), chunks=True).chunks]
    manifest = b"".join(c.digest + c.length.to_bytes(8, "big") for c in chunks)
    assert (payload["chunk_manifest_hash"], payload["chunk_manifest_size_bytes"]) == \
        (b64(hashlib.sha256(manifest).digest()), len(manifest))
    assert payload["merkle_root"] == b64(merkle([c.digest for c in chunks]))


def _check_attest(receipt: tessary.Receipt, inputs: Sequence[Named], outputs: Sequence[Named]) -> None:
    attest = receipt.attest
    for key, named in (("materials", inputs), ("products", outputs)):
        assert set(attest[key]) == {name for name, _ in named}
        for name, path in named:
            assert dict(attest[key][name]) == describe(path)
            if path.is_file():
                assert attest[key][name]["sha256"] == hashlib.sha256(path.read_bytes()).hexdigest()


def check_spend(spend: tessary.Receipt, execution: tessary.Receipt, currency: str = "XXX") -> Dict[str, Optional[float]]:
    check_native(spend)
    p = spend.payload
    assert spend.links == (execution.rid,) and spend.dom == execution.hash
    assert dict(p["pointers"]) == {"trace_id": execution.trace, "span_ids": (execution.rid,)}
    assert p["currency"] == currency and p["meter"]["requests"] == 1.0
    return dict(p["meter"])
