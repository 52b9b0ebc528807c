#include "package/walk/walk.hpp"

#include <memory>
#include <utility>

#include "errors/messages.hpp"

namespace tiltgram {

namespace {

// Gzip data read forward to data block `first_block`, finding the natural end of the
// nearest earlier data block on the way and failing where a plain file's backward search
// would: at the nearest failing sector after that block.
Status walk_to_first_block(OpenedDataBlocks& opened) {
  SectorReader& reader = opened.reader;
  TG_TRY(reader.seek(kHeaderSize));
  std::optional<CwaError> failed;
  InterruptPoll poll;
  for (std::uint64_t b = 0; b < opened.first_block; ++b) {
    TG_TRY(poll.tick());
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, reader.next());
    if (sector == nullptr) return CwaError::format(msg::kStartBeyondFile);
    Result<std::optional<PacketMeta>> meta = packet_meta(sector);
    if (!meta.ok()) {
      failed = meta.error();
    } else if (meta.value()) {
      opened.prev_block_end_s = meta.value()->natural_bounds().second;
      failed.reset();
    }
  }
  TG_ASSIGN_OR_RETURN(bool more, reader.has_sector());
  if (!more) return CwaError::format(msg::kStartBeyondFile);
  if (failed) return *failed;
  return {};
}

}  // namespace

// Opens the recording and checks its "MD" start. For a plain file, checks its size too and
// returns its number of data blocks; the size of gzip data is known only at its end, where
// conclude() checks it.
Result<std::optional<std::uint64_t>> open_recording(std::string_view path, Source& source) {
  TG_ASSIGN_OR_RETURN(source, Source::open(path));
  std::uint8_t magic[2];
  Status start = source.read_exact(magic, 2);
  if (start.ok() && (magic[0] != 'M' || magic[1] != 'D'))
    start = CwaError::format(msg::kNotCwaFile);
  if (!start.ok()) return conclude(source, std::move(start), false).error();
  if (source.compressed()) return std::optional<std::uint64_t>();
  TG_ASSIGN_OR_RETURN(std::uint64_t size, source.file().size());
  TG_ASSIGN_OR_RETURN(std::uint64_t blocks, data_blocks_in(size));
  return std::optional<std::uint64_t>(blocks);
}

Result<const std::uint8_t*> planned_sector(SectorReader& reader) {
  TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, reader.next());
  if (sector == nullptr && !reader.source().compressed())
    return CwaError::format(msg::kUnexpectedEnd);
  return sector;
}

Result<const std::uint8_t*> OpenedDataBlocks::next() {
  if (to_data_end) return reader.next();
  return planned_sector(reader);
}

std::optional<std::uint64_t> OpenedDataBlocks::samples_aside(std::uint64_t first,
                                                             std::uint64_t end) {
  if (reader.source().compressed()) return std::nullopt;  // gzip data cannot be read aside
  File& file = reader.source().file();
  constexpr std::uint64_t kPiece = 2048;  // sectors: 1 MiB
  std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kPiece * kSectorSize]);
  std::uint64_t samples = 0;
  for (std::uint64_t b = first; b < end; b += kPiece) {
    const std::uint64_t k = end - b < kPiece ? end - b : kPiece;
    if (!check_interrupt().ok()) return std::nullopt;  // the walk's next check reports it
    if (!file.read_exact_at(kHeaderSize + kSectorSize * b, buf.get(), k * kSectorSize).ok())
      return std::nullopt;
    for (std::uint64_t i = 0; i < k; ++i) {
      Result<std::optional<PacketMeta>> meta = packet_meta(buf.get() + i * kSectorSize);
      if (!meta.ok()) return std::nullopt;
      if (meta.value()) samples += meta.value()->sample_count;
    }
  }
  return samples;
}

std::optional<double> OpenedDataBlocks::last_end_aside(std::uint64_t first, std::uint64_t end) {
  if (reader.source().compressed()) return std::nullopt;  // gzip data cannot be read aside
  File& file = reader.source().file();
  constexpr std::uint64_t kLook = 8;
  std::uint8_t sector[kSectorSize];
  for (std::uint64_t b = end; b > first && end - b < kLook; --b) {
    if (!file.read_exact_at(kHeaderSize + kSectorSize * (b - 1), sector, kSectorSize).ok())
      return std::nullopt;
    Result<std::optional<PacketMeta>> meta = packet_meta(sector);
    if (!meta.ok()) return std::nullopt;
    if (meta.value()) return meta.value()->natural_bounds().second;
  }
  return std::nullopt;
}

std::uint64_t OpenedDataBlocks::blocks_after(std::uint64_t b) {
  if (!reader.source().compressed()) {
    estimated_end = end_block;
  } else if (b >= estimate_again_at) {
    estimate_again_at = b + 4096;
    const std::uint64_t size = reader.source().expected_size();
    const std::uint64_t blocks = size > kHeaderSize ? (size - kHeaderSize) / kSectorSize : 0;
    estimated_end = blocks < end_block ? blocks : end_block;
  }
  return estimated_end > b + 1 ? estimated_end - b - 1 : 0;
}

Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path,
                                              std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count) {
  Source source;
  TG_ASSIGN_OR_RETURN(std::optional<std::uint64_t> total, open_recording(path, source));
  const std::uint64_t first = start_block.value_or(0);
  if (total && first >= *total) return CwaError::format(msg::kStartBeyondFile);
  const std::uint64_t count = block_count.value_or(total ? *total - first : UINT64_MAX);
  std::uint64_t end = count > UINT64_MAX - first ? UINT64_MAX : first + count;
  if (total && end > *total) end = *total;
  std::uint64_t expected = end;
  if (!total) {
    const std::uint64_t hint = source.size_hint();
    const std::uint64_t stated = hint > kHeaderSize ? (hint - kHeaderSize) / kSectorSize : 0;
    if (stated < expected) expected = stated > first ? stated : first + 1;
  }

  OpenedDataBlocks opened{SectorReader(std::move(source)), first, end, expected, {}, 0, 0};
  SectorReader& reader = opened.reader;
  if (!total) {
    if (Status walked = walk_to_first_block(opened); !walked.ok())
      return opened.conclude(std::move(walked)).error();
  } else {
    // The natural end of the nearest earlier data block seeds the continuity rule.
    for (std::uint64_t b = first; b-- > 0;) {
      TG_TRY(reader.seek(kHeaderSize + kSectorSize * b));
      reader.limit_read_ahead(kSectorSize);
      TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, planned_sector(reader));
      TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
      if (meta) {
        opened.prev_block_end_s = meta->natural_bounds().second;
        break;
      }
    }
    TG_TRY(reader.seek(kHeaderSize + kSectorSize * first));
  }
  reader.limit_read_ahead(kSectorSize * (end - first));
  return opened;
}


Result<BlockWalk> BlockWalk::open(std::string_view path, std::optional<std::uint64_t> start_block,
                                  std::optional<std::uint64_t> block_count) {
  TG_ASSIGN_OR_RETURN(OpenedDataBlocks opened, open_cwa_data_blocks(path, start_block, block_count));
  return BlockWalk(std::move(opened));
}

BlockWalk::BlockWalk(OpenedDataBlocks opened) noexcept
    : opened_(std::move(opened)),
      next_block_(opened_.first_block),
      end_(opened_.end_block),
      prev_end_(opened_.prev_block_end_s) {}

Status BlockWalk::rewind() {
  SectorReader& reader = opened_.reader;
  const std::uint64_t first = opened_.first_block, end = opened_.end_block;
  TG_TRY(reader.seek(kHeaderSize + kSectorSize * first));
  reader.limit_read_ahead(kSectorSize * (end - first));
  next_block_ = first;
  end_ = end;
  prev_end_ = opened_.prev_block_end_s;
  has_current_ = false;
  current_end_.reset();
  sector_ = nullptr;
  return {};
}

}  // namespace tiltgram
