// The resampled read: planned blocks decoded one at a time and streamed through the
// resampler, which holds only a few samples besides its output.
#include <optional>

#include "package/block.hpp"
#include "package/read.hpp"
#include "package/resample.hpp"
#include "packet/packet.hpp"

namespace tiltgram {

namespace {

// Reserves the output columns for the grid rows that the remaining planned blocks likely
// give (blocks like this one, back to back), when that fits easily in memory: columns
// filled in one mapping from the start cost less than columns grown as they fill.
void reserve_output(CwaDataResult& out, std::uint64_t blocks, const PacketMeta& meta,
                    std::optional<double> lo, std::optional<double> hi, double hz) {
  const auto [start, end] = meta.natural_bounds();
  double span_s = static_cast<double>(blocks) * (end - start);
  if (lo && hi && *hi - *lo < span_s) span_s = *hi - *lo;
  const double rows = span_s * hz + 16.0;
  if (!(rows > 0.0) || rows > 1e12) return;
  const auto n = static_cast<std::size_t>(rows);
  std::size_t row_bytes = sizeof(std::int64_t) + 3 * sizeof(float);
  for (const auto& col : out.optional)
    if (col.present) row_bytes += sizeof(float);
  if (n > available_memory() / 2 / row_bytes) return;
  out.timestamps.reserve(n);
  out.acc_x.reserve(n);
  out.acc_y.reserve(n);
  out.acc_z.reserve(n);
  for (auto& col : out.optional)
    if (col.present) col.values.reserve(n);
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(std::string_view path,
                                                        const ReadPlan& plan, IncludeFlags flags,
                                                        double resample_hz) {
  TG_ASSIGN_OR_RETURN(OpenedDataBlocks opened,
                      open_cwa_data_blocks(path, plan.start_block, plan.block_count));
  if (opened.first_block >= opened.end_block)
    return CwaError::message("No valid sample data found in the specified range");
  const std::optional<double> lo = plan.start_time_s, hi = plan.end_time_s;

  // Created at the first decoded block, so an empty range never checks the time bounds.
  std::optional<StreamingResampler> resampler;
  std::optional<double> prev_end = opened.prev_block_end_s;
  DecodedSamples samples;
  std::int64_t times[kMaxSamplesPerPacket];
  bool finished = false;
  bool sensor_columns[2] = {false, false};  // gyroscope, magnetometer columns created
  for (std::uint64_t b = opened.first_block; b < opened.end_block && !finished; ++b) {
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, opened.reader.next());
    if (sector == nullptr) return CwaError::message("Unexpected end of CWA data");
    TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
    if (!meta) continue;
    TG_ASSIGN_OR_RETURN(CwaDataBlock block, CwaDataBlock::from_buffer(sector));
    TG_TRY(parse_samples(block, flags.magnetometer, samples));
    TG_ASSIGN_OR_RETURN(double end, calculate_sample_timestamps_with_prev_end(
                                        block, samples.count, prev_end, times));
    prev_end = end;
    const BlockReadings readings = block_readings(block);
    if (!resampler) {
      TG_TRY(check_time_bounds(lo, hi));
      resampler.emplace(lo, hi, resample_hz, flags.temperature, flags.light, flags.battery);
      reserve_output(resampler->output(), opened.end_block - b, *meta, lo, hi, resample_hz);
    }
    for (std::size_t i = 0; i < samples.count; ++i) {
      const double t = static_cast<double>(times[i]) / 1000000.0;
      // A selected sample brings its gyroscope and magnetometer columns into the output,
      // even where the grid rows near it turn out absent.
      if ((samples.has_gyro && !sensor_columns[0]) || (samples.has_mag && !sensor_columns[1])) {
        const bool selected = (!lo || !(t < *lo)) && (!hi || t < *hi);
        if (selected) {
          CwaDataResult& out = resampler->output();
          sensor_columns[0] = sensor_columns[0] || samples.has_gyro;
          sensor_columns[1] = sensor_columns[1] || samples.has_mag;
          for (std::size_t axis = 0; axis < 3; ++axis) {
            if (samples.has_gyro) ensure_column(out.optional[kGyroX + axis], out.rows());
            if (samples.has_mag) ensure_column(out.optional[kMagX + axis], out.rows());
          }
        }
      }
      if (!resampler->done()) {
        float gyro[3] = {}, mag[3] = {};
        for (std::size_t axis = 0; axis < 3; ++axis) {
          if (samples.has_gyro) gyro[axis] = samples.gyro[axis][i];
          if (samples.has_mag) mag[axis] = samples.mag[axis][i];
        }
        resampler->push_values(t, samples.acc[0][i], samples.acc[1][i], samples.acc[2][i],
                               samples.has_gyro, gyro, samples.has_mag, mag,
                               readings.temperature, readings.light, readings.battery);
        resampler->emit_ready(false);
      }
      if (hi && resampler->done() && t >= *hi) {
        finished = true;
        break;
      }
    }
  }
  if (!resampler) return CwaError::message("No valid sample data found in the specified range");
  resampler->emit_ready(true);
  CwaDataResult out = resampler->take_output();
  if (out.rows() == 0)
    return CwaError::message("No samples remain after applying time range/resampling");
  return out;
}

}  // namespace tiltgram
