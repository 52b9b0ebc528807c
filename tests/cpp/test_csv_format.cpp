// Checks write_fixed6 and write_time4 bit for bit against two independent oracles, and the
// inner-loop writers put_fixed6 and TimeText::put (one TimeText for every case, so its
// remembered seconds are both reused and replaced) against the exact oracle:
//   exact:    integer-only rounding of the value's binary expansion m * 2^e (below);
//   to_chars: std::to_chars(..., chars_format::fixed, n), which libstdc++ rounds exactly.
// Sign, NaN and infinities are handled outside the oracles, as the CSV text requires.
// Usage: test_csv_format [seed]. Exit status 0 when every case matches, 1 otherwise.
#include <cfloat>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string_view>

#include "package/csv/csv_format.hpp"

namespace {

using tiltgram::kFixedStoreSlack;
using tiltgram::kFixedTextMax;
using tiltgram::put_fixed6;
using tiltgram::TimeText;
using tiltgram::write_fixed6;
using tiltgram::write_time4;

__extension__ typedef unsigned __int128 u128;

constexpr std::size_t kRefMax = 96;
long g_checked = 0;
long g_failed = 0;

char* put_u128(char* out, u128 v) {
  char tmp[40];
  int n = 0;
  do {
    tmp[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  while (n > 0) *out++ = tmp[--n];
  return out;
}

// Exact text of a finite x with 0 <= x < 2^128: x = m * 2^e with m < 2^53; for e < 0
// the result in units of 10^-decimals is (m * 10^decimals) / 2^-e, rounded half to even
// by comparing the remainder with 2^(-e-1). m * 10^6 < 2^73, so everything fits u128.
char* exact_oracle(char* out, double x, int decimals) {
  int exp2 = 0;
  const double f = std::frexp(x, &exp2);
  const auto m = static_cast<std::uint64_t>(std::ldexp(f, 53));
  const int e = exp2 - 53;
  u128 pow10 = 1;
  for (int i = 0; i < decimals; ++i) pow10 *= 10;
  u128 whole = 0;
  u128 frac = 0;
  if (e >= 0) {
    whole = u128{m} << e;
  } else {
    const int shift = -e;
    const u128 scaled = u128{m} * pow10;
    u128 q = 0;  // shift >= 128: scaled < 2^73 is far below half a unit
    if (shift < 128) {
      q = scaled >> shift;
      const u128 rem = scaled - (q << shift);
      const u128 half = u128{1} << (shift - 1);
      if (rem > half || (rem == half && (q & 1) != 0)) ++q;
    }
    whole = q / pow10;
    frac = q % pow10;
  }
  out = put_u128(out, whole);
  *out++ = '.';
  for (int i = decimals - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + static_cast<int>(frac % 10));
    frac /= 10;
  }
  return out + decimals;
}

char* to_chars_oracle(char* out, double x, int decimals) {
  return std::to_chars(out, out + kRefMax, x, std::chars_format::fixed, decimals).ptr;
}

using Oracle = char* (*)(char*, double, int);

char* ref_fixed6(char* out, float v, Oracle oracle) {
  if (std::isnan(v)) return std::strcpy(out, "NaN") + 3;
  if (std::signbit(v)) *out++ = '-';
  if (std::isinf(v)) return std::strcpy(out, "inf") + 3;
  return oracle(out, std::fabs(static_cast<double>(v)), 6);
}

char* ref_time4(char* out, std::int64_t us, Oracle oracle) {
  const double t = static_cast<double>(us) / 1e6;
  if (std::signbit(t)) *out++ = '-';
  return oracle(out, std::fabs(t), 4);
}

std::uint32_t bits_of(float v) {
  std::uint32_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

float float_of(std::uint32_t b) {
  float v;
  std::memcpy(&v, &b, sizeof v);
  return v;
}

void fail_fixed6(float v, std::string_view got, std::string_view want, const char* source) {
  if (++g_failed <= 30) {
    std::printf("FAIL write_fixed6(%.9g, bits 0x%08x): got \"%.*s\", %s \"%.*s\"\n",
                static_cast<double>(v), bits_of(v), static_cast<int>(got.size()), got.data(),
                source, static_cast<int>(want.size()), want.data());
  }
}

void fail_time4(std::int64_t us, std::string_view got, std::string_view want, const char* source) {
  if (++g_failed <= 30) {
    std::printf("FAIL write_time4(%lld): got \"%.*s\", %s \"%.*s\"\n", static_cast<long long>(us),
                static_cast<int>(got.size()), got.data(), source, static_cast<int>(want.size()),
                want.data());
  }
}

std::string_view view(const char* begin, const char* end) {
  return {begin, static_cast<std::size_t>(end - begin)};
}

void check_fixed6(float v, bool with_to_chars = true) {
  ++g_checked;
  char got[kFixedTextMax];
  char ref[kRefMax];
  const std::string_view text = view(got, write_fixed6(got, v));
  if (text.size() > kFixedTextMax) return fail_fixed6(v, text, "", "overran the buffer");
  const auto exact = view(ref, ref_fixed6(ref, v, exact_oracle));
  if (text != exact) return fail_fixed6(v, text, exact, "exact");
  char fast[kFixedTextMax + kFixedStoreSlack];
  if (const auto inner = view(fast, put_fixed6(fast, v)); inner != exact) {
    return fail_fixed6(v, inner, exact, "put_fixed6, exact");
  }
  if (!with_to_chars) return;
  if (const auto want = view(ref, ref_fixed6(ref, v, to_chars_oracle)); text != want) {
    fail_fixed6(v, text, want, "to_chars");
  }
}

void check_time4(std::int64_t us, bool with_to_chars = true) {
  ++g_checked;
  char got[kFixedTextMax];
  char ref[kRefMax];
  const std::string_view text = view(got, write_time4(got, us));
  if (text.size() > kFixedTextMax) return fail_time4(us, text, "", "overran the buffer");
  const auto exact = view(ref, ref_time4(ref, us, exact_oracle));
  if (text != exact) return fail_time4(us, text, exact, "exact");
  static TimeText times;
  char fast[kFixedTextMax + kFixedStoreSlack];
  if (const auto inner = view(fast, times.put(fast, us)); inner != exact) {
    return fail_time4(us, inner, exact, "TimeText, exact");
  }
  if (!with_to_chars) return;
  if (const auto want = view(ref, ref_time4(ref, us, to_chars_oracle)); text != want) {
    fail_time4(us, text, want, "to_chars");
  }
}

// Known texts: these also pin the oracles themselves.
void expect_fixed6(float v, std::string_view want) {
  char got[kFixedTextMax];
  const auto text = view(got, write_fixed6(got, v));
  if (text != want) fail_fixed6(v, text, want, "expected");
  check_fixed6(v);
}

void expect_time4(std::int64_t us, std::string_view want) {
  char got[kFixedTextMax];
  const auto text = view(got, write_time4(got, us));
  if (text != want) fail_time4(us, text, want, "expected");
  check_time4(us);
}

void known_texts() {
  expect_fixed6(1.0f / 256, "0.003906");
  expect_fixed6(3.0f / 256, "0.011719");
  expect_fixed6(2.0f / 256, "0.007812");  // tie, down to even
  expect_fixed6(3.5859375f, "3.585938");  // tie, up to even
  expect_fixed6(-50.0f, "-50.000000");
  expect_fixed6(0.1f, "0.100000");
  expect_fixed6(0.0f, "0.000000");
  expect_fixed6(-0.0f, "-0.000000");
  expect_fixed6(-1e-7f, "-0.000000");
  expect_fixed6(-1.0f / 128 / 2, "-0.003906");  // tie -0.00390625, to even
  expect_fixed6(std::numeric_limits<float>::denorm_min(), "0.000000");
  expect_fixed6(-std::numeric_limits<float>::denorm_min(), "-0.000000");
  expect_fixed6(FLT_MAX, "340282346638528859811704183484516925440.000000");
  expect_fixed6(-FLT_MAX, "-340282346638528859811704183484516925440.000000");
  expect_fixed6(16777216.0f, "16777216.000000");
  expect_fixed6(std::numeric_limits<float>::quiet_NaN(), "NaN");
  expect_fixed6(-std::numeric_limits<float>::quiet_NaN(), "NaN");
  expect_fixed6(std::numeric_limits<float>::signaling_NaN(), "NaN");
  expect_fixed6(float_of(0x7FC00000U), "NaN");
  expect_fixed6(float_of(0xFFFFFFFFU), "NaN");
  expect_fixed6(std::numeric_limits<float>::infinity(), "inf");
  expect_fixed6(-std::numeric_limits<float>::infinity(), "-inf");

  expect_time4(1577836800010000, "1577836800.0100");
  expect_time4(1577836800639999, "1577836800.6400");
  expect_time4(-1500, "-0.0015");
  expect_time4(0, "0.0000");
  expect_time4(-10, "-0.0000");
  expect_time4(-49, "-0.0000");
  expect_time4(31250, "0.0312");   // exactly 0.03125 s, tie to even
  expect_time4(93750, "0.0938");   // exactly 0.09375 s, tie to even
  expect_time4(-31250, "-0.0312");
  expect_time4(50, "0.0001");      // 5e-05 as a double is just above the tie
  expect_time4(-50, "-0.0001");
  expect_time4(std::numeric_limits<std::int64_t>::max(), "9223372036854.7754");
  expect_time4(std::numeric_limits<std::int64_t>::min(), "-9223372036854.7754");
}

// Floats around every place where the writer switches method or digit count.
void float_limits() {
  const float anchors[] = {
      std::numeric_limits<float>::denorm_min(), FLT_MIN, 5e-7f, 1e-6f, 1.0f, 9.999999e5f,
      131072.0f /* 2^17: no ties above */, 9.007199e9f /* 2^53 / 1e6 */, 9e12f,
      9.223372e12f /* 2^63 / 1e6 */, 1e13f, 1.8446744e13f, FLT_MAX};
  for (float anchor : anchors) {
    float up = anchor;
    float down = anchor;
    for (int i = 0; i < 2000; ++i) {
      for (float v : {up, down, -up, -down}) check_fixed6(v);
      up = std::nextafter(up, FLT_MAX);
      down = std::nextafter(down, 0.0f);
    }
  }
}

// A float v ends exactly half-way between two 6-decimal texts iff v * 10^6 = n + 1/2, i.e.
// v = a / 128 with odd a; floats below 2^17 hold every such a < 2^24, so this loop is
// every tie there is. Neighbours one ulp away must not round like ties.
void float_ties(std::mt19937_64& rng) {
  for (std::uint32_t a = 1; a < (1U << 24); a += 2) {
    const float v = static_cast<float>(a) / 128.0f;
    check_fixed6(v, (a & 0xFF) == 1);
    check_fixed6(-v, false);
    if (rng() % 8 == 0) {
      check_fixed6(std::nextafter(v, 0.0f), false);
      check_fixed6(std::nextafter(v, FLT_MAX), false);
    }
  }
}

void float_random(std::mt19937_64& rng) {
  for (int i = 0; i < 4'000'000; ++i) check_fixed6(float_of(static_cast<std::uint32_t>(rng())));
  // Values a sensor actually reports, where the fast path runs.
  std::uniform_real_distribution<float> sensor(-20.0f, 20.0f);
  std::uniform_real_distribution<float> wide(-1e5f, 1e5f);
  for (int i = 0; i < 2'000'000; ++i) {
    check_fixed6(sensor(rng), i % 4 == 0);
    check_fixed6(wide(rng), i % 4 == 0);
  }
}

void time_limits() {
  const std::int64_t lo = std::numeric_limits<std::int64_t>::min();
  const std::int64_t hi = std::numeric_limits<std::int64_t>::max();
  for (std::int64_t k = 0; k < 1000; ++k) {
    check_time4(lo + k);
    check_time4(hi - k);
  }
  const std::int64_t bases[] = {0, std::int64_t{1} << 52, std::int64_t{1} << 53,
                                std::int64_t{1} << 62, 1577836800000000};
  for (std::int64_t base : bases) {
    for (std::int64_t k = -1000; k <= 1000; ++k) {
      check_time4(base + k);
      check_time4(-(base + k));
    }
  }
  // Across the switch to to_chars at 2^52, both signs.
  for (std::int64_t us = (std::int64_t{1} << 52) - 500'000; us < (std::int64_t{1} << 52) + 500'000;
       ++us) {
    check_time4(us, us % 16 == 0);
    check_time4(-us, us % 16 == 0);
  }
}

// Every microsecond of a few seconds around 2020-01-01 and around 0.
void time_dense() {
  const std::int64_t day_2020 = 1577836800000000;
  for (std::int64_t us = day_2020 - 3'000'000; us <= day_2020 + 3'000'000; ++us) {
    check_time4(us, us % 16 == 0);
  }
  for (std::int64_t us = -1'000'000; us <= 1'000'000; ++us) check_time4(us, us % 16 == 0);
}

// t = us / 1e6 is exactly a tie of the fourth decimal iff us is an odd multiple of 31250.
void time_ties(std::mt19937_64& rng) {
  const std::int64_t around_2020 = 1577836800000000 / 31250;
  for (std::int64_t a = 1; a < 400'000; a += 2) {
    check_time4(a * 31250);
    check_time4(-a * 31250);
    check_time4((around_2020 + a) * 31250);
  }
  std::uniform_int_distribution<std::int64_t> any_a(-(std::int64_t{1} << 47), std::int64_t{1} << 47);
  for (int i = 0; i < 500'000; ++i) check_time4((any_a(rng) | 1) * 31250);
}

void time_random(std::mt19937_64& rng) {
  std::uniform_int_distribution<std::int64_t> recent(946684800000000, 4102444800000000);
  std::uniform_int_distribution<std::int64_t> exact_doubles(-(std::int64_t{1} << 53),
                                                            std::int64_t{1} << 53);
  for (int i = 0; i < 2'000'000; ++i) {
    check_time4(static_cast<std::int64_t>(rng()));
    check_time4(recent(rng), i % 4 == 0);
    check_time4(exact_doubles(rng), i % 4 == 0);
    // Remainder 50 in the 2000-2100 range: the cases decided by the binary value.
    check_time4(recent(rng) / 100 * 100 + 50);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 0) : 20200101;
  std::mt19937_64 rng(seed);
  const auto start = std::chrono::steady_clock::now();

  known_texts();
  float_limits();
  float_ties(rng);
  float_random(rng);
  time_limits();
  time_dense();
  time_ties(rng);
  time_random(rng);

  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("seed %llu: %ld cases, %ld failures, %.2f s\n", static_cast<unsigned long long>(seed),
              g_checked, g_failed, elapsed.count());
  return g_failed == 0 ? 0 : 1;
}
