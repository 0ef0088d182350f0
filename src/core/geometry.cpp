#include "core/geometry.hpp"

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

void iou_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
    for (std::size_t i = 0; i < n; ++i, a += 4) {
        const double area_a = area_of(a);
        const double* bj = b;
        for (std::size_t j = 0; j < m; ++j, bj += 4) *out++ = overlap(a, area_a, bj).iou;
    }
}

void giou_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out) {
    for (std::size_t i = 0; i < n; ++i, a += 4) {
        const double area_a = area_of(a);
        const double* bj = b;
        for (std::size_t j = 0; j < m; ++j, bj += 4) {
            const Overlap o = overlap(a, area_a, bj);
            const double ew = clamp0(hi(a[2], bj[2]) - lo(a[0], bj[0]));
            const double eh = clamp0(hi(a[3], bj[3]) - lo(a[1], bj[1]));
            const double enclose = ew * eh;
            *out++ = o.iou - (enclose - o.uni) / eps_floor(enclose);
        }
    }
}

}  // namespace loomfeather
