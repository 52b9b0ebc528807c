// The preparation shared by read_cwa_file and write_cwa_csv: cut, resampling options,
// read plan and time zone, each failing with its own Python exception.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "package/plan.hpp"

namespace tiltgram::py {

struct PreparedRead {
  CutConfig cut;
  std::optional<double> resample_hz;
  ReadPlan plan;
  std::optional<std::int64_t> offset_us;
};

// In this order: the cut (ValueError/TypeError), the resampling options (ValueError), the
// read plan (RuntimeError), the time zone (its own exception). False with an exception set.
bool prepare_read(std::string_view file_path, PyObject* cut, std::optional<double> resample_hz,
                  std::string_view resample_method, PyObject* tz, PreparedRead& out);

}  // namespace tiltgram::py
