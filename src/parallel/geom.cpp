#include "parallel/geom.h"

#include <cmath>

#include "core/predicates.h"
#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"

namespace kavro::par {

namespace {

// Each term of the error bound is scaled by 2^-46, far above the unit roundoff 2^-53, so
// the bound covers the few roundings along each straight-line expression with room to spare.
constexpr double EPS46 = 0x1p-46;
// 1 + 2^-49: absorbs the rounding of the radius itself (sqrt and its sum of squares).
constexpr double RADIUS_FACTOR = 1.0000000000000018;
// A determinant below a quarter of its own error scale means the centre is noise.
constexpr double FLATNESS = 0.25;

// +0 counts as positive and -0 as negative so that a signed zero from the orientation
// predicate still picks a side; NaN propagates so a broken simplex never looks certified.
double signum(double o) {
    if (o > 0.0) return 1.0;
    if (o < 0.0) return -1.0;
    if (o == 0.0) return std::signbit(o) ? -1.0 : 1.0;
    return o;
}

}  // namespace

// The operation order and grouping below belong to the contract: the error bound was
// derived for them, and the pipeline's output must not drift with the compiler's choices.

std::optional<Ball<2>> circumball2(const Simplex<2>& s) {
    const double x0 = s[0][0], y0 = s[0][1];
    const double bx = s[1][0] - x0, by = s[1][1] - y0;
    const double cx = s[2][0] - x0, cy = s[2][1] - y0;

    const double t1 = cy * bx, t2 = cx * by;
    const double det = t1 - t2;
    if (det == 0.0) return std::nullopt;
    const double S = std::fabs(t2) + std::fabs(t1);
    // Written as a negated ">" so that a NaN det is rejected too.
    if (!(FLATNESS * std::fabs(det) > EPS46 * S)) return std::nullopt;

    const double B = by * by + bx * bx;
    const double C = cy * cy + cx * cx;
    const double h = 0.5 / det;
    const double ox = h * (cy * B - C * by);
    const double oy = h * (bx * C - B * cx);

    const double T =
        (std::fabs(B * cx) + std::fabs(bx * C)) + (std::fabs(C * by) + std::fabs(cy * B));
    const double aox = std::fabs(ox), aoy = std::fabs(oy);
    const double err =
        EPS46 * (std::fabs(y0) +
                 (std::fabs(x0) +
                  ((((aox + aoy) * (S / std::fabs(det)) + std::fabs(h) * T) + aox) + aoy)));
    const double r = std::sqrt(oy * oy + ox * ox);
    const double outer = (err + err) + RADIUS_FACTOR * r;
    const Ball<2> ball{{x0 + ox, y0 + oy}, r, outer};
    if (!usable(ball)) return std::nullopt;
    return ball;
}

std::optional<Ball<3>> circumball3(const Simplex<3>& s) {
    const Point<3>& p0 = s[0];
    const double bx = s[1][0] - p0[0], by = s[1][1] - p0[1], bz = s[1][2] - p0[2];
    const double cx = s[2][0] - p0[0], cy = s[2][1] - p0[1], cz = s[2][2] - p0[2];
    const double dx = s[3][0] - p0[0], dy = s[3][1] - p0[1], dz = s[3][2] - p0[2];
    using std::fabs;

    // my carries the opposite sign of (c x d).y; the formulas below compensate.
    const double mx = cy * dz - cz * dy;
    const double my = dz * cx - cz * dx;
    const double mz = cx * dy - dx * cy;
    const double det = (bx * mx - by * my) + bz * mz;
    if (det == 0.0) return std::nullopt;
    const double P = fabs(bz) * (fabs(dx * cy) + fabs(dy * cx)) +
                     (fabs(by) * (fabs(cz * dx) + fabs(dz * cx)) +
                      fabs(bx) * (fabs(cz * dy) + fabs(cy * dz)));
    if (!(FLATNESS * fabs(det) > EPS46 * P)) return std::nullopt;

    const double Bh = ((by * by + bx * bx) + bz * bz) * 0.5;
    const double Ch = (cz * cz + (cy * cy + cx * cx)) * 0.5;
    const double Dh = (dz * dz + (dy * dy + dx * dx)) * 0.5;

    const double Nx = (Bh * mx - by * (dz * Ch - cz * Dh)) + bz * (dy * Ch - Dh * cy);
    const double Ny = bz * (cx * Dh - Ch * dx) + (bx * (dz * Ch - cz * Dh) - Bh * my);
    const double Nz = mz * Bh + ((Dh * cy - dy * Ch) * bx - (cx * Dh - Ch * dx) * by);
    const Point<3> o = {Nx / det, Ny / det, Nz / det};

    const double Ax = (fabs(by) * (fabs(dz * Ch) + fabs(cz * Dh)) +
                       fabs(Bh) * (fabs(cz * dy) + fabs(cy * dz))) +
                      fabs(bz) * (fabs(Dh * cy) + fabs(dy * Ch));
    const double Ay = fabs(bz) * (fabs(Ch * dx) + fabs(cx * Dh)) +
                      (fabs(bx) * (fabs(dz * Ch) + fabs(cz * Dh)) +
                       fabs(Bh) * (fabs(cz * dx) + fabs(dz * cx)));
    const double Az = fabs(Bh) * (fabs(dx * cy) + fabs(dy * cx)) +
                      (fabs(by) * (fabs(Ch * dx) + fabs(cx * Dh)) +
                       fabs(bx) * (fabs(Dh * cy) + fabs(dy * Ch)));
    const double A[3] = {Ax, Ay, Az};
    const double adet = fabs(det);
    double e[3];
    for (int a = 0; a < 3; ++a) {
        const double aoa = fabs(o[a]);
        e[a] = EPS46 * (fabs(p0[a]) + ((((P / adet) * aoa) + A[a] / adet) + aoa));
    }
    const double err = (e[0] + e[1]) + e[2];

    const double r = std::sqrt(o[2] * o[2] + (o[1] * o[1] + o[0] * o[0]));
    const double outer = (err + err) + RADIUS_FACTOR * r;
    const Ball<3> ball{{p0[0] + o[0], p0[1] + o[1], p0[2] + o[2]}, r, outer};
    if (!usable(ball)) return std::nullopt;
    return ball;
}

double inball2_exact(const Simplex<2>& s, const Point<2>& p) {
    const double o = pred::orient2d(s[0].data(), s[1].data(), s[2].data());
    const double in = pred::incircle(s[0].data(), s[1].data(), s[2].data(), p.data());
    return in * signum(o);
}

double inball3_exact(const Simplex<3>& s, const Point<3>& p) {
    const double o = pred::orient3d(s[0].data(), s[1].data(), s[2].data(), s[3].data());
    // A cyclic shift of the five arguments is an even permutation, so the sign is that of
    // insphere(a, b, c, d, p). The magnitude does depend on the order, so it stays fixed
    // to keep results reproducible.
    const double in =
        pred::insphere(s[1].data(), s[2].data(), s[3].data(), p.data(), s[0].data());
    return in * signum(o);
}

double orient2_exact(const Simplex<2>& s) {
    return pred::orient2d(s[0].data(), s[1].data(), s[2].data());
}

double orient3_exact(const Simplex<3>& s) {
    // orient3d is positive for the opposite handedness from the output tetrahedra.
    return -pred::orient3d(s[0].data(), s[1].data(), s[2].data(), s[3].data());
}

constinit const KernelOps<2> kKernelOps2{&delaunay2d<double>, &circumball2, &inball2_exact,
                                         &orient2_exact};
constinit const KernelOps<3> kKernelOps3{&delaunay4d<double>, &circumball3, &inball3_exact,
                                         &orient3_exact};

}  // namespace kavro::par
