// The per-sample loops of the summaries, compiled for the x86-64 baseline and for AVX2 (the
// best available runs, as for decoding). Every sum is split over a fixed number of lanes and
// the lanes added in a fixed order, so that both builds give the same bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/decode/isa.hpp"

namespace tiltgram::activity {

// Accelerometer values in units of 2^-15 g. A decoded value is count * 2^(e - 8 - A) g with
// a 16-bit count (or a 10-bit one with e <= 3) and A <= 7, so in these units it is an integer
// of magnitude below 2^22, its square below 2^44, and the sums of a block's (at most 120)
// values and squares stay below 2^53: they are exact in float64, in any order.
inline constexpr double kUnitsPerG = 32768.0;

// Per axis, the sum and the sum of squares of acc[a][0..n) in units of 2^-15 g, exact
// (n <= 120).
void unit_sums(const float* const (&acc)[3], std::size_t n, double (&sum)[3], double (&squares)[3],
               IsaLevel isa) noexcept;

// The calibrated magnitudes of n samples (n <= 120): per axis a' = (offset + scale * a) + drift, then
// r = sqrt(x*x + y*y + z*z) into r[0..n). Returns the sums of r and of max(0, r - 1).
struct MagnitudeSums {
  double r, enmo;
};
MagnitudeSums magnitudes(const float* const (&acc)[3], std::size_t n, const double (&offset)[3],
                         const double (&scale)[3], const double (&drift)[3], double* r,
                         IsaLevel isa) noexcept;

// The sum of |v[i] - mean| over v[0..n).
double deviation_sum(const double* v, std::size_t n, double mean, IsaLevel isa) noexcept;

}  // namespace tiltgram::activity
