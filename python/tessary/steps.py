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
import json
import os
import sys
import threading
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, Dict, Iterable, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Type, TypeVar, Union

from ._sha import sha256
from ._canonical import jcs
from ._exact_reuse import (
    REUSE_MODES, Lookup, NonDeterministicWarning, ReusePolicy, ReuseWarning, look_up, products_of, reuse_policy,
)
from ._fingerprints import DEFAULT_EXCLUDES, Item, fingerprint_buffer, fingerprint_path
from ._metering import InProcessMeter, Prices, Usage, ZERO_PRICES, load_prices, rapl_microjoules, usage_of_child
from ._running import find_program, run_child
from ._step_receipts import FAILED, SUCCEEDED, Named, inputs_commitment, timestamp
from ._step_recording import (
    PathArg, PricesArg, StepRecord, StepSetup, fingerprints, open_step_store, producers, record_step, reuse_step,
    setup_of,
)
from ._types import JSONValue
from .cache import RESTORE_METHODS, Cache
from .errors import InputError, StepError
from .receipts import Receipt
from .stores import Store, StoreLike

if TYPE_CHECKING:
    import inspect

    from .reuse import CostModel
    from .signing import Keyring, SigningKey

__all__ = ["SUCCEEDED", "FAILED", "DEFAULT_EXCLUDES", "Prices", "ZERO_PRICES", "load_prices", "Usage", "StepRecord",
           "Tracker", "track", "step", "Codec", "JSONCodec", "producers", "RunResult", "run_command",
           "EXIT_NOT_FOUND", "EXIT_CANNOT_RUN", "EXIT_INTERRUPTED", "EXIT_OUTPUT_MISSING", "REUSE_MODES",
           "RESTORE_METHODS", "ReuseWarning", "NonDeterministicWarning"]

CacheArg = Union[None, str, "os.PathLike[str]", Cache]
CostModelArg = Union[None, str, "os.PathLike[str]", "CostModel"]
_F = TypeVar("_F", bound=Callable[..., Any])


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
        return {"bytecode_sha256": sha256(marshal.dumps(code)).hexdigest(),
                "python": "%d.%d" % sys.version_info[:2]}
    return {"source_sha256": sha256(source.encode("utf-8", "surrogatepass")).hexdigest()}


class Tracker:
    """The step a ``with tessary.track(...)`` block runs: name its outputs with :meth:`output`.

    Inputs are fingerprinted on entry, before the work can change them;
    outputs when the block ends. After the block, :attr:`record` holds both
    receipts. A block that raises is recorded as failed, and the exception
    goes on. A block always runs (a ``with`` statement cannot skip it); its
    outputs are cached, and its output compared with an earlier run's.
    """

    def __init__(self, setup: StepSetup, inputs: Sequence[Tuple[str, Union[PathArg, bytes]]]) -> None:
        self._setup = setup
        self._given = list(inputs)
        self._inputs: Optional[List[Named]] = None
        self._outputs: List[Tuple[str, Union[PathArg, Item]]] = []
        self._mime_types: Dict[str, str] = {}
        self._values: Dict[str, bytes] = {}
        self._lock = threading.Lock()
        self.lookup = Lookup(None, None)
        self.justification: Optional[Dict[str, JSONValue]] = None
        self.record: Optional[StepRecord] = None

    def prepare(self, names: Optional[Sequence[str]] = None) -> InProcessMeter:
        """Fingerprint the inputs and look for earlier runs; a meter of that search, for a reuse's spend."""
        self._inputs = [(name, fingerprint_buffer(what) if isinstance(what, bytes)
                         else fingerprint_path(what, self._setup.excludes)) for name, what in self._given]
        meter = InProcessMeter()
        setup = self._setup
        self.lookup = look_up(setup.store, setup.reuse, setup.step, inputs_commitment(self._inputs), names)
        return meter

    @property
    def inputs(self) -> List[Named]:
        """The inputs as fingerprinted (empty before :meth:`prepare`)."""
        return self._inputs or []

    def __enter__(self) -> "Tracker":
        if self._inputs is None:
            self.prepare()
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
            self._values[name] = bytes(data)
            self._outputs.append((name, fingerprint_buffer(self._values[name])))
            self._mime_types[name] = mime_type

    def _record(self, outputs: Sequence[Named], status: str, times: Tuple[str, str], usage: Usage) -> None:
        self.record = record_step(self._setup, self._inputs or [], outputs, status, None, None, times, usage,
                                  self._mime_types, self.lookup.previous, self._values, self.justification)

    def __exit__(self, kind: Optional[Type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        usage = self._meter.stop()
        times = (self._started, timestamp())
        if error is not None:
            self._record((), FAILED, times, usage)
            return
        try:
            outputs = [(name, what if isinstance(what, Item) else fingerprint_path(what, self._setup.excludes))
                       for name, what in self._outputs]
        except Exception:
            self._record((), FAILED, times, usage)
            raise
        self._record(outputs, SUCCEEDED, times, usage)


def track(name: str, inputs: Sequence[PathArg] = (), params: Optional[Mapping[str, JSONValue]] = None, *,
          store: Union[None, Store, StoreLike] = None, key: Optional[SigningKey] = None, prices: PricesArg = None,
          version: Optional[str] = None, code: Sequence[PathArg] = (), parents: Iterable[Union[Receipt, str]] = (),
          trace: Optional[str] = None, excludes: Optional[Iterable[str]] = None, cache: CacheArg = None,
          trust: Optional[Keyring] = None) -> Tracker:
    """A step around a block of work: ``with tessary.track("fit", inputs=[p]) as t: ...; t.output(q)``.

    ``params`` is a JSON object (committed in canonical JSON); ``code`` names
    files that are the method (scripts, configuration): they go into the
    method shape, not the inputs. ``store`` is a Store or a location; both
    receipts go there, signed with ``key`` when given. ``prices`` is a price
    table (a mapping, a JSON file's path, or None for zero prices in "XXX").
    The outputs go into ``cache`` (default: a directory store's own folder).
    """
    method: Dict[str, JSONValue] = {"kind": "block", "step": name, "code": code_entries(code)}
    opened = None if store is None else open_step_store(store)
    setup = setup_of(name, method=method, params=params, store=opened, key=key, prices=prices, version=version,
                     parents=parents, trace=trace, excludes=excludes,
                     reuse=reuse_policy("never", cache, "auto", trust, opened))
    return Tracker(setup, [(os.fspath(p), p) for p in inputs])


Reused = Tuple[StepRecord, Dict[str, bytes]]


def _take_over(setup: StepSetup, lookup: Lookup, inputs: Sequence[Named], names: Optional[Sequence[str]],
               meter: InProcessMeter) -> Tuple[Optional[Reused], Optional[Dict[str, JSONValue]]]:
    """Reuse an earlier run when the policy allows: (the reuse, None), or (None, what a fresh run's spend says).

    An exact hit is taken first; with ``reuse="overlap"`` an overlapping run
    is weighed next, and when the rule says recompute, its justification goes
    into the fresh run's spend receipt.
    """
    if lookup.hit is not None:
        return reuse_step(setup, lookup.hit, meter), None
    if setup.reuse.mode != "overlap":
        return None, None
    from ._overlap_reuse import weigh_overlap  # loaded for reuse by overlap only

    weighed = weigh_overlap(setup.store, setup.reuse, setup.step, inputs, names, meter, setup.prices)
    if weighed is None:
        return None, None
    if not weighed.reuse:
        return None, weighed.justification
    return reuse_step(setup, weighed.receipt, meter, weighed.justification), None


def _policy(reuse: str, cache: CacheArg, restore: str, trust: Optional[Keyring], store: Optional[Store],
            alpha: Optional[float], cost_model: CostModelArg) -> ReusePolicy:
    if reuse != "overlap":
        if alpha is not None or cost_model is not None:
            raise StepError("alpha and a cost model weigh reuse by overlap: "
                            "give them with reuse='overlap' (--reuse overlap)")
        return reuse_policy(reuse, cache, restore, trust, store)
    from ._overlap_reuse import overlap_alpha

    return reuse_policy(reuse, cache, restore, trust, store, overlap_alpha(alpha, cost_model))


class Codec:
    """How a step's returned value becomes output bytes, and back: ``encode``, ``decode``, a media type.

    No pickling by default. A codec without ``decode`` still records values;
    a step using it always runs, as its value could not be given back.
    """

    mime_type = "application/octet-stream"

    def encode(self, value: Any) -> bytes:
        raise NotImplementedError

    def decode(self, data: bytes) -> Any:
        raise NotImplementedError


class JSONCodec(Codec):
    """A returned JSON value as its canonical JSON text."""

    mime_type = "application/json"

    def encode(self, value: Any) -> bytes:
        return jcs(value)

    def decode(self, data: bytes) -> Any:
        return json.loads(data)


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


def _reused_value(receipt: Receipt, values: Dict[str, bytes], codec: Optional[Codec]) -> Any:
    """What a reused call returns: the decoded value, or the restored path (a list of paths for several)."""
    if codec is not None:
        return codec.decode(values["return"])
    from pathlib import Path  # only a reused call returns paths

    paths = [Path(name) for name, _ in products_of(receipt)]
    if not paths:
        return None
    return paths[0] if len(paths) == 1 else paths


def step(name: Optional[str] = None, *, version: Optional[str] = None, code: Sequence[Union[PathArg, Callable[..., Any]]] = (),
         store: Union[None, Store, StoreLike] = None, key: Optional[SigningKey] = None, prices: PricesArg = None,
         codec: Optional[Codec] = None, excludes: Optional[Iterable[str]] = None, reuse: str = "exact",
         cache: CacheArg = None, restore: str = "auto", trust: Optional[Keyring] = None,
         alpha: Optional[float] = None, cost_model: CostModelArg = None) -> Callable[[_F], _F]:
    """Make a function a tracked step; each call records its receipts in ``store``.

    Arguments that are paths (``os.PathLike``, e.g. ``pathlib.Path``; a plain
    ``str`` is a parameter) or buffers (bytes, bytearray, memoryview) are
    inputs, taken by content; the others are parameters, in canonical JSON.
    The method shape comes from the function's qualified name, its source
    text, ``version=`` and the callables or files in ``code=``. The output is
    the returned path or paths, or the returned value encoded by ``codec``.

    With ``reuse="exact"`` (the default) a call whose method and inputs ran
    before, with its outputs in the cache, does not run: the outputs are
    restored (``restore=``) and returned, as ``pathlib.Path`` values, or
    decoded by ``codec``. ``trust=`` (a Keyring) reuses signed runs only.
    """
    if store is None:
        raise TypeError("tessary.step() needs store=, where its receipts go")
    opened = open_step_store(store)
    policy = _policy(reuse, cache, restore, trust, opened, alpha, cost_model)
    if codec is not None and type(codec).decode is Codec.decode:
        policy = policy._replace(mode="never")

    def decorate(function: _F) -> _F:
        import inspect

        method: Dict[str, JSONValue] = {"kind": "python", "function": function.__qualname__,
                                        "code": code_entries(code), **_source_identity(function)}
        signature = inspect.signature(function)
        step_name = name or function.__name__

        @functools.wraps(function)
        def call(*args: Any, **kwargs: Any) -> Any:
            bound = signature.bind(*args, **kwargs)
            bound.apply_defaults()
            inputs, params = _split(bound)
            setup = setup_of(step_name, method=method, params=params, store=opened, key=key, prices=prices,
                             version=version, excludes=excludes, reuse=policy)
            tracker = Tracker(setup, inputs)
            names = ["return"] if codec is not None else None
            meter = tracker.prepare(names)
            done, tracker.justification = _take_over(setup, tracker.lookup, tracker.inputs, names, meter)
            if done is not None:
                tracker.record = done[0]
                return _reused_value(done[0].execution, done[1], codec)
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
                trace: Optional[str] = None, excludes: Optional[Iterable[str]] = None, reuse: str = "exact",
                cache: CacheArg = None, restore: str = "auto", trust: Optional[Keyring] = None,
                alpha: Optional[float] = None, cost_model: CostModelArg = None) -> RunResult:
    """Run a program as a tracked step: fingerprint the inputs, run ``argv`` (no shell), fingerprint the outputs.

    The command's standard streams are the caller's. The exit code is the
    command's own (128 + N when signal N killed it, 130 when interrupted).
    A command that fails, is killed or interrupted, or leaves an output
    unwritten, is recorded as failed and vouches for no output. A command
    that does not exist is not recorded (exit 127): nothing ran. With
    ``reuse="exact"`` an earlier run of the same command over the same
    inputs, writing the same outputs, is taken over when its outputs are in
    the cache: they are restored and the command does not run.
    """
    argv = [os.fspath(a) for a in argv]
    if not argv:
        raise StepError("no command to run")
    if find_program(argv[0]) is None:
        return RunResult(EXIT_NOT_FOUND, None, f"{argv[0]}: command not found")
    method: Dict[str, JSONValue] = {"kind": "command", "argv": argv, "code": code_entries(code)}
    opened = None if store is None else open_step_store(store)
    setup = setup_of(name, method=method, params=params, store=opened, key=key, prices=prices, version=version,
                     parents=parents, trace=trace, excludes=excludes,
                     reuse=_policy(reuse, cache, restore, trust, opened, alpha, cost_model))
    read = fingerprints(inputs, setup.excludes)
    meter = InProcessMeter()
    names = [os.fspath(p) for p in outputs]
    lookup = look_up(setup.store, setup.reuse, setup.step, inputs_commitment(read), names)
    done, justification = _take_over(setup, lookup, read, names, meter)
    if done is not None:
        return RunResult(0, done[0], None)
    started, energy = timestamp(), rapl_microjoules()
    try:
        finished = run_child(argv)
    except OSError as e:
        return RunResult(EXIT_CANNOT_RUN, None, f"{argv[0]}: {e.strerror or e}")
    times = (started, timestamp())
    usage = usage_of_child(finished.rusage, finished.wall_sec, energy)
    if finished.interrupted or finished.status != 0:
        code_out = EXIT_INTERRUPTED if finished.interrupted else finished.status
        record = record_step(setup, read, (), FAILED, finished.status, argv, times, usage, justification=justification)
        return RunResult(code_out, record, "interrupted" if finished.interrupted else None)
    written, reason = _outputs_of(outputs, setup.excludes)
    if reason is not None:
        record = record_step(setup, read, (), FAILED, finished.status, argv, times, usage, justification=justification)
        return RunResult(EXIT_OUTPUT_MISSING, record, reason)
    return RunResult(0, record_step(setup, read, written, SUCCEEDED, 0, argv, times, usage,
                                    previous=lookup.previous, justification=justification), None)
