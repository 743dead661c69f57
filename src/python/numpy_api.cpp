// NumPy's API table, checked before use, and arrays over memory owned elsewhere.
#include "numpy_api.hpp"

#include "panic.hpp"
#include "py_support.hpp"

namespace vorn {
namespace {

// The few NumPy API entries used, by their published positions in the table.
using npy_intp = Py_ssize_t;
using DescrFromType = PyObject* (*)(int type_num);
using NewFromDescr = PyObject* (*)(PyTypeObject* subtype, PyObject* descr, int nd,
                                   npy_intp* dims, npy_intp* strides, void* data,
                                   int flags, PyObject* obj);
using SetBaseObject = int (*)(PyObject* arr, PyObject* base);
using CVersion = unsigned int (*)();
constexpr int kABIVersionSlot = 0;
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kFeatureVersionSlot = 211;
constexpr int kSetBaseObjectSlot = 282;
// The table layouts this code knows: NumPy 1.x (ABI 0x01000009) and 2.x
// (0x02000000, which kept every entry used here in place), from C-API
// version 7 (NumPy 1.7, the first with PyArray_SetBaseObject).
constexpr unsigned kOldestABI = 0x01000009;
constexpr unsigned kNewestABI = 0x02000000;
constexpr unsigned kOldestFeatureVersion = 7;
constexpr int kNpyArrayWriteable = 0x400;

struct NumpyApi {
  void** table = nullptr;
};

// Whether the table is one whose entries sit where this code reads them; if
// NumPy ever changes it, events fail with PanicException (RuntimeError set
// here) instead of calling through the wrong pointers.
bool check_table(void** table) {
  auto version_of = [&](int slot) -> unsigned {
    return table[slot] ? reinterpret_cast<CVersion>(table[slot])() : 0;
  };
  const unsigned abi = version_of(kABIVersionSlot);
  const unsigned feature = abi < kOldestABI || abi > kNewestABI ? 0 : version_of(kFeatureVersionSlot);
  bool usable = abi >= kOldestABI && abi <= kNewestABI && feature >= kOldestFeatureVersion;
  for (int slot : {kArrayTypeSlot, kDescrFromTypeSlot, kNewFromDescrSlot, kSetBaseObjectSlot}) {
    usable = usable && table[slot] != nullptr;
  }
  if (!usable) {
    PyErr_Format(PyExc_RuntimeError,
                 "NumPy's C API table is not one vorn can use (ABI version 0x%08x, C-API "
                 "version 0x%08x)", abi, feature);
  }
  return usable;
}

// NumPy 2 moved its core to numpy._core; the version says which to import.
bool load_numpy_api(NumpyApi& api) {
  PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return false;
  PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return false;
  PyRef lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) return false;
  PyRef numpy_version = PyRef::steal(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  if (!numpy_version) return false;
  PyRef parsed = PyRef::steal(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
  if (!parsed) return false;
  PyRef major_obj = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_obj) return false;
  long major = PyLong_AsLong(major_obj.get());
  if (major == -1 && PyErr_Occurred()) return false;
  if (major < 0 || major > 255) {
    PyErr_Format(PyExc_OverflowError, "NumPy major version %ld out of range", major);
    return false;
  }
  const char* mod_name = major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray";
  PyRef multiarray = PyRef::steal(PyImport_ImportModule(mod_name));
  if (!multiarray) return false;
  PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return false;
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
    return false;
  }
  auto* table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!table || !check_table(table)) return false;
  // The capsule stays referenced for the life of the process: the table lives in it.
  (void)capsule.release();
  api.table = table;
  return true;
}

void** numpy_api() {
  static Once<NumpyApi> once;
  NumpyApi* api = once.get(load_numpy_api);
  if (!api) {
    // Ctrl-C or sys.exit() during NumPy's import reach the caller as themselves.
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_Exception)) throw PythonErrorSet{};
    panic("Failed to access NumPy array API capsule: " + describe_pending_error());
  }
  return api->table;
}

}  // namespace

PyTypeObject* ndarray_type() { return static_cast<PyTypeObject*>(numpy_api()[kArrayTypeSlot]); }
void load_numpy_api() { numpy_api(); }

PyRef array_over(int type_num, std::size_t length, void* data, PyRef owner, Access access,
                 std::size_t per_row) {
  void** api = numpy_api();
  auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeSlot]);
  PyObject* descr = reinterpret_cast<DescrFromType>(api[kDescrFromTypeSlot])(type_num);
  if (!descr) python_call_failed();
  npy_intp dims[2] = {npy_intp(length), npy_intp(per_row)};
  PyRef array = PyRef::steal(reinterpret_cast<NewFromDescr>(api[kNewFromDescrSlot])(
      array_type, descr, per_row ? 2 : 1, dims, nullptr, data,
      access == Access::writeable ? kNpyArrayWriteable : 0, nullptr));
  if (!array) python_call_failed();  // the owner, and with it the memory, goes with `owner`
  // Takes the owner reference even when it fails; the array is unusable then.
  if (reinterpret_cast<SetBaseObject>(api[kSetBaseObjectSlot])(array.get(), owner.release()) != 0)
    python_call_failed();
  return array;
}

bool contiguous_view(PyObject* array, const char* typestr, ArrayView& out, bool two_d) {
  if (!PyObject_TypeCheck(array, ndarray_type())) return false;
  PyRef interface = PyRef::steal(PyObject_GetAttrString(array, "__array_interface__"));
  if (!interface || !PyDict_Check(interface.get())) {
    PyErr_Clear();
    return false;
  }
  PyObject* type = PyDict_GetItemString(interface.get(), "typestr");
  PyObject* shape = PyDict_GetItemString(interface.get(), "shape");
  PyObject* strides = PyDict_GetItemString(interface.get(), "strides");  // None: contiguous
  PyObject* data = PyDict_GetItemString(interface.get(), "data");        // (address, read-only)
  if (!type || !PyUnicode_Check(type) || PyUnicode_CompareWithASCIIString(type, typestr) != 0 ||
      !shape || !PyTuple_Check(shape) || PyTuple_Size(shape) < 1 ||
      PyTuple_Size(shape) > (two_d ? 2 : 1) || (strides && strides != Py_None) || !data ||
      !PyTuple_Check(data) || PyTuple_Size(data) != 2) {
    return false;
  }
  out.length = PyLong_AsUnsignedLongLong(PyTuple_GetItem(shape, 0));
  out.per_row = PyTuple_Size(shape) == 2 ? PyLong_AsUnsignedLongLong(PyTuple_GetItem(shape, 1)) : 0;
  if (out.per_row) out.length *= out.per_row;
  out.data = static_cast<const std::uint8_t*>(PyLong_AsVoidPtr(PyTuple_GetItem(data, 0)));
  const int read_only = PyObject_IsTrue(PyTuple_GetItem(data, 1));
  if (read_only < 0 || PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out.read_only = read_only != 0;
  return true;
}

}  // namespace vorn
