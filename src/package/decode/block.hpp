// Decoding of one data packet: samples in physical units, block readings, sample times.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/error.hpp"
#include "package/columns/result.hpp"
#include "package/decode/isa.hpp"
#include "packet/packet.hpp"
#include "packet/time.hpp"

namespace tiltgram {

// One parsed data sector: a view over the sector's bytes, valid while the sector is.
struct CwaDataBlock {
  std::string_view packet_header;  // "AX"
  std::uint16_t packet_length = 0;
  std::uint16_t device_fractional = 0;
  std::uint32_t session_id = 0;
  std::uint32_t sequence_id = 0;
  std::uint32_t timestamp = 0;  // packed
  std::uint16_t light = 0;      // scale exponent A (15-13), gyro scale code G (12-10), raw light
  std::uint16_t temperature = 0;
  std::uint8_t events = 0;
  std::uint8_t battery = 0;
  std::uint8_t sample_rate_code = 0;
  std::uint8_t num_axes_bps = 0;
  std::int16_t timestamp_offset = 0;
  std::uint16_t sample_count = 0;
  const std::uint8_t* raw_samples = nullptr;  // the 480-byte sample area
  std::uint16_t checksum = 0;

  // Checks the "AX" header and takes the fields; nothing else is validated here.
  static Result<CwaDataBlock> from_buffer(const std::uint8_t* sector);
  // The fields of a header known to be "AX" (packet_meta found a data packet).
  static CwaDataBlock of(const PacketHeader& h) noexcept {
    CwaDataBlock b;
    b.packet_header = "AX";
    b.packet_length = h.length();
    b.device_fractional = h.device_fractional();
    b.session_id = h.session_id();
    b.sequence_id = h.sequence_id();
    b.timestamp = h.timestamp();
    b.light = h.light();
    b.temperature = h.temperature();
    b.events = h.events();
    b.battery = h.battery();
    b.sample_rate_code = h.rate_code();
    b.num_axes_bps = h.format();
    b.timestamp_offset = h.timestamp_offset();
    b.sample_count = h.sample_count();
    b.raw_samples = h.samples();
    b.checksum = h.checksum();
    return b;
  }
};

// A block's sample format, checked against its sample area.
struct SampleFormat {
  std::size_t count = 0;
  unsigned axes = 0, packing = 0;
  bool has_gyro = false;  // 6- and 9-axis packets
  bool has_mag = false;   // 9-axis packets decoded with the magnetometer
};

// Where decode_samples writes: an array per axis with room for the block's samples. The
// gyroscope arrays are used only when the format has them, the magnetometer's likewise.
struct SampleColumns {
  float* acc[3];
  float* gyro[3];
  float* mag[3];
};

// The decoded samples of one block, column by column (at most 120).
struct DecodedSamples {
  std::size_t count = 0;
  bool has_gyro = false;
  bool has_mag = false;
  alignas(64) float acc[3][kMaxSamplesPerPacket];
  alignas(64) float gyro[3][kMaxSamplesPerPacket];
  alignas(64) float mag[3][kMaxSamplesPerPacket];

  SampleData sample(std::size_t i) const noexcept;
};

// The format check and the size check of decoding. Errors: the unsupported-format message
// and the "Insufficient data for ..." messages.
Result<SampleFormat> sample_format(const CwaDataBlock& block, bool include_magnetometer);

// Decodes the sample area of a block of `format` into `out` (no checks left to make), with
// the code for `isa` (an available one).
void decode_samples(const CwaDataBlock& block, const SampleFormat& format, const SampleColumns& out,
                    IsaLevel isa = best_isa()) noexcept;

// Decodes the sample area. Accelerometer: count / 2^(8+A) g. Gyroscope: 6-axis value /
// (32768 / range) (float divisor), 9-axis value * (range / 32768); range 8000 >> G, 2000 for
// G = 0. Magnetometer (9-axis, with include_magnetometer): value / 32768. Errors: the
// unsupported-format message and the "Insufficient data for ..." messages.
Status parse_samples(const CwaDataBlock& block, bool include_magnetometer, DecodedSamples& out);

// Block readings, single precision.
float block_light_lux(std::uint16_t light) noexcept;          // 10^((raw & 0x3FF) / 341)
float block_temperature_c(std::uint16_t temperature) noexcept;  // raw*75/256 - 50
float block_battery_v(std::uint8_t battery) noexcept;          // (raw+512)*6/1024

struct BlockReadings {
  float temperature, light, battery;
};
inline BlockReadings block_readings(const CwaDataBlock& b) noexcept {
  return {block_temperature_c(b.temperature), block_light_lux(b.light), block_battery_v(b.battery)};
}

// Gives the n decoded samples of `block` their times in microseconds (out[0..n)) and
// returns the block's natural end, the next block's previous end. With n = 0 nothing is
// written and the previous end (or 0.0) is returned. The first sample lies at the natural
// start, or at the previous end by the continuity rule; then t_i = s + ((end - s) * i) / n,
// times 1e6, truncated with saturation.
// `isa` picks the code (an available one): every choice gives the same times.
Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, std::size_t n,
                                                         std::optional<double> prev_end,
                                                         std::int64_t* out,
                                                         IsaLevel isa = best_isa());

// The same times one at a time, for a reader that needs only some of them (where a block
// crosses a boundary). `start` is the first sample's time in seconds, `end` the block's
// natural end; at(i) is what the stamping above writes for sample i < n. The times never
// decrease (start <= end).
struct BlockTimes {
  double start = 0.0, end = 0.0;
  std::size_t n = 0;

  std::int64_t at(std::size_t i) const noexcept {
    return saturating_us((start + ((end - start) * static_cast<double>(i)) / static_cast<double>(n)) *
                         1000000.0);
  }
};

// The times of a block of n > 0 samples: the errors of calculate_sample_timestamps_with_prev_end.
Result<BlockTimes> block_times(const CwaDataBlock& block, std::size_t n,
                               std::optional<double> prev_end);

}  // namespace tiltgram
