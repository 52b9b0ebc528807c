// The read plan: which data blocks a cut selects and the exact time bounds of a seconds cut,
// and the opening of a recording at the first planned block.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/error.hpp"
#include "package/cuts.hpp"
#include "packet/file.hpp"

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

// An open recording positioned at data block `first_block`.
struct OpenedDataBlocks {
  SectorReader reader;
  std::uint64_t first_block = 0;
  std::uint64_t end_block = 0;  // exclusive, within the file
  std::optional<double> prev_block_end_s;  // natural end of the nearest earlier data block
};

// The next sector of a block that the file's size said exists: an end of file there means
// the file shrank while it was read, "Unexpected end of CWA data".
Result<const std::uint8_t*> planned_sector(SectorReader& reader);

Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path,
                                              std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count);

}  // namespace tiltgram
