// Streaming cubic resampling of decoded samples onto a regular time grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "package/result.hpp"

namespace tiltgram {

// One input sample: its time in device-clock seconds (timestamp in microseconds, as a
// double, / 1,000,000.0), the decoded sample and the readings of the block that carried it.
struct TimedSample {
  double time_s = 0;
  SampleData sample;
  float temperature = 0, light = 0, battery = 0;  // degrees C, lux, volts
};

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
  // Appends every row that can be computed now. A row needs its bracketing pair and, when
  // a sample before the pair exists, the sample after it too; `flush` (after the last
  // sample) drops that look-ahead requirement. Throws only std::bad_alloc, after which the
  // output's columns may differ in length and must be discarded.
  void emit_ready(bool flush);

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
  // A queued sample flattened for interpolation: the twelve channels (acc x/y/z,
  // temperature, light, battery, then gyro x/y/z and mag x/y/z), an absent value stored
  // as NaN, plus which gyroscope/magnetometer values were present.
  struct Pending {
    double time_s;
    float value[12];
    std::uint32_t present;  // bit k: optional channel k (Channel kGyroX..kMagZ) present
  };

  // Ring buffer of Pending: grows (doubling) when full, never shrinks.
  class Queue {
   public:
    std::size_t size() const noexcept { return size_; }
    const Pending& operator[](std::size_t k) const noexcept { return buf_[(head_ + k) & mask_]; }
    // A new last element, to be filled in place (no copy through the stack).
    Pending& push_back() {
      if (size_ == buf_.size()) grow();
      return buf_[(head_ + size_++) & mask_];
    }
    void pop_front(std::size_t n) noexcept {
      head_ = (head_ + n) & mask_;
      size_ -= n;
    }

   private:
    void grow();
    std::vector<Pending> buf_;
    std::size_t head_ = 0, size_ = 0, mask_ = 0;
  };

  Pending& push_values_common(double time_s, float acc_x, float acc_y, float acc_z,
                              float temperature, float light, float battery);
  double grid_time_s(std::uint64_t n) const noexcept;
  // grid_time_s(grid_index_), computed once per grid point.
  double current_grid_time_s() noexcept {
    if (cached_index_ != grid_index_) {
      cached_time_s_ = grid_time_s(grid_index_);
      cached_index_ = grid_index_;
    }
    return cached_time_s_;
  }
  void emit_row(std::size_t c, double t);
  void trim() noexcept;

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
};

}  // namespace tiltgram
