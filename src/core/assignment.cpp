#include "core/assignment.hpp"

#include "core/simd.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace loomfeather {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Counts a solve's work and hands the caller's poll a turn once per
// kPollWork units (a unit is one column looked at, about a nanosecond).
class Pacer {
public:
    explicit Pacer(const StopPoll& stop) : stop_(stop) {}
    void work(std::size_t units) {
        if (stop_.poll == nullptr) return;
        if (units < left_) {
            left_ -= units;
            return;
        }
        left_ = kPollWork;
        if (stop_.poll(stop_.context)) throw SolveInterrupted();
    }

private:
    static constexpr std::size_t kPollWork = std::size_t{1} << 20;
    const StopPoll& stop_;
    std::size_t left_ = kPollWork;
};

// The solvers work on nr = min(n, m) rows and nc = max(n, m) columns, so that
// every row can be placed. A wide or square matrix is read in place; a tall
// one is transposed into `storage` (working row r = input column r).
struct WorkingMatrix {
    std::vector<double>& storage;
    const double* w;
    std::size_t nr;
    std::size_t nc;
    bool transposed;

    // With copy = false nothing is read: only the orientation is set up.
    WorkingMatrix(const double* cost, std::size_t n, std::size_t m, std::vector<double>& buffer, bool copy = true)
        : storage(buffer), w(cost), nr(m < n ? m : n), nc(m < n ? n : m), transposed(m < n) {
        if (!transposed || !copy) return;
        storage.resize(n * m);
        for (std::size_t r = 0; r < m; ++r)
            for (std::size_t c = 0; c < n; ++c) storage[r * n + c] = cost[c * m + r];
        w = storage.data();
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

#if LF_X86_SIMD
// collect_others, four entries at a time; returns how many it went through.
LF_TARGET_AVX std::size_t collect_others_avx(const double* cost, std::size_t count, std::size_t m, double top,
                                             std::size_t limit, std::vector<Entry>& found, bool& finite) {
    const __m256d topv = _mm256_set1_pd(top), big = _mm256_set1_pd(DBL_MAX);
    const __m256d abs_mask = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7fffffffffffffffLL));
    __m256d bad = _mm256_setzero_pd();
    std::size_t k = 0;
    for (; k + 4 <= count && found.size() <= limit; k += 4) {
        const __m256d x = _mm256_loadu_pd(cost + k);
        bad = _mm256_or_pd(bad, _mm256_cmp_pd(_mm256_and_pd(x, abs_mask), big, _CMP_NLE_UQ));
        int other = _mm256_movemask_pd(_mm256_cmp_pd(x, topv, _CMP_NEQ_UQ));
        while (other) {
            const int l = __builtin_ctz(other);
            other &= other - 1;
            found.push_back({(k + l) / m, (k + l) % m, cost[k + l]});
        }
    }
    finite &= _mm256_movemask_pd(bad) == 0;
    return k;
}
#endif

// Below this many columns the list form is as fast.
constexpr std::size_t kDenseMinColumns = 16;
// Below this many columns a gated matrix is searched column by column too.
constexpr std::size_t kSparseMinColumns = 16;

inline std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// The entries of the n x m `cost` that differ from `top`, in row-major order,
// while checking that every entry is finite. Gives up (false) once there are
// more than `limit`; the rest of the matrix is then still checked.
bool collect_others(const double* cost, std::size_t n, std::size_t m, double top, std::size_t limit,
                    std::vector<Entry>& found) {
    found.clear();
    const std::size_t count = n * m;
    std::size_t k = 0;
    bool finite = true;
#if LF_X86_SIMD
    if (cpu_has_avx()) k = collect_others_avx(cost, count, m, top, limit, found, finite);
#endif
    for (; k < count && found.size() <= limit; ++k) {
        finite &= DBL_MAX >= std::fabs(cost[k]);  // false for NaN and +-inf
        if (cost[k] != top) found.push_back({k / m, k % m, cost[k]});
    }
    if (!finite) throw std::invalid_argument("cost matrix must be finite; gate before assignment");
    if (found.size() <= limit) return true;
    require_finite_cost(cost + k, count - k, 1);
    return false;
}

// The search of every row, each step scanning every column off the tree.
void search_by_columns(const WorkingMatrix& wm, AssignmentWorkspace& ws, Pacer& pace) {
    const std::size_t nr = wm.nr, nc = wm.nc;
    std::vector<double>&u = ws.u, &v = ws.v, &minv = ws.minv;
    std::vector<std::size_t>&p = ws.p, &way = ws.way, &free_cols = ws.free_cols, &tree_cols = ws.tree_cols;
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
            pace.work((dense ? nc : n_free) + tree_cols.size());
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

}

// The same search for a matrix whose entries mostly hold one value B (the
// forbidden cost of a gated matrix). There the plain search spends nearly
// all its steps walking plateaus of equal reduced costs, one pass over every
// column per step. But two columns off the tree with the same v, whose
// entries are B in every row scanned so far in this search, compute exactly
// the same numbers: minv[j] - pending, (B - u[i0]) - v[j], the same
// comparisons. Such columns are kept as one class with one minv and one way.
// A row holding another value in a member's column leaves it in the class
// when neither value lowers minv (its numbers stay the class's); otherwise
// the column leaves, as it does when it joins the tree, and is scanned on
// its own for the rest of that search. The winner is the lowest (minv, column) pair, as the upward scan
// with strict comparisons picks. A step with delta = 0 skips the potential
// update: u and v start at +0 and sums never turn them into -0, so adding or
// subtracting a zero leaves every one unchanged.
//
// `others` lists, per working row, the columns (1-based) whose entry is not
// B, with the entry. value_ids[j] names v[j] in `values` (kNoClass once the
// table of distinct values is full).
constexpr std::size_t kMaxClasses = 64;
constexpr std::uint32_t kNoClass = 0xffffffffu;

struct Sparse {
    std::size_t nr, nc;
    double background;
    const std::vector<std::size_t>& row_start;
    const std::vector<std::pair<std::size_t, double>>& others;
};

std::uint32_t value_id(std::vector<std::uint64_t>& values, double x) {
    const std::uint64_t b = bits_of(x);
    for (std::uint32_t k = 0; k < values.size(); ++k)
        if (values[k] == b) return k;
    if (values.size() == kMaxClasses) return kNoClass;
    values.push_back(b);
    return static_cast<std::uint32_t>(values.size() - 1);
}

// Moves column j from the list of its old value to the list of v[j]'s.
void regroup(AssignmentWorkspace& ws, std::size_t j) {
    const std::uint32_t old = ws.value_ids[j], now = value_id(ws.values, ws.v[j]);
    if (old == now) return;
    std::vector<std::size_t>& from = old == kNoClass ? ws.unclassed : ws.lists[old];
    std::vector<std::size_t>& to = now == kNoClass ? ws.unclassed : ws.lists[now];
    from.erase(std::lower_bound(from.begin(), from.end(), j));
    to.insert(std::lower_bound(to.begin(), to.end(), j), j);
    ws.value_ids[j] = now;
}

// The classes of one search, one slot each, as arrays (padded to a multiple
// of four with slots that have no member: first = 0).
struct Slots {
    std::size_t count = 0;  // padded
    double *v, *minv, *old, *cur, *lower;  // lower: all bits set where cur < old
    std::uint64_t* way;
    double* first;  // lowest member still in the class, 0 for none
};

// Per slot: old = minv - pending, cur = (B - u) - v, lower = cur < old.
inline void slots_prepare(const Slots& s, double pending, double b_minus_u) {
    for (std::size_t q = 0; q < s.count; ++q) {
        s.old[q] = s.minv[q] - pending;
        s.cur[q] = b_minus_u - s.v[q];
        const bool lower = s.cur[q] < s.old[q];
        std::memset(&s.lower[q], lower ? 0xff : 0, sizeof(double));
    }
}

// Per slot: store the step's minv and way, and offer (minv, first) to the
// lowest-pair selection that the loose columns started.
inline void slots_commit(const Slots& s, std::size_t j0, double& delta, std::size_t& j1, std::size_t& slot) {
    for (std::size_t q = 0; q < s.count; ++q) {
        const bool lower = bits_of(s.lower[q]) != 0;
        s.minv[q] = lower ? s.cur[q] : s.old[q];
        s.way[q] = lower ? j0 : s.way[q];
        const auto first = static_cast<std::size_t>(s.first[q]);
        if (first != 0 && (s.minv[q] < delta || (s.minv[q] == delta && first < j1))) {
            delta = s.minv[q];
            j1 = first;
            slot = q;
        }
    }
}

#if LF_X86_SIMD
LF_TARGET_AVX void slots_prepare_avx(const Slots& s, double pending, double b_minus_u) {
    const __m256d pend = _mm256_set1_pd(pending), bmu = _mm256_set1_pd(b_minus_u);
    for (std::size_t q = 0; q < s.count; q += 4) {
        const __m256d old = _mm256_sub_pd(_mm256_loadu_pd(s.minv + q), pend);
        const __m256d cur = _mm256_sub_pd(bmu, _mm256_loadu_pd(s.v + q));
        _mm256_storeu_pd(s.old + q, old);
        _mm256_storeu_pd(s.cur + q, cur);
        _mm256_storeu_pd(s.lower + q, _mm256_cmp_pd(cur, old, _CMP_LT_OQ));
    }
}

LF_TARGET_AVX void slots_commit_avx(const Slots& s, std::size_t j0, double& delta, std::size_t& j1,
                                    std::size_t& slot) {
    const __m256d vj0 = _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(j0)));
    const __m256d zero = _mm256_setzero_pd();
    __m256d best = _mm256_set1_pd(kInf), best_first = zero, best_slot = zero;
    __m256d qv = _mm256_set_pd(3.0, 2.0, 1.0, 0.0);
    const __m256d four = _mm256_set1_pd(4.0);
    for (std::size_t q = 0; q < s.count; q += 4, qv = _mm256_add_pd(qv, four)) {
        const __m256d lower = _mm256_loadu_pd(s.lower + q);
        const __m256d mv = select(lower, _mm256_loadu_pd(s.cur + q), _mm256_loadu_pd(s.old + q));
        _mm256_storeu_pd(s.minv + q, mv);
        double* way_q = reinterpret_cast<double*>(s.way + q);
        _mm256_storeu_pd(way_q, select(lower, vj0, _mm256_loadu_pd(way_q)));
        const __m256d first = _mm256_loadu_pd(s.first + q);
        // Lowest value, then lowest first member; slots without members never win.
        const __m256d live = _mm256_cmp_pd(first, zero, _CMP_NEQ_OQ);
        const __m256d better = _mm256_or_pd(
            _mm256_cmp_pd(mv, best, _CMP_LT_OQ),
            _mm256_and_pd(_mm256_cmp_pd(mv, best, _CMP_EQ_OQ), _mm256_cmp_pd(first, best_first, _CMP_LT_OQ)));
        const __m256d take = _mm256_and_pd(live, _mm256_or_pd(better, _mm256_cmp_pd(best_first, zero, _CMP_EQ_OQ)));
        const __m256d take_valid = _mm256_and_pd(take, _mm256_cmp_pd(mv, mv, _CMP_ORD_Q));
        const __m256d lt_inf = _mm256_cmp_pd(mv, _mm256_set1_pd(kInf), _CMP_LT_OQ);
        const __m256d t = _mm256_and_pd(take_valid, lt_inf);
        best = select(t, mv, best);
        best_first = select(t, first, best_first);
        best_slot = select(t, qv, best_slot);
    }
    double lane_best[4], lane_first[4], lane_slot[4];
    _mm256_storeu_pd(lane_best, best);
    _mm256_storeu_pd(lane_first, best_first);
    _mm256_storeu_pd(lane_slot, best_slot);
    for (int l = 0; l < 4; ++l) {
        const auto first = static_cast<std::size_t>(lane_first[l]);
        if (first != 0 && (lane_best[l] < delta || (lane_best[l] == delta && first < j1))) {
            delta = lane_best[l];
            j1 = first;
            slot = static_cast<std::size_t>(lane_slot[l]);
        }
    }
}
#endif

void search_with_background(const Sparse& sp, AssignmentWorkspace& ws, Pacer& pace) {
    const std::size_t nr = sp.nr, nc = sp.nc;
    const double background = sp.background;
    std::vector<double>&u = ws.u, &v = ws.v, &minv = ws.minv;
    std::vector<std::size_t>&p = ws.p, &way = ws.way, &tree_cols = ws.tree_cols;
    std::vector<std::uint32_t>&value_ids = ws.value_ids, &slot_of = ws.slot_of;
    // Column j left its class in search i when left[j] == i, and is on the
    // tree when on_tree[j] == i: nothing to clear between searches.
    std::vector<std::size_t>&left = ws.left_in, &on_tree = ws.on_tree_in;
    std::vector<std::size_t>&loose = ws.loose, &changed = ws.changed, &list_of_slot = ws.list_of_slot,
                             &next_of_slot = ws.next_of_slot;
    std::vector<std::vector<std::size_t>>& lists = ws.lists;
    std::vector<double>& row_vals = ws.row_vals;  // W[i0 - 1][j - 1] for the loose columns, by column
#if LF_X86_SIMD
    const bool avx = cpu_has_avx();
#endif

    // The grouping of the columns by v lasts across the searches: the table
    // of values, each column's entry in it, and per entry its columns in
    // ascending order (`unclassed`: those whose v found no room). Only the
    // columns whose v changed in a search are moved after it.
    ws.values.clear();
    const std::uint32_t zero = value_id(ws.values, 0.0);  // every v starts at +0
    value_ids.assign(nc + 1, zero);
    lists.resize(kMaxClasses);
    for (auto& l : lists) l.clear();
    lists[zero].resize(nc);
    for (std::size_t j = 0; j < nc; ++j) lists[zero][j] = j + 1;
    ws.unclassed.clear();
    changed.clear();
    left.assign(nc + 1, 0);
    on_tree.assign(nc + 1, 0);
    row_vals.assign(nc + 1, background);
    slot_of.resize(kMaxClasses);
    ws.slot_data.resize(6 * kMaxClasses);
    ws.slot_way.resize(kMaxClasses);
    list_of_slot.resize(kMaxClasses);
    next_of_slot.resize(kMaxClasses);
    Slots sl;
    sl.v = ws.slot_data.data();
    sl.minv = sl.v + kMaxClasses;
    sl.old = sl.minv + kMaxClasses;
    sl.cur = sl.old + kMaxClasses;
    sl.lower = sl.cur + kMaxClasses;
    sl.first = sl.lower + kMaxClasses;
    sl.way = ws.slot_way.data();

    // The next member of slot q still in its class, or 0.
    auto advance = [&](std::size_t q, std::size_t i) {
        const std::vector<std::size_t>& members = lists[list_of_slot[q]];
        std::size_t& next = next_of_slot[q];
        while (next < members.size() && left[members[next]] == i) ++next;
        sl.first[q] = next < members.size() ? static_cast<double>(members[next]) : 0.0;
    };

    for (std::size_t i = 1; i <= nr; ++i) {
        p[0] = i;
        std::size_t j0 = 0;
        std::size_t i0 = i;

        loose.assign(ws.unclassed.begin(), ws.unclassed.end());
        for (const std::size_t j : loose) minv[j] = kInf;
        std::size_t n_slots = 0;
        for (std::uint32_t k = 0; k < ws.values.size(); ++k) {
            slot_of[k] = kNoClass;
            if (lists[k].empty()) continue;
            const std::size_t q = n_slots++;
            slot_of[k] = static_cast<std::uint32_t>(q);
            std::memcpy(&sl.v[q], &ws.values[k], sizeof(double));
            sl.minv[q] = kInf;
            sl.way[q] = 0;
            list_of_slot[q] = k;
            next_of_slot[q] = 0;
            sl.first[q] = static_cast<double>(lists[k][0]);
        }
        sl.count = (n_slots + 3) & ~std::size_t{3};
        for (std::size_t q = n_slots; q < sl.count; ++q) {
            sl.v[q] = 0.0;
            sl.minv[q] = kInf;
            sl.way[q] = 0;
            sl.first[q] = 0.0;
        }

        tree_cols.assign(1, 0);
        double pending = 0.0;
        for (;;) {
            const std::size_t row = i0 - 1;
            const double ui = u[i0];
            const double b_minus_u = background - ui;
            // This step's numbers for each class, not yet stored.
#if LF_X86_SIMD
            if (avx)
                slots_prepare_avx(sl, pending, b_minus_u);
            else
#endif
                slots_prepare(sl, pending, b_minus_u);
            // A member whose entry in this row is not B keeps the class's
            // numbers when neither its entry nor B lowers minv; otherwise it
            // leaves the class with the class's state and is scanned below.
            for (std::size_t k = sp.row_start[row]; k < sp.row_start[row + 1]; ++k) {
                const std::size_t j = sp.others[k].first;
                row_vals[j] = sp.others[k].second;
                if (value_ids[j] == kNoClass || left[j] == i) continue;
                const std::size_t q = slot_of[value_ids[j]];
                if (bits_of(sl.lower[q]) == 0 && !((row_vals[j] - ui) - sl.v[q] < sl.old[q])) continue;
                left[j] = i;
                minv[j] = sl.minv[q];
                way[j] = sl.way[q];
                loose.push_back(j);
                if (static_cast<std::size_t>(sl.first[q]) == j) advance(q, i);
            }
            double delta = kInf;
            std::size_t j1 = 0;
            for (std::size_t k = 0; k < loose.size(); ++k) {
                const std::size_t j = loose[k];
                if (on_tree[j] == i) {  // drop it: the list's order does not matter
                    loose[k--] = loose.back();
                    loose.pop_back();
                    continue;
                }
                const double old = minv[j] - pending;
                const double cur = (row_vals[j] - ui) - v[j];
                const bool lower = cur < old;
                const double mv = lower ? cur : old;
                way[j] = lower ? j0 : way[j];
                minv[j] = mv;
                if (mv < delta || (mv == delta && j < j1)) {
                    delta = mv;
                    j1 = j;
                }
            }
            for (std::size_t k = sp.row_start[row]; k < sp.row_start[row + 1]; ++k)
                row_vals[sp.others[k].first] = background;
            pace.work(sl.count + loose.size() + tree_cols.size() + (sp.row_start[row + 1] - sp.row_start[row]));
            std::size_t j1_slot = kNoClass;
#if LF_X86_SIMD
            if (avx)
                slots_commit_avx(sl, j0, delta, j1, j1_slot);
            else
#endif
                slots_commit(sl, j0, delta, j1, j1_slot);
            // Only reachable when the reduced costs overflow to infinity.
            if (j1 == 0) throw std::runtime_error("linear_assignment: no free column; n > m?");
            if (delta != 0.0) {
                for (const std::size_t j : tree_cols) {
                    u[p[j]] = u[p[j]] + delta;
                    v[j] = v[j] - delta;
                    if (j != 0) changed.push_back(j);
                }
            }
            if (j1_slot != kNoClass) {
                left[j1] = i;
                minv[j1] = sl.minv[j1_slot];
                way[j1] = sl.way[j1_slot];
                advance(j1_slot, i);
            }
            pending = delta;
            j0 = j1;
            i0 = p[j1];
            if (i0 == 0) break;
            tree_cols.push_back(j1);
            on_tree[j1] = i;
        }
        // Hand each column on the alternating path to the row that reached it.
        do {
            const std::size_t j = way[j0];
            p[j0] = p[j];
            j0 = j;
        } while (j0 != 0);

        pace.work(changed.size() + n_slots);
        for (const std::size_t j : changed) regroup(ws, j);
        changed.clear();
        // A full table: values that no column holds any more free their slot.
        if (ws.values.size() == kMaxClasses) {
            std::vector<std::uint64_t> kept;
            std::vector<std::uint32_t> remap(kMaxClasses, kNoClass);
            for (std::uint32_t k = 0; k < kMaxClasses; ++k)
                if (!lists[k].empty()) {
                    remap[k] = static_cast<std::uint32_t>(kept.size());
                    std::swap(lists[kept.size()], lists[k]);
                    kept.push_back(ws.values[k]);
                }
            ws.values.swap(kept);
            for (std::size_t j = 1; j <= nc; ++j)
                if (value_ids[j] != kNoClass) value_ids[j] = remap[value_ids[j]];
            const std::vector<std::size_t> waiting = ws.unclassed;
            for (const std::size_t j : waiting) regroup(ws, j);
            pace.work(nc);
        }
    }
}

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
// done later. (The first pass subtracts +0.0, which changes no value.) A
// gated matrix goes to search_with_background, which takes the same steps.
AssignmentResult linear_assignment(const double* cost, std::size_t n, std::size_t m, const StopPoll& stop) {
    AssignmentWorkspace ws;
    AssignmentResult out;
    linear_assignment(cost, n, m, ws, out, stop);
    return out;
}

void linear_assignment(const double* cost, std::size_t n, std::size_t m, AssignmentWorkspace& ws,
                       AssignmentResult& out, const StopPoll& stop) {
    Pacer pace(stop);
    out.rows.clear();
    out.cols.clear();
    if (n == 0 || m == 0) return;
    const bool transposed = m < n;
    const std::size_t nr = transposed ? m : n, nc = transposed ? n : m;
    std::vector<std::size_t>& p = ws.p;
    ws.u.assign(nr + 1, 0.0);
    ws.v.assign(nc + 1, 0.0);
    ws.minv.resize(nc + 1);
    p.assign(nc + 1, 0);
    ws.way.assign(nc + 1, 0);
    ws.free_cols.resize(nc);
    ws.tree_cols.reserve(nc + 1);

    // A gated matrix: at least three quarters of the entries hold one value,
    // the largest of the first row (the forbidden cost; not zero, so that
    // equal values have equal bits). Its other entries are listed per working
    // row, straight from the caller's matrix in either orientation. Whichever
    // way the matrix goes, every entry is checked for finiteness first: by
    // collect_others, or on its own when the shortcut is not tried.
    bool sparse = false;
    double top = 0.0;
    if (nc >= kSparseMinColumns) {
        top = cost[0];
        for (std::size_t c = 1; c < m; ++c) top = cost[c] > top ? cost[c] : top;
    }
    if (nc < kSparseMinColumns || top == 0.0) {
        require_finite_cost(cost, n, m);
    } else {
        auto& found = ws.found;  // (input row, input column, value), by input row
        sparse = collect_others(cost, n, m, top, (n * m) / 4, found);
        if (sparse) {
            std::vector<std::size_t>& start = ws.row_start;
            auto& list = ws.others;
            start.assign(nr + 2, 0);
            list.resize(found.size());
            for (const Entry& e : found) ++start[(transposed ? e.col : e.row) + 2];
            for (std::size_t r = 2; r <= nr + 1; ++r) start[r] += start[r - 1];
            // Within a working row the columns ascend: `found` is in input order.
            for (const Entry& e : found) {
                const std::size_t wr = transposed ? e.col : e.row, wc = transposed ? e.row : e.col;
                list[start[wr + 1]++] = {wc + 1, e.value};
            }
            start.pop_back();
            search_with_background(Sparse{nr, nc, top, start, list}, ws, pace);
        }
    }
    const WorkingMatrix wm(cost, n, m, ws.transposed, !sparse);
    if (!sparse) search_by_columns(wm, ws, pace);

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
AssignmentResult linear_assignment_lapjv(const double* cost, std::size_t n, std::size_t m, const StopPoll& stop) {
    if (n == 0 || m == 0) return {};
    Pacer pace(stop);
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
            pace.work(nc);
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
            pace.work(nc);
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

AssociationResult associate(const double* cost, std::size_t n, std::size_t m, double max_cost,
                            const StopPoll& stop) {
    if (n == 0 || m == 0) {
        // Nothing to pair: no solver, hence no finiteness check either.
        // Sized in one step: an empty (2^40, 0) matrix then fails at once with
        // bad_alloc instead of filling all memory through repeated growth.
        AssociationResult out;
        unmatched_all(n, m, out);
        return out;
    }
    return accept_pairs(linear_assignment(cost, n, m, stop), cost, n, m, max_cost);
}

}  // namespace loomfeather
