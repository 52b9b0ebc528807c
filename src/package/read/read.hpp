// The reading pipeline: planned blocks into columns, the per-sample time filter, and the
// resampled read.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/error.hpp"
#include "package/columns/result.hpp"
#include "package/plan/plan.hpp"
#include "package/walk/walk.hpp"

namespace tiltgram {

// Which optional channels a read produces.
struct IncludeFlags {
  bool magnetometer = true;
  bool temperature = true;
  bool light = true;
  bool battery = true;
};

// Reads data blocks [start_block, start_block + block_count) into columns: at least one
// row, or "No valid sample data found in the specified range". Gyroscope and magnetometer
// columns exist when some sample had them (NaN elsewhere); temperature, light and battery
// exactly when asked for.
Result<CwaDataResult> read_cwa_data(std::string_view path, std::optional<std::uint64_t> start_block,
                                    std::optional<std::uint64_t> block_count, IncludeFlags flags);

// Keeps the rows whose time t (seconds) satisfies start <= t < end; without bounds the
// result passes unchanged. Gyroscope and magnetometer columns left all-NaN are dropped.
Result<CwaDataResult> filter_data_by_time_range(CwaDataResult data, std::optional<double> start_s,
                                                std::optional<double> end_s);

// The time-bound checks shared by the filter, the resampled read and the CSV writer.
Status check_time_bounds(std::optional<double> start_s, std::optional<double> end_s);

// Validates the resampling options: the rate, or nothing for no resampling. The error
// (a Message) is raised as ValueError.
Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz,
                                                     std::string_view resample_method);

// Reads the planned blocks through the streaming resampler: grid rows within the plan's
// time bounds.
Result<CwaDataResult> read_cwa_data_resampled_streaming(std::string_view path,
                                                        const ReadPlan& plan, IncludeFlags flags,
                                                        double resample_hz);

// Releases the address space a column reserved beyond its rows (no copy).
void shrink_to_fit(CwaDataResult& data);

}  // namespace tiltgram
