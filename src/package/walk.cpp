#include "package/walk.hpp"

#include <utility>

namespace tiltgram {

Result<BlockWalk> BlockWalk::open(std::string_view path, std::optional<std::uint64_t> start_block,
                                  std::optional<std::uint64_t> block_count) {
  TG_ASSIGN_OR_RETURN(OpenedDataBlocks opened, open_cwa_data_blocks(path, start_block, block_count));
  return BlockWalk(std::move(opened));
}

BlockWalk::BlockWalk(OpenedDataBlocks opened) noexcept
    : opened_(std::move(opened)),
      next_block_(opened_.first_block),
      prev_end_(opened_.prev_block_end_s) {}

Result<bool> BlockWalk::next() {
  while (next_block_ < opened_.end_block) {
    const std::uint64_t b = next_block_++;
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, opened_.next());
    if (sector == nullptr) {
      next_block_ = opened_.end_block;
      return false;
    }
    TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
    if (!meta) continue;
    TG_ASSIGN_OR_RETURN(CwaDataBlock block, CwaDataBlock::from_buffer(sector));
    // The block before this one is done with: its natural end is what this one continues
    // from, the end that stamping it returned (calculate_sample_timestamps_with_prev_end
    // returns the natural end of a block with samples, and a data packet has some), or
    // found here when it was not stamped.
    if (has_current_) prev_end_ = current_end_ ? *current_end_ : meta_.natural_bounds().second;
    has_current_ = true;
    current_end_.reset();
    index_ = b;
    sector_ = sector;
    meta_ = *meta;
    block_ = block;
    return true;
  }
  return false;
}

Status BlockWalk::rewind() {
  SectorReader& reader = opened_.reader;
  const std::uint64_t first = opened_.first_block, end = opened_.end_block;
  TG_TRY(reader.seek(kHeaderSize + kSectorSize * first));
  reader.limit_read_ahead(kSectorSize * (end - first));
  next_block_ = first;
  prev_end_ = opened_.prev_block_end_s;
  has_current_ = false;
  current_end_.reset();
  sector_ = nullptr;
  return {};
}

}  // namespace tiltgram
