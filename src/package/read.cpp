#include "package/read.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "errors/messages.hpp"
#include "package/block.hpp"
#include "packet/packet.hpp"

namespace tiltgram {

namespace {

// Appends one block's optional sensor columns: a sensor that the block has creates its
// columns (NaN for earlier rows); a present column gets NaN where the block lacks it.
void append_sensor(CwaDataResult& r, Channel first, bool has, const float (*values)[kMaxSamplesPerPacket],
                   std::size_t rows_before, std::size_t n, std::size_t reserve) {
  for (std::size_t axis = 0; axis < 3; ++axis) {
    OptionalColumn& col = r.optional[first + axis];
    if (has) {
      if (!col.present) {
        col.values.reserve(reserve);
        ensure_column(col, rows_before);
      }
      col.values.append(values[axis], n);
    } else if (col.present) {
      col.values.fill_append(kMissing, n);
    }
  }
}

}  // namespace

Result<CwaDataResult> read_cwa_data(std::string_view path, std::optional<std::uint64_t> start_block,
                                    std::optional<std::uint64_t> block_count, IncludeFlags flags) {
  TG_ASSIGN_OR_RETURN(OpenedDataBlocks opened, open_cwa_data_blocks(path, start_block, block_count));
  const std::uint64_t blocks = opened.end_block - opened.first_block;
  // Address space for every planned block at the capacity of the first packet's format,
  // set at the first packet; only rows written are ever touched, and a recording whose
  // later packets hold more grows its columns by remapping, never by copying.
  std::size_t reserve = 0;

  CwaDataResult r;
  const bool wanted[3] = {flags.temperature, flags.light, flags.battery};
  for (std::size_t k = 0; k < 3; ++k) r.optional[kTemperature + k].present = wanted[k];

  DecodedSamples samples;
  std::optional<double> prev_end = opened.prev_block_end_s;
  for (std::uint64_t b = opened.first_block; b < opened.end_block; ++b) {
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, planned_sector(opened.reader));
    TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
    if (!meta) continue;
    TG_ASSIGN_OR_RETURN(CwaDataBlock block, CwaDataBlock::from_buffer(sector));
    TG_TRY(parse_samples(block, flags.magnetometer, samples));
    const std::size_t n = samples.count;
    const std::size_t rows_before = r.rows();
    if (reserve == 0) {
      const unsigned bps = bytes_per_sample(block.num_axes_bps >> 4, block.num_axes_bps & 0x0F);
      reserve = static_cast<std::size_t>(blocks) * (kSampleAreaBytes / bps);
      r.timestamps.reserve(reserve);
      r.acc_x.reserve(reserve);
      r.acc_y.reserve(reserve);
      r.acc_z.reserve(reserve);
      for (std::size_t k = 0; k < 3; ++k)
        if (wanted[k]) r.optional[kTemperature + k].values.reserve(reserve);
    }
    TG_ASSIGN_OR_RETURN(double end, calculate_sample_timestamps_with_prev_end(
                                        block, n, prev_end, r.timestamps.append_space(n)));
    prev_end = end;
    r.timestamps.commit(n);
    r.acc_x.append(samples.acc[0], n);
    r.acc_y.append(samples.acc[1], n);
    r.acc_z.append(samples.acc[2], n);
    append_sensor(r, kGyroX, samples.has_gyro, samples.gyro, rows_before, n, reserve);
    append_sensor(r, kMagX, samples.has_mag, samples.mag, rows_before, n, reserve);
    const BlockReadings readings = block_readings(block);
    const float values[3] = {readings.temperature, readings.light, readings.battery};
    for (std::size_t k = 0; k < 3; ++k)
      if (wanted[k]) r.optional[kTemperature + k].values.fill_append(values[k], n);
  }
  if (r.acc_x.empty()) return CwaError::message(msg::kNoSampleDataInRange);
  return r;
}

Status check_time_bounds(std::optional<double> start_s, std::optional<double> end_s) {
  for (const auto& v : {start_s, end_s})
    if (v && !std::isfinite(*v)) return CwaError::message(msg::kTimeRangeNotFinite);
  if (start_s && end_s && !(*end_s > *start_s))
    return CwaError::message(msg::kTimeRangeOrder);
  return {};
}

Result<CwaDataResult> filter_data_by_time_range(CwaDataResult data, std::optional<double> start_s,
                                                std::optional<double> end_s) {
  if (!start_s && !end_s) return data;
  TG_TRY(check_time_bounds(start_s, end_s));
  const double lo = start_s.value_or(0.0), hi = end_s.value_or(0.0);
  const std::size_t rows = data.rows();
  const std::int64_t* ts = data.timestamps.data();
  auto keep = [&](std::size_t i) {
    const double t = static_cast<double>(ts[i]) / 1000000.0;
    return (!start_s || t >= lo) && (!end_s || t < hi);
  };

  // Compacts in place run by run: kept rows keep their order and move only towards the
  // front, so every column is moved with one memmove per run of kept rows.
  float* columns[3 + kChannelCount];
  std::size_t ncols = 0;
  columns[ncols++] = data.acc_x.data();
  columns[ncols++] = data.acc_y.data();
  columns[ncols++] = data.acc_z.data();
  for (auto& col : data.optional)
    if (col.present) columns[ncols++] = col.values.data();
  std::int64_t* times = data.timestamps.data();

  std::size_t kept = 0;
  std::size_t i = 0;
  while (i < rows) {
    if (!keep(i)) {
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    while (j < rows && keep(j)) ++j;
    const std::size_t len = j - i;
    if (kept != i) {
      std::memmove(times + kept, times + i, len * sizeof(std::int64_t));
      for (std::size_t c = 0; c < ncols; ++c)
        std::memmove(columns[c] + kept, columns[c] + i, len * sizeof(float));
    }
    kept += len;
    i = j;
  }
  if (kept == 0) return CwaError::message(msg::kNoSamplesAfterTimeRange);

  data.timestamps.truncate(kept);
  data.acc_x.truncate(kept);
  data.acc_y.truncate(kept);
  data.acc_z.truncate(kept);
  for (std::size_t c = 0; c < kChannelCount; ++c) {
    OptionalColumn& col = data.optional[c];
    if (!col.present) continue;
    col.values.truncate(kept);
    if (c > kMagZ) continue;  // temperature, light and battery are never dropped
    bool any = false;
    for (std::size_t k = 0; k < kept && !any; ++k) any = !std::isnan(col.values[k]);
    if (!any) col = OptionalColumn{};
  }
  return data;
}

Result<std::optional<double>> parse_resample_options(std::optional<double> resample_hz,
                                                     std::string_view resample_method) {
  if (!resample_hz) return std::optional<double>();
  const double hz = *resample_hz;
  if (!std::isfinite(hz) || !(hz > 0.0))
    return CwaError::message(msg::kResampleHzPositive);
  if (hz > 10000.0) return CwaError::message(msg::kResampleHzTooHigh);
  if (resample_method != "cubic")
    return CwaError::message(msg::unsupported_resample_method(resample_method));
  return std::optional<double>(hz);
}

void shrink_to_fit(CwaDataResult& data) {
  data.timestamps.shrink_to_fit();
  data.acc_x.shrink_to_fit();
  data.acc_y.shrink_to_fit();
  data.acc_z.shrink_to_fit();
  for (auto& col : data.optional)
    if (col.present) col.values.shrink_to_fit();
}

}  // namespace tiltgram
