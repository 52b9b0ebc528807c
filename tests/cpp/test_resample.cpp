// Checks StreamingResampler bit for bit and row for row against a whole-list oracle written
// independently of it (all samples held, each grid point bracketed in the full list, Lagrange
// weights by loops) over random streams, fed sample by sample or a block at a time; then a
// few cases with known answers.
// Usage: test_resample [seed]. Exit status 0 when everything matches, 1 otherwise.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "package/decode/isa.hpp"
#include "package/resample/resample.hpp"
#include "package/resample/resample_vector.hpp"

namespace {

using namespace tiltgram;
using Opt = std::optional<double>;

int g_failed = 0;

void fail(const std::string& what) {
  if (++g_failed <= 20) std::printf("FAIL %s\n", what.c_str());
}

// ---- The oracle ----------------------------------------------------------------------------

// Channel ch of a sample as a double; 0-2 acc, 3-8 gyro/mag (absent: NaN), 9-11 block values.
double channel(const TimedSample& s, int ch) {
  const SampleData& d = s.sample;
  const std::optional<float> sensor[6] = {d.gyro_x, d.gyro_y, d.gyro_z, d.mag_x, d.mag_y, d.mag_z};
  const float fixed[6] = {d.acc_x, d.acc_y, d.acc_z, s.temperature, s.light, s.battery};
  if (ch >= 3 && ch < 9) return sensor[ch - 3] ? *sensor[ch - 3] : NAN;
  return fixed[ch < 3 ? ch : ch - 6];
}

std::optional<float> sensor(const TimedSample& s, int k) {
  const double v = channel(s, 3 + k);
  const SampleData& d = s.sample;
  const bool has[6] = {d.gyro_x.has_value(), d.gyro_y.has_value(), d.gyro_z.has_value(),
                       d.mag_x.has_value(),  d.mag_y.has_value(),  d.mag_z.has_value()};
  return has[k] ? std::optional<float>(static_cast<float>(v)) : std::nullopt;
}

// Channel ch at t with the bracket (c, c + 1) in the whole list xs.
float interp(const std::vector<TimedSample>& xs, std::size_t c, double t, int ch) {
  if (c >= 1 && c + 2 < xs.size()) {
    double tt[4], y[4], l[4];
    bool ok = true;
    for (std::size_t i = 0; i < 4; ++i) {
      tt[i] = xs[c - 1 + i].time_s;
      y[i] = channel(xs[c - 1 + i], ch);
      ok = ok && !std::isnan(y[i]);
    }
    for (std::size_t i = 0; i < 4; ++i) {
      double num = 1.0, den = 1.0;
      for (std::size_t j = 0; j < 4; ++j) {
        if (j == i) continue;
        num *= t - tt[j];
        den *= tt[i] - tt[j];
      }
      ok = ok && std::fabs(den) >= 1e-12;
      l[i] = num / den;
    }
    if (ok) {
      double sum = l[0] * y[0];
      for (std::size_t i = 1; i < 4; ++i) sum += l[i] * y[i];
      return static_cast<float>(sum);
    }
  }
  const double t1 = xs[c].time_s, t2 = xs[c + 1].time_s;
  const double y1 = channel(xs[c], ch), y2 = channel(xs[c + 1], ch);
  if (std::fabs(t2 - t1) < 1e-12) return static_cast<float>(y1);
  return static_cast<float>((t - t1) / (t2 - t1) * (y2 - y1) + y1);
}

std::int64_t to_us(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 0x1p63) return INT64_MAX;
  if (x < -0x1p63) return INT64_MIN;
  return static_cast<std::int64_t>(x);
}

struct Row {
  std::int64_t us;
  float value[12];  // as channel(); gyro/mag NaN when absent
  std::optional<float> sensor[6];
};

struct Expected {
  std::vector<Row> rows;
  bool done = false;
};

Expected oracle(const std::vector<TimedSample>& xs, Opt start, Opt end, double hz) {
  Expected e;
  if (xs.empty()) return e;
  const double origin = start && *start > xs[0].time_s ? *start : xs[0].time_s;
  std::size_t c = 0;
  for (std::uint64_t n = 0;; ++n) {
    const double t =
        n == 0 ? origin : (origin * 1000.0 + static_cast<double>(n) * (1000.0 / hz)) / 1000.0;
    if (end && t >= *end) {
      e.done = true;
      return e;
    }
    while (c + 1 < xs.size() && !(xs[c + 1].time_s >= t)) ++c;
    if (c + 1 >= xs.size() || t < xs[c].time_s || t > xs[c + 1].time_s) return e;
    Row r{};
    r.us = to_us(t * 1e6);
    for (int ch = 0; ch < 12; ++ch) r.value[ch] = interp(xs, c, t, ch);
    for (int k = 0; k < 6; ++k) {
      if (t == xs[c].time_s) {
        r.sensor[k] = sensor(xs[c], k);
      } else if (t == xs[c + 1].time_s) {
        r.sensor[k] = sensor(xs[c + 1], k);
      } else if (!std::isnan(r.value[3 + k])) {
        r.sensor[k] = r.value[3 + k];
      }
    }
    e.rows.push_back(r);
  }
}

// ---- Driving the resampler -----------------------------------------------------------------

struct Case {
  std::vector<TimedSample> xs;
  Opt start, end;
  double hz = 1;
  bool blocks[3] = {true, true, true};  // include temperature, light, battery
};

struct Streamed {
  CwaDataResult out;
  bool done;
};

// Feeds the samples as the resampled read does (no push once done), calling emit_ready
// after every `batch` pushes; with check_queue, fails when the queue exceeds 4 samples.
// Rows one at a time (none), or in the vector lanes of an instruction set.
using RowCode = std::optional<IsaLevel>;
constexpr RowCode kRowCodes[] = {std::nullopt, IsaLevel::kBaseline, IsaLevel::kAvx2,
                                 IsaLevel::kAvx512};
const char* row_code_name(RowCode code) {
  return code ? isa_name(*code) : "one by one";
}

Streamed stream(const Case& k, std::size_t batch = 1, bool check_queue = false,
                RowCode code = best_isa()) {
  StreamingResampler r(k.start, k.end, k.hz, k.blocks[0], k.blocks[1], k.blocks[2]);
  r.set_row_code(code);
  std::size_t pushed = 0;
  for (const TimedSample& s : k.xs) {
    if (r.done()) break;
    r.push_sample(s);
    if (++pushed % batch != 0) continue;
    r.emit_ready(false);
    if (check_queue && r.queue_length() > 4) {
      fail("queue grew to " + std::to_string(r.queue_length()));
    }
  }
  r.emit_ready(true);
  return {r.take_output(), r.done()};
}

bool same_bits(float a, float b) {
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

void compare(const std::string& name, const Case& k, const Streamed& got, const Expected& want) {
  const CwaDataResult& r = got.out;
  if (r.rows() != want.rows.size() || got.done != want.done) {
    fail(name + ": rows " + std::to_string(r.rows()) + " want " +
         std::to_string(want.rows.size()) + ", done " + std::to_string(got.done));
    return;
  }
  for (std::size_t ch = 0; ch < kChannelCount; ++ch) {
    bool want_present = ch >= kTemperature && k.blocks[ch - kTemperature];
    for (const Row& w : want.rows) want_present = want_present || (ch < 6 && w.sensor[ch]);
    if (r.optional[ch].present != want_present) {
      fail(name + ": presence of " + kChannelNames[ch]);
    }
  }
  const Column<float>* acc[3] = {&r.acc_x, &r.acc_y, &r.acc_z};
  for (std::size_t i = 0; i < r.rows() && g_failed < 20; ++i) {
    const Row& w = want.rows[i];
    bool ok = r.timestamps[i] == w.us;
    for (std::size_t ch = 0; ch < 3; ++ch) ok = ok && same_bits((*acc[ch])[i], w.value[ch]);
    for (std::size_t ch = 0; ch < kChannelCount; ++ch) {
      if (!r.optional[ch].present) continue;
      const float v = r.optional[ch].values[i];
      if (ch < 6) {
        ok = ok && same_bits(v, w.sensor[ch].value_or(kMissing));
      } else {  // block values: any NaN matches any NaN
        const float b = w.value[3 + ch];
        ok = ok && (same_bits(v, b) || (std::isnan(v) && std::isnan(b)));
      }
    }
    if (!ok) fail(name + ": row " + std::to_string(i) + " at " + std::to_string(w.us) + " us");
  }
}

// ---- Random streams ------------------------------------------------------------------------

// Whether the stream being made may hold NaN values (a hand-made sample may hold one in any
// channel); streams without any take the run code with gyroscope and magnetometer values.
bool g_nan_values = false;

float rand_value(std::mt19937_64& rng) {
  switch (rng() % 64) {
    case 0: return 0.0f;
    case 1: return -0.0f;
    case 2: return g_nan_values ? NAN : 1.0f;
    default: return static_cast<float>(static_cast<int>(rng() % 8192) - 4096) / 256.0f;
  }
}

// Blocks of 1-120 samples at a nominal rate with jitter, or dense (1-300 us apart, so that
// cubic denominators fall below 1e-12), with gaps, repeated and (unless in_order) backward
// timestamps, 3-, 6- or 9-axis blocks with gyro values sometimes dropped, NaN temperatures.
// Steady streams whose every sample has the gyroscope (and magnetometer) channels, so that
// the runs carry them, ending anywhere in a group of rows: every count modulo eight, grids
// on, near and off the sample times, a range end inside the last group or none.
Case sensor_run_case(std::mt19937_64& rng) {
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  Case k;
  g_nan_values = false;
  const double rate = pick(2) == 0 ? 100 : 50;
  const std::size_t n = 8 * (1 + pick(40)) + pick(8);
  const bool mag = pick(2) == 0;
  double t = 1'700'000'000.0 + static_cast<double>(pick(1'000'000)) / 1e6;
  for (std::size_t i = 0; i < n; ++i) {
    TimedSample s;
    s.time_s = t;
    SampleData& d = s.sample;
    d.acc_x = rand_value(rng), d.acc_y = rand_value(rng), d.acc_z = rand_value(rng);
    d.gyro_x = rand_value(rng), d.gyro_y = rand_value(rng), d.gyro_z = rand_value(rng);
    if (mag) d.mag_x = rand_value(rng), d.mag_y = rand_value(rng), d.mag_z = rand_value(rng);
    s.temperature = 21.5f, s.light = 3.25f, s.battery = 4.0f;
    k.xs.push_back(s);
    t += (1.0 + static_cast<double>(pick(3)) * 1e-4) / rate;
  }
  const double hzs[] = {rate, rate / 2, 30, rate * 1.01, rate / 3.3, rate * 2};
  k.hz = hzs[pick(6)];
  if (pick(3) == 0) k.end = k.xs[n - 1 - pick(8)].time_s - 1e-3 * static_cast<double>(pick(3));
  for (bool& b : k.blocks) b = pick(2) != 0;
  return k;
}

Case random_case(std::mt19937_64& rng, bool in_order, bool sensors) {
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  auto uniform = [&](double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng);
  };
  Case k;
  g_nan_values = pick(3) == 0;
  // Epoch 0, 2023, before 1970, and up to INT64_MAX (timestamps saturate there).
  const std::int64_t bases[] = {0, 1'700'000'000'000'000, -5'000'000, INT64_MAX - 4'000'000};
  std::int64_t us = bases[pick(10) == 0 ? 2 + pick(2) : pick(2)];
  auto forward = [&](std::uint64_t d) {
    const auto step = static_cast<std::int64_t>(d);
    us = us > INT64_MAX - step ? INT64_MAX : us + step;
  };
  forward(pick(1'000'000));
  const double rates[] = {12.5, 25, 50, 100, 200, 400, 800, 1600, 3200};
  const double rate = rates[pick(9)];
  const std::size_t n = pick(6) == 0 ? pick(4) : pick(400);
  while (k.xs.size() < n) {
    const std::uint64_t axes = sensors ? pick(3) : 0;
    const float temp = pick(20) == 0 ? NAN : rand_value(rng);
    const float light = rand_value(rng), battery = rand_value(rng);
    if (pick(4) == 0) forward(pick(3'000'000));
    const auto p = pick(6) == 0 ? 1 + pick(300) : static_cast<std::uint64_t>(1e6 / rate);
    for (std::uint64_t i = 1 + pick(120); i > 0 && k.xs.size() < n; --i) {
      const std::uint64_t step = pick(40);
      if (step == 1 && !in_order) {
        us -= static_cast<std::int64_t>(pick(3 * p));
      } else if (step != 0) {
        forward(p + pick(p / 10 + 1));
      }
      TimedSample s;
      s.time_s = static_cast<double>(us) / 1'000'000.0;
      SampleData& d = s.sample;
      d.acc_x = rand_value(rng), d.acc_y = rand_value(rng), d.acc_z = rand_value(rng);
      if (axes >= 1 && pick(30) != 0) d.gyro_x = rand_value(rng), d.gyro_y = rand_value(rng);
      if (axes >= 1) d.gyro_z = rand_value(rng);
      if (axes == 2) {
        d.mag_x = rand_value(rng), d.mag_y = rand_value(rng), d.mag_z = rand_value(rng);
      }
      s.temperature = temp, s.light = light, s.battery = battery;
      k.xs.push_back(s);
    }
  }
  const double first = k.xs.empty() ? 0 : k.xs.front().time_s;
  const double span = (k.xs.empty() ? 0 : k.xs.back().time_s) - first + 2;
  if (pick(3) == 0) {
    k.start = pick(3) == 0 && n > 0 ? k.xs[pick(n)].time_s : first - 1 + span * uniform(0, 1);
  }
  if (pick(3) == 0) k.end = first - 1 + span * uniform(0, 1);
  if (k.start && k.end && *k.end <= *k.start) k.end = *k.start + 1;
  switch (pick(4)) {
    case 0: k.hz = rate / static_cast<double>(1 + pick(4)); break;  // grid on sample times
    case 1: k.hz = 10000; break;
    default: k.hz = std::exp(uniform(std::log(0.5), std::log(10000.0)));
  }
  k.hz = std::max(0.5, std::min(k.hz, 20'000 / std::fabs(span)));  // at most ~20k rows
  for (bool& b : k.blocks) b = pick(4) != 0;
  return k;
}

// ---- Known answers -------------------------------------------------------------------------

TimedSample at(double time_s, float acc, std::optional<float> gyro = {},
               std::optional<float> mag = {}) {
  TimedSample s;
  s.time_s = time_s;
  s.sample.acc_x = acc, s.sample.acc_y = -acc, s.sample.acc_z = 2 * acc;
  s.sample.gyro_x = s.sample.gyro_y = s.sample.gyro_z = gyro;
  s.sample.mag_x = s.sample.mag_y = s.sample.mag_z = mag;
  s.temperature = 20 + acc, s.light = 100 * acc, s.battery = 4;
  return s;
}

void expect(bool ok, const char* what) {
  if (!ok) fail(what);
}

// True when column `name` ("us" for the timestamps) is present and starts with `want`
// (NaN matches NaN).
bool starts_with(const Streamed& s, const std::string& name, const std::vector<double>& want) {
  const CwaDataResult& r = s.out;
  std::vector<double> v;
  const Column<float>* acc[3] = {&r.acc_x, &r.acc_y, &r.acc_z};
  for (std::size_t i = 0; i < r.rows(); ++i) {
    if (name == "us") v.push_back(static_cast<double>(r.timestamps[i]));
    for (std::size_t a = 0; a < 3; ++a) {
      if (name == std::string("acc_") + "xyz"[a]) v.push_back((*acc[a])[i]);
    }
    for (std::size_t ch = 0; ch < kChannelCount; ++ch) {
      if (name == kChannelNames[ch] && r.optional[ch].present) {
        v.push_back(r.optional[ch].values[i]);
      }
    }
  }
  if (v.size() < want.size()) return false;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (!(v[i] == want[i] || (std::isnan(v[i]) && std::isnan(want[i])))) return false;
  }
  return true;
}

void known_answers() {
  // First row on the first sample (932 us, where (o * 1000) / 1000 would give 931 us), with
  // no range start, an earlier one, and one equal to it.
  for (const Opt start : {Opt{}, Opt{-1.0}, Opt{0.000932}}) {
    const Streamed r = stream({{at(0.000932, 1.5f, 2.0f), at(0.010932, 3.0f)}, start, {}, 100});
    expect(starts_with(r, "us", {932}) && starts_with(r, "acc_y", {-1.5}) &&
               starts_with(r, "gyro_x", {2}) && starts_with(r, "temperature", {21.5}) &&
               !r.out.optional[kMagX].present,
           "first row copies the first sample");
  }
  // Rows wait for the fourth node, except next to the first sample (no cubic possible there).
  {
    StreamingResampler r({}, {}, 1, false, false, false);
    std::size_t rows[3];
    const TimedSample xs[3] = {at(0, 1), at(2, 3), at(3, 4)};
    for (std::size_t i = 0; i < 3; ++i) {
      r.push_sample(xs[i]);
      r.emit_ready(false);
      rows[i] = r.output().rows();
    }
    r.emit_ready(true);
    expect(rows[0] == 0 && rows[1] == 3 && rows[2] == 3 && r.output().rows() == 4, "look-ahead");
  }
  // A start after the first sample: the row at 1.5 s is the cubic through 0, 1, 4, 9 at
  // 0, 1, 2, 3 s; the last row, with no fourth node, is linear.
  {
    const Streamed r = stream({{at(0, 0), at(1, 1), at(2, 4), at(3, 9), at(4, 16)}, 1.5, {}, 1});
    expect(r.out.rows() == 3 && starts_with(r, "us", {1.5e6, 2.5e6, 3.5e6}) &&
               starts_with(r, "acc_x", {2.25, 6.25, 12.5}),
           "range start after the first sample");
  }
  expect(stream({{at(5, 1)}, {}, {}, 10}).out.rows() == 0, "single sample emits nothing");
  // Grid times on samples copy gyro/mag and their absence; between samples each channel
  // goes its own way: at 1.75 s the node at 1.0 s lacks gyro, so gyro is linear (1.5) while
  // acc is cubic (3.875); next to the 1.0 s sample the gyro is absent.
  {
    const Streamed r = stream({{at(0, 0, 4.0f), at(0.5, 1, 0.0f), at(1, 2, {}, 7.0f),
                                at(1.5, 3, 1.0f), at(2, 5, 2.0f), at(2.5, 8, 3.0f)},
                               {}, {}, 4});
    expect(r.out.rows() == 11 &&
               starts_with(r, "acc_x", {0, .5, 1, 1.5, 2, 2.4375, 3, 3.875, 5, 6.5, 8}) &&
               starts_with(r, "gyro_y", {4, 2, 0, NAN, NAN, NAN, 1, 1.5, 2, 2.5, 3}) &&
               starts_with(r, "mag_z", {NAN, NAN, NAN, NAN, 7, NAN, NAN, NAN, NAN, NAN, NAN}),
           "gyro/mag copied on samples, interpolated per channel between them");
  }
  // Shared timestamps: the first of them is taken, and nodes sharing a time are not cubic.
  {
    const Streamed r =
        stream({{at(0, 0), at(1, 1, 1.0f), at(1, 2, 2.0f), at(2, 4), at(3, 9)}, {}, {}, 2});
    expect(r.out.rows() == 7 && starts_with(r, "acc_x", {0, .5, 1, 3, 4, 6.5, 9}) &&
               starts_with(r, "gyro_x", {NAN, NAN, 1, NAN, NAN, NAN, NAN}),
           "shared timestamps");
  }
  // A bracket narrower than 1e-12 s gives its left sample.
  expect(starts_with(stream({{at(0, 0), at(0.5 - 4e-13, 1), at(0.5 + 4e-13, 3), at(1, 5)},
                             {}, {}, 2}),
                     "acc_x", {0, 1, 5}),
         "narrow bracket");
  // The grid point at exactly the end bound is not emitted.
  {
    Case k{{}, {}, 100.0, 1};
    for (int i = 0; i <= 120; ++i) k.xs.push_back(at(90 + i / 10.0, 1));
    const Streamed r = stream(k, 1, true);
    std::vector<double> us;
    for (int i = 90; i < 100; ++i) us.push_back(i * 1e6);
    expect(r.out.rows() == 10 && starts_with(r, "us", us) && r.done, "end bound on a grid point");
  }
  // Nodes of one reading group with weights near 1e10 (samples 1 us, then a day apart):
  // the readings are interpolated, not copied, in every code.
  {
    Case k{{}, {}, {}, 1e-4};
    for (const double t : {0.0, 1e5, 2e5, 2e5 + 1e-6, 3e5, 4e5, 5e5}) {
      TimedSample s = at(t, 1.25f);
      s.temperature = 21.7f, s.light = 3.3f, s.battery = 4.1f;
      k.xs.push_back(s);
    }
    const Expected want = oracle(k.xs, k.start, k.end, k.hz);
    bool copied = true;
    for (const Row& w : want.rows) copied = copied && same_bits(w.value[9], 21.7f);
    expect(!copied, "extreme weights change a reading");
    for (const RowCode code : kRowCodes) {
      if (!code || isa_supported(*code)) compare("extreme weights", k, stream(k, 1, false, code), want);
    }
  }
  // 1.2345679 s x 1e6 = 1234567.9000000001: truncated, not rounded.
  expect(starts_with(stream({{at(1, 0), at(2, 1)}, 1.2345679, {}, 1}), "us", {1234567}),
         "timestamp truncation");
}

// Sample times in seconds, as each instruction set computes them, against one division at
// a time: signs, magnitudes up to the int64 ends, and every batch length.
void check_seconds(std::mt19937_64& rng) {
  std::vector<std::int64_t> us(4000);
  for (std::size_t i = 0; i < us.size(); ++i) {
    const int bits = static_cast<int>(rng() % 64);
    us[i] = static_cast<std::int64_t>(rng() >> (63 - bits)) * (rng() % 2 == 0 ? 1 : -1);
  }
  us[0] = INT64_MAX, us[1] = INT64_MIN, us[2] = 0, us[3] = 1'700'000'000'123'457;
  // The baseline's code runs on every processor; in the ranges, the bit-exact conversion
  // of 0 <= v < 2^52 and the general one.
  for (std::size_t i = 4; i < us.size(); i += 3) us[i] = static_cast<std::int64_t>(rng() >> 12);
  for (const IsaLevel isa : {IsaLevel::kBaseline, IsaLevel::kAvx2, IsaLevel::kAvx512}) {
    if (!isa_supported(isa)) continue;
    for (std::size_t n = 0; n <= 17; ++n) {
      for (std::size_t at = 0; at + n <= us.size(); at += 97) {
        double got[17];
        resample_vector::seconds(isa, us.data() + at, n, got);
        for (std::size_t i = 0; i < n; ++i) {
          const double want = static_cast<double>(us[at + i]) / 1'000'000.0;
          if (std::bit_cast<std::uint64_t>(got[i]) != std::bit_cast<std::uint64_t>(want))
            fail("seconds of " + std::to_string(us[at + i]));
        }
      }
    }
  }
}

// The run-time cap's values: the three names in any case; unset or empty is no cap; any
// other value caps at the baseline.
void check_isa_caps() {
  const std::pair<const char*, std::optional<IsaLevel>> cases[] = {
      {nullptr, std::nullopt},        {"", std::nullopt},
      {"sse2", IsaLevel::kBaseline},  {"avx2", IsaLevel::kAvx2},
      {"AVX512", IsaLevel::kAvx512},  {"Avx2", IsaLevel::kAvx2},
      {"avx", IsaLevel::kBaseline},   {"avx2 ", IsaLevel::kBaseline},
      {"avx5120", IsaLevel::kBaseline}, {"neon", IsaLevel::kBaseline}};
  for (const auto& [value, want] : cases)
    if (isa_cap_from(value) != want) fail(std::string("cap from '") + (value ? value : "null") + "'");
  // This process's choice honours its own environment's cap.
  const auto cap = isa_cap_from(std::getenv("TILTGRAM_MAX_ISA"));
  if (cap && static_cast<int>(best_isa()) > static_cast<int>(*cap)) fail("cap ignored");
  if (!isa_available(IsaLevel::kBaseline) || !isa_available(best_isa())) fail("best path");
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20240611;
  std::mt19937_64 rng(seed);
  check_isa_caps();
  known_answers();
  check_seconds(rng);
  std::uint64_t rows = 0;
  for (int i = 0; i < 3000 && g_failed == 0; ++i) {
    const bool in_order = rng() % 2 == 0;
    const Case k = random_case(rng, in_order, rng() % 2 == 0);
    // Fed sample by sample, or a block at a time (the queue then holds the block).
    const std::size_t batch = rng() % 2 == 0 ? 1 : 1 + rng() % 150;
    // Past about 1e12 s (year 33000) a small grid step can vanish in rounding and the grid
    // stalls with a growing queue, as its definition implies; device clocks never get there.
    const bool bounded = in_order && batch == 1 && (k.xs.empty() || k.xs.back().time_s < 1e12);
    const Expected want = oracle(k.xs, k.start, k.end, k.hz);
    // Rows computed one at a time, and several at a time in each way the processor has.
    for (const RowCode code : kRowCodes) {
      if (code && !isa_supported(*code)) continue;
      const Streamed got = stream(k, batch, bounded, code);
      compare("stream " + std::to_string(i) + " (" + row_code_name(code) + ")", k, got, want);
      rows += got.out.rows();
    }
  }
  for (int i = 0; i < 600 && g_failed == 0; ++i) {
    const Case k = sensor_run_case(rng);
    const std::size_t batch = rng() % 2 == 0 ? 1 : 1 + rng() % 150;
    const Expected want = oracle(k.xs, k.start, k.end, k.hz);
    for (const RowCode code : kRowCodes) {
      if (code && !isa_supported(*code)) continue;
      const Streamed got = stream(k, batch, false, code);
      compare("sensor run " + std::to_string(i) + " (" + row_code_name(code) + ")", k, got, want);
      rows += got.out.rows();
    }
  }
  std::printf("%s: seed %llu, %llu rows compared, %d failures\n", g_failed ? "FAILED" : "ok",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(rows),
              g_failed);
  return g_failed ? 1 : 0;
}
