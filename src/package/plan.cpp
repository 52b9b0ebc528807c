#include "package/plan.hpp"

#include <vector>

#include "errors/messages.hpp"
#include "header/time.hpp"
#include "packet/packet.hpp"

namespace tiltgram {

namespace {

// Opens the recording, checks its "MD" start and its size, and returns the number of data
// blocks it holds.
Result<std::uint64_t> open_checked(std::string_view path, File& file) {
  TG_ASSIGN_OR_RETURN(file, File::open_read(path));
  std::uint8_t magic[2];
  TG_TRY(file.read_exact(magic, 2));
  if (magic[0] != 'M' || magic[1] != 'D') return CwaError::message(msg::kNotCwaFile);
  TG_ASSIGN_OR_RETURN(std::uint64_t size, file.size());
  if (size < kHeaderSize) return CwaError::message(msg::kFileTooSmall);
  if ((size - kHeaderSize) % kSectorSize != 0)
    return CwaError::message(msg::kIncompleteBlock);
  return (size - kHeaderSize) / kSectorSize;
}

struct BlockTimeSpan {
  std::uint64_t block_index;
  double start_s;
  double end_s;
};

}  // namespace

Result<const std::uint8_t*> planned_sector(SectorReader& reader) {
  TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, reader.next());
  if (sector == nullptr) return CwaError::message(msg::kUnexpectedEnd);
  return sector;
}

Result<ReadPlan> resolve_read_plan(std::string_view path, const CutConfig& cut) {
  TG_TRY(cut.validate());
  ReadPlan plan;
  if (cut.kind == CutConfig::Kind::Whole) return plan;
  if (cut.kind == CutConfig::Kind::Blocks) {
    plan.start_block = cut.block_start.value_or(0);
    if (cut.block_end) plan.block_count = *cut.block_end - *plan.start_block;
    return plan;
  }

  File file;
  TG_ASSIGN_OR_RETURN(std::uint64_t total, open_checked(path, file));
  if (total == 0) return CwaError::message(msg::kStartBeyondFile);
  TG_TRY(file.seek(kHeaderSize));
  SectorReader reader(std::move(file));

  std::vector<BlockTimeSpan> spans;
  std::optional<double> prev_end;
  for (std::uint64_t b = 0; b < total; ++b) {
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, planned_sector(reader));
    TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
    if (!meta) continue;
    const auto [ns, ne] = meta->natural_bounds();
    spans.push_back({b, continuity_start(ns, ne, prev_end), ne});
    prev_end = ne;
  }
  if (spans.empty()) return CwaError::message(msg::kNoSampleData);

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
  if (first == n) return CwaError::message(msg::kNoSamplesAfterSecondsCut);

  const std::size_t from = first == 0 ? 0 : first - 1;
  const std::size_t to = last + 1 < n ? last + 1 : last;
  plan.start_block = spans[from].block_index;
  plan.block_count = spans[to].block_index - spans[from].block_index + 1;
  if (start) plan.start_time_s = lo;
  if (end) plan.end_time_s = hi;
  return plan;
}

Result<OpenedDataBlocks> open_cwa_data_blocks(std::string_view path,
                                              std::optional<std::uint64_t> start_block,
                                              std::optional<std::uint64_t> block_count) {
  File file;
  TG_ASSIGN_OR_RETURN(std::uint64_t total, open_checked(path, file));
  const std::uint64_t first = start_block.value_or(0);
  if (first >= total) return CwaError::message(msg::kStartBeyondFile);
  const std::uint64_t count = block_count.value_or(total - first);
  const std::uint64_t end = count > UINT64_MAX - first ? UINT64_MAX : first + count;

  OpenedDataBlocks opened{SectorReader(std::move(file)), first, end < total ? end : total, {}};
  SectorReader& reader = opened.reader;
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
  reader.limit_read_ahead(kSectorSize * (opened.end_block - first));
  return opened;
}

}  // namespace tiltgram
