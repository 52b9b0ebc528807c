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
#include "package/resample.hpp"

#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "header/time.hpp"

namespace tiltgram {

namespace {

// Value positions in StreamingResampler::Pending::value.
// The six channels computed for every row come first, so that they interpolate as three
// pairs: acc_x, acc_y, acc_z, temperature, light, battery; then gyro_x .. mag_z.
constexpr std::size_t kAccValue = 0;
constexpr std::size_t kReadingValue = 3;  // + (Channel - kTemperature)
constexpr std::size_t kSensorValue = 6;   // + Channel (kGyroX .. kMagZ)
constexpr std::size_t kSensorChannels = 6;
constexpr double kMinSpan = 1e-12;  // seconds for a bracket; seconds cubed for a denominator

// a / b and c / d, each correctly rounded: one packed division where the processor has
// one (the same IEEE quotients, in half the time).
inline void divide_pairs(double a, double b, double c, double d, double& ab, double& cd) noexcept {
#if defined(__SSE2__)
  const __m128d q = _mm_div_pd(_mm_set_pd(c, a), _mm_set_pd(d, b));
  ab = _mm_cvtsd_f64(q);
  cd = _mm_cvtsd_f64(_mm_unpackhi_pd(q, q));
#else
  ab = a / b;
  cd = c / d;
#endif
}

#if defined(__SSE2__)
// Two adjacent floats widened to doubles.
inline __m128d widen_pair(const float* p) noexcept {
  return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}
#endif

}  // namespace

StreamingResampler::StreamingResampler(std::optional<double> range_start_s,
                                       std::optional<double> range_end_s, double resample_hz,
                                       bool include_temperature, bool include_light,
                                       bool include_battery)
    : range_start_s_(range_start_s),
      range_end_s_(range_end_s),
      resample_hz_(resample_hz),
      step_ms_(1000.0 / resample_hz) {
  output_.channel(kTemperature).present = include_temperature;
  output_.channel(kLight).present = include_light;
  output_.channel(kBattery).present = include_battery;
}

void StreamingResampler::Queue::grow() {
  const std::size_t cap = buf_.empty() ? 8 : buf_.size() * 2;
  std::vector<Pending> bigger(cap);
  for (std::size_t k = 0; k < size_; ++k) bigger[k] = (*this)[k];
  buf_.swap(bigger);
  head_ = 0;
  mask_ = cap - 1;
}

void StreamingResampler::push_sample(const TimedSample& s) {
  const SampleData& d = s.sample;
  Pending& p = push_values_common(s.time_s, d.acc_x, d.acc_y, d.acc_z, s.temperature, s.light,
                                  s.battery);
  // A hand-made sample may carry any single axis; each is kept as given.
  const std::optional<float>* sensor[kSensorChannels] = {&d.gyro_x, &d.gyro_y, &d.gyro_z,
                                                         &d.mag_x,  &d.mag_y,  &d.mag_z};
  p.present = 0;
  for (std::size_t k = 0; k < kSensorChannels; ++k) {
    const std::optional<float>& v = *sensor[k];
    p.value[kSensorValue + k] = v ? *v : kMissing;
    if (v) p.present |= std::uint32_t{1} << k;
  }
}

void StreamingResampler::push_values(double time_s, float acc_x, float acc_y, float acc_z,
                                     bool has_gyro, const float gyro[3], bool has_mag,
                                     const float mag[3], float temperature, float light,
                                     float battery) {
  Pending& p = push_values_common(time_s, acc_x, acc_y, acc_z, temperature, light, battery);
  p.present = 0;
  for (std::size_t k = 0; k < 3; ++k) {
    p.value[kSensorValue + kGyroX + k] = has_gyro ? gyro[k] : kMissing;
    p.value[kSensorValue + kMagX + k] = has_mag ? mag[k] : kMissing;
  }
  if (has_gyro) p.present |= 0x07u;
  if (has_mag) p.present |= 0x38u;
}

StreamingResampler::Pending& StreamingResampler::push_values_common(double time_s, float acc_x,
                                                                    float acc_y, float acc_z,
                                                                    float temperature, float light,
                                                                    float battery) {
  Pending& p = pending_.push_back();
  p.time_s = time_s;
  p.value[kAccValue + 0] = acc_x;
  p.value[kAccValue + 1] = acc_y;
  p.value[kAccValue + 2] = acc_z;
  p.value[kReadingValue + 0] = temperature;
  p.value[kReadingValue + 1] = light;
  p.value[kReadingValue + 2] = battery;
  if (!origin_ms_) {
    const double o = range_start_s_ && *range_start_s_ > time_s ? *range_start_s_ : time_s;
    origin_s_ = o;
    origin_ms_ = o * 1000.0;
    grid_index_ = 0;
    cached_index_ = UINT64_MAX;
  }
  return p;
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

void StreamingResampler::emit_ready(bool flush) {
  // Once done, the same grid point would be found at or after the end again.
  if (!origin_ms_ || done_) return;
  for (;;) {
    const double t = current_grid_time_s();
    if (range_end_s_ && t >= *range_end_s_) {
      done_ = true;
      return;
    }
    const std::size_t len = pending_.size();
    while (cursor_ + 1 < len && pending_[cursor_ + 1].time_s < t) ++cursor_;
    const std::size_t c = cursor_;
    // No bracket yet (or, for out-of-order samples, none from the cursor on).
    if (len < 2 || c + 1 >= len || t < pending_[c].time_s || t > pending_[c + 1].time_s) {
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

// Computes the row at grid time t from the bracket (c, c + 1) and appends it.
//
// Worked example, nodes at 0, 1, 2, 3 s holding 0, 1, 4, 9 and t = 1.5 s:
//   D = -6, 2, -2, 6; L = -0.0625, 0.5625, 0.5625, -0.0625; value 2.25 (linear: 2.5).
void StreamingResampler::emit_row(std::size_t c, double t) {
  const Pending& s1 = pending_[c];
  const Pending& s2 = pending_[c + 1];
  const double t1 = s1.time_s;
  const double t2 = s2.time_s;

  // Lagrange weights, shared by every channel whose four values are all numbers.
  const Pending* s0 = nullptr;
  const Pending* s3 = nullptr;
  double l0 = 0, l1 = 0, l2 = 0, l3 = 0;
  if (c >= 1 && c + 2 < pending_.size()) {
    const double t0 = pending_[c - 1].time_s;
    const double t3 = pending_[c + 2].time_s;
    const double d0 = (t0 - t1) * (t0 - t2) * (t0 - t3);
    const double d1 = (t1 - t0) * (t1 - t2) * (t1 - t3);
    const double d2 = (t2 - t0) * (t2 - t1) * (t2 - t3);
    const double d3 = (t3 - t0) * (t3 - t1) * (t3 - t2);
    if (std::fabs(d0) >= kMinSpan && std::fabs(d1) >= kMinSpan && std::fabs(d2) >= kMinSpan &&
        std::fabs(d3) >= kMinSpan) {
      s0 = &pending_[c - 1];
      s3 = &pending_[c + 2];
      const double n0 = (t - t1) * (t - t2) * (t - t3);
      const double n1 = (t - t0) * (t - t2) * (t - t3);
      const double n2 = (t - t0) * (t - t1) * (t - t3);
      const double n3 = (t - t0) * (t - t1) * (t - t2);
      divide_pairs(n0, d0, n1, d1, l0, l1);
      divide_pairs(n2, d2, n3, d3, l2, l3);
    }
  }
  const double dt = t2 - t1;
  const bool flat = std::fabs(dt) < kMinSpan;
  // The linear weight, a division, is needed only where the cubic is not taken.
  double w_value = 0.0;
  bool w_known = flat;
  const auto linear_weight = [&]() -> double {
    if (!w_known) {
      w_value = (t - t1) / dt;
      w_known = true;
    }
    return w_value;
  };

  const auto value = [&](std::size_t i) -> float {
    const double y1 = s1.value[i];
    const double y2 = s2.value[i];
    if (s0 != nullptr) {
      const double y0 = s0->value[i];
      const double y3 = s3->value[i];
      if (!std::isnan(y0) && !std::isnan(y1) && !std::isnan(y2) && !std::isnan(y3)) {
        return static_cast<float>(((l0 * y0 + l1 * y1) + l2 * y2) + l3 * y3);
      }
    }
    if (flat) return static_cast<float>(y1);
    return static_cast<float>(linear_weight() * (y2 - y1) + y1);
  };

  // Accelerometer and block readings, value() for each of the six channels.
  float always[6];
#if defined(__SSE2__)
  // Two channels at a time; every lane rounds exactly as the scalar operations do.
  for (std::size_t i = 0; i < 6; i += 2) {
    const __m128d y1 = widen_pair(s1.value + i);
    const __m128d y2 = widen_pair(s2.value + i);
    const auto linear = [&]() -> __m128d {
      if (flat) return y1;
      return _mm_add_pd(_mm_mul_pd(_mm_set1_pd(linear_weight()), _mm_sub_pd(y2, y1)), y1);
    };
    __m128d r;
    if (s0 != nullptr) {
      const __m128d y0 = widen_pair(s0->value + i);
      const __m128d y3 = widen_pair(s3->value + i);
      const __m128d cubic = _mm_add_pd(
          _mm_add_pd(_mm_add_pd(_mm_mul_pd(_mm_set1_pd(l0), y0), _mm_mul_pd(_mm_set1_pd(l1), y1)),
                     _mm_mul_pd(_mm_set1_pd(l2), y2)),
          _mm_mul_pd(_mm_set1_pd(l3), y3));
      const __m128d nan = _mm_or_pd(_mm_or_pd(_mm_cmpunord_pd(y0, y0), _mm_cmpunord_pd(y1, y1)),
                                    _mm_or_pd(_mm_cmpunord_pd(y2, y2), _mm_cmpunord_pd(y3, y3)));
      r = _mm_movemask_pd(nan) == 0 ? cubic : _mm_or_pd(_mm_and_pd(nan, linear()), _mm_andnot_pd(nan, cubic));
    } else {
      r = linear();
    }
    _mm_storel_pi(reinterpret_cast<__m64*>(&always[i]), _mm_cvtpd_ps(r));
  }
#else
  for (std::size_t i = 0; i < 6; ++i) always[i] = value(i);
#endif

  const std::size_t row = rows();
  if (staged_ == room_) make_room();
  time_out_[staged_] = saturating_us(t * 1000000.0);
  for (std::size_t k = 0; k < 6; ++k)
    if (value_out_[k] != nullptr) value_out_[k][staged_] = always[k];
  ++staged_;

  // Gyroscope and magnetometer: a grid time on a sample copies that sample's values and
  // their presence; otherwise a value is present when its interpolation is a number. With
  // neither bracket sample carrying any of them, every path gives "absent".
  const Pending* exact = t == t1 ? &s1 : t == t2 ? &s2 : nullptr;
  const bool any = ((s1.present | s2.present) != 0);
  if (any || output_.optional[kGyroX].present || output_.optional[kGyroY].present ||
      output_.optional[kGyroZ].present || output_.optional[kMagX].present ||
      output_.optional[kMagY].present || output_.optional[kMagZ].present) {
    for (std::size_t k = 0; k < kSensorChannels; ++k) {
      std::optional<float> v;
      if (exact != nullptr) {
        if ((exact->present >> k) & 1) v = exact->value[kSensorValue + k];
      } else if (any) {
        const float f = value(kSensorValue + k);
        if (!std::isnan(f)) v = f;
      }
      append_sensor_value(output_.optional[k], v, row);
    }
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
