"""Random (version 4) UUIDs, made without importing uuid, which loads platform and costs a short command's time."""

import os

__all__ = ["uuid4_hex", "uuid4_text"]


def uuid4_hex() -> str:
    """A random UUID as 32 hex digits, as ``uuid.uuid4().hex`` gives it."""
    raw = bytearray(os.urandom(16))
    raw[6] = (raw[6] & 0x0F) | 0x40  # version 4
    raw[8] = (raw[8] & 0x3F) | 0x80  # the RFC 4122 variant
    return raw.hex()


def uuid4_text() -> str:
    """A random UUID in its hyphenated form, as ``str(uuid.uuid4())`` gives it."""
    h = uuid4_hex()
    return f"{h[:8]}-{h[8:12]}-{h[12:16]}-{h[16:20]}-{h[20:]}"
