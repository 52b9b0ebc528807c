#include "package/plan.hpp"

#include <utility>
#include <vector>

#include "errors/messages.hpp"
#include "header/time.hpp"
#include "packet/packet.hpp"

namespace tiltgram {

namespace {

// Opens the recording and checks its "MD" start. For a plain file, checks its size too and
// returns its number of data blocks; the size of gzip data is known only at its end, where
// conclude() checks it.
Result<std::optional<std::uint64_t>> open_checked(std::string_view path, Source& source) {
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

struct BlockTimeSpan {
  std::uint64_t block_index;
  double start_s;
  double end_s;
};

}  // namespace

Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut) {
  TG_TRY(cut.validate());
  ReadPlan plan;
  if (cut.kind == CutConfig::Kind::Whole) return plan;
  if (cut.kind == CutConfig::Kind::Blocks) {
    plan.start_block = cut.block_start.value_or(0);
    if (cut.block_end) plan.block_count = *cut.block_end - *plan.start_block;
    return plan;
  }

  Source source;
  TG_ASSIGN_OR_RETURN(std::optional<std::uint64_t> total, open_checked(path, source));
  // The blocks found here are read again, from a second opening of the file.
  if (!source.rereadable()) return CwaError::argument(msg::needs_regular_file(msg::kSecondsCutReadsTwice));
  if (total && *total == 0) return CwaError::format(msg::kStartBeyondFile);
  SectorReader reader(std::move(source));

  std::vector<BlockTimeSpan> spans;
  std::uint64_t blocks = 0;
  Status scanned = [&]() -> Status {
    TG_TRY(reader.seek(kHeaderSize));
    std::optional<double> prev_end;
    InterruptPoll poll;
    for (; blocks < total.value_or(UINT64_MAX); ++blocks) {
      TG_TRY(poll.tick());
      TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, planned_sector(reader));
      if (sector == nullptr) break;
      TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
      if (!meta) continue;
      const auto [ns, ne] = meta->natural_bounds();
      spans.push_back({blocks, continuity_start(ns, ne, prev_end), ne});
      prev_end = ne;
    }
    return {};
  }();
  TG_TRY(conclude(reader.source(), std::move(scanned), true));
  if (blocks == 0) return CwaError::format(msg::kStartBeyondFile);
  if (spans.empty()) return CwaError::format(msg::kNoSampleData);

  // The first sample as stamped: whole microseconds, as the metadata report gives it.
  const double anchor =
      static_cast<double>(saturating_us(spans.front().start_s * 1000000.0)) / 1000000.0;
  const std::optional<double> start = cut.seconds_start, end = cut.seconds_end;
  const double lo = start ? anchor + *start : 0.0;
  const double hi = end ? anchor + *end : 0.0;
  const std::size_t n = spans.size();
  std::size_t first = n, last = n;  // n: no match
  if (start && end) {
    for (std::size_t i = 0; i < n; ++i) {
      if (spans[i].end_s <= lo) continue;
      if (!(spans[i].start_s < hi)) break;
      if (first == n) first = i;
      last = i;
    }
  } else if (start) {
    for (std::size_t i = 0; i < n; ++i) {
      if (!(spans[i].end_s > lo)) continue;
      if (first == n) first = i;
      last = i;
    }
  } else if (end) {
    if (spans[0].start_s < hi) {
      first = 0;
      last = n - 1;
      for (std::size_t i = 1; i < n; ++i) {
        if (!(spans[i].start_s < hi)) {
          last = i - 1;
          break;
        }
      }
    }
  } else {
    first = 0;
    last = n - 1;
  }
  if (first == n) return CwaError::format(msg::kNoSamplesAfterSecondsCut);

  const std::size_t from = first == 0 ? 0 : first - 1;
  const std::size_t to = last + 1 < n ? last + 1 : last;
  plan.start_block = spans[from].block_index;
  plan.block_count = spans[to].block_index - spans[from].block_index + 1;
  if (start) plan.start_time_s = lo;
  if (end) plan.end_time_s = hi;
  return plan;
}

Result<const std::uint8_t*> planned_sector(SectorReader& reader) {
  TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, reader.next());
  if (sector == nullptr && !reader.source().compressed())
    return CwaError::format(msg::kUnexpectedEnd);
  return sector;
}

Result<const std::uint8_t*> OpenedDataBlocks::next() { return planned_sector(reader); }

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
  TG_ASSIGN_OR_RETURN(std::optional<std::uint64_t> total, open_checked(path, source));
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

}  // namespace tiltgram
