// Streaming cubic resampling of decoded samples onto a regular time grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "package/columns/result.hpp"
#include "package/decode/block.hpp"
#include "package/decode/isa.hpp"
#include "package/resample/resample_vector.hpp"

namespace tiltgram {

// One input sample: its time in device-clock seconds (timestamp in microseconds, as a
// double, / 1,000,000.0), the decoded sample and the readings of the block that carried it.
struct TimedSample {
  double time_s = 0;
  SampleData sample;
  float temperature = 0, light = 0, battery = 0;  // degrees C, lux, volts
};

// out[i] = us[i] (converted to a double) / 1,000,000.0 for i < n: timestamps in seconds.
void seconds_from_us(const std::int64_t* us, std::size_t n, double* out) noexcept;

// Turns samples pushed in file order into rows at t_0 = origin and
//   t_n = (origin_ms + n * (1000.0 / resample_hz)) / 1000.0 seconds for n >= 1,
// where the origin is the first pushed sample's time, or range_start_s when that is later.
// Each channel of a row is a four-point Lagrange cubic through the two samples at or before
// t and the two at or after it when all four are usable, linear between the bracketing
// pair otherwise. Grid times at or after range_end_s are never emitted; reaching one sets
// done(). A grid time after the last sample is never emitted (no extrapolation).
//
// Use: push_sample() then emit_ready(false) for every sample, emit_ready(true) once after
// the last one, then take_output(). Only the samples from one before the current bracket
// onward are kept: for samples in time order the queue holds at most three samples after
// emit_ready returns, whatever the ratio of the input rate to resample_hz.
class StreamingResampler {
 public:
  // resample_hz: finite, > 0 (validated by the caller). The output starts with empty
  // timestamp and acceleration columns, the temperature/light/battery columns present
  // exactly when asked for, and no gyroscope or magnetometer columns.
  StreamingResampler(std::optional<double> range_start_s, std::optional<double> range_end_s,
                     double resample_hz, bool include_temperature, bool include_light,
                     bool include_battery);

  // Queues a sample (never reordered). The first sample pushed fixes the grid origin.
  void push_sample(const TimedSample& s);
  // The same from a decoded block's columns, without building a SampleData: gyroscope and
  // magnetometer values count only when `has_gyro` / `has_mag`.
  void push_values(double time_s, float acc_x, float acc_y, float acc_z, bool has_gyro,
                   const float gyro[3], bool has_mag, const float mag[3], float temperature,
                   float light, float battery);
  // Queues `n` samples of one block at once, as n push_values calls would: times in
  // seconds, acceleration columns, and the gyroscope / magnetometer columns or null when
  // the block has none. One emit_ready after them emits what emit_ready after each would
  // have emitted; only the queue is longer in between.
  void push_block(const double* time_s, std::size_t n, const float* const acc[3],
                  const float* const gyro[3], const float* const mag[3], float temperature,
                  float light, float battery);
  // The same with the values written by the caller (n > 0): queues the times and the
  // readings and returns where the block's acceleration values go, and its gyroscope and
  // magnetometer values when `gyro` / `mag` (those columns hold NaN otherwise). They must
  // be written before the next call of any other member, and the acceleration values must
  // be numbers (as decoded values always are).
  SampleColumns push_space(const double* time_s, std::size_t n, bool gyro, bool mag,
                           float temperature, float light, float battery);
  // Appends every row that can be computed now. A row needs its bracketing pair and, when
  // a sample before the pair exists, the sample after it too; `flush` (after the last
  // sample) drops that look-ahead requirement. Throws only std::bad_alloc, after which the
  // output's columns may differ in length and must be discarded.
  void emit_ready(bool flush);

  // How rows are computed: several at a time in vector lanes with the code of an
  // instruction set (the one this process runs, chosen at construction), or one at a time
  // (none). Every way gives the same bits. Chooses a way the processor has (for tests);
  // returns false, changing nothing, otherwise.
  bool set_row_code(std::optional<IsaLevel> isa) noexcept;

  bool done() const noexcept { return done_; }
  double resample_hz() const noexcept { return resample_hz_; }
  std::optional<double> range_start_s() const noexcept { return range_start_s_; }
  std::optional<double> range_end_s() const noexcept { return range_end_s_; }
  // Rows emitted so far (the index of the next grid point).
  std::uint64_t grid_index() const noexcept { return grid_index_; }
  std::size_t queue_length() const noexcept { return pending_.size(); }

  // The caller may add gyroscope/magnetometer columns (ensure_column) before a row needs them.
  // The rows emitted so far (staged rows are committed first).
  CwaDataResult& output() noexcept {
    commit_staged();
    return output_;
  }
  CwaDataResult take_output() noexcept {
    commit_staged();
    return std::move(output_);
  }
  std::size_t rows() const noexcept { return output_.timestamps.size() + staged_; }

 private:
  // Value positions: the six channels computed for every row (acc_x, acc_y, acc_z,
  // temperature, light, battery), then the optional gyro_x .. mag_z.
  static constexpr std::size_t kValues = 12;

  // The pending samples, column by column (time, the twelve values with NaN for an absent
  // one, the presence bits of the optional six, the reading group), held in one linear
  // stretch of storage that is moved to the front, or doubled, when a push finds no room
  // behind it. Vector code can then load any run of consecutive samples; kPad readable
  // elements follow the last one, and one readable element precedes the first (a row's
  // first node may lie there when no sample precedes its bracket; its value is never used).
  class Queue {
   public:
    static constexpr std::size_t kPad = 16, kFront = 1;
    std::size_t size() const noexcept { return size_; }
    // Samples removed from the front so far: the push index of the front sample.
    std::uint64_t popped() const noexcept { return popped_; }
    double time(std::size_t k) const noexcept { return time_[head_ + k]; }
    float value(std::size_t k, std::size_t ch) const noexcept {
      return value_[ch * stride_ + head_ + k];
    }
    std::uint32_t present(std::size_t k) const noexcept { return present_[head_ + k]; }
    const double* times_from(std::size_t k) const noexcept { return time_.data() + head_ + k; }
    const float* values_from(std::size_t k, std::size_t ch) const noexcept {
      return value_.data() + ch * stride_ + head_ + k;
    }
    const std::uint32_t* presence_from(std::size_t k) const noexcept {
      return present_.data() + head_ + k;
    }
    const std::uint32_t* groups_from(std::size_t k) const noexcept {
      return group_.data() + head_ + k;
    }
    // Adds n samples at the back, to be filled through the pointers below; returns the
    // storage position of the first.
    std::size_t extend(std::size_t n);
    double* time_data() noexcept { return time_.data(); }
    float* value_data(std::size_t ch) noexcept { return value_.data() + ch * stride_; }
    std::uint32_t* present_data() noexcept { return present_.data(); }
    std::uint32_t* group_data() noexcept { return group_.data(); }
    void pop_front(std::size_t n) noexcept {
      head_ += n;
      size_ -= n;
      popped_ += n;
    }

   private:
    void relocate(std::size_t capacity);
    std::vector<double> time_;
    std::vector<float> value_;  // kValues runs of stride_
    std::vector<std::uint32_t> present_;
    std::vector<std::uint32_t> group_;  // see reading_groups
    std::size_t capacity_ = 0, stride_ = 0, head_ = kFront, size_ = 0;
    std::uint64_t popped_ = 0;
  };

  // Sets the origin from the first sample pushed.
  void start_grid(double time_s) noexcept;
  double grid_time_s(std::uint64_t n) const noexcept;
  // grid_time_s(grid_index_), computed once per grid point.
  double current_grid_time_s() noexcept {
    if (cached_index_ != grid_index_) {
      cached_time_s_ = grid_time_s(grid_index_);
      cached_index_ = grid_index_;
    }
    return cached_time_s_;
  }
  void emit_one_by_one(bool flush);
  void emit_in_batches(bool flush);
  bool emit_runs();
  void emit_batch(std::size_t first, const std::size_t* brackets, std::size_t rows);
  void emit_row(std::size_t c, double t);
  void trim() noexcept;
  bool has_sensor_columns() const noexcept;
  void reading_groups(std::size_t at, std::size_t n, const float readings[3]) noexcept;
  void write_sensors_before(std::size_t at, std::size_t queued) noexcept;

  std::optional<double> range_start_s_;
  std::optional<double> range_end_s_;
  std::optional<double> origin_ms_;
  double origin_s_ = 0;  // grid point 0 lies exactly here
  double resample_hz_;
  double step_ms_;
  Queue pending_;
  CwaDataResult output_;
  std::uint64_t cursor_ = 0;  // position in pending_ of the left sample of the bracket
  std::uint64_t grid_index_ = 0;
  bool done_ = false;

  // Rows are written straight behind the committed ends of the time, accelerometer and
  // present reading columns (`staged_` of them, room for `room_`) and committed in bulk,
  // so that a row costs no per-column size bookkeeping.
  void commit_staged() noexcept;
  void make_room();
  std::size_t staged_ = 0;
  std::size_t room_ = 0;
  std::int64_t* time_out_ = nullptr;
  float* value_out_[6] = {};  // acc_x, acc_y, acc_z, temperature, light, battery (or null)
  std::uint64_t cached_index_ = UINT64_MAX;
  double cached_time_s_ = 0;

  std::optional<IsaLevel> row_code_;
  // One past the push index of the last sample pushed with a gyroscope or magnetometer
  // value (0: none yet). Rows whose samples all come before it need no such column.
  std::uint64_t sensor_end_ = 0;
  // One past the push index of the last sample pushed with a NaN among the values of the
  // channels computed for every row (0: none yet).
  std::uint64_t nan_end_ = 0;
  // Samples whose present block readings (temperature, light, battery) are the same
  // finite, non-zero values share a group number; numbers never decrease in push order,
  // so the samples between two of one group are of that group too. Samples with other
  // readings each have a number of their own. (Unused without a reading column. Numbers
  // wrap at 2^32, far more than a queue ever spans.)
  bool readings_ = false;
  std::uint32_t group_ = 0;
  float group_readings_[3] = {};
  bool group_open_ = false;  // whether the last pushed sample's group may take more
  // Whether every queued sample has its gyroscope and magnetometer values written.
  bool sensors_written_ = true;
  std::uint64_t pushed_ = 0;
  // The next batch_rows_ grid times from grid index batch_base_.
  std::uint64_t batch_base_ = UINT64_MAX;
  alignas(64) double batch_time_s_[8] = {};
};

}  // namespace tiltgram
