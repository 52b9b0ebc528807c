// The preparation shared by read_cwa_file and write_cwa_csv: cut, resampling options,
// read plan and time zone, each failing with its own Python exception.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "package/plan/plan.hpp"
#include "package/read/read.hpp"

namespace tiltgram::py {

// The arguments after the path(s), in signature order: cut, the four flags, resample_hz,
// resample_method and the keyword-only time zone.
struct ReadArguments {
  PyObject* cut = nullptr;  // borrowed; nullptr or None for the whole recording
  IncludeFlags flags;
  std::optional<double> resample_hz;
  std::string_view resample_method;
  PyObject* tz = nullptr;  // borrowed tzinfo, or nullptr
};

// Converts args[0..8) (cut, flags, resample_hz, resample_method, time zone) with the
// flags' defaults in `defaults`. False with the argument's TypeError set.
bool convert_read_arguments(PyObject* const* args, IncludeFlags defaults, ReadArguments& out);

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
