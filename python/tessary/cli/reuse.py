"""Decide whether to reuse an earlier result or recompute, given the overlap J.

The cost model is a JSON object {"c_id": ..., "c_comp": ..., "alpha": ...},
each a number, {"type": "constant", "value": V} or
{"type": "linear", "per_row": P, "base": B}; --rows prices the linear
costs and is required when there are any. Costs are finite and not negative;
an overlap outside [0, 1] is refused. Reuse wins when the saving
alpha * c_comp * J - c_id (delta) is positive.
"""

from __future__ import annotations

import argparse
import json

from ..errors import CostModelError, InputError, TessaryError, one_line
from ..reuse import CostModel, decide_reuse
from . import _arguments
from ._base import EXIT_OK, CliError
from ._inputs import label, load_json, read_text
from ._output import out

# The option that carries each argument the reuse rule may refuse.
_OPTIONS = {"overlap": "--overlap", "rows": "--rows", "model": "--cost-model"}


def add_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--overlap", required=True, type=_arguments.overlap, metavar="J",
                        help="the overlap, a number in [0, 1]")
    parser.add_argument("--cost-model", required=True, metavar="FILE|-",
                        help="the cost model JSON file (- for stdin)")
    parser.add_argument("--rows", type=_arguments.whole_number, metavar="N",
                        help="the row count that linear costs are priced at")
    parser.add_argument("--json", action="store_true", help="print the decision as one JSON object")


def run(args: argparse.Namespace) -> int:
    try:
        text = read_text(args.cost_model, kind="cost model")
        # Read here first: the model's own reader takes any JSON, however deep or with members repeated.
        load_json(text, label(args.cost_model))
    except InputError as e:
        raise CliError(f"argument --cost-model: {e}") from None
    try:
        model = CostModel.from_json(text)
        decision = decide_reuse(args.overlap, model, rows=args.rows)
    except CostModelError as e:
        # The same words as a Python caller gets, after the option the user gave.
        raise CliError(f"argument {_OPTIONS.get(e.argument, '--cost-model')}: {one_line(str(e))}") from None
    except (TessaryError, TypeError) as e:
        raise CliError(f"argument --cost-model: {one_line(str(e))}") from None
    if args.json:
        out(json.dumps(decision.to_dict()))
    else:
        out(f"decision: {decision.decision.value}")
        for name in ("overlap", "alpha", "c_id", "c_comp", "delta"):
            out(f"{name + ':':<9} {getattr(decision, name):.10g}")
    return EXIT_OK
