#pragma once

#include <Python.h>

namespace tiltgram::py {

PyObject* py_write_cwa_csv(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames);
extern const char kWriteCwaCsvDoc[];

}  // namespace tiltgram::py
