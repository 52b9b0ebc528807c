#include "packet/file.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace tiltgram {

namespace {
// Set once at module initialisation, before any call can read it.
InterruptCheck interrupt_check = nullptr;
thread_local bool interrupt_check_off = false;
thread_local bool reads_cancellable = false;

// Runs `call` (a system call returning -1 with errno on failure) until it is not
// interrupted, or the interrupt check says stop; the result is the call's, or -1 with
// errno EINTR when the check stopped it.
template <class Call>
auto retry_interrupted(Call&& call, Status& stopped) {
  for (;;) {
    const auto r = call();
    if (r >= 0 || errno != EINTR) return r;
    if (Status st = check_interrupt(); !st.ok()) {
      stopped = std::move(st);
      errno = EINTR;
      return r;
    }
  }
}
}  // namespace

void set_interrupt_check(InterruptCheck check) noexcept { interrupt_check = check; }

Status check_interrupt() {
  return interrupt_check != nullptr && !interrupt_check_off ? interrupt_check() : Status();
}

NoInterruptCheck::NoInterruptCheck() noexcept : was_(std::exchange(interrupt_check_off, true)) {}
NoInterruptCheck::~NoInterruptCheck() { interrupt_check_off = was_; }

CancellableReads::CancellableReads() noexcept : was_(std::exchange(reads_cancellable, true)) {}
CancellableReads::~CancellableReads() { reads_cancellable = was_; }

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
  Status stopped;
  const int fd = retry_interrupted([&] { return ::open(p.c_str(), O_RDONLY | O_CLOEXEC); }, stopped);
  if (!stopped.ok()) return std::move(stopped).error();
  if (fd < 0) return CwaError::io(errno);
  return File(fd);
}

Result<File> File::create(std::string_view path) {
  TG_TRY(check_path(path));
  std::string p(path);
  Status stopped;
  const int fd = retry_interrupted(
      [&] { return ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666); }, stopped);
  if (!stopped.ok()) return std::move(stopped).error();
  if (fd < 0) return CwaError::io(errno);
  return File(fd);
}

Result<std::size_t> File::read_some(int fd, std::uint8_t* data, std::size_t size) {
  Status stopped;
  const ssize_t n = retry_interrupted(
      [&] {
        if (!reads_cancellable) return ::read(fd, data, size);
        int old;
        ::pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
        const ssize_t r = ::read(fd, data, size);  // a cancellation unwinds from here
        ::pthread_setcancelstate(old, nullptr);
        return r;
      },
      stopped);
  if (!stopped.ok()) return std::move(stopped).error();
  if (n < 0) return CwaError::io(errno);
  return static_cast<std::size_t>(n);
}

Status File::read_exact_at(std::uint64_t offset, std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    Status stopped;
    const ssize_t n = retry_interrupted(
        [&] { return ::pread(fd_, data, size, static_cast<off_t>(offset)); }, stopped);
    if (!stopped.ok()) return std::move(stopped).error();
    if (n < 0) return CwaError::io(errno);
    if (n == 0) return CwaError::io_eof();
    data += n;
    size -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return {};
}

Status File::write_all(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    Status stopped;
    const ssize_t n = retry_interrupted([&] { return ::write(fd_, data, size); }, stopped);
    if (!stopped.ok()) return std::move(stopped).error();
    if (n < 0) return CwaError::io(errno);
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

}  // namespace tiltgram
