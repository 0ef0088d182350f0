#include "core/assignment.hpp"

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
    std::vector<double> storage;
    const double* w;
    std::size_t nr;
    std::size_t nc;
    bool transposed;

    WorkingMatrix(const double* cost, std::size_t n, std::size_t m)
        : w(cost), nr(n), nc(m), transposed(m < n) {
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
    AssignmentResult result(std::vector<std::int64_t> col_of_row) const {
        std::vector<std::int64_t> counting(nr);
        for (std::size_t k = 0; k < nr; ++k) counting[k] = static_cast<std::int64_t>(k);
        AssignmentResult out;
        if (transposed) {
            out.rows = std::move(col_of_row);
            out.cols = std::move(counting);
        } else {
            out.rows = std::move(counting);
            out.cols = std::move(col_of_row);
        }
        return out;
    }
};

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
AssignmentResult linear_assignment(const double* cost, std::size_t n, std::size_t m) {
    if (n == 0 || m == 0) return {};
    require_finite_cost(cost, n, m);
    const WorkingMatrix wm(cost, n, m);
    const std::size_t nr = wm.nr, nc = wm.nc;

    std::vector<double> u(nr + 1, 0.0), v(nc + 1, 0.0), minv(nc + 1);
    std::vector<std::size_t> p(nc + 1, 0), way(nc + 1, 0);
    std::vector<char> used(nc + 1);

    for (std::size_t i = 1; i <= nr; ++i) {
        p[0] = i;
        std::size_t j0 = 0;
        std::size_t i0 = i;
        std::fill(minv.begin(), minv.end(), kInf);
        std::fill(used.begin(), used.end(), 0);
        used[0] = 1;
        for (;;) {
            double delta = kInf;
            std::size_t j1 = 0;  // 0 = none: column 0 is never a candidate
            for (std::size_t j = 1; j <= nc; ++j) {
                if (used[j]) continue;
                const double cur = (wm.at(i0 - 1, j - 1) - u[i0]) - v[j];
                if (cur < minv[j]) {
                    minv[j] = cur;
                    way[j] = j0;
                }
                if (minv[j] < delta) {
                    delta = minv[j];
                    j1 = j;
                }
            }
            // Only reachable when the reduced costs overflow to infinity.
            if (j1 == 0) throw std::runtime_error("linear_assignment: no free column; n > m?");
            for (std::size_t j = 0; j <= nc; ++j) {
                if (used[j]) {
                    u[p[j]] = u[p[j]] + delta;
                    v[j] = v[j] - delta;
                } else {
                    minv[j] = minv[j] - delta;
                }
            }
            j0 = j1;
            i0 = p[j1];
            if (i0 == 0) break;
            used[j1] = 1;
        }
        // Hand each column on the alternating path to the row that reached it.
        do {
            const std::size_t j = way[j0];
            p[j0] = p[j];
            j0 = j;
        } while (j0 != 0);
    }

    std::vector<std::int64_t> col_of_row(nr, -1);
    for (std::size_t c = 0; c < nc; ++c) {
        if (p[c + 1] != 0) col_of_row[p[c + 1] - 1] = static_cast<std::int64_t>(c);
    }
    return wm.result(std::move(col_of_row));
}

// Jonker-Volgenant: a greedy start on row minima, then one Dijkstra search
// with column prices v (reduced cost W[i][j] - v[j]) per row left free.
// Ties go to the lowest column index at every step.
AssignmentResult linear_assignment_lapjv(const double* cost, std::size_t n, std::size_t m) {
    if (n == 0 || m == 0) return {};
    require_finite_cost(cost, n, m);
    const WorkingMatrix wm(cost, n, m);
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
    return wm.result(std::move(x));
}

AssociationResult accept_pairs(const AssignmentResult& pairs, const double* cost, std::size_t n, std::size_t m,
                               double max_cost, const std::uint8_t* reject) {
    AssociationResult out;
    const std::size_t k_pairs = pairs.rows.size();
    out.match_rows.reserve(k_pairs);
    out.match_cols.reserve(k_pairs);
    std::vector<char> row_taken(n, 0), col_taken(m, 0);
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
    return out;
}

AssociationResult associate(const double* cost, std::size_t n, std::size_t m, double max_cost) {
    if (n == 0 || m == 0) {
        // Nothing to pair: no solver, hence no finiteness check either.
        // Reserved up front: an empty (2^40, 0) matrix then fails at once with
        // bad_alloc instead of filling all memory through repeated growth.
        AssociationResult out;
        out.unmatched_rows.reserve(n);
        out.unmatched_cols.reserve(m);
        for (std::size_t r = 0; r < n; ++r) out.unmatched_rows.push_back(static_cast<std::int64_t>(r));
        for (std::size_t c = 0; c < m; ++c) out.unmatched_cols.push_back(static_cast<std::int64_t>(c));
        return out;
    }
    return accept_pairs(linear_assignment(cost, n, m), cost, n, m, max_cost);
}

}  // namespace loomfeather
