// One strong reference to a Python object, or none.
#pragma once

#include <Python.h>

#include <utility>

namespace tiltgram::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    Py_XDECREF(std::exchange(obj_, std::exchange(o.obj_, nullptr)));
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

}  // namespace tiltgram::py
