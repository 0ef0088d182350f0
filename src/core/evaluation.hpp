// MOTChallenge evaluation of one tracker output against ground truth: HOTA
// (Luiten et al. 2020), CLEAR MOT (Bernardin & Stiefelhagen 2008) and the
// identity metrics (Ristani et al. 2016), with the matchings, thresholds and
// preprocessing of the official evaluation code, per sequence and combined
// over sequences. Rows are plain column buffers; boxes are left, top, width,
// height.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace loomfeather::evaluation {

// Both: ground-truth rows with flag 0 (the seventh column, "conf" in 2015)
// are ignored. 2015: every other row is scored; no classes. 2017: class 1 is
// scored, tracker boxes matched to classes 2, 7, 8, 12 (flag 0 rows too) are
// removed first, classes 3-6, 9-11, 13 are ignored; other classes are refused.
enum class GroundTruthFormat { Mot15, Mot17 };

inline constexpr std::size_t kAlphaCount = 19;

// The localisation thresholds 0.05, 0.10, ..., 0.95 as float64 values
// (start + i * step, the way the official code builds them).
const std::array<double, kAlphaCount>& hota_alphas();

struct GroundTruthRows {
    std::size_t count = 0;
    const std::int64_t* frames = nullptr;   // 1-based
    const std::int64_t* ids = nullptr;
    const double* ltwh = nullptr;           // 4 values a row, from ltwh + stride * row
    const std::int64_t* flags = nullptr;    // optional in 2015 (every row scored)
    const std::int64_t* classes = nullptr;  // 2017 only
    std::size_t stride = 4;
};

struct TrackerRows {
    std::size_t count = 0;
    const std::int64_t* frames = nullptr;
    const std::int64_t* ids = nullptr;
    const double* ltwh = nullptr;
    std::size_t stride = 4;
};

// What combining sequences needs: counts, and the per-sequence association
// and localisation scores that the combination weights by HOTA_TP.
struct SequenceCounts {
    std::array<std::int64_t, kAlphaCount> hota_tp{}, hota_fn{}, hota_fp{};
    std::array<double, kAlphaCount> ass_a{}, ass_re{}, ass_pr{}, loc_a{};
    std::int64_t clr_tp = 0, clr_fn = 0, clr_fp = 0, idsw = 0, mt = 0, pt = 0, ml = 0, frag = 0;
    double motp_sum = 0.0;
    std::int64_t idtp = 0, idfn = 0, idfp = 0;
    // Scored rows and identities, after preprocessing.
    std::int64_t frames = 0, gt_dets = 0, tracker_dets = 0, gt_ids = 0, tracker_ids = 0;
};

// Final metrics; ratios as fractions, HOTA family averaged over the alphas.
struct Metrics {
    double hota = 0, det_a = 0, ass_a = 0, loc_a = 0, det_re = 0, det_pr = 0, ass_re = 0, ass_pr = 0;
    double mota = 0, motp = 0, idf1 = 0, idp = 0, idr = 0;
    std::int64_t idsw = 0, fp = 0, fn = 0, mt = 0, pt = 0, ml = 0, frag = 0;
};

// How the per-frame matchings were solved. A frame's matching is solved on
// its full matrix only when one of its blocks of overlapping boxes has a tied
// or nearly tied optimum (or always, with `full_matrices`); otherwise block by
// block. Both ways give the same numbers.
struct MatchingStats {
    std::int64_t distractor_full = 0, hota_full = 0, clear_full = 0;  // frames solved on the full matrix
};

struct SequenceEvaluation {
    SequenceCounts counts;
    Metrics metrics;
    MatchingStats matching;
};

struct EvaluationOptions {
    // Every IoU pass, sum and matching over each frame's full matrices, the
    // way the official code computes them: slower, same numbers (a check).
    bool full_matrices = false;
};

// One sequence of `num_frames` frames. Throws std::invalid_argument (text
// starting "evaluate_sequence: ") on a frame outside 1..num_frames, a
// non-finite box, an identity repeated within a frame, or (2017) a class
// outside 1..13. Keeps its large scratch buffers per thread between calls
// (at most 64 MiB; beyond that they are released after the call).
SequenceEvaluation evaluate_sequence(const GroundTruthRows& gt, const TrackerRows& tracker, std::int64_t num_frames,
                                     GroundTruthFormat format, const EvaluationOptions& options = {});

// The metrics of several sequences taken together (the official combined
// row): counts summed, association and localisation weighted by HOTA_TP.
Metrics combine_sequences(const std::vector<SequenceCounts>& sequences);

// Rectangular linear assignment (minimisation) by the shortest augmenting
// path method of Crouse (2016), with SciPy's choices on ties: the pairs of
// scipy.optimize.linear_sum_assignment, in its order. The cost must be free of
// NaN and -inf (std::invalid_argument otherwise); min(n, m) pairs. After a
// solve with n <= m, the workspace holds its final state: u and v the dual
// potentials (cost - u - v >= 0 up to rounding, 0 on the assignment),
// col4row and row4col the assignment.
struct LsapWorkspace {
    std::vector<double> transposed, u, v, shortest;
    std::vector<std::ptrdiff_t> path, col4row, row4col, remaining;
    std::vector<std::size_t> visited_rows, visited_cols;
};
void solve_lsap(const double* cost, std::size_t n, std::size_t m, LsapWorkspace& ws, std::vector<std::int64_t>& rows,
                std::vector<std::int64_t>& cols);

}  // namespace loomfeather::evaluation
