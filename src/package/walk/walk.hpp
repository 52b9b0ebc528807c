// The walk over the planned data blocks of a recording: one block at a time, in file order.
//
// Every route that reads data blocks walks them the same way, and BlockWalk is that walk
// (the reads into columns, the CSV routes, the plan's scan, the data timing, the
// summaries):
//
//   for each planned block b in [first_block, end_block):
//     a pending Ctrl-C            (checked once every kInterruptEvery sectors)
//     the next sector             (a plain file that ends early: "Unexpected end of CWA
//                                  data"; where gzip data ends, the walk ends)
//     packet_meta(sector)         (an unusable packet's error; not a data packet: skipped)
//     CwaDataBlock::from_buffer   (next() only: the "AX" header's errors)
//     -> the block is current: its samples are decoded and stamped on demand.
//
// A block's sample times continue from the natural end of the nearest earlier data block
// (the continuity rule): the walk keeps that end, so a consumer that only looks at packet
// metadata of some blocks still stamps later ones exactly as the plain read does. At the
// end, conclude() reads gzip data to its end and checks it whole.
//
// Besides the walk, this file holds its opening (the first planned block, the end of the
// data block before it) and the few packets read aside of it, by offset, for estimates.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>

#include "errors/error.hpp"
#include "package/decode/block.hpp"
#include "packet/file.hpp"
#include "packet/packet.hpp"
#include "packet/source.hpp"

namespace tiltgram {

// Opens the recording and checks its "MD" start. For a plain file, checks its size too and
// returns its number of data blocks; the size of gzip data is known only at its end, where
// conclude() checks it.
Result<std::optional<std::uint64_t>> open_recording(std::string_view path, Source& source);

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
  // The blocks run to the end of the data, whatever its size: a plain file's end then ends
  // them as gzip data's does (the data timing reads a recording whole this way).
  bool to_data_end = false;

  // The next planned sector, or nullptr where gzip data ends.
  Result<const std::uint8_t*> next();
  // For memory estimates, the planned blocks after block `b` that the read will likely
  // meet: every one of a file; for gzip data, those within its expected size
  // (Source::expected_size), asked again every 4096 blocks as the read goes.
  std::uint64_t blocks_after(std::uint64_t b);
  // The samples that the data packets of blocks [first, end) hold, from their packet
  // metadata read aside in large pieces (the walk keeps its place); nothing for gzip data,
  // or when a sector cannot be read or classified: the walk itself reports that.
  std::optional<std::uint64_t> samples_aside(std::uint64_t first, std::uint64_t end);
  // The natural end of the last data packet among the last few sectors of blocks
  // [first, end), read aside; nothing for gzip data, when there is none, or when it cannot
  // be read.
  std::optional<double> last_end_aside(std::uint64_t first, std::uint64_t end);
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


class BlockWalk {
 public:
  // Opens the recording at data block `start_block` (absent: 0), planning `block_count`
  // blocks (absent: to the end), with the errors of open_cwa_data_blocks.
  static Result<BlockWalk> open(std::string_view path, std::optional<std::uint64_t> start_block,
                                std::optional<std::uint64_t> block_count);
  explicit BlockWalk(OpenedDataBlocks opened) noexcept;

  // Moves to the next data block of the plan: true, or false once the planned blocks (or
  // gzip data) end. Errors: a pending Ctrl-C, the sector's, packet_meta's. (The "AX"
  // header that from_buffer checks is one packet_meta found.)
  [[gnu::always_inline]] Result<bool> next() { return step<true>(); }
  // Moves to the next data packet for its metadata alone (meta(), bounds(), header()):
  // block() is not taken.
  [[gnu::always_inline]] Result<bool> next_packet() { return step<false>(); }

  // The current block (after next() or next_packet() returned true).
  std::uint64_t block_index() const noexcept { return index_; }
  const std::uint8_t* sector() const noexcept { return sector_; }
  PacketHeader header() const noexcept { return PacketHeader(sector_); }
  const PacketMeta& meta() const noexcept { return meta_; }
  const CwaDataBlock& block() const noexcept { return block_; }
  // The natural end of the nearest data block before the current one, in device-clock
  // seconds: where its first sample may go by the continuity rule.
  std::optional<double> prev_end() const noexcept { return prev_end_; }
  // The current packet's natural bounds (PacketMeta::natural_bounds).
  std::pair<double, double> bounds() noexcept {
    const std::pair<double, double> b = meta_.natural_bounds();
    current_end_ = b.second;
    return b;
  }
  // The sectors read so far since the first planned block (data packets or not).
  std::uint64_t sectors_read() const noexcept { return next_block_ - opened_.first_block; }

  // The current block's sample format (sample_format's checks and errors).
  Result<SampleFormat> format(bool include_magnetometer) const {
    return sample_format(block_, include_magnetometer);
  }
  // Decodes the current block's samples of `format` into `out`.
  void decode(const SampleFormat& format, const SampleColumns& out,
              IsaLevel isa = best_isa()) const noexcept {
    decode_samples(block_, format, out, isa);
  }
  // Checks the format and decodes into `out` (parse_samples).
  Status decode(bool include_magnetometer, DecodedSamples& out) const {
    return parse_samples(block_, include_magnetometer, out);
  }
  // The times of the current block's first `n` samples in microseconds, into out[0..n);
  // returns the block's natural end (calculate_sample_timestamps_with_prev_end).
  Result<double> times(std::size_t n, std::int64_t* out, IsaLevel isa = best_isa()) {
    Result<double> end = calculate_sample_timestamps_with_prev_end(block_, n, prev_end_, out, isa);
    if (end.ok() && n > 0) current_end_ = end.value();
    return end;
  }

  // How the current block's first `n` > 0 samples are stamped, without stamping them
  // (block_times); the block's natural end is then known as times() knows it.
  Result<BlockTimes> time_basis(std::size_t n) {
    Result<BlockTimes> basis = block_times(block_, n, prev_end_);
    if (basis.ok()) current_end_ = basis.value().end;
    return basis;
  }

  // Goes back to the first planned block for another pass; gzip data is decompressed again
  // from its start. The data must have been checked whole by an earlier conclude().
  Status rewind();

  // The outcome of the walk once gzip data has been read to its end and checked.
  template <class T>
  Result<T> conclude(Result<T> outcome) {
    return opened_.conclude(std::move(outcome));
  }
  Status conclude(Status outcome) { return opened_.conclude(std::move(outcome)); }

  OpenedDataBlocks& opened() noexcept { return opened_; }
  Source& source() noexcept { return opened_.reader.source(); }
  std::uint64_t first_block() const noexcept { return opened_.first_block; }
  std::uint64_t end_block() const noexcept { return opened_.end_block; }

 private:
  // One step of next() (kBlock) or next_packet(). Both are inlined into each walking loop,
  // which then keeps the walk's state in registers and makes no Result of its own.
  template <bool kBlock>
  [[gnu::always_inline]] inline Result<bool> step();

  OpenedDataBlocks opened_;
  std::uint64_t next_block_ = 0;             // the next planned block to read
  std::uint64_t end_ = 0;                    // the planned end, or where gzip data ended
  InterruptPoll poll_;
  std::optional<double> prev_end_;           // see prev_end()
  bool has_current_ = false;                 // whether a data packet is current
  std::optional<double> current_end_;        // its natural end, once known
  std::uint64_t index_ = 0;
  const std::uint8_t* sector_ = nullptr;
  PacketMeta meta_;
  CwaDataBlock block_;
};

template <bool kBlock>
inline Result<bool> BlockWalk::step() {
  while (next_block_ < end_) {
    if (poll_.due()) [[unlikely]]
      TG_TRY(check_interrupt());
    const std::uint64_t b = next_block_++;
    TG_ASSIGN_OR_RETURN(const std::uint8_t* sector, opened_.next());
    if (sector == nullptr) {
      // The data ended before the planned blocks did (gzip data): the walk ends here.
      end_ = --next_block_;
      return false;
    }
    TG_ASSIGN_OR_RETURN(std::optional<PacketMeta> meta, packet_meta(sector));
    if (!meta) continue;
    // The block before this one is done with: its natural end is what this one continues
    // from, the end that stamping it returned (calculate_sample_timestamps_with_prev_end
    // returns the natural end of a block with samples, and a data packet has some) or
    // that bounds() found, else found here.
    if (has_current_) prev_end_ = current_end_ ? *current_end_ : meta_.natural_bounds().second;
    has_current_ = true;
    current_end_.reset();
    index_ = b;
    sector_ = sector;
    meta_ = *meta;
    if constexpr (kBlock) block_ = CwaDataBlock::of(PacketHeader(sector));
    return true;
  }
  return false;
}

}  // namespace tiltgram
