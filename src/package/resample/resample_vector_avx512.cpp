// Grid rows eight at a time with AVX-512 (AVX-512F, DQ and VL).
//
// What differs from the other sets' code (see resample_kernel.inc): masks move to and from
// mask registers, eight rows' nodes are loaded on their own and transposed into lanes with
// two-table permutes, and microseconds and sample times convert with AVX-512DQ's
// conversions between doubles and int64.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "package/resample/resample_vector.hpp"
#include "packet/time.hpp"

#if defined(TG_X86_KERNELS)
#include <immintrin.h>

// Compiled for AVX-512, which the callers check that the processor has; every function of
// the layer and of the arithmetic is inlined into the entry points.
#define TG_TARGET __attribute__((target("avx512f,avx512dq,avx512vl")))
#define TG_INLINE inline __attribute__((always_inline, target("avx512f,avx512dq,avx512vl")))
// GCC's intrinsic headers start some results from a deliberately undefined register.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tiltgram::resample_vector::avx512 {

// Eight rows, a 512-bit register of doubles.
using V = __m512d;
constexpr int kLanes = 8;
constexpr V kIota = {0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0};
TG_INLINE V splat(double x) noexcept { return _mm512_set1_pd(x); }
template <double x>
TG_INLINE V constant() noexcept { return splat(x); }

// A set of lanes: a mask register, combined as an integer.
using M = __mmask8;
TG_INLINE M both(M a, M b) noexcept { return static_cast<M>(a & b); }
TG_INLINE M either(M a, M b) noexcept { return static_cast<M>(a | b); }
TG_INLINE M but_not(M a, M b) noexcept { return static_cast<M>(a & ~b); }
TG_INLINE unsigned bits(M m) noexcept { return m; }
TG_INLINE M lanes_from(unsigned b) noexcept { return static_cast<M>(b); }
TG_INLINE M less(V a, V b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
TG_INLINE M at_most(V a, V b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
TG_INLINE V select(M m, V a, V b) noexcept { return _mm512_mask_blend_pd(m, b, a); }
TG_INLINE M at_least(V a, V b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
TG_INLINE M equal(V a, V b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
TG_INLINE V absolute(V x) noexcept { return _mm512_abs_pd(x); }
TG_INLINE M unordered(V a, V b) noexcept { return _mm512_cmp_pd_mask(a, b, _CMP_UNORD_Q); }

TG_INLINE V widen(const float* p) noexcept { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }

TG_INLINE void narrow(float* out, V v) noexcept { _mm256_storeu_ps(out, _mm512_cvtpd_ps(v)); }

TG_INLINE void fill(float* out, float x) noexcept { _mm256_storeu_ps(out, _mm256_set1_ps(x)); }

// Each row's four consecutive times loaded on their own, rows i and i + 4 side by side,
// and transposed into lanes.
TG_INLINE void gather(const double* times, const std::int32_t* at, V tn[4]) noexcept {
  V z[4];
  for (int i = 0; i < 4; ++i)
    z[i] = _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_loadu_pd(times + at[i] - 1)),
                              _mm256_loadu_pd(times + at[i + 4] - 1), 1);
  // 128-bit lanes of even01: (r0 t0, r1 t0) (r0 t2, r1 t2) (r4 t0, r5 t0) (r4 t2, r5 t2).
  const V even01 = _mm512_unpacklo_pd(z[0], z[1]), odd01 = _mm512_unpackhi_pd(z[0], z[1]);
  const V even23 = _mm512_unpacklo_pd(z[2], z[3]), odd23 = _mm512_unpackhi_pd(z[2], z[3]);
  const __m512i first = _mm512_setr_epi64(0, 1, 8, 9, 4, 5, 12, 13);
  const __m512i third = _mm512_setr_epi64(2, 3, 10, 11, 6, 7, 14, 15);
  tn[0] = _mm512_permutex2var_pd(even01, first, even23);
  tn[1] = _mm512_permutex2var_pd(odd01, first, odd23);
  tn[2] = _mm512_permutex2var_pd(even01, third, even23);
  tn[3] = _mm512_permutex2var_pd(odd01, third, odd23);
}

// The same for float values: rows i and i + 4 side by side, a 4 x 4 transpose in each
// half, then widened.
TG_INLINE void gather(const float* run, const std::int32_t* at, V y[4]) noexcept {
  __m256 p[4];
  for (int i = 0; i < 4; ++i)
    p[i] = _mm256_set_m128(_mm_loadu_ps(run + at[i + 4] - 1), _mm_loadu_ps(run + at[i] - 1));
  const __m256 t0 = _mm256_unpacklo_ps(p[0], p[1]), t1 = _mm256_unpackhi_ps(p[0], p[1]);
  const __m256 t2 = _mm256_unpacklo_ps(p[2], p[3]), t3 = _mm256_unpackhi_ps(p[2], p[3]);
  y[0] = _mm512_cvtps_pd(_mm256_shuffle_ps(t0, t2, 0x44));
  y[1] = _mm512_cvtps_pd(_mm256_shuffle_ps(t0, t2, 0xEE));
  y[2] = _mm512_cvtps_pd(_mm256_shuffle_ps(t1, t3, 0x44));
  y[3] = _mm512_cvtps_pd(_mm256_shuffle_ps(t1, t3, 0xEE));
}

TG_INLINE void truncate_us(V x, std::int64_t* out) noexcept {
  _mm512_storeu_si512(out, _mm512_cvttpd_epi64(x));
}

TG_TARGET void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  const V million = _mm512_set1_pd(1000000.0);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm512_storeu_pd(out + i, _mm512_div_pd(_mm512_cvtepi64_pd(_mm512_loadu_si512(us + i)), million));
  if (i < n) {
    const auto rest = static_cast<__mmask8>((1u << (n - i)) - 1u);
    _mm512_mask_storeu_pd(out + i, rest,
                          _mm512_div_pd(_mm512_cvtepi64_pd(_mm512_maskz_loadu_epi64(rest, us + i)), million));
  }
}

#include "package/resample/resample_kernel.inc"
#undef TG_TARGET
#undef TG_INLINE

}  // namespace tiltgram::resample_vector::avx512

#endif
