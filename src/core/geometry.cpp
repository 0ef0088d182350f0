#include "core/geometry.hpp"

#include "core/simd.hpp"

namespace loomfeather {
namespace {

// The selections below are written so that NaN behaves as the reference does:
// every "replace when" test is false for NaN, so NaN passes through; in hi/lo
// the first operand (box a's coordinate) wins when the comparison is false.
inline double clamp0(double v) { return v < 0.0 ? 0.0 : v; }
inline double hi(double p, double q) { return q > p ? q : p; }
inline double lo(double p, double q) { return q < p ? q : p; }
inline double eps_floor(double v) { return v < IOU_EPS ? IOU_EPS : v; }
inline double cap(double c, double limit) { return limit < c ? limit : c; }

inline double area_of(const double* b) {
    return clamp0(b[2] - b[0]) * clamp0(b[3] - b[1]);
}

struct Overlap {
    double inter;
    double uni;
    double iou;
};

inline Overlap overlap(const double* a, double area_a, const double* b) {
    const double area_b = area_of(b);
    const double iw = clamp0(lo(a[2], b[2]) - hi(a[0], b[0]));
    const double ih = clamp0(lo(a[3], b[3]) - hi(a[1], b[1]));
    const double inter = iw * ih;
    const double uni = (area_b + area_a) - inter;
    return {inter, uni, inter / eps_floor(uni)};
}

}  // namespace

void xyxy_to_xywh(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, in += 4, out += 4) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[2] - in[0];
        out[3] = in[3] - in[1];
    }
}

void xywh_to_xyxy(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, in += 4, out += 4) {
        out[0] = in[0];
        out[1] = in[1];
        out[2] = in[0] + in[2];
        out[3] = in[1] + in[3];
    }
}

void xyxy_to_cxcywh(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, in += 4, out += 4) {
        out[0] = (in[0] + in[2]) * 0.5;
        out[1] = (in[1] + in[3]) * 0.5;
        out[2] = in[2] - in[0];
        out[3] = in[3] - in[1];
    }
}

void cxcywh_to_xyxy(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, in += 4, out += 4) {
        const double hw = in[2] * 0.5;
        const double hh = in[3] * 0.5;
        out[0] = in[0] - hw;
        out[1] = in[1] - hh;
        out[2] = in[0] + hw;
        out[3] = in[1] + hh;
    }
}

void xyxy_to_xyah(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, in += 4, out += 4) {
        const double h = in[3] - in[1];
        out[0] = (in[0] + in[2]) * 0.5;
        out[1] = (in[1] + in[3]) * 0.5;
        out[2] = (in[2] - in[0]) / eps_floor(h);
        out[3] = h;  // not floored: a degenerate box keeps its negative height
    }
}

void xyah_to_xyxy(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, in += 4, out += 4) {
        const double w = in[2] * in[3];  // rounded before halving
        const double hw = w * 0.5;
        const double hh = in[3] * 0.5;
        out[0] = in[0] - hw;
        out[1] = in[1] - hh;
        out[2] = in[0] + hw;
        out[3] = in[1] + hh;
    }
}

void box_area(const double* in, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i, in += 4) out[i] = area_of(in);
}

void clip_boxes(const double* in, double* out, std::size_t n, double width, double height) {
    for (std::size_t i = 0; i < n; ++i, in += 4, out += 4) {
        out[0] = cap(clamp0(in[0]), width);
        out[1] = cap(clamp0(in[1]), height);
        out[2] = cap(clamp0(in[2]), width);
        out[3] = cap(clamp0(in[3]), height);
    }
}

namespace {

template <bool Giou>
inline double pair_value(const double* a, double area_a, const double* b) {
    const Overlap o = overlap(a, area_a, b);
    if (!Giou) return o.iou;
    const double ew = clamp0(hi(a[2], b[2]) - lo(a[0], b[0]));
    const double eh = clamp0(hi(a[3], b[3]) - lo(a[1], b[1]));
    const double enclose = ew * eh;
    return o.iou - (enclose - o.uni) / eps_floor(enclose);
}

#if LF_X86_SIMD
// Four columns at a time. Every lane runs the scalar formula's operations in
// the same order; the selections map onto MAXPD/MINPD, which return their
// second operand unless the first compares greater (smaller), exactly as
// hi/lo/clamp0/eps_floor do, NaN and signed zeros included. AVX has no FMA.
// Returns the number of columns written (a multiple of 4).
template <bool Giou>
LF_TARGET_AVX std::size_t overlap_row_avx(const double* a, double area_a, const double* b, std::size_t m,
                                          double* out) {
    const __m256d zero = _mm256_setzero_pd();
    const __m256d eps = _mm256_set1_pd(IOU_EPS);
    const __m256d ax1 = _mm256_set1_pd(a[0]), ay1 = _mm256_set1_pd(a[1]);
    const __m256d ax2 = _mm256_set1_pd(a[2]), ay2 = _mm256_set1_pd(a[3]);
    const __m256d aa = _mm256_set1_pd(area_a);
    std::size_t j = 0;
    for (; j + 4 <= m; j += 4, b += 16) {
        __m256d box[4];  // x1, y1, x2, y2 of four boxes
        load_transposed4(b, box);
        const __m256d bx1 = box[0], by1 = box[1], bx2 = box[2], by2 = box[3];

        // clamp0(v) = max(0, v); hi(p, q) = max(q, p); lo(p, q) = min(q, p); eps_floor(v) = max(eps, v).
        const __m256d area_b = _mm256_mul_pd(_mm256_max_pd(zero, _mm256_sub_pd(bx2, bx1)),
                                             _mm256_max_pd(zero, _mm256_sub_pd(by2, by1)));
        const __m256d iw = _mm256_max_pd(zero, _mm256_sub_pd(_mm256_min_pd(bx2, ax2), _mm256_max_pd(bx1, ax1)));
        const __m256d ih = _mm256_max_pd(zero, _mm256_sub_pd(_mm256_min_pd(by2, ay2), _mm256_max_pd(by1, ay1)));
        const __m256d inter = _mm256_mul_pd(iw, ih);
        const __m256d uni = _mm256_sub_pd(_mm256_add_pd(area_b, aa), inter);
        __m256d v = _mm256_div_pd(inter, _mm256_max_pd(eps, uni));
        if (Giou) {
            const __m256d ew =
                _mm256_max_pd(zero, _mm256_sub_pd(_mm256_max_pd(bx2, ax2), _mm256_min_pd(bx1, ax1)));
            const __m256d eh =
                _mm256_max_pd(zero, _mm256_sub_pd(_mm256_max_pd(by2, ay2), _mm256_min_pd(by1, ay1)));
            const __m256d enclose = _mm256_mul_pd(ew, eh);
            v = _mm256_sub_pd(v, _mm256_div_pd(_mm256_sub_pd(enclose, uni), _mm256_max_pd(eps, enclose)));
        }
        _mm256_storeu_pd(out + j, v);
    }
    return j;
}
#endif

template <bool Giou>
void overlap_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
#if LF_X86_SIMD
    const bool avx = cpu_has_avx();
#endif
    for (std::size_t i = 0; i < n; ++i, a += 4, out += m) {
        const double area_a = area_of(a);
        std::size_t j = 0;
#if LF_X86_SIMD
        if (avx) j = overlap_row_avx<Giou>(a, area_a, b, m, out);
#endif
        for (; j < m; ++j) out[j] = pair_value<Giou>(a, area_a, b + 4 * j);
    }
}

}  // namespace

void iou_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
    overlap_kernel<false>(a, n, b, m, out);
}

void giou_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
    overlap_kernel<true>(a, n, b, m, out);
}

}  // namespace loomfeather
