// The resampled read: planned blocks decoded one at a time and streamed through the
// resampler, which holds only a few samples besides its output.
#include <optional>

#include "errors/messages.hpp"
#include "package/block.hpp"
#include "package/read.hpp"
#include "package/resample.hpp"
#include "packet/file.hpp"
#include "packet/packet.hpp"

namespace tiltgram {

namespace {

// The natural end of the last data packet among the last few planned sectors, read aside
// (the sequential reader keeps its place); nothing when there is none or it cannot be read.
std::optional<double> last_block_end(File& file, std::uint64_t first, std::uint64_t end) {
  constexpr std::uint64_t kLook = 8;
  std::uint8_t sector[kSectorSize];
  for (std::uint64_t b = end; b > first && end - b < kLook; --b) {
    if (!file.read_exact_at(kHeaderSize + kSectorSize * (b - 1), sector, kSectorSize).ok())
      return std::nullopt;
    Result<std::optional<PacketMeta>> meta = packet_meta(sector);
    if (!meta.ok()) return std::nullopt;
    if (meta.value()) return meta.value()->natural_bounds().second;
  }
  return std::nullopt;
}

// Sizes the output columns for the grid rows the read will likely give, when that fits
// easily in memory: columns filled in one mapping from the start cost less than columns
// grown as they fill. With the span from this block to the last planned one known, the
// rows are backed with memory at once too: one pass of page faults, at the start, rather
// than faults spread over the read.
void reserve_output(CwaDataResult& out, File& file, std::uint64_t block, std::uint64_t end_block,
                    const PacketMeta& meta, std::optional<double> lo, std::optional<double> hi,
                    double hz) {
  const auto [start, end] = meta.natural_bounds();
  // Blocks like this one, back to back, unless the last block tells the span.
  double from = start;
  double to = start + static_cast<double>(end_block - block) * (end - start);
  const std::optional<double> last = last_block_end(file, block, end_block);
  const bool known = last && *last > start;
  if (known) to = *last;
  if (lo && *lo > from) from = *lo;
  if (hi && *hi < to) to = *hi;
  const double rows = (to - from) * hz + 16.0;
  if (!(rows > 0.0) || rows > 1e12) return;
  const auto n = static_cast<std::size_t>(rows);
  std::size_t row_bytes = sizeof(std::int64_t) + 3 * sizeof(float);
  for (const auto& col : out.optional)
    if (col.present) row_bytes += sizeof(float);
  if (n > available_memory() / 2 / row_bytes) return;
  const auto each_column = [&out](auto&& f) {
    f(out.timestamps);
    f(out.acc_x);
    f(out.acc_y);
    f(out.acc_z);
    for (auto& col : out.optional)
      if (col.present) f(col.values);
  };
  each_column([n](auto& col) { col.reserve(n); });
  if (known) each_column([n](auto& col) { col.populate(n); });
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(std::string_view path,
                                                        const ReadPlan& plan, IncludeFlags flags,
                                                        double resample_hz) {
  TG_ASSIGN_OR_RETURN(OpenedDataBlocks opened,
                      open_cwa_data_blocks(path, plan.start_block, plan.block_count));
  if (opened.first_block >= opened.end_block)
    return CwaError::message(msg::kNoSampleDataInRange);
  const std::optional<double> lo = plan.start_time_s, hi = plan.end_time_s;

  // Created at the first decoded block, so an empty range never checks the time bounds.
  std::optional<StreamingResampler> resampler;
  std::optional<double> prev_end = opened.prev_block_end_s;
  DecodedSamples samples;
  std::int64_t times[kMaxSamplesPerPacket];
  bool finished = false;
  bool sensor_columns[2] = {false, false};  // gyroscope, magnetometer columns created
  // A selected sample brings its gyroscope and magnetometer columns into the output, even
  // where the grid rows near it turn out absent.
  const auto add_sensor_columns = [&](double t) {
    if (!(samples.has_gyro && !sensor_columns[0]) && !(samples.has_mag && !sensor_columns[1]))
      return;
    if (!((!lo || !(t < *lo)) && (!hi || t < *hi))) return;
    CwaDataResult& out = resampler->output();
    sensor_columns[0] = sensor_columns[0] || samples.has_gyro;
    sensor_columns[1] = sensor_columns[1] || samples.has_mag;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      if (samples.has_gyro) ensure_column(out.optional[kGyroX + axis], out.rows());
      if (samples.has_mag) ensure_column(out.optional[kMagX + axis], out.rows());
    }
  };
  for (std::uint64_t b = opened.first_block; b < opened.end_block && !finished; ++b) {
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, planned_sector(opened.reader));
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
      reserve_output(resampler->output(), opened.reader.file(), b, opened.end_block, *meta, lo,
                     hi, resample_hz);
    }
    double times_s[kMaxSamplesPerPacket];
    seconds_from_us(times, samples.count, times_s);
    bool below_end = true;
    if (hi)
      for (std::size_t i = 0; i < samples.count; ++i) below_end = below_end && times_s[i] < *hi;
    // A block whose samples all lie before the end bound cannot end the read: it is queued
    // whole and its rows emitted at once, which gives the rows that pushing its samples
    // one by one gives.
    if (!resampler->done() && below_end) {
      for (std::size_t i = 0; i < samples.count; ++i) add_sensor_columns(times_s[i]);
      const float* acc[3] = {samples.acc[0], samples.acc[1], samples.acc[2]};
      const float* gyro[3] = {samples.gyro[0], samples.gyro[1], samples.gyro[2]};
      const float* mag[3] = {samples.mag[0], samples.mag[1], samples.mag[2]};
      resampler->push_block(times_s, samples.count, acc, samples.has_gyro ? gyro : nullptr,
                            samples.has_mag ? mag : nullptr, readings.temperature,
                            readings.light, readings.battery);
      resampler->emit_ready(false);
      continue;
    }
    for (std::size_t i = 0; i < samples.count; ++i) {
      const double t = times_s[i];
      add_sensor_columns(t);
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
  if (!resampler) return CwaError::message(msg::kNoSampleDataInRange);
  resampler->emit_ready(true);
  CwaDataResult out = resampler->take_output();
  if (out.rows() == 0)
    return CwaError::message(msg::kNoSamplesAfterResampling);
  return out;
}

}  // namespace tiltgram
