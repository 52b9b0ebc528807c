#include "package/report/timing.hpp"

#include "errors/messages.hpp"
#include "package/walk/walk.hpp"
#include "packet/time.hpp"

namespace tiltgram {

namespace {

// The data blocks after the metadata block, to the end of the data.
Result<DataTiming> scan_blocks(BlockWalk& walk) {
  DataTiming timing;
  for (;;) {
    TG_ASSIGN_OR_RETURN(bool more, walk.next_packet());
    if (!more) break;
    const auto [ns, ne] = walk.bounds();
    const double s = continuity_start(ns, ne, walk.prev_end());
    const std::uint64_t count = walk.meta().sample_count;
    const auto n = static_cast<double>(count);
    if (!timing.first_sample_us) timing.first_sample_us = saturating_us(s * 1000000.0);
    timing.last_sample_us = saturating_us((s + ((ne - s) / n) * (n - 1.0)) * 1000000.0);
    timing.sample_count += count;
  }
  return timing;
}

Result<DataTiming> scan(BlockWalk& walk) {
  std::uint8_t head[kHeaderSize];
  TG_TRY(walk.source().read_exact(head, sizeof head));
  if (head[0] != 'M' || head[1] != 'D')
    return CwaError::format(msg::kNotMetadataBlock);
  return scan_blocks(walk);
}

// A walk over every sector left in `source`, whatever the file's size says.
BlockWalk walk_to_data_end(Source source) {
  OpenedDataBlocks blocks{SectorReader(std::move(source)), 0, UINT64_MAX};
  blocks.to_data_end = true;
  return BlockWalk(std::move(blocks));
}

}  // namespace

Result<DataTiming> scan_data_timing(std::string_view path) {
  TG_ASSIGN_OR_RETURN(Source source, Source::open(path));
  BlockWalk walk = walk_to_data_end(std::move(source));
  return conclude(walk.source(), scan(walk), false);
}

Result<HeaderAndTiming> read_header_and_timing(std::string_view path) {
  TG_ASSIGN_OR_RETURN(Source source, Source::open(path));
  std::uint8_t block[kHeaderSize] = {};
  TG_TRY(source.read_exact(block, sizeof block));
  HeaderAndTiming out;
  TG_ASSIGN_OR_RETURN(out.header, parse_cwa_header(block));
  BlockWalk walk = walk_to_data_end(std::move(source));
  TG_ASSIGN_OR_RETURN(out.timing, conclude(walk.source(), scan_blocks(walk), false));
  return out;
}

}  // namespace tiltgram
