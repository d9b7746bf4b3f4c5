"""Short cuts a short command takes (cheap text tests before parsing, no uuid import) must give the same answers."""
import hashlib
import json
import pathlib
import uuid

import tessary
from tessary._ids import uuid4_hex, uuid4_text
from tessary.receipts import payload_head

# Names that put the text the prefilters search for inside JSON strings (escaped there).
TRICKY = ['a,"minhash_signature":[1]}}', 'b,"products":{"x":1}', 'c,"payload":{}']


def test_lookups_find_steps_whose_names_and_inputs_hold_the_searched_text(tmp_path: pathlib.Path) -> None:
    store = tessary.DirectoryStore(tmp_path / "store")
    source = tmp_path / "in.txt"
    source.write_text("data")
    made = {}
    for name in TRICKY:
        out = tmp_path / (hashlib.sha256(name.encode()).hexdigest()[:8] + ".out")
        with tessary.track(name, inputs=[source], params={"p": ',"products":'}, store=store) as t:
            out.write_text(name)
            t.output(out)
        made[name] = (t.record.execution, hashlib.sha256(name.encode()).hexdigest())
    for name, (execution, digest) in made.items():
        head = payload_head(execution)
        assert "minhash_signature" not in head and head["method_ref"]["method_id"] == name
        assert {k: execution.payload[k] for k in head} == dict(head)
        ref = execution.payload["method_ref"]
        by_method = store.find_by_method(ref["method_shape_root"], execution.payload["data_shape_hash"])
        assert [r.rid for r in by_method] == [execution.rid]
        assert [r.rid for r in store.find_by_output_digest(digest)] == [execution.rid]
        assert execution.ctx.timestamp == execution.to_dict()["ctx"]["timestamp"]
        # Parts read alone agree with the whole, whatever the free-form attestation nests.
        whole = execution.to_dict()
        whole["attest"]["nested"] = {"attest": {"payload": [1]}, "text": ',"attest":{"payload":'}
        edited = tessary.Receipt.from_json(json.dumps(whole, separators=(",", ":")), strict=False)
        nested = edited.attest["nested"]
        assert (nested["attest"]["payload"], nested["text"]) == ((1,), whole["attest"]["nested"]["text"])
        assert dict(edited.attest["products"]) == whole["attest"]["products"] and edited.attest["status"] == "succeeded"
        assert (list(edited.links), edited.ctx.timestamp) == (whole["links"], whole["ctx"]["timestamp"])
    # A scan keeps the store's text as each receipt's JSON: it must be exactly what writing the receipt gives.
    for kept in list(store.iter()) + store.query():
        read = tessary.Receipt.from_json(kept.to_json(), strict=False)
        assert (kept.rid, kept.kind, kept.ctx, kept.links) == (read.rid, read.kind, read.ctx, read.links)
        assert kept.to_json() == read.to_json() and kept == read and kept.hash == read.hash
    # The input was read by every step and produced by none.
    assert store.find_by_output_digest(hashlib.sha256(b"data").hexdigest()) == []


def test_random_identifiers_are_version_4_uuids_in_their_standard_forms() -> None:
    texts = list({uuid4_text() for _ in range(256)})
    parsed = [uuid.UUID(text) for text in texts]
    assert len(texts) == 256 and [str(p) for p in parsed] == texts
    assert all(p.version == 4 and p.variant == uuid.RFC_4122 for p in [*parsed, uuid.UUID(hex=uuid4_hex())])


def test_a_file_read_in_overlapped_pieces_has_the_digest_and_shape_of_its_bytes(tmp_path: pathlib.Path) -> None:
    from tessary._fingerprints import _PIECE, fingerprint_path

    data = bytes(range(256)) * ((3 * _PIECE + 77) // 256) + b"tail"
    for size in (0, 1, _PIECE, _PIECE + 1, len(data)):
        path = tmp_path / f"{size}.bin"
        path.write_bytes(data[:size])
        item = fingerprint_path(str(path))
        shape = tessary.data_shape(data[:size], chunks=True)
        assert (item.sha256, item.size) == (hashlib.sha256(data[:size]).hexdigest(), size)
        assert (item.data_shape, item.chunks) == (shape.hash, shape.chunks or ())


def test_both_sha256_implementations_agree_with_hashlib() -> None:
    from tessary._sha import SMALL, sha256, sha256_for

    for size in (0, 1, 55, 56, 64, SMALL, SMALL + 1):
        data = bytes(range(251)) * (size // 251) + bytes(size % 251)
        assert sha256(data).hexdigest() == hashlib.sha256(data).hexdigest()
        streamed = sha256_for(size)
        streamed.update(data[: size // 2])
        streamed.update(memoryview(data)[size // 2:])
        assert streamed.digest() == hashlib.sha256(data).digest()
