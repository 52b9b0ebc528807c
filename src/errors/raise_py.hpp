// The one conversion of a CwaError into a Python exception, and the guard that keeps C++
// exceptions from crossing into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "errors/error.hpp"

namespace tiltgram::py {

// Where an exported function is when an error arises, as far as its Python class depends
// on it.
enum class Stage {
  // Taking the cut and the resampling options (and seconds(), blocks()): before the
  // recording is opened.
  Options,
  // Everything that touches the recording or the output: the plan, reading, filtering,
  // resampling, writing, the metadata reports.
  Recording,
};

// The Python class of an error of `kind` at `stage`; the one place that decides it:
//   Argument  ValueError while the options are taken; RuntimeError at the recording (the
//             time range a cut selects there, an output path that is the input)
//   Io        RuntimeError, never OSError
//   Format    RuntimeError
//   Overflow  OverflowError
//   Memory    MemoryError
PyObject* python_class(ErrorKind kind, Stage stage) noexcept;

// Sets the error's Python class (python_class) with its text, unless an exception is set
// already (see run_signal_handlers), which is kept. Always returns nullptr.
PyObject* raise(const CwaError& err, Stage stage);

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
    PyErr_SetString(python_class(ErrorKind::Memory, Stage::Recording), e.what());
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
