// The object protocol of the bound classes: instances whose C++ value was
// never built, constructors called on a live instance, copies, state tuples
// for pickling, and the binding library's common base type.
//
// The binding library allocates an instance's C++ value lazily: an object made
// by `T.__new__(T)` without `__init__` (as pickle and copy do, or as a failed
// `__init__` leaves it) would hand its methods uninitialised memory. Every
// method and property therefore takes its `self` as `Live<T>`, which refuses
// such an object with TypeError.
#pragma once
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace loomfeather::bindings {

namespace py = pybind11;

// `self` of a method or property: an instance of T (or of a Python subclass)
// whose C++ value exists. An uninitialised one raises TypeError
// "<T> is not initialised"; an object of another type fails to convert (the
// library's argument-mismatch TypeError).
template <class T>
struct Live {
    py::handle object;
    T* value = nullptr;
    T& operator*() const { return *value; }
    T* operator->() const { return value; }
};

// Whether `self`, an instance of the bound type `type`, holds its C++ value.
bool is_initialised(py::handle self, const py::detail::type_info* type);

// The class name without its module: "TrackerConfig".
std::string class_name(const py::detail::type_info* type);

// To be called once the class is complete. `__init__` and `__setstate__` of a
// bound class build the C++ value of an uninitialised instance; the library
// silently ignores a second call on a live one, these raise TypeError
// "<Class> is already initialised" instead. The library's
// `_pybind11_conduit_v1_` hands other extension modules a raw pointer to the
// value: it raises "<Class> is not initialised" for an instance without one.
void guard_instance_methods(py::handle cls);

// Calling the library's common base type itself (`T.__base__()`, which
// pickle protocols 0 and 1 do through copyreg for a class without a
// __reduce_ex__ of its own) makes the library throw from a C callback and
// abort the interpreter; afterwards it raises TypeError instead. The base type
// is shared by every module built on the library: its instance creation, and
// that of the classes below it, is wrapped, and runs unchanged for every class
// with a C++ type. Called once, after the bound classes are registered.
void guard_common_base();

// A new instance of `cls` (T or a Python subclass of it) that owns `value`;
// what __copy__ and __deepcopy__ return.
template <class T>
py::object adopt(py::handle cls, std::unique_ptr<T> value) {
    const py::detail::type_info* type = py::detail::get_type_info(typeid(T));
    py::object obj = cls.attr("__new__")(cls);
    if (!PyObject_TypeCheck(obj.ptr(), type->type) || is_initialised(obj, type))
        throw py::type_error(class_name(type) + ".__new__ did not return a new instance");
    auto* inst = reinterpret_cast<py::detail::instance*>(obj.ptr());
    py::detail::value_and_holder vh = inst->get_value_and_holder(type);
    vh.value_ptr() = value.release();
    type->init_instance(inst, nullptr);  // the holder takes ownership
    return obj;
}

// The reduce value of `self`: rebuilt by `type(self).__new__` and
// `__setstate__(state)`, never through `__init__`, under every pickle protocol.
py::tuple reduce_value(py::handle self, py::object state);

// __copy__, __deepcopy__ and __reduce_ex__ of a class: `copy` (const T& ->
// std::unique_ptr<T>) makes the independent copy both copies are, and `state`
// (Live<T> -> tuple) is what __getstate__ returns.
template <class T, class Copy, class State>
void def_copy_and_reduce(py::class_<T>& cls, Copy copy, State state) {
    cls.def("__copy__", [copy](Live<T> self) { return adopt<T>(py::type::handle_of(self.object), copy(*self)); })
        .def(
            "__deepcopy__",
            [copy](Live<T> self, const py::object& /*memo*/) {
                return adopt<T>(py::type::handle_of(self.object), copy(*self));
            },
            py::arg("memo"))
        .def(
            "__reduce_ex__", [state](Live<T> self, int /*protocol*/) { return reduce_value(self.object, state(self)); },
            py::arg("protocol"));
}

// Reads a state tuple (or list) field by field; every refusal is a ValueError
// "<what>: <field> ...". Only plain values are accepted: int (not bool) for
// integers, float for reals, bool for flags, bytes of little-endian float64
// for vectors.
class StateReader {
public:
    // Requires a tuple or list of exactly `size` items.
    StateReader(py::handle state, std::string what, std::size_t size);
    // The leading format version, which must be `version`.
    void version(std::int32_t version);
    double real(const char* field);
    std::int32_t int32(const char* field);
    bool flag(const char* field);
    // A tuple or list, returned as a tuple.
    py::tuple sequence(const char* field);
    py::handle next(const char* field);
    // `n` float64 values (n = SIZE_MAX: any number of them).
    std::vector<double> doubles(const char* field, std::size_t n);
    void doubles_into(const char* field, double* out, std::size_t n);

    [[noreturn]] void refuse(const char* field, const std::string& why) const;

private:
    py::tuple items_;
    std::string what_;
    std::size_t index_ = 0;
};

// bytes of little-endian float64 values.
py::bytes to_bytes(const double* values, std::size_t n);

}  // namespace loomfeather::bindings

namespace pybind11::detail {

template <class T>
struct type_caster<loomfeather::bindings::Live<T>> {
    PYBIND11_TYPE_CASTER(loomfeather::bindings::Live<T>, make_caster<T>::name);

    bool load(handle src, bool /*convert*/) {
        const type_info* type = get_type_info(typeid(T));
        if (type == nullptr || !PyObject_TypeCheck(src.ptr(), type->type)) return false;
        if (!loomfeather::bindings::is_initialised(src, type))
            throw type_error(loomfeather::bindings::class_name(type) + " is not initialised");
        value.object = src;
        value.value = static_cast<T*>(reinterpret_cast<instance*>(src.ptr())->get_value_and_holder(type).value_ptr());
        return true;
    }
};

}  // namespace pybind11::detail
