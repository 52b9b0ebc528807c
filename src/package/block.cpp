#include "package/block.hpp"

#include <array>
#include <cmath>
#include <string>

#include "errors/messages.hpp"
#include "header/header.hpp"
#include "header/time.hpp"
#include "packet/le.hpp"

namespace tiltgram {

Result<CwaDataBlock> CwaDataBlock::from_buffer(const std::uint8_t* s) {
  if (!is_valid_utf8_pair(s[0], s[1])) return CwaError::message(msg::kInvalidPacketHeader);
  if (s[0] != 'A' || s[1] != 'X') return CwaError::message(msg::kInvalidDataHeader);
  CwaDataBlock b;
  b.packet_header = "AX";
  b.packet_length = le16(s + 2);
  b.device_fractional = le16(s + 4);
  b.session_id = le32(s + 6);
  b.sequence_id = le32(s + 10);
  b.timestamp = le32(s + 14);
  b.light = le16(s + 18);
  b.temperature = le16(s + 20);
  b.events = s[22];
  b.battery = s[23];
  b.sample_rate_code = s[24];
  b.num_axes_bps = s[25];
  b.timestamp_offset = le16s(s + 26);
  b.sample_count = le16(s + 28);
  b.raw_samples = s + 30;
  b.checksum = le16(s + 510);
  return b;
}

SampleData DecodedSamples::sample(std::size_t i) const noexcept {
  SampleData s;
  s.acc_x = acc[0][i];
  s.acc_y = acc[1][i];
  s.acc_z = acc[2][i];
  if (has_gyro) {
    s.gyro_x = gyro[0][i];
    s.gyro_y = gyro[1][i];
    s.gyro_z = gyro[2][i];
  }
  if (has_mag) {
    s.mag_x = mag[0][i];
    s.mag_y = mag[1][i];
    s.mag_z = mag[2][i];
  }
  return s;
}

namespace {

// 2^-(8+A), exact; multiplying by it is bit-identical to dividing by 2^(8+A).
float accel_scale(std::uint16_t light) noexcept {
  return std::ldexp(1.0f, -(8 + static_cast<int>(light >> 13)));
}

int gyro_range(std::uint16_t light) noexcept {
  const int g = (light >> 10) & 0x07;
  return g == 0 ? 2000 : 8000 >> g;
}

}  // namespace

Status parse_samples(const CwaDataBlock& b, bool include_magnetometer, DecodedSamples& out) {
  const unsigned axes = b.num_axes_bps >> 4, packing = b.num_axes_bps & 0x0F;
  const unsigned bps = bytes_per_sample(axes, packing);
  if (bps == 0)
    return CwaError::message(msg::unsupported_format(axes, packing));
  const std::size_t n = b.sample_count;
  if (n * bps > kSampleAreaBytes) {
    const char* what = axes == 3 ? (packing == 0 ? "packed 3-axis" : "unpacked 3-axis")
                       : axes == 6 ? "unpacked 6-axis"
                                   : "unpacked 9-axis";
    return CwaError::message(msg::insufficient_data(what));
  }
  out.count = n;
  out.has_gyro = axes >= 6;
  out.has_mag = axes == 9 && include_magnetometer;
  if (n == 0) return {};

  const std::uint8_t* p = b.raw_samples;
  const float acc_scale = accel_scale(b.light);
  float* ax = out.acc[0];
  float* ay = out.acc[1];
  float* az = out.acc[2];
  if (axes == 3 && packing == 0) {
    // x bits 0-9, y 10-19, z 20-29 (10-bit two's complement), shared exponent e bits 30-31:
    // each value is v * 2^e, the 10-bit field placed at the top of an int16 and shifted
    // right arithmetically by 6 - e.
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t w = le32(p + 4 * i);
      const int shift = 6 - static_cast<int>(w >> 30);
      const auto field = [&](unsigned pos) {
        const auto top = static_cast<std::int16_t>(static_cast<std::uint16_t>(((w >> pos) & 0x3FF) << 6));
        return static_cast<float>(top >> shift);
      };
      ax[i] = field(0) * acc_scale;
      ay[i] = field(10) * acc_scale;
      az[i] = field(20) * acc_scale;
    }
    return {};
  }
  if (axes == 3) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* q = p + 6 * i;
      ax[i] = static_cast<float>(le16s(q)) * acc_scale;
      ay[i] = static_cast<float>(le16s(q + 2)) * acc_scale;
      az[i] = static_cast<float>(le16s(q + 4)) * acc_scale;
    }
    return {};
  }
  const auto range = static_cast<float>(gyro_range(b.light));
  float* gx = out.gyro[0];
  float* gy = out.gyro[1];
  float* gz = out.gyro[2];
  if (axes == 6) {
    const float divisor = 32768.0f / range;  // 16.384000778198242 for 2000 dps
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* q = p + 12 * i;
      gx[i] = static_cast<float>(le16s(q)) / divisor;
      gy[i] = static_cast<float>(le16s(q + 2)) / divisor;
      gz[i] = static_cast<float>(le16s(q + 4)) / divisor;
      ax[i] = static_cast<float>(le16s(q + 6)) * acc_scale;
      ay[i] = static_cast<float>(le16s(q + 8)) * acc_scale;
      az[i] = static_cast<float>(le16s(q + 10)) * acc_scale;
    }
    return {};
  }
  const float factor = range / 32768.0f;  // exact: 0.06103515625 for 2000 dps
  constexpr float kMagScale = 1.0f / 32768.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* q = p + 18 * i;
    gx[i] = static_cast<float>(le16s(q)) * factor;
    gy[i] = static_cast<float>(le16s(q + 2)) * factor;
    gz[i] = static_cast<float>(le16s(q + 4)) * factor;
    ax[i] = static_cast<float>(le16s(q + 6)) * acc_scale;
    ay[i] = static_cast<float>(le16s(q + 8)) * acc_scale;
    az[i] = static_cast<float>(le16s(q + 10)) * acc_scale;
  }
  if (out.has_mag) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* q = p + 18 * i;
      out.mag[0][i] = static_cast<float>(le16s(q + 12)) * kMagScale;
      out.mag[1][i] = static_cast<float>(le16s(q + 14)) * kMagScale;
      out.mag[2][i] = static_cast<float>(le16s(q + 16)) * kMagScale;
    }
  }
  return {};
}

namespace {

// powf(10, raw / 341) for every raw light value, from the C library at run time: a
// compile-time fold of the same expression can differ in the last bit.
struct LightTable {
  std::array<float, 1024> lux;
  LightTable() {
    float (*volatile pow_fn)(float, float) = ::powf;
    for (unsigned raw = 0; raw < 1024; ++raw) lux[raw] = pow_fn(10.0f, static_cast<float>(raw) / 341.0f);
  }
};

}  // namespace

float block_light_lux(std::uint16_t light) noexcept {
  static const LightTable table;
  return table.lux[light & 0x3FF];
}

float block_temperature_c(std::uint16_t temperature) noexcept {
  return (static_cast<float>(temperature & 0x3FF) * 75.0f) * (1.0f / 256.0f) + (-50.0f);
}

float block_battery_v(std::uint8_t battery) noexcept {
  return (static_cast<float>(battery + 512) * 6.0f) * (1.0f / 1024.0f);
}

Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, std::size_t n,
                                                         std::optional<double> prev_end,
                                                         std::int64_t* out) {
  if (n == 0) return prev_end.value_or(0.0);
  if (!cwa_timestamp(block.timestamp)) return CwaError::message(msg::kInvalidTimestamp);
  PacketMeta meta;
  meta.sample_count = n;
  meta.timestamp = block.timestamp;
  meta.timestamp_offset = block.timestamp_offset;
  meta.sample_rate_code = block.sample_rate_code;
  const auto [start, end] = meta.natural_bounds();
  const double s = continuity_start(start, end, prev_end);
  const double d = end - s;
  const auto dn = static_cast<double>(n);
  // Every t lies between s and end (to within rounding), so when both are far from the
  // int64 limits the saturating conversion reduces to a plain truncation.
  constexpr double kSafe = 9.0e12;  // seconds
  if (std::fabs(s) < kSafe && std::fabs(end) < kSafe) {
    for (std::size_t i = 0; i < n; ++i) {
      const double t = s + (d * static_cast<double>(i)) / dn;
      out[i] = static_cast<std::int64_t>(t * 1000000.0);
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) {
      const double t = s + (d * static_cast<double>(i)) / dn;
      out[i] = saturating_us(t * 1000000.0);
    }
  }
  return end;
}

}  // namespace tiltgram
