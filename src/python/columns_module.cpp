// vorn_columns._native: the batch decoder as a Python type and the iteration
// over it, read from Python or as an Arrow stream; the module also holds the
// native batch (native_batch), the columns' memory owner (column_memory) and
// the Arrow export.
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

#include "any_thread.hpp"
#include "arrow_export.hpp"
#include "batch_decoder.hpp"
#include "column_memory.hpp"
#include "feature_args.hpp"
#include "file_object_source.hpp"
#include "native_batch.hpp"
#include "numpy_api.hpp"
#include "py_support.hpp"
#include "reduce.hpp"
#include "threads.hpp"

namespace vorn {
namespace {

// What the batches of a read hold besides their header columns: samples,
// features, or both.
struct Yield {
  std::optional<Reduction> reduction;
  bool samples = true;
  FeatureSet features() const noexcept { return reduction ? reduction->features() : FeatureSet{}; }
  std::uint64_t per_event() const noexcept { return reduction ? reduction->per_event() : 1; }
};

// An iteration over a decoder (a BatchIterator), kept here so that the call
// that consumes records also counts them: no Python code runs in between.
struct Iteration {
  std::uint64_t next = 0;     // events handed out or stepped over: the next batch's first
  std::uint64_t to_skip = 0;  // records still to step over (start=)
  std::uint64_t stop = UINT64_MAX;
  Limits limits;
  Yield yield;
  // What the next step raises: the failure a walk met after the events it
  // handed out, or an exception a signal handler or a file object raised.
  Outcome failure;
  PyRef raised;
};

// What a BatchIterator step says of the events before a record it cannot read.
constexpr const char* kIterationHow = "iteration stops before it";

struct DecoderState {
  UnlockedWaiting waiting;  // outlives the decoder's file, which refers to it
  KeptError kept;           // what a file object raised, until the boundary raises it
  std::optional<BatchDecoder> decoder;
  std::shared_ptr<BatchPool> pool;
  PyRef filename;  // as the caller gave it, for errors
  Iteration iteration;
  // A file object is read with the interpreter; a path needs none.
  bool needs_python() const noexcept { return decoder->fd() < 0; }
};

struct DecoderObject {
  PyObject_HEAD
  DecoderState* state;  // null until construction succeeds
  std::atomic<bool> busy;
};

struct ModuleTypes {
  PyTypeObject* decoder;
  PyTypeObject* memory;
  PyTypeObject* batch;
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
constexpr const char* kInUse = "this reader is in use by another thread";

DecoderObject* as_decoder(PyObject* self) {
  ModuleTypes* types = types_once.ready();
  if (!types || !PyObject_TypeCheck(self, types->decoder) ||
      !reinterpret_cast<DecoderObject*>(self)->state) {
    PyErr_SetString(PyExc_TypeError, "expected a Decoder");
    return nullptr;
  }
  return reinterpret_cast<DecoderObject*>(self);
}

// An entry point of the decoder: runs `body(state)` holding the decoder, so
// that a second thread meets RuntimeError; body answers as an entry does.
template <class Body>
PyObject* with_decoder(PyObject* self, Body&& body) {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    Busy busy(obj);
    if (!busy.held()) return raise_message(PyExc_RuntimeError, kInUse);
    return body(*obj->state);
  }));
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
  if (st && st->iteration.raised) {
    if (int r = visit(st->iteration.raised.get(), arg)) return r;
  }
  return visit(reinterpret_cast<PyObject*>(Py_TYPE(self)), arg);
}

int decoder_clear(PyObject* self) noexcept {
  if (DecoderState* st = reinterpret_cast<DecoderObject*>(self)->state) {
    PyRef gone = std::move(st->iteration.raised);
  }
  return 0;
}

void decoder_dealloc(PyObject* self) noexcept {
  PyObject_GC_UnTrack(self);
  auto* obj = reinterpret_cast<DecoderObject*>(self);
  delete obj->state;  // closes the file; batches keep their memory
  free_instance(self);
}

// Runs `walk()` with the lock released, then folds in what a file object
// raised and the signals that came meanwhile: a walk they stopped or
// followed ends as interrupted, its exception set.
template <class Walk>
BatchResult walk_unlocked(DecoderState& st, Walk&& walk) {
  BatchResult r = st.waiting.unlocked(walk);
  const bool raised = r.stop == Stop::error && r.error.kind == IoError::Kind::interrupted;
  if (st.kept.restore() || (!raised && PyErr_CheckSignals() != 0)) {
    r.stop = Stop::error;
    r.error = IoError::interrupted();
  }
  return r;
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

// The NativeBatch of a walk from event `first` into `memory` (null: nothing
// kept), whose failure concerns event `index`. A walk that an exception
// stopped answers with it, and its memory goes: a read loses nothing by
// being made again.
PyObject* answer(DecoderState& st, std::unique_ptr<BatchMemory> memory, const BatchResult& r,
                 std::uint64_t first, std::uint64_t index, const Yield& y,
                 std::shared_ptr<MemoryHome> home) {
  const Outcome outcome = outcome_of(r, index);
  if (outcome.kind == Outcome::Kind::raised) return nullptr;
  BatchData d{memory ? share(std::move(memory), std::move(home)) : nullptr,
              &st.decoder->description(), st.decoder->channels(), first, r.events, r.samples,
              y.samples, y.features(), y.per_event()};
  return make_native_batch(std::move(d), outcome, st.filename.get()).release();
}

// The Yield of a call's `features` (None, or Features._params()) and `samples`.
bool parse_yield(const DecoderState& st, PyObject* features, int samples, Yield& out) {
  out.samples = samples != 0 || features == Py_None;
  if (features == Py_None) return true;
  std::optional<FeatureSpec> spec = parse_features(features);
  if (!spec) return false;
  out.reduction.emplace(*spec, st.decoder->description(), st.decoder->channels());
  return true;
}

// The features of the `r.events` records kept in `m` with their samples;
// false where memory is short (the records are read, their batch lost).
bool reduce_kept(BatchMemory& m, const BatchResult& r, const Reduction& reduction) {
  if (!reduction.make_room(m, r.events)) return false;
  reduction.reduce_all(m.samples.data(), reinterpret_cast<const std::int64_t*>(m.offsets.data()),
                       r.events, reduction.columns(m));
  return true;
}

// One batch of records from the decoder's position into `memory`, holding
// what `y` says; without the interpreter. `whole` false: the records were
// read but their features could not be kept (no memory).
BatchResult decode_yield(DecoderState& st, BatchMemory& memory, Limits limits, const Yield& y,
                         bool& whole) {
  whole = true;
  if (!y.reduction) return st.decoder->decode(memory, limits);
  if (!y.samples) {
    const StageFill fill = [&](BatchMemory& stage, Limits part) { return st.decoder->decode(stage, part); };
    std::uint64_t records = UINT64_MAX;  // at most, by the input's length
    if (const std::optional<std::uint64_t> length = st.decoder->file_length()) {
      records = (*length - std::min(*length, st.decoder->position())) / st.decoder->header_size() + 1;
    }
    return reduce_walk(fill, *y.reduction, memory, limits, records);
  }
  BatchResult r = st.decoder->decode(memory, limits);
  whole = reduce_kept(memory, r, *y.reduction);
  return r;
}

// decode(first, max_events, max_bytes, features=None, samples=True) ->
// NativeBatch of events from `first`
PyObject* decoder_decode(PyObject* self, PyObject* args) {
  return with_decoder(self, [&](DecoderState& st) -> PyObject* {
    PyObject *first_obj, *max_events_obj, *max_bytes_obj, *features = Py_None;
    int samples = 1;
    std::uint64_t first;
    Limits limits;
    Yield y;
    if (!PyArg_ParseTuple(args, "OOO|Op:decode", &first_obj, &max_events_obj, &max_bytes_obj,
                          &features, &samples) ||
        !parse_limit(first_obj, first) || !parse_limit(max_events_obj, limits.max_events) ||
        !parse_limit(max_bytes_obj, limits.max_bytes) || !parse_yield(st, features, samples, y)) {
      return nullptr;
    }
    load_numpy_api();
    std::unique_ptr<BatchMemory> memory = spare_memory()->take();
    bool whole = true;
    const BatchResult r = walk_unlocked(st, [&] {
      BatchResult res = decode_yield(st, *memory, limits, y, whole);
      // Keeps what it used.
      memory->trim_to(res, st.decoder->description(), y.features(), res.events * y.per_event());
      return res;
    });
    if (!whole) return PyErr_NoMemory();
    return answer(st, std::move(memory), r, first, first + r.events, y, spare_memory());
  });
}

// scan(first, max_events, store) -> NativeBatch of the headers and positions
// of records from `first`, or (store false) of their count alone
PyObject* decoder_scan(PyObject* self, PyObject* args) {
  return with_decoder(self, [&](DecoderState& st) -> PyObject* {
    PyObject *first_obj, *max_events_obj;
    std::uint64_t first;
    int store;
    Limits limits;
    if (!PyArg_ParseTuple(args, "OOp:scan", &first_obj, &max_events_obj, &store) ||
        !parse_limit(first_obj, first) || !parse_limit(max_events_obj, limits.max_events)) {
      return nullptr;
    }
    if (store) load_numpy_api();
    auto memory = store ? std::make_unique<BatchMemory>() : nullptr;
    const BatchResult r = walk_unlocked(st, [&] {
      BatchResult res = st.decoder->scan(memory.get(), limits);
      if (memory) memory->trim_to(res, st.decoder->description());
      return res;
    });
    Yield headers;
    headers.samples = false;
    return answer(st, std::move(memory), r, first, first + r.events, headers, nullptr);
  });
}

PyObject* decoder_seek(PyObject* self, PyObject* arg) {
  return with_decoder(self, [&](DecoderState& st) -> PyObject* {
    const std::uint64_t to = PyLong_AsUnsignedLongLong(arg);
    if (to == std::uint64_t(-1) && PyErr_Occurred()) return nullptr;
    const Status done = st.waiting.unlocked([&] { return st.decoder->seek(to); });
    if (st.kept.restore()) return nullptr;
    if (!done.ok()) return raise_io_error(done.error(), st.filename.get());
    Py_RETURN_NONE;
  });
}

// The extents of pick(): positions and sizes as two buffers of native int64.
bool parse_extents(PyObject* positions_obj, PyObject* sizes_obj, std::vector<Extent>& out) {
  char *positions, *sizes;
  Py_ssize_t positions_len, sizes_len;
  if (PyBytes_AsStringAndSize(positions_obj, &positions, &positions_len) != 0 ||
      PyBytes_AsStringAndSize(sizes_obj, &sizes, &sizes_len) != 0) {
    return false;
  }
  if (positions_len != sizes_len || positions_len % 8 != 0) {
    PyErr_SetString(PyExc_ValueError, "pick needs as many positions as sizes, 8 bytes each");
    return false;
  }
  out.resize(std::size_t(positions_len / 8));
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::memcpy(&out[i].position, positions + 8 * i, 8);
    std::memcpy(&out[i].bytes, sizes + 8 * i, 8);
  }
  return true;
}

// The records at `extents` as a batch holding what `y` says: with features
// alone, picked a stage's worth of extents at a time and reduced.
BatchResult pick_yield(DecoderState& st, BatchMemory& memory, std::span<const Extent> extents,
                       const Yield& y, bool& whole) {
  whole = true;
  if (!y.reduction) return st.decoder->pick(memory, extents);
  if (!y.samples) {
    std::size_t next = 0;
    const StageFill fill = [&](BatchMemory& stage, Limits part) {
      BatchResult r;  // Stop::end with none left
      std::size_t end = next;
      std::uint64_t bytes = 0;  // at most part.max_bytes
      while (end < extents.size() && end - next < part.max_events) {
        const std::uint64_t b = extents[end].bytes;
        if (end > next && b > part.max_bytes - bytes) break;
        bytes = b > part.max_bytes - bytes ? part.max_bytes : bytes + b;
        ++end;
      }
      if (end == next) return r;
      r = st.decoder->pick(stage, extents.subspan(next, end - next));
      next += std::size_t(r.events);
      // A part ends at its last extent; the batch, at the last of all.
      if (r.stop == Stop::limit && next == extents.size()) r.stop = Stop::end;
      return r;
    };
    return reduce_walk(fill, *y.reduction, memory, Limits{}, extents.size());
  }
  BatchResult r = st.decoder->pick(memory, extents);
  whole = reduce_kept(memory, r, *y.reduction);
  return r;
}

// pick(positions, sizes, features=None, samples=True) -> NativeBatch of the
// records whose first bytes and lengths the two buffers of int64 give; a
// failure concerns event 0
PyObject* decoder_pick(PyObject* self, PyObject* args) {
  return with_decoder(self, [&](DecoderState& st) -> PyObject* {
    PyObject *positions, *sizes, *features = Py_None;
    int samples = 1;
    std::vector<Extent> extents;
    Yield y;
    if (!PyArg_ParseTuple(args, "SS|Op:pick", &positions, &sizes, &features, &samples) ||
        !parse_extents(positions, sizes, extents) || !parse_yield(st, features, samples, y)) {
      return nullptr;
    }
    load_numpy_api();
    // Kept memory of about this size only: a whole read's is left to the next read.
    constexpr std::uint64_t kMost = SIZE_MAX / 8;
    std::uint64_t bytes = std::min<std::uint64_t>(extents.size(), kMost / 64) * 64;  // columns
    for (const Extent& e : extents) bytes = std::min(kMost, bytes + std::min(e.bytes, kMost));
    std::unique_ptr<BatchMemory> memory = spare_memory()->take(std::size_t(4 * bytes));
    bool whole = true;
    const BatchResult r = walk_unlocked(st, [&] {
      BatchResult res = pick_yield(st, *memory, extents, y, whole);
      // Spare memory may hold more.
      memory->trim_to(res, st.decoder->description(), y.features(), res.events * y.per_event());
      return res;
    });
    if (!whole) return PyErr_NoMemory();
    return answer(st, std::move(memory), r, 0, 0, y, spare_memory());
  });
}

PyObject* decoder_position(PyObject* self, void*) {
  // The position moves while another thread walks without the lock.
  return with_decoder(self, [&](DecoderState& st) {
    return PyLong_FromUnsignedLongLong(st.decoder->position());
  });
}

PyObject* decoder_channels(PyObject* self, void*) {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    return obj ? PyLong_FromLong(obj->state->decoder->channels()) : nullptr;
  }));
}

// iterate(start, stop, max_events, max_bytes, features=None, samples=True, at=0):
// sets up next_batch(); the decoder stands at event `at` (no later than `start`), as an
// index's seek leaves it.
PyObject* decoder_iterate(PyObject* self, PyObject* args) {
  return with_decoder(self, [&](DecoderState& st) -> PyObject* {
    PyObject *start, *stop, *max_events, *max_bytes, *features = Py_None, *at = nullptr;
    int samples = 1;
    Iteration it;
    if (!PyArg_ParseTuple(args, "OOOO|OpO:iterate", &start, &stop, &max_events, &max_bytes,
                          &features, &samples, &at) ||
        !parse_limit(start, it.to_skip) || !parse_limit(stop, it.stop) ||
        !parse_limit(max_events, it.limits.max_events) ||
        !parse_limit(max_bytes, it.limits.max_bytes) || !parse_yield(st, features, samples, it.yield) ||
        (at && !parse_limit(at, it.next))) {
      return nullptr;
    }
    it.to_skip -= std::min(it.to_skip, it.next);
    st.iteration = std::move(it);
    Py_RETURN_NONE;
  });
}

// The outcome of a walk of the iteration that stopped with `r` at event
// `index`: as outcome_of, and where the records ended, a file cut below the
// position, which would otherwise seem to have ended there.
Outcome ended_early(DecoderState& st, const BatchResult& r, std::uint64_t index) {
  Outcome out = outcome_of(r, index);
  if (out || r.stop != Stop::end) return out;
  const std::optional<std::uint64_t> length = st.decoder->file_length();
  const std::uint64_t at = st.decoder->position();
  if (length && *length < at) {
    out.kind = Outcome::Kind::truncated;
    out.length = *length;
    out.offset = at;
  }
  return out;
}

// One step of an iteration: the records before its start stepped over, then
// the next batch decoded into the pool's memory. `walk` runs each walk: with
// the lock released (walk_unlocked), or on a thread without the interpreter.
struct Step {
  SharedMemory memory;  // null: no batch
  BatchResult r;
  std::uint64_t first = 0;
  Outcome failure;  // what the step met, after its batch if it has one
};
template <class Walk>
Step iteration_step(DecoderState& st, Walk&& walk) {
  Iteration& it = st.iteration;
  Step s;
  if (it.to_skip) {
    const Limits skip{it.to_skip, UINT64_MAX};
    const BatchResult r = walk([&] { return st.decoder->scan(nullptr, skip); });
    // Counted even where the step then fails: a later call resumes here.
    it.next += r.events;
    it.to_skip -= r.events;
    s.failure = ended_early(st, r, it.next);
    if (s.failure || it.to_skip) return s;
  }
  const std::uint64_t wanted = std::min(it.limits.max_events, it.stop - std::min(it.stop, it.next));
  if (wanted == 0) return s;
  BatchPool& pool = pool_for(st, it.limits);
  std::unique_ptr<BatchMemory> memory = pool.take();
  const Limits limits{wanted, it.limits.max_bytes};
  bool whole = true;
  s.r = walk([&] { return decode_yield(st, *memory, limits, it.yield, whole); });
  s.first = it.next;
  it.next += s.r.events;
  s.failure = ended_early(st, s.r, it.next);
  if (!whole) {  // the records are counted, and the failure says they are lost
    s.failure = Outcome{Outcome::Kind::error, s.first, 0, 0, ENOMEM};
    s.r.events = 0;
  }
  if (s.r.events == 0) {
    pool.give(std::move(memory));
  } else {
    s.memory = share(std::move(memory), st.pool);
  }
  return s;
}

BatchData data_of(const DecoderState& st, Step& s) {
  const Yield& y = st.iteration.yield;
  return {std::move(s.memory), &st.decoder->description(), st.decoder->channels(), s.first,
          s.r.events, s.r.samples, y.samples, y.features(), y.per_event()};
}

// The iteration's next step, with the lock: true with its batch in `s`; else
// false with the exception it (or an earlier step, after its batch) met set,
// or with none at the end. A failure met after a batch waits for the next step.
bool step_locked(DecoderState& st, Step& s) {
  Iteration& it = st.iteration;
  if (it.raised) {
    restore_exception(std::move(it.raised));
    return false;
  }
  if (it.failure) {
    raise_outcome(std::exchange(it.failure, Outcome{}), st.filename.get(),
                  st.decoder->description(), kIterationHow);
    return false;
  }
  s = iteration_step(st, [&](auto&& walk) { return walk_unlocked(st, walk); });
  if (!s.memory) {
    if (s.failure) raise_outcome(s.failure, st.filename.get(), st.decoder->description(), kIterationHow);
    return false;
  }
  if (s.failure.kind == Outcome::Kind::raised) {
    it.raised = take_exception();
  } else {
    it.failure = s.failure;
  }
  return true;
}

PyObject* stop_iteration() {
  PyErr_SetNone(PyExc_StopIteration);
  return nullptr;
}

// next_batch() -> Batch, or StopIteration. The whole step, from stepping over
// records to the batch handed out, is one call that holds the decoder: the
// records consumed are counted before any Python code can run.
PyObject* decoder_next_batch(PyObject* self, PyObject*) {
  return with_decoder(self, [&](DecoderState& st) -> PyObject* {
    load_numpy_api();
    Step s;
    if (!step_locked(st, s)) return PyErr_Occurred() ? nullptr : stop_iteration();
    PyRef native = make_native_batch(data_of(st, s), Outcome{}, st.filename.get());
    return make_batch(native.get(), nullptr).release();
  });
}

// The batches of a decoder's iteration as an Arrow stream, read on any
// thread, which steps the iteration as next_batch() does. A path is read
// there without the interpreter; a file object, an error to describe or an
// exception to raise takes it (run_with_python). No thread is started per batch.
class DecoderBatches final : public BatchSource {
 public:
  explicit DecoderBatches(PyObject* decoder) : decoder_(PyRef::borrow(decoder)) {}

  int next(ArrowArray& out, std::string& error) override {
    auto* obj = reinterpret_cast<DecoderObject*>(decoder_.get());
    Busy busy(obj);
    if (!busy.held()) {
      error = std::string("RuntimeError: ") + kInUse;
      return EBUSY;
    }
    DecoderState& st = *obj->state;
    Iteration& it = st.iteration;
    if (!st.needs_python() && !it.failure && !it.raised) {
      Step s = iteration_step(st, [&](auto&& walk) { return st.waiting.detached(walk); });
      if (s.memory || !s.failure) {
        it.failure = s.failure;
        out = ArrowArray{};  // the end, where there is no batch
        if (s.memory) export_data(data_of(st, s), out);
        return 0;
      }
      it.failure = s.failure;  // raised below, with the interpreter
    }
    Call call{st, out, error};
    if (run_with_python(next_locked, &call)) return call.code;
    error = "the Python interpreter is shutting down, or no thread could run it";
    return EINVAL;
  }

  void give_up(References& refs) noexcept override { refs.add(decoder_.release()); }

 private:
  struct Call {
    DecoderState& st;
    ArrowArray& out;
    std::string& error;
    int code = EIO;
  };
  // With the lock. The interpreter may end the thread here, so no reference
  // is held across a call that takes the lock back.
  static void next_locked(void* p) {
    auto& call = *static_cast<Call*>(p);
    Step s;
    if (step_locked(call.st, s)) {
      export_data(data_of(call.st, s), call.out);
      call.code = 0;
    } else if (!PyErr_Occurred()) {
      call.out = ArrowArray{};
      call.code = 0;
    } else {
      call.error = describe_pending_error();
    }
  }

  PyRef decoder_;  // a Decoder; dropped by drop_references when the stream goes
};

// stream() -> "arrow_array_stream" capsule of the iteration's batches
PyObject* decoder_stream(PyObject* self, PyObject*) {
  return with_exception(guarded([&]() -> PyObject* {
    DecoderObject* obj = as_decoder(self);
    if (!obj) return nullptr;
    const BatchDecoder& d = *obj->state->decoder;
    const Yield& y = obj->state->iteration.yield;
    return stream_capsule(d.description(), d.channels(), ArrowShape{y.features(), y.samples},
                          std::make_unique<DecoderBatches>(self));
  }));
}

// register(batch_type, corrupt_error, stale_error, other_layout): the
// package's classes, and its function that finds a file's other layout.
PyObject* module_register(PyObject*, PyObject* args) {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject *batch_type, *corrupt, *stale, *other_layout;
    if (!PyArg_ParseTuple(args, "O!O!O!O:register", &PyType_Type, &batch_type, &PyType_Type,
                          &corrupt, &PyType_Type, &stale, &other_layout)) {
      return nullptr;
    }
    if (!PyCallable_Check(other_layout)) {
      PyErr_SetString(PyExc_TypeError, "other_layout must be callable");
      return nullptr;
    }
    Package& pkg = package();
    pkg.batch_type = PyRef::borrow(batch_type);
    pkg.corrupt = PyRef::borrow(corrupt);
    pkg.stale = PyRef::borrow(stale);
    pkg.other_layout = PyRef::borrow(other_layout);
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
     "decode(first, max_events, max_bytes) -> NativeBatch of the events from `first`"},
    {"scan", reinterpret_cast<PyCFunction>(decoder_scan), METH_VARARGS,
     "scan(first, max_events, store) -> NativeBatch of headers and positions, or a count"},
    {"seek", reinterpret_cast<PyCFunction>(decoder_seek), METH_O, "seek(position)"},
    {"iterate", reinterpret_cast<PyCFunction>(decoder_iterate), METH_VARARGS,
     "iterate(start, stop, max_events, max_bytes, features=None, samples=True, at=0): sets up "
     "next_batch() and stream()"},
    {"next_batch", reinterpret_cast<PyCFunction>(decoder_next_batch), METH_NOARGS,
     "next_batch() -> Batch; StopIteration at the end"},
    {"stream", reinterpret_cast<PyCFunction>(decoder_stream), METH_NOARGS,
     "stream() -> 'arrow_array_stream' capsule; each read takes the iteration's next batch"},
    {"pick", reinterpret_cast<PyCFunction>(decoder_pick), METH_VARARGS,
     "pick(positions, sizes) -> NativeBatch of the records there"},
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
  decoder_spec.flags |= immutable_type_flag();
  out.decoder = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&decoder_spec));
  out.memory = out.decoder ? column_memory_type() : nullptr;
  out.batch = out.memory ? native_batch_type() : nullptr;
  return out.batch != nullptr;
}

// {name: description} of every layout: its fields with their typestrs in
// key order, the samples' typestr, header sizes and its roles. The package's
// names, dtypes and per-layout rules come from here.
PyRef layout_description(const LayoutDesc& layout) {
  PyRef fields = PyRef::steal(PyTuple_New(Py_ssize_t(layout.fields.size())));
  if (!fields) python_call_failed();
  const char* channel_field = nullptr;
  for (std::size_t f = 0; f < layout.fields.size(); ++f) {
    PyObject* pair = Py_BuildValue("(ss)", layout.fields[f].name, numpy_typestr(layout.fields[f].type));
    if (!pair) python_call_failed();
    PyTuple_SetItem(fields.get(), Py_ssize_t(f), pair);
    if (layout.fields[f].channel_word) channel_field = layout.fields[f].name;
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
      "{sOsssnsnsssssssLsOszss}", "fields", fields.get(), "samples",
      numpy_typestr(layout.sample_type), "header", Py_ssize_t(layout.header_size),
      "channel_header", Py_ssize_t(layout.word_header_size), "counter", roles.counter,
      "block_field", roles.block_field, "block_rule", rule, "plausible_from",
      (long long)roles.plausible_from, "constant", constant.get(), "channel_field", channel_field,
      "refusal", roles.refusal));
  if (!out) python_call_failed();
  return out;
}

PyRef layouts_dict() {
  PyRef out = PyRef::steal(PyDict_New());
  if (!out) python_call_failed();
  for (const LayoutDesc* layout : Layouts::kDescs) {
    PyRef entry = layout_description(*layout);
    if (PyDict_SetItemString(out.get(), layout->name, entry.get()) != 0) python_call_failed();
  }
  return out;
}

// release_memory() -> bytes that the memory kept from dropped reads, and the
// scratch memory of reads in parts, held.
PyObject* module_release_memory(PyObject*, PyObject*) noexcept {
  return PyLong_FromSize_t(spare_memory()->release() + release_stages() + ReductionStages::release());
}

// _read_threads() -> the threads a read started now would run on: fewer
// while other reads hold the CPUs. For the tests.
PyObject* module_read_threads(PyObject*, PyObject*) noexcept {
  const CpuShare share(kMaxThreads);
  return PyLong_FromUnsignedLong(share.threads());
}

PyMethodDef module_methods[] = {
    {"register", reinterpret_cast<PyCFunction>(module_register), METH_VARARGS,
     "register(batch_type, corrupt_error, stale_error, other_layout): the package's classes, "
     "and (filename, layout) -> the other layout the file reads as, or None"},
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
  if (!m || !add_arrow_export(m.get()) || !add_features(m.get())) return nullptr;
  if (PyObject_SetAttrString(m.get(), "LAYOUTS", layouts_dict().get()) != 0 ||
      PyModule_AddStringConstant(m.get(), "OFFSET_TYPE", kOffsetType.typestr) != 0 ||
      PyObject_SetAttrString(m.get(), "Decoder", reinterpret_cast<PyObject*>(types->decoder)) != 0 ||
      PyObject_SetAttrString(m.get(), "ColumnMemory", reinterpret_cast<PyObject*>(types->memory)) != 0 ||
      PyObject_SetAttrString(m.get(), "NativeBatch", reinterpret_cast<PyObject*>(types->batch)) != 0) {
    return nullptr;
  }
  return m.release();
}

}  // namespace
}  // namespace vorn

PyMODINIT_FUNC PyInit__native(void) {
  return vorn::with_exception(vorn::guarded([] { return vorn::make_module(); }));
}
