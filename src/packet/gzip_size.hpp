// The decompressed size that gzip data says it has, read against the data seen so far.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tiltgram {

// The decompressed size of gzip data of `compressed` bytes whose last member states
// `stated` (ISIZE: the length modulo 2^32, of that member only), when `produced` bytes have
// come from the first `consumed` compressed bytes. Of the sizes the stated length can
// stand for (stated + k * 2^32, at least `produced`, at most deflate's largest ratio of
// 1032:1), the one nearest the projection of the ratio seen so far, when that projection
// is based on enough data (16 MiB) and the size is within a quarter of it; the projection
// itself when none is (the stream has several members); without one, the smallest.
inline std::uint64_t expected_gzip_size(std::uint32_t stated, std::uint64_t compressed,
                                        std::uint64_t produced, std::uint64_t consumed) {
  constexpr std::uint64_t kWrap = std::uint64_t{1} << 32;
  constexpr std::uint64_t kLargestRatio = 1032;
  constexpr std::uint64_t kEnough = std::uint64_t{16} << 20;
  const std::uint64_t most = compressed > UINT64_MAX / kLargestRatio ? UINT64_MAX : compressed * kLargestRatio;
  std::uint64_t first = stated;
  const bool passed = first < produced;
  if (passed) first += (produced - first + kWrap - 1) / kWrap * kWrap;
  const bool stands = first <= most;
  if (produced == 0 || consumed == 0 || consumed > compressed) return stands ? first : produced;
  const double projected = static_cast<double>(produced) / static_cast<double>(consumed) *
                           static_cast<double>(compressed);
  if (consumed < kEnough) {
    if (!passed) return stands ? first : produced;
    // More has come than the stated length: the data has several members (the stated length
    // is the last one's) or is over 4 GiB. Too little has been seen to tell them apart by the
    // ratio, and a wrap would add 4 GiB to what may be a small recording: the ratio so far
    // is the better guess, and it is made again as the data goes on.
    return projected >= 1.8e19 ? UINT64_MAX
                               : std::max(produced, static_cast<std::uint64_t>(projected));
  }
  if (stands) {
    // The candidate nearest the projection.
    std::uint64_t best = first;
    if (projected > static_cast<double>(first)) {
      const auto k = static_cast<std::uint64_t>((projected - static_cast<double>(first)) / kWrap + 0.5);
      if (k <= (most - first) / kWrap) best = first + k * kWrap;
    }
    if (std::fabs(static_cast<double>(best) - projected) <= projected / 4) return best;
  }
  return projected >= 1.8e19 ? UINT64_MAX : static_cast<std::uint64_t>(projected);
}

}  // namespace tiltgram
