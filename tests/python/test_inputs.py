"""tessary.inputs: the bounded reader of outside files, in process (the commands' use is in test_hostile_inputs)."""
import io
import pickle
from typing import List

import pytest

from tessary import inputs
from tessary.errors import InputError, TessaryError


@pytest.mark.parametrize("text, reason", [
    ('{"a": 1, "b": {"a": 2, "a": 3}}', "not JSON: repeated member 'a'"),
    ('{"x": NaN}', "not JSON: NaN is not a JSON number"), ('[-Infinity]', "not JSON: -Infinity is not a JSON number"),
    ("[" * 100_000 + "]" * 100_000, "not JSON: nested too deeply"),
    ('{"a": 1,}', "not JSON: Expecting property name enclosed in double quotes (line 1, column 9)"),
    ("", "not JSON: Expecting value (line 1, column 1)"),
])
def test_load_json_refuses_with_the_place_named(text: str, reason: str) -> None:
    with pytest.raises(InputError) as caught:
        inputs.load_json(text, "in.json")
    assert str(caught.value) == f"in.json: {reason}" and caught.value.where == "in.json"
    assert caught.value.reason == reason and isinstance(caught.value, TessaryError)


class _Pieces(io.RawIOBase):
    """A stream that records the size of each read and is interrupted at the read numbered ``stop``."""

    def __init__(self, stop: int) -> None:
        self.sizes: List[int] = []
        self.stop = stop

    def readable(self) -> bool:
        return True

    def read(self, size: int = -1) -> bytes:
        self.sizes.append(size)
        if len(self.sizes) == self.stop:
            raise KeyboardInterrupt
        return b"x" * size


def test_reading_goes_in_pieces_and_ctrl_c_passes_through() -> None:
    stream = _Pieces(stop=3)
    with pytest.raises(KeyboardInterrupt):
        inputs.read_stdin(kind="payload", stream=stream)  # type: ignore[arg-type]
    assert len(stream.sizes) == 3 and all(0 < size <= 1 << 20 for size in stream.sizes)


@pytest.mark.parametrize("data, limit, ok", [(b"x" * 10, 10, True), (b"x" * 11, 10, False), (b"", 0, True)])
def test_the_bound_is_what_is_read_not_what_was_announced(data: bytes, limit: int, ok: bool) -> None:
    stream = io.BytesIO(data)
    if ok:
        assert inputs.read_stream(stream, "s", kind="key", limit=limit) == data
    else:
        with pytest.raises(InputError, match=r"^s: larger than 10 bytes, the most a key may be$"):
            inputs.read_stream(stream, "s", kind="key", limit=limit)


def test_lines_name_the_byte_that_is_not_utf8_and_bound_each_line() -> None:
    lines = inputs.read_lines(io.BytesIO(b"ok\n\xc3\xa9\nab\xffc\n"), "f", kind="receipt")
    assert [text for _, text in [next(lines), next(lines)]] == ["ok\n", "\u00e9\n"]
    with pytest.raises(InputError, match=r"^f: not UTF-8 text \(byte 8\)$"):
        next(lines)
    long = inputs.read_lines(io.BytesIO(b"abc\n" + b"y" * 20), "f", kind="receipt", limit=8)
    assert next(long) == (4, "abc\n")
    with pytest.raises(InputError, match="a line larger than 8 bytes"):
        next(long)


def test_input_errors_survive_pickling_and_names_are_printable() -> None:
    error = pickle.loads(pickle.dumps(InputError("k.pem", "a FIFO")))
    assert (error.where, error.reason, str(error)) == ("k.pem", "a FIFO", "k.pem: a FIFO")
    assert inputs.display_name(b"dir/k\xff.pem") == "dir/k\\xff.pem" and inputs.display_name("-") == "<stdin>"
    with pytest.raises(ValueError, match="no size bound"):
        inputs.read_stream(io.BytesIO(b""), "s", kind="video")
