// The module entry point PyInit_vorn and the EventReader class.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <variant>

#include "layouts.hpp"
#include "panic.hpp"
#include "py_support.hpp"
#include "sample_array.hpp"

namespace vorn {
namespace {

// A record reader of the layout at the same index in Layouts::kDescs.
using RecordReader = Layouts::Readers;

constexpr std::uint64_t kExclusive = ~std::uint64_t(0);

struct EventReaderObject {
  PyObject_HEAD
  RecordReader record_reader;
  // 0 free, n shared borrows (only inside __iter__), kExclusive inside __next__.
  std::atomic<std::uint64_t> borrow_flag;
  // Set last by the constructor. An instance made some other way (object.__new__
  // behind a replaced __new__, where the type is mutable) is zero-filled: its
  // methods refuse it and its destruction leaves the fields alone.
  bool constructed;
};

// The keys of one layout's event dicts, interned: its fields' names in key
// order, then "data"; and a dict of them in that order (values None). Each
// event's dict is a copy of that dict with the values replaced: the copy is
// made at its final size, where a dict filled key by key would be resized on
// the way.
struct LayoutKeys {
  std::array<PyObject*, Layouts::kMaxFields> fields;
  PyObject* data;
  PyObject* dict;
};

// Made once for the process: the type, and the keys of each layout, in the
// order of Layouts::kDescs.
struct ClassState {
  PyTypeObject* type;
  std::array<LayoutKeys, Layouts::kDescs.size()> layouts;
};
Once<ClassState> class_once;

// "'WD1' or 'WD2'": the names of the layouts, for a message.
std::string layout_names() {
  std::string out;
  const std::size_t n = Layouts::kDescs.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (i != 0) out += i + 1 == n ? " or " : ", ";
    out.append(1, '\'').append(Layouts::kDescs[i]->name).append(1, '\'');
  }
  return out;
}

// Binds EventReader's two arguments, by position or keyword, and reports
// mistakes in the interpreter's own words for a function named
// EventReader.__new__(), whatever the Python version.
bool bind_arguments(PyObject* args, PyObject* kwargs, PyObject* (&out)[2]) {
  static constexpr const char* kNames[2] = {"path", "reader_type"};
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) return false;
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError,
                 "EventReader.__new__() takes 2 positional arguments but %zd were given", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      int slot = -1;
      for (int j = 0; j < 2; ++j) {
        if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, kNames[j]) == 0) slot = j;
      }
      if (slot < 0) {
        PyErr_Format(PyExc_TypeError,
                     "EventReader.__new__() got an unexpected keyword argument '%S'", key);
        return false;
      }
      if (out[slot]) {
        PyErr_Format(PyExc_TypeError,
                     "EventReader.__new__() got multiple values for argument '%s'", kNames[slot]);
        return false;
      }
      out[slot] = value;
    }
  }
  if (!out[0] && !out[1]) {
    PyErr_SetString(PyExc_TypeError,
                    "EventReader.__new__() missing 2 required positional arguments: "
                    "'path' and 'reader_type'");
    return false;
  }
  for (int j = 0; j < 2; ++j) {
    if (!out[j]) {
      PyErr_Format(PyExc_TypeError,
                   "EventReader.__new__() missing 1 required positional argument: '%s'", kNames[j]);
      return false;
    }
  }
  return true;
}

// The UTF-8 encoding of a str argument.
std::optional<std::string> utf8_argument(PyObject* value, const char* name) {
  if (!PyUnicode_Check(value)) {
    PyRef type_name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__name__"));
    if (!type_name) return std::nullopt;
    PyErr_Format(PyExc_TypeError, "EventReader.__new__() argument '%s' must be str, not %U",
                 name, type_name.get());
    return std::nullopt;
  }
  PyRef bytes = PyRef::steal(PyUnicode_AsUTF8String(value));
  char* data;
  Py_ssize_t size;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return std::nullopt;
  return std::string(data, std::size_t(size));
}

PyObject* make_event_reader(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2] = {nullptr, nullptr};
  if (!bind_arguments(args, kwargs, bound)) return nullptr;
  // Copied out of their objects: nothing Python may be owned here while the
  // open waits without the lock (see ForcedUnwind).
  const std::optional<std::string> path = utf8_argument(bound[0], "path");
  if (!path) return nullptr;
  const std::optional<std::string> layout = utf8_argument(bound[1], "reader_type");
  if (!layout) return nullptr;

  if (std::strlen(path->c_str()) != path->size()) {
    return raise_message(PyExc_OSError, "file name contained an unexpected NUL byte");
  }
  // A FIFO's open waits for a writer: other threads run meanwhile, and
  // Ctrl-C stops it.
  Result<std::unique_ptr<Source>> file = open_file(path->c_str(), python_waiting());
  if (!file.ok()) return raise_error(file.error());
  BufReader input(std::move(file).value());

  // The file is open before the reader type is looked at: a path that cannot
  // be opened reports that, whatever the type.
  const LayoutDesc* desc = find_layout(*layout);
  if (!desc) {
    return raise_message(PyExc_ValueError,
                         "unknown reader type '" + *layout + "', expected " + layout_names());
  }
  std::optional<RecordReader> record_reader;
  // Opening reads ahead where the layout probes its files (WD2).
  const std::optional<IoError> failed = Layouts::visit(*desc, [&]<class L>() -> std::optional<IoError> {
    Result<typename L::Reader> opened = L::Reader::open(std::move(input));
    if (!opened.ok()) return opened.error();
    record_reader.emplace(std::in_place_type<typename L::Reader>, std::move(opened).value());
    return std::nullopt;
  });
  if (failed) {
    if (failed->kind == IoError::Kind::interrupted) return nullptr;
    return raise_message(PyExc_OSError, failed->message());
  }

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (!self) return nullptr;  // record_reader closes the file on the way out
  auto* obj = reinterpret_cast<EventReaderObject*>(self);
  new (&obj->record_reader) RecordReader(std::move(*record_reader));
  new (&obj->borrow_flag) std::atomic<std::uint64_t>(0);
  obj->constructed = true;
  return self;
}

// Not noexcept: the open may take the lock back (ForcedUnwind).
PyObject* event_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return with_exception(guarded([&] { return make_event_reader(type, args, kwargs); }));
}

void event_reader_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<EventReaderObject*>(self);
  if (obj->constructed) {
    obj->record_reader.~RecordReader();  // closes the file; arrays handed out keep their samples
    obj->borrow_flag.~atomic();
  }
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// The reader behind `self`, or nullptr with TypeError set when `self` is not
// an EventReader that the constructor made.
EventReaderObject* as_event_reader(PyObject* self, const ClassState* state) {
  if (!state || !PyObject_TypeCheck(self, state->type) ||
      !reinterpret_cast<EventReaderObject*>(self)->constructed) {
    PyErr_SetString(PyExc_TypeError, "expected an EventReader made by EventReader(path, reader_type)");
    return nullptr;
  }
  return reinterpret_cast<EventReaderObject*>(self);
}

PyObject* event_reader_iter(PyObject* self) noexcept {
  return guarded([&]() -> PyObject* {
    EventReaderObject* obj = as_event_reader(self, class_once.ready());
    if (!obj) return nullptr;
    std::uint64_t flag = obj->borrow_flag.load(std::memory_order_relaxed);
    do {
      if (flag == kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return nullptr;
      }
    } while (!obj->borrow_flag.compare_exchange_weak(flag, flag + 1, std::memory_order_acq_rel,
                                                     std::memory_order_relaxed));
    Py_INCREF(self);
    obj->borrow_flag.fetch_sub(1, std::memory_order_release);
    return self;
  });
}

// Holds `borrow_flag` exclusively for one __next__, on every way out.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(std::atomic<std::uint64_t>& flag) noexcept : flag_(flag) {
    std::uint64_t expected = 0;
    held_ = flag_.compare_exchange_strong(expected, kExclusive, std::memory_order_acq_rel,
                                          std::memory_order_relaxed);
  }
  ~ExclusiveBorrow() {
    if (held_) flag_.store(0, std::memory_order_release);
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  bool held() const noexcept { return held_; }

 private:
  std::atomic<std::uint64_t>& flag_;
  bool held_;
};

void put(PyObject* dict, PyObject* key, PyRef value) {
  if (!value || PyDict_SetItem(dict, key, value.get()) != 0) python_call_failed();
}

// A header value as an exact Python int.
template <class T>
PyRef to_python(T v) {
  static_assert(std::is_integral_v<T> && sizeof(T) <= sizeof(long));
  if constexpr (std::is_signed_v<T>) {
    return PyRef::steal(PyLong_FromLong(long(v)));
  } else if constexpr (sizeof(T) <= 4) {
    return PyRef::steal(PyLong_FromUnsignedLong(v));
  } else {
    return PyRef::steal(PyLong_FromUnsignedLongLong(v));
  }
}

// Puts the values of an event of layout L into `d`, whose keys are `k`.
template <class L, class Event>
void fill(PyObject* d, const LayoutKeys& k, Event& ev) {
  for_each_field<L>(static_cast<const typename L::Header&>(ev),
                    [&](auto i, auto value) { put(d, k.fields[i], to_python(value)); });
  put(d, k.data, from_raw_parts(std::move(ev.data)));
}

PyObject* next_event(PyObject* self) {
  const ClassState* made = class_once.ready();
  EventReaderObject* obj = as_event_reader(self, made);
  if (!obj) return nullptr;
  const ClassState& state = *made;
  // Declared first so that it goes last: releasing the borrow must not
  // touch an object that dropping this reference has freed.
  PyRef keep = PyRef::borrow(self);
  ExclusiveBorrow borrow(obj->borrow_flag);
  if (!borrow.held()) {
    PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return nullptr;
  }
  const std::size_t index = obj->record_reader.index();
  return Layouts::visit(*Layouts::kDescs[index], [&]<class L>() -> PyObject* {
    const LayoutKeys& keys = state.layouts[index];
    auto step = std::get<typename L::Reader>(obj->record_reader).next();
    if (auto* ev = std::get_if<0>(&step)) {
      // Made after the step, which may wait without the lock (ForcedUnwind).
      PyRef dict = PyRef::steal(PyDict_Copy(keys.dict));
      if (!dict) python_call_failed();
      fill<L>(dict.get(), keys, *ev);
      return dict.release();
    }
    if (auto* err = std::get_if<IoError>(&step)) return raise_error(*err);
    return nullptr;  // end of input: StopIteration without a message
  });
}

PyObject* event_reader_iternext(PyObject* self) {
  return guarded([&] { return next_event(self); });
}

PyType_Slot event_reader_slots[] = {
    {Py_tp_doc, const_cast<char*>("EventReader(path, reader_type)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(event_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(event_reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(event_reader_iternext)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_reader_dealloc)},
    {0, nullptr},
};
// No Py_TPFLAGS_BASETYPE: not subclassable. No GC: it holds no Python objects.
// Immutable where the interpreter can say so (immutable_type_flag()).
PyType_Spec event_reader_spec = {"builtins.EventReader", sizeof(EventReaderObject), 0,
                                 Py_TPFLAGS_DEFAULT, event_reader_slots};

// The keys of the layout `desc` into `out`.
bool make_layout_keys(const LayoutDesc& desc, LayoutKeys& out) {
  // A failed start may keep a few of these; the next attempt makes them anew.
  PyRef d = PyRef::steal(PyDict_New());
  if (!d) return false;
  auto add = [&](const char* name) -> PyObject* {
    PyObject* key = PyUnicode_InternFromString(name);
    if (!key || PyDict_SetItem(d.get(), key, Py_None) != 0) return nullptr;
    return key;
  };
  for (std::size_t i = 0; i < desc.fields.size(); ++i) {
    if (!(out.fields[i] = add(desc.fields[i].name))) return false;
  }
  if (!(out.data = add("data"))) return false;
  out.dict = d.release();
  return true;
}

bool make_class_state(ClassState& out) {
  for (std::size_t i = 0; i < Layouts::kDescs.size(); ++i) {
    if (!make_layout_keys(*Layouts::kDescs[i], out.layouts[i])) return false;
  }
  event_reader_spec.flags |= immutable_type_flag();
  out.type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&event_reader_spec));
  return out.type != nullptr;
}

// nullptr, with RuntimeError set (the cause chained), when the type cannot be made.
ClassState* class_state() {
  ClassState* state = class_once.get(make_class_state);
  if (!state) {
    // Made before any instance exists, so only the module body gets here.
    PyRef cause = take_exception();
    raise_message(PyExc_RuntimeError, "An error occurred while initializing class EventReader");
    PyRef error = take_exception();
    if (error && cause) PyException_SetCause(error.get(), cause.release());
    restore_exception(std::move(error));
  }
  return state;
}

// Adds the class to the module and to its __all__.
int add_class(PyObject* module) {
  ClassState* state = class_state();
  if (!state) return -1;
  PyTypeObject* type = state->type;
  PyRef name = PyRef::steal(PyUnicode_FromString("EventReader"));
  if (!name) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) != 0) return -1;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  if (PyList_Append(all.get(), name.get()) != 0) {
    panic("could not append __name__ to __all__: " + describe_pending_error());
  }
  return PyObject_SetAttrString(module, "EventReader", reinterpret_cast<PyObject*>(type));
}

struct ModuleDef {
  int (*initializer)(PyObject*);
  PyModuleDef def;
  // The interpreter that first imported the module; -1 until then.
  std::atomic<std::int64_t> interpreter_id;
  Once<PyObject*> module;
};

ModuleDef module_def = {
    add_class,
    {PyModuleDef_HEAD_INIT, "vorn", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    {-1},
    {},
};

PyObject* make_module(ModuleDef& md) {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t first = -1;
  if (!md.interpreter_id.compare_exchange_strong(first, id, std::memory_order_acq_rel) &&
      first != id) {
    PyErr_SetString(PyExc_ImportError,
                    "vorn does not support subinterpreters: it can be imported only in the "
                    "interpreter that first imported it");
    return nullptr;
  }
  PyObject** module = md.module.get([&](PyObject*& out) {
    PyRef m = PyRef::steal(PyModule_Create2(&md.def, 1013));
    if (!m) return false;
    if (md.initializer(m.get()) != 0) return false;
    out = m.release();  // kept for the life of the process
    return true;
  });
  if (!module) return nullptr;
  Py_INCREF(*module);
  return *module;
}

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit_vorn(void) {
  return vorn::with_exception(vorn::guarded([] { return vorn::make_module(vorn::module_def); }));
}
