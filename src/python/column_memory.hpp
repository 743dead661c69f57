// The memory behind a batch's columns: shared by the batch's NumPy arrays
// (through one ColumnMemory owner object) and by its Arrow exports, and freed
// or handed back to its iterator's pool when the last of them goes.
#pragma once

#include <cstdint>
#include <memory>

#include "batch_decoder.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace vorn {

// A batch's memory, one share per owner; the last share to go frees it or
// gives it back to its pool, on whichever thread, without the interpreter.
using SharedMemory = std::shared_ptr<const BatchMemory>;

// A column's element type as NumPy, its array interface and Arrow name it.
struct ElementType {
  int type_num;
  const char* name;          // "int32"
  const char* typestr;       // "<i4"
  const char* arrow_format;  // "i"
  std::size_t width;
};
constexpr ElementType element_type(NumType t) noexcept {
  return {npy::type_num(t), npy::dtype_name(t), numpy_typestr(t), arrow_format(t), type_width(t)};
}
// Sample offsets, and a scan's record positions.
inline constexpr ElementType kOffsetType = element_type(NumType::i64);

// The registered layout named by the str `name`; nullptr with ValueError set
// for any other object.
const LayoutDesc* parse_layout(PyObject* name);
// The position of `layout` among Layouts::kDescs.
std::size_t layout_index(const LayoutDesc& layout) noexcept;

// The ColumnMemory type, made on the first call; nullptr with a Python error
// set when it cannot be.
PyTypeObject* column_memory_type();

// The memory that `owner` holds when it is a ColumnMemory, else nullptr.
const SharedMemory* memory_of(PyObject* owner) noexcept;

// `memory` shared, its last share freeing it or giving it back to `home`
// (null: freed), on whichever thread, without the interpreter.
SharedMemory share(std::unique_ptr<BatchMemory> memory, std::shared_ptr<MemoryHome> home);

// The arrays of one batch of `layout` over `memory`, which one new owner
// object takes: the header columns of `events` values, `samples` samples
// and `offsets` offsets (or record positions), and the `features` in
// memory.features, each of `events` values, or of (events, per_event) for
// per_event > 1 (a WD2 file's channels).
struct Arrays {
  PyRef columns;  // tuple
  PyRef samples;
  PyRef offsets;
  PyRef features;  // tuple, in Feature order
};
Arrays make_arrays(const LayoutDesc& layout, const SharedMemory& memory, std::uint64_t events,
                   std::uint64_t samples, std::uint64_t offsets, FeatureSet features = {},
                   std::uint64_t per_event = 1);
// The tuple of the arrays of `features` alone, as make_arrays makes them.
PyRef make_feature_arrays(const SharedMemory& memory, FeatureSet features, std::uint64_t events,
                          std::uint64_t per_event);
// The NumPy type number of a feature's values.
int feature_type_num(Feature f) noexcept;

// The memory of dropped reads, kept for the next reads of the process: at
// most SpareMemory::kKept batches and kSpareCap bytes, each freed once
// unused for kSpareIdle. Never destroyed, so that arrays freed at exit may
// still give memory back.
inline constexpr std::size_t kSpareCap = std::size_t(1) << 30;
inline constexpr auto kSpareIdle = std::chrono::seconds(10);
const std::shared_ptr<SpareMemory>& spare_memory();

}  // namespace vorn
