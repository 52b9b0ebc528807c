// The read plan: which data blocks a cut selects and the exact time bounds of a seconds cut.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/error.hpp"
#include "package/plan/cuts.hpp"

namespace tiltgram {

struct ReadPlan {
  std::optional<std::uint64_t> start_block;  // absent: block 0
  std::optional<std::uint64_t> block_count;  // absent: to the end of the file
  std::optional<double> start_time_s;        // inclusive, device-clock seconds
  std::optional<double> end_time_s;          // exclusive
};

// Plans a cut. Whole and Blocks cuts are arithmetic; a Seconds cut scans the packet
// metadata of every data block. Seconds count from the recording's first sample as
// stamped (whole microseconds), the time the metadata report gives as its first sample.
// The planned blocks reach one block with metadata beyond each bound, where there is one.
Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut);

}  // namespace tiltgram
