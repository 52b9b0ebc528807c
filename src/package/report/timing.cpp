#include "package/report/timing.hpp"

#include "errors/messages.hpp"
#include "packet/packet.hpp"
#include "packet/source.hpp"
#include "packet/time.hpp"

namespace tiltgram {

namespace {

// The data blocks after the metadata block.
Result<DataTiming> scan_blocks(SectorReader& reader) {
  DataTiming timing;
  std::optional<double> prev_end;
  InterruptPoll poll;
  for (;;) {
    TG_TRY(poll.tick());
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, reader.next());
    if (sector == nullptr) break;
    TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
    if (!meta) continue;
    const auto [ns, ne] = meta->natural_bounds();
    const double s = continuity_start(ns, ne, prev_end);
    const auto n = static_cast<double>(meta->sample_count);
    if (!timing.first_sample_us) timing.first_sample_us = saturating_us(s * 1000000.0);
    timing.last_sample_us = saturating_us((s + ((ne - s) / n) * (n - 1.0)) * 1000000.0);
    timing.sample_count += meta->sample_count;
    prev_end = ne;
  }
  return timing;
}

Result<DataTiming> scan(SectorReader& reader) {
  std::uint8_t head[kHeaderSize];
  TG_TRY(reader.source().read_exact(head, sizeof head));
  if (head[0] != 'M' || head[1] != 'D')
    return CwaError::format(msg::kNotMetadataBlock);
  return scan_blocks(reader);
}

}  // namespace

Result<DataTiming> scan_data_timing(std::string_view path) {
  TG_ASSIGN_OR_RETURN(Source source, Source::open(path));
  SectorReader reader(std::move(source));
  return conclude(reader.source(), scan(reader), false);
}

Result<HeaderAndTiming> read_header_and_timing(std::string_view path) {
  TG_ASSIGN_OR_RETURN(Source source, Source::open(path));
  std::uint8_t block[kHeaderSize] = {};
  TG_TRY(source.read_exact(block, sizeof block));
  HeaderAndTiming out;
  TG_ASSIGN_OR_RETURN(out.header, parse_cwa_header(block));
  SectorReader reader(std::move(source));
  TG_ASSIGN_OR_RETURN(out.timing, conclude(reader.source(), scan_blocks(reader), false));
  return out;
}

}  // namespace tiltgram
