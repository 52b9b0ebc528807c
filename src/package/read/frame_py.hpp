// Handing result columns to NumPy and pandas without copying, and the fixed UTC offset.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "package/columns/result.hpp"

namespace tiltgram::py {

// Creates the buffer-owner type (module initialisation).
bool init_buffer_owner_type();

// The fixed offset of a tzinfo (nullptr: none) in microseconds: tz.utcoffset(None), which
// must return a datetime.timedelta. False with an exception set.
bool fixed_timezone_offset_us(PyObject* tz, std::optional<std::int64_t>& out);

// Subtracts the offset from every time; OverflowError when a time leaves the int64 range.
bool apply_offset(CwaDataResult& data, std::int64_t offset_us);

// The DataFrame of a result: float32 columns in the fixed order over the result's own
// buffers, indexed by a DatetimeIndex "timestamp" (datetime64[us], UTC-aware when `utc`).
PyObject* build_dataframe(CwaDataResult&& data, bool utc);

}  // namespace tiltgram::py
