// Exact fixed-point text without printf on the common path.
//
// Sample values. A float has a 24-bit significand and 10^6 = 2^6 * 15625 with
// 15625 < 2^14, so |v| * 10^6 needs at most 38 significant bits and is exact in a double
// (no overflow: FLT_MAX * 10^6 ~ 3.4e44; no underflow: the smallest denormal gives
// ~1.4e-39). Rounding that exact product to an integer is therefore the correctly
// rounded value in units of 10^-6. We round by hand (truncate, then compare the exactly
// representable fraction with 0.5) so the result does not depend on the FPU rounding
// mode. Up to 9e18 the integer fits in 64 bits; above (|v| >= 9e12) std::to_chars
// prints the value, exactly.
//
// Times. For |us| < 2^52, (double)us is exact and t = us / 1e6 is below 2^33, so t is
// within half an ulp (<= 2^-21 s, under 0.48 us) of the true quotient. Four decimals are
// steps of 100 us: with r = |us| mod 100, the exact value of t lies strictly inside
// (|us| - r - 0.48, |us| - r + 49.48) us when r < 50 and inside (|us| - r + 50.52,
// |us| - r + 99.48) us when r > 50, so it rounds like the integer |us| to a multiple of
// 100. Only r == 50 can put t on either side of (or exactly on) the midpoint, e.g.
// 31250 us is exactly 0.03125 s, a tie that goes to even, "0.0312". Those cases and
// |us| >= 2^52 go to std::to_chars on t itself. Negative times mirror positive ones
// because conversion and division round symmetrically.
#include "package/csv/csv_format.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace tiltgram {
namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809"
    "10111213141516171819"
    "20212223242526272829"
    "30313233343536373839"
    "40414243444546474849"
    "50515253545556575859"
    "60616263646566676869"
    "70717273747576777879"
    "80818283848586878889"
    "90919293949596979899";

inline void put_pair(char* out, std::uint32_t v) noexcept {  // v < 100
  std::memcpy(out, kDigitPairs + 2 * v, 2);
}

inline char* put_literal(char* out, const char (&text)[4]) noexcept {
  std::memcpy(out, text, 3);
  return out + 3;
}

// Decimal digits of v, no leading zeros ("0" for 0).
inline char* put_uint(char* out, std::uint64_t v) noexcept {
  if (v < 10) {
    *out = static_cast<char>('0' + v);
    return out + 1;
  }
  int digits = 2;
  for (std::uint64_t limit = 100; digits < 20 && v >= limit; limit *= 10) ++digits;
  char* const end = out + digits;
  char* p = end;
  while (v >= 100) {
    p -= 2;
    put_pair(p, static_cast<std::uint32_t>(v % 100));
    v /= 100;
  }
  if (v >= 10) {
    put_pair(p - 2, static_cast<std::uint32_t>(v));
  } else {
    p[-1] = static_cast<char>('0' + v);
  }
  return end;
}

// "<whole>.<frac>" with frac < 10^6 written as exactly 6 digits.
inline char* put_point6(char* out, std::uint64_t whole, std::uint32_t frac) noexcept {
  out = put_uint(out, whole);
  *out = '.';
  const std::uint32_t high = frac / 10000;
  const std::uint32_t low = frac % 10000;
  put_pair(out + 1, high);
  put_pair(out + 3, low / 100);
  put_pair(out + 5, low % 100);
  return out + 7;
}

// "<whole>.<frac>" with frac < 10^4 written as exactly 4 digits.
inline char* put_point4(char* out, std::uint64_t whole, std::uint32_t frac) noexcept {
  out = put_uint(out, whole);
  *out = '.';
  put_pair(out + 1, frac / 100);
  put_pair(out + 3, frac % 100);
  return out + 5;
}

// Exact fixed-point text of a finite, non-negative double (libstdc++ rounds exactly).
// `limit` is the end of the caller's kFixedTextMax bytes, which always suffice.
inline char* put_exact(char* out, char* limit, double magnitude, int decimals) noexcept {
  return std::to_chars(out, limit, magnitude, std::chars_format::fixed, decimals).ptr;
}

}  // namespace

char* write_fixed6(char* out, float value) noexcept {
  char* const limit = out + kFixedTextMax;
  if (std::isnan(value)) return put_literal(out, "NaN");
  // Branch-free sign and rounding: signs and ties are data, not predictable branches.
  *out = '-';
  out += std::signbit(value) ? 1 : 0;
  const float magnitude = std::fabs(value);
  if (std::isinf(magnitude)) return put_literal(out, "inf");

  const double micro = static_cast<double>(magnitude) * 1e6;  // exact, see above
  if (micro < 9e18) {
    auto units = static_cast<std::uint64_t>(static_cast<std::int64_t>(micro));
    const double frac = micro - static_cast<double>(units);  // exact
    units += static_cast<std::uint64_t>((frac > 0.5) | ((frac == 0.5) & ((units & 1U) != 0)));
    const std::uint64_t whole = units / 1000000;
    return put_point6(out, whole, static_cast<std::uint32_t>(units - whole * 1000000));
  }
  return put_exact(out, limit, static_cast<double>(magnitude), 6);
}

char* fixed_text::put_whole_long(char* out, std::uint64_t n) noexcept { return put_uint(out, n); }

std::uint64_t TimeText::round_up_at_half(std::uint64_t magnitude, std::uint64_t q) noexcept {
  // t = magnitude / 10^6 lies on the midpoint magnitude us itself when t * 10^6 equals
  // it exactly; with t = m * 2^e (m < 2^53, e < 0 here) compare m * 10^6 with
  // magnitude * 2^-e, both below 2^120.
  __extension__ typedef unsigned __int128 u128;
  const double t = static_cast<double>(magnitude) / 1e6;
  std::uint64_t bits;
  std::memcpy(&bits, &t, sizeof bits);
  const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
  const int shift = 1075 - static_cast<int>(bits >> 52);
  const u128 scaled_t = static_cast<u128>(m) * 1000000U;
  const u128 scaled_us = static_cast<u128>(magnitude) << shift;
  if (scaled_t != scaled_us) return scaled_t > scaled_us ? 1U : 0U;
  return q & 1U;
}

void TimeText::remember(std::uint64_t whole) noexcept {
  whole_ = whole;
  length_ = static_cast<std::size_t>(put_uint(text_, whole) - text_);
}

char* write_time4(char* out, std::int64_t us) noexcept {
  char* const limit = out + kFixedTextMax;
  // Unsigned negation keeps INT64_MIN well defined.
  const std::uint64_t magnitude =
      us < 0 ? 0U - static_cast<std::uint64_t>(us) : static_cast<std::uint64_t>(us);
  if (us < 0) *out++ = '-';

  if (magnitude < (std::uint64_t{1} << 52)) {
    const auto remainder = static_cast<std::uint32_t>(magnitude % 100);
    if (remainder != 50) {
      const std::uint64_t steps = magnitude / 100 + (remainder > 50 ? 1U : 0U);
      const std::uint64_t whole = steps / 10000;
      return put_point4(out, whole, static_cast<std::uint32_t>(steps - whole * 10000));
    }
  }
  return put_exact(out, limit, static_cast<double>(magnitude) / 1e6, 4);
}

}  // namespace tiltgram
