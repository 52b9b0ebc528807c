#pragma once

#include <Python.h>

namespace tiltgram::py {

PyObject* py_read_metadata(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                           PyObject* kwnames);
PyObject* py_sampling_consistency_report(PyObject* self, PyObject* const* args,
                                         Py_ssize_t nargsf, PyObject* kwnames);

extern const char kReadMetadataDoc[];
extern const char kSamplingConsistencyReportDoc[];

}  // namespace tiltgram::py
