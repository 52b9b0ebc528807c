// Checks StreamingResampler against a whole-list oracle written independently of it (all
// samples held, every grid point found from the full list, Lagrange weights by loops), bit
// for bit and row for row, over random streams; then a few cases with known answers.
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
#include <vector>

#include "package/resample.hpp"

namespace {

using namespace tiltgram;
using Opt = std::optional<double>;

int g_failed = 0;

void fail(const std::string& what) {
  if (++g_failed <= 20) std::printf("FAIL %s\n", what.c_str());
}

struct Row {
  std::int64_t us;
  float acc[3];
  std::optional<float> sensor[6];
  float block[3];
};

std::int64_t to_us(double x) {
  if (std::isnan(x)) return 0;
  if (x >= 0x1p63) return INT64_MAX;
  if (x < -0x1p63) return INT64_MIN;
  return static_cast<std::int64_t>(x);
}

// Value at t of channel values y over the bracket c (nodes c-1 .. c+2 when they exist).
float interp(const std::vector<TimedSample>& xs, std::size_t c, double t, double (*get)(const TimedSample&, int), int ch) {
  const bool four = c >= 1 && c + 2 < xs.size();
  if (four) {
    double tt[4], y[4], l[4];
    bool ok = true;
    for (int i = 0; i < 4; ++i) {
      tt[i] = xs[c - 1 + static_cast<std::size_t>(i)].time_s;
      y[i] = get(xs[c - 1 + static_cast<std::size_t>(i)], ch);
      ok = ok && !std::isnan(y[i]);
    }
    for (int i = 0; i < 4; ++i) {
      double num = 1.0, den = 1.0;
      for (int j = 0; j < 4; ++j) {
        if (j == i) continue;
        num *= t - tt[j];
        den *= tt[i] - tt[j];
      }
      ok = ok && std::fabs(den) >= 1e-12;
      l[i] = num / den;
    }
    if (ok) {
      double sum = l[0] * y[0];
      for (int i = 1; i < 4; ++i) sum += l[i] * y[i];
      return static_cast<float>(sum);
    }
  }
  const double t1 = xs[c].time_s, t2 = xs[c + 1].time_s;
  const double y1 = get(xs[c], ch), y2 = get(xs[c + 1], ch);
  if (std::fabs(t2 - t1) < 1e-12) return static_cast<float>(y1);
  return static_cast<float>((t - t1) / (t2 - t1) * (y2 - y1) + y1);
}

double acc_of(const TimedSample& s, int ch) {
  return ch == 0 ? s.sample.acc_x : ch == 1 ? s.sample.acc_y : s.sample.acc_z;
}
std::optional<float> sensor_opt(const TimedSample& s, int ch) {
  const SampleData& d = s.sample;
  const std::optional<float> v[6] = {d.gyro_x, d.gyro_y, d.gyro_z, d.mag_x, d.mag_y, d.mag_z};
  return v[ch];
}
double sensor_of(const TimedSample& s, int ch) {
  return sensor_opt(s, ch).value_or(NAN);
}
double block_of(const TimedSample& s, int ch) {
  return ch == 0 ? s.temperature : ch == 1 ? s.light : s.battery;
}

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
    for (int ch = 0; ch < 3; ++ch) {
      r.acc[ch] = interp(xs, c, t, acc_of, ch);
      r.block[ch] = interp(xs, c, t, block_of, ch);
    }
    for (int ch = 0; ch < 6; ++ch) {
      if (t == xs[c].time_s) {
        r.sensor[ch] = sensor_opt(xs[c], ch);
      } else if (t == xs[c + 1].time_s) {
        r.sensor[ch] = sensor_opt(xs[c + 1], ch);
      } else if (const float v = interp(xs, c, t, sensor_of, ch); !std::isnan(v)) {
        r.sensor[ch] = v;
      }
    }
    e.rows.push_back(r);
  }
}

struct Case {
  std::vector<TimedSample> xs;
  Opt start, end;
  double hz = 1;
  bool blocks[3] = {true, true, true};
};

// Feeds the samples as the resampled read does (no push once done) and returns the result.
CwaDataResult stream(const Case& k, bool& done, bool check_queue, std::mt19937_64* rng = nullptr) {
  StreamingResampler r(k.start, k.end, k.hz, k.blocks[0], k.blocks[1], k.blocks[2]);
  for (const TimedSample& s : k.xs) {
    if (r.done()) break;
    r.push_sample(s);
    r.emit_ready(false);
    if (rng != nullptr && (*rng)() % 8 == 0) r.emit_ready(false);  // repeating changes nothing
    if (check_queue && r.queue_length() > 4) fail("queue grew to " + std::to_string(r.queue_length()));
  }
  r.emit_ready(true);
  done = r.done();
  return r.take_output();
}

bool same_float(float a, float b, bool any_nan) {
  if (any_nan && std::isnan(a) && std::isnan(b)) return true;
  return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

void compare(const std::string& name, const Case& k, const CwaDataResult& got, bool got_done,
             const Expected& want) {
  if (got.rows() != want.rows.size() || got_done != want.done) {
    fail(name + ": rows " + std::to_string(got.rows()) + " want " + std::to_string(want.rows.size()) +
         ", done " + std::to_string(got_done) + " want " + std::to_string(want.done));
    return;
  }
  const Column<float>* acc[3] = {&got.acc_x, &got.acc_y, &got.acc_z};
  for (int ch = 0; ch < 6; ++ch) {
    bool any = false;
    for (const Row& r : want.rows) any = any || r.sensor[ch].has_value();
    if (got.optional[static_cast<std::size_t>(ch)].present != any) fail(name + ": presence of " + kChannelNames[ch]);
  }
  for (int ch = 0; ch < 3; ++ch) {
    if (got.optional[kTemperature + static_cast<std::size_t>(ch)].present != k.blocks[ch]) fail(name + ": block column");
  }
  for (std::size_t i = 0; i < got.rows() && g_failed < 20; ++i) {
    const Row& w = want.rows[i];
    bool ok = got.timestamps[i] == w.us;
    for (int ch = 0; ch < 3; ++ch) ok = ok && same_float((*acc[ch])[i], w.acc[ch], false);
    for (std::size_t ch = 0; ch < 6; ++ch) {
      const OptionalColumn& col = got.optional[ch];
      if (col.present) ok = ok && same_float(col.values[i], w.sensor[ch].value_or(kMissing), false);
    }
    for (std::size_t ch = 0; ch < 3; ++ch) {
      const OptionalColumn& col = got.optional[kTemperature + ch];
      if (col.present) ok = ok && same_float(col.values[i], w.block[ch], true);
    }
    if (!ok) fail(name + ": row " + std::to_string(i) + " at " + std::to_string(w.us) + " us");
  }
}

float rand_value(std::mt19937_64& rng) {
  switch (rng() % 16) {
    case 0: return 0.0f;
    case 1: return -0.0f;
    default: return static_cast<float>(static_cast<int>(rng() % 8192) - 4096) / 256.0f;
  }
}

// Blocks of 1-120 samples at a nominal rate with jitter, gaps, repeated and (unless
// in_order) backward timestamps, 3-, 6- or 9-axis blocks with values sometimes dropped.
Case random_case(std::mt19937_64& rng, bool in_order) {
  auto pick = [&](std::uint64_t n) { return rng() % n; };
  Case k;
  const std::int64_t bases[] = {0, 1'700'000'000'000'000, -5'000'000, INT64_MAX - 200'000'000};
  std::int64_t us = bases[pick(10) == 0 ? 2 + pick(2) : pick(2)] + static_cast<std::int64_t>(pick(1'000'000));
  const double rates[] = {12.5, 25, 50, 100, 200, 400, 800, 1600, 3200};
  const double rate = rates[pick(9)];
  const auto period = static_cast<std::int64_t>(1e6 / rate);
  const std::size_t n = pick(6) == 0 ? pick(4) : pick(400);
  while (k.xs.size() < n) {
    const std::uint64_t axes = pick(3);
    const float temp = pick(20) == 0 ? NAN : rand_value(rng), light = rand_value(rng), batt = rand_value(rng);
    if (pick(4) == 0) us += static_cast<std::int64_t>(pick(3'000'000));  // a gap
    for (std::uint64_t i = 1 + pick(120); i > 0 && k.xs.size() < n; --i) {
      TimedSample s;
      const std::uint64_t step = pick(40);
      if (step == 0) {
      } else if (step == 1 && !in_order) {
        us -= static_cast<std::int64_t>(pick(3 * static_cast<std::uint64_t>(period)));
      } else {
        us += period + static_cast<std::int64_t>(pick(static_cast<std::uint64_t>(period) / 10 + 1));
      }
      s.time_s = static_cast<double>(us) / 1'000'000.0;
      s.sample.acc_x = rand_value(rng), s.sample.acc_y = rand_value(rng), s.sample.acc_z = rand_value(rng);
      if (axes >= 1 && pick(30) != 0) s.sample.gyro_x = rand_value(rng), s.sample.gyro_y = rand_value(rng);
      if (axes >= 1) s.sample.gyro_z = rand_value(rng);
      if (axes == 2) s.sample.mag_x = rand_value(rng), s.sample.mag_y = rand_value(rng), s.sample.mag_z = rand_value(rng);
      s.temperature = temp, s.light = light, s.battery = batt;
      k.xs.push_back(s);
    }
  }
  const double first = k.xs.empty() ? 0 : k.xs.front().time_s;
  const double last = k.xs.empty() ? 0 : k.xs.back().time_s;
  const double span = last - first + 2;
  auto when = [&] { return first - 1 + span * std::uniform_real_distribution<double>(0, 1)(rng); };
  if (pick(3) == 0) k.start = pick(3) == 0 && !k.xs.empty() ? k.xs[pick(k.xs.size())].time_s : when();
  if (pick(3) == 0) k.end = when();
  if (k.start && k.end && *k.end <= *k.start) k.end = *k.start + 1;
  switch (pick(4)) {
    case 0: k.hz = rate / static_cast<double>(1 + pick(4)); break;  // grid on sample times
    case 1: k.hz = 10000; break;
    default: k.hz = std::exp(std::uniform_real_distribution<double>(std::log(0.5), std::log(10000.0))(rng));
  }
  k.hz = std::max(0.5, std::min(k.hz, 20'000 / std::fabs(span)));  // at most ~20k rows
  for (bool& b : k.blocks) b = pick(4) != 0;
  return k;
}

TimedSample at(double time_s, float acc, std::optional<float> gyro = {}, std::optional<float> mag = {}) {
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
bool starts_with(const CwaDataResult& r, const std::string& name, const std::vector<double>& want) {
  std::vector<double> v;
  const Column<float>* acc[3] = {&r.acc_x, &r.acc_y, &r.acc_z};
  for (std::size_t i = 0; i < r.rows(); ++i) {
    if (name == "us") v.push_back(static_cast<double>(r.timestamps[i]));
    for (int a = 0; a < 3; ++a) {
      if (name == std::string("acc_") + "xyz"[a]) v.push_back((*acc[a])[i]);
    }
    for (std::size_t ch = 0; ch < kChannelCount; ++ch) {
      if (name == kChannelNames[ch] && r.optional[ch].present) v.push_back(r.optional[ch].values[i]);
    }
  }
  if (v.size() < want.size()) return false;
  for (std::size_t i = 0; i < want.size(); ++i) {
    if (!(v[i] == want[i] || (std::isnan(v[i]) && std::isnan(want[i])))) return false;
  }
  return true;
}

void known_answers() {
  bool done = false;
  // First row on the first sample (932 us, where (o * 1000) / 1000 would give 931 us), with
  // no range start, an earlier one, and one equal to it.
  for (const Opt start : {Opt{}, Opt{-1.0}, Opt{0.000932}}) {
    const Case k{{at(0.000932, 1.5f, 2.0f), at(0.010932, 3.0f), at(0.020932, 4.0f)}, start, {}, 100};
    const CwaDataResult r = stream(k, done, false);
    expect(r.rows() >= 2 && starts_with(r, "us", {932}) && starts_with(r, "acc_y", {-1.5}) &&
               starts_with(r, "gyro_x", {2}) && starts_with(r, "temperature", {21.5}) &&
               !r.optional[kMagX].present,
           "first row copies the first sample");
  }
  // Rows wait for the fourth node, except next to the first sample (no cubic possible there).
  {
    StreamingResampler r({}, {}, 1, false, false, false);
    r.emit_ready(false);
    r.push_sample(at(0, 1));
    r.emit_ready(false);
    const std::size_t one = r.output().rows();
    r.push_sample(at(2, 3));
    r.emit_ready(false);
    const std::size_t two = r.output().rows();
    r.push_sample(at(3, 4));
    r.emit_ready(false);
    const std::size_t three = r.output().rows();
    r.emit_ready(true);
    expect(one == 0 && two == 3 && three == 3 && r.output().rows() == 4, "look-ahead");
  }
  // A start after the first sample: the row at 1.5 s is the cubic through 0, 1, 4, 9 at
  // 0, 1, 2, 3 s; the last row, with no fourth node, is linear.
  {
    const CwaDataResult r = stream(Case{{at(0, 0), at(1, 1), at(2, 4), at(3, 9), at(4, 16)}, 1.5, {}, 1}, done, false);
    expect(r.rows() == 3 && starts_with(r, "us", {1.5e6, 2.5e6, 3.5e6}) &&
               starts_with(r, "acc_x", {2.25, 6.25, 12.5}),
           "range start after the first sample");
  }
  expect(stream(Case{{at(5, 1)}, {}, {}, 10}, done, false).rows() == 0, "single sample emits nothing");
  // Grid times on samples copy gyro/mag and their absence; between samples each channel
  // goes its own way: at 1.75 s the node at 1.0 s lacks gyro, so gyro is linear (1.5) while
  // acc is cubic (3.875); next to the 1.0 s sample the gyro is absent.
  {
    const Case k{{at(0, 0, 4.0f), at(0.5, 1, 0.0f), at(1, 2, {}, 7.0f), at(1.5, 3, 1.0f), at(2, 5, 2.0f),
                  at(2.5, 8, 3.0f)},
                 {}, {}, 4};
    const CwaDataResult r = stream(k, done, false);
    expect(r.rows() == 11 && starts_with(r, "acc_x", {0, .5, 1, 1.5, 2, 2.4375, 3, 3.875, 5, 6.5, 8}) &&
               starts_with(r, "gyro_y", {4, 2, 0, NAN, NAN, NAN, 1, 1.5, 2, 2.5, 3}) &&
               starts_with(r, "mag_z", {NAN, NAN, NAN, NAN, 7, NAN, NAN, NAN, NAN, NAN, NAN}),
           "gyro/mag copied on samples, interpolated per channel between them");
  }
  // Shared timestamps: the first of them is taken, and nodes sharing a time are not cubic.
  {
    const CwaDataResult r =
        stream(Case{{at(0, 0), at(1, 1, 1.0f), at(1, 2, 2.0f), at(2, 4), at(3, 9)}, {}, {}, 2}, done, false);
    expect(r.rows() == 7 && starts_with(r, "acc_x", {0, .5, 1, 3, 4, 6.5, 9}) &&
               starts_with(r, "gyro_x", {NAN, NAN, 1, NAN, NAN, NAN, NAN}),
           "shared timestamps");
  }
  // A bracket narrower than 1e-12 s gives its left sample.
  {
    const CwaDataResult r =
        stream(Case{{at(0, 0), at(0.5 - 4e-13, 1), at(0.5 + 4e-13, 3), at(1, 5)}, {}, {}, 2}, done, false);
    expect(r.rows() == 3 && starts_with(r, "acc_x", {0, 1, 5}), "narrow bracket");
  }
  // The grid point at exactly the end bound is not emitted.
  {
    Case k{{}, {}, 100.0, 1};
    for (int i = 0; i <= 120; ++i) k.xs.push_back(at(90 + i / 10.0, 1));
    const CwaDataResult r = stream(k, done, true);
    std::vector<double> us;
    for (int i = 90; i < 100; ++i) us.push_back(i * 1e6);
    expect(r.rows() == 10 && starts_with(r, "us", us) && done, "end bound on a grid point");
  }
  // 1.2345679 s x 1e6 = 1234567.9000000001: truncated, not rounded.
  expect(starts_with(stream(Case{{at(1, 0), at(2, 1)}, 1.2345679, {}, 1}, done, false), "us", {1234567}),
         "timestamp truncation");
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t seed = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20240611;
  std::mt19937_64 rng(seed);
  known_answers();
  std::uint64_t rows = 0;
  for (int i = 0; i < 3000 && g_failed == 0; ++i) {
    const bool in_order = rng() % 2 == 0;
    const Case k = random_case(rng, in_order);
    bool done = false;
    const CwaDataResult got = stream(k, done, in_order, &rng);
    compare("stream " + std::to_string(i), k, got, done, oracle(k.xs, k.start, k.end, k.hz));
    rows += got.rows();
  }
  std::printf("%s: seed %llu, %llu rows compared, %d failures\n", g_failed ? "FAILED" : "ok",
              static_cast<unsigned long long>(seed), static_cast<unsigned long long>(rows), g_failed);
  return g_failed ? 1 : 0;
}
