// CSV output: the column layout, the buffered file writer, the row writer, and the three
// routes of write_cwa_csv (streamed blocks, a collected result, a resampled result).
//
// Dialect: "," between fields, never any quoting, "\n" after every line (the last one
// too), one header line, ASCII. `time` is the row's microseconds as seconds with 4
// decimals; every other value has 6 decimals (exact binary value, ties to even), "NaN" for
// a missing gyroscope or magnetometer value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "errors/error.hpp"
#include "package/columns/result.hpp"
#include "package/csv/csv_format.hpp"
#include "package/plan/plan.hpp"
#include "package/read/read.hpp"
#include "package/walk/walk.hpp"
#include "packet/file.hpp"

namespace tiltgram {

// The two buffers a line passes through on its way to the file: the encoder's buffer,
// handed on in whole chunks when it is full and more text follows, and the file buffer,
// written out when the next chunk would not fit.
inline constexpr std::size_t kCsvChunkBytes = 8192;
inline constexpr std::size_t kCsvFileBufferBytes = std::size_t{16} << 20;

// Room for one line: 13 fields of at most 47 characters (a float near FLT_MAX), each
// followed by "," or "\n", plus the kFixedTextMax + kFixedStoreSlack bytes a number writer
// may be handed.
inline constexpr std::size_t kCsvLineMax = 1024;

// The values of one output line.
struct CsvRow {
  std::int64_t time = 0;  // microseconds, already shifted by the UTC offset
  float acc_x = 0, acc_y = 0, acc_z = 0;
  std::optional<float> gyro_x, gyro_y, gyro_z;
  std::optional<float> mag_x, mag_y, mag_z;
  std::optional<float> temperature, light, battery;
};

// Column names in order: time, acc_x..z, then gyro_x..z and mag_x..z when present, then
// temperature, light and battery as flagged. `flags.magnetometer` is not consulted: the
// caller folds it into `mag_present`.
std::vector<std::string_view> csv_header(IncludeFlags flags, bool gyro_present, bool mag_present);

// The output file and its buffering. Text is built in place: line_space() gives room for
// one line (kCsvLineMax bytes), commit_line() takes it.
//
// Bytes reach the file exactly when they would through an 8 KiB encoder buffer in front of
// a 16 MiB file buffer: the encoder hands on its full 8192-byte chunk when the next byte
// is produced, and the file buffer writes its 16 MiB when a chunk would not fit. So the
// file's first write happens once 16 MiB + 8 KiB + 1 bytes have been produced, and each
// later one 16 MiB further on. A failure there is a Message with the system's
// description (no "IO error: " prefix); the final flush reports the Io error itself.
// Destroying an unfinished writer still writes out what was buffered, ignoring errors,
// and closes the file.
class CsvWriter {
 public:
  // Creates or truncates the file (0666 before the umask); failure is the Io error.
  static Result<CsvWriter> create(std::string_view path);

  CsvWriter(CsvWriter&&) noexcept = default;
  CsvWriter& operator=(CsvWriter&&) = delete;
  CsvWriter(const CsvWriter&) = delete;
  CsvWriter& operator=(const CsvWriter&) = delete;
  ~CsvWriter();

  char* line_space() noexcept { return buf_.get() + len_; }
  // Takes the text from line_space() up to `end` (at most kCsvLineMax bytes).
  Status commit_line(char* end) {
    len_ = static_cast<std::size_t>(end - buf_.get());
    if (len_ >= kSpillAt) return spill();
    return {};
  }
  // Where a line may end before it must be committed: lines that end before this point
  // may be written one after the other from line_space() and committed together (the
  // file is written at the same bytes as committing each), one that ends at or past it
  // must be committed before the next begins.
  const char* commit_point() const noexcept { return buf_.get() + kSpillAt; }
  // The `time` field of a line: the text of write_time4.
  char* put_time(char* out, std::int64_t us) noexcept { return times_.put(out, us); }
  // Writes the names joined by "," and a "\n".
  Status write_header(const std::vector<std::string_view>& names);
  // Writes out everything buffered and closes the file; failures are Io errors.
  Status finish();

 private:
  // Produced-but-unwritten bytes at which the file buffer writes its first 16 MiB.
  static constexpr std::size_t kSpillAt = kCsvFileBufferBytes + kCsvChunkBytes + 1;
  static constexpr std::size_t kCapacity = kSpillAt + kCsvLineMax;

  explicit CsvWriter(File file);
  Status spill();
  // Writes buf_[done_, upto); done_ advances by what was written, even on failure.
  Status write_out(std::size_t upto);

  File file_;
  std::unique_ptr<char[]> buf_;
  std::size_t len_ = 0;   // bytes in buf_
  std::size_t done_ = 0;  // leading bytes of buf_ already in the file (after a failure)
  bool interrupted_ = false;  // a signal's handler stopped a write
  TimeText times_;
};

// Writes one line. A requested temperature, light or battery value that the row lacks
// fails with "... requested but unavailable" before anything of the line is written; a
// gyroscope or magnetometer value the row lacks prints "NaN" when its columns are present.
Status write_csv_row(CsvWriter& writer, IncludeFlags flags, bool gyro_present, bool mag_present,
                     const CsvRow& row);

// Writes a collected result: gyroscope and magnetometer columns as the result has them,
// time = timestamps[i] - offset_us. The file is created first thing.
Status write_data_result_csv(std::string_view output_path, const CwaDataResult& data,
                             IncludeFlags flags, std::int64_t offset_us);

// The streamed route: scans the planned blocks' packet metadata for the channels present,
// then creates the file and decodes and writes block by block.
Status write_cwa_csv_data(std::string_view file_path, std::string_view output_path,
                          const ReadPlan& plan, IncludeFlags flags, std::int64_t offset_us);

// "output_path must not be the input recording" when both paths name one file (same
// device and inode: hard links, symbolic links and other spellings included). A path that
// cannot be examined (missing, or holding a NUL byte) never conflicts.
Status check_output_is_not_input(std::string_view file_path, std::string_view output_path);

// write_cwa_csv after its preparation: refuses to overwrite the recording, then takes the
// resampled route when a rate is given, the collected one when the plan has a time bound,
// and streams otherwise. In the first two the output is created only once every sample
// has been read.
Status write_csv_for_plan(std::string_view file_path, std::string_view output_path,
                          const ReadPlan& plan, IncludeFlags flags,
                          std::optional<double> resample_hz, std::int64_t offset_us);

}  // namespace tiltgram
