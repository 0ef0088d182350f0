// Constant-velocity Kalman filter over xyah box states, and Mahalanobis
// gating. A state is a mean of 8 values (x, y, a, h, vx, vy, va, vh) and an
// 8x8 row-major covariance; a measurement is 4 values (x, y, a, h). sp and sv
// are the position and velocity noise weights. Nothing here allocates; only
// gating_distance_batch and chi2_gating_threshold can throw.
#pragma once
#include <cstddef>

namespace loomfeather::kalman {

// mean (8) and covariance (64) of a track started from measurement z.
void initiate(double sp, double sv, const double* z, double* mean, double* cov);

// One step ahead. The outputs may alias the inputs (the tracker predicts in place).
void predict(double sp, double sv, const double* mean, const double* cov, double* mean_out, double* cov_out);

// Projected mean (4) and innovation covariance S = H P H^T + R (16).
void project(double sp, const double* mean, const double* cov, double* mean_out, double* cov_out);

// Correct (mean, cov) with measurement z. Outputs must not overlap inputs.
// No validation, no throw: a singular S yields non-finite results.
void update(double sp, double sv, const double* mean, const double* cov, const double* z, double* mean_out,
            double* cov_out) noexcept;

// The same correction through Eigen's own solve and matrix products: the
// oracle that `update` is tested against, bit for bit.
void update_eigen(double sp, double sv, const double* mean, const double* cov, const double* z, double* mean_out,
                  double* cov_out) noexcept;

// Squared Mahalanobis distances of m measurements (stride 4) from n tracks
// (means at stride 8, covariances at stride 64), written row by row to
// out[i*m + j]. Throws std::runtime_error when an innovation covariance is not
// positive definite. Does nothing when n or m is 0.
void gating_distance_batch(double sp, const double* means, const double* covs, std::size_t n,
                           const double* measurements, std::size_t m, double* out);

// The same distances through Eigen's own 4x4 LU solve: the oracle that the
// hand-written substitution is tested against, bit for bit.
void gating_distance_batch_eigen(double sp, const double* means, const double* covs, std::size_t n,
                                 const double* measurements, std::size_t m, double* out);

// One track's gating factorisation, reused for every measurement: the
// partial-pivoting LU (as Eigen computes it) of the Cholesky factor of the
// innovation covariance.
struct GatingFactor {
    double lu[4][4];  // unit-lower L below the diagonal, U on and above it
    int src[4];       // row permutation: the solve starts from x[k] = d[src[k]]
    double mean[4];
};

// Throws std::runtime_error when the innovation covariance is not positive
// definite.
GatingFactor gating_factor(double sp, const double* mean, const double* cov);

// Squared distance of measurement z: the forward and back substitution that
// Eigen's fixed-size vector solve performs on the factors, written out.
inline double gating_distance(const GatingFactor& f, const double* z) noexcept {
    const auto& a = f.lu;
    const double d[4] = {z[0] - f.mean[0], z[1] - f.mean[1], z[2] - f.mean[2], z[3] - f.mean[3]};
    double x0 = d[f.src[0]], x1 = d[f.src[1]], x2 = d[f.src[2]], x3 = d[f.src[3]];
    // Row by row; a three-term dot product is grouped t0 + (t1 + t2), and the
    // back substitution divides by the pivot.
    x1 = x1 - a[1][0] * x0;
    x2 = x2 - (a[2][0] * x0 + a[2][1] * x1);
    x3 = x3 - (a[3][0] * x0 + (a[3][1] * x1 + a[3][2] * x2));
    x3 = x3 / a[3][3];
    x2 = (x2 - a[2][3] * x3) / a[2][2];
    x1 = (x1 - (a[1][2] * x2 + a[1][3] * x3)) / a[1][1];
    x0 = (x0 - (a[0][1] * x1 + (a[0][2] * x2 + a[0][3] * x3))) / a[0][0];
    return (x0 * x0 + x2 * x2) + (x1 * x1 + x3 * x3);
}

// 0.95 chi-square quantile for dof = 1..9; std::invalid_argument otherwise.
double chi2_gating_threshold(int dof);

}  // namespace loomfeather::kalman
