#include "packet/source.hpp"

#include <zlib.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "errors/messages.hpp"

namespace tiltgram {

namespace {

constexpr std::uint8_t kGzipMagic[2] = {0x1f, 0x8b};
// Compressed bytes read per read() call.
constexpr std::size_t kCompressedBuffer = std::size_t{256} << 10;

CwaError gzip_error(std::string_view what) {
  return CwaError::message(msg::kInvalidGzipPrefix + std::string(what));
}

}  // namespace

// A zlib inflate stream over the compressed file, member after member.
class Inflater {
 public:
  Inflater() : in_(new std::uint8_t[kCompressedBuffer]) {
    std::memset(&zs_, 0, sizeof zs_);
    // 16 + 15: gzip wrapping only, the largest window.
    const int rc = inflateInit2(&zs_, 16 + MAX_WBITS);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) internal_failure("inflateInit2 failed");
  }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;
  ~Inflater() { inflateEnd(&zs_); }

  // Back to the first member, with `n` of its first bytes already read (the caller moves
  // the file behind them).
  void restart(const std::uint8_t* head, std::size_t n) {
    inflateReset(&zs_);
    if (n > 0) std::memcpy(in_.get(), head, n);
    zs_.next_in = in_.get();
    zs_.avail_in = static_cast<uInt>(n);
    file_eof_ = false;
    between_members_ = false;
    finished_ = false;
    position_ = 0;
  }

  Result<std::size_t> read_some(File& file, std::uint8_t* data, std::size_t size) {
    if (failure_) return *failure_;
    if (finished_ || size == 0) return std::size_t{0};
    Result<std::size_t> r = inflate_some(file, data, size < UINT_MAX ? size : UINT_MAX);
    if (!r.ok()) {
      failure_ = r.error();
      return std::move(r).error();
    }
    position_ += r.value();
    return r;
  }

  std::uint64_t position() const noexcept { return position_; }
  bool finished() const noexcept { return finished_; }

 private:
  // Reads more compressed bytes behind the unread ones.
  Status fill(File& file) {
    if (zs_.avail_in > 0 && zs_.next_in != in_.get())
      std::memmove(in_.get(), zs_.next_in, zs_.avail_in);
    zs_.next_in = in_.get();
    TG_ASSIGN_OR_RETURN(std::size_t n,
                        file.read_some(in_.get() + zs_.avail_in, kCompressedBuffer - zs_.avail_in));
    if (n == 0) file_eof_ = true;
    zs_.avail_in += static_cast<uInt>(n);
    return {};
  }

  Result<std::size_t> inflate_some(File& file, std::uint8_t* data, std::size_t size) {
    zs_.next_out = data;
    zs_.avail_out = static_cast<uInt>(size);
    while (zs_.avail_out == size) {
      if (between_members_) {
        // Another member, or the end: anything else after a member is not gzip data.
        while (zs_.avail_in < 2 && !file_eof_) TG_TRY(fill(file));
        if (zs_.avail_in == 0) {
          finished_ = true;
          return std::size_t{0};
        }
        if (zs_.avail_in < 2 || std::memcmp(zs_.next_in, kGzipMagic, 2) != 0)
          return gzip_error(msg::kGzipAfterLastMember);
        inflateReset(&zs_);
        between_members_ = false;
      }
      if (zs_.avail_in == 0 && !file_eof_) TG_TRY(fill(file));
      const bool input_left = zs_.avail_in > 0;
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      switch (rc) {
        case Z_STREAM_END:
          between_members_ = true;
          break;
        case Z_OK:
        case Z_BUF_ERROR:
          // No progress with every compressed byte read: the stream stops inside a member.
          if (file_eof_ && !input_left && zs_.avail_out == size)
            return gzip_error(msg::kGzipEndsEarly);
          break;
        case Z_MEM_ERROR:
          throw std::bad_alloc();
        case Z_DATA_ERROR:
        case Z_NEED_DICT:
        default: {
          const std::string_view what = zs_.msg != nullptr ? zs_.msg : "corrupt compressed data";
          if (what == "incorrect data check") return gzip_error(msg::kGzipCrcMismatch);
          if (what == "incorrect length check") return gzip_error(msg::kGzipLengthMismatch);
          return gzip_error(what);
        }
      }
    }
    return size - zs_.avail_out;
  }

  z_stream zs_;
  std::unique_ptr<std::uint8_t[]> in_;
  bool file_eof_ = false;
  bool between_members_ = false;
  bool finished_ = false;
  std::uint64_t position_ = 0;
  std::optional<CwaError> failure_;
};

Source::Source() noexcept = default;
Source::Source(Source&& o) noexcept = default;
Source& Source::operator=(Source&& o) noexcept = default;
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
    s.inflater_ = std::make_unique<Inflater>();
    s.inflater_->restart(head, got);
  } else {
    std::memcpy(s.prefix_, head, got);
    s.prefix_len_ = static_cast<std::uint8_t>(got);
  }
  return s;
}

Result<std::size_t> Source::read_some(std::uint8_t* data, std::size_t size) {
  if (inflater_) return inflater_->read_some(file_, data, size);
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
  if (offset < inflater_->position()) {
    TG_TRY(file_.seek(0));
    inflater_->restart(nullptr, 0);
  }
  while (inflater_->position() < offset) {
    const std::uint64_t left = offset - inflater_->position();
    TG_ASSIGN_OR_RETURN(std::size_t n,
                        inflater_->read_some(file_, scratch,
                                             left < scratch_size ? static_cast<std::size_t>(left)
                                                                 : scratch_size));
    if (n == 0) break;
  }
  return {};
}

Result<std::uint64_t> Source::size_to_end() {
  if (!inflater_) return file_.size();
  auto scratch = std::make_unique<std::uint8_t[]>(kCompressedBuffer);
  for (;;) {
    TG_ASSIGN_OR_RETURN(std::size_t n, inflater_->read_some(file_, scratch.get(), kCompressedBuffer));
    if (n == 0) return inflater_->position();
  }
}

std::uint64_t Source::size_hint() {
  Result<std::uint64_t> size = file_.size();
  if (!size.ok()) return 0;
  if (!inflater_) return size.value();
  std::uint8_t isize[4];
  if (size.value() < 18 || !file_.read_exact_at(size.value() - 4, isize, 4).ok()) return 0;
  const std::uint64_t stated = std::uint64_t{isize[0]} | std::uint64_t{isize[1]} << 8 |
                               std::uint64_t{isize[2]} << 16 | std::uint64_t{isize[3]} << 24;
  const std::uint64_t bound = size.value() * 4;
  return stated < bound ? stated : bound;
}

SectorReader::SectorReader(Source source, std::size_t buffer_bytes)
    : source_(std::move(source)),
      buf_(new std::uint8_t[buffer_bytes]),
      cap_(buffer_bytes) {}

Status SectorReader::refill() {
  // Keep the partial sector that is left and read behind it.
  std::size_t avail = len_ - pos_;
  if (avail > 0 && pos_ > 0) std::memmove(buf_.get(), buf_.get() + pos_, avail);
  pos_ = 0;
  len_ = avail;
  while (len_ < kSectorSize && !eof_) {
    std::size_t want = cap_ - len_;
    if (ahead_limit_ < want) want = static_cast<std::size_t>(ahead_limit_);
    if (want < kSectorSize - len_) want = kSectorSize - len_;
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
  const std::uint8_t* s = buf_.get() + pos_;
  pos_ += kSectorSize;
  return s;
}

Result<bool> SectorReader::has_sector() {
  if (len_ - pos_ < kSectorSize) TG_TRY(refill());
  return len_ - pos_ >= kSectorSize;
}

Status SectorReader::seek(std::uint64_t offset) {
  pos_ = len_ = 0;
  eof_ = false;
  ahead_limit_ = UINT64_MAX;
  return source_.seek(offset, buf_.get(), cap_);
}

Result<std::uint64_t> data_blocks_in(std::uint64_t size) {
  if (size < kHeaderSize) return CwaError::message(msg::kFileTooSmall);
  if ((size - kHeaderSize) % kSectorSize != 0)
    return CwaError::message(msg::kIncompleteBlock);
  return (size - kHeaderSize) / kSectorSize;
}

Status conclude(Source& source, Status outcome, bool size_rules) {
  if (!source.compressed()) return outcome;
  TG_ASSIGN_OR_RETURN(std::uint64_t size, source.size_to_end());
  if (size_rules) TG_TRY(data_blocks_in(size));
  return outcome;
}

}  // namespace tiltgram
