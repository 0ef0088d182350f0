#include "core/kalman.hpp"

#include "core/simd.hpp"

#include <Eigen/Dense>
#include <cmath>
#include <utility>
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

// Eigen's partial-pivoting LU of a 4 x 4 matrix, step by step as its
// unblocked kernel runs: the pivot is the first entry of largest magnitude
// in the column (a NaN wins only in first place), a zero pivot skips the row
// swap and the division, the column below the pivot is divided by it, and
// the trailing block loses the outer product. src[k] is the original row
// now at row k, so a solve starts from x[k] = b[src[k]].
struct LU4Factors {
    double a[4][4];
    int src[4];
};

LU4Factors lu4(const Mat4& m) {
    LU4Factors f;
    for (int i = 0; i < 4; ++i) {
        f.src[i] = i;
        for (int j = 0; j < 4; ++j) f.a[i][j] = m(i, j);
    }
    auto& a = f.a;
    for (int k = 0; k < 3; ++k) {
        double best = std::fabs(a[k][k]);
        int p = k;
        for (int i = k + 1; i < 4; ++i) {
            const double score = std::fabs(a[i][k]);
            if (score > best) {
                best = score;
                p = i;
            }
        }
        if (best != 0.0) {
            if (p != k) {
                for (int j = 0; j < 4; ++j) std::swap(a[k][j], a[p][j]);
                std::swap(f.src[k], f.src[p]);
            }
            for (int i = k + 1; i < 4; ++i) a[i][k] = a[i][k] / a[k][k];
        }
        for (int i = k + 1; i < 4; ++i)
            for (int j = k + 1; j < 4; ++j) a[i][j] = a[i][j] - a[i][k] * a[k][j];
    }
    return f;
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

namespace {

// M = (A P) A^T + (K R) K^T with A = I - K H and R = diag(r, r, 0.1^2, r),
// every product summing all its terms left to right from 0, zeros included.
void joseph_scalar(const double (&k)[8][4], const double* cov, double r, double (&m)[8][8]) {
    double am[8][8], ap[8][8], kr[8][4];
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) am[i][j] = j < 4 ? (i == j ? 1.0 : 0.0) - k[i][j] : (i == j ? 1.0 : 0.0);
    const double rd[4] = {r, r, kAspectMeasVar, r};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            double acc = 0.0;
            for (int q = 0; q < 8; ++q) acc = acc + am[i][q] * cov[q * 8 + j];
            ap[i][j] = acc;
        }
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            double acc = 0.0;
            for (int q = 0; q < 8; ++q) acc = acc + ap[i][q] * am[j][q];
            m[i][j] = acc;
        }
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) {
            double acc = 0.0;
            for (int q = 0; q < 4; ++q) acc = acc + k[i][q] * (q == j ? rd[q] : 0.0);
            kr[i][j] = acc;
        }
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            double acc = 0.0;
            for (int q = 0; q < 4; ++q) acc = acc + kr[i][q] * k[j][q];
            m[i][j] = m[i][j] + acc;
        }
}

#if LF_X86_SIMD
// The same with AVX: a row of a product is two vectors of four columns, each
// lane adding its terms in the same order as the scalar sums (no FMA).
LF_TARGET_AVX void joseph_avx(const double (&k)[8][4], const double* cov, double r, double (&m)[8][8]) {
    alignas(32) double at[8][8];  // A^T
    alignas(32) double kt[4][8];  // K^T
    alignas(32) double ap[8][8];
    alignas(32) double rd[4][4] = {};
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) at[j][i] = j < 4 ? (i == j ? 1.0 : 0.0) - k[i][j] : (i == j ? 1.0 : 0.0);
    for (int i = 0; i < 8; ++i)
        for (int q = 0; q < 4; ++q) kt[q][i] = k[i][q];
    rd[0][0] = r;
    rd[1][1] = r;
    rd[2][2] = kAspectMeasVar;
    rd[3][3] = r;
    for (int i = 0; i < 8; ++i) {
        __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
        for (int q = 0; q < 8; ++q) {
            const __m256d a = _mm256_set1_pd(at[q][i]);
            lo = _mm256_add_pd(lo, _mm256_mul_pd(a, _mm256_loadu_pd(cov + q * 8)));
            hi = _mm256_add_pd(hi, _mm256_mul_pd(a, _mm256_loadu_pd(cov + q * 8 + 4)));
        }
        _mm256_store_pd(ap[i], lo);
        _mm256_store_pd(ap[i] + 4, hi);
    }
    for (int i = 0; i < 8; ++i) {
        __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
        for (int q = 0; q < 8; ++q) {
            const __m256d a = _mm256_set1_pd(ap[i][q]);
            lo = _mm256_add_pd(lo, _mm256_mul_pd(a, _mm256_load_pd(at[q])));
            hi = _mm256_add_pd(hi, _mm256_mul_pd(a, _mm256_load_pd(at[q] + 4)));
        }
        __m256d kr = _mm256_setzero_pd();
        for (int q = 0; q < 4; ++q) kr = _mm256_add_pd(kr, _mm256_mul_pd(_mm256_set1_pd(k[i][q]), _mm256_load_pd(rd[q])));
        alignas(32) double krow[4];
        _mm256_store_pd(krow, kr);
        __m256d slo = _mm256_setzero_pd(), shi = _mm256_setzero_pd();
        for (int q = 0; q < 4; ++q) {
            const __m256d a = _mm256_set1_pd(krow[q]);
            slo = _mm256_add_pd(slo, _mm256_mul_pd(a, _mm256_load_pd(kt[q])));
            shi = _mm256_add_pd(shi, _mm256_mul_pd(a, _mm256_load_pd(kt[q] + 4)));
        }
        _mm256_storeu_pd(m[i], _mm256_add_pd(lo, slo));
        _mm256_storeu_pd(m[i] + 4, _mm256_add_pd(hi, shi));
    }
}
#endif

inline void joseph(const double (&k)[8][4], const double* cov, double r, double (&m)[8][8]) {
#if LF_X86_SIMD
    if (cpu_has_avx()) return joseph_avx(k, cov, r, m);
#endif
    joseph_scalar(k, cov, r, m);
}

}  // namespace

// The correction written out in the order Eigen evaluates it (the oracle,
// update_eigen, is Eigen itself): the 4 x 8 right-hand side is solved column
// by column, forward with the unit-lower factor, backward multiplying by
// 1 / pivot; every matrix product sums its terms left to right from 0, and
// the accumulated K R K^T is added to A P A^T entry by entry.
void update(double sp, double sv, const double* mean, const double* cov, const double* z, double* mean_out,
            double* cov_out) noexcept {
    (void)sv;  // the correction only uses measurement noise
    const double h = mean[3];
    const double r = (h * sp) * (h * sp);
    const LU4Factors lu = lu4(innovation_cov(cov, r));
    const auto& a = lu.a;
    const int* src = lu.src;

    // S X = (P H^T)^T, K = X^T: row j of K solves against column j of P's top rows.
    double k[8][4];
    for (int j = 0; j < 8; ++j) {
        double x[4];
        for (int i = 0; i < 4; ++i) x[i] = cov[j * 8 + src[i]];
        for (int c = 0; c < 4; ++c)
            for (int i = c + 1; i < 4; ++i) x[i] = x[i] - x[c] * a[i][c];
        for (int c = 3; c >= 0; --c) {
            x[c] = x[c] * (1.0 / a[c][c]);
            for (int i = 0; i < c; ++i) x[i] = x[i] - x[c] * a[i][c];
        }
        for (int i = 0; i < 4; ++i) k[j][i] = x[i];
    }

    double y[4];
    for (int i = 0; i < 4; ++i) y[i] = z[i] - mean[i];
    for (int i = 0; i < 8; ++i)
        mean_out[i] = (((y[0] * k[i][0] + y[1] * k[i][1]) + y[2] * k[i][2]) + y[3] * k[i][3]) + mean[i];

    // Joseph form (I - K H) P (I - K H)^T + K R K^T, with R dense so that
    // every product sums all its terms, zeros included.
    double m[8][8];
    joseph(k, cov, r, m);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) cov_out[i * 8 + j] = (m[i][j] + m[j][i]) * 0.5;
}

void update_eigen(double sp, double sv, const double* mean, const double* cov, const double* z, double* mean_out,
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

GatingFactor gating_factor(double sp, const double* mean, const double* cov) {
    const double r = (sp * mean[3]) * (sp * mean[3]);
    // Solved through an LU of the Cholesky factor, not by forward substitution
    // on it: that is the rounding the distances must match.
    const LU4Factors lu = lu4(cholesky_lower(innovation_cov(cov, r)));
    GatingFactor f;
    for (int i = 0; i < 4; ++i) {
        f.src[i] = lu.src[i];
        for (int j = 0; j < 4; ++j) f.lu[i][j] = lu.a[i][j];
    }
    for (int i = 0; i < 4; ++i) f.mean[i] = mean[i];
    return f;
}

namespace {

#if LF_X86_SIMD
// gating_distance for four measurements at a time, one per lane, every lane
// running the scalar substitution's operations in its order (no FMA).
// Returns how many measurements it did (a multiple of 4).
LF_TARGET_AVX std::size_t gating_row_avx(const GatingFactor& f, const double* z, std::size_t m, double* out) {
    __m256d a[4][4];
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) a[i][j] = _mm256_set1_pd(f.lu[i][j]);
    const __m256d m0 = _mm256_set1_pd(f.mean[0]), m1 = _mm256_set1_pd(f.mean[1]);
    const __m256d m2 = _mm256_set1_pd(f.mean[2]), m3 = _mm256_set1_pd(f.mean[3]);
    std::size_t j = 0;
    for (; j + 4 <= m; j += 4, z += 16) {
        __m256d d[4];  // x, y, a, h of four measurements, then minus the mean
        load_transposed4(z, d);
        d[0] = _mm256_sub_pd(d[0], m0);
        d[1] = _mm256_sub_pd(d[1], m1);
        d[2] = _mm256_sub_pd(d[2], m2);
        d[3] = _mm256_sub_pd(d[3], m3);
        __m256d x0 = d[f.src[0]], x1 = d[f.src[1]], x2 = d[f.src[2]], x3 = d[f.src[3]];
        x1 = _mm256_sub_pd(x1, _mm256_mul_pd(a[1][0], x0));
        x2 = _mm256_sub_pd(x2, _mm256_add_pd(_mm256_mul_pd(a[2][0], x0), _mm256_mul_pd(a[2][1], x1)));
        x3 = _mm256_sub_pd(x3, _mm256_add_pd(_mm256_mul_pd(a[3][0], x0),
                                             _mm256_add_pd(_mm256_mul_pd(a[3][1], x1), _mm256_mul_pd(a[3][2], x2))));
        x3 = _mm256_div_pd(x3, a[3][3]);
        x2 = _mm256_div_pd(_mm256_sub_pd(x2, _mm256_mul_pd(a[2][3], x3)), a[2][2]);
        x1 = _mm256_div_pd(
            _mm256_sub_pd(x1, _mm256_add_pd(_mm256_mul_pd(a[1][2], x2), _mm256_mul_pd(a[1][3], x3))), a[1][1]);
        x0 = _mm256_div_pd(
            _mm256_sub_pd(x0, _mm256_add_pd(_mm256_mul_pd(a[0][1], x1),
                                            _mm256_add_pd(_mm256_mul_pd(a[0][2], x2), _mm256_mul_pd(a[0][3], x3)))),
            a[0][0]);
        const __m256d even = _mm256_add_pd(_mm256_mul_pd(x0, x0), _mm256_mul_pd(x2, x2));
        const __m256d odd = _mm256_add_pd(_mm256_mul_pd(x1, x1), _mm256_mul_pd(x3, x3));
        _mm256_storeu_pd(out + j, _mm256_add_pd(even, odd));
    }
    return j;
}
#endif

}  // namespace

void gating_distance_batch(double sp, const double* means, const double* covs, std::size_t n,
                           const double* measurements, std::size_t m, double* out) {
    if (n == 0 || m == 0) return;
    for (std::size_t t = 0; t < n; ++t, means += 8, covs += 64) {
        const GatingFactor f = gating_factor(sp, means, covs);
        double* row = out + t * m;
        std::size_t j = 0;
#if LF_X86_SIMD
        if (cpu_has_avx()) j = gating_row_avx(f, measurements, m, row);
#endif
        for (; j < m; ++j) row[j] = gating_distance(f, measurements + 4 * j);
    }
}

void gating_distance_batch_eigen(double sp, const double* means, const double* covs, std::size_t n,
                                 const double* measurements, std::size_t m, double* out) {
    if (n == 0 || m == 0) return;
    for (std::size_t t = 0; t < n; ++t, means += 8, covs += 64) {
        const double r = (sp * means[3]) * (sp * means[3]);
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
