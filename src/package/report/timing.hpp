// The data-timing scan behind the metadata reports: first and last sample times and the
// number of samples, from packet metadata only (no sample is decoded).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "errors/error.hpp"
#include "header/header.hpp"

namespace tiltgram {

struct DataTiming {
  std::optional<std::int64_t> first_sample_us;  // first sample of the first data block
  std::optional<std::int64_t> last_sample_us;   // last sample of the last data block
  std::uint64_t sample_count = 0;
};

// Reads the whole file once, sector by sector after the metadata block. A trailing partial
// sector is the I/O error "failed to fill whole buffer"; an unusable packet its message.
Result<DataTiming> scan_data_timing(std::string_view path);

struct HeaderAndTiming {
  CwaHeader header;
  DataTiming timing;
};

// The metadata block and the data timing from one reading of the file, so that a pipe
// serves too: the errors of reading and parsing the metadata block first (as
// read_cwa_header() gives them), then those of the scan.
Result<HeaderAndTiming> read_header_and_timing(std::string_view path);

}  // namespace tiltgram
