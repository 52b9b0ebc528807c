// Fuzz target for the whole reading pipeline: a small recording made from the input goes
// through the read plan with a blocks cut or a seconds cut (the input chooses), the plain
// read and time filter, the resampled read and the CSV writer, into memory files. It checks invariants, not
// only that nothing crashes: every column of a result has one length; every error is one of
// the reader's documented texts; the resampled grid strictly increases; the CSV text parses
// back, line by line, into the same number of rows as the read it mirrors.
//
// The input may also ask for the same recording compressed with gzip, intact, in two members,
// cut short, with a byte changed or with bytes after its end, read through the same routes.
// An intact stream gives exactly what the plain file gives: the same plan, the same columns
// to the bit, the same errors, the same CSV bytes. A damaged one gives that too or, at every
// step that reads it, "Invalid gzip data: ..." with the existing output left untouched;
// never a partial result reported as success.
//
// Input: a 9-byte head (12 bytes with gzip), then sectors.
//   byte 0: bits 0-3 include magnetometer, temperature, light, battery; bit 4 keeps a
//           trailing partial sector; bits 5-6 the seconds cut's start and end present;
//           bit 7 the blocks cut's end present
//   byte 1: blocks cut start (mod 64); byte 2: blocks cut length - 1 (mod 64)
//   bytes 3-4, 5-6: seconds cut start and length, in 1/16 s
//   byte 7: resampling rate, 0.5 Hz * 2^(byte / 24) (0.5 to about 800 Hz); a rate that
//           would give over kMaxGridRows rows skips resampling
//   byte 8: bit 0 the cut: blocks or seconds; bit 1 the CSV route: resampled, or the one the
//           cut takes (streamed for blocks, collected for seconds); bit 2 gzip as well;
//           bits 3-5 what becomes of the gzip stream (Damage); bits 6-7 the compression
//           level: 0, 1, 6 or 9
//   with gzip, bytes 9-10: where the stream is split, cut or changed (and, when the top
//           two bits are 0, decompression ahead of the reader in a thread); byte 11: the
//           value a changed byte is XORed with, or the first byte after the end
// Each sector: a length byte L, then 2L bytes (fewer at the end of the input), zero-padded
// to 512 bytes; at most kMaxSectors. The metadata block is "MD" and zeros.
#include <sys/mman.h>
#include <unistd.h>
#include <zlib.h>

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
#include "package/csv/csv.hpp"
#include "package/plan/plan.hpp"
#include "package/read/read.hpp"
#include "packet/packet.hpp"
#include "packet/source.hpp"

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

  // Written over the old bytes, then cut to size: the file keeps its pages.
  void put(std::string_view bytes) const {
    if (::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()) ||
        ::ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
      fail("memfd write");
  }
  void put(const std::vector<std::uint8_t>& bytes) const {
    put(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  std::string get() const {
    std::string out(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    if (::pread(fd, out.data(), out.size(), 0) != static_cast<ssize_t>(out.size())) fail("memfd read");
    return out;
  }
};

bool gzip_failure(std::string_view text) { return text.rfind(msg::kInvalidGzipPrefix, 0) == 0; }

bool documented(const CwaError& e) {
  static const char* const kTexts[] = {
      msg::kNotCwaFile, msg::kFileTooSmall, msg::kIncompleteBlock, msg::kUnexpectedEnd,
      msg::kOldFormat, msg::kCountExceedsCapacity, msg::kInvalidTimestamp, msg::kStartBeyondFile,
      msg::kNoSampleData, msg::kNoSampleDataInRange, msg::kNoSamplesAfterSecondsCut,
      msg::kNoSamplesAfterTimeRange, msg::kNoSamplesAfterResampling, msg::kTimeRangeOrder,
      "IO error: failed to fill whole buffer"};
  // Damaged gzip data: our own words, or zlib's.
  static const char* const kGzipTexts[] = {
      msg::kGzipEndsEarly, msg::kGzipAfterLastMember, msg::kGzipCrcMismatch, msg::kGzipLengthMismatch,
      "corrupt compressed data", "incorrect header check", "unknown compression method",
      "invalid window size", "unknown header flags set", "header crc mismatch", "invalid block type",
      "invalid stored block lengths", "too many length or distance symbols", "invalid code lengths set",
      "invalid bit length repeat", "invalid code -- missing end-of-block", "invalid literal/lengths set",
      "invalid distances set", "invalid literal/length code", "invalid distance code",
      "invalid distance too far back"};
  const std::string text = e.text();
  // Each text has its kind: the early end of the file is the system's, the time range the
  // caller's, everything else the recording's.
  const ErrorKind kind = text.rfind("IO error: ", 0) == 0 ? ErrorKind::Io
                         : text == msg::kTimeRangeOrder   ? ErrorKind::Argument
                                                          : ErrorKind::Format;
  if (e.kind() != kind) return false;
  for (const char* t : kTexts)
    if (text == t) return true;
  if (gzip_failure(text)) {
    for (const char* t : kGzipTexts)
      if (text.compare(std::strlen(msg::kInvalidGzipPrefix), std::string::npos, t) == 0) return true;
    return false;
  }
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

// The bytes of every column of a result, with which optional columns are present.
std::string picture(const CwaDataResult& r) {
  std::string s;
  const auto add = [&s](const auto& col) {
    s.append(reinterpret_cast<const char*>(col.data()), col.size() * sizeof col.data()[0]);
  };
  add(r.timestamps), add(r.acc_x), add(r.acc_y), add(r.acc_z);
  for (const OptionalColumn& c : r.optional) {
    s += c.present ? '+' : '-';
    if (c.present) add(c.values);
  }
  return s;
}

std::string picture(const ReadPlan& p) {
  char text[160];
  std::snprintf(text, sizeof text, "plan %lld %lld %a %a", static_cast<long long>(p.start_block.value_or(~0ull)),
                static_cast<long long>(p.block_count.value_or(~0ull)), p.start_time_s.value_or(-1.0),
                p.end_time_s.value_or(-1.0));
  return text;
}

// Where the CSV writer goes; it holds kUntouched before each call.
const MemFile& output() {
  static const MemFile file;
  return file;
}
constexpr std::string_view kUntouched = "an existing output\n";

// What the routes gave for one file: each step's result (its picture, or its error text)
// and the output file after the CSV writer.
struct Outcome {
  std::vector<std::string> steps;
  std::string csv_output;
};

struct Routes {
  IncludeFlags include;
  double hz;
  bool resampled;  // the resampled read and CSV; else the plain read and the cut's CSV route
};

template <class T>
std::string step(const Result<T>& r) {
  return r.ok() ? picture(r.value()) : r.error().text();
}

// Either the resampled read and the resampled CSV, or the plain read, the time filter and
// the CSV route the cut takes. The CSV must have the rows of its read. With `kept`, the
// outcome is kept for a comparison and the output holds kUntouched before the CSV writer.
Outcome run_routes(const std::string& path, const ReadPlan& p, const Routes& routes, bool kept) {
  Outcome o;
  const bool streamed = !routes.resampled && !p.start_time_s && !p.end_time_s;
  std::optional<std::size_t> rows;
  std::string error;
  if (routes.resampled) {
    auto grid = read_cwa_data_resampled_streaming(path, p, routes.include, routes.hz);
    if (kept) o.steps.push_back(step(grid));
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
    auto read = read_cwa_data(path, p.start_block, p.block_count, routes.include);
    if (kept) o.steps.push_back(step(read));
    if (check(read, "read")) {
      check_columns(read.value(), "read");
      if (streamed) rows = read.value().rows();
      auto filtered = filter_data_by_time_range(std::move(read).value(), p.start_time_s, p.end_time_s);
      if (kept) o.steps.push_back(step(filtered));
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

  if (kept) output().put(kUntouched);
  auto csv = write_csv_for_plan(path, output().path, p, routes.include,
                                routes.resampled ? std::optional<double>(routes.hz) : std::nullopt, 0);
  if (kept) o.steps.push_back(csv.ok() ? std::string("csv written") : csv.error().text());
  if (kept || csv.ok()) o.csv_output = output().get();
  if (!check(csv, "csv")) {
    // The same failure as the read it mirrors.
    if (csv.error().text() != error) fail("csv error", csv.error().text() + " / " + error);
    return o;
  }
  const std::size_t written = csv_rows(o.csv_output);
  // A streamed CSV of blocks without samples is its header alone.
  if (rows ? written != *rows : !(streamed && written == 0 && error == msg::kNoSampleDataInRange))
    fail("csv rows", std::to_string(written));
  return o;
}

// What becomes of the gzip stream of the recording.
enum class Damage { kNone, kTwoMembers, kCut, kChangedByte, kTrailingBytes };
constexpr Damage kDamages[8] = {Damage::kNone, Damage::kNone,        Damage::kTwoMembers,     Damage::kCut,
                                Damage::kChangedByte, Damage::kTrailingBytes, Damage::kChangedByte, Damage::kCut};

void deflate_member(const std::uint8_t* data, std::size_t size, int level, std::vector<std::uint8_t>& out) {
  // One stream for every member, reset each time: a fresh one per input costs more than
  // the rest of the input's compression.
  static z_stream z = [] {
    z_stream s{};
    if (deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      fail("deflateInit2");
    return s;
  }();
  if (deflateReset(&z) != Z_OK || deflateParams(&z, level, Z_DEFAULT_STRATEGY) != Z_OK) fail("deflateParams");
  const std::size_t at = out.size();
  out.resize(at + deflateBound(&z, size));
  z.next_in = const_cast<std::uint8_t*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = out.data() + at;
  z.avail_out = static_cast<uInt>(out.size() - at);
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) fail("deflate");
  out.resize(at + z.total_out);
}

// The recording as gzip data, damaged as `damage` says at `where` with `value`.
std::vector<std::uint8_t> gzip_of(const std::vector<std::uint8_t>& file, int level, Damage damage,
                                  std::size_t where, std::uint8_t value) {
  std::vector<std::uint8_t> gz;
  const std::size_t split = damage == Damage::kTwoMembers ? where % (file.size() + 1) : file.size();
  deflate_member(file.data(), split, level, gz);
  if (damage == Damage::kTwoMembers) deflate_member(file.data() + split, file.size() - split, level, gz);
  // Never the two magic bytes: a file without them is read as it is, which other inputs test.
  const std::size_t at = 2 + where % (gz.size() - 2);
  if (damage == Damage::kCut) gz.resize(at);
  if (damage == Damage::kChangedByte) gz[at] ^= value != 0 ? value : 0x80;
  if (damage == Damage::kTrailingBytes) {
    // One to four bytes; a first byte 0x1f begins what looks like another member.
    const std::uint8_t tail[4] = {value, 0x8b, 8, 0};
    gz.insert(gz.end(), tail, tail + 1 + where % 4);
  }
  return gz;
}

// Whether every step failed with "Invalid gzip data: ..." and left the output untouched.
bool failed_as_gzip(const Outcome& o) {
  for (const std::string& s : o.steps)
    if (!gzip_failure(s)) return false;
  return o.csv_output.empty() || o.csv_output == kUntouched;
}

// The gzip file's steps against the plain file's: the same to the byte.
void compare_gzip(const Outcome& plain, const Outcome& gz) {
  for (std::size_t i = 0; i < std::max(gz.steps.size(), plain.steps.size()); ++i) {
    const std::string& g = i < gz.steps.size() ? gz.steps[i] : "(none)";
    const std::string& f = i < plain.steps.size() ? plain.steps[i] : "(none)";
    if (g != f) fail("gzip and plain differ at step", std::to_string(i) + ": " + g.substr(0, 200) + " / " + f.substr(0, 200));
  }
  if (gz.csv_output != plain.csv_output) fail("gzip and plain CSV differ", gz.csv_output.substr(0, 200));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const MemFile recording, compressed;
  const bool with_gzip = size > 8 && (data[8] & 4) != 0;
  const std::size_t head = with_gzip ? 12 : 9;
  if (size < head) return 0;
  const std::uint8_t flags = data[0];
  const IncludeFlags include{(flags & 1) != 0, (flags & 2) != 0, (flags & 4) != 0, (flags & 8) != 0};

  std::vector<std::uint8_t> file(kHeaderSize, 0);
  file[0] = 'M', file[1] = 'D';
  std::size_t sectors = 0;
  for (std::size_t p = head; p < size && sectors < kMaxSectors; ++sectors) {
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
  const bool seconds_cut = (data[8] & 1) != 0;
  const CutConfig cut =
      !seconds_cut
          ? CutConfig::blocks(block_start, block_end)
          : CutConfig::seconds((flags & 32) != 0 ? std::optional<double>(sec_start) : std::nullopt,
                               (flags & 64) != 0 ? std::optional<double>(sec_start + sec_len) : std::nullopt);
  const double hz = 0.5 * std::exp2(data[7] / 24.0);
  const double span = packet_span_s(file);
  const Routes routes{include, hz, span >= 0 && span * hz < kMaxGridRows && (data[8] & 2) != 0};

  const Damage damage = kDamages[(data[8] >> 3) & 7];
  if (with_gzip) {
    // For a quarter of the inputs, decompressed ahead of the reader in a thread of its own.
    set_inflate_ahead(data[10] >> 6 == 0);
    constexpr int kLevels[4] = {0, 1, 6, 9};
    compressed.put(gzip_of(file, kLevels[data[8] >> 6], damage, data[9] | data[10] << 8, data[11]));
  }

  // The plan: a seconds cut reads the file, a blocks cut does not. Both files take the plain
  // file's plan, so that a damaged stream meets every route.
  const auto plan = resolve_read_plan(recording.path, cut);
  check(plan, "plan");
  const bool routes_run =
      plan.ok() && check(check_time_bounds(plan.value().start_time_s, plan.value().end_time_s), "bounds");
  const auto run = [&](const MemFile& f, bool plan_step) {
    Outcome o;
    if (plan_step && &f == &recording) {
      o.steps.push_back(step(plan));
    } else if (plan_step) {
      const auto own = resolve_read_plan(f.path, cut);
      check(own, "gzip plan");
      o.steps.push_back(step(own));
    }
    if (routes_run) {
      Outcome r = run_routes(f.path, plan.value(), routes, true);
      o.steps.insert(o.steps.end(), r.steps.begin(), r.steps.end());
      o.csv_output = std::move(r.csv_output);
    }
    return o;
  };
  if (!with_gzip) {
    if (routes_run) run_routes(recording.path, plan.value(), routes, false);
    return 0;
  }
  // A damaged stream fails at every step, or reads as the plain file; a stream cut short or
  // followed by other bytes cannot read at all. An intact one reads as the plain file.
  const Outcome gz = run(compressed, seconds_cut);
  const bool failed = !gz.steps.empty() && failed_as_gzip(gz);
  if (damage == Damage::kCut || damage == Damage::kTrailingBytes) {
    if (!gz.steps.empty() && !failed) fail("damaged gzip read without its error", gz.steps.back().substr(0, 200));
    return 0;
  }
  if (damage == Damage::kChangedByte && failed) return 0;
  compare_gzip(run(recording, seconds_cut), gz);
  return 0;
}
