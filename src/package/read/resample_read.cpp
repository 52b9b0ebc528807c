// The resampled read: planned blocks decoded one at a time and streamed through the
// resampler, which holds only a few samples besides its output.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "errors/messages.hpp"
#include "package/decode/block.hpp"
#include "package/memory/memory.hpp"
#include "package/read/read.hpp"
#include "package/resample/resample.hpp"
#include "packet/packet.hpp"
#include "packet/source.hpp"

namespace tiltgram {

namespace {

// Bytes per output row with `columns` float columns besides the times.
std::uint64_t grid_row_bytes(std::uint64_t columns) {
  return sizeof(std::int64_t) + columns * sizeof(float);
}

// Bytes of `rows` whole rows (saturating; a negative or NaN count is none).
std::uint64_t rows_bytes(double rows, std::uint64_t row_bytes) {
  if (!(rows >= 1.0)) return 0;
  if (rows >= 1.8e19 / static_cast<double>(row_bytes)) return UINT64_MAX - UINT64_MAX % row_bytes;
  return static_cast<std::uint64_t>(rows) * row_bytes;
}

// Sizes the output columns for the grid rows the read will likely give: columns filled in
// one mapping from the start cost less than columns grown as they fill. With the span
// from this block to the last planned one known, those rows will be filled: the guard
// refuses them now if they cannot be, and otherwise they are backed with memory at once
// too (one pass of page faults, at the start, rather than faults spread over the read).
// Returns the rows backed; backing is done a piece at a time, with a check for a Ctrl-C
// between pieces.
Result<std::size_t> reserve_output(CwaDataResult& out, OpenedDataBlocks& opened, std::uint64_t block,
                           std::uint64_t end_block, const PacketMeta& meta,
                           std::optional<double> lo, std::optional<double> hi, double hz,
                           FillGuard& guard, std::optional<double>& known_end) {
  const auto [start, end] = meta.natural_bounds();
  // Blocks like this one, back to back, unless the last block tells the span.
  double from = start;
  double to = start + static_cast<double>(end_block > block ? end_block - block : 1) * (end - start);
  // Gzip data cannot be read aside: its span is the estimate.
  const std::optional<double> last = opened.last_end_aside(block, end_block);
  const bool known = last && *last > start;
  if (known) to = *last;
  if (known) known_end = *last;
  if (lo && *lo > from) from = *lo;
  if (hi && *hi < to) to = *hi;
  const double grid_rows = (to - from) * hz + 1.0;
  const double rows = grid_rows + 15.0;  // room for a little more
  std::uint64_t columns = 3;
  for (const auto& col : out.optional)
    if (col.present) ++columns;
  guard.row_bytes(grid_row_bytes(columns));
  if (known) guard.expect(rows_bytes(grid_rows, grid_row_bytes(columns)), 0);
  if (!(rows > 0.0) || rows > 1e12) return std::size_t{0};
  const auto n = static_cast<std::size_t>(rows);
  if (!try_reserve_columns(out, n)) return std::size_t{0};
  if (!known || !guard.allows(rows_bytes(rows, grid_row_bytes(columns)))) return std::size_t{0};
  constexpr std::size_t kPiece = std::size_t{1} << 20;  // rows: some 30 MB, 50 ms to back
  for (std::size_t from = 0; from < n; from += kPiece) {
    TG_TRY(check_interrupt());
    const std::size_t to = n - from < kPiece ? n : from + kPiece;
    for_each_column(out, [from, to](auto& col) { col.populate(from, to); });
  }
  return n;
}

Result<CwaDataResult> read_resampled(BlockWalk& walk, const ReadPlan& plan,
                                     IncludeFlags flags, double resample_hz) {
  OpenedDataBlocks& opened = walk.opened();
  if (opened.first_block >= opened.end_block)
    return CwaError::format(msg::kNoSampleDataInRange);
  const std::optional<double> lo = plan.start_time_s, hi = plan.end_time_s;

  // Created at the first decoded block, so an empty range never checks the time bounds.
  std::optional<StreamingResampler> resampler;
  DecodedSamples samples;
  std::int64_t times[kMaxSamplesPerPacket];
  bool finished = false;
  bool sensor_columns[2] = {false, false};  // gyroscope, magnetometer columns created

  // The grid's rows up to a pushed sample will be filled: before a block is pushed, the
  // guard is told the rows up to its last sample (up to the end bound), so that a grid
  // far finer than the data, or a gap of years, is refused before it is filled.
  std::uint64_t reading_columns = 3;
  for (bool wanted : {flags.temperature, flags.light, flags.battery}) reading_columns += wanted;
  std::uint64_t row_bytes = grid_row_bytes(reading_columns);
  std::size_t backed_rows = 0;  // rows backed with memory ahead of writing
  std::optional<double> origin;
  std::uint64_t expected_bytes = 0;
  FillGuard guard([resample_hz](std::uint64_t) {
    char hz[32];
    std::snprintf(hz, sizeof hz, "%g", resample_hz);
    return msg::grid(hz);
  });
  // The last planned block's end where a file tells it (reserve_output).
  std::optional<double> known_end;
  // A selected sample brings its gyroscope and magnetometer columns into the output, even
  // where the grid rows near it turn out absent.
  // Whether the block may bring a column that the output does not have yet.
  const auto new_sensor_columns = [&] {
    return (samples.has_gyro && !sensor_columns[0]) || (samples.has_mag && !sensor_columns[1]);
  };
  const auto add_sensor_columns = [&](double t) {
    if (!new_sensor_columns()) return;
    if (!((!lo || !(t < *lo)) && (!hi || t < *hi))) return;
    CwaDataResult& out = resampler->output();
    sensor_columns[0] = sensor_columns[0] || samples.has_gyro;
    sensor_columns[1] = sensor_columns[1] || samples.has_mag;
    for (std::size_t axis = 0; axis < 3; ++axis) {
      if (samples.has_gyro) ensure_column(out.optional[kGyroX + axis], out.rows());
      if (samples.has_mag) ensure_column(out.optional[kMagX + axis], out.rows());
    }
  };
  const auto read_blocks = [&]() -> Status {
    while (!finished) {
      TG_ASSIGN_OR_RETURN(bool more, walk.next());
      if (!more) break;
      const std::uint64_t b = walk.block_index();
      const PacketMeta* meta = &walk.meta();
      // The format is checked before the times, and the samples are decoded once it is
      // known where they go.
      TG_ASSIGN_OR_RETURN(const SampleFormat format, walk.format(flags.magnetometer));
      samples.count = format.count;
      samples.has_gyro = format.has_gyro;
      samples.has_mag = format.has_mag;
      TG_TRY(walk.times(samples.count, times));
      const BlockReadings readings = block_readings(walk.block());
      if (!resampler) {
        TG_TRY(check_time_bounds(lo, hi));
        resampler.emplace(lo, hi, resample_hz, flags.temperature, flags.light, flags.battery);
        TG_ASSIGN_OR_RETURN(backed_rows,
                            reserve_output(resampler->output(), opened, b,
                                           opened.expected_end, *meta, lo, hi, resample_hz,
                                           guard, known_end));
      }
      double times_s[kMaxSamplesPerPacket];
      seconds_from_us(times, samples.count, times_s);
      if (samples.count > 0) {
        if (!origin) origin = lo && *lo > times_s[0] ? *lo : times_s[0];
        const std::uint64_t backed = std::max<std::uint64_t>(resampler->rows(), backed_rows) * row_bytes;
        const std::uint64_t columns = reading_columns + 3 * (sensor_columns[0] || samples.has_gyro) +
                                      3 * (sensor_columns[1] || samples.has_mag);
        row_bytes = grid_row_bytes(columns);
        guard.row_bytes(row_bytes);
        const double until = hi && *hi < times_s[samples.count - 1] ? *hi : times_s[samples.count - 1];
        const std::uint64_t bytes = rows_bytes((until - *origin) * resample_hz + 1.0, row_bytes);
        // The whole grid as far as known: to the last planned block's end, or, where that
        // cannot be read aside (gzip data), with each block left full at this block's
        // format and rate.
        const auto [ns, ne] = meta->natural_bounds();
        double last = known_end.value_or(
            times_s[samples.count - 1] +
            static_cast<double>(opened.blocks_after(b)) *
                static_cast<double>(kSampleAreaBytes / bytes_per_sample(format.axes, format.packing)) *
                ((ne - ns) / static_cast<double>(samples.count)));
        if (hi && *hi < last) last = *hi;
        const std::uint64_t whole = rows_bytes((last - *origin) * resample_hz + 1.0, row_bytes);
        expected_bytes = std::max({expected_bytes, bytes, whole});
        guard.expect(std::max(bytes, whole), backed);
      }
      bool below_end = true;
      if (hi)
        for (std::size_t i = 0; i < samples.count; ++i) below_end = below_end && times_s[i] < *hi;
      // A block whose samples all lie before the end bound cannot end the read: it is queued
      // whole and its rows emitted at once, which gives the rows that pushing its samples
      // one by one gives.
      if (!resampler->done() && below_end) {
        if (new_sensor_columns())
          for (std::size_t i = 0; i < samples.count; ++i) add_sensor_columns(times_s[i]);
        if (samples.count > 0)
          walk.decode(format,
                      resampler->push_space(times_s, samples.count, samples.has_gyro,
                                            samples.has_mag, readings.temperature,
                                            readings.light, readings.battery));
        resampler->emit_ready(false);
        continue;
      }
      walk.decode(format, {{samples.acc[0], samples.acc[1], samples.acc[2]},
                           {samples.gyro[0], samples.gyro[1], samples.gyro[2]},
                           {samples.mag[0], samples.mag[1], samples.mag[2]}});
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
    if (resampler) resampler->emit_ready(true);
    return {};
  };
  TG_TRY(guard.run(read_blocks, [&] { return expected_bytes; }));
  if (!resampler) return CwaError::format(msg::kNoSampleDataInRange);
  CwaDataResult out = resampler->take_output();
  if (out.rows() == 0)
    return CwaError::format(msg::kNoSamplesAfterResampling);
  return out;
}

}  // namespace

Result<CwaDataResult> read_cwa_data_resampled_streaming(std::string_view path,
                                                        const ReadPlan& plan, IncludeFlags flags,
                                                        double resample_hz) {
  TG_ASSIGN_OR_RETURN(BlockWalk walk, BlockWalk::open(path, plan.start_block, plan.block_count));
  return walk.conclude(read_resampled(walk, plan, flags, resample_hz));
}

}  // namespace tiltgram
