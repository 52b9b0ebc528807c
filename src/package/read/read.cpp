#include "package/read/read.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "errors/messages.hpp"
#include "package/decode/block.hpp"
#include "package/memory/memory.hpp"

namespace tiltgram {

namespace {

// Where a block's values of an optional sensor go: a sensor that the block has creates its
// columns (NaN for earlier rows) and is decoded into them; a present column gets NaN where
// the block lacks the sensor.
void sensor_space(CwaDataResult& r, Channel first, bool has, float* (&to)[3], std::size_t rows_before,
                  std::size_t n, std::size_t reserve) {
  for (std::size_t axis = 0; axis < 3; ++axis) {
    OptionalColumn& col = r.optional[first + axis];
    to[axis] = nullptr;
    if (has) {
      if (!col.present) {
        (void)col.values.try_reserve(reserve);
        ensure_column(col, rows_before);
      }
      to[axis] = col.values.append_space(n);
    } else if (col.present) {
      col.values.fill_append(kMissing, n);
    }
  }
}

void commit_sensor(CwaDataResult& r, Channel first, bool has, std::size_t n) noexcept {
  if (!has) return;
  for (std::size_t axis = 0; axis < 3; ++axis) r.optional[first + axis].values.commit(n);
}

// Bytes per row of `r` once a block with or without gyroscope and magnetometer values
// is appended.
std::uint64_t row_bytes(const CwaDataResult& r, bool has_gyro, bool has_mag) {
  std::uint64_t columns = 3;
  for (const OptionalColumn& col : r.optional) columns += col.present ? 1 : 0;
  if (has_gyro && !r.optional[kGyroX].present) columns += 3;
  if (has_mag && !r.optional[kMagX].present) columns += 3;
  return sizeof(std::int64_t) + columns * sizeof(float);
}

// The rows a plain read's result will hold once the blocks left are read: the rows so far
// and each block left full at the capacity of the format just read (exact for a recording
// of one format without gaps, whatever its first packet holds), or the counted total.
std::uint64_t expected_rows(std::uint64_t rows, std::uint64_t blocks_left, const SampleFormat& format,
                            std::optional<std::uint64_t> counted) {
  if (counted) return *counted > rows ? *counted : rows;
  const std::uint64_t capacity = kSampleAreaBytes / bytes_per_sample(format.axes, format.packing);
  return blocks_left > (UINT64_MAX - rows) / capacity ? UINT64_MAX : rows + blocks_left * capacity;
}

std::uint64_t times_saturated(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b;
}

// Gzip data is decompressed by a thread of its own, ahead of the reader, and the reader
// waits for it much of the time: meanwhile the columns are backed with memory ahead of the
// rows written, as far as the guard has let the result grow, so that decoding writes into
// pages that are there already instead of faulting them in itself.
class BackAhead {
 public:
  static constexpr std::size_t kPiece = std::size_t{1} << 18;  // rows: 8 MB, about 1 ms

  BackAhead(Source& source, CwaDataResult& r) : source_(source), r_(r), work_([this] { return step(); }) {
    source_.set_while_waiting(&work_);
  }
  BackAhead(const BackAhead&) = delete;
  BackAhead& operator=(const BackAhead&) = delete;
  ~BackAhead() { source_.set_while_waiting(nullptr); }

  // Rows that may be backed (those of a size the guard allows).
  void allow(std::uint64_t rows) noexcept {
    const std::size_t room = r_.timestamps.capacity();
    limit_ = rows < room ? static_cast<std::size_t>(rows) : room;
  }
  // Rows backed so far.
  std::size_t rows() const noexcept { return backed_; }

 private:
  bool step() noexcept {
    if (backed_ >= limit_) return false;
    const std::size_t to = limit_ - backed_ < kPiece ? limit_ : backed_ + kPiece;
    for_each_column(r_, [&](auto& col) { col.populate(backed_, to); });
    backed_ = to;
    return true;
  }

  Source& source_;
  CwaDataResult& r_;
  WhileWaiting work_;
  std::size_t backed_ = 0;
  std::size_t limit_ = 0;
};

Result<CwaDataResult> read_walk(BlockWalk& walk, IncludeFlags flags) {
  OpenedDataBlocks& opened = walk.opened();
  const std::uint64_t blocks = opened.expected_end - opened.first_block;
  // Room for every planned block at the capacity of the first packet's format, set at the
  // first packet: address space only, as only rows written are ever touched, and a
  // recording whose later packets hold more grows its columns by remapping, never by
  // copying. Memory is what the guard counts: the rows the result will really hold, as
  // estimated before each block is filled (expected_rows).
  std::size_t reserve = 0;
  FillGuard guard([&opened](std::uint64_t) {
    return msg::blocks_of_samples(count_text(opened.estimated_blocks()));
  });
  std::uint64_t expected_bytes = 0;  // the whole result, as far as known
  std::optional<std::uint64_t> counted;  // the rows of a plan whose packets were counted

  CwaDataResult r;
  const bool wanted[3] = {flags.temperature, flags.light, flags.battery};
  for (std::size_t k = 0; k < 3; ++k) r.optional[kTemperature + k].present = wanted[k];
  BackAhead back_ahead(opened.reader.source(), r);

  const IsaLevel isa = best_isa();
  const auto read_blocks = [&]() -> Status {
    for (;;) {
      TG_ASSIGN_OR_RETURN(bool more, walk.next());
      if (!more) break;
      const std::uint64_t b = walk.block_index();
      TG_ASSIGN_OR_RETURN(SampleFormat format, walk.format(flags.magnetometer));
      const std::size_t n = format.count;
      const std::size_t rows_before = r.rows();
      const std::uint64_t rb = row_bytes(r, format.has_gyro, format.has_mag);
      const std::uint64_t bytes_before =
          std::max(rows_before, back_ahead.rows()) * row_bytes(r, false, false);
      guard.row_bytes(rb);
      expected_bytes = times_saturated(
          expected_rows(rows_before + n, opened.blocks_after(b), format, counted), rb);
      if (reserve == 0) {
        // Where full blocks would not fit, a file's planned packets are counted (gzip data
        // cannot be read aside: its estimate stands).
        if (!guard.fits(expected_bytes, bytes_before) && !opened.reader.source().compressed()) {
          if (const auto c = opened.samples_aside(b + 1, opened.end_block))
            counted = rows_before + n + *c;
          TG_TRY(check_interrupt());  // a Ctrl-C that stopped the count
          expected_bytes = times_saturated(
              expected_rows(rows_before + n, opened.blocks_after(b), format, counted), rb);
        }
        const unsigned bps = bytes_per_sample(format.axes, format.packing);
        reserve = static_cast<std::size_t>(blocks) * (kSampleAreaBytes / bps);
        (void)try_reserve_columns(r, reserve);
      }
      guard.expect(expected_bytes, bytes_before);
      if (guard.allows(expected_bytes)) back_ahead.allow(expected_bytes / rb);
      TG_TRY(walk.times(n, r.timestamps.append_space(n), isa));
      // The samples go straight into the columns' free space, then every column takes them.
      SampleColumns to;
      to.acc[0] = r.acc_x.append_space(n);
      to.acc[1] = r.acc_y.append_space(n);
      to.acc[2] = r.acc_z.append_space(n);
      sensor_space(r, kGyroX, format.has_gyro, to.gyro, rows_before, n, reserve);
      sensor_space(r, kMagX, format.has_mag, to.mag, rows_before, n, reserve);
      walk.decode(format, to, isa);
      r.timestamps.commit(n);
      r.acc_x.commit(n);
      r.acc_y.commit(n);
      r.acc_z.commit(n);
      commit_sensor(r, kGyroX, format.has_gyro, n);
      commit_sensor(r, kMagX, format.has_mag, n);
      const BlockReadings readings = block_readings(walk.block());
      const float values[3] = {readings.temperature, readings.light, readings.battery};
      for (std::size_t k = 0; k < 3; ++k)
        if (wanted[k]) r.optional[kTemperature + k].values.fill_append(values[k], n);
    }
    return {};
  };
  TG_TRY(guard.run(read_blocks, [&] { return expected_bytes; }));
  if (r.acc_x.empty()) return CwaError::format(msg::kNoSampleDataInRange);
  return r;
}

}  // namespace

Result<CwaDataResult> read_cwa_data(std::string_view path, std::optional<std::uint64_t> start_block,
                                    std::optional<std::uint64_t> block_count, IncludeFlags flags) {
  TG_ASSIGN_OR_RETURN(BlockWalk walk, BlockWalk::open(path, start_block, block_count));
  return walk.conclude(read_walk(walk, flags));
}

Route route_of(const ReadRequest& request) noexcept {
  if (request.resample_hz) return Route::kResampled;
  if (request.plan.start_time_s || request.plan.end_time_s) return Route::kFiltered;
  return Route::kPlain;
}

Result<CwaDataResult> read_request(std::string_view path, const ReadRequest& request) {
  const ReadPlan& plan = request.plan;
  if (route_of(request) == Route::kResampled)
    return read_cwa_data_resampled_streaming(path, plan, request.flags, *request.resample_hz);
  TG_ASSIGN_OR_RETURN(CwaDataResult data,
                      read_cwa_data(path, plan.start_block, plan.block_count, request.flags));
  // Without time bounds (the plain route) the filter passes the data unchanged.
  return filter_data_by_time_range(std::move(data), plan.start_time_s, plan.end_time_s);
}

Status check_time_bounds(std::optional<double> start_s, std::optional<double> end_s) {
  for (const auto& v : {start_s, end_s})
    if (v && !std::isfinite(*v)) return CwaError::argument(msg::kTimeRangeNotFinite);
  if (start_s && end_s && !(*end_s > *start_s))
    return CwaError::argument(msg::kTimeRangeOrder);
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
  if (kept == 0) return CwaError::format(msg::kNoSamplesAfterTimeRange);

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
    return CwaError::argument(msg::kResampleHzPositive);
  if (hz > 10000.0) return CwaError::argument(msg::kResampleHzTooHigh);
  if (resample_method != "cubic")
    return CwaError::argument(msg::unsupported_resample_method(resample_method));
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
