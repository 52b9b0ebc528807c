#include "package/read.hpp"
namespace tiltgram {
Result<CwaDataResult> read_cwa_data_resampled_streaming(std::string_view, const ReadPlan&, IncludeFlags, double) {
  return CwaError::message("resampling not built yet");
}
}
