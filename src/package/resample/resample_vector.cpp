// Grid rows two at a time with SSE2, the x86-64 baseline; on other processors the same
// arithmetic in the plain build (two-lane vectors, as the compiler lowers them there).
//
// What differs from the other sets' code (see resample_kernel.inc): masks move to bits
// with movemask, blends are and/andnot/or, two rows' nodes are loaded on their own and
// interleaved into lanes, and microseconds convert one lane at a time (SSE2 has no
// conversion of two doubles to int64).
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "package/resample/resample_vector.hpp"
#include "packet/time.hpp"

#if defined(TG_X86_KERNELS)
#include <emmintrin.h>
#endif

namespace tiltgram::resample_vector {

#if defined(TG_X86_KERNELS)

bool any_nan(const float* values, std::size_t n) noexcept {
  __m128 nan = _mm_setzero_ps();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 v = _mm_loadu_ps(values + i);
    nan = _mm_or_ps(nan, _mm_cmpunord_ps(v, v));
  }
  bool any = _mm_movemask_ps(nan) != 0;
  for (; i < n; ++i) any = any || values[i] != values[i];
  return any;
}

#else

bool any_nan(const float* values, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i)
    if (values[i] != values[i]) return true;
  return false;
}

#endif

namespace sse2 {

// The baseline: every function of the layer and of the arithmetic is inlined into the
// entry points.
#define TG_TARGET
#define TG_INLINE inline __attribute__((always_inline))

constexpr int kLanes = 2;

#if defined(TG_X86_KERNELS)

using V = __m128d;
using I = __m128i;

TG_INLINE V splat(double x) noexcept { return _mm_set1_pd(x); }
constexpr V kIota = {0.0, 1.0};
template <double x>
struct alignas(16) Constant {
  static constexpr double lanes[2] = {x, x};
};
template <double x>
TG_INLINE V constant() noexcept { return _mm_load_pd(Constant<x>::lanes); }

// A set of lanes: all ones or zero in each, as the comparisons leave them.
using M = __m128d;
TG_INLINE M less(V a, V b) noexcept { return _mm_cmplt_pd(a, b); }
TG_INLINE M at_most(V a, V b) noexcept { return _mm_cmple_pd(a, b); }
TG_INLINE M at_least(V a, V b) noexcept { return _mm_cmpge_pd(a, b); }
TG_INLINE M equal(V a, V b) noexcept { return _mm_cmpeq_pd(a, b); }
TG_INLINE M unordered(V a, V b) noexcept { return _mm_cmpunord_pd(a, b); }
TG_INLINE M both(M a, M b) noexcept { return _mm_and_pd(a, b); }
TG_INLINE M either(M a, M b) noexcept { return _mm_or_pd(a, b); }
TG_INLINE M but_not(M a, M b) noexcept { return _mm_andnot_pd(b, a); }
TG_INLINE unsigned bits(M m) noexcept { return static_cast<unsigned>(_mm_movemask_pd(m)); }
TG_INLINE M lanes_from(unsigned b) noexcept {
  return _mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>((b >> 1) & 1),
                                         -static_cast<long long>(b & 1)));
}
TG_INLINE V select(M m, V a, V b) noexcept { return _mm_or_pd(_mm_and_pd(m, a), _mm_andnot_pd(m, b)); }
TG_INLINE V absolute(V x) noexcept {
  return _mm_and_pd(x, _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFF)));
}

TG_INLINE V widen(const float* p) noexcept {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const I*>(p))));
}

TG_INLINE void narrow(float* out, V v) noexcept {
  _mm_storel_pi(reinterpret_cast<__m64*>(out), _mm_cvtpd_ps(v));
}

TG_INLINE void fill(float* out, float x) noexcept {
  _mm_storel_pi(reinterpret_cast<__m64*>(out), _mm_set1_ps(x));
}

// Node k of both rows: two rows' four consecutive values, interleaved into lanes.
TG_INLINE void gather(const double* times, const std::int32_t* at, V tn[4]) noexcept {
  const double* p = times + at[0] - 1;
  const double* q = times + at[1] - 1;
  const V ra = _mm_loadu_pd(p), rb = _mm_loadu_pd(p + 2);
  const V sa = _mm_loadu_pd(q), sb = _mm_loadu_pd(q + 2);
  tn[0] = _mm_unpacklo_pd(ra, sa);
  tn[1] = _mm_unpackhi_pd(ra, sa);
  tn[2] = _mm_unpacklo_pd(rb, sb);
  tn[3] = _mm_unpackhi_pd(rb, sb);
}

TG_INLINE void gather(const float* run, const std::int32_t* at, V y[4]) noexcept {
  const __m128 a = _mm_loadu_ps(run + at[0] - 1);
  const __m128 b = _mm_loadu_ps(run + at[1] - 1);
  const __m128 lo = _mm_unpacklo_ps(a, b);  // a0 b0 a1 b1
  const __m128 hi = _mm_unpackhi_ps(a, b);  // a2 b2 a3 b3
  y[0] = _mm_cvtps_pd(lo);
  y[1] = _mm_cvtps_pd(_mm_movehl_ps(lo, lo));
  y[2] = _mm_cvtps_pd(hi);
  y[3] = _mm_cvtps_pd(_mm_movehl_ps(hi, hi));
}

TG_INLINE void truncate_us(V x, std::int64_t* out) noexcept {
  out[0] = _mm_cvttsd_si64(x);
  out[1] = _mm_cvttsd_si64(_mm_unpackhi_pd(x, x));
}

// Two at a time; 0 <= v < 2^52 converts exactly as the double with v's bits under 2^52's,
// minus 2^52.
void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  const V million = _mm_set1_pd(1000000.0);
  const I two52_bits = _mm_set1_epi64x(0x4330000000000000);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    if ((static_cast<std::uint64_t>(us[i]) | static_cast<std::uint64_t>(us[i + 1])) >> 52 != 0) {
      out[i] = static_cast<double>(us[i]) / 1000000.0;
      out[i + 1] = static_cast<double>(us[i + 1]) / 1000000.0;
      continue;
    }
    const I v = _mm_loadu_si128(reinterpret_cast<const I*>(us + i));
    const V x = _mm_sub_pd(_mm_castsi128_pd(_mm_or_si128(v, two52_bits)),
                           _mm_castsi128_pd(two52_bits));
    _mm_storeu_pd(out + i, _mm_div_pd(x, million));
  }
  for (; i < n; ++i) out[i] = static_cast<double>(us[i]) / 1000000.0;
}

#else

// The plain build: the same lanes as GCC/Clang vectors, each operation lane by lane.
using V = double __attribute__((vector_size(16)));

TG_INLINE V splat(double x) noexcept { return V{x, x}; }
constexpr V kIota = {0.0, 1.0};
template <double x>
TG_INLINE V constant() noexcept { return V{x, x}; }

// A set of lanes: all ones or zero in each, as the comparisons leave them.
using M = decltype(V{} < V{});
TG_INLINE M less(V a, V b) noexcept { return a < b; }
TG_INLINE M at_most(V a, V b) noexcept { return a <= b; }
TG_INLINE M at_least(V a, V b) noexcept { return a >= b; }
TG_INLINE M equal(V a, V b) noexcept { return a == b; }
TG_INLINE M unordered(V a, V b) noexcept { return (a != a) | (b != b); }
TG_INLINE M both(M a, M b) noexcept { return a & b; }
TG_INLINE M either(M a, M b) noexcept { return a | b; }
TG_INLINE M but_not(M a, M b) noexcept { return a & ~b; }
TG_INLINE unsigned bits(M m) noexcept { return (m[0] != 0 ? 1u : 0u) | (m[1] != 0 ? 2u : 0u); }
TG_INLINE M lanes_from(unsigned b) noexcept {
  return M{-static_cast<long>(b & 1), -static_cast<long>((b >> 1) & 1)};
}
TG_INLINE V select(M m, V a, V b) noexcept {
  return __builtin_bit_cast(V, (__builtin_bit_cast(M, a) & m) | (__builtin_bit_cast(M, b) & ~m));
}
TG_INLINE V absolute(V x) noexcept { return V{__builtin_fabs(x[0]), __builtin_fabs(x[1])}; }

TG_INLINE V widen(const float* p) noexcept {
  return V{static_cast<double>(p[0]), static_cast<double>(p[1])};
}

TG_INLINE void narrow(float* out, V v) noexcept {
  out[0] = static_cast<float>(v[0]);
  out[1] = static_cast<float>(v[1]);
}

TG_INLINE void fill(float* out, float x) noexcept { out[0] = out[1] = x; }

template <class T>
TG_INLINE void gather(const T* run, const std::int32_t* at, V y[4]) noexcept {
  for (int k = 0; k < 4; ++k) y[k] = V{static_cast<double>(run[at[0] - 1 + k]),
                                       static_cast<double>(run[at[1] - 1 + k])};
}

TG_INLINE void truncate_us(V x, std::int64_t* out) noexcept {
  out[0] = static_cast<std::int64_t>(x[0]);
  out[1] = static_cast<std::int64_t>(x[1]);
}

void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(us[i]) / 1000000.0;
}

#endif

#include "package/resample/resample_kernel.inc"
#undef TG_TARGET
#undef TG_INLINE

}  // namespace sse2

}  // namespace tiltgram::resample_vector
