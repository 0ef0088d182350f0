// KalmanBoxTracker and chi2_gating_threshold.
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "bindings/nogil.hpp"
#include "bindings/object_protocol.hpp"
#include "core/kalman.hpp"

namespace loomfeather::bindings {
namespace {

namespace kf = loomfeather::kalman;

// The Python object: only the two noise weights; states belong to the caller.
struct KalmanBoxTracker {
    double sp;
    double sv;
};

[[noreturn]] void refuse(const char* text) { throw std::invalid_argument(text); }

constexpr std::int32_t kStateVersion = 1;  // of the pickled state

// One track: mean (8,), covariance of 64 values in any shape. shape(0) comes
// first so that a 0-dimensional mean fails as in the batch forms.
bool is_single_state(const F64Array& mean, const F64Array& cov) {
    return mean.shape(0) == 8 && mean.ndim() == 1 && cov.size() == 64;
}

// N tracks: means (N, 8), covariances (N, 8, 8).
bool is_state_batch(const F64Array& mean, const F64Array& cov, py::ssize_t n) {
    return mean.ndim() == 2 && mean.shape(1) == 8 && cov.ndim() == 3 && cov.shape(0) == n && cov.shape(1) == 8 &&
           cov.shape(2) == 8;
}

using StepKernel = void (*)(const KalmanBoxTracker&, const double*, const double*, double*, double*);

// predict and project: the single form for a 1-D mean, otherwise one row per
// track; `out` is the size of a result mean (8 or 4).
auto per_track(const KalmanBoxTracker& tracker, const F64Array& mean, const F64Array& cov, py::ssize_t out,
               StepKernel kernel, const char* single_msg, const char* batch_msg) {
    if (mean.ndim() == 1) {
        if (!is_single_state(mean, cov)) refuse(single_msg);
        F64Array m = new_f64({out});
        F64Array p = new_f64({out, out});
        kernel(tracker, mean.data(), cov.data(), m.mutable_data(), p.mutable_data());
        return py::make_tuple(m, p);
    }
    const py::ssize_t n = mean.shape(0);
    if (!is_state_batch(mean, cov, n)) refuse(batch_msg);
    F64Array m = new_f64({n, out});
    F64Array p = new_f64({n, out, out});
    const double* mi = mean.data();
    const double* pi = cov.data();
    double* mo = m.mutable_data();
    double* po = p.mutable_data();
    {
        ReleaseIf nogil(static_cast<std::size_t>(n) >= kReleaseGating);
        for (py::ssize_t i = 0; i < n; ++i, mi += 8, pi += 64, mo += out, po += out * out)
            kernel(tracker, mi, pi, mo, po);
    }
    return py::make_tuple(m, p);
}

using GatingCore = void (*)(double, const double*, const double*, std::size_t, const double*, std::size_t, double*);

F64Array gating(const KalmanBoxTracker& tracker, const F64Array& means, const F64Array& covs, py::ssize_t n,
                const F64Array& measurements, bool batch, GatingCore core = &kf::gating_distance_batch) {
    // Trailing values short of a whole measurement are ignored.
    const auto m = static_cast<py::ssize_t>(element_count(measurements) / 4);
    F64Array out = batch ? new_f64({n, m}) : new_f64({m});
    double* o = out.mutable_data();
    {
        ReleaseIf nogil(static_cast<std::size_t>(n) * static_cast<std::size_t>(m) >= kReleaseGating);
        core(tracker.sp, means.data(), covs.data(), static_cast<std::size_t>(n), measurements.data(),
             static_cast<std::size_t>(m), o);
    }
    return out;
}

// gating_distance_batch's argument rules, with the solve chosen by `core`.
F64Array gating_batch(const KalmanBoxTracker& k, const F64Array& means, const F64Array& covs,
                      const F64Array& measurements, GatingCore core) {
    const char* msg = "gating_distance_batch: expected (N, 8) means and (N, 8, 8) covariances";
    if (means.ndim() == 1) {
        if (!is_single_state(means, covs)) refuse(msg);
        return gating(k, means, covs, 1, measurements, true, core);
    }
    const py::ssize_t n = means.shape(0);
    if (!is_state_batch(means, covs, n)) refuse(msg);
    return gating(k, means, covs, n, measurements, true, core);
}

using UpdateCore = void (*)(double, double, const double*, const double*, const double*, double*, double*) noexcept;

py::tuple correct(const KalmanBoxTracker& k, const F64Array& mean, const F64Array& cov, const F64Array& z,
                  UpdateCore core) {
    // A 0-dimensional array has one element, so these also refuse it.
    if (element_count(mean) != 8 || element_count(cov) != 64 || element_count(z) != 4)
        refuse("update: expected (8,), (8, 8) and (4,)");
    F64Array mean_out = new_f64({8});
    F64Array cov_out = new_f64({8, 8});
    core(k.sp, k.sv, mean.data(), cov.data(), z.data(), mean_out.mutable_data(), cov_out.mutable_data());
    return py::make_tuple(mean_out, cov_out);
}

}  // namespace

void bind_kalman(py::module_& m) {
    m.def("chi2_gating_threshold", &kf::chi2_gating_threshold, py::arg("dof") = 4);

    using Self = Live<KalmanBoxTracker>;
    py::class_<KalmanBoxTracker> cls(m, "KalmanBoxTracker");
    cls.def(py::init([](double sp, double sv) { return KalmanBoxTracker{sp, sv}; }),
            py::arg("std_weight_position") = 0.05, py::arg("std_weight_velocity") = 0.00625)
        .def_property_readonly("std_weight_position", [](Self k) { return k->sp; })
        .def_property_readonly("std_weight_velocity", [](Self k) { return k->sv; })
        .def(
            "initiate",
            [](Self self, const F64Array& z) {
                const KalmanBoxTracker& k = *self;
                if (element_count(z) != 4) refuse("initiate: measurement must have 4 values");
                F64Array mean = new_f64({8});
                F64Array cov = new_f64({8, 8});
                kf::initiate(k.sp, k.sv, z.data(), mean.mutable_data(), cov.mutable_data());
                return py::make_tuple(mean, cov);
            },
            py::arg("measurement"))
        .def(
            "predict",
            [](Self k, const F64Array& mean, const F64Array& cov) {
                return per_track(
                    *k, mean, cov, 8,
                    [](const KalmanBoxTracker& t, const double* mi, const double* pi, double* mo, double* po) {
                        kf::predict(t.sp, t.sv, mi, pi, mo, po);
                    },
                    "predict: expected (8,) mean and (8, 8) covariance",
                    "predict: expected (N, 8) mean and (N, 8, 8) covariance");
            },
            py::arg("mean"), py::arg("covariance"))
        .def(
            "project",
            [](Self k, const F64Array& mean, const F64Array& cov) {
                return per_track(
                    *k, mean, cov, 4,
                    [](const KalmanBoxTracker& t, const double* mi, const double* pi, double* mo, double* po) {
                        kf::project(t.sp, mi, pi, mo, po);
                    },
                    "project: expected (8,) mean and (8, 8) covariance",
                    "project: expected (N, 8) mean and (N, 8, 8) covariance");
            },
            py::arg("mean"), py::arg("covariance"))
        .def(
            "update",
            [](Self k, const F64Array& mean, const F64Array& cov, const F64Array& z) {
                return correct(*k, mean, cov, z, &kf::update);
            },
            py::arg("mean"), py::arg("covariance"), py::arg("measurement"))
        // Private: the same correction through Eigen's solve and products,
        // kept only as the oracle of the written-out one in the tests.
        .def(
            "_update_eigen",
            [](Self k, const F64Array& mean, const F64Array& cov, const F64Array& z) {
                return correct(*k, mean, cov, z, &kf::update_eigen);
            },
            py::arg("mean"), py::arg("covariance"), py::arg("measurement"))
        .def(
            "gating_distance",
            [](Self k, const F64Array& mean, const F64Array& cov, const F64Array& measurements) {
                if (!is_single_state(mean, cov)) refuse("gating_distance: expected (8,) mean and (8, 8) covariance");
                return gating(*k, mean, cov, 1, measurements, false);
            },
            py::arg("mean"), py::arg("covariance"), py::arg("measurements"))
        .def(
            "gating_distance_batch",
            [](Self k, const F64Array& means, const F64Array& covs, const F64Array& measurements) {
                return gating_batch(*k, means, covs, measurements, &kf::gating_distance_batch);
            },
            py::arg("means"), py::arg("covariances"), py::arg("measurements"))
        // Private: the same distances through Eigen's generic solve, kept only
        // as the oracle of the hand-written substitution in the tests.
        .def(
            "_gating_distance_batch_eigen",
            [](Self k, const F64Array& means, const F64Array& covs, const F64Array& measurements) {
                return gating_batch(*k, means, covs, measurements, &kf::gating_distance_batch_eigen);
            },
            py::arg("means"), py::arg("covariances"), py::arg("measurements"));

    // Object protocol: the state is (format version 1, std_weight_position,
    // std_weight_velocity).
    auto state = [](Self k) { return py::make_tuple(kStateVersion, k->sp, k->sv); };
    cls.def(py::pickle(state, [](const py::object& s) {
        StateReader r(s, "KalmanBoxTracker state", 3);
        r.version(kStateVersion);
        const double sp = r.real("std_weight_position");
        return KalmanBoxTracker{sp, r.real("std_weight_velocity")};
    }));
    def_copy_and_reduce(
        cls, [](const KalmanBoxTracker& k) { return std::make_unique<KalmanBoxTracker>(k); }, state);
    guard_instance_methods(cls);
}

}  // namespace loomfeather::bindings
