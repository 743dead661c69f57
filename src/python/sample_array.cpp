// PySliceContainer and the zero-copy array handoff of one event's samples.
#include "sample_array.hpp"

#include <string>

#include "panic.hpp"
#include "numpy_api.hpp"
#include "py_support.hpp"

namespace vorn {
namespace {

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
  // An instance not made by make_array (object.__new__ behind a replaced
  // __new__, where the type is mutable) is zero-filled and owns nothing.
  if (c->drop) c->drop(c->ptr, c->len, c->cap);
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
    spec.flags |= immutable_type_flag();
    out = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return out != nullptr;
  });
  if (!type) {
    PyErr_WriteUnraisable(nullptr);
    panic("failed to create type object for `PySliceContainer`");
  }
  return *type;
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

  return array_over(type_num, raw.len, raw.ptr, std::move(owner));
}

}  // namespace

PyRef from_raw_parts(SampleBuffer<std::uint16_t> samples) {
  return make_array(std::move(samples), npy::kUShort);
}

PyRef from_raw_parts(SampleBuffer<float> samples) {
  return make_array(std::move(samples), npy::kFloat);
}

}  // namespace vorn
