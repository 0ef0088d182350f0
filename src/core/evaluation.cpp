// Evaluation: preprocessing, the three metric families and their combination.
// The numbers are those of the official code's computation over each frame's
// full matrices: the same IoUs, the same sums in the same order, and matchings
// equal to SciPy's on the full matrices, ties included. Only the non-zero
// entries are visited; BlockMatcher explains how a matching is solved from
// them, and full_matrices runs the full computation itself.
#include "core/evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace loomfeather::evaluation {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kClearThreshold = 0.5;
constexpr double kContinuityBonus = 1000.0;
constexpr std::int64_t kNone = -1;

[[noreturn]] void refuse(const std::string& text) { throw std::invalid_argument("evaluate_sequence: " + text); }

// A growable array of plain records, for the per-pair lists: growing leaves
// the new places unwritten (std::vector writes zeros there first), and
// appending is inline.
template <class T>
class Buffer {
public:
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T* data() { return data_.get(); }
    T* begin() { return data_.get(); }
    T* end() { return data_.get() + size_; }
    const T* begin() const { return data_.get(); }
    const T* end() const { return data_.get() + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::size_t capacity() const { return capacity_; }
    void clear() { size_ = 0; }
    void push_back(const T& v) {
        if (size_ == capacity_) grow(size_ + 1);
        data_[size_++] = v;
    }
    void reserve(std::size_t n) {
        if (n > capacity_) grow(n);
    }
    void resize(std::size_t n) {
        reserve(n);
        size_ = n;
    }

private:
    [[gnu::noinline]] void grow(std::size_t n) {
        const std::size_t capacity = std::max(n, 2 * capacity_);
        std::unique_ptr<T[]> data(new T[capacity]);
        std::copy(data_.get(), data_.get() + size_, data.get());
        data_ = std::move(data);
        capacity_ = capacity;
    }
    std::unique_ptr<T[]> data_;
    std::size_t size_ = 0, capacity_ = 0;
};

// NumPy's pairwise summation, the order of ndarray.sum over a contiguous run:
// plain below 8 values, eight partial sums up to 128, halves above.
double pairwise_sum(const double* a, std::size_t n) {
    if (n < 8) {
        double r = 0.0;
        for (std::size_t i = 0; i < n; ++i) r += a[i];
        return r;
    }
    if (n <= 128) {
        double r[8];
        std::copy(a, a + 8, r);
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8)
            for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    return pairwise_sum(a, half) + pairwise_sum(a + half, n - half);
}

// The larger and the smaller of two values that are not NaN, without a
// branch (a compiler may branch on std::max).
inline double larger(double a, double b) {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_max_sd(_mm_set_sd(a), _mm_set_sd(b)));
#else
    return a > b ? a : b;
#endif
}
inline double smaller(double a, double b) {
#if defined(__SSE2__)
    return _mm_cvtsd_f64(_mm_min_sd(_mm_set_sd(a), _mm_set_sd(b)));
#else
    return a < b ? a : b;
#endif
}

// a when c holds, else b, without a branch.
inline std::uint32_t pick(bool c, std::uint32_t a, std::uint32_t b) {
    const std::uint32_t mask = 0u - static_cast<std::uint32_t>(c);
    return (a & mask) | (b & ~mask);
}

// 0 and 1, looked up by a condition rather than branched on.
constexpr double kZeroOne[2] = {0.0, 1.0};

// IoU of two ltwh boxes as the official code computes it: corners first,
// areas from the corners, no overlap when an area or the union is <= eps.
double box_iou(const double* a, const double* b) {
    const double ax1 = a[0] + a[2], ay1 = a[1] + a[3];
    const double bx1 = b[0] + b[2], by1 = b[1] + b[3];
    const double area_a = (ax1 - a[0]) * (ay1 - a[1]);
    const double area_b = (bx1 - b[0]) * (by1 - b[1]);
    const double iw = std::max(std::min(ax1, bx1) - std::max(a[0], b[0]), 0.0);
    const double ih = std::max(std::min(ay1, by1) - std::max(a[1], b[1]), 0.0);
    const double inter = iw * ih;
    const double uni = area_a + area_b - inter;
    if (area_a <= kEps || area_b <= kEps || uni <= kEps) return 0.0;
    return inter / uni;
}

bool is_distractor(std::int64_t cls) { return cls == 2 || cls == 7 || cls == 8 || cls == 12; }

// How the matchings treat a ground-truth row.
enum RowKind : std::uint8_t { kScored, kDistractor, kIgnored };

// A row as the frames use it: box (left, top, width, height), identity, and
// (ground truth) kind.
struct Row {
    double box[4];
    std::int64_t id;
    std::uint8_t kind;
};

// The rows of one side in frame order, input order within a frame: frame f
// holds positions start[f-1] .. start[f], position k being input row row(k).
// Rows already in frame order (as written by a tracker) are taken as they
// are; otherwise only their indices are put in order (eight bytes a row to
// place, rather than the whole row).
struct FrameRows {
    std::vector<std::size_t> start, order;
    bool in_order = true;
    std::size_t first(std::int64_t f) const { return start[static_cast<std::size_t>(f) - 1]; }
    std::size_t size(std::int64_t f) const { return start[static_cast<std::size_t>(f)] - first(f); }
    std::size_t row(std::size_t k) const { return in_order ? k : order[k]; }
};

// A side's columns, with the kind of each ground-truth row (null: every row
// scored).
struct Columns {
    std::size_t count;
    const std::int64_t* frames;
    const std::int64_t* ids;
    const double* ltwh;
    std::size_t stride;
    const std::uint8_t* kind;
};

// One pass over a side's rows: false when a frame lies outside
// 1..num_frames or a box value is not finite (check_rows then names it);
// otherwise the rows put in frame order, and lo, hi the range of the ids.
bool order_by_frame(const Columns& c, std::int64_t num_frames, FrameRows& b, std::int64_t& lo, std::int64_t& hi) {
    b.start.assign(static_cast<std::size_t>(num_frames) + 1, 0);
    constexpr double kMax = std::numeric_limits<double>::max();
    std::int64_t previous = 1;
    bool in_order = true, finite = true;
    lo = c.count > 0 ? c.ids[0] : 0;
    hi = lo;
    for (std::size_t r = 0; r < c.count; ++r) {
        const std::int64_t f = c.frames[r];
        if (f < 1 || f > num_frames) return false;
        ++b.start[static_cast<std::size_t>(f)];
        in_order &= f >= previous;
        previous = f;
        const double* x = c.ltwh + c.stride * r;
        finite &= (std::fabs(x[0]) <= kMax) & (std::fabs(x[1]) <= kMax) & (std::fabs(x[2]) <= kMax) &
                  (std::fabs(x[3]) <= kMax);
        lo = std::min(lo, c.ids[r]);
        hi = std::max(hi, c.ids[r]);
    }
    if (!finite) return false;
    std::partial_sum(b.start.begin(), b.start.end(), b.start.begin());
    b.in_order = in_order;
    if (!in_order) {
        std::vector<std::size_t> fill(b.start.begin(), b.start.end() - 1);
        b.order.resize(c.count);
        for (std::size_t r = 0; r < c.count; ++r) b.order[fill[static_cast<std::size_t>(c.frames[r]) - 1]++] = r;
    }
    return true;
}

// The rows of frame f as records, into `out`.
const Row* frame_rows(const Columns& c, const FrameRows& b, std::int64_t f, std::vector<Row>& out) {
    const std::size_t n = b.size(f), first = b.first(f);
    if (out.size() < n) out.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t r = b.row(first + i);
        const double* x = c.ltwh + c.stride * r;
        out[i] = Row{{x[0], x[1], x[2], x[3]}, c.ids[r], c.kind != nullptr ? c.kind[r] : std::uint8_t{kScored}};
    }
    return out.data();
}

void check_rows(const char* what, std::size_t count, const std::int64_t* frames, const double* ltwh,
                std::size_t stride, std::int64_t num_frames) {
    for (std::size_t r = 0; r < count; ++r) {
        if (frames[r] < 1 || frames[r] > num_frames)
            refuse(std::string(what) + " row " + std::to_string(r) + ": frame " + std::to_string(frames[r]) +
                   " is outside 1.." + std::to_string(num_frames));
        for (std::size_t k = 0; k < 4; ++k)
            if (!std::isfinite(ltwh[stride * r + k]))
                refuse(std::string(what) + " row " + std::to_string(r) + ": box is not finite");
    }
}

// Whether integers from lo to hi fit a lookup table for n values.
bool narrow_range(std::int64_t lo, std::int64_t hi, std::size_t n) {
    const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    return span < (std::uint64_t{1} << 24) && span < 4 * static_cast<std::uint64_t>(n) + 4096;
}

// Ids range over lo..hi.
void check_unique_ids(const char* what, const std::int64_t* ids, const FrameRows& b, std::int64_t num_frames,
                      std::int64_t lo, std::int64_t hi, std::vector<std::int64_t>& seen_in) {
    const std::size_t count = b.start.back();
    if (count == 0) return;
    // The first frame with a repeated id, found with a table over the ids when
    // their range is narrow; then the frame's sorted ids name the smallest.
    std::int64_t from = 1;
    if (narrow_range(lo, hi, count)) {
        seen_in.assign(static_cast<std::size_t>(hi - lo) + 1, 0);
        from = 0;
        for (std::int64_t f = 1; f <= num_frames && from == 0; ++f) {
            const std::size_t first = b.first(f), end = first + b.size(f);
            for (std::size_t k = first; k < end; ++k) {
                std::int64_t& at = seen_in[static_cast<std::size_t>(ids[b.row(k)] - lo)];
                from = at == f ? f : from;
                at = f;
            }
        }
        if (from == 0) return;
    }
    std::vector<std::int64_t> seen;
    for (std::int64_t f = from; f <= num_frames; ++f) {
        seen.clear();
        for (std::size_t k = b.first(f); k < b.first(f) + b.size(f); ++k) seen.push_back(ids[b.row(k)]);
        std::sort(seen.begin(), seen.end());
        const auto dup = std::adjacent_find(seen.begin(), seen.end());
        if (dup != seen.end())
            refuse(std::string(what) + " id " + std::to_string(*dup) + " appears more than once in frame " +
                   std::to_string(f));
    }
}

// Dense labels 0..k-1 of integers, in ascending order of value: through a
// table over their range when it is narrow, by binary search otherwise.
class Labels {
public:
    std::vector<std::int64_t> values;  // sorted, distinct

    void build(const std::vector<std::int64_t>& v) {
        values.clear();
        table_.clear();
        if (v.empty()) return;
        const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
        if (narrow_range(*lo, *hi, v.size())) {
            low_ = *lo;
            table_.assign(static_cast<std::size_t>(*hi - *lo) + 1, -1);
            for (std::int64_t x : v) table_[static_cast<std::size_t>(x - low_)] = 0;
            for (std::size_t k = 0; k < table_.size(); ++k)
                if (table_[k] == 0) {
                    table_[k] = static_cast<std::int64_t>(values.size());
                    values.push_back(low_ + static_cast<std::int64_t>(k));
                }
        } else {
            values = v;
            std::sort(values.begin(), values.end());
            values.erase(std::unique(values.begin(), values.end()), values.end());
        }
    }
    // v must be one of the values.
    std::int64_t of(std::int64_t v) const {
        if (!table_.empty()) return table_[static_cast<std::size_t>(v - low_)];
        return std::lower_bound(values.begin(), values.end(), v) - values.begin();
    }

private:
    std::int64_t low_ = 0;
    std::vector<std::int64_t> table_;
};

// One positive overlap of a frame's scored rows: row, column (within the
// frame), IoU, and the index of its (gt identity, tracker identity) pair.
struct Overlap {
    std::uint32_t row, col;
    double iou;
    std::size_t pair;
};

// pairwise_sum of an n-vector that is zero except at k places, given in
// ascending order by the k records at `r` (place(r[q]) - offset, value
// r[q].iou): the same additions in the same order, since adding a zero
// leaves a partial sum of non-negative values as it is.
template <class Place>
double sparse_pairwise_sum(const Overlap* r, std::size_t k, std::size_t offset, std::size_t n, Place place) {
    if (n < 8) {
        double s = 0.0;
        for (std::size_t q = 0; q < k; ++q) s += r[q].iou;
        return s;
    }
    if (n <= 128) {
        double acc[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
        const std::size_t body = n - n % 8;
        std::size_t q = 0;
        for (; q < k && place(r[q]) - offset < body; ++q) acc[(place(r[q]) - offset) % 8] += r[q].iou;
        double s = ((acc[0] + acc[1]) + (acc[2] + acc[3])) + ((acc[4] + acc[5]) + (acc[6] + acc[7]));
        for (; q < k; ++q) s += r[q].iou;
        return s;
    }
    std::size_t half = n / 2;
    half -= half % 8;
    std::size_t split = 0;
    while (split < k && place(r[split]) - offset < half) ++split;
    return sparse_pairwise_sum(r, split, offset, half, place) +
           sparse_pairwise_sum(r + split, k - split, offset + half, n - half, place);
}

// A non-zero IoU of one frame (NaN included): gt and tracker row within it.
struct FramePair {
    std::uint32_t gt, trk;
    double iou;
};

// Below this magnitude of every box value, no corner, area, union or IoU can
// overflow (and no IoU is NaN).
constexpr double kRegularBound = 0x1p500;

// The non-zero IoUs of one frame's boxes, in (gt row, tracker row) order.
// The full pass measures every pair whose corners overlap on both axes, with
// box_iou. When no value can overflow, the corners-first way finds the same
// pairs by comparing corners only (every pair of a small frame, a sweep over
// left edges in a large one), and measures them with the same operations on
// the corners and areas: a box whose width or height (from its corners) is not
// positive, or whose area is <= eps, has IoU 0 with every box, and two others
// overlap on the x axis exactly when each starts before the other ends.
class OverlapFinder {
public:
    // The frame's rows; the gt rows considered are which[0..count)
    // (ascending); a pair names gt row which[k], tracker row j.
    void find(const Row* gt_rows, const std::size_t* which, std::size_t count, const Row* trk_rows, std::size_t nt,
              bool full, Buffer<FramePair>& out) {
        out.clear();
        swept_ = !full && count > 0 && nt > 0 && regular(gt_rows, which, count, trk_rows, nt);
        if (swept_) {
            if (count * nt <= kPairwiseLimit)
                pairwise(gt_rows, which, count, trk_rows, nt, out);
            else
                sweep(gt_rows, which, count, trk_rows, nt, out);
        }
        if (count == 0 || nt == 0 || swept_) return;
        for (std::size_t k = 0; k < count; ++k) {
            const double* a = gt_rows[which[k]].box;
            const double ax1 = a[0] + a[2], ay1 = a[1] + a[3];
            for (std::size_t j = 0; j < nt; ++j) {
                const double* t = trk_rows[j].box;
                if (t[0] < ax1 && t[0] + t[2] > a[0] && t[1] < ay1 && t[1] + t[3] > a[1]) {
                    const double s = box_iou(a, t);
                    if (s != 0.0)
                        out.push_back({static_cast<std::uint32_t>(which[k]), static_cast<std::uint32_t>(j), s});
                }
            }
        }
    }

    // Whether the last find took the corners-first way (every box value in
    // the overflow-safe range).
    bool swept() const { return swept_; }

private:
    // Up to this many candidate pairs, every corner of every pair is compared
    // (a few vector compares a pair); beyond, the sweep.
    static constexpr std::size_t kPairwiseLimit = 64 * 64;

    bool swept_ = false;

    struct Box {
        double x0, y0, x1, y1, area;
        std::uint32_t index;
    };

    // Corners and area as box_iou computes them; whether the box can overlap
    // anything (positive width and height from the corners, area > eps).
    static bool corners(const double* b, std::uint32_t index, Box& x) {
        x.x0 = b[0];
        x.y0 = b[1];
        x.x1 = b[0] + b[2];
        x.y1 = b[1] + b[3];
        x.area = (x.x1 - x.x0) * (x.y1 - x.y0);
        x.index = index;
        return x.x1 > x.x0 && x.y1 > x.y0 && x.area > kEps;
    }

    // Whether every box value is in the overflow-safe range.
    static bool regular(const Row* gt_rows, const std::size_t* which, std::size_t ng, const Row* trk_rows,
                        std::size_t nt) {
        double top = 0.0;
        const auto magnitude = [&top](const double* b) {
            top = std::max(std::max(top, std::max(std::fabs(b[0]), std::fabs(b[1]))),
                           std::max(std::fabs(b[2]), std::fabs(b[3])));
        };
        for (std::size_t k = 0; k < ng; ++k) magnitude(gt_rows[which[k]].box);
        for (std::size_t j = 0; j < nt; ++j) magnitude(trk_rows[j].box);
        return top < kRegularBound;
    }

    // IoU from the corners and areas of two live boxes that overlap on both
    // axes; 0 when the union is <= eps.
    static double overlap_iou(const Box& g, double tx0, double ty0, double tx1, double ty1, double tarea) {
        const double iw = std::max(std::min(g.x1, tx1) - std::max(g.x0, tx0), 0.0);
        const double ih = std::max(std::min(g.y1, ty1) - std::max(g.y0, ty0), 0.0);
        const double inter = iw * ih;
        const double uni = g.area + tarea - inter;
        return uni > kEps ? inter / uni : 0.0;
    }

    // Every gt box against every tracker box, the tracker corners laid out
    // column by column; a box that cannot overlap anything gets corners that
    // fail every comparison.
    void pairwise(const Row* gt_rows, const std::size_t* which, std::size_t ng, const Row* trk_rows, std::size_t nt,
                  Buffer<FramePair>& out) {
        corners_.resize(5 * nt);
        double* x0 = corners_.data();
        double* y0 = x0 + nt;
        double* x1 = y0 + nt;
        double* y1 = x1 + nt;
        double* area = y1 + nt;
        for (std::size_t j = 0; j < nt; ++j) {
            Box t;
            if (corners(trk_rows[j].box, static_cast<std::uint32_t>(j), t)) {
                x0[j] = t.x0, y0[j] = t.y0, x1[j] = t.x1, y1[j] = t.y1, area[j] = t.area;
            } else {
                x0[j] = y0[j] = kInf, x1[j] = y1[j] = -kInf, area[j] = 0.0;
            }
        }
        for (std::size_t k = 0; k < ng; ++k) {
            Box g;
            if (!corners(gt_rows[which[k]].box, static_cast<std::uint32_t>(which[k]), g)) continue;
            // The overlapping columns as bits, 64 columns at a time, without
            // a branch per column.
            for (std::size_t base = 0; base < nt; base += 64) {
                const std::size_t end = std::min(nt, base + 64);
                std::uint64_t bits = 0;
                std::size_t j = base;
#if defined(__SSE2__)
                const __m128d gx0 = _mm_set1_pd(g.x0), gy0 = _mm_set1_pd(g.y0), gx1 = _mm_set1_pd(g.x1),
                              gy1 = _mm_set1_pd(g.y1);
                for (; j + 2 <= end; j += 2) {
                    const __m128d in_x = _mm_and_pd(_mm_cmplt_pd(_mm_loadu_pd(x0 + j), gx1),
                                                    _mm_cmpgt_pd(_mm_loadu_pd(x1 + j), gx0));
                    const __m128d in_y = _mm_and_pd(_mm_cmplt_pd(_mm_loadu_pd(y0 + j), gy1),
                                                    _mm_cmpgt_pd(_mm_loadu_pd(y1 + j), gy0));
                    bits |= static_cast<std::uint64_t>(_mm_movemask_pd(_mm_and_pd(in_x, in_y))) << (j - base);
                }
#endif
                for (; j < end; ++j)
                    bits |= static_cast<std::uint64_t>((x0[j] < g.x1) & (x1[j] > g.x0) & (y0[j] < g.y1) &
                                                       (y1[j] > g.y0))
                            << (j - base);
                for (; bits != 0; bits &= bits - 1) {
                    const std::size_t j = base + static_cast<std::size_t>(__builtin_ctzll(bits));
                    const double iou = overlap_iou(g, x0[j], y0[j], x1[j], y1[j], area[j]);
                    if (iou != 0.0) out.push_back({g.index, static_cast<std::uint32_t>(j), iou});
                }
            }
        }
    }

    // The tracker boxes sorted by left edge, with the furthest right edge
    // among the first k; each gt box looks, from the last tracker box that
    // starts before its right edge, back to where no box reaches its left
    // edge.
    void sweep(const Row* gt_rows, const std::size_t* which, std::size_t ng, const Row* trk_rows, std::size_t nt,
               Buffer<FramePair>& out) {
        trk_.resize(nt);
        std::size_t live = 0;
        for (std::size_t j = 0; j < nt; ++j)
            live += corners(trk_rows[j].box, static_cast<std::uint32_t>(j), trk_[live]);
        trk_.resize(live);
        std::sort(trk_.begin(), trk_.end(), [](const Box& a, const Box& b) { return a.x0 < b.x0; });
        reach_.resize(live);
        for (std::size_t q = 0; q < live; ++q) reach_[q] = q == 0 ? trk_[0].x1 : std::max(reach_[q - 1], trk_[q].x1);
        for (std::size_t k = 0; k < ng; ++k) {
            Box g;
            if (!corners(gt_rows[which[k]].box, static_cast<std::uint32_t>(which[k]), g)) continue;
            const std::size_t first = out.size();
            std::size_t q = static_cast<std::size_t>(
                std::partition_point(trk_.begin(), trk_.end(), [&g](const Box& t) { return t.x0 < g.x1; }) -
                trk_.begin());
            while (q-- > 0 && reach_[q] > g.x0) {
                const Box& t = trk_[q];
                if (!(t.x1 > g.x0 && t.y0 < g.y1 && t.y1 > g.y0)) continue;
                const double iou = overlap_iou(g, t.x0, t.y0, t.x1, t.y1, t.area);
                if (iou == 0.0) continue;
                // In tracker row order within the gt row.
                std::size_t at = out.size();
                out.push_back({g.index, t.index, iou});
                for (; at > first && out[at - 1].trk > t.index; --at) std::swap(out[at], out[at - 1]);
            }
        }
    }

    std::vector<Box> trk_;
    std::vector<double> reach_, corners_;
};

// The rows that neither are scored nor are distractors (2017's ignored
// classes) matter to a frame's distractor matching only through the blocks
// (see BlockMatcher) that hold a distractor pair: a matching leaves the boxes
// of the other blocks to the other rows whichever it picks there. So such a
// row is measured against every tracker box only once it meets (IoU >= 0.5)
// a box of such a block, which it then joins, until no further row does; the
// rest cannot join one. Needs every box value in the overflow-safe range
// (false otherwise, nothing decided).
class FarRows {
public:
    bool join(const Row* grow, std::size_t ng, const Row* trow, std::size_t nt, const Buffer<FramePair>& near,
              const std::size_t* far_rows, std::size_t nfar, Buffer<FramePair>& out) {
        out.clear();
        far_.assign(far_rows, far_rows + nfar);
        const std::vector<std::size_t>& far = far_;
        for (std::size_t r : far)
            for (double v : grow[r].box)
                if (!(std::fabs(v) < kRegularBound)) return false;
        parent_.resize(ng + nt);
        std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
        hot_.assign(ng + nt, 0);
        for (const FramePair& p : near)
            if (p.iou >= kClearThreshold - kEps) unite(p.gt, static_cast<std::uint32_t>(ng) + p.trk);
        for (const FramePair& p : near)
            if ((p.iou >= kClearThreshold - kEps) & (grow[p.gt].kind == kDistractor)) hot_[root(p.gt)] = 1;
        joined_.assign(far.size(), 0);
        for (bool grew = true; grew;) {
            grew = false;
            hot_cols_.clear();
            for (std::size_t j = 0; j < nt; ++j)
                if (hot_[root(static_cast<std::uint32_t>(ng + j))]) hot_cols_.push_back(j);
            for (std::size_t q = 0; q < far.size(); ++q) {
                if (joined_[q]) continue;
                const double* a = grow[far[q]].box;
                bool meets = false;
                for (std::size_t j : hot_cols_) meets = meets || iou(a, trow[j].box) >= kClearThreshold - kEps;
                if (!meets) continue;
                joined_[q] = 1;
                grew = true;
                const auto r = static_cast<std::uint32_t>(far[q]);
                for (std::size_t j = 0; j < nt; ++j) {
                    const double s = iou(a, trow[j].box);
                    if (s != 0.0) out.push_back({r, static_cast<std::uint32_t>(j), s});
                    if (s >= kClearThreshold - kEps) unite(r, static_cast<std::uint32_t>(ng + j));
                }
                hot_[root(r)] = 1;
            }
        }
        std::sort(out.begin(), out.end(),
                  [](const FramePair& a, const FramePair& b) { return a.gt != b.gt ? a.gt < b.gt : a.trk < b.trk; });
        return true;
    }

    // After a join: whether gt row r is in a block holding a distractor pair.
    bool hot(std::uint32_t r) { return hot_[root(r)] != 0; }

private:
    // The IoU as the full pass measures it (0 unless the corners overlap).
    static double iou(const double* a, const double* t) {
        if (t[0] < a[0] + a[2] && t[0] + t[2] > a[0] && t[1] < a[1] + a[3] && t[1] + t[3] > a[1]) return box_iou(a, t);
        return 0.0;
    }
    std::uint32_t root(std::uint32_t x) {
        while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
        return x;
    }
    void unite(std::uint32_t a, std::uint32_t b) {
        a = root(a);
        b = root(b);
        if (a == b) return;
        if (a > b) std::swap(a, b);
        parent_[b] = a;
        hot_[a] = hot_[a] || hot_[b];
    }
    std::vector<std::uint32_t> parent_;
    std::vector<char> hot_, joined_;
    std::vector<std::size_t> hot_cols_, far_;
};

// One positive entry of a frame's score matrix: row, column, score, and
// whether the result reads it when it is matched.
struct Entry {
    std::uint32_t row, col;
    double score;
    bool relevant;
};

constexpr std::uint32_t kNone32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kNoEntry = std::numeric_limits<std::size_t>::max();

// The matchings of a frame, from their positive entries.
//
// Each matching is SciPy's assignment A of the frame's full matrix,
// maximising a score that is positive on a few entries and 0 elsewhere; the
// result reads only the "relevant" positive pairs A holds (all of them for
// CLEAR and the distractors; for HOTA, those whose IoU reaches the lowest
// alpha). A pair e is certified when every assignment without e scores less
// than the optimum OPT by more than `tol`: A, optimal up to its rounding
// (below tol), then holds e. When every relevant pair of a matching M is
// certified, and every relevant entry outside M shares a row or a column with
// a certified pair, A's relevant pairs are exactly M's, however A breaks the
// ties elsewhere in the frame. Otherwise (a tie or a near-tie decides a
// relevant pair) the frame is solved on its full matrix by solve_lsap, as
// SciPy solves it. Certificates:
//
// - Peeling. An entry e beating the best other entry of its row and the best
//   other entry of its column together by more than tol is certified: an
//   assignment without e gains that much by taking e in place of the (at most
//   two) pairs it holds in e's row and column. The row and column of e then
//   leave the problem: what is left is the same problem on fewer rows and
//   columns (its optimum is OPT less e's score, and A is within tol of it),
//   and is peeled again until nothing moves.
// - Blocks. What is left splits into blocks, the connected components of the
//   bipartite graph of rows and columns that its entries join. A matching of
//   each block extends to a full assignment scoring no less (the remaining
//   rows and columns paired in any way add nothing negative), so the optimum
//   is the sum of the block optima, and A is within tol of the optimum on
//   each block: a pair loses a block's optimum by more than tol, it is
//   certified. Blocks without a relevant entry are left alone. A block of one
//   row or one column holds its best entry if it beats the second by more
//   than tol. A larger block, padded to a square with zeros, is solved once
//   by solve_lsap; from its assignment M and potentials u, v, the best
//   assignment without a pair (i, j) of M loses exactly the length of the
//   shortest alternating path from row i to column j over the reduced costs
//   cost - u - v (>= 0, and 0 on M; the direct step from i to j costs the
//   pair's score): the path closes a cycle with (i, j) that turns M into the
//   best assignment without it. The rounding of u and v is measured and
//   added to the bound.
//
// The margin tol covers the rounding of SciPy's solve. Crudely: its
// potentials and path lengths stay below 2nS in magnitude (n = min(rows,
// columns), S the largest score: an alternating path has at most 2n steps),
// each of the at most n updates of a potential is rounded to eps times that,
// so each reduced cost is off by at most about 4n^2 eps S, and the n assigned
// pairs by 4n^3 eps S. tol = S max(1e-9, 64 n^3 eps) is at least 16 times
// that bound, and far above the rounding of the comparisons, sums and small
// solves made here.
class BlockMatcher {
public:
    // The relevant pairs every such assignment of the full nr x nc matrix
    // contains, as ascending indices into `entries` (positive entries, in row
    // then column order); false when the frame needs the full solve. `top`:
    // the matrix's largest score when `entries` leaves out blocks without a
    // relevant entry (negative: the largest entry).
    bool match(const Buffer<Entry>& entries, std::size_t nr, std::size_t nc, std::vector<std::size_t>& kept,
               double top = -1.0) {
        kept.clear();
        if (entries.empty()) return true;
        if (top < 0.0)
            for (const Entry& e : entries) top = std::max(top, e.score);
        const double n = static_cast<double>(std::min(nr, nc));
        tol_ = top * std::max(1e-9, 64.0 * n * n * n * kEps);

        // Peeling: the first pass over every entry, the next ones over what
        // is left (live_, in row order).
        live_.resize(entries.size());
        row_second_.resize(nr);
        row_at_.resize(nr);
        col_best_.resize(nc);
        col_second_.resize(nc);
        col_at_.resize(nc);
        row_taken_.assign(nr, 0);
        col_taken_.assign(nc, 0);
        bool peeled = peel(entries, entries.size(), [](std::size_t q) { return static_cast<std::uint32_t>(q); }, kept);
        while (peeled && !live_.empty())
            peeled = peel(entries, live_.size(), [this](std::size_t q) { return live_[q]; }, kept);

        if (live_.empty()) {
            if (!std::is_sorted(kept.begin(), kept.end())) std::sort(kept.begin(), kept.end());
            return true;
        }

        // Blocks of what is left.
        parent_.resize(nr + nc);
        std::iota(parent_.begin(), parent_.end(), std::uint32_t{0});
        for (std::uint32_t k : live_) {
            const std::uint32_t a = root(entries[k].row), b = root(static_cast<std::uint32_t>(nr) + entries[k].col);
            if (a != b) parent_[std::max(a, b)] = std::min(a, b);
        }
        block_of_.assign(nr + nc, kNone32);
        entry_block_.resize(live_.size());
        std::size_t blocks = 0;
        for (std::size_t q = 0; q < live_.size(); ++q) {
            const std::uint32_t r = root(entries[live_[q]].row);
            if (block_of_[r] == kNone32) block_of_[r] = static_cast<std::uint32_t>(blocks++);
            entry_block_[q] = block_of_[r];
        }
        block_start_.assign(blocks + 1, 0);
        relevant_block_.assign(blocks, 0);
        for (std::size_t q = 0; q < live_.size(); ++q) {
            ++block_start_[entry_block_[q] + 1];
            if (entries[live_[q]].relevant) relevant_block_[entry_block_[q]] = 1;
        }
        std::partial_sum(block_start_.begin(), block_start_.end(), block_start_.begin());
        by_block_.resize(live_.size());
        fill_.assign(block_start_.begin(), block_start_.end() - 1);
        for (std::size_t q = 0; q < live_.size(); ++q) by_block_[fill_[entry_block_[q]]++] = live_[q];

        local_row_.resize(nr);
        local_col_.resize(nc);
        for (std::size_t b = 0; b < blocks; ++b)
            if (relevant_block_[b] &&
                !match_block(entries, by_block_.data() + block_start_[b], block_start_[b + 1] - block_start_[b], kept))
                return false;
        std::sort(kept.begin(), kept.end());
        return true;
    }

private:
    std::uint32_t root(std::uint32_t x) {
        while (parent_[x] != x) x = parent_[x] = parent_[parent_[x]];
        return x;
    }

    // One pass of peeling over the entries at(0..count), in row order; the
    // entries of the rows and columns left go on in live_ (written from its
    // start: at may read it, never behind what is written). Whether anything
    // peeled. No branch on the values: the best (its first entry) and second
    // best of each column are kept in place, those of the row at hand (its
    // entries are adjacent) as running values written out at each entry.
    template <class At>
    bool peel(const Buffer<Entry>& entries, std::size_t count, At at_, std::vector<std::size_t>& kept) {
        for (std::size_t q = 0; q < count; ++q) {
            const std::uint32_t c = entries[at_(q)].col;
            col_best_[c] = col_second_[c] = 0.0;
            col_at_[c] = kNone32;
        }
        std::uint32_t row = kNone32, at = kNone32;
        double best = 0.0, second = 0.0;
        for (std::size_t q = 0; q < count; ++q) {
            const std::uint32_t k = at_(q);
            const Entry& e = entries[k];
            const double v = e.score, cb = col_best_[e.col];
            col_second_[e.col] = larger(col_second_[e.col], smaller(v, cb));
            col_at_[e.col] = pick(v > cb, k, col_at_[e.col]);
            col_best_[e.col] = larger(cb, v);
            // A new row starts from 0 (scores are positive: times 0 is 0).
            const bool same = e.row == row;
            at = pick(same, at, kNone32);
            row = e.row;
            best *= kZeroOne[same];
            second *= kZeroOne[same];
            second = larger(second, smaller(v, best));
            at = pick(v > best, k, at);
            best = larger(best, v);
            row_second_[row] = second;
            row_at_[row] = at;
        }
        // At most one pair of a row peels, and then the row leaves: only the
        // first best entry of its row and of its column can peel (against any
        // other, the best of the row or of the column alone is as large).
        const std::size_t before = kept.size();
        kept.resize(before + count);
        std::size_t n = before;
        bool peeled = false;
        for (std::size_t q = 0; q < count; ++q) {
            const std::uint32_t k = at_(q);
            const Entry& e = entries[k];
            const bool wins = (k == row_at_[e.row]) & (k == col_at_[e.col]) &
                              (e.score - row_second_[e.row] - col_second_[e.col] > tol_);
            row_taken_[e.row] |= wins;
            col_taken_[e.col] |= wins;
            kept[n] = k;
            n += wins & e.relevant;
            peeled |= wins;
        }
        kept.resize(n);
        std::size_t still = 0;
        for (std::size_t q = 0; q < count; ++q) {
            const std::uint32_t k = at_(q);
            live_[still] = k;
            still += (row_taken_[entries[k].row] | col_taken_[entries[k].col]) == 0;
        }
        live_.resize(still);
        return peeled;
    }

    // One block: its entries idx[0..k), in row then column order.
    bool match_block(const Buffer<Entry>& entries, const std::uint32_t* idx, std::size_t k,
                     std::vector<std::size_t>& kept) {
        if (k == 1) {
            const Entry& e = entries[idx[0]];
            if (!(e.score > tol_)) return false;
            if (e.relevant) kept.push_back(idx[0]);
            return true;
        }
        rows_.clear();
        cols_.clear();
        for (std::size_t q = 0; q < k; ++q) {
            const Entry& e = entries[idx[q]];
            if (rows_.empty() || rows_.back() != e.row) rows_.push_back(e.row);
            cols_.push_back(e.col);
        }
        std::sort(cols_.begin(), cols_.end());
        cols_.erase(std::unique(cols_.begin(), cols_.end()), cols_.end());
        if (rows_.size() == 1 || cols_.size() == 1) {
            // One row or one column: the best entry, if it beats the second.
            std::size_t best = 0;
            for (std::size_t q = 1; q < k; ++q)
                if (entries[idx[q]].score > entries[idx[best]].score) best = q;
            double second = 0.0;
            for (std::size_t q = 0; q < k; ++q)
                if (q != best) second = std::max(second, entries[idx[q]].score);
            if (!(entries[idx[best]].score - second > tol_)) return false;
            if (entries[idx[best]].relevant) kept.push_back(idx[best]);
            return true;
        }
        // Otherwise: the square solve, then shortest alternating paths.
        const std::size_t kr = rows_.size(), kc = cols_.size(), kk = std::max(kr, kc);
        for (std::size_t q = 0; q < kr; ++q) local_row_[rows_[q]] = static_cast<std::uint32_t>(q);
        for (std::size_t q = 0; q < kc; ++q) local_col_[cols_[q]] = static_cast<std::uint32_t>(q);
        cost_.assign(kk * kk, 0.0);
        cell_entry_.assign(kk * kk, kNoEntry);
        for (std::size_t q = 0; q < k; ++q) {
            const Entry& e = entries[idx[q]];
            const std::size_t cell = local_row_[e.row] * kk + local_col_[e.col];
            cost_[cell] = -e.score;
            cell_entry_[cell] = idx[q];
        }
        solve_lsap(cost_.data(), kk, kk, ws_, mr_, mc_);
        const double* u = ws_.u.data();
        const double* v = ws_.v.data();
        const std::ptrdiff_t* col4row = ws_.col4row.data();
        row_match_.assign(kk, kNoEntry);
        col_match_.assign(kk, kNoEntry);
        for (std::size_t r = 0; r < kk; ++r) {
            const std::size_t cell = r * kk + static_cast<std::size_t>(col4row[r]);
            if (cell_entry_[cell] != kNoEntry)
                row_match_[r] = col_match_[static_cast<std::size_t>(col4row[r])] = cell_entry_[cell];
        }
        // The pairs of M to certify: its relevant ones, and for a relevant
        // entry outside M that meets none of those, a pair of M it meets.
        needed_.clear();
        for (std::size_t q = 0; q < k; ++q) {
            const Entry& e = entries[idx[q]];
            const std::size_t at_row = row_match_[local_row_[e.row]], at_col = col_match_[local_col_[e.col]];
            if (at_row == idx[q]) {
                if (e.relevant) needed_.push_back(idx[q]);
                continue;
            }
            if (!e.relevant) continue;
            if ((at_row != kNoEntry && entries[at_row].relevant) || (at_col != kNoEntry && entries[at_col].relevant))
                continue;
            if (at_row == kNoEntry && at_col == kNoEntry) return false;
            needed_.push_back(at_row != kNoEntry ? at_row : at_col);
        }
        std::sort(needed_.begin(), needed_.end());
        needed_.erase(std::unique(needed_.begin(), needed_.end()), needed_.end());
        const double side = static_cast<double>(kk);
        // The rounding of u and v: the most negative reduced cost, the
        // largest one on M, and the size of the terms. A path and the pairs
        // of M it displaces are at most kk steps each.
        double slack = 0.0, size = tol_;
        for (std::size_t r = 0; r < kk; ++r) {
            size = std::max(size, std::fabs(u[r]) + std::fabs(v[r]));
            for (std::size_t j = 0; j < kk; ++j) {
                const double red = cost_[r * kk + j] - u[r] - v[j];
                slack = std::max(slack, j == static_cast<std::size_t>(col4row[r]) ? std::fabs(red) : -red);
            }
        }
        const double bound = tol_ + 2.0 * side * slack + 8.0 * side * kEps * size;
        for (std::size_t x : needed_)
            if (!path_beyond(local_row_[entries[x].row], local_col_[entries[x].col], entries[x].score, kk, bound))
                return false;
        for (std::size_t r = 0; r < kr; ++r)
            if (row_match_[r] != kNoEntry && entries[row_match_[r]].relevant) kept.push_back(row_match_[r]);
        return true;
    }

    // Whether every alternating path from row i to column j of the solved
    // square block (kk x kk, in cost_ and ws_) costs more than `bound`
    // (Dijkstra over the columns, stopped once the nearest is past it).
    bool path_beyond(std::size_t i, std::size_t j, double direct, std::size_t kk, double bound) {
        const double* u = ws_.u.data();
        const double* v = ws_.v.data();
        const std::ptrdiff_t* row4col = ws_.row4col.data();
        dist_.assign(kk, kInf);
        reached_.assign(kk, 0);
        std::size_t r = i;
        double at = 0.0;
        for (;;) {
            const double* cr = cost_.data() + r * kk;
            std::size_t next = kk;
            double nearest = kInf;
            for (std::size_t c = 0; c < kk; ++c) {
                if (reached_[c]) continue;
                const double step = r == i && c == j ? direct : std::max(0.0, cr[c] - u[r] - v[c]);
                dist_[c] = std::min(dist_[c], at + step);
                if (dist_[c] < nearest) {
                    nearest = dist_[c];
                    next = c;
                }
            }
            if (!(nearest <= bound)) return true;
            if (next == j) return false;
            reached_[next] = 1;
            r = static_cast<std::size_t>(row4col[next]);
            at = nearest;
        }
    }

    double tol_ = 0.0;
    std::vector<double> row_second_, col_best_, col_second_;
    std::vector<std::uint32_t> row_at_, col_at_, live_;
    std::vector<char> row_taken_, col_taken_;
    std::vector<std::uint32_t> parent_, block_of_, entry_block_, block_start_, by_block_, fill_, local_row_, local_col_,
        rows_, cols_;
    std::vector<char> relevant_block_;
    std::vector<std::size_t> cell_entry_, row_match_, col_match_, needed_;
    std::vector<double> cost_, dist_;
    std::vector<char> reached_;
    LsapWorkspace ws_;
    std::vector<std::int64_t> mr_, mc_;
};


// The localisation thresholds less eps, padded to an even count by one that
// no IoU reaches.
using AlphaFloors = std::array<double, kAlphaCount + 1>;

// Adds an IoU s to the sums of the alphas it reaches (a prefix: the
// thresholds ascend); returns how many it reaches.
std::size_t add_reached(double s, const AlphaFloors& floor, AlphaFloors& sums) {
    std::size_t level = 0;
    for (; s >= floor[level]; ++level) sums[level] += s;
    return level;
}

// The same, two alphas at a time without a branch: at an alpha s does not
// reach, 0 is added, which leaves a sum of positive IoUs as it is.
std::size_t add_reached_pairs(double s, const AlphaFloors& floor, AlphaFloors& sums) {
    std::size_t level = 0;
#if defined(__SSE2__)
    const __m128d sv = _mm_set1_pd(s);
    for (std::size_t a = 0; a < floor.size(); a += 2) {
        const __m128d reached = _mm_cmpge_pd(sv, _mm_loadu_pd(floor.data() + a));
        _mm_storeu_pd(sums.data() + a, _mm_add_pd(_mm_loadu_pd(sums.data() + a), _mm_and_pd(reached, sv)));
        const unsigned bits = static_cast<unsigned>(_mm_movemask_pd(reached));
        level += (bits & 1u) + (bits >> 1);
    }
#else
    for (std::size_t a = 0; a < floor.size(); ++a) {
        sums[a] += s >= floor[a] ? s : 0.0;
        level += s >= floor[a];
    }
#endif
    return level;
}

// Ratios of the three families from the counts; `mean` of the per-alpha
// values as NumPy's mean computes it.
double mean_over_alphas(const std::array<double, kAlphaCount>& v) {
    return pairwise_sum(v.data(), kAlphaCount) / static_cast<double>(kAlphaCount);
}

Metrics final_metrics(const SequenceCounts& c, bool clear_ratios) {
    Metrics m;
    std::array<double, kAlphaCount> hota{}, det_a{}, det_re{}, det_pr{};
    for (std::size_t a = 0; a < kAlphaCount; ++a) {
        const double tp = static_cast<double>(c.hota_tp[a]);
        const double fn = static_cast<double>(c.hota_fn[a]);
        const double fp = static_cast<double>(c.hota_fp[a]);
        det_re[a] = tp / std::max(1.0, tp + fn);
        det_pr[a] = tp / std::max(1.0, tp + fp);
        det_a[a] = tp / std::max(1.0, tp + fn + fp);
        hota[a] = std::sqrt(det_a[a] * c.ass_a[a]);
    }
    m.hota = mean_over_alphas(hota);
    m.det_a = mean_over_alphas(det_a);
    m.ass_a = mean_over_alphas(c.ass_a);
    m.loc_a = mean_over_alphas(c.loc_a);
    m.det_re = mean_over_alphas(det_re);
    m.det_pr = mean_over_alphas(det_pr);
    m.ass_re = mean_over_alphas(c.ass_re);
    m.ass_pr = mean_over_alphas(c.ass_pr);

    if (clear_ratios) {
        const double tp = static_cast<double>(c.clr_tp);
        m.mota = static_cast<double>(c.clr_tp - c.clr_fp - c.idsw) / std::max(1.0, tp + static_cast<double>(c.clr_fn));
        m.motp = c.motp_sum / std::max(1.0, tp);
    }
    const double idtp = static_cast<double>(c.idtp);
    const double idfn = static_cast<double>(c.idfn);
    const double idfp = static_cast<double>(c.idfp);
    m.idr = idtp / std::max(1.0, idtp + idfn);
    m.idp = idtp / std::max(1.0, idtp + idfp);
    m.idf1 = idtp / std::max(1.0, idtp + 0.5 * idfp + 0.5 * idfn);
    m.idsw = c.idsw;
    m.fp = c.clr_fp;
    m.fn = c.clr_fn;
    m.mt = c.mt;
    m.pt = c.pt;
    m.ml = c.ml;
    m.frag = c.frag;
    return m;
}

// The large buffers of a sequence's evaluation, kept per thread from one
// call to the next (evaluating many sequences then reuses the same memory
// rather than faulting in fresh pages each time), up to kScratchKept bytes.
struct Scratch {
    std::vector<std::uint8_t> kind;
    FrameRows gt, tracker;
    std::vector<std::size_t> gt_start, trk_start, ov_start;
    Buffer<Overlap> overlaps;
    std::vector<std::int64_t> gt_kept, trk_kept, glab, tlab, hota_levels, seen_in;

    std::size_t bytes() const {
        const auto rows = [](const FrameRows& b) { return 8 * (b.start.capacity() + b.order.capacity()); };
        return kind.capacity() + rows(gt) + rows(tracker) +
               8 * (gt_kept.capacity() + trk_kept.capacity() + gt_start.capacity() + trk_start.capacity() +
                    ov_start.capacity() + glab.capacity() + tlab.capacity() + hota_levels.capacity() +
                    seen_in.capacity()) +
               sizeof(Overlap) * overlaps.capacity();
    }
};
constexpr std::size_t kScratchKept = std::size_t{64} << 20;

// Out of line: the caller then holds the scratch's address as a plain
// pointer, rather than asking the TLS resolver again at every use.
[[gnu::noinline]] Scratch& thread_scratch() {
    thread_local Scratch scratch;
    return scratch;
}

}  // namespace

const std::array<double, kAlphaCount>& hota_alphas() {
    static const std::array<double, kAlphaCount> alphas = [] {
        std::array<double, kAlphaCount> a{};
        const double start = 0.05;
        const double delta = (start + 0.05) - start;
        a[0] = start;
        for (std::size_t i = 1; i < kAlphaCount; ++i) a[i] = start + static_cast<double>(i) * delta;
        return a;
    }();
    return alphas;
}

// Crouse (2016), section IV pseudocode, as SciPy implements it: rows are
// added one at a time by a Dijkstra search over reduced costs. Where the
// search meets equal reduced costs it takes the first minimum in the order of
// its list of remaining columns (kept in reverse, with the last column moved
// into a taken column's place), preferring an unassigned column; a wide
// matrix is solved as is, a tall one transposed, its pairs then ordered by row.
void solve_lsap(const double* cost, std::size_t n, std::size_t m, LsapWorkspace& ws, std::vector<std::int64_t>& rows,
                std::vector<std::int64_t>& cols) {
    rows.clear();
    cols.clear();
    if (n == 0 || m == 0) return;
    const bool transpose = m < n;
    std::size_t nr = n, nc = m;
    const double* c = cost;
    if (transpose) {
        ws.transposed.resize(n * m);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < m; ++j) ws.transposed[j * n + i] = cost[i * m + j];
        std::swap(nr, nc);
        c = ws.transposed.data();
    }
    for (std::size_t k = 0; k < nr * nc; ++k)
        if (std::isnan(c[k]) || c[k] == -kInf) throw std::invalid_argument("cost matrix contains NaN or -inf");

    ws.u.assign(nr, 0.0);
    ws.v.assign(nc, 0.0);
    ws.shortest.resize(nc);
    ws.path.assign(nc, -1);
    ws.col4row.assign(nr, -1);
    ws.row4col.assign(nc, -1);
    ws.remaining.resize(nc);
    ws.visited_rows.clear();
    ws.visited_cols.clear();
    double* u = ws.u.data();
    double* v = ws.v.data();
    double* shortest = ws.shortest.data();
    std::ptrdiff_t* path = ws.path.data();
    std::ptrdiff_t* col4row = ws.col4row.data();
    std::ptrdiff_t* row4col = ws.row4col.data();
    std::ptrdiff_t* remaining = ws.remaining.data();

    for (std::size_t cur = 0; cur < nr; ++cur) {
        double min_val = 0.0;
        std::size_t i = cur;
        std::size_t num_remaining = nc;
        for (std::size_t it = 0; it < nc; ++it) remaining[it] = static_cast<std::ptrdiff_t>(nc - it - 1);
        std::fill(shortest, shortest + nc, kInf);
        // The rows and columns the search visits (SciPy's SR and SC sets),
        // kept as lists: each enters once, and the dual updates below are
        // independent of their order.
        ws.visited_rows.clear();
        ws.visited_cols.clear();

        std::ptrdiff_t sink = -1;
        while (sink == -1) {
            std::size_t index = 0;
            double lowest = kInf;
            ws.visited_rows.push_back(i);
            const double* ci = c + i * nc;
            const double ui = u[i];
            for (std::size_t it = 0; it < num_remaining; ++it) {
                const std::size_t j = static_cast<std::size_t>(remaining[it]);
                const double r = min_val + ci[j] - ui - v[j];
                if (r < shortest[j]) {
                    path[j] = static_cast<std::ptrdiff_t>(i);
                    shortest[j] = r;
                }
                if (shortest[j] < lowest || (shortest[j] == lowest && row4col[j] == -1)) {
                    lowest = shortest[j];
                    index = it;
                }
            }
            min_val = lowest;
            if (min_val == kInf) throw std::invalid_argument("cost matrix is infeasible");
            const std::size_t j = static_cast<std::size_t>(remaining[index]);
            if (row4col[j] == -1)
                sink = static_cast<std::ptrdiff_t>(j);
            else
                i = static_cast<std::size_t>(row4col[j]);
            ws.visited_cols.push_back(j);
            remaining[index] = remaining[--num_remaining];
        }

        u[cur] += min_val;
        for (std::size_t r : ws.visited_rows)
            if (r != cur) u[r] += min_val - shortest[col4row[r]];
        for (std::size_t j : ws.visited_cols) v[j] -= min_val - shortest[j];

        std::ptrdiff_t j = sink;
        for (;;) {
            const std::ptrdiff_t r = path[j];
            row4col[j] = r;
            std::swap(col4row[r], j);
            if (r == static_cast<std::ptrdiff_t>(cur)) break;
        }
    }

    rows.resize(nr);
    cols.resize(nr);
    if (transpose) {
        std::vector<std::size_t> by_row(nr);
        std::iota(by_row.begin(), by_row.end(), std::size_t{0});
        std::sort(by_row.begin(), by_row.end(), [&](std::size_t a, std::size_t b) { return col4row[a] < col4row[b]; });
        for (std::size_t k = 0; k < nr; ++k) {
            rows[k] = col4row[by_row[k]];
            cols[k] = static_cast<std::int64_t>(by_row[k]);
        }
    } else {
        for (std::size_t k = 0; k < nr; ++k) {
            rows[k] = static_cast<std::int64_t>(k);
            cols[k] = col4row[k];
        }
    }
}

SequenceEvaluation evaluate_sequence(const GroundTruthRows& gt, const TrackerRows& tracker, std::int64_t num_frames,
                                     GroundTruthFormat format, const EvaluationOptions& options) {
    if (num_frames < 0) refuse("num_frames must be >= 0");
    const bool mot17 = format == GroundTruthFormat::Mot17;
    if (mot17 && gt.count > 0 && (gt.flags == nullptr || gt.classes == nullptr))
        refuse("the 2017 format needs ground-truth flags and classes");
    // 2015: rows with flag 0 are ignored. 2017: flag != 0 and class 1 is
    // scored; distractors whatever their flag; the rest ignored.
    Scratch& scratch = thread_scratch();
    std::vector<std::uint8_t>& kind = scratch.kind;
    kind.resize(gt.count);
    bool classes_ok = true;
    if (mot17) {
        for (std::size_t r = 0; r < gt.count; ++r) {
            const std::int64_t cls = gt.classes[r];
            classes_ok &= cls >= 1 && cls <= 13;
            kind[r] = gt.flags[r] != 0 && cls == 1 ? kScored : is_distractor(cls) ? kDistractor : kIgnored;
        }
    } else {
        for (std::size_t r = 0; r < gt.count; ++r)
            kind[r] = gt.flags == nullptr || gt.flags[r] != 0 ? kScored : kIgnored;
    }
    FrameRows& gb = scratch.gt;
    FrameRows& tb = scratch.tracker;
    const Columns gc{gt.count, gt.frames, gt.ids, gt.ltwh, gt.stride, kind.data()};
    const Columns tc{tracker.count, tracker.frames, tracker.ids, tracker.ltwh, tracker.stride, nullptr};
    std::int64_t glo = 0, ghi = 0, tlo = 0, thi = 0;
    if (!(order_by_frame(gc, num_frames, gb, glo, ghi) && order_by_frame(tc, num_frames, tb, tlo, thi) &&
          classes_ok)) {
        // Name the first fault, in this order.
        check_rows("ground-truth", gt.count, gt.frames, gt.ltwh, gt.stride, num_frames);
        check_rows("tracker", tracker.count, tracker.frames, tracker.ltwh, tracker.stride, num_frames);
        for (std::size_t r = 0; r < gt.count; ++r)
            if (gt.classes[r] < 1 || gt.classes[r] > 13)
                refuse("ground-truth row " + std::to_string(r) + ": class " + std::to_string(gt.classes[r]) +
                       " is not a 2017-format class (1..13)");
    }
    check_unique_ids("ground-truth", gt.ids, gb, num_frames, glo, ghi, scratch.seen_in);
    check_unique_ids("tracker", tracker.ids, tb, num_frames, tlo, thi, scratch.seen_in);
    const bool full = options.full_matrices;
    SequenceEvaluation out;
    MatchingStats& stats = out.matching;

    // 1. Preprocessing: the scored rows of each frame (input order) and their
    // positive overlaps. 2017: tracker boxes matched (IoU >= 0.5) to any
    // distractor row go first (flag 0 or not), then only flag != 0, class 1
    // rows stay. 2015: rows with flag 0 go, nothing else.
    std::vector<std::int64_t>& gt_kept = scratch.gt_kept;  // their ids
    std::vector<std::int64_t>& trk_kept = scratch.trk_kept;
    std::vector<std::size_t>& gt_start = scratch.gt_start;
    std::vector<std::size_t>& trk_start = scratch.trk_start;
    std::vector<std::size_t>& ov_start = scratch.ov_start;
    Buffer<Overlap>& overlaps = scratch.overlaps;
    for (std::vector<std::size_t>* v : {&gt_start, &trk_start, &ov_start}) v->clear();
    gt_kept.clear();
    trk_kept.clear();
    overlaps.clear();
    gt_start.push_back(0);
    trk_start.push_back(0);
    ov_start.push_back(0);
    gt_kept.reserve(gt.count);
    trk_kept.reserve(tracker.count);
    overlaps.reserve(2 * (gt.count + tracker.count));  // usually enough
    std::vector<Row> gt_frame, trk_frame;
    Buffer<FramePair> frame_pairs, far_pairs;
    std::vector<std::size_t> near, far, gsel;
    Buffer<Entry> entries;
    std::vector<std::size_t> kept, entry_overlap, cell_overlap;
    std::vector<double> cost;
    std::vector<std::int64_t> mrows, mcols;
    std::vector<char> removed;
    std::vector<std::int64_t> gsel_at, tsel_at;
    LsapWorkspace ws;
    OverlapFinder finder;
    FarRows far_rows;
    BlockMatcher matcher;
    for (std::int64_t f = 1; f <= num_frames; ++f) {
        const std::size_t ng = gb.size(f), nt = tb.size(f);
        const Row* grow = frame_rows(gc, gb, f, gt_frame);
        const Row* trow = frame_rows(tc, tb, f, trk_frame);
        // Scored rows and distractors; the other rows (2017's ignored classes)
        // matter only to the distractor matching, when there is one. A scored
        // row's rank among the frame's scored rows in gsel_at (-1: none).
        if (gsel.size() < ng) {
            gsel.resize(ng);
            near.resize(ng);
            far.resize(ng);
            gsel_at.resize(ng);
        }
        std::size_t scored = 0, nnear = 0, nfar = 0;
        for (std::size_t i = 0; i < ng; ++i) {
            const std::uint8_t k = grow[i].kind;
            gsel_at[i] = k == kScored ? static_cast<std::int64_t>(scored) : -1;
            gsel[scored] = near[nnear] = far[nfar] = i;
            scored += k == kScored;
            nnear += k != kIgnored;
            nfar += k == kIgnored && mot17;
        }
        for (std::size_t a = 0; a < scored; ++a) gt_kept.push_back(grow[gsel[a]].id);
        const auto find_pairs = [&](const std::size_t* which, std::size_t count, Buffer<FramePair>& found) {
            finder.find(grow, which, count, trow, nt, full, found);
        };
        find_pairs(near.data(), nnear, frame_pairs);
        bool any_removed = false;
        if (mot17 && nnear > scored && !frame_pairs.empty()) {
            // Only a distractor row matched with IoU >= 0.5 removes anything.
            bool may_remove = false, nan = false;
            for (const FramePair& p : frame_pairs)
                may_remove |= (p.iou >= kClearThreshold - kEps) & (grow[p.gt].kind == kDistractor);
            if (!finder.swept())  // only the full pass can meet a NaN
                for (const FramePair& p : frame_pairs) nan = nan || std::isnan(p.iou);
            // All the other rows' pairs for the full solve, those that can
            // matter otherwise.
            far_pairs.clear();
            const bool joined = may_remove && !full && finder.swept() &&
                                far_rows.join(grow, ng, trow, nt, frame_pairs, far.data(), nfar, far_pairs);
            if (may_remove && !joined) {
                find_pairs(far.data(), nfar, far_pairs);
                for (const FramePair& p : far_pairs) nan = nan || std::isnan(p.iou);
            }
            if (may_remove) removed.assign(nt, 0);
            bool done = false;
            if (may_remove && !full && !nan) {
                // The pairs that can be matched; once joined, only the blocks
                // holding a distractor pair (the others cannot remove
                // anything), with the margin of the whole frame's matrix.
                entries.clear();
                double top = 0.0;
                for (const Buffer<FramePair>* list : {&frame_pairs, &far_pairs})
                    for (const FramePair& p : *list)
                        if (p.iou >= kClearThreshold - kEps) {
                            top = std::max(top, p.iou);
                            if (!joined || far_rows.hot(p.gt))
                                entries.push_back({p.gt, p.trk, p.iou, grow[p.gt].kind == kDistractor});
                        }
                if (!far_pairs.empty())
                    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
                        return a.row != b.row ? a.row < b.row : a.col < b.col;
                    });
                done = matcher.match(entries, ng, nt, kept, top);
                if (done)
                    for (std::size_t k : kept) removed[entries[k].col] = 1;
            }
            if (may_remove && !done) {
                ++stats.distractor_full;
                if (joined) find_pairs(far.data(), nfar, far_pairs);
                cost.assign(ng * nt, -0.0);
                for (const Buffer<FramePair>* list : {&frame_pairs, &far_pairs})
                    for (const FramePair& p : *list)
                        cost[p.gt * nt + p.trk] = -(p.iou < kClearThreshold - kEps ? 0.0 : p.iou);
                solve_lsap(cost.data(), ng, nt, ws, mrows, mcols);
                for (std::size_t k = 0; k < mrows.size(); ++k) {
                    const std::size_t i = static_cast<std::size_t>(mrows[k]), j = static_cast<std::size_t>(mcols[k]);
                    if (-cost[i * nt + j] > 0.0 + kEps && grow[i].kind == kDistractor) removed[j] = 1;
                }
            }
            if (may_remove)
                for (std::size_t j = 0; j < nt; ++j) any_removed |= removed[j] != 0;
        }
        // The kept tracker rows, and their ranks among them (tsel_at).
        if (any_removed) {
            tsel_at.resize(nt);
            std::int64_t b = 0;
            for (std::size_t j = 0; j < nt; ++j) {
                tsel_at[j] = removed[j] ? -1 : b;
                if (!removed[j]) {
                    trk_kept.push_back(trow[j].id);
                    ++b;
                }
            }
        } else {
            for (std::size_t j = 0; j < nt; ++j) trk_kept.push_back(trow[j].id);
        }
        std::size_t m = overlaps.size();
        overlaps.resize(m + frame_pairs.size());
        for (const FramePair& p : frame_pairs) {
            const std::int64_t a = gsel_at[p.gt], b = any_removed ? tsel_at[p.trk] : p.trk;
            if (a >= 0 && b >= 0 && p.iou > 0.0)
                overlaps[m++] = {static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), p.iou, 0};
        }
        overlaps.resize(m);
        gt_start.push_back(gt_kept.size());
        trk_start.push_back(trk_kept.size());
        ov_start.push_back(overlaps.size());
    }

    // 2. Dense identity labels of the scored rows, and one index per
    // (gt identity, tracker identity) pair that ever overlaps.
    Labels gl, tl;
    gl.build(gt_kept);
    tl.build(trk_kept);
    const std::size_t num_gt_ids = gl.values.size(), num_trk_ids = tl.values.size();
    std::vector<std::int64_t>& glab = scratch.glab;
    std::vector<std::int64_t>& tlab = scratch.tlab;
    glab.resize(gt_kept.size());
    tlab.resize(trk_kept.size());
    for (std::size_t k = 0; k < gt_kept.size(); ++k) glab[k] = gl.of(gt_kept[k]);
    for (std::size_t k = 0; k < trk_kept.size(); ++k) tlab[k] = tl.of(trk_kept[k]);

    auto pair_key = [&](std::size_t frame_index, const Overlap& o) {
        const std::int64_t g = glab[gt_start[frame_index] + o.row];
        const std::int64_t t = tlab[trk_start[frame_index] + o.col];
        return static_cast<std::uint64_t>(g) * num_trk_ids + static_cast<std::uint64_t>(t);
    };
    // Each overlap's pair key first, then its pair index; pairs in ascending
    // key order, through a table over all keys when it is not much larger
    // than the overlaps, by sorting otherwise.
    for (std::size_t fi = 0; fi < static_cast<std::size_t>(num_frames); ++fi)
        for (std::size_t k = ov_start[fi]; k < ov_start[fi + 1]; ++k) overlaps[k].pair = pair_key(fi, overlaps[k]);
    std::vector<std::uint64_t> pairs;
    const double key_count = static_cast<double>(num_gt_ids) * static_cast<double>(num_trk_ids);
    if (key_count < static_cast<double>(std::uint64_t{1} << 24) &&
        key_count < 16.0 * static_cast<double>(overlaps.size()) + 65536.0) {
        std::vector<std::uint32_t> index(static_cast<std::size_t>(key_count), kNone32);
        for (const Overlap& o : overlaps) index[o.pair] = 0;
        for (std::size_t key = 0; key < index.size(); ++key)
            if (index[key] == 0) {
                index[key] = static_cast<std::uint32_t>(pairs.size());
                pairs.push_back(key);
            }
        for (Overlap& o : overlaps) o.pair = index[o.pair];
    } else {
        for (const Overlap& o : overlaps) pairs.push_back(o.pair);
        std::sort(pairs.begin(), pairs.end());
        pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
        for (Overlap& o : overlaps)
            o.pair = static_cast<std::size_t>(std::lower_bound(pairs.begin(), pairs.end(), o.pair) - pairs.begin());
    }
    const std::size_t num_pairs = pairs.size();

    SequenceCounts& c = out.counts;
    c.frames = num_frames;
    c.gt_dets = static_cast<std::int64_t>(gt_kept.size());
    c.tracker_dets = static_cast<std::int64_t>(trk_kept.size());
    c.gt_ids = static_cast<std::int64_t>(num_gt_ids);
    c.tracker_ids = static_cast<std::int64_t>(num_trk_ids);

    // 3. Identity counts, and HOTA's global alignment: per pair, the sum over
    // frames of IoU / (row sum + column sum - IoU). The official code sums the
    // full similarity matrix: column sums row after row (pairwise when the
    // column is contiguous), row sums pairwise; the zeros change nothing.
    std::vector<double> gt_count(num_gt_ids, 0.0), trk_count(num_trk_ids, 0.0), potential(num_pairs, 0.0);
    std::vector<std::int64_t> id_matches(num_pairs, 0);
    std::vector<double> sim, row_sum, col_sum;
    auto dense_frame = [&](std::size_t fi, std::size_t ng, std::size_t nt) {
        sim.assign(ng * nt, 0.0);
        for (std::size_t k = ov_start[fi]; k < ov_start[fi + 1]; ++k)
            sim[overlaps[k].row * nt + overlaps[k].col] = overlaps[k].iou;
    };
    const auto row_of = [](const Overlap& o) { return static_cast<std::size_t>(o.row); };
    const auto col_of = [](const Overlap& o) { return static_cast<std::size_t>(o.col); };
    for (std::size_t fi = 0; fi < static_cast<std::size_t>(num_frames); ++fi) {
        const std::size_t ng = gt_start[fi + 1] - gt_start[fi], nt = trk_start[fi + 1] - trk_start[fi];
        for (std::size_t i = 0; i < ng; ++i) gt_count[glab[gt_start[fi] + i]] += 1.0;
        for (std::size_t j = 0; j < nt; ++j) trk_count[tlab[trk_start[fi] + j]] += 1.0;
        if (ov_start[fi + 1] == ov_start[fi]) continue;
        const Overlap* ov = overlaps.data() + ov_start[fi];
        const std::size_t nov = ov_start[fi + 1] - ov_start[fi];
        col_sum.assign(nt, 0.0);
        row_sum.resize(ng);
        if (full) {
            dense_frame(fi, ng, nt);
            if (nt == 1) {
                col_sum[0] = pairwise_sum(sim.data(), ng);
            } else {
                for (std::size_t i = 0; i < ng; ++i)
                    for (std::size_t j = 0; j < nt; ++j) col_sum[j] += sim[i * nt + j];
            }
            for (std::size_t i = 0; i < ng; ++i) row_sum[i] = pairwise_sum(sim.data() + i * nt, nt);
        } else {
            if (nt == 1)
                col_sum[0] = sparse_pairwise_sum(ov, nov, 0, ng, row_of);
            else
                for (std::size_t k = 0; k < nov; ++k) col_sum[ov[k].col] += ov[k].iou;
            for (std::size_t k = 0; k < nov;) {
                std::size_t end = k + 1;
                while (end < nov && ov[end].row == ov[k].row) ++end;
                row_sum[ov[k].row] = sparse_pairwise_sum(ov + k, end - k, 0, nt, col_of);
                k = end;
            }
        }
        for (std::size_t k = 0; k < nov; ++k) {
            const Overlap& o = ov[k];
            const double denom = col_sum[o.col] + row_sum[o.row] - o.iou;
            if (denom > 0.0 + kEps) potential[o.pair] += o.iou / denom;
            id_matches[o.pair] += o.iou >= kClearThreshold;
        }
    }
    std::vector<double> alignment(num_pairs);
    for (std::size_t p = 0; p < num_pairs; ++p) {
        const std::size_t g = pairs[p] / num_trk_ids, t = pairs[p] % num_trk_ids;
        alignment[p] = potential[p] / (gt_count[g] + trk_count[t] - potential[p]);
    }

    // Identity: the best one-to-one assignment of identities, i.e. the
    // maximum-weight matching of the pairs' matched-frame counts.
    {
        Labels rows_used, cols_used;
        {
            std::vector<std::int64_t> r, t;
            for (std::size_t p = 0; p < num_pairs; ++p)
                if (id_matches[p] > 0) {
                    r.push_back(static_cast<std::int64_t>(pairs[p] / num_trk_ids));
                    t.push_back(static_cast<std::int64_t>(pairs[p] % num_trk_ids));
                }
            rows_used.build(std::move(r));
            cols_used.build(std::move(t));
        }
        const std::size_t nr = rows_used.values.size(), nc = cols_used.values.size();
        cost.assign(nr * nc, 0.0);
        for (std::size_t p = 0; p < num_pairs; ++p)
            if (id_matches[p] > 0)
                cost[rows_used.of(static_cast<std::int64_t>(pairs[p] / num_trk_ids)) * nc +
                     cols_used.of(static_cast<std::int64_t>(pairs[p] % num_trk_ids))] = -static_cast<double>(id_matches[p]);
        solve_lsap(cost.data(), nr, nc, ws, mrows, mcols);
        std::int64_t idtp = 0;
        for (std::size_t k = 0; k < mrows.size(); ++k)
            idtp += static_cast<std::int64_t>(-cost[static_cast<std::size_t>(mrows[k]) * nc + static_cast<std::size_t>(mcols[k])]);
        c.idtp = idtp;
        c.idfn = c.gt_dets - idtp;
        c.idfp = c.tracker_dets - idtp;
    }

    // 4. HOTA: per frame, match by alignment x IoU; a pair counts at every
    // alpha its IoU reaches. CLEAR: per frame, match IoU >= 0.5 preferring the
    // previous frame's partner.
    const auto& alphas = hota_alphas();
    AlphaFloors alpha_floor;
    for (std::size_t a = 0; a < kAlphaCount; ++a) alpha_floor[a] = alphas[a] - kEps;
    alpha_floor[kAlphaCount] = kInf;
    std::vector<std::int64_t>& hota_levels = scratch.hota_levels;
    hota_levels.assign(num_pairs * (kAlphaCount + 1), 0);
    AlphaFloors loc_sum{};  // per alpha (the last unused)
    std::vector<std::int64_t> prev_tracker(num_gt_ids, kNone), prev_step(num_gt_ids, kNone);
    std::vector<std::int64_t> clr_count(num_gt_ids, 0), clr_matched(num_gt_ids, 0), frag_count(num_gt_ids, 0);
    std::vector<std::int64_t> tracked_last;  // gt labels with prev_step set
    std::vector<std::int64_t> matched_g, matched_t;
    std::vector<char> was_tracked;
    std::vector<std::size_t> matched;  // overlaps of the frame, in row order
    // The frame's matching on its full matrix (`cost`, ng x nt): the assigned
    // pairs at an overlap whose score (-cost) passes `keep`, in row order.
    auto solve_full = [&](const Overlap* ov, std::size_t nov, std::size_t ng, std::size_t nt, auto keep) {
        cell_overlap.assign(ng * nt, kNoEntry);
        for (std::size_t k = 0; k < nov; ++k) cell_overlap[ov[k].row * nt + ov[k].col] = k;
        solve_lsap(cost.data(), ng, nt, ws, mrows, mcols);
        matched.clear();
        for (std::size_t k = 0; k < mrows.size(); ++k) {
            const std::size_t e = static_cast<std::size_t>(mrows[k]) * nt + static_cast<std::size_t>(mcols[k]);
            if (cell_overlap[e] != kNoEntry && keep(-cost[e])) matched.push_back(cell_overlap[e]);
        }
    };
    // The same from the blocks of `entries` (entry_overlap: their overlaps);
    // false when the full solve is needed.
    auto solve_blocks = [&](std::size_t ng, std::size_t nt) {
        if (full || !matcher.match(entries, ng, nt, kept)) return false;
        matched.clear();
        for (std::size_t k : kept) matched.push_back(entry_overlap[k]);
        return true;
    };
    for (std::size_t fi = 0; fi < static_cast<std::size_t>(num_frames); ++fi) {
        const std::size_t ng = gt_start[fi + 1] - gt_start[fi], nt = trk_start[fi + 1] - trk_start[fi];
        const std::int64_t* gid = glab.data() + gt_start[fi];
        const std::int64_t* tid = tlab.data() + trk_start[fi];
        if (ng == 0 || nt == 0) {
            for (std::size_t a = 0; a < kAlphaCount; ++a) {
                c.hota_fn[a] += static_cast<std::int64_t>(ng);
                c.hota_fp[a] += static_cast<std::int64_t>(nt);
            }
            c.clr_fn += static_cast<std::int64_t>(ng);
            c.clr_fp += static_cast<std::int64_t>(nt);
            for (std::size_t i = 0; i < ng; ++i) ++clr_count[gid[i]];
            continue;
        }
        const Overlap* ov = overlaps.data() + ov_start[fi];
        const std::size_t nov = ov_start[fi + 1] - ov_start[fi];

        // HOTA. Without any overlap nothing can match: every row and column
        // stays unmatched whatever the solver picks. A pair below the lowest
        // alpha counts nothing when matched.
        matched.clear();
        if (nov > 0) {
            entries.clear();
            entry_overlap.clear();
            bool unscored = false;  // a countable overlap whose score underflows to 0
            entries.resize(nov);
            entry_overlap.resize(nov);
            std::size_t m = 0;
            for (std::size_t k = 0; k < nov; ++k) {
                const double score = alignment[ov[k].pair] * ov[k].iou;
                const bool relevant = ov[k].iou >= alpha_floor[0];
                if (score > 0.0) {
                    entries[m] = {ov[k].row, ov[k].col, score, relevant};
                    entry_overlap[m++] = k;
                } else if (relevant) {
                    unscored = true;
                }
            }
            entries.resize(m);
            entry_overlap.resize(m);
            if (unscored || !solve_blocks(ng, nt)) {
                ++stats.hota_full;
                cost.assign(ng * nt, -0.0);
                for (std::size_t k = 0; k < nov; ++k)
                    cost[ov[k].row * nt + ov[k].col] = -(alignment[ov[k].pair] * ov[k].iou);
                solve_full(ov, nov, ng, nt, [](double) { return true; });
            }
        }
        // A match counts at the first `level` alphas, those its IoU reaches.
        std::array<std::int64_t, kAlphaCount + 1> at_level{};
        for (std::size_t k : matched) {
            const double s = ov[k].iou;
            const std::size_t level =
                full ? add_reached(s, alpha_floor, loc_sum) : add_reached_pairs(s, alpha_floor, loc_sum);
            ++at_level[level];
            ++hota_levels[ov[k].pair * (kAlphaCount + 1) + level];
        }
        std::array<std::int64_t, kAlphaCount> tp{};
        for (std::size_t a = kAlphaCount; a-- > 0;) tp[a] = at_level[a + 1] + (a + 1 < kAlphaCount ? tp[a + 1] : 0);
        for (std::size_t a = 0; a < kAlphaCount; ++a) {
            c.hota_tp[a] += tp[a];
            c.hota_fn[a] += static_cast<std::int64_t>(ng) - tp[a];
            c.hota_fp[a] += static_cast<std::int64_t>(nt) - tp[a];
        }

        // CLEAR: scores IoU, plus the continuity bonus for the previous
        // frame's partner, on pairs with IoU >= 0.5; no such pair, no match.
        entries.resize(nov);
        entry_overlap.resize(nov);
        std::size_t m = 0;
        for (std::size_t k = 0; k < nov; ++k) {
            const double bonus = kContinuityBonus * kZeroOne[prev_step[gid[ov[k].row]] == tid[ov[k].col]];
            entries[m] = {ov[k].row, ov[k].col, bonus + ov[k].iou, true};
            entry_overlap[m] = k;
            m += ov[k].iou >= kClearThreshold - kEps;
        }
        entries.resize(m);
        entry_overlap.resize(m);
        matched.clear();
        if (!entries.empty() && !solve_blocks(ng, nt)) {
            ++stats.clear_full;
            cost.assign(ng * nt, -0.0);
            for (std::size_t k = 0; k < entries.size(); ++k)
                cost[entries[k].row * nt + entries[k].col] = -entries[k].score;
            solve_full(ov, nov, ng, nt, [](double score) { return score > 0.0 + kEps; });
        }
        matched_g.clear();
        matched_t.clear();
        for (std::size_t k : matched) {
            const std::int64_t g = gid[ov[k].row], t = tid[ov[k].col];
            if (prev_tracker[g] != kNone && prev_tracker[g] != t) ++c.idsw;
            matched_g.push_back(g);
            matched_t.push_back(t);
            c.motp_sum += ov[k].iou;
        }
        for (std::size_t i = 0; i < ng; ++i) ++clr_count[gid[i]];
        for (std::size_t k = 0; k < matched_g.size(); ++k) {
            const std::int64_t g = matched_g[k];
            ++clr_matched[g];
            prev_tracker[g] = matched_t[k];
        }
        // Fragmentation: a match of an identity not matched in the previous
        // scored frame starts a tracked stretch.
        was_tracked.resize(matched_g.size());
        for (std::size_t k = 0; k < matched_g.size(); ++k) was_tracked[k] = prev_step[matched_g[k]] != kNone;
        for (std::int64_t g : tracked_last) prev_step[g] = kNone;
        tracked_last.clear();
        for (std::size_t k = 0; k < matched_g.size(); ++k) {
            prev_step[matched_g[k]] = matched_t[k];
            tracked_last.push_back(matched_g[k]);
            if (!was_tracked[k]) ++frag_count[matched_g[k]];
        }
        const std::int64_t nm = static_cast<std::int64_t>(matched_g.size());
        c.clr_tp += nm;
        c.clr_fn += static_cast<std::int64_t>(ng) - nm;
        c.clr_fp += static_cast<std::int64_t>(nt) - nm;
    }

    for (std::size_t g = 0; g < num_gt_ids; ++g) {
        if (clr_count[g] > 0) {
            const double ratio = static_cast<double>(clr_matched[g]) / static_cast<double>(clr_count[g]);
            if (ratio > 0.8)
                ++c.mt;
            else if (ratio >= 0.2)
                ++c.pt;
        }
        if (frag_count[g] > 0) c.frag += frag_count[g] - 1;
    }
    c.ml = c.gt_ids - c.mt - c.pt;

    // Per pair and alpha a, the matches that reach it, in place: at a + 1.
    for (std::size_t p = 0; p < num_pairs; ++p) {
        std::int64_t reach = 0;
        for (std::size_t a = kAlphaCount; a-- > 0;) {
            std::int64_t& at = hota_levels[p * (kAlphaCount + 1) + a + 1];
            reach += at;
            at = reach;
        }
    }
    for (std::size_t a = 0; a < kAlphaCount; ++a) {
        double ass_a = 0.0, ass_re = 0.0, ass_pr = 0.0;
        for (std::size_t p = 0; p < num_pairs; ++p) {
            const std::int64_t mi = hota_levels[p * (kAlphaCount + 1) + a + 1];
            if (mi == 0) continue;
            const double m = static_cast<double>(mi);
            const double gc = gt_count[pairs[p] / num_trk_ids], tc = trk_count[pairs[p] % num_trk_ids];
            ass_a += m * (m / std::max(1.0, gc + tc - m));
            ass_re += m * (m / std::max(1.0, gc));
            ass_pr += m * (m / std::max(1.0, tc));
        }
        const double tp = std::max(1.0, static_cast<double>(c.hota_tp[a]));
        c.ass_a[a] = ass_a / tp;
        c.ass_re[a] = ass_re / tp;
        c.ass_pr[a] = ass_pr / tp;
        c.loc_a[a] = std::max(1e-10, loc_sum[a]) / std::max(1e-10, static_cast<double>(c.hota_tp[a]));
    }

    // The official per-sequence CLEAR ratios stay 0 when either side is empty.
    out.metrics = final_metrics(c, c.gt_dets > 0 && c.tracker_dets > 0);
    if (scratch.bytes() > kScratchKept) scratch = Scratch{};
    return out;
}

Metrics combine_sequences(const std::vector<SequenceCounts>& sequences) {
    SequenceCounts t;
    std::array<double, kAlphaCount> ass_a{}, ass_re{}, ass_pr{}, loc{};
    for (const SequenceCounts& s : sequences) {
        for (std::size_t a = 0; a < kAlphaCount; ++a) {
            t.hota_tp[a] += s.hota_tp[a];
            t.hota_fn[a] += s.hota_fn[a];
            t.hota_fp[a] += s.hota_fp[a];
            const double w = static_cast<double>(s.hota_tp[a]);
            ass_a[a] += s.ass_a[a] * w;
            ass_re[a] += s.ass_re[a] * w;
            ass_pr[a] += s.ass_pr[a] * w;
            loc[a] += s.loc_a[a] * w;
        }
        t.clr_tp += s.clr_tp;
        t.clr_fn += s.clr_fn;
        t.clr_fp += s.clr_fp;
        t.idsw += s.idsw;
        t.mt += s.mt;
        t.pt += s.pt;
        t.ml += s.ml;
        t.frag += s.frag;
        t.motp_sum += s.motp_sum;
        t.idtp += s.idtp;
        t.idfn += s.idfn;
        t.idfp += s.idfp;
    }
    for (std::size_t a = 0; a < kAlphaCount; ++a) {
        const double tp = static_cast<double>(t.hota_tp[a]);
        t.ass_a[a] = ass_a[a] / std::max(1.0, tp);
        t.ass_re[a] = ass_re[a] / std::max(1.0, tp);
        t.ass_pr[a] = ass_pr[a] / std::max(1.0, tp);
        t.loc_a[a] = std::max(1e-10, loc[a]) / std::max(1e-10, tp);
    }
    return final_metrics(t, true);
}

}  // namespace loomfeather::evaluation
