// The 1024-byte metadata block at the start of a recording.
//
// Layout (little-endian), bytes not listed are not read:
//   0  "MD"             2  packet length      4  hardware type (0x64 = AX6)
//   5  device id low    7  session id         11 device id high (0xFFFF: none)
//   13 logging start    17 logging end        26 flash LED
//   35 sensor config    36 rate code          37 last change    41 firmware revision
//   64..511 annotation text
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "errors/error.hpp"
#include "packet/time.hpp"

namespace tiltgram {

struct CwaHeader {
  std::string packet_header;  // always "MD"
  std::uint16_t packet_length = 0;
  std::string hardware_type;  // "AX6" or "AX3"
  std::uint32_t device_id = 0;
  std::uint32_t session_id = 0;
  std::uint16_t upper_device_id = 0;
  std::optional<NaiveDateTime> logging_start_time;
  std::optional<NaiveDateTime> logging_end_time;
  std::optional<NaiveDateTime> last_change_time;
  std::uint8_t flash_led = 0;
  std::uint8_t sensor_config = 0;
  double sample_rate_hz = 0.0;  // 3200 / 2^(15 - (code & 0x0F))
  std::uint8_t accel_range = 0;  // 16 >> (code >> 6), in g
  std::uint8_t firmware_revision = 0;
  std::string annotation;
  std::optional<std::uint16_t> gyro_range;  // degrees per second, AX6 only
  bool magnetometer_enabled = false;
};

// Sampling rate of a rate code: 3200 / 2^(15 - (code & 0x0F)) Hz, exact.
double rate_hz_from_code(std::uint8_t code) noexcept;

// Reads and parses the metadata block of the file at `path`.
Result<CwaHeader> read_cwa_header(std::string_view path);
// Parses a metadata block already in memory (at least 1024 bytes).
Result<CwaHeader> parse_cwa_header(std::span<const std::uint8_t> block);

// The annotation: bytes 64..511, trailing 0x00 / 0x20 / 0xFF removed, decoded as UTF-8
// with every invalid sequence replaced by U+FFFD. `block` must hold at least 512 bytes.
std::string parse_annotation(std::span<const std::uint8_t> block);

// UTF-8 decoding with each maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::span<const std::uint8_t> bytes);
// Whether two bytes form valid UTF-8 text.
bool is_valid_utf8_pair(std::uint8_t a, std::uint8_t b) noexcept;

}  // namespace tiltgram
