#include "package/csv_py.hpp"

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

PyObject* py_write_cwa_csv(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "write_cwa_csv");
  return nullptr;
}

}  // namespace tiltgram::py
