// Fuzz target: one 512-byte sector through classification, decoding and timestamps, with
// the previous block's end taken from the input's last 8 bytes. Checks what was decoded.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "package/block.hpp"
#include "packet/file.hpp"
#include "packet/packet.hpp"

using namespace tiltgram;

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

  if (!meta.ok() || !meta.value()) return 0;
  if (meta.value()->sample_count != samples.count) std::abort();
  std::int64_t times[kMaxSamplesPerPacket];
  auto end = calculate_sample_timestamps_with_prev_end(block.value(), samples.count, prev_end, times);
  if (!end.ok()) std::abort();  // a classified packet always has a valid timestamp
  const auto [ns, ne] = meta.value()->natural_bounds();
  if (end.value() != ne) std::abort();
  // Without a previous end the samples run forward from the natural start.
  if (!prev_end)
    for (std::size_t i = 1; i < samples.count; ++i)
      if (times[i] < times[i - 1]) std::abort();
  return 0;
}
