// Data packets: classification of a 512-byte sector and the time span a packet covers.
//
// Packet layout (little-endian):
//   0 "AX"            2 packet length     4 fractional/device   6 session id
//   10 sequence id    14 packed timestamp (time of sample `timestampOffset`)
//   18 light word: bits 15-13 accelerometer scale exponent, 12-10 gyroscope scale code,
//                  9-0 raw light
//   20 temperature (bits 9-0)  22 events  23 battery  24 rate code (0: old format)
//   25 sample format: axes in the high nibble, packing in the low nibble
//   26 timestampOffset (signed)  28 sample count  30..509 samples  510 checksum
#pragma once

#include <cstdint>
#include <optional>
#include <utility>

#include "errors/error.hpp"

namespace tiltgram {

inline constexpr std::size_t kSampleAreaBytes = 480;
inline constexpr std::size_t kMaxSamplesPerPacket = 120;

// Bytes per sample of a supported (axes, packing) pair, or 0 when unsupported:
// (3,0) 4, (3,2) 6, (6,2) 12, (9,2) 18.
constexpr unsigned bytes_per_sample(unsigned axes, unsigned packing) noexcept {
  if (packing == 0) return axes == 3 ? 4 : 0;
  if (packing == 2) return axes == 3 ? 6 : axes == 6 ? 12 : axes == 9 ? 18 : 0;
  return 0;
}

// What is known of a data packet without decoding its samples.
struct PacketMeta {
  std::uint64_t sample_count = 0;
  std::uint32_t timestamp = 0;  // packed, valid
  std::int16_t timestamp_offset = 0;
  std::uint8_t sample_rate_code = 0;  // never 0

  // The half-open span [start, end) in device-clock seconds since 1970, with the
  // single-precision steps of the format:
  //   f = 3200 / 2^(15 - (code & 15)) (float), q = -offset / f (float),
  //   start = (T + floor(q)) + (q - floor(q)), end = start + (float)count / f.
  std::pair<double, double> natural_bounds() const noexcept;
};

// Classifies a sector: nothing for a sector that is not a data packet ("AX" missing or no
// samples), the packet's metadata, or the error of an unusable packet.
Result<std::optional<PacketMeta>> packet_meta(const std::uint8_t* sector);

// The continuity rule joining consecutive blocks: a block starts at the previous block's
// natural end p when the gap to it is under a second (overlaps included), provided p lies
// before the block's own natural end; a clock set back past the block keeps the block's
// own start, so its samples never run backwards.
inline double continuity_start(double natural_start, double natural_end,
                               std::optional<double> prev_end) noexcept {
  if (prev_end && natural_start - *prev_end < 1.0 && *prev_end < natural_end) return *prev_end;
  return natural_start;
}

}  // namespace tiltgram
