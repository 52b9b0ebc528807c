// Fixed-point text of CSV values: sample values with 6 decimals, times with 4.
//
// Both writers print the exact binary value of their number rounded to the stated
// number of decimals, to nearest with ties to even, never in exponent notation:
//   1.0f / 256  -> "0.003906"      0.0078125f (a tie)  -> "0.007812"
//   -0.0f       -> "-0.000000"     NaN -> "NaN", infinities -> "inf", "-inf"
//   1577836800010000 us -> "1577836800.0100"     -10 us -> "-0.0000"
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// --- the same texts for the writers' inner loops ---------------------------------------
//
// These write exactly the text of write_fixed6 and write_time4, inline and without a
// branch that depends on the digits. They store in whole 8-byte words, so they may write
// up to kFixedStoreSlack bytes past the end they return (bytes the next field overwrites);
// `out` must have kFixedTextMax + kFixedStoreSlack bytes.
inline constexpr std::size_t kFixedStoreSlack = 16;

namespace fixed_text {

// The text of n >= 100 (at most 20 digits) without leading zeros; returns the end.
char* put_whole_long(char* out, std::uint64_t n) noexcept;

inline void store8(char* out, std::uint64_t word) noexcept { std::memcpy(out, &word, 8); }

// "00" to "99".
inline constexpr char kPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The two digits of v < 100 as a little-endian word (the first digit in the low byte).
inline std::uint64_t pair(std::uint32_t v) noexcept {
  std::uint16_t two;
  std::memcpy(&two, kPairs + 2 * v, 2);
  return two;
}

// The text of n without leading zeros, one 8-byte store for n < 100; returns the end.
inline char* put_whole(char* out, std::uint64_t n) noexcept {
  if (n < 100) [[likely]] {
    const unsigned one = n < 10 ? 1U : 0U;  // "07" loses its "0"
    store8(out, pair(static_cast<std::uint32_t>(n)) >> (8 * one));
    return out + 2 - one;
  }
  return put_whole_long(out, n);
}

// "." and the six digits of f < 10^6, as one 8-byte store; returns the end.
inline char* put_frac6(char* out, std::uint32_t f) noexcept {
  const std::uint32_t high = f / 10000U;
  const std::uint32_t low = f - high * 10000U;
  const std::uint32_t mid = low / 100U;
  store8(out, '.' | pair(high) << 8 | pair(mid) << 24 | pair(low - mid * 100U) << 40);
  return out + 7;
}

// "." and the four digits of f < 10^4, as one 8-byte store; returns the end.
inline char* put_frac4(char* out, std::uint32_t f) noexcept {
  const std::uint32_t high = f / 100U;
  store8(out, '.' | pair(high) << 8 | pair(f - high * 100U) << 24);
  return out + 5;
}

}  // namespace fixed_text

// write_fixed6 for the inner loops (see above); values of 2^23 and more, infinities and
// NaN take write_fixed6 itself.
inline char* put_fixed6(char* out, float value) noexcept {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  const std::uint32_t exponent = (bits >> 23) & 0xFFU;
  if (exponent >= 150) [[unlikely]] return write_fixed6(out, value);
  *out = '-';
  out += bits >> 31;
  // |value| = m * 2^-shift exactly, with m < 2^24 and shift >= 1, so |value| * 10^6 is the
  // integer m * 10^6 < 2^44 shifted right, rounded here to nearest with ties to even in
  // integer arithmetic (independent of the rounding mode). From shift 45 on the result
  // is 0, which the 63 used gives too. The whole part is below 2^23: at most 7 digits.
  const std::uint64_t m = (bits & 0x7FFFFFU) | (exponent != 0 ? 0x800000U : 0U);
  const std::uint32_t exact_shift = 150U - (exponent != 0 ? exponent : 1U);
  const unsigned shift = exact_shift < 63U ? exact_shift : 63U;
  const std::uint64_t scaled = m * 1000000U;
  const std::uint64_t truncated = scaled >> shift;
  const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
  const std::uint64_t half = std::uint64_t{1} << (shift - 1);
  const std::uint64_t units =
      truncated + static_cast<std::uint64_t>((rest > half) | ((rest == half) & ((truncated & 1U) != 0)));
  const std::uint64_t whole = units / 1000000U;
  out = fixed_text::put_whole(out, whole);
  return fixed_text::put_frac6(out, static_cast<std::uint32_t>(units - whole * 1000000U));
}

// write_time4 for the inner loops (see above). Successive times mostly share their whole
// seconds, so the text of the last whole seconds is kept and copied; times of 2^52 us and
// more (about 142 years) take write_time4 itself.
class TimeText {
 public:
  char* put(char* out, std::int64_t us) noexcept {
    const std::uint64_t magnitude =
        us < 0 ? 0U - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
    if (magnitude >= (std::uint64_t{1} << 52)) [[unlikely]] return write_time4(out, us);
    *out = '-';
    out += us < 0 ? 1 : 0;
    const std::uint64_t steps = hundreds(magnitude);
    const std::uint64_t whole = steps / 10000U;
    if (whole != whole_) [[unlikely]] remember(whole);
    std::memcpy(out, text_, sizeof text_);
    return fixed_text::put_frac4(out + length_, static_cast<std::uint32_t>(steps - whole * 10000U));
  }

 private:
  // |us| rounded to a multiple of 100 us as t = |us| / 10^6 rounds to 4 decimals (the
  // reasoning is write_time4's); at a remainder of 50 the double t itself decides.
  static std::uint64_t hundreds(std::uint64_t magnitude) noexcept {
    const std::uint64_t q = magnitude / 100U;
    const auto r = static_cast<std::uint32_t>(magnitude - q * 100U);
    if (r != 50) return q + (r > 50 ? 1U : 0U);
    return q + round_up_at_half(magnitude, q);
  }
  static std::uint64_t round_up_at_half(std::uint64_t magnitude, std::uint64_t q) noexcept;
  void remember(std::uint64_t whole) noexcept;

  std::uint64_t whole_ = ~std::uint64_t{0};
  std::size_t length_ = 0;
  char text_[16] = {};  // the whole seconds, at most 10 digits below 2^52 us
};

}  // namespace tiltgram
