// The argument and result kinds every binding uses, and the two shared
// box-shape rules. The only header besides the bind_*.cpp files that sees
// Python types.
#pragma once
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <initializer_list>

namespace loomfeather::bindings {

namespace py = pybind11;

// Any array-like, force-cast to a C-contiguous, aligned float64 array. An
// argument that already is one is passed through without a copy. Without the
// alignment flag NumPy hands over a misaligned buffer (e.g. from a byte offset
// into a bytes object) as it is, and every double read from it is undefined
// behaviour (flagged by the sanitizer build).
using F64Array =
    py::array_t<double, py::array::c_style | py::array::forcecast | py::detail::npy_api::NPY_ARRAY_ALIGNED_>;

}  // namespace loomfeather::bindings

namespace pybind11::detail {

// The conversion of every float64 array argument. NumPy's forced cast decides;
// when it fails, the failure is the argument's (a text that spells no number,
// a ragged list) and the library raises its argument-mismatch TypeError -
// unless it is a MemoryError or no error of the argument at all
// (KeyboardInterrupt, SystemExit: anything that is not an Exception), which
// propagates as itself.
template <>
struct pyobject_caster<loomfeather::bindings::F64Array> {
    using type = loomfeather::bindings::F64Array;

    bool load(handle src, bool convert) {
        if (!convert && !type::check_(src)) return false;
        try {
            value = type(reinterpret_borrow<object>(src));
        } catch (error_already_set& e) {
            if (e.matches(PyExc_MemoryError) || !e.matches(PyExc_Exception)) throw;
            return false;
        }
        return true;
    }

    static handle cast(const handle& src, return_value_policy /*policy*/, handle /*parent*/) {
        return src.inc_ref();
    }
    PYBIND11_TYPE_CASTER(type, handle_type_name<type>::name);
};

}  // namespace pybind11::detail

namespace loomfeather::bindings {

// Fresh, caller-owned results.
F64Array new_f64(std::initializer_list<py::ssize_t> shape);
py::array_t<std::int64_t> new_i64(std::initializer_list<py::ssize_t> shape);

// A checked box argument: the converted array, the number of boxes and
// whether it was a single (4,) box.
struct BoxArrayView {
    F64Array array;
    std::uint64_t count;
    bool single;
    const double* data() const { return array.data(); }
};

// (4,) or (N, 4); used by the conversions, box_area and clip_boxes.
BoxArrayView parse_box_array(const F64Array& array, const char* name);
// (N, 4) or a flat (4k,); used by the pairwise matrices.
BoxArrayView parse_box_set(const F64Array& array, const char* name);

// Number of elements of an array, 1 for a 0-dimensional one.
inline std::uint64_t element_count(const py::array& a) { return static_cast<std::uint64_t>(a.size()); }

}  // namespace loomfeather::bindings
