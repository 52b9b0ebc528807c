// The one conversion of a CwaError into a Python exception, and the guard that keeps C++
// exceptions from crossing into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "errors/error.hpp"

namespace tiltgram::py {

// Sets `type` (ValueError for a selection or option, RuntimeError for the file) with the
// error's text, unless an exception is set already (see run_signal_handlers), which is
// kept. Always returns nullptr.
PyObject* raise(const CwaError& err, PyObject* type);

// The interrupt check of file access (set_interrupt_check): runs the interpreter's signal
// handlers; when one raised (KeyboardInterrupt on Ctrl-C), returns EINTR as the error,
// which raise() then leaves to the handler's exception. Needs the interpreter lock, which
// every exported function holds throughout.
Status run_signal_handlers();

// Raises the BaseException-derived internal failure with `what`. Returns nullptr.
PyObject* raise_internal_failure(const char* what);

// Creates the internal-failure type once per process (module initialisation).
bool init_internal_failure_type();

// Runs an exported function's body: a new reference, or nullptr with an error set.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const OutOfMemory& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_failure(e.what());
  } catch (...) {
    return raise_internal_failure("unknown C++ exception");
  }
}

}  // namespace tiltgram::py
