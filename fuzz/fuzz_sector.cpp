// Fuzz target: one 512-byte sector through classification, decoding and timestamps, with
// the previous block's end taken from the input's last 8 bytes. Checks what was decoded,
// and that the code of every instruction set the processor has gives the bits of the
// one-value-at-a-time formulas below.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "package/decode/block.hpp"
#include "packet/file.hpp"
#include "packet/le.hpp"
#include "packet/packet.hpp"
#include "packet/time.hpp"

using namespace tiltgram;

namespace {

constexpr IsaLevel kLevels[] = {IsaLevel::kBaseline, IsaLevel::kAvx2, IsaLevel::kAvx512};

// Sample i of one axis (0-2 acceleration, 3-5 gyroscope, 6-8 magnetometer) as the format
// defines it, one value at a time.
float reference_value(const CwaDataBlock& b, std::size_t i, int axis) {
  const unsigned axes = b.num_axes_bps >> 4;
  const int a = b.light >> 13;
  const float acc_divisor = std::ldexp(1.0f, 8 + a);
  const std::uint8_t* p = b.raw_samples;
  if (axes == 3 && (b.num_axes_bps & 0x0F) == 0) {
    const std::uint32_t w = le32(p + 4 * i);
    const int e = static_cast<int>(w >> 30);
    int v = static_cast<int>((w >> (10 * axis)) & 0x3FF);
    if (v >= 512) v -= 1024;
    return static_cast<float>(v * (1 << e)) / acc_divisor;
  }
  const unsigned bps = axes == 3 ? 6 : axes == 6 ? 12 : 18;
  const int g = (b.light >> 10) & 7;
  const float range = static_cast<float>(g == 0 ? 2000 : 8000 >> g);
  if (axes == 3) return static_cast<float>(le16s(p + bps * i + 2 * axis)) / acc_divisor;
  // Gyroscope first in 6- and 9-axis samples.
  const int slot = axis < 3 ? axis + 3 : axis < 6 ? axis - 3 : axis;
  const auto v = static_cast<float>(le16s(p + bps * i + 2 * slot));
  if (axis < 3) return v / acc_divisor;
  if (axis < 6) return axes == 6 ? v / (32768.0f / range) : v * (range / 32768.0f);
  return v / 32768.0f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t sector[kSectorSize] = {};
  std::memcpy(sector, data, size < kSectorSize ? size : kSectorSize);
  std::optional<double> prev_end;
  if (size >= kSectorSize + 8) {
    double p;
    std::memcpy(&p, data + kSectorSize, sizeof p);
    prev_end = p;
  }

  auto meta = packet_meta(sector);
  // Decoding runs on every sector that says "AX", also those classification rejects, so
  // the decoder's own checks are exercised.
  auto block = CwaDataBlock::from_buffer(sector);
  if (!block.ok()) return 0;
  DecodedSamples samples;
  auto st = parse_samples(block.value(), /*include_magnetometer=*/true, samples);
  if (!st.ok()) return 0;
  if (samples.count > kMaxSamplesPerPacket) std::abort();
  for (std::size_t i = 0; i < samples.count; ++i)
    for (int a = 0; a < 3; ++a)
      if (!std::isfinite(samples.acc[a][i])) std::abort();

  for (IsaLevel isa : kLevels) {
    if (!isa_available(isa)) continue;
    DecodedSamples again;
    if (!parse_samples(block.value(), true, again).ok()) std::abort();
    float(*columns[3])[kMaxSamplesPerPacket] = {again.acc, again.gyro, again.mag};
    decode_samples(block.value(), sample_format(block.value(), true).value(),
                   {{again.acc[0], again.acc[1], again.acc[2]},
                    {again.gyro[0], again.gyro[1], again.gyro[2]},
                    {again.mag[0], again.mag[1], again.mag[2]}},
                   isa);
    const int sensors = again.has_mag ? 3 : again.has_gyro ? 2 : 1;
    for (std::size_t i = 0; i < samples.count; ++i)
      for (int axis = 0; axis < 3 * sensors; ++axis)
        if (std::bit_cast<std::uint32_t>(columns[axis / 3][axis % 3][i]) !=
            std::bit_cast<std::uint32_t>(reference_value(block.value(), i, axis)))
          std::abort();
  }

  if (!meta.ok() || !meta.value()) return 0;
  if (meta.value()->sample_count != samples.count) std::abort();
  std::int64_t times[kMaxSamplesPerPacket];
  auto end = calculate_sample_timestamps_with_prev_end(block.value(), samples.count, prev_end, times);
  if (!end.ok()) std::abort();  // a classified packet always has a valid timestamp
  const auto [ns, ne] = meta.value()->natural_bounds();
  if (end.value() != ne) std::abort();
  // Every instruction set's times against t = s + (d * i) / n, * 1e6, truncated.
  const double s = continuity_start(ns, ne, prev_end);
  for (IsaLevel isa : kLevels) {
    if (!isa_available(isa)) continue;
    std::int64_t again[kMaxSamplesPerPacket];
    if (!calculate_sample_timestamps_with_prev_end(block.value(), samples.count, prev_end, again, isa).ok())
      std::abort();
    for (std::size_t i = 0; i < samples.count; ++i) {
      const double t = s + ((ne - s) * static_cast<double>(i)) / static_cast<double>(samples.count);
      if (again[i] != saturating_us(t * 1000000.0)) std::abort();
    }
  }
  // Without a previous end the samples run forward from the natural start.
  if (!prev_end)
    for (std::size_t i = 1; i < samples.count; ++i)
      if (times[i] < times[i - 1]) std::abort();
  return 0;
}
