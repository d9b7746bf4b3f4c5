# Types of the native module `_tessary` (built from src/python). `delta`,
# `receipts` and `shapes` are module objects held as attributes of the root
# module; they are not importable by their dotted names at run time, only
# through `from _tessary import receipts` or `_tessary.receipts`.
from collections.abc import Sequence
from typing import Any, SupportsIndex, final

from . import delta as delta, receipts as receipts, shapes as shapes
from .receipts import PyReceipt

__all__ = ["Client", "record_work_py", "verify_receipt_py", "delta", "receipts", "shapes"]

@final
class Client:
    def __new__(cls, storage_path: str | None = None) -> Client: ...
    def record_work(
        self,
        workload_id: str,
        payload: dict[Any, Any],
        tags: Sequence[str] | None = None,
        trace_id: str | None = None,
        parent_id: str | None = None,
    ) -> PyReceipt: ...
    def verify_receipt(self, receipt: PyReceipt) -> bool: ...
    # Raises ValueError when the client was made without storage_path.
    def store_receipt(self, receipt: PyReceipt) -> None: ...
    def list_receipts(
        self,
        workload_id: str | None = None,
        trace_id: str | None = None,
        limit: SupportsIndex | None = None,
    ) -> list[PyReceipt]: ...

# The payload goes through json.dumps, so its keys may be any JSON-able key
# (an int key becomes a string), hence dict[Any, Any].
def record_work_py(
    workload_id: str,
    payload: dict[Any, Any],
    tags: Sequence[str] | None = None,
    trace_id: str | None = None,
    parent_id: str | None = None,
) -> PyReceipt: ...
def verify_receipt_py(receipt: PyReceipt) -> bool: ...
