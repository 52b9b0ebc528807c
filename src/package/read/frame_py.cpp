#include "package/read/frame_py.hpp"

#define NO_IMPORT_ARRAY
#define PY_ARRAY_UNIQUE_SYMBOL tiltgram_ARRAY_API
#include <numpy/arrayobject.h>

#include "binding/args_py.hpp"
#include "binding/ref_py.hpp"
#include "errors/messages.hpp"
#include "errors/raise_py.hpp"

namespace tiltgram::py {

namespace {

// The base object of every array we make: it owns one mapping and unmaps it when the last
// array that refers to it goes away.
struct BufferOwner {
  PyObject_HEAD
  MappedBuffer buffer;
};

PyTypeObject* buffer_owner_type = nullptr;  // process-wide, immutable after creation

void buffer_owner_dealloc(PyObject* self) {
  auto* owner = reinterpret_cast<BufferOwner*>(self);
  owner->buffer.~MappedBuffer();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kOwnerSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_owner_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of tiltgram result arrays.")},
    {0, nullptr},
};

PyType_Spec kOwnerSpec = {
    "tiltgram._BufferOwner", sizeof(BufferOwner), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kOwnerSlots,
};

// A 1-D array of `count` elements over `buffer`, which the array then owns.
PyObject* array_over(MappedBuffer buffer, std::size_t count, int npy_type) {
  PyRef owner = PyRef::steal(PyType_GenericAlloc(buffer_owner_type, 0));
  if (!owner) return nullptr;
  void* data = buffer.data();
  new (&reinterpret_cast<BufferOwner*>(owner.get())->buffer) MappedBuffer(std::move(buffer));
  npy_intp dims[1] = {static_cast<npy_intp>(count)};
  PyRef array = PyRef::steal(PyArray_New(&PyArray_Type, 1, dims, npy_type, nullptr, data, 0,
                                         NPY_ARRAY_CARRAY, nullptr));
  if (!array) return nullptr;
  // Steals the owner even when it fails.
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0)
    return nullptr;
  return array.release();
}

template <class T>
PyObject* column_array(Column<T>& col, int npy_type) {
  const std::size_t n = col.size();
  col.shrink_to_fit();
  return array_over(col.release(), n, npy_type);
}

bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef v = PyRef::steal(value);
  return v && PyDict_SetItemString(dict, key, v.get()) == 0;
}

}  // namespace

bool init_buffer_owner_type() {
  if (buffer_owner_type != nullptr) return true;
  buffer_owner_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kOwnerSpec));
  return buffer_owner_type != nullptr;
}

bool fixed_timezone_offset_us(PyObject* tz, std::optional<std::int64_t>& out) {
  out.reset();
  if (tz == nullptr) return true;
  PyRef delta = PyRef::steal(PyObject_CallMethod(tz, "utcoffset", "O", Py_None));
  if (!delta) return false;
  PyRef datetime = PyRef::steal(PyImport_ImportModule("datetime"));
  if (!datetime) return false;
  PyRef timedelta = PyRef::steal(PyObject_GetAttrString(datetime.get(), "timedelta"));
  if (!timedelta) return false;
  const int is = PyObject_IsInstance(delta.get(), timedelta.get());
  if (is < 0) return false;
  if (is == 0) {
    raise_cannot_convert(delta.get(), "PyDelta");
    return false;
  }
  long long parts[3];
  const char* names[3] = {"days", "seconds", "microseconds"};
  for (int k = 0; k < 3; ++k) {
    PyRef v = PyRef::steal(PyObject_GetAttrString(delta.get(), names[k]));
    if (!v) return false;
    parts[k] = PyLong_AsLongLong(v.get());
    if (parts[k] == -1 && PyErr_Occurred()) return false;
  }
  std::int64_t days_us, secs_us, total;
  if (__builtin_mul_overflow(parts[0], std::int64_t{86400000000}, &days_us) ||
      __builtin_mul_overflow(parts[1], std::int64_t{1000000}, &secs_us) ||
      __builtin_add_overflow(days_us, secs_us, &total) ||
      __builtin_add_overflow(total, parts[2], &total)) {
    raise(CwaError::overflow(msg::kOffsetOverflow), Stage::Recording);
    return false;
  }
  out = total;
  return true;
}

bool apply_offset(CwaDataResult& data, std::int64_t offset_us) {
  std::int64_t* t = data.timestamps.data();
  const std::size_t n = data.rows();
  if (!shift_fits(t, n, offset_us)) {
    raise(CwaError::overflow(msg::kShiftOverflow), Stage::Recording);
    return false;
  }
  for (std::size_t i = 0; i < n; ++i) t[i] -= offset_us;
  return true;
}

PyObject* build_dataframe(CwaDataResult&& data, bool utc) {
  PyRef columns = PyRef::steal(PyDict_New());
  if (!columns) return nullptr;
  if (!set_item(columns.get(), "acc_x", column_array(data.acc_x, NPY_FLOAT32)) ||
      !set_item(columns.get(), "acc_y", column_array(data.acc_y, NPY_FLOAT32)) ||
      !set_item(columns.get(), "acc_z", column_array(data.acc_z, NPY_FLOAT32)))
    return nullptr;
  for (std::size_t c = 0; c < kChannelCount; ++c) {
    OptionalColumn& col = data.optional[c];
    if (!col.present) continue;
    if (!set_item(columns.get(), kChannelNames[c], column_array(col.values, NPY_FLOAT32)))
      return nullptr;
  }
  PyRef times = PyRef::steal(column_array(data.timestamps, NPY_INT64));
  if (!times) return nullptr;

  PyRef pandas = PyRef::steal(PyImport_ImportModule("pandas"));
  if (!pandas) return nullptr;
  PyRef index_kwargs = PyRef::steal(PyDict_New());
  if (!index_kwargs) return nullptr;
  if (!set_item(index_kwargs.get(), "name", PyUnicode_FromString("timestamp")) ||
      !set_item(index_kwargs.get(), "copy", Py_NewRef(Py_False)) ||
      !set_item(index_kwargs.get(), "dtype",
                PyUnicode_FromString(utc ? "datetime64[us, UTC]" : "datetime64[us]")))
    return nullptr;
  PyRef index_type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DatetimeIndex"));
  if (!index_type) return nullptr;
  PyRef args = PyRef::steal(PyTuple_Pack(1, times.get()));
  if (!args) return nullptr;
  PyRef index = PyRef::steal(PyObject_Call(index_type.get(), args.get(), index_kwargs.get()));
  if (!index) return nullptr;

  PyRef frame_kwargs = PyRef::steal(PyDict_New());
  if (!frame_kwargs) return nullptr;
  if (PyDict_SetItemString(frame_kwargs.get(), "index", index.get()) < 0 ||
      !set_item(frame_kwargs.get(), "copy", Py_NewRef(Py_False)))
    return nullptr;
  PyRef frame_type = PyRef::steal(PyObject_GetAttrString(pandas.get(), "DataFrame"));
  if (!frame_type) return nullptr;
  PyRef frame_args = PyRef::steal(PyTuple_Pack(1, columns.get()));
  if (!frame_args) return nullptr;
  return PyObject_Call(frame_type.get(), frame_args.get(), frame_kwargs.get());
}

}  // namespace tiltgram::py
