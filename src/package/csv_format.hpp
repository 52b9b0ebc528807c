// Fixed-point text of CSV values: sample values with 6 decimals, times with 4.
//
// Both writers print the exact binary value of their number rounded to the stated
// number of decimals, to nearest with ties to even, never in exponent notation:
//   1.0f / 256  -> "0.003906"      0.0078125f (a tie)  -> "0.007812"
//   -0.0f       -> "-0.000000"     NaN -> "NaN", infinities -> "inf", "-inf"
//   1577836800010000 us -> "1577836800.0100"     -10 us -> "-0.0000"
#pragma once

#include <cstddef>
#include <cstdint>

namespace tiltgram {

// Room for the longest text either writer produces: "-", the 39 integer digits of
// FLT_MAX, "." and 6 decimals make 47 bytes; a time needs at most 19.
inline constexpr std::size_t kFixedTextMax = 64;

// Writes `value` with exactly 6 digits after the point, rounded from its exact binary
// value, ties to even. A value with the sign bit set keeps its "-" even when every digit
// rounds to zero (-0.0f -> "-0.000000"). Any NaN is "NaN"; infinities are "inf", "-inf".
// `out` must have kFixedTextMax bytes; returns the end of the text (no terminator).
char* write_fixed6(char* out, float value) noexcept;

// Writes the time `us` (microseconds) as seconds: the double (double)us / 1e6 with
// exactly 4 digits after the point, rounded from that double's exact binary value, ties
// to even; a negative time keeps its "-" (-10 -> "-0.0000", 31250 -> "0.0312").
// `out` must have kFixedTextMax bytes; returns the end of the text (no terminator).
char* write_time4(char* out, std::int64_t us) noexcept;

}  // namespace tiltgram
