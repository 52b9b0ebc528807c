#include "package/report/reports_py.hpp"

#include <string>
#include <string_view>

#include "binding/args_py.hpp"
#include "binding/ref_py.hpp"
#include "errors/raise_py.hpp"
#include "header/header.hpp"
#include "package/report/timing.hpp"

namespace tiltgram::py {

const char kReadMetadataDoc[] =
    "read_metadata(file_path)\n--\n\n"
    "Read CWA header and sample timing metadata without timezone conversion.\n"
    "Scans packet metadata without decoding sensor values.\n"
    "`logging_start_time_raw`, `logging_end_time_raw`, and `last_change_time_raw`\n"
    "are naive ISO 8601 strings preserving the unaltered sensor clock values,\n"
    "or None when unset. Convert them to UTC or local time for most analysis.\n"
    "`start_from_data_raw` and `end_from_data_raw` are the first and last actual\n"
    "sample timestamps, including packet sample offsets and continuity correction,\n"
    "or None when no valid samples exist. Seconds cuts start at `start_from_data_raw`.\n"
    "`last_change_time_raw` records the last metadata write, which need not be\n"
    "the last clock synchronization; check your configuration software.";

const char kSamplingConsistencyReportDoc[] =
    "sampling_consistency_report(file_path)\n--\n\n"
    "Return a sampling consistency report for a CWA file.\n"
    "\n"
    "The returned dictionary contains:\n"
    "\n"
    "- `start_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_start_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `end_from_header_raw`: ISO 8601 timestamp from the metadata block `logging_end_time`\n"
    "  field, or `None` when the header uses an unset marker.\n"
    "- `duration_s_from_header`: `end_from_header_raw - start_from_header_raw` in seconds, or\n"
    "  `None` when either header timestamp is unavailable.\n"
    "- `start_from_data_raw`: ISO 8601 timestamp of the first sample produced by the data\n"
    "  packets, using the same packet timestamp, `timestampOffset`, and continuity\n"
    "  correction as `read_cwa_file`.\n"
    "- `end_from_data_raw`: ISO 8601 timestamp of the last sample produced by the data\n"
    "  packets, using the same timestamp calculation as `read_cwa_file`.\n"
    "- `duration_s_from_data`: `end_from_data_raw - start_from_data_raw` in seconds. This is\n"
    "  the inclusive first-sample-to-last-sample span, not the half-open packet end.\n"
    "- `samplingrate_hz_from_header`: nominal sampling rate decoded from the metadata\n"
    "  block sampling-rate code as `3200 / (1 << (15 - (rate_code & 0x0f)))`.\n"
    "- `samplingrate_hz_from_data`: effective sampling rate calculated as\n"
    "  `(sample_count - 1) / duration_s_from_data`, or `None` when fewer than two\n"
    "  samples or no positive data duration are available.\n"
    "\n"
    "All timestamp strings preserve the raw device clock without a timezone.\n"
    "Convert them to UTC or local time before analysis using the clock-sync offset.\n"
    "This method accepts no UTC offset or timezone.";

namespace {

constexpr const char* kFilePath[] = {"file_path"};

PyObject* str_or_none(const std::optional<std::string>& s) {
  if (!s) return Py_NewRef(Py_None);
  return PyUnicode_DecodeUTF8(s->data(), static_cast<Py_ssize_t>(s->size()), "replace");
}

PyObject* time_or_none(const std::optional<NaiveDateTime>& t) {
  if (!t) return Py_NewRef(Py_None);
  return str_or_none(format_raw_time(*t));
}

PyObject* us_or_none(const std::optional<std::int64_t>& us) {
  if (!us) return Py_NewRef(Py_None);
  return str_or_none(timestamp_us_to_raw_string(*us));
}

PyObject* float_or_none(const std::optional<double>& v) {
  return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}

// Sets dict[key] = value, taking the new reference `value`.
bool put(PyObject* dict, const char* key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

// The metadata block and the data timing of the recording named by the one argument.
bool load(const char* function, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          CwaHeader& header, DataTiming& timing);

bool take_path(const char* function, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               std::string_view& path) {
  const FunctionSpec spec{function, kFilePath, 1, {}};
  PyObject* a[1];
  return match_arguments(spec, args, nargsf, kwnames, a) && arg_str(a[0], "file_path", path);
}

bool load(const char* function, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          CwaHeader& header, DataTiming& timing) {
  std::string_view path;
  if (!take_path(function, args, nargsf, kwnames, path)) return false;
  auto r = read_header_and_timing(path);
  if (!r.ok()) return raise(r.error(), Stage::Recording) != nullptr;
  HeaderAndTiming v = std::move(r).value();
  header = std::move(v.header);
  timing = v.timing;
  return true;
}

}  // namespace

PyObject* py_read_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CwaHeader h;
    DataTiming t;
    if (!load("read_metadata", args, nargsf, kwnames, h, t)) return nullptr;

    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* o = d.get();
    const bool ok =
        put(o, "packet_header", str_or_none(h.packet_header)) &&
        put(o, "packet_length", PyLong_FromUnsignedLong(h.packet_length)) &&
        put(o, "hardware_type", str_or_none(h.hardware_type)) &&
        put(o, "device_id", PyLong_FromUnsignedLong(h.device_id)) &&
        put(o, "session_id", PyLong_FromUnsignedLong(h.session_id)) &&
        put(o, "upper_device_id", PyLong_FromUnsignedLong(h.upper_device_id)) &&
        put(o, "logging_start_time_raw", time_or_none(h.logging_start_time)) &&
        put(o, "logging_end_time_raw", time_or_none(h.logging_end_time)) &&
        put(o, "last_change_time_raw", time_or_none(h.last_change_time)) &&
        put(o, "start_from_data_raw", us_or_none(t.first_sample_us)) &&
        put(o, "end_from_data_raw", us_or_none(t.last_sample_us)) &&
        put(o, "flash_led", PyLong_FromUnsignedLong(h.flash_led)) &&
        put(o, "sensor_config", PyLong_FromUnsignedLong(h.sensor_config)) &&
        put(o, "sample_rate_hz", PyFloat_FromDouble(h.sample_rate_hz)) &&
        put(o, "accel_range", PyLong_FromUnsignedLong(h.accel_range)) &&
        put(o, "firmware_revision", PyLong_FromUnsignedLong(h.firmware_revision)) &&
        put(o, "annotation", str_or_none(h.annotation)) &&
        put(o, "gyro_range",
            h.gyro_range ? PyLong_FromUnsignedLong(*h.gyro_range) : Py_NewRef(Py_None)) &&
        put(o, "magnetometer_enabled", PyBool_FromLong(h.magnetometer_enabled));
    return ok ? d.release() : nullptr;
  });
}

PyObject* py_sampling_consistency_report(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CwaHeader h;
    DataTiming t;
    if (!load("sampling_consistency_report", args, nargsf, kwnames, h, t)) return nullptr;

    std::optional<double> header_duration;
    if (h.logging_start_time && h.logging_end_time) {
      const std::int64_t us = (h.logging_end_time->epoch_seconds() -
                               h.logging_start_time->epoch_seconds()) * 1000000;
      header_duration = static_cast<double>(us) / 1000000.0;
    }
    std::optional<double> data_duration;
    if (t.first_sample_us && t.last_sample_us)
      data_duration = static_cast<double>(*t.last_sample_us - *t.first_sample_us) / 1000000.0;
    std::optional<double> data_rate;
    if (data_duration && t.sample_count >= 2 && *data_duration > 0.0)
      data_rate = static_cast<double>(t.sample_count - 1) / *data_duration;

    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return nullptr;
    PyObject* o = d.get();
    const bool ok = put(o, "start_from_header_raw", time_or_none(h.logging_start_time)) &&
                    put(o, "end_from_header_raw", time_or_none(h.logging_end_time)) &&
                    put(o, "duration_s_from_header", float_or_none(header_duration)) &&
                    put(o, "start_from_data_raw", us_or_none(t.first_sample_us)) &&
                    put(o, "end_from_data_raw", us_or_none(t.last_sample_us)) &&
                    put(o, "duration_s_from_data", float_or_none(data_duration)) &&
                    put(o, "samplingrate_hz_from_header", PyFloat_FromDouble(h.sample_rate_hz)) &&
                    put(o, "samplingrate_hz_from_data", float_or_none(data_rate));
    return ok ? d.release() : nullptr;
  });
}

}  // namespace tiltgram::py
