// Sample vectors handed to NumPy without a copy: PySliceContainer owns the
// memory as the array's base, NumPy's C API is found at run time.
#pragma once

#include <cstdint>

#include "py_ref.hpp"
#include "sample_buffer.hpp"

namespace vorn {

// A one-dimensional, writeable array over the buffer's own memory (uint16 or
// float32), whose base owns and finally frees it. Internal failures panic
// with the message the failing step names; the buffer is released then.
PyRef from_raw_parts(SampleBuffer<std::uint16_t> samples);
PyRef from_raw_parts(SampleBuffer<float> samples);

}  // namespace vorn
