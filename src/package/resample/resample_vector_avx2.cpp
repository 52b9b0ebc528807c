// Grid rows four at a time with AVX2.
//
// What differs from the other sets' code (see resample_kernel.inc): four rows' nodes are
// loaded on their own and transposed into lanes, and microseconds convert through the
// bits of trunc(x) + 2^52 (AVX2 has no conversion of doubles to int64).
#include <bit>
#include <cstddef>
#include <cstdint>

#include "package/resample/resample_vector.hpp"
#include "packet/time.hpp"

#if defined(TG_X86_KERNELS)
#include <immintrin.h>
// GCC's intrinsic headers start some results from a deliberately undefined register.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

// Compiled for AVX2, which the callers check that the processor has; every function of
// the layer and of the arithmetic is inlined into the entry points.
#define TG_TARGET __attribute__((target("avx2")))
#define TG_INLINE inline __attribute__((always_inline, target("avx2")))

namespace tiltgram::resample_vector::avx2 {

constexpr int kLanes = 4;
using V = __m256d;

TG_INLINE V splat(double x) noexcept { return _mm256_set1_pd(x); }
constexpr V kIota = {0.0, 1.0, 2.0, 3.0};
template <double x>
TG_INLINE V constant() noexcept { return splat(x); }

// A set of lanes: all ones or zero in each, as the comparisons leave them.
using M = __m256d;
TG_INLINE M less(V a, V b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
TG_INLINE M at_most(V a, V b) noexcept { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
TG_INLINE M at_least(V a, V b) noexcept { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
TG_INLINE M equal(V a, V b) noexcept { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
TG_INLINE M unordered(V a, V b) noexcept { return _mm256_cmp_pd(a, b, _CMP_UNORD_Q); }
TG_INLINE M both(M a, M b) noexcept { return _mm256_and_pd(a, b); }
TG_INLINE M either(M a, M b) noexcept { return _mm256_or_pd(a, b); }
TG_INLINE M but_not(M a, M b) noexcept { return _mm256_andnot_pd(b, a); }
TG_INLINE unsigned bits(M m) noexcept { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
// All-ones lanes for the set bits 0..3 of `b`.
TG_INLINE M lanes_from(unsigned b) noexcept {
  const __m256i bit = _mm256_setr_epi64x(1, 2, 4, 8);
  return _mm256_castsi256_pd(_mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(b), bit), bit));
}
TG_INLINE V select(M m, V a, V b) noexcept { return _mm256_blendv_pd(b, a, m); }
TG_INLINE V absolute(V x) noexcept { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x); }

TG_INLINE V widen(const float* p) noexcept { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }

TG_INLINE void narrow(float* out, V v) noexcept { _mm_storeu_ps(out, _mm256_cvtpd_ps(v)); }

TG_INLINE void fill(float* out, float x) noexcept { _mm_storeu_ps(out, _mm_set1_ps(x)); }

// Each row's four consecutive times loaded on their own and transposed into lanes.
TG_INLINE void gather(const double* times, const std::int32_t* at, V tn[4]) noexcept {
  const V r0 = _mm256_loadu_pd(times + at[0] - 1);
  const V r1 = _mm256_loadu_pd(times + at[1] - 1);
  const V r2 = _mm256_loadu_pd(times + at[2] - 1);
  const V r3 = _mm256_loadu_pd(times + at[3] - 1);
  const V even01 = _mm256_unpacklo_pd(r0, r1), odd01 = _mm256_unpackhi_pd(r0, r1);
  const V even23 = _mm256_unpacklo_pd(r2, r3), odd23 = _mm256_unpackhi_pd(r2, r3);
  tn[0] = _mm256_permute2f128_pd(even01, even23, 0x20);
  tn[1] = _mm256_permute2f128_pd(odd01, odd23, 0x20);
  tn[2] = _mm256_permute2f128_pd(even01, even23, 0x31);
  tn[3] = _mm256_permute2f128_pd(odd01, odd23, 0x31);
}

// The same for float values, transposed as floats and then widened.
TG_INLINE void gather(const float* run, const std::int32_t* at, V y[4]) noexcept {
  __m128 v0 = _mm_loadu_ps(run + at[0] - 1);
  __m128 v1 = _mm_loadu_ps(run + at[1] - 1);
  __m128 v2 = _mm_loadu_ps(run + at[2] - 1);
  __m128 v3 = _mm_loadu_ps(run + at[3] - 1);
  _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
  y[0] = _mm256_cvtps_pd(v0);
  y[1] = _mm256_cvtps_pd(v1);
  y[2] = _mm256_cvtps_pd(v2);
  y[3] = _mm256_cvtps_pd(v3);
}

// 0 <= x < 2^52 truncated converts exactly through the bits of trunc(x) + 2^52.
TG_INLINE void truncate_us(V x, std::int64_t* out) noexcept {
  const V two52 = _mm256_set1_pd(4503599627370496.0);
  const V whole = _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(whole, two52)),
                                       _mm256_castpd_si256(two52)));
}

TG_TARGET void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  const V million = _mm256_set1_pd(1000000.0);
  // 0 <= v < 2^52 converts exactly as the double with v's bits under 2^52's, minus 2^52.
  const __m256i two52_bits = _mm256_set1_epi64x(0x4330000000000000);
  const __m256i high = _mm256_set1_epi64x(static_cast<long long>(0xFFF0000000000000u));
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(us + i));
    V x;
    if (_mm256_testz_si256(v, high)) {
      x = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(v, two52_bits)),
                        _mm256_castsi256_pd(two52_bits));
    } else {
      x = _mm256_setr_pd(static_cast<double>(us[i]), static_cast<double>(us[i + 1]),
                         static_cast<double>(us[i + 2]), static_cast<double>(us[i + 3]));
    }
    _mm256_storeu_pd(out + i, _mm256_div_pd(x, million));
  }
  for (; i < n; ++i) out[i] = static_cast<double>(us[i]) / 1000000.0;
}

#include "package/resample/resample_kernel.inc"
#undef TG_TARGET
#undef TG_INLINE

}  // namespace tiltgram::resample_vector::avx2

#endif
