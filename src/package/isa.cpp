#include "package/isa.hpp"

namespace tiltgram {

bool isa_available(IsaLevel level) noexcept {
  if (static_cast<int>(level) > static_cast<int>(kMaxIsaLevel)) return false;
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
  static const IsaLevel best = isa_available(IsaLevel::kAvx512) ? IsaLevel::kAvx512
                               : isa_available(IsaLevel::kAvx2) ? IsaLevel::kAvx2
                                                                : IsaLevel::kBaseline;
  return best;
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
