// NumPy's C API, found at run time through its "_ARRAY_API" capsule, and the
// one use made of it: a 1-D array over memory that an owner object keeps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "layout.hpp"
#include "py_ref.hpp"

namespace vorn {

// NumPy's type numbers, as its C API defines them for Linux on 64 bits.
namespace npy {
inline constexpr int kUShort = 4;
inline constexpr int kInt32 = 5;
inline constexpr int kUInt32 = 6;
inline constexpr int kInt64 = 7;
inline constexpr int kUInt64 = 8;
inline constexpr int kFloat = 11;
inline constexpr int kDouble = 12;
inline constexpr int kBool = 0;

// The type number of values of type `t`.
constexpr int type_num(NumType t) noexcept {
  switch (t) {
    case NumType::i32: return kInt32;
    case NumType::u32: return kUInt32;
    case NumType::u64: return kUInt64;
    case NumType::u16: return kUShort;
    case NumType::f32: return kFloat;
    case NumType::i64: return kInt64;
  }
  return -1;
}

// NumPy's name of the dtype of values of type `t`: "int32", ...
constexpr const char* dtype_name(NumType t) noexcept {
  switch (t) {
    case NumType::i32: return "int32";
    case NumType::u32: return "uint32";
    case NumType::u64: return "uint64";
    case NumType::u16: return "uint16";
    case NumType::f32: return "float32";
    case NumType::i64: return "int64";
  }
  return "";
}
}  // namespace npy

// A 1-D array of `length` elements of `type_num` over `data`, writeable
// unless said otherwise, whose base is `owner` (taken even on failure, so
// that it releases the memory then). The API table is loaded on first use; failures panic with
// "Failed to access NumPy array API capsule: ..." or "Python API call
// failed", except that KeyboardInterrupt or SystemExit raised while NumPy is
// imported reaches the caller as itself (PythonErrorSet).
enum class Access : bool { read_only, writeable };
// With `per_row` other than 0, a C-ordered (length, per_row) array instead.
PyRef array_over(int type_num, std::size_t length, void* data, PyRef owner,
                 Access access = Access::writeable, std::size_t per_row = 0);

// What __array_interface__ says of a C-contiguous 1-D ndarray of `typestr`
// ("<u2"), or of a 2-D one where `two_d` allows; false, with no error set,
// for any other object or array.
struct ArrayView {
  const std::uint8_t* data = nullptr;
  std::uint64_t length = 0;  // elements, all rows together
  std::uint64_t per_row = 0;  // of a 2-D array; 0 for 1-D
  bool read_only = false;
};
bool contiguous_view(PyObject* array, const char* typestr, ArrayView& out, bool two_d = false);
// NumPy's ndarray type; loads the API table as array_over does, and fails
// as it does.
PyTypeObject* ndarray_type();
// Loads NumPy's API table now, with the failures of array_over, unless it is
// loaded already. A caller that consumes input before it makes arrays calls
// this first, so that an interrupt during NumPy's import loses nothing.
void load_numpy_api();

}  // namespace vorn
