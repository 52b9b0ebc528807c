#include "activity/kernels.hpp"

#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tiltgram::activity {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kMaxBlock = 120;  // samples of a packet, the most a call gets

[[gnu::always_inline]] inline double lanes_total(const double (&p)[kLanes]) noexcept {
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

[[gnu::always_inline]] inline MagnitudeSums magnitudes_body(const float* const (&acc)[3], std::size_t n,
                                                            const double (&offset)[3],
                                                            const double (&scale)[3],
                                                            const double (&drift)[3],
                                                            double* __restrict r) noexcept {
  const float* __restrict ax = acc[0];
  const float* __restrict ay = acc[1];
  const float* __restrict az = acc[2];
  const double o0 = offset[0], o1 = offset[1], o2 = offset[2];
  const double s0 = scale[0], s1 = scale[1], s2 = scale[2];
  const double d0 = drift[0], d1 = drift[1], d2 = drift[2];
  alignas(64) double over[kMaxBlock];  // max(0, r - 1)
  for (std::size_t i = 0; i < n; ++i) {
    const double x = (o0 + s0 * static_cast<double>(ax[i])) + d0;
    const double y = (o1 + s1 * static_cast<double>(ay[i])) + d1;
    const double z = (o2 + s2 * static_cast<double>(az[i])) + d2;
    const double v = std::sqrt(x * x + y * y + z * z);
    r[i] = v;
    over[i] = v > 1.0 ? v - 1.0 : 0.0;
  }
  double s[kLanes] = {}, e[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t l = 0; l < kLanes; ++l) {
      s[l] += r[i + l];
      e[l] += over[i + l];
    }
  for (std::size_t l = 0; i < n; ++i, ++l) {
    s[l] += r[i];
    e[l] += over[i];
  }
  return {lanes_total(s), lanes_total(e)};
}

[[gnu::always_inline]] inline double deviation_body(const double* v, std::size_t n,
                                                    double mean) noexcept {
  double s[kLanes] = {};
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes)
    for (std::size_t l = 0; l < kLanes; ++l) s[l] += std::fabs(v[i + l] - mean);
  for (std::size_t l = 0; i < n; ++i, ++l) s[l] += std::fabs(v[i] - mean);
  return lanes_total(s);
}

#if defined(__x86_64__) && defined(__GNUC__)
// The vectors' tail: samples i..n added to the lanes' totals s and q, then scaled to units.
[[gnu::always_inline]] inline void finish_unit_sums(const float* v, std::size_t i, std::size_t n,
                                                    double s, double q, double& sum,
                                                    double& squares) noexcept {
  for (; i < n; ++i) {
    const double u = static_cast<double>(v[i]);
    s += u;
    q += u * u;
  }
  sum = s * kUnitsPerG;
  squares = q * (kUnitsPerG * kUnitsPerG);
}

// The sums are exact whatever their order (see kernels.hpp), so the lanes here are the
// vector's: four floats at a time widened to float64, two accumulators per axis.
void unit_sums_baseline(const float* const (&acc)[3], std::size_t n, double (&sum)[3],
                        double (&squares)[3]) noexcept {
  for (int axis = 0; axis < 3; ++axis) {
    const float* v = acc[axis];
    __m128d s0 = _mm_setzero_pd(), s1 = _mm_setzero_pd(), q0 = _mm_setzero_pd(), q1 = _mm_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      const __m128 f = _mm_loadu_ps(v + i);
      const __m128d lo = _mm_cvtps_pd(f), hi = _mm_cvtps_pd(_mm_movehl_ps(f, f));
      s0 = _mm_add_pd(s0, lo);
      s1 = _mm_add_pd(s1, hi);
      q0 = _mm_add_pd(q0, _mm_mul_pd(lo, lo));
      q1 = _mm_add_pd(q1, _mm_mul_pd(hi, hi));
    }
    alignas(16) double ls[2], lq[2];
    _mm_store_pd(ls, _mm_add_pd(s0, s1));
    _mm_store_pd(lq, _mm_add_pd(q0, q1));
    finish_unit_sums(v, i, n, ls[0] + ls[1], lq[0] + lq[1], sum[axis], squares[axis]);
  }
}
#else
// Sums of v and v^2 in g, then scaled to units: multiplying by a power of two is exact, and
// every partial sum is a whole number of units below 2^53.
[[gnu::always_inline]] inline void unit_sums_body(const float* const (&acc)[3], std::size_t n,
                                                  double (&sum)[3], double (&squares)[3]) noexcept {
  for (int axis = 0; axis < 3; ++axis) {
    const float* __restrict v = acc[axis];
    double a[kLanes] = {}, b[kLanes] = {};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes)
      for (std::size_t l = 0; l < kLanes; ++l) {
        const double u = static_cast<double>(v[i + l]);
        a[l] += u;
        b[l] += u * u;
      }
    for (std::size_t l = 0; i < n; ++i, ++l) {
      const double u = static_cast<double>(v[i]);
      a[l] += u;
      b[l] += u * u;
    }
    sum[axis] = lanes_total(a) * kUnitsPerG;
    squares[axis] = lanes_total(b) * (kUnitsPerG * kUnitsPerG);
  }
}

void unit_sums_baseline(const float* const (&acc)[3], std::size_t n, double (&sum)[3],
                        double (&squares)[3]) noexcept {
  unit_sums_body(acc, n, sum, squares);
}
#endif
MagnitudeSums magnitudes_baseline(const float* const (&acc)[3], std::size_t n, const double (&o)[3],
                                  const double (&s)[3], const double (&d)[3], double* r) noexcept {
  return magnitudes_body(acc, n, o, s, d, r);
}
double deviation_baseline(const double* v, std::size_t n, double mean) noexcept {
  return deviation_body(v, n, mean);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TG_ACTIVITY_AVX2 1
__attribute__((target("avx2"))) void unit_sums_avx2(const float* const (&acc)[3], std::size_t n,
                                                    double (&sum)[3], double (&squares)[3]) noexcept {
  for (int axis = 0; axis < 3; ++axis) {
    const float* v = acc[axis];
    __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd();
    __m256d q0 = _mm256_setzero_pd(), q1 = _mm256_setzero_pd();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const __m256 f = _mm256_loadu_ps(v + i);
      const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(f));
      const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(f, 1));
      s0 = _mm256_add_pd(s0, lo);
      s1 = _mm256_add_pd(s1, hi);
      q0 = _mm256_add_pd(q0, _mm256_mul_pd(lo, lo));
      q1 = _mm256_add_pd(q1, _mm256_mul_pd(hi, hi));
    }
    alignas(32) double ls[4], lq[4];
    _mm256_store_pd(ls, _mm256_add_pd(s0, s1));
    _mm256_store_pd(lq, _mm256_add_pd(q0, q1));
    finish_unit_sums(v, i, n, (ls[0] + ls[1]) + (ls[2] + ls[3]), (lq[0] + lq[1]) + (lq[2] + lq[3]),
                     sum[axis], squares[axis]);
  }
}
// The same lanes as magnitudes_body and deviation_body, lanes 0-3 and 4-7 in two vectors:
// the same sums, with no array of max(0, r - 1) in between.
__attribute__((target("avx2"))) inline __m256d magnitude4(const float* ax, const float* ay,
                                                          const float* az, __m256d o0, __m256d o1,
                                                          __m256d o2, __m256d s0, __m256d s1,
                                                          __m256d s2, __m256d d0, __m256d d1,
                                                          __m256d d2) noexcept {
  const __m256d x = _mm256_add_pd(_mm256_add_pd(o0, _mm256_mul_pd(s0, _mm256_cvtps_pd(_mm_loadu_ps(ax)))), d0);
  const __m256d y = _mm256_add_pd(_mm256_add_pd(o1, _mm256_mul_pd(s1, _mm256_cvtps_pd(_mm_loadu_ps(ay)))), d1);
  const __m256d z = _mm256_add_pd(_mm256_add_pd(o2, _mm256_mul_pd(s2, _mm256_cvtps_pd(_mm_loadu_ps(az)))), d2);
  return _mm256_sqrt_pd(_mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y)),
                                      _mm256_mul_pd(z, z)));
}

__attribute__((target("avx2"))) inline __m256d over_one(__m256d v, __m256d one) noexcept {
  return _mm256_and_pd(_mm256_cmp_pd(v, one, _CMP_GT_OQ), _mm256_sub_pd(v, one));
}

__attribute__((target("avx2"))) MagnitudeSums magnitudes_avx2(const float* const (&acc)[3], std::size_t n,
                                                              const double (&o)[3], const double (&s)[3],
                                                              const double (&d)[3], double* r) noexcept {
  const float* ax = acc[0];
  const float* ay = acc[1];
  const float* az = acc[2];
  const __m256d o0 = _mm256_set1_pd(o[0]), o1 = _mm256_set1_pd(o[1]), o2 = _mm256_set1_pd(o[2]);
  const __m256d s0 = _mm256_set1_pd(s[0]), s1 = _mm256_set1_pd(s[1]), s2 = _mm256_set1_pd(s[2]);
  const __m256d d0 = _mm256_set1_pd(d[0]), d1 = _mm256_set1_pd(d[1]), d2 = _mm256_set1_pd(d[2]);
  const __m256d one = _mm256_set1_pd(1.0);
  __m256d sum_lo = _mm256_setzero_pd(), sum_hi = _mm256_setzero_pd();
  __m256d over_lo = _mm256_setzero_pd(), over_hi = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    const __m256d lo = magnitude4(ax + i, ay + i, az + i, o0, o1, o2, s0, s1, s2, d0, d1, d2);
    const __m256d hi = magnitude4(ax + i + 4, ay + i + 4, az + i + 4, o0, o1, o2, s0, s1, s2, d0, d1, d2);
    _mm256_storeu_pd(r + i, lo);
    _mm256_storeu_pd(r + i + 4, hi);
    sum_lo = _mm256_add_pd(sum_lo, lo);
    sum_hi = _mm256_add_pd(sum_hi, hi);
    over_lo = _mm256_add_pd(over_lo, over_one(lo, one));
    over_hi = _mm256_add_pd(over_hi, over_one(hi, one));
  }
  std::size_t lane = 0;  // where the rest goes: lanes from 0, as in magnitudes_body
  if (i + 4 <= n) {
    const __m256d lo = magnitude4(ax + i, ay + i, az + i, o0, o1, o2, s0, s1, s2, d0, d1, d2);
    _mm256_storeu_pd(r + i, lo);
    sum_lo = _mm256_add_pd(sum_lo, lo);
    over_lo = _mm256_add_pd(over_lo, over_one(lo, one));
    i += 4;
    lane = 4;
  }
  alignas(32) double sums[kLanes], overs[kLanes];
  _mm256_store_pd(sums, sum_lo);
  _mm256_store_pd(sums + 4, sum_hi);
  _mm256_store_pd(overs, over_lo);
  _mm256_store_pd(overs + 4, over_hi);
  for (; i < n; ++i, ++lane) {
    const double x = (o[0] + s[0] * static_cast<double>(ax[i])) + d[0];
    const double y = (o[1] + s[1] * static_cast<double>(ay[i])) + d[1];
    const double z = (o[2] + s[2] * static_cast<double>(az[i])) + d[2];
    const double v = std::sqrt(x * x + y * y + z * z);
    r[i] = v;
    sums[lane] += v;
    overs[lane] += v > 1.0 ? v - 1.0 : 0.0;
  }
  return {lanes_total(sums), lanes_total(overs)};
}

__attribute__((target("avx2"))) double deviation_avx2(const double* v, std::size_t n,
                                                      double mean) noexcept {
  const __m256d m = _mm256_set1_pd(mean);
  const __m256d sign = _mm256_set1_pd(-0.0);
  __m256d lo = _mm256_setzero_pd(), hi = _mm256_setzero_pd();
  std::size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    lo = _mm256_add_pd(lo, _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(v + i), m)));
    hi = _mm256_add_pd(hi, _mm256_andnot_pd(sign, _mm256_sub_pd(_mm256_loadu_pd(v + i + 4), m)));
  }
  alignas(32) double s[kLanes];
  _mm256_store_pd(s, lo);
  _mm256_store_pd(s + 4, hi);
  for (std::size_t l = 0; i < n; ++i, ++l) s[l] += std::fabs(v[i] - mean);
  return lanes_total(s);
}
#endif

}  // namespace

void unit_sums(const float* const (&acc)[3], std::size_t n, double (&sum)[3], double (&squares)[3],
               IsaLevel isa) noexcept {
#if defined(TG_ACTIVITY_AVX2)
  if (isa != IsaLevel::kBaseline) return unit_sums_avx2(acc, n, sum, squares);
#endif
  (void)isa;
  unit_sums_baseline(acc, n, sum, squares);
}

MagnitudeSums magnitudes(const float* const (&acc)[3], std::size_t n, const double (&offset)[3],
                         const double (&scale)[3], const double (&drift)[3], double* r,
                         IsaLevel isa) noexcept {
#if defined(TG_ACTIVITY_AVX2)
  if (isa != IsaLevel::kBaseline) return magnitudes_avx2(acc, n, offset, scale, drift, r);
#endif
  (void)isa;
  return magnitudes_baseline(acc, n, offset, scale, drift, r);
}

double deviation_sum(const double* v, std::size_t n, double mean, IsaLevel isa) noexcept {
#if defined(TG_ACTIVITY_AVX2)
  if (isa != IsaLevel::kBaseline) return deviation_avx2(v, n, mean);
#endif
  (void)isa;
  return deviation_baseline(v, n, mean);
}

}  // namespace tiltgram::activity
