// Little-endian field access in sector buffers.
#pragma once

#include <cstdint>
#include <cstring>

namespace tiltgram {

inline std::uint16_t le16(const std::uint8_t* p) noexcept {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::int16_t le16s(const std::uint8_t* p) noexcept {
  return static_cast<std::int16_t>(le16(p));
}
inline std::uint32_t le32(const std::uint8_t* p) noexcept {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

}  // namespace tiltgram
