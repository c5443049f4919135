"""Clouds whose coordinates span far more of the double range than products of them can hold:
1.0 beside 1e-150, subnormals, 1e300 beside 5e-324. Every build is judged exactly in the
caller's coordinates."""

import fractions

import numpy as np
import pytest

import _kavro
from helpers import build, check_build, check_builds, rng

TINY = [1e-150, 2.2250738585072014e-308, 1e-310, 5e-324, 1e-200, 3e-160, 2.0**-600]
HUGE = [1e300, 2.0**600, 1e150, 1.7e308]


def mixes(dim, count, seed, pool, size=(4, 13), share=0.3):
    """Small integer sets with a share of the coordinates replaced by signed values from
    pool: full of exact collinear, cocircular and coplanar points that the replacements
    nudge by amounts no product of doubles can hold."""
    r = rng(f"wide mixes {dim} {seed}")
    for _ in range(count):
        p = r.integers(-2, 3, size=(int(r.integers(*size)), dim)).astype(float)
        mask = r.random(p.shape) < share
        p[mask] = r.choice(pool, size=mask.sum()) * r.choice([-1, 1], size=mask.sum())
        yield p


# Each of these was built wrongly as if all were well.
REGRESSIONS = {
    "point inside a circumcircle": [[1.0, 1e-150], [1.0, 1.0], [1e-150, -1.0], [-2.0, 1.0], [-1.0, -1e-150],
                                    [0.0, 1.0], [-1.0, 1e-150]],
    "distinct points reported as duplicates": [[0.0, -1e-310], [-1.0, -1e-310], [0.0, 1.0], [-1e-310, -2.0],
                                               [1e-310, 0.0], [-1e-310, 1.0], [0.0, -1e-310], [1e-310, 1.0],
                                               [1e-310, -1e-310], [-1.0, 1e-310]],
    "horizon edge shared by more than two facets": [
        [0.3902481980420016, 0.14481333704299015, 1e-323], [0.6614207508747463, 0.6044502779631757, 0.46781146873736135],
        [0.950067855762026, 0.04234982905689655, 0.0], [0.2663796649187141, 0.7499999999999999, 0.0],
        [0.4638479729034125, 0.2500000000000001, 0.25000000000000006], [0.9600814551218794, 0.24999999999999994, 5e-324],
        [0.25494641406881813, 0.09282605517935583, 0.5000000000000002], [0.8046084422828362, 1.0, 5e-324]],
}


@pytest.mark.parametrize("name", REGRESSIONS)
def test_regressions(name):
    assert not isinstance(check_build(np.array(REGRESSIONS[name])), str)


@pytest.mark.parametrize("dim", [2, 3])
def test_tiny_and_subnormal_coordinates_beside_ordinary_ones(dim):
    check_builds(mixes(dim, 1500 if dim == 2 else 1000, "tiny", TINY))


@pytest.mark.parametrize("dim", [2, 3])
def test_huge_and_subnormal_coordinates_in_one_cloud(dim):
    # so wide that no power of two brings the largest values below 2 without rounding the
    # smallest: sums overflow, heights are infinite, and every decision is exact
    check_builds(mixes(dim, 150, "huge", TINY + HUGE, size=(4, 30), share=0.4))


@pytest.mark.parametrize("dim", [2, 3])
def test_float32_subnormals(dim):
    tiny32 = [float(np.float32(v)) for v in (1e-45, 1e-40, 1.2e-38, 3e-30)]
    check_builds(p.astype(np.float32) for p in mixes(dim, 300, "f32", tiny32))


@pytest.mark.parametrize("dim", [2, 3])
def test_a_large_cloud_with_a_few_tiny_coordinates(dim):
    # the wide tests only cost where a call meets the tiny values
    p = rng(f"large wide {dim}").random((4000 if dim == 2 else 1500, dim))
    p[::97, 0] = 5e-324
    p[1::91, -1] = -1e-300
    check_build(p)


def exact_radius(p):
    """The square of the circumradius of the simplex p (rows), exactly; None when flat."""
    P = [[fractions.Fraction(v) for v in row] for row in np.asarray(p, dtype=np.float64).tolist()]
    a, rest = P[0], P[1:]
    E = [[x - y for x, y in zip(q, a)] for q in rest]
    n = len(E)
    # the circumcentre c - a solves 2 E c = |E|^2 row by row (Cramer)
    rhs = [sum(x * x for x in e) for e in E]

    def det(m):
        if len(m) == 1:
            return m[0][0]
        return sum((-1) ** j * m[0][j] * det([row[:j] + row[j + 1:] for row in m[1:]]) for j in range(len(m)))

    d = det([[2 * x for x in e] for e in E])
    if d == 0:
        return None
    c = [det([[2 * x if j != k else rhs[i] for j, x in enumerate(E[i])] for i in range(n)]) / d for k in range(n)]
    return sum(x * x for x in c)


@pytest.mark.parametrize("dim", [2, 3])
def test_circumradii_are_infinite_only_for_flat_simplices(dim):
    # e.g. (0, 0), (1, 0), (2, 1e-300): the rounded edge vectors are collinear, the
    # triangle is not
    simplices = [p[:dim + 1] for p in mixes(dim, 400, "radii", TINY + HUGE[:2], size=(dim + 1, dim + 2))]
    points = np.concatenate(simplices)
    rows = np.arange(len(points), dtype=np.int32).reshape(-1, dim + 1)
    radii = _kavro.circumradii(points, rows)
    for p, r in zip(simplices, radii):
        r2 = exact_radius(p)
        if r2 is None:
            assert r == np.inf, p.tolist()
        elif r2 >= fractions.Fraction(2) ** 2048:
            assert r == np.inf, p.tolist()  # the radius itself exceeds the double range
        else:
            # the float formula's accuracy is that of the rounded edge vectors; what must
            # hold is a finite radius for every simplex that is not flat
            assert np.isfinite(r) and (r > 0 or r2 < fractions.Fraction(2) ** -2000), (r, p.tolist())


def test_parallel_build_of_a_wide_cloud_is_the_sequential_one(monkeypatch):
    monkeypatch.setenv("KAVRO_PARALLEL_MIN_POINTS", "0")
    monkeypatch.setenv("KAVRO_PARALLEL_BLOCK_TARGET", "50")
    for dim in (2, 3):
        p = rng(f"parallel wide {dim}").random((2000, dim))
        p[::37, 0] = 1e-310
        want = build(p)
        got = (_kavro.calculate_kavro_2d if dim == 2 else _kavro.calculate_kavro_3d)(p, parallel=True)
        for a, b in zip(got, want):
            np.testing.assert_array_equal(a, b)
