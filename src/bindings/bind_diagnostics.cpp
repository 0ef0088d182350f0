// build_info, eigen_selftest and echo: what a caller checks before trusting a
// build.
#include <Eigen/Dense>
#include <cmath>
#include <string>

#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "core/simd.hpp"
#include "core/tracker.hpp"

namespace loomfeather::bindings {
namespace {

// True when a*b + c is rounded twice in the code this module runs, i.e. the
// build did not contract it into a fused multiply-add. The operands go through
// volatile storage so that nothing is folded at compile time.
bool fp_contract_off() {
    static const double probes[5][3] = {
        {0.1, 0.2, -0.02}, {0.3, 0.7, -0.21}, {1.7, 3.3, -5.61}, {2.9, 1.1, -3.19}, {7.1, 0.13, -0.923}};
    for (const auto& p : probes) {
        volatile double va = p[0], vb = p[1], vc = p[2];
        const double a = va, b = vb, c = vc;
        const double fused = std::fma(a, b, c);
        const double separate = a * b + c;
        if (fused != separate) return true;  // also true when either is NaN
    }
    return false;
}

std::string three(int a, int b, int c) {
    return std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
}

py::dict build_info() {
    py::dict info;
    info["module_version"] = LOOMFEATHER_VERSION;
    info["compiler_version"] = "GCC " + three(__GNUC__, __GNUC_MINOR__, __GNUC_PATCHLEVEL__);
    info["eigen_version"] = three(EIGEN_WORLD_VERSION, EIGEN_MAJOR_VERSION, EIGEN_MINOR_VERSION);
    info["pybind11_version"] = std::to_string(PYBIND11_VERSION_MAJOR) + "." + std::to_string(PYBIND11_VERSION_MINOR);
    info["cxx_standard"] = static_cast<long>(__cplusplus);
    info["fp_contract_off"] = fp_contract_off();
    return info;
}

double eigen_selftest() {
    Eigen::Matrix3d a = Eigen::Matrix3d::Zero();
    a.diagonal() << 2.0, 4.0, 8.0;
    const Eigen::Vector3d b(2.0, 4.0, 8.0);
    const Eigen::Vector3d x = a.colPivHouseholderQr().solve(b);
    const double e0 = x(0) - 1.0, e1 = x(1) - 1.0, e2 = x(2) - 1.0;
    return std::sqrt(e2 * e2 + (e0 * e0 + e1 * e1));
}

}  // namespace

void bind_diagnostics(py::module_& m) {
    m.def("build_info", &build_info, "Toolchain versions actually compiled in - not what pip reports.");
    m.def("eigen_selftest", &eigen_selftest,
          "Residual of a 3x3 solve whose exact answer is 0. Non-zero means Eigen is broken.");
    m.def(
        "echo", [](const F64Array& array) { return array; },
        "Return a NumPy array unchanged - proves the array boundary works.", py::arg("array"));
}

void bind_test_switches(py::module_& m) {
    // Private, for the tests: switch the AVX kernels off (or back on where
    // the processor has AVX) to check the scalar ones too; returns the
    // previous setting. Registered after the public table.
    m.def("_use_avx", &loomfeather::use_avx, py::arg("on"));
    // Private, for the memory benchmark: whether trackers give their working
    // buffers back after a spike (on by default); returns the previous setting.
    m.def("_release_scratch", &loomfeather::release_scratch_after_spikes, py::arg("on"));
}

}  // namespace loomfeather::bindings
