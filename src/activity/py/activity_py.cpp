// tiltgram_tools._activity: the activity summaries of the core, for tiltgram_tools.summary.
//
// summarize(path, options) -> dict of plain values and bytes columns (float64, int64 or
// uint8, native order); the Python side makes the DataFrames. _walk(path, start_block,
// block_count) gives the samples of the block walk, for the tests that hold it to the
// plain read.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "activity/summary.hpp"
#include "binding/ref_py.hpp"
#include "errors/messages.hpp"
#include "errors/raise_py.hpp"
#include "package/walk/walk.hpp"
#include "packet/file.hpp"

namespace tiltgram::py {
namespace {

using activity::ActivitySummary;
using activity::SummaryOptions;

template <class T>
PyObject* bytes_of(const std::vector<T>& v) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(v.data()),
                                   static_cast<Py_ssize_t>(v.size() * sizeof(T)));
}

bool set(PyObject* dict, const char* key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

PyObject* triple(const double (&v)[3]) { return Py_BuildValue("(ddd)", v[0], v[1], v[2]); }

bool path_arg(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "path must be a str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) return false;
  out = std::string_view(text, static_cast<std::size_t>(size));
  return true;
}

// Reads option `key` of `options` into `out` when present.
bool option(PyObject* options, const char* key, double& out) {
  PyObject* v = PyDict_GetItemString(options, key);  // borrowed
  if (v == nullptr) return true;
  const double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

bool option(PyObject* options, const char* key, std::int64_t& out) {
  PyObject* v = PyDict_GetItemString(options, key);
  if (v == nullptr) return true;
  const long long d = PyLong_AsLongLong(v);
  if (d == -1 && PyErr_Occurred()) return false;
  out = d;
  return true;
}

bool option(PyObject* options, const char* key, std::uint64_t& out) {
  std::int64_t v = static_cast<std::int64_t>(out);
  if (!option(options, key, v)) return false;
  if (v < 0) {
    PyErr_Format(PyExc_ValueError, "%s must be >= 0", key);
    return false;
  }
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool parse_options(PyObject* d, SummaryOptions& o) {
  if (!PyDict_Check(d)) {
    PyErr_SetString(PyExc_TypeError, "options must be a dict");
    return false;
  }
  if (PyObject* v = PyDict_GetItemString(d, "calibrate")) {
    const int b = PyObject_IsTrue(v);
    if (b < 0) return false;
    o.calibrate = b != 0;
  }
  activity::CalibrationOptions& c = o.calibration;
  return option(d, "epoch_s", o.epoch_s) && option(d, "offset_us", o.offset_us) &&
         option(d, "window_fraction", o.window_fraction) &&
         option(d, "still_sd_mg", o.still_sd_mg) && option(d, "still_mean_g", o.still_mean_g) &&
         option(d, "calibration_min_windows", c.min_windows) &&
         option(d, "calibration_sphere_g", c.sphere_g) &&
         option(d, "calibration_max_error_mg", c.max_error_mg) &&
         option(d, "calibration_max_rounds", c.max_rounds) &&
         option(d, "calibration_tolerance_g", c.tolerance_g) &&
         option(d, "temperature_sd_c", c.temperature_sd_c) &&
         option(d, "nonwear_min", o.nonwear_min) &&
         option(d, "nonwear_epoch_fraction", o.nonwear_epoch_fraction) &&
         option(d, "cutpoint_light_mg", o.cutpoints_mg[0]) &&
         option(d, "cutpoint_moderate_mg", o.cutpoints_mg[1]) &&
         option(d, "cutpoint_vigorous_mg", o.cutpoints_mg[2]) &&
         option(d, "valid_day_wear_h", o.valid_day_wear_h);
}

PyObject* calibration_dict(const activity::Calibration& c) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return nullptr;
  if (!set(d.get(), "status", PyUnicode_FromString(activity::calibration_status_text(c.status))) ||
      !set(d.get(), "offset", triple(c.offset)) || !set(d.get(), "scale", triple(c.scale)) ||
      !set(d.get(), "temperature_coef", triple(c.temperature_coef)) ||
      !set(d.get(), "temperature_ref", PyFloat_FromDouble(c.temperature_ref)) ||
      !set(d.get(), "windows", PyLong_FromUnsignedLongLong(c.windows)) ||
      !set(d.get(), "error_before_mg", PyFloat_FromDouble(c.error_before_mg)) ||
      !set(d.get(), "error_after_mg", PyFloat_FromDouble(c.error_after_mg)))
    return nullptr;
  return d.release();
}

PyObject* summary_dict(const ActivitySummary& s) {
  PyRef d = PyRef::steal(PyDict_New());
  PyRef epochs = PyRef::steal(PyDict_New());
  PyRef days = PyRef::steal(PyDict_New());
  if (!d || !epochs || !days) return nullptr;
  const activity::EpochColumns& e = s.epochs;
  if (!set(epochs.get(), "samples", bytes_of(e.samples)) ||
      !set(epochs.get(), "enmo_mg", bytes_of(e.enmo_mg)) ||
      !set(epochs.get(), "mad_mg", bytes_of(e.mad_mg)) || !set(epochs.get(), "x", bytes_of(e.x)) ||
      !set(epochs.get(), "y", bytes_of(e.y)) || !set(epochs.get(), "z", bytes_of(e.z)) ||
      !set(epochs.get(), "temperature", bytes_of(e.temperature)) ||
      !set(epochs.get(), "light", bytes_of(e.light)) ||
      !set(epochs.get(), "nonwear", bytes_of(e.nonwear)))
    return nullptr;
  const activity::DayColumns& y = s.days;
  if (!set(days.get(), "wear_h", bytes_of(y.wear_h)) ||
      !set(days.get(), "nonwear_h", bytes_of(y.nonwear_h)) ||
      !set(days.get(), "nodata_h", bytes_of(y.nodata_h)) ||
      !set(days.get(), "enmo_mg", bytes_of(y.enmo_mg)) ||
      !set(days.get(), "sedentary_min", bytes_of(y.sedentary_min)) ||
      !set(days.get(), "light_min", bytes_of(y.light_min)) ||
      !set(days.get(), "moderate_min", bytes_of(y.moderate_min)) ||
      !set(days.get(), "vigorous_min", bytes_of(y.vigorous_min)) ||
      !set(days.get(), "valid", bytes_of(y.valid)))
    return nullptr;
  std::vector<std::int64_t> starts, ends;
  for (const activity::NonwearPeriod& p : s.nonwear) {
    starts.push_back(p.start_us);
    ends.push_back(p.end_us);
  }
  if (!set(d.get(), "calibration", calibration_dict(s.calibration)) ||
      !set(d.get(), "epoch_start_us", PyLong_FromLongLong(e.first_start_us)) ||
      !set(d.get(), "epoch_us", PyLong_FromLongLong(e.epoch_us)) ||
      PyDict_SetItemString(d.get(), "epochs", epochs.get()) < 0 ||
      !set(d.get(), "day_start_us", PyLong_FromLongLong(y.first_start_us)) ||
      PyDict_SetItemString(d.get(), "days", days.get()) < 0 ||
      !set(d.get(), "nonwear_start_us", bytes_of(starts)) ||
      !set(d.get(), "nonwear_end_us", bytes_of(ends)) ||
      !set(d.get(), "wear_h", PyFloat_FromDouble(s.wear_h)) ||
      !set(d.get(), "nonwear_h", PyFloat_FromDouble(s.nonwear_h)) ||
      !set(d.get(), "nodata_h", PyFloat_FromDouble(s.nodata_h)) ||
      !set(d.get(), "valid_days", PyLong_FromUnsignedLongLong(s.valid_days)) ||
      !set(d.get(), "enmo_mg", PyFloat_FromDouble(s.enmo_mg)) ||
      !set(d.get(), "enmo_mg_imputed", PyFloat_FromDouble(s.enmo_mg_imputed)) ||
      !set(d.get(), "first_sample_us", PyLong_FromLongLong(s.first_sample_us)) ||
      !set(d.get(), "last_sample_us", PyLong_FromLongLong(s.last_sample_us)) ||
      !set(d.get(), "samples", PyLong_FromUnsignedLongLong(s.samples)))
    return nullptr;
  return d.release();
}

PyObject* py_summarize(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *path_obj, *options_obj;
    if (!PyArg_ParseTuple(args, "OO:summarize", &path_obj, &options_obj)) return nullptr;
    std::string_view path;
    SummaryOptions o;
    if (!path_arg(path_obj, path) || !parse_options(options_obj, o)) return nullptr;
    if (Status st = activity::check_summary_options(o); !st.ok())
      return raise(st.error(), Stage::Options);
    Result<ActivitySummary> s = activity::summarize_recording(path, o);
    if (!s.ok()) return raise(s.error(), Stage::Recording);
    return summary_dict(s.value());
  });
}

// The block walk's samples as the plain read gives them: times, acceleration and the block
// readings, in the read's order of checks.
Result<std::vector<std::vector<std::uint8_t>>> walk_samples(std::string_view path,
                                                            std::optional<std::uint64_t> start,
                                                            std::optional<std::uint64_t> count) {
  TG_ASSIGN_OR_RETURN(BlockWalk walk, BlockWalk::open(path, start, count));
  std::vector<std::int64_t> times;
  std::vector<float> cols[6];
  const auto walked = [&]() -> Status {
    DecodedSamples d;
    std::int64_t t[kMaxSamplesPerPacket];
    for (;;) {
      TG_ASSIGN_OR_RETURN(bool more, walk.next());
      if (!more) break;
      TG_ASSIGN_OR_RETURN(SampleFormat format, walk.format(/*include_magnetometer=*/true));
      TG_ASSIGN_OR_RETURN(double end, walk.times(format.count, t));
      (void)end;
      walk.decode(format, {{d.acc[0], d.acc[1], d.acc[2]},
                           {d.gyro[0], d.gyro[1], d.gyro[2]},
                           {d.mag[0], d.mag[1], d.mag[2]}});
      const BlockReadings r = block_readings(walk.block());
      times.insert(times.end(), t, t + format.count);
      for (int a = 0; a < 3; ++a) cols[a].insert(cols[a].end(), d.acc[a], d.acc[a] + format.count);
      cols[3].insert(cols[3].end(), format.count, r.temperature);
      cols[4].insert(cols[4].end(), format.count, r.light);
      cols[5].insert(cols[5].end(), format.count, r.battery);
    }
    return {};
  };
  TG_TRY(walk.conclude(walked()));
  if (times.empty()) return CwaError::format(msg::kNoSampleDataInRange);
  std::vector<std::vector<std::uint8_t>> out;
  out.emplace_back(reinterpret_cast<const std::uint8_t*>(times.data()),
                   reinterpret_cast<const std::uint8_t*>(times.data() + times.size()));
  for (auto& c : cols)
    out.emplace_back(reinterpret_cast<const std::uint8_t*>(c.data()),
                     reinterpret_cast<const std::uint8_t*>(c.data() + c.size()));
  return out;
}

bool optional_block(PyObject* obj, std::optional<std::uint64_t>& out) {
  if (obj == Py_None) return true;
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

PyObject* py_walk(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject *path_obj, *start_obj = Py_None, *count_obj = Py_None;
    if (!PyArg_ParseTuple(args, "O|OO:_walk", &path_obj, &start_obj, &count_obj)) return nullptr;
    std::string_view path;
    std::optional<std::uint64_t> start, count;
    if (!path_arg(path_obj, path) || !optional_block(start_obj, start) ||
        !optional_block(count_obj, count))
      return nullptr;
    auto r = walk_samples(path, start, count);
    if (!r.ok()) return raise(r.error(), Stage::Recording);
    static const char* const kNames[] = {"time", "acc_x", "acc_y", "acc_z",
                                         "temperature", "light", "battery"};
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    for (std::size_t k = 0; k < 7; ++k)
      if (!set(d.get(), kNames[k], bytes_of(r.value()[k]))) return nullptr;
    return d.release();
  });
}

PyMethodDef kFunctions[] = {
    {"summarize", py_summarize, METH_VARARGS,
     "summarize(path, options)\n--\n\nThe activity summary of a recording, as plain values."},
    {"_walk", py_walk, METH_VARARGS,
     "_walk(path, start_block=None, block_count=None)\n--\n\nThe block walk's samples."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tiltgram_tools._activity",
    "Activity summaries of CWA recordings, computed in the reader's core.",
    -1,
    kFunctions,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tiltgram::py

PyMODINIT_FUNC PyInit__activity(void) {
  return tiltgram::py::guarded([]() -> PyObject* {
    if (!tiltgram::py::init_internal_failure_type()) return nullptr;
    tiltgram::set_interrupt_check(&tiltgram::py::run_signal_handlers);
    return PyModule_Create(&tiltgram::py::kModule);
  });
}
