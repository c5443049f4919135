"""Import-time behaviour: registration, signatures, docstrings, no side effects."""

import inspect
import subprocess
import sys

import pytest

import _kavro

BUILD_FUNCTIONS = ["calculate_kavro_2d", "calculate_kavro_2d_f32", "calculate_kavro_3d",
                   "calculate_kavro_3d_f32"]
QUERY_FUNCTIONS = {"vertex_neighbor_vertices": ("simplices", "n_points"),
                   "circumradii": ("points", "simplices"),
                   "circumradii_f32": ("points", "simplices")}
REGISTRATION_ORDER = BUILD_FUNCTIONS + ["vertex_neighbor_vertices", "circumradii", "circumradii_f32"]


def test_all_lists_the_functions_in_registration_order():
    assert _kavro.__all__ == REGISTRATION_ORDER
    assert type(_kavro.__all__) is list


def test_module_adds_nothing_but_the_functions():
    public = {name for name in dir(_kavro) if not name.startswith("__")}
    assert public == set(REGISTRATION_ORDER)
    assert _kavro.__doc__


@pytest.mark.parametrize("name", REGISTRATION_ORDER)
def test_functions_are_builtins_of_the_module(name):
    f = getattr(_kavro, name)
    assert inspect.isbuiltin(f)
    assert f.__name__ == name
    assert f.__module__ == "_kavro"


@pytest.mark.parametrize("name", BUILD_FUNCTIONS)
def test_build_function_signature(name):
    params = inspect.signature(getattr(_kavro, name)).parameters
    assert list(params) == ["points", "parallel", "progress"]
    assert params["points"].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert params["points"].default is inspect.Parameter.empty
    for keyword, default in (("parallel", False), ("progress", None)):
        assert params[keyword].kind is inspect.Parameter.KEYWORD_ONLY
        assert params[keyword].default is default


@pytest.mark.parametrize("name, expected", QUERY_FUNCTIONS.items())
def test_query_function_signature(name, expected):
    params = inspect.signature(getattr(_kavro, name)).parameters
    assert tuple(params) == expected
    for p in params.values():
        assert p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        assert p.default is inspect.Parameter.empty


@pytest.mark.parametrize("name", REGISTRATION_ORDER)
def test_docstring_opens_with_the_text_signature(name):
    f = getattr(_kavro, name)
    # CPython peels the "name(...)\n--\n\n" block off into __text_signature__; it is
    # only found there when the docstring opened with exactly that block.
    assert f.__text_signature__ == str(inspect.signature(f))
    assert f.__doc__ and not f.__doc__.startswith(("--", name))


def _run(code):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return out.stdout.split()


THREADS = "int(next(l for l in open('/proc/self/status') if l.startswith('Threads:')).split()[1])"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_import_and_sequential_build_start_no_threads():
    before, after_import, after_build = _run(
        "import numpy as np\n"
        f"a = {THREADS}\n"
        "import _kavro\n"
        f"b = {THREADS}\n"
        "_kavro.calculate_kavro_2d(np.random.default_rng(0).random((5000, 2)))\n"
        "_kavro.circumradii(np.eye(3)[:, :2].copy(), np.array([[0, 1, 2]], np.int32))\n"
        f"print(a, b, {THREADS})\n")
    assert before == after_import == after_build


def test_import_does_not_load_numpy():
    assert _run("import sys, _kavro; print('numpy' in sys.modules)") == ["False"]
