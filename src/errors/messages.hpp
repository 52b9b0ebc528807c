// Every fixed text the reader reports, each written once. A route that meets the same
// condition uses the same constant, so a text can never drift on one route alone; the
// tests check each text on every route that can reach it.
#pragma once

#include <string>
#include <string_view>

namespace tiltgram::msg {

// The metadata block and the file as a whole.
inline constexpr char kNotCwaFile[] = "Not a valid CWA file";
inline constexpr char kFileTooSmall[] = "File too small to be a valid CWA file";
inline constexpr char kIncompleteBlock[] = "Incomplete CWA data block";
inline constexpr char kNotMetadataBlock[] = "First block is not a metadata block";
inline constexpr char kInvalidPacketHeader[] = "Invalid packet header format";
// A sector that the file's size promised but a read did not deliver (the file shrank).
inline constexpr char kUnexpectedEnd[] = "Unexpected end of CWA data";

// Gzip-compressed recordings: "Invalid gzip data: CRC-32 mismatch". The other texts after
// the prefix are zlib's own descriptions ("invalid block type", "incorrect header check", ...).
inline constexpr char kInvalidGzipPrefix[] = "Invalid gzip data: ";
inline constexpr char kGzipEndsEarly[] = "compressed data ends early";
inline constexpr char kGzipAfterLastMember[] = "unexpected data after the last member";
inline constexpr char kGzipCrcMismatch[] = "CRC-32 mismatch";
inline constexpr char kGzipLengthMismatch[] = "length mismatch";

// A call that reads the recording twice, given a pipe: "A seconds cut needs a regular
// file: it reads the recording twice, and a pipe can be read only once".
inline std::string needs_regular_file(const char* what) {
  return std::string(what) +
         " needs a regular file: it reads the recording twice, and a pipe can be read only once";
}
inline constexpr char kSecondsCutReadsTwice[] = "A seconds cut";
inline constexpr char kCsvReadsTwice[] = "write_cwa_csv without resample_hz";

// Data packets.
inline constexpr char kInvalidDataHeader[] = "Invalid data block header";
inline constexpr char kOldFormat[] = "Old CWA format packets are not supported";
inline constexpr char kCountExceedsCapacity[] = "Sample count exceeds packet capacity";
inline constexpr char kInvalidTimestamp[] = "Invalid block timestamp";

// "Unsupported sample format: 3 axes, packing 1"
inline std::string unsupported_format(unsigned axes, unsigned packing) {
  return "Unsupported sample format: " + std::to_string(axes) + " axes, packing " +
         std::to_string(packing);
}

// "Insufficient data for packed 3-axis samples": a count past the sample area.
inline std::string insufficient_data(const char* what) {
  return std::string("Insufficient data for ") + what + " samples";
}

// The read plan and the selection.
inline constexpr char kStartBeyondFile[] = "Start block is beyond file size";
inline constexpr char kNoSampleData[] = "No valid sample data found";
inline constexpr char kNoSampleDataInRange[] = "No valid sample data found in the specified range";
inline constexpr char kNoSamplesAfterSecondsCut[] = "No samples remain after applying seconds cut";
inline constexpr char kNoSamplesAfterTimeRange[] = "No samples remain after applying time range";
inline constexpr char kNoSamplesAfterResampling[] =
    "No samples remain after applying time range/resampling";
inline constexpr char kTimeRangeNotFinite[] = "time range values must be finite";
inline constexpr char kTimeRangeOrder[] = "range_end_time must be greater than range_start_time";

// Cut validation (ValueError).
inline constexpr char kBlocksOrder[] = "blocks end must be greater than start";
inline constexpr char kSecondsNotFinite[] = "seconds cut values must be finite";
inline constexpr char kSecondsNegative[] = "seconds cut values must be >= 0";
inline constexpr char kSecondsOrder[] = "seconds end must be greater than start";
inline constexpr char kCutNotFromConstructor[] = "cut must be created by seconds() or blocks()";
inline constexpr char kCutMissingType[] = "cut is missing type";
inline constexpr char kCutBadType[] = "cut type must be 'seconds' or 'blocks'";

// Resampling options (ValueError).
inline constexpr char kResampleHzPositive[] = "resample_hz must be a finite value > 0";
inline constexpr char kResampleHzTooHigh[] = "resample_hz must be <= 10000";
// "Unsupported resample_method 'linear'. Supported: cubic"
inline std::string unsupported_resample_method(std::string_view method) {
  return "Unsupported resample_method '" + std::string(method) + "'. Supported: cubic";
}

// The CSV writer.
inline constexpr char kOutputIsInput[] = "output_path must not be the input recording";
inline constexpr char kTemperatureUnavailable[] = "Temperature requested but unavailable";
inline constexpr char kLightUnavailable[] = "Light requested but unavailable";
inline constexpr char kBatteryUnavailable[] = "Battery requested but unavailable";

// The fixed UTC offset (OverflowError).
inline constexpr char kOffsetOverflow[] =
    "fixed_utc_offset_timezone offset does not fit in 64-bit microseconds";
// A sample time that the fixed UTC offset shifts out of the int64 range.
inline constexpr char kShiftOverflow[] =
    "a timestamp shifted by fixed_utc_offset_timezone does not fit in a signed 64-bit integer "
    "of microseconds";

// Memory (MemoryError): "cannot allocate 3.9 GB (120,960,000 rows of 32 bytes) for
// 1,008,000 blocks of samples: 3.5 GB available", or where the amount is available but not
// with the reserve, "...: 4.0 GB available, and 221.6 MB must stay free for the rest of
// the process". Amounts and counts come written ("3.9 GB", "1,008,000").
inline std::string cannot_allocate(const std::string& amount, const std::string& what,
                                   const std::string& why) {
  return "cannot allocate " + amount + " for " + what + ": " + why;
}
inline std::string blocks_of_samples(const std::string& blocks) {
  return blocks + " blocks of samples";
}
// "a 10000 Hz grid"
inline std::string grid(const std::string& hz) { return "a " + hz + " Hz grid"; }
inline std::string rows_of_bytes(const std::string& rows, const std::string& bytes) {
  return rows + " rows of " + bytes + " bytes";
}
inline std::string available_bytes(const std::string& amount) { return amount + " available"; }
inline std::string available_with_reserve(const std::string& amount, const std::string& reserve) {
  return amount + " available, and " + reserve + " must stay free for the rest of the process";
}
inline std::string address_space_limited(const std::string& amount) {
  return "the address space is limited to " + amount + " (RLIMIT_AS)";
}
inline constexpr char kMemoryRefused[] = "the system refused the memory";

}  // namespace tiltgram::msg
