// vorn_columns._native: the batch decoder as a Python type and the iteration
// over it; the module also holds the columns' memory owner (column_memory)
// and the Arrow export.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "arrow_export.hpp"
#include "batch_decoder.hpp"
#include "column_memory.hpp"
#include "file_object_source.hpp"
#include "numpy_api.hpp"
#include "py_support.hpp"
#include "threads.hpp"

namespace vorn {
namespace {

// An iteration over a decoder (a BatchIterator), kept here so that the call
// that consumes records also counts them: no Python code runs in between.
struct Iteration {
  std::uint64_t next = 0;     // events handed out or stepped over: the next batch's first
  std::uint64_t to_skip = 0;  // records still to step over (start=)
  std::uint64_t stop = UINT64_MAX;
  Limits limits;
  // What the next step raises: an exception a signal handler raised, or the
  // (stop, index) of a walk that ended early, which becomes its exception then.
  PyRef pending;
};

struct DecoderState {
  UnlockedWaiting waiting;  // outlives the decoder's file, which refers to it
  KeptError kept;           // what a file object raised, until the boundary raises it
  std::optional<BatchDecoder> decoder;
  std::shared_ptr<BatchPool> pool;
  PyRef filename;  // as the caller gave it, for errors
  Iteration iteration;
};

struct DecoderObject {
  PyObject_HEAD
  DecoderState* state;  // null until construction succeeds
  std::atomic<bool> busy;
};

constexpr int kBatchFields = 6;
constexpr std::size_t kLayouts = Layouts::kDescs.size();
struct ModuleTypes {
  PyTypeObject* decoder;
  PyTypeObject* memory;
  PyObject* layouts[kLayouts];          // each layout's name, in the order of Layouts::kDescs
  PyObject* fields[kLayouts];           // a tuple of each one's field names
  PyObject* batch_names[kBatchFields];  // the Batch attributes, in make_batch's order
};
Once<ModuleTypes> types_once;

// What the Python package hands over on import: its Batch class, the field
// names of each layout, and the function that makes the exception ending an
// iteration. Made once and never destroyed, so that no reference is dropped
// after the interpreter is gone.
struct Package {
  PyRef batch_type;
  PyRef failure;  // (stop, filename, layout, index) -> exception
};
Package& package() {
  static Package* p = new Package;
  return *p;
}

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

// Entry points are not noexcept: a thread the interpreter ends while it takes
// the lock back unwinds through them (ForcedUnwind).
PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject* input;  // a path as bytes, an open file's descriptor, or a binary file object
    PyObject* layout_name;
    PyObject* filename;
    int channels = -1;  // the channel count of an earlier probe, which is then not run
    static const char* kNames[] = {"input", "layout", "filename", "channels", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|i:Decoder", const_cast<char**>(kNames),
                                     &input, &layout_name, &filename, &channels)) {
      return nullptr;
    }
    const LayoutDesc* layout = parse_layout(layout_name);
    if (!layout) return nullptr;
    auto state = std::make_unique<DecoderState>();
    std::unique_ptr<Source> object;
    const char* path = nullptr;
    int fd = -1;
    if (PyBytes_Check(input)) {
      path = PyBytes_AsString(input);
      if (std::strlen(path) != std::size_t(PyBytes_Size(input))) {
        return raise_message(PyExc_ValueError, "embedded null byte");
      }
    } else if (PyLong_Check(input)) {
      const long given = PyLong_AsLong(input);
      if (given == -1 && PyErr_Occurred()) return nullptr;
      if (given < 0 || given > INT_MAX) {
        return raise_message(PyExc_ValueError, "a descriptor is from 0 to INT_MAX");
      }
      fd = int(given);
    } else if (!(object = FileObjectSource::make(input, state->waiting, state->kept))) {
      return nullptr;
    }
    std::optional<IoError> failed = state->waiting.unlocked([&]() -> std::optional<IoError> {
      Result<std::unique_ptr<Source>> file = path      ? open_file(path, state->waiting)
                                             : fd >= 0 ? duplicate_file(fd, state->waiting)
                                                       : std::move(object);
      if (!file.ok()) return file.error();
      if (channels >= 0) {
        state->decoder.emplace(
            BatchDecoder::open_known(std::move(file).value(), *layout, channels));
        return std::nullopt;
      }
      Result<BatchDecoder> decoder = BatchDecoder::open(std::move(file).value(), *layout);
      if (!decoder.ok()) return decoder.error();
      state->decoder.emplace(std::move(decoder).value());
      return std::nullopt;
    });
    if (state->kept.restore()) return nullptr;
    if (failed) return raise_io_error(*failed, filename);
    state->filename = PyRef::borrow(filename);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (!self) return nullptr;
    auto* obj = reinterpret_cast<DecoderObject*>(self);
    new (&obj->busy) std::atomic<bool>(false);
    obj->state = state.release();
    return self;
  }));
}

// A pending exception's traceback may lead back to the iterator: a cycle.
int decoder_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  const DecoderState* st = reinterpret_cast<DecoderObject*>(self)->state;
  if (st && st->iteration.pending) {
    if (int r = visit(st->iteration.pending.get(), arg)) return r;
  }
  return visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg);
}

int decoder_clear(PyObject* self) noexcept {
  if (DecoderState* st = reinterpret_cast<DecoderObject*>(self)->state) {
    PyRef gone = std::move(st->iteration.pending);
  }
  return 0;
}

void decoder_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  auto* obj = reinterpret_cast<DecoderObject*>(self);
  delete obj->state;  // closes the file; batches keep their memory
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// A walk during which a file object raised ends with that exception, pending
// as a signal handler's would be, whatever else stopped it.
void take_kept_error(DecoderState& st, BatchResult& r) {
  if (!st.kept.restore()) return;
  r.stop = Stop::error;
  r.error = IoError::interrupted();
}

// Whether a signal handler (or a file object) raised while the walk waited:
// its exception is set.
bool interrupted(const BatchResult& r) noexcept {
  return r.stop == Stop::error && r.error.kind == IoError::Kind::interrupted;
}

// The exception set, taken out of the thread's state with its traceback.
PyRef fetch_exception() {
  PyRef exception = take_exception();
  if (!exception) python_call_failed();
  return exception;
}

// (stop, detail): detail is the corrupt record's offset or the errno of an
// input error; else None. Not for a walk that was interrupted().
PyRef stop_detail(const BatchResult& r) {
  PyObject* detail;
  if (r.stop == Stop::corrupt || r.stop == Stop::mismatch) {
    detail = PyLong_FromUnsignedLongLong(r.corrupt_at);
  } else if (r.stop == Stop::error) {
    detail = PyLong_FromLong(r.error.code);
  } else {
    detail = PyRef::borrow(Py_None).release();
  }
  if (!detail) python_call_failed();
  return PyRef::steal(Py_BuildValue("(iN)", int(r.stop), detail));
}

bool parse_limit(PyObject* value, std::uint64_t& out) {
  out = PyLong_AsUnsignedLongLong(value);
  return !(out == std::uint64_t(-1) && PyErr_Occurred());
}

// The pool of the decoder's batches, made on first need for `limits`.
BatchPool& pool_for(DecoderState& st, const Limits& limits) {
  if (!st.pool) st.pool = std::make_shared<BatchPool>(*st.decoder, limits, spare_memory());
  return *st.pool;
}

// decode(max_events, max_bytes, pooled) -> (columns, samples, offsets, (stop, detail))
PyObject* decoder_decode(PyObject* self, PyObject* args) {
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
    load_numpy_api();
    std::unique_ptr<BatchMemory> memory =
        pooled ? pool_for(st, limits).take() : spare_memory()->take();
    BatchResult r = st.waiting.unlocked([&] {
      BatchResult res = st.decoder->decode(*memory, limits);
      if (!pooled) memory->trim_to(res, st.decoder->description());  // keeps what it used
      return res;
    });
    take_kept_error(st, r);
    // No next call can take an interrupt: it is raised, and the batch goes
    // with its memory (a read loses nothing by being made again).
    if (interrupted(r) || PyErr_CheckSignals() != 0) return nullptr;
    PyRef stop = stop_detail(r);
    std::shared_ptr<MemoryHome> home = pooled ? std::shared_ptr<MemoryHome>(st.pool) : spare_memory();
    Arrays a = make_arrays(*st.decoder, std::move(memory), r.events, r.samples, r.events + 1,
                           std::move(home));
    return Py_BuildValue("(NNNN)", a.columns.release(), a.samples.release(), a.offsets.release(),
                         stop.release());
  }));
}

// scan(max_events, store) -> (events, columns or None, positions or None, (stop, detail))
PyObject* decoder_scan(PyObject* self, PyObject* args) {
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
    if (store) load_numpy_api();
    auto memory = std::make_unique<BatchMemory>();
    BatchResult r = st.waiting.unlocked([&] {
      BatchResult res = st.decoder->scan(store ? memory.get() : nullptr, limits);
      memory->trim_to(res, st.decoder->description());
      return res;
    });
    take_kept_error(st, r);
    if (interrupted(r) || PyErr_CheckSignals() != 0) return nullptr;
    PyRef stop = stop_detail(r);
    if (!store) {
      return Py_BuildValue("(KOON)", (unsigned long long)r.events, Py_None, Py_None, stop.release());
    }
    Arrays a = make_arrays(*st.decoder, std::move(memory), r.events, 0, r.events + 1, nullptr);
    return Py_BuildValue("(KNNN)", (unsigned long long)r.events, a.columns.release(),
                         a.offsets.release(), stop.release());
  }));
}

PyObject* decoder_seek(PyObject* self, PyObject* arg) {
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
    if (!done.ok()) return raise_io_error(done.error(), st.filename.get());
    Py_RETURN_NONE;
  }));
}

// pick(positions, sizes) -> (columns, samples, offsets, (stop, detail)): the
// records whose first bytes and lengths the two buffers of int64 give.
PyObject* decoder_pick(PyObject* self, PyObject* args) {
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
    load_numpy_api();
    // Kept memory of about this size only: a whole read's is left to the next read.
    constexpr std::uint64_t kMost = SIZE_MAX / 8;
    std::uint64_t bytes = std::min<std::uint64_t>(extents.size(), kMost / 64) * 64;  // columns
    for (const Extent& e : extents) bytes = std::min(kMost, bytes + std::min(e.bytes, kMost));
    std::unique_ptr<BatchMemory> memory = spare_memory()->take(std::size_t(4 * bytes));
    BatchResult r = st.waiting.unlocked([&] {
      BatchResult res = st.decoder->pick(*memory, extents);
      memory->trim_to(res, st.decoder->description());  // spare memory may hold more
      return res;
    });
    take_kept_error(st, r);
    // As for decode(): no next call can take an interrupt.
    if (interrupted(r) || PyErr_CheckSignals() != 0) return nullptr;
    PyRef stop = stop_detail(r);
    Arrays a = make_arrays(*st.decoder, std::move(memory), r.events, r.samples, r.events + 1,
                           spare_memory());
    return Py_BuildValue("(NNNN)", a.columns.release(), a.samples.release(), a.offsets.release(),
                         stop.release());
  }));
}

PyObject* decoder_position(PyObject* self, void*) {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    // The position moves while another thread walks without the lock.
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    return PyLong_FromUnsignedLongLong(obj->state->decoder->position());
  }));
}

PyObject* decoder_channels(PyObject* self, void*) {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    return obj ? PyLong_FromLong(obj->state->decoder->channels()) : nullptr;
  }));
}

// A stop kind beyond Stop's: the file is now shorter than the position.
constexpr int kTruncated = int(Stop::mismatch) + 1;

PyObject* stop_iteration() {
  PyErr_SetNone(PyExc_StopIteration);
  return nullptr;
}

// The (stop, index) of a walk that ended early for a reason the caller must
// hear of; null where it ended at its limit or at the end of the records.
PyRef ended_early(DecoderState& st, const BatchResult& r, std::uint64_t index) {
  PyRef stop;
  if (r.stop == Stop::corrupt || r.stop == Stop::error) {
    stop = stop_detail(r);
  } else if (r.stop == Stop::end) {
    // A file cut below the position would otherwise seem to have ended there.
    const std::optional<std::uint64_t> length = st.decoder->file_length();
    const std::uint64_t at = st.decoder->position();
    if (!length || *length >= at) return {};
    stop = PyRef::steal(Py_BuildValue("(i(KK))", kTruncated, (unsigned long long)*length,
                                      (unsigned long long)at));
  } else {
    return {};
  }
  PyRef out = PyRef::steal(stop ? Py_BuildValue("(NK)", stop.release(), (unsigned long long)index)
                                : nullptr);
  if (!out) python_call_failed();
  return out;
}

// Raises `pending`: an exception as it is, a (stop, index) as the exception
// the package makes of it.
PyObject* raise_pending(const DecoderState& st, PyRef pending) {
  PyRef error;
  if (PyExceptionInstance_Check(pending.get())) {
    error = std::move(pending);
  } else {
    const std::size_t layout = layout_index(st.decoder->description());
    error = PyRef::steal(PyObject_CallFunction(
        package().failure.get(), "OOOO", PyTuple_GetItem(pending.get(), 0), st.filename.get(),
        types_once.ready()->layouts[layout], PyTuple_GetItem(pending.get(), 1)));
    if (!error) return nullptr;
    if (!PyExceptionInstance_Check(error.get())) {
      PyErr_SetString(PyExc_TypeError, "the failure function returned no exception");
      return nullptr;
    }
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

// A vorn_columns.Batch of events [first, first + r.events) over `memory`,
// made and filled without running Python code: object.__new__, then its
// slots set through their member descriptors.
PyRef make_batch(DecoderState& st, std::uint64_t first, std::unique_ptr<BatchMemory> memory,
                 const BatchResult& r) {
  const ModuleTypes& types = *types_once.ready();
  const Package& pkg = package();
  const BatchDecoder& d = *st.decoder;
  const std::size_t layout = layout_index(d.description());
  Arrays a = make_arrays(d, std::move(memory), r.events, r.samples, r.events + 1, st.pool);
  PyRef columns = PyRef::steal(PyDict_New());
  if (!columns) python_call_failed();
  for (int k = 0; k < d.columns(); ++k) {
    if (PyDict_SetItem(columns.get(), PyTuple_GetItem(types.fields[layout], k),
                       PyTuple_GetItem(a.columns.get(), k)) != 0) {
      python_call_failed();
    }
  }
  auto* type = reinterpret_cast<PyTypeObject*>(pkg.batch_type.get());
  auto new_fn = reinterpret_cast<newfunc>(PyType_GetSlot(type, Py_tp_new));
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  PyRef batch = PyRef::steal(no_args ? new_fn(type, no_args.get(), nullptr) : nullptr);
  if (!batch) python_call_failed();
  PyRef values[kBatchFields] = {
      PyRef::borrow(types.layouts[layout]), PyRef::steal(PyLong_FromUnsignedLongLong(first)),
      PyRef::steal(PyLong_FromLong(d.channels())), std::move(columns), std::move(a.samples),
      std::move(a.offsets)};
  for (int k = 0; k < kBatchFields; ++k) {
    if (!values[k] || PyObject_SetAttr(batch.get(), types.batch_names[k], values[k].get()) != 0) {
      python_call_failed();
    }
  }
  return batch;
}

// iterate(start, stop, max_events, max_bytes): sets up next_batch().
PyObject* decoder_iterate(PyObject* self, PyObject* args) {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    PyObject *start, *stop, *max_events, *max_bytes;
    if (!PyArg_ParseTuple(args, "OOOO:iterate", &start, &stop, &max_events, &max_bytes)) {
      return nullptr;
    }
    Iteration it;
    if (!parse_limit(start, it.to_skip) || !parse_limit(stop, it.stop) ||
        !parse_limit(max_events, it.limits.max_events) ||
        !parse_limit(max_bytes, it.limits.max_bytes)) {
      return nullptr;
    }
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    obj->state->iteration = std::move(it);
    Py_RETURN_NONE;
  }));
}

// next_batch() -> Batch, or StopIteration. The whole step, from stepping over
// records to the batch handed out, is one call that holds the decoder: the
// records consumed are counted before any Python code can run.
PyObject* decoder_next_batch(PyObject* self, PyObject*) {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    Busy busy(obj);
    if (in_use(busy)) return nullptr;
    if (!package().batch_type) {
      PyErr_SetString(PyExc_RuntimeError, "vorn_columns has not registered its Batch class");
      return nullptr;
    }
    DecoderState& st = *obj->state;
    Iteration& it = st.iteration;
    if (it.pending) return raise_pending(st, std::exchange(it.pending, PyRef()));
    load_numpy_api();
    if (it.to_skip) {
      const Limits skip{it.to_skip, UINT64_MAX};
      BatchResult r = st.waiting.unlocked([&] { return st.decoder->scan(nullptr, skip); });
      take_kept_error(st, r);
      // Counted even where the step then fails: a later call resumes here.
      it.next += r.events;
      it.to_skip -= r.events;
      if (interrupted(r)) return nullptr;
      if (PyRef failure = ended_early(st, r, it.next)) return raise_pending(st, std::move(failure));
      if (PyErr_CheckSignals() != 0) return nullptr;
      if (it.to_skip) return stop_iteration();
    }
    const std::uint64_t wanted = std::min(it.limits.max_events, it.stop - std::min(it.stop, it.next));
    if (wanted == 0) return stop_iteration();
    BatchPool& pool = pool_for(st, it.limits);
    std::unique_ptr<BatchMemory> memory = pool.take();
    const Limits limits{wanted, it.limits.max_bytes};
    BatchResult r = st.waiting.unlocked([&] { return st.decoder->decode(*memory, limits); });
    take_kept_error(st, r);
    const std::uint64_t first = it.next;
    it.next += r.events;
    PyRef failure = interrupted(r) ? fetch_exception() : ended_early(st, r, it.next);
    if (r.events == 0) {
      pool.give(std::move(memory));
      if (failure) return raise_pending(st, std::move(failure));
      return PyErr_CheckSignals() != 0 ? nullptr : stop_iteration();
    }
    PyRef batch = make_batch(st, first, std::move(memory), r);
    it.pending = std::move(failure);
    // Handlers of signals that came during the walk run once the batch
    // exists; an exception they raise waits for the next call, in place of
    // a failure there (which the decoder, standing at it, meets again).
    if (PyErr_CheckSignals() != 0) it.pending = fetch_exception();
    return batch.release();
  }));
}

// register(batch_type, failure): what next_batch() makes and raises.
PyObject* module_register(PyObject*, PyObject* args) {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject *batch_type, *failure;
    if (!PyArg_ParseTuple(args, "O!O:register", &PyType_Type, &batch_type, &failure)) {
      return nullptr;
    }
    if (!PyCallable_Check(failure)) {
      PyErr_SetString(PyExc_TypeError, "failure must be callable");
      return nullptr;
    }
    Package& pkg = package();
    pkg.batch_type = PyRef::borrow(batch_type);
    pkg.failure = PyRef::borrow(failure);
    Py_RETURN_NONE;
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
    {"iterate", reinterpret_cast<PyCFunction>(decoder_iterate), METH_VARARGS,
     "iterate(start, stop, max_events, max_bytes): sets up next_batch()"},
    {"next_batch", reinterpret_cast<PyCFunction>(decoder_next_batch), METH_NOARGS,
     "next_batch() -> Batch; StopIteration at the end"},
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
    {Py_tp_doc, const_cast<char*>("Decoder(input, layout, filename, channels=-1): one open event "
                                  "file, by path or file object")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decoder_clear)},
    {Py_tp_methods, decoder_methods},
    {Py_tp_getset, decoder_getset},
    {0, nullptr},
};
PyType_Spec decoder_spec = {"vorn_columns._native.Decoder", sizeof(DecoderObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, decoder_slots};

bool make_types(ModuleTypes& out) {
  static constexpr const char* kBatchNames[kBatchFields] = {"layout",  "first",   "channels",
                                                            "columns", "samples", "offsets"};
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
  for (int k = 0; k < kBatchFields; ++k) {
    if (!(out.batch_names[k] = PyUnicode_InternFromString(kBatchNames[k]))) return false;
  }
  decoder_spec.flags |= immutable_type_flag();
  out.decoder = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decoder_spec));
  if (!out.decoder) return false;
  out.memory = column_memory_type();
  return out.memory != nullptr;
}

// {name: description} of every layout: its fields with their typestrs in
// key order, the samples' typestr, header sizes and its roles. The package's
// names, dtypes and per-layout rules come from here.
PyRef layout_description(const LayoutDesc& layout, PyObject* field_names) {
  PyRef fields = PyRef::steal(PyTuple_New(Py_ssize_t(layout.fields.size())));
  if (!fields) python_call_failed();
  PyObject* channel_field = Py_None;
  for (std::size_t f = 0; f < layout.fields.size(); ++f) {
    PyObject* name = PyTuple_GetItem(field_names, Py_ssize_t(f));
    PyObject* pair = Py_BuildValue("(Os)", name, numpy_typestr(layout.fields[f].type));
    if (!pair) python_call_failed();
    PyTuple_SetItem(fields.get(), Py_ssize_t(f), pair);
    if (layout.fields[f].channel_word) channel_field = name;
  }
  const LayoutRoles& roles = layout.roles;
  PyRef constant = PyRef::steal(PyTuple_New(Py_ssize_t(roles.constant.size())));
  if (!constant) python_call_failed();
  for (std::size_t k = 0; k < roles.constant.size(); ++k) {
    PyObject* name = PyUnicode_InternFromString(roles.constant[k]);
    if (!name) python_call_failed();
    PyTuple_SetItem(constant.get(), Py_ssize_t(k), name);
  }
  const char* rule = roles.block_rule == BlockRule::record_size ? "record_size" : "sample_count";
  PyRef out = PyRef::steal(Py_BuildValue(
      "{sOsssnsnsssssssLsOsOss}", "fields", fields.get(), "samples",
      numpy_typestr(layout.sample_type), "header", Py_ssize_t(layout.header_size),
      "channel_header", Py_ssize_t(layout.word_header_size), "counter", roles.counter,
      "block_field", roles.block_field, "block_rule", rule, "plausible_from",
      (long long)roles.plausible_from, "constant", constant.get(), "channel_field", channel_field,
      "refusal", roles.refusal));
  if (!out) python_call_failed();
  return out;
}

PyRef layouts_dict(const ModuleTypes& types) {
  PyRef out = PyRef::steal(PyDict_New());
  if (!out) python_call_failed();
  for (std::size_t k = 0; k < kLayouts; ++k) {
    PyRef entry = layout_description(*Layouts::kDescs[k], types.fields[k]);
    if (PyDict_SetItem(out.get(), types.layouts[k], entry.get()) != 0) python_call_failed();
  }
  return out;
}

// release_memory() -> bytes that the memory kept from dropped reads, and the
// scratch memory of reads in parts, held.
PyObject* module_release_memory(PyObject*, PyObject*) noexcept {
  return PyLong_FromSize_t(spare_memory()->release() + release_stages());
}

// _read_threads() -> the threads a read started now would run on: fewer
// while other reads hold the CPUs. For the tests.
PyObject* module_read_threads(PyObject*, PyObject*) noexcept {
  const CpuShare share(kMaxThreads);
  return PyLong_FromUnsignedLong(share.threads());
}

PyMethodDef module_methods[] = {
    {"register", reinterpret_cast<PyCFunction>(module_register), METH_VARARGS,
     "register(batch_type, failure): the package's Batch class, and (stop, filename, layout, "
     "index) -> the exception ending an iteration"},
    {"release_memory", reinterpret_cast<PyCFunction>(module_release_memory), METH_NOARGS,
     "release_memory() -> int: frees the memory kept from dropped reads; the bytes it held"},
    {"_read_threads", reinterpret_cast<PyCFunction>(module_read_threads), METH_NOARGS,
     "_read_threads() -> int: the threads a read started now would run on"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "vorn_columns._native",
                          "The batch decoder behind vorn_columns.", 0, module_methods, nullptr,
                          nullptr, nullptr, nullptr};

PyObject* make_module() {
  ModuleTypes* types = types_once.get(make_types);
  if (!types) return nullptr;
  PyRef m = PyRef::steal(PyModule_Create2(&module_def, 1013));
  if (!m || !add_arrow_export(m.get())) return nullptr;
  // Why a walk stopped, by name: the package tells the stops apart by these.
  static constexpr std::pair<const char*, int> kStops[] = {
      {"STOP_LIMIT", int(Stop::limit)},       {"STOP_END", int(Stop::end)},
      {"STOP_CORRUPT", int(Stop::corrupt)},   {"STOP_ERROR", int(Stop::error)},
      {"STOP_MISMATCH", int(Stop::mismatch)}, {"STOP_TRUNCATED", kTruncated}};
  for (const auto& [name, value] : kStops) {
    if (PyModule_AddIntConstant(m.get(), name, value) != 0) return nullptr;
  }
  if (PyObject_SetAttrString(m.get(), "LAYOUTS", layouts_dict(*types).get()) != 0 ||
      PyModule_AddStringConstant(m.get(), "OFFSET_TYPE", kOffsetType.typestr) != 0 ||
      PyObject_SetAttrString(m.get(), "Decoder", reinterpret_cast<PyObject*>(types->decoder)) != 0 ||
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
