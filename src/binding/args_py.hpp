// Argument intake of the exported functions: matching fast-call arguments to a parameter
// table with the texts users know from Python functions, and the conversions of each
// parameter kind.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace tiltgram::py {

struct FunctionSpec {
  const char* name;
  std::span<const char* const> positional;  // positional-or-keyword, in order
  std::size_t required;                     // the first `required` positionals
  std::span<const char* const> keyword_only;
  std::size_t size() const noexcept { return positional.size() + keyword_only.size(); }
};

// Fills out[0..spec.size()) with borrowed references (nullptr when not given). On an
// argument error sets TypeError and returns false.
bool match_arguments(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, PyObject** out);

// Conversions. Each returns false with an exception set; a TypeError is raised as
// "argument '{name}': {text}".
bool arg_str(PyObject* obj, const char* name, std::string_view& out);
bool arg_str_default(PyObject* obj, const char* name, std::string_view dflt, std::string_view& out);
bool arg_flag(PyObject* obj, const char* name, bool dflt, bool& out);
bool arg_optional_f64(PyObject* obj, const char* name, std::optional<double>& out);
bool arg_optional_u64(PyObject* obj, const char* name, std::optional<std::uint64_t>& out);
bool arg_optional_tzinfo(PyObject* obj, const char* name, PyObject*& out);

// Plain conversions without the argument prefix (values inside a cut dict).
bool to_f64(PyObject* obj, double& out);
bool to_u64(PyObject* obj, std::uint64_t& out);

// Re-raises a pending TypeError as "argument '{name}': {text}", keeping its cause.
void prefix_type_error(const char* name);

// Raises TypeError "'{type}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* obj, const char* target);

}  // namespace tiltgram::py
