// The weighted, gated association cost over T tracks x D detections, and the
// appearance and uncertainty distances that feed it. All matrices are T x D,
// row-major.
#pragma once
#include <cstddef>
#include <cstdint>

namespace loomfeather {

struct AssociationCostInputs {
    const double* ious = nullptr;  // T x D overlaps
    std::size_t tracks = 0;        // T
    std::size_t detections = 0;    // D
    double w_iou = 1.0;
    double w_app = 0.0;
    double w_unc = 0.0;
    double iou_thresh = 0.3;
    const double* motion = nullptr;               // replaces 1 - IoU as the overlap term
    const std::uint8_t* class_mismatch = nullptr; // 1 where classes differ
    const double* gating_d2 = nullptr;            // squared Mahalanobis distances
    bool has_gate_thresh = false;
    double gate_thresh = 0.0;
    const double* appearance = nullptr;
    const double* uncertainty = nullptr;
};

// Writes T*D costs and returns the gate (the max_cost for associate).
// Forbidden pairs cost exactly gate + 1.0; when `vetoed` is given it receives
// 1 at every forbidden pair and 0 elsewhere.
double build_association_cost(const AssociationCostInputs& in, double* cost, std::uint8_t* vetoed = nullptr);

// Cosine distances 1 - <t_i/|t_i|, u_j/|u_j|> of T track rows and D detection
// rows of `dim` values each; norms below 1e-9 are replaced by 1e-9.
void appearance_distance(const double* track_features, std::size_t tracks, const double* det_features,
                         std::size_t detections, std::size_t dim, double* out);

// gating_d2 / max(gate_thresh, 1e-9), clipped to [0, 1]; NaN stays NaN.
void uncertainty_distance(const double* gating_d2, std::size_t n, double gate_thresh, double* out);

}  // namespace loomfeather
