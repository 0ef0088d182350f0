#include "core/costs.hpp"

#include <cmath>
#include <vector>

namespace loomfeather {
namespace {

// Floor of a feature norm and of the uncertainty gate.
constexpr double kFloor = 1e-9;

// Rows of `dim` values divided by their Euclidean norm (floored at 1e-9, so
// a zero row stays zero). Sums run left to right from 0.
std::vector<double> normalised_rows(const double* rows, std::size_t count, std::size_t dim) {
    std::vector<double> out(count * dim);
    for (std::size_t r = 0; r < count; ++r) {
        const double* x = rows + r * dim;
        double s = 0.0;
        for (std::size_t k = 0; k < dim; ++k) s = s + x[k] * x[k];
        double norm = std::sqrt(s);
        if (kFloor > norm) norm = kFloor;  // false for NaN: a NaN norm stays
        for (std::size_t k = 0; k < dim; ++k) out[r * dim + k] = x[k] / norm;
    }
    return out;
}

}  // namespace

double build_association_cost(const AssociationCostInputs& in, double* cost, std::uint8_t* vetoed) {
    const std::size_t n = in.tracks * in.detections;

    double gate = (1.0 - in.iou_thresh) * in.w_iou;

    if (in.motion != nullptr) {
        for (std::size_t k = 0; k < n; ++k) cost[k] = in.w_iou * in.motion[k];
    } else {
        for (std::size_t k = 0; k < n; ++k) cost[k] = (1.0 - in.ious[k]) * in.w_iou;
    }

    // The gate grows by the largest value each optional term can add:
    // cosine distance reaches 2, the uncertainty distance 1.
    if (in.w_app > 0.0 && in.appearance != nullptr) {
        for (std::size_t k = 0; k < n; ++k) cost[k] = cost[k] + in.w_app * in.appearance[k];
        gate = gate + (in.w_app + in.w_app);
    }
    if (in.w_unc > 0.0 && in.uncertainty != nullptr) {
        gate = gate + in.w_unc;
        for (std::size_t k = 0; k < n; ++k) cost[k] = cost[k] + in.w_unc * in.uncertainty[k];
    }

    // Finite, just above the gate: the solvers refuse infinity, and
    // associate(max_cost = gate) still rejects every forbidden pair.
    const double forbidden = 1.0 + gate;
    const bool mahalanobis = in.gating_d2 != nullptr && in.has_gate_thresh;
    for (std::size_t k = 0; k < n; ++k) {
        // Strict comparisons: NaN IoU or distance forbids nothing.
        const bool veto = in.iou_thresh > in.ious[k] || (in.class_mismatch != nullptr && in.class_mismatch[k] != 0) ||
                          (mahalanobis && in.gating_d2[k] > in.gate_thresh);
        if (veto) cost[k] = forbidden;
        if (vetoed != nullptr) vetoed[k] = veto ? 1 : 0;
    }
    return gate;
}

void appearance_distance(const double* track_features, std::size_t tracks, const double* det_features,
                         std::size_t detections, std::size_t dim, double* out) {
    if (tracks == 0 || detections == 0) return;
    const std::vector<double> t = normalised_rows(track_features, tracks, dim);
    const std::vector<double> u = normalised_rows(det_features, detections, dim);
    for (std::size_t i = 0; i < tracks; ++i) {
        const double* ti = t.data() + i * dim;
        for (std::size_t j = 0; j < detections; ++j) {
            const double* uj = u.data() + j * dim;
            double dot = 0.0;
            for (std::size_t k = 0; k < dim; ++k) dot = dot + ti[k] * uj[k];
            out[i * detections + j] = 1.0 - dot;
        }
    }
}

void uncertainty_distance(const double* gating_d2, std::size_t n, double gate_thresh, double* out) {
    const double g = kFloor > gate_thresh ? kFloor : gate_thresh;
    for (std::size_t k = 0; k < n; ++k) {
        const double q = gating_d2[k] / g;  // a division, not a product with 1/g
        out[k] = q < 0.0 ? 0.0 : (q > 1.0 ? 1.0 : q);
    }
}

}  // namespace loomfeather
