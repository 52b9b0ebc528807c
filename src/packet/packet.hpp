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
#include "packet/le.hpp"

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

// The header of a packet, each field read from the sector's bytes where the layout above
// puts it: the one place that knows the offsets. A view, valid while the sector is.
class PacketHeader {
 public:
  explicit PacketHeader(const std::uint8_t* sector) noexcept : s_(sector) {}

  std::uint8_t tag(std::size_t i) const noexcept { return s_[i]; }  // i < 2: "AX"
  bool is_ax() const noexcept { return s_[0] == 'A' && s_[1] == 'X'; }
  std::uint16_t length() const noexcept { return le16(s_ + 2); }
  std::uint16_t device_fractional() const noexcept { return le16(s_ + 4); }
  std::uint32_t session_id() const noexcept { return le32(s_ + 6); }
  std::uint32_t sequence_id() const noexcept { return le32(s_ + 10); }
  std::uint32_t timestamp() const noexcept { return le32(s_ + 14); }  // packed
  std::uint16_t light() const noexcept { return le16(s_ + 18); }
  std::uint16_t temperature() const noexcept { return le16(s_ + 20); }
  std::uint8_t events() const noexcept { return s_[22]; }
  std::uint8_t battery() const noexcept { return s_[23]; }
  std::uint8_t rate_code() const noexcept { return s_[24]; }
  std::uint8_t format() const noexcept { return s_[25]; }
  unsigned axes() const noexcept { return s_[25] >> 4; }
  unsigned packing() const noexcept { return s_[25] & 0x0F; }
  std::int16_t timestamp_offset() const noexcept { return le16s(s_ + 26); }
  std::uint16_t sample_count() const noexcept { return le16(s_ + 28); }
  const std::uint8_t* samples() const noexcept { return s_ + 30; }  // kSampleAreaBytes
  std::uint16_t checksum() const noexcept { return le16(s_ + 510); }

 private:
  const std::uint8_t* s_;
};

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
