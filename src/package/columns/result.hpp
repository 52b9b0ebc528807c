// Decoded samples and the columnar result of a read.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <optional>

#include "package/columns/column.hpp"

namespace tiltgram {

// The NaN that marks a missing optional value: the single-precision quiet NaN 0x7FC00000.
inline constexpr float kMissing = std::bit_cast<float>(std::uint32_t{0x7FC00000});

// Whether every time minus `offset_us` stays within int64.
inline bool shift_fits(const std::int64_t* times, std::size_t n, std::int64_t offset_us) noexcept {
  bool overflow = false;
  std::int64_t unused;
  for (std::size_t i = 0; i < n; ++i) overflow |= __builtin_sub_overflow(times[i], offset_us, &unused);
  return !overflow;
}

// One decoded sample: acceleration in g always; gyroscope (degrees per second) in 6- and
// 9-axis packets; magnetometer in 9-axis packets decoded with the magnetometer.
struct SampleData {
  float acc_x = 0, acc_y = 0, acc_z = 0;
  std::optional<float> gyro_x, gyro_y, gyro_z;
  std::optional<float> mag_x, mag_y, mag_z;
};

// The optional channels of a result, in column order.
enum Channel : std::size_t {
  kGyroX, kGyroY, kGyroZ, kMagX, kMagY, kMagZ, kTemperature, kLight, kBattery, kChannelCount
};
inline constexpr const char* kChannelNames[kChannelCount] = {
    "gyro_x", "gyro_y", "gyro_z", "mag_x", "mag_y", "mag_z", "temperature", "light", "battery"};

// A float column that may be absent; absence is distinct from an empty column.
struct OptionalColumn {
  bool present = false;
  Column<float> values;
};

// The result of a read: one row per sample (or grid point), in order. Every present
// column has exactly as many entries as `timestamps`.
struct CwaDataResult {
  Column<std::int64_t> timestamps;  // microseconds since 1970 on the device clock
  Column<float> acc_x, acc_y, acc_z;
  std::array<OptionalColumn, kChannelCount> optional;

  std::size_t rows() const noexcept { return timestamps.size(); }
  OptionalColumn& channel(Channel c) noexcept { return optional[c]; }
  const OptionalColumn& channel(Channel c) const noexcept { return optional[c]; }
};

// Calls f(column) for the times, the accelerometer columns and every present optional
// column (a Column<std::int64_t>, then Column<float>s).
template <class F>
void for_each_column(CwaDataResult& r, F&& f) {
  f(r.timestamps);
  f(r.acc_x);
  f(r.acc_y);
  f(r.acc_z);
  for (auto& col : r.optional)
    if (col.present) f(col.values);
}

// Reserves room for `rows` in every column of `r` (address space only), or, where the
// system refuses some of it, in none of them: the columns then grow as they fill.
// Returns whether the room was reserved.
inline bool try_reserve_columns(CwaDataResult& r, std::size_t rows) {
  bool ok = true;
  for_each_column(r, [&](auto& col) { ok = ok && col.try_reserve(rows); });
  if (!ok) for_each_column(r, [](auto& col) { col.shrink_to_fit(); });
  return ok;
}

// Appends an optional value at row `row` (the number of rows already complete): a column
// that is absent comes into being at its first present value with NaN for every earlier
// row; a present column gets NaN for an absent value.
inline void append_sensor_value(OptionalColumn& col, std::optional<float> value, std::size_t row) {
  if (!col.present) {
    if (!value) return;
    col.present = true;
    col.values.reserve(row + 1);
    col.values.fill_append(kMissing, row);
  }
  col.values.push_back(value ? *value : kMissing);
}

// Makes `col` present, NaN-filled to `rows` rows, if it is absent.
inline void ensure_column(OptionalColumn& col, std::size_t rows) {
  if (col.present) return;
  col.present = true;
  col.values.reserve(rows);
  col.values.fill_append(kMissing, rows);
}

}  // namespace tiltgram
