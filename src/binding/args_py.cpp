#include "binding/args_py.hpp"

#include <cstring>
#include <string>

#include "binding/ref_py.hpp"

namespace tiltgram::py {

namespace {

void raise_type_error(const std::string& text) { PyErr_SetString(PyExc_TypeError, text.c_str()); }

std::string full_name(const FunctionSpec& spec) { return std::string(spec.name) + "()"; }

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::string* names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) {
      if (n > 2) out += ',';
      out += i == n - 1 ? " and " : " ";
    }
    out += '\'' + names[i] + '\'';
  }
  return out;
}

long find_name(std::span<const char* const> names, std::string_view key) {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (key == names[i]) return static_cast<long>(i);
  return -1;
}

}  // namespace

bool match_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** out) {
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  const std::size_t npos = spec.positional.size();
  for (std::size_t i = 0; i < spec.size(); ++i) out[i] = nullptr;

  if (nargs > npos) {
    const char* verb = nargs == 1 ? "was" : "were";
    if (spec.required != npos)
      raise_type_error(full_name(spec) + " takes from " + std::to_string(spec.required) + " to " +
                       std::to_string(npos) + " positional arguments but " +
                       std::to_string(nargs) + " " + verb + " given");
    else
      raise_type_error(full_name(spec) + " takes " + std::to_string(npos) +
                       " positional arguments but " + std::to_string(nargs) + " " + verb +
                       " given");
    return false;
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];

  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      PyObject* value = args[nargs + static_cast<std::size_t>(k)];
      Py_ssize_t len = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(key, &len);
      if (utf8 == nullptr) PyErr_Clear();
      if (utf8 != nullptr) {
        const std::string_view name(utf8, static_cast<std::size_t>(len));
        // Keyword-only parameters first, then the positional ones by name.
        PyObject** slot = nullptr;
        if (long i = find_name(spec.keyword_only, name); i >= 0)
          slot = &out[npos + static_cast<std::size_t>(i)];
        else if (long j = find_name(spec.positional, name); j >= 0)
          slot = &out[static_cast<std::size_t>(j)];
        if (slot != nullptr) {
          if (*slot != nullptr) {
            raise_type_error(full_name(spec) + " got multiple values for argument '" +
                             std::string(name) + "'");
            return false;
          }
          *slot = value;
          continue;
        }
      }
      PyRef text = PyRef::steal(PyObject_Str(key));
      if (!text) return false;
      const char* shown = PyUnicode_AsUTF8(text.get());
      if (shown == nullptr) return false;
      raise_type_error(full_name(spec) + " got an unexpected keyword argument '" + shown + "'");
      return false;
    }
  }

  if (nargs < spec.required) {
    std::string missing[8];
    std::size_t n = 0;
    for (std::size_t i = 0; i < spec.required && n < 8; ++i)
      if (out[i] == nullptr) missing[n++] = spec.positional[i];
    if (n > 0) {
      raise_type_error(full_name(spec) + " missing " + std::to_string(n) + " required positional " +
                       (n == 1 ? "argument" : "arguments") + ": " + name_list(missing, n));
      return false;
    }
  }
  return true;
}

void raise_cannot_convert(PyObject* obj, const char* target) {
  PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

void prefix_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  if (!text) return;
  PyRef msg = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!msg) return;
  PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
  if (!wrapped) return;
  PyObject* cause = PyException_GetCause(exc.get());  // new reference or NULL
  if (cause != nullptr) PyException_SetCause(wrapped.get(), cause);  // steals
  PyErr_SetRaisedException(wrapped.release());
}

bool arg_str(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    raise_cannot_convert(obj, "PyString");
    prefix_type_error(name);
    return false;
  }
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (s == nullptr) {
    prefix_type_error(name);
    return false;
  }
  out = std::string_view(s, static_cast<std::size_t>(len));
  return true;
}

bool arg_str_default(PyObject* obj, const char* name, std::string_view dflt, std::string_view& out) {
  if (obj == nullptr) {
    out = dflt;
    return true;
  }
  return arg_str(obj, name, out);
}

bool arg_flag(PyObject* obj, const char* name, bool dflt, bool& out) {
  if (obj == nullptr) {
    out = dflt;
    return true;
  }
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  // NumPy's boolean scalar converts through its truth value.
  PyTypeObject* type = Py_TYPE(obj);
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) PyErr_Clear();
  bool is_numpy_bool = false;
  if (module && PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0) {
    PyRef tname = PyRef::steal(PyType_GetName(type));
    if (!tname) PyErr_Clear();
    is_numpy_bool = tname && (PyUnicode_CompareWithASCIIString(tname.get(), "bool_") == 0 ||
                              PyUnicode_CompareWithASCIIString(tname.get(), "bool") == 0);
  }
  if (is_numpy_bool) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) {
      prefix_type_error(name);
      return false;
    }
    out = truth == 1;
    return true;
  }
  raise_cannot_convert(obj, "PyBool");
  prefix_type_error(name);
  return false;
}

bool to_f64(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_u64(PyObject* obj, std::uint64_t& out) {
  unsigned long long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index = PyRef::steal(PyNumber_Index(obj));
    if (!index) return false;
    v = PyLong_AsUnsignedLongLong(index.get());
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool arg_optional_f64(PyObject* obj, const char* name, std::optional<double>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  double v;
  if (!to_f64(obj, v)) {
    prefix_type_error(name);
    return false;
  }
  out = v;
  return true;
}

bool arg_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out) {
  out.reset();
  if (obj == nullptr || obj == Py_None) return true;
  std::uint64_t v;
  if (!to_u64(obj, v)) {
    prefix_type_error(name);
    return false;
  }
  out = v;
  return true;
}

bool arg_optional_tzinfo(PyObject* obj, const char* name, PyObject*& out) {
  out = nullptr;
  if (obj == nullptr || obj == Py_None) return true;
  PyRef datetime = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!datetime) return false;
  PyRef tzinfo = PyRef::steal(PyObject_GetAttrString(datetime.get(), "tzinfo"));
  if (!tzinfo) return false;
  const int is = PyObject_IsInstance(obj, tzinfo.get());
  if (is < 0) return false;
  if (is == 0) {
    raise_cannot_convert(obj, "PyTzInfo");
    prefix_type_error(name);
    return false;
  }
  out = obj;
  return true;
}

}  // namespace tiltgram::py
