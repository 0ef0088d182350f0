// The binding table, one registration function per subsystem, called by
// module.cpp in table order.
#pragma once
#include <pybind11/pybind11.h>

namespace loomfeather::bindings {

void bind_diagnostics(pybind11::module_& m);     // build_info, eigen_selftest, echo
void bind_geometry(pybind11::module_& m);        // conversions, box_area, iou/giou, clip_boxes
void bind_kalman(pybind11::module_& m);          // chi2_gating_threshold, KalmanBoxTracker

}  // namespace loomfeather::bindings
