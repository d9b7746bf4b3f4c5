"""Tracked steps: what a step read, ran and wrote, which steps came before it, and what it cost.

Three ways in, one record: :func:`track` around a block of work,
:func:`step` on a function, :func:`run_command` (``tessary run``) around a
program. Each run of a step leaves two receipts in the store: an execution
receipt whose fields commit to the inputs, the parameters, the method and the
outputs, linked to the receipts that produced its inputs; and a spend receipt
with what the run measurably used, priced by a table. A step that fails
vouches for no output. docs/steps.md gives every derivation.
"""

from __future__ import annotations

import functools
import hashlib
import os
import sys
import threading
import uuid
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Type, TypeVar, Union

from ._canonical import jcs
from ._fingerprints import DEFAULT_EXCLUDES, Item, fingerprint_buffer, fingerprint_path
from ._lookups import product_digests, recorded_order
from ._metering import InProcessMeter, Prices, Usage, ZERO_PRICES, load_prices, rapl_microjoules, usage_of_child
from ._running import find_program, run_child
from ._step_receipts import FAILED, SUCCEEDED, Named, StepFacts, execution_receipt, spend_receipt, timestamp
from ._types import JSONValue
from .errors import InputError, StepError
from .receipts import Receipt, ReceiptKind
from .stores import DirectoryStore, Store, StoreLike, open_store

if TYPE_CHECKING:
    import inspect

    from .signing import SigningKey

__all__ = ["SUCCEEDED", "FAILED", "DEFAULT_EXCLUDES", "Prices", "ZERO_PRICES", "load_prices", "Usage", "StepRecord",
           "Tracker", "track", "step", "Codec", "JSONCodec", "producers", "RunResult", "run_command",
           "EXIT_NOT_FOUND", "EXIT_CANNOT_RUN", "EXIT_INTERRUPTED", "EXIT_OUTPUT_MISSING"]

PathArg = Union[str, "os.PathLike[str]"]
PricesArg = Union[None, Prices, Mapping[str, JSONValue], str, "os.PathLike[str]"]
_F = TypeVar("_F", bound=Callable[..., Any])


class StepRecord(NamedTuple):
    """The outcome of one run of a step: its two receipts, its status and exit status, and what it used."""

    execution: Receipt
    spend: Receipt
    status: str
    exit_status: Optional[int]
    usage: Usage


def _is_signing_key(key: object) -> bool:
    from .signing import SigningKey  # loaded only when a key is given

    return isinstance(key, SigningKey)


# A directory store's lookup reads every receipt file but parses only those holding the digest;
# a scan that parses every receipt costs about as much as this many lookups.
_SCAN_AT = 5


def producers(store: Store, digests: Iterable[str]) -> Dict[str, Receipt]:
    """For each digest ("sha256:..."), the latest successful step receipt in ``store`` that produced it.

    The store's own lookup, one per digest; a directory store asked for
    many digests is scanned once for all of them instead (docs/stores.md
    says up to what size a scan is fine).
    """
    wanted = set(digests)
    if len(wanted) < _SCAN_AT or not isinstance(store, DirectoryStore):
        return {d: found[0] for d in wanted for found in [store.find_by_output_digest(d)] if found}
    found: Dict[str, Receipt] = {}
    for receipt in store.iter():
        if receipt.kind is not ReceiptKind.EXECUTION:
            continue
        for digest in product_digests(receipt) & wanted:
            best = found.get(digest)
            if best is None or recorded_order(receipt) > recorded_order(best):
                found[digest] = receipt
    return found


def _links(store: Optional[Store], inputs: Sequence[Named], parents: Sequence[Union[Receipt, str]]) -> List[str]:
    links: List[str] = []
    if store is not None and inputs:
        made = producers(store, [item.digest for _, item in inputs])
        links = [made[item.digest].rid for _, item in inputs if item.digest in made]
    for parent in parents:
        links.append(parent.rid if isinstance(parent, Receipt) else str(uuid.UUID(str(parent))))
    return list(dict.fromkeys(links))


def _trace(store: Optional[Store], links: List[str], given: Optional[str]) -> str:
    if given is not None:
        return given
    if store is not None and links:
        first = store.get(links[0])
        if first is not None and first.trace:
            return first.trace
    return f"trace:{uuid.uuid4()}"


class _Setup(NamedTuple):
    name: str
    version: str
    method: Dict[str, JSONValue]
    params: Dict[str, JSONValue]
    store: Optional[Store]
    key: Optional[SigningKey]
    prices: Prices
    parents: Tuple[Union[Receipt, str], ...]
    trace: Optional[str]
    excludes: Optional[Tuple[str, ...]]


def _check_params(params: Mapping[str, JSONValue]) -> Dict[str, JSONValue]:
    if not isinstance(params, Mapping):
        raise TypeError(f"params must be a mapping, not {type(params).__name__}")
    value = dict(params)
    try:
        jcs(value)
    except (TypeError, ValueError) as e:
        raise StepError(f"params are not a JSON object: {e}") from None
    return value


def code_entries(code: Iterable[Union[PathArg, Callable[..., Any]]]) -> List[Dict[str, JSONValue]]:
    """The method's code: each file by its SHA-256, each callable by its qualified name and its source's SHA-256."""
    entries: List[Dict[str, JSONValue]] = []
    for part in code:
        if callable(part):
            entries.append(dict(_source_identity(part), function=part.__qualname__))
        else:
            item = fingerprint_path(part)
            entries.append({"path": os.fspath(part), "sha256": item.sha256})
    return entries


def _source_identity(function: Callable[..., Any]) -> Dict[str, JSONValue]:
    """What the method shape knows of a function's code: the SHA-256 of its source text.

    A function without readable source (made by exec, typed at a prompt) is
    known by its compiled code instead, which ties the shape to the Python
    version; the document says so.
    """
    import inspect  # only a decorated function needs these, and they are slow to import
    import marshal

    try:
        source = inspect.getsource(function)
    except (OSError, TypeError):
        code = getattr(function, "__code__", None)
        if code is None:
            raise StepError(f"neither the source nor the code of {getattr(function, '__qualname__', function)!r} "
                            "can be read; its method shape needs one") from None
        return {"bytecode_sha256": hashlib.sha256(marshal.dumps(code)).hexdigest(),
                "python": "%d.%d" % sys.version_info[:2]}
    return {"source_sha256": hashlib.sha256(source.encode("utf-8", "surrogatepass")).hexdigest()}


def record_step(setup: _Setup, inputs: Sequence[Named], outputs: Sequence[Named], status: str,
                exit_status: Optional[int], argv: Optional[List[str]], times: Tuple[str, str], usage: Usage,
                mime_types: Optional[Dict[str, str]] = None) -> StepRecord:
    """Seal, sign and store both receipts of a finished run."""
    links = _links(setup.store, inputs, setup.parents)
    facts = StepFacts(setup.name, setup.version, setup.method, setup.params, list(inputs), list(outputs), status,
                      exit_status, argv, times[0], times[1], _trace(setup.store, links, setup.trace), links,
                      setup.key.kid if setup.key is not None else None, mime_types or {})
    execution = execution_receipt(facts)
    spend = spend_receipt(execution, usage, setup.prices)
    if setup.key is not None:
        from .signing import sign

        execution, spend = sign(execution, setup.key), sign(spend, setup.key)
    if setup.store is not None:
        setup.store.store_many((execution, spend))  # one flush of the directory for both
    return StepRecord(execution, spend, status, exit_status, usage)


def _open(store: Union[Store, StoreLike]) -> Store:
    opened = open_store(store)
    if isinstance(opened, DirectoryStore):
        # Producers are looked up before anything is written: a new store is an empty one, not a missing one.
        os.makedirs(opened.path, exist_ok=True)
    return opened


def setup_of(name: str, *, method: Dict[str, JSONValue], params: Optional[Mapping[str, JSONValue]],
             store: Union[None, Store, StoreLike], key: Optional[SigningKey], prices: PricesArg,
             version: Optional[str], parents: Iterable[Union[Receipt, str]] = (), trace: Optional[str] = None,
             excludes: Optional[Iterable[str]] = None) -> _Setup:
    if not isinstance(name, str) or not name:
        raise TypeError("a step's name must be a non-empty str")
    if key is not None and not _is_signing_key(key):
        raise TypeError(f"key must be a tessary.SigningKey, not {type(key).__name__}")
    return _Setup(name, version if version is not None else "0", method, _check_params(params or {}),
                  None if store is None else _open(store), key, load_prices(prices), tuple(parents), trace,
                  None if excludes is None else tuple(excludes))


def fingerprints(paths: Iterable[PathArg], excludes: Optional[Tuple[str, ...]]) -> List[Named]:
    return [(os.fspath(p), fingerprint_path(p, excludes)) for p in paths]


class Tracker:
    """The step a ``with tessary.track(...)`` block runs: name its outputs with :meth:`output`.

    Inputs are fingerprinted on entry, before the work can change them;
    outputs when the block ends. After the block, :attr:`record` holds both
    receipts. A block that raises is recorded as failed, and the exception
    goes on.
    """

    def __init__(self, setup: _Setup, inputs: Sequence[Tuple[str, Union[PathArg, bytes]]]) -> None:
        self._setup = setup
        self._given = list(inputs)
        self._inputs: List[Named] = []
        self._outputs: List[Tuple[str, Union[PathArg, Item]]] = []
        self._mime_types: Dict[str, str] = {}
        self._lock = threading.Lock()
        self.record: Optional[StepRecord] = None

    def __enter__(self) -> "Tracker":
        self._inputs = [(name, fingerprint_buffer(what) if isinstance(what, bytes)
                         else fingerprint_path(what, self._setup.excludes)) for name, what in self._given]
        self._meter = InProcessMeter()
        self._started = timestamp()
        return self

    def output(self, path: PathArg) -> None:
        """Name a file or directory the block wrote; it is fingerprinted when the block ends."""
        with self._lock:
            self._outputs.append((os.fspath(path), path))

    def output_bytes(self, name: str, data: bytes, mime_type: str = "application/octet-stream") -> None:
        """Name a value the block produced, by its bytes."""
        with self._lock:
            self._outputs.append((name, fingerprint_buffer(bytes(data))))
            self._mime_types[name] = mime_type

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        usage = self._meter.stop()
        times = (self._started, timestamp())
        if error is not None:
            self.record = record_step(self._setup, self._inputs, (), FAILED, None, None, times, usage)
            return
        try:
            outputs = [(name, what if isinstance(what, Item) else fingerprint_path(what, self._setup.excludes))
                       for name, what in self._outputs]
        except Exception:
            self.record = record_step(self._setup, self._inputs, (), FAILED, None, None, times, usage)
            raise
        self.record = record_step(self._setup, self._inputs, outputs, SUCCEEDED, None, None, times, usage,
                                  self._mime_types)


def track(name: str, inputs: Sequence[PathArg] = (), params: Optional[Mapping[str, JSONValue]] = None, *,
          store: Union[None, Store, StoreLike] = None, key: Optional[SigningKey] = None, prices: PricesArg = None,
          version: Optional[str] = None, code: Sequence[PathArg] = (), parents: Iterable[Union[Receipt, str]] = (),
          trace: Optional[str] = None, excludes: Optional[Iterable[str]] = None) -> Tracker:
    """A step around a block of work: ``with tessary.track("fit", inputs=[p]) as t: ...; t.output(q)``.

    ``params`` is a JSON object (committed in canonical JSON); ``code`` names
    files that are the method (scripts, configuration): they go into the
    method shape, not the inputs. ``store`` is a Store or a location; both
    receipts go there, signed with ``key`` when given. ``prices`` is a price
    table (a mapping, a JSON file's path, or None for zero prices in "XXX").
    """
    method: Dict[str, JSONValue] = {"kind": "block", "step": name, "code": code_entries(code)}
    setup = setup_of(name, method=method, params=params, store=store, key=key, prices=prices, version=version,
                     parents=parents, trace=trace, excludes=excludes)
    return Tracker(setup, [(os.fspath(p), p) for p in inputs])


class Codec:
    """How a step's returned value becomes output bytes: ``encode`` and a media type. No pickling by default."""

    mime_type = "application/octet-stream"

    def encode(self, value: Any) -> bytes:
        raise NotImplementedError


class JSONCodec(Codec):
    """A returned JSON value as its canonical JSON text."""

    mime_type = "application/json"

    def encode(self, value: Any) -> bytes:
        return jcs(value)


def _split(bound: inspect.BoundArguments) -> Tuple[List[Tuple[str, Union[PathArg, bytes]]], Dict[str, JSONValue]]:
    inputs: List[Tuple[str, Union[PathArg, bytes]]] = []
    params: Dict[str, JSONValue] = {}
    for name, value in bound.arguments.items():
        if isinstance(value, os.PathLike):
            inputs.append((name, value))
        elif isinstance(value, (bytes, bytearray, memoryview)):
            inputs.append((name, bytes(value)))
        else:
            try:
                jcs(value)
            except (TypeError, ValueError) as e:
                raise StepError(f"argument {name!r} is neither a path (os.PathLike), a buffer nor a JSON value: {e}") from None
            params[name] = value
    return inputs, params


def _take_outputs(tracker: Tracker, value: object, codec: Optional[Codec]) -> None:
    if codec is not None:
        tracker.output_bytes("return", codec.encode(value), codec.mime_type)
    elif isinstance(value, os.PathLike):
        tracker.output(value)
    elif isinstance(value, (list, tuple)) and value and all(isinstance(v, os.PathLike) for v in value):
        for path in value:
            tracker.output(path)
    elif value is not None:
        raise StepError(f"the step returned a {type(value).__name__}: return a path (os.PathLike) or paths, "
                        "or give codec= to record a value")


def step(name: Optional[str] = None, *, version: Optional[str] = None, code: Sequence[Union[PathArg, Callable[..., Any]]] = (),
         store: Union[None, Store, StoreLike] = None, key: Optional[SigningKey] = None, prices: PricesArg = None,
         codec: Optional[Codec] = None, excludes: Optional[Iterable[str]] = None) -> Callable[[_F], _F]:
    """Make a function a tracked step; each call records its receipts in ``store``.

    Arguments that are paths (``os.PathLike``, e.g. ``pathlib.Path``; a plain
    ``str`` is a parameter) or buffers (bytes, bytearray, memoryview) are
    inputs, taken by content; the others are parameters, in canonical JSON.
    The method shape comes from the function's qualified name, its source
    text, ``version=`` and the callables or files in ``code=``. The output is
    the returned path or paths, or the returned value encoded by ``codec``.
    """
    if store is None:
        raise TypeError("tessary.step() needs store=, where its receipts go")
    opened = _open(store)

    def decorate(function: _F) -> _F:
        method: Dict[str, JSONValue] = {"kind": "python", "function": function.__qualname__,
                                        "code": code_entries(code), **_source_identity(function)}
        import inspect

        signature = inspect.signature(function)
        step_name = name or function.__name__

        @functools.wraps(function)
        def call(*args: Any, **kwargs: Any) -> Any:
            bound = signature.bind(*args, **kwargs)
            bound.apply_defaults()
            inputs, params = _split(bound)
            setup = setup_of(step_name, method=method, params=params, store=opened, key=key, prices=prices,
                             version=version, excludes=excludes)
            tracker = Tracker(setup, inputs)
            with tracker:
                value = function(*args, **kwargs)
                _take_outputs(tracker, value, codec)
            return value

        return call  # type: ignore[return-value]

    return decorate


class RunResult(NamedTuple):
    """What ``tessary run`` reports: its exit code, the step's record (None when nothing was recorded), and why it failed."""

    exit_code: int
    record: Optional[StepRecord]
    reason: Optional[str] = None


#: The exit codes a shell gives for a command that does not exist and one that cannot be run.
EXIT_NOT_FOUND = 127
EXIT_CANNOT_RUN = 126
EXIT_INTERRUPTED = 130
#: A command that succeeded but left a named output unwritten.
EXIT_OUTPUT_MISSING = 1


def _outputs_of(paths: Sequence[PathArg], excludes: Optional[Tuple[str, ...]]) -> Tuple[List[Named], Optional[str]]:
    try:
        return fingerprints(paths, excludes), None
    except InputError as e:
        if not os.path.lexists(e.where) and e.where in [os.fspath(p) for p in paths]:
            return [], f"output {e.where} was not written"
        return [], f"output {e}"


def run_command(name: str, argv: Sequence[str], *, inputs: Sequence[PathArg] = (), outputs: Sequence[PathArg] = (),
                code: Sequence[PathArg] = (), params: Optional[Mapping[str, JSONValue]] = None,
                store: Union[None, Store, StoreLike] = None, key: Optional[SigningKey] = None,
                prices: PricesArg = None, version: Optional[str] = None, parents: Iterable[Union[Receipt, str]] = (),
                trace: Optional[str] = None, excludes: Optional[Iterable[str]] = None) -> RunResult:
    """Run a program as a tracked step: fingerprint the inputs, run ``argv`` (no shell), fingerprint the outputs.

    The command's standard streams are the caller's. The exit code is the
    command's own (128 + N when signal N killed it, 130 when interrupted).
    A command that fails, is killed or interrupted, or leaves an output
    unwritten, is recorded as failed and vouches for no output. A command
    that does not exist is not recorded (exit 127): nothing ran.
    """
    argv = [os.fspath(a) for a in argv]
    if not argv:
        raise StepError("no command to run")
    if find_program(argv[0]) is None:
        return RunResult(EXIT_NOT_FOUND, None, f"{argv[0]}: command not found")
    method: Dict[str, JSONValue] = {"kind": "command", "argv": argv, "code": code_entries(code)}
    setup = setup_of(name, method=method, params=params, store=store, key=key, prices=prices, version=version,
                     parents=parents, trace=trace, excludes=excludes)
    read = fingerprints(inputs, setup.excludes)
    started, energy = timestamp(), rapl_microjoules()
    try:
        finished = run_child(argv)
    except OSError as e:
        return RunResult(EXIT_CANNOT_RUN, None, f"{argv[0]}: {e.strerror or e}")
    times = (started, timestamp())
    usage = usage_of_child(finished.rusage, finished.wall_sec, energy)
    if finished.interrupted or finished.status != 0:
        code_out = EXIT_INTERRUPTED if finished.interrupted else finished.status
        record = record_step(setup, read, (), FAILED, finished.status, argv, times, usage)
        return RunResult(code_out, record, "interrupted" if finished.interrupted else None)
    written, reason = _outputs_of(outputs, setup.excludes)
    if reason is not None:
        record = record_step(setup, read, (), FAILED, finished.status, argv, times, usage)
        return RunResult(EXIT_OUTPUT_MISSING, record, reason)
    return RunResult(0, record_step(setup, read, written, SUCCEEDED, 0, argv, times, usage), None)
