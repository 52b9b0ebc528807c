// Fuzz target: the input is a whole file, gzip data or anything else. Its bytes are read
// through the source with each inflater (zlib, and ISA-L where the build links it), which
// must give the same bytes, the same end and the same error; then in two different ways
// (small uneven reads; sectors with a seek back to the start, decompressed ahead in a
// thread of its own or not), which must agree. Where the input is gzip data that decompresses, the
// metadata scan and the whole read of the gzip file must give what they give for its
// decompressed bytes written as a plain file; where it does not decompress, they must fail
// with "Invalid gzip data: ...".
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "package/read/read.hpp"
#include "package/report/timing.hpp"
#include "packet/inflate.hpp"
#include "packet/source.hpp"

using namespace tiltgram;

namespace {

// An in-memory file, named through /proc/self/fd.
struct MemFile {
  int fd = -1;
  std::string path;
  explicit MemFile(const std::uint8_t* data, std::size_t size) {
    fd = memfd_create("fuzz_gzip", MFD_CLOEXEC);
    if (fd < 0) std::abort();
    for (std::size_t done = 0; done < size;) {
      const ssize_t n = write(fd, data + done, size - done);
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
    path = "/proc/self/fd/" + std::to_string(fd);
  }
  ~MemFile() { close(fd); }
};

// The whole stream in reads of 1, 2, 3, ... 700 bytes, then the outcome.
std::vector<std::uint8_t> read_uneven(const std::string& path, std::optional<std::string>& error) {
  std::vector<std::uint8_t> out;
  Result<Source> s = Source::open(path);
  if (!s.ok()) std::abort();
  Source source = std::move(s).value();
  std::uint8_t buf[700];
  for (std::size_t step = 1;; step = step % 700 + 1) {
    Result<std::size_t> n = source.read_some(buf, step);
    if (!n.ok()) {
      error = n.error().text();
      // A failure is kept.
      if (source.read_some(buf, 1).ok()) std::abort();
      return out;
    }
    if (n.value() == 0) break;
    if (n.value() > step) std::abort();
    out.insert(out.end(), buf, buf + n.value());
  }
  Result<std::uint64_t> size = source.size_to_end();
  if (!size.ok() || size.value() != out.size()) std::abort();
  return out;
}

// Sector by sector after reading the first few, seeking back to byte 0 and skipping a
// sector: gives the same bytes from the second sector on.
void check_sectors(const std::string& path, const std::vector<std::uint8_t>& bytes,
                   const std::optional<std::string>& error) {
  Result<Source> s = Source::open(path);
  if (!s.ok()) std::abort();
  SectorReader reader(std::move(s).value(), 4096);
  for (int i = 0; i < 3; ++i)
    if (!reader.next().ok()) break;
  if (!reader.seek(kSectorSize).ok()) return;
  std::size_t at = kSectorSize;
  for (;;) {
    Result<const std::uint8_t*> sector = reader.next();
    if (!sector.ok()) {
      if (error) return;  // bad compressed data: the bytes before it were the same
      if (at < bytes.size() && bytes.size() - at < kSectorSize) return;  // a partial sector
      std::abort();
    }
    if (sector.value() == nullptr) break;
    if (at + kSectorSize > bytes.size()) {
      // Bytes inflated before a failure reach a reader in pieces of its own size: a larger
      // read may be handed a sector beyond where the small reads met the failure. What the
      // two have in common must agree.
      if (!error) std::abort();
      const std::size_t common = at < bytes.size() ? bytes.size() - at : 0;
      if (std::memcmp(sector.value(), bytes.data() + at, common) != 0) std::abort();
      return;
    }
    if (std::memcmp(sector.value(), bytes.data() + at, kSectorSize) != 0) std::abort();
    at += kSectorSize;
  }
  // Bad compressed data fails before the end; nothing is left unread.
  if (error || at < bytes.size()) std::abort();
}

std::string outcome_of_timing(const std::string& path) {
  Result<DataTiming> t = scan_data_timing(path);
  if (!t.ok()) return "error: " + t.error().text();
  return std::to_string(t.value().sample_count) + " " +
         std::to_string(t.value().first_sample_us.value_or(-1)) + " " +
         std::to_string(t.value().last_sample_us.value_or(-1));
}

std::string outcome_of_read(const std::string& path, std::optional<std::uint64_t> start) {
  Result<CwaDataResult> r = read_cwa_data(path, start, std::nullopt, IncludeFlags{});
  if (!r.ok()) return "error: " + r.error().text();
  const CwaDataResult& d = r.value();
  std::string s = std::to_string(d.rows());
  for (std::size_t i = 0; i < d.rows(); ++i) {
    s += ' ';
    s += std::to_string(d.timestamps[i]);
    std::uint32_t bits;
    std::memcpy(&bits, &d.acc_x[i], sizeof bits);
    s += ':' + std::to_string(bits);
  }
  return s;
}

bool starts_with(const std::string& s, std::string_view prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MemFile input(data, size);
  std::optional<std::string> error;
  // The small reads decompress on this thread; the rest, for a quarter of the inputs, in a
  // thread ahead of the reader.
  set_inflate_ahead(false);
  set_inflater(InflaterKind::kZlib);
  const std::vector<std::uint8_t> bytes = read_uneven(input.path, error);
  if (isal_linked()) {
    set_inflater(InflaterKind::kIsal);
    std::optional<std::string> isal_error;
    const std::vector<std::uint8_t> isal_bytes = read_uneven(input.path, isal_error);
    if (error && !isal_error &&
        (*error == "Invalid gzip data: invalid literal/lengths set" ||
         *error == "Invalid gzip data: invalid distances set" ||
         *error == "Invalid gzip data: invalid code lengths set"))
      return 0;  // a Huffman code that leaves bit patterns unused: ISA-L takes it, zlib not
    if (isal_error != error) std::abort();
    // Before a failure each inflater hands over what it inflated: the same bytes, as far
    // as both went.
    const std::size_t common = bytes.size() < isal_bytes.size() ? bytes.size() : isal_bytes.size();
    if ((!error && isal_bytes.size() != bytes.size()) ||
        (common > 0 && std::memcmp(bytes.data(), isal_bytes.data(), common) != 0))
      std::abort();
    // The rest of the checks with one inflater or the other.
    set_inflater(size % 2 == 0 ? InflaterKind::kIsal : InflaterKind::kZlib);
  }
  set_inflate_ahead(size % 4 == 0);
  const bool gzip = size >= 2 && data[0] == 0x1f && data[1] == 0x8b;
  if (!gzip && (error || bytes.size() != size ||
                (size > 0 && std::memcmp(bytes.data(), data, size) != 0)))
    std::abort();  // anything else is read as it is
  if (error && !starts_with(*error, "Invalid gzip data: ")) std::abort();
  check_sectors(input.path, bytes, error);
  if (!gzip) return 0;

  const std::optional<std::uint64_t> start =
      size > 0 ? std::optional<std::uint64_t>(data[size - 1] % 4) : std::nullopt;
  const std::string timing = outcome_of_timing(input.path);
  const std::string read = outcome_of_read(input.path, start);
  if (error) {
    if (!starts_with(timing, "error: Invalid gzip data: ") ||
        !starts_with(read, "error: Invalid gzip data: "))
      std::abort();
    return 0;
  }
  MemFile plain(bytes.data(), bytes.size());
  if (timing != outcome_of_timing(plain.path)) std::abort();
  if (read != outcome_of_read(plain.path, start)) std::abort();
  return 0;
}
