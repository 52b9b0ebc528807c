#include "package/csv/csv_py.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

#include "binding/args_py.hpp"
#include "errors/raise_py.hpp"
#include "package/csv/csv.hpp"
#include "package/read/read.hpp"
#include "package/read/request_py.hpp"

namespace tiltgram::py {

const char kWriteCwaCsvDoc[] =
    "write_cwa_csv(file_path, output_path, cut=None, include_magnetometer=True, "
    "include_temperature=False, include_light=False, include_battery=False, resample_hz=None, "
    "resample_method=\"cubic\", *, fixed_utc_offset_timezone=None)\n--\n\n"
    "Write CWA samples directly to CSV.\n"
    "\n"
    "Supports the same optional resampling and time-range controls as `read_cwa_file`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object;\n"
    "with it, numeric `time` values are UTC Unix seconds.\n"
    "Otherwise they encode the device clock without assigning a timezone.";

namespace {

constexpr const char* kPositional[] = {
    "file_path",           "output_path",   "cut",
    "include_magnetometer", "include_temperature", "include_light",
    "include_battery",     "resample_hz",   "resample_method"};
constexpr const char* kKeywordOnly[] = {"fixed_utc_offset_timezone"};

}  // namespace

PyObject* py_write_cwa_csv(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr FunctionSpec spec{"write_cwa_csv", kPositional, 2, kKeywordOnly};
    PyObject* a[10];
    if (!match_arguments(spec, args, nargsf, kwnames, a)) return nullptr;
    std::string_view path, output;
    ReadArguments r;
    if (!arg_str(a[0], "file_path", path) || !arg_str(a[1], "output_path", output) ||
        !convert_read_arguments(a + 2, IncludeFlags{true, false, false, false}, r))
      return nullptr;
    const IncludeFlags flags = r.flags;

    PreparedRead prep;
    if (!prepare_read(path, r.cut, r.resample_hz, r.resample_method, r.tz, prep)) return nullptr;
    if (auto bounds = check_time_bounds(prep.plan.start_time_s, prep.plan.end_time_s); !bounds.ok())
      return raise(bounds.error(), Stage::Recording);
    const std::int64_t offset_us = prep.offset_us.value_or(0);

    if (auto st = write_csv_for_plan(path, output, prep.plan, flags, prep.resample_hz, offset_us);
        !st.ok())
      return raise(st.error(), Stage::Recording);
    Py_RETURN_NONE;
  });
}

}  // namespace tiltgram::py
