// How much memory a read may still fill, and the guard that refuses a result that will not
// fit before it is filled.
//
// Columns reserve address space freely (pages never written cost nothing), so reserving
// never fails a read. What fails is filling: touching more pages than the machine or the
// process's memory cgroup can hold ends the process (the OOM killer) or swaps the machine
// to a halt. A FillGuard is told, as the result grows, how many bytes it will hold once
// the next step is done (or, better, once the read is done: the caller's estimate), and
// raises OutOfMemory when the part not yet in memory would leave less than a reserve of
// what is available (see reserve_for); checks cost a few small file reads and are spaced
// so that a read makes only a handful of them.
#pragma once

#include <cstdint>
#include <functional>
#include <new>
#include <optional>
#include <string>

#include "errors/error.hpp"

namespace tiltgram {

inline constexpr std::uint64_t kNoMemoryLimit = UINT64_MAX;

// Reads a whole small text file (a /proc or /sys/fs/cgroup entry); nothing when it cannot.
using ReadTextFile = std::function<std::optional<std::string>(const std::string& path)>;

// Bytes the process can still fill: the smaller of the machine's MemAvailable + SwapFree
// (/proc/meminfo) and, for the process's memory cgroup and each of its ancestors up to
// the mount, limit − usage + the file cache it could reclaim (v2: memory.max,
// memory.current, memory.stat active_file + inactive_file; v1: memory.limit_in_bytes,
// memory.usage_in_bytes, memory.stat total_active_file + total_inactive_file). The
// cgroups are found through /proc/self/cgroup and /proc/self/mountinfo. A source that is
// missing or unreadable sets no limit; kNoMemoryLimit when none does.
std::uint64_t available_memory(const ReadTextFile& read);
std::uint64_t available_memory();

// "3.9 GB", "512.0 MB", "12.3 kB", "17 bytes" (powers of 1000).
std::string byte_text(std::uint64_t bytes);
// "1,008,000".
std::string count_text(std::uint64_t n);

// What a read leaves free for the rest of the process while its result grows to `total`
// bytes. A result is refused rather than filled into the last of the memory because a
// process whose cgroup is full is killed outright, not told: after the rows are filled
// come pandas' frame around them (small, but the first frame of a process imports pandas:
// some 60 MB), the read's own buffers (up to 20 MB: the decompressing thread's ring, a
// CSV writer's 16 MiB), and the page tables of the result (1/512 of it); meanwhile the
// file's page cache, charged to the same cgroup, is reclaimed only in batches. So: 96 MiB,
// and 1/32 of the result for the page tables and the reclaim's slack.
inline constexpr std::uint64_t kReserveBase = std::uint64_t{96} << 20;
inline constexpr std::uint64_t reserve_for(std::uint64_t total) noexcept {
  return kReserveBase + total / 32;
}

class FillGuard {
 public:
  // Names what a result of `total` bytes holds, for the MemoryError text: "1,008,000
  // blocks of samples". The text gives the rows and their size before it: "3.9 GB
  // (120,960,000 rows of 32 bytes) for 1,008,000 blocks of samples", with the row size
  // last set by row_bytes() (every total the guard is given is whole rows of it).
  using Describe = std::function<std::string(std::uint64_t total)>;
  // Results below this size are never checked.
  static constexpr std::uint64_t kUnchecked = std::uint64_t{64} << 20;

  explicit FillGuard(Describe describe,
                     std::function<std::uint64_t()> available = [] { return available_memory(); });

  void row_bytes(std::uint64_t bytes) noexcept { row_bytes_ = bytes > 0 ? bytes : 1; }
  // The result will hold `total` bytes once the next step is done, of which `backed` are
  // in memory already (written, or backed ahead of writing). Throws OutOfMemory when the
  // rest and the reserve are more than the available memory.
  void expect(std::uint64_t total, std::uint64_t backed) {
    if (total > allowed_) check(total, backed);
  }
  // The same question, answered instead of thrown.
  bool fits(std::uint64_t total, std::uint64_t backed) {
    std::uint64_t available;
    return total <= allowed_ || admit(total, backed, available);
  }
  // Whether `total` bytes passed a check (so that backing them ahead of writing is safe).
  bool allows(std::uint64_t total) const noexcept { return total <= allowed_; }
  // Throws the OutOfMemory for an allocation the system refused while the result was to
  // hold `total` bytes (address space exhausted, or an overcommit limit).
  [[noreturn]] void refused(std::uint64_t total) const;
  // Runs `body`, turning an allocation failure without a text into refused(`total()`).
  template <class Body, class Total>
  decltype(auto) run(Body&& body, Total&& total) const {
    try {
      return body();
    } catch (const OutOfMemory&) {
      throw;
    } catch (const std::bad_alloc&) {
      refused(total());
    }
  }

 private:
  void check(std::uint64_t total, std::uint64_t backed);
  // Reads the available memory into `available`; when the rest of `total` fits in it,
  // moves the next check further and returns true.
  bool admit(std::uint64_t total, std::uint64_t backed, std::uint64_t& available);

  std::string what(std::uint64_t total) const;

  Describe describe_;
  std::function<std::uint64_t()> available_;
  std::uint64_t allowed_ = kUnchecked;
  std::uint64_t row_bytes_ = 1;
};

}  // namespace tiltgram
