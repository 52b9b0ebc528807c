#include "errors/error.hpp"

#include <cstring>

namespace tiltgram {

std::string CwaError::description() const {
  if (kind_ == ErrorKind::Io && errno_ != 0) {
    char buf[256];
    // GNU strerror_r returns the message, which may or may not live in buf.
    const char* msg = strerror_r(errno_, buf, sizeof buf);
    return std::string(msg) + " (os error " + std::to_string(errno_) + ")";
  }
  return text_;
}

std::string CwaError::text() const {
  return prefixed_ ? "IO error: " + description() : description();
}

}  // namespace tiltgram
