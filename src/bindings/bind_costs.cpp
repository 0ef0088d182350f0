// build_association_cost, appearance_distance and uncertainty_distance.
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "bindings/nogil.hpp"
#include "core/costs.hpp"

namespace loomfeather::bindings {
namespace {

// An optional matrix argument (None = absent). Constructing the array from the
// object lets NumPy's own conversion error reach the caller. Only the first
// T*D values are read, whatever the shape, so a shorter array is refused
// rather than read past its end.
std::optional<F64Array> optional_matrix(const py::object& obj, const char* name, std::size_t needed) {
    if (obj.is_none()) return std::nullopt;
    F64Array array(obj);
    if (static_cast<std::size_t>(array.size()) < needed)
        throw std::invalid_argument(std::string("build_association_cost: ") + name + " must hold at least T*D values");
    return array;
}

const double* data_of(const std::optional<F64Array>& a) { return a ? a->data() : nullptr; }

// `use_giou` is accepted for signature compatibility with the tracker's
// configuration but not read here: a caller wanting 1 - GIoU as the overlap
// term passes it through `motion`.
py::tuple build_association_cost_py(const F64Array& ious, double w_iou, double w_app, double w_unc,
                                    bool /*use_giou*/, double iou_thresh, const py::object& motion,
                                    const py::object& class_mismatch, const py::object& gating_d2,
                                    const py::object& gate_thresh, const py::object& appearance,
                                    const py::object& uncertainty) {
    if (ious.ndim() != 2) throw std::invalid_argument("ious must be (T, D)");
    const auto tracks = static_cast<std::size_t>(ious.shape(0));
    const auto detections = static_cast<std::size_t>(ious.shape(1));
    const std::size_t n = tracks * detections;

    const auto motion_a = optional_matrix(motion, "motion", n);
    const auto gating_a = optional_matrix(gating_d2, "gating_d2", n);
    const auto appearance_a = optional_matrix(appearance, "appearance", n);
    const auto uncertainty_a = optional_matrix(uncertainty, "uncertainty", n);
    const bool has_gate_thresh = !gate_thresh.is_none();
    const double gate_value = has_gate_thresh ? gate_thresh.cast<double>() : 0.0;
    const auto mismatch_a = optional_matrix(class_mismatch, "class_mismatch", n);

    std::vector<std::uint8_t> mask;
    if (mismatch_a && n > 0) {
        mask.resize(n);
        const double* x = mismatch_a->data();
        for (std::size_t k = 0; k < n; ++k) mask[k] = (x[k] != 0.0 || std::isnan(x[k])) ? 1 : 0;
    }

    AssociationCostInputs in;
    in.ious = ious.data();
    in.tracks = tracks;
    in.detections = detections;
    in.w_iou = w_iou;
    in.w_app = w_app;
    in.w_unc = w_unc;
    in.iou_thresh = iou_thresh;
    in.motion = data_of(motion_a);
    in.class_mismatch = mask.empty() ? nullptr : mask.data();
    in.gating_d2 = data_of(gating_a);
    in.has_gate_thresh = has_gate_thresh;
    in.gate_thresh = gate_value;
    in.appearance = data_of(appearance_a);
    in.uncertainty = data_of(uncertainty_a);

    F64Array cost = new_f64({static_cast<py::ssize_t>(tracks), static_cast<py::ssize_t>(detections)});
    double* out = cost.mutable_data();
    double gate;
    {
        ReleaseIf nogil(n >= kReleasePairs);
        gate = build_association_cost(in, out);
    }
    return py::make_tuple(cost, gate);
}

F64Array appearance_distance_py(const F64Array& track_features, const F64Array& det_features) {
    if (track_features.ndim() != 2 || det_features.ndim() != 2 || track_features.shape(1) != det_features.shape(1))
        throw std::invalid_argument("appearance_distance: expected (T, d) and (D, d)");
    const py::ssize_t tracks = track_features.shape(0), detections = det_features.shape(0);
    F64Array out = new_f64({tracks, detections});
    if (tracks == 0 || detections == 0) return out;
    const auto dim = static_cast<std::size_t>(track_features.shape(1));
    const std::size_t pairs = static_cast<std::size_t>(tracks) * static_cast<std::size_t>(detections);
    double* o = out.mutable_data();
    {
        ReleaseIf nogil(pairs * (dim + 1) >= kReleasePairs);
        appearance_distance(track_features.data(), static_cast<std::size_t>(tracks), det_features.data(),
                            static_cast<std::size_t>(detections), dim, o);
    }
    return out;
}

F64Array uncertainty_distance_py(const F64Array& gating_d2, double gate_thresh) {
    F64Array out(std::vector<py::ssize_t>(gating_d2.shape(), gating_d2.shape() + gating_d2.ndim()));
    const auto count = static_cast<std::size_t>(gating_d2.size());
    double* o = out.mutable_data();
    {
        ReleaseIf nogil(count >= kReleaseBoxes);
        uncertainty_distance(gating_d2.data(), count, gate_thresh, o);
    }
    return out;
}

}  // namespace

void bind_costs(py::module_& m) {
    m.def("build_association_cost", &build_association_cost_py, py::arg("ious"), py::arg("w_iou") = 1.0,
          py::arg("w_app") = 0.0, py::arg("w_unc") = 0.0, py::arg("use_giou") = false, py::arg("iou_thresh") = 0.3,
          py::arg("motion") = py::none(), py::arg("class_mismatch") = py::none(), py::arg("gating_d2") = py::none(),
          py::arg("gate_thresh") = py::none(), py::arg("appearance") = py::none(),
          py::arg("uncertainty") = py::none());
    m.def("appearance_distance", &appearance_distance_py, py::arg("track_features"), py::arg("det_features"));
    m.def("uncertainty_distance", &uncertainty_distance_py, py::arg("gating_d2"), py::arg("gate_thresh"));
}

}  // namespace loomfeather::bindings
