#include "package/decode/isa.hpp"

#include <cstdlib>

namespace tiltgram {

namespace {

bool same_name(const char* value, const char* name) noexcept {
  for (; *name != '\0'; ++value, ++name) {
    const char c = *value >= 'A' && *value <= 'Z' ? static_cast<char>(*value - 'A' + 'a') : *value;
    if (c != *name) return false;
  }
  return *value == '\0';
}

}  // namespace

std::optional<IsaLevel> isa_cap_from(const char* value) noexcept {
  if (value == nullptr || *value == '\0') return std::nullopt;
  if (same_name(value, "avx512")) return IsaLevel::kAvx512;
  if (same_name(value, "avx2")) return IsaLevel::kAvx2;
  return IsaLevel::kBaseline;
}

bool isa_supported(IsaLevel level) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  static const bool avx512 = __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512dq") &&
                             __builtin_cpu_supports("avx512vl");
  switch (level) {
    case IsaLevel::kBaseline:
      return true;
    case IsaLevel::kAvx2:
      return avx2;
    case IsaLevel::kAvx512:
      return avx512;
  }
  return false;
#else
  return level == IsaLevel::kBaseline;
#endif
}

IsaLevel best_isa() noexcept {
  static const IsaLevel best = [] {
    int cap = static_cast<int>(kMaxIsaLevel);
    if (const auto env = isa_cap_from(std::getenv("TILTGRAM_MAX_ISA")))
      cap = static_cast<int>(*env) < cap ? static_cast<int>(*env) : cap;
    for (int level = cap; level > 0; --level)
      if (isa_supported(static_cast<IsaLevel>(level))) return static_cast<IsaLevel>(level);
    return IsaLevel::kBaseline;
  }();
  return best;
}

bool isa_available(IsaLevel level) noexcept {
  return static_cast<int>(level) <= static_cast<int>(best_isa());
}

const char* isa_name(IsaLevel level) noexcept {
  switch (level) {
    case IsaLevel::kAvx2:
      return "avx2";
    case IsaLevel::kAvx512:
      return "avx512";
    case IsaLevel::kBaseline:
      break;
  }
  return "sse2";
}

}  // namespace tiltgram
