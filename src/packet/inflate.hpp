// The gzip members of a compressed recording, inflated one after another by zlib or by
// Intel's ISA-L.
//
// ISA-L inflates about twice as fast as zlib. zlib stays the judge of what is gzip data
// and of what is wrong with it, so that both give the same bytes, the same end and the same
// "Invalid gzip data: ..." text:
//   - each member's header is read by zlib (it stops before the first deflate block);
//   - ISA-L inflates the deflate data and checks the member's CRC-32 and length;
//   - where ISA-L stops short of a member's end (damaged or truncated data, a check that
//     fails), zlib inflates that member again from its first byte and has the last word:
//     its failure is the one reported, or, where it finds nothing wrong, it goes on from
//     where ISA-L stopped.
// zlib reads the member again from the file, so ISA-L inflates regular files only; a pipe
// is inflated by zlib. ISA-L also accepts a few deflate streams that zlib refuses, whose
// Huffman codes leave bit patterns unused; no compressor writes them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "errors/error.hpp"

namespace tiltgram {

enum class InflaterKind { kZlib, kIsal };

// Whether this build links ISA-L.
bool isal_linked() noexcept;
// "zlib" or "isal".
const char* inflater_name(InflaterKind kind) noexcept;
// The inflater that gzip sources opened from now on use for regular files: ISA-L where the
// build links it, unless the environment variable TILTGRAM_INFLATE is "zlib" (read once,
// at the first use).
InflaterKind chosen_inflater() noexcept;
// Chooses the inflater for sources opened from now on (tests and fuzz targets); ISA-L
// where the build does not link it is zlib.
void set_inflater(InflaterKind kind) noexcept;

// A gzip stream over a file descriptor, member after member: one member or several, every
// member's CRC-32 and length checked, anything after the last member an error. A failure
// is kept: every later read returns it.
class Inflater {
 public:
  // Reads `buffer_bytes` of compressed bytes at a time. `rereadable`: the file is a regular
  // one, whose members can be read again (a pipe's cannot): only then may ISA-L inflate.
  Inflater(std::size_t buffer_bytes, bool rereadable);
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater();

  // Back to the first member, with `n` of its first bytes already read (the caller moves
  // the file behind them).
  void restart(const std::uint8_t* head, std::size_t n);

  // Up to `size` decompressed bytes; 0 only at the end, after the last member.
  Result<std::size_t> read_some(int fd, std::uint8_t* data, std::size_t size);

  std::uint64_t position() const noexcept { return position_; }
  bool finished() const noexcept { return finished_; }

 private:
  struct Zlib;
  struct Isal;
  enum class Stage { kZlibMember, kZlibHeader, kIsalMember };

  Status fill(int fd);
  Result<std::size_t> inflate_some(int fd, std::uint8_t* data, std::size_t size);
  void start_member();
  Result<std::size_t> zlib_step(std::uint8_t* data, std::size_t size);
  Status header_step();
  Result<std::size_t> isal_step(int fd, std::uint8_t* data, std::size_t size);
  Status inflate_member_again(int fd);

  std::unique_ptr<Zlib> zlib_;
  std::unique_ptr<Isal> isal_;  // null: zlib inflates every member
  std::unique_ptr<std::uint8_t[]> in_;
  std::size_t in_size_;
  // Compressed bytes: the file offset of in_[0], and the unread ones (next_, avail_).
  std::uint64_t in_offset_ = 0;
  const std::uint8_t* next_ = nullptr;
  std::size_t avail_ = 0;
  bool file_eof_ = false;
  bool between_members_ = false;
  bool finished_ = false;
  Stage stage_ = Stage::kZlibMember;
  // The current member: its first byte's file offset, the bytes it has given, and the
  // bytes that zlib, inflating it again, drops because ISA-L gave them already.
  std::uint64_t member_offset_ = 0;
  std::uint64_t member_out_ = 0;
  std::uint64_t skip_ = 0;
  std::uint64_t position_ = 0;
  std::optional<CwaError> failure_;
};

}  // namespace tiltgram
