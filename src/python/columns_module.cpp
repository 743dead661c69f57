// vorn_columns._native: the batch decoder as a Python type; the module also
// holds the columns' memory owner (column_memory) and the Arrow export.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "arrow_export.hpp"
#include "batch_decoder.hpp"
#include "column_memory.hpp"
#include "file_object_source.hpp"
#include "py_support.hpp"

namespace vorn {
namespace {

struct DecoderState {
  UnlockedWaiting waiting;  // outlives the decoder's file, which refers to it
  KeptError kept;           // what a file object raised, until the boundary raises it
  std::optional<BatchDecoder> decoder;
  std::shared_ptr<Pool> pool;
};

struct DecoderObject {
  PyObject_HEAD
  DecoderState* state;  // null until construction succeeds
  std::atomic<bool> busy;
};

struct ModuleTypes {
  PyTypeObject* decoder;
  PyTypeObject* memory;
};
Once<ModuleTypes> types_once;

// Holds a decoder for one call; a second thread meets RuntimeError.
class Busy {
 public:
  explicit Busy(DecoderObject* d) noexcept : d_(d), held_(!d->busy.exchange(true)) {}
  ~Busy() {
    if (held_) d_->busy.store(false);
  }
  bool held() const noexcept { return held_; }

 private:
  DecoderObject* d_;
  bool held_;
};

// True, with RuntimeError set, when another thread holds the decoder.
bool in_use(const Busy& busy) {
  if (busy.held()) return false;
  PyErr_SetString(PyExc_RuntimeError, "this reader is in use by another thread");
  return true;
}

DecoderObject* as_decoder(PyObject* self) {
  ModuleTypes* types = types_once.ready();
  if (!types || !PyObject_TypeCheck(self, types->decoder) ||
      !reinterpret_cast<DecoderObject*>(self)->state) {
    PyErr_SetString(PyExc_TypeError, "expected a Decoder");
    return nullptr;
  }
  return reinterpret_cast<DecoderObject*>(self);
}

// The OSError of an open or probe that failed, with errno, strerror and filename.
PyObject* raise_io_error(const IoError& e, PyObject* filename) {
  if (e.kind == IoError::Kind::interrupted) return nullptr;
  if (e.is_eof()) {
    return raise_message(PyExc_OSError, "failed to fill whole buffer");
  }
  errno = e.code;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename);
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject* input;  // a path as bytes, or a binary file object
    const char* layout_name;
    PyObject* filename;
    int channels = -1;  // the channel count of an earlier probe, which is then not run
    static const char* kNames[] = {"input", "layout", "filename", "channels", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsO|i:Decoder", const_cast<char**>(kNames),
                                     &input, &layout_name, &filename, &channels)) {
      return nullptr;
    }
    Layout layout;
    if (std::strcmp(layout_name, "WD1") == 0) {
      layout = Layout::wd1;
    } else if (std::strcmp(layout_name, "WD2") == 0) {
      layout = Layout::wd2;
    } else {
      PyErr_Format(PyExc_ValueError, "layout must be 'WD1' or 'WD2', not %R",
                   PyTuple_GetItem(args, 1));
      return nullptr;
    }
    auto state = std::make_unique<DecoderState>();
    std::unique_ptr<Source> object;
    const char* path = nullptr;
    if (PyBytes_Check(input)) {
      path = PyBytes_AsString(input);
      if (std::strlen(path) != std::size_t(PyBytes_Size(input))) {
        return raise_message(PyExc_ValueError, "embedded null byte");
      }
    } else if (!(object = FileObjectSource::make(input, state->waiting, state->kept))) {
      return nullptr;
    }
    std::optional<IoError> failed = state->waiting.unlocked([&]() -> std::optional<IoError> {
      Result<std::unique_ptr<Source>> file = path ? open_file(path, state->waiting) : std::move(object);
      if (!file.ok()) return file.error();
      if (channels >= 0) {
        state->decoder.emplace(
            BatchDecoder::open_known(std::move(file).value(), layout_desc(layout), channels));
        return std::nullopt;
      }
      Result<BatchDecoder> decoder = BatchDecoder::open(std::move(file).value(), layout);
      if (!decoder.ok()) return decoder.error();
      state->decoder.emplace(std::move(decoder).value());
      return std::nullopt;
    });
    if (state->kept.restore()) return nullptr;
    if (failed) return raise_io_error(*failed, filename);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<DecoderObject*>(self);
    new (&obj->busy) std::atomic<bool>(false);
    obj->state = state.release();
    return self;
  }));
}

void decoder_dealloc(PyObject* self) noexcept {
  auto* obj = reinterpret_cast<DecoderObject*>(self);
  delete obj->state;  // closes the file; batches keep their memory
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// (stop, detail): detail is the corrupt or mismatched record's offset, the errno of an
// input error, or the exception a signal handler raised; else None.
PyRef stop_detail(const BatchResult& r) {
  PyObject* detail;
  if (r.stop == Stop::corrupt || r.stop == Stop::mismatch) {
    detail = PyLong_FromUnsignedLongLong(r.corrupt_at);
  } else if (r.stop == Stop::error && r.error.kind == IoError::Kind::interrupted) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
    if (v && trace) PyException_SetTraceback(v.get(), trace.get());
    detail = v ? v.release() : PyRef::borrow(Py_None).release();
  } else if (r.stop == Stop::error) {
    detail = PyLong_FromLong(r.error.code);
  } else {
    detail = PyRef::borrow(Py_None).release();
  }
  if (!detail) python_call_failed();
  return PyRef::steal(Py_BuildValue("(iN)", int(r.stop), detail));
}

// A walk during which a file object raised ends with that exception, pending
// as a signal handler's would be, whatever else stopped it.
void take_kept_error(DecoderState& st, BatchResult& r) {
  if (!st.kept.restore()) return;
  r.stop = Stop::error;
  r.error = IoError::interrupted();
}

bool parse_limit(PyObject* value, std::uint64_t& out) {
  out = PyLong_AsUnsignedLongLong(value);
  return !(out == std::uint64_t(-1) && PyErr_Occurred());
}

// decode(max_events, max_bytes, pooled) -> (columns, samples, offsets, (stop, detail))
PyObject* decoder_decode(PyObject* self, PyObject* args) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    PyObject *max_events_obj, *max_bytes_obj;
    int pooled;
    if (!PyArg_ParseTuple(args, "OOp:decode", &max_events_obj, &max_bytes_obj, &pooled)) return nullptr;
    Limits limits;
    if (!parse_limit(max_events_obj, limits.max_events) || !parse_limit(max_bytes_obj, limits.max_bytes)) {
      return nullptr;
    }
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    DecoderState& st = *obj->state;
    if (pooled && !st.pool) {
      const std::size_t header = st.decoder->layout() == Layout::wd1 ? 24 : 28;
      st.pool = std::make_shared<Pool>(std::size_t(std::min<std::uint64_t>(
                                           limits.max_events, limits.max_bytes / header + 1)),
                                       std::size_t(limits.max_bytes));
    }
    std::unique_ptr<BatchMemory> memory = pooled ? st.pool->take() : std::make_unique<BatchMemory>();
    BatchResult r = st.waiting.unlocked([&] {
      BatchResult res = st.decoder->decode(*memory, limits);
      if (!pooled) {
        // A whole read keeps exactly what it used.
        for (int k = 0; k < st.decoder->columns(); ++k) {
          memory->columns[std::size_t(k)].trim(res.events * st.decoder->column_width(k));
        }
        memory->samples.trim(res.samples * st.decoder->sample_width());
        memory->offsets.trim((res.events + 1) * 8);
      }
      return res;
    });
    take_kept_error(st, r);
    PyRef stop = stop_detail(r);
    Arrays a = make_arrays(*st.decoder, std::move(memory), r.events, r.samples, r.events + 1,
                           pooled ? st.pool : nullptr);
    return Py_BuildValue("(NNNN)", a.columns.release(), a.samples.release(), a.offsets.release(),
                         stop.release());
  }));
}

// scan(max_events, store) -> (events, columns or None, positions or None, (stop, detail))
PyObject* decoder_scan(PyObject* self, PyObject* args) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    PyObject* max_events_obj;
    int store;
    if (!PyArg_ParseTuple(args, "Op:scan", &max_events_obj, &store)) return nullptr;
    Limits limits;
    if (!parse_limit(max_events_obj, limits.max_events)) return nullptr;
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    DecoderState& st = *obj->state;
    auto memory = std::make_unique<BatchMemory>();
    BatchResult r = st.waiting.unlocked([&] {
      BatchResult res = st.decoder->scan(store ? memory.get() : nullptr, limits);
      for (int k = 0; k < st.decoder->columns(); ++k) {
        memory->columns[std::size_t(k)].trim(res.events * st.decoder->column_width(k));
      }
      memory->offsets.trim((res.events + 1) * 8);
      return res;
    });
    take_kept_error(st, r);
    PyRef stop = stop_detail(r);
    if (!store) {
      return Py_BuildValue("(KOON)", (unsigned long long)r.events, Py_None, Py_None, stop.release());
    }
    Arrays a = make_arrays(*st.decoder, std::move(memory), r.events, 0, r.events + 1, nullptr);
    return Py_BuildValue("(KNNN)", (unsigned long long)r.events, a.columns.release(),
                         a.offsets.release(), stop.release());
  }));
}

PyObject* decoder_seek(PyObject* self, PyObject* arg) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    const std::uint64_t to = PyLong_AsUnsignedLongLong(arg);
    if (to == std::uint64_t(-1) && PyErr_Occurred()) return nullptr;
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    DecoderState& st = *obj->state;
    const Status done = st.waiting.unlocked([&] { return st.decoder->seek(to); });
    if (st.kept.restore()) return nullptr;
    if (!done.ok()) return raise_os_error(done.error().code);
    Py_RETURN_NONE;
  }));
}

// pick(positions, sizes) -> (columns, samples, offsets, (stop, detail)): the
// records whose first bytes and lengths the two buffers of int64 give.
PyObject* decoder_pick(PyObject* self, PyObject* args) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    PyObject *positions_obj, *sizes_obj;
    if (!PyArg_ParseTuple(args, "SS:pick", &positions_obj, &sizes_obj)) return nullptr;
    char *positions, *sizes;
    Py_ssize_t positions_len, sizes_len;
    if (PyBytes_AsStringAndSize(positions_obj, &positions, &positions_len) != 0 ||
        PyBytes_AsStringAndSize(sizes_obj, &sizes, &sizes_len) != 0) {
      return nullptr;
    }
    if (positions_len != sizes_len || positions_len % 8 != 0) {
      PyErr_SetString(PyExc_ValueError, "pick needs as many positions as sizes, 8 bytes each");
      return nullptr;
    }
    std::vector<Extent> extents(std::size_t(positions_len / 8));
    for (std::size_t i = 0; i < extents.size(); ++i) {
      std::memcpy(&extents[i].position, positions + 8 * i, 8);
      std::memcpy(&extents[i].bytes, sizes + 8 * i, 8);
    }
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    DecoderState& st = *obj->state;
    auto memory = std::make_unique<BatchMemory>();
    BatchResult r = st.waiting.unlocked([&] { return st.decoder->pick(*memory, extents); });
    PyRef stop = stop_detail(r);
    Arrays a = make_arrays(*st.decoder, std::move(memory), r.events, r.samples, r.events + 1, nullptr);
    return Py_BuildValue("(NNNN)", a.columns.release(), a.samples.release(), a.offsets.release(),
                         stop.release());
  }));
}

PyObject* decoder_position(PyObject* self, void*) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    // The position moves while another thread walks without the lock.
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    return PyLong_FromUnsignedLongLong(obj->state->decoder->position());
  }));
}

PyObject* decoder_channels(PyObject* self, void*) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    return obj ? PyLong_FromLong(obj->state->decoder->channels()) : nullptr;
  }));
}

// identity() -> (inode, size) of the open file, by fstat of the descriptor
// being read: what an index checks. size is None but for a regular file;
// both are None for a file object.
PyObject* decoder_identity(PyObject* self, PyObject*) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    const int fd = obj->state->decoder->fd();
    if (fd < 0) return Py_BuildValue("(OO)", Py_None, Py_None);  // a file object: no file to ask
    struct stat st;
    if (::fstat(fd, &st) != 0) return raise_os_error(errno);
    PyRef size = S_ISREG(st.st_mode) ? PyRef::steal(PyLong_FromLongLong(st.st_size))
                                     : PyRef::borrow(Py_None);
    if (!size) return nullptr;
    return Py_BuildValue("(KN)", (unsigned long long)st.st_ino, size.release());
  }));
}

PyMethodDef decoder_methods[] = {
    {"decode", reinterpret_cast<PyCFunction>(decoder_decode), METH_VARARGS,
     "decode(max_events, max_bytes, pooled) -> (columns, samples, offsets, (stop, detail))"},
    {"scan", reinterpret_cast<PyCFunction>(decoder_scan), METH_VARARGS,
     "scan(max_events, store) -> (events, columns, positions, (stop, detail))"},
    {"seek", reinterpret_cast<PyCFunction>(decoder_seek), METH_O, "seek(position)"},
    {"pick", reinterpret_cast<PyCFunction>(decoder_pick), METH_VARARGS,
     "pick(positions, sizes) -> (columns, samples, offsets, (stop, detail))"},
    {"identity", reinterpret_cast<PyCFunction>(decoder_identity), METH_NOARGS,
     "identity() -> (inode, size or None)"},
    {nullptr, nullptr, 0, nullptr},
};
PyGetSetDef decoder_getset[] = {
    {"position", decoder_position, nullptr, "byte offset of the next record", nullptr},
    {"channels", decoder_channels, nullptr, "channel count of the WD2 probe; 0 for WD1", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char*>("Decoder(input, layout, filename): one open event file, by path or file object")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {0, nullptr},
};
PyType_Spec decoder_spec = {"vorn_columns._native.Decoder", sizeof(DecoderObject), 0,
                            Py_TPFLAGS_DEFAULT, decoder_slots};

bool make_types(ModuleTypes& out) {
  decoder_spec.flags |= immutable_type_flag();
  out.decoder = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decoder_spec));
  if (!out.decoder) return false;
  out.memory = column_memory_type();
  return out.memory != nullptr;
}

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vorn_columns._native",
                          "The batch decoder behind vorn_columns.", 0, nullptr, nullptr, nullptr,
                          nullptr, nullptr};

PyObject* make_module() {
  ModuleTypes* types = types_once.get(make_types);
  if (!types) return nullptr;
  PyRef m = PyRef::steal(PyModule_Create2(&module_def, 1013));
  if (!m || !add_arrow_export(m.get())) return nullptr;
  if (PyObject_SetAttrString(m.get(), "Decoder", reinterpret_cast<PyObject*>(types->decoder)) != 0 ||
      PyObject_SetAttrString(m.get(), "ColumnMemory", reinterpret_cast<PyObject*>(types->memory)) != 0) {
    return nullptr;
  }
  return m.release();
}

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit__native(void) {
  return vorn::with_exception(vorn::guarded([] { return vorn::make_module(); }));
}
