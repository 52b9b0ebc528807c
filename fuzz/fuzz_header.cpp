// Fuzz target: a metadata block (the input, zero-padded to 1024 bytes). Checks the
// derived fields and that the annotation is valid UTF-8 text.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "header/header.hpp"
#include "packet/time.hpp"

using namespace tiltgram;

namespace {
bool valid_utf8(const std::string& s) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(s.data());
  return utf8_lossy(std::span<const std::uint8_t>(p, s.size())) == s;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t block[1024] = {};
  std::memcpy(block, data, size < sizeof block ? size : sizeof block);
  auto h = parse_cwa_header(block);
  if (!h.ok()) return 0;
  const CwaHeader& v = h.value();
  if (!valid_utf8(v.annotation)) std::abort();
  if (v.sample_rate_hz < 0.09765625 || v.sample_rate_hz > 3200.0) std::abort();
  if (v.accel_range != 2 && v.accel_range != 4 && v.accel_range != 8 && v.accel_range != 16)
    std::abort();
  for (const auto& t : {v.logging_start_time, v.logging_end_time, v.last_change_time})
    if (t && format_raw_time(*t).size() != 19) std::abort();
  // Round trip of the packed time through the text form of microseconds.
  std::uint32_t word;
  std::memcpy(&word, block + 13, sizeof word);
  if (auto t = cwa_timestamp(word)) {
    if (timestamp_us_to_raw_string(t->epoch_seconds() * 1000000) != format_raw_time(*t)) std::abort();
  }
  return 0;
}
