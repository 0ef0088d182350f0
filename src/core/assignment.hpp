// Rectangular linear assignment (minimisation) and gated association on a
// row-major n x m float64 cost buffer. The cost must be finite: forbidden
// pairs carry a large finite cost ("gate before assignment").
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

namespace loomfeather {

// A long solve asks poll(context) now and then (after about a million
// elementary steps of work) whether to stop; on true it throws
// SolveInterrupted, which leaves nothing behind. Without a poll (the
// default) it never asks. The poll must be cheap most of the time.
struct StopPoll {
    bool (*poll)(void*) = nullptr;
    void* context = nullptr;
};

class SolveInterrupted : public std::exception {
public:
    const char* what() const noexcept override { return "assignment stopped by its caller"; }
};

// Pair k is (rows[k], cols[k]); min(n, m) pairs.
struct AssignmentResult {
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> cols;
};

// Accepted pairs, and every row / column in no accepted pair (ascending).
struct AssociationResult {
    std::vector<std::int64_t> match_rows;
    std::vector<std::int64_t> match_cols;
    std::vector<std::int64_t> unmatched_rows;
    std::vector<std::int64_t> unmatched_cols;
};

// (n, m) = (shape[0], shape[1]) when ndim is 2; otherwise std::invalid_argument
// "<name>: cost must be a 2-D (n, m) array".
std::pair<std::size_t, std::size_t> require_2d_cost(std::size_t ndim, const std::int64_t* shape, const char* name);

// std::invalid_argument "cost matrix must be finite; gate before assignment"
// at the first NaN or infinite element.
void require_finite_cost(const double* cost, std::size_t n, std::size_t m);

struct Entry {
    std::size_t row, col;
    double value;
};

// Working storage of linear_assignment and accept_pairs, kept by a caller
// that solves many problems (the tracker) to save allocations. Nothing in it
// is read before being written within one call.
struct AssignmentWorkspace {
    // Every search.
    std::vector<double> transposed, u, v, minv;
    std::vector<std::size_t> p, way, tree_cols;
    std::vector<std::int64_t> col_of_row;
    // Searches scanning the columns: the free-column list, or the AVX mask.
    std::vector<std::size_t> free_cols;
    std::vector<std::uint64_t> on_tree;
    // Searches of a gated matrix: its other entries per working row, the
    // columns grouped by v, and one search's classes (slots).
    std::vector<Entry> found;
    std::vector<std::size_t> row_start;
    std::vector<std::pair<std::size_t, double>> others;
    std::vector<double> row_vals;
    std::vector<std::uint64_t> values;
    std::vector<std::uint32_t> value_ids, slot_of;
    std::vector<std::vector<std::size_t>> lists;
    std::vector<std::size_t> unclassed, changed, loose, left_in, on_tree_in, list_of_slot, next_of_slot;
    std::vector<double> slot_data;
    std::vector<std::uint64_t> slot_way;
    // accept_pairs.
    std::vector<char> row_taken, col_taken;
};

// The reference's shortest-augmenting-path solver, with its tie-breaking.
AssignmentResult linear_assignment(const double* cost, std::size_t n, std::size_t m, const StopPoll& stop = {});
// The same, with caller-kept storage; `out` is overwritten.
void linear_assignment(const double* cost, std::size_t n, std::size_t m, AssignmentWorkspace& ws,
                       AssignmentResult& out, const StopPoll& stop = {});

// Jonker-Volgenant: optimal, but a different optimum on ties.
AssignmentResult linear_assignment_lapjv(const double* cost, std::size_t n, std::size_t m,
                                         const StopPoll& stop = {});

// The acceptance rule, in the solver's pair order: pair (r, c) is accepted
// when max_cost >= cost[r*m + c] and, if `reject` is given, reject[r*m + c]
// is 0. Unmatched rows and columns follow in ascending order.
AssociationResult accept_pairs(const AssignmentResult& pairs, const double* cost, std::size_t n, std::size_t m,
                               double max_cost, const std::uint8_t* reject = nullptr);
// The same, with caller-kept storage; `out` is overwritten.
void accept_pairs(const AssignmentResult& pairs, const double* cost, std::size_t n, std::size_t m, double max_cost,
                  const std::uint8_t* reject, AssignmentWorkspace& ws, AssociationResult& out);

// No pairs: every row and every column unmatched; `out` is overwritten.
void unmatched_all(std::size_t n, std::size_t m, AssociationResult& out);

// linear_assignment followed by accept_pairs; with n or m = 0 no solver runs.
AssociationResult associate(const double* cost, std::size_t n, std::size_t m, double max_cost,
                            const StopPoll& stop = {});

}  // namespace loomfeather
