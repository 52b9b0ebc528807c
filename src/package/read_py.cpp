#include "package/read_py.hpp"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL tiltgram_ARRAY_API
#include <numpy/arrayobject.h>

#include "errors/raise_py.hpp"

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

PyObject* py_read_cwa_file(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "read_cwa_file");
  return nullptr;
}

}  // namespace tiltgram::py
