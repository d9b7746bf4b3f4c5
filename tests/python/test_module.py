"""The module tree, its conventions and the once-only initialisation."""
import inspect
import subprocess
import sys
import textwrap

import pytest

import _tessary


def test_root_tree_and_docstring():
    assert _tessary.__name__ == "_tessary"
    assert _tessary.__doc__.splitlines()[0] == "Python module definition"
    assert len(_tessary.__doc__.splitlines()) == 5
    assert "tessary/__init__.py" in _tessary.__doc__
    for name in _tessary.__all__:
        assert getattr(_tessary, name) is not None
    # Submodules join in the fixed order: delta, receipts, shapes.
    subs = [n for n in _tessary.__all__ if inspect.ismodule(getattr(_tessary, n))]
    assert subs == [n for n in ["delta", "receipts", "shapes"] if n in subs]


def test_submodules_are_attributes_not_packages():
    from _tessary import delta

    assert delta.__name__ == "delta"
    assert delta.__doc__ == "Python bindings for delta compute operations"
    assert delta.__all__ == ["decide_reuse_py", "economic_delta_py", "jaccard_similarity_py"]
    assert "delta" not in sys.modules and "_tessary.delta" not in sys.modules
    with pytest.raises(ModuleNotFoundError):
        __import__("_tessary.delta")


def test_functions_are_bound_builtins_with_signatures():
    for module in [m for m in vars(_tessary).values() if inspect.ismodule(m)]:
        for name in module.__all__:
            fn = getattr(module, name)
            if not inspect.isbuiltin(fn):
                continue
            assert fn.__self__ is module
            assert fn.__module__ == module.__name__
            # The "name(...)\n--\n\n" line became the text signature.
            assert fn.__text_signature__.startswith("(")
            assert not fn.__doc__.startswith(name)
            inspect.signature(fn)


def test_second_initialisation_fails():
    code = textwrap.dedent(
        """
        import sys, _tessary
        del sys.modules["_tessary"]
        try:
            import _tessary
        except ImportError as e:
            print("ImportError", e)
        else:
            print("imported twice")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.startswith("ImportError")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda f: f(), "jaccard_similarity_py() missing 2 required positional arguments: 'set1' and 'set2'"),
        (lambda f: f([]), "jaccard_similarity_py() missing 1 required positional argument: 'set2'"),
        (lambda f: f([], [], []), "jaccard_similarity_py() takes 2 positional arguments but 3 were given"),
        (lambda f: f([], set2=[], other=1), "jaccard_similarity_py() got an unexpected keyword argument 'other'"),
        (lambda f: f([], set1=[]), "jaccard_similarity_py() got multiple values for argument 'set1'"),
        (lambda f: f(**{"set1": [], "set2": [], 1: 2}), "jaccard_similarity_py() keywords must be strings"),
    ],
)
def test_binding_errors_use_the_interpreter_wording(delta, call, message):
    with pytest.raises(TypeError) as info:
        call(delta.jaccard_similarity_py)
    assert str(info.value) == message


def test_optional_parameters_in_surplus_message(delta):
    with pytest.raises(TypeError, match=r"^decide_reuse_py\(\) takes from 2 to 3 positional arguments but 4 were given$"):
        delta.decide_reuse_py(0.5, {}, None, 1)
