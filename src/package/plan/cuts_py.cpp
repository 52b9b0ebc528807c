#include "package/plan/cuts_py.hpp"

#include "binding/args_py.hpp"
#include "binding/ref_py.hpp"
#include "errors/messages.hpp"
#include "errors/raise_py.hpp"

namespace tiltgram::py {

namespace {

constexpr const char* kBoundNames[] = {"start", "end"};

PyObject* optional_to_py(const std::optional<double>& v) {
  return v ? PyFloat_FromDouble(*v) : Py_NewRef(Py_None);
}
PyObject* optional_to_py(const std::optional<std::uint64_t>& v) {
  return v ? PyLong_FromUnsignedLongLong(*v) : Py_NewRef(Py_None);
}

template <class T>
PyObject* make_cut_dict(const char* type, const std::optional<T>& start, const std::optional<T>& end) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef type_str = PyRef::steal(PyUnicode_FromString(type));
  PyRef start_obj = PyRef::steal(optional_to_py(start));
  PyRef end_obj = PyRef::steal(optional_to_py(end));
  if (!type_str || !start_obj || !end_obj) return nullptr;
  if (PyDict_SetItemString(dict.get(), "type", type_str.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "start", start_obj.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "end", end_obj.get()) < 0)
    return nullptr;
  return dict.release();
}

// Looks `key` up in a cut dict: false with an exception set, else `found` tells whether a
// non-None value is there (borrowed into `value`).
bool lookup(PyObject* dict, const char* key, PyObject*& value) {
  value = nullptr;
  PyObject* v = nullptr;
  if (PyDict_GetItemStringRef(dict, key, &v) < 0) return false;
  PyRef owned = PyRef::steal(v);
  if (v != nullptr && v != Py_None) value = owned.release();
  return true;
}

bool get_optional_f64(PyObject* dict, const char* key, std::optional<double>& out) {
  out.reset();
  PyObject* v;
  if (!lookup(dict, key, v)) return false;
  PyRef owned = PyRef::steal(v);
  if (v == nullptr) return true;
  double d;
  if (!to_f64(v, d)) return false;
  out = d;
  return true;
}

bool get_optional_usize(PyObject* dict, const char* key, std::optional<std::uint64_t>& out) {
  out.reset();
  PyObject* v;
  if (!lookup(dict, key, v)) return false;
  PyRef owned = PyRef::steal(v);
  if (v == nullptr) return true;
  std::uint64_t u;
  if (!to_u64(v, u)) return false;
  out = u;
  return true;
}

}  // namespace

PyObject* py_seconds(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr FunctionSpec spec{"seconds", kBoundNames, 0, {}};
    PyObject* a[2];
    if (!match_arguments(spec, args, nargsf, kwnames, a)) return nullptr;
    std::optional<double> start, end;
    if (!arg_optional_f64(a[0], "start", start) || !arg_optional_f64(a[1], "end", end))
      return nullptr;
    if (auto st = CutConfig::seconds(start, end).validate(); !st.ok())
      return raise(st.error(), Stage::Options);
    return make_cut_dict("seconds", start, end);
  });
}

PyObject* py_blocks(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr FunctionSpec spec{"blocks", kBoundNames, 0, {}};
    PyObject* a[2];
    if (!match_arguments(spec, args, nargsf, kwnames, a)) return nullptr;
    std::optional<std::uint64_t> start, end;
    if (!arg_optional_u64(a[0], "start", start) || !arg_optional_u64(a[1], "end", end))
      return nullptr;
    if (auto st = CutConfig::blocks(start, end).validate(); !st.ok())
      return raise(st.error(), Stage::Options);
    return make_cut_dict("blocks", start, end);
  });
}

bool parse_cut_config(PyObject* cut, CutConfig& out) {
  if (cut == nullptr || cut == Py_None) {
    out = CutConfig::whole();
    return true;
  }
  if (!PyDict_Check(cut)) {
    raise(CwaError::argument(msg::kCutNotFromConstructor), Stage::Options);
    return false;
  }
  PyObject* type_obj = nullptr;
  if (PyDict_GetItemStringRef(cut, "type", &type_obj) < 0) return false;
  PyRef type_ref = PyRef::steal(type_obj);
  if (type_obj == nullptr) {
    raise(CwaError::argument(msg::kCutMissingType), Stage::Options);
    return false;
  }
  if (!PyUnicode_Check(type_obj)) {
    raise_cannot_convert(type_obj, "PyString");
    return false;
  }
  Py_ssize_t len = 0;
  const char* type = PyUnicode_AsUTF8AndSize(type_obj, &len);
  if (type == nullptr) return false;
  const std::string_view kind(type, static_cast<std::size_t>(len));
  if (kind == "seconds") {
    std::optional<double> start, end;
    if (!get_optional_f64(cut, "start", start) || !get_optional_f64(cut, "end", end)) return false;
    out = CutConfig::seconds(start, end);
  } else if (kind == "blocks") {
    std::optional<std::uint64_t> start, end;
    if (!get_optional_usize(cut, "start", start) || !get_optional_usize(cut, "end", end))
      return false;
    out = CutConfig::blocks(start, end);
  } else {
    raise(CwaError::argument(msg::kCutBadType), Stage::Options);
    return false;
  }
  if (auto st = out.validate(); !st.ok()) {
    raise(st.error(), Stage::Options);
    return false;
  }
  return true;
}

}  // namespace tiltgram::py
