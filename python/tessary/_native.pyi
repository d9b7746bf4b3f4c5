# Types of the package's private native helper; the public modules wrap it.
from typing import List, Optional, Tuple, final

Chunk = Tuple[int, int, bytes]
Shape = Tuple[str, int, Optional[List[Chunk]]]

@final
class Hasher:
    def __init__(self, kind: int, size: int, keep_chunks: bool) -> None: ...
    def update(self, data: object) -> None: ...
    def copy(self) -> "Hasher": ...
    def finish(self) -> Shape: ...

def shape_of_buffer(data: object, kind: int, size: int, keep_chunks: bool) -> Shape: ...
def shape_of_file(path: bytes, kind: int, size: int, keep_chunks: bool) -> Shape: ...

@final
class Store:
    def __init__(self, path: str) -> None: ...
    def store_many(self, texts: List[str]) -> None: ...
    def query(
        self,
        workload: Optional[str] = None,
        trace: Optional[str] = None,
        policy: Optional[str] = None,
        change_epoch: Optional[str] = None,
        pac: Optional[bytes] = None,
        start: Optional[int] = None,
        end: Optional[int] = None,
        limit: Optional[int] = None,
    ) -> List[str]: ...
    def cursor(
        self,
        workload: Optional[str] = None,
        trace: Optional[str] = None,
        policy: Optional[str] = None,
        change_epoch: Optional[str] = None,
        pac: Optional[bytes] = None,
        start: Optional[int] = None,
        end: Optional[int] = None,
        limit: Optional[int] = None,
    ) -> "Cursor": ...

@final
class Cursor:
    def next_batch(self, n: int) -> List[str]: ...

# (body, rid, kind, hash, workload, trace, policy, change_epoch, pac, ts)
ReceiptRow = Tuple[str, str, str, str, Optional[str], Optional[str], Optional[str], Optional[str], Optional[bytes], Optional[int]]

def receipt_rows(texts: List[str]) -> List[ReceiptRow]: ...
