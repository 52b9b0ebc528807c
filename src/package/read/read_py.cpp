#include "package/read/read_py.hpp"

#include "binding/args_py.hpp"
#include "binding/ref_py.hpp"
#include "errors/raise_py.hpp"
#include "package/plan/cuts_py.hpp"
#include "package/read/frame_py.hpp"
#include "package/read/read.hpp"
#include "package/read/request_py.hpp"

namespace tiltgram::py {

const char kReadCwaFileDoc[] =
    "read_cwa_file(file_path, cut=None, include_magnetometer=True, include_temperature=True, "
    "include_light=True, include_battery=True, resample_hz=None, resample_method=\"cubic\", *, "
    "fixed_utc_offset_timezone=None)\n--\n\n"
    "Python interface for reading CWA data.\n"
    "\n"
    "Returns a pandas DataFrame with a DatetimeIndex named `timestamp`.\n"
    "`fixed_utc_offset_timezone` accepts a Python `datetime.timezone` object.\n"
    "Its fixed offset is subtracted throughout and the index is UTC-aware.\n"
    "Otherwise the index is naive. Determine any named timezone's offset in Python\n"
    "at clock synchronization, rather than at recording start.\n"
    "Numeric channel columns retain their float32 dtype.\n"
    "\n"
    "Gyro and magnetometer columns are included only when present in the selected\n"
    "samples. Recorded zero measurements remain present; missing samples in a\n"
    "present channel are NaN.\n"
    "\n"
    "Optional resampling parameters:\n"
    "- `resample_hz`: when set, data is resampled onto a regular grid.\n"
    "- `resample_method`: currently supports `\"cubic\"`.";

bool prepare_read(std::string_view file_path, PyObject* cut, std::optional<double> resample_hz,
                  std::string_view resample_method, PyObject* tz, PreparedRead& out) {
  if (!parse_cut_config(cut, out.cut)) return false;
  auto rate = parse_resample_options(resample_hz, resample_method);
  if (!rate.ok()) {
    raise(rate.error(), Stage::Options);
    return false;
  }
  out.resample_hz = rate.value();
  auto plan = resolve_read_plan(file_path, out.cut);
  if (!plan.ok()) {
    raise(plan.error(), Stage::Recording);
    return false;
  }
  out.plan = plan.value();
  return fixed_timezone_offset_us(tz, out.offset_us);
}

bool convert_read_arguments(PyObject* const* a, IncludeFlags defaults, ReadArguments& out) {
  out.cut = a[0];
  return arg_flag(a[1], "include_magnetometer", defaults.magnetometer, out.flags.magnetometer) &&
         arg_flag(a[2], "include_temperature", defaults.temperature, out.flags.temperature) &&
         arg_flag(a[3], "include_light", defaults.light, out.flags.light) &&
         arg_flag(a[4], "include_battery", defaults.battery, out.flags.battery) &&
         arg_optional_f64(a[5], "resample_hz", out.resample_hz) &&
         arg_str_default(a[6], "resample_method", "cubic", out.resample_method) &&
         arg_optional_tzinfo(a[7], "fixed_utc_offset_timezone", out.tz);
}

namespace {

constexpr const char* kPositional[] = {
    "file_path",     "cut",         "include_magnetometer", "include_temperature",
    "include_light", "include_battery", "resample_hz",      "resample_method"};
constexpr const char* kKeywordOnly[] = {"fixed_utc_offset_timezone"};

}  // namespace

PyObject* py_read_cwa_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr FunctionSpec spec{"read_cwa_file", kPositional, 1, kKeywordOnly};
    PyObject* a[9];
    if (!match_arguments(spec, args, nargsf, kwnames, a)) return nullptr;
    std::string_view path;
    ReadArguments r;
    if (!arg_str(a[0], "file_path", path) ||
        !convert_read_arguments(a + 1, IncludeFlags{true, true, true, true}, r))
      return nullptr;
    const IncludeFlags flags = r.flags;

    PreparedRead prep;
    if (!prepare_read(path, r.cut, r.resample_hz, r.resample_method, r.tz, prep)) return nullptr;
    auto data = prep.resample_hz
                    ? read_cwa_data_resampled_streaming(path, prep.plan, flags, *prep.resample_hz)
                    : [&]() -> Result<CwaDataResult> {
                        TG_ASSIGN_OR_RETURN(CwaDataResult r,
                                            read_cwa_data(path, prep.plan.start_block,
                                                          prep.plan.block_count, flags));
                        return filter_data_by_time_range(std::move(r), prep.plan.start_time_s,
                                                         prep.plan.end_time_s);
                      }();
    if (!data.ok()) return raise(data.error(), Stage::Recording);
    if (prep.offset_us && !apply_offset(data.value(), *prep.offset_us)) return nullptr;
    return build_dataframe(std::move(data).value(), prep.offset_us.has_value());
  });
}

}  // namespace tiltgram::py
