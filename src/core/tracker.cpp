#include "core/tracker.hpp"

#include <algorithm>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <limits>
#include <stdexcept>
#include <string>

#include "core/costs.hpp"
#include "core/geometry.hpp"
#include "core/kalman.hpp"

namespace loomfeather {
namespace {

constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();

// x - x is 0 for a finite x and NaN otherwise, and a NaN stays in a sum.
bool all_finite(const double* v, std::size_t n) {
#if defined(__SSE2__)
    __m128d z0 = _mm_setzero_pd(), z1 = _mm_setzero_pd();
    const std::size_t whole = n - n % 4;
    std::size_t i = 0;
    for (; i < whole; i += 4) {
        const __m128d a = _mm_loadu_pd(v + i), b = _mm_loadu_pd(v + i + 2);
        z0 = _mm_add_pd(z0, _mm_sub_pd(a, a));
        z1 = _mm_add_pd(z1, _mm_sub_pd(b, b));
    }
    double z[4];
    _mm_storeu_pd(z, z0);
    _mm_storeu_pd(z + 2, z1);
#else
    double z[4] = {0.0, 0.0, 0.0, 0.0};
    const std::size_t whole = n - n % 4;
    std::size_t i = 0;
    for (; i < whole; i += 4)
        for (int l = 0; l < 4; ++l) z[l] = z[l] + (v[i + l] - v[i + l]);
#endif
    for (std::size_t r = whole; r < n; ++r) z[0] = z[0] + (v[r] - v[r]);
    const double all = (z[0] + z[1]) + (z[2] + z[3]);
    return all == all;
}

bool state_finite(const Track& t) { return all_finite(t.mean, 8) && all_finite(t.covariance, 64); }

// Normalise in place when the norm is above 1e-12 (a NaN norm leaves it as is).
void normalise(std::vector<double>& f) {
    double s = 0.0;
    for (double g : f) s = s + g * g;
    const double n = std::sqrt(s);
    if (n > 1e-12)
        for (double& g : f) g = g / n;
}

void restart_feature(std::vector<double>& f, const double* row, std::size_t dim) {
    f.assign(row, row + dim);
    normalise(f);
}

double fmin_ref(double a, double b) { return a < b ? a : b; }

// Room for n values in a scratch buffer: it only ever grows, so that the
// stages of a frame, which differ in size, do not refill it with zeros.
template <class T>
T* room(std::vector<T>& buffer, std::size_t n) {
    if (buffer.size() < n) buffer.resize(n);
    return buffer.data();
}

}  // namespace

void validate_config(const TrackerConfig& c) {
    auto fail = [](const std::string& msg) { throw std::invalid_argument(msg); };
    if (!(c.low_score_thresh >= 0.0 && c.high_score_thresh >= c.low_score_thresh && 1.0 >= c.high_score_thresh))
        fail("require 0 <= low_score_thresh <= high_score_thresh <= 1");
    if (c.n_init < 1) fail("n_init must be >= 1");
    if (c.max_age < 1) fail("max_age must be >= 1");
    if (0.0 > fmin_ref(fmin_ref(c.w_ocm, c.w_unc), fmin_ref(c.w_app, c.w_iou))) fail("cost weights must be non-negative");
    if (c.ocm_delta_t < 1) fail("ocm_delta_t must be >= 1");
    if (c.use_gmc)
        fail("use_gmc is not ported in Phase 1 (global motion compensation stays in the NumPy reference); leave it "
             "False");
    if (c.use_oru || c.w_ocm > 0.0)
        fail("OC-SORT (use_oru / w_ocm) is not ported in Phase 1; leave use_oru False and w_ocm 0.0");

    // The checks below keep one bad value from breaking a tracker for good:
    // non-finite thresholds or weights make every cost NaN, a zero noise scale
    // makes every covariance singular, and huge weights make forbidden costs
    // infinite. new_track_thresh may be +-inf (it then disables births).
    const std::pair<const char*, double> finite_fields[] = {
        {"match_iou_thresh", c.match_iou_thresh}, {"recovery_iou_thresh", c.recovery_iou_thresh},
        {"new_track_thresh", c.new_track_thresh}, {"w_iou", c.w_iou},
        {"w_app", c.w_app},                       {"w_unc", c.w_unc},
        {"appearance_ema_alpha", c.appearance_ema_alpha}, {"kf_noise_scale", c.kf_noise_scale}};
    for (const auto& [name, value] : finite_fields) {
        if (std::string(name) == "new_track_thresh") {
            if (std::isnan(value)) fail("new_track_thresh must not be NaN");
        } else if (!std::isfinite(value)) {
            fail(std::string(name) + " must be finite");
        }
    }
    if (c.kf_noise_scale == 0.0) fail("kf_noise_scale must be non-zero");
    const double m = std::max({std::fabs(1.0 - c.match_iou_thresh), std::fabs(1.0 - c.recovery_iou_thresh), 2.0});
    const double largest = 1.0 + ((c.w_iou * m + (c.w_app + c.w_app)) + c.w_unc);
    if (!std::isfinite(largest)) fail("cost weights and IoU thresholds overflow the association cost");
}

ByteTracker::ByteTracker(const TrackerConfig& config)
    : config_(config),
      std_weight_position_(config.kf_noise_scale * 0.05),
      std_weight_velocity_(config.kf_noise_scale * 0.00625),
      gate_thresh_(kalman::chi2_gating_threshold(4)) {
    validate_config(config_);
}

void ByteTracker::reset() {
    tracks_.clear();
    next_id_ = 1;
    frame_index_ = -1;
}

void ByteTracker::check_counters(std::size_t n_detections) const {
    // Counters are int32: refuse a frame that could overflow them rather than
    // wrap around (the caller can reset()).
    const std::int64_t limit = kInt32Max;
    if (static_cast<std::int64_t>(frame_index_) + 1 >= limit ||
        static_cast<std::int64_t>(next_id_) + static_cast<std::int64_t>(std::min<std::size_t>(n_detections, limit)) >
            limit)
        throw std::overflow_error("update: identifier or frame counter would overflow; call reset()");
}

// A detection may start or correct a track only when the state it would start
// is finite and has a positive position variance: a zero-height box or
// overflowing coordinates would otherwise poison the filter. The state
// initiate() builds from z is z, four zeros, and a diagonal covariance of
// p*p, p*p, 0.01^2, p*p, v*v, v*v, 1e-5^2, v*v (zeros elsewhere), so only
// these entries can fail the test.
bool ByteTracker::usable(const double* z) const {
    const double h = z[3];
    const double p = (std_weight_position_ + std_weight_position_) * h;
    const double v = (10.0 * std_weight_velocity_) * h;
    const double pp = p * p, vv = v * v;
    return all_finite(z, 4) && std::isfinite(pp) && std::isfinite(vv) && pp > 0.0;
}

void ByteTracker::start_track(const Detection& det, std::size_t det_index, const double* z, std::size_t dim) {
    auto t = std::make_unique<Track>();
    kalman::initiate(std_weight_position_, std_weight_velocity_, z, t->mean, t->covariance);
    t->track_id = next_id_;
    t->state = TrackState::Tentative;
    t->class_id = det.class_id;
    t->score = det.score;
    t->hits = 1;
    t->age = 1;
    t->time_since_update = 0;
    t->n_init = config_.n_init;
    t->max_age = config_.max_age;
    t->appearance_ema_alpha = config_.appearance_ema_alpha;
    t->det_index = static_cast<std::int64_t>(det_index);
    if (det.embedding != nullptr && dim > 0) restart_feature(t->feature, det.embedding, dim);
    tracks_.push_back(std::move(t));
    ++next_id_;
}

void ByteTracker::predict_track(Track& t) const {
    kalman::predict(std_weight_position_, std_weight_velocity_, t.mean, t.covariance, t.mean, t.covariance);
    ++t.age;
    ++t.time_since_update;
    // A state that stopped being finite can never be matched again; drop it now.
    if (!state_finite(t)) t.state = TrackState::Deleted;
}

void ByteTracker::update_track(Track& t, const Detection& det, std::size_t det_index, const double* z,
                               std::size_t dim) const {
    double mean[8], cov[64];
    kalman::update(std_weight_position_, std_weight_velocity_, t.mean, t.covariance, z, mean, cov);
    std::copy(mean, mean + 8, t.mean);
    std::copy(cov, cov + 64, t.covariance);
    t.score = det.score;
    ++t.hits;
    t.class_id = det.class_id;
    t.time_since_update = 0;
    t.det_index = static_cast<std::int64_t>(det_index);

    if (det.embedding != nullptr && dim > 0) {
        if (t.feature.empty() || t.feature.size() != dim) {
            // First embedding, or the frame's width differs from the stored one:
            // start over from this row.
            restart_feature(t.feature, det.embedding, dim);
        } else {
            const double alpha = t.appearance_ema_alpha;
            for (std::size_t i = 0; i < dim; ++i)
                t.feature[i] = ((1.0 - alpha) * det.embedding[i]) + (alpha * t.feature[i]);
            normalise(t.feature);
            // Finite inputs can still overflow (e.g. alpha far above 1).
            if (!all_finite(t.feature.data(), dim)) restart_feature(t.feature, det.embedding, dim);
        }
    }

    if (t.state == TrackState::Tentative && t.hits >= t.n_init) t.state = TrackState::Confirmed;
    // A correction that left the state non-finite ends the track.
    if (!state_finite(t)) t.state = TrackState::Deleted;
}

void ByteTracker::mark_missed(Track& t) const {
    if (t.state == TrackState::Tentative || t.time_since_update > t.max_age) t.state = TrackState::Deleted;
}

void ByteTracker::remove_deleted() {
    tracks_.erase(std::remove_if(tracks_.begin(), tracks_.end(),
                                 [](const std::unique_ptr<Track>& t) { return t->state == TrackState::Deleted; }),
                  tracks_.end());
}

void ByteTracker::associate_tracks(const TrackRefs& tracks, const FrameInput& frame, const DetectionRefs& dets,
                                   bool gated, double iou_thresh, AssociationResult& out) {
    const std::size_t T = tracks.size(), D = dets.size(), n = T * D, dim = frame.dim;
    if (T == 0 || D == 0) {
        unmatched_all(T, D, out);
        return;
    }
    Scratch& s = scratch_;
    auto det = [&](std::size_t j) -> const Detection& { return frame.detections[dets[j]]; };

    double* track_boxes = room(s.track_boxes, 4 * T);
    double* det_boxes = room(s.det_boxes, 4 * D);
    for (std::size_t i = 0; i < T; ++i) xyah_to_xyxy(tracks[i]->mean, track_boxes + 4 * i, 1);
    for (std::size_t j = 0; j < D; ++j) std::copy(det(j).box, det(j).box + 4, det_boxes + 4 * j);

    AssociationCostInputs in;
    in.tracks = T;
    in.detections = D;
    in.w_iou = config_.w_iou;
    in.w_app = config_.w_app;
    in.w_unc = config_.w_unc;
    in.iou_thresh = iou_thresh;

    double* ious = room(s.ious, n);
    iou_kernel(track_boxes, T, det_boxes, D, ious);
    in.ious = ious;

    if (config_.use_giou) {
        double* motion = room(s.motion, n);
        giou_kernel(track_boxes, T, det_boxes, D, motion);
        for (std::size_t k = 0; k < n; ++k) motion[k] = 1.0 - motion[k];
        in.motion = motion;
    }

    // Without a class on both sides somewhere in the stage the mask would be
    // all zeros, which vetoes nothing: leave it out.
    if (config_.class_aware) {
        bool track_classes = false, det_classes = false;
        for (std::size_t i = 0; i < T && !track_classes; ++i) track_classes = tracks[i]->class_id != -1;
        for (std::size_t j = 0; j < D && !det_classes; ++j) det_classes = det(j).class_id != -1;
        if (track_classes && det_classes) {
            std::uint8_t* mismatch = room(s.mismatch, n);
            for (std::size_t i = 0; i < T; ++i)
                for (std::size_t j = 0; j < D; ++j) {
                    const std::int32_t a = tracks[i]->class_id, b = det(j).class_id;
                    mismatch[i * D + j] = (a != b && a != -1 && b != -1) ? 1 : 0;
                }
            in.class_mismatch = mismatch;
        }
    }

    const bool d2_veto = gated && config_.use_mahalanobis_gating;
    const bool with_unc = config_.w_unc > 0.0;
    // The appearance term needs an embedding of this frame's width on every
    // track and every detection; otherwise the whole stage goes without it.
    bool with_app = config_.w_app > 0.0 && dim > 0;
    for (std::size_t i = 0; with_app && i < T; ++i) with_app = tracks[i]->feature.size() == dim;
    for (std::size_t j = 0; with_app && j < D; ++j) with_app = det(j).embedding != nullptr;

    if (!config_.use_giou && !with_unc && !with_app) {
        // The overlap term alone: build_association_cost's gate, costs and
        // vetoes, computed in one pass with the distances the vetoes need.
        const double max_cost = (1.0 - iou_thresh) * config_.w_iou;
        const double forbidden = 1.0 + max_cost;
        double* cost = room(s.cost, n);
        std::uint8_t* reject = room(s.reject, n);
        const std::uint8_t* mismatch = in.class_mismatch;
        kalman::GatingFactor f{};
        for (std::size_t i = 0; i < T; ++i) {
            // Every track's factorisation runs, in order, and may throw as in the batch core.
            if (d2_veto) f = kalman::gating_factor(std_weight_position_, tracks[i]->mean, tracks[i]->covariance);
            for (std::size_t j = 0, k = i * D; j < D; ++j, ++k) {
                // Strict comparisons: NaN IoU or distance forbids nothing.
                bool veto = iou_thresh > ious[k] || (mismatch != nullptr && mismatch[k] != 0);
                if (!veto && d2_veto) veto = kalman::gating_distance(f, &s.meas[4 * dets[j]]) > gate_thresh_;
                cost[k] = veto ? forbidden : (1.0 - ious[k]) * config_.w_iou;
                reject[k] = veto || !s.usable[dets[j]];
            }
        }
        solve_stage(cost, T, D, max_cost, reject, out);
        return;
    }

    if (d2_veto || with_unc) {
        double* d2 = room(s.d2, n);
        // Every track's factorisation runs, in order, and may throw as in the
        // batch core. A distance is needed only where neither the overlap nor
        // the class veto forbids the pair: a forbidden pair's cost is
        // overwritten whatever its distance, so the others get 0.
        const std::uint8_t* mismatch = in.class_mismatch;
        for (std::size_t i = 0; i < T; ++i) {
            const kalman::GatingFactor f =
                kalman::gating_factor(std_weight_position_, tracks[i]->mean, tracks[i]->covariance);
            const double* iou_row = ious + i * D;
            double* row = d2 + i * D;
            for (std::size_t j = 0; j < D; ++j) {
                const bool forbidden = iou_thresh > iou_row[j] || (mismatch != nullptr && mismatch[i * D + j] != 0);
                row[j] = forbidden ? 0.0 : kalman::gating_distance(f, &s.meas[4 * dets[j]]);
            }
        }
        if (d2_veto) {
            in.gating_d2 = d2;
            in.has_gate_thresh = true;
            in.gate_thresh = gate_thresh_;
        }
        if (with_unc) {
            double* unc = room(s.unc, n);
            uncertainty_distance(d2, n, gate_thresh_, unc);
            in.uncertainty = unc;
        }
    }

    if (with_app) {
        double* tf = room(s.tf, T * dim);
        double* df = room(s.df, D * dim);
        for (std::size_t i = 0; i < T; ++i) std::copy(tracks[i]->feature.begin(), tracks[i]->feature.end(), tf + i * dim);
        for (std::size_t j = 0; j < D; ++j) std::copy(det(j).embedding, det(j).embedding + dim, df + j * dim);
        double* app = room(s.app, n);
        appearance_distance(tf, T, df, D, dim, app);
        in.appearance = app;
    }

    double* cost = room(s.cost, n);
    std::uint8_t* reject = room(s.reject, n);
    const double max_cost = build_association_cost(in, cost, reject);

    // A vetoed pair stays rejected whatever the gate (a gate of 2^53 or more
    // would absorb the +1.0 of its cost), and so does a detection that cannot
    // be turned into a usable state.
    for (std::size_t j = 0; j < D; ++j)
        if (!s.usable[dets[j]])
            for (std::size_t i = 0; i < T; ++i) reject[i * D + j] = 1;

    solve_stage(cost, T, D, max_cost, reject, out);
}

void ByteTracker::solve_stage(const double* cost, std::size_t T, std::size_t D, double max_cost,
                              const std::uint8_t* reject, AssociationResult& out) {
    Scratch& s = scratch_;
    if (config_.use_lapjv)
        s.pairs = linear_assignment_lapjv(cost, T, D);
    else
        linear_assignment(cost, T, D, s.solver, s.pairs);
    accept_pairs(s.pairs, cost, T, D, max_cost, reject, s.solver, out);
}

std::vector<TrackOutput> ByteTracker::update(const FrameInput& frame) {
    ++frame_index_;
    for (auto& t : tracks_) predict_track(*t);

    Scratch& s = scratch_;
    const std::size_t n_det = frame.detections.size();
    // Each detection's measurement and usability, once per frame.
    room(s.meas, 4 * n_det);
    room(s.usable, n_det);
    s.high.clear();
    s.low.clear();
    for (std::size_t j = 0; j < n_det; ++j) {
        const Detection& d = frame.detections[j];
        xyxy_to_xyah(d.box, &s.meas[4 * j], 1);
        s.usable[j] = usable(&s.meas[4 * j]) ? 1 : 0;
        if (d.score >= config_.high_score_thresh)
            s.high.push_back(j);
        else if (d.score >= config_.low_score_thresh)
            s.low.push_back(j);
    }

    s.confirmed.clear();
    s.tentative.clear();
    for (auto& t : tracks_) {
        if (t->state == TrackState::Confirmed)
            s.confirmed.push_back(t.get());
        else if (t->state == TrackState::Tentative)
            s.tentative.push_back(t.get());
    }
    const std::size_t dim = frame.dim;
    auto correct = [&](Track& t, std::size_t det_index) {
        update_track(t, frame.detections[det_index], det_index, &s.meas[4 * det_index], dim);
    };

    associate_tracks(s.confirmed, frame, s.high, true, config_.match_iou_thresh, s.r1);
    for (std::size_t k = 0; k < s.r1.match_rows.size(); ++k)
        correct(*s.confirmed[s.r1.match_rows[k]], s.high[s.r1.match_cols[k]]);

    s.remaining.clear();
    for (std::int64_t r : s.r1.unmatched_rows) s.remaining.push_back(s.confirmed[r]);
    associate_tracks(s.remaining, frame, s.low, false, config_.recovery_iou_thresh, s.r2);
    for (std::size_t k = 0; k < s.r2.match_rows.size(); ++k)
        correct(*s.remaining[s.r2.match_rows[k]], s.low[s.r2.match_cols[k]]);

    s.leftover.clear();
    for (std::int64_t c : s.r1.unmatched_cols) s.leftover.push_back(s.high[c]);
    associate_tracks(s.tentative, frame, s.leftover, true, config_.match_iou_thresh, s.r3);
    for (std::size_t k = 0; k < s.r3.match_rows.size(); ++k)
        correct(*s.tentative[s.r3.match_rows[k]], s.leftover[s.r3.match_cols[k]]);

    for (std::int64_t r : s.r2.unmatched_rows) mark_missed(*s.remaining[r]);
    for (std::int64_t r : s.r3.unmatched_rows) mark_missed(*s.tentative[r]);

    for (std::int64_t c : s.r3.unmatched_cols) {
        const std::size_t j = s.leftover[c];
        const Detection& d = frame.detections[j];
        if (d.score >= config_.new_track_thresh && s.usable[j]) start_track(d, j, &s.meas[4 * j], dim);
    }

    remove_deleted();

    std::vector<TrackOutput> out;
    for (const auto& t : tracks_) {
        if (t->state != TrackState::Confirmed || t->time_since_update != 0) continue;
        TrackOutput row{t->track_id, {}, t->score, t->class_id, t->det_index};
        xyah_to_xyxy(t->mean, row.box, 1);
        out.push_back(row);
    }
    return out;
}

}  // namespace loomfeather
