#include "packet/source.hpp"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "errors/messages.hpp"
#include "packet/gzip_size.hpp"
#include "packet/inflate.hpp"

namespace tiltgram {

namespace {

constexpr std::uint8_t kGzipMagic[2] = {0x1f, 0x8b};
// Compressed bytes read per read() call.
constexpr std::size_t kCompressedBuffer = std::size_t{256} << 10;

std::atomic<bool> inflate_ahead_enabled{true};

// A buffer for a file of `size` bytes (0: unknown): whole pages, no larger than the file
// needs, at most `largest`. A small recording touches little memory.
std::size_t buffer_for(std::uint64_t size, std::size_t largest) {
  constexpr std::uint64_t kPage = 4096;
  if (size == 0 || size >= largest) return largest;
  return static_cast<std::size_t>((size + kPage - 1) / kPage * kPage);
}

}  // namespace

void set_inflate_ahead(bool enabled) noexcept { inflate_ahead_enabled = enabled; }

// Decompresses ahead of the reader in a thread of its own, into a ring of chunks, so that
// inflating and decoding run side by side. The reader sees exactly the bytes, and then the
// end or the failure, that reading the inflater itself in chunk-sized requests would give.
// Only for regular files, whose reads never wait for a writer.
//
// The reader waits for a chunk in slices of kWaitSlice and runs the interrupt check
// between them, so that Ctrl-C is answered while the thread is slow or stalled. Stopping
// the thread sets a flag that it reads before each call of the inflater (at most one
// compressed buffer's work, about a millisecond, from a stop) and cancels it
// (pthread_cancel), which acts only inside its read() of the file: a read waiting on a
// stalled file system (a network mount that does not answer) ends there at once, with the
// thread, rather than when the file system answers. A read in an uninterruptible wait
// of the kernel ends only when the kernel returns, as it would for a signal; a regular
// file's read is otherwise bounded by one compressed buffer (256 KiB).
class InflateAhead {
 public:
  static constexpr std::size_t kMaxChunk = std::size_t{512} << 10;
  static constexpr std::size_t kChunks = 6;
  static constexpr std::chrono::milliseconds kWaitSlice{50};

  // Starts the thread; std::system_error when it cannot be started. A small file gets
  // small chunks: about its compressed size, from 4 KiB to 512 KiB.
  InflateAhead(Inflater& inflater, int fd, std::uint64_t compressed_size)
      : inflater_(inflater), fd_(fd) {
    while (chunk_ < kMaxChunk && chunk_ < compressed_size) chunk_ *= 2;
    for (Chunk& c : ring_) c.bytes.reset(new std::uint8_t[chunk_]);
    // The thread starts with every signal blocked: signals are the caller's thread's.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
      thread_ = std::thread([this] { run(); });
    } catch (...) {
      pthread_sigmask(SIG_SETMASK, &old, nullptr);
      throw;
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  InflateAhead(const InflateAhead&) = delete;
  InflateAhead& operator=(const InflateAhead&) = delete;
  ~InflateAhead() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    stopping_.store(true, std::memory_order_relaxed);
    consumed_.notify_one();
    // Acts only in the thread's read() (see CancellableReads); a thread that has ended
    // or is elsewhere sees the flag.
    ::pthread_cancel(thread_.native_handle());
    thread_.join();
  }

  // `work`, when given, is done while no chunk is ready, before waiting.
  Result<std::size_t> read_some(std::uint8_t* data, std::size_t size, WhileWaiting* work) {
    if (size == 0) return std::size_t{0};
    TG_ASSIGN_OR_RETURN(const Chunk* c, next_chunk(work));
    if (c == nullptr) return std::size_t{0};
    const std::size_t n = size < c->len - used_ ? size : c->len - used_;
    std::memcpy(data, c->bytes.get() + used_, n);
    if (take(*c, n)) hand_back();
    return n;
  }

  // Up to `size` of the next bytes where they are, in the reader's chunk: valid until the
  // next call of read_some or lend, which hands the chunk back once it is used up.
  Result<Lent> lend(std::size_t size, WhileWaiting* work) {
    if (size == 0) return Lent{};
    TG_ASSIGN_OR_RETURN(const Chunk* c, next_chunk(work));
    if (c == nullptr) return Lent{};
    const std::size_t n = size < c->len - used_ ? size : c->len - used_;
    const Lent lent{c->bytes.get() + used_, n};
    lent_all_ = take(*c, n);
    return lent;
  }

  // Bytes handed to the reader.
  std::uint64_t position() const noexcept { return position_; }

 private:
  struct Chunk {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t len = 0;
  };

  // The reader's chunk, waited for (nullptr at the end); a chunk lent whole before is
  // handed back first.
  Result<const Chunk*> next_chunk(WhileWaiting* work) {
    if (lent_all_) {
      lent_all_ = false;
      hand_back();
    }
    std::unique_lock<std::mutex> lock(m_);
    const auto ready = [this] { return filled_ > 0 || ended_; };
    while (work != nullptr && !ready()) {
      lock.unlock();  // the thread goes on meanwhile
      TG_TRY(check_interrupt());
      if (!(*work)()) work = nullptr;
      lock.lock();
    }
    while (!produced_.wait_for(lock, kWaitSlice, ready)) {
      lock.unlock();  // the check may run signal handlers: the thread goes on meanwhile
      TG_TRY(check_interrupt());
      lock.lock();
    }
    if (filled_ == 0) {
      if (out_of_memory_) throw std::bad_alloc();
      if (failure_) return *failure_;
      return static_cast<const Chunk*>(nullptr);
    }
    // The chunk at first_ is the reader's until it is handed back.
    return &ring_[first_];
  }

  // Takes `n` bytes of the reader's chunk; true when that uses it up.
  bool take(const Chunk& c, std::size_t n) noexcept {
    used_ += n;
    position_ += n;
    if (used_ < c.len) return false;
    used_ = 0;
    return true;
  }

  // Gives the reader's chunk back to the thread, to be filled again.
  void hand_back() {
    {
      std::lock_guard<std::mutex> lock(m_);
      first_ = (first_ + 1) % kChunks;
      --filled_;
    }
    consumed_.notify_one();
  }

  void run() {
    NoInterruptCheck no_check;
    // Cancellation only in the file's read(), see the destructor.
    ::pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
    CancellableReads cancellable;
    for (;;) {
      std::size_t slot;
      {
        std::unique_lock<std::mutex> lock(m_);
        consumed_.wait(lock, [this] { return stop_ || filled_ < kChunks; });
        if (stop_) return;
        slot = (first_ + filled_) % kChunks;
      }
      Chunk& c = ring_[slot];
      std::size_t len = 0;
      std::optional<CwaError> failure;
      bool out_of_memory = false, end = false;
      try {
        while (len < chunk_ && !stopping_.load(std::memory_order_relaxed)) {
          Result<std::size_t> r = inflater_.read_some(fd_, c.bytes.get() + len, chunk_ - len);
          if (!r.ok()) {
            failure = std::move(r).error();
            break;
          }
          if (r.value() == 0) {
            end = true;
            break;
          }
          len += r.value();
        }
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
      const bool finished = failure || out_of_memory || end;
      {
        std::lock_guard<std::mutex> lock(m_);
        c.len = len;
        if (len > 0) ++filled_;
        if (finished) {
          ended_ = true;
          failure_ = std::move(failure);
          out_of_memory_ = out_of_memory;
        }
      }
      produced_.notify_one();
      if (finished) return;
    }
  }

  Inflater& inflater_;
  const int fd_;
  std::size_t chunk_ = 4096;
  std::array<Chunk, kChunks> ring_;
  std::mutex m_;
  std::condition_variable produced_, consumed_;
  // Under m_: the reader's chunk, the number of chunks filled from it on, and how the
  // stream ended.
  std::size_t first_ = 0;
  std::size_t filled_ = 0;
  bool stop_ = false;
  bool ended_ = false;
  // stop_, read by the thread between calls of the inflater.
  std::atomic<bool> stopping_{false};
  bool out_of_memory_ = false;
  std::optional<CwaError> failure_;
  // The reader's own: the bytes of its chunk taken, and whether it has lent them all.
  std::size_t used_ = 0;
  bool lent_all_ = false;
  std::uint64_t position_ = 0;
  std::thread thread_;
};

Source::Source() noexcept = default;
Source::Source(Source&& o) noexcept = default;
Source& Source::operator=(Source&& o) noexcept {
  if (this == &o) return *this;
  ahead_.reset();  // its thread reads through this source's descriptor and inflater
  file_ = std::move(o.file_);
  inflater_ = std::move(o.inflater_);
  ahead_ = std::move(o.ahead_);
  may_inflate_ahead_ = o.may_inflate_ahead_;
  while_waiting_ = o.while_waiting_;
  size_hint_ = o.size_hint_;
  stated_size_ = o.stated_size_;
  compressed_size_ = o.compressed_size_;
  std::memcpy(prefix_, o.prefix_, sizeof prefix_);
  prefix_len_ = o.prefix_len_;
  prefix_pos_ = o.prefix_pos_;
  return *this;
}
Source::~Source() = default;

Result<Source> Source::open(std::string_view path) {
  Source s;
  TG_ASSIGN_OR_RETURN(s.file_, File::open_read(path));
  std::uint8_t head[2];
  std::size_t got = 0;
  while (got < sizeof head) {
    TG_ASSIGN_OR_RETURN(std::size_t n, s.file_.read_some(head + got, sizeof head - got));
    if (n == 0) break;
    got += n;
  }
  if (got == sizeof head && std::memcmp(head, kGzipMagic, 2) == 0) {
    struct stat st;
    const bool regular = ::fstat(s.file_.fd(), &st) == 0 && S_ISREG(st.st_mode);
    const std::uint64_t size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
    s.inflater_ = std::make_unique<Inflater>(buffer_for(size, kCompressedBuffer), regular);
    s.inflater_->restart(head, got);
    if (regular) {
      s.may_inflate_ahead_ = inflate_ahead_enabled.load(std::memory_order_relaxed);
      s.compressed_size_ = size;
      // The stated length is read now, before a thread reads the file.
      std::uint8_t isize[4];
      if (size >= 18 && s.file_.read_exact_at(size - 4, isize, 4).ok()) {
        const std::uint64_t stated = std::uint64_t{isize[0]} | std::uint64_t{isize[1]} << 8 |
                                     std::uint64_t{isize[2]} << 16 |
                                     std::uint64_t{isize[3]} << 24;
        s.size_hint_ = stated < size * 4 ? stated : size * 4;
        s.stated_size_ = static_cast<std::uint32_t>(stated);
      }
    }
  } else {
    std::memcpy(s.prefix_, head, got);
    s.prefix_len_ = static_cast<std::uint8_t>(got);
  }
  return s;
}

bool Source::rereadable() const noexcept {
  struct stat st;
  return ::fstat(file_.fd(), &st) == 0 && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) &&
         !S_ISCHR(st.st_mode);
}

bool Source::inflating_ahead() {
  if (!ahead_ && may_inflate_ahead_) {
    try {
      ahead_ = std::make_unique<InflateAhead>(*inflater_, file_.fd(), compressed_size_);
    } catch (const std::system_error&) {
      may_inflate_ahead_ = false;  // no thread to be had: decompress here
    }
  }
  return ahead_ != nullptr;
}

Result<std::size_t> Source::inflate_some(std::uint8_t* data, std::size_t size) {
  if (inflating_ahead()) return ahead_->read_some(data, size, while_waiting_);
  return inflater_->read_some(file_.fd(), data, size);
}

Result<std::optional<Lent>> Source::lend(std::size_t size) {
  if (!inflater_ || !inflating_ahead()) return std::optional<Lent>();
  TG_ASSIGN_OR_RETURN(Lent lent, ahead_->lend(size, while_waiting_));
  return std::optional<Lent>(lent);
}

std::uint64_t Source::inflated_position() const noexcept {
  return ahead_ ? ahead_->position() : inflater_->position();
}

Result<std::size_t> Source::read_some(std::uint8_t* data, std::size_t size) {
  if (inflater_) return inflate_some(data, size);
  if (prefix_pos_ < prefix_len_ && size > 0) {
    std::size_t n = prefix_len_ - prefix_pos_;
    if (n > size) n = size;
    std::memcpy(data, prefix_ + prefix_pos_, n);
    prefix_pos_ = static_cast<std::uint8_t>(prefix_pos_ + n);
    return n;
  }
  return file_.read_some(data, size);
}

Status Source::read_exact(std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    TG_ASSIGN_OR_RETURN(std::size_t n, read_some(data, size));
    if (n == 0) return CwaError::io_eof();
    data += n;
    size -= n;
  }
  return {};
}

Status Source::seek(std::uint64_t offset, std::uint8_t* scratch, std::size_t scratch_size) {
  if (!inflater_) {
    prefix_pos_ = prefix_len_;
    return file_.seek(offset);
  }
  if (offset < inflated_position()) {
    ahead_.reset();
    TG_TRY(file_.seek(0));
    inflater_->restart(nullptr, 0);
  }
  while (inflated_position() < offset) {
    TG_TRY(check_interrupt());
    const std::uint64_t left = offset - inflated_position();
    TG_ASSIGN_OR_RETURN(std::size_t n,
                        inflate_some(scratch, left < scratch_size ? static_cast<std::size_t>(left)
                                                                  : scratch_size));
    if (n == 0) break;
  }
  return {};
}

Result<std::uint64_t> Source::size_to_end() {
  if (!inflater_) return file_.size();
  auto scratch = std::make_unique_for_overwrite<std::uint8_t[]>(kCompressedBuffer);
  for (;;) {
    TG_TRY(check_interrupt());  // once per 256 KiB: nothing beside inflating them
    TG_ASSIGN_OR_RETURN(std::size_t n, inflate_some(scratch.get(), kCompressedBuffer));
    if (n == 0) return inflated_position();
  }
}

std::uint64_t Source::bytes_hint() {
  if (!inflater_) return size_hint();
  if (compressed_size_ == 0) return 0;
  return size_hint_ > compressed_size_ ? size_hint_ : compressed_size_;
}

std::uint64_t Source::expected_size() {
  if (!inflater_) return size_hint();
  if (compressed_size_ == 0 || !stated_size_) return 0;
  // The file's offset is what the inflater has read (ahead of what it has given, by at
  // most its buffer and the thread's ring: small beside the 16 MiB a projection needs).
  const off_t at = ::lseek(file_.fd(), 0, SEEK_CUR);
  return expected_gzip_size(*stated_size_, compressed_size_, inflated_position(),
                            at > 0 ? static_cast<std::uint64_t>(at) : 0);
}

std::uint64_t Source::size_hint() {
  if (inflater_) return size_hint_;
  Result<std::uint64_t> size = file_.size();
  return size.ok() ? size.value() : 0;
}

SectorReader::SectorReader(Source source, std::size_t buffer_bytes)
    : source_(std::move(source)),
      cap_(buffer_for(source_.bytes_hint(), buffer_bytes < kSectorSize ? kSectorSize : buffer_bytes)) {
  buf_.reset(new std::uint8_t[cap_]);
  data_ = buf_.get();
}

Status SectorReader::refill() {
  std::size_t avail = len_ - pos_;
  // Bytes lent by the source are read where they are; only a sector they end inside of is
  // completed in the buffer.
  bool completing = false;
  if (avail == 0 && !eof_) {
    std::size_t want = cap_;
    if (ahead_limit_ < want)
      want = ahead_limit_ > kSectorSize ? static_cast<std::size_t>(ahead_limit_) : kSectorSize;
    TG_ASSIGN_OR_RETURN(std::optional<Lent> lent, source_.lend(want));
    if (lent) {
      pos_ = 0;
      len_ = lent->size;
      ahead_limit_ = ahead_limit_ > len_ ? ahead_limit_ - len_ : 0;
      if (len_ == 0) eof_ = true;
      if (len_ >= kSectorSize || len_ == 0) {
        data_ = len_ > 0 ? lent->data : buf_.get();
        return {};
      }
      data_ = lent->data;
      avail = len_;
    }
  }
  // Keep the partial sector that is left and read behind it.
  if (data_ != buf_.get()) {
    std::memcpy(buf_.get(), data_ + pos_, avail);
    data_ = buf_.get();
    completing = true;
  } else if (avail > 0 && pos_ > 0) {
    std::memmove(buf_.get(), buf_.get() + pos_, avail);
  }
  pos_ = 0;
  len_ = avail;
  while (len_ < kSectorSize && !eof_) {
    std::size_t want = cap_ - len_;
    if (ahead_limit_ < want) want = static_cast<std::size_t>(ahead_limit_);
    if (want < kSectorSize - len_ || completing) want = kSectorSize - len_;
    TG_ASSIGN_OR_RETURN(std::size_t n, source_.read_some(buf_.get() + len_, want));
    if (n == 0) {
      eof_ = true;
      break;
    }
    len_ += n;
    ahead_limit_ = ahead_limit_ > n ? ahead_limit_ - n : 0;
  }
  return {};
}

Result<const std::uint8_t*> SectorReader::next() {
  if (len_ - pos_ < kSectorSize) {
    TG_TRY(refill());
    if (len_ < kSectorSize) {
      if (len_ == 0) return static_cast<const std::uint8_t*>(nullptr);
      return CwaError::io_eof();
    }
  }
  const std::uint8_t* s = data_ + pos_;
  pos_ += kSectorSize;
  return s;
}

Result<bool> SectorReader::has_sector() {
  if (len_ - pos_ < kSectorSize) TG_TRY(refill());
  return len_ - pos_ >= kSectorSize;
}

Status SectorReader::seek(std::uint64_t offset) {
  pos_ = len_ = 0;
  data_ = buf_.get();
  eof_ = false;
  ahead_limit_ = UINT64_MAX;
  return source_.seek(offset, buf_.get(), cap_);
}

Result<std::uint64_t> data_blocks_in(std::uint64_t size) {
  if (size < kHeaderSize) return CwaError::format(msg::kFileTooSmall);
  if ((size - kHeaderSize) % kSectorSize != 0)
    return CwaError::format(msg::kIncompleteBlock);
  return (size - kHeaderSize) / kSectorSize;
}

Status conclude(Source& source, Status outcome, bool size_rules) {
  // An interrupted call stops at once: it does not read the rest of the stream.
  if (!source.compressed() || (!outcome.ok() && is_interruption(outcome.error()))) return outcome;
  TG_ASSIGN_OR_RETURN(std::uint64_t size, source.size_to_end());
  if (size_rules) TG_TRY(data_blocks_in(size));
  return outcome;
}

}  // namespace tiltgram
