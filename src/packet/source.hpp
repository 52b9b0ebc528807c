// The bytes of a recording as every reader sees them, and the buffered sector reader.
//
// A recording is read either as the file itself or, when the file starts with the gzip
// magic bytes 0x1f 0x8b, as the bytes its gzip members decompress to, whatever the file's
// name. Both read through the file descriptor with read(), a large buffer at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "errors/error.hpp"
#include "packet/file.hpp"

namespace tiltgram {

class Inflater;
class InflateAhead;

// Whether gzip data in a regular file is decompressed ahead of the reader, in a thread of
// its own (the default). Tests and fuzz targets turn it off to check the plain path.
void set_inflate_ahead(bool enabled) noexcept;

// Work that a reader waiting for gzip data decompressed ahead does meanwhile: a small piece
// per call (well under a millisecond), called again while no data has come and it returns
// true (false: nothing left to do).
using WhileWaiting = std::function<bool()>;

// Bytes lent where they are, without a copy.
struct Lent {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// A recording's bytes, in order. For gzip data, the members (one or more, concatenated)
// form one stream, as `gzip -d` reads them; every member's CRC-32 and length are checked,
// and bytes after the last member are an error. Failures of compressed data read
// "Invalid gzip data: {what}". A failure of the source is kept: every later read returns it.
class Source {
 public:
  Source() noexcept;
  Source(Source&& o) noexcept;
  Source& operator=(Source&& o) noexcept;
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;
  ~Source();

  // Opens the file read-only and recognises gzip data by its first two bytes.
  static Result<Source> open(std::string_view path);

  bool compressed() const noexcept { return inflater_ != nullptr; }
  // Whether the file can be read again: not a pipe, FIFO, socket or terminal.
  bool rereadable() const noexcept;
  // The file itself (for gzip data, the compressed bytes).
  File& file() noexcept { return file_; }

  // Work to do while a read waits for gzip data decompressed ahead (nullptr: none). The
  // caller keeps `work` alive until it removes it.
  void set_while_waiting(WhileWaiting* work) noexcept { while_waiting_ = work; }

  // Up to `size` bytes; 0 only at the end (for gzip data, after the last member checked).
  Result<std::size_t> read_some(std::uint8_t* data, std::size_t size);
  // For gzip data decompressed ahead, up to `size` of the next bytes where they are (0 only
  // at the end), valid until the next call that reads or moves the source; nothing where
  // the source does not lend its bytes (read_some copies them).
  Result<std::optional<Lent>> lend(std::size_t size);
  // Exactly `size` bytes; an early end is io_eof().
  Status read_exact(std::uint8_t* data, std::size_t size);
  // Moves to byte `offset`. Gzip data skips forward by decompressing and goes back by
  // starting the stream again at the file's first byte; at most `scratch_size` bytes of
  // `scratch` are used for the skipped bytes. Past the end, reads return the end.
  Status seek(std::uint64_t offset, std::uint8_t* scratch, std::size_t scratch_size);
  // Reads to the end and returns the size in bytes: the file's size, or the decompressed
  // size of gzip data (which is known only once the stream has been read to its end).
  Result<std::uint64_t> size_to_end();
  // Bytes that reservations may plan for: the file's size, or the length gzip data states
  // for its last member (modulo 2^32), at most four times the compressed size. Never
  // more than a hint.
  std::uint64_t size_hint();
  // The size that memory estimates plan for, asked again as the read goes: the file's
  // size; for gzip data in a regular file, the length its last member states (see
  // expected_gzip_size in gzip_size.hpp), checked against what has been read so far; 0
  // when unknown.
  std::uint64_t expected_size();
  // What a buffer for reading it all may be sized for: the file's size, or for gzip data
  // the larger of its stated length and its compressed size; 0 when unknown.
  std::uint64_t bytes_hint();

 private:
  // Whether gzip data is decompressed ahead: starts the thread at the first call.
  bool inflating_ahead();
  Result<std::size_t> inflate_some(std::uint8_t* data, std::size_t size);
  std::uint64_t inflated_position() const noexcept;

  File file_;
  std::unique_ptr<Inflater> inflater_;
  // Decompression ahead of the reader, started at the first read; stopped to go back.
  std::unique_ptr<InflateAhead> ahead_;
  bool may_inflate_ahead_ = false;
  WhileWaiting* while_waiting_ = nullptr;
  std::uint64_t size_hint_ = 0;
  std::uint64_t compressed_size_ = 0;
  std::optional<std::uint32_t> stated_size_;  // the last member's ISIZE
  // The first bytes of a file that is not gzip data, read to recognise it.
  std::uint8_t prefix_[2] = {};
  std::uint8_t prefix_len_ = 0;
  std::uint8_t prefix_pos_ = 0;
};

// Reads 512-byte sectors in order through a large buffer, so that a recording costs one
// system call per megabyte, not one per sector. next() behaves exactly like reading a
// sector at a time: a clean end at a sector boundary is "no sector"; an end inside a
// sector is io_eof().
class SectorReader {
 public:
  static constexpr std::size_t kDefaultBuffer = std::size_t{1} << 20;

  explicit SectorReader(Source source, std::size_t buffer_bytes = kDefaultBuffer);

  // The next sector (512 bytes, valid until the next call), or nullptr at a clean end.
  Result<const std::uint8_t*> next();
  // Whether a whole sector follows.
  Result<bool> has_sector();
  // Positions the reader at `offset`, drops what was buffered and lifts the read-ahead limit.
  Status seek(std::uint64_t offset);
  // Reads ahead no further than `bytes` beyond the current position (a planned range);
  // sectors past it are still read when asked for, one at a time.
  void limit_read_ahead(std::uint64_t bytes) noexcept { ahead_limit_ = bytes; }

  Source& source() noexcept { return source_; }

 private:
  Status refill();

  Source source_;
  std::size_t cap_;
  std::unique_ptr<std::uint8_t[]> buf_;
  // The bytes read: buf_, or bytes the source lent.
  const std::uint8_t* data_ = nullptr;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::uint64_t ahead_limit_ = UINT64_MAX;
  bool eof_ = false;
};

// Ends a read of gzip data: the stream is read to its end, so that a failure of the
// compressed data is reported whatever the read found, and, with `size_rules`, the
// decompressed size is checked like a file's size before the read's own outcome
// (`outcome`) is returned. For a plain file the outcome is returned unchanged.
Status conclude(Source& source, Status outcome, bool size_rules);

template <class T>
Result<T> conclude(Source& source, Result<T> outcome, bool size_rules) {
  if (!source.compressed()) return outcome;
  Status s = outcome.ok() ? Status{} : Status(std::move(outcome).error());
  TG_TRY(conclude(source, std::move(s), size_rules));
  return outcome;
}

// The number of data blocks of a recording of `size` bytes, or the error its size gives:
// "File too small to be a valid CWA file", "Incomplete CWA data block".
Result<std::uint64_t> data_blocks_in(std::uint64_t size);

}  // namespace tiltgram
