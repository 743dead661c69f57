// vorn_columns._arrow: Arrow C data and C stream structures over memory that
// Python objects own, wrapped in the capsules of the Arrow PyCapsule interface.
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "py_support.hpp"

extern "C" {
// The Arrow C data interface and C stream interface ABI.
#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};
#endif

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE
struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};
#endif
}

namespace vorn {
namespace {

// Releases a structure that nobody moved out (release != nullptr), then frees it.
template <class T>
struct ReleaseAndDelete {
  void operator()(T* p) const noexcept {
    if (p->release) p->release(p);
    delete p;
  }
};
template <class T>
using Exported = std::unique_ptr<T, ReleaseAndDelete<T>>;

template <class T>
struct CapsuleName;
template <>
struct CapsuleName<ArrowSchema> {
  static constexpr const char* value = "arrow_schema";
};
template <>
struct CapsuleName<ArrowArray> {
  static constexpr const char* value = "arrow_array";
};
template <>
struct CapsuleName<ArrowArrayStream> {
  static constexpr const char* value = "arrow_array_stream";
};

// Runs when the capsule goes: a structure the consumer moved out has release
// == nullptr and is only freed.
template <class T>
void capsule_free(PyObject* capsule) noexcept {
  auto* p = static_cast<T*>(PyCapsule_GetPointer(capsule, CapsuleName<T>::value));
  if (!p) {
    PyErr_WriteUnraisable(capsule);
    return;
  }
  ReleaseAndDelete<T>{}(p);
}

template <class T>
PyObject* to_capsule(Exported<T> p) {
  PyObject* capsule = PyCapsule_New(p.get(), CapsuleName<T>::value, capsule_free<T>);
  if (capsule) (void)p.release();
  return capsule;
}

// The interpreter lock, for callbacks that a consumer may make from any thread.
class Gil {
 public:
  Gil() noexcept : state_(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(state_); }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

// The interpreter's shutdown, as release callbacks must know it: Python's
// atexit hooks name the thread that finalizes (it holds the lock while it
// clears modules, which may drop the last capsule), and Py_AtExit says when
// nothing of the interpreter is left.
std::atomic<std::thread::id> finalizing_thread{};
std::atomic<bool> interpreter_gone{false};

PyObject* note_finalizing_thread(PyObject*, PyObject*) noexcept {
  finalizing_thread.store(std::this_thread::get_id());
  Py_RETURN_NONE;
}
PyMethodDef note_finalizing_def = {"_note_finalizing_thread", note_finalizing_thread, METH_NOARGS,
                                   nullptr};

// Registers both hooks, once per process; false with a Python error set.
bool watch_shutdown(PyObject* module) {
  static bool watching = false;
  if (watching) return true;
  if (Py_AtExit([] { interpreter_gone.store(true); }) != 0) {
    PyErr_SetString(PyExc_RuntimeError, "no room for an exit function");
    return false;
  }
  PyRef hook = PyRef::steal(PyCFunction_NewEx(&note_finalizing_def, module, nullptr));
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  if (!hook || !atexit) return false;
  PyRef done = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  watching = bool(done);
  return watching;
}

// Runs `work`, which drops Python references, with the interpreter lock:
// taken here while the interpreter runs; held already by the thread that
// finalizes it. Anywhere else during or after shutdown the references are
// forgotten instead (`forget`): touching Python then is not safe.
template <class Work, class Forget>
void with_python(Work&& work, Forget&& forget) noexcept {
  if (Py_IsInitialized()) {
    Gil gil;
    work();
  } else if (!interpreter_gone.load() && finalizing_thread.load() == std::this_thread::get_id()) {
    work();
  } else {
    forget();
  }
}

// A tuple argument of a description, or TypeError.
PyObject* as_tuple(PyObject* desc, const char* what) {
  if (!PyTuple_Check(desc)) {
    PyErr_Format(PyExc_TypeError, "an Arrow %s description must be a tuple", what);
    throw PythonErrorSet{};
  }
  return desc;
}

// Child structures live in their parent's private data; a consumer may move a
// child out (its release then reads nullptr), and what it moved owns itself.
template <class T>
class Children {
 public:
  explicit Children(Py_ssize_t n)
      : n_(n),
        items_(std::make_unique<T[]>(std::size_t(n))),
        ptrs_(std::make_unique<T*[]>(std::size_t(n))) {
    for (Py_ssize_t i = 0; i < n; ++i) ptrs_[std::size_t(i)] = &items_[std::size_t(i)];
  }
  ~Children() {
    for (Py_ssize_t i = 0; i < n_; ++i) {
      T& c = items_[std::size_t(i)];
      if (c.release) c.release(&c);
    }
  }
  Children(const Children&) = delete;
  Children& operator=(const Children&) = delete;
  std::int64_t size() const noexcept { return n_; }
  T& operator[](Py_ssize_t i) noexcept { return items_[std::size_t(i)]; }
  T** pointers() noexcept { return n_ ? ptrs_.get() : nullptr; }

 private:
  Py_ssize_t n_;
  std::unique_ptr<T[]> items_;  // value-initialized: release == nullptr until filled
  std::unique_ptr<T*[]> ptrs_;
};

struct SchemaNode {
  std::string format, name, metadata;
  Children<ArrowSchema> children;
  explicit SchemaNode(Py_ssize_t n) : children(n) {}
};

void release_schema(ArrowSchema* s) noexcept {
  delete static_cast<SchemaNode*>(s->private_data);
  s->release = nullptr;
}

// Fills `out` from (format, name, metadata bytes, flags, children). On a
// failure `out` is left untouched and everything built so far is released.
void build_schema(PyObject* desc, ArrowSchema& out) {
  const char *format, *name, *metadata;
  Py_ssize_t metadata_size;
  long long flags;
  PyObject* children;
  if (!PyArg_ParseTuple(as_tuple(desc, "schema"), "ssy#LO!:schema", &format, &name, &metadata,
                        &metadata_size, &flags, &PyTuple_Type, &children)) {
    throw PythonErrorSet{};
  }
  auto node = std::make_unique<SchemaNode>(PyTuple_Size(children));
  node->format = format;
  node->name = name;
  node->metadata.assign(metadata, std::size_t(metadata_size));
  for (Py_ssize_t i = 0; i < node->children.size(); ++i) {
    build_schema(PyTuple_GetItem(children, i), node->children[i]);
  }
  out = ArrowSchema{};
  out.format = node->format.c_str();
  out.name = node->name.c_str();
  out.metadata = node->metadata.empty() ? nullptr : node->metadata.data();
  out.flags = flags;
  out.n_children = node->children.size();
  out.children = node->children.pointers();
  out.release = release_schema;
  out.private_data = node.release();
}

struct ArrayNode {
  PyRef owner;  // the object whose memory the buffers are
  std::vector<const void*> buffers;
  Children<ArrowArray> children;
  explicit ArrayNode(Py_ssize_t n) : children(n) {}
};

// May run on any thread, and while or after the interpreter shuts down.
void release_array(ArrowArray* a) noexcept {
  auto* node = static_cast<ArrayNode*>(a->private_data);
  a->release = nullptr;
  with_python([&] { delete node; }, [&] { (void)node->owner.release(); delete node; });
}

// Fills `out` from (length, owner, buffer addresses, children): the buffers
// are memory that `owner` keeps, 0 standing for a null pointer. On a failure
// `out` is left untouched and everything built so far is released.
void build_array(PyObject* desc, ArrowArray& out) {
  long long length;
  PyObject *owner, *buffers, *children;
  if (!PyArg_ParseTuple(as_tuple(desc, "array"), "LOO!O!:array", &length, &owner, &PyTuple_Type,
                        &buffers, &PyTuple_Type, &children)) {
    throw PythonErrorSet{};
  }
  auto node = std::make_unique<ArrayNode>(PyTuple_Size(children));
  if (owner != Py_None) node->owner = PyRef::borrow(owner);
  for (Py_ssize_t i = 0; i < PyTuple_Size(buffers); ++i) {
    void* address = PyLong_AsVoidPtr(PyTuple_GetItem(buffers, i));
    if (!address && PyErr_Occurred()) throw PythonErrorSet{};
    node->buffers.push_back(address);
  }
  for (Py_ssize_t i = 0; i < node->children.size(); ++i) {
    build_array(PyTuple_GetItem(children, i), node->children[i]);
  }
  out = ArrowArray{};
  out.length = length;
  out.n_buffers = std::int64_t(node->buffers.size());
  out.buffers = node->buffers.data();
  out.n_children = node->children.size();
  out.children = node->children.pointers();
  out.release = release_array;
  out.private_data = node.release();
}

struct StreamState {
  PyRef schema;  // a schema description
  PyRef next;    // () -> an array description, or None at the end
  std::string error;
};

StreamState& state_of(ArrowArrayStream* s) noexcept {
  return *static_cast<StreamState*>(s->private_data);
}

// Keeps the reason for get_last_error; none where even that fails.
void set_error(StreamState& st, const char* reason) noexcept {
  try {
    st.error = reason ? std::string(reason) : describe_pending_error();
  } catch (...) {
    st.error.clear();
  }
}

// Runs `body` with the interpreter lock: 0, or an errno value with the reason
// kept for get_last_error. A Python exception is cleared into that reason.
template <class Body>
int stream_call(ArrowArrayStream* s, Body&& body) noexcept {
  StreamState& st = state_of(s);
  if (!Py_IsInitialized()) {
    set_error(st, "the Python interpreter has shut down");
    return EINVAL;
  }
  Gil gil;
  int code = EIO;
  try {
    body(st);
    return 0;
  } catch (const PythonErrorSet&) {
    set_error(st, nullptr);
  } catch (const std::bad_alloc&) {
    set_error(st, "out of memory");
    code = ENOMEM;
  } catch (const std::exception& e) {
    set_error(st, e.what());
  } catch (...) {
    set_error(st, "internal failure");
  }
  PyErr_Clear();
  return code;
}

int stream_get_schema(ArrowArrayStream* s, ArrowSchema* out) noexcept {
  return stream_call(s, [&](StreamState& st) { build_schema(st.schema.get(), *out); });
}

int stream_get_next(ArrowArrayStream* s, ArrowArray* out) noexcept {
  return stream_call(s, [&](StreamState& st) {
    PyRef desc = PyRef::steal(PyObject_CallObject(st.next.get(), nullptr));
    if (!desc) throw PythonErrorSet{};
    if (desc.get() == Py_None) {
      *out = ArrowArray{};  // the end: release == nullptr
      return;
    }
    build_array(desc.get(), *out);
  });
}

const char* stream_get_last_error(ArrowArrayStream* s) noexcept {
  const std::string& error = state_of(s).error;
  return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* s) noexcept {
  auto* st = &state_of(s);
  s->release = nullptr;
  with_python([&] { delete st; }, [&] {
    (void)st->schema.release();
    (void)st->next.release();
    delete st;
  });
}

// export_schema(description) -> "arrow_schema" capsule
PyObject* export_schema(PyObject*, PyObject* desc) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    Exported<ArrowSchema> out(new ArrowSchema{});
    build_schema(desc, *out);
    return to_capsule(std::move(out));
  }));
}

// export_array(description) -> "arrow_array" capsule
PyObject* export_array(PyObject*, PyObject* desc) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    Exported<ArrowArray> out(new ArrowArray{});
    build_array(desc, *out);
    return to_capsule(std::move(out));
  }));
}

// export_stream(schema description, next) -> "arrow_array_stream" capsule
PyObject* export_stream(PyObject*, PyObject* args) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject *schema, *next;
    if (!PyArg_ParseTuple(args, "O!O:export_stream", &PyTuple_Type, &schema, &next)) return nullptr;
    if (!PyCallable_Check(next)) {
      PyErr_SetString(PyExc_TypeError, "next must be callable");
      return nullptr;
    }
    auto state = std::make_unique<StreamState>();
    state->schema = PyRef::borrow(schema);
    state->next = PyRef::borrow(next);
    Exported<ArrowArrayStream> out(new ArrowArrayStream{});
    out->get_schema = stream_get_schema;
    out->get_next = stream_get_next;
    out->get_last_error = stream_get_last_error;
    out->release = stream_release;
    out->private_data = state.release();
    return to_capsule(std::move(out));
  }));
}

PyMethodDef module_methods[] = {
    {"export_schema", export_schema, METH_O,
     "export_schema((format, name, metadata, flags, children)) -> 'arrow_schema' capsule"},
    {"export_array", export_array, METH_O,
     "export_array((length, owner, buffers, children)) -> 'arrow_array' capsule"},
    {"export_stream", export_stream, METH_VARARGS,
     "export_stream(schema, next) -> 'arrow_array_stream' capsule; next() gives an array "
     "description, or None at the end"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vorn_columns._arrow",
                          "Arrow C data and stream structures in PyCapsules.", 0, module_methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit__arrow(void) {
  return vorn::with_exception(vorn::guarded([]() -> PyObject* {
    vorn::PyRef m = vorn::PyRef::steal(PyModule_Create2(&vorn::module_def, 1013));
    if (!m || !vorn::watch_shutdown(m.get())) return nullptr;
    return m.release();
  }));
}
