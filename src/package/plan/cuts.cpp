#include "package/plan/cuts.hpp"

#include <cmath>

#include "errors/messages.hpp"

namespace tiltgram {

Status CutConfig::validate() const {
  switch (kind) {
    case Kind::Whole:
      return {};
    case Kind::Blocks:
      if (block_start && block_end && *block_end <= *block_start)
        return CwaError::argument(msg::kBlocksOrder);
      return {};
    case Kind::Seconds:
      for (const auto& v : {seconds_start, seconds_end}) {
        if (!v) continue;
        if (!std::isfinite(*v)) return CwaError::argument(msg::kSecondsNotFinite);
        if (*v < 0.0) return CwaError::argument(msg::kSecondsNegative);
      }
      if (seconds_start && seconds_end && !(*seconds_end > *seconds_start))
        return CwaError::argument(msg::kSecondsOrder);
      return {};
  }
  return {};
}

}  // namespace tiltgram
