"""The package's modules import one another one way only, and only public names.

Every module is parsed, not imported: imports inside functions count as much as those at the top, and a cycle that only
a late import closes is still a cycle. Relative imports are resolved against the importing module."""

import ast
import graphlib
import pathlib

import pytest

PACKAGE = "tessary"
ROOT = pathlib.Path(__file__).resolve().parents[2] / "python" / PACKAGE


def module_name(path):
    parts = list(path.relative_to(ROOT.parent).with_suffix("").parts)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


MODULES = {module_name(p): p for p in sorted(ROOT.rglob("*.py"))}


def absolute(name, node):
    """The module an ImportFrom names, resolved against module `name`."""
    if not node.level:
        return node.module
    base = name.split(".")
    base = base[: len(base) - node.level + (MODULES[name].name == "__init__.py")]
    return ".".join(base + ([node.module] if node.module else []))


def imports(name):
    """(target module, imported name or None) for every import in the module, at any depth."""
    tree = ast.parse(MODULES[name].read_text(), str(MODULES[name]))
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name, None
        elif isinstance(node, ast.ImportFrom):
            source = absolute(name, node)
            for alias in node.names:
                submodule = f"{source}.{alias.name}"
                if submodule in MODULES or alias.name == "_native":
                    yield submodule, None  # a module of the package, imported whole
                else:
                    yield source, alias.name


def graph():
    edges = {name: set() for name in MODULES}
    for name in MODULES:
        for target, _ in imports(name):
            if target in MODULES and target != name:
                edges[name].add(target)
    return edges


def cycles(edges):
    """A cycle of imports as graphlib finds one: none when the graph is acyclic."""
    try:
        graphlib.TopologicalSorter(edges).prepare()
    except graphlib.CycleError as e:
        return [set(e.args[1])]
    return []


def test_the_checker_finds_cycles_and_resolves_relative_imports():
    assert cycles({"a": {"b"}, "b": {"c"}, "c": {"a"}, "d": {"a"}}) == [{"a", "b", "c"}]
    assert ("tessary.errors", "ReceiptError") in set(imports("tessary.receipts"))
    assert "tessary.receipts" in graph()["tessary.trust"]


def test_no_import_cycle():
    assert [sorted(g) for g in cycles(graph())] == []


def private_imports(name):
    return sorted(f"{t}.{n}" for t, n in imports(name)
                  if n is not None and t.startswith(PACKAGE) and n.startswith("_") and not n.startswith("__"))


def private_attributes(name):
    """Underscore attributes the module reaches on objects other than self and cls."""
    tree = ast.parse(MODULES[name].read_text())
    return {n.attr for n in ast.walk(tree) if isinstance(n, ast.Attribute) and n.attr.startswith("_")
            and not n.attr.startswith("__") and not (isinstance(n.value, ast.Name) and n.value.id in ("self", "cls"))}


def own_private_names(name):
    """Underscore names the module defines: functions, classes, globals, attributes set on self, slots."""
    tree = ast.parse(MODULES[name].read_text())
    names = set()
    for n in ast.walk(tree):
        if isinstance(n, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            names.add(n.name)
        elif isinstance(n, ast.Name) and isinstance(n.ctx, ast.Store):
            names.add(n.id)
        elif isinstance(n, ast.Attribute) and isinstance(n.ctx, ast.Store):
            names.add(n.attr)
        elif isinstance(n, ast.Constant) and isinstance(n.value, str):
            names.add(n.value)  # __slots__ entries
        elif isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name):
            names.add(n.target.id)
    return {x for x in names if x.startswith("_")}


@pytest.mark.parametrize("name", MODULES)
def test_no_module_takes_another_modules_private_names(name):
    assert private_imports(name) == []
    others = set().union(*(own_private_names(m) for m in MODULES if m != name)) - own_private_names(name)
    assert sorted(private_attributes(name) & others) == []


# Sizes a reader can hold in mind: a command's module, and any one function.
LONGEST_COMMAND_MODULE = 400
LONGEST_MODULE = 400  # code lines, any module
LONGEST_FUNCTION = 60


def code_lines(path: pathlib.Path) -> int:
    """Lines that are neither blank nor only a comment."""
    return sum(1 for line in path.read_text().splitlines() if line.strip() and not line.strip().startswith("#"))


def test_modules_and_functions_stay_short():
    long_modules = {name: len(path.read_text().splitlines()) for name, path in MODULES.items()
                    if name.startswith(f"{PACKAGE}.cli")}
    assert {n: lines for n, lines in long_modules.items() if lines > LONGEST_COMMAND_MODULE} == {}
    assert {n: code_lines(p) for n, p in MODULES.items() if code_lines(p) > LONGEST_MODULE} == {}
    functions = {f"{name}.{node.name}": node.end_lineno - node.lineno + 1 for name, path in MODULES.items()
                 for node in ast.walk(ast.parse(path.read_text()))
                 if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef))}
    assert {name: lines for name, lines in functions.items() if lines > LONGEST_FUNCTION} == {}


def test_the_run_command_loads_only_what_it_needs_and_every_public_name_still_resolves():
    import subprocess
    import sys

    probe = ("import sys, tessary.cli.run\nfrom tessary.cli import build_parser, main\n"
             "build_parser(['run'], only_loaded=True).format_help()\nprint(' '.join(sorted(sys.modules)))\n")
    loaded = set(subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                                check=True).stdout.split())
    heavy = {"psycopg", "asyncio", "pathspec", "logging", "concurrent.futures", "inspect", "decimal", "mimetypes",
             "shutil", "subprocess", "uuid", "platform", "pathlib", "hashlib", "tessary._overlap_reuse",
             "tessary.signing", "tessary.audit", "tessary.pgstore", "tessary.reuse", "tessary.aio"}
    assert "tessary.steps" in loaded and loaded & heavy == set()

    import tessary

    assert set(tessary.__all__) <= set(dir(tessary))
    assert all(getattr(tessary, name) is not None for name in tessary.__all__)
    assert callable(tessary.audit) and tessary.steps.track is tessary.track
    with pytest.raises(AttributeError, match="no attribute 'nothing'"):
        tessary.nothing
