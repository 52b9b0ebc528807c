// Eight grid rows at a time with AVX-512, chosen at run time (four with AVX2 or SSE2:
// resample_vector_avx2.cpp, resample_vector_sse2.cpp).
//
// Each lane follows the one-row arithmetic operation for operation: the same subtractions,
// products taken left to right, correctly rounded divisions, sums in the stated order and
// one rounding to float at the end (no fused multiply-add; the build forbids contraction).
// The four nodes of every row are picked out of a run of 16 consecutive samples with
// two-table permutes, so a batch loads each column once.
#include "package/resample_vector.hpp"

#include "header/time.hpp"
#include "package/isa.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#define TG_VECTOR_ROWS 1
#include <immintrin.h>
// GCC's intrinsic headers start some results from a deliberately undefined register.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define TG_AVX512 __attribute__((target("avx512f,avx512dq,avx512vl")))
#endif

namespace tiltgram::resample_vector {

#if defined(TG_VECTOR_ROWS)

bool available(Isa isa) noexcept {
  return isa_available(isa == Isa::kAvx512 ? IsaLevel::kAvx512
                       : isa == Isa::kAvx2 ? IsaLevel::kAvx2
                                           : IsaLevel::kBaseline);
}

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

namespace sse2 {

// Two at a time; 0 <= v < 2^52 converts exactly through the bits (see avx2::seconds).
void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  const __m128d million = _mm_set1_pd(1000000.0);
  const __m128i two52_bits = _mm_set1_epi64x(0x4330000000000000);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    if ((static_cast<std::uint64_t>(us[i]) | static_cast<std::uint64_t>(us[i + 1])) >> 52 != 0) {
      out[i] = static_cast<double>(us[i]) / 1000000.0;
      out[i + 1] = static_cast<double>(us[i + 1]) / 1000000.0;
      continue;
    }
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(us + i));
    const __m128d x = _mm_sub_pd(_mm_castsi128_pd(_mm_or_si128(v, two52_bits)),
                                 _mm_castsi128_pd(two52_bits));
    _mm_storeu_pd(out + i, _mm_div_pd(x, million));
  }
  for (; i < n; ++i) out[i] = static_cast<double>(us[i]) / 1000000.0;
}

}  // namespace sse2

namespace avx512 {

TG_AVX512 void grid_times(double origin_ms, double origin_s, double step_ms, std::uint64_t n0,
                double* out) noexcept {
  const __m512i n = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(n0)),
                                     _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
  __m512d t = _mm512_div_pd(
      _mm512_add_pd(_mm512_set1_pd(origin_ms),
                    _mm512_mul_pd(_mm512_cvtepu64_pd(n), _mm512_set1_pd(step_ms))),
      _mm512_set1_pd(1000.0));
  if (n0 == 0) t = _mm512_mask_mov_pd(t, 1, _mm512_set1_pd(origin_s));
  _mm512_store_pd(out, t);
}

TG_AVX512 void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  const __m512d million = _mm512_set1_pd(1000000.0);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm512_storeu_pd(out + i, _mm512_div_pd(_mm512_cvtepi64_pd(_mm512_loadu_si512(us + i)), million));
  if (i < n) {
    const auto rest = static_cast<__mmask8>((1u << (n - i)) - 1u);
    _mm512_mask_storeu_pd(out + i, rest,
                          _mm512_div_pd(_mm512_cvtepi64_pd(_mm512_maskz_loadu_epi64(rest, us + i)), million));
  }
}

namespace {

TG_AVX512 inline __m512d product3(__m512d a, __m512d b, __m512d c) noexcept {
  return _mm512_mul_pd(_mm512_mul_pd(a, b), c);
}

TG_AVX512 inline __mmask8 at_least(__m512d d, __m512d limit) noexcept {
  return _mm512_cmp_pd_mask(_mm512_abs_pd(d), limit, _CMP_GE_OQ);
}

// What a batch's channels share: the node positions, the Lagrange weights of the lanes that
// may take the cubic, and the linear form's terms (its weight computed on first need).
struct Weights {
  __m512i idx[4];
  __m512d l0, l1, l2, l3;
  __mmask8 lanes, cubic, flat;
  __m512d a1, dt, weight;
  bool weighed;
};

// One channel of the batch from its run of 16 samples: the cubic where the lane's weights
// exist and its four values are numbers, the linear form otherwise.
TG_AVX512 inline __m256 interpolate(Weights& w, __m512 run) noexcept {
  const __m512d v_lo = _mm512_cvtps_pd(_mm512_castps512_ps256(run));
  const __m512d v_hi = _mm512_cvtps_pd(_mm512_extractf32x8_ps(run, 1));
  __m512d y[4];
  for (int k = 0; k < 4; ++k) y[k] = _mm512_permutex2var_pd(v_lo, w.idx[k], v_hi);
  __m512d r = _mm512_add_pd(
      _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(w.l0, y[0]), _mm512_mul_pd(w.l1, y[1])),
                    _mm512_mul_pd(w.l2, y[2])),
      _mm512_mul_pd(w.l3, y[3]));
  const __mmask8 nan = static_cast<__mmask8>(_mm512_cmp_pd_mask(y[0], y[1], _CMP_UNORD_Q) |
                                             _mm512_cmp_pd_mask(y[2], y[3], _CMP_UNORD_Q));
  const auto linear = static_cast<__mmask8>(w.lanes & ~(w.cubic & ~nan));
  if (linear != 0) {
    if (!w.weighed) {
      w.weight = _mm512_div_pd(w.a1, w.dt);
      w.weighed = true;
    }
    __m512d l = _mm512_add_pd(_mm512_mul_pd(w.weight, _mm512_sub_pd(y[2], y[1])), y[1]);
    l = _mm512_mask_mov_pd(l, w.flat, y[1]);
    r = _mm512_mask_mov_pd(r, linear, l);
  }
  return _mm512_cvtpd_ps(r);
}

}  // namespace

TG_AVX512 void rows(RowBatch& b, std::uint64_t offsets) noexcept {
  Weights w;
  w.lanes = static_cast<__mmask8>((1u << b.rows) - 1u);
  // Node k of row r is run position o - 1 + k, o its byte of `offsets`. Position -1 (a row
  // with no sample before its bracket) picks some other sample; such a row is linear and
  // never uses it.
  const __m512i o = _mm512_cvtepu8_epi64(_mm_cvtsi64_si128(static_cast<long long>(offsets)));
  w.idx[0] = _mm512_sub_epi64(o, _mm512_set1_epi64(1));
  w.idx[1] = o;
  w.idx[2] = _mm512_add_epi64(o, _mm512_set1_epi64(1));
  w.idx[3] = _mm512_add_epi64(o, _mm512_set1_epi64(2));
  const __m512d run_lo = _mm512_loadu_pd(b.times);
  const __m512d run_hi = _mm512_loadu_pd(b.times + 8);
  __m512d tn[4];
  for (int k = 0; k < 4; ++k) tn[k] = _mm512_permutex2var_pd(run_lo, w.idx[k], run_hi);
  const __m512d t = _mm512_load_pd(b.grid);

  // Lagrange weights, as in the one-row code.
  const __m512d d0 = product3(_mm512_sub_pd(tn[0], tn[1]), _mm512_sub_pd(tn[0], tn[2]),
                              _mm512_sub_pd(tn[0], tn[3]));
  const __m512d d1 = product3(_mm512_sub_pd(tn[1], tn[0]), _mm512_sub_pd(tn[1], tn[2]),
                              _mm512_sub_pd(tn[1], tn[3]));
  const __m512d d2 = product3(_mm512_sub_pd(tn[2], tn[0]), _mm512_sub_pd(tn[2], tn[1]),
                              _mm512_sub_pd(tn[2], tn[3]));
  const __m512d d3 = product3(_mm512_sub_pd(tn[3], tn[0]), _mm512_sub_pd(tn[3], tn[1]),
                              _mm512_sub_pd(tn[3], tn[2]));
  const __m512d span = _mm512_set1_pd(1e-12);
  w.cubic = static_cast<__mmask8>(w.lanes & b.nodes & at_least(d0, span) & at_least(d1, span) &
                                  at_least(d2, span) & at_least(d3, span));
  const __m512d a0 = _mm512_sub_pd(t, tn[0]);
  const __m512d a1 = _mm512_sub_pd(t, tn[1]);
  const __m512d a2 = _mm512_sub_pd(t, tn[2]);
  const __m512d a3 = _mm512_sub_pd(t, tn[3]);
  w.l0 = _mm512_maskz_div_pd(w.cubic, product3(a1, a2, a3), d0);
  w.l1 = _mm512_maskz_div_pd(w.cubic, product3(a0, a2, a3), d1);
  w.l2 = _mm512_maskz_div_pd(w.cubic, product3(a0, a1, a3), d2);
  w.l3 = _mm512_maskz_div_pd(w.cubic, product3(a0, a1, a2), d3);

  // Linear: ((t - t1) / dt) * (y2 - y1) + y1, or y1 for a bracket under 1e-12 s.
  w.a1 = a1;
  w.dt = _mm512_sub_pd(tn[2], tn[1]);
  w.flat = _mm512_cmp_pd_mask(_mm512_abs_pd(w.dt), span, _CMP_LT_OQ);
  w.weight = _mm512_setzero_pd();
  w.weighed = false;

  for (int ch = 0; ch < 6; ++ch) {
    if (b.values[ch] == nullptr) continue;
    _mm256_mask_storeu_ps(b.out[ch], w.lanes, interpolate(w, _mm512_loadu_ps(b.values[ch])));
  }

  if (b.sensors) {
    // 32-bit forms of the node positions of the bracket pair.
    const __m512i pos1 = _mm512_castsi256_si512(_mm512_cvtepi64_epi32(w.idx[1]));
    const __m512i pos2 = _mm512_castsi256_si512(_mm512_cvtepi64_epi32(w.idx[2]));
    const __m512i present = _mm512_loadu_si512(b.present);
    const __m256i p1 = _mm512_castsi512_si256(_mm512_permutexvar_epi32(pos1, present));
    const __m256i p2 = _mm512_castsi512_si256(_mm512_permutexvar_epi32(pos2, present));
    const __mmask8 any = _mm256_test_epi32_mask(_mm256_or_si256(p1, p2), _mm256_or_si256(p1, p2));
    const __mmask8 on1 = _mm512_cmp_pd_mask(t, tn[1], _CMP_EQ_OQ);
    const __mmask8 on2 = static_cast<__mmask8>(_mm512_cmp_pd_mask(t, tn[2], _CMP_EQ_OQ) & ~on1);
    const auto between = static_cast<__mmask8>(any & ~(on1 | on2));
    for (int k = 0; k < 6; ++k) {
      const __m512 run = _mm512_loadu_ps(b.sensor_values[k]);
      const __m256 interpolated = interpolate(w, run);
      // Copies take the stored bits as they are.
      const __m256 copy1 = _mm512_castps512_ps256(_mm512_permutexvar_ps(pos1, run));
      const __m256 copy2 = _mm512_castps512_ps256(_mm512_permutexvar_ps(pos2, run));
      const __m256i bit = _mm256_set1_epi32(1 << k);
      const auto present_k = static_cast<__mmask8>(
          w.lanes & ((on1 & _mm256_test_epi32_mask(p1, bit)) |
                     (on2 & _mm256_test_epi32_mask(p2, bit)) |
                     (between & _mm256_cmp_ps_mask(interpolated, interpolated, _CMP_ORD_Q))));
      __m256 v = _mm256_mask_mov_ps(interpolated, on1, copy1);
      v = _mm256_mask_mov_ps(v, on2, copy2);
      v = _mm256_mask_mov_ps(_mm256_castsi256_ps(_mm256_set1_epi32(0x7FC00000)), present_k, v);
      _mm256_store_ps(b.sensor_rows[k], v);
      b.sensor_present[k] = present_k;
    }
  }

  // Timestamps: t * 1e6 truncated; the rare value outside int64 saturates one by one.
  const __m512d us = _mm512_mul_pd(t, _mm512_set1_pd(1000000.0));
  const __mmask8 fits = static_cast<__mmask8>(
      _mm512_cmp_pd_mask(us, _mm512_set1_pd(9223372036854774784.0), _CMP_LE_OQ) &
      _mm512_cmp_pd_mask(us, _mm512_set1_pd(-9223372036854775808.0), _CMP_GE_OQ));
  if ((fits & w.lanes) == w.lanes) {
    _mm512_mask_storeu_epi64(b.time_out, w.lanes, _mm512_cvttpd_epi64(us));
  } else {
    alignas(64) double each[8];
    _mm512_store_pd(each, us);
    for (std::uint32_t r = 0; r < b.rows; ++r) b.time_out[r] = saturating_us(each[r]);
  }
}

}  // namespace avx512

#else

namespace sse2 {
void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(us[i]) / 1000000.0;
}
void grid_times(double, double, double, std::uint64_t, double*) noexcept {}
void rows(RowBatch&) noexcept {}
std::size_t run(Run&) noexcept { return 0; }
}  // namespace sse2

bool any_nan(const float* values, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i)
    if (values[i] != values[i]) return true;
  return false;
}

// Without these instruction sets the functions are never called.
bool available(Isa) noexcept { return false; }
namespace avx512 {
void grid_times(double, double, double, std::uint64_t, double*) noexcept {}
void seconds(const std::int64_t*, std::size_t, double*) noexcept {}
void rows(RowBatch&, std::uint64_t) noexcept {}
}  // namespace avx512
namespace avx2 {
void grid_times(double, double, double, std::uint64_t, double*) noexcept {}
void seconds(const std::int64_t*, std::size_t, double*) noexcept {}
void rows(RowBatch&) noexcept {}
std::size_t run(Run&) noexcept { return 0; }
}  // namespace avx2

#endif

}  // namespace tiltgram::resample_vector
