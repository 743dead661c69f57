// The Arrow export of batches, part of vorn_columns._native: C data and C
// stream structures over a batch's own memory, in the capsules of the Arrow
// PyCapsule interface.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "features.hpp"
#include "layout.hpp"
#include "py_ref.hpp"

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

struct BatchData;
struct References;

// Fills `out` with the Arrow arrays of `data`, a batch with samples or
// features, over its memory; needs no interpreter and may run on any thread.
void export_data(const BatchData& data, ArrowArray& out);

// Where the batches of a stream come from. Its calls come from whichever
// thread reads the stream; it takes the interpreter itself where it needs it.
class BatchSource {
 public:
  virtual ~BatchSource() = default;
  // As ArrowArrayStream::get_next: 0 with `out` filled (release == nullptr
  // at the end), or an errno value with `error` holding the reason.
  virtual int next(ArrowArray& out, std::string& error) = 0;
  // Hands over the Python references it holds, for the stream to drop.
  virtual void give_up(References& refs) noexcept = 0;
};

// What a batch's record batch holds after its header fields: its features,
// each a column (a fixed-size list of one value per channel for a WD2 file
// of several), then "data", its samples, unless it has none.
struct ArrowShape {
  FeatureSet features;
  bool samples = true;
};

// An "arrow_array_stream" capsule of batches of `layout` and `shape` from `source`.
PyObject* stream_capsule(const LayoutDesc& layout, std::int32_t channels, ArrowShape shape,
                         std::unique_ptr<BatchSource> source);

// Adds export_schema, export_batch and export_batch_stream to `module`;
// false with a Python error set.
bool add_arrow_export(PyObject* module);

}  // namespace vorn
