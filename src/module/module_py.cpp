// Module initialisation: the six exported functions, registered in order, and __all__.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "binding/ref_py.hpp"
#include "errors/raise_py.hpp"
#include "package/csv/csv_py.hpp"
#include "package/plan/cuts_py.hpp"
#include "package/read/frame_py.hpp"
#include "package/read/read_py.hpp"
#include "package/report/reports_py.hpp"
#include "packet/file.hpp"

namespace tiltgram::py {
namespace {

constexpr int kFastCallKeywords = METH_FASTCALL | METH_KEYWORDS;

template <auto F>
PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

PyMethodDef kFunctions[] = {
    {"read_metadata", as_cfunction<&py_read_metadata>(), kFastCallKeywords, kReadMetadataDoc},
    {"sampling_consistency_report", as_cfunction<&py_sampling_consistency_report>(),
     kFastCallKeywords, kSamplingConsistencyReportDoc},
    {"seconds", as_cfunction<&py_seconds>(), kFastCallKeywords, "seconds(start=None, end=None)\n--\n\n"},
    {"blocks", as_cfunction<&py_blocks>(), kFastCallKeywords, "blocks(start=None, end=None)\n--\n\n"},
    {"read_cwa_file", as_cfunction<&py_read_cwa_file>(), kFastCallKeywords, kReadCwaFileDoc},
    {"write_cwa_csv", as_cfunction<&py_write_cwa_csv>(), kFastCallKeywords, kWriteCwaCsvDoc},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "tiltgram",
    "Fast, exact reader of AX3/AX6 CWA motion-sensor recordings into pandas and CSV.",
    0,        // no per-module state
    nullptr,  // functions are added by the initialisation body
    nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first loaded the module, and the module object itself: a repeated
// initialisation in that interpreter returns the same object.
std::int64_t first_interpreter = -1;
PyObject* the_module = nullptr;

bool add_function(PyObject* module, PyObject* name, PyObject* all, PyMethodDef* def) {
  PyRef fn = PyRef::steal(PyCMethod_New(def, module, name, nullptr));
  if (!fn) return false;
  PyRef fn_name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!fn_name) return false;
  if (PyList_Append(all, fn_name.get()) < 0) return false;
  return PyObject_SetAttr(module, fn_name.get(), fn.get()) == 0;
}

PyObject* init_module() {
  const std::int64_t interp = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interp < 0) return nullptr;
  if (first_interpreter >= 0 && interp != first_interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "tiltgram does not support sub-interpreters: it can only be imported once per "
                    "process, in the main interpreter");
    return nullptr;
  }
  first_interpreter = interp;
  if (the_module != nullptr) return Py_NewRef(the_module);

  if (!init_internal_failure_type()) return nullptr;
  set_interrupt_check(&run_signal_handlers);
  if (!init_numpy() || !init_buffer_owner_type()) return nullptr;

  PyRef module = PyRef::steal(PyModule_Create(&kModule));
  if (!module) return nullptr;
  PyRef name = PyRef::steal(PyUnicode_FromString(kModule.m_name));
  PyRef all = PyRef::steal(PyList_New(0));
  if (!name || !all) return nullptr;
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  for (PyMethodDef& def : kFunctions)
    if (!add_function(module.get(), name.get(), all.get(), &def)) return nullptr;
  the_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace tiltgram::py

PyMODINIT_FUNC PyInit_tiltgram(void) {
  return tiltgram::py::guarded([] { return tiltgram::py::init_module(); });
}
