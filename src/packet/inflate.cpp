#include "packet/inflate.hpp"

#include <zlib.h>
#ifndef TILTGRAM_HAVE_ISAL
#define TILTGRAM_HAVE_ISAL 0
#endif
#if TILTGRAM_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#endif

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "errors/messages.hpp"
#include "packet/file.hpp"

namespace tiltgram {

namespace {

constexpr std::uint8_t kGzipMagic[2] = {0x1f, 0x8b};
// Bytes that zlib, inflating a member again, inflates at a time to drop them.
constexpr std::size_t kSkipBuffer = std::size_t{64} << 10;

CwaError gzip_error(std::string_view what) {
  return CwaError::format(msg::kInvalidGzipPrefix + std::string(what));
}

InflaterKind from_environment() noexcept {
  const char* v = std::getenv("TILTGRAM_INFLATE");
  if (v != nullptr && std::strcmp(v, "zlib") == 0) return InflaterKind::kZlib;
  return isal_linked() ? InflaterKind::kIsal : InflaterKind::kZlib;
}

// -1 until set_inflater() is called: the environment's choice.
std::atomic<int> inflater_set{-1};

}  // namespace

bool isal_linked() noexcept { return TILTGRAM_HAVE_ISAL != 0; }

const char* inflater_name(InflaterKind kind) noexcept {
  return kind == InflaterKind::kIsal ? "isal" : "zlib";
}

InflaterKind chosen_inflater() noexcept {
  static const InflaterKind from_env = from_environment();
  const int set = inflater_set.load(std::memory_order_relaxed);
  return set < 0 ? from_env : static_cast<InflaterKind>(set);
}

void set_inflater(InflaterKind kind) noexcept {
  if (!isal_linked()) kind = InflaterKind::kZlib;
  inflater_set.store(static_cast<int>(kind), std::memory_order_relaxed);
}

// zlib's stream, gzip wrapping only (16 + 15: the largest window).
struct Inflater::Zlib {
  z_stream zs;
  std::unique_ptr<std::uint8_t[]> skip;  // made when a member is inflated again

  Zlib() {
    std::memset(&zs, 0, sizeof zs);
    const int rc = inflateInit2(&zs, 16 + MAX_WBITS);
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK) internal_failure("inflateInit2 failed");
  }
  ~Zlib() { inflateEnd(&zs); }

  // The text of a failed inflate() call: zlib's own words, but for the member checks.
  CwaError failure(int rc) const {
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    const std::string_view what = zs.msg != nullptr ? zs.msg : "corrupt compressed data";
    if (what == "incorrect data check") return gzip_error(msg::kGzipCrcMismatch);
    if (what == "incorrect length check") return gzip_error(msg::kGzipLengthMismatch);
    return gzip_error(what);
  }
};

#if TILTGRAM_HAVE_ISAL
struct Inflater::Isal {
  inflate_state st;
  Isal() { isal_inflate_init(&st); }
};
#else
struct Inflater::Isal {};
#endif

Inflater::Inflater(std::size_t buffer_bytes, bool rereadable)
    : zlib_(std::make_unique<Zlib>()), in_(new std::uint8_t[buffer_bytes]), in_size_(buffer_bytes) {
  if (rereadable && chosen_inflater() == InflaterKind::kIsal) isal_ = std::make_unique<Isal>();
}

Inflater::~Inflater() = default;

void Inflater::restart(const std::uint8_t* head, std::size_t n) {
  if (n > 0) std::memcpy(in_.get(), head, n);
  in_offset_ = 0;
  next_ = in_.get();
  avail_ = n;
  file_eof_ = false;
  between_members_ = false;
  finished_ = false;
  position_ = 0;
  start_member();
}

void Inflater::start_member() {
  inflateReset(&zlib_->zs);
  stage_ = isal_ ? Stage::kZlibHeader : Stage::kZlibMember;
  member_offset_ = in_offset_ + static_cast<std::uint64_t>(next_ - in_.get());
  member_out_ = 0;
  skip_ = 0;
}

Result<std::size_t> Inflater::read_some(int fd, std::uint8_t* data, std::size_t size) {
  if (failure_) return *failure_;
  if (finished_ || size == 0) return std::size_t{0};
  Result<std::size_t> r = inflate_some(fd, data, size < UINT_MAX ? size : UINT_MAX);
  if (!r.ok()) {
    failure_ = r.error();
    return std::move(r).error();
  }
  position_ += r.value();
  return r;
}

Status Inflater::fill(int fd) {
  if (avail_ > 0 && next_ != in_.get()) std::memmove(in_.get(), next_, avail_);
  in_offset_ += static_cast<std::uint64_t>(next_ - in_.get());
  next_ = in_.get();
  TG_ASSIGN_OR_RETURN(std::size_t n, File::read_some(fd, in_.get() + avail_, in_size_ - avail_));
  if (n == 0) file_eof_ = true;
  avail_ += n;
  return {};
}

Result<std::size_t> Inflater::inflate_some(int fd, std::uint8_t* data, std::size_t size) {
  for (;;) {
    if (between_members_) {
      // Another member, or the end: anything else after a member is not gzip data.
      while (avail_ < 2 && !file_eof_) TG_TRY(fill(fd));
      if (avail_ == 0) {
        finished_ = true;
        return std::size_t{0};
      }
      if (avail_ < 2 || std::memcmp(next_, kGzipMagic, 2) != 0)
        return gzip_error(msg::kGzipAfterLastMember);
      between_members_ = false;
      start_member();
    }
    if (avail_ == 0 && !file_eof_) TG_TRY(fill(fd));
    if (stage_ == Stage::kZlibHeader) {
      TG_TRY(header_step());
      continue;
    }
    Result<std::size_t> n =
        stage_ == Stage::kIsalMember ? isal_step(fd, data, size) : zlib_step(data, size);
    if (!n.ok() || n.value() > 0) return n;
  }
}

// One inflate() call over the member, into `data` or, while the bytes that ISA-L gave
// already are dropped, into the skip buffer.
Result<std::size_t> Inflater::zlib_step(std::uint8_t* data, std::size_t size) {
  z_stream& zs = zlib_->zs;
  std::uint8_t* out = data;
  if (skip_ > 0) {
    if (!zlib_->skip) zlib_->skip.reset(new std::uint8_t[kSkipBuffer]);
    out = zlib_->skip.get();
    size = skip_ < kSkipBuffer ? static_cast<std::size_t>(skip_) : kSkipBuffer;
  }
  zs.next_in = const_cast<std::uint8_t*>(next_);
  zs.avail_in = static_cast<uInt>(avail_);
  zs.next_out = out;
  zs.avail_out = static_cast<uInt>(size);
  const bool input_left = avail_ > 0;
  const int rc = inflate(&zs, Z_NO_FLUSH);
  next_ = zs.next_in;
  avail_ = zs.avail_in;
  const std::size_t n = size - zs.avail_out;
  switch (rc) {
    case Z_STREAM_END:
      between_members_ = true;
      break;
    case Z_OK:
    case Z_BUF_ERROR:
      // No progress with every compressed byte read: the stream stops inside a member.
      if (file_eof_ && !input_left && n == 0) return gzip_error(msg::kGzipEndsEarly);
      break;
    default:
      return zlib_->failure(rc);
  }
  if (skip_ > 0) {
    skip_ -= n;
    // zlib ended a member that ISA-L found longer: never seen, but never silently wrong.
    if (skip_ > 0 && between_members_) return gzip_error("the inflaters disagree");
    return std::size_t{0};
  }
  member_out_ += n;
  return n;
}

// zlib reads the member's header and stops before its first deflate block; ISA-L goes on.
Status Inflater::header_step() {
  z_stream& zs = zlib_->zs;
  std::uint8_t unused;
  zs.next_in = const_cast<std::uint8_t*>(next_);
  zs.avail_in = static_cast<uInt>(avail_);
  zs.next_out = &unused;
  zs.avail_out = 0;
  const bool input_left = avail_ > 0;
  const int rc = inflate(&zs, Z_BLOCK);
  next_ = zs.next_in;
  avail_ = zs.avail_in;
  if (rc != Z_OK && rc != Z_BUF_ERROR) return zlib_->failure(rc);
  // data_type: 128 when zlib stands before a block, plus the bits it holds (none after a
  // header, which ends on a byte).
  if ((zs.data_type & 128) != 0) {
#if TILTGRAM_HAVE_ISAL
    if ((zs.data_type & 63) == 0) {
      isal_inflate_reset(&isal_->st);
      isal_->st.crc_flag = ISAL_GZIP_NO_HDR_VER;
      isal_->st.hist_bits = 0;  // the largest window, as zlib's
      stage_ = Stage::kIsalMember;
      return {};
    }
#endif
    stage_ = Stage::kZlibMember;  // zlib holds bits of the member: it inflates it
    return {};
  }
  if (file_eof_ && !input_left) return gzip_error(msg::kGzipEndsEarly);
  return {};
}

#if TILTGRAM_HAVE_ISAL
Result<std::size_t> Inflater::isal_step(int fd, std::uint8_t* data, std::size_t size) {
  inflate_state& st = isal_->st;
  st.next_in = const_cast<std::uint8_t*>(next_);
  st.avail_in = static_cast<std::uint32_t>(avail_);
  st.next_out = data;
  st.avail_out = static_cast<std::uint32_t>(size);
  const bool input_left = avail_ > 0;
  const int state_before = st.block_state;
  const int rc = isal_inflate(&st);
  next_ = st.next_in;
  avail_ = st.avail_in;
  const std::size_t n = size - st.avail_out;
  if (rc != ISAL_DECOMP_OK) {
    // Damaged data, or a CRC-32 or length that does not match: zlib says which.
    TG_TRY(inflate_member_again(fd));
    return std::size_t{0};
  }
  if (st.block_state == ISAL_BLOCK_FINISH) {
    between_members_ = true;
  } else if (file_eof_ && !input_left && n == 0 && st.block_state == state_before) {
    // The file ends inside the member; zlib says where.
    TG_TRY(inflate_member_again(fd));
    return std::size_t{0};
  }
  member_out_ += n;
  return n;
}
#else
Result<std::size_t> Inflater::isal_step(int, std::uint8_t*, std::size_t) {
  return std::size_t{0};  // never: no member is ISA-L's without ISA-L
}
#endif

// zlib inflates the current member again from its first byte, dropping what ISA-L gave.
Status Inflater::inflate_member_again(int fd) {
  if (::lseek(fd, static_cast<off_t>(member_offset_), SEEK_SET) < 0) return CwaError::io(errno);
  in_offset_ = member_offset_;
  next_ = in_.get();
  avail_ = 0;
  file_eof_ = false;
  inflateReset(&zlib_->zs);
  stage_ = Stage::kZlibMember;
  skip_ = member_out_;
  member_out_ = 0;
  return {};
}

}  // namespace tiltgram
