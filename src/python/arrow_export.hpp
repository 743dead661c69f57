// The Arrow export of batches, part of vorn_columns._native: C data and C
// stream structures over a batch's own memory, in the capsules of the Arrow
// PyCapsule interface.
#pragma once

#include "py_ref.hpp"

namespace vorn {

// Adds export_schema, export_batch and export_stream to `module`; false with
// a Python error set.
bool add_arrow_export(PyObject* module);

}  // namespace vorn
