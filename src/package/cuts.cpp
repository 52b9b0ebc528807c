#include "package/cuts.hpp"

#include <cmath>

namespace tiltgram {

Status CutConfig::validate() const {
  switch (kind) {
    case Kind::Whole:
      return {};
    case Kind::Blocks:
      if (block_start && block_end && *block_end <= *block_start)
        return CwaError::message("blocks end must be greater than start");
      return {};
    case Kind::Seconds:
      for (const auto& v : {seconds_start, seconds_end}) {
        if (!v) continue;
        if (!std::isfinite(*v)) return CwaError::message("seconds cut values must be finite");
        if (*v < 0.0) return CwaError::message("seconds cut values must be >= 0");
      }
      if (seconds_start && seconds_end && !(*seconds_end > *seconds_start))
        return CwaError::message("seconds end must be greater than start");
      return {};
  }
  return {};
}

}  // namespace tiltgram
