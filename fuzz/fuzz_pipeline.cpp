// Fuzz target for the whole reading pipeline: a small recording made from the input goes
// through the read plan with a blocks cut or a seconds cut (the input chooses), the plain
// read and time filter, the resampled read and the CSV writer, into memory files. It checks invariants, not
// only that nothing crashes: every column of a result has one length; every error is one of
// the reader's documented texts; the resampled grid strictly increases; the CSV text parses
// back, line by line, into the same number of rows as the read it mirrors.
//
// Input: a 9-byte head, then sectors.
//   byte 0: bits 0-3 include magnetometer, temperature, light, battery; bit 4 keeps a
//           trailing partial sector; bits 5-6 the seconds cut's start and end present;
//           bit 7 the blocks cut's end present
//   byte 1: blocks cut start (mod 64); byte 2: blocks cut length - 1 (mod 64)
//   bytes 3-4, 5-6: seconds cut start and length, in 1/16 s
//   byte 7: resampling rate, 0.5 Hz * 2^(byte / 24) (0.5 to about 800 Hz); a rate that
//           would give over kMaxGridRows rows skips resampling
//   byte 8: bit 0 the cut: blocks or seconds; bit 1 the CSV route: resampled, or the one the
//           cut takes (streamed for blocks, collected for seconds)
// Each sector: a length byte L, then 2L bytes (fewer at the end of the input), zero-padded
// to 512 bytes; at most kMaxSectors. The metadata block is "MD" and zeros.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "errors/messages.hpp"
#include "package/csv.hpp"
#include "package/plan.hpp"
#include "package/read.hpp"
#include "packet/packet.hpp"

using namespace tiltgram;

namespace {

constexpr std::size_t kMaxSectors = 24;
// Resampled rows a single input may ask for: more rows are more time, not more coverage.
constexpr double kMaxGridRows = 400;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "invariant broken: %s %s\n", what, detail.c_str());
  std::abort();
}

// A file in memory, reachable by path.
struct MemFile {
  int fd = ::memfd_create("fuzz", MFD_CLOEXEC);
  std::string path = "/proc/self/fd/" + std::to_string(fd);

  void put(const std::vector<std::uint8_t>& bytes) const {
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
      fail("memfd write");
  }
  std::string get() const {
    std::string out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    if (::pread(fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) fail("memfd read");
    return out;
  }
};

bool documented(const CwaError& e) {
  static const char* const kTexts[] = {
      msg::kNotCwaFile, msg::kFileTooSmall, msg::kIncompleteBlock, msg::kUnexpectedEnd,
      msg::kOldFormat, msg::kCountExceedsCapacity, msg::kInvalidTimestamp, msg::kStartBeyondFile,
      msg::kNoSampleData, msg::kNoSampleDataInRange, msg::kNoSamplesAfterSecondsCut,
      msg::kNoSamplesAfterTimeRange, msg::kNoSamplesAfterResampling, msg::kTimeRangeOrder,
      "IO error: failed to fill whole buffer"};
  const std::string text = e.text();
  for (const char* t : kTexts)
    if (text == t) return true;
  return text.rfind("Unsupported sample format: ", 0) == 0;
}

template <class T>
bool check(const Result<T>& r, const char* where) {
  if (!r.ok() && !documented(r.error())) fail(where, r.error().text());
  return r.ok();
}

void check_columns(const CwaDataResult& r, const char* where) {
  const std::size_t n = r.rows();
  if (n == 0 || r.acc_x.size() != n || r.acc_y.size() != n || r.acc_z.size() != n) fail(where, "lengths");
  for (const OptionalColumn& c : r.optional)
    if (c.present && c.values.size() != n) fail(where, "optional length");
}

// Whether `field` reads as a number the writer prints: "NaN", or an optional "-", digits,
// "." and digits.
bool number_text(std::string_view field) {
  if (field == "NaN") return true;
  if (!field.empty() && field[0] == '-') field.remove_prefix(1);
  const std::size_t dot = field.find('.');
  if (dot == 0 || dot == std::string_view::npos || dot + 1 == field.size()) return false;
  for (std::size_t i = 0; i < field.size(); ++i)
    if (i != dot && (field[i] < '0' || field[i] > '9')) return false;
  return true;
}

// The number of data lines, after checking that every line has the header's fields and
// each of them is a number.
std::size_t csv_rows(const std::string& text) {
  if (text.empty() || text.back() != '\n') fail("csv", "no final newline");
  std::size_t fields = 0, rows = 0, pos = 0;
  bool header = true;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    const std::string_view line(text.data() + pos, end - pos);
    if (header) {
      if (line.rfind("time,acc_x,acc_y,acc_z", 0) != 0) fail("csv header", std::string(line));
      fields = static_cast<std::size_t>(std::count(line.begin(), line.end(), ',')) + 1;
      header = false;
    } else {
      std::size_t n = 0, start = 0;
      for (;; ++n) {
        const std::size_t comma = std::min(line.find(',', start), line.size());
        if (!number_text(line.substr(start, comma - start))) fail("csv field", std::string(line));
        if (comma == line.size()) break;
        start = comma + 1;
      }
      if (n + 1 != fields) fail("csv field count", std::string(line));
      ++rows;
    }
    pos = end + 1;
  }
  return rows;
}

// The widest time span of the packets in the recording, in seconds (the resampled grid
// spans at most this much), or -1 when no sector is a packet.
double packet_span_s(const std::vector<std::uint8_t>& file) {
  double lo = INFINITY, hi = -INFINITY;
  for (std::size_t off = kHeaderSize; off + kSectorSize <= file.size(); off += kSectorSize) {
    auto meta = packet_meta(file.data() + off);
    if (!meta.ok() || !meta.value()) continue;
    const auto [s, e] = meta.value()->natural_bounds();
    lo = std::min(lo, s);
    hi = std::max(hi, e);
  }
  return hi >= lo ? hi - lo : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const MemFile recording, output;
  constexpr std::size_t kHead = 9;
  if (size < kHead) return 0;
  const std::uint8_t flags = data[0];
  const IncludeFlags include{(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, (flags & 8) != 0};

  std::vector<std::uint8_t> file(kHeaderSize, 0);
  file[0] = 'M', file[1] = 'D';
  std::size_t sectors = 0;
  for (std::size_t p = kHead; p < size && sectors < kMaxSectors; ++sectors) {
    const std::size_t len = std::min<std::size_t>(2 * std::size_t{data[p]}, size - p - 1);
    const std::size_t at = file.size();
    file.resize(at + kSectorSize, 0);
    std::memcpy(file.data() + at, data + p + 1, len);
    p += 1 + len;
  }
  if ((flags & 16) != 0 && sectors > 0) file.resize(file.size() - kSectorSize + data[1] % kSectorSize);
  recording.put(file);

  const std::uint64_t block_start = data[1] % 64;
  const std::optional<std::uint64_t> block_end =
      (flags & 128) != 0 ? std::optional<std::uint64_t>(block_start + 1 + data[2] % 64) : std::nullopt;
  const double sec_start = (data[3] | data[4] << 8) / 16.0;
  const double sec_len = (data[5] | data[6] << 8) / 16.0 + 1.0 / 16;
  const CutConfig cut =
      (data[8] & 1) == 0
          ? CutConfig::blocks(block_start, block_end)
          : CutConfig::seconds((flags & 32) != 0 ? std::optional<double>(sec_start) : std::nullopt,
                               (flags & 64) != 0 ? std::optional<double>(sec_start + sec_len) : std::nullopt);
  const double hz = 0.5 * std::exp2(data[7] / 24.0);
  const double span = packet_span_s(file);
  const bool resample = span >= 0 && span * hz < kMaxGridRows;

  const auto plan = resolve_read_plan(recording.path, cut);
  if (!check(plan, "plan")) return 0;
  const ReadPlan& p = plan.value();
  if (!check(check_time_bounds(p.start_time_s, p.end_time_s), "bounds")) return 0;

  // Either the resampled read and the resampled CSV, or the plain read, the time filter and
  // the CSV route the cut takes. The CSV must have the rows of its read.
  const bool resampled = resample && (data[8] & 2) != 0;
  const bool streamed = !resampled && !p.start_time_s && !p.end_time_s;
  std::optional<std::size_t> rows;
  std::string error;
  if (resampled) {
    auto grid = read_cwa_data_resampled_streaming(recording.path, p, include, hz);
    if (check(grid, "resampled")) {
      const CwaDataResult& g = grid.value();
      check_columns(g, "resampled");
      for (std::size_t i = 1; i < g.rows(); ++i)
        if (g.timestamps[i] <= g.timestamps[i - 1]) fail("resampled grid not increasing");
      rows = g.rows();
    } else {
      error = grid.error().text();
    }
  } else {
    auto read = read_cwa_data(recording.path, p.start_block, p.block_count, include);
    if (check(read, "read")) {
      check_columns(read.value(), "read");
      if (streamed) rows = read.value().rows();
      auto filtered = filter_data_by_time_range(std::move(read).value(), p.start_time_s, p.end_time_s);
      if (check(filtered, "filter")) {
        check_columns(filtered.value(), "filter");
        if (!streamed) rows = filtered.value().rows();
      } else if (!streamed) {
        error = filtered.error().text();
      }
    } else {
      error = read.error().text();
    }
  }

  auto csv = write_csv_for_plan(recording.path, output.path, p, include,
                                resampled ? std::optional<double>(hz) : std::nullopt, 0);
  if (!check(csv, "csv")) {
    // The same failure as the read it mirrors.
    if (csv.error().text() != error) fail("csv error", csv.error().text() + " / " + error);
    return 0;
  }
  const std::size_t written = csv_rows(output.get());
  // A streamed CSV of blocks without samples is its header alone.
  if (rows ? written != *rows : !(streamed && written == 0 && error == msg::kNoSampleDataInRange))
    fail("csv rows", std::to_string(written));
  return 0;
}
