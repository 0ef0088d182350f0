// Running the core without the interpreter lock: releasing it around work
// big enough to be worth it, taking a tracker's mutex without ever waiting
// for it while holding the interpreter lock, and letting a long solve notice
// Ctrl-C.
//
// What runs without the lock touches no Python object. The array arguments
// it reads stay referenced by the call, so their buffers can neither be
// freed nor resized meanwhile (NumPy refuses to resize an array that is
// referenced elsewhere); another thread writing into one during the call
// changes values the call reads, as it would for NumPy's own functions,
// never where it reads. Results are new arrays no other thread can see yet.
#pragma once
#include <pybind11/pybind11.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>

#include "core/assignment.hpp"

namespace loomfeather::bindings {

namespace py = pybind11;

// Work below these sizes is done with the lock held: releasing and taking it
// back (and, in a busy program, waiting for it) would cost more than the
// other threads gain.
constexpr std::size_t kReleaseBoxes = std::size_t{1} << 15;  // conversions, areas, clipping
constexpr std::size_t kReleasePairs = 4096;                  // IoU/GIoU, association costs, appearance
constexpr std::size_t kReleaseGating = 256;                  // gating pairs, Kalman batches (tracks)
constexpr std::size_t kReleaseCostEntries = 1024;            // the solvers

// Releases the interpreter lock for its lifetime when `release` is true.
class ReleaseIf {
public:
    explicit ReleaseIf(bool release) {
        if (release) nogil_.emplace();
    }
    bool released() const { return nogil_.has_value(); }

private:
    std::optional<py::gil_scoped_release> nogil_;
};

// Locks `m` (with the interpreter lock held on entry and on return), waiting
// for it only with the interpreter lock released, so that a thread holding
// `m` and waiting for the interpreter lock cannot deadlock with this one.
inline std::unique_lock<std::mutex> lock_released(std::mutex& m) {
    std::unique_lock<std::mutex> lock(m, std::try_to_lock);
    if (!lock.owns_lock()) {
        py::gil_scoped_release nogil;
        lock.lock();
    }
    return lock;
}

// The poll a solve running without the interpreter lock hands the core: on
// the main thread (the only one Python runs signal handlers on), at most
// every kSignalPeriod it takes the lock back and runs the pending handlers;
// a handler that raised (KeyboardInterrupt) stops the solve, its exception
// left pending.
class SignalPoll {
public:
    SignalPoll();
    StopPoll stop() { return {&SignalPoll::poll, this}; }

private:
    static constexpr std::chrono::milliseconds kSignalPeriod{20};
    static bool poll(void* self);
    bool main_thread_;
    std::chrono::steady_clock::time_point next_;
};

// Runs solve(stop) with the interpreter lock released when the matrix has at
// least kReleaseCostEntries entries, and turns a stop into the pending
// Python exception.
template <class Solve>
auto solve_released(std::size_t entries, Solve&& solve) {
    SignalPoll signals;
    try {
        ReleaseIf nogil(entries >= kReleaseCostEntries);
        return solve(nogil.released() ? signals.stop() : StopPoll{});
    } catch (const SolveInterrupted&) {
        throw py::error_already_set();
    }
}

}  // namespace loomfeather::bindings
