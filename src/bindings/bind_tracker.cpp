// TrackerConfig and ByteTracker: frame validation in, result arrays out; their
// pickled state.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "bindings/nogil.hpp"
#include "bindings/object_protocol.hpp"
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
// touched. `held` keeps converted optional arrays alive for the call; the
// detections point into `values`, the frame's own copy of the boxes, scores
// and embeddings, so that the tracker runs without the interpreter lock on
// data no other thread can change under it (and checked as it was checked).
struct ValidatedFrame {
    FrameInput input;
    std::vector<F64Array> held;
    std::vector<double> values;
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

    const std::size_t dim = frame.input.dim;
    frame.values.resize(4 * n + (rows != nullptr ? n * dim : 0));
    double* b = frame.values.data();
    std::copy(boxes.data(), boxes.data() + 4 * n, b);
    double* own_rows = b + 4 * n;
    if (rows != nullptr) std::copy(rows, rows + n * dim, own_rows);
    const double* s = scores.data();
    frame.input.detections.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double* box = b + 4 * i;
        if (box[0] > box[2] || box[1] > box[3]) refuse("degenerate box (x2<x1 or y2<y1)");
        frame.input.detections.push_back({box, s[i], classes[i], rows != nullptr ? own_rows + i * dim : nullptr});
    }
    return frame;
}

py::tuple update(Live<ByteTracker> self, const F64Array& boxes, const F64Array& scores, const py::object& class_ids,
                 const py::object& features, bool return_indices) {
    ByteTracker& tracker = *self;
    const ValidatedFrame frame = validate_frame(boxes, scores, class_ids, features);
    std::vector<TrackOutput> rows;
    {
        // The tracker takes its own mutex: one update at a time per tracker.
        py::gil_scoped_release nogil;
        rows = tracker.update(frame.input);
    }

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

py::tuple track_states(Live<ByteTracker> self) {
    // Read under the tracker's mutex, handed to Python after it is let go.
    std::vector<std::int64_t> values;
    {
        const std::unique_lock<std::mutex> lock = lock_released(self->call_mutex());
        for (const auto& t : self->tracks())
            values.insert(values.end(), {t->track_id, static_cast<std::int32_t>(t->state), t->hits, t->age,
                                         t->time_since_update});
    }
    const auto n = static_cast<py::ssize_t>(values.size() / 5);
    py::array_t<std::int64_t> cols[5] = {new_i64({n}), new_i64({n}), new_i64({n}), new_i64({n}), new_i64({n})};
    for (int c = 0; c < 5; ++c) {
        std::int64_t* out = cols[c].mutable_data();
        for (py::ssize_t i = 0; i < n; ++i) out[i] = values[5 * i + c];
    }
    return py::make_tuple(cols[0], cols[1], cols[2], cols[3], cols[4]);
}

// --- pickled state ----------------------------------------------------------------
// Plain Python values with a leading format version, so that a state crosses
// processes and library upgrades:
//   TrackerConfig: (1, the 20 fields in constructor order)
//   ByteTracker:   (1, TrackerConfig state, next_id, frame_index, tracks), each
//                  track (track_id, state, class_id, score, hits, age,
//                  time_since_update, n_init, max_age, appearance_ema_alpha,
//                  mean, covariance, embedding); the last three are bytes of
//                  little-endian float64 (8, 64 and any number of values).

constexpr std::int32_t kStateVersion = 1;

py::tuple config_state(const TrackerConfig& c) {
    return py::make_tuple(kStateVersion, c.high_score_thresh, c.low_score_thresh, c.match_iou_thresh,
                          c.recovery_iou_thresh, c.new_track_thresh, c.n_init, c.max_age, c.use_mahalanobis_gating,
                          c.class_aware, c.w_iou, c.w_app, c.w_unc, c.use_giou, c.appearance_ema_alpha,
                          c.kf_noise_scale, c.w_ocm, c.ocm_delta_t, c.use_oru, c.use_gmc, c.use_lapjv);
}

// Read and validated as the constructor validates its arguments.
TrackerConfig config_from_state(py::handle state, const std::string& what) {
    StateReader r(state, what, 21);
    r.version(kStateVersion);
    TrackerConfig c;
    c.high_score_thresh = r.real("high_score_thresh");
    c.low_score_thresh = r.real("low_score_thresh");
    c.match_iou_thresh = r.real("match_iou_thresh");
    c.recovery_iou_thresh = r.real("recovery_iou_thresh");
    c.new_track_thresh = r.real("new_track_thresh");
    c.n_init = r.int32("n_init");
    c.max_age = r.int32("max_age");
    c.use_mahalanobis_gating = r.flag("use_mahalanobis_gating");
    c.class_aware = r.flag("class_aware");
    c.w_iou = r.real("w_iou");
    c.w_app = r.real("w_app");
    c.w_unc = r.real("w_unc");
    c.use_giou = r.flag("use_giou");
    c.appearance_ema_alpha = r.real("appearance_ema_alpha");
    c.kf_noise_scale = r.real("kf_noise_scale");
    c.w_ocm = r.real("w_ocm");
    c.ocm_delta_t = r.int32("ocm_delta_t");
    c.use_oru = r.flag("use_oru");
    c.use_gmc = r.flag("use_gmc");
    c.use_lapjv = r.flag("use_lapjv");
    try {
        validate_config(c);
    } catch (const std::invalid_argument& e) {
        throw py::value_error(what + ": " + e.what());
    }
    return c;
}

// The tracker's state, read under its mutex (another thread may be updating it).
TrackerSnapshot locked_snapshot(const ByteTracker& tracker) {
    const std::unique_lock<std::mutex> lock = lock_released(tracker.call_mutex());
    return tracker.snapshot();
}

py::tuple tracker_state(const ByteTracker& tracker) {
    const TrackerSnapshot s = locked_snapshot(tracker);
    py::tuple tracks(s.tracks.size());
    for (std::size_t k = 0; k < s.tracks.size(); ++k) {
        const Track& t = s.tracks[k];
        tracks[k] = py::make_tuple(t.track_id, static_cast<std::int32_t>(t.state), t.class_id, t.score, t.hits, t.age,
                                   t.time_since_update, t.n_init, t.max_age, t.appearance_ema_alpha,
                                   to_bytes(t.mean, 8), to_bytes(t.covariance, 64),
                                   to_bytes(t.feature.data(), t.feature.size()));
    }
    return py::make_tuple(kStateVersion, config_state(s.config), s.next_id, s.frame_index, tracks);
}

// The format is checked here, the values by ByteTracker::restore.
std::unique_ptr<ByteTracker> tracker_from_state(py::handle state) {
    const std::string what = "ByteTracker state";
    StateReader r(state, what, 5);
    r.version(kStateVersion);
    TrackerSnapshot s;
    s.config = config_from_state(r.next("config"), what + ": config");
    s.next_id = r.int32("next_id");
    s.frame_index = r.int32("frame_index");
    const py::tuple tracks = r.sequence("tracks");
    s.tracks.resize(tracks.size());
    for (std::size_t k = 0; k < tracks.size(); ++k) {
        StateReader f(tracks[k], what + ": track " + std::to_string(k), 13);
        Track& t = s.tracks[k];
        t.track_id = f.int32("track_id");
        t.state = static_cast<TrackState>(f.int32("state"));  // any int32 is a value of the enum; checked by restore
        t.class_id = f.int32("class_id");
        t.score = f.real("score");
        t.hits = f.int32("hits");
        t.age = f.int32("age");
        t.time_since_update = f.int32("time_since_update");
        t.n_init = f.int32("n_init");
        t.max_age = f.int32("max_age");
        t.appearance_ema_alpha = f.real("appearance_ema_alpha");
        f.doubles_into("mean", t.mean, 8);
        f.doubles_into("covariance", t.covariance, 64);
        t.feature = f.doubles("embedding", SIZE_MAX);
    }
    return ByteTracker::restore(s);
}

std::int32_t frame_index(Live<ByteTracker> self) {
    const std::unique_lock<std::mutex> lock = lock_released(self->call_mutex());
    return self->frame_index();
}

}  // namespace

void bind_tracker_config(py::module_& m) {
    py::class_<TrackerConfig> cls(m, "TrackerConfig");
    cls.def(py::init(&make_config), py::arg("high_score_thresh") = 0.5, py::arg("low_score_thresh") = 0.1,
            py::arg("match_iou_thresh") = 0.3, py::arg("recovery_iou_thresh") = 0.5,
            py::arg("new_track_thresh") = 0.6, py::arg("n_init") = 3, py::arg("max_age") = 30,
            py::arg("use_mahalanobis_gating") = true, py::arg("class_aware") = true, py::arg("w_iou") = 1.0,
            py::arg("w_app") = 0.0, py::arg("w_unc") = 0.0, py::arg("use_giou") = false,
            py::arg("appearance_ema_alpha") = 0.9, py::arg("kf_noise_scale") = 1.0, py::arg("w_ocm") = 0.0,
            py::arg("ocm_delta_t") = 3, py::arg("use_oru") = false, py::arg("use_gmc") = false,
            py::arg("use_lapjv") = false)
        .def_property_readonly("high_score_thresh", [](Live<TrackerConfig> c) { return c->high_score_thresh; })
        .def_property_readonly("low_score_thresh", [](Live<TrackerConfig> c) { return c->low_score_thresh; })
        .def_property_readonly("match_iou_thresh", [](Live<TrackerConfig> c) { return c->match_iou_thresh; })
        .def_property_readonly("recovery_iou_thresh", [](Live<TrackerConfig> c) { return c->recovery_iou_thresh; })
        .def_property_readonly("new_track_thresh", [](Live<TrackerConfig> c) { return c->new_track_thresh; })
        .def_property_readonly("n_init", [](Live<TrackerConfig> c) { return c->n_init; })
        .def_property_readonly("max_age", [](Live<TrackerConfig> c) { return c->max_age; })
        .def_property_readonly("kf_noise_scale", [](Live<TrackerConfig> c) { return c->kf_noise_scale; });

    // Object protocol: pickling (every protocol) and copies carry all twenty
    // fields, the twelve without a property included.
    cls.def(py::pickle([](Live<TrackerConfig> c) { return config_state(*c); },
                       [](const py::object& state) { return config_from_state(state, "TrackerConfig state"); }));
    def_copy_and_reduce(
        cls, [](const TrackerConfig& c) { return std::make_unique<TrackerConfig>(c); },
        [](Live<TrackerConfig> c) { return config_state(*c); });
    guard_instance_methods(cls);
}

void bind_byte_tracker(py::module_& m) {
    // The default configuration is converted once, here, at import.
    py::class_<ByteTracker> cls(m, "ByteTracker");
    cls.def(py::init([](Live<TrackerConfig> config) { return std::make_unique<ByteTracker>(*config); }),
            py::arg("config") = TrackerConfig())
        .def("reset",
             [](Live<ByteTracker> t) {
                 // reset() takes the tracker's mutex itself.
                 py::gil_scoped_release nogil;
                 t->reset();
             })
        .def_property_readonly("frame_index", &frame_index)
        .def("update", &update,
             "Advance one frame. Returns (track_ids, xyxy, scores, class_ids); with return_indices=True also "
             "det_indices, the input row of the detection each reported track was matched to in this frame.",
             py::arg("boxes"), py::arg("scores"), py::arg("class_ids") = py::none(), py::arg("features") = py::none(),
             py::kw_only(), py::arg("return_indices") = false)
        .def("track_states", &track_states, "Return (ids, states, hits, ages, time_since_update) in track order.");

    // Object protocol: a pickled or copied tracker holds the complete state
    // (configuration, every track, both counters) and continues a stream
    // exactly as the original would.
    cls.def(py::pickle([](Live<ByteTracker> t) { return tracker_state(*t); },
                       [](const py::object& state) { return tracker_from_state(state); }));
    def_copy_and_reduce(
        cls, [](const ByteTracker& t) { return ByteTracker::restore(locked_snapshot(t)); },
        [](Live<ByteTracker> t) { return tracker_state(*t); });
    guard_instance_methods(cls);
}

}  // namespace loomfeather::bindings
