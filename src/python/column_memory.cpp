// ColumnMemory, the owner object at the base of a batch's arrays, the pool it
// hands memory back to, and the arrays made over a batch's memory.
#include "column_memory.hpp"

#include <array>
#include <new>

#include "numpy_api.hpp"
#include "py_support.hpp"

namespace vorn {
namespace {

constexpr ElementType kInt32{npy::kInt32, "int32", "<i4", "i", 4};
constexpr ElementType kUInt32{npy::kUInt32, "uint32", "<u4", "I", 4};
constexpr ElementType kUInt64{npy::kUInt64, "uint64", "<u8", "L", 8};
constexpr ElementType kUInt16{npy::kUShort, "uint16", "<u2", "S", 2};
constexpr ElementType kFloat32{npy::kFloat, "float32", "<f4", "f", 4};
constexpr ElementType kInt64{npy::kInt64, "int64", "<i8", "l", 8};

constexpr std::array<ColumnSpec, 6> kWD1Columns{{{"event_size", kInt32},
                                                 {"board_id", kInt32},
                                                 {"pattern", kInt32},
                                                 {"board_channel", kInt32},
                                                 {"event_counter", kInt32},
                                                 {"timestamp", kInt32}}};
constexpr std::array<ColumnSpec, 5> kWD2Columns{{{"event_counter", kUInt32},
                                                 {"timestamp", kUInt64},
                                                 {"samples", kUInt32},
                                                 {"sampling_period", kUInt64},
                                                 {"channels", kInt32}}};

struct ColumnMemoryObject {
  PyObject_HEAD
  SharedMemory memory;  // constructed as soon as the object is allocated
};

// Frees the memory, or gives it back to the pool it came from.
struct GiveBack {
  std::shared_ptr<Pool> pool;
  void operator()(BatchMemory* m) const noexcept {
    std::unique_ptr<BatchMemory> memory(m);
    if (pool) pool->give(std::move(memory));
  }
};

PyObject* memory_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'ColumnMemory' instances");
  return nullptr;
}

void memory_dealloc(PyObject* self) noexcept {
  reinterpret_cast<ColumnMemoryObject*>(self)->memory.~SharedMemory();
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
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

Pool::Pool(std::size_t keep_events, std::size_t keep_sample_bytes)
    : keep_events_(keep_events), keep_sample_bytes_(keep_sample_bytes) {
  free_.reserve(2);
}

std::unique_ptr<BatchMemory> Pool::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.empty()) return std::make_unique<BatchMemory>();
  auto m = std::move(free_.back());
  free_.pop_back();
  return m;
}

void Pool::give(std::unique_ptr<BatchMemory> m) noexcept {
  for (Region& r : m->columns) r.trim(keep_events_ * 8);
  m->offsets.trim((keep_events_ + 1) * 8);
  m->samples.trim(keep_sample_bytes_);
  std::lock_guard<std::mutex> lock(mutex_);
  if (free_.size() < 2) free_.push_back(std::move(m));
}

std::span<const ColumnSpec> header_columns(Layout layout) noexcept {
  if (layout == Layout::wd1) return kWD1Columns;
  return kWD2Columns;
}

const ElementType& sample_type(Layout layout) noexcept {
  return layout == Layout::wd1 ? kUInt16 : kFloat32;
}

const ElementType& offset_type() noexcept { return kInt64; }

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

Arrays make_arrays(const BatchDecoder& d, std::unique_ptr<BatchMemory> memory,
                   std::uint64_t events, std::uint64_t samples, std::uint64_t offsets,
                   const std::shared_ptr<Pool>& pool) {
  BatchMemory* m = memory.get();
  SharedMemory shared(memory.release(), GiveBack{pool});  // gives the memory back if it throws
  PyTypeObject** type = type_once.ready();
  PyRef owner = PyRef::steal(type ? PyType_GenericAlloc(*type, 0) : nullptr);
  if (!owner) python_call_failed();
  new (&reinterpret_cast<ColumnMemoryObject*>(owner.get())->memory) SharedMemory(std::move(shared));

  std::span<const ColumnSpec> columns = header_columns(d.layout());
  Arrays out;
  out.columns = PyRef::steal(PyTuple_New(Py_ssize_t(columns.size())));
  if (!out.columns) python_call_failed();
  for (std::size_t k = 0; k < columns.size(); ++k) {
    PyRef a = array_over(columns[k].type.type_num, events, m->columns[k].data(),
                         PyRef::borrow(owner.get()));
    PyTuple_SetItem(out.columns.get(), Py_ssize_t(k), a.release());
  }
  out.samples = array_over(sample_type(d.layout()).type_num, samples, m->samples.data(),
                           PyRef::borrow(owner.get()));
  // Offsets (and a scan's positions) are read-only: they say where each
  // event's samples lie, so that consumers such as Arrow can trust them.
  out.offsets = array_over(kInt64.type_num, offsets, m->offsets.data(), PyRef::borrow(owner.get()),
                           Access::read_only);
  return out;
}

}  // namespace vorn
