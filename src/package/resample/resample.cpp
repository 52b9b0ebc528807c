// Streaming resampler.
//
// The queue holds samples in push order. `cursor_` is the position of the left sample of
// the current bracket: for a grid time t it moves forward past every sample whose
// successor is still before t, so the bracket is the first consecutive pair (from the
// cursor on) whose later sample is not before t. A row at t is computed from the samples
// at cursor - 1 .. cursor + 2; when a sample before the bracket exists, the row waits
// for the sample after it (the fourth node of the cubic) unless the stream has ended.
// After every row and every wait the queue is trimmed to one sample before the bracket,
// so in-order input keeps it at three or four samples.
//
// The arithmetic is fixed to the bit (build with -ffp-contract=off): the grid time is
// recomputed from n for each point, never accumulated, and every product and sum below is
// evaluated left to right exactly as written.
//
// Rows are formed several at a time: the bracket of each grid point is found one point
// after another as below, and the arithmetic of a batch of eight rows anywhere in the queue
// is done in vector lanes (resample_kernel.inc, compiled for each instruction set).
#include "package/resample/resample.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "package/resample/resample_vector.hpp"
#include "packet/time.hpp"

namespace tiltgram {

namespace {

// Value positions in the queue: the six channels computed for every row, then the six
// optional ones.
constexpr std::size_t kAccValue = 0;
constexpr std::size_t kReadingValue = 3;  // + (Channel - kTemperature)
constexpr std::size_t kSensorValue = 6;   // + Channel (kGyroX .. kMagZ)
constexpr std::size_t kSensorChannels = 6;
constexpr double kMinSpan = 1e-12;  // seconds for a bracket; seconds cubed for a denominator
using resample_vector::kBatchRows;

// Sets n four-byte values to v, 64 bytes a loop (std::fill_n's loop stores 16 bytes and
// costs as many instructions again): every queued sample takes five such values.
template <class T>
void fill(T* p, std::size_t n, T v) noexcept {
  static_assert(sizeof(T) == 4);
  using Lanes = std::uint32_t __attribute__((vector_size(16)));
  const std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
  const Lanes four = {bits, bits, bits, bits};
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    for (std::size_t j = 0; j < 16; j += 4) std::memcpy(p + i + j, &four, sizeof four);
  for (; i + 4 <= n; i += 4) std::memcpy(p + i, &four, sizeof four);
  for (; i < n; ++i) p[i] = v;
}

}  // namespace

void seconds_from_us(const std::int64_t* us, std::size_t n, double* out) noexcept {
  resample_vector::seconds(best_isa(), us, n, out);
}

bool StreamingResampler::set_row_code(std::optional<IsaLevel> isa) noexcept {
  if (isa && !isa_supported(*isa)) return false;
  row_code_ = isa;
  batch_base_ = UINT64_MAX;
  return true;
}

StreamingResampler::StreamingResampler(std::optional<double> range_start_s,
                                       std::optional<double> range_end_s, double resample_hz,
                                       bool include_temperature, bool include_light,
                                       bool include_battery)
    : range_start_s_(range_start_s),
      range_end_s_(range_end_s),
      resample_hz_(resample_hz),
      step_ms_(1000.0 / resample_hz),
      row_code_(best_isa()) {
  output_.channel(kTemperature).present = include_temperature;
  output_.channel(kLight).present = include_light;
  output_.channel(kBattery).present = include_battery;
  readings_ = include_temperature || include_light || include_battery;
}

// Moves the live samples to the front of a storage of `capacity` (at least their number).
void StreamingResampler::Queue::relocate(std::size_t capacity) {
  const std::size_t stride = kFront + capacity + kPad;
  if (capacity != capacity_) {
    std::vector<double> time(stride);
    std::vector<float> value(kValues * stride);
    std::vector<std::uint32_t> present(stride);
    std::vector<std::uint32_t> group(stride);
    if (capacity_ != 0) {  // nothing to move out of a storage not yet made
      std::copy_n(time_.data() + head_, size_, time.data() + kFront);
      for (std::size_t ch = 0; ch < kValues; ++ch)
        std::copy_n(value_.data() + ch * stride_ + head_, size_,
                    value.data() + ch * stride + kFront);
      std::copy_n(present_.data() + head_, size_, present.data() + kFront);
      std::copy_n(group_.data() + head_, size_, group.data() + kFront);
    }
    time_.swap(time);
    value_.swap(value);
    present_.swap(present);
    group_.swap(group);
  } else {
    std::memmove(time_.data() + kFront, time_.data() + head_, size_ * sizeof(double));
    for (std::size_t ch = 0; ch < kValues; ++ch)
      std::memmove(value_.data() + ch * stride_ + kFront, value_.data() + ch * stride_ + head_,
                   size_ * sizeof(float));
    std::memmove(present_.data() + kFront, present_.data() + head_,
                 size_ * sizeof(std::uint32_t));
    std::memmove(group_.data() + kFront, group_.data() + head_, size_ * sizeof(std::uint32_t));
  }
  capacity_ = capacity;
  stride_ = stride;
  head_ = kFront;
}

std::size_t StreamingResampler::Queue::extend(std::size_t n) {
  if (head_ + size_ + n > kFront + capacity_) {
    // Moving a short queue to the front is cheap; a full one doubles instead.
    std::size_t capacity = capacity_ < 64 ? 64 : capacity_;
    while (2 * (size_ + n) > capacity) capacity *= 2;
    relocate(capacity);
  }
  const std::size_t at = head_ + size_;
  size_ += n;
  return at;
}

void StreamingResampler::start_grid(double time_s) noexcept {
  const double o = range_start_s_ && *range_start_s_ > time_s ? *range_start_s_ : time_s;
  origin_s_ = o;
  origin_ms_ = o * 1000.0;
  grid_index_ = 0;
  cached_index_ = UINT64_MAX;
  batch_base_ = UINT64_MAX;
}

void StreamingResampler::push_sample(const TimedSample& s) {
  const SampleData& d = s.sample;
  // A hand-made sample may carry any single axis; each is kept as given.
  const std::optional<float>* sensor[kSensorChannels] = {&d.gyro_x, &d.gyro_y, &d.gyro_z,
                                                         &d.mag_x,  &d.mag_y,  &d.mag_z};
  float values[kSensorChannels];
  std::uint32_t present = 0;
  for (std::size_t k = 0; k < kSensorChannels; ++k) {
    values[k] = *sensor[k] ? **sensor[k] : kMissing;
    if (*sensor[k]) present |= std::uint32_t{1} << k;
  }
  const float always[6] = {d.acc_x, d.acc_y, d.acc_z, s.temperature, s.light, s.battery};
  if (!origin_ms_) start_grid(s.time_s);
  const bool sensors = present != 0 || sensor_end_ > pending_.popped();
  const std::size_t queued = pending_.size();
  const std::size_t at = pending_.extend(1);
  if (sensors) write_sensors_before(at, queued);
  pending_.time_data()[at] = s.time_s;
  for (std::size_t ch = 0; ch < 6; ++ch) pending_.value_data(ch)[at] = always[ch];
  for (std::size_t k = 0; k < kSensorChannels; ++k)
    pending_.value_data(kSensorValue + k)[at] = values[k];
  pending_.present_data()[at] = present;
  reading_groups(at, 1, always + 3);
  ++pushed_;
  if (present != 0) sensor_end_ = pushed_;
  // An absent gyroscope or magnetometer value is NaN in the queue, but no row reads it as
  // a number: only the values the sample has count.
  for (std::size_t ch = 0; ch < 6; ++ch)
    if (std::isnan(always[ch]) || (((present >> ch) & 1) != 0 && std::isnan(values[ch])))
      nan_end_ = pushed_;
}

void StreamingResampler::push_values(double time_s, float acc_x, float acc_y, float acc_z,
                                     bool has_gyro, const float gyro[3], bool has_mag,
                                     const float mag[3], float temperature, float light,
                                     float battery) {
  const float* acc[3] = {&acc_x, &acc_y, &acc_z};
  const float* gyro_columns[3] = {gyro, gyro + 1, gyro + 2};
  const float* mag_columns[3] = {mag, mag + 1, mag + 2};
  push_block(&time_s, 1, acc, has_gyro ? gyro_columns : nullptr, has_mag ? mag_columns : nullptr,
             temperature, light, battery);
}

void StreamingResampler::push_block(const double* time_s, std::size_t n, const float* const acc[3],
                                    const float* const gyro[3], const float* const mag[3],
                                    float temperature, float light, float battery) {
  if (n == 0) return;
  const SampleColumns space =
      push_space(time_s, n, gyro != nullptr, mag != nullptr, temperature, light, battery);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (resample_vector::any_nan(acc[axis], n) ||
        (gyro != nullptr && resample_vector::any_nan(gyro[axis], n)) ||
        (mag != nullptr && resample_vector::any_nan(mag[axis], n)))
      nan_end_ = pushed_;
    std::copy_n(acc[axis], n, space.acc[axis]);
    if (gyro != nullptr) std::copy_n(gyro[axis], n, space.gyro[axis]);
    if (mag != nullptr) std::copy_n(mag[axis], n, space.mag[axis]);
  }
}

SampleColumns StreamingResampler::push_space(const double* time_s, std::size_t n, bool gyro,
                                             bool mag, float temperature, float light,
                                             float battery) {
  if (!origin_ms_) start_grid(time_s[0]);
  const std::uint32_t present = (gyro ? 0x07u : 0u) | (mag ? 0x38u : 0u);
  const bool sensors = present != 0 || sensor_end_ > pending_.popped();
  const std::size_t queued = pending_.size();
  const std::size_t at = pending_.extend(n);
  std::copy_n(time_s, n, pending_.time_data() + at);
  SampleColumns space{};
  for (std::size_t axis = 0; axis < 3; ++axis) {
    space.acc[axis] = pending_.value_data(kAccValue + axis) + at;
    space.gyro[axis] = pending_.value_data(kSensorValue + kGyroX + axis) + at;
    space.mag[axis] = pending_.value_data(kSensorValue + kMagX + axis) + at;
  }
  // Readings that no row takes, and gyroscope and magnetometer values while no queued
  // sample has any, are not written (see write_sensors_before).
  const float readings[3] = {temperature, light, battery};
  for (std::size_t r = 0; r < 3; ++r)
    if (output_.optional[kTemperature + r].present)
      fill(pending_.value_data(kReadingValue + r) + at, n, readings[r]);
  fill(pending_.present_data() + at, n, present);
  reading_groups(at, n, readings);
  pushed_ += n;
  if (present != 0) sensor_end_ = pushed_;
  for (std::size_t r = 0; r < 3; ++r)
    if (output_.optional[kTemperature + r].present && std::isnan(readings[r])) nan_end_ = pushed_;
  if (!sensors) {
    sensors_written_ = false;
    return space;
  }
  write_sensors_before(at, queued);
  for (std::size_t axis = 0; axis < 3; ++axis) {
    if (!gyro) std::fill_n(space.gyro[axis], n, kMissing);
    if (!mag) std::fill_n(space.mag[axis], n, kMissing);
  }
  return space;
}

// The group numbers of n samples from storage position `at`, pushed with these readings.
void StreamingResampler::reading_groups(std::size_t at, std::size_t n,
                                        const float readings[3]) noexcept {
  if (!readings_) return;
  std::uint32_t* group = pending_.group_data() + at;
  bool usable = true, same = group_open_;
  for (std::size_t r = 0; r < 3; ++r) {
    if (!output_.optional[kTemperature + r].present) continue;
    usable = usable && std::isfinite(readings[r]) && readings[r] != 0.0f;
    same = same && readings[r] == group_readings_[r];
  }
  if (!usable) {
    for (std::size_t i = 0; i < n; ++i) group[i] = ++group_;
    group_open_ = false;
    return;
  }
  if (!same) {
    ++group_;
    std::copy_n(readings, 3, group_readings_);
    group_open_ = true;
  }
  fill(group, n, group_);
}

// 3-axis data needs no gyroscope or magnetometer values in the queue: while no queued
// sample has one, every row gives them absent without reading them. Once one does, every
// queued sample has them written (NaN for a sample without), as rows may read any.
void StreamingResampler::write_sensors_before(std::size_t at, std::size_t queued) noexcept {
  if (!sensors_written_)
    for (std::size_t k = 0; k < kSensorChannels; ++k)
      std::fill_n(pending_.value_data(kSensorValue + k) + at - queued, queued, kMissing);
  sensors_written_ = true;
}

// t_0 is the origin itself: (o * 1000.0) / 1000.0 need not give o back.
double StreamingResampler::grid_time_s(std::uint64_t n) const noexcept {
  if (n == 0) return origin_s_;
  return (*origin_ms_ + static_cast<double>(n) * step_ms_) / 1000.0;
}

void StreamingResampler::trim() noexcept {
  if (cursor_ >= 2) {
    pending_.pop_front(cursor_ - 1);
    cursor_ = 1;
  }
}

bool StreamingResampler::has_sensor_columns() const noexcept {
  for (std::size_t k = kGyroX; k <= kMagZ; ++k)
    if (output_.optional[k].present) return true;
  return false;
}

void StreamingResampler::emit_ready(bool flush) {
  // Once done, the same grid point would be found at or after the end again.
  if (!origin_ms_ || done_) return;
  if (row_code_) {
    emit_in_batches(flush);
  } else {
    emit_one_by_one(flush);
  }
}

void StreamingResampler::emit_one_by_one(bool flush) {
  for (;;) {
    const double t = current_grid_time_s();
    if (range_end_s_ && t >= *range_end_s_) {
      done_ = true;
      return;
    }
    const std::size_t len = pending_.size();
    while (cursor_ + 1 < len && pending_.time(cursor_ + 1) < t) ++cursor_;
    const std::size_t c = cursor_;
    // No bracket yet (or, for out-of-order samples, none from the cursor on).
    if (len < 2 || c + 1 >= len || t < pending_.time(c) || t > pending_.time(c + 1)) {
      trim();
      return;
    }
    // The fourth node has not arrived. With c == 0 there is no first node, so no cubic.
    if (c >= 1 && !flush && c + 2 >= len) {
      trim();
      return;
    }
    // The next grid time does not depend on this row: start its division first.
    cached_time_s_ = grid_time_s(grid_index_ + 1);
    cached_index_ = grid_index_ + 1;
    emit_row(c, t);
    ++grid_index_;
    trim();
  }
}

// Rows with all four nodes queued, for as long as they come: the run code finds their
// brackets and computes them a few at a time, without a batch's set-up. The queued samples
// from one before the cursor on (every node a row can take) must have the same gyroscope
// and magnetometer channels, none or three or six, and with any of them no NaN value: then
// every row has each of those channels present and none of the others. The run stops
// where the one-row code might wait, end the read, take the linear form for want of nodes
// or find a channel absent, and leaves those rows to the batches. Returns true when the
// next row waits for a later sample (the cursor then at its bracket, as the one-row code
// leaves it).
bool StreamingResampler::emit_runs() {
  if (grid_index_ == 0 || cursor_ < 1) return false;
  const std::size_t len = pending_.size();
  std::uint32_t channels = 0;  // presence bits shared by the queued samples
  if (sensor_end_ > pending_.popped()) {
    const std::uint32_t* present = pending_.presence_from(cursor_ - 1);
    channels = present[0];
    for (std::size_t i = 1; i < len - (cursor_ - 1); ++i)
      if (present[i] != channels) return false;
  }
  const bool numbers = nan_end_ <= pending_.popped();
  const int count = std::popcount(channels);
  if ((count != 0 && !numbers) || (count != 0 && count != 3 && count != 6)) return false;
  resample_vector::Run r;
  r.times = pending_.times_from(0);
  r.len = len;
  r.cursor = cursor_;
  r.n = grid_index_;
  r.origin_ms = *origin_ms_;
  r.step_ms = step_ms_;
  r.end = range_end_s_ ? *range_end_s_ : HUGE_VAL;
  r.numbers = numbers;
  r.groups = pending_.groups_from(0);
  // A column of a channel the rows have comes into being at the first of them (NaN before).
  const std::size_t first_row = rows();
  bool made[kSensorChannels] = {};
  for (std::size_t k = 0; k < kSensorChannels; ++k) {
    OptionalColumn& col = output_.optional[k];
    const bool on = ((channels >> k) & 1) != 0;
    r.sensor_values[k] = on ? pending_.values_from(0, kSensorValue + k) : nullptr;
    if (on && !col.present) {
      ensure_column(col, first_row);
      made[k] = true;
    }
  }
  std::size_t emitted = 0;
  for (;;) {
    if (room_ - staged_ < kBatchRows) make_room();
    for (std::size_t ch = 0; ch < 6; ++ch) {
      const bool on = value_out_[ch] != nullptr;
      r.values[ch] = on ? pending_.values_from(0, ch) : nullptr;
      r.out[ch] = on ? value_out_[ch] + staged_ : nullptr;
    }
    r.time_out = time_out_ + staged_;
    r.room = room_ - staged_;
    for (std::size_t k = 0; k < kSensorChannels; ++k)
      r.sensor_out[k] =
          r.sensor_values[k] != nullptr ? output_.optional[k].values.append_space(r.room) : nullptr;
    const std::size_t rows = resample_vector::run(*row_code_, r);
    staged_ += rows;
    emitted += rows;
    for (std::size_t k = 0; k < kSensorChannels; ++k)
      if (r.sensor_values[k] != nullptr) output_.optional[k].values.commit(rows);
    // Stopped for want of room: more may follow in a new stretch.
    if (rows == 0 || r.room - rows >= kBatchRows) break;
  }
  if (emitted == 0) {
    // No row: the columns come into being where the batches find a first value.
    for (std::size_t k = 0; k < kSensorChannels; ++k) {
      if (!made[k]) continue;
      output_.optional[k].present = false;
      output_.optional[k].values.truncate(0);
    }
    if (!r.waits) return false;
  }
  cursor_ = r.cursor;
  grid_index_ = r.n;
  // The channels the samples do not have are absent in every row: NaN in their columns.
  for (std::size_t k = 0; k < kSensorChannels; ++k) {
    OptionalColumn& col = output_.optional[k];
    if (col.present && r.sensor_values[k] == nullptr) col.values.fill_append(kMissing, emitted);
  }
  trim();
  return r.waits;
}

// The loop of emit_one_by_one, collecting a batch of rows before computing them. Trimming
// once per batch instead of once per row removes the same samples, none of which a later
// row needs.
void StreamingResampler::emit_in_batches(bool flush) {
  if (emit_runs() && !flush) return;
  for (;;) {
    if (batch_base_ != grid_index_) {
      resample_vector::grid_times(*row_code_, *origin_ms_, origin_s_, step_ms_,
                                  grid_index_, batch_time_s_);
      batch_base_ = grid_index_;
    }
    const std::size_t len = pending_.size();
    const double* time = pending_.times_from(0);
    const bool bounded = range_end_s_.has_value();
    const double end = bounded ? *range_end_s_ : 0.0;
    std::size_t c = cursor_;
    std::size_t first = 0;  // queue position of the batch's first node
    std::size_t brackets[kBatchRows];
    std::size_t rows = 0;
    bool wait = false;
    for (; rows < kBatchRows; ++rows) {
      const double t = batch_time_s_[rows];
      if (bounded && t >= end) {
        done_ = true;
        wait = true;
        break;
      }
      while (c + 1 < len && time[c + 1] < t) ++c;
      if (len < 2 || c + 1 >= len || t < time[c] || t > time[c + 1] ||
          (c >= 1 && !flush && c + 2 >= len)) {
        wait = true;
        break;
      }
      if (rows == 0) first = c >= 1 ? c - 1 : 0;
      brackets[rows] = c;
    }
    cursor_ = c;
    if (rows > 0) {
      emit_batch(first, brackets, rows);
      grid_index_ += rows;
    }
    trim();
    if (wait) return;
  }
}

// Rows for the grid times batch_time_s_[0 .. rows) with their brackets at the given queue
// positions, all at or after `first`.
void StreamingResampler::emit_batch(std::size_t first, const std::size_t* brackets,
                                    std::size_t rows) {
  const std::size_t row = this->rows();
  if (room_ - staged_ < kBatchRows) make_room();
  // Every field is set below: zeroing the whole batch first costs more than a row.
  resample_vector::RowBatch b;
  b.times = pending_.times_from(first);
  for (std::size_t ch = 0; ch < 6; ++ch) {
    const bool on = value_out_[ch] != nullptr;
    b.values[ch] = on ? pending_.values_from(first, ch) : nullptr;
    b.out[ch] = on ? value_out_[ch] + staged_ : nullptr;
  }
  b.nodes = 0;
  b.time_out = time_out_ + staged_;
  b.grid = batch_time_s_;
  const std::size_t len = pending_.size();
  for (std::size_t r = 0; r < rows; ++r) {
    b.at[r] = static_cast<std::int32_t>(brackets[r] - first);
    if (brackets[r] >= 1 && brackets[r] + 2 < len) b.nodes |= 1u << r;
  }
  for (std::size_t r = rows; r < kBatchRows; ++r) b.at[r] = b.at[0];
  b.rows = static_cast<std::uint32_t>(rows);
  // Gyroscope and magnetometer rows only where a node may have them.
  b.sensors = sensor_end_ > pending_.popped() + first;
  if (b.sensors) {
    for (std::size_t k = 0; k < kSensorChannels; ++k)
      b.sensor_values[k] = pending_.values_from(first, kSensorValue + k);
    b.present = pending_.presence_from(first);
  }
  resample_vector::rows(*row_code_, b);
  staged_ += rows;
  for (std::size_t k = 0; k < kSensorChannels; ++k) {
    OptionalColumn& col = output_.optional[k];
    // No node has any of them: every row gives them absent.
    if (!b.sensors) {
      if (col.present) col.values.fill_append(kMissing, rows);
      continue;
    }
    // A column comes into being at its first present value, NaN before.
    if (!col.present) {
      if (b.sensor_present[k] == 0) continue;
      ensure_column(col, row);
    }
    col.values.append(b.sensor_rows[k], rows);
  }
}

// Computes the row at grid time t from the bracket (c, c + 1) and appends it.
//
// Worked example, nodes at 0, 1, 2, 3 s holding 0, 1, 4, 9 and t = 1.5 s:
//   D = -6, 2, -2, 6; L = -0.0625, 0.5625, 0.5625, -0.0625; value 2.25 (linear: 2.5).
void StreamingResampler::emit_row(std::size_t c, double t) {
  const Queue& q = pending_;
  const double t1 = q.time(c);
  const double t2 = q.time(c + 1);

  // Lagrange weights, shared by every channel whose four values are all numbers.
  bool cubic = false;
  double l0 = 0, l1 = 0, l2 = 0, l3 = 0;
  if (c >= 1 && c + 2 < q.size()) {
    const double t0 = q.time(c - 1);
    const double t3 = q.time(c + 2);
    const double d0 = (t0 - t1) * (t0 - t2) * (t0 - t3);
    const double d1 = (t1 - t0) * (t1 - t2) * (t1 - t3);
    const double d2 = (t2 - t0) * (t2 - t1) * (t2 - t3);
    const double d3 = (t3 - t0) * (t3 - t1) * (t3 - t2);
    if (std::fabs(d0) >= kMinSpan && std::fabs(d1) >= kMinSpan && std::fabs(d2) >= kMinSpan &&
        std::fabs(d3) >= kMinSpan) {
      cubic = true;
      l0 = (t - t1) * (t - t2) * (t - t3) / d0;
      l1 = (t - t0) * (t - t2) * (t - t3) / d1;
      l2 = (t - t0) * (t - t1) * (t - t3) / d2;
      l3 = (t - t0) * (t - t1) * (t - t2) / d3;
    }
  }
  const double dt = t2 - t1;
  const bool flat = std::fabs(dt) < kMinSpan;

  const auto value = [&](std::size_t ch) -> float {
    const double y1 = q.value(c, ch);
    const double y2 = q.value(c + 1, ch);
    if (cubic) {
      const double y0 = q.value(c - 1, ch);
      const double y3 = q.value(c + 2, ch);
      if (!std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2) && !std::isnan(y3)) {
        return static_cast<float>(((l0 * y0 + l1 * y1) + l2 * y2) + l3 * y3);
      }
    }
    if (flat) return static_cast<float>(y1);
    return static_cast<float>((t - t1) / dt * (y2 - y1) + y1);
  };

  const std::size_t row = rows();
  if (staged_ == room_) make_room();
  time_out_[staged_] = saturating_us(t * 1000000.0);
  for (std::size_t ch = 0; ch < 6; ++ch)
    if (value_out_[ch] != nullptr) value_out_[ch][staged_] = value(ch);
  ++staged_;

  // Gyroscope and magnetometer: a grid time on a sample copies that sample's values and
  // their presence; otherwise a value is present when its interpolation is a number. With
  // neither bracket sample carrying any of them, every path gives "absent".
  const std::size_t exact = t == t1 ? c : t == t2 ? c + 1 : SIZE_MAX;
  const bool any = (q.present(c) | q.present(c + 1)) != 0;
  if (!any && !has_sensor_columns()) return;
  for (std::size_t k = 0; k < kSensorChannels; ++k) {
    std::optional<float> v;
    if (exact != SIZE_MAX) {
      if ((q.present(exact) >> k) & 1) v = q.value(exact, kSensorValue + k);
    } else if (any) {
      const float f = value(kSensorValue + k);
      if (!std::isnan(f)) v = f;
    }
    append_sensor_value(output_.optional[k], v, row);
  }
}

void StreamingResampler::commit_staged() noexcept {
  if (room_ == 0) return;
  output_.timestamps.commit(staged_);
  Column<float>* cols[6] = {&output_.acc_x, &output_.acc_y, &output_.acc_z,
                            &output_.optional[kTemperature].values,
                            &output_.optional[kLight].values, &output_.optional[kBattery].values};
  for (std::size_t k = 0; k < 6; ++k)
    if (value_out_[k] != nullptr) cols[k]->commit(staged_);
  staged_ = 0;
  room_ = 0;
}

void StreamingResampler::make_room() {
  commit_staged();
  // Chunks grow with the output, so that committing stays rare.
  std::size_t chunk = output_.timestamps.size() / 4;
  if (chunk < 4096) chunk = 4096;
  time_out_ = output_.timestamps.append_space(chunk);
  Column<float>* cols[3] = {&output_.acc_x, &output_.acc_y, &output_.acc_z};
  for (std::size_t k = 0; k < 3; ++k) value_out_[k] = cols[k]->append_space(chunk);
  for (std::size_t r = 0; r < 3; ++r) {
    OptionalColumn& col = output_.optional[kTemperature + r];
    value_out_[3 + r] = col.present ? col.values.append_space(chunk) : nullptr;
  }
  room_ = chunk;
}

}  // namespace tiltgram
