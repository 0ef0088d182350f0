// Box geometry on packed buffers: box i occupies elements 4i..4i+3.
// Every kernel reads its input, writes only its output, allocates nothing and
// cannot fail. Results equal the scalar formulas bit for bit (no FMA, no
// reassociation), because the tracker compares them against thresholds.
#pragma once
#include <cstddef>

namespace loomfeather {

// Floor of IoU unions, GIoU enclosing areas and the xyah height divisor.
constexpr double IOU_EPS = 1e-7;

// Format conversions, n boxes from `in` to `out` (non-overlapping).
void xyxy_to_xywh(const double* in, double* out, std::size_t n);
void xywh_to_xyxy(const double* in, double* out, std::size_t n);
void xyxy_to_cxcywh(const double* in, double* out, std::size_t n);
void cxcywh_to_xyxy(const double* in, double* out, std::size_t n);
void xyxy_to_xyah(const double* in, double* out, std::size_t n);
void xyah_to_xyxy(const double* in, double* out, std::size_t n);

// One area per xyxy box; negative widths and heights count as 0.
void box_area(const double* in, double* out, std::size_t n);

// Clamp x into [0, width] and y into [0, height]; corners are not reordered.
void clip_boxes(const double* in, double* out, std::size_t n, double width, double height);

// out[i*m + j] = IoU / GIoU of a_i (n boxes) and b_j (m boxes), row-major.
void iou_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out);
void giou_kernel(const double* a, std::size_t n, const double* b, std::size_t m, double* out);

}  // namespace loomfeather
