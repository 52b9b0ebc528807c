#include "errors/raise_py.hpp"

#include <cerrno>
#include <string>

namespace tiltgram::py {

namespace {
// Process-wide and immutable after initialisation: the type object is never freed.
PyObject* internal_failure_type = nullptr;

void set_text(PyObject* type, const std::string& text) {
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return;
  PyErr_SetObject(type, msg);
  Py_DECREF(msg);
}
}  // namespace

PyObject* python_class(ErrorKind kind, Stage stage) noexcept {
  switch (kind) {
    case ErrorKind::Argument:
      return stage == Stage::Options ? PyExc_ValueError : PyExc_RuntimeError;
    case ErrorKind::Overflow:
      return PyExc_OverflowError;
    case ErrorKind::Memory:
      return PyExc_MemoryError;
    case ErrorKind::Io:
    case ErrorKind::Format:
      break;
  }
  return PyExc_RuntimeError;
}

PyObject* raise(const CwaError& err, Stage stage) {
  // An exception already set is a signal handler's, raised while the call waited in a
  // system call (the error is then that call's EINTR): it is the one to see.
  if (PyErr_Occurred()) return nullptr;
  set_text(python_class(err.kind(), stage), err.text());
  return nullptr;
}

Status run_signal_handlers() {
  if (PyErr_Occurred() || PyErr_CheckSignals() < 0) return CwaError::io(EINTR);
  return {};
}

bool init_internal_failure_type() {
  if (internal_failure_type != nullptr) return true;
  internal_failure_type = PyErr_NewExceptionWithDoc(
      "tiltgram.InternalFailure",
      "A broken internal invariant of the reader. Derived from BaseException so that it is "
      "not mistaken for a problem with the recording.",
      PyExc_BaseException, nullptr);
  return internal_failure_type != nullptr;
}

PyObject* raise_internal_failure(const char* what) {
  if (PyErr_Occurred()) PyErr_Clear();
  set_text(internal_failure_type != nullptr ? internal_failure_type : PyExc_SystemError,
           std::string(what));
  return nullptr;
}

}  // namespace tiltgram::py
