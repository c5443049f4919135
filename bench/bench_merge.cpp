// Times the merge step by step on the sequential kernel's triangulation of seeded uniform
// points, handed in as blocks (every simplex by each block that owns one of its vertices,
// in a scrambled vertex order) and a crust (some simplices only there, some in both), and
// checks it against a plain transcription of the merge (one global sort of all simplex
// keys, one of all face keys, sequential checks): the same rows, neighbours and failure
// texts, on the whole mesh and on damaged copies of it.
//
//   cmake -S . -B build/bench -G Ninja -DKAVRO_BUILD_PYTHON=OFF -DKAVRO_BUILD_BENCH=ON
//   cmake --build build/bench && build/bench/bench_merge [2|3] [points] [--check] [--repeat=N]
//                                                    [--threads=N]
//
// Without arguments: 3D, 10^6 points, timings only (the best of 10 runs).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "d2/delaunay2d.h"
#include "d4/delaunay4d.h"
#include "parallel/grid.h"
#include "parallel/pipeline.h"
#include "parallel/pool.h"

namespace par = kavro::par;
using kavro::NO_INDEX;

namespace {

template <std::size_t D>
const par::KernelOps<D>& ops_of() {
    if constexpr (D == 2) {
        return par::kKernelOps2;
    } else {
        return par::kKernelOps3;
    }
}

template <std::size_t D>
struct Input {
    std::vector<par::BlockOut<D>> blocks;
    par::SimplexRows<D> crust;
};

// ---- the merge as written, step by step ----------------------------------------------------

template <std::size_t D>
kavro::Result<par::ParMesh<D>, par::FallbackReason> reference_merge(Input<D> in,
                                                                     const par::Grid<D>& grid,
                                                                     std::size_t windows) {
    constexpr std::size_t K = D + 1;
    const par::KernelOps<D>& ops = ops_of<D>();
    const auto fail = [](const char* text) {
        return par::FallbackReason{par::FallbackReason::Kind::InvalidMesh, text};
    };
    using Key = std::array<std::uint32_t, K + 1>;
    std::vector<Key> keys;
    const auto add = [&](const std::array<std::uint32_t, K>& row, std::uint32_t src) {
        Key k;
        std::array<std::uint32_t, K> s = row;
        std::sort(s.begin(), s.end());
        std::copy(s.begin(), s.end(), k.begin());
        k[K] = src;
        keys.push_back(k);
    };
    for (std::size_t b = 0; b < in.blocks.size(); ++b) {
        for (const auto& row : in.blocks[b].simplices) add(row, static_cast<std::uint32_t>(b));
    }
    for (const auto& row : in.crust) add(row, NO_INDEX);
    par::sort_unstable(keys.begin(), keys.end());
    std::vector<Key> uniq;
    for (const Key& k : keys) {
        if (uniq.empty() || !std::equal(k.begin(), k.begin() + K, uniq.back().begin())) {
            uniq.push_back(k);
        }
    }
    if (uniq.empty()) return fail("no simplices emitted");
    const std::size_t m = uniq.size();
    par::SimplexRows<D> rows(m);
    std::vector<std::uint32_t> src(m);
    for (std::size_t i = 0; i < m; ++i) {
        par::Simplex<D> s;
        for (std::size_t j = 0; j < K; ++j) s[j] = grid.points[uniq[i][j]];
        const double r = ops.orient_exact(s);
        if (r == 0.0) return fail("degenerate simplex");
        std::copy(uniq[i].begin(), uniq[i].begin() + K, rows[i].begin());
        if (r < 0.0) std::swap(rows[i][0], rows[i][1]);
        src[i] = uniq[i][K];
    }
    const std::size_t n = grid.points.size();
    std::vector<std::uint64_t> bits((n + 63) / 64, 0);
    for (const auto& row : rows) {
        for (const std::uint32_t v : row) bits[v / 64] |= std::uint64_t{1} << (v % 64);
    }
    for (std::size_t w = 0; w < n / 64; ++w) {
        if (bits[w] != ~std::uint64_t{0}) return fail("point missing from mesh");
    }
    if (n % 64 != 0 && bits.back() != (std::uint64_t{1} << (n % 64)) - 1) {
        return fail("point missing from mesh");
    }
    if (std::uint64_t{m} * K >= (std::uint64_t{1} << 32)) {
        return fail("mesh too large for 32-bit face slots");
    }

    using FaceKey = std::pair<std::uint64_t, std::uint64_t>;
    std::vector<FaceKey> fk;
    for (std::size_t s = 0; s < m; ++s) {
        for (std::size_t i = 0; i < K; ++i) {
            std::array<std::uint32_t, 3> f{NO_INDEX, NO_INDEX, NO_INDEX};
            for (std::size_t k = 0, o = 0; k < K; ++k) {
                if (k != i) f[o++] = rows[s][k];
            }
            std::sort(f.begin(), f.begin() + D);
            fk.push_back({std::uint64_t{f[0]} << 32 | f[1],
                          std::uint64_t{f[2]} << 32 | (s * K + i)});
        }
    }
    par::sort_unstable(fk.begin(), fk.end());
    const std::size_t L = fk.size();
    const auto same = [&](std::size_t a, std::size_t b) {
        return fk[a].first == fk[b].first && fk[a].second >> 32 == fk[b].second >> 32;
    };
    const std::size_t size = std::max<std::size_t>((L + windows - 1) / windows, 1);
    std::vector<std::size_t> cuts{0};
    for (std::size_t i = 1; i < windows; ++i) {
        std::size_t b = std::min(i * size, L);
        if (0 < b && b < L) {
            while (b < L && same(b, b - 1)) ++b;
        }
        if (b < L && b > cuts.back()) cuts.push_back(b);
    }
    cuts.push_back(L);
    par::NeighborRows<D> nbr(m);
    for (auto& r : nbr) r.fill(-1);
    std::vector<std::uint32_t> boundary;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> cross;
    for (std::size_t c = 0; c + 1 < cuts.size(); ++c) {
        for (std::size_t j = cuts[c]; j < cuts[c + 1];) {
            std::size_t e = j + 1;
            while (e < cuts[c + 1] && same(e, j)) ++e;
            const auto slot = [&](std::size_t t) {
                return static_cast<std::uint32_t>(fk[t].second);
            };
            if (e - j >= 3) return fail("face shared by more than two simplices");
            if (e - j == 1) boundary.push_back(slot(j));
            if (e - j == 2) {
                const std::uint32_t x = slot(j), y = slot(j + 1);
                nbr[x / K][x % K] = static_cast<std::int32_t>(y / K);
                nbr[y / K][y % K] = static_cast<std::int32_t>(x / K);
                if (src[x / K] != src[y / K]) cross.push_back({x, y});
            }
            j = e;
        }
    }
    const auto simplex = [&](std::size_t s) {
        par::Simplex<D> out;
        for (std::size_t j = 0; j < K; ++j) out[j] = grid.points[rows[s][j]];
        return out;
    };
    for (const auto& [x, y] : cross) {
        if (ops.inball_exact(simplex(x / K), grid.points[rows[y / K][y % K]]) >= 0.0 ||
            ops.inball_exact(simplex(y / K), grid.points[rows[x / K][x % K]]) >= 0.0) {
            return fail("cross-source adjacency is not strictly Delaunay");
        }
    }
    const std::size_t nb = boundary.size();
    std::vector<std::uint32_t> parent(nb);
    for (std::size_t j = 0; j < nb; ++j) parent[j] = static_cast<std::uint32_t>(j);
    const auto find = [&](std::uint32_t x) {
        while (parent[x] != x) {
            parent[x] = parent[parent[x]];
            x = parent[x];
        }
        return x;
    };
    using RidgeKey = std::pair<std::uint64_t, std::uint64_t>;
    std::map<RidgeKey, std::pair<std::uint32_t, std::uint32_t>> ridges;
    for (std::size_t j = 0; j < nb; ++j) {
        const std::uint32_t x = boundary[j];
        std::vector<std::uint32_t> f;
        for (std::size_t k = 0; k < K; ++k) {
            if (k != x % K) f.push_back(rows[x / K][k]);
        }
        std::sort(f.begin(), f.end());
        std::vector<std::uint64_t> rk;
        if (D == 2) {
            rk = {std::uint64_t{f[1]} << 32 | NO_INDEX, std::uint64_t{f[0]} << 32 | NO_INDEX};
        } else {
            rk = {std::uint64_t{f[1]} << 32 | f[2], std::uint64_t{f[0]} << 32 | f[2],
                  std::uint64_t{f[0]} << 32 | f[1]};
        }
        for (const std::uint64_t w1 : rk) {
            auto it = ridges.find({w1, ~std::uint64_t{0}});
            if (it == ridges.end()) {
                ridges[{w1, ~std::uint64_t{0}}] = {static_cast<std::uint32_t>(j), 1};
            } else if (it->second.second == 1) {
                it->second.second = 2;
                const std::uint32_t ra = find(it->second.first);
                const std::uint32_t rb = find(static_cast<std::uint32_t>(j));
                if (ra != rb) parent[ra] = rb;
            } else {
                return fail("boundary ridge shared by more than two boundary faces");
            }
        }
    }
    for (const auto& [k, v] : ridges) {
        if (v.second != 2) return fail("boundary ridge not shared by two boundary faces");
    }
    if (nb == 0) return fail("mesh has no boundary");
    for (std::size_t j = 1; j < nb; ++j) {
        if (find(static_cast<std::uint32_t>(j)) != find(0)) {
            return fail("boundary is not a single connected surface");
        }
    }
    // Convexity: at every ridge, the far vertex of each face in place of the vertex the
    // other face is opposite to leaves that simplex's orientation non-negative.
    std::map<std::vector<std::uint32_t>, std::vector<std::uint32_t>> at_ridge;
    for (const std::uint32_t x : boundary) {
        std::vector<std::uint32_t> f;
        for (std::size_t k = 0; k < K; ++k) {
            if (k != x % K) f.push_back(rows[x / K][k]);
        }
        std::sort(f.begin(), f.end());
        for (std::size_t drop = 0; drop < D; ++drop) {
            std::vector<std::uint32_t> r = f;
            r.erase(r.begin() + static_cast<std::ptrdiff_t>(drop));
            at_ridge[r].push_back(x);
        }
    }
    for (const auto& [ridge, xs] : at_ridge) {
        for (int t = 0; t < 2; ++t) {
            const std::uint32_t x = xs[t], y = xs[1 - t];
            std::uint32_t apex = NO_INDEX;
            for (std::size_t k = 0; k < K; ++k) {
                const std::uint32_t v = rows[y / K][k];
                if (k != y % K && std::find(ridge.begin(), ridge.end(), v) == ridge.end()) apex = v;
            }
            par::Simplex<D> s = simplex(x / K);
            s[x % K] = grid.points[apex];
            if (ops.orient_exact(s) < 0.0) return fail("boundary is not convex");
        }
    }
    for (auto& row : rows) {
        for (std::uint32_t& v : row) v = grid.perm[v];
    }
    return par::ParMesh<D>{std::move(rows), std::move(nbr)};
}

// ---- generated input -----------------------------------------------------------------------

template <std::size_t D>
struct Case {
    std::vector<double> xs;
    par::Grid<D> grid;
    par::SimplexRows<D> mesh;  // the kernel's simplices, in global ids
};

template <std::size_t D>
Case<D> make_case(std::size_t n, std::size_t blocks) {
    Case<D> c;
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    c.xs.resize(n * D);
    for (double& v : c.xs) v = unit(rng);
    const auto view = kavro::PointView<double>::dense(c.xs.data(), n, D);
    c.grid = par::build_grid<D>(view, n / blocks);
    auto out = ops_of<D>().kernel(view);
    if (!out.ok()) {
        std::fprintf(stderr, "kernel failed: %s\n", out.error().message().c_str());
        std::exit(1);
    }
    std::vector<std::uint32_t> global(n);
    for (std::size_t g = 0; g < c.grid.perm.size(); ++g) {
        global[c.grid.perm[g]] = static_cast<std::uint32_t>(g);
    }
    for (auto row : out.value().simplices) {
        for (std::uint32_t& v : row) v = global[v];
        c.mesh.push_back(row);
    }
    return c;
}

// Every simplex goes to each block that owns one of its vertices, its vertices rotated by
// its index; one in 37 goes to the crust only, one in 41 to the crust as well.
template <std::size_t D>
Input<D> split(const Case<D>& c, const par::SimplexRows<D>& mesh) {
    Input<D> in;
    in.blocks.resize(c.grid.blocks.size());
    const auto block_of = [&](std::uint32_t g) {
        std::size_t b = 0;
        while (c.grid.blocks[b].pt_hi <= g) ++b;
        return b;
    };
    for (std::size_t s = 0; s < mesh.size(); ++s) {
        auto row = mesh[s];
        std::rotate(row.begin(), row.begin() + s % (D + 1), row.end());
        if (s % 37 == 0 || s % 41 == 0) in.crust.push_back(row);
        if (s % 37 == 0) continue;
        std::vector<std::size_t> owners;
        for (const std::uint32_t v : row) owners.push_back(block_of(v));
        std::sort(owners.begin(), owners.end());
        owners.erase(std::unique(owners.begin(), owners.end()), owners.end());
        for (const std::size_t b : owners) in.blocks[b].simplices.push_back(row);
    }
    return in;
}

template <std::size_t D>
std::string describe(const kavro::Result<par::ParMesh<D>, par::FallbackReason>& r) {
    if (!r.ok()) return std::string("fails: ") + r.error().text;
    return "mesh of " + std::to_string(r.value().simplices.size()) + " rows";
}

template <std::size_t D>
bool same_result(const kavro::Result<par::ParMesh<D>, par::FallbackReason>& a,
                 const kavro::Result<par::ParMesh<D>, par::FallbackReason>& b) {
    if (a.ok() != b.ok()) return false;
    if (!a.ok()) return std::strcmp(a.error().text, b.error().text) == 0;
    return a.value().simplices == b.value().simplices && a.value().neighbors == b.value().neighbors;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

template <std::size_t D>
void run(std::size_t n, bool check, int repeats) {
    const auto t0 = std::chrono::steady_clock::now();
    const Case<D> c = make_case<D>(n, 8);
    std::printf("%zuD, %zu points, %zu simplices, %zu blocks (setup %.1f s), %zu threads\n", D, n,
                c.mesh.size(), c.grid.blocks.size(), seconds_since(t0), par::pool_threads());
    const Input<D> in = split(c, c.mesh);
    std::size_t emitted = in.crust.size();
    for (const auto& b : in.blocks) emitted += b.simplices.size();
    std::printf("  %zu rows emitted (%zu by the crust)\n", emitted, in.crust.size());

    // The machine may be shared: the best of several runs, step by step.
    par::MergeProfile best;
    double best_total = 1e300;
    double* const fields[] = {&best.keys, &best.sort, &best.rows, &best.index,
                              &best.windows, &best.pairing, &best.seams, &best.boundary,
                              &best.mapping};
    for (double* f : fields) *f = 1e300;
    for (int rep = 0; rep < repeats; ++rep) {
        Input<D> copy = in;
        par::MergeProfile p;
        par::MergeOptions opt;
        opt.profile = &p;
        const auto t1 = std::chrono::steady_clock::now();
        auto r = par::merge<D>(std::move(copy.blocks), std::move(copy.crust), c.grid,
                               ops_of<D>(), opt);
        best_total = std::min(best_total, seconds_since(t1));
        if (!r.ok()) {
            std::printf("  merge failed: %s\n", r.error().text);
            std::exit(1);
        }
        const double* const got[] = {&p.keys, &p.sort, &p.rows, &p.index,
                                     &p.windows, &p.pairing, &p.seams, &p.boundary, &p.mapping};
        for (std::size_t k = 0; k < std::size(fields); ++k) {
            *fields[k] = std::min(*fields[k], *got[k]);
        }
    }
    std::printf("  merge %.4f s (best of %d; best per step:) keys %.4f  sort %.4f"
                "  rows %.4f  index %.4f  windows %.4f  pairing %.4f  seams %.4f  boundary %.4f"
                "  mapping %.4f\n",
                best_total, repeats, best.keys, best.sort, best.rows, best.index,
                best.windows, best.pairing, best.seams, best.boundary, best.mapping);
    if (!check) return;

    const std::size_t w = par::merge_window_count();
    const auto compare = [&](const char* what, const Input<D>& input) {
        const auto t1 = std::chrono::steady_clock::now();
        const auto want = reference_merge<D>(input, c.grid, w);
        const double ref = seconds_since(t1);
        bool same = true;
        for (const std::size_t threads : {1, 3, 8}) {
            Input<D> copy = input;
            const auto got = par::with_pool_threads(threads, [&] {
                return par::merge<D>(std::move(copy.blocks), std::move(copy.crust), c.grid,
                                     ops_of<D>());
            });
            same = same && same_result<D>(got, want);
        }
        std::printf("  %-34s %-52s reference %.2f s  %s\n", what, describe<D>(want).c_str(), ref,
                    same ? "identical" : "DIFFERENT");
        if (!same) std::exit(1);
    };
    compare("whole mesh", in);

    // Damaged copies: each check reached by the kind of fault it is there for.
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<std::size_t> any(0, c.mesh.size() - 1);
    const auto pick = [&] { return any(rng); };
    {
        par::SimplexRows<D> mesh = c.mesh;
        mesh.erase(mesh.begin() + static_cast<std::ptrdiff_t>(pick()));
        compare("one simplex dropped", split(c, mesh));
    }
    {
        // A simplex on the hull: dropping it dents the boundary.
        par::SimplexRows<D> mesh = c.mesh;
        std::map<std::vector<std::uint32_t>, int> faces;
        for (const auto& row : mesh) {
            for (std::size_t i = 0; i <= D; ++i) {
                std::vector<std::uint32_t> f;
                for (std::size_t k = 0; k <= D; ++k) if (k != i) f.push_back(row[k]);
                std::sort(f.begin(), f.end());
                ++faces[f];
            }
        }
        std::size_t hull = 0;
        for (std::size_t s = 0; s < mesh.size() && hull == 0; ++s) {
            for (std::size_t i = 0; i <= D; ++i) {
                std::vector<std::uint32_t> f;
                for (std::size_t k = 0; k <= D; ++k) if (k != i) f.push_back(mesh[s][k]);
                std::sort(f.begin(), f.end());
                if (faces[f] == 1) hull = s + 1;
            }
        }
        mesh.erase(mesh.begin() + static_cast<std::ptrdiff_t>(hull - 1));
        compare("one hull simplex dropped", split(c, mesh));
    }
    {
        par::SimplexRows<D> mesh = c.mesh;
        for (int k = 0; k < 50; ++k) mesh.erase(mesh.begin() + static_cast<std::ptrdiff_t>(pick()));
        compare("fifty simplices dropped", split(c, mesh));
    }
    {
        // A simplex over a face of another, on the same side: a third user of a face.
        par::SimplexRows<D> mesh = c.mesh;
        auto row = mesh[pick()];
        const auto sorted_of = [](std::array<std::uint32_t, D + 1> r) {
            std::sort(r.begin(), r.end());
            return r;
        };
        std::set<std::array<std::uint32_t, D + 1>> known;
        for (const auto& r : mesh) known.insert(sorted_of(r));
        do {
            row[0] = (row[0] + 1) % static_cast<std::uint32_t>(c.grid.points.size());
        } while (known.count(sorted_of(row)) || std::count(row.begin() + 1, row.end(), row[0]));
        mesh.push_back(row);
        compare("one foreign simplex added", split(c, mesh));
    }
    {
        Input<D> input = split(c, c.mesh);
        input.crust.push_back(c.mesh[pick()]);
        std::swap(input.crust.back()[0], input.crust.back()[1]);
        compare("a repeat in the crust", input);
    }
    {
        par::SimplexRows<D> mesh = c.mesh;
        const std::uint32_t v = mesh[pick()][0];
        std::erase_if(mesh, [&](const auto& r) { return std::count(r.begin(), r.end(), v); });
        compare("every simplex of a point dropped", split(c, mesh));
    }
    {
        par::SimplexRows<D> mesh = c.mesh;
        auto row = mesh[pick()];
        row[1] = row[0];
        mesh.push_back(row);
        compare("a simplex with a repeated vertex", split(c, mesh));
    }
    if constexpr (D == 2) {
        // Two triangles on an edge flipped to the other diagonal, one of them in the crust:
        // a seam that is not Delaunay.
        par::SimplexRows<D> mesh = c.mesh;
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<std::size_t>> at_edge;
        for (std::size_t s = 0; s < mesh.size(); ++s) {
            for (std::size_t i = 0; i < 3; ++i) {
                const std::uint32_t a = mesh[s][(i + 1) % 3], b = mesh[s][(i + 2) % 3];
                at_edge[{std::min(a, b), std::max(a, b)}].push_back(s);
            }
        }
        for (const auto& [edge, ts] : at_edge) {
            if (ts.size() != 2) continue;
            const auto far = [&](std::size_t t) {
                for (const std::uint32_t v : mesh[t]) {
                    if (v != edge.first && v != edge.second) return v;
                }
                return NO_INDEX;
            };
            const std::uint32_t p = far(ts[0]), q = far(ts[1]);
            const auto& P = c.grid.points;
            // The flip needs a convex quadrilateral: the edge's ends on both sides of p-q.
            const double s1 = ops_of<D>().orient_exact({P[p], P[q], P[edge.first]});
            const double s2 = ops_of<D>().orient_exact({P[p], P[q], P[edge.second]});
            if (!(s1 * s2 < 0)) continue;
            mesh[ts[0]] = {p, q, edge.first};
            mesh[ts[1]] = {p, q, edge.second};
            Input<D> input = split(c, mesh);
            const auto moved = [&](std::array<std::uint32_t, 3> r) {
                std::sort(r.begin(), r.end());
                std::array<std::uint32_t, 3> t = mesh[ts[1]];
                std::sort(t.begin(), t.end());
                return r == t;
            };
            for (auto& b : input.blocks) std::erase_if(b.simplices, moved);
            std::erase_if(input.crust, moved);
            input.crust.push_back(mesh[ts[1]]);
            compare("an edge flipped across sources", input);
            break;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t dim = 3, n = 1'000'000;
    bool check = false;
    int repeats = 10;
    std::size_t threads = 0;
    std::vector<std::string> pos;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--check") == 0) {
            check = true;
        } else if (std::strncmp(argv[i], "--threads=", 10) == 0) {
            threads = static_cast<std::size_t>(std::atoi(argv[i] + 10));
        } else if (std::strncmp(argv[i], "--repeat=", 9) == 0) {
            repeats = std::atoi(argv[i] + 9);
        } else {
            pos.push_back(argv[i]);
        }
    }
    if (pos.size() > 0) dim = std::stoul(pos[0]);
    if (pos.size() > 1) n = std::stoul(pos[1]);
    const auto go = [&] {
        if (dim == 2) {
            run<2>(n, check, repeats);
        } else {
            run<3>(n, check, repeats);
        }
    };
    if (threads == 0) {
        go();
    } else {
        par::with_pool_threads(threads, go);
    }
}
