// The read plan: which data blocks a cut selects and the exact time bounds of a seconds cut,
// and the opening of a recording at the first planned block.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/error.hpp"
#include "package/cuts.hpp"
#include "packet/source.hpp"

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

// An open recording positioned at data block `first_block`. The size of gzip data is
// known only at its end: there `end_block` is the planned end, the data may end before
// it, and conclude() checks the decompressed size as a file's size is checked at opening.
struct OpenedDataBlocks {
  SectorReader reader;
  std::uint64_t first_block = 0;
  std::uint64_t end_block = 0;  // exclusive, within the file when its size is known
  // The end to plan reservations for: end_block, or where gzip data's stated size ends.
  std::uint64_t expected_end = 0;
  std::optional<double> prev_block_end_s;  // natural end of the nearest earlier data block
  std::uint64_t estimated_end = 0;          // of blocks_after
  std::uint64_t estimate_again_at = 0;

  // The next planned sector, or nullptr where gzip data ends.
  Result<const std::uint8_t*> next();
  // For memory estimates, the planned blocks after block `b` that the read will likely
  // meet: every one of a file; for gzip data, those within its expected size
  // (Source::expected_size), asked again every 4096 blocks as the read goes.
  std::uint64_t blocks_after(std::uint64_t b);
  // The planned blocks as blocks_after last estimated them.
  std::uint64_t estimated_blocks() const noexcept {
    return estimated_end > first_block ? estimated_end - first_block : 0;
  }
  // The read's outcome, after the whole of gzip data has been checked (see conclude).
  template <class T>
  Result<T> conclude(Result<T> outcome) {
    return tiltgram::conclude(reader.source(), std::move(outcome), true);
  }
};

// The next sector of blocks the plan counts on: a plain file that ends before a block its
// size promised is "Unexpected end of CWA data"; for gzip data the end is nullptr.
Result<const std::uint8_t*> planned_sector(SectorReader& reader);

Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path,
                                              std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count);

}  // namespace tiltgram
