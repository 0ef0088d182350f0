#include "bindings/array_args.hpp"

#include <stdexcept>
#include <string>

namespace loomfeather::bindings {

F64Array new_f64(std::initializer_list<py::ssize_t> shape) {
    return F64Array(std::vector<py::ssize_t>(shape));
}

py::array_t<std::int64_t> new_i64(std::initializer_list<py::ssize_t> shape) {
    return py::array_t<std::int64_t>(std::vector<py::ssize_t>(shape));
}

namespace {

[[noreturn]] void refuse(const char* name, const char* text) {
    throw std::invalid_argument(std::string(name) + text);
}

// Shared tail of both rules: neither 1-D nor a (N, 4) matrix.
BoxArrayView parse_2d(const F64Array& array, const char* name) {
    if (array.ndim() != 2) refuse(name, ": expected shape (4,) or (N, 4)");
    if (array.shape(1) != 4) refuse(name, ": a 2-D box array must be (N, 4)");
    return {array, static_cast<std::uint64_t>(array.shape(0)), false};
}

}  // namespace

BoxArrayView parse_box_array(const F64Array& array, const char* name) {
    if (array.ndim() == 1) {
        if (array.shape(0) != 4) refuse(name, ": a 1-D box must have 4 values");
        return {array, 1, true};
    }
    return parse_2d(array, name);
}

BoxArrayView parse_box_set(const F64Array& array, const char* name) {
    if (array.ndim() == 1) {
        if (array.shape(0) % 4 != 0) refuse(name, ": 1-D input must be a multiple of 4");
        return {array, static_cast<std::uint64_t>(array.shape(0) / 4), false};
    }
    return parse_2d(array, name);
}

}  // namespace loomfeather::bindings
