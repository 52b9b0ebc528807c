// Differential fuzz target for the streaming resampler: the same stream of samples is fed
// as the resampled read feeds it (whole blocks through push_block, one emit per block,
// rows several at a time: with the processor's best vector code, with AVX2 and with SSE2) and
// sample by sample through push_sample with rows computed one at a time. The outputs must
// agree to the bit; any difference aborts.
//
// Input: byte 0 holds flags (bit 0: range start, bit 1: range end, bits 2-4: temperature,
// light and battery columns); bytes 1-2 the rate (0.5 to 10000 Hz, logarithmic); bytes
// 3-10 the range start and end as int32 milliseconds from the first sample; then records
// of 16 bytes, one per sample: int32 microseconds from the previous sample (negative goes
// back), three int16 accelerations (/ 256 g; -32768 stands for NaN), a block byte (bit 0
// starts a new block, bits 1-2 its gyroscope / magnetometer presence), six int8 sensor
// values, and one byte for the new block's readings.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "package/resample/resample.hpp"

namespace {

using tiltgram::IsaLevel;
using tiltgram::CwaDataResult;
using tiltgram::StreamingResampler;

struct Sample {
  std::int64_t us;
  float acc[3];
  float gyro[3], mag[3];
};

struct Block {
  bool has_gyro = false, has_mag = false;
  float temperature = 0, light = 0, battery = 0;
  std::vector<Sample> samples;
};

template <typename T>
T load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void expect_same(const CwaDataResult& a, const CwaDataResult& b) {
  if (a.rows() != b.rows()) std::abort();
  for (std::size_t i = 0; i < a.rows(); ++i)
    if (a.timestamps[i] != b.timestamps[i]) std::abort();
  const tiltgram::Column<float>* acc_a[3] = {&a.acc_x, &a.acc_y, &a.acc_z};
  const tiltgram::Column<float>* acc_b[3] = {&b.acc_x, &b.acc_y, &b.acc_z};
  for (std::size_t k = 0; k < 3; ++k)
    for (std::size_t i = 0; i < a.rows(); ++i)
      if (!same_bits((*acc_a[k])[i], (*acc_b[k])[i])) std::abort();
  for (std::size_t k = 0; k < tiltgram::kChannelCount; ++k) {
    const auto& ca = a.optional[k];
    const auto& cb = b.optional[k];
    if (ca.present != cb.present) std::abort();
    if (!ca.present) continue;
    if (ca.values.size() != a.rows() || cb.values.size() != b.rows()) std::abort();
    for (std::size_t i = 0; i < a.rows(); ++i)
      if (!same_bits(ca.values[i], cb.values[i])) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kHead = 11, kRecord = 16;
  if (size < kHead) return 0;
  const std::uint8_t flags = data[0];
  const double hz = 0.5 * std::exp2(load<std::uint16_t>(data + 1) / 65535.0 * std::log2(20000.0));
  const std::int32_t start_ms = load<std::int32_t>(data + 3);
  const std::int32_t end_ms = load<std::int32_t>(data + 7);

  std::vector<Block> blocks;
  std::int64_t us = 1'700'000'000'000'000;
  std::int64_t lo = us, hi = us;
  for (const std::uint8_t* p = data + kHead; p + kRecord <= data + size; p += kRecord) {
    us += load<std::int32_t>(p);
    lo = us < lo ? us : lo;
    hi = us > hi ? us : hi;
    const std::uint8_t kind = p[10];
    if (blocks.empty() || (kind & 1) != 0) {
      Block b;
      b.has_gyro = (kind & 2) != 0;
      b.has_mag = (kind & 4) != 0;
      b.temperature = static_cast<float>(p[15] & 31) * 0.75f;
      b.light = (p[15] & 32) != 0 ? NAN : static_cast<float>(p[15] >> 6) * 100.0f;
      b.battery = 4.0f;
      blocks.push_back(b);
    }
    Sample s;
    s.us = us;
    for (int a = 0; a < 3; ++a) {
      const std::int16_t v = load<std::int16_t>(p + 4 + 2 * a);
      s.acc[a] = v == INT16_MIN ? NAN : static_cast<float>(v) / 256.0f;
    }
    for (int a = 0; a < 3; ++a) {
      s.gyro[a] = static_cast<float>(static_cast<std::int8_t>(p[11 + a]));
      s.mag[a] = static_cast<float>(static_cast<std::int8_t>(p[12 + a])) / 8.0f;
    }
    blocks.back().samples.push_back(s);
  }
  // Keep the output small: a long span at a high rate is many rows, not more coverage.
  if (static_cast<double>(hi - lo) / 1e6 * hz > 1'000) return 0;

  const double first = blocks.empty() ? 0 : static_cast<double>(blocks[0].samples[0].us) / 1e6;
  std::optional<double> range_start, range_end;
  if (flags & 1) range_start = first + start_ms / 1000.0;
  if (flags & 2) range_end = first + end_ms / 1000.0;
  const bool temperature = flags & 4, light = flags & 8, battery = flags & 16;

  StreamingResampler bulk(range_start, range_end, hz, temperature, light, battery);
  StreamingResampler bulk_avx2(range_start, range_end, hz, temperature, light, battery);
  StreamingResampler bulk_sse2(range_start, range_end, hz, temperature, light, battery);
  StreamingResampler single(range_start, range_end, hz, temperature, light, battery);
  const bool avx2 = bulk_avx2.set_row_code(tiltgram::IsaLevel::kAvx2);
  const bool sse2 = bulk_sse2.set_row_code(tiltgram::IsaLevel::kBaseline);
  single.set_row_code(std::nullopt);
  for (const Block& b : blocks) {
    const std::size_t n = b.samples.size();
    std::vector<double> times(n);
    std::vector<float> acc[3], gyro[3], mag[3];
    for (int a = 0; a < 3; ++a) {
      acc[a].resize(n), gyro[a].resize(n), mag[a].resize(n);
      for (std::size_t i = 0; i < n; ++i) {
        acc[a][i] = b.samples[i].acc[a];
        gyro[a][i] = b.samples[i].gyro[a];
        mag[a][i] = b.samples[i].mag[a];
      }
    }
    for (std::size_t i = 0; i < n; ++i) times[i] = static_cast<double>(b.samples[i].us) / 1e6;
    const float* acc_p[3] = {acc[0].data(), acc[1].data(), acc[2].data()};
    const float* gyro_p[3] = {gyro[0].data(), gyro[1].data(), gyro[2].data()};
    const float* mag_p[3] = {mag[0].data(), mag[1].data(), mag[2].data()};
    for (StreamingResampler* r : {&bulk, &bulk_avx2, &bulk_sse2}) {
      if (r->done()) continue;
      r->push_block(times.data(), n, acc_p, b.has_gyro ? gyro_p : nullptr,
                    b.has_mag ? mag_p : nullptr, b.temperature, b.light, b.battery);
      r->emit_ready(false);
    }
    for (std::size_t i = 0; i < n && !single.done(); ++i) {
      tiltgram::TimedSample s;
      s.time_s = times[i];
      s.sample.acc_x = acc[0][i], s.sample.acc_y = acc[1][i], s.sample.acc_z = acc[2][i];
      if (b.has_gyro) s.sample.gyro_x = gyro[0][i], s.sample.gyro_y = gyro[1][i], s.sample.gyro_z = gyro[2][i];
      if (b.has_mag) s.sample.mag_x = mag[0][i], s.sample.mag_y = mag[1][i], s.sample.mag_z = mag[2][i];
      s.temperature = b.temperature, s.light = b.light, s.battery = b.battery;
      single.push_sample(s);
      single.emit_ready(false);
    }
  }
  bulk.emit_ready(true);
  bulk_avx2.emit_ready(true);
  bulk_sse2.emit_ready(true);
  single.emit_ready(true);
  if (bulk.done() != single.done() || bulk_avx2.done() != single.done() ||
      bulk_sse2.done() != single.done())
    std::abort();
  const CwaDataResult expected = single.take_output();
  expect_same(bulk.take_output(), expected);
  if (avx2) expect_same(bulk_avx2.take_output(), expected);
  if (sse2) expect_same(bulk_sse2.take_output(), expected);
  return 0;
}
