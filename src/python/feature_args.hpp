// Pulse features at the Python boundary: the parameters as vorn_columns.Features
// hands them over, the feature names, and compute_features() over samples
// already read.
#pragma once

#include <optional>

#include "features.hpp"
#include "py_ref.hpp"

namespace vorn {

// The FeatureSpec of `params`, the tuple Features._params() makes:
// (polarity, (b0, b1), integral or None, around or None, cfd_fraction,
// trapezoid or None, decay or None, (lo, hi), select names or None).
// nullopt with TypeError or ValueError set where it is not a valid one.
std::optional<FeatureSpec> parse_features(PyObject* params);

// The interned name of each feature, in Feature order.
PyObject* feature_name_object(Feature f);

// Adds FEATURES, check_features and compute_features to `module`; false
// with a Python error set.
bool add_features(PyObject* module);

}  // namespace vorn
