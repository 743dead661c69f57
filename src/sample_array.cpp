// PySliceContainer, NumPy's API table and the zero-copy array handoff.
#include "sample_array.hpp"

#include <string>

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
constexpr int kArrayTypeSlot = 2;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kSetBaseObjectSlot = 282;
constexpr int kNpyUShort = 4;
constexpr int kNpyFloat = 11;
constexpr int kNpyArrayWriteable = 0x400;

using DropFn = void (*)(void* ptr, std::size_t len, std::size_t cap);

// The state behind the object header: release routine, address, length,
// capacity. From construction on the container alone owns the memory.
struct SliceContainer {
  PyObject_HEAD
  DropFn drop;
  void* ptr;
  std::size_t len;
  std::size_t cap;
};

template <class T>
void drop_vec(void* ptr, std::size_t len, std::size_t cap) {
  SampleBuffer<T>::drop(static_cast<T*>(ptr), len, cap);
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.PySliceContainer' instances");
  return nullptr;
}

void slice_container_dealloc(PyObject* self) {
  auto* c = reinterpret_cast<SliceContainer*>(self);
  c->drop(c->ptr, c->len, c->cap);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_Free(self);  // the allocator of make_array's PyObject_Malloc
  Py_DECREF(type);
}

PyTypeObject* slice_container_type() {
  static Once<PyTypeObject*> once;
  PyTypeObject** type = once.get([](PyTypeObject*& out) {
    static PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>("Owner of the memory behind one event's sample array.")},
        {Py_tp_new, reinterpret_cast<void*>(slice_container_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
        {0, nullptr},
    };
    static PyType_Spec spec = {"builtins.PySliceContainer", sizeof(SliceContainer), 0,
                               Py_TPFLAGS_DEFAULT, slots};
    out = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return out != nullptr;
  });
  if (!type) {
    PyErr_WriteUnraisable(nullptr);
    panic("failed to create type object for `PySliceContainer`");
  }
  return *type;
}

struct NumpyApi {
  void** table = nullptr;
};

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
  if (!table) return false;
  // The capsule stays referenced for the life of the process: the table lives in it.
  (void)capsule.release();
  api.table = table;
  return true;
}

void** numpy_api() {
  static Once<NumpyApi> once;
  NumpyApi* api = once.get(load_numpy_api);
  if (!api) panic("Failed to access NumPy array API capsule: " + describe_pending_error());
  return api->table;
}

// Python reported a failure: show it, then fail internally.
[[noreturn]] void api_call_failed() {
  if (PyErr_Occurred()) PyErr_Print();
  panic("Python API call failed");
}

template <class T>
PyRef make_array(SampleBuffer<T> samples, int type_num) {
  PyTypeObject* owner_type = slice_container_type();
  auto raw = std::move(samples).into_raw();
  // The owner holds no Python objects and is not tracked by the garbage
  // collector, so the object allocator and PyObject_Init (which takes the
  // reference to the heap type) make it without tp_alloc's zero fill.
  void* memory = PyObject_Malloc(sizeof(SliceContainer));
  PyRef owner = PyRef::steal(memory ? PyObject_Init(static_cast<PyObject*>(memory), owner_type)
                                    : PyErr_NoMemory());
  if (!owner) {
    SampleBuffer<T>::drop(raw.ptr, raw.len, raw.cap);
    panic("Failed to create slice container: " + describe_pending_error());
  }
  auto* c = reinterpret_cast<SliceContainer*>(owner.get());
  c->drop = drop_vec<T>;
  c->ptr = raw.ptr;
  c->len = raw.len;
  c->cap = raw.cap;

  void** api = numpy_api();
  auto* array_type = static_cast<PyTypeObject*>(api[kArrayTypeSlot]);
  PyObject* descr = reinterpret_cast<DescrFromType>(api[kDescrFromTypeSlot])(type_num);
  if (!descr) api_call_failed();
  npy_intp dims[1] = {npy_intp(raw.len)};
  npy_intp strides[1] = {npy_intp(sizeof(T))};
  PyRef array = PyRef::steal(reinterpret_cast<NewFromDescr>(api[kNewFromDescrSlot])(
      array_type, descr, 1, dims, strides, raw.ptr, kNpyArrayWriteable, nullptr));
  if (!array) api_call_failed();  // the owner, and with it the samples, goes with `owner`
  // Takes the owner reference even when it fails; the array is unusable then.
  if (reinterpret_cast<SetBaseObject>(api[kSetBaseObjectSlot])(array.get(), owner.release()) != 0)
    api_call_failed();
  return array;
}

}  // namespace

PyRef from_raw_parts(SampleBuffer<std::uint16_t> samples) {
  return make_array(std::move(samples), kNpyUShort);
}

PyRef from_raw_parts(SampleBuffer<float> samples) {
  return make_array(std::move(samples), kNpyFloat);
}

}  // namespace vorn
