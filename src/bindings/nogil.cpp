#include "bindings/nogil.hpp"

#include <pythread.h>

namespace loomfeather::bindings {

SignalPoll::SignalPoll() : next_(std::chrono::steady_clock::now() + kSignalPeriod) {
    // Built with the interpreter lock held.
    static const unsigned long main_ident =
        py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    main_thread_ = PyThread_get_thread_ident() == main_ident;
}

bool SignalPoll::poll(void* self) {
    auto* s = static_cast<SignalPoll*>(self);
    if (!s->main_thread_) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now < s->next_) return false;
    s->next_ = now + kSignalPeriod;
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(gil);
    return raised;
}

}  // namespace loomfeather::bindings
