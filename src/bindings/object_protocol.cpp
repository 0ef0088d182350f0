#include "bindings/object_protocol.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

// The state vectors are stored as the host's float64 bytes, which must be the
// little-endian layout the state format names.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "state bytes are little-endian float64");

namespace loomfeather::bindings {

namespace pyd = py::detail;

bool is_initialised(py::handle self, const pyd::type_info* type) {
    auto* inst = reinterpret_cast<pyd::instance*>(self.ptr());
    const pyd::value_and_holder vh = inst->get_value_and_holder(type, /*throw_if_missing=*/false);
    return vh && vh.holder_constructed();
}

std::string class_name(const pyd::type_info* type) {
    const char* full = type->type->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot != nullptr ? dot + 1 : full;
}

namespace {

// --- guarded methods -----------------------------------------------------------
// A method of the class replaced by a function that checks `self` before
// calling the original. C-level, because the library handles a method named
// __init__ or __setstate__ (its constructors) before any code of ours runs.

struct Guard {
    PyObject* original;  // the library's function, called with self first
    const pyd::type_info* type;
    bool refuse_live;  // true: refuse an initialised self; false: an uninitialised one
    PyMethodDef def;
};

extern "C" PyObject* call_guarded(PyObject* capsule, PyObject* args, PyObject* kwargs) {
    const auto* g = static_cast<const Guard*>(PyCapsule_GetPointer(capsule, nullptr));
    if (g == nullptr) return nullptr;
    try {
        if (PyTuple_GET_SIZE(args) > 0) {
            PyObject* self = PyTuple_GET_ITEM(args, 0);
            if (PyObject_TypeCheck(self, g->type->type) && is_initialised(self, g->type) == g->refuse_live) {
                const std::string text =
                    class_name(g->type) + (g->refuse_live ? " is already initialised" : " is not initialised");
                PyErr_SetString(PyExc_TypeError, text.c_str());
                return nullptr;
            }
        }
    } catch (const std::exception& e) {  // nothing may leave a C callback
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    }
    return PyObject_Call(g->original, args, kwargs);
}

void guard(py::handle cls, const pyd::type_info* type, const char* name, bool refuse_live) {
    py::object method = py::reinterpret_borrow<py::object>(cls).attr("__dict__")[name];
    if (!PyInstanceMethod_Check(method.ptr())) throw std::logic_error(std::string("guard: no method ") + name);
    // Lives as long as the class; the module is never unloaded.
    auto* g = new Guard{PyInstanceMethod_GET_FUNCTION(method.ptr()), type, refuse_live, {}};
    Py_INCREF(g->original);
    const py::object doc = py::reinterpret_borrow<py::object>(g->original).attr("__doc__");
    g->def.ml_name = name;
    g->def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&call_guarded));
    g->def.ml_flags = METH_VARARGS | METH_KEYWORDS;
    g->def.ml_doc = doc.is_none() ? nullptr : strdup(doc.cast<std::string>().c_str());
    py::object capsule = py::reinterpret_steal<py::object>(PyCapsule_New(g, nullptr, nullptr));
    if (!capsule) throw py::error_already_set();
    py::object function = py::reinterpret_steal<py::object>(PyCFunction_NewEx(&g->def, capsule.ptr(), nullptr));
    if (!function) throw py::error_already_set();
    py::object bound = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!bound) throw py::error_already_set();
    py::setattr(cls, name, bound);
}

// --- the common base type ----------------------------------------------------------

newfunc base_new = nullptr;  // the library's own tp_new of its base type

extern "C" PyObject* new_bound_instance(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        if (pyd::all_type_info(type).empty()) {
            PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
            return nullptr;
        }
    } catch (const std::exception& e) {  // the lookup builds a cache entry
        PyErr_SetString(PyExc_MemoryError, e.what());
        return nullptr;
    }
    return base_new(type, args, kwargs);
}

}  // namespace

void guard_instance_methods(py::handle cls) {
    const pyd::type_info* type = pyd::get_type_info(reinterpret_cast<PyTypeObject*>(cls.ptr()));
    const py::dict members = cls.attr("__dict__");
    guard(cls, type, "__init__", true);
    if (members.contains("__setstate__")) guard(cls, type, "__setstate__", true);
    guard(cls, type, "_pybind11_conduit_v1_", false);
}

void guard_common_base() {
    auto* base = reinterpret_cast<PyTypeObject*>(pyd::get_internals().instance_base);
    if (base->tp_new == &new_bound_instance) return;
    base_new = base->tp_new;
    // Every class below the base took its tp_new from it when it was made, and
    // must keep agreeing with it: `Class.__new__` is the base's __new__, which
    // refuses a class whose tp_new differs from its own as unsafe. Classes that
    // define a __new__ of their own keep it.
    std::vector<PyTypeObject*> pending{base};
    while (!pending.empty()) {
        PyTypeObject* type = pending.back();
        pending.pop_back();
        if (type->tp_new == base_new) {
            type->tp_new = &new_bound_instance;
            PyType_Modified(type);
        }
        const py::list below = py::handle(reinterpret_cast<PyObject*>(type)).attr("__subclasses__")();
        for (const py::handle sub : below) pending.push_back(reinterpret_cast<PyTypeObject*>(sub.ptr()));
    }
}

py::tuple reduce_value(py::handle self, py::object state) {
    py::object cls = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())));
    // copyreg.__newobj__(cls) is cls.__new__(cls): pickle's NEWOBJ under
    // protocols 2 and up, an ordinary call below.
    return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"), py::make_tuple(cls), std::move(state));
}

// --- state tuples ------------------------------------------------------------------

StateReader::StateReader(py::handle state, std::string what, std::size_t size) : what_(std::move(what)) {
    if (!PyTuple_Check(state.ptr()) && !PyList_Check(state.ptr()))
        throw py::value_error(what_ + " must be a tuple or list");
    items_ = py::reinterpret_steal<py::tuple>(PySequence_Tuple(state.ptr()));
    if (!items_) throw py::error_already_set();
    if (items_.size() != size)
        throw py::value_error(what_ + " must have " + std::to_string(size) + " items, not " +
                              std::to_string(items_.size()));
}

void StateReader::refuse(const char* field, const std::string& why) const {
    throw py::value_error(what_ + ": " + field + " " + why);
}

py::handle StateReader::next(const char* field) {
    if (index_ >= items_.size()) refuse(field, "is missing");
    return items_[index_++];
}

void StateReader::version(std::int32_t expected) {
    const std::int32_t v = int32("format version");
    if (v != expected)
        throw py::value_error(what_ + ": format version " + std::to_string(v) + " is not supported (this build reads " +
                              std::to_string(expected) + ")");
}

double StateReader::real(const char* field) {
    const py::handle h = next(field);
    if (!PyFloat_Check(h.ptr())) refuse(field, "must be a float");
    return PyFloat_AS_DOUBLE(h.ptr());
}

std::int32_t StateReader::int32(const char* field) {
    const py::handle h = next(field);
    if (!PyLong_Check(h.ptr()) || PyBool_Check(h.ptr())) refuse(field, "must be an int");
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow != 0 || v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
        refuse(field, "must fit in int32");
    return static_cast<std::int32_t>(v);
}

bool StateReader::flag(const char* field) {
    const py::handle h = next(field);
    if (!PyBool_Check(h.ptr())) refuse(field, "must be a bool");
    return h.ptr() == Py_True;
}

py::tuple StateReader::sequence(const char* field) {
    const py::handle h = next(field);
    if (!PyTuple_Check(h.ptr()) && !PyList_Check(h.ptr())) refuse(field, "must be a tuple or list");
    auto t = py::reinterpret_steal<py::tuple>(PySequence_Tuple(h.ptr()));
    if (!t) throw py::error_already_set();
    return t;
}

std::vector<double> StateReader::doubles(const char* field, std::size_t n) {
    const py::handle h = next(field);
    if (!PyBytes_Check(h.ptr())) refuse(field, "must be bytes");
    const auto size = static_cast<std::size_t>(PyBytes_GET_SIZE(h.ptr()));
    if (size % sizeof(double) != 0 || (n != SIZE_MAX && size != n * sizeof(double)))
        refuse(field, n == SIZE_MAX ? "must hold whole float64 values"
                                    : "must hold " + std::to_string(n) + " float64 values");
    std::vector<double> out(size / sizeof(double));
    if (size > 0) std::memcpy(out.data(), PyBytes_AS_STRING(h.ptr()), size);
    return out;
}

void StateReader::doubles_into(const char* field, double* out, std::size_t n) {
    const std::vector<double> v = doubles(field, n);
    std::copy(v.begin(), v.end(), out);
}

py::bytes to_bytes(const double* values, std::size_t n) {
    return py::bytes(reinterpret_cast<const char*>(values), n * sizeof(double));
}

}  // namespace loomfeather::bindings
