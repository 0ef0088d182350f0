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

// Squared Mahalanobis distances of m measurements (stride 4) from n tracks
// (means at stride 8, covariances at stride 64), written row by row to
// out[i*m + j]. Throws std::runtime_error when an innovation covariance is not
// positive definite. Does nothing when n or m is 0.
void gating_distance_batch(double sp, const double* means, const double* covs, std::size_t n,
                           const double* measurements, std::size_t m, double* out);

// 0.95 chi-square quantile for dof = 1..9; std::invalid_argument otherwise.
double chi2_gating_threshold(int dof);

}  // namespace loomfeather::kalman
