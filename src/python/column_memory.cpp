// ColumnMemory, the owner object at the base of a batch's arrays, the arrays
// made over a batch's memory, and layouts named from Python.
#include "column_memory.hpp"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "py_support.hpp"

namespace vorn {
namespace {

struct ColumnMemoryObject {
  PyObject_HEAD
  SharedMemory memory;  // constructed as soon as the object is allocated
};

// Frees the memory, or gives it back to where it came from.
struct GiveBack {
  std::shared_ptr<MemoryHome> home;
  void operator()(BatchMemory* m) const noexcept {
    std::unique_ptr<BatchMemory> memory(m);
    if (home) home->give(std::move(memory));
  }
};

PyObject* memory_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'ColumnMemory' instances");
  return nullptr;
}

void memory_dealloc(PyObject* self) noexcept {
  reinterpret_cast<ColumnMemoryObject*>(self)->memory.~SharedMemory();
  free_instance(self);
}

PyType_Slot memory_slots[] = {
    {Py_tp_doc, const_cast<char*>("Owner of the memory behind one batch's columns.")},
    {Py_tp_new, reinterpret_cast<void*>(memory_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(memory_dealloc)},
    {0, nullptr},
};
PyType_Spec memory_spec = {"vorn_columns._native.ColumnMemory", sizeof(ColumnMemoryObject), 0,
                           Py_TPFLAGS_DEFAULT, memory_slots};

Once<PyTypeObject*> type_once;

}  // namespace

const LayoutDesc* parse_layout(PyObject* name) {
  if (PyUnicode_Check(name)) {
    for (const LayoutDesc* d : Layouts::kDescs) {
      if (PyUnicode_CompareWithASCIIString(name, d->name) == 0) return d;
    }
  }
  // "layout must be 'WD1' or 'WD2', not ...", whatever the registered layouts are.
  std::string names;
  for (std::size_t k = 0; k < Layouts::kDescs.size(); ++k) {
    names += k == 0 ? "'" : k + 1 == Layouts::kDescs.size() ? " or '" : ", '";
    names += Layouts::kDescs[k]->name;
    names += "'";
  }
  PyErr_Format(PyExc_ValueError, "layout must be %s, not %R", names.c_str(), name);
  return nullptr;
}

const std::shared_ptr<SpareMemory>& spare_memory() {
  static const auto* spare =
      new std::shared_ptr<SpareMemory>(std::make_shared<SpareMemory>(kSpareCap, kSpareIdle));
  return *spare;
}

std::size_t layout_index(const LayoutDesc& layout) noexcept {
  const auto& descs = Layouts::kDescs;
  return std::size_t(std::find(descs.begin(), descs.end(), &layout) - descs.begin());
}

PyTypeObject* column_memory_type() {
  PyTypeObject** type = type_once.get([](PyTypeObject*& out) {
    memory_spec.flags |= immutable_type_flag();
    out = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&memory_spec));
    return out != nullptr;
  });
  return type ? *type : nullptr;
}

const SharedMemory* memory_of(PyObject* owner) noexcept {
  PyTypeObject** type = type_once.ready();
  if (!type || Py_TYPE(owner) != *type) return nullptr;
  return &reinterpret_cast<ColumnMemoryObject*>(owner)->memory;
}

SharedMemory share(std::unique_ptr<BatchMemory> memory, std::shared_ptr<MemoryHome> home) {
  return SharedMemory(memory.release(), GiveBack{std::move(home)});  // gives the memory back if it throws
}

int feature_type_num(Feature f) noexcept {
  switch (f) {
    case Feature::integral: return npy::kDouble;
    case Feature::peak_index: return npy::kInt32;
    case Feature::saturated: return npy::kBool;
    default: return npy::kFloat;
  }
}

namespace {

// A new owner object holding a share of `memory`.
PyRef owner_of(const SharedMemory& memory) {
  PyTypeObject** type = type_once.ready();
  PyRef owner = PyRef::steal(type ? PyType_GenericAlloc(*type, 0) : nullptr);
  if (!owner) python_call_failed();
  new (&reinterpret_cast<ColumnMemoryObject*>(owner.get())->memory) SharedMemory(memory);
  return owner;
}

// The tuple of the arrays of `features` in `m`, kept by `owner`.
PyRef feature_arrays(BatchMemory& m, const PyRef& owner, FeatureSet features, std::uint64_t events,
                     std::uint64_t per_event) {
  std::vector<PyRef> made;
  for (int f = 0; f < kFeatureCount; ++f) {
    if (!features.has(Feature(f))) continue;
    made.push_back(array_over(feature_type_num(Feature(f)), events, m.features[std::size_t(f)].data(),
                              PyRef::borrow(owner.get()), Access::writeable,
                              per_event > 1 ? per_event : 0));
  }
  PyRef out = PyRef::steal(PyTuple_New(Py_ssize_t(made.size())));
  if (!out) python_call_failed();
  for (std::size_t k = 0; k < made.size(); ++k) PyTuple_SetItem(out.get(), Py_ssize_t(k), made[k].release());
  return out;
}

}  // namespace

Arrays make_arrays(const LayoutDesc& layout, const SharedMemory& memory, std::uint64_t events,
                   std::uint64_t samples, std::uint64_t offsets, FeatureSet features,
                   std::uint64_t per_event) {
  auto* m = const_cast<BatchMemory*>(memory.get());  // the arrays are NumPy's, and writeable
  PyRef owner = owner_of(memory);
  Arrays out;
  out.columns = PyRef::steal(PyTuple_New(Py_ssize_t(layout.fields.size())));
  if (!out.columns) python_call_failed();
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    PyRef a = array_over(npy::type_num(layout.fields[k].type), events, m->columns[k].data(),
                         PyRef::borrow(owner.get()));
    PyTuple_SetItem(out.columns.get(), Py_ssize_t(k), a.release());
  }
  out.samples = array_over(npy::type_num(layout.sample_type), samples, m->samples.data(),
                           PyRef::borrow(owner.get()));
  // Offsets (and a scan's positions) are read-only: they say where each
  // event's samples lie, so that consumers such as Arrow can trust them.
  out.offsets = array_over(kOffsetType.type_num, offsets, m->offsets.data(), PyRef::borrow(owner.get()),
                           Access::read_only);
  out.features = feature_arrays(*m, owner, features, events, per_event);
  return out;
}

PyRef make_feature_arrays(const SharedMemory& memory, FeatureSet features, std::uint64_t events,
                          std::uint64_t per_event) {
  return feature_arrays(*const_cast<BatchMemory*>(memory.get()), owner_of(memory), features, events,
                        per_event);
}

}  // namespace vorn
