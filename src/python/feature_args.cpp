// The parameters of pulse features from Python, and the features of samples
// a batch holds already (compute_features).
#include "feature_args.hpp"

#include <memory>
#include <string>

#include "column_memory.hpp"
#include "numpy_api.hpp"
#include "py_support.hpp"
#include "reduce.hpp"

namespace vorn {
namespace {

Once<std::array<PyObject*, kFeatureCount>> names_once;

// The interpreter let go of while it lives.
class Unlocked {
 public:
  Unlocked() noexcept : saved_(PyEval_SaveThread()) {}
  ~Unlocked() { PyEval_RestoreThread(saved_); }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  PyThreadState* saved_;
};

// An int64 pair from a 2-tuple of ints, or nothing from None.
bool pair_of(PyObject* o, std::int64_t& a, std::int64_t& b) {
  return PyArg_ParseTuple(o, "LL", &a, &b) != 0;
}

template <class T>
bool optional_pair(PyObject* o, std::optional<T>& out) {
  if (o == Py_None) return true;
  std::int64_t a, b;
  if (!pair_of(o, a, b)) return false;
  out = T{a, b};
  return true;
}

PyObject* check_features(PyObject*, PyObject* params) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    std::optional<FeatureSpec> spec = parse_features(params);
    if (spec) Py_RETURN_NONE;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return nullptr;
    // The message, to be raised by the caller's own ValueError.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return value;
  }));
}

// compute_features(layout, channels, samples, offsets, params) -> {name: array}
PyObject* compute_features(PyObject*, PyObject* args) noexcept {
  return with_exception(guarded([&]() -> PyObject* {
    PyObject *layout_name, *samples_obj, *offsets_obj, *params;
    int channels;
    if (!PyArg_ParseTuple(args, "OiOOO:compute_features", &layout_name, &channels, &samples_obj,
                          &offsets_obj, &params)) {
      return nullptr;
    }
    const LayoutDesc* layout = parse_layout(layout_name);
    if (!layout) return nullptr;
    std::optional<FeatureSpec> spec = parse_features(params);
    if (!spec) return nullptr;
    ArrayView samples, offsets;
    if (!contiguous_view(samples_obj, numpy_typestr(layout->sample_type), samples) ||
        !contiguous_view(offsets_obj, numpy_typestr(NumType::i64), offsets) || offsets.length == 0) {
      PyErr_Format(PyExc_TypeError,
                   "features are computed from contiguous 1-D samples of %s and int64 offsets",
                   npy::dtype_name(layout->sample_type));
      return nullptr;
    }
    // Offsets a user put together are read before any sample is.
    const auto* at = reinterpret_cast<const std::int64_t*>(offsets.data);
    bool rising = at[0] >= 0 && std::uint64_t(at[offsets.length - 1]) <= samples.length;
    for (std::uint64_t i = 1; rising && i < offsets.length; ++i) rising = at[i] >= at[i - 1];
    if (!rising) {
      PyErr_SetString(PyExc_ValueError, "offsets must rise from 0 or more to at most len(samples)");
      return nullptr;
    }
    const std::uint64_t events = offsets.length - 1;
    const Reduction reduction(*spec, *layout, channels);
    auto memory = std::make_unique<BatchMemory>();
    if (!reduction.make_room(*memory, events)) return PyErr_NoMemory();
    {
      const Unlocked unlocked;
      reduction.reduce_all(samples.data, at, events, reduction.columns(*memory));
    }
    const FeatureSet set = reduction.features();
    PyRef arrays = make_feature_arrays(share(std::move(memory), nullptr), set, events, reduction.per_event());
    PyRef out = PyRef::steal(PyDict_New());
    if (!out) return nullptr;
    Py_ssize_t k = 0;
    for (int f = 0; f < kFeatureCount; ++f) {
      if (!set.has(Feature(f))) continue;
      if (PyDict_SetItem(out.get(), feature_name_object(Feature(f)),
                         PyTuple_GetItem(arrays.get(), k++)) != 0) {
        return nullptr;
      }
    }
    return out.release();
  }));
}

PyMethodDef feature_methods[] = {
    {"check_features", check_features, METH_O,
     "check_features(params) -> None, or the message saying which parameter is wrong"},
    {"compute_features", compute_features, METH_VARARGS,
     "compute_features(layout, channels, samples, offsets, params) -> {name: array}"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

std::optional<FeatureSpec> parse_features(PyObject* params) {
  PyObject *baseline, *integral, *around, *trapezoid, *decay, *saturation, *select;
  int polarity;
  double cfd;
  if (!PyArg_ParseTuple(params, "iOOOdOOOO:features", &polarity, &baseline, &integral, &around,
                        &cfd, &trapezoid, &decay, &saturation, &select)) {
    return std::nullopt;
  }
  FeatureSpec spec;
  spec.polarity = polarity;
  spec.cfd_fraction = cfd;
  if (!pair_of(baseline, spec.baseline.start, spec.baseline.stop) ||
      !pair_of(saturation, spec.saturation_lo, spec.saturation_hi) ||
      !optional_pair(integral, spec.integral) || !optional_pair(around, spec.integral_around_peak) ||
      !optional_pair(trapezoid, spec.trapezoid)) {
    return std::nullopt;
  }
  if (decay != Py_None) {
    spec.decay = PyFloat_AsDouble(decay);
    if (*spec.decay == -1.0 && PyErr_Occurred()) return std::nullopt;
  }
  if (select != Py_None) {
    PyRef names = PyRef::steal(PySequence_Tuple(select));
    if (!names) return std::nullopt;
    for (Py_ssize_t i = 0; i < PyTuple_Size(names.get()); ++i) {
      PyObject* name = PyTuple_GetItem(names.get(), i);
      std::optional<Feature> found;
      for (int f = 0; f < kFeatureCount && PyUnicode_Check(name) && !found; ++f) {
        if (PyUnicode_Compare(name, feature_name_object(Feature(f))) == 0) found = Feature(f);
      }
      if (!found) {
        PyErr_Format(PyExc_ValueError, "select: no feature is named %R", name);
        return std::nullopt;
      }
      spec.select.add(*found);
    }
    if (spec.select.empty()) {
      PyErr_SetString(PyExc_ValueError, "select: names no feature");
      return std::nullopt;
    }
  }
  if (std::string error = validate(spec); !error.empty()) {
    PyErr_SetString(PyExc_ValueError, error.c_str());
    return std::nullopt;
  }
  return spec;
}

PyObject* feature_name_object(Feature f) {
  auto* names = names_once.get([](std::array<PyObject*, kFeatureCount>& out) {
    for (int k = 0; k < kFeatureCount; ++k) {
      const std::string name(feature_name(Feature(k)));
      if (!(out[std::size_t(k)] = PyUnicode_InternFromString(name.c_str()))) return false;
    }
    return true;
  });
  if (!names) python_call_failed();
  return (*names)[std::size_t(f)];
}

bool add_features(PyObject* module) {
  PyObject* done = guarded([&]() -> PyObject* {
           PyRef names = PyRef::steal(PyTuple_New(kFeatureCount));
           if (!names) return nullptr;
           for (int k = 0; k < kFeatureCount; ++k) {
             PyObject* name = feature_name_object(Feature(k));
             Py_INCREF(name);
             PyTuple_SetItem(names.get(), k, name);
           }
           if (PyModule_AddFunctions(module, feature_methods) != 0 ||
               PyObject_SetAttrString(module, "FEATURES", names.get()) != 0) {
             return nullptr;
           }
           Py_RETURN_NONE;
         });
  Py_XDECREF(done);
  return done != nullptr;
}

}  // namespace vorn
