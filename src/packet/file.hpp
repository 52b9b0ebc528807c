// Files and the buffered sector reader shared by every reader and writer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "errors/error.hpp"

namespace tiltgram {

inline constexpr std::size_t kSectorSize = 512;
inline constexpr std::size_t kHeaderSize = 1024;

// What a system call that a signal interrupted (EINTR) does before it is retried. A read
// of a FIFO without a writer, a stalled pipe or a slow network file blocks until a signal
// comes; the check then lets the caller's signal handlers run (the binding installs one
// that runs the interpreter's), and an error from it ends the call instead of the retry.
// Without an installed check, and while it returns success, the call is retried.
using InterruptCheck = Status (*)();
// Installs the check for the whole process (once, before any call; nullptr removes it).
void set_interrupt_check(InterruptCheck check) noexcept;
// Runs the installed check: success to retry, or the error to stop with.
Status check_interrupt();

// A move-only file descriptor. Opens, reads and writes retry on EINTR after
// check_interrupt(); the destructor closes silently, the success path of a writer calls
// close() and checks it.
class File {
 public:
  File() = default;
  File(File&& o) noexcept;
  File& operator=(File&& o) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens read-only. A path with a NUL byte is refused, never opened as a shorter path.
  static Result<File> open_read(std::string_view path);
  // Creates or truncates for writing, permission bits 0666 before the umask.
  static Result<File> create(std::string_view path);

  bool is_open() const noexcept { return fd_ >= 0; }
  int fd() const noexcept { return fd_; }

  // One read request: the number of bytes read, 0 at the end of the file.
  Result<std::size_t> read_some(std::uint8_t* data, std::size_t size);
  // Reads exactly `size` bytes; an early end of file is io_eof().
  Status read_exact(std::uint8_t* data, std::size_t size);
  // Reads exactly `size` bytes at `offset` without moving the file position.
  Status read_exact_at(std::uint64_t offset, std::uint8_t* data, std::size_t size);
  // Writes all bytes.
  Status write_all(const std::uint8_t* data, std::size_t size);
  Status seek(std::uint64_t offset);
  Result<std::uint64_t> size();
  // Closes and reports the error of close().
  Status close();

 private:
  explicit File(int fd) noexcept : fd_(fd) {}
  int fd_ = -1;
};

// Returns the I/O error for a path that contains a NUL byte, or nothing.
Status check_path(std::string_view path);

// Reads 512-byte sectors in file order through a large buffer, so that a recording costs
// one system call per megabyte, not one per sector. next() behaves exactly like reading a
// sector at a time: a clean end of file at a sector boundary is "no sector"; an end of file
// inside a sector is io_eof().
class SectorReader {
 public:
  static constexpr std::size_t kDefaultBuffer = std::size_t{1} << 20;

  explicit SectorReader(File file, std::size_t buffer_bytes = kDefaultBuffer);

  // The next sector (512 bytes, valid until the next call), or nullptr at a clean end of file.
  Result<const std::uint8_t*> next();
  // Positions the file at `offset`, drops what was buffered and lifts the read-ahead limit.
  Status seek(std::uint64_t offset);
  // Reads ahead no further than `bytes` beyond the current position (a planned range);
  // sectors past it are still read when asked for, one at a time.
  void limit_read_ahead(std::uint64_t bytes) noexcept { ahead_limit_ = bytes; }

  File& file() noexcept { return file_; }

 private:
  Status refill();

  File file_;
  std::unique_ptr<std::uint8_t[]> buf_;
  std::size_t cap_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::uint64_t ahead_limit_ = UINT64_MAX;
  bool eof_ = false;
};

}  // namespace tiltgram
