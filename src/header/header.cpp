#include "header/header.hpp"

#include <cassert>
#include <cstdlib>

#include "errors/messages.hpp"
#include "packet/le.hpp"
#include "packet/source.hpp"

namespace tiltgram {

double rate_hz_from_code(std::uint8_t code) noexcept {
  return 3200.0 / static_cast<double>(1u << (15 - (code & 0x0F)));
}

bool is_valid_utf8_pair(std::uint8_t a, std::uint8_t b) noexcept {
  if (a < 0x80 && b < 0x80) return true;
  return a >= 0xC2 && a <= 0xDF && b >= 0x80 && b <= 0xBF;
}

std::string utf8_lossy(std::span<const std::uint8_t> s) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  const std::size_t n = s.size();
  auto cont = [&](std::size_t k, std::uint8_t lo, std::uint8_t hi) {
    return k < n && s[k] >= lo && s[k] <= hi;
  };
  while (i < n) {
    const std::uint8_t b = s[i];
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    // Number of continuation bytes and the allowed range of the first of them.
    std::size_t need;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t k = i + 1;
    bool ok = cont(k, lo, hi);
    if (ok) {
      ++k;
      for (std::size_t j = 1; j < need; ++j, ++k) {
        if (!cont(k, 0x80, 0xBF)) {
          ok = false;
          break;
        }
      }
    }
    if (ok) {
      out.append(reinterpret_cast<const char*>(&s[i]), k - i);
    } else {
      out += kReplacement;  // the maximal invalid subpart s[i..k)
    }
    i = k;
  }
  return out;
}

std::string parse_annotation(std::span<const std::uint8_t> block) {
  if (block.size() < 512) internal_failure("annotation of a metadata block under 512 bytes");
  std::size_t end = 512;
  while (end > 64 && (block[end - 1] == 0x00 || block[end - 1] == 0x20 || block[end - 1] == 0xFF))
    --end;
  return utf8_lossy(block.subspan(64, end - 64));
}

Result<CwaHeader> parse_cwa_header(std::span<const std::uint8_t> b) {
  if (!is_valid_utf8_pair(b[0], b[1])) return CwaError::format(msg::kInvalidPacketHeader);
  if (b[0] != 'M' || b[1] != 'D') return CwaError::format(msg::kNotMetadataBlock);
  CwaHeader h;
  h.packet_header = "MD";
  h.packet_length = le16(&b[2]);
  h.hardware_type = b[4] == 0x64 ? "AX6" : "AX3";
  const std::uint16_t upper = le16(&b[11]);
  h.upper_device_id = upper;
  h.device_id = static_cast<std::uint32_t>(le16(&b[5])) |
                (upper == 0xFFFF ? 0u : static_cast<std::uint32_t>(upper) << 16);
  h.session_id = le32(&b[7]);
  h.logging_start_time = cwa_timestamp(le32(&b[13]));
  h.logging_end_time = cwa_timestamp(le32(&b[17]));
  h.flash_led = b[26];
  h.sensor_config = b[35];
  const std::uint8_t code = b[36];
  h.sample_rate_hz = rate_hz_from_code(code);
  h.accel_range = static_cast<std::uint8_t>(16 >> (code >> 6));
  h.last_change_time = cwa_timestamp(le32(&b[37]));
  h.firmware_revision = b[41];
  h.annotation = parse_annotation(b);
  const bool ax6 = b[4] == 0x64;
  const std::uint8_t cfg = h.sensor_config;
  if (ax6 && cfg >= 1 && cfg <= 254) {
    switch (cfg & 0x0F) {
      case 2: h.gyro_range = 2000; break;
      case 3: h.gyro_range = 1000; break;
      case 4: h.gyro_range = 500; break;
      case 5: h.gyro_range = 250; break;
      case 6: h.gyro_range = 125; break;
      default: break;
    }
  }
  h.magnetometer_enabled = ax6 && cfg >= 16 && cfg <= 254;
  return h;
}

Result<CwaHeader> read_cwa_header(std::string_view path) {
  // Only the metadata block is read: the data scan that follows checks gzip data whole.
  TG_ASSIGN_OR_RETURN(Source source, Source::open(path));
  std::uint8_t block[kHeaderSize] = {};
  TG_TRY(source.read_exact(block, sizeof block));
  return parse_cwa_header(block);
}

}  // namespace tiltgram
