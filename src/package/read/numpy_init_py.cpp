// The one translation unit that owns NumPy's C API table.
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL tiltgram_ARRAY_API
#include <numpy/arrayobject.h>

#include "package/read/read_py.hpp"

namespace tiltgram::py {

bool init_numpy() {
  if (PyArray_API != nullptr) return true;
  import_array1(false);
  return true;
}

}  // namespace tiltgram::py
