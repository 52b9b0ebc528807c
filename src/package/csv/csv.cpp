#include "package/csv/csv.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "errors/messages.hpp"
#include "package/csv/csv_format.hpp"
#include "package/decode/block.hpp"
#include "packet/packet.hpp"
#include "packet/time.hpp"

namespace tiltgram {

namespace {

// ",value" with 6 decimals.
inline char* put_value(char* p, float v) noexcept {
  *p = ',';
  return put_fixed6(p + 1, v);
}

inline char* put_optional(char* p, const std::optional<float>& v) noexcept {
  if (v) return put_value(p, *v);
  std::memcpy(p, ",NaN", 4);
  return p + 4;
}

inline char* put_missing_triple(char* p) noexcept {
  std::memcpy(p, ",NaN,NaN,NaN", 12);
  return p + 12;
}

// The texts of recently written values. A recording's values come from the sensors' few
// thousand raw counts, and a quiet axis repeats the same few for minutes: most values of
// a streamed file were written before. A direct-mapped table keyed by the float's bits
// holds the ",value" text of those with at most 2 whole digits (11 characters at most).
class ValueTexts {
 public:
  ValueTexts() : entries_(new Entry[kEntries]) {
    // An unused entry holds the true text of its key, a NaN.
    for (std::size_t i = 0; i < kEntries; ++i) entries_[i] = Entry{kUnused, 4, {',', 'N', 'a', 'N'}};
  }

  // ",value", the text of put_fixed6.
  char* put(char* p, float v) noexcept {
    std::uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    Entry& e = entries_[(bits * 0x9E3779B1U) >> (32 - kIndexBits)];
    if (e.bits == bits) {
      std::memcpy(p, e.text, sizeof e.text);
      return p + e.length;
    }
    char* const end = put_value(p, v);
    const auto length = static_cast<std::size_t>(end - p);
    if (length <= sizeof e.text) {
      e.bits = bits;
      e.length = static_cast<std::uint8_t>(length);
      std::memcpy(e.text, p, length);
    }
    return end;
  }

 private:
  static constexpr unsigned kIndexBits = 12;
  static constexpr std::size_t kEntries = std::size_t{1} << kIndexBits;
  static constexpr std::uint32_t kUnused = 0xFFFFFFFFU;
  struct Entry {
    std::uint32_t bits;
    std::uint8_t length;
    char text[11];
  };
  std::unique_ptr<Entry[]> entries_;
};

}  // namespace

std::vector<std::string_view> csv_header(IncludeFlags flags, bool gyro_present, bool mag_present) {
  std::vector<std::string_view> names{"time", "acc_x", "acc_y", "acc_z"};
  if (gyro_present) names.insert(names.end(), {"gyro_x", "gyro_y", "gyro_z"});
  if (mag_present) names.insert(names.end(), {"mag_x", "mag_y", "mag_z"});
  if (flags.temperature) names.emplace_back("temperature");
  if (flags.light) names.emplace_back("light");
  if (flags.battery) names.emplace_back("battery");
  return names;
}

// --- the writer ------------------------------------------------------------------------

CsvWriter::CsvWriter(File file) : file_(std::move(file)), buf_(new char[kCapacity]) {}

Result<CsvWriter> CsvWriter::create(std::string_view path) {
  TG_ASSIGN_OR_RETURN(File file, File::create(path));
  return CsvWriter(std::move(file));
}

CsvWriter::~CsvWriter() {
  // An unfinished writer (an error ended the call) still hands on what it holds, unless
  // the call was interrupted: the output may be what blocked it.
  if (buf_ && file_.is_open() && !interrupted_) (void)write_out(len_);
}

Status CsvWriter::write_out(std::size_t upto) {
  const int fd = file_.fd();
  // In pieces, with a check for a Ctrl-C between them: a write that the system holds back
  // while it writes out earlier output (a slow disk) waits per piece, not per 16 MiB.
  constexpr std::size_t kPiece = std::size_t{2} << 20;
  bool first = true;
  while (done_ < upto) {
    if (!std::exchange(first, false)) {
      if (Status st = check_interrupt(); !st.ok()) {
        interrupted_ = true;
        return st;
      }
    }
    const std::size_t piece = upto - done_ < kPiece ? upto - done_ : kPiece;
    const ssize_t n = ::write(fd, buf_.get() + done_, piece);
    if (n < 0) {
      if (errno != EINTR) return CwaError::io(errno);
      if (Status st = check_interrupt(); !st.ok()) {
        interrupted_ = true;
        return st;
      }
      continue;
    }
    if (n == 0) return CwaError::io_description("failed to write the buffered data");
    done_ += static_cast<std::size_t>(n);
  }
  return {};
}

Status CsvWriter::spill() {
  while (len_ >= kSpillAt) {
    // Once per 16 MiB of text: a Ctrl-C during a frame's lines.
    if (Status st = check_interrupt(); !st.ok()) {
      interrupted_ = true;
      return st;
    }
    // A failure here is the encoder's: the system's description without the prefix.
    if (auto st = write_out(kCsvFileBufferBytes); !st.ok())
      return interrupted_ ? std::move(st).error() : std::move(st).error().without_io_prefix();
    len_ -= kCsvFileBufferBytes;
    std::memmove(buf_.get(), buf_.get() + kCsvFileBufferBytes, len_);
    done_ = 0;
  }
  return {};
}

Status CsvWriter::write_header(const std::vector<std::string_view>& names) {
  char* p = line_space();
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) *p++ = ',';
    std::memcpy(p, names[i].data(), names[i].size());
    p += names[i].size();
  }
  *p++ = '\n';
  return commit_line(p);
}

Status CsvWriter::finish() {
  TG_TRY(write_out(len_));
  len_ = done_ = 0;
  return file_.close();
}

// --- rows ------------------------------------------------------------------------------

Status write_csv_row(CsvWriter& writer, IncludeFlags flags, bool gyro_present, bool mag_present,
                     const CsvRow& row) {
  if (flags.temperature && !row.temperature)
    return CwaError::format(msg::kTemperatureUnavailable);
  if (flags.light && !row.light) return CwaError::format(msg::kLightUnavailable);
  if (flags.battery && !row.battery) return CwaError::format(msg::kBatteryUnavailable);

  char* p = writer.put_time(writer.line_space(), row.time);
  p = put_value(p, row.acc_x);
  p = put_value(p, row.acc_y);
  p = put_value(p, row.acc_z);
  if (gyro_present) {
    p = put_optional(p, row.gyro_x);
    p = put_optional(p, row.gyro_y);
    p = put_optional(p, row.gyro_z);
  }
  if (mag_present) {
    p = put_optional(p, row.mag_x);
    p = put_optional(p, row.mag_y);
    p = put_optional(p, row.mag_z);
  }
  if (flags.temperature) p = put_value(p, *row.temperature);
  if (flags.light) p = put_value(p, *row.light);
  if (flags.battery) p = put_value(p, *row.battery);
  *p++ = '\n';
  return writer.commit_line(p);
}

Status write_data_result_csv(std::string_view output_path, const CwaDataResult& data,
                             IncludeFlags flags, std::int64_t offset_us) {
  // A shift out of range is found before the output is touched.
  if (!shift_fits(data.timestamps.data(), data.rows(), offset_us))
    return CwaError::overflow(msg::kShiftOverflow);
  TG_ASSIGN_OR_RETURN(CsvWriter writer, CsvWriter::create(output_path));
  const auto& opt = data.optional;
  const bool gyro = opt[kGyroX].present || opt[kGyroY].present || opt[kGyroZ].present;
  const bool mag = opt[kMagX].present || opt[kMagY].present || opt[kMagZ].present;
  TG_TRY(writer.write_header(csv_header(flags, gyro, mag)));
  const std::size_t rows = data.rows();
  if (rows > 0) {
    // A requested reading that the result lacks is missing from its first row on: the
    // call fails there, before any text of that row.
    if (flags.temperature && !opt[kTemperature].present)
      return CwaError::format(msg::kTemperatureUnavailable);
    if (flags.light && !opt[kLight].present) return CwaError::format(msg::kLightUnavailable);
    if (flags.battery && !opt[kBattery].present) return CwaError::format(msg::kBatteryUnavailable);
  }

  // The columns after the accelerometer, in the header's order; an absent one prints NaN.
  const float* after[9];
  std::size_t after_count = 0;
  const auto add = [&](Channel c) {
    after[after_count++] = opt[c].present ? opt[c].values.data() : nullptr;
  };
  for (Channel c : {kGyroX, kGyroY, kGyroZ})
    if (gyro) add(c);
  for (Channel c : {kMagX, kMagY, kMagZ})
    if (mag) add(c);
  if (flags.temperature) add(kTemperature);
  if (flags.light) add(kLight);
  if (flags.battery) add(kBattery);

  ValueTexts texts;
  const char* const commit_point = writer.commit_point();
  char* p = writer.line_space();
  for (std::size_t i = 0; i < rows; ++i) {
    p = writer.put_time(p, data.timestamps[i] - offset_us);
    p = texts.put(p, data.acc_x[i]);
    p = texts.put(p, data.acc_y[i]);
    p = texts.put(p, data.acc_z[i]);
    for (std::size_t k = 0; k < after_count; ++k) {
      if (after[k] != nullptr) {
        p = texts.put(p, after[k][i]);
      } else {
        std::memcpy(p, ",NaN", 4);
        p += 4;
      }
    }
    *p++ = '\n';
    if (p >= commit_point) [[unlikely]] {
      TG_TRY(writer.commit_line(p));
      p = writer.line_space();
    }
  }
  TG_TRY(writer.commit_line(p));
  return writer.finish();
}

// --- the streamed route ----------------------------------------------------------------

namespace {

// What a line of a block holds after the accelerometer: gyroscope or magnetometer values,
// or "NaN" for them, or neither.
enum class Triple { kNone, kValues, kMissing };

inline char* put_triple(char* p, ValueTexts& texts, Triple what,
                        const float (&axes)[3][kMaxSamplesPerPacket], std::size_t i) noexcept {
  if (what == Triple::kValues) {
    p = texts.put(p, axes[0][i]);
    p = texts.put(p, axes[1][i]);
    return texts.put(p, axes[2][i]);
  }
  if (what == Triple::kMissing) return put_missing_triple(p);
  return p;
}

// The lines of one block, compiled once for each choice of the columns after the
// accelerometer. `tail` (the readings and the "\n") is copied in one 16-byte move when it
// fits, which `tail_buffer` (kTailBytes long) allows.
inline constexpr std::size_t kTailBytes = 3 * (kFixedTextMax + kFixedStoreSlack + 1) + 16;

template <Triple kGyro, Triple kMag, bool kShortTail>
Status write_lines(CsvWriter& writer, ValueTexts& texts, const DecodedSamples& s, const std::int64_t* times,
                   std::int64_t offset_us, const char* tail, std::size_t tail_size) {
  const char* const commit_point = writer.commit_point();
  char* p = writer.line_space();
  for (std::size_t i = 0; i < s.count; ++i) {
    p = writer.put_time(p, times[i] - offset_us);
    p = texts.put(p, s.acc[0][i]);
    p = texts.put(p, s.acc[1][i]);
    p = texts.put(p, s.acc[2][i]);
    p = put_triple(p, texts, kGyro, s.gyro, i);
    p = put_triple(p, texts, kMag, s.mag, i);
    if constexpr (kShortTail) {
      std::memcpy(p, tail, 16);
    } else {
      std::memcpy(p, tail, tail_size);
    }
    p += tail_size;
    if (p >= commit_point) [[unlikely]] {
      TG_TRY(writer.commit_line(p));
      p = writer.line_space();
    }
  }
  return writer.commit_line(p);
}

template <Triple kGyro, Triple kMag>
Status write_lines_for(CsvWriter& writer, ValueTexts& texts, const DecodedSamples& s, const std::int64_t* times,
                       std::int64_t offset_us, const char* tail, std::size_t tail_size) {
  if (tail_size <= 16) return write_lines<kGyro, kMag, true>(writer, texts, s, times, offset_us, tail, tail_size);
  return write_lines<kGyro, kMag, false>(writer, texts, s, times, offset_us, tail, tail_size);
}

template <Triple kGyro>
Status write_lines_for(CsvWriter& writer, ValueTexts& texts, Triple mag, const DecodedSamples& s,
                       const std::int64_t* times, std::int64_t offset_us, const char* tail,
                       std::size_t tail_size) {
  switch (mag) {
    case Triple::kValues:
      return write_lines_for<kGyro, Triple::kValues>(writer, texts, s, times, offset_us, tail, tail_size);
    case Triple::kMissing:
      return write_lines_for<kGyro, Triple::kMissing>(writer, texts, s, times, offset_us, tail, tail_size);
    case Triple::kNone:
      break;
  }
  return write_lines_for<kGyro, Triple::kNone>(writer, texts, s, times, offset_us, tail, tail_size);
}

// Writes the lines of one decoded block. `tail` is the block's readings as the line's
// last fields, with the "\n", in a buffer of kTailBytes.
Status write_block_lines(CsvWriter& writer, ValueTexts& texts, const DecodedSamples& s, const std::int64_t* times,
                         std::int64_t offset_us, bool gyro_present, bool mag_present,
                         const char* tail, std::size_t tail_size) {
  if (!shift_fits(times, s.count, offset_us)) return CwaError::overflow(msg::kShiftOverflow);
  const auto triple = [](bool present, bool has) {
    return !present ? Triple::kNone : has ? Triple::kValues : Triple::kMissing;
  };
  const Triple mag = triple(mag_present, s.has_mag);
  switch (triple(gyro_present, s.has_gyro)) {
    case Triple::kValues:
      return write_lines_for<Triple::kValues>(writer, texts, mag, s, times, offset_us, tail, tail_size);
    case Triple::kMissing:
      return write_lines_for<Triple::kMissing>(writer, texts, mag, s, times, offset_us, tail, tail_size);
    case Triple::kNone:
      break;
  }
  return write_lines_for<Triple::kNone>(writer, texts, mag, s, times, offset_us, tail, tail_size);
}

// Walks the planned blocks from the first again, decoding and stamping each data block
// into `samples` and `times` and handing it to fn(block), which returns a Status.
template <class Fn>
Status for_each_decoded_block(BlockWalk& walk, bool magnetometer, DecodedSamples& samples,
                              std::int64_t* times, Fn&& fn) {
  TG_TRY(walk.rewind());
  for (;;) {
    TG_ASSIGN_OR_RETURN(bool more, walk.next());
    if (!more) break;
    TG_TRY(walk.decode(magnetometer, samples));
    TG_TRY(walk.times(samples.count, times));
    TG_TRY(fn(walk.block()));
  }
  return {};
}

// Channel scan: packet metadata only, before the output is touched. It also finds the span
// of the blocks' natural bounds. Gzip data is then read to its end and checked whole.
Status scan_planned_blocks(BlockWalk& walk, IncludeFlags flags, bool& gyro_present,
                           bool& mag_present, double& span_lo, double& span_hi) {
  for (;;) {
    TG_ASSIGN_OR_RETURN(bool more, walk.next_packet());
    if (!more) break;
    const PacketHeader header = walk.header();
    if (header.axes() >= 6) gyro_present = true;
    if (flags.magnetometer && header.axes() == 9) mag_present = true;
    const auto [ns, ne] = walk.bounds();
    span_lo = std::fmin(span_lo, ns);
    span_hi = std::fmax(span_hi, ne);
  }
  return walk.conclude(Status{});
}

// The streamed route on the opened recording. Gzip data is decompressed again for each
// pass after the scan (the reader goes back to the first planned block).
Status write_walk(BlockWalk& walk, std::string_view output_path, IncludeFlags flags,
                  std::int64_t offset_us) {
  bool gyro_present = false, mag_present = false;
  double span_lo = INFINITY, span_hi = -INFINITY;
  TG_TRY(scan_planned_blocks(walk, flags, gyro_present, mag_present, span_lo, span_hi));

  auto samples = std::make_unique<DecodedSamples>();
  std::int64_t times[kMaxSamplesPerPacket];
  // A time that the offset shifts out of range is found before the output is touched too.
  // Every sample time lies within its block's natural bounds, or less than a second before
  // them (the continuity rule), so a shift that keeps the span widened by a margin in
  // range fits every line; only near the limits are the times computed in a pass of their
  // own.
  if (span_lo <= span_hi) {
    constexpr double kMargin = 2.0;  // seconds
    const std::int64_t ends[2] = {saturating_us((span_lo - kMargin) * 1000000.0),
                                  saturating_us((span_hi + kMargin) * 1000000.0)};
    const bool saturated = ends[0] == INT64_MIN || ends[1] == INT64_MAX;
    if (saturated || !shift_fits(ends, 2, offset_us)) {
      TG_TRY(for_each_decoded_block(walk, flags.magnetometer, *samples, times,
                                    [&](const CwaDataBlock&) -> Status {
                                      if (!shift_fits(times, samples->count, offset_us))
                                        return CwaError::overflow(msg::kShiftOverflow);
                                      return {};
                                    }));
    }
  }

  TG_ASSIGN_OR_RETURN(CsvWriter writer, CsvWriter::create(output_path));
  TG_TRY(writer.write_header(csv_header(flags, gyro_present, mag_present)));

  char tail[kTailBytes] = {};
  ValueTexts texts;
  TG_TRY(for_each_decoded_block(
      walk, flags.magnetometer, *samples, times, [&](const CwaDataBlock& block) -> Status {
        // The readings are the same on every line of the block: their text is made once.
        const BlockReadings readings = block_readings(block);
        char* t = tail;
        if (flags.temperature) t = put_value(t, readings.temperature);
        if (flags.light) t = put_value(t, readings.light);
        if (flags.battery) t = put_value(t, readings.battery);
        *t++ = '\n';
        return write_block_lines(writer, texts, *samples, times, offset_us, gyro_present, mag_present,
                                 tail, static_cast<std::size_t>(t - tail));
      }));
  return writer.finish();
}

}  // namespace

Status write_cwa_csv_data(std::string_view file_path, std::string_view output_path,
                          const ReadPlan& plan, IncludeFlags flags, std::int64_t offset_us) {
  TG_ASSIGN_OR_RETURN(BlockWalk walk, BlockWalk::open(file_path, plan.start_block, plan.block_count));
  // The channel scan reads the planned blocks before the lines read them again.
  if (!walk.source().rereadable())
    return CwaError::argument(msg::needs_regular_file(msg::kCsvReadsTwice));
  return walk.conclude(write_walk(walk, output_path, flags, offset_us));
}

// --- write_cwa_csv ---------------------------------------------------------------------

Status check_output_is_not_input(std::string_view file_path, std::string_view output_path) {
  if (file_path.find('\0') != std::string_view::npos ||
      output_path.find('\0') != std::string_view::npos)
    return {};  // opening refuses such a path with its own error
  struct stat in, out;
  if (::stat(std::string(file_path).c_str(), &in) != 0) return {};
  if (::stat(std::string(output_path).c_str(), &out) != 0) return {};
  if (in.st_dev == out.st_dev && in.st_ino == out.st_ino)
    return CwaError::argument(msg::kOutputIsInput);
  return {};
}

Status write_csv_for_plan(std::string_view file_path, std::string_view output_path,
                          const ReadPlan& plan, IncludeFlags flags,
                          std::optional<double> resample_hz, std::int64_t offset_us) {
  TG_TRY(check_output_is_not_input(file_path, output_path));
  if (resample_hz) {
    TG_ASSIGN_OR_RETURN(CwaDataResult data,
                        read_cwa_data_resampled_streaming(file_path, plan, flags, *resample_hz));
    return write_data_result_csv(output_path, data, flags, offset_us);
  }
  if (plan.start_time_s || plan.end_time_s) {
    TG_ASSIGN_OR_RETURN(CwaDataResult read,
                        read_cwa_data(file_path, plan.start_block, plan.block_count, flags));
    TG_ASSIGN_OR_RETURN(CwaDataResult data, filter_data_by_time_range(std::move(read),
                                                                      plan.start_time_s,
                                                                      plan.end_time_s));
    return write_data_result_csv(output_path, data, flags, offset_us);
  }
  return write_cwa_csv_data(file_path, output_path, plan, flags, offset_us);
}

}  // namespace tiltgram
