// NativeBatch, the package's classes registered at import, and the one
// place where the outcome of a walk becomes the package's exception.
#include "native_batch.hpp"

#include <cerrno>
#include <new>
#include <string>

#include "feature_args.hpp"
#include "py_support.hpp"

namespace vorn {
namespace {

constexpr std::size_t kLayouts = Layouts::kDescs.size();
constexpr int kBatchSlots = 7;

// Names made once: each layout's, its fields', and the Batch slots that
// make_batch fills, in its order.
struct Names {
  PyObject* layouts[kLayouts];
  PyObject* fields[kLayouts];  // a tuple per layout
  PyObject* slots[kBatchSlots];
  PyObject* events;
};

struct NativeBatchFields {
  BatchData data;
  Outcome outcome;
  PyRef filename;
  Arrays arrays;  // all null once raise_outcome let them go, or where nothing was kept
};
struct NativeBatchObject {
  PyObject_HEAD
  NativeBatchFields fields;  // constructed as soon as the object is allocated
};

Once<PyTypeObject*> type_once;
Once<Names> names_once;

NativeBatchFields& self_of(PyObject* o) noexcept {
  return reinterpret_cast<NativeBatchObject*>(o)->fields;
}

const NativeBatchFields* as_native(PyObject* o) noexcept {
  PyTypeObject** type = type_once.ready();
  return type && Py_TYPE(o) == *type ? &self_of(o) : nullptr;
}

PyObject* new_ref(PyObject* o) noexcept {
  Py_INCREF(o);
  return o;
}

PyObject* or_none(const PyRef& o) noexcept { return new_ref(o ? o.get() : Py_None); }

// {name: array} of the batch's header columns, then its features.
PyRef columns_dict(const NativeBatchFields& b) {
  PyRef out = PyRef::steal(PyDict_New());
  if (!out) python_call_failed();
  if (!b.arrays.columns) return out;
  PyObject* names = names_once.ready()->fields[layout_index(*b.data.layout)];
  for (Py_ssize_t k = 0; k < PyTuple_Size(b.arrays.columns.get()); ++k) {
    if (PyDict_SetItem(out.get(), PyTuple_GetItem(names, k), PyTuple_GetItem(b.arrays.columns.get(), k)) != 0) {
      python_call_failed();
    }
  }
  Py_ssize_t k = 0;
  for (int f = 0; f < kFeatureCount; ++f) {
    if (!b.data.features.has(Feature(f))) continue;
    if (PyDict_SetItem(out.get(), feature_name_object(Feature(f)),
                       PyTuple_GetItem(b.arrays.features.get(), k++)) != 0) {
      python_call_failed();
    }
  }
  return out;
}

// os.fsdecode(filename)
PyRef fsdecode(PyObject* filename) {
  PyRef path = PyRef::steal(PyOS_FSPath(filename));
  if (!path || PyUnicode_Check(path.get())) return path;
  return PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(path.get()),
                                                       PyBytes_Size(path.get())));
}

// `how` with "{index}" replaced by `index`.
PyRef advice_of(const char* how, std::uint64_t index) {
  std::string text = how;
  const std::string number = std::to_string(index);
  for (std::size_t at; (at = text.find("{index}")) != std::string::npos;) text.replace(at, 7, number);
  return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), Py_ssize_t(text.size())));
}

// Nothing comes before the first record: the file may be of the other layout.
PyRef first_record_advice(PyObject* filename, const LayoutDesc& layout) {
  PyObject* name = names_once.ready()->layouts[layout_index(layout)];
  PyRef other = PyRef::steal(
      PyObject_CallFunctionObjArgs(package().other_layout.get(), filename, name, nullptr));
  if (!other) return other;
  if (other.get() == Py_None) return PyRef::steal(PyUnicode_FromString("it is the first record"));
  return PyRef::steal(PyUnicode_FromFormat(
      "it is the first record; the file reads as %S: give the layout %R", other.get(), other.get()));
}

// Calls `type(message, **kwargs)` and sets the exception it makes.
PyObject* raise_made(PyObject* type, PyRef message, PyRef kwargs) {
  PyRef args = PyRef::steal(message ? PyTuple_Pack(1, message.get()) : nullptr);
  if (!args || !kwargs) return nullptr;
  PyRef error = PyRef::steal(PyObject_Call(type, args.get(), kwargs.get()));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

void native_dealloc(PyObject* self) noexcept {
  self_of(self).~NativeBatchFields();
  free_instance(self);
}

PyObject* native_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "cannot create 'NativeBatch' instances");
  return nullptr;
}

Py_ssize_t native_len(PyObject* self) noexcept { return Py_ssize_t(self_of(self).data.events); }

PyObject* native_layout(PyObject* self, void*) noexcept {
  return new_ref(names_once.ready()->layouts[layout_index(*self_of(self).data.layout)]);
}
PyObject* native_first(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(self_of(self).data.first);
}
PyObject* native_channels(PyObject* self, void*) noexcept {
  return PyLong_FromLong(self_of(self).data.channels);
}
PyObject* native_columns(PyObject* self, void*) {
  return with_exception(guarded([&] { return columns_dict(self_of(self)).release(); }));
}
PyObject* native_samples(PyObject* self, void*) noexcept {
  const NativeBatchFields& b = self_of(self);
  return b.data.with_samples ? or_none(b.arrays.samples) : new_ref(Py_None);
}
PyObject* native_offsets(PyObject* self, void*) noexcept {
  const NativeBatchFields& b = self_of(self);
  return b.data.with_samples ? or_none(b.arrays.offsets) : new_ref(Py_None);
}
PyObject* native_positions(PyObject* self, void*) noexcept {
  const NativeBatchFields& b = self_of(self);
  return b.data.headers_alone() ? or_none(b.arrays.offsets) : new_ref(Py_None);
}
PyObject* native_outcome(PyObject* self, void*) noexcept {
  static constexpr const char* kNames[] = {"", "corrupt", "error", "mismatch", "truncated", "raised"};
  return PyUnicode_FromString(kNames[int(self_of(self).outcome.kind)]);
}
PyObject* native_offset(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(self_of(self).outcome.offset);
}

// raise_outcome(how): raises the failure the walk ended with, having let go
// of the batch's arrays (the traceback keeps the caller's frame, not them).
PyObject* native_raise_outcome(PyObject* self, PyObject* args) {
  return with_exception(guarded([&]() -> PyObject* {
    const char* how;
    if (!PyArg_ParseTuple(args, "s:raise_outcome", &how)) return nullptr;
    NativeBatchFields& b = self_of(self);
    if (!b.outcome) Py_RETURN_NONE;
    Arrays gone = std::move(b.arrays);
    b.data.memory.reset();
    b.data.events = b.data.samples = 0;
    return raise_outcome(b.outcome, b.filename.get(), *b.data.layout, how);
  }));
}

// batch(events=None) -> vorn_columns.Batch holding this batch.
PyObject* native_batch(PyObject* self, PyObject* args) {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject* events = Py_None;
    if (!PyArg_ParseTuple(args, "|O:batch", &events)) return nullptr;
    return make_batch(self, events == Py_None ? nullptr : events).release();
  }));
}

PyGetSetDef native_getset[] = {
    {"layout", native_layout, nullptr, "the layout's name", nullptr},
    {"first", native_first, nullptr, "the number of the first event", nullptr},
    {"channels", native_channels, nullptr, "the WD2 channel count; 0 for WD1", nullptr},
    {"columns", native_columns, nullptr, "a new dict of the header columns, by field", nullptr},
    {"samples", native_samples, nullptr, "the samples; None for headers alone", nullptr},
    {"offsets", native_offsets, nullptr, "the sample offsets; None for headers alone", nullptr},
    {"positions", native_positions, nullptr, "a scan's record positions, else None", nullptr},
    {"outcome", native_outcome, nullptr,
     "how the walk ended: '' cleanly, else 'corrupt', 'error', 'mismatch', 'truncated'", nullptr},
    {"offset", native_offset, nullptr, "the byte offset of a corrupt or mismatched record", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyMethodDef native_methods[] = {
    {"raise_outcome", reinterpret_cast<PyCFunction>(native_raise_outcome), METH_VARARGS,
     "raise_outcome(how): raises the failure the walk ended with; None where it ended cleanly"},
    {"batch", reinterpret_cast<PyCFunction>(native_batch), METH_VARARGS,
     "batch(events=None) -> vorn_columns.Batch holding this batch"},
    {nullptr, nullptr, 0, nullptr},
};
PyType_Slot native_slots[] = {
    {Py_tp_doc, const_cast<char*>("A batch as the decoder made it: the memory, layout, counts "
                                  "and outcome behind a vorn_columns.Batch.")},
    {Py_tp_new, reinterpret_cast<void*>(native_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_dealloc)},
    {Py_tp_getset, native_getset},
    {Py_tp_methods, native_methods},
    {Py_sq_length, reinterpret_cast<void*>(native_len)},
    {0, nullptr},
};
PyType_Spec native_spec = {"vorn_columns._native.NativeBatch", sizeof(NativeBatchObject), 0,
                           Py_TPFLAGS_DEFAULT, native_slots};

bool make_names(Names& out) {
  static constexpr const char* kSlots[kBatchSlots] = {"layout",  "first",   "channels", "columns",
                                                      "samples", "offsets", "_native"};
  for (std::size_t k = 0; k < kLayouts; ++k) {
    const LayoutDesc& layout = *Layouts::kDescs[k];
    if (!(out.layouts[k] = PyUnicode_InternFromString(layout.name))) return false;
    if (!(out.fields[k] = PyTuple_New(Py_ssize_t(layout.fields.size())))) return false;
    for (std::size_t f = 0; f < layout.fields.size(); ++f) {
      PyObject* name = PyUnicode_InternFromString(layout.fields[f].name);
      if (!name) return false;
      PyTuple_SetItem(out.fields[k], Py_ssize_t(f), name);
    }
  }
  for (int k = 0; k < kBatchSlots; ++k) {
    if (!(out.slots[k] = PyUnicode_InternFromString(kSlots[k]))) return false;
  }
  return (out.events = PyUnicode_InternFromString("_events")) != nullptr;
}

}  // namespace

Outcome outcome_of(const BatchResult& r, std::uint64_t index) noexcept {
  Outcome out;
  out.index = index;
  if (r.stop == Stop::corrupt || r.stop == Stop::mismatch) {
    out.kind = r.stop == Stop::corrupt ? Outcome::Kind::corrupt : Outcome::Kind::mismatch;
    out.offset = r.corrupt_at;
  } else if (r.stop == Stop::error) {
    out.kind = r.error.kind == IoError::Kind::interrupted ? Outcome::Kind::raised : Outcome::Kind::error;
    out.code = r.error.code;
  }
  return out;
}

Package& package() {
  static Package* p = new Package;
  return *p;
}

PyObject* raise_outcome(const Outcome& outcome, PyObject* filename, const LayoutDesc& layout,
                        const char* how) {
  if (outcome.kind == Outcome::Kind::raised) return nullptr;
  const Package& pkg = package();
  if (!pkg.corrupt) {
    PyErr_SetString(PyExc_RuntimeError, "vorn_columns has not registered its classes");
    return nullptr;
  }
  PyRef name = fsdecode(filename);
  if (!name) return nullptr;
  const auto index = (unsigned long long)outcome.index;
  const auto offset = (unsigned long long)outcome.offset;
  switch (outcome.kind) {
    case Outcome::Kind::corrupt: {
      PyRef advice = outcome.index ? advice_of(how, outcome.index) : first_record_advice(filename, layout);
      if (!advice) return nullptr;
      return raise_made(pkg.corrupt.get(),
                        PyRef::steal(PyUnicode_FromFormat(
                            "%U: event %llu at byte offset %llu cannot be read (%s); %U", name.get(),
                            index, offset, layout.roles.refusal, advice.get())),
                        PyRef::steal(Py_BuildValue("{sKsKsO}", "index", index, "offset", offset,
                                                   "filename", filename)));
    }
    case Outcome::Kind::truncated:
      return raise_made(pkg.stale.get(),
                        PyRef::steal(PyUnicode_FromFormat(
                            "%U: the file is now %llu bytes long, shorter than the %llu bytes "
                            "already read from it",
                            name.get(), (unsigned long long)outcome.length, offset)),
                        PyRef::steal(Py_BuildValue("{sOss}", "filename", filename, "reason",
                                                   "truncated below the reader's position")));
    case Outcome::Kind::mismatch:
      return raise_made(pkg.stale.get(),
                        PyRef::steal(PyUnicode_FromFormat(
                            "%U: the index no longer describes this file: the record at byte "
                            "offset %llu differs from the index's; scan it again",
                            name.get(), offset)),
                        PyRef::steal(Py_BuildValue("{sOss}", "filename", filename, "reason",
                                                   "a record differs from the index's")));
    default:
      break;
  }
  if (outcome.code == ENOMEM) {
    PyErr_Format(PyExc_MemoryError, "%U: no memory for event %llu", name.get(), index);
    return nullptr;
  }
  PyRef error = PyRef::steal(
      PyObject_CallFunction(PyExc_OSError, "isO", outcome.code, std::strerror(outcome.code), filename));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

PyTypeObject* native_batch_type() {
  if (!names_once.get(make_names)) return nullptr;
  PyTypeObject** type = type_once.get([](PyTypeObject*& out) {
    native_spec.flags |= immutable_type_flag();
    out = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&native_spec));
    return out != nullptr;
  });
  return type ? *type : nullptr;
}

PyRef make_native_batch(BatchData data, Outcome outcome, PyObject* filename) {
  PyTypeObject** type = type_once.ready();
  PyRef self = PyRef::steal(type ? PyType_GenericAlloc(*type, 0) : nullptr);
  if (!self) python_call_failed();
  auto* b = new (&self_of(self.get())) NativeBatchFields;
  b->filename = PyRef::borrow(filename);
  if (data.memory) {
    b->arrays = make_arrays(*data.layout, data.memory, data.events, data.samples, data.events + 1,
                            data.features, data.per_event);
    if (!data.with_samples && !data.features.empty()) {
      b->arrays.samples = PyRef();
      b->arrays.offsets = PyRef();
    }
  }
  b->data = std::move(data);
  b->outcome = outcome;
  return self;
}

// A batch of chosen `events` starts at the first of them, an empty one at 0.
PyRef first_of(const BatchData& d, PyObject* events) {
  if (!events) return PyRef::steal(PyLong_FromUnsignedLongLong(d.first));
  const Py_ssize_t n = PySequence_Size(events);
  if (n < 0) throw PythonErrorSet{};
  PyRef item = PyRef::steal(n ? PySequence_GetItem(events, 0) : PyLong_FromLong(0));
  PyRef first = PyRef::steal(item ? PyNumber_Long(item.get()) : nullptr);
  if (!first) throw PythonErrorSet{};
  return first;
}

PyRef make_batch(PyObject* native, PyObject* events) {
  const NativeBatchFields* b = as_native(native);
  const Package& pkg = package();
  if (!b || !pkg.batch_type) {
    PyErr_SetString(PyExc_RuntimeError, "vorn_columns has not registered its Batch class");
    throw PythonErrorSet{};
  }
  const Names& names = *names_once.ready();
  auto* type = reinterpret_cast<PyTypeObject*>(pkg.batch_type.get());
  auto new_fn = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  PyRef batch = PyRef::steal(no_args ? new_fn(type, no_args.get(), nullptr) : nullptr);
  if (!batch) python_call_failed();
  const BatchData& d = b->data;
  PyRef values[kBatchSlots] = {
      PyRef::borrow(names.layouts[layout_index(*d.layout)]), first_of(d, events),
      PyRef::steal(PyLong_FromLong(d.channels)), columns_dict(*b),
      PyRef::borrow(b->arrays.samples ? b->arrays.samples.get() : Py_None),
      PyRef::borrow(b->arrays.offsets ? b->arrays.offsets.get() : Py_None), PyRef::borrow(native)};
  for (int k = 0; k < kBatchSlots; ++k) {
    if (!values[k] || PyObject_SetAttr(batch.get(), names.slots[k], values[k].get()) != 0) {
      python_call_failed();
    }
  }
  if (events && PyObject_SetAttr(batch.get(), names.events, events) != 0) python_call_failed();
  return batch;
}

bool native_of(PyObject* batch, NativeView& out) {
  const Names* names = names_once.ready();
  if (!names) return false;
  PyRef held = PyRef::steal(PyObject_GetAttr(batch, names->slots[kBatchSlots - 1]));
  if (!held) {
    PyErr_Clear();  // a Batch made by its constructor holds none
    return false;
  }
  const NativeBatchFields* b = as_native(held.get());
  if (!b || !b->arrays.columns || b->data.headers_alone()) return false;
  out = {&b->data, b->arrays.columns.get(), b->arrays.samples.get(), b->arrays.offsets.get(),
         b->arrays.features.get(), std::move(held)};
  return true;
}

}  // namespace vorn
