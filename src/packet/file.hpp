// Files, shared by every reader and writer.
#pragma once

#include <cstddef>
#include <cerrno>
#include <cstdint>
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
// Runs the installed check: success to retry, or the error to stop with. On a thread
// that has made a NoInterruptCheck, the calls retry without it.
Status check_interrupt();

// Whether `err` is the stop that check_interrupt() gave (an EINTR that the check ended).
inline bool is_interruption(const CwaError& err) noexcept {
  return err.kind() == ErrorKind::Io && err.os_error() == EINTR;
}

// A long loop's check for a pending signal (Ctrl-C): tick() once per step (a block, a
// buffer) runs check_interrupt() once every `kInterruptEvery` steps. The count is a
// decrement and a branch; the check itself is one atomic load when no signal is pending.
// At the slowest step (a block written as 120 CSV lines, 0.1 to 0.3 ms on a loaded
// machine) 128 steps take some 40 ms at most, well within the half second a Ctrl-C may
// take; at the fastest (a block's metadata, some 50 ns) the check is 1 in 6 µs of work.
inline constexpr std::uint32_t kInterruptEvery = 128;
class InterruptPoll {
 public:
  // Counts a step: true once every kInterruptEvery steps, when check_interrupt() is due.
  // A hot loop writes `if (poll.due()) [[unlikely]] TG_TRY(check_interrupt());`, so no
  // Status is made on the steps between.
  bool due() noexcept {
#ifdef TILTGRAM_NO_INTERRUPT_POLL  // a benchmark's build without the checks
    return false;
#endif
    if (--left_ != 0) [[likely]]
      return false;
    left_ = kInterruptEvery;
    return true;
  }
  Status tick() {
    if (due()) [[unlikely]]
      return check_interrupt();
    return {};
  }

 private:
  std::uint32_t left_ = kInterruptEvery;
};

// For the lifetime of the object, system calls on this thread retry on EINTR without the
// installed check: a worker thread of ours must never run the caller's signal handlers.
class NoInterruptCheck {
 public:
  NoInterruptCheck() noexcept;
  ~NoInterruptCheck();
  NoInterruptCheck(const NoInterruptCheck&) = delete;
  NoInterruptCheck& operator=(const NoInterruptCheck&) = delete;

 private:
  bool was_;
};

// For the lifetime of the object, the read() calls of File::read_some on this thread are
// the thread's only cancellation points (pthread_cancel): a worker thread of ours whose
// read waits on a stalled file system can be stopped there. The thread must disable
// cancellation everywhere else (pthread_setcancelstate), and its frames between the read
// and its start function must let the cancellation's unwinding pass (no noexcept, no
// catch (...) that does not rethrow).
class CancellableReads {
 public:
  CancellableReads() noexcept;
  ~CancellableReads();
  CancellableReads(const CancellableReads&) = delete;
  CancellableReads& operator=(const CancellableReads&) = delete;

 private:
  bool was_;
};

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
  Result<std::size_t> read_some(std::uint8_t* data, std::size_t size) {
    return read_some(fd_, data, size);
  }
  // The same on a descriptor that the caller keeps open (a File that may move meanwhile).
  static Result<std::size_t> read_some(int fd, std::uint8_t* data, std::size_t size);
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

}  // namespace tiltgram
