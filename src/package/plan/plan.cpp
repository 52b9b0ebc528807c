#include "package/plan/plan.hpp"

#include <utility>
#include <vector>

#include "errors/messages.hpp"
#include "package/walk/walk.hpp"
#include "packet/time.hpp"

namespace tiltgram {

namespace {

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
  TG_ASSIGN_OR_RETURN(std::optional<std::uint64_t> total, open_recording(path, source));
  // The blocks found here are read again, from a second opening of the file.
  if (!source.rereadable()) return CwaError::argument(msg::needs_regular_file(msg::kSecondsCutReadsTwice));
  if (total && *total == 0) return CwaError::format(msg::kStartBeyondFile);
  // Every data block from the first, to the end of the file or of gzip data.
  BlockWalk walk(OpenedDataBlocks{SectorReader(std::move(source)), 0, total.value_or(UINT64_MAX)});

  std::vector<BlockTimeSpan> spans;
  Status scanned = [&]() -> Status {
    TG_TRY(walk.opened().reader.seek(kHeaderSize));
    for (;;) {
      TG_ASSIGN_OR_RETURN(bool more, walk.next_packet());
      if (!more) break;
      const auto [ns, ne] = walk.bounds();
      spans.push_back({walk.block_index(), continuity_start(ns, ne, walk.prev_end()), ne});
    }
    return {};
  }();
  const std::uint64_t blocks = walk.sectors_read();
  TG_TRY(walk.conclude(std::move(scanned)));
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

}  // namespace tiltgram
