# The package's native helper: buffers, streaming data shapes and the directory
# store, with the interpreter lock released while they work.
from typing import Any, List, Optional, Tuple, final

_Shape = Tuple[str, int, Optional[List[Tuple[int, int, bytes]]]]

@final
class Hasher:
    def __init__(self, kind: int, size: int, keep_chunks: bool) -> None: ...
    def update(self, data: Any) -> None: ...
    def copy(self) -> Hasher: ...
    def finish(self) -> _Shape: ...

def shape_of_buffer(data: Any, kind: int, size: int, keep_chunks: bool) -> _Shape: ...
def shape_of_file(path: bytes, kind: int, size: int, keep_chunks: bool) -> _Shape: ...

@final
class Cursor:
    def next_batch(self, n: int) -> List[str]: ...

@final
class Store:
    def __init__(self, path: str) -> None: ...
    def store_many(self, texts: List[str]) -> None: ...
    def query(
        self,
        workload: Optional[str],
        trace: Optional[str],
        policy: Optional[str],
        change_epoch: Optional[str],
        pac: Optional[bytes],
        start: Optional[int],
        end: Optional[int],
        limit: Optional[int],
    ) -> List[str]: ...
    def cursor(
        self,
        workload: Optional[str],
        trace: Optional[str],
        policy: Optional[str],
        change_epoch: Optional[str],
        pac: Optional[bytes],
        start: Optional[int],
        end: Optional[int],
        limit: Optional[int],
    ) -> Cursor: ...
