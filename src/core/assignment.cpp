#include "core/assignment.hpp"

#include "core/simd.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace loomfeather {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// The solvers work on nr = min(n, m) rows and nc = max(n, m) columns, so that
// every row can be placed. A wide or square matrix is read in place; a tall
// one is transposed into `storage` (working row r = input column r).
struct WorkingMatrix {
    std::vector<double>& storage;
    const double* w;
    std::size_t nr;
    std::size_t nc;
    bool transposed;

    WorkingMatrix(const double* cost, std::size_t n, std::size_t m, std::vector<double>& buffer)
        : storage(buffer), w(cost), nr(n), nc(m), transposed(m < n) {
        if (!transposed) return;
        storage.resize(n * m);
        for (std::size_t r = 0; r < m; ++r)
            for (std::size_t c = 0; c < n; ++c) storage[r * n + c] = cost[c * m + r];
        w = storage.data();
        nr = m;
        nc = n;
    }
    WorkingMatrix(const WorkingMatrix&) = delete;  // w may point into storage
    WorkingMatrix& operator=(const WorkingMatrix&) = delete;

    double at(std::size_t r, std::size_t c) const { return w[r * nc + c]; }

    // Working row r was given working column col_of_row[r]; map back to the
    // caller's (row, column) orientation and pair order.
    void result(const std::vector<std::int64_t>& col_of_row, AssignmentResult& out) const {
        std::vector<std::int64_t>& counting = transposed ? out.cols : out.rows;
        std::vector<std::int64_t>& assigned = transposed ? out.rows : out.cols;
        counting.resize(nr);
        for (std::size_t k = 0; k < nr; ++k) counting[k] = static_cast<std::int64_t>(k);
        assigned.assign(col_of_row.begin(), col_of_row.begin() + static_cast<std::ptrdiff_t>(nr));
    }
};

// One search step of linear_assignment: the columns off the tree are scanned
// upwards; each takes minv[j] -= pending, then the reduced cost of row i0,
// and the lowest minv wins, the lowest column among equals.
struct Scan {
    double delta = kInf;
    std::size_t j1 = 0;  // 0 = none: column 0 is never a candidate
    std::size_t at = 0;  // position of j1 in the list of free columns (list form)
};

// List form: `free_cols` holds the n_free columns off the tree, ascending.
inline Scan scan_list(const double* w_row, double ui, double pending, std::size_t j0, const std::size_t* free_cols,
                      std::size_t n_free, double* minv, const double* v, std::size_t* way) {
    Scan s;
    for (std::size_t k = 0; k < n_free; ++k) {
        // Selections rather than branches: which way they go depends on the
        // data and is hard to predict.
        const std::size_t j = free_cols[k];
        const double old = minv[j] - pending;
        const double cur = (w_row[j] - ui) - v[j];
        const bool lower = cur < old;
        const double mv = lower ? cur : old;
        way[j] = lower ? j0 : way[j];
        minv[j] = mv;
        const bool best = mv < s.delta;
        s.delta = best ? mv : s.delta;
        s.j1 = best ? j : s.j1;
        s.at = best ? k : s.at;
    }
    return s;
}

#if LF_X86_SIMD
// Lanes of t where `mask` is all ones, of f where it is all zeros. Written
// with bitwise operations: GCC lowers blendv on a comparison result to
// scalar code for AVX without AVX2.
LF_TARGET_AVX inline __m256d select(__m256d mask, __m256d t, __m256d f) {
    return _mm256_or_pd(_mm256_and_pd(mask, t), _mm256_andnot_pd(mask, f));
}

// Dense form with AVX: every column 1..nc, four at a time, those on the tree
// masked out by `on_tree` (all bits set). Each lane keeps the first column
// that reached its smallest value; the lowest column among the lanes that
// share the smallest value is the one the upward scan would have kept.
LF_TARGET_AVX Scan scan_dense_avx(const double* w_row, double ui, double pending, std::size_t j0, std::size_t nc,
                                  double* minv, const double* v, std::size_t* way, const std::uint64_t* on_tree) {
    const __m256d vpend = _mm256_set1_pd(pending), vui = _mm256_set1_pd(ui);
    const __m256d vj0 = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(j0)));
    const __m256d four = _mm256_set1_pd(4.0);
    __m256d best = _mm256_set1_pd(kInf), best_j = _mm256_setzero_pd();
    __m256d jv = _mm256_set_pd(4.0, 3.0, 2.0, 1.0);
    std::size_t j = 1;
    for (; j + 3 <= nc; j += 4) {
        const __m256d tree = _mm256_castsi256_pd(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(on_tree + j)));
        const __m256d old = _mm256_sub_pd(_mm256_loadu_pd(minv + j), vpend);
        const __m256d cur = _mm256_sub_pd(_mm256_sub_pd(_mm256_loadu_pd(w_row + j), vui), _mm256_loadu_pd(v + j));
        const __m256d lower = _mm256_andnot_pd(tree, _mm256_cmp_pd(cur, old, _CMP_LT_OQ));
        const __m256d mv = select(lower, cur, old);  // columns on the tree: never read again
        _mm256_storeu_pd(minv + j, mv);
        __m256i* way_j = reinterpret_cast<__m256i*>(way + j);
        _mm256_storeu_si256(
            way_j, _mm256_castpd_si256(select(lower, vj0, _mm256_castsi256_pd(_mm256_loadu_si256(way_j)))));
        const __m256d cand = _mm256_or_pd(mv, tree);  // on the tree: NaN, below nothing
        const __m256d lt = _mm256_cmp_pd(cand, best, _CMP_LT_OQ);
        best = select(lt, cand, best);
        best_j = select(lt, jv, best_j);
        jv = _mm256_add_pd(jv, four);
    }
    double lane_best[4], lane_j[4];
    _mm256_storeu_pd(lane_best, best);
    _mm256_storeu_pd(lane_j, best_j);
    Scan s;
    for (int l = 0; l < 4; ++l) {
        const auto jl = static_cast<std::size_t>(lane_j[l]);
        if (jl != 0 && (lane_best[l] < s.delta || (lane_best[l] == s.delta && jl < s.j1))) {
            s.delta = lane_best[l];
            s.j1 = jl;
        }
    }
    for (; j <= nc; ++j) {  // the last columns, upwards as in the list form
        if (on_tree[j]) continue;
        const double old = minv[j] - pending;
        const double cur = (w_row[j] - ui) - v[j];
        const bool lower = cur < old;
        const double mv = lower ? cur : old;
        way[j] = lower ? j0 : way[j];
        minv[j] = mv;
        if (mv < s.delta) {
            s.delta = mv;
            s.j1 = j;
        }
    }
    return s;
}
#endif

// Below this many columns the list form is as fast.
constexpr std::size_t kDenseMinColumns = 16;

}  // namespace

std::pair<std::size_t, std::size_t> require_2d_cost(std::size_t ndim, const std::int64_t* shape, const char* name) {
    if (ndim != 2) throw std::invalid_argument(std::string(name) + ": cost must be a 2-D (n, m) array");
    return {static_cast<std::size_t>(shape[0]), static_cast<std::size_t>(shape[1])};
}

void require_finite_cost(const double* cost, std::size_t n, std::size_t m) {
    const std::size_t count = n * m;
    for (std::size_t k = 0; k < count; ++k) {
        // False for NaN as well as for +-inf.
        if (!(DBL_MAX >= std::fabs(cost[k])))
            throw std::invalid_argument("cost matrix must be finite; gate before assignment");
    }
}

// Shortest augmenting path with row and column potentials (the Hungarian
// method in its O(n^2 m) form). Rows are inserted one at a time; column 0 is
// a virtual column holding the row being inserted. Both comparisons of the
// search are strict and scan columns upwards, which fixes the optimum chosen
// among ties.
//
// Each search step makes one pass over the columns not yet on the tree (a
// list kept in ascending order, or with AVX all columns with a mask), and
// one over the few on it. The step's
// "minv[j] -= delta" for the columns off the tree is carried to the next
// pass, which reads minv[j] first: the same subtraction of the same values,
// done later. (The first pass subtracts +0.0, which changes no value.)
AssignmentResult linear_assignment(const double* cost, std::size_t n, std::size_t m) {
    AssignmentWorkspace ws;
    AssignmentResult out;
    linear_assignment(cost, n, m, ws, out);
    return out;
}

void linear_assignment(const double* cost, std::size_t n, std::size_t m, AssignmentWorkspace& ws,
                       AssignmentResult& out) {
    out.rows.clear();
    out.cols.clear();
    if (n == 0 || m == 0) return;
    require_finite_cost(cost, n, m);
    const WorkingMatrix wm(cost, n, m, ws.transposed);
    const std::size_t nr = wm.nr, nc = wm.nc;

    std::vector<double>&u = ws.u, &v = ws.v, &minv = ws.minv;
    std::vector<std::size_t>&p = ws.p, &way = ws.way, &free_cols = ws.free_cols, &tree_cols = ws.tree_cols;
    u.assign(nr + 1, 0.0);
    v.assign(nc + 1, 0.0);
    minv.resize(nc + 1);
    p.assign(nc + 1, 0);
    way.assign(nc + 1, 0);
    free_cols.resize(nc);
    tree_cols.reserve(nc + 1);

#if LF_X86_SIMD
    const bool dense = nc >= kDenseMinColumns && cpu_has_avx();
#else
    const bool dense = false;
#endif
    std::vector<std::uint64_t>& on_tree = ws.on_tree;

    for (std::size_t i = 1; i <= nr; ++i) {
        p[0] = i;
        std::size_t j0 = 0;
        std::size_t i0 = i;
        std::fill(minv.begin(), minv.end(), kInf);
        std::size_t n_free = nc;
        if (dense)
            on_tree.assign(nc + 1, 0);
        else
            for (std::size_t j = 0; j < nc; ++j) free_cols[j] = j + 1;
        tree_cols.assign(1, 0);
        double pending = 0.0;
        for (;;) {
            const double* w_row = wm.w + (i0 - 1) * nc - 1;  // w_row[j] = W[i0 - 1][j - 1]
            Scan s;
#if LF_X86_SIMD
            if (dense)
                s = scan_dense_avx(w_row, u[i0], pending, j0, nc, minv.data(), v.data(), way.data(), on_tree.data());
            else
#endif
                s = scan_list(w_row, u[i0], pending, j0, free_cols.data(), n_free, minv.data(), v.data(), way.data());
            const double delta = s.delta;
            const std::size_t j1 = s.j1;
            // Only reachable when the reduced costs overflow to infinity.
            if (j1 == 0) throw std::runtime_error("linear_assignment: no free column; n > m?");
            for (const std::size_t j : tree_cols) {
                u[p[j]] = u[p[j]] + delta;
                v[j] = v[j] - delta;
            }
            pending = delta;
            j0 = j1;
            i0 = p[j1];
            if (i0 == 0) break;
            tree_cols.push_back(j1);
            if (dense) {
                on_tree[j1] = ~std::uint64_t{0};
            } else {
                std::copy(free_cols.begin() + static_cast<std::ptrdiff_t>(s.at + 1),
                          free_cols.begin() + static_cast<std::ptrdiff_t>(n_free),
                          free_cols.begin() + static_cast<std::ptrdiff_t>(s.at));
                --n_free;
            }
        }
        // Hand each column on the alternating path to the row that reached it.
        do {
            const std::size_t j = way[j0];
            p[j0] = p[j];
            j0 = j;
        } while (j0 != 0);
    }

    std::vector<std::int64_t>& col_of_row = ws.col_of_row;
    col_of_row.assign(nr, -1);
    for (std::size_t c = 0; c < nc; ++c) {
        if (p[c + 1] != 0) col_of_row[p[c + 1] - 1] = static_cast<std::int64_t>(c);
    }
    wm.result(col_of_row, out);
}

// Jonker-Volgenant: a greedy start on row minima, then one Dijkstra search
// with column prices v (reduced cost W[i][j] - v[j]) per row left free.
// Ties go to the lowest column index at every step.
AssignmentResult linear_assignment_lapjv(const double* cost, std::size_t n, std::size_t m) {
    if (n == 0 || m == 0) return {};
    require_finite_cost(cost, n, m);
    std::vector<double> storage;
    const WorkingMatrix wm(cost, n, m, storage);
    const std::size_t nr = wm.nr, nc = wm.nc;
    constexpr std::int64_t kFree = -1;

    std::vector<std::int64_t> x(nr, kFree), y(nc, kFree);
    std::vector<double> v(nc, 0.0);

    {
        std::vector<double> row_min(nr);
        for (std::size_t i = 0; i < nr; ++i) {
            double best = wm.at(i, 0);
            for (std::size_t j = 1; j < nc; ++j)
                if (wm.at(i, j) < best) best = wm.at(i, j);
            row_min[i] = best;
        }
        for (std::size_t i = 0; i < nr; ++i) {
            for (std::size_t j = 0; j < nc; ++j) {
                if (y[j] == kFree && wm.at(i, j) == row_min[i]) {
                    x[i] = static_cast<std::int64_t>(j);
                    y[j] = static_cast<std::int64_t>(i);
                    break;
                }
            }
        }
    }

    std::vector<double> d(nc);
    std::vector<std::size_t> pred(nc);
    std::vector<char> scanned(nc);
    for (std::size_t i = 0; i < nr; ++i) {
        if (x[i] != kFree) continue;
        for (std::size_t j = 0; j < nc; ++j) {
            d[j] = wm.at(i, j) - v[j];
            pred[j] = i;
            scanned[j] = 0;
        }
        std::size_t jstar;
        double mu;
        for (;;) {
            mu = kInf;
            jstar = nc;
            for (std::size_t j = 0; j < nc; ++j) {
                if (!scanned[j] && d[j] < mu) {
                    mu = d[j];
                    jstar = j;
                }
            }
            if (jstar == nc) throw std::runtime_error("lapjv: no augmenting path");
            scanned[jstar] = 1;
            if (y[jstar] == kFree) break;
            // Relax through the row that owns j*, whose reduced costs are
            // shifted so that j* itself sits at distance mu.
            const std::size_t i2 = static_cast<std::size_t>(y[jstar]);
            const double h = (wm.at(i2, jstar) - v[jstar]) - mu;
            for (std::size_t j = 0; j < nc; ++j) {
                if (scanned[j]) continue;
                const double cand = (wm.at(i2, j) - v[j]) - h;
                if (cand < d[j]) {
                    d[j] = cand;
                    pred[j] = i2;
                }
            }
        }
        for (std::size_t j = 0; j < nc; ++j) {
            if (scanned[j] && j != jstar) v[j] = (d[j] - mu) + v[j];
        }
        // Reverse the alternating path from j* back to row i.
        std::size_t j = jstar;
        for (;;) {
            const std::size_t ip = pred[j];
            y[j] = static_cast<std::int64_t>(ip);
            const std::int64_t old = x[ip];
            x[ip] = static_cast<std::int64_t>(j);
            if (ip == i) break;
            j = static_cast<std::size_t>(old);
        }
    }
    AssignmentResult out;
    wm.result(x, out);
    return out;
}

AssociationResult accept_pairs(const AssignmentResult& pairs, const double* cost, std::size_t n, std::size_t m,
                               double max_cost, const std::uint8_t* reject) {
    AssignmentWorkspace ws;
    AssociationResult out;
    accept_pairs(pairs, cost, n, m, max_cost, reject, ws, out);
    return out;
}

void accept_pairs(const AssignmentResult& pairs, const double* cost, std::size_t n, std::size_t m, double max_cost,
                  const std::uint8_t* reject, AssignmentWorkspace& ws, AssociationResult& out) {
    const std::size_t k_pairs = pairs.rows.size();
    out.match_rows.clear();
    out.match_cols.clear();
    out.unmatched_rows.clear();
    out.unmatched_cols.clear();
    out.match_rows.reserve(k_pairs);
    out.match_cols.reserve(k_pairs);
    std::vector<char>&row_taken = ws.row_taken, &col_taken = ws.col_taken;
    row_taken.assign(n, 0);
    col_taken.assign(m, 0);
    for (std::size_t k = 0; k < k_pairs; ++k) {
        const std::int64_t r = pairs.rows[k], c = pairs.cols[k];
        const std::size_t at = static_cast<std::size_t>(r) * m + static_cast<std::size_t>(c);
        // Written as max_cost >= cost so that a NaN gate accepts nothing.
        if (!(max_cost >= cost[at])) continue;
        if (reject != nullptr && reject[at] != 0) continue;
        out.match_rows.push_back(r);
        out.match_cols.push_back(c);
        row_taken[static_cast<std::size_t>(r)] = 1;
        col_taken[static_cast<std::size_t>(c)] = 1;
    }
    for (std::size_t r = 0; r < n; ++r)
        if (!row_taken[r]) out.unmatched_rows.push_back(static_cast<std::int64_t>(r));
    for (std::size_t c = 0; c < m; ++c)
        if (!col_taken[c]) out.unmatched_cols.push_back(static_cast<std::int64_t>(c));
}

void unmatched_all(std::size_t n, std::size_t m, AssociationResult& out) {
    out.match_rows.clear();
    out.match_cols.clear();
    out.unmatched_rows.resize(n);
    out.unmatched_cols.resize(m);
    for (std::size_t r = 0; r < n; ++r) out.unmatched_rows[r] = static_cast<std::int64_t>(r);
    for (std::size_t c = 0; c < m; ++c) out.unmatched_cols[c] = static_cast<std::int64_t>(c);
}

AssociationResult associate(const double* cost, std::size_t n, std::size_t m, double max_cost) {
    if (n == 0 || m == 0) {
        // Nothing to pair: no solver, hence no finiteness check either.
        AssociationResult out;
        unmatched_all(n, m, out);
        return out;
    }
    return accept_pairs(linear_assignment(cost, n, m), cost, n, m, max_cost);
}

}  // namespace loomfeather
