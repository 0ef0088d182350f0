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

// Loads four packed 4-value records (16 doubles from p) and returns them as
// four lanes: lane[k] holds value k of each record.
LF_TARGET_AVX inline void load_transposed4(const double* p, __m256d lane[4]) {
    const __m256d r0 = _mm256_loadu_pd(p), r1 = _mm256_loadu_pd(p + 4);
    const __m256d r2 = _mm256_loadu_pd(p + 8), r3 = _mm256_loadu_pd(p + 12);
    const __m256d t0 = _mm256_unpacklo_pd(r0, r1), t1 = _mm256_unpackhi_pd(r0, r1);
    const __m256d t2 = _mm256_unpacklo_pd(r2, r3), t3 = _mm256_unpackhi_pd(r2, r3);
    lane[0] = _mm256_permute2f128_pd(t0, t2, 0x20);
    lane[1] = _mm256_permute2f128_pd(t1, t3, 0x20);
    lane[2] = _mm256_permute2f128_pd(t0, t2, 0x31);
    lane[3] = _mm256_permute2f128_pd(t1, t3, 0x31);
}

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
