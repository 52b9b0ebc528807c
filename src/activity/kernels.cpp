#include "activity/kernels.hpp"

#include <cmath>

namespace tiltgram::activity {

namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kMaxBlock = 120;  // samples of a packet, the most a call gets

[[gnu::always_inline]] inline double lanes_total(const double (&p)[kLanes]) noexcept {
  return ((p[0] + p[1]) + (p[2] + p[3])) + ((p[4] + p[5]) + (p[6] + p[7]));
}

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

void unit_sums_baseline(const float* const (&acc)[3], std::size_t n, double (&sum)[3],
                        double (&squares)[3]) noexcept {
  unit_sums_body(acc, n, sum, squares);
}
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
  unit_sums_body(acc, n, sum, squares);
}
__attribute__((target("avx2"))) MagnitudeSums magnitudes_avx2(const float* const (&acc)[3], std::size_t n,
                                                              const double (&o)[3], const double (&s)[3],
                                                              const double (&d)[3], double* r) noexcept {
  return magnitudes_body(acc, n, o, s, d, r);
}
__attribute__((target("avx2"))) double deviation_avx2(const double* v, std::size_t n,
                                                      double mean) noexcept {
  return deviation_body(v, n, mean);
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
