#pragma once

#include <Python.h>

namespace tiltgram::py {

PyObject* py_read_cwa_file(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames);
extern const char kReadCwaFileDoc[];

// Imports NumPy's C API (module initialisation).
bool init_numpy();

}  // namespace tiltgram::py
