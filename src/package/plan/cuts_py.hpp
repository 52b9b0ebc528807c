// The Python side of cuts: seconds(), blocks(), and reading a `cut` argument back.
#pragma once

#include <Python.h>

#include "package/plan/cuts.hpp"

namespace tiltgram::py {

PyObject* py_seconds(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* py_blocks(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

// Turns the `cut` argument (nullptr or None for the whole recording) into a validated
// CutConfig. Returns false with a Python exception set (ValueError, TypeError, ...).
bool parse_cut_config(PyObject* cut, CutConfig& out);

}  // namespace tiltgram::py
