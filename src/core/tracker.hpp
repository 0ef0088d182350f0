// ByteTrack: tracks, their lifecycle and the three-stage per-frame update.
//
// A frame's detections are split by score. Confirmed tracks are matched to the
// high-score detections first (stage 1), the confirmed tracks left over to the
// low-score detections (stage 2, recovery), and tentative tracks to the
// high-score detections left over (stage 3). Leftover confident high-score
// detections start tentative tracks; low scores never do.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/assignment.hpp"

namespace loomfeather {

// The tracker's tuning values, in declared order.
struct TrackerConfig {
    double high_score_thresh = 0.5;
    double low_score_thresh = 0.1;
    double match_iou_thresh = 0.3;
    double recovery_iou_thresh = 0.5;
    double new_track_thresh = 0.6;
    std::int32_t n_init = 3;
    std::int32_t max_age = 30;
    bool use_mahalanobis_gating = true;
    bool class_aware = true;
    double w_iou = 1.0;
    double w_app = 0.0;
    double w_unc = 0.0;
    bool use_giou = false;
    double appearance_ema_alpha = 0.9;
    double kf_noise_scale = 1.0;
    bool use_lapjv = false;
    // Accepted but not implemented here; validation refuses switching them on.
    double w_ocm = 0.0;
    std::int32_t ocm_delta_t = 3;
    bool use_oru = false;
    bool use_gmc = false;
};

// Throws std::invalid_argument with the message of the first failed check.
void validate_config(const TrackerConfig& config);

enum class TrackState : std::int32_t { Tentative = 0, Confirmed = 1, Deleted = 2 };

struct Track {
    std::int32_t track_id = 0;
    double mean[8] = {};         // x, y, a, h, vx, vy, va, vh
    double covariance[64] = {};  // 8 x 8, row-major
    TrackState state = TrackState::Tentative;
    std::int32_t class_id = -1;
    double score = 0.0;
    std::int32_t hits = 0;
    std::int32_t age = 0;
    std::int32_t time_since_update = 0;
    std::int32_t n_init = 0;
    std::int32_t max_age = 0;
    std::vector<double> feature;  // unit length when it could be normalised
    double appearance_ema_alpha = 0.0;
    // Input row of the detection that last corrected (or started) the track.
    // Read only for tracks matched in the current frame.
    std::int64_t det_index = -1;
};

// One detection of a frame; the pointers borrow the caller's arrays.
struct Detection {
    const double* box = nullptr;        // x1, y1, x2, y2
    double score = 0.0;
    std::int32_t class_id = -1;         // -1: no class
    const double* embedding = nullptr;  // `dim` values, or nullptr
};

struct FrameInput {
    std::vector<Detection> detections;  // input order
    std::size_t dim = 0;                // embedding width, 0 without embeddings
};

struct TrackOutput {
    std::int32_t track_id;
    double box[4];
    double score;
    std::int32_t class_id;
    std::int64_t det_index;  // input row of the detection matched in this frame
};

class ByteTracker {
public:
    // Validates its own copy of `config`.
    explicit ByteTracker(const TrackerConfig& config);

    // Advances one validated frame; returns the confirmed tracks matched in it,
    // in ascending identifier order.
    std::vector<TrackOutput> update(const FrameInput& frame);

    // Throws std::overflow_error when a frame of n detections could push the
    // frame counter or the identifiers past int32.
    void check_counters(std::size_t n_detections) const;

    void reset();
    std::int32_t frame_index() const { return frame_index_; }
    const std::vector<std::unique_ptr<Track>>& tracks() const { return tracks_; }

private:
    using TrackRefs = std::vector<Track*>;
    using DetectionRefs = std::vector<std::size_t>;  // indices into the frame's detections

    void start_track(const Detection& det, std::size_t det_index, const double* z, std::size_t dim);
    void predict_track(Track& track) const;
    void update_track(Track& track, const Detection& det, std::size_t det_index, const double* z,
                      std::size_t dim) const;
    void mark_missed(Track& track) const;
    void remove_deleted();
    void associate_tracks(const TrackRefs& tracks, const FrameInput& frame, const DetectionRefs& dets, bool gated,
                          double iou_thresh, AssociationResult& out);
    void solve_stage(const double* cost, std::size_t T, std::size_t D, double max_cost, const std::uint8_t* reject,
                     AssociationResult& out);
    bool usable(const double* z) const;

    TrackerConfig config_;
    double std_weight_position_;
    double std_weight_velocity_;
    double gate_thresh_;
    std::vector<std::unique_ptr<Track>> tracks_;
    std::int32_t next_id_ = 1;
    std::int32_t frame_index_ = -1;

    // Per-frame working buffers, kept only to save allocations: each is
    // written before it is read within a frame, and nothing in them carries
    // over from one frame to the next.
    struct Scratch {
        std::vector<double> meas;           // xyah measurement of every detection
        std::vector<std::uint8_t> usable;   // whether that detection may start or correct a track
        DetectionRefs high, low, leftover;
        TrackRefs confirmed, tentative, remaining;
        std::vector<double> track_boxes, det_boxes, ious, motion, d2, unc, app, cost, tf, df;
        std::vector<std::uint8_t> mismatch, reject;
        AssignmentWorkspace solver;
        AssignmentResult pairs;
        AssociationResult r1, r2, r3;
    };
    Scratch scratch_;
};

}  // namespace loomfeather
