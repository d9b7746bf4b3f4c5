"""Run mypy's stubtest on `_tessary`, its submodules included.

The submodules `delta`, `receipts` and `shapes` exist only as attributes of
the root module: `import _tessary.receipts` fails, so stubtest, which imports
every module of the stub package by its dotted name, could not reach them.
Entering the very same module objects in sys.modules under those names lets
it compare them with their stubs. Arguments are passed on to stubtest.
"""
import sys
import types

import _tessary
from mypy.stubtest import main

for name in _tessary.__all__:
    value = getattr(_tessary, name)
    if isinstance(value, types.ModuleType):
        sys.modules["_tessary." + name] = value

sys.exit(main())
