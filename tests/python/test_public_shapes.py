"""Data shapes from every kind of source, the streaming hasher, chunk lists, method shapes, reuse."""
import asyncio
import hashlib
import io
import os
import pathlib
import random
import re
import threading
from typing import Callable, Optional, Union

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tessary
from tessary import CDC, DataShape, Fixed
from _tessary import shapes as native_shapes

DATA = random.Random(7).randbytes(300_000)
EXPECTED = native_shapes.compute_data_shape_hash_from_bytes_py(DATA)


def test_every_source_of_the_same_bytes_has_the_same_shape(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "data.bin"
    path.write_bytes(DATA)
    # Every kind of buffer (mmap, array, memoryview, NumPy) is held in test_native.
    for source in [DATA, bytearray(DATA), str(path), path, io.BytesIO(DATA), open(path, "rb"),
                   open(path, "rb", buffering=0)]:
        shape = tessary.data_shape(source)
        assert (shape.hash, shape.size, shape.scheme, shape.chunks) == (EXPECTED, len(DATA), CDC(65536), None), source
    strided = memoryview(bytes(range(256)) * 2)[::2]  # not contiguous: read through a copy
    assert tessary.data_shape(strided).hash == tessary.data_shape(strided.tobytes()).hash


def test_sources_that_are_not_data_are_refused_clearly(tmp_path: pathlib.Path) -> None:
    with pytest.raises(FileNotFoundError):  # an OSError as it is; each kind of them is held in test_native
        tessary.data_shape(tmp_path / "missing")
    (tmp_path / "t.txt").write_text("text")
    with open(tmp_path / "t.txt") as text_file, pytest.raises(TypeError, match="binary"):
        tessary.data_shape(text_file)
    with pytest.raises(TypeError, match="needs bytes"):
        tessary.data_shape(12)
    with pytest.raises(TypeError):
        tessary.data_shape(b"x", scheme={"type": "cdc", "avg_size": 8})  # type: ignore[arg-type]


@settings(max_examples=40, deadline=None)
@given(st.binary(max_size=5000), st.lists(st.integers(0, 5000), max_size=6),
       st.sampled_from([CDC(64), CDC(256), Fixed(100), Fixed(1)]))
def test_the_hasher_matches_one_shot_for_any_split_and_copies_branch(data: bytes, cuts: list[int],
                                                                    scheme: Union[CDC, Fixed]) -> None:
    whole = tessary.data_shape(data, scheme=scheme, chunks=True)
    hasher = tessary.DataShapeHasher(scheme=scheme, chunks=True)
    start = 0
    for cut in sorted(cuts):
        cut = min(cut, len(data))
        hasher.update(memoryview(data)[start:cut])
        start = cut
    branch = hasher.copy()
    branch.update(b"tail")
    hasher.update(data[start:])
    assert hasher.shape() == whole and hasher.shape() == whole  # asking does not end the stream
    assert hasher.hexdigest() == whole.hash[7:] and hasher.digest() == bytes.fromhex(whole.hash[7:])
    assert branch.shape() == tessary.data_shape(data[:start] + b"tail", scheme=scheme, chunks=True)


@pytest.mark.parametrize("scheme", [CDC(1024), Fixed(4096)])
def test_chunk_lists_cover_the_stream_and_name_each_chunk_by_its_sha256(scheme: Union[CDC, Fixed]) -> None:
    shape = tessary.data_shape(DATA, scheme=scheme, chunks=True)
    assert shape.chunks is not None
    offset = 0
    for chunk in shape.chunks:
        assert chunk.offset == offset and chunk.length > 0 and chunk.id == "sha256:" + chunk.digest.hex()
        assert chunk.digest == hashlib.sha256(DATA[offset:offset + chunk.length]).digest()
        offset += chunk.length
    assert offset == len(DATA) and shape.hash == tessary.data_shape(DATA, scheme=scheme).hash
    if isinstance(scheme, Fixed):
        assert {c.length for c in shape.chunks[:-1]} == {4096}


def test_an_edit_keeps_most_content_defined_chunks_and_the_reuse_rule_sees_it() -> None:
    before = tessary.data_shape(DATA, scheme=CDC(1024), chunks=True)
    assert before.chunks is not None
    after = tessary.data_shape(DATA[:150_000] + b"inserted" + DATA[150_000:], scheme=CDC(1024), chunks=True)
    overlap = tessary.jaccard(before, after)
    assert 0.9 < overlap < 1.0
    assert tessary.jaccard(before.chunks, before.chunk_ids) == 1.0
    model = tessary.CostModel.of(c_id=5, c_comp=100, alpha=0.9)
    decision = tessary.decide_reuse(overlap, model)
    assert decision.reuse and decision.decision is tessary.ReuseDecision.REUSE
    assert decision.delta == pytest.approx(0.9 * 100 * overlap - 5)
    assert not tessary.decide_reuse(0.01, model).reuse
    with pytest.raises(ValueError, match="chunks=True"):
        tessary.jaccard(tessary.data_shape(DATA), before)


def test_cost_models_are_typed_values_with_the_native_readers_errors() -> None:
    linear = tessary.CostModel.from_dict({"c_id": {"type": "linear", "per_row": 0.5, "base": 1}, "c_comp": 100,
                                          "alpha": {"type": "constant", "value": 0.5}})
    assert linear == tessary.CostModel(tessary.Linear(0.5, 1.0), tessary.Constant(100.0), tessary.Constant(0.5))
    assert tessary.decide_reuse(1.0, linear, rows=10).c_id == 6.0
    with pytest.raises(tessary.CostModelError, match="overlap must be a number between 0 and 1, got 2.0"):
        tessary.economic_delta(2.0, {"c_id": 1, "c_comp": 4, "alpha": 0.5})
    # The reader's every message is in test_delta; here, that they pass through, and the finite check of our own.
    for model, message in [({"c_id": 1.0, "c_comp": 1.0}, "Missing required field: alpha"),
                           ({"c_id": float("nan"), "c_comp": 1.0, "alpha": 1.0}, "finite")]:
        with pytest.raises(tessary.CostModelError, match=message):
            tessary.decide_reuse(0.5, model)
    with pytest.raises(tessary.CostModelError, match="not JSON"):
        tessary.CostModel.from_json("{")
    with pytest.raises(ValueError):
        tessary.decide_reuse(0.5, linear, rows=-1)


def test_method_shapes_follow_code_hash_parameters_and_annotations() -> None:
    code = "sha256:" + "ab" * 32
    assert tessary.method_shape(code) != tessary.method_shape(code, {})
    assert tessary.method_shape(code, {"lr": 0.1}) == native_shapes.compute_method_shape_hash_from_code_py(code, {"lr": 0.1})
    with pytest.raises(tessary.ShapeError, match="Invalid code hash format"):
        tessary.method_shape("xyz")

    def train(rows: int, out: pathlib.Path) -> "Model": ...  # type: ignore[name-defined]  # noqa: F821

    def train_untyped(rows, out): ...  # type: ignore[no-untyped-def]

    assert tessary.method_shape_of(train) == native_shapes.compute_method_shape_hash_from_signature_py(
        train.__qualname__, ["int", "pathlib.Path"], "Model")
    assert tessary.method_shape_of(train) != tessary.method_shape_of(train_untyped)


# That hashing lets go of the interpreter lock is held in test_native; here, that the event loop goes on.
def test_hashing_leaves_the_event_loop_running() -> None:
    # The source's first read waits until the loop has run a coroutine: if hashing
    # held the loop, that never happens and the read gives up.
    import tessary.aio
    loop_ran = threading.Event()

    class Gated(io.BytesIO):
        def read(self, size: Optional[int] = -1) -> bytes:
            if not loop_ran.wait(60):
                raise AssertionError("the event loop did not run while the data was hashed")
            return super().read(size)

    async def main() -> DataShape:
        pending = tessary.aio.data_shape(Gated(bytes(1 << 20)), scheme=Fixed(1 << 16))
        shaping = asyncio.ensure_future(pending)
        await asyncio.sleep(0)
        loop_ran.set()
        return await shaping

    assert asyncio.run(main()).size == 1 << 20


MADE: dict[str, tuple[Callable[[], object], type, str]] = {
    "CDC(0)": (lambda: tessary.CDC(0), tessary.ShapeError, "chunk size must be between 1 and 2**64 - 1, got 0"),
    "Fixed(2**64)": (lambda: tessary.Fixed(2**64), tessary.ShapeError, "got 18446744073709551616"),
    "CDC(1.5)": (lambda: tessary.CDC(1.5), TypeError, "chunk size must be an int, not float"),  # type: ignore[arg-type]
    "Constant(-1)": (lambda: tessary.Constant(-1), tessary.CostModelError, "value must not be negative"),
    "CostModel.of alpha": (lambda: tessary.CostModel.of(1, 1, {"type": "constant", "value": -0.5}),
                           tessary.CostModelError, "alpha.value must not be negative"),
    "from_dict unknown key": (lambda: tessary.CostModel.from_dict({"c_id": 1, "c_comp": 10, "alpha": 0.9, "c_idd": 1}),
                              tessary.CostModelError,
                              "unknown field 'c_idd'; expected 'c_id', 'c_comp', 'alpha'"),
}


@pytest.mark.parametrize("make, error, message", MADE.values(), ids=MADE.keys())
def test_schemes_and_cost_models_are_checked_when_made(make: Callable[[], object], error: type,
                                                      message: str) -> None:
    with pytest.raises(error, match=re.escape(message)):
        make()
