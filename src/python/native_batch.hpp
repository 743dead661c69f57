// The batch a decoder made, as one native object (vorn_columns._native.NativeBatch):
// its memory, its layout, where it starts, its counts, how the walk that made
// it ended, and the NumPy arrays made over it once. A vorn_columns.Batch holds
// it; NumPy arrays and Arrow arrays are both made from it, side by side.
#pragma once

#include <cstdint>

#include "column_memory.hpp"

namespace vorn {

// How a walk ended, for its caller: cleanly, or with a failure at event
// `index` that the package's exceptions name (raise_outcome).
struct Outcome {
  enum class Kind : std::uint8_t { ok, corrupt, error, mismatch, truncated, raised };
  Kind kind = Kind::ok;
  std::uint64_t index = 0;   // the event it concerns
  std::uint64_t offset = 0;  // corrupt, mismatch: the record's byte offset; truncated: the position
  std::uint64_t length = 0;  // truncated: the file's length now
  int code = 0;              // error: the errno
  // raised: a Python exception (a file object's, a signal handler's) is set.
  explicit operator bool() const noexcept { return kind != Kind::ok; }
};

// The outcome of a walk that stopped with `r`, counting from event `index`:
// ok where it ended at its limit or at the end of the records.
Outcome outcome_of(const BatchResult& r, std::uint64_t index) noexcept;

// What a batch holds, without the interpreter: enough to make its NumPy
// arrays, or its Arrow arrays on any thread. Its header columns are the
// layout's fields, in the regions of `memory`; `with_samples` false: a batch
// of headers alone, whose offsets region holds record positions (a scan's).
struct BatchData {
  SharedMemory memory;  // null: nothing kept (a scan that stepped over records)
  const LayoutDesc* layout = nullptr;
  std::int32_t channels = 0;
  std::uint64_t first = 0;
  std::uint64_t events = 0;
  std::uint64_t samples = 0;
  bool with_samples = true;
  // Pulse features in memory->features, `per_event` rows an event (a WD2
  // file's channels). A batch with features and without samples holds
  // neither samples nor offsets (nor positions).
  FeatureSet features;
  std::uint64_t per_event = 1;
  bool headers_alone() const noexcept { return !with_samples && features.empty(); }
};

// The package's classes, registered once at import: the Batch that
// next_batch() makes, and what raise_outcome() raises.
struct Package {
  PyRef batch_type;
  PyRef corrupt;       // CorruptRecordError(message, index=, offset=, filename=)
  PyRef stale;         // StaleIndexError(message, filename=, reason=)
  PyRef other_layout;  // (filename, layout) -> the layout the file reads as, or None
};
// Made once and never destroyed, so that no reference is dropped after the
// interpreter is gone.
Package& package();

// Raises the exception of `outcome` (not ok) for the file `filename` read
// as `layout`: CorruptRecordError, StaleIndexError, MemoryError or OSError
// with errno and filename. `how` says what the caller does about the events
// before a corrupt record ("{index}" stands for its number); a first record
// gets the other layout's advice instead. Always returns nullptr.
PyObject* raise_outcome(const Outcome& outcome, PyObject* filename, const LayoutDesc& layout,
                        const char* how);

// The NativeBatch type, made on the first call; nullptr with an error set.
PyTypeObject* native_batch_type();

// A NativeBatch of `data` over its memory, with the arrays made now.
PyRef make_native_batch(BatchData data, Outcome outcome, PyObject* filename);

// A vorn_columns.Batch holding `native` (a NativeBatch), made without running
// Python code; `events` (may be null) are the numbers of chosen events.
PyRef make_batch(PyObject* native, PyObject* events);

// The NativeBatch of samples that `batch` (a vorn_columns.Batch) holds;
// false for one made by its constructor.
struct NativeView {
  const BatchData* data;
  PyObject* columns;  // tuple of the arrays made, in field order
  PyObject* samples;
  PyObject* offsets;
  PyObject* features;  // tuple, in Feature order
  PyRef held;  // keeps the rest
};
bool native_of(PyObject* batch, NativeView& out);

}  // namespace vorn
