// Device-clock times: the packed 32-bit timestamp of the format, naive date-times, their
// text form, and the conversion of seconds to whole microseconds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tiltgram {

// A naive date-time on the device clock (no time zone).
struct NaiveDateTime {
  std::int64_t year = 1970;
  int month = 1;   // 1-12
  int day = 1;     // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
  std::uint32_t nanosecond = 0;  // 0-999'999'999

  // Whole seconds since 1970-01-01T00:00:00, the clock read as if it were UTC.
  std::int64_t epoch_seconds() const noexcept;
};

// Days since 1970-01-01 of a proleptic Gregorian date.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) noexcept;
// The date `days` after 1970-01-01.
void civil_from_days(std::int64_t days, std::int64_t& year, int& month, int& day) noexcept;

// Decodes a packed timestamp:
//   bits 31-26 year - 2000, 25-22 month, 21-17 day, 16-12 hours, 11-6 minutes, 5-0 seconds.
// 0 and 0xFFFFFFFF are "unset"; a value that is not a real calendar date and time is
// invalid. Both give nothing.
std::optional<NaiveDateTime> cwa_timestamp(std::uint32_t packed) noexcept;

// "%Y-%m-%dT%H:%M:%S%.f": 2023-01-05T10:00:00, then ".123", ".123456" or ".123456789"
// only when there is a fraction. Years outside 0-9999 carry a sign (+10000, -0001).
std::string format_raw_time(const NaiveDateTime& t);

// Microseconds since 1970-01-01 as text (format_raw_time); nothing when the date lies
// outside the years -262144 to 262143.
std::optional<std::string> timestamp_us_to_raw_string(std::int64_t us);

// Seconds x 1e6 already computed, to whole microseconds: truncation toward zero, NaN -> 0,
// saturation at the signed 64-bit limits (above 9223372036854774784.0, the largest double
// below 2^63, gives INT64_MAX).
inline std::int64_t saturating_us(double us) noexcept {
  if (us != us) return 0;
  if (us > 9223372036854774784.0) return INT64_MAX;
  if (us < -9223372036854775808.0) return INT64_MIN;
  return static_cast<std::int64_t>(us);
}

}  // namespace tiltgram
