// The binding table, one registration function per subsystem, called by
// module.cpp in table order.
#pragma once
#include <pybind11/pybind11.h>

namespace loomfeather::bindings {

void bind_diagnostics(pybind11::module_& m);     // build_info, eigen_selftest, echo
void bind_geometry(pybind11::module_& m);        // conversions, box_area, iou/giou, clip_boxes
void bind_assignment(pybind11::module_& m);      // linear_assignment, associate, linear_assignment_lapjv
void bind_tracker_config(pybind11::module_& m);  // TrackerConfig
void bind_costs(pybind11::module_& m);           // build_association_cost, appearance/uncertainty_distance
void bind_byte_tracker(pybind11::module_& m);    // ByteTracker
void bind_kalman(pybind11::module_& m);          // chi2_gating_threshold, KalmanBoxTracker
void bind_evaluation(pybind11::module_& m);     // evaluate_sequence, combine_evaluations, linear_assignment_scipy
void bind_test_switches(pybind11::module_& m);   // private: _use_avx

}  // namespace loomfeather::bindings
