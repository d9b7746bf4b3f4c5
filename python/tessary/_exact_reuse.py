"""Exact reuse of a step: the same method over the same inputs, done before, with its outputs at hand.

Before a step runs, the store is searched for its earlier successful runs
(the same name, version, method shape root and input commitment), newest
first. The first one that verifies, is signed by a trusted key when keys
are given, names the same outputs and whose outputs are all in the cache is
a hit: its outputs are restored, each checked against its digest, and the
step does not run. The newest earlier run, hit or not, is also what a fresh
run's output is compared with: the same work giving another output is a
non-deterministic step, and is warned about at once.
"""

from __future__ import annotations

import os
import warnings
from typing import TYPE_CHECKING, Dict, List, Mapping, NamedTuple, Optional, Sequence, Tuple, Union

from ._step_receipts import StepMethod, succeeded, work_of
from ._types import JSONValue
from .cache import RESTORE_METHODS, Cache
from .errors import StepError, VerificationError
from .receipts import Receipt, verify_strict
from .stores import DirectoryStore, Store

if TYPE_CHECKING:
    from .signing import Keyring

__all__ = ["REUSE_MODES", "ReuseWarning", "NonDeterministicWarning", "ReusePolicy", "reuse_policy", "Lookup",
           "sound", "restorable", "look_up", "restore_outputs", "products_of", "warn_if_nondeterministic"]

#: How a step may take over an earlier run: never, only an exact one, or an exact one else one by overlap.
REUSE_MODES = ("never", "exact", "overlap")


class ReuseWarning(UserWarning):
    """An earlier run could not be reused (an object missing or changed in the cache); the step runs instead."""


class NonDeterministicWarning(ReuseWarning):
    """The same method over the same inputs gave another output than an earlier run."""


class ReusePolicy(NamedTuple):
    """Whether and how a step reuses earlier runs, and the cache its outputs go to (None: no cache)."""

    mode: str = "exact"
    cache: Optional[Cache] = None
    restore: str = "auto"
    trust: Optional[Keyring] = None
    alpha: Optional[float] = None


def _is_keyring(trust: object) -> bool:
    from .signing import Keyring  # loaded only when keys are trusted

    return isinstance(trust, Keyring)


def reuse_policy(mode: str, cache: Union[None, str, "os.PathLike[str]", Cache], restore: str,
                 trust: Optional[Keyring], store: Optional[Store], alpha: Optional[float] = None) -> ReusePolicy:
    """The checked policy; without ``cache=`` a directory store keeps the objects in its own folder.

    ``alpha`` is the reuse efficiency that reuse by overlap weighs candidates with.
    """
    if mode not in REUSE_MODES:
        raise StepError(f"reuse must be one of {', '.join(REUSE_MODES)}, not {mode!r}")
    if mode == "overlap" and alpha is None:
        raise StepError("reuse by overlap needs alpha (alpha=, --alpha) or a cost model "
                        "(cost_model=, --cost-model), one of the two")
    if restore not in RESTORE_METHODS:
        raise StepError(f"restore must be one of {', '.join(RESTORE_METHODS)}, not {restore!r}")
    if trust is not None and not _is_keyring(trust):
        raise TypeError(f"trust must be a tessary.Keyring, not {type(trust).__name__}")
    if isinstance(cache, Cache):
        opened: Optional[Cache] = cache
    elif cache is not None:
        opened = Cache(cache)
    elif isinstance(store, DirectoryStore):
        opened = Cache(store.path)
    else:
        opened = None
    return ReusePolicy(mode, opened, restore, trust, alpha if mode == "overlap" else None)


class Lookup(NamedTuple):
    """What the store knows of this work: a run to reuse (or None) and the newest earlier run (or None)."""

    hit: Optional[Receipt]
    previous: Optional[Receipt]


def products_of(receipt: Receipt) -> List[Tuple[str, Dict[str, JSONValue]]]:
    """A successful run's outputs as (name, description), in the order its receipt names them."""
    attest = receipt.attest
    products = attest.get("products") if isinstance(attest, Mapping) else None
    if not isinstance(products, Mapping):
        return []
    return [(str(name), dict(item)) for name, item in products.items() if isinstance(item, Mapping)]


def sound(receipt: Receipt, trust: Optional[Keyring]) -> bool:
    try:
        verify_strict(receipt)
    except VerificationError:
        return False
    if trust is None:
        return True
    from .signing import check  # loaded only when keys are given

    return check(receipt, trust).ok


def restorable(receipt: Receipt, cache: Cache, names: Optional[Sequence[str]]) -> bool:
    products = products_of(receipt)
    if names is not None and [name for name, _ in products] != list(names):
        return False
    return all(cache.has_output(item) for _, item in products)


def look_up(store: Optional[Store], policy: ReusePolicy, step: StepMethod, inputs: str,
            names: Optional[Sequence[str]] = None) -> Lookup:
    """The earlier runs of ``step`` over the inputs committed to as ``inputs`` (a data shape hash).

    ``names`` are the outputs this run will write, when known: a run that
    wrote others is not taken over.
    """
    if store is None:
        return Lookup(None, None)
    wanted = (step.name, step.version, step.shape_root, inputs)
    previous: Optional[Receipt] = None
    for receipt in store.find_by_method(wanted[2], inputs):
        if work_of(receipt) != wanted or not succeeded(receipt) or not sound(receipt, policy.trust):
            continue
        previous = previous or receipt
        if policy.mode == "never" or policy.cache is None:
            break  # only the newest sound run is wanted, not one to take over
        if restorable(receipt, policy.cache, names):
            return Lookup(receipt, previous)
    return Lookup(None, previous)


def restore_outputs(receipt: Receipt, policy: ReusePolicy) -> Dict[str, bytes]:
    """Put the run's files and directories back where it wrote them; the bytes of its buffer outputs.

    Every object is checked against its digest first; raises CacheError for
    one that is missing or was changed.
    """
    cache = policy.cache
    assert cache is not None
    values: Dict[str, bytes] = {}
    for name, item in products_of(receipt):
        digest = str(item.get("sha256"))
        kind = item.get("type")
        if kind == "directory":
            cache.restore_directory(digest, name, policy.restore)
        elif kind == "buffer":
            values[name] = cache.read_bytes(digest)
        else:
            cache.restore_file(digest, name, policy.restore)
    return values


def warn_if_nondeterministic(step: str, previous: Optional[Receipt], fresh: Receipt) -> None:
    """Warn when a fresh successful run's output differs from the newest earlier run of the same work."""
    if previous is None or not succeeded(fresh):
        return
    before, now = previous.payload.get("output_digest"), fresh.payload.get("output_digest")
    if before != now:
        warnings.warn(NonDeterministicWarning(
            f"non-deterministic step {step}: the same method and inputs as {previous.rid} gave another output "
            f"({now or 'none'}, was {before or 'none'})"), stacklevel=4)
