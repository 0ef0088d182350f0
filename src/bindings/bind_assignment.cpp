// linear_assignment, associate and linear_assignment_lapjv.
#include <algorithm>
#include <vector>

#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "bindings/nogil.hpp"
#include "core/assignment.hpp"

namespace loomfeather::bindings {
namespace {

using Solver = AssignmentResult (*)(const double*, std::size_t, std::size_t, const StopPoll&);

py::array_t<std::int64_t> to_i64(const std::vector<std::int64_t>& values) {
    auto out = new_i64({static_cast<py::ssize_t>(values.size())});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

std::pair<std::size_t, std::size_t> cost_shape(const F64Array& cost, const char* name) {
    return require_2d_cost(static_cast<std::size_t>(cost.ndim()), cost.shape(), name);
}

// Both solvers answer an empty array of any rank with no pairs before
// looking at its shape.
void def_solver(py::module_& m, const char* name, Solver solver, const char* doc) {
    m.def(
        name,
        [name, solver](const F64Array& cost) {
            if (cost.ndim() >= 1 && cost.size() == 0) return py::make_tuple(new_i64({0}), new_i64({0}));
            const auto [n, cols] = cost_shape(cost, name);
            const double* data = cost.data();
            const AssignmentResult r = solve_released(
                n * cols, [&, n = n, cols = cols](const StopPoll& stop) { return solver(data, n, cols, stop); });
            return py::make_tuple(to_i64(r.rows), to_i64(r.cols));
        },
        doc, py::arg("cost"));
}

}  // namespace

void bind_assignment(py::module_& m) {
    def_solver(m, "linear_assignment", &linear_assignment,
               "Solve the rectangular linear-sum-assignment problem (minimisation).");

    m.def(
        "associate",
        [](const F64Array& cost, double max_cost) {
            const auto [n, cols] = cost_shape(cost, "associate");
            const double* data = cost.data();
            const AssociationResult r = solve_released(n * cols, [&, n = n, cols = cols](const StopPoll& stop) {
                return associate(data, n, cols, max_cost, stop);
            });
            const std::size_t k = r.match_rows.size();
            auto matches = new_i64({static_cast<py::ssize_t>(k), 2});
            std::int64_t* out = matches.mutable_data();
            for (std::size_t i = 0; i < k; ++i) {
                out[2 * i] = r.match_rows[i];
                out[2 * i + 1] = r.match_cols[i];
            }
            return py::make_tuple(matches, to_i64(r.unmatched_rows), to_i64(r.unmatched_cols));
        },
        "Gated one-to-one association; returns (matches, unmatched_rows, unmatched_cols).", py::arg("cost"),
        py::arg("max_cost"));

    def_solver(m, "linear_assignment_lapjv", &linear_assignment_lapjv,
               "Jonker-Volgenant assignment. NOT parity-safe: optimal, but a different optimum on ties. "
               "Provided to price the trade, not to take it.");
}

}  // namespace loomfeather::bindings
