// evaluate_sequence, combine_evaluations and linear_assignment_scipy.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings/array_args.hpp"
#include "bindings/bindings.hpp"
#include "core/evaluation.hpp"

namespace loomfeather::bindings {
namespace {

namespace ev = loomfeather::evaluation;
constexpr py::ssize_t kAlphas = static_cast<py::ssize_t>(ev::kAlphaCount);

[[noreturn]] void refuse(const std::string& text) { throw std::invalid_argument(text); }

// Columns are read where they lie: an aligned float64 array, strided or not
// (a column of a loaded table), is not copied; anything else is converted.
using AnyF64 = py::array_t<double, py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

// The integer columns of a call that had to be converted, kept per thread
// from one call to the next (a long sequence's columns are large) unless
// they grew past kKeptValues.
constexpr std::size_t kKeptValues = std::size_t{1} << 22;
struct IntegerColumns {
    std::vector<std::int64_t> gt_frames, gt_ids, tracker_frames, tracker_ids, flags, classes;
    void trim() {
        for (std::vector<std::int64_t>* v : {&gt_frames, &gt_ids, &tracker_frames, &tracker_ids, &flags, &classes})
            if (v->capacity() > kKeptValues) std::vector<std::int64_t>().swap(*v);
    }
};

// Out of line: the caller then holds the address as a plain pointer.
[[gnu::noinline]] IntegerColumns& thread_columns() {
    thread_local IntegerColumns columns;
    return columns;
}

// A column as float64 (any stride), converted by NumPy when it is not one;
// a ValueError naming the column when NumPy cannot (a MemoryError, or what
// is not an Exception, propagates as itself).
AnyF64 float_column(const py::handle& obj, const char* name) {
    try {
        return AnyF64(py::reinterpret_borrow<py::object>(obj));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_MemoryError) || !e.matches(PyExc_Exception)) throw;
        refuse(std::string("evaluate_sequence: ") + name + " must be an array of numbers");
    }
}

// Integers travel as int64 arrays (read as they are: contiguous ones in
// place) or as float64 arrays (or anything NumPy casts to float64), in which
// anything that is not a whole number of at most 2**53 in magnitude is
// refused rather than truncated.
void integer_column(const py::handle& obj, std::size_t n, const char* name, std::vector<std::int64_t>& out) {
    const py::array raw = py::array::ensure(obj);
    if (raw && raw.dtype().is(py::dtype::of<std::int64_t>()) && raw.ndim() == 1 &&
        static_cast<std::size_t>(raw.shape(0)) == n) {
        out.resize(n);
        const char* at = static_cast<const char*>(raw.data());
        for (std::size_t i = 0; i < n; ++i)
            std::memcpy(&out[i], at + static_cast<py::ssize_t>(i) * raw.strides(0), sizeof(std::int64_t));
        return;
    }
    const AnyF64 a = float_column(obj, name);
    if (a.ndim() != 1 || static_cast<std::size_t>(a.shape(0)) != n)
        refuse(std::string("evaluate_sequence: ") + name + " must be a 1-D array of " + std::to_string(n) +
               " values (one per box)");
    out.resize(n);
    if (n == 0) return;
    // Within 2**53 (NaN fails too), then whole: the conversion is exact, and
    // converts back to the same value; anything else is replaced by 0.5, whose
    // conversion (0) does not.
    const char* at = reinterpret_cast<const char*>(a.data());
    const py::ssize_t step = a.strides(0);
    unsigned broken = 0;
    for (std::size_t i = 0; i < n; ++i) {
        double v;
        std::memcpy(&v, at + static_cast<py::ssize_t>(i) * step, sizeof v);
        const std::int64_t k = static_cast<std::int64_t>(std::fabs(v) <= 9007199254740992.0 ? v : 0.5);
        broken |= static_cast<unsigned>(static_cast<double>(k) != v);
        out[i] = k;
    }
    for (std::size_t i = 0; broken != 0 && i < n; ++i) {
        double v;
        std::memcpy(&v, at + static_cast<py::ssize_t>(i) * step, sizeof v);
        if (static_cast<double>(out[i]) != v)
            refuse(std::string("evaluate_sequence: ") + name + "[" + std::to_string(i) + "] is not an integer");
    }
}

// The integer columns of one side at once. A contiguous int64 column is read
// in place; the others are converted in one pass over the rows (the columns
// of a loaded table lie side by side in memory, so each row's values are
// read together). False, leaving `out` unset, when a column is not a 1-D
// array of n numbers or holds anything but whole numbers of at most 2**53 in
// magnitude: integer_column, column by column, then names the fault.
struct IntegerSource {
    const py::handle* obj;
    std::vector<std::int64_t>* store;
    const std::int64_t** out;
};

bool integer_columns(const IntegerSource* sources, std::size_t count, std::size_t n, std::vector<py::object>& alive) {
    struct Pass {
        const char* at;
        py::ssize_t step;
        bool whole;  // int64
        std::int64_t* to;
    };
    Pass pass[4];
    std::size_t m = 0;
    for (std::size_t q = 0; q < count; ++q) {
        const IntegerSource& s = sources[q];
        py::array a = py::array::ensure(*s.obj);
        if (!a || a.ndim() != 1 || static_cast<std::size_t>(a.shape(0)) != n) return false;
        const bool whole = a.dtype().is(py::dtype::of<std::int64_t>());
        if (whole && a.strides(0) == static_cast<py::ssize_t>(sizeof(std::int64_t)) &&
            reinterpret_cast<std::uintptr_t>(a.data()) % alignof(std::int64_t) == 0) {
            *s.out = static_cast<const std::int64_t*>(a.data());
            alive.push_back(std::move(a));
            continue;
        }
        if (!whole) {
            AnyF64 f = AnyF64::ensure(a);
            if (!f) return false;
            a = std::move(f);
        }
        s.store->resize(n);
        pass[m++] = {static_cast<const char*>(a.data()), a.strides(0), whole, s.store->data()};
        alive.push_back(std::move(a));
    }
    // Blocks of rows, column by column within a block: the block's part of
    // the table stays in cache from one column to the next.
    constexpr std::size_t kBlock = 512;
    unsigned broken = 0;
    for (std::size_t first = 0; first < n; first += kBlock) {
        const std::size_t end = std::min(n, first + kBlock);
        for (std::size_t q = 0; q < m; ++q) {
            const Pass& p = pass[q];
            const char* from = p.at + static_cast<py::ssize_t>(first) * p.step;
            if (p.whole) {
                for (std::size_t i = first; i < end; ++i, from += p.step)
                    std::memcpy(p.to + i, from, sizeof(std::int64_t));
                continue;
            }
            // Within 2**53 (NaN fails too), then whole: the conversion is
            // exact, and converts back to the same value; anything else is
            // replaced by 0.5, whose conversion (0) does not.
            for (std::size_t i = first; i < end; ++i, from += p.step) {
                double v;
                std::memcpy(&v, from, sizeof v);
                const std::int64_t k = static_cast<std::int64_t>(std::fabs(v) <= 9007199254740992.0 ? v : 0.5);
                broken |= static_cast<unsigned>(static_cast<double>(k) != v);
                p.to[i] = k;
            }
        }
    }
    if (broken != 0) return false;
    for (std::size_t q = 0; q < count; ++q)
        if (*sources[q].out == nullptr) *sources[q].out = sources[q].store->data();
    return true;
}

// (N, 4) boxes; an empty array of any shape is no boxes. Rows of four
// adjacent values are read in place (the rows may be apart), others copied.
struct BoxColumns {
    std::size_t count = 0, stride = 4;
    const double* data = nullptr;
    F64Array copy;
};

BoxColumns box_rows(const AnyF64& boxes, const char* name) {
    BoxColumns b;
    if (boxes.size() == 0) return b;
    if (boxes.ndim() != 2 || boxes.shape(1) != 4)
        refuse(std::string("evaluate_sequence: ") + name + " must be an (N, 4) array of left, top, width, height");
    b.count = static_cast<std::size_t>(boxes.shape(0));
    constexpr py::ssize_t kDouble = sizeof(double);
    if (boxes.strides(1) == kDouble && boxes.strides(0) >= 0 && boxes.strides(0) % kDouble == 0) {
        b.data = boxes.data();
        b.stride = static_cast<std::size_t>(boxes.strides(0) / kDouble);
    } else {
        b.copy = F64Array::ensure(boxes);
        b.data = b.copy.data();
    }
    return b;
}

ev::GroundTruthFormat parse_format(const std::string& fmt) {
    if (fmt == "2015") return ev::GroundTruthFormat::Mot15;
    if (fmt == "2017") return ev::GroundTruthFormat::Mot17;
    refuse("evaluate_sequence: fmt must be '2015' or '2017', got '" + fmt + "'");
}

py::array_t<std::int64_t> i64_alphas(const std::array<std::int64_t, ev::kAlphaCount>& v) {
    auto out = new_i64({kAlphas});
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

F64Array f64_alphas(const std::array<double, ev::kAlphaCount>& v) {
    F64Array out = new_f64({kAlphas});
    std::copy(v.begin(), v.end(), out.mutable_data());
    return out;
}

py::dict counts_to_dict(const ev::SequenceCounts& c) {
    py::dict d;
    d["hota_tp"] = i64_alphas(c.hota_tp);
    d["hota_fn"] = i64_alphas(c.hota_fn);
    d["hota_fp"] = i64_alphas(c.hota_fp);
    d["ass_a"] = f64_alphas(c.ass_a);
    d["ass_re"] = f64_alphas(c.ass_re);
    d["ass_pr"] = f64_alphas(c.ass_pr);
    d["loc_a"] = f64_alphas(c.loc_a);
    d["clr_tp"] = c.clr_tp;
    d["clr_fn"] = c.clr_fn;
    d["clr_fp"] = c.clr_fp;
    d["idsw"] = c.idsw;
    d["mt"] = c.mt;
    d["pt"] = c.pt;
    d["ml"] = c.ml;
    d["frag"] = c.frag;
    d["motp_sum"] = c.motp_sum;
    d["idtp"] = c.idtp;
    d["idfn"] = c.idfn;
    d["idfp"] = c.idfp;
    d["frames"] = c.frames;
    d["gt_dets"] = c.gt_dets;
    d["tracker_dets"] = c.tracker_dets;
    d["gt_ids"] = c.gt_ids;
    d["tracker_ids"] = c.tracker_ids;
    return d;
}

py::dict metrics_to_dict(const ev::Metrics& m) {
    py::dict d;
    d["HOTA"] = m.hota;
    d["DetA"] = m.det_a;
    d["AssA"] = m.ass_a;
    d["LocA"] = m.loc_a;
    d["DetRe"] = m.det_re;
    d["DetPr"] = m.det_pr;
    d["AssRe"] = m.ass_re;
    d["AssPr"] = m.ass_pr;
    d["MOTA"] = m.mota;
    d["MOTP"] = m.motp;
    d["IDF1"] = m.idf1;
    d["IDP"] = m.idp;
    d["IDR"] = m.idr;
    d["IDSW"] = m.idsw;
    d["FP"] = m.fp;
    d["FN"] = m.fn;
    d["MT"] = m.mt;
    d["PT"] = m.pt;
    d["ML"] = m.ml;
    d["Frag"] = m.frag;
    return d;
}

// The record of one sequence back from Python: every key present, the
// per-alpha values 19 each, the counts whole numbers.
class RecordReader {
public:
    RecordReader(const py::handle& record, std::size_t index) : index_(index) {
        if (!py::isinstance<py::dict>(record)) fail("is not a dict");
        dict_ = py::reinterpret_borrow<py::dict>(record);
    }
    py::object item(const char* key) const {
        if (!dict_.contains(key)) fail(std::string("lacks '") + key + "'");
        return dict_[key];
    }
    std::int64_t count(const char* key) const {
        const double v = item(key).cast<double>();
        if (!(std::trunc(v) == v) || std::fabs(v) > 9007199254740992.0) fail(std::string("'") + key + "' is not an integer");
        return static_cast<std::int64_t>(v);
    }
    double real(const char* key) const { return item(key).cast<double>(); }
    F64Array per_alpha(const char* key) const {
        F64Array a = F64Array::ensure(item(key));
        if (!a || a.ndim() != 1 || a.shape(0) != kAlphas) fail(std::string("'") + key + "' must hold 19 values");
        return a;
    }
    void reals(const char* key, std::array<double, ev::kAlphaCount>& out) const {
        F64Array a = per_alpha(key);
        std::copy(a.data(), a.data() + kAlphas, out.begin());
    }
    void counts(const char* key, std::array<std::int64_t, ev::kAlphaCount>& out) const {
        F64Array a = per_alpha(key);
        for (std::size_t k = 0; k < ev::kAlphaCount; ++k) {
            const double v = a.data()[k];
            if (!(std::trunc(v) == v)) fail(std::string("'") + key + "' holds a value that is not an integer");
            out[k] = static_cast<std::int64_t>(v);
        }
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        refuse("combine_evaluations: record " + std::to_string(index_) + " " + what);
    }
    py::dict dict_;
    std::size_t index_;
};

ev::SequenceCounts counts_from_dict(const py::handle& record, std::size_t index) {
    const RecordReader r(record, index);
    ev::SequenceCounts c;
    r.counts("hota_tp", c.hota_tp);
    r.counts("hota_fn", c.hota_fn);
    r.counts("hota_fp", c.hota_fp);
    r.reals("ass_a", c.ass_a);
    r.reals("ass_re", c.ass_re);
    r.reals("ass_pr", c.ass_pr);
    r.reals("loc_a", c.loc_a);
    c.clr_tp = r.count("clr_tp");
    c.clr_fn = r.count("clr_fn");
    c.clr_fp = r.count("clr_fp");
    c.idsw = r.count("idsw");
    c.mt = r.count("mt");
    c.pt = r.count("pt");
    c.ml = r.count("ml");
    c.frag = r.count("frag");
    c.motp_sum = r.real("motp_sum");
    c.idtp = r.count("idtp");
    c.idfn = r.count("idfn");
    c.idfp = r.count("idfp");
    c.frames = r.count("frames");
    c.gt_dets = r.count("gt_dets");
    c.tracker_dets = r.count("tracker_dets");
    c.gt_ids = r.count("gt_ids");
    c.tracker_ids = r.count("tracker_ids");
    return c;
}

py::array_t<std::int64_t> to_i64(const std::vector<std::int64_t>& values) {
    auto out = new_i64({static_cast<py::ssize_t>(values.size())});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

}  // namespace

void bind_evaluation(py::module_& m) {
    m.def(
        "evaluate_sequence",
        [](const py::object& gt_frames, const py::object& gt_ids, const AnyF64& gt_boxes,
           const py::object& tracker_frames, const py::object& tracker_ids, const AnyF64& tracker_boxes,
           int num_frames, const std::string& fmt, const py::object& gt_flags, const py::object& gt_classes,
           bool full_matrices) {
            const ev::GroundTruthFormat format = parse_format(fmt);
            const bool mot17 = format == ev::GroundTruthFormat::Mot17;
            const BoxColumns gb = box_rows(gt_boxes, "gt_boxes");
            const BoxColumns tb = box_rows(tracker_boxes, "tracker_boxes");
            IntegerColumns& c = thread_columns();
            const std::int64_t *gf = nullptr, *gi = nullptr, *tf = nullptr, *ti = nullptr, *fl = nullptr,
                               *cl = nullptr;
            std::vector<py::object> alive;  // arrays read in place
            const IntegerSource tracker_sources[] = {{&tracker_frames, &c.tracker_frames, &tf},
                                                     {&tracker_ids, &c.tracker_ids, &ti}};
            IntegerSource gt_sources[4] = {{&gt_frames, &c.gt_frames, &gf}, {&gt_ids, &c.gt_ids, &gi}};
            std::size_t ng = 2;
            if (!gt_flags.is_none()) gt_sources[ng++] = {&gt_flags, &c.flags, &fl};
            if (!gt_classes.is_none()) gt_sources[ng++] = {&gt_classes, &c.classes, &cl};
            const bool read = (mot17 ? !gt_flags.is_none() && !gt_classes.is_none() : gt_classes.is_none()) &&
                              integer_columns(gt_sources, ng, gb.count, alive) &&
                              integer_columns(tracker_sources, 2, tb.count, alive);
            if (!read) {
                // Column by column, to name the fault.
                integer_column(gt_frames, gb.count, "gt_frames", c.gt_frames);
                integer_column(gt_ids, gb.count, "gt_ids", c.gt_ids);
                integer_column(tracker_frames, tb.count, "tracker_frames", c.tracker_frames);
                integer_column(tracker_ids, tb.count, "tracker_ids", c.tracker_ids);
                if (mot17) {
                    if (gt_flags.is_none() || gt_classes.is_none())
                        refuse("evaluate_sequence: fmt '2017' needs gt_flags and gt_classes");
                    integer_column(gt_flags, gb.count, "gt_flags", c.flags);
                    integer_column(gt_classes, gb.count, "gt_classes", c.classes);
                } else {
                    if (!gt_classes.is_none())
                        refuse("evaluate_sequence: gt_classes is a 2017-format column; fmt '2015' has no classes");
                    if (!gt_flags.is_none()) integer_column(gt_flags, gb.count, "gt_flags", c.flags);
                }
                gf = c.gt_frames.data();
                gi = c.gt_ids.data();
                tf = c.tracker_frames.data();
                ti = c.tracker_ids.data();
                fl = gt_flags.is_none() ? nullptr : c.flags.data();
                cl = mot17 ? c.classes.data() : nullptr;
            }
            ev::GroundTruthRows gt{gb.count, gf, gi, gb.data, fl, mot17 ? cl : nullptr, gb.stride};
            ev::TrackerRows tracker{tb.count, tf, ti, tb.data, tb.stride};
            ev::EvaluationOptions options;
            options.full_matrices = full_matrices;
            const ev::SequenceEvaluation r = ev::evaluate_sequence(gt, tracker, num_frames, format, options);
            c.trim();
            py::dict counts = counts_to_dict(r.counts);
            py::dict full;
            full["distractors"] = r.matching.distractor_full;
            full["hota"] = r.matching.hota_full;
            full["clear"] = r.matching.clear_full;
            counts["full_matrix_frames"] = full;
            return py::make_tuple(counts, metrics_to_dict(r.metrics));
        },
        "Evaluate one sequence (HOTA, CLEAR, Identity) as the official MOTChallenge code does. "
        "Returns (counts, metrics): the counts combine_evaluations needs, and the sequence's metrics. "
        "counts['full_matrix_frames'] tells how many frames had a matching solved on the full matrix "
        "(a tie decided it); full_matrices=True computes every frame on its full matrices (slower, same numbers).",
        py::arg("gt_frames"), py::arg("gt_ids"), py::arg("gt_boxes"), py::arg("tracker_frames"), py::arg("tracker_ids"),
        py::arg("tracker_boxes"), py::arg("num_frames"), py::arg("fmt"), py::arg("gt_flags") = py::none(),
        py::arg("gt_classes") = py::none(), py::arg("full_matrices") = false);

    m.def(
        "combine_evaluations",
        [](const py::sequence& records) {
            std::vector<ev::SequenceCounts> counts;
            counts.reserve(records.size());
            for (std::size_t k = 0; k < records.size(); ++k) counts.push_back(counts_from_dict(records[k], k));
            return metrics_to_dict(ev::combine_sequences(counts));
        },
        "Metrics of several sequences taken together, from their evaluate_sequence counts.", py::arg("records"));

    m.def(
        "linear_assignment_scipy",
        [](const F64Array& cost) {
            if (cost.ndim() != 2) refuse("linear_assignment_scipy: cost must be a 2-D (n, m) array");
            ev::LsapWorkspace ws;
            std::vector<std::int64_t> rows, cols;
            ev::solve_lsap(cost.data(), static_cast<std::size_t>(cost.shape(0)), static_cast<std::size_t>(cost.shape(1)),
                           ws, rows, cols);
            return py::make_tuple(to_i64(rows), to_i64(cols));
        },
        "Rectangular linear assignment (minimisation) with the pairs and pair order of "
        "scipy.optimize.linear_sum_assignment, ties included; the evaluation's solver.",
        py::arg("cost"));
}

}  // namespace loomfeather::bindings
