#include "packet/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace tiltgram {

File::File(File&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}

File& File::operator=(File&& o) noexcept {
  if (this != &o) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(o.fd_, -1);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Status check_path(std::string_view path) {
  if (path.find('\0') != std::string_view::npos)
    return CwaError::io_description("file name contained an unexpected NUL byte");
  return {};
}


Result<File> File::open_read(std::string_view path) {
  TG_TRY(check_path(path));
  std::string p(path);
  int fd;
  do {
    fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return CwaError::io(errno);
  return File(fd);
}

Result<File> File::create(std::string_view path) {
  TG_TRY(check_path(path));
  std::string p(path);
  int fd;
  do {
    fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return CwaError::io(errno);
  return File(fd);
}

Result<std::size_t> File::read_some(std::uint8_t* data, std::size_t size) {
  for (;;) {
    ssize_t n = ::read(fd_, data, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return CwaError::io(errno);
  }
}

Status File::read_exact(std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    TG_ASSIGN_OR_RETURN(std::size_t n, read_some(data, size));
    if (n == 0) return CwaError::io_eof();
    data += n;
    size -= n;
  }
  return {};
}

Status File::read_exact_at(std::uint64_t offset, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::pread(fd_, data, size, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return CwaError::io(errno);
    }
    if (n == 0) return CwaError::io_eof();
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Status File::write_all(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return CwaError::io(errno);
    }
    if (n == 0) return CwaError::io_description("failed to write whole buffer");
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return {};
}

Status File::seek(std::uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0) return CwaError::io(errno);
  return {};
}

Result<std::uint64_t> File::size() {
  struct stat st;
  if (::fstat(fd_, &st) != 0) return CwaError::io(errno);
  return static_cast<std::uint64_t>(st.st_size);
}

Status File::close() {
  int fd = std::exchange(fd_, -1);
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return CwaError::io(errno);
  return {};
}

SectorReader::SectorReader(File file, std::size_t buffer_bytes)
    : file_(std::move(file)),
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
    TG_ASSIGN_OR_RETURN(std::size_t n, file_.read_some(buf_.get() + len_, want));
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

Status SectorReader::seek(std::uint64_t offset) {
  pos_ = len_ = 0;
  eof_ = false;
  ahead_limit_ = UINT64_MAX;
  return file_.seek(offset);
}

}  // namespace tiltgram
