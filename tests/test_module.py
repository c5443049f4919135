"""Import-time behaviour: registration, signatures, no side effects."""

import inspect
import subprocess
import sys

import pytest

import _kavro

BUILDS = ["calculate_kavro_2d", "calculate_kavro_2d_f32", "calculate_kavro_3d", "calculate_kavro_3d_f32"]
QUERIES = {"vertex_neighbor_vertices": "(simplices, n_points)", "circumradii": "(points, simplices)",
           "circumradii_f32": "(points, simplices)"}


def test_all_lists_every_function_in_registration_order_and_nothing_else():
    assert type(_kavro.__all__) is list and _kavro.__all__ == BUILDS + list(QUERIES)
    assert {name for name in dir(_kavro) if not name.startswith("__")} == set(_kavro.__all__)
    assert _kavro.__doc__


@pytest.mark.parametrize("name", BUILDS + list(QUERIES))
def test_functions_are_builtins_with_their_signatures(name):
    f = getattr(_kavro, name)
    assert inspect.isbuiltin(f) and f.__name__ == name and f.__module__ == "_kavro"
    # the docstring opened with the "name(...)\n--\n\n" block CPython peels off
    expected = QUERIES.get(name, "(points, *, parallel=False, progress=None)")
    assert f.__text_signature__ == str(inspect.signature(f)) == expected
    assert f.__doc__ and not f.__doc__.startswith(("--", name))


def _run(code):
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return out.stdout.split()


THREADS = "int(next(l for l in open('/proc/self/status') if l.startswith('Threads:')).split()[1])"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/status")
def test_import_and_sequential_build_start_no_threads():
    counts = _run(f"import numpy as np\na = {THREADS}\nimport _kavro\nb = {THREADS}\n"
                  "_kavro.calculate_kavro_2d(np.random.default_rng(0).random((5000, 2)))\n"
                  "_kavro.circumradii(np.eye(3)[:, :2].copy(), np.array([[0, 1, 2]], np.int32))\n"
                  f"print(a, b, {THREADS})\n")
    assert len(set(counts)) == 1, counts


def test_import_does_not_load_numpy():
    assert _run("import sys, _kavro; print('numpy' in sys.modules)") == ["False"]


def test_imports_and_builds_with_an_empty_environment():
    # oneTBB must be found through the module's own run path, not LD_LIBRARY_PATH.
    code = "import numpy as np, _kavro; print(len(_kavro.calculate_kavro_3d(np.random.default_rng(1).random((50, 3)))[0]) > 0)"
    out = subprocess.run([sys.executable, "-c", code], env={}, capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["True"]
