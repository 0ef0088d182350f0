// Module frame: the init function (version check, multi-phase definition,
// sub-interpreters refused) comes from PYBIND11_MODULE; the body sets the two
// attributes and registers the binding table in its fixed order.
#include <pybind11/pybind11.h>

#include "bindings/bindings.hpp"
#include "bindings/object_protocol.hpp"

namespace py = pybind11;
namespace lb = loomfeather::bindings;

PYBIND11_MODULE(loomfeather_cpp, m, py::multiple_interpreters::not_supported()) {
    m.attr("__doc__") = "Optimized C++ ByteTrack - parity-gated against loomfeather-mot (NumPy).";
    m.attr("__version__") = LOOMFEATHER_VERSION;

    lb::bind_diagnostics(m);
    lb::bind_geometry(m);
    lb::bind_assignment(m);
    lb::bind_tracker_config(m);
    lb::bind_costs(m);
    lb::bind_byte_tracker(m);
    lb::bind_kalman(m);
    lb::bind_evaluation(m);
    lb::bind_test_switches(m);
    // Last, so that the classes above keep the library's own instance creation.
    lb::guard_common_base();
}
