#include "packet/time.hpp"

#include <cstdio>

namespace tiltgram {

// Howard Hinnant's civil-date algorithms, valid over the whole int64 range we use.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);                  // [0, 399]
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;   // [0, 365]
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;             // [0, 146096]
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civil_from_days(std::int64_t z, std::int64_t& year, int& month, int& day) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  year = y + (m <= 2);
  month = static_cast<int>(m);
  day = static_cast<int>(d);
}

std::int64_t NaiveDateTime::epoch_seconds() const noexcept {
  return days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

namespace {
bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(std::int64_t y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap(y) ? 29 : kDays[m - 1];
}
}  // namespace

std::optional<NaiveDateTime> cwa_timestamp(std::uint32_t packed) noexcept {
  if (packed == 0 || packed == 0xFFFFFFFFu) return std::nullopt;
  NaiveDateTime t;
  t.year = 2000 + static_cast<std::int64_t>(packed >> 26);
  t.month = static_cast<int>((packed >> 22) & 0x0F);
  t.day = static_cast<int>((packed >> 17) & 0x1F);
  t.hour = static_cast<int>((packed >> 12) & 0x1F);
  t.minute = static_cast<int>((packed >> 6) & 0x3F);
  t.second = static_cast<int>(packed & 0x3F);
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > days_in_month(t.year, t.month))
    return std::nullopt;
  if (t.hour > 23 || t.minute > 59 || t.second > 59) return std::nullopt;
  return t;
}

std::string format_raw_time(const NaiveDateTime& t) {
  char buf[64];
  int n;
  if (t.year >= 0 && t.year <= 9999)
    n = std::snprintf(buf, sizeof buf, "%04lld", static_cast<long long>(t.year));
  else
    n = std::snprintf(buf, sizeof buf, "%+05lld", static_cast<long long>(t.year));
  n += std::snprintf(buf + n, sizeof buf - static_cast<std::size_t>(n), "-%02d-%02dT%02d:%02d:%02d",
                     t.month, t.day, t.hour, t.minute, t.second);
  const std::uint32_t ns = t.nanosecond;
  if (ns != 0) {
    const auto room = sizeof buf - static_cast<std::size_t>(n);
    if (ns % 1000000 == 0)
      std::snprintf(buf + n, room, ".%03u", ns / 1000000);
    else if (ns % 1000 == 0)
      std::snprintf(buf + n, room, ".%06u", ns / 1000);
    else
      std::snprintf(buf + n, room, ".%09u", ns);
  }
  return buf;
}

std::optional<std::string> timestamp_us_to_raw_string(std::int64_t us) {
  // Floor divisions, so that -1 us is 23:59:59.999999 of the day before.
  std::int64_t secs = us / 1000000;
  std::int64_t rem = us % 1000000;
  if (rem < 0) {
    rem += 1000000;
    secs -= 1;
  }
  std::int64_t days = secs / 86400;
  std::int64_t sod = secs % 86400;
  if (sod < 0) {
    sod += 86400;
    days -= 1;
  }
  NaiveDateTime t;
  civil_from_days(days, t.year, t.month, t.day);
  if (t.year < -262144 || t.year > 262143) return std::nullopt;
  t.hour = static_cast<int>(sod / 3600);
  t.minute = static_cast<int>(sod / 60 % 60);
  t.second = static_cast<int>(sod % 60);
  t.nanosecond = static_cast<std::uint32_t>(rem) * 1000u;
  return format_raw_time(t);
}

}  // namespace tiltgram
