// The memory behind a batch's columns: shared by the batch's NumPy arrays
// (through one ColumnMemory owner object) and by its Arrow exports, and freed
// or handed back to its iterator's pool when the last of them goes.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "batch_decoder.hpp"
#include "py_ref.hpp"

namespace vorn {

// Memory of dropped batches, kept for the next ones of the same iterator.
class Pool {
 public:
  Pool(std::size_t keep_events, std::size_t keep_sample_bytes);
  std::unique_ptr<BatchMemory> take();
  // Keeps at most two, trimmed back to an ordinary batch's size. Needs no
  // interpreter: the last Arrow structure may hand memory back from any thread.
  void give(std::unique_ptr<BatchMemory> m) noexcept;

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<BatchMemory>> free_;  // room for two is reserved
  std::size_t keep_events_;
  std::size_t keep_sample_bytes_;
};

// A batch's memory, one share per owner; the last share to go frees it or
// gives it back to its pool, on whichever thread, without the interpreter.
using SharedMemory = std::shared_ptr<const BatchMemory>;

// A column's element type as NumPy, its array interface and Arrow name it.
struct ElementType {
  int type_num;
  const char* name;     // "int32"
  const char* typestr;  // "<i4"
  const char* arrow_format;  // "i"
  std::size_t width;
};
struct ColumnSpec {
  const char* name;
  ElementType type;
};
// The header columns of a layout, in the order of its fields, its samples,
// and the offsets between events.
std::span<const ColumnSpec> header_columns(Layout layout) noexcept;
const ElementType& sample_type(Layout layout) noexcept;
const ElementType& offset_type() noexcept;

// The ColumnMemory type, made on the first call; nullptr with a Python error
// set when it cannot be.
PyTypeObject* column_memory_type();

// The memory that `owner` holds when it is a ColumnMemory, else nullptr.
const SharedMemory* memory_of(PyObject* owner) noexcept;

// The arrays of one batch over `memory`, which one new owner object takes.
struct Arrays {
  PyRef columns;  // tuple
  PyRef samples;
  PyRef offsets;
};
Arrays make_arrays(const BatchDecoder& d, std::unique_ptr<BatchMemory> memory,
                   std::uint64_t events, std::uint64_t samples, std::uint64_t offsets,
                   const std::shared_ptr<Pool>& pool);

}  // namespace vorn
