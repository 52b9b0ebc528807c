#include "packet/packet.hpp"

#include <cmath>
#include <cstdlib>
#include <string>

#include "errors/messages.hpp"
#include "packet/time.hpp"

namespace tiltgram {

Result<std::optional<PacketMeta>> packet_meta(const std::uint8_t* sector) {
  const PacketHeader h(sector);
  if (!h.is_ax()) return std::optional<PacketMeta>();
  const std::uint16_t count = h.sample_count();
  if (count == 0) return std::optional<PacketMeta>();
  const std::uint8_t code = h.rate_code();
  if (code == 0) return CwaError::format(msg::kOldFormat);
  const unsigned axes = h.axes(), packing = h.packing();
  const unsigned bps = bytes_per_sample(axes, packing);
  if (bps == 0)
    return CwaError::format(msg::unsupported_format(axes, packing));
  if (static_cast<std::size_t>(count) * bps > kSampleAreaBytes)
    return CwaError::format(msg::kCountExceedsCapacity);
  const std::uint32_t ts = h.timestamp();
  if (!cwa_timestamp(ts)) return CwaError::format(msg::kInvalidTimestamp);
  PacketMeta m;
  m.sample_count = count;
  m.timestamp = ts;
  m.timestamp_offset = h.timestamp_offset();
  m.sample_rate_code = code;
  return std::optional<PacketMeta>(m);
}

std::pair<double, double> PacketMeta::natural_bounds() const noexcept {
  const auto t = cwa_timestamp(timestamp);
  if (!t) internal_failure("natural bounds of a packet with an invalid timestamp");
  const double whole = static_cast<double>(t->epoch_seconds());
  const float f = 3200.0f / static_cast<float>(1u << (15 - (sample_rate_code & 0x0F)));
  const float q = -static_cast<float>(timestamp_offset) / f;
  const float fq = std::floor(q);
  const float frac = q - fq;
  const double start = (whole + static_cast<double>(fq)) + static_cast<double>(frac);
  const float d = static_cast<float>(sample_count) / f;
  const double end = start + static_cast<double>(d);
  return {start, end};
}

}  // namespace tiltgram
