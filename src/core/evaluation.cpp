// Evaluation: preprocessing, the three metric families and their combination.
// Every matching is solved with solve_lsap on the same matrix, in the same row
// and column order, as the official code, so that ties fall the same way; the
// IoU and the sums that feed HOTA's matching score are computed with the same
// float64 operations in the same order.
#include "core/evaluation.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <utility>

namespace loomfeather::evaluation {
namespace {

constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kClearThreshold = 0.5;
constexpr double kContinuityBonus = 1000.0;
constexpr std::int64_t kNone = -1;

[[noreturn]] void refuse(const std::string& text) { throw std::invalid_argument("evaluate_sequence: " + text); }

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

// Rows of each frame in input order: rows of frame f are order[start[f-1] .. start[f]).
struct Buckets {
    std::vector<std::size_t> start, order;
    std::size_t size(std::int64_t f) const { return start[f] - start[f - 1]; }
    const std::size_t* begin(std::int64_t f) const { return order.data() + start[f - 1]; }
};

Buckets bucket_by_frame(std::size_t count, const std::int64_t* frames, std::int64_t num_frames) {
    Buckets b;
    b.start.assign(static_cast<std::size_t>(num_frames) + 1, 0);
    for (std::size_t r = 0; r < count; ++r) ++b.start[static_cast<std::size_t>(frames[r])];
    std::partial_sum(b.start.begin(), b.start.end(), b.start.begin());
    b.order.resize(count);
    std::vector<std::size_t> fill(b.start.begin(), b.start.end() - 1);
    for (std::size_t r = 0; r < count; ++r) b.order[fill[static_cast<std::size_t>(frames[r]) - 1]++] = r;
    return b;
}

void check_rows(const char* what, std::size_t count, const std::int64_t* frames, const std::int64_t* ids,
                const double* ltwh, std::int64_t num_frames) {
    for (std::size_t r = 0; r < count; ++r) {
        if (frames[r] < 1 || frames[r] > num_frames)
            refuse(std::string(what) + " row " + std::to_string(r) + ": frame " + std::to_string(frames[r]) +
                   " is outside 1.." + std::to_string(num_frames));
        for (int k = 0; k < 4; ++k)
            if (!std::isfinite(ltwh[4 * r + k]))
                refuse(std::string(what) + " row " + std::to_string(r) + ": box is not finite");
    }
    (void)ids;
}

void check_unique_ids(const char* what, const Buckets& b, const std::int64_t* ids, std::int64_t num_frames) {
    std::vector<std::int64_t> seen;
    for (std::int64_t f = 1; f <= num_frames; ++f) {
        const std::size_t* rows = b.begin(f);
        seen.clear();
        for (std::size_t k = 0; k < b.size(f); ++k) seen.push_back(ids[rows[k]]);
        std::sort(seen.begin(), seen.end());
        const auto dup = std::adjacent_find(seen.begin(), seen.end());
        if (dup != seen.end())
            refuse(std::string(what) + " id " + std::to_string(*dup) + " appears more than once in frame " +
                   std::to_string(f));
    }
}

// Sorted distinct values -> dense labels 0..k-1.
struct Labels {
    std::vector<std::int64_t> values;
    std::int64_t of(std::int64_t v) const {
        return std::lower_bound(values.begin(), values.end(), v) - values.begin();
    }
};

// One positive overlap of a frame's scored rows: row, column (within the
// frame), IoU, and the index of its (gt identity, tracker identity) pair.
struct Overlap {
    std::uint32_t row, col;
    double iou;
    std::size_t pair;
};

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
                                     GroundTruthFormat format) {
    if (num_frames < 0) refuse("num_frames must be >= 0");
    const bool mot17 = format == GroundTruthFormat::Mot17;
    if (mot17 && gt.count > 0 && (gt.flags == nullptr || gt.classes == nullptr))
        refuse("the 2017 format needs ground-truth flags and classes");
    check_rows("ground-truth", gt.count, gt.frames, gt.ids, gt.ltwh, num_frames);
    check_rows("tracker", tracker.count, tracker.frames, tracker.ids, tracker.ltwh, num_frames);
    if (mot17)
        for (std::size_t r = 0; r < gt.count; ++r)
            if (gt.classes[r] < 1 || gt.classes[r] > 13)
                refuse("ground-truth row " + std::to_string(r) + ": class " + std::to_string(gt.classes[r]) +
                       " is not a 2017-format class (1..13)");
    const Buckets gb = bucket_by_frame(gt.count, gt.frames, num_frames);
    const Buckets tb = bucket_by_frame(tracker.count, tracker.frames, num_frames);
    check_unique_ids("ground-truth", gb, gt.ids, num_frames);
    check_unique_ids("tracker", tb, tracker.ids, num_frames);

    // 1. Preprocessing: the scored rows of each frame (input order) and their
    // positive overlaps. 2017: tracker boxes matched (IoU >= 0.5) to any
    // distractor row go first (flag 0 or not), then only flag != 0, class 1
    // rows stay. 2015: rows with flag 0 go, nothing else.
    std::vector<std::size_t> gt_kept, trk_kept, gt_start{0}, trk_start{0}, ov_start{0};
    std::vector<Overlap> overlaps;
    std::vector<double> iou_all, tcorner, cost;
    std::vector<std::int64_t> mrows, mcols;
    std::vector<char> removed;
    std::vector<std::size_t> gsel, tsel;
    LsapWorkspace ws;
    for (std::int64_t f = 1; f <= num_frames; ++f) {
        const std::size_t ng = gb.size(f), nt = tb.size(f);
        const std::size_t* grows = gb.begin(f);
        const std::size_t* trows = tb.begin(f);
        // Boxes whose corners do not overlap on both axes have IoU exactly 0;
        // the IoU itself is computed only for the others.
        iou_all.assign(ng * nt, 0.0);
        tcorner.resize(4 * nt);
        for (std::size_t j = 0; j < nt; ++j) {
            const double* b = tracker.ltwh + 4 * trows[j];
            tcorner[4 * j] = b[0];
            tcorner[4 * j + 1] = b[1];
            tcorner[4 * j + 2] = b[0] + b[2];
            tcorner[4 * j + 3] = b[1] + b[3];
        }
        for (std::size_t i = 0; i < ng; ++i) {
            const double* a = gt.ltwh + 4 * grows[i];
            const double ax1 = a[0] + a[2], ay1 = a[1] + a[3];
            for (std::size_t j = 0; j < nt; ++j) {
                const double* t = tcorner.data() + 4 * j;
                if (t[0] < ax1 && t[2] > a[0] && t[1] < ay1 && t[3] > a[1])
                    iou_all[i * nt + j] = box_iou(a, tracker.ltwh + 4 * trows[j]);
            }
        }
        removed.assign(nt, 0);
        gsel.clear();
        tsel.clear();
        if (mot17) {
            // Only a distractor row matched with IoU >= 0.5 removes anything.
            bool may_remove = false;
            for (std::size_t i = 0; i < ng && !may_remove; ++i)
                if (is_distractor(gt.classes[grows[i]]))
                    for (std::size_t j = 0; j < nt && !may_remove; ++j)
                        may_remove = iou_all[i * nt + j] >= kClearThreshold - kEps;
            if (may_remove) {
                cost.resize(ng * nt);
                for (std::size_t k = 0; k < ng * nt; ++k)
                    cost[k] = -(iou_all[k] < kClearThreshold - kEps ? 0.0 : iou_all[k]);
                solve_lsap(cost.data(), ng, nt, ws, mrows, mcols);
                for (std::size_t k = 0; k < mrows.size(); ++k) {
                    const std::size_t i = static_cast<std::size_t>(mrows[k]), j = static_cast<std::size_t>(mcols[k]);
                    if (-cost[i * nt + j] > 0.0 + kEps && is_distractor(gt.classes[grows[i]])) removed[j] = 1;
                }
            }
            for (std::size_t i = 0; i < ng; ++i)
                if (gt.flags[grows[i]] != 0 && gt.classes[grows[i]] == 1) gsel.push_back(i);
        } else {
            for (std::size_t i = 0; i < ng; ++i)
                if (gt.flags == nullptr || gt.flags[grows[i]] != 0) gsel.push_back(i);
        }
        for (std::size_t j = 0; j < nt; ++j)
            if (!removed[j]) tsel.push_back(j);
        for (std::size_t a = 0; a < gsel.size(); ++a) {
            gt_kept.push_back(grows[gsel[a]]);
            for (std::size_t b = 0; b < tsel.size(); ++b) {
                const double s = iou_all[gsel[a] * nt + tsel[b]];
                if (s > 0.0) overlaps.push_back({static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b), s, 0});
            }
        }
        for (std::size_t b = 0; b < tsel.size(); ++b) trk_kept.push_back(trows[tsel[b]]);
        gt_start.push_back(gt_kept.size());
        trk_start.push_back(trk_kept.size());
        ov_start.push_back(overlaps.size());
    }

    // 2. Dense identity labels of the scored rows, and one index per
    // (gt identity, tracker identity) pair that ever overlaps.
    Labels gl, tl;
    for (std::size_t r : gt_kept) gl.values.push_back(gt.ids[r]);
    for (std::size_t r : trk_kept) tl.values.push_back(tracker.ids[r]);
    for (Labels* l : {&gl, &tl}) {
        std::sort(l->values.begin(), l->values.end());
        l->values.erase(std::unique(l->values.begin(), l->values.end()), l->values.end());
    }
    const std::size_t num_gt_ids = gl.values.size(), num_trk_ids = tl.values.size();
    std::vector<std::int64_t> glab(gt_kept.size()), tlab(trk_kept.size());
    for (std::size_t k = 0; k < gt_kept.size(); ++k) glab[k] = gl.of(gt.ids[gt_kept[k]]);
    for (std::size_t k = 0; k < trk_kept.size(); ++k) tlab[k] = tl.of(tracker.ids[trk_kept[k]]);

    auto pair_key = [&](std::size_t frame_index, const Overlap& o) {
        const std::int64_t g = glab[gt_start[frame_index] + o.row];
        const std::int64_t t = tlab[trk_start[frame_index] + o.col];
        return static_cast<std::uint64_t>(g) * num_trk_ids + static_cast<std::uint64_t>(t);
    };
    std::vector<std::uint64_t> keys;
    keys.reserve(overlaps.size());
    for (std::size_t fi = 0; fi < static_cast<std::size_t>(num_frames); ++fi)
        for (std::size_t k = ov_start[fi]; k < ov_start[fi + 1]; ++k) keys.push_back(pair_key(fi, overlaps[k]));
    std::vector<std::uint64_t> pairs(keys);
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    for (std::size_t k = 0; k < overlaps.size(); ++k)
        overlaps[k].pair = static_cast<std::size_t>(std::lower_bound(pairs.begin(), pairs.end(), keys[k]) - pairs.begin());
    const std::size_t num_pairs = pairs.size();

    SequenceEvaluation out;
    SequenceCounts& c = out.counts;
    c.frames = num_frames;
    c.gt_dets = static_cast<std::int64_t>(gt_kept.size());
    c.tracker_dets = static_cast<std::int64_t>(trk_kept.size());
    c.gt_ids = static_cast<std::int64_t>(num_gt_ids);
    c.tracker_ids = static_cast<std::int64_t>(num_trk_ids);

    // 3. Identity counts, and HOTA's global alignment: per pair, the sum over
    // frames of IoU / (row sum + column sum - IoU).
    std::vector<double> gt_count(num_gt_ids, 0.0), trk_count(num_trk_ids, 0.0), potential(num_pairs, 0.0);
    std::vector<std::int64_t> id_matches(num_pairs, 0);
    std::vector<double> sim, row_sum, col_sum;
    auto dense_frame = [&](std::size_t fi, std::size_t ng, std::size_t nt) {
        sim.assign(ng * nt, 0.0);
        for (std::size_t k = ov_start[fi]; k < ov_start[fi + 1]; ++k)
            sim[overlaps[k].row * nt + overlaps[k].col] = overlaps[k].iou;
    };
    for (std::size_t fi = 0; fi < static_cast<std::size_t>(num_frames); ++fi) {
        const std::size_t ng = gt_start[fi + 1] - gt_start[fi], nt = trk_start[fi + 1] - trk_start[fi];
        for (std::size_t i = 0; i < ng; ++i) gt_count[glab[gt_start[fi] + i]] += 1.0;
        for (std::size_t j = 0; j < nt; ++j) trk_count[tlab[trk_start[fi] + j]] += 1.0;
        if (ov_start[fi + 1] == ov_start[fi]) continue;
        dense_frame(fi, ng, nt);
        // Column sums row after row, or pairwise when the column is contiguous.
        col_sum.assign(nt, 0.0);
        if (nt == 1) {
            col_sum[0] = pairwise_sum(sim.data(), ng);
        } else {
            for (std::size_t i = 0; i < ng; ++i)
                for (std::size_t j = 0; j < nt; ++j) col_sum[j] += sim[i * nt + j];
        }
        row_sum.resize(ng);
        for (std::size_t i = 0; i < ng; ++i) row_sum[i] = pairwise_sum(sim.data() + i * nt, nt);
        for (std::size_t k = ov_start[fi]; k < ov_start[fi + 1]; ++k) {
            const Overlap& o = overlaps[k];
            const double denom = col_sum[o.col] + row_sum[o.row] - o.iou;
            if (denom > 0.0 + kEps) potential[o.pair] += o.iou / denom;
            if (o.iou >= kClearThreshold) ++id_matches[o.pair];
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
        for (std::size_t p = 0; p < num_pairs; ++p)
            if (id_matches[p] > 0) {
                rows_used.values.push_back(static_cast<std::int64_t>(pairs[p] / num_trk_ids));
                cols_used.values.push_back(static_cast<std::int64_t>(pairs[p] % num_trk_ids));
            }
        for (Labels* l : {&rows_used, &cols_used}) {
            std::sort(l->values.begin(), l->values.end());
            l->values.erase(std::unique(l->values.begin(), l->values.end()), l->values.end());
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
    std::vector<std::int64_t> hota_matches(num_pairs * kAlphaCount, 0);
    std::array<double, kAlphaCount> loc_sum{};
    std::vector<std::int64_t> prev_tracker(num_gt_ids, kNone), prev_step(num_gt_ids, kNone);
    std::vector<std::int64_t> clr_count(num_gt_ids, 0), clr_matched(num_gt_ids, 0), frag_count(num_gt_ids, 0);
    std::vector<std::int64_t> tracked_last;  // gt labels with prev_step set
    std::vector<std::int64_t> matched_g, matched_t;
    std::vector<std::size_t> pair_at;
    std::vector<char> was_tracked;
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
        // Without any overlap nothing can match: every row and column stays
        // unmatched whatever the solver picks.
        const bool overlap = ov_start[fi + 1] > ov_start[fi];
        dense_frame(fi, ng, nt);
        pair_at.assign(ng * nt, num_pairs);
        for (std::size_t k = ov_start[fi]; k < ov_start[fi + 1]; ++k)
            pair_at[overlaps[k].row * nt + overlaps[k].col] = overlaps[k].pair;

        // HOTA
        cost.resize(ng * nt);
        for (std::size_t k = 0; k < ng * nt; ++k)
            cost[k] = pair_at[k] == num_pairs ? -0.0 : -(alignment[pair_at[k]] * sim[k]);
        if (overlap)
            solve_lsap(cost.data(), ng, nt, ws, mrows, mcols);
        else
            mrows.clear(), mcols.clear();
        std::array<std::int64_t, kAlphaCount> tp{};
        for (std::size_t k = 0; k < mrows.size(); ++k) {
            const std::size_t e = static_cast<std::size_t>(mrows[k]) * nt + static_cast<std::size_t>(mcols[k]);
            const double s = sim[e];
            for (std::size_t a = 0; a < kAlphaCount && s >= alphas[a] - kEps; ++a) {
                ++tp[a];
                loc_sum[a] += s;
                ++hota_matches[pair_at[e] * kAlphaCount + a];
            }
        }
        for (std::size_t a = 0; a < kAlphaCount; ++a) {
            c.hota_tp[a] += tp[a];
            c.hota_fn[a] += static_cast<std::int64_t>(ng) - tp[a];
            c.hota_fp[a] += static_cast<std::int64_t>(nt) - tp[a];
        }

        // CLEAR
        bool reachable = false;
        for (std::size_t k = ov_start[fi]; k < ov_start[fi + 1] && !reachable; ++k)
            reachable = overlaps[k].iou >= kClearThreshold - kEps;
        for (std::size_t i = 0; i < ng; ++i)
            for (std::size_t j = 0; j < nt; ++j) {
                const double s = sim[i * nt + j];
                const double score = (prev_step[gid[i]] == tid[j] ? kContinuityBonus : 0.0) + s;
                cost[i * nt + j] = -(s < kClearThreshold - kEps ? 0.0 : score);
            }
        if (reachable)
            solve_lsap(cost.data(), ng, nt, ws, mrows, mcols);
        else
            mrows.clear(), mcols.clear();
        matched_g.clear();
        matched_t.clear();
        for (std::size_t k = 0; k < mrows.size(); ++k) {
            const std::size_t e = static_cast<std::size_t>(mrows[k]) * nt + static_cast<std::size_t>(mcols[k]);
            if (!(-cost[e] > 0.0 + kEps)) continue;
            const std::int64_t g = gid[mrows[k]], t = tid[mcols[k]];
            if (prev_tracker[g] != kNone && prev_tracker[g] != t) ++c.idsw;
            matched_g.push_back(g);
            matched_t.push_back(t);
            c.motp_sum += sim[e];
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

    for (std::size_t a = 0; a < kAlphaCount; ++a) {
        double ass_a = 0.0, ass_re = 0.0, ass_pr = 0.0;
        for (std::size_t p = 0; p < num_pairs; ++p) {
            const std::int64_t mi = hota_matches[p * kAlphaCount + a];
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
