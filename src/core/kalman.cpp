#include "core/kalman.hpp"

#include <Eigen/Dense>
#include <cmath>
#include <stdexcept>

namespace loomfeather::kalman {
namespace {

// Fixed sizes keep every matrix on the stack, and Eigen's fixed-size LU and
// products then never touch the heap.
using Mat4 = Eigen::Matrix4d;
using Mat8 = Eigen::Matrix<double, 8, 8>;
using Mat48 = Eigen::Matrix<double, 4, 8>;
using Mat84 = Eigen::Matrix<double, 8, 4>;
using Vec4 = Eigen::Vector4d;
using LU4 = Eigen::PartialPivLU<Mat4>;

// Squares of the constant noise terms, taken in float64 as the reference does:
// 0.1 * 0.1 is 0.010000000000000002, not 0.01.
constexpr double kAspectStd = 0.01;
constexpr double kAspectVelStd = 1e-5;
constexpr double kAspectMeasStd = 0.1;
constexpr double kAspectVar = kAspectStd * kAspectStd;
constexpr double kAspectVelVar = kAspectVelStd * kAspectVelStd;
constexpr double kAspectMeasVar = kAspectMeasStd * kAspectMeasStd;

// S = top-left block of P plus R; r is the position variance for this track.
Mat4 innovation_cov(const double* cov, double r) {
    Mat4 s;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) s(i, j) = cov[i * 8 + j];
    s(0, 0) += r;
    s(1, 1) += r;
    s(2, 2) += kAspectMeasVar;
    s(3, 3) += r;
    return s;
}

// Lower Cholesky factor of S from its lower triangle; each pivot must be > 0
// (false for NaN too).
Mat4 cholesky_lower(const Mat4& s) {
    Mat4 l = Mat4::Zero();
    for (int k = 0; k < 4; ++k) {
        double acc = 0.0;
        for (int j = 0; j < k; ++j) acc = acc + l(k, j) * l(k, j);
        const double x = s(k, k) - acc;
        if (!(x > 0.0)) throw std::runtime_error("gating: innovation covariance is not positive definite");
        const double d = std::sqrt(x);
        l(k, k) = d;
        for (int i = k + 1; i < 4; ++i) {
            double dot = 0.0;
            for (int j = 0; j < k; ++j) dot = dot + l(i, j) * l(k, j);
            l(i, k) = (s(i, k) - dot) / d;
        }
    }
    return l;
}

}  // namespace

void initiate(double sp, double sv, const double* z, double* mean, double* cov) {
    const double h = z[3];
    const double p = (sp + sp) * h;
    const double v = (10.0 * sv) * h;
    const double var[8] = {p * p, p * p, kAspectVar, p * p, v * v, v * v, kAspectVelVar, v * v};
    for (int i = 0; i < 4; ++i) {
        mean[i] = z[i];
        mean[i + 4] = 0.0;
    }
    for (int i = 0; i < 64; ++i) cov[i] = 0.0;
    for (int i = 0; i < 8; ++i) cov[i * 9] = var[i];
}

void predict(double sp, double sv, const double* mean, const double* cov, double* mean_out, double* cov_out) {
    // Copies first: the outputs may be the inputs.
    double m[8];
    double p[64];
    for (int i = 0; i < 8; ++i) m[i] = mean[i];
    for (int i = 0; i < 64; ++i) p[i] = cov[i];

    const double h = m[3];
    const double qp = sp * h;
    const double qv = h * sv;
    const double q[8] = {qp * qp, qp * qp, kAspectVar, qp * qp, qv * qv, qv * qv, kAspectVelVar, qv * qv};

    for (int i = 0; i < 4; ++i) {
        mean_out[i] = m[i] + m[i + 4];
        mean_out[i + 4] = m[i + 4];
    }
    // F P F^T written out as block sums: F = [[I, I], [0, I]].
    for (int i = 0; i < 4; ++i) {
        const double* top = p + i * 8;
        const double* bot = p + (i + 4) * 8;
        for (int j = 0; j < 4; ++j) {
            cov_out[i * 8 + j] = (top[j] + bot[j]) + (top[j + 4] + bot[j + 4]);
            cov_out[i * 8 + j + 4] = top[j + 4] + bot[j + 4];
            cov_out[(i + 4) * 8 + j] = bot[j] + bot[j + 4];
            cov_out[(i + 4) * 8 + j + 4] = bot[j + 4];
        }
    }
    for (int i = 0; i < 8; ++i) cov_out[i * 9] += q[i];
}

void project(double sp, const double* mean, const double* cov, double* mean_out, double* cov_out) {
    const double r = (sp * mean[3]) * (sp * mean[3]);
    const Mat4 s = innovation_cov(cov, r);
    for (int i = 0; i < 4; ++i) {
        mean_out[i] = mean[i];
        for (int j = 0; j < 4; ++j) cov_out[i * 4 + j] = s(i, j);
    }
}

void update(double sp, double sv, const double* mean, const double* cov, const double* z, double* mean_out,
            double* cov_out) noexcept {
    (void)sv;  // the correction only uses measurement noise
    const double h = mean[3];
    const double r = (h * sp) * (h * sp);
    const LU4 lu(innovation_cov(cov, r));

    // S X = (P H^T)^T, K = X^T.
    Mat48 b;
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 8; ++j) b(i, j) = cov[j * 8 + i];
    const Mat48 x = lu.solve(b);
    const Mat84 k = x.transpose();

    double y[4];
    for (int i = 0; i < 4; ++i) y[i] = z[i] - mean[i];
    for (int i = 0; i < 8; ++i)
        mean_out[i] = (((y[0] * k(i, 0) + y[1] * k(i, 1)) + y[2] * k(i, 2)) + y[3] * k(i, 3)) + mean[i];

    // Joseph form (I - K H) P (I - K H)^T + K R K^T, with R dense so that
    // every product sums all its terms, zeros included.
    Mat8 p;
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) p(i, j) = cov[i * 8 + j];
    Mat8 a = Mat8::Identity();
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) a(i, j) = (i == j ? 1.0 : 0.0) - k(i, j);
    Mat4 rm = Mat4::Zero();
    rm(0, 0) = r;
    rm(1, 1) = r;
    rm(2, 2) = kAspectMeasVar;
    rm(3, 3) = r;

    Mat8 ap;
    ap.noalias() = a * p;
    Mat8 m;
    m.noalias() = ap * a.transpose();
    Mat84 kr;
    kr.noalias() = k * rm;
    m.noalias() += kr * k.transpose();

    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) cov_out[i * 8 + j] = (m(i, j) + m(j, i)) * 0.5;
}

void gating_distance_batch(double sp, const double* means, const double* covs, std::size_t n,
                           const double* measurements, std::size_t m, double* out) {
    if (n == 0 || m == 0) return;
    for (std::size_t t = 0; t < n; ++t, means += 8, covs += 64) {
        const double r = (sp * means[3]) * (sp * means[3]);
        // Solved through an LU of the Cholesky factor, not by forward
        // substitution on it: that is the rounding the distances must match.
        const LU4 lu(cholesky_lower(innovation_cov(covs, r)));
        const double* z = measurements;
        double* row = out + t * m;
        for (std::size_t j = 0; j < m; ++j, z += 4) {
            const Vec4 d(z[0] - means[0], z[1] - means[1], z[2] - means[2], z[3] - means[3]);
            const Vec4 w = lu.solve(d);
            row[j] = (w(0) * w(0) + w(2) * w(2)) + (w(1) * w(1) + w(3) * w(3));
        }
    }
}

double chi2_gating_threshold(int dof) {
    // 0.95 quantiles of the chi-square distribution, dof 1..9.
    static constexpr double table[9] = {3.8415, 5.9915, 7.8147, 9.4877, 11.07, 12.592, 14.067, 15.507, 16.919};
    if (dof < 1 || dof > 9) throw std::invalid_argument("chi2_gating_threshold: dof out of range 1..9");
    return table[dof - 1];
}

}  // namespace loomfeather::kalman
