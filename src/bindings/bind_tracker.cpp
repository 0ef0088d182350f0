// TrackerConfig and ByteTracker: frame validation in, result arrays out.
#include <cmath>
#include <cstdint>
#include <stdexcept>

#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "core/tracker.hpp"

namespace loomfeather::bindings {
namespace {

using loomfeather::ByteTracker;
using loomfeather::TrackerConfig;

TrackerConfig make_config(double high_score_thresh, double low_score_thresh, double match_iou_thresh,
                          double recovery_iou_thresh, double new_track_thresh, int n_init, int max_age,
                          bool use_mahalanobis_gating, bool class_aware, double w_iou, double w_app, double w_unc,
                          bool use_giou, double appearance_ema_alpha, double kf_noise_scale, double w_ocm,
                          int ocm_delta_t, bool use_oru, bool use_gmc, bool use_lapjv) {
    TrackerConfig c;
    c.high_score_thresh = high_score_thresh;
    c.low_score_thresh = low_score_thresh;
    c.match_iou_thresh = match_iou_thresh;
    c.recovery_iou_thresh = recovery_iou_thresh;
    c.new_track_thresh = new_track_thresh;
    c.n_init = n_init;
    c.max_age = max_age;
    c.use_mahalanobis_gating = use_mahalanobis_gating;
    c.class_aware = class_aware;
    c.w_iou = w_iou;
    c.w_app = w_app;
    c.w_unc = w_unc;
    c.use_giou = use_giou;
    c.appearance_ema_alpha = appearance_ema_alpha;
    c.kf_noise_scale = kf_noise_scale;
    c.use_lapjv = use_lapjv;
    c.w_ocm = w_ocm;
    c.ocm_delta_t = ocm_delta_t;
    c.use_oru = use_oru;
    c.use_gmc = use_gmc;
    validate_config(c);
    return c;
}

[[noreturn]] void refuse(const char* msg) { throw std::invalid_argument(msg); }

// Validates one frame completely, in a fixed order, before the tracker is
// touched. `held` keeps converted optional arrays alive for the call.
struct ValidatedFrame {
    FrameInput input;
    std::vector<F64Array> held;
};

ValidatedFrame validate_frame(const F64Array& boxes, const F64Array& scores, const py::object& class_ids,
                              const py::object& features) {
    if (boxes.ndim() != 2 || boxes.shape(1) != 4) refuse("update: boxes must be (N, 4)");
    const auto n = static_cast<std::size_t>(boxes.shape(0));
    if (static_cast<std::size_t>(scores.size()) != n) refuse("update: scores must have one entry per box");

    ValidatedFrame frame;
    std::vector<std::int32_t> classes(n, -1);
    if (!class_ids.is_none()) {
        F64Array ids(class_ids);  // NumPy's forced cast; its errors propagate
        frame.held.push_back(ids);
        if (static_cast<std::size_t>(ids.size()) != n) refuse("update: class_ids must have one entry per box");
        const double* v = ids.data();
        for (std::size_t i = 0; i < n; ++i) {
            // Truncation toward zero must land inside int32 (NaN fails too).
            if (!(v[i] > -2147483649.0 && v[i] < 2147483648.0))
                refuse("update: class_ids must be finite and fit in int32");
            classes[i] = static_cast<std::int32_t>(v[i]);
        }
    }

    const double* rows = nullptr;
    if (!features.is_none()) {
        F64Array f(features);
        frame.held.push_back(f);
        if (f.ndim() != 2 || static_cast<std::size_t>(f.shape(0)) != n) refuse("update: features must be (N, d)");
        frame.input.dim = static_cast<std::size_t>(f.shape(1));
        rows = f.data();
        // One NaN would otherwise stay in a track's averaged embedding forever.
        for (py::ssize_t k = 0; k < f.size(); ++k)
            if (!std::isfinite(rows[k])) refuse("update: features must be finite");
    }

    const double* b = boxes.data();
    const double* s = scores.data();
    frame.input.detections.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double* box = b + 4 * i;
        if (box[0] > box[2] || box[1] > box[3]) refuse("degenerate box (x2<x1 or y2<y1)");
        frame.input.detections.push_back(
            {box, s[i], classes[i], rows != nullptr ? rows + i * frame.input.dim : nullptr});
    }
    return frame;
}

py::tuple update(ByteTracker& tracker, const F64Array& boxes, const F64Array& scores, const py::object& class_ids,
                 const py::object& features, bool return_indices) {
    const ValidatedFrame frame = validate_frame(boxes, scores, class_ids, features);
    tracker.check_counters(frame.input.detections.size());
    const std::vector<TrackOutput> rows = tracker.update(frame.input);

    const auto k = static_cast<py::ssize_t>(rows.size());
    auto ids = new_i64({k});
    F64Array xyxy = new_f64({k, 4});
    F64Array out_scores = new_f64({k});
    auto classes = new_i64({k});
    auto* pi = ids.mutable_data();
    auto* pb = xyxy.mutable_data();
    auto* ps = out_scores.mutable_data();
    auto* pc = classes.mutable_data();
    for (py::ssize_t r = 0; r < k; ++r) {
        pi[r] = rows[r].track_id;
        for (int c = 0; c < 4; ++c) pb[4 * r + c] = rows[r].box[c];
        ps[r] = rows[r].score;
        pc[r] = rows[r].class_id;
    }
    if (!return_indices) return py::make_tuple(ids, xyxy, out_scores, classes);
    auto matched = new_i64({k});
    auto* pm = matched.mutable_data();
    for (py::ssize_t r = 0; r < k; ++r) pm[r] = rows[r].det_index;
    return py::make_tuple(ids, xyxy, out_scores, classes, matched);
}

py::tuple track_states(const ByteTracker& tracker) {
    const auto& tracks = tracker.tracks();
    const auto n = static_cast<py::ssize_t>(tracks.size());
    py::array_t<std::int64_t> cols[5] = {new_i64({n}), new_i64({n}), new_i64({n}), new_i64({n}), new_i64({n})};
    for (py::ssize_t i = 0; i < n; ++i) {
        const Track& t = *tracks[i];
        cols[0].mutable_data()[i] = t.track_id;
        cols[1].mutable_data()[i] = static_cast<std::int32_t>(t.state);
        cols[2].mutable_data()[i] = t.hits;
        cols[3].mutable_data()[i] = t.age;
        cols[4].mutable_data()[i] = t.time_since_update;
    }
    return py::make_tuple(cols[0], cols[1], cols[2], cols[3], cols[4]);
}

}  // namespace

void bind_tracker_config(py::module_& m) {
    py::class_<TrackerConfig>(m, "TrackerConfig")
        .def(py::init(&make_config), py::arg("high_score_thresh") = 0.5, py::arg("low_score_thresh") = 0.1,
             py::arg("match_iou_thresh") = 0.3, py::arg("recovery_iou_thresh") = 0.5,
             py::arg("new_track_thresh") = 0.6, py::arg("n_init") = 3, py::arg("max_age") = 30,
             py::arg("use_mahalanobis_gating") = true, py::arg("class_aware") = true, py::arg("w_iou") = 1.0,
             py::arg("w_app") = 0.0, py::arg("w_unc") = 0.0, py::arg("use_giou") = false,
             py::arg("appearance_ema_alpha") = 0.9, py::arg("kf_noise_scale") = 1.0, py::arg("w_ocm") = 0.0,
             py::arg("ocm_delta_t") = 3, py::arg("use_oru") = false, py::arg("use_gmc") = false,
             py::arg("use_lapjv") = false)
        .def_readonly("high_score_thresh", &TrackerConfig::high_score_thresh)
        .def_readonly("low_score_thresh", &TrackerConfig::low_score_thresh)
        .def_readonly("match_iou_thresh", &TrackerConfig::match_iou_thresh)
        .def_readonly("recovery_iou_thresh", &TrackerConfig::recovery_iou_thresh)
        .def_readonly("new_track_thresh", &TrackerConfig::new_track_thresh)
        .def_readonly("n_init", &TrackerConfig::n_init)
        .def_readonly("max_age", &TrackerConfig::max_age)
        .def_readonly("kf_noise_scale", &TrackerConfig::kf_noise_scale);
}

void bind_byte_tracker(py::module_& m) {
    // The default configuration is converted once, here, at import.
    py::class_<ByteTracker>(m, "ByteTracker")
        .def(py::init<const TrackerConfig&>(), py::arg("config") = TrackerConfig())
        .def("reset", &ByteTracker::reset)
        .def_property_readonly("frame_index", &ByteTracker::frame_index)
        .def("update", &update,
             "Advance one frame. Returns (track_ids, xyxy, scores, class_ids); with return_indices=True also "
             "det_indices, the input row of the detection each reported track was matched to in this frame.",
             py::arg("boxes"), py::arg("scores"), py::arg("class_ids") = py::none(), py::arg("features") = py::none(),
             py::kw_only(), py::arg("return_indices") = false)
        .def("track_states", &track_states, "Return (ids, states, hits, ages, time_since_update) in track order.");
}

}  // namespace loomfeather::bindings
