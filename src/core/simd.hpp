// Optional AVX kernels, chosen at run time. The build targets baseline
// x86-64 (SSE2); a kernel marked LF_TARGET_AVX is compiled for AVX alone,
// which has no fused multiply-add, and runs only when the processor and the
// operating system support AVX. Every such kernel computes exactly the scalar
// formula's operations lane by lane.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define LF_X86_SIMD 1
#include <immintrin.h>
#define LF_TARGET_AVX __attribute__((target("avx")))
#else
#define LF_X86_SIMD 0
#endif

namespace loomfeather {

#if LF_X86_SIMD
namespace detail {
inline bool& avx_switch() {
    static bool on = __builtin_cpu_supports("avx");
    return on;
}
}  // namespace detail

// Whether the AVX kernels run.
inline bool cpu_has_avx() { return detail::avx_switch(); }

// For the tests: false runs the scalar kernels even where AVX is present, so
// that both are checked on one machine; true restores AVX if the processor
// has it. Returns the previous setting.
inline bool use_avx(bool on) {
    const bool previous = detail::avx_switch();
    detail::avx_switch() = on && __builtin_cpu_supports("avx");
    return previous;
}
#else
inline bool cpu_has_avx() { return false; }
inline bool use_avx(bool) { return false; }
#endif

}  // namespace loomfeather
